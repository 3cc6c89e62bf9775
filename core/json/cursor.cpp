#include "core/json/cursor.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "core/json/digit_run.hpp"
#include "core/json/powers_of_ten.hpp"
#include "core/json/store.hpp"
#include "core/json/walk.hpp"

namespace vorn::json {
namespace {

bool is_digit(unsigned char c) { return c >= '0' && c <= '9'; }

int hex_value(unsigned char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

void append_utf8(std::string& out, std::uint32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

// Offset of the first byte at or after `pos` that ends a plain run inside a string: a double
// quote, a backslash or a control byte; text.size() when there is none. Eight bytes at a time.
std::size_t find_string_special(std::string_view text, std::size_t pos) {
    const char* data = text.data();
    const std::size_t size = text.size();
    if constexpr (std::endian::native == std::endian::little) {
        constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
        constexpr std::uint64_t kHigh = 0x8080808080808080ULL;
        while (pos + 8 <= size) {
            std::uint64_t word;
            std::memcpy(&word, data + pos, 8);
            // A byte is flagged when it is below 0x20, equal to '"' or equal to '\\'. Borrows can
            // only flag bytes above a truly flagged one, so the lowest flag is exact.
            std::uint64_t control = (word - kOnes * 0x20) & ~word;
            std::uint64_t quote = word ^ (kOnes * '"');
            quote = (quote - kOnes) & ~quote;
            std::uint64_t backslash = word ^ (kOnes * '\\');
            backslash = (backslash - kOnes) & ~backslash;
            std::uint64_t flags = (control | quote | backslash) & kHigh;
            if (flags != 0) return pos + static_cast<std::size_t>(std::countr_zero(flags) / 8);
            pos += 8;
        }
    }
    while (pos < size) {
        unsigned char c = static_cast<unsigned char>(data[pos]);
        if (c == '"' || c == '\\' || c < 0x20) return pos;
        ++pos;
    }
    return size;
}

constexpr std::uint64_t kMaxSignificand = std::numeric_limits<std::uint64_t>::max();

}  // namespace

std::string position_text(std::string_view text, std::size_t offset) {
    offset = std::min(offset, text.size());
    std::size_t line = 1;
    std::size_t line_start = 0;
    const char* data = text.data();
    for (const char* p = data; (p = static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(data + offset - p)))) != nullptr;) {
        ++line;
        ++p;
        line_start = static_cast<std::size_t>(p - data);
        if (p == data + offset) break;
    }
    std::string out = " at line ";
    out += std::to_string(line);
    out += " column ";
    out += std::to_string(offset - line_start);
    return out;
}

VornError Cursor::error() const {
    return error_at(failure_.message == nullptr ? std::string_view() : std::string_view(failure_.message), failure_.offset);
}

VornError Cursor::error_at(std::string_view message, std::size_t offset) const {
    std::string text(message);
    text += position(offset);
    return VornError::parse(std::move(text));
}

// --- Strings ---

bool Cursor::read_string(std::string_view& out, std::string& scratch) {
    const std::size_t start = pos_ + 1;  // after the opening quote
    std::size_t at = find_string_special(text_, start);
    if (at == text_.size()) return fail(message::kEofString, text_.size());
    char c = text_[at];
    if (c == '"') {
        out = text_.substr(start, at - start);
        pos_ = at + 1;
        return true;
    }
    if (c != '\\') return fail(message::kControlCharacter, at + 1);
    pos_ = at;
    return read_string_escaped(start, out, scratch);
}

bool Cursor::read_hex4(std::uint32_t& out) {
    if (text_.size() - pos_ < 4) return fail(message::kEofString, text_.size());
    std::uint32_t value = 0;
    for (int i = 0; i < 4; ++i) {
        int digit = hex_value(static_cast<unsigned char>(text_[pos_]));
        ++pos_;
        if (digit < 0) return fail(message::kInvalidEscape, pos_);
        value = (value << 4) | static_cast<std::uint32_t>(digit);
    }
    out = value;
    return true;
}

// Continues a string at its first backslash (pos_), unescaping into `scratch`.
bool Cursor::read_string_escaped(std::size_t start, std::string_view& out, std::string& scratch) {
    scratch.assign(text_.data() + start, pos_ - start);
    const std::size_t size = text_.size();
    for (;;) {
        // pos_ is at a backslash.
        ++pos_;
        if (pos_ == size) return fail(message::kEofString, size);
        char e = text_[pos_++];
        switch (e) {
            case '"': scratch.push_back('"'); break;
            case '\\': scratch.push_back('\\'); break;
            case '/': scratch.push_back('/'); break;
            case 'b': scratch.push_back('\b'); break;
            case 'f': scratch.push_back('\f'); break;
            case 'n': scratch.push_back('\n'); break;
            case 'r': scratch.push_back('\r'); break;
            case 't': scratch.push_back('\t'); break;
            case 'u': {
                std::uint32_t unit = 0;
                if (!read_hex4(unit)) return false;
                if (unit >= 0xDC00 && unit <= 0xDFFF) return fail(message::kLoneLeadingSurrogate, pos_);
                if (unit >= 0xD800 && unit <= 0xDBFF) {
                    if (pos_ == size) return fail(message::kEofString, size);
                    if (text_[pos_] != '\\') return fail(message::kUnexpectedEndOfHexEscape, pos_ + 1);
                    ++pos_;
                    if (pos_ == size) return fail(message::kEofString, size);
                    if (text_[pos_] != 'u') return fail(message::kUnexpectedEndOfHexEscape, pos_ + 1);
                    ++pos_;
                    std::uint32_t low = 0;
                    if (!read_hex4(low)) return false;
                    if (low < 0xDC00 || low > 0xDFFF) return fail(message::kLoneLeadingSurrogate, pos_);
                    unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
                }
                append_utf8(scratch, unit);
                break;
            }
            default: return fail(message::kInvalidEscape, pos_);
        }
        // The plain run up to the next special byte.
        std::size_t at = find_string_special(text_, pos_);
        if (at == size) return fail(message::kEofString, size);
        scratch.append(text_.data() + pos_, at - pos_);
        pos_ = at;
        char c = text_[at];
        if (c == '"') {
            ++pos_;
            out = scratch;
            return true;
        }
        if (c != '\\') return fail(message::kControlCharacter, at + 1);
    }
}

// --- Numbers ---

namespace {

// The largest significand that can take one more digit of any value without overflowing.
constexpr std::uint64_t kSafeSignificand = kMaxSignificand / 10 - 1;  // 1844674407370955160

// Adds one digit to the significand; false (significand unchanged) once it would overflow.
bool gather_digit(std::uint64_t& significand, unsigned digit) {
    if (significand <= kSafeSignificand || (significand == kSafeSignificand + 1 && digit <= kMaxSignificand % 10)) {
        significand = significand * 10 + digit;
        return true;
    }
    return false;
}

}  // namespace

namespace {

// A number being read: where the scan stands, and what it has gathered. The value is
// significand x 10^exponent with the sign; `overflowed` once digits beyond the significand's 64
// bits were dropped (each one counted in the exponent while it is in the integer part).
struct NumberScan {
    const char* begin;  // of the whole text, for offsets
    const char* end;
    const char* p;
    bool negative = false;
    bool integer = true;  // no fraction and no exponent seen
    bool overflowed = false;
    std::uint64_t significand = 0;
    std::int64_t exponent = 0;

