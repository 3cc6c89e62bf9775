#include "core/dataset/decode_messages.hpp"

#include "core/json/describe.hpp"

namespace vorn::decode_messages {
namespace {

std::string found_expected(std::string_view head, const json::Value& found, std::string_view expected) {
    std::string message(head);
    message += json::describe_value(found);
    message += ", expected ";
    message += expected;
    return message;
}

}  // namespace

std::string invalid_type(const json::Value& found, std::string_view expected) {
    return found_expected("invalid type: ", found, expected);
}

std::string invalid_value(const json::Value& found, std::string_view expected) {
    return found_expected("invalid value: ", found, expected);
}

std::string invalid_length(std::size_t length, std::string_view expected) {
    std::string message = "invalid length ";
    message += std::to_string(length);
    message += ", expected ";
    message += expected;
    return message;
}

std::string missing_field(std::string_view field) {
    std::string message = "missing field `";
    message += field;
    message += '`';
    return message;
}

std::string unknown_variant(std::string_view name, std::string_view first, std::string_view second) {
    std::string message = "unknown variant `";
    message += name;
    message += "`, expected `";
    message += first;
    message += "` or `";
    message += second;
    message += '`';
    return message;
}

}  // namespace vorn::decode_messages
