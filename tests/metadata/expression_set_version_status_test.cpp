// Direct children of an expression set version's root, and the definition name rule.

#include <optional>
#include <string>
#include <string_view>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "metadata/expression_set_version_status.hpp"
#include "xml/xml.hpp"

namespace ambrel::metadata::expression_set_version_status {
namespace {

constexpr std::string_view kNs = "http://soap.sforce.com/2006/04/metadata";
constexpr std::string_view kBom = "\xEF\xBB\xBF";

std::string version(std::string_view body) {
    return fmt::format("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<ExpressionSetDefinitionVersion xmlns=\"{}\">{}"
                       "</ExpressionSetDefinitionVersion>\n",
                       kNs, body);
}

struct TextCase {
    std::string_view name;
    std::string document;
    std::optional<std::string> text;
};

TEST(RootChild, TheFirstDirectChildInTheMetadataNamespace) {
    const TextCase cases[] = {
        {"plain", version("<status>Active</status><expressionSetDefinition>Pricing_Main</expressionSetDefinition>"),
         "Pricing_Main"},
        {"absent", version("<status>Active</status>"), std::nullopt},
        {"not trimmed", version("<expressionSetDefinition>\n  Pricing_Main </expressionSetDefinition>"),
         "\n  Pricing_Main "},
        {"references decoded", version("<expressionSetDefinition>A&amp;B&#95;C</expressionSetDefinition>"), "A&B_C"},
        {"an undecodable run counts as empty",
         version("<expressionSetDefinition>A&nbsp;B</expressionSetDefinition>"), ""},
        {"CDATA kept as written", version("<expressionSetDefinition><![CDATA[R&D]]></expressionSetDefinition>"),
         "R&D"},
        {"text of nested elements left out", version("<expressionSetDefinition>A<b>x</b>C</expressionSetDefinition>"),
         "AC"},
        {"the first of two", version("<expressionSetDefinition>A</expressionSetDefinition>"
                                     "<expressionSetDefinition>B</expressionSetDefinition>"),
         "A"},
        {"an empty-element child captures nothing",
         version("<expressionSetDefinition/><expressionSetDefinition>B</expressionSetDefinition>"), "B"},
        {"only an empty-element child", version("<expressionSetDefinition/>"), std::nullopt},
        {"empty child", version("<expressionSetDefinition></expressionSetDefinition>"), ""},
        {"nested deeper", version("<x><expressionSetDefinition>A</expressionSetDefinition></x>"), std::nullopt},
        {"another namespace",
         version("<o:expressionSetDefinition xmlns:o=\"urn:o\">A</o:expressionSetDefinition>"), std::nullopt},
        {"prefixed names",
         fmt::format("<m:ExpressionSetDefinitionVersion xmlns:m=\"{}\">"
                     "<m:expressionSetDefinition>P</m:expressionSetDefinition>"
                     "</m:ExpressionSetDefinitionVersion>",
                     kNs),
         "P"},
        {"empty root", fmt::format("<ExpressionSetDefinitionVersion xmlns=\"{}\"/>", kNs), std::nullopt},
        {"a DTD entity is never expanded",
         "<!DOCTYPE ExpressionSetDefinitionVersion [<!ENTITY e \"Injected\">]>" +
             version("<expressionSetDefinition>&e;</expressionSetDefinition>"),
         ""},
        {"comments inside do not split the text",
         version("<expressionSetDefinition>Pricing<!-- c -->_Main</expressionSetDefinition>"), "Pricing_Main"},
    };
    for (const TextCase& c : cases) {
        SCOPED_TRACE(c.name);
        const auto child = root_child(c.document, kDefinitionElement);
        ASSERT_TRUE(child) << child.error().message();
        ASSERT_EQ(child->has_value(), c.text.has_value());
        if (c.text) {
            EXPECT_EQ((*child)->text, *c.text);
        }
    }
}

TEST(RootChild, OffsetsFrameTheContentAndCountLeadingByteOrderMarks) {
    const std::string body = version("<status>Active</status>");
    for (int boms = 0; boms < 3; ++boms) {
        SCOPED_TRACE(boms);
        std::string document;
        for (int i = 0; i < boms; ++i) document += kBom;
        document += body;
        const auto child = root_child(document, "status");
        ASSERT_TRUE(child) << child.error().message();
        ASSERT_TRUE(child->has_value());
        const RootChild& status = **child;
        EXPECT_EQ(status.text, "Active");
        EXPECT_EQ(document.substr(status.content_begin, status.content_end - status.content_begin), "Active");
        EXPECT_EQ(status.content_begin, body.find("Active") + 3 * static_cast<std::size_t>(boms));
    }
}

struct ErrorCase {
    std::string_view name;
    std::string document;
    std::string message;
};

TEST(RootChild, DocumentsThatCannotBeRead) {
    const std::string truncated = version("<expressionSetDefinition>A</expressionSetDefinition>");
    const ErrorCase cases[] = {
        {"another root",
         fmt::format("<ExpressionSetDefinition xmlns=\"{}\"><expressionSetDefinition>A</expressionSetDefinition>"
                     "</ExpressionSetDefinition>",
                     kNs),
         "the root element is `ExpressionSetDefinition`, not `ExpressionSetDefinitionVersion`"},
        {"no namespace", "<ExpressionSetDefinitionVersion><status>Active</status></ExpressionSetDefinitionVersion>",
         "the root element is `outside the metadata namespace`, not `ExpressionSetDefinitionVersion`"},
        {"another namespace", "<ExpressionSetDefinitionVersion xmlns=\"urn:o\"/>",
         "the root element is `outside the metadata namespace`, not `ExpressionSetDefinitionVersion`"},
        {"root not closed", truncated.substr(0, truncated.rfind("</")), "the document has no closing root element"},
        {"child not closed", version("").substr(0, version("").rfind("</")) + "<expressionSetDefinition>A",
         "the document has no closing root element"},
        {"empty document", "", "the document has no closing root element"},
        {"only byte-order marks", std::string(kBom) + std::string(kBom), "the document has no closing root element"},
        {"only a declaration", "<?xml version=\"1.0\"?>", "the document has no closing root element"},
    };
    for (const ErrorCase& c : cases) {
        SCOPED_TRACE(c.name);
        const auto child = root_child(c.document, kDefinitionElement);
        ASSERT_FALSE(child);
        EXPECT_EQ(child.error().message(), c.message);
        EXPECT_EQ(static_cast<std::string>(child.error()), c.message);
    }
}

TEST(RootChild, MalformedMarkupGivesTheReadersDescription) {
    const std::string document = version("<expressionSetDefinition>A</expressionSetDefinitionX>");
    xml::Reader reader(document);
    std::string expected;
    while (true) {
        const auto event = reader.next();
        if (!event) {
            expected = event.error().message();
            break;
        }
        ASSERT_NE(event->kind, xml::EventKind::Eof);
    }
    const auto child = root_child(document, kDefinitionElement);
    ASSERT_FALSE(child);
    EXPECT_EQ(child.error().message(), expected);
    EXPECT_FALSE(expected.empty());
}

TEST(RootChild, DeepNestingAndLargeDocumentsAreReadWithoutRecursion) {
    std::string deep;
    constexpr int kDepth = 200000;
    for (int i = 0; i < kDepth; ++i) deep += "<a>";
    for (int i = 0; i < kDepth; ++i) deep += "</a>";
    const auto nested = root_child(version(deep + "<expressionSetDefinition>D</expressionSetDefinition>"),
                                   kDefinitionElement);
    ASSERT_TRUE(nested) << nested.error().message();
    ASSERT_TRUE(nested->has_value());
    EXPECT_EQ((*nested)->text, "D");

    const std::string large(10 * 1024 * 1024, 'x');
    const auto big = root_child(version("<expressionSetDefinition>" + large + "</expressionSetDefinition>"),
                                kDefinitionElement);
    ASSERT_TRUE(big);
    ASSERT_TRUE(big->has_value());
    EXPECT_EQ((*big)->text.size(), large.size());
}

TEST(IsValidDefinitionName, AnAsciiLetterThenLettersDigitsOrUnderscores) {
    const std::pair<std::string_view, bool> cases[] = {
        {"A_1", true},    {"Pricing_Main", true}, {"a__b__", true}, {"", false},       {"1A", false},
        {"_A", false},    {"A-B", false},        {"A B", false},   {" A", false},     {"Prix_\xC3\xA9t\xC3\xA9", false},
        {"\xC3\x89t\xC3\xA9", false},            {"A\n", false},   {"A.B", false},
    };
    for (const auto& [name, valid] : cases) {
        SCOPED_TRACE(name);
        EXPECT_EQ(is_valid_definition_name(name), valid);
    }
    EXPECT_TRUE(is_valid_definition_name(std::string(100000, 'A')));
}

}  // namespace
}  // namespace ambrel::metadata::expression_set_version_status
