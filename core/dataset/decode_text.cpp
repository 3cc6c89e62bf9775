#include "core/dataset/decode_text.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
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
        // Records in object form nearly always list their fields in declared order, once each.
        // That layout is read with the keys known in advance; any other is read key by key from
        // the record's start again (with the levels it appended taken back).
        const std::size_t start = cursor_.offset();
        const std::size_t levels_before = dataset_.levels.size();
        const int depth_before = depth_;
        if (read_record_in_order<Schema>(out)) return true;
        cursor_.seek(start);
        dataset_.levels.resize(levels_before);
        depth_ = depth_before;
        return read_record_any_form<Schema>(out);
    }

    template <class Schema>
    bool read_record_in_order(typename Schema::Record& out) {
        const char* const begin = cursor_.text().data();
        const char* const end = begin + cursor_.text().size();
        const char* p = begin + cursor_.offset();
        if (skip_space(p, end) == end || *p != '{') return false;
        ++p;
        ++depth_;
        Schema schema;
        auto members = [&]<std::size_t... K>(std::index_sequence<K...>) {
            return (read_member_in_order<Schema, K>(p, schema) && ...);
        };
        if (!members(std::make_index_sequence<Schema::kFields.size()>{})) return false;
        if (skip_space(p, end) == end || *p != '}') return false;
        --depth_;
        cursor_.seek(static_cast<std::size_t>(p + 1 - begin));
        out = schema.finish(cx_);
        return true;
    }

    // The member of field K, after the members before it: `"name":value`, after a comma unless
    // it is the first, white space allowed. `p` moves past its value.
    template <class Schema, std::size_t K>
    bool read_member_in_order(const char*& p, Schema& schema) {
        const char* const begin = cursor_.text().data();
        const char* const end = begin + cursor_.text().size();
        // Compact text holds the member's head exactly as written here; else white space may
        // stand between its tokens.
        constexpr auto head = member_head<Schema::kFields[K].size(), (K > 0)>(Schema::kFields[K]);
        if (static_cast<std::size_t>(end - p) > head.size() && std::memcmp(p, head.data(), head.size()) == 0) {
            p += head.size();
        } else if (!pass_spaced_member_head(p, end, Schema::kFields[K], K > 0)) {
            return false;
        }
        if (skip_space(p, end) == end) return false;
        if constexpr (!std::is_same_v<Schema, BookEventSchema> || !BookEventSchema::is_side(K)) {
            // Field 0 of every record is its time in milliseconds.
            if (read_plain_scalar<K == 0>(p, end, value_)) return schema.field(K, value_, cx_);
        }
        cursor_.seek(static_cast<std::size_t>(p - begin));
        if (!read_field(schema, K)) return false;
        p = begin + cursor_.offset();
        return true;
    }

    // `,"name":` (without the comma for the first member), as compact text writes it.
    template <std::size_t N, bool Comma>
    static constexpr std::array<char, N + 3 + Comma> member_head(std::string_view name) {
        std::array<char, N + 3 + Comma> head{};
        std::size_t at = 0;
        if (Comma) head[at++] = ',';
        head[at++] = '"';
        for (char c : name) head[at++] = c;
        head[at++] = '"';
        head[at++] = ':';
        return head;
    }

    // The same head with white space allowed around its tokens; `p` moves past the colon.
    static bool pass_spaced_member_head(const char*& p, const char* end, std::string_view name, bool comma) {
        if (skip_space(p, end) == end) return false;
        if (comma) {
            if (*p != ',') return false;
            if (skip_space(++p, end) == end) return false;
        }
        if (static_cast<std::size_t>(end - p) < name.size() + 2 || p[0] != '"' || p[name.size() + 1] != '"' ||
            std::memcmp(p + 1, name.data(), name.size()) != 0) {
            return false;
        }
        p += name.size() + 2;
        if (skip_space(p, end) == end || *p != ':') return false;
        ++p;
        return true;
    }

    template <class Schema>
    bool read_record_any_form(typename Schema::Record& out) {
        constexpr std::size_t field_count = Schema::kFields.size();
        const int c = cursor_.peek();
        if (c != '{' && c != '[') return false;
        if (!cursor_.enter(depth_)) return false;
        Schema schema;
        std::uint32_t seen = 0;
        std::size_t position = 0;
        std::string_view key;
        for (bool first = true;; first = false) {
            // The next field: by key, or by position (one beyond the fields is a failure).
            std::size_t i = position++;
            Cursor::Step step = c == '[' ? cursor_.array_next(first) : cursor_.object_next(first, key, scratch_);
            if (step == Cursor::Step::Failed) return false;
            if (step == Cursor::Step::End) break;
            if (c == '{') i = field_index(Schema::kFields, key);
            if (i >= field_count) {
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

    // Moves `p` past JSON white space; returns it.
    static const char*& skip_space(const char*& p, const char* end) {
        // Compact text has none there: one comparison answers that case.
        if (p != end && static_cast<unsigned char>(*p) > ' ') return p;
        while (p != end && Cursor::is_whitespace(static_cast<unsigned char>(*p))) ++p;
        return p;
    }

    // A string of printable ASCII without escapes at `p` (its opening quote), read in place: `p`
    // moves past it. False, with `p` unchanged, for any other string, which the cursor's
    // read_string then reads.
    static bool read_plain_string(const char*& p, const char* end, json::Value& out) {
        const char* const start = p + 1;
        for (const char* q = start; q != end; ++q) {
            const unsigned char byte = static_cast<unsigned char>(*q);
            if (byte == '"') {
                out = json::Value::string(start, static_cast<std::size_t>(q - start));
                p = q + 1;
                return true;
            }
            if (byte < 0x20 || byte >= 0x7f || byte == '\\') return false;
        }
        return false;
    }

    // A plain string or number at `p` (see above and read_plain_number); false, with `p`
    // unchanged, for any other value.
    // With Long, the value is expected to be a long integer (a record's "ts").
    template <bool Long = false>
    static bool read_plain_scalar(const char*& p, const char* end, json::Value& out) {
        const char c = *p;
        if (c == '"') return read_plain_string(p, end, out);
        return (c == '-' || static_cast<unsigned>(c - '0') <= 9) && json::read_plain_number<true, Long>(p, end, out);
    }

    template <class Schema>
    bool read_field(Schema& schema, std::size_t i) {
        if constexpr (std::is_same_v<Schema, BookEventSchema>) {
            if (Schema::is_side(i)) return read_side(schema.start_side(i, cx_));
        }
        const int c = cursor_.peek();
        if (c == '[' || c == '{') return false;  // a variant's object form: left to the general reader
        const char* const begin = cursor_.text().data();
        const char* p = begin + cursor_.offset();
        if (read_plain_scalar(p, begin + cursor_.text().size(), value_)) {
            cursor_.seek(static_cast<std::size_t>(p - begin));
        } else if (!cursor_.read_scalar(value_, scratch_)) {
            return false;
        }
        return schema.field(i, value_, cx_);
    }

    // One side of a book event: [price, qty] pairs appended to the pool.
    bool read_side(std::uint32_t& count) {
        if (cursor_.peek() != '[' || !cursor_.enter(depth_)) return false;
        const std::size_t start = dataset_.levels.size();
        // Compact levels, "[price,qty]" with plain numbers and a comma between them, are read in
        // one go; from the first other text on, the levels are read step by step.
        const char* const begin = cursor_.text().data();
        const char* const end = begin + cursor_.text().size();
        const char* p = begin + cursor_.offset();
        bool first = true;
        for (PriceLevel level;; first = false) {
            const char* q = p;
            if (!first && (q == end || *q++ != ',')) break;
            if (!read_plain_level<false>(q, end, level)) break;
            dataset_.levels.push_back(level);
            p = q;
        }
        cursor_.seek(static_cast<std::size_t>(p - begin));
        for (;; first = false) {
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
        // A level with white space is read in one go too; anything else step by step, as the
        // cursor's grammar has it.
        const char* const begin = cursor_.text().data();
        const char* p = begin + cursor_.offset();
        if (read_plain_level<true>(p, begin + cursor_.text().size(), out)) {
            cursor_.seek(static_cast<std::size_t>(p - begin));
            return true;
        }
        if (cursor_.peek() != '[' || !cursor_.enter(depth_)) return false;
        if (cursor_.array_next(true) != Cursor::Step::Item || !read_f64(out.price)) return false;
        if (cursor_.array_next(false) != Cursor::Step::Item || !read_f64(out.qty)) return false;
        if (cursor_.array_next(false) != Cursor::Step::End) return false;
        Cursor::leave(depth_);
        return true;
    }

    // "[price,qty]" with plain numbers (and, with Spaced, white space around its tokens) at `p`,
    // which moves past it; false for anything else.
    template <bool Spaced>
    static bool read_plain_level(const char*& p, const char* end, PriceLevel& out) {
        auto space = [&p, end]() -> const char*& { return Spaced ? skip_space(p, end) : p; };
        if (space() == end || *p != '[') return false;
        ++p;
        if (!json::read_plain_double<true>(space(), end, out.price) || space() == end || *p != ',') return false;
        ++p;
        if (!json::read_plain_double<true>(space(), end, out.qty) || space() == end || *p != ']') return false;
        ++p;
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
    // A valid command ends with its closing brace and white space. Where it does, every number
    // is followed by a byte that ends it, and the number scans need not watch for the end.
    if (text.empty() || (text.back() != '}' && !Cursor::is_whitespace(static_cast<unsigned char>(text.back())))) {
        return std::nullopt;
    }
    Dataset dataset;
    TextDecoder decoder(text, dataset);
    if (!decoder.read_command()) return std::nullopt;
    dataset.levels.shrink_to_fit();
    return std::optional<Dataset>(std::move(dataset));
}

}  // namespace vorn
