#include "text/text.hpp"

#include <cstring>

#include <unicode/bytestream.h>
#include <unicode/casemap.h>
#include <unicode/stringpiece.h>
#include <unicode/uchar.h>
#include <unicode/utypes.h>

#include "support/programming_error.hpp"

namespace ambrel::text {

namespace {

inline unsigned char byte_at(std::string_view s, std::size_t i) noexcept {
    return static_cast<unsigned char>(s[i]);
}

// Decodes at `i` (i < s.size()) following Unicode table 3-7; an ill-formed sequence reports the
// length of its maximal subpart.
inline DecodedChar decode_unchecked(std::string_view s, std::size_t i) noexcept {
    const unsigned char b0 = byte_at(s, i);
    if (b0 < 0x80) return {b0, 1, true};
    int need = 0;
    unsigned char lo = 0x80;
    unsigned char hi = 0xBF;
    char32_t cp = 0;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        need = 1;
        cp = b0 & 0x1F;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        need = 2;
        cp = b0 & 0x0F;
        if (b0 == 0xE0) lo = 0xA0;
        if (b0 == 0xED) hi = 0x9F;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        need = 3;
        cp = b0 & 0x07;
        if (b0 == 0xF0) lo = 0x90;
        if (b0 == 0xF4) hi = 0x8F;
    } else {
        return {kReplacementCharacter, 1, false};
    }
    std::size_t n = 1;
    for (int k = 0; k < need; ++k) {
        if (i + n >= s.size()) return {kReplacementCharacter, n, false};
        const unsigned char b = byte_at(s, i + n);
        if (b < lo || b > hi) return {kReplacementCharacter, n, false};
        cp = (cp << 6) | (b & 0x3F);
        ++n;
        lo = 0x80;
        hi = 0xBF;
    }
    return {cp, n, true};
}

// Length of the run of ASCII bytes starting at `i`.
inline std::size_t ascii_run(std::string_view s, std::size_t i) noexcept {
    std::size_t j = i;
    const std::size_t n = s.size();
    while (j + 8 <= n) {
        std::uint64_t word;
        std::memcpy(&word, s.data() + j, 8);
        if (word & 0x8080808080808080ULL) break;
        j += 8;
    }
    while (j < n && byte_at(s, j) < 0x80) ++j;
    return j - i;
}

// Calls f(decoded, byte offset) for every character; stops early when f returns false.
template <class F>
void for_each_char(std::string_view s, F&& f) {
    std::size_t i = 0;
    while (i < s.size()) {
        DecodedChar d = decode_unchecked(s, i);
        if (!f(d, i)) return;
        i += d.length;
    }
}

// Copies the text lossily and maps each valid character through `map`: map(c, out) appends what
// replaces c.
template <class Map>
std::string transform_lossy(std::string_view s, Map&& map) {
    std::string out;
    out.reserve(s.size());
    std::size_t i = 0;
    while (i < s.size()) {
        DecodedChar d = decode_unchecked(s, i);
        if (!d.valid) {
            out.append(kReplacementUtf8);
        } else {
            map(d.value, s.substr(i, d.length), out);
        }
        i += d.length;
    }
    return out;
}

}  // namespace

std::string Utf8Error::message() const {
    return "invalid UTF-8 sequence of " + std::to_string(length) + (length == 1 ? " byte" : " bytes") +
           " at byte offset " + std::to_string(offset);
}

std::expected<void, Utf8Error> validate_utf8(std::string_view bytes) noexcept {
    std::size_t i = 0;
    while (i < bytes.size()) {
        i += ascii_run(bytes, i);
        if (i >= bytes.size()) break;
        DecodedChar d = decode_unchecked(bytes, i);
        if (!d.valid) return std::unexpected(Utf8Error{i, d.length});
        i += d.length;
    }
    return {};
}

bool is_valid_utf8(std::string_view bytes) noexcept { return validate_utf8(bytes).has_value(); }

DecodedChar decode_at(std::string_view bytes, std::size_t offset) {
    support::require(offset < bytes.size(), "text::decode_at: offset beyond the end of the text");
    return decode_unchecked(bytes, offset);
}

