#include "core/error.hpp"

namespace vorn {

std::string_view error_prefix(ErrorKind kind) {
    switch (kind) {
        case ErrorKind::Parse: return "parse: ";
        case ErrorKind::BadSpec: return "bad spec: ";
        case ErrorKind::Data: return "data: ";
    }
    return "";
}

std::string VornError::display() const {
    std::string_view prefix = error_prefix(kind);
    std::string text;
    text.reserve(prefix.size() + message.size());
    text.append(prefix);
    text.append(message);
    return text;
}

}  // namespace vorn