    bool digit_here() const { return p < end && is_digit(static_cast<unsigned char>(*p)); }
    // The failure point just after the byte at p.
    std::size_t offset_after() const { return static_cast<std::size_t>(p - begin) + 1; }
    std::size_t offset() const { return static_cast<std::size_t>(p - begin); }
};

// What a step left to do: go on, fail (with the failure recorded), or stop with the value set.
enum class Scan : std::uint8_t { More, Failed, Done };

inline Scan failed(Cursor& cursor, const char* message, std::size_t offset) {
    cursor.fail(message, offset);
    return Scan::Failed;
}

// The integer part: "0", or a digit 1-9 and any digits after it.
inline Scan scan_integer_part(NumberScan& n, Cursor& cursor) {
    if (*n.p == '0') {
        ++n.p;
        if (n.digit_here()) return failed(cursor, message::kInvalidNumber, n.offset_after());
        return Scan::More;
    }
    if (*n.p < '1' || *n.p > '9') return failed(cursor, message::kInvalidNumber, n.offset_after());
    // The first 16 digits always fit, so they are gathered in runs without overflow checks.
    if constexpr (std::endian::native == std::endian::little) {
        std::uint64_t run = 0;
        int gathered = 0;
        while (gathered < 16 && n.end - n.p >= 8) {
            int count = read_digit_run(n.p, run);
            n.significand = n.significand * kSmallPowersOfTen[count] + run;
            n.p += count;
            gathered += count;
            if (count < 8) break;
        }
    }
    while (n.digit_here()) {
        if (n.overflowed || !gather_digit(n.significand, static_cast<unsigned>(*n.p - '0'))) {
            n.overflowed = true;
            ++n.exponent;
        }
        ++n.p;
    }
    return Scan::More;
}

// A fraction, when a '.' follows: at least one digit; digits past the significand's capacity are
// dropped.
inline Scan scan_fraction(NumberScan& n, Cursor& cursor, std::size_t text_size) {
    if (n.p == n.end || *n.p != '.') return Scan::More;
    n.integer = false;
    ++n.p;
    if (n.p == n.end) return failed(cursor, message::kEofValue, text_size);
    if (!is_digit(static_cast<unsigned char>(*n.p))) return failed(cursor, message::kInvalidNumber, n.offset_after());
    if constexpr (std::endian::native == std::endian::little) {
        // Below 10^11 the significand takes any 8 more digits.
        std::uint64_t run = 0;
        while (!n.overflowed && n.significand < 100000000000ULL && n.end - n.p >= 8) {
            int count = read_digit_run(n.p, run);
            n.significand = n.significand * kSmallPowersOfTen[count] + run;
            n.exponent -= count;
            n.p += count;
            if (count < 8) break;
        }
    }
    while (n.digit_here()) {
        // Once a digit would overflow the significand, it and every later one is dropped.
        if (!n.overflowed) {
            if (gather_digit(n.significand, static_cast<unsigned>(*n.p - '0'))) {
                --n.exponent;
            } else {
                n.overflowed = true;
            }
        }
        ++n.p;
    }
    return Scan::More;
}

// An exponent, when 'e' or 'E' follows: an optional sign and at least one digit. One too large to
// count is out of range upwards; downwards it makes the number zero (Done, `out` set).
template <class Out>
Scan scan_exponent(NumberScan& n, Cursor& cursor, std::size_t text_size, Out& out) {
    if (n.p == n.end || (*n.p != 'e' && *n.p != 'E')) return Scan::More;
    n.integer = false;
    ++n.p;
    if (n.p == n.end) return failed(cursor, message::kEofValue, text_size);
    bool exponent_negative = false;
    if (*n.p == '+' || *n.p == '-') {
        exponent_negative = *n.p == '-';
        ++n.p;
        if (n.p == n.end) return failed(cursor, message::kEofValue, text_size);
    }
    if (!is_digit(static_cast<unsigned char>(*n.p))) return failed(cursor, message::kInvalidNumber, n.offset_after());
    constexpr std::int32_t kMaxExponent = std::numeric_limits<std::int32_t>::max();
    std::int32_t written = 0;
    bool too_large = false;
    while (n.digit_here()) {
        std::int32_t digit = *n.p - '0';
        ++n.p;
        if (too_large) continue;
        if (written > (kMaxExponent - digit) / 10) {
            if (!exponent_negative && n.significand != 0) {
                return failed(cursor, message::kNumberOutOfRange, n.offset());
            }
            too_large = true;
            continue;
        }
        written = written * 10 + digit;
    }
    if (too_large) {
        out.floating(n.negative ? -0.0 : 0.0);
        return Scan::Done;
    }
    n.exponent += exponent_negative ? -static_cast<std::int64_t>(written) : written;
    return Scan::More;
}

// Where a number read goes: a Value, or straight into its stored node (the reader's tree).
struct ValueOut {
    Value& value;
    void unsigned_integer(std::uint64_t u) { value = Value::unsigned_integer(u); }
    void negative_integer(std::int64_t i) { value = Value::negative_integer(i); }
    void floating(double f) { value = Value::floating(f); }
};
struct NodeOut {
    Node& node;
    Arena& arena;
    void unsigned_integer(std::uint64_t u) {
        node = u <= Node::kPayload ? Node::tagged(Node::kSmallUnsigned, u) : store_value(Value::unsigned_integer(u), arena);
    }
    void negative_integer(std::int64_t i) { node = store_value(Value::negative_integer(i), arena); }
    void floating(double f) { node = Node::finite(f); }  // numbers read from text are finite
};

// An integer that fits is kept exact: unsigned, or negative down to -2^63 (-0 is a float).
template <class Out>
bool exact_integer(const NumberScan& n, Out& out) {
    if (!n.integer || n.overflowed) return false;
    if (!n.negative) {
        out.unsigned_integer(n.significand);
        return true;
    }
    if (n.significand == 0) {
        out.floating(-0.0);
        return true;
    }
    if (n.significand <= (std::uint64_t{1} << 63)) {
        out.negative_integer(static_cast<std::int64_t>(0 - n.significand));
        return true;
    }
    return false;
}

// Any other number as a double: the significand scaled by the nearest double of each power of
// ten; false when it is out of range.
template <class Out>
bool scaled_float(const NumberScan& n, Out& out) {
    double value = static_cast<double>(n.significand);
    std::int64_t exponent = n.exponent;
    for (;;) {
        std::uint64_t magnitude = exponent < 0 ? 0 - static_cast<std::uint64_t>(exponent) : static_cast<std::uint64_t>(exponent);
        if (magnitude <= 308) {
            if (exponent >= 0) {
                value *= kPowersOfTen[magnitude];
                if (std::isinf(value)) return false;
            } else {
                value /= kPowersOfTen[magnitude];
            }
            break;
        }
        if (value == 0.0) break;
        if (exponent >= 0) return false;
        value /= 1e308;
        exponent += 308;
    }
    out.floating(n.negative ? -value : value);
    return true;
}

}  // namespace

bool Cursor::read_number(Value& out) {
    ValueOut to{out};
    return read_number_to(to);
}

bool Cursor::read_number(Node& out, Arena& arena) {
    NodeOut to{out, arena};
    return read_number_to(to);
}

template <class Out>
bool Cursor::read_number_to(Out& out) {
    NumberScan n{text_.data(), text_.data() + text_.size(), text_.data() + pos_};
    if (*n.p == '-') {
        n.negative = true;
        ++n.p;
        if (n.p == n.end) return fail(message::kEofValue, text_.size());
    }
    Scan step = scan_integer_part(n, *this);
    if (step == Scan::More) step = scan_fraction(n, *this, text_.size());
    if (step == Scan::More) step = scan_exponent(n, *this, text_.size(), out);
    if (step == Scan::Failed) return false;
    const std::size_t number_end = n.offset();
    if (step == Scan::Done || exact_integer(n, out) || scaled_float(n, out)) {
        pos_ = number_end;
        return true;
    }
    return fail(message::kNumberOutOfRange, number_end);
}

// --- Literals and scalars ---

bool Cursor::read_literal(Value& out) {
    std::string_view word;
    switch (text_[pos_]) {
        case 'n': word = "null"; out = Value::null(); break;
        case 't': word = "true"; out = Value::boolean(true); break;
        default: word = "false"; out = Value::boolean(false); break;
    }
    std::size_t pos = pos_ + 1;
    for (std::size_t i = 1; i < word.size(); ++i, ++pos) {
        if (pos == text_.size()) return fail(message::kEofValue, pos);
        if (text_[pos] != word[i]) return fail(message::kExpectedIdent, pos + 1);
    }
    pos_ = pos;
    return true;
}

bool Cursor::read_scalar(Value& out, std::string& scratch) {
    int c = peek();
    switch (c) {
        case kEnd: return fail(message::kEofValue, text_.size());
        case '"': {
            std::string_view s;
            if (!read_string(s, scratch)) return false;
            out = Value::string(s.data(), s.size());
            return true;
        }
        case '-': case '0': case '1': case '2': case '3': case '4':
        case '5': case '6': case '7': case '8': case '9':
            return read_number(out);
        case 'n': case 't': case 'f':
            return read_literal(out);
        default:
            return fail(message::kExpectedValue, pos_ + 1);
    }
}

// --- Containers ---

bool Cursor::enter(int& depth) {
    ++pos_;
    if (depth >= kMaxDepth) return fail(message::kRecursionLimitExceeded, pos_);
    ++depth;
    return true;
}

Cursor::Step Cursor::object_next(bool first, std::string_view& key, std::string& scratch) {
    std::size_t key_end = 0;
    return object_next(first, key, scratch, key_end);
}

Cursor::Step Cursor::object_next(bool first, std::string_view& key, std::string& scratch, std::size_t& key_end) {
    int c = peek();
    if (c == kEnd) {
        fail(message::kEofObject, text_.size());
        return Step::Failed;
    }
    if (c == '}') {
        ++pos_;
        return Step::End;
    }
    if (!first && !pass_comma(c, '}', message::kExpectedObjectCommaOrEnd)) return Step::Failed;
    if (c != '"') {
        fail(message::kKeyMustBeString, pos_ + 1);
        return Step::Failed;
    }
    if (!read_string(key, scratch)) return Step::Failed;
    key_end = pos_;
    c = peek();
    if (c == kEnd) {
        fail(message::kEofObject, text_.size());
        return Step::Failed;
    }
    if (c != ':') {
        fail(message::kExpectedColon, pos_ + 1);
        return Step::Failed;
    }
    ++pos_;
    if (peek() == kEnd) {
        fail(message::kEofValue, text_.size());
        return Step::Failed;
    }
    return Step::Item;
}

namespace {

// A walk that only checks the values.
struct Skipper {
    Cursor& cursor;
    OpenKinds kinds;
    std::string key_scratch;
    std::string value_scratch;
    Value scalar_value;

    bool skips(std::size_t) const { return false; }
    bool scalar(int) { return cursor.read_scalar(scalar_value, value_scratch); }
    void open(bool is_object) { kinds.push(is_object); }
    void key(std::string_view) {}
    void empty(bool) {}
    void close(bool) { kinds.pop(); }
    std::size_t open_count() const { return kinds.size(); }
    bool innermost_is_object() const { return kinds.top_is_object(); }
    std::string& scratch() { return key_scratch; }
};

}  // namespace

bool Cursor::skip_value() {
    Skipper skipper{*this, {}, {}, {}, {}};
    return walk_value(*this, skipper, std::nullopt);
}

bool Cursor::skip_value(int open_depth) {
    Skipper skipper{*this, {}, {}, {}, {}};
    return walk_value(*this, skipper, static_cast<std::size_t>(open_depth));
}

bool Cursor::expect_end() {
    if (peek() != kEnd) return fail(message::kTrailingCharacters, pos_ + 1);
    return true;
}

}  // namespace vorn::json