DecodedChar decode_before(std::string_view bytes, std::size_t end) {
    support::require(end > 0 && end <= bytes.size(), "text::decode_before: end outside the text");
    const unsigned char last = byte_at(bytes, end - 1);
    if (last < 0x80) return {last, 1, true};
    // Step back over at most 3 continuation bytes to a lead byte.
    std::size_t start = end - 1;
    while (start > 0 && end - start < 4 && (byte_at(bytes, start) & 0xC0) == 0x80) --start;
    const DecodedChar d = decode_unchecked(bytes, start);
    if (d.valid && start + d.length == end) return d;
    return {kReplacementCharacter, 1, false};
}

std::string decode_lossy(std::string_view bytes) {
    auto first = validate_utf8(bytes);
    if (first) return std::string(bytes);
    std::string out;
    out.reserve(bytes.size() + 16);
    std::size_t i = first.error().offset;
    out.append(bytes.substr(0, i));
    while (i < bytes.size()) {
        std::size_t run = ascii_run(bytes, i);
        out.append(bytes.substr(i, run));
        i += run;
        if (i >= bytes.size()) break;
        DecodedChar d = decode_unchecked(bytes, i);
        if (d.valid) {
            out.append(bytes.substr(i, d.length));
        } else {
            out.append(kReplacementUtf8);
        }
        i += d.length;
    }
    return out;
}

void append_utf8(std::string& out, char32_t c) {
    if ((c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) c = kReplacementCharacter;
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (c >> 12)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (c >> 18)));
        out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

std::string encode_utf8(char32_t value) {
    std::string out;
    append_utf8(out, value);
    return out;
}

// ---------------------------------------------------------------------------------------------

std::size_t count_chars(std::string_view text) noexcept {
    std::size_t count = 0;
    std::size_t i = 0;
    while (i < text.size()) {
        std::size_t run = ascii_run(text, i);
        count += run;
        i += run;
        if (i >= text.size()) break;
        i += decode_unchecked(text, i).length;
        ++count;
    }
    return count;
}

std::size_t byte_length_of_first_chars(std::string_view text, std::size_t count) noexcept {
    std::size_t i = 0;
    std::size_t taken = 0;
    while (i < text.size() && taken < count) {
        const unsigned char b = byte_at(text, i);
        if (b < 0x80) {
            ++i;
        } else {
            i += decode_unchecked(text, i).length;
        }
        ++taken;
    }
    return i;
}

bool has_more_chars_than(std::string_view text, std::size_t limit) noexcept {
    // Every character takes at least one byte and at most four.
    if (text.size() <= limit) return false;
    if (limit < text.size() / 4) return true;
    return byte_length_of_first_chars(text, limit) < text.size();
}

bool is_char_boundary(std::string_view text, std::size_t offset) noexcept {
    if (offset >= text.size()) return offset == text.size();
    return (static_cast<unsigned char>(text[offset]) & 0xC0) != 0x80;
}

std::string_view first_chars(std::string_view text, std::size_t count) noexcept {
    if (text.size() <= count) return text;
    return text.substr(0, byte_length_of_first_chars(text, count));
}

std::string shorten_with_ellipsis(std::string_view text, std::size_t count) {
    const std::size_t cut = byte_length_of_first_chars(text, count);
    if (cut >= text.size()) return std::string(text);
    std::string out;
    out.reserve(cut + kEllipsis.size());
    out.append(text.substr(0, cut));
    out.append(kEllipsis);
    return out;
}

std::string shorten_within(std::string_view text, std::size_t limit) {
    if (!has_more_chars_than(text, limit)) return std::string(text);
    if (limit == 0) return {};
    std::string out(text.substr(0, byte_length_of_first_chars(text, limit - 1)));
    out.append(kEllipsis);
    return out;
}

// ---------------------------------------------------------------------------------------------

