#include "text/text.hpp"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include <unicode/uchar.h>

#include "support/programming_error.hpp"

namespace text = ambrel::text;
using namespace std::string_literals;

namespace {

// Counts the U+FFFD characters of a UTF-8 text.
std::size_t replacements(std::string_view s) {
    std::size_t n = 0;
    for (std::size_t pos = s.find(text::kReplacementUtf8); pos != std::string_view::npos;
         pos = s.find(text::kReplacementUtf8, pos + 1)) {
        ++n;
    }
    return n;
}

struct InvalidCase {
    const char* name;
    std::string bytes;
    std::size_t error_offset;
    std::size_t error_length;
    std::size_t fffd_count;
    std::string lossy;
};

const std::string R(text::kReplacementUtf8);

std::vector<InvalidCase> invalid_cases() {
    return {
        {"lone continuation", "a\x80z", 1, 1, 1, "a" + R + "z"},
        {"two continuations", "\x80\xBF", 0, 1, 2, R + R},
        {"overlong 2-byte slash", "\xC0\xAF", 0, 1, 2, R + R},
        {"overlong 2-byte C1", "\xC1\xBF", 0, 1, 2, R + R},
        {"overlong 3-byte", "\xE0\x80\xAF", 0, 1, 3, R + R + R},
        {"overlong 4-byte", "\xF0\x80\x80\xAF", 0, 1, 4, R + R + R + R},
        {"surrogate D800", "x\xED\xA0\x80", 1, 1, 3, "x" + R + R + R},
        {"surrogate DFFF", "\xED\xBF\xBF", 0, 1, 3, R + R + R},
        {"beyond U+10FFFF F4 90", "\xF4\x90\x80\x80", 0, 1, 4, R + R + R + R},
        {"F5 lead", "\xF5\x80\x80\x80", 0, 1, 4, R + R + R + R},
        {"FF byte", "\xFF", 0, 1, 1, R},
        {"truncated 2-byte at end", "ab\xC3", 2, 1, 1, "ab" + R},
        {"truncated 3-byte at end", "\xE2\x82", 0, 2, 1, R},
        {"truncated 4-byte at end", "\xF0\x9F\x98", 0, 3, 1, R},
        {"truncated 3-byte before ASCII", "\xE2\x82" "A", 0, 2, 1, R + "A"},
        {"truncated 4-byte before lead", "\xF0\x9F\xC3\xA9", 0, 2, 1, R + "\xC3\xA9"},
        // Unicode 15, table 3-8: U+FFFD for maximal subparts.
        {"table 3-8", "\x61\xF1\x80\x80\xE1\x80\xC2\x62\x80\x63\x80\xBF\x64", 1, 3, 6,
         "a" + R + R + R + "b" + R + "c" + R + R + "d"},
    };
}

}  // namespace

TEST(TextUtf8, ValidTextsAreAccepted) {
    EXPECT_TRUE(text::is_valid_utf8(""));
    EXPECT_TRUE(text::is_valid_utf8("plain ASCII text that is longer than eight bytes"));
    EXPECT_TRUE(text::is_valid_utf8("\xC2\x80 \xDF\xBF \xE0\xA0\x80 \xED\x9F\xBF \xEE\x80\x80 \xEF\xBF\xBF"));
    EXPECT_TRUE(text::is_valid_utf8("\xF0\x90\x80\x80 \xF4\x8F\xBF\xBF"));
    EXPECT_TRUE(text::is_valid_utf8("\0embedded NUL"s));
    EXPECT_TRUE(text::validate_utf8("école").has_value());
}

TEST(TextUtf8, InvalidSequencesAreRefusedWithTheirPosition) {
    for (const auto& c : invalid_cases()) {
        SCOPED_TRACE(c.name);
        EXPECT_FALSE(text::is_valid_utf8(c.bytes));
        auto result = text::validate_utf8(c.bytes);
        ASSERT_FALSE(result.has_value());
        EXPECT_EQ(result.error().offset, c.error_offset);
        EXPECT_EQ(result.error().length, c.error_length);
    }
}

TEST(TextUtf8, ErrorMessageNamesOffsetAndLength) {
    auto result = text::validate_utf8("abc\xE2\x82");
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().message(), "invalid UTF-8 sequence of 2 bytes at byte offset 3");
    EXPECT_EQ(text::validate_utf8("\x80").error().message(), "invalid UTF-8 sequence of 1 byte at byte offset 0");
}

