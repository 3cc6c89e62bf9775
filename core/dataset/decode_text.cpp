#include "core/dataset/decode_text.hpp"

#include <bit>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <type_traits>
#include <utility>

#include "core/dataset/record_schemas.hpp"
#include "core/json/cursor.hpp"
#include "core/json/plain_number.hpp"

// Each reader returns false to decline; it never needs to say why, since the general reader is
// run next and finds the reason itself. The cursor checks the grammar exactly as the general reader
// does, members no one reads are checked by skipping them, and every scalar field goes through the
// same schema as the tree's decoder, so what this accepts the general way accepts too, with the
// same records.

namespace vorn {
namespace {

using json::Cursor;
using namespace record_schemas;

class TextDecoder {
public:
    explicit TextDecoder(std::string_view text, Dataset& dataset)
        : cursor_(text), dataset_(dataset), cx_{dataset.levels, failure_} {}

    bool read_command() {
        if (cursor_.peek() != '{' || !cursor_.enter(depth_)) return false;
        bool saw_cmd = false;
        bool saw_dataset = false;
        std::string_view key;
        for (bool first = true;; first = false) {
            Cursor::Step step = cursor_.object_next(first, key, scratch_);
            if (step == Cursor::Step::Failed) return false;
            if (step == Cursor::Step::End) break;
            if (key == "cmd") {
                if (saw_cmd || !read_load_name()) return false;
                saw_cmd = true;
            } else if (key == "dataset") {
                if (saw_dataset || !read_dataset()) return false;
                saw_dataset = true;
            } else if (!cursor_.skip_value(depth_)) {
                return false;
            }
        }
        Cursor::leave(depth_);
        return saw_cmd && saw_dataset && cursor_.expect_end();
    }

private:
    // The command's name, which must be "load": any other command is not this reader's.
    bool read_load_name() {
        if (cursor_.peek() != '"') return false;
        std::string_view name;
        return cursor_.read_string(name, scratch_) && name == "load";
    }

    bool read_dataset() {
        const int c = cursor_.peek();
        if (c != '{' && c != '[') return false;
        if (!cursor_.enter(depth_)) return false;
        std::uint32_t seen = 0;
        std::string_view key;
        std::size_t position = 0;
        for (bool first = true;; first = false) {
            Cursor::Step step = c == '{' ? cursor_.object_next(first, key, scratch_) : cursor_.array_next(first);
            if (step == Cursor::Step::Failed) return false;
            if (step == Cursor::Step::End) break;
            std::size_t list = c == '{' ? field_index(kListNames, key) : position++;
            if (list >= kListNames.size()) {
                // An unknown member is only checked; a seventh list is a failure.
                if (c == '[' || !cursor_.skip_value(depth_)) return false;
                continue;
            }
            if ((seen & (1u << list)) != 0 || !read_list_at(list)) return false;
            seen |= 1u << list;
        }
        Cursor::leave(depth_);
        return true;
    }

    bool read_list_at(std::size_t position) {
        switch (position) {
            case 0: return read_list<CandleSchema>(dataset_.candles);
            case 1: return read_list<TradeSchema>(dataset_.trades);
            case 2: return read_list<BookEventSchema>(dataset_.book);
            case 3: return read_list<FundingEventSchema>(dataset_.funding);
            case 4: return read_list<OiEventSchema>(dataset_.oi);
            default: return read_list<LiquidationEventSchema>(dataset_.liquidations);
        }
    }

    template <class Schema>
    bool read_list(PodVector<typename Schema::Record>& out) {
        if (cursor_.peek() != '[' || !cursor_.enter(depth_)) return false;
        for (bool first = true;; first = false) {
            Cursor::Step step = cursor_.array_next(first);
            if (step == Cursor::Step::Failed) return false;
            if (step == Cursor::Step::End) break;
            if (!read_record<Schema>(out.emplace_back_uninitialized())) return false;
        }
        Cursor::leave(depth_);
        out.shrink_to_fit();
        return true;
    }

