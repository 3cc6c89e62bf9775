#include "python/engine/engine_type.hpp"

#include <cstdint>
#include <cstring>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/command/dispatch.hpp"
#include "core/command/handle_state.hpp"
#include "core/command/load_file.hpp"
#include "core/dataset/prepare.hpp"
#include "core/features/bars.hpp"
#include "core/features/book_features.hpp"
#include "core/json/utf8_check.hpp"
#include "python/common/str_argument.hpp"
#include "python/engine/column_arguments.hpp"
#include "python/engine/frame_export.hpp"
#include "python/engine/without_gil.hpp"

namespace vorn::python {
namespace {

// A file larger than this is refused unless the caller raises the cap: a device or a pipe without
// end must not take all memory.
constexpr std::size_t kDefaultMaxFileBytes = std::size_t{4} << 30;

struct EngineCore {
    explicit EngineCore(HandleState s) : state(std::move(s)) {}
    std::mutex mutex;
    HandleState state;
};

struct PyEngine {
    PyObject_HEAD
    EngineCore* core;
};

EngineCore& core_of(PyObject* self) { return *reinterpret_cast<PyEngine*>(self)->core; }

char** keywords(const char* const* names) { return const_cast<char**>(names); }

PyObject* reply_str(const std::string& reply) {
    // Empty only when not even the error reply could be allocated.
    return reply.empty() ? PyErr_NoMemory() : str_from_utf8(reply);
}

void raise_value_error(const std::string& text) {
    PyObject* message = str_from_utf8(text);
    if (message == nullptr) return;
    PyErr_SetObject(PyExc_ValueError, message);
    Py_DECREF(message);
}

// Runs one command text against the object's state, without the interpreter lock.
PyObject* run_command(PyObject* self, std::string_view text) {
    EngineCore& core = core_of(self);
    std::string reply;
    Fault fault = run_without_gil([&] {
        std::lock_guard<std::mutex> lock(core.mutex);
        reply = dispatch_command(core.state, text);
    });
    if (raise_fault(fault)) return nullptr;
    return reply_str(reply);
}

PyObject* engine_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* const names[] = {"spec_json", nullptr};
    PyObject* spec_json = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|U:Engine", keywords(names), &spec_json)) return nullptr;
    std::string_view text;
    if (spec_json != nullptr) {
        std::optional<std::string_view> utf8 = utf8_of(spec_json);
        if (!utf8) return nullptr;
        text = *utf8;
    }
    EngineCore* core = nullptr;
    try {
        Result<HandleState> state = state_from_spec_text(text);
        if (!state) {
            raise_value_error(state.error().display());
            return nullptr;
        }
        core = new EngineCore(std::move(state).value());
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* self = alloc(type, 0);
    if (self == nullptr) {
        delete core;
        return nullptr;
    }
    reinterpret_cast<PyEngine*>(self)->core = core;
    return self;
}

void engine_dealloc(PyObject* self) {
    delete reinterpret_cast<PyEngine*>(self)->core;
    PyTypeObject* type = Py_TYPE(self);
    auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_slot(self);
    Py_DECREF(type);
}

PyObject* engine_command(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* const names[] = {"cmd_json", nullptr};
    PyObject* cmd_json = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "U:command", keywords(names), &cmd_json)) return nullptr;
    // The str's UTF-8 form is cached inside it; the caller's reference keeps it alive while the
    // lock is released.
    std::optional<std::string_view> text = utf8_of(cmd_json);
    if (!text) return nullptr;
    return run_command(self, *text);
}

PyObject* engine_command_utf8(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* const names[] = {"cmd_utf8", nullptr};
    Py_buffer view;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "y*:command_utf8", keywords(names), &view)) return nullptr;
    std::string_view text(static_cast<const char*>(view.buf), static_cast<std::size_t>(view.len));
    std::optional<std::size_t> invalid;
    EngineCore& core = core_of(self);
    std::string reply;
    Fault fault = run_without_gil([&] {
        invalid = json::first_invalid_utf8(text);
        if (invalid) return;
        std::lock_guard<std::mutex> lock(core.mutex);
        reply = dispatch_command(core.state, text);
    });
    PyBuffer_Release(&view);
    if (raise_fault(fault)) return nullptr;
    if (invalid) {
        PyErr_Format(PyExc_ValueError, "not UTF-8 text (byte %zu)", *invalid);
        return nullptr;
    }
    return reply_str(reply);
}