TEST(TextUtf8, LossyDecodingGivesOneReplacementPerMaximalSubpart) {
    for (const auto& c : invalid_cases()) {
        SCOPED_TRACE(c.name);
        const std::string decoded = text::decode_lossy(c.bytes);
        EXPECT_EQ(decoded, c.lossy);
        EXPECT_EQ(replacements(decoded), c.fffd_count);
        EXPECT_TRUE(text::is_valid_utf8(decoded));
    }
}

TEST(TextUtf8, CharacterBoundaries) {
    const std::string text = "a\xC3\xA9\xF0\x9F\x98\x80";  // a, U+00E9, U+1F600
    const bool expected[] = {true, true, false, true, false, false, false, true};
    for (std::size_t offset = 0; offset < std::size(expected); ++offset) {
        SCOPED_TRACE(offset);
        EXPECT_EQ(text::is_char_boundary(text, offset), expected[offset]);
    }
    EXPECT_FALSE(text::is_char_boundary(text, text.size() + 1));
    EXPECT_TRUE(text::is_char_boundary("", 0));
}

TEST(TextUtf8, LossyDecodingKeepsValidText) {
    const std::string valid = "Grüße, 世界 \xF0\x9F\x98\x80 and a long ASCII tail to cross word boundaries";
    EXPECT_EQ(text::decode_lossy(valid), valid);
    EXPECT_EQ(text::decode_lossy(""), "");
}

TEST(TextUtf8, DecodeAtReportsValueAndLength) {
    const std::string s = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\xE2\x82";
    auto d = text::decode_at(s, 0);
    EXPECT_EQ(d.value, U'a');
    EXPECT_EQ(d.length, 1u);
    EXPECT_TRUE(d.valid);
    d = text::decode_at(s, 1);
    EXPECT_EQ(d.value, U'\u00E9');
    EXPECT_EQ(d.length, 2u);
    d = text::decode_at(s, 3);
    EXPECT_EQ(d.value, U'\u20AC');
    EXPECT_EQ(d.length, 3u);
    d = text::decode_at(s, 6);
    EXPECT_EQ(d.value, U'\U0001F600');
    EXPECT_EQ(d.length, 4u);
    d = text::decode_at(s, 10);
    EXPECT_FALSE(d.valid);
    EXPECT_EQ(d.value, text::kReplacementCharacter);
    EXPECT_EQ(d.length, 2u);
    EXPECT_THROW(text::decode_at(s, s.size()), ambrel::support::ProgrammingError);
}

TEST(TextUtf8, DecodeBeforeReadsBackwards) {
    const std::string s = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";
    auto d = text::decode_before(s, s.size());
    EXPECT_TRUE(d.valid);
    EXPECT_EQ(d.value, U'\U0001F600');
    EXPECT_EQ(d.length, 4u);
    d = text::decode_before(s, 6);
    EXPECT_EQ(d.value, U'\u20AC');
    EXPECT_EQ(d.length, 3u);
    d = text::decode_before(s, 3);
    EXPECT_EQ(d.value, U'\u00E9');
    d = text::decode_before(s, 1);
    EXPECT_EQ(d.value, U'a');
    // Ending inside a character, or after stray bytes: one invalid byte.
    d = text::decode_before(s, 5);
    EXPECT_FALSE(d.valid);
    EXPECT_EQ(d.length, 1u);
    d = text::decode_before("\x80\x80\x80\x80\x80", 5);
    EXPECT_FALSE(d.valid);
    EXPECT_EQ(d.length, 1u);
    EXPECT_THROW(text::decode_before(s, 0), ambrel::support::ProgrammingError);
    EXPECT_THROW(text::decode_before(s, s.size() + 1), ambrel::support::ProgrammingError);
}

TEST(TextUtf8, EncodeRoundTripsAndReplacesNonScalars) {
    EXPECT_EQ(text::encode_utf8(U'A'), "A");
    EXPECT_EQ(text::encode_utf8(U'\u00E9'), "\xC3\xA9");
    EXPECT_EQ(text::encode_utf8(U'\u2026'), text::kEllipsis);
    EXPECT_EQ(text::encode_utf8(U'\U0010FFFF'), "\xF4\x8F\xBF\xBF");
    EXPECT_EQ(text::encode_utf8(static_cast<char32_t>(0xD800)), text::kReplacementUtf8);
    EXPECT_EQ(text::encode_utf8(static_cast<char32_t>(0x110000)), text::kReplacementUtf8);
    for (char32_t c : {U'\x7F', U'\x80', U'\u07FF', U'\u0800', U'\uFFFF', U'\U00010000'}) {
        const std::string s = text::encode_utf8(c);
        auto d = text::decode_at(s, 0);
        EXPECT_TRUE(d.valid);
        EXPECT_EQ(d.value, c);
        EXPECT_EQ(d.length, s.size());
    }
}

