#include <optional>
#include <string>
#include <string_view>

#include <gtest/gtest.h>

#include "xml/xml.hpp"

namespace ambrel::xml {
namespace {

TEST(XmlReferences, DecodesThePredefinedEntitiesOnly) {
    EXPECT_EQ(predefined_entity("lt"), '<');
    EXPECT_EQ(predefined_entity("gt"), '>');
    EXPECT_EQ(predefined_entity("amp"), '&');
    EXPECT_EQ(predefined_entity("apos"), '\'');
    EXPECT_EQ(predefined_entity("quot"), '"');
    EXPECT_EQ(predefined_entity("AMP"), std::nullopt);
    EXPECT_EQ(predefined_entity("nbsp"), std::nullopt);
}

TEST(XmlReferences, DecodesCharacterReferencesThatNameXmlCharacters) {
    struct Case {
        std::string_view body;
        std::optional<char32_t> value;
    };
    const Case cases[] = {
        {"65", U'A'},         {"x41", U'A'},       {"x4a", U'J'},         {"x4A", U'J'},
        {"0065", U'A'},       {"9", U'\t'},        {"10", U'\n'},         {"13", U'\r'},
        {"x1F600", U'\U0001F600'}, {"x10FFFF", U'\U0010FFFF'}, {"xFFFD", U'\uFFFD'},
        {"X41", std::nullopt},       // only a lower-case x introduces hexadecimal digits
        {"x", std::nullopt},         {"", std::nullopt},   {"0", std::nullopt},
        {"8", std::nullopt},         {"x1F", std::nullopt}, {"xD800", std::nullopt},
        {"xDFFF", std::nullopt},     {"xFFFE", std::nullopt}, {"xFFFF", std::nullopt},
        {"x110000", std::nullopt},   {"99999999999999999999", std::nullopt},
        {"xFFFFFFFFFFFFFFFF41", std::nullopt}, {"6a", std::nullopt}, {"xG", std::nullopt},
    };
    for (const Case& c : cases) {
        auto decoded = decode_char_ref(c.body);
        if (c.value) {
            ASSERT_TRUE(decoded) << c.body;
            EXPECT_EQ(*decoded, *c.value) << c.body;
        } else {
            ASSERT_FALSE(decoded) << c.body;
            EXPECT_EQ(decoded.error().kind, ErrorKind::InvalidCharRef) << c.body;
        }
    }
    EXPECT_EQ(decode_char_ref("xD800").error().message(), "invalid character reference &#xD800;");
}

TEST(XmlReferences, UnescapesRawTextOrNamesTheFault) {
    EXPECT_EQ(unescape("plain text").value(), "plain text");
    EXPECT_EQ(unescape("a&lt;b&gt;c&amp;d&apos;e&quot;f&#233;&#x20AC;").value(),
              "a<b>c&d'e\"f\xC3\xA9\xE2\x82\xAC");
    EXPECT_EQ(unescape("a\r\nb\tc").value(), "a\r\nb\tc");  // no line-end or space normalisation

    struct Case {
        std::string_view raw;
        ErrorKind kind;
        std::size_t offset;
    };
    const Case faults[] = {
        {"a & b", ErrorKind::MalformedReference, 2},
        {"a&amp", ErrorKind::MalformedReference, 1},
        {"x&", ErrorKind::MalformedReference, 1},
        {"ok&nbsp;", ErrorKind::UnknownEntity, 2},
        {"&#0;", ErrorKind::InvalidCharRef, 0},
        {"&lt;&#xD800;", ErrorKind::InvalidCharRef, 4},
    };
    for (const Case& c : faults) {
        auto result = unescape(c.raw);
        ASSERT_FALSE(result) << c.raw;
        EXPECT_EQ(result.error().kind, c.kind) << c.raw;
        EXPECT_EQ(result.error().offset, c.offset) << c.raw;
        EXPECT_EQ(result.error().line, 0u);
    }
}

TEST(XmlByteOrderMarks, MeasuresAndStripsAnyNumberOfLeadingMarks) {
    const std::string_view bom = "\xEF\xBB\xBF";
    EXPECT_EQ(leading_bom_length(""), 0u);
    EXPECT_EQ(leading_bom_length("<a/>"), 0u);
    EXPECT_EQ(leading_bom_length(std::string(bom) + "<a/>"), 3u);
    EXPECT_EQ(leading_bom_length(std::string(bom) + std::string(bom) + "<a/>"), 6u);
    EXPECT_EQ(leading_bom_length("\xEF\xBB"), 0u);  // a cut mark is not a mark
    const std::string inner = "<a/>" + std::string(bom);
    EXPECT_EQ(strip_leading_boms(std::string(bom) + inner), inner);  // marks further in stay
}

TEST(XmlByteOrderMarks, AMarkLeftInFrontReadsAsTextOutsideTheRoot) {
    Reader reader("\xEF\xBB\xBF<a/>");
    auto event = reader.next();
    ASSERT_TRUE(event);
    EXPECT_EQ(event->kind, EventKind::Text);
    EXPECT_EQ(event->end, 3u);
}

TEST(XmlEscaping, EachRuleEscapesItsOwnSetOfCharacters) {
    const std::string_view text = "a&b<c>d\"e'f\tg\n&amp;";
    EXPECT_EQ(escape_five_entities(text), "a&amp;b&lt;c&gt;d&quot;e&apos;f\tg\n&amp;amp;");
    EXPECT_EQ(escape_text(text), "a&amp;b&lt;c&gt;d\"e'f\tg\n&amp;amp;");
    EXPECT_EQ(escape_attribute(text), "a&amp;b&lt;c&gt;d&quot;e'f\tg\n&amp;amp;");
    EXPECT_EQ(escape_text(""), "");
    EXPECT_EQ(escape_text("\xC3\xA9t\xC3\xA9"), "\xC3\xA9t\xC3\xA9");

    std::string out = "<x>";
    append_five_entities(out, "'");
    append_escaped_text(out, "<");
    append_escaped_attribute(out, "\"");
    EXPECT_EQ(out, "<x>&apos;&lt;&quot;");
}

// Reads CDATA sections back the way the documents do: adjacent contents joined.
std::string read_back_cdata(const std::string& written) {
    Reader reader(written);
    std::string joined;
    while (true) {
        auto event = reader.next();
        EXPECT_TRUE(event);
        if (!event || event->kind == EventKind::Eof) return joined;
        EXPECT_EQ(event->kind, EventKind::CData);
        joined.append(event->content);
    }
}

TEST(XmlEscaping, CdataSectionsSplitTheirTerminatorAndReadBackUnchanged) {
    EXPECT_EQ(cdata_section(""), "<![CDATA[]]>");
    EXPECT_EQ(cdata_section("a<&>b"), "<![CDATA[a<&>b]]>");
    EXPECT_EQ(cdata_section("x]]>y"), "<![CDATA[x]]]]><![CDATA[>y]]>");
    for (const std::string text : {"]]>", "]]>]]>", "]]]>>", "a]]>b]]", "<![CDATA[x]]>", "&amp; &", "]"}) {
        EXPECT_EQ(read_back_cdata(cdata_section(text)), text) << text;
    }
}

TEST(XmlWriting, WritesEventsBackFromTheirRawBytes) {
    const std::string_view input =
        "\xEF\xBB\xBF<?xml version=\"1.0\"?>\r\n<!-- c --><a  b = 'x&amp;'>t&#65;<![CDATA[]]]><c/>"
        "<?p d?></a\n  ><!DOCTYPE x>";
    Reader reader(input);
    std::string written;
    while (true) {
        auto event = reader.next();
        ASSERT_TRUE(event) << event.error().message();
        write_event(written, *event);
        if (event->kind == EventKind::Eof) break;
    }
    // Only the white space inside the end tag is lost.
    std::string expected(input);
    expected.replace(expected.find("</a\n  >"), 7, "</a>");
    EXPECT_EQ(written, expected);
}

}  // namespace
}  // namespace ambrel::xml
