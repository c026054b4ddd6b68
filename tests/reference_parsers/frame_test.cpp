// The shared frame, run against all ten parsers with their own root names: a parser that skips a
// step of the frame fails here. Also the two text functions that every module exposes.

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "metadata/custom_field_reader.hpp"
#include "metadata/readers/context_reader.hpp"
#include "metadata/readers/custom_metadata_reader.hpp"
#include "metadata/readers/decision_table_reader.hpp"
#include "metadata/readers/expression_set_reader.hpp"
#include "metadata/readers/lookup_reader.hpp"
#include "metadata/readers/reference_parser_frame.hpp"
#include "metadata/readers/rollup_reader.hpp"
#include "metadata/readers/value_set_reader.hpp"
#include "parsers_under_test.hpp"
#include "xml/xml.hpp"

namespace ambrel::metadata::testing {
namespace {

constexpr std::string_view kFullName = "Deal.Main";
constexpr std::string_view kValue = "Deal.Amount__c";
constexpr std::string_view kBom = "\xEF\xBB\xBF";

// What a case expects of one parser.
struct Expect {
    enum class Kind { Holds, Empty, Fails } kind = Kind::Empty;
    std::string text;  // Holds: the value; Fails: the whole display text

    static Expect holds(std::string_view value) { return {Kind::Holds, std::string(value)}; }
    static Expect empty() { return {Kind::Empty, {}}; }
    static Expect fails(std::string_view reason) { return {Kind::Fails, failure(kFullName, reason)}; }
};

using Build = std::function<std::string(const ParserUnderTest&)>;
using Judge = std::function<Expect(const ParserUnderTest&)>;

struct FrameCase {
    std::string_view name;
    Build text;
    Judge expect;
};

std::string counted(const ParserUnderTest& p, std::string_view value) {
    return fmt::format("{}{}{}", p.open_counted, value, p.close_counted);
}

// The same markup with every element name prefixed.
std::string prefixed(std::string_view markup, std::string_view prefix) {
    std::string out;
    for (std::size_t i = 0; i < markup.size(); ++i) {
        out.push_back(markup[i]);
        if (markup[i] != '<') continue;
        if (i + 1 < markup.size() && markup[i + 1] == '/') out.push_back(markup[++i]);
        out.append(prefix).push_back(':');
    }
    return out;
}

// The message the XML reader gives for the first fault of a text.
std::string reader_message(std::string_view text) {
    xml::Reader reader(xml::strip_leading_boms(text));
    while (true) {
        auto event = reader.next();
        if (!event) return event.error().message();
        if (event->kind == xml::EventKind::Eof) return "no reader error";
    }
}

// A value counts as held when some entry is "part:value", or "part:Type__mdt.value" for the record
// fields of a custom metadata record.
bool holds(const std::vector<std::string>& entries, std::string_view value) {
    for (const std::string& entry : entries) {
        const std::size_t colon = entry.find(':');
        const std::string_view after = std::string_view(entry).substr(colon + 1);
        if (after == value || after == fmt::format("Deal__mdt.{}", value)) return true;
    }
    return false;
}

bool is_context(const ParserUnderTest& p) { return p.name == "context"; }

Judge all(Expect expect) {
    return [expect](const ParserUnderTest&) { return expect; };
}
Judge root_failure() {
    return [](const ParserUnderTest& p) { return Expect::fails(p.root_reason); };
}
// The context parser judges each piece where it stands; the others follow the frame.
Judge unless_context(Expect frame, Expect context) {
    return [frame, context](const ParserUnderTest& p) { return is_context(p) ? context : frame; };
}

const std::vector<FrameCase>& frame_cases() {
    static const std::vector<FrameCase> cases = {
        {"plain value", [](const auto& p) { return document(p.root, counted(p, kValue)); }, all(Expect::holds(kValue))},
        {"one byte-order mark",
         [](const auto& p) { return fmt::format("{}{}", kBom, document(p.root, counted(p, kValue))); },
         all(Expect::holds(kValue))},
        {"two byte-order marks",
         [](const auto& p) { return fmt::format("{}{}{}", kBom, kBom, document(p.root, counted(p, kValue))); },
         all(Expect::holds(kValue))},
        {"root in no namespace",
         [](const auto& p) { return fmt::format("<{}>{}</{}>", p.root, counted(p, kValue), p.root); },
         root_failure()},
        {"root in another namespace",
         [](const auto& p) {
             return fmt::format("<{} xmlns=\"urn:other\">{}</{}>", p.root, counted(p, kValue), p.root);
         },
         root_failure()},
        {"root with an undeclared prefix",
         [](const auto& p) { return fmt::format("<m:{}>{}</m:{}>", p.root, counted(p, kValue), p.root); },
         root_failure()},
        {"root and elements prefixed to the namespace",
         [](const auto& p) {
             return fmt::format("<m:{} xmlns:m=\"{}\">{}</m:{}>", p.root, kMetadataNs,
                                prefixed(counted(p, kValue), "m"), p.root);
         },
         all(Expect::holds(kValue))},
        {"prefixed root, counted elements in no namespace",
         [](const auto& p) {
             return fmt::format("<m:{} xmlns:m=\"{}\">{}</m:{}>", p.root, kMetadataNs, counted(p, kValue), p.root);
         },
         all(Expect::empty())},
        {"counted elements in another namespace",
         [](const auto& p) {
             return fmt::format("<{} xmlns=\"{}\" xmlns:o=\"urn:other\">{}</{}>", p.root, kMetadataNs,
                                prefixed(counted(p, kValue), "o"), p.root);
         },
         all(Expect::empty())},
        {"empty root element", [](const auto& p) { return fmt::format("<{} xmlns=\"{}\"/>", p.root, kMetadataNs); },
         all(Expect::empty())},
        {"empty root element in no namespace", [](const auto& p) { return fmt::format("<{}/>", p.root); },
         root_failure()},
        {"DOCTYPE before the root",
         [](const auto& p) { return fmt::format("<!DOCTYPE {}>\n{}", p.root, document(p.root, counted(p, kValue))); },
         all(Expect::fails("doctype is not allowed"))},
        {"DOCTYPE inside the root",
         [](const auto& p) { return document(p.root, counted(p, kValue) + "<!DOCTYPE x>"); },
         all(Expect::fails("doctype is not allowed"))},
        {"DOCTYPE with an internal subset",
         [](const auto& p) {
             return fmt::format("<!DOCTYPE {} [<!ENTITY e \"boom\">]>\n{}", p.root,
                                document(p.root, counted(p, "&e;")));
         },
         all(Expect::fails("doctype is not allowed"))},
        {"empty text", [](const auto&) { return std::string(); }, all(Expect::fails("document has no root element"))},
        {"white space only", [](const auto&) { return std::string(" \n\t"); },
         all(Expect::fails("document has no root element"))},
        {"declaration and comments",
         [](const auto&) { return std::string("<?xml version=\"1.0\"?>\n<!-- one -->\n<!-- two -->\n"); },
         all(Expect::fails("document has no root element"))},
        {"unclosed root",
         [](const auto& p) { return fmt::format("<{} xmlns=\"{}\">{}", p.root, kMetadataNs, counted(p, kValue)); },
         all(Expect::fails("document is not properly closed"))},
        {"unclosed element below the root",
         [](const auto& p) { return fmt::format("<{} xmlns=\"{}\"><a>", p.root, kMetadataNs); },
         all(Expect::fails("document is not properly closed"))},
        {"mismatched end tag",
         [](const auto& p) { return document(p.root, "<a></b>"); },
         [](const auto& p) {
             return Expect{Expect::Kind::Fails, failure(kFullName, reader_message(document(p.root, "<a></b>")))};
         }},
        {"lone ampersand in a counted value", [](const auto& p) { return document(p.root, counted(p, "R&D")); },
         [](const auto& p) {
             return Expect{Expect::Kind::Fails, failure(kFullName, reader_message(document(p.root, counted(p, "R&D"))))};
         }},
        {"&nbsp; inside a counted element", [](const auto& p) { return document(p.root, counted(p, "Deal&nbsp;X__c")); },
         unless_context(Expect::fails("unknown entity: nbsp"), Expect::empty())},
        {"&nbsp; outside a counted element",
         [](const auto& p) {
             return document(p.root, "&nbsp;<description>&nbsp;&undeclared;</description>" + counted(p, kValue));
         },
         all(Expect::holds(kValue))},
        {"character reference naming no character", [](const auto& p) { return document(p.root, counted(p, "&#0;")); },
         unless_context(Expect::fails(xml::decode_char_ref("0").error().description), Expect::empty())},
        {"second top-level element with another name",
         [](const auto& p) {
             return document(p.root, counted(p, kValue)) + fmt::format("<Other xmlns=\"{}\"/>", kMetadataNs);
         },
         root_failure()},
        {"second top-level element with the root name",
         [](const auto& p) {
             return fmt::format("{}<{} xmlns=\"{}\">{}</{}>", document(p.root, ""), p.root, kMetadataNs,
                                counted(p, kValue), p.root);
         },
         all(Expect::holds(kValue))},
        {"reference to amp", [](const auto& p) { return document(p.root, counted(p, "R&amp;D.Amount__c")); },
         all(Expect::holds("R&D.Amount__c"))},
        {"character references", [](const auto& p) { return document(p.root, counted(p, "&#68;eal.&#x41;mount__c")); },
         all(Expect::holds(kValue))},
        {"CDATA holding an ampersand", [](const auto& p) { return document(p.root, counted(p, "<![CDATA[R&D.X__c]]>")); },
         all(Expect::holds("R&D.X__c"))},
        {"CDATA holding a reference is kept as written",
         [](const auto& p) { return document(p.root, counted(p, "<![CDATA[R&amp;D.X__c]]>")); },
         all(Expect::holds("R&amp;D.X__c"))},
        {"text and CDATA joined", [](const auto& p) { return document(p.root, counted(p, "Deal.<![CDATA[Amount__c]]>")); },
         unless_context(Expect::holds(kValue), Expect::holds("Amount__c"))},
        {"comment inside a value", [](const auto& p) { return document(p.root, counted(p, "Deal.Am<!-- x -->ount__c")); },
         unless_context(Expect::holds(kValue), Expect::holds("ount__c"))},
        {"processing instruction inside a value",
         [](const auto& p) { return document(p.root, counted(p, "Deal.Am<?pi x?>ount__c")); },
         unless_context(Expect::holds(kValue), Expect::holds("ount__c"))},
        {"white space around a value",
         [](const auto& p) { return document(p.root, counted(p, "\r\n \t Deal.Amount__c \u00A0\n")); },
         all(Expect::holds(kValue))},
        {"white space only value", [](const auto& p) { return document(p.root, counted(p, " \r\n\t ")); },
         all(Expect::empty())},
        {"empty value", [](const auto& p) { return document(p.root, counted(p, "")); }, all(Expect::empty())},
        {"value holding a child element", [](const auto& p) { return document(p.root, counted(p, "Deal<b>x</b>.A__c")); },
         unless_context(Expect::empty(), Expect::holds(".A__c"))},
        {"value holding an empty-element tag", [](const auto& p) { return document(p.root, counted(p, "Deal<b/>.A__c")); },
         unless_context(Expect::empty(), Expect::holds(".A__c"))},
        {"value that is not UTF-8", [](const auto& p) { return document(p.root, counted(p, "Deal.Am\xFFount__c")); },
         all(Expect::empty())},
        {"counted element one level deeper",
         [](const auto& p) { return document(p.root, "<wrapper>" + counted(p, kValue) + "</wrapper>"); },
         unless_context(Expect::empty(), Expect::holds(kValue))},
    };
    return cases;
}

TEST(ReferenceParserFrame, EveryParserFollowsTheFrame) {
    for (const ParserUnderTest& parser : all_parsers()) {
        for (const FrameCase& c : frame_cases()) {
            SCOPED_TRACE(fmt::format("{} / {}", parser.name, c.name));
            const std::string text = c.text(parser);
            const Expect expect = c.expect(parser);
            const Flattened result = parser.parse(kFullName, text);
            switch (expect.kind) {
                case Expect::Kind::Fails:
                    ASSERT_FALSE(result.has_value()) << ::testing::PrintToString(*result);
                    EXPECT_EQ(result.error(), expect.text);
                    break;
                case Expect::Kind::Empty:
                    ASSERT_TRUE(result.has_value()) << result.error();
                    EXPECT_EQ(*result, std::vector<std::string>());
                    break;
                case Expect::Kind::Holds:
                    ASSERT_TRUE(result.has_value()) << result.error();
                    EXPECT_TRUE(holds(*result, expect.text)) << ::testing::PrintToString(*result);
                    EXPECT_EQ(result->size(), 1u) << ::testing::PrintToString(*result);
                    break;
            }
        }
    }
}

TEST(ReferenceParserFrame, ErrorsNameTheFullNameAsPassed) {
    const auto error = lookup_reader::parse_lookup_references("Deal.Main", "<Nope/>");
    ASSERT_FALSE(error);
    const FieldReadError::Invalid* invalid = error.error().invalid_form();
    ASSERT_NE(invalid, nullptr);
    EXPECT_EQ(invalid->path.native(), "Deal.Main");
    EXPECT_EQ(invalid->reason, "root element must be CustomField");
    EXPECT_EQ(error.error().message(), "Invalid metadata in Deal.Main: root element must be CustomField");
}

TEST(ReferenceParserFrame, ADeeplyNestedDocumentIsReadWithoutRecursion) {
    constexpr std::size_t kDepth = 100'000;
    for (const ParserUnderTest& parser : all_parsers()) {
        SCOPED_TRACE(parser.name);
        std::string unclosed = fmt::format("<{} xmlns=\"{}\">", parser.root, kMetadataNs);
        for (std::size_t i = 0; i < kDepth; ++i) unclosed.append(i % 2 == 0 ? "<parameters>" : "<a>");
        std::string text = unclosed;
        for (std::size_t i = kDepth; i > 0; --i) text.append((i - 1) % 2 == 0 ? "</parameters>" : "</a>");
        text.append(fmt::format("</{}>", parser.root));
        const Flattened closed = parser.parse(kFullName, text);
        ASSERT_TRUE(closed.has_value()) << closed.error();
        EXPECT_TRUE(closed->empty());

        const Flattened open = parser.parse(kFullName, unclosed);
        ASSERT_FALSE(open.has_value());
        EXPECT_EQ(open.error(), failure(kFullName, "document is not properly closed"));
    }
}

TEST(ReferenceParserFrame, NoEntityIsEverExpanded) {
    // The classic entity bomb: refused at its DOCTYPE, before any of it could be expanded.
    std::string bomb = "<?xml version=\"1.0\"?>\n<!DOCTYPE CustomField [\n<!ENTITY a \"aaaaaaaaaa\">\n";
    for (char c = 'b'; c <= 'j'; ++c) {
        bomb += fmt::format("<!ENTITY {} \"{}\">\n", c, std::string(10, static_cast<char>(c - 1)));
    }
    bomb += "]>\n";
    bomb += document("CustomField", "<referenceTo>&j;</referenceTo>");
    const auto result = lookup_reader::parse_lookup_references("A.B", bomb);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().message(), failure("A.B", "doctype is not allowed"));