TEST(TextCount, CountsScalarValuesNotBytes) {
    EXPECT_EQ(text::count_chars(""), 0u);
    EXPECT_EQ(text::count_chars("abc"), 3u);
    EXPECT_EQ(text::count_chars("école"), 5u);
    EXPECT_EQ(text::count_chars("日本語"), 3u);
    EXPECT_EQ(text::count_chars("\xF0\x9F\x98\x80x"), 2u);
    // e followed by a combining acute accent: two scalar values.
    EXPECT_EQ(text::count_chars("e\xCC\x81"), 2u);
    // Ill-formed subparts count as one each, as decode_lossy would give them.
    EXPECT_EQ(text::count_chars("\x61\xF1\x80\x80\xE1\x80\xC2\x62\x80\x63\x80\xBF\x64"), 10u);
    EXPECT_EQ(text::count_chars(std::string(1000, 'x') + "é"), 1001u);
}

TEST(TextCount, HasMoreCharsThan) {
    EXPECT_FALSE(text::has_more_chars_than("", 0));
    EXPECT_TRUE(text::has_more_chars_than("a", 0));
    EXPECT_FALSE(text::has_more_chars_than("ééé", 3));
    EXPECT_TRUE(text::has_more_chars_than("éééé", 3));
    EXPECT_FALSE(text::has_more_chars_than("日本語", 3));
    EXPECT_TRUE(text::has_more_chars_than(std::string(100, 'a'), 10));
}

TEST(TextCut, FirstCharsNeverSplitsACharacter) {
    EXPECT_EQ(text::first_chars("abcdef", 3), "abc");
    EXPECT_EQ(text::first_chars("abc", 3), "abc");
    EXPECT_EQ(text::first_chars("ab", 3), "ab");
    EXPECT_EQ(text::first_chars("abc", 0), "");
    EXPECT_EQ(text::first_chars("éèà", 2), "éè");
    EXPECT_EQ(text::first_chars("aé", 2), "aé");
    EXPECT_EQ(text::first_chars("a\xF0\x9F\x98\x80z", 2), "a\xF0\x9F\x98\x80");
    EXPECT_EQ(text::byte_length_of_first_chars("日本語", 1), 3u);
    EXPECT_EQ(text::byte_length_of_first_chars("日本語", 9), 9u);
    // 2,048 characters stay whole; 2,049 lose the last one; a multi-byte character is never split.
    std::string s;
    for (int i = 0; i < 2049; ++i) s += "é";
    EXPECT_EQ(text::count_chars(text::first_chars(s, 2048)), 2048u);
    EXPECT_EQ(text::first_chars(s, 2048).size(), 4096u);
    EXPECT_EQ(text::first_chars(s, 2049), s);
}

TEST(TextCut, ShortenWithEllipsisAppendsAfterTheFirstNCharacters) {
    // auth_failure::shortened: 64 characters stay whole, 65 become 64 and "…".
    const std::string alias64(64, 'a');
    EXPECT_EQ(text::shorten_with_ellipsis(alias64, 64), alias64);
    const std::string alias65 = alias64 + "b";
    EXPECT_EQ(text::shorten_with_ellipsis(alias65, 64), alias64 + "…");
    EXPECT_EQ(text::count_chars(text::shorten_with_ellipsis(alias65, 64)), 65u);
    // Characters, not bytes: 64 two-byte characters are still 64 characters.
    std::string wide;
    for (int i = 0; i < 64; ++i) wide += "ß";
    EXPECT_EQ(text::shorten_with_ellipsis(wide, 64), wide);
    EXPECT_EQ(text::shorten_with_ellipsis(wide + "ß", 64), wide + "…");
    EXPECT_EQ(text::shorten_with_ellipsis("", 0), "");
    EXPECT_EQ(text::shorten_with_ellipsis("x", 0), "…");
}

