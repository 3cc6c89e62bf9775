#pragma once
// The lexical layer shared by the generic reader and the direct spec reader: a cursor over one
// JSON text that knows its byte offset, reads tokens (strings, numbers, literals), walks arrays
// and objects with the exact grammar failures, and skips whole values without recursion.
//
// Conventions:
// - Offsets are byte offsets into the text given to the constructor. `offset()` is the number of
//   bytes consumed so far, so it is both "the position after the last token read" and, after
//   `peek()`, "the position before the next token" (e.g. before an opening bracket).
// - Every reading call returns true on success. On failure it returns false and records one
//   `Failure` (a fixed message and the failure point); nothing is thrown. `error()` turns the
//   recorded failure into the Parse error "message at line L column C".
// - The failure point of a syntax failure lies just after the byte being examined; a failure at
//   the end of the text lies after its last byte.
// - The cursor never allocates except in the caller's `scratch` string (strings with escapes)
//   and in `skip_value` for the open-container stack of deeply nested values.
//
// Typical walk of an object (the direct reader does the same with its own records):
//
//     int depth = 0;
//     if (!cursor.enter(depth)) return cursor.error();        // at '{', as returned by peek()
//     std::string_view key;
//     for (bool first = true;; first = false) {
//         Cursor::Step step = cursor.object_next(first, key, scratch);
//         if (step == Cursor::Step::Failed) return cursor.error();
//         if (step == Cursor::Step::End) break;                // '}' consumed
//         int c = cursor.peek();                               // the value's first byte, never kEnd
//         if (c == '[' || c == '{') { ... } else if (!cursor.read_scalar(value, scratch)) ...
//     }
//     cursor.leave(depth);
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/error.hpp"
#include "core/json/reader.hpp"
#include "core/json/arena.hpp"
#include "core/json/node.hpp"
#include "core/json/value.hpp"

namespace vorn::json {

// The reader's failure messages, shared so that every reader spells them identically.
namespace message {
inline constexpr const char* kEofList = "EOF while parsing a list";
inline constexpr const char* kEofObject = "EOF while parsing an object";
inline constexpr const char* kEofString = "EOF while parsing a string";
inline constexpr const char* kEofValue = "EOF while parsing a value";
inline constexpr const char* kExpectedColon = "expected `:`";
inline constexpr const char* kExpectedListCommaOrEnd = "expected `,` or `]`";
inline constexpr const char* kExpectedObjectCommaOrEnd = "expected `,` or `}`";
inline constexpr const char* kExpectedIdent = "expected ident";
inline constexpr const char* kExpectedValue = "expected value";
inline constexpr const char* kInvalidEscape = "invalid escape";
inline constexpr const char* kInvalidNumber = "invalid number";
inline constexpr const char* kNumberOutOfRange = "number out of range";
inline constexpr const char* kControlCharacter =
    "control character (\\u0000-\\u001F) found while parsing a string";
inline constexpr const char* kKeyMustBeString = "key must be a string";
inline constexpr const char* kLoneLeadingSurrogate = "lone leading surrogate in hex escape";
inline constexpr const char* kTrailingComma = "trailing comma";
inline constexpr const char* kTrailingCharacters = "trailing characters";
inline constexpr const char* kUnexpectedEndOfHexEscape = "unexpected end of hex escape";
inline constexpr const char* kRecursionLimitExceeded = "recursion limit exceeded";
}  // namespace message

// One recorded failure: a message with static storage and the byte offset of the failure point.
struct Failure {
    const char* message = nullptr;
    std::size_t offset = 0;
};

// " at line L column C" for a failure point at byte `offset` of `text`: L is 1 plus the number
// of line feeds before the point, C the number of bytes from the start of that line to it.
std::string position_text(std::string_view text, std::size_t offset);

class Cursor {
public:
    // Returned by peek() when only white space (or nothing) is left.
    static constexpr int kEnd = -1;

    // Outcome of one step through an array or object.
    enum class Step : std::uint8_t {
        Item,    // another element/member follows; the cursor is at its value's first byte
        End,     // the closing bracket or brace was consumed
        Failed,  // a failure was recorded
    };

    explicit Cursor(std::string_view text) noexcept : text_(text) {}

    std::string_view text() const { return text_; }
    std::size_t offset() const { return pos_; }
    // Moves to an earlier or later offset (at most text().size()), e.g. to read again a value
    // that was only checked before. Positions of failures stay relative to the whole text.
    void seek(std::size_t offset) { pos_ = offset; }

