#pragma once

// ambrel::json: reading and writing JSON over Boost.JSON's dynamic value (`boost::json::value`,
// whose objects keep the insertion order of their members and have an index).
//
// Reading: `parse` takes exactly one document, reports line and column on failure, lets the last of
// duplicate member names win at the first one's position, and keeps number kinds.
// Writing: never use Boost's own serializer (it writes 0.0 as "0E0" and an overflowed double as
// "Infinity"); use `write_compact` / `write_pretty` here, and `number_text` wherever a record value
// that is a number becomes text.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include <boost/json/array.hpp>
#include <boost/json/object.hpp>
#include <boost/json/string.hpp>
#include <boost/json/value.hpp>

namespace ambrel::json {

using Value = boost::json::value;
using Object = boost::json::object;
using Array = boost::json::array;
using String = boost::json::string;

// ---------------------------------------------------------------------------------------------
// Parsing
// ---------------------------------------------------------------------------------------------

// Why a text is not one JSON document, and where.
struct ParseError {
    // Short lower-case description: "syntax error", "unexpected end of input", "empty input",
    // "trailing characters", "invalid UTF-8", "unexpected control character", "invalid escape",
    // "invalid unicode escape", "invalid surrogate escape in string", "nesting too deep",
    // "exponent too large" (the list may grow; callers show it, they do not match on it).
    std::string reason;
    // 1-based position of the fault: the line (lines end at each line feed) and the column counted in
    // characters (Unicode scalar values) from the start of that line.
    std::size_t line = 1;
    std::size_t column = 1;
    // 0-based byte offset of the fault in the input.
    std::size_t offset = 0;

    // "{reason} at line {line} column {column}", no full stop (callers embed it in their sentences,
    // for example "Could not parse the session scenario file: {}").
    std::string message() const;
};

// Nesting deeper than this (arrays and objects inside each other) is refused as "nesting too deep".
inline constexpr std::size_t kMaxDepth = 512;

// Parses exactly one JSON document (RFC 8259, strings must be valid UTF-8). White space (space, tab,
// line feed, carriage return) may surround it; anything else after it is refused ("trailing
// characters", positioned at the first such byte). An empty or blank text is refused.
// - Duplicate member names: the last value wins, kept at the position of the first occurrence.
// - Numbers: an integer that fits int64 is int64 (0 and -5 are int64); a non-negative integer that
//   fits only uint64 is uint64; a number with a fraction or exponent is a double (0.0 is a double),
//   correctly rounded from its text (std::from_chars; Boost 1.81's own reader is not always exact);
//   an integer beyond 64 bits is a double (never an error); a magnitude beyond the double range
//   becomes an infinite double (written back as null by the writers), one below the smallest
//   subnormal becomes zero. "-0" is the int64 0; "-0.0" is the double -0.0.
std::expected<Value, ParseError> parse(std::string_view text);

// ---------------------------------------------------------------------------------------------
// Kinds and type words
// ---------------------------------------------------------------------------------------------

// The JSON type word the Parts use for a value: "null", "boolean", "number" (int64, uint64 and
// double alike), "string", "array" or "object".
std::string_view type_word(const Value& value) noexcept;

// Like type_word, with "missing" for an absent value (a null pointer, as `find` returns).
std::string_view type_word(const Value* value) noexcept;

// True for an int64 or uint64 value (a number written without fraction or exponent that fit 64
// bits); false for every double, even 4.0.
bool is_integer(const Value& value) noexcept;

// True for int64, uint64 and double values.
bool is_number(const Value& value) noexcept;

// ---------------------------------------------------------------------------------------------
// Reading members and values by type
// ---------------------------------------------------------------------------------------------

// The member of that name, or nullptr when it is absent.
const Value* find(const Object& object, std::string_view key) noexcept;
// The member of that name, or nullptr when `value` is not an object or has no such member.
const Value* find(const Value& value, std::string_view key) noexcept;

// Typed views of a value: the content when the value has that kind, else std::nullopt / nullptr.
std::optional<std::string_view> as_string(const Value& value) noexcept;
std::optional<bool> as_bool(const Value& value) noexcept;
// An integer kind whose value fits int64 (doubles never qualify, even 3.0).
std::optional<std::int64_t> as_int64(const Value& value) noexcept;
// An integer kind whose value is >= 0 (doubles never qualify, even 3.0).
std::optional<std::uint64_t> as_uint64(const Value& value) noexcept;
// Any number, converted to double.
std::optional<double> as_double(const Value& value) noexcept;
const Array* as_array(const Value& value) noexcept;
const Object* as_object(const Value& value) noexcept;

// The same for a member: std::nullopt / nullptr when the member is absent or of another kind.
std::optional<std::string_view> get_string(const Object& object, std::string_view key) noexcept;
std::optional<bool> get_bool(const Object& object, std::string_view key) noexcept;
std::optional<std::int64_t> get_int64(const Object& object, std::string_view key) noexcept;
std::optional<std::uint64_t> get_uint64(const Object& object, std::string_view key) noexcept;
std::optional<double> get_double(const Object& object, std::string_view key) noexcept;
const Array* get_array(const Object& object, std::string_view key) noexcept;
const Object* get_object(const Object& object, std::string_view key) noexcept;

// A member that is absent or has another kind than the one asked for.
struct TypeMismatch {
    std::string key;
    // The type word asked for: "string", "boolean", "number", "integer", "unsigned integer",
    // "array" or "object".
    std::string_view expected;
    // The type word of what is there: "missing", "null", "boolean", "number", "string", "array",
    // "object".
    std::string_view found;

