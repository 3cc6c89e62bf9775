#include "core/dataset/decode.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/dataset/decode_fields.hpp"
#include "core/dataset/record_schemas.hpp"
#include "core/json/failure_texts.hpp"

// The dataset has a fixed depth (dataset, list, record, field, level, number), so the walk is a
// set of nested loops over the value tree; nothing recurses on user input. Records are decoded
// straight into the dataset's lists, each reserved from its array length, and book levels into one
// pool reserved from a count taken before the book list is decoded.

namespace vorn {
namespace {

using json::Kind;
using json::Value;
using namespace decode_fields;
using namespace json::failure_text;
using namespace record_schemas;

// The field of each key of the last key shape met in a list. The records of a list share one
// shape (the tree keeps one per key sequence), so their keys are matched to fields once.
struct FieldMap {
    const std::string_view* keys = nullptr;
    std::vector<std::uint8_t> fields;

    template <std::size_t N>
    const std::uint8_t* of(json::ObjectView object, const std::array<std::string_view, N>& names) {
        std::span<const std::string_view> object_keys = object.keys();
        if (object_keys.data() != keys || fields.size() != object_keys.size()) {
            keys = object_keys.data();
            fields.resize(object_keys.size());
            for (std::size_t i = 0; i < object_keys.size(); ++i) {
                fields[i] = static_cast<std::uint8_t>(field_index(names, object_keys[i]));
            }
        }
        return fields.data();
    }
};

// One record in object form (fields in key order, then the missing-field test in declared order)
// or positional form (elements in order, then the length).
template <class Schema>
bool decode_record(const Value& v, typename Schema::Record& out, DecodeContext& cx, FieldMap& map) {
    constexpr std::size_t field_count = Schema::kFields.size();
    Schema schema;
    if (v.kind() == Kind::Object) {
        std::uint32_t seen = 0;
        json::ObjectView members = v.as_object();
        const std::uint8_t* fields = map.of(members, Schema::kFields);
        for (std::size_t k = 0; k < members.size(); ++k) {
            std::size_t i = fields[k];
            if (i == field_count) continue;  // unknown keys are skipped unread
            json::Member member = members[k];
            if (!schema.field(i, member.value, cx)) return false;
            seen |= 1u << i;
        }
        for (std::size_t i = 0; i < field_count; ++i) {
            if ((seen & (1u << i)) == 0) {
                cx.failure = VornError::parse(missing_field(Schema::kFields[i]));
                return false;
            }
        }
    } else if (v.kind() == Kind::Array) {
        json::ArrayView elements = v.as_array();
        std::size_t present = std::min(elements.size(), field_count);
        for (std::size_t i = 0; i < present; ++i) {
            if (!schema.field(i, elements[i], cx)) return false;
        }
        if (elements.size() < field_count) {
            cx.failure = VornError::parse(invalid_length(elements.size(), Schema::kStructLength));
            return false;
        }
        if (elements.size() > field_count) {
            cx.failure = VornError::parse(invalid_length(elements.size(), "fewer elements in array"));
            return false;
        }
    } else {
        cx.failure = VornError::parse(invalid_type(v, Schema::kStruct));
        return false;
    }
    out = schema.finish(cx);
    return true;
}

// The number of levels the book events would put in the pool, so the pool is reserved once.
// Sides that are not arrays count nothing; their events fail when decoded.
std::size_t count_levels(json::ArrayView events) {
    std::size_t total = 0;
    auto add = [&total](const Value& side) {
        if (side.kind() == Kind::Array) total += side.as_array().size();
    };
    for (const Value& event : events) {
        if (event.kind() == Kind::Object) {
            for (const json::Member& member : event.as_object()) {
                if (same_key(member.key, "asks") || same_key(member.key, "bids")) add(member.value);
            }
        } else if (event.kind() == Kind::Array) {
            json::ArrayView fields = event.as_array();
            if (fields.size() > 2) add(fields[2]);
            if (fields.size() > 3) add(fields[3]);
        }
    }
    return total;
}

template <class Schema>
bool decode_list(const Value& v, PodVector<typename Schema::Record>& out, DecodeContext& cx) {
    if (v.kind() != Kind::Array) {
        cx.failure = VornError::parse(invalid_type(v, "a sequence"));
        return false;
    }
    json::ArrayView elements = v.as_array();
    out.reserve(elements.size());
    if constexpr (std::is_same_v<Schema, BookEventSchema>) {
        cx.levels.reserve(cx.levels.size() + count_levels(elements));
    }
    FieldMap map;
    for (const Value& element : elements) {
        typename Schema::Record record;
        if (!decode_record<Schema>(element, record, cx, map)) return false;
        out.push_back(record);
    }
    return true;
}

bool decode_list_at(std::size_t position, const Value& v, Dataset& d, DecodeContext& cx) {
    switch (position) {
        case 0: return decode_list<CandleSchema>(v, d.candles, cx);
        case 1: return decode_list<TradeSchema>(v, d.trades, cx);
        case 2: return decode_list<BookEventSchema>(v, d.book, cx);
        case 3: return decode_list<FundingEventSchema>(v, d.funding, cx);
        case 4: return decode_list<OiEventSchema>(v, d.oi, cx);
        default: return decode_list<LiquidationEventSchema>(v, d.liquidations, cx);
    }
}

bool decode_into(const Value& v, Dataset& d, DecodeContext& cx) {
    if (v.kind() == Kind::Object) {
        for (const json::Member& member : v.as_object()) {
            std::size_t position = field_index(kListNames, member.key);
            if (position == kListNames.size()) continue;  // unknown keys are skipped unread
            if (!decode_list_at(position, member.value, d, cx)) return false;
        }
        return true;
    }
    if (v.kind() == Kind::Array) {
        json::ArrayView lists = v.as_array();
        std::size_t present = std::min(lists.size(), kListNames.size());
        for (std::size_t i = 0; i < present; ++i) {
            if (!decode_list_at(i, lists[i], d, cx)) return false;
        }
        if (lists.size() > kListNames.size()) {
            cx.failure = VornError::parse(invalid_length(lists.size(), "fewer elements in array"));
            return false;
        }
        return true;
    }
    cx.failure = VornError::parse(invalid_type(v, "struct Dataset"));
    return false;
}

}  // namespace

Result<Dataset> decode_dataset(const json::Value& value) {
    Dataset dataset;
    VornError failure{ErrorKind::Parse, {}};
    DecodeContext cx{dataset.levels, failure};
    if (!decode_into(value, dataset, cx)) return failure;
    return Result<Dataset>(std::move(dataset));
}

}  // namespace vorn
