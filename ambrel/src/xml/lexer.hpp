#pragma once

// Byte classes and the reference lexer shared by the reader and the decoders (internal to ambrel::xml).

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace ambrel::xml::detail {

enum ByteClass : std::uint8_t {
    kSpace = 1,      // the four XML white-space bytes
    kNameStart = 2,  // ASCII letters, "_", ":" and every byte of a multi-byte UTF-8 sequence
    kNameChar = 4,   // kNameStart plus digits, "-" and "."
    kAlnum = 8,      // ASCII letters and digits
};

inline constexpr std::array<std::uint8_t, 256> kByteClasses = [] {
    std::array<std::uint8_t, 256> table{};
    for (int c = 0; c < 256; ++c) {
        std::uint8_t bits = 0;
        const bool letter = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
        const bool digit = c >= '0' && c <= '9';
        if (c == ' ' || c == '\t' || c == '\n' || c == '\r') bits |= kSpace;
        if (letter || c == '_' || c == ':' || c >= 0x80) bits |= kNameStart | kNameChar;
        if (digit || c == '-' || c == '.') bits |= kNameChar;
        if (letter || digit) bits |= kAlnum;
        table[static_cast<std::size_t>(c)] = bits;
    }
    return table;
}();

inline bool has_class(char c, ByteClass cls) noexcept {
    return (kByteClasses[static_cast<unsigned char>(c)] & cls) != 0;
}
inline bool is_space(char c) noexcept { return has_class(c, kSpace); }
inline bool is_name_start(char c) noexcept { return has_class(c, kNameStart); }
inline bool is_name_char(char c) noexcept { return has_class(c, kNameChar); }

// The end of the name that starts at `pos` (pos itself when no name starts there).
inline std::size_t scan_name(std::string_view s, std::size_t pos) noexcept {
    if (pos >= s.size() || !is_name_start(s[pos])) return pos;
    ++pos;
    while (pos < s.size() && is_name_char(s[pos])) ++pos;
    return pos;
}

enum class ReferenceLex : std::uint8_t { General, Char, Truncated, Malformed };

struct LexedReference {
    ReferenceLex kind = ReferenceLex::Malformed;
    std::string_view name;  // entity name, or the character reference's body after "&#"
    std::size_t end = 0;    // just after ";" (for General and Char)
};

// Reads the reference whose "&" stands at `amp`: "&name;" or "&#alnum+;". Truncated when the text
// ends before the reference could be complete, Malformed otherwise.
inline LexedReference lex_reference(std::string_view s, std::size_t amp) noexcept {
    std::size_t i = amp + 1;
    if (i >= s.size()) return {ReferenceLex::Truncated, {}, 0};
    if (s[i] == '#') {
        const std::size_t body = i + 1;
        std::size_t j = body;
        while (j < s.size() && has_class(s[j], kAlnum)) ++j;
        if (j >= s.size()) return {ReferenceLex::Truncated, {}, 0};
        if (j == body || s[j] != ';') return {ReferenceLex::Malformed, {}, 0};
        return {ReferenceLex::Char, s.substr(body, j - body), j + 1};
    }
    const std::size_t j = scan_name(s, i);
    if (j == i) return {ReferenceLex::Malformed, {}, 0};
    if (j >= s.size()) return {ReferenceLex::Truncated, {}, 0};
    if (s[j] != ';') return {ReferenceLex::Malformed, {}, 0};
    return {ReferenceLex::General, s.substr(i, j - i), j + 1};
}

}  // namespace ambrel::xml::detail