    // "member '{key}' must be a {expected} (found {found})"; an "a" becomes "an" before a vowel.
    std::string message() const;
};

// Required members: the value, or a TypeMismatch naming the key, the kind asked for and what was
// found ("missing" when absent). `read_int64` accepts integer kinds that fit int64; `read_uint64`
// integer kinds >= 0; `read_double` any number.
std::expected<std::string_view, TypeMismatch> read_string(const Object& object, std::string_view key);
std::expected<bool, TypeMismatch> read_bool(const Object& object, std::string_view key);
std::expected<std::int64_t, TypeMismatch> read_int64(const Object& object, std::string_view key);
std::expected<std::uint64_t, TypeMismatch> read_uint64(const Object& object, std::string_view key);
std::expected<double, TypeMismatch> read_double(const Object& object, std::string_view key);
std::expected<const Array*, TypeMismatch> read_array(const Object& object, std::string_view key);
std::expected<const Object*, TypeMismatch> read_object(const Object& object, std::string_view key);

// ---------------------------------------------------------------------------------------------
// Writing
// ---------------------------------------------------------------------------------------------
//
// Both layouts write:
// - strings between double quotes with the standard escapes: \" and \\, \b \f \n \r \t, every other
//   character below U+0020 as \u00XX with lower-case hex digits; every other character (DEL, C1
//   controls, U+2028, U+2029, all non-ASCII) as its UTF-8 bytes. A string that is not valid UTF-8 is
//   written lossily (each maximal ill-formed subpart as U+FFFD), so the output is always valid JSON.
// - numbers through `number_text`; non-finite doubles as null.
// - object members in their order.

// Compact: no white space between tokens.
std::string write_compact(const Value& value);
// Appends the compact form to `out`.
void write_compact(const Value& value, std::string& out);

// Pretty, the layout of session scenario files: two blanks of indentation per level, one member or element per line, ": "
// between key and value, {} and [] for empty objects and arrays, no line feed after the last
// closing bracket (the session scenario writer appends its own). For example {"a":[1,{}],"b":[]}:
//   {
//     "a": [
//       1,
//       {}
//     ],
//     "b": []
//   }
std::string write_pretty(const Value& value);
// Appends the pretty form to `out`; the first line starts at the current end of `out` and nested
// lines are indented relative to indentation level 0.
void write_pretty(const Value& value, std::string& out);

// A JSON string literal (with its quotation marks) for a text, escaped as above.
std::string quote(std::string_view text);
// Appends the JSON string literal for a text to `out`.
void append_quoted(std::string_view text, std::string& out);

// ---------------------------------------------------------------------------------------------
// Numbers as text (the one shared spelling)
// ---------------------------------------------------------------------------------------------
//
// Everywhere a number becomes text (the writers above, record values read from query results and
// field sets, status texts), the same spelling is used, so a value never looks changed because of how
// it was written:
// - int64 and uint64: plain decimal digits, "-" before a negative value ("0", "-5",
//   "18446744073709551615").
// - a finite double: the shortest decimal text that reads back to the same double (std::to_chars),
//   always marked as a double: with the decimal exponent E of its first digit,
//     - -5 <= E <= 15: positional, an integral value with ".0" ("0.0", "-0.0", "1.0", "100.0",
//       "0.1", "0.00001", "123.456", "1000000000000000.0");
//     - otherwise exponent form, "e" and the exponent without "+" or leading zeros ("1e16", "1e21",
//       "1.5e300", "1e-6", "1e-7", "2.5e-8").
// - a non-finite double: "null".

std::string double_text(double value);
std::string int64_text(std::int64_t value);
std::string uint64_text(std::uint64_t value);
// The text of a number value as above; std::nullopt for every other kind.
std::optional<std::string> number_text(const Value& value);

// Appends the text of a double as `double_text` spells it.
void append_double(double value, std::string& out);

}  // namespace ambrel::json