TEST(TextCut, ShortenWithinCountsTheEllipsis) {
    EXPECT_EQ(text::shorten_within("abcde", 5), "abcde");
    EXPECT_EQ(text::shorten_within("abcdef", 5), "abcd…");
    EXPECT_EQ(text::count_chars(text::shorten_within("abcdef", 5)), 5u);
    EXPECT_EQ(text::shorten_within("日本語です", 3), "日本…");
    EXPECT_EQ(text::shorten_within("ab", 1), "…");
    EXPECT_EQ(text::shorten_within("ab", 0), "");
    EXPECT_EQ(text::shorten_within("", 0), "");
}

TEST(TextWhiteSpace, MatchesIcuWhiteSpaceProperty) {
    for (UChar32 c = 0; c <= 0x10FFFF; ++c) {
        ASSERT_EQ(text::is_white_space(static_cast<char32_t>(c)), static_cast<bool>(u_isUWhiteSpace(c)))
            << "U+" << std::hex << c;
    }
}

TEST(TextWhiteSpace, TrimRemovesUnicodeWhiteSpaceOnly) {
    EXPECT_EQ(text::trim("  a b \t\r\n"), "a b");
    EXPECT_EQ(text::trim("\xC2\xA0" "a" "\xE2\x80\x83"), "a");            // U+00A0, U+2003
    EXPECT_EQ(text::trim("\xE3\x80\x80x\xE3\x80\x80"), "x");               // U+3000
    EXPECT_EQ(text::trim("\xC2\x85" "x" "\xC2\x85"), "x");                 // U+0085
    EXPECT_EQ(text::trim("\xE2\x80\xA8x\xE2\x80\xA9"), "x");               // U+2028, U+2029
    EXPECT_EQ(text::trim("\xE2\x80\x8Bx\xE2\x80\x8B"), "\xE2\x80\x8Bx\xE2\x80\x8B");  // U+200B stays
    EXPECT_EQ(text::trim("\xEF\xBB\xBFx"), "\xEF\xBB\xBFx");               // U+FEFF stays
    EXPECT_EQ(text::trim_start("  x  "), "x  ");
    EXPECT_EQ(text::trim_end("  x  "), "  x");
    EXPECT_EQ(text::trim(" \xE2\x80\x83 "), "");
    EXPECT_EQ(text::trim(""), "");
    // Ill-formed bytes are not white space: a stray continuation byte before a space stays.
    EXPECT_EQ(text::trim_end("x\x80 "), "x\x80");
    EXPECT_EQ(text::trim_end("x\xA0"), "x\xA0");
    EXPECT_EQ(text::trim_end("\xA0"), "\xA0");
    EXPECT_EQ(text::trim_end("é "), "é");
}

TEST(TextWhiteSpace, BlankAndContains) {
    EXPECT_TRUE(text::is_blank(""));
    EXPECT_TRUE(text::is_blank(" \t\xE3\x80\x80\xC2\xA0"));
    EXPECT_FALSE(text::is_blank("\xE2\x80\x8B"));
    EXPECT_FALSE(text::is_blank(" a "));
    EXPECT_TRUE(text::contains_white_space("ab\xE2\x80\x83" "c"));
    EXPECT_TRUE(text::contains_white_space("a\tb"));
    EXPECT_FALSE(text::contains_white_space("a\xE2\x80\x8B" "b"));
}

TEST(TextWhiteSpace, CollapseRuns) {
    EXPECT_EQ(text::collapse_white_space("  a \r\n\t b\xC2\xA0\xC2\xA0" "c  "), "a b c");
    EXPECT_EQ(text::collapse_white_space(""), "");
    EXPECT_EQ(text::collapse_white_space(" \n "), "");
    EXPECT_EQ(text::collapse_white_space("a\x80 b"), "a" + R + " b");
}

TEST(TextControl, Predicate) {
    for (char32_t c = 0; c <= 0x1F; ++c) EXPECT_TRUE(text::is_control(c));
    for (char32_t c = 0x7F; c <= 0x9F; ++c) EXPECT_TRUE(text::is_control(c));
    EXPECT_FALSE(text::is_control(U' '));
    EXPECT_FALSE(text::is_control(U'~'));
    EXPECT_FALSE(text::is_control(U'\u00A0'));
    EXPECT_FALSE(text::is_control(U'\u2028'));
    EXPECT_TRUE(text::contains_control("a\tb"));
    EXPECT_TRUE(text::contains_control("a\xC2\x85" "b"));
    EXPECT_TRUE(text::contains_control("\x7F"));
    EXPECT_FALSE(text::contains_control("école \xE2\x80\xA8"));
    EXPECT_FALSE(text::contains_control("\x80"));  // a stray byte is not a control character
}