PyObject* engine_load_file(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* const names[] = {"path", "max_bytes", nullptr};
    PyObject* path = nullptr;  // bytes, from PyUnicode_FSConverter
    unsigned long long max_bytes = kDefaultMaxFileBytes;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O&|$K:load_file", keywords(names), PyUnicode_FSConverter, &path,
                                     &max_bytes)) {
        return nullptr;
    }
    OwnedRef path_owner(path);
    char* path_bytes = nullptr;
    Py_ssize_t path_size = 0;
    if (PyBytes_AsStringAndSize(path, &path_bytes, &path_size) < 0) return nullptr;
    EngineCore& core = core_of(self);
    LoadFileCommand command;
    std::string reply;
    std::size_t lines = 0;
    Fault fault = run_without_gil([&] {
        command = read_load_file_command(path_bytes, static_cast<std::size_t>(max_bytes));
        if (!command.ok()) return;
        {
            std::lock_guard<std::mutex> lock(core.mutex);
            reply = dispatch_command(core.state, command.text());
        }
        if (reply.starts_with(R"({"ok":false)")) lines = command.file_lines();
    });
    if (raise_fault(fault)) return nullptr;
    if (command.read_error != 0) {
        errno = command.read_error;
        OwnedRef name(PyUnicode_DecodeFSDefaultAndSize(path_bytes, path_size));
        PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, name.get());
        return nullptr;
    }
    if (command.invalid_utf8_at) {
        PyErr_Format(PyExc_ValueError, "not UTF-8 text (byte %zu)", *command.invalid_utf8_at);
        return nullptr;
    }
    PyObject* text = reply_str(reply);
    if (text == nullptr) return nullptr;
    return pair_of_new(text, PyLong_FromSize_t(lines));
}

PyObject* engine_load_columns(PyObject* self, PyObject* args, PyObject* kwargs) {
    if (args != nullptr && PyTuple_Size(args) != 0) {
        PyErr_SetString(PyExc_TypeError, "load_columns() takes only keyword arguments");
        return nullptr;
    }
    ColumnArguments columns;
    if (!columns.read(kwargs, "load_columns")) return nullptr;
    EngineCore& core = core_of(self);
    std::optional<VornError> failure;
    std::uint64_t loaded = 0;
    Fault fault = run_without_gil([&] {
        Result<Dataset> dataset = dataset_from_columns(columns.columns());
        if (!dataset) {
            failure = std::move(dataset).error();
            return;
        }
        // Sorting happens before the lock: the object keeps serving while a new dataset is prepared.
        prepare_dataset(*dataset);
        std::lock_guard<std::mutex> lock(core.mutex);
        loaded = core.state.load(std::move(dataset).value());
    });
    if (raise_fault(fault)) return nullptr;
    if (failure) {
        raise_value_error(failure->message);
        return nullptr;
    }
    return PyLong_FromUnsignedLongLong(loaded);
}

PyObject* engine_append_columns(PyObject* self, PyObject* args, PyObject* kwargs) {
    if (args != nullptr && PyTuple_Size(args) != 0) {
        PyErr_SetString(PyExc_TypeError, "append_columns() takes only keyword arguments");
        return nullptr;
    }
    ColumnArguments columns;
    if (!columns.read(kwargs, "append_columns")) return nullptr;
    EngineCore& core = core_of(self);
    std::optional<VornError> failure;
    std::uint64_t appended = 0;
    Fault fault = run_without_gil([&] {
        // The records are read and checked before the lock, so the object keeps serving frames.
        Result<Dataset> added = dataset_from_columns(columns.columns());
        if (!added) {
            failure = std::move(added).error();
            return;
        }
        std::lock_guard<std::mutex> lock(core.mutex);
        Result<std::uint64_t> count = core.state.append(*added);
        if (!count) {
            failure = std::move(count).error();
            return;
        }
        appended = *count;
    });
    if (raise_fault(fault)) return nullptr;
    if (failure) {
        raise_value_error(failure->message);
        return nullptr;
    }
    return PyLong_FromUnsignedLongLong(appended);
}

// The optional "ts" argument of frame and clusters: false with an exception set when it is not
// None or an int; an int beyond 64 bits is the JSON protocol's error for "frame_at".
bool read_ts(PyObject* ts_object, std::optional<std::int64_t>& ts) {
    if (ts_object == Py_None) return true;
    if (!PyLong_Check(ts_object)) {
        PyErr_SetString(PyExc_TypeError, "ts must be an int or None");
        return false;
    }
    int overflow = 0;
    long long value = PyLong_AsLongLongAndOverflow(ts_object, &overflow);
    if (overflow != 0) {
        raise_value_error(VornError::bad_spec("frame_at requires integer 'ts'").display());
        return false;
    }
    if (value == -1 && PyErr_Occurred()) return false;
    ts = value;
    return true;
}

