#include "core/json/failure_texts.hpp"

#include "core/json/describe.hpp"

namespace vorn::json::failure_text {
namespace {

std::string found_expected(std::string_view head, const Value& found, std::string_view expected) {
    std::string message(head);
    message += describe_value(found);
    message += ", expected ";
    message += expected;
    return message;
}

std::string quoted_field(std::string_view head, std::string_view field) {
    std::string message(head);
    message += field;
    message += '`';
    return message;
}

}  // namespace

std::string invalid_type(const Value& found, std::string_view expected) {
    return found_expected("invalid type: ", found, expected);
}

std::string invalid_value(const Value& found, std::string_view expected) {
    return found_expected("invalid value: ", found, expected);
}

std::string invalid_length(std::size_t length, std::string_view expected) {
    std::string message = "invalid length ";
    message += std::to_string(length);
    message += ", expected ";
    message += expected;
    return message;
}

std::string missing_field(std::string_view field) { return quoted_field("missing field `", field); }

std::string duplicate_field(std::string_view field) { return quoted_field("duplicate field `", field); }

std::string unknown_variant(std::string_view name, std::span<const std::string_view> variants) {
    std::string message = "unknown variant `";
    message += name;
    message += variants.size() == 2 ? "`, expected " : "`, expected one of ";
    for (std::size_t i = 0; i < variants.size(); ++i) {
        if (i != 0) message += variants.size() == 2 ? " or " : ", ";
        message += '`';
        message += variants[i];
        message += '`';
    }
    return message;
}

}  // namespace vorn::json::failure_text