bool is_white_space(char32_t c) noexcept {
    if (c <= 0x20) return c == 0x20 || (c >= 0x09 && c <= 0x0D);
    if (c < 0x85) return false;
    if (c == 0x85 || c == 0xA0 || c == 0x1680) return true;
    if (c < 0x2000) return false;
    if (c <= 0x200A) return true;
    return c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

std::string_view trim_start(std::string_view text) noexcept {
    std::size_t i = 0;
    while (i < text.size()) {
        DecodedChar d = decode_unchecked(text, i);
        if (!d.valid || !is_white_space(d.value)) break;
        i += d.length;
    }
    return text.substr(i);
}

std::string_view trim_end(std::string_view text) noexcept {
    std::size_t end = text.size();
    while (end > 0) {
        const DecodedChar d = decode_before(text, end);
        if (!d.valid || !is_white_space(d.value)) break;
        end -= d.length;
    }
    return text.substr(0, end);
}

std::string_view trim(std::string_view text) noexcept { return trim_end(trim_start(text)); }

bool is_blank(std::string_view text) noexcept { return trim_start(text).empty(); }

bool contains_white_space(std::string_view text) noexcept {
    bool found = false;
    for_each_char(text, [&](const DecodedChar& d, std::size_t) {
        if (d.valid && is_white_space(d.value)) found = true;
        return !found;
    });
    return found;
}

std::string collapse_white_space(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    bool pending_space = false;
    std::size_t i = 0;
    while (i < text.size()) {
        DecodedChar d = decode_unchecked(text, i);
        if (d.valid && is_white_space(d.value)) {
            pending_space = !out.empty();
        } else {
            if (pending_space) out.push_back(' ');
            pending_space = false;
            if (d.valid) {
                out.append(text.substr(i, d.length));
            } else {
                out.append(kReplacementUtf8);
            }
        }
        i += d.length;
    }
    return out;
}

// ---------------------------------------------------------------------------------------------

bool is_control(char32_t c) noexcept { return c <= 0x1F || (c >= 0x7F && c <= 0x9F); }

bool contains_control(std::string_view text) noexcept {
    bool found = false;
    for_each_char(text, [&](const DecodedChar& d, std::size_t) {
        if (d.valid && is_control(d.value)) found = true;
        return !found;
    });
    return found;
}

std::string replace_control_characters(std::string_view text) {
    return transform_lossy(text, [](char32_t c, std::string_view bytes, std::string& out) {
        if (is_control(c)) {
            out.push_back(' ');
        } else {
            out.append(bytes);
        }
    });
}

std::string remove_control_characters(std::string_view text) {
    return transform_lossy(text, [](char32_t c, std::string_view bytes, std::string& out) {
        if (!is_control(c)) out.append(bytes);
    });
}

// ---------------------------------------------------------------------------------------------

bool is_alphabetic(char32_t c) noexcept {
    if (c < 0x80) return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    return c <= 0x10FFFF && u_isUAlphabetic(static_cast<UChar32>(c));
}

bool is_alphanumeric(char32_t c) noexcept {
    if (c < 0x80) return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    if (c > 0x10FFFF) return false;
    if (u_isUAlphabetic(static_cast<UChar32>(c))) return true;
    const auto category = u_charType(static_cast<UChar32>(c));
    return category == U_DECIMAL_DIGIT_NUMBER || category == U_LETTER_NUMBER || category == U_OTHER_NUMBER;
}

// ---------------------------------------------------------------------------------------------

std::string to_lower(std::string_view text) {
    if (ascii_run(text, 0) == text.size()) return to_ascii_lower(text);
    const std::string valid = decode_lossy(text);
    std::string out;
    out.reserve(valid.size());
    icu::StringByteSink<std::string> sink(&out);
    UErrorCode status = U_ZERO_ERROR;
    icu::CaseMap::utf8ToLower("", 0, icu::StringPiece(valid.data(), static_cast<int32_t>(valid.size())),
                              sink, nullptr, status);
    support::require(U_SUCCESS(status), std::string("text::to_lower: ICU failed: ") + u_errorName(status));
    return out;
}

std::string to_ascii_lower(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

bool equals_ascii_case_insensitive(std::string_view a, std::string_view b) noexcept {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char x = a[i];
        char y = b[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

}  // namespace ambrel::text