PyObject* engine_frame(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* const names[] = {"ts", "detail", "grid_mid", nullptr};
    PyObject* ts_object = Py_None;
    int detail = 0;
    PyObject* mid_object = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O$pO:frame", keywords(names), &ts_object, &detail, &mid_object)) {
        return nullptr;
    }
    std::optional<std::int64_t> ts;
    if (!read_ts(ts_object, ts)) return nullptr;
    const bool with_mid = mid_object != Py_None;
    const double grid_mid = with_mid ? PyFloat_AsDouble(mid_object) : 0.0;
    if (with_mid && grid_mid == -1.0 && PyErr_Occurred()) return nullptr;
    EngineCore& core = core_of(self);
    PanelOptions options{detail != 0};
    if (with_mid) options.heatmap_mid = grid_mid;
    std::optional<Result<Frame>> frame;
    Fault fault = run_without_gil([&] {
        std::lock_guard<std::mutex> lock(core.mutex);
        frame.emplace(ts ? core.state.frame_at(*ts, options) : core.state.frame(options));
    });
    if (raise_fault(fault)) return nullptr;
    if (!*frame) {
        raise_value_error(frame->error().display());
        return nullptr;
    }
    return export_frame(std::move(*frame).value(), detail != 0, with_mid);
}

PyObject* engine_clusters(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* const names[] = {"ts", "price_bin", "bucket_ms", nullptr};
    PyObject* ts_object = Py_None;
    double price_bin = 0.0;
    long long bucket_ms = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O$dL:clusters", keywords(names), &ts_object, &price_bin,
                                     &bucket_ms)) {
        return nullptr;
    }
    std::optional<std::int64_t> ts;
    if (!read_ts(ts_object, ts)) return nullptr;
    EngineCore& core = core_of(self);
    std::optional<Result<HandleState::ClusterFrame>> result;
    Fault fault = run_without_gil([&] {
        std::lock_guard<std::mutex> lock(core.mutex);
        result.emplace(core.state.clusters(ts, price_bin, bucket_ms));
    });
    if (raise_fault(fault)) return nullptr;
    if (!*result) {
        raise_value_error(result->error().display());
        return nullptr;
    }
    HandleState::ClusterFrame computed = std::move(*result).value();
    return export_clusters(computed.cursor_ts, std::move(computed.clusters));
}

// Runs compute(dataset) on the object's dataset without the interpreter lock; exports the result,
// or raises ValueError with the error's text.
template <class Compute, class Export>
PyObject* computed_from_dataset(PyObject* self, Compute compute, Export export_result) {
    EngineCore& core = core_of(self);
    std::optional<decltype(compute(core.state.dataset))> result;
    Fault fault = run_without_gil([&] {
        std::lock_guard<std::mutex> lock(core.mutex);
        result.emplace(compute(core.state.dataset));
    });
    if (raise_fault(fault)) return nullptr;
    if (!*result) {
        raise_value_error(result->error().display());
        return nullptr;
    }
    return export_result(std::move(*result).value());
}

// The depths argument of book_features: a tuple of ints in [0, 2**32); false with an exception set.
bool read_depths(PyObject* tuple, std::vector<std::uint32_t>& depths) {
    const Py_ssize_t n = PyTuple_Size(tuple);
    if (n < 0) return false;
    try {
        depths.reserve(static_cast<std::size_t>(n));
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return false;
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = PyTuple_GetItem(tuple, i);
        if (item == nullptr) return false;
        if (!PyLong_Check(item)) {
            PyErr_SetString(PyExc_TypeError, "depths must be a tuple of ints");
            return false;
        }
        int overflow = 0;
        long long value = PyLong_AsLongLongAndOverflow(item, &overflow);
        if (value == -1 && PyErr_Occurred()) return false;
        if (overflow != 0 || value < 0 || value > 0xFFFFFFFFLL) {
            PyErr_SetString(PyExc_ValueError, "depths must lie in [0, 2**32)");
            return false;
        }
        depths.push_back(static_cast<std::uint32_t>(value));
    }
    return true;
}