TEST(TextControl, ReplaceByOneSpaceEach) {
    EXPECT_EQ(text::replace_control_characters("a\tb"), "a b");
    EXPECT_EQ(text::replace_control_characters("a\xC2\x85" "b"), "a b");
    EXPECT_EQ(text::replace_control_characters("line1\r\nline2"), "line1  line2");
    EXPECT_EQ(text::replace_control_characters("\0\x1F\x7F"s), "   ");
    EXPECT_EQ(text::replace_control_characters("\xC2\x9F\xC2\xA0"), " \xC2\xA0");
    EXPECT_EQ(text::replace_control_characters("é\xFF"), "é" + R);
}

TEST(TextControl, RemoveDropsThem) {
    EXPECT_EQ(text::remove_control_characters("a\tb\nc\x1B[0m"), "abc[0m");
    EXPECT_EQ(text::remove_control_characters("a\xC2\x85\xC2\x9F" "b"), "ab");
    EXPECT_EQ(text::remove_control_characters("x\xC0"), "x" + R);
}

TEST(TextClasses, AlphabeticAndAlphanumeric) {
    EXPECT_TRUE(text::is_alphabetic(U'a'));
    EXPECT_TRUE(text::is_alphabetic(U'\u00E9'));   // é
    EXPECT_TRUE(text::is_alphabetic(U'\u65E5'));   // 日
    EXPECT_TRUE(text::is_alphabetic(U'\u2163'));   // Roman numeral four (Nl, Alphabetic)
    EXPECT_FALSE(text::is_alphabetic(U'_'));
    EXPECT_FALSE(text::is_alphabetic(U'5'));
    EXPECT_FALSE(text::is_alphabetic(U'.'));
    EXPECT_TRUE(text::is_alphanumeric(U'5'));
    EXPECT_TRUE(text::is_alphanumeric(U'\u0663'));  // Arabic-Indic digit three (Nd)
    EXPECT_TRUE(text::is_alphanumeric(U'\u00B2'));  // superscript two (No)
    EXPECT_TRUE(text::is_alphanumeric(U'Z'));
    EXPECT_FALSE(text::is_alphanumeric(U'_'));
    EXPECT_FALSE(text::is_alphanumeric(U' '));
    EXPECT_FALSE(text::is_alphanumeric(U'\''));
    EXPECT_FALSE(text::is_alphanumeric(U'\u2026'));
    EXPECT_FALSE(text::is_alphanumeric(static_cast<char32_t>(0x110000)));
}

TEST(TextCase, FullUnicodeLowerCase) {
    EXPECT_EQ(text::to_lower("HELLO World"), "hello world");
    EXPECT_EQ(text::to_lower("ÉCOLE"), "école");
    EXPECT_EQ(text::to_lower("\xC4\xB0"), "i\xCC\x87");  // İ → i + U+0307 (root locale)
    EXPECT_EQ(text::to_lower("I"), "i");                   // no Turkish dotless i in the root locale
    EXPECT_EQ(text::to_lower("Straße"), "straße");
    EXPECT_EQ(text::to_lower("ẞ"), "ß");
    EXPECT_EQ(text::to_lower("ΟΔΟΣ"), "\xCE\xBF\xCE\xB4\xCE\xBF\xCF\x82");  // final sigma ς
    EXPECT_EQ(text::to_lower("Σ"), "σ");
    EXPECT_EQ(text::to_lower("ΣΑ"), "σα");
    EXPECT_EQ(text::to_lower("ДОБРЫЙ"), "добрый");
    EXPECT_EQ(text::to_lower(""), "");
    EXPECT_EQ(text::to_lower("A\xFF"), "a" + R);
}

TEST(TextCase, AsciiHelpers) {
    EXPECT_EQ(text::to_ascii_lower("ABC-Éz"), "abc-Éz");
    EXPECT_TRUE(text::equals_ascii_case_insensitive("00Dxx0000001gPL", "00dXX0000001Gpl"));
    EXPECT_FALSE(text::equals_ascii_case_insensitive("É", "é"));
    EXPECT_FALSE(text::equals_ascii_case_insensitive("ab", "abc"));
}