    // Without a DOCTYPE the entity is unknown where it counts and ignored elsewhere.
    const auto counted_result =
        lookup_reader::parse_lookup_references("A.B", document("CustomField", "<referenceTo>&j;</referenceTo>"));
    ASSERT_FALSE(counted_result);
    EXPECT_EQ(counted_result.error().message(), failure("A.B", "unknown entity: j"));
}

struct DecodeCase {
    std::string_view name;
    std::string_view raw;
    std::string_view expected;
};

TEST(ReferenceParserFrame, DecodeTextResolvesOrGivesTheEmptyText) {
    const DecodeCase cases[] = {
        {"plain", "Account", "Account"},
        {"untrimmed", "  a b \n", "  a b \n"},
        {"five entities", "&lt;&gt;&amp;&apos;&quot;", "<>&'\""},
        {"decimal and hexadecimal references", "&#65;&#x42;&#x1F600;", "AB\xF0\x9F\x98\x80"},
        {"empty", "", ""},
        {"invalid UTF-8", "ab\xC3", ""},
        {"surrogate bytes", "\xED\xA0\x80", ""},
        {"unknown entity", "a&nbsp;b", ""},
        {"lone ampersand", "R&D", ""},
        {"ampersand without semicolon", "&amp", ""},
        {"reference naming no character", "&#0;", ""},
        {"reference beyond Unicode", "&#x110000;", ""},
        {"malformed character reference", "&#xZZ;", ""},
        {"entity names are case-sensitive", "&AMP;", ""},
        {"UTF-8 kept", "Caf\xC3\xA9 &amp; cr\xC3\xA8me", "Caf\xC3\xA9 & cr\xC3\xA8me"},
    };
    for (const DecodeCase& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(reference_parser_frame::decode_text(c.raw), c.expected);
        // Every module's member is the one implementation.
        EXPECT_EQ(rollup_reader::decode_text(c.raw), c.expected);
        EXPECT_EQ(lookup_reader::decode_text(c.raw), c.expected);
        EXPECT_EQ(value_set_reader::decode_text(c.raw), c.expected);
        EXPECT_EQ(custom_metadata_reader::decode_text(c.raw), c.expected);
        EXPECT_EQ(expression_set_reader::decode_text(c.raw), c.expected);
        EXPECT_EQ(decision_table_reader::decode_text(c.raw), c.expected);
    }
}

struct LocalNameCase {
    std::string_view name;
    std::string_view tag;
    std::string_view expected;
};

TEST(ReferenceParserFrame, LocalNameOfIsThePartAfterTheFirstColon) {
    const LocalNameCase cases[] = {
        {"no prefix", "<fieldName>", "fieldName"},
        {"prefix", "<m:fieldName>", "fieldName"},
        {"two colons", "<a:b:c>", "b:c"},
        {"empty-element tag", "<m:item a=\"1\"/>", "item"},
        {"not UTF-8", "<m:f\xFFx>", "f\xEF\xBF\xBDx"},
    };
    for (const LocalNameCase& c : cases) {
        SCOPED_TRACE(c.name);
        xml::Reader reader(c.tag);
        auto event = reader.next();
        ASSERT_TRUE(event) << event.error().message();
        ASSERT_TRUE(event->kind == xml::EventKind::Start || event->kind == xml::EventKind::Empty);
        EXPECT_EQ(reference_parser_frame::local_name_of(*event), c.expected);
        EXPECT_EQ(rollup_reader::local_name_of(*event), c.expected);
        EXPECT_EQ(lookup_reader::local_name_of(*event), c.expected);
        EXPECT_EQ(value_set_reader::local_name_of(*event), c.expected);
        EXPECT_EQ(custom_metadata_reader::local_name_of(*event), c.expected);
        EXPECT_EQ(expression_set_reader::local_name_of(*event), c.expected);
        EXPECT_EQ(context_reader::local_name_of(*event), c.expected);
    }
}

}  // namespace
}  // namespace ambrel::metadata::testing
