#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "data/key_fill.hpp"

namespace ambrel::data::key_fill {
namespace {

TEST(KeyFill, KeyIsTheEighteenCharacterIdReversed) {
    EXPECT_EQ(key_value_for_18_char_id("001Ab00000XyZ12AAA"), "AAA21ZyX00000bA100");
    EXPECT_EQ(key_value_for_18_char_id("001Ab00000XyZ12"), std::nullopt);
    EXPECT_EQ(key_value_for_18_char_id(""), std::nullopt);
    EXPECT_EQ(key_value_for_18_char_id("                  "), "                  ");
    EXPECT_EQ(key_value_for_18_char_id("001Ab00000XyZ12AAAB"), std::nullopt);
    // Counted in characters, not bytes: 17 ASCII letters and one two-byte letter.
    EXPECT_EQ(key_value_for_18_char_id("\xC3\xA9" "bcdefghijklmnopqr"), "rqponmlkjihgfedcb\xC3\xA9");
}

TEST(KeyFill, CsvDocument) {
    const std::vector<std::string> ids = {"001000000000001AAA", "001000000000002AAA"};
    EXPECT_EQ(key_fill_csv("QuillaryExternalId__c", ids),
              "Id,QuillaryExternalId__c\n"
              "001000000000001AAA,AAA100000000000100\n"
              "001000000000002AAA,AAA200000000000100\n");
    EXPECT_EQ(key_fill_csv("Key,Field", std::vector<std::string>{"a"}), "Id,\"Key,Field\"\na,a\n");
    EXPECT_EQ(key_fill_csv("QuillaryExternalId__c", std::vector<std::string>{}), std::nullopt);
}

TEST(KeyFill, CsvFieldEscaping) {
    struct Case {
        std::string_view text;
        std::string_view expected;
    };
    const Case cases[] = {
        {"", ""},
        {"plain", "plain"},
        {"say \"hi\"", "\"say \"\"hi\"\"\""},
        {"a,b", "\"a,b\""},
        {"line\nbreak", "\"line\nbreak\""},
        {"carriage\rreturn", "\"carriage\rreturn\""},
        {"semi;colon 'quote'", "semi;colon 'quote'"},
    };
    for (const Case& c : cases) EXPECT_EQ(escape_csv(c.text), c.expected) << c.text;
}

TEST(KeyFill, SoqlLiteralEscaping) {
    EXPECT_EQ(escape_soql_literal("o'brien@example.com"), "o\\'brien@example.com");
    EXPECT_EQ(escape_soql_literal("back\\slash"), "back\\\\slash");
    EXPECT_EQ(escape_soql_literal("two\nlines \"quoted\""), "two\nlines \"quoted\"");
    EXPECT_EQ(escape_soql_literal(""), "");
}

}  // namespace
}  // namespace ambrel::data::key_fill
