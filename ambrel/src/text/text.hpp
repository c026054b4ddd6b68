#pragma once

// ambrel::text: UTF-8 text handling shared by every Part that counts, cuts, trims, cleans or
// lower-cases "characters". A character is always a Unicode scalar value (never a byte, never a
// grapheme).
//
// Input that is not valid UTF-8: every function below that takes text accepts any bytes. Unless a
// function says otherwise, it reads its input the way `decode_lossy` does: each maximal subpart of
// an ill-formed sequence (Unicode chapter 3, "U+FFFD substitution of maximal subparts"; the WHATWG
// decoder) counts as exactly one character, a character that is neither white space nor a control
// character. Functions that return a view into their input return whole bytes of it unchanged;
// functions that build a new text return valid UTF-8.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

namespace ambrel::text {

// U+FFFD REPLACEMENT CHARACTER, the stand-in for each maximal ill-formed subsequence.
inline constexpr char32_t kReplacementCharacter = U'\uFFFD';
// U+FFFD encoded in UTF-8.
inline constexpr std::string_view kReplacementUtf8 = "\xEF\xBF\xBD";
// U+2026 HORIZONTAL ELLIPSIS encoded in UTF-8: the mark that ends every shortened text.
inline constexpr std::string_view kEllipsis = "\xE2\x80\xA6";

// ---------------------------------------------------------------------------------------------
// Validation and decoding
// ---------------------------------------------------------------------------------------------

// The first ill-formed sequence of a text: its byte offset and its length in bytes (the maximal
// subpart, 1 to 3 bytes).
struct Utf8Error {
    std::size_t offset = 0;
    std::size_t length = 0;
    // "invalid UTF-8 sequence of {length} byte(s) at byte offset {offset}" (lower case, no full stop,
    // so that callers can embed it: "Could not read the session scenario file: {}").
    std::string message() const;
};

// True when the bytes are well-formed UTF-8 (strict: no overlong forms, no surrogates
// U+D800–U+DFFF, nothing beyond U+10FFFF, no truncated sequence, no stray continuation byte).
bool is_valid_utf8(std::string_view bytes) noexcept;

// Strict validation that names the first fault.
std::expected<void, Utf8Error> validate_utf8(std::string_view bytes) noexcept;

// One decoded step: the scalar value and the number of bytes it took. For an ill-formed sequence
// `valid` is false, `value` is U+FFFD and `length` is the length of its maximal subpart (>= 1).
struct DecodedChar {
    char32_t value = 0;
    std::size_t length = 0;
    bool valid = false;
};

// Decodes the character that starts at byte `offset`. Precondition: offset < bytes.size()
// (a violation throws support::ProgrammingError).
DecodedChar decode_at(std::string_view bytes, std::size_t offset);

// Decodes the character that ends at byte `end` (the one before it when reading backwards).
// Precondition: 0 < end <= bytes.size() (a violation throws support::ProgrammingError). When the bytes
// before `end` do not end with one whole well-formed sequence, `valid` is false, `value` is U+FFFD and
// `length` is 1 (the last byte alone).
DecodedChar decode_before(std::string_view bytes, std::size_t end);

// Lossy decoding: valid sequences are copied, each maximal subpart of an ill-formed sequence becomes
// one U+FFFD. The result is valid UTF-8; a valid input is returned unchanged.
std::string decode_lossy(std::string_view bytes);

// Appends the UTF-8 form of a scalar value. A surrogate or a value beyond U+10FFFF appends U+FFFD.
void append_utf8(std::string& out, char32_t value);

// The UTF-8 form of one scalar value (U+FFFD for a surrogate or a value beyond U+10FFFF).
std::string encode_utf8(char32_t value);

// ---------------------------------------------------------------------------------------------
// Counting and cutting by characters (Unicode scalar values)
// ---------------------------------------------------------------------------------------------

// The number of characters (Unicode scalar values; an ill-formed subpart counts as one).
std::size_t count_chars(std::string_view text) noexcept;

// True when the text has more than `limit` characters; stops reading after limit + 1 characters.
bool has_more_chars_than(std::string_view text, std::size_t limit) noexcept;

// The byte length of the first `count` characters (the whole size when the text is shorter).
// Never ends inside a multi-byte character.
std::size_t byte_length_of_first_chars(std::string_view text, std::size_t count) noexcept;

// True when `offset` is the text's end or the byte there does not continue a multi-byte sequence, so
// that cutting or splicing there splits no character; false beyond the end.
bool is_char_boundary(std::string_view text, std::size_t offset) noexcept;

// "the first N characters" / "cut to N characters" / "at most N characters, nothing marks the cut":
// the text itself when it has at most `count` characters, else its first `count` characters.
// A view into `text`; never splits a multi-byte character.
std::string_view first_chars(std::string_view text, std::size_t count) noexcept;

// "its first N characters followed by …" (for example `auth_failure::shortened` with 64,
// `truncate_reason` with 200): the text unchanged when it has at most `count` characters; otherwise
// its first `count` characters followed by U+2026, that is count + 1 characters in all.
std::string shorten_with_ellipsis(std::string_view text, std::size_t count);

// "at most N characters including the …": the text unchanged when it has at most `limit`
// characters; otherwise its first limit - 1 characters followed by U+2026, exactly `limit`
// characters in all. With limit 0 a longer text becomes the empty text.
std::string shorten_within(std::string_view text, std::size_t limit);

// ---------------------------------------------------------------------------------------------
// White space (the Unicode White_Space property, ICU u_isUWhiteSpace)
// ---------------------------------------------------------------------------------------------

// True for the 25 White_Space characters: U+0009–U+000D, U+0020, U+0085, U+00A0, U+1680,
// U+2000–U+200A, U+2028, U+2029, U+202F, U+205F, U+3000. U+200B ZERO WIDTH SPACE and U+FEFF are not
// white space.
bool is_white_space(char32_t c) noexcept;

// The text without leading and trailing White_Space characters (a view into `text`).
std::string_view trim(std::string_view text) noexcept;
std::string_view trim_start(std::string_view text) noexcept;
std::string_view trim_end(std::string_view text) noexcept;

// "blank": empty, or only White_Space characters.
bool is_blank(std::string_view text) noexcept;

// True when some character of the text is a White_Space character.
bool contains_white_space(std::string_view text) noexcept;

// Every run of White_Space characters becomes one U+0020, and the result is trimmed. Returns valid
// UTF-8 (ill-formed subparts become U+FFFD).
std::string collapse_white_space(std::string_view text);

// ---------------------------------------------------------------------------------------------
// Control characters: U+0000–U+001F and U+007F–U+009F (C0, DEL and C1; tab and line breaks
// included)
// ---------------------------------------------------------------------------------------------

// True for U+0000–U+001F and U+007F–U+009F.
bool is_control(char32_t c) noexcept;

// True when some character of the text is a control character (an ill-formed subpart is not one).
bool contains_control(std::string_view text) noexcept;

// Used by `git::replace_control_characters` and the sanitizers that share its rule: every control
// character (tab, line feed and carriage return included, U+0085 included) becomes one U+0020; all
// other characters are kept. Returns valid UTF-8 (ill-formed subparts become U+FFFD).
std::string replace_control_characters(std::string_view text);

// Every control character is dropped (for diagnostics such as the "ambrel-server: " lines on
// standard error). Returns valid UTF-8 (ill-formed subparts become U+FFFD).
std::string remove_control_characters(std::string_view text);

// ---------------------------------------------------------------------------------------------
// Character classes (ICU)
// ---------------------------------------------------------------------------------------------

// The Unicode Alphabetic property (u_isUAlphabetic): letters of every script, letter numbers such as
// Roman numerals, and marks that are part of letters. Not "_", not digits.
bool is_alphabetic(char32_t c) noexcept;

// "alphanumeric (Unicode)": Alphabetic, or a number (general categories Nd, Nl, No); the same set as
// Rust's char::is_alphanumeric. "_" is not alphanumeric.
bool is_alphanumeric(char32_t c) noexcept;

// ---------------------------------------------------------------------------------------------
// Case
// ---------------------------------------------------------------------------------------------

// Full Unicode lower-casing with the root locale (ICU's language-independent rules, with the
// Final_Sigma context): "ÉCOLE" → "école", "İ" → "i̇" (i followed by U+0307), "ß" stays "ß", "ΟΔΟΣ"
// → "οδος" ending in ς. Ill-formed input is read lossily (subparts become U+FFFD).
std::string to_lower(std::string_view text);

// ASCII letters only: A–Z become a–z, every other byte is kept.
std::string to_ascii_lower(std::string_view text);

// Equal when compared byte by byte with ASCII letters folded (other bytes must match exactly).
bool equals_ascii_case_insensitive(std::string_view a, std::string_view b) noexcept;

}  // namespace ambrel::text