PyObject* engine_book_features(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* const names[] = {"first_end", "bucket_ms", "count", "price_bin", "depths", nullptr};
    long long first_end = 0;
    long long bucket_ms = 0;
    Py_ssize_t count = 0;
    double price_bin = 0.0;
    PyObject* depths_tuple = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|$LLndO!:book_features", keywords(names), &first_end, &bucket_ms,
                                     &count, &price_bin, &PyTuple_Type, &depths_tuple)) {
        return nullptr;
    }
    if (depths_tuple == nullptr) {
        PyErr_SetString(PyExc_TypeError, "book_features() requires depths");
        return nullptr;
    }
    if (count < 0) {
        PyErr_SetString(PyExc_ValueError, "count must not be negative");
        return nullptr;
    }
    std::vector<std::uint32_t> depths;
    if (!read_depths(depths_tuple, depths)) return nullptr;
    return computed_from_dataset(
        self,
        [&](const Dataset& dataset) {
            return compute_book_features(whole_window(dataset), first_end, bucket_ms, static_cast<std::size_t>(count),
                                         price_bin, depths);
        },
        [&](BookFeatures features) { return export_book_features(std::move(features), depths.size()); });
}

PyObject* engine_bars(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* const names[] = {"first_start", "bucket_ms", "count", nullptr};
    long long first_start = 0;
    long long bucket_ms = 0;
    Py_ssize_t count = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|$LLn:bars", keywords(names), &first_start, &bucket_ms, &count)) {
        return nullptr;
    }
    if (count < 0) {
        PyErr_SetString(PyExc_ValueError, "count must not be negative");
        return nullptr;
    }
    return computed_from_dataset(
        self,
        [&](const Dataset& dataset) {
            return compute_bars(whole_window(dataset), first_start, bucket_ms, static_cast<std::size_t>(count));
        },
        [](Bars bars) { return export_bars(std::move(bars)); });
}

PyObject* optional_ts(const std::optional<std::int64_t>& ts) {
    return ts ? PyLong_FromLongLong(*ts) : Py_NewRef(Py_None);
}

PyObject* engine_list_bounds(PyObject* self, PyObject*) {
    EngineCore& core = core_of(self);
    std::array<ListBounds, 6> bounds{};
    Fault fault = run_without_gil([&] {
        std::lock_guard<std::mutex> lock(core.mutex);
        bounds = list_bounds(core.state.dataset);
    });
    if (raise_fault(fault)) return nullptr;
    OwnedRef result(PyTuple_New(static_cast<Py_ssize_t>(bounds.size())));
    if (result == nullptr) return nullptr;
    for (std::size_t i = 0; i < bounds.size(); ++i) {
        OwnedRef count(PyLong_FromUnsignedLongLong(bounds[i].count));
        OwnedRef first(optional_ts(bounds[i].first_ts));
        OwnedRef last(optional_ts(bounds[i].last_ts));
        PyObject* entry = count && first && last ? PyTuple_Pack(3, count.get(), first.get(), last.get()) : nullptr;
        if (entry == nullptr) return nullptr;
        PyTuple_SetItem(result.get(), static_cast<Py_ssize_t>(i), entry);
    }
    return result.release();
}

PyObject* engine_version(PyObject*, PyObject*) { return PyUnicode_FromString(kVersion); }

