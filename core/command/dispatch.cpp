#include "core/command/dispatch.hpp"

#include <cstdint>
#include <limits>
#include <new>
#include <string_view>

#include "core/dataset/decode.hpp"
#include "core/dataset/decode_text.hpp"
#include "core/json/reader.hpp"
#include "core/json/writer.hpp"
#include "core/output/write_reply.hpp"
#include "core/spec/read_spec.hpp"

namespace vorn {
namespace {

std::string error_reply(const VornError& error) {
    std::string out;
    out.reserve(128);
    out.append(R"({"ok":false,"error":)");
    json::write_string(out, error.display());
    out.push_back('}');
    return out;
}

std::string ok_reply() { return R"({"ok":true})"; }

// The members a command object is read for; the reader checks the others but does not store them.
namespace key {
constexpr std::string_view kCmd = "cmd";
constexpr std::string_view kDataset = "dataset";
constexpr std::string_view kSpec = "spec";
constexpr std::string_view kTs = "ts";
constexpr std::string_view kAll[] = {kCmd, kDataset, kSpec, kTs};
}  // namespace key

// The "ts" of "frame_at": a JSON integer that fits a signed 64-bit integer.
std::optional<std::int64_t> frame_at_ts(const json::Value& command) {
    std::optional<json::Value> ts = command.find(key::kTs);
    if (!ts) return std::nullopt;
    if (ts->kind() == json::Kind::Negative) return ts->as_negative();
    if (ts->kind() == json::Kind::Unsigned &&
        ts->as_unsigned() <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
        return static_cast<std::int64_t>(ts->as_unsigned());
    }
    return std::nullopt;
}

// The frame's reply, unless it could exceed the reply budget.
std::string frame_reply(Result<Frame> frame) {
    if (!frame) return error_reply(frame.error());
    if (frame_reply_bound(frame.value()) > kMaxReplyBytes) {
        return error_reply(VornError::data("frame reply too large: it could exceed 2147483648 bytes"));
    }
    return write_frame(frame.value());
}

template <class T, class Write>
std::string reply_or_error(Result<T> result, Write write) {
    if (!result) return error_reply(result.error());
    return write(result.value());
}

std::string load_reply(HandleState& state, Dataset dataset) {
    // The reply is allocated before the dataset is replaced, so nothing can fail after it is.
    std::string out = R"({"ok":true,"loaded":)";
    out.reserve(out.size() + 24);
    std::uint64_t count = state.load(std::move(dataset));
    json::write_uint(out, count);
    out.push_back('}');
    return out;
}

std::string run_command(HandleState& state, std::string_view text, LoadReading reading) {
    // A load that plainly succeeds is decoded straight from its text; every other command, and a
    // load with anything unusual, is read as a value tree, which gives every failure exactly.
    if (reading == LoadReading::Direct) {
        if (std::optional<Dataset> direct = decode_load_command_text(text)) return load_reply(state, std::move(*direct));
    }

    Result<json::Document> document = json::read_document(text, key::kAll);
    if (!document) return error_reply(document.error());
    const json::Value& command = document->root();

    std::optional<json::Value> cmd = command.find(key::kCmd);
    if (!cmd || cmd->kind() != json::Kind::String) {
        return error_reply(VornError::bad_spec("missing 'cmd'"));
    }
    std::string_view name = cmd->as_string();

    if (name == "version") return std::string(R"({"version":")") + kVersion + "\"}";

    if (name == "set_spec") {
        std::optional<json::Value> spec_value = command.find(key::kSpec);
        if (!spec_value) return error_reply(VornError::bad_spec("set_spec requires 'spec'"));
        Result<VornSpec> spec = spec_from_value(*spec_value);
        if (!spec) return error_reply(spec.error());
        if (Result<void> valid = validate_spec(*spec); !valid) return error_reply(valid.error());
        state.set_spec(std::move(spec).value());
        return ok_reply();
    }

    if (name == "load") {
        std::optional<json::Value> dataset_value = command.find(key::kDataset);
        if (!dataset_value) return error_reply(VornError::bad_spec("load requires 'dataset'"));
        Result<Dataset> dataset = decode_dataset(*dataset_value);
        if (!dataset) return error_reply(dataset.error());
        return load_reply(state, std::move(dataset).value());
    }

    if (name == "reset") {
        state.reset();
        return ok_reply();
    }

    if (name == "bounds") return reply_or_error(state.bounds(), write_bounds);

    if (name == "frame") return frame_reply(state.frame());

    if (name == "frame_at") {
        std::optional<std::int64_t> ts = frame_at_ts(command);
        if (!ts) return error_reply(VornError::bad_spec("frame_at requires integer 'ts'"));
        return frame_reply(state.frame_at(*ts));
    }

    std::string message = "unknown cmd: ";
    message.append(name);
    return error_reply(VornError::bad_spec(std::move(message)));
}

}  // namespace

std::string dispatch_command(HandleState& state, std::string_view text, LoadReading reading) noexcept {
    VornError failure{ErrorKind::Data, {}};
    try {
        return run_command(state, text, reading);
    } catch (...) {
        failure = current_exception_error();
    }
    // Out of memory (or a fault of the engine): answer without disturbing the state. If even this
    // reply cannot be allocated, the empty string tells the boundary to raise MemoryError.
    try {
        return error_reply(failure);
    } catch (...) {
        return std::string();
    }
}

}  // namespace vorn
