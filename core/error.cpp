#include "core/error.hpp"

#include <exception>
#include <new>
#include <stdexcept>

namespace vorn {

std::string_view error_prefix(ErrorKind kind) {
    switch (kind) {
        case ErrorKind::Parse: return "parse: ";
        case ErrorKind::BadSpec: return "bad spec: ";
        case ErrorKind::Data: return "data: ";
    }
    return "";
}

VornError current_exception_error() noexcept {
    // "out of memory" fits the short-string buffer, so this answer needs no allocation.
    VornError out_of_memory{ErrorKind::Data, "out of memory"};
    try {
        throw;
    } catch (const std::bad_alloc&) {
        return out_of_memory;
    } catch (const std::length_error&) {
        return out_of_memory;
    } catch (const std::exception& error) {
        try {
            return VornError::data(std::string("internal error: ") + error.what());
        } catch (...) {
            return out_of_memory;
        }
    } catch (...) {
        return VornError{ErrorKind::Data, "internal error"};
    }
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