PyMethodDef engine_methods[] = {
    {"command", as_py_cfunction(engine_command), METH_VARARGS | METH_KEYWORDS,
     "command($self, cmd_json, /)\n--\n\nApply a command JSON and return the response JSON (the replies of "
     "Vorn.command, byte for byte)."},
    {"command_utf8", as_py_cfunction(engine_command_utf8), METH_VARARGS | METH_KEYWORDS,
     "command_utf8($self, cmd_utf8, /)\n--\n\ncommand() for a command given as UTF-8 bytes (any bytes-like "
     "object, read in place). Raises ValueError 'not UTF-8 text (byte N)' for ill-formed text."},
    {"load_file", as_py_cfunction(engine_load_file), METH_VARARGS | METH_KEYWORDS,
     "load_file($self, path, /, *, max_bytes=4294967296)\n--\n\nRead a dataset JSON file natively and load it; "
     "returns (reply, lines): the reply of the equivalent \"load\" command, whose positions are one line below "
     "the file's, and for an error reply the number of lines read from the file (else 0). "
     "Raises OSError when the file cannot be read (EFBIG past max_bytes) and ValueError when it is not UTF-8."},
    {"load_columns", as_py_cfunction(engine_load_columns), METH_VARARGS | METH_KEYWORDS,
     "load_columns($self, /, *, candles=None, trades=None, book=None, funding=None, oi=None, liquidations=None)"
     "\n--\n\nReplace the dataset with records given as columns: per list a dict of field name to a contiguous "
     "1-D buffer (int64 ts and counts, float64 values, uint8 codes). Returns the record count; raises "
     "ValueError naming the list, field and first bad row, leaving the dataset unchanged."},
    {"append_columns", as_py_cfunction(engine_append_columns), METH_VARARGS | METH_KEYWORDS,
     "append_columns($self, /, *, candles=None, trades=None, book=None, funding=None, oi=None, liquidations=None)"
     "\n--\n\nAppend records given as columns (as load_columns takes them) to the loaded lists, each at or after "
     "its list's last ts and in ts order; the dataset stays prepared. Returns the number of records added; raises "
     "ValueError naming the list, field and first bad row, leaving every list unchanged."},
    {"frame", as_py_cfunction(engine_frame), METH_VARARGS | METH_KEYWORDS,
     "frame($self, /, ts=None, *, detail=False, grid_mid=None)\n--\n\nThe frame of \"frame\" (ts None) or \"frame_at\" as (symbol, "
     "cursor_ts, panels), the panels' number lists as Block objects; with detail, each book heatmap also holds "
     "bid_intensity, ask_intensity, last_price and mid. With grid_mid (a float; NaN: the closing book's own), every "
     "book heatmap's grid is centred on that mid and its panel holds grid_mid, the mid used (NaN when empty). "
     "Raises ValueError with the error reply's text."},
    {"clusters", as_py_cfunction(engine_clusters), METH_VARARGS | METH_KEYWORDS,
     "clusters($self, /, ts=None, *, price_bin, bucket_ms)\n--\n\nThe footprint clusters of the window of the "
     "frame at ts as (cursor_ts, {time, price, buy_vol, sell_vol}) of Block objects. Raises ValueError with the "
     "error's text."},
    {"bars", as_py_cfunction(engine_bars), METH_VARARGS | METH_KEYWORDS,
     "bars($self, /, *, first_start, bucket_ms, count)\n--\n\nTime bars of the loaded trades over the buckets "
     "first_start + i * bucket_ms (i < count) as Block objects: open, high, low, close, volume, buy_volume, "
     "sell_volume, delta, cum_delta, trades (int64), vwap, liquidated_long, liquidated_short, and funding_rate and "
     "open_interest of the last record before each bucket's end. Raises ValueError with the error's text."},
    {"book_features", as_py_cfunction(engine_book_features), METH_VARARGS | METH_KEYWORDS,
     "book_features($self, /, *, first_end, bucket_ms, count, price_bin, depths)\n--\n\nThe loaded book replayed to "
     "the moments first_end + i * bucket_ms (i < count; events before each moment applied, from the first "
     "snapshot on) as {best_bid, best_ask, mid, spread} and, per depth k of the tuple depths, {bid_depth, "
     "ask_depth, imbalance} (rows by depths) of Block objects: quantity at prices within k * price_bin of the "
     "mid, bounds included; NaN where a side is empty. Raises ValueError with the error's text."},
    {"list_bounds", as_py_cfunction(engine_list_bounds), METH_NOARGS,
     "list_bounds($self, /)\n--\n\n(count, first_ts, last_ts) of each list in declared order (candles, trades, "
     "book, funding, oi, liquidations); the ts are None for an empty list."},
    {"version", as_py_cfunction(engine_version), METH_NOARGS | METH_STATIC, "version()\n--\n\nThe library version."},
    {nullptr, nullptr, 0, nullptr},
};

constexpr const char* kClassDoc =
    "Engine(spec_json='')\n--\n\nThe engine driven by JSON commands, files, columns and array frames.\n\n"
    "The interpreter lock is released while it works; calls on one object are serialised, so it may be\n"
    "used from any thread.";

PyType_Slot engine_slots[] = {
    {Py_tp_doc, const_cast<char*>(kClassDoc)},
    {Py_tp_new, reinterpret_cast<void*>(engine_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(engine_dealloc)},
    {Py_tp_methods, engine_methods},
    {0, nullptr},
};

PyType_Spec engine_spec = {
    "korvel_vorn._engine.Engine",
    static_cast<int>(sizeof(PyEngine)),
    0,
    Py_TPFLAGS_DEFAULT,
    engine_slots,
};

PyObject* engine_class = nullptr;

}  // namespace

PyObject* engine_type() {
    if (engine_class == nullptr) {
        engine_class = PyType_FromSpec(&engine_spec);
        if (engine_class == nullptr) return nullptr;
    }
    return Py_NewRef(engine_class);
}

}  // namespace vorn::python