    // Skips white space (space, tab, line feed, carriage return) and returns the next byte
    // (0..255) without consuming it, or kEnd at the end of the text.
    int peek() {
        // Compact text has no white space between tokens: answer that case without a loop.
        if (pos_ < text_.size()) {
            unsigned char c = static_cast<unsigned char>(text_[pos_]);
            if (c > ' ') return c;
        }
        skip_whitespace();
        return pos_ < text_.size() ? static_cast<unsigned char>(text_[pos_]) : kEnd;
    }
    // Consumes one byte; only after peek() returned a byte.
    void bump() { ++pos_; }
    void skip_whitespace() {
        while (pos_ < text_.size() && is_whitespace(static_cast<unsigned char>(text_[pos_]))) ++pos_;
    }
    static bool is_whitespace(unsigned char c) { return c == ' ' || c == '\n' || c == '\r' || c == '\t'; }

    // --- Tokens. Each starts at the byte that peek() returned. ---

    // At '"': reads one string. `out` points into the text when the string has no escape;
    // otherwise the unescaped bytes are written to `scratch` (replacing its contents) and `out`
    // points into `scratch`, valid until `scratch` changes.
    bool read_string(std::string_view& out, std::string& scratch);
    // At '-' or a digit: reads one number as Unsigned, Negative or Float.
    bool read_number(Value& out);
    // The same, written straight in its stored form (large integers boxed in `arena`).
    bool read_number(Node& out, Arena& arena);
    // At 'n', 't' or 'f': reads null, true or false ("expected ident" for other words).
    bool read_literal(Value& out);
    // Any value except an array or object: a string (as read_string), number or literal.
    // Fails with "expected value" on a byte that starts no value (including '[' and '{': the
    // caller handles containers), and with "EOF while parsing a value" at the end of the text.
    bool read_scalar(Value& out, std::string& scratch);

    // --- Containers. ---

    // At '[' or '{': consumes it and counts one more open container in `depth`. With `depth`
    // already at kMaxDepth it fails with "recursion limit exceeded" after the bracket.
    bool enter(int& depth);
    // Counts one container fewer once its End step was seen.
    static void leave(int& depth) { --depth; }

    // The next step of an array whose '[' was consumed: `first` is true right after '[' and
    // false after each element. On Item the next element's first byte is present.
    Step array_next(bool first);
    // The next step of an object whose '{' was consumed: `first` is true right after '{' and
    // false after each member's value. On Item the key has been read into `key` (see
    // read_string for `scratch`), the colon consumed and the value's first byte is present.
    // `key_end` receives the offset just after the key's closing quote.
    Step object_next(bool first, std::string_view& key, std::string& scratch);
    Step object_next(bool first, std::string_view& key, std::string& scratch, std::size_t& key_end);

    // Skips one whole value, checking that it is well-formed, without counting its nesting
    // (any depth is accepted; no recursion). Starts where a value is due (white space allowed).
    bool skip_value();
    // Skips one whole value counting its nesting on top of `open_depth` containers already
    // open: opening one beyond kMaxDepth fails with "recursion limit exceeded".
    bool skip_value(int open_depth);

    // After the top-level value: only white space may follow, else "trailing characters".
    bool expect_end();

    // --- Failures. ---

    // Records a failure at `offset` and returns false, for callers' own checks.
    bool fail(const char* message, std::size_t offset) {
        failure_ = {message, offset};
        return false;
    }
    const Failure& failure() const { return failure_; }
    // The recorded failure as a Parse error: "message at line L column C".
    VornError error() const;
    // Any message (e.g. a record-level failure) as a Parse error placed at `offset`.
    VornError error_at(std::string_view message, std::size_t offset) const;
    std::string position(std::size_t offset) const { return position_text(text_, offset); }

private:
    template <class Out>
    bool read_number_to(Out& out);
    bool read_string_escaped(std::size_t start, std::string_view& out, std::string& scratch);
    bool read_hex4(std::uint32_t& out);
    // Between two items, at `c`: the comma, then the next item's first byte, left in `c`. A
    // `close` right after the comma is a trailing comma. False once a failure is recorded.
    bool pass_comma(int& c, int close, const char* expected_comma_or_end);

    std::string_view text_;
    std::size_t pos_ = 0;
    Failure failure_;
};

// Inline: taken once per array element on the reader's hot path.
inline Cursor::Step Cursor::array_next(bool first) {
    int c = peek();
    if (c == ']') {
        ++pos_;
        return Step::End;
    }
    if (c == kEnd) {
        fail(message::kEofList, text_.size());
        return Step::Failed;
    }
    if (!first && !pass_comma(c, ']', message::kExpectedListCommaOrEnd)) return Step::Failed;
    return Step::Item;
}

inline bool Cursor::pass_comma(int& c, int close, const char* expected_comma_or_end) {
    if (c != ',') return fail(expected_comma_or_end, pos_ + 1);
    ++pos_;
    c = peek();
    if (c == kEnd) return fail(message::kEofValue, text_.size());
    if (c == close) return fail(message::kTrailingComma, pos_ + 1);
    return true;
}

}  // namespace vorn::json
