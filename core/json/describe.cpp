#include "core/json/describe.hpp"

#include "core/json/writer.hpp"

namespace vorn::json {

std::string describe_value(const Value& value) {
    std::string out;
    switch (value.kind()) {
        case Kind::Null: return "null";
        case Kind::Bool: return value.as_bool() ? "boolean `true`" : "boolean `false`";
        case Kind::Unsigned:
            out = "integer `";
            write_uint(out, value.as_unsigned());
            out.push_back('`');
            return out;
        case Kind::Negative:
            out = "integer `";
            write_int(out, value.as_negative());
            out.push_back('`');
            return out;
        case Kind::Float:
            out = "floating point `";
            write_float(out, value.as_float());
            out.push_back('`');
            return out;
        case Kind::String:
            // Quoted with the writer's escapes: '"' and '\\' get a backslash, control bytes
            // their short or \u00XX form.
            out = "string ";
            write_string(out, value.as_string());
            return out;
        case Kind::Array: return "sequence";
        case Kind::Object: return "map";
    }
    return "map";
}

}  // namespace vorn::json