    template <class Schema>
    bool read_record(typename Schema::Record& out) {
        constexpr std::size_t field_count = Schema::kFields.size();
        const int c = cursor_.peek();
        if (c != '{' && c != '[') return false;
        if (!cursor_.enter(depth_)) return false;
        Schema schema;
        std::uint32_t seen = 0;
        std::string_view key;
        for (bool first = true;; first = false) {
            Cursor::Step step = c == '{' ? cursor_.object_next(first, key, scratch_) : cursor_.array_next(first);
            if (step == Cursor::Step::Failed) return false;
            if (step == Cursor::Step::End) break;
            // The next field: by key, or by position (one beyond the fields is a failure).
            std::size_t i = c == '{' ? field_index(Schema::kFields, key) : static_cast<std::size_t>(std::popcount(seen));
            if (i == field_count) {
                if (c == '[' || !cursor_.skip_value(depth_)) return false;
                continue;
            }
            if ((seen & (1u << i)) != 0 || !read_field(schema, i)) return false;
            seen |= 1u << i;
        }
        Cursor::leave(depth_);
        if (seen != (1u << field_count) - 1) return false;
        out = schema.finish(cx_);
        return true;
    }

    template <class Schema>
    bool read_field(Schema& schema, std::size_t i) {
        if constexpr (std::is_same_v<Schema, BookEventSchema>) {
            if (Schema::is_side(i)) return read_side(schema.start_side(i, cx_));
        }
        const int c = cursor_.peek();
        if (c == '[' || c == '{') return false;  // a variant's object form: left to the general reader
        return (read_plain(value_) || cursor_.read_scalar(value_, scratch_)) && schema.field(i, value_, cx_);
    }

    // A number of the plain form at the cursor (see read_plain_number), read and passed.
    bool read_plain(json::Value& out) {
        const char* const begin = cursor_.text().data();
        const char* p = begin + cursor_.offset();
        if (!json::read_plain_number(p, begin + cursor_.text().size(), out)) return false;
        cursor_.seek(static_cast<std::size_t>(p - begin));
        return true;
    }

    // One side of a book event: [price, qty] pairs appended to the pool.
    bool read_side(std::uint32_t& count) {
        if (cursor_.peek() != '[' || !cursor_.enter(depth_)) return false;
        const std::size_t start = dataset_.levels.size();
        for (bool first = true;; first = false) {
            Cursor::Step step = cursor_.array_next(first);
            if (step == Cursor::Step::Failed) return false;
            if (step == Cursor::Step::End) break;
            if (!read_level(dataset_.levels.emplace_back_uninitialized())) return false;
        }
        Cursor::leave(depth_);
        const std::size_t levels = dataset_.levels.size() - start;
        if (levels > std::numeric_limits<std::uint32_t>::max()) return false;
        count = static_cast<std::uint32_t>(levels);
        return true;
    }

    bool read_level(PriceLevel& out) {
        // Compact text ("[price,qty]" with plain numbers) is read in one go; anything else step
        // by step, as the cursor's grammar has it.
        const char* const begin = cursor_.text().data();
        const char* const end = begin + cursor_.text().size();
        const char* p = begin + cursor_.offset();
        if (p != end && *p == '[') {
            ++p;
            if (json::read_plain_number(p, end, value_) && p != end && *p == ',') {
                out.price = value_.to_double();
                ++p;
                if (json::read_plain_number(p, end, value_) && p != end && *p == ']') {
                    out.qty = value_.to_double();
                    cursor_.seek(static_cast<std::size_t>(p + 1 - begin));
                    return true;
                }
            }
        }
        if (cursor_.peek() != '[' || !cursor_.enter(depth_)) return false;
        if (cursor_.array_next(true) != Cursor::Step::Item || !read_f64(out.price)) return false;
        if (cursor_.array_next(false) != Cursor::Step::Item || !read_f64(out.qty)) return false;
        if (cursor_.array_next(false) != Cursor::Step::End) return false;
        Cursor::leave(depth_);
        return true;
    }

    bool read_f64(double& out) {
        const int c = cursor_.peek();
        if (c != '-' && (c < '0' || c > '9')) return false;
        if (!cursor_.read_number(value_)) return false;
        out = value_.to_double();
        return true;
    }

    Cursor cursor_;
    Dataset& dataset_;
    VornError failure_{ErrorKind::Parse, {}};
    DecodeContext cx_;
    int depth_ = 0;
    json::Value value_;
    std::string scratch_;
};

}  // namespace

std::optional<Dataset> decode_load_command_text(std::string_view text) {
    Dataset dataset;
    TextDecoder decoder(text, dataset);
    if (!decoder.read_command()) return std::nullopt;
    dataset.levels.shrink_to_fit();
    return std::optional<Dataset>(std::move(dataset));
}

}  // namespace vorn
