#include <string>
#include <string_view>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "metadata/layout_document.hpp"
#include "support/programming_error.hpp"

namespace ambrel::metadata {
namespace {

using ::testing::ElementsAre;

constexpr std::string_view kNs = "http://soap.sforce.com/2006/04/metadata";
const std::string kBom = "\xEF\xBB\xBF";

std::string layout(std::string_view body) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Layout xmlns=\"" + std::string(kNs) + "\">" +
           std::string(body) + "</Layout>\n";
}

// The document borrows its text: temporaries are refused here so that no test reads freed text.
LayoutDocument parse_ok(std::string&& text) = delete;
LayoutDocument parse_ok(const std::string& text) {
    auto document = LayoutDocument::parse(text, "layout");
    if (!document) ADD_FAILURE() << document.error().message();
    return std::move(document).value();
}

std::vector<std::string> child_names(const LayoutDocument& document, std::size_t index) {
    std::vector<std::string> names;
    for (const LayoutChild& child : document.children(index)) names.push_back(child.local_name);
    return names;
}

TEST(LayoutDocument, RecordsContiguousSpansFromAfterTheByteOrderMarks) {
    const std::string body = layout("\n    <label>A</label>\n");
    const std::string text = kBom + kBom + body;
    const LayoutDocument document = parse_ok(text);
    EXPECT_EQ(document.text(), body);
    ASSERT_EQ(document.events().size(), document.spans().size());
    ASSERT_EQ(document.events().size(), document.in_metadata_namespace().size());
    std::size_t expected_start = 0;
    for (const LayoutSpan& span : document.spans()) {
        EXPECT_EQ(span.start, expected_start);
        expected_start = span.end;
    }
    EXPECT_EQ(expected_start, body.size());  // the last event (a line feed) ends the text
    const auto children = document.children(document.root());
    ASSERT_EQ(children.size(), 1u);
    EXPECT_EQ(document.raw(children[0].start, children[0].end), "<label>A</label>");
    EXPECT_EQ(document.spans()[children[0].start].start, body.find("<label>"));
    EXPECT_EQ(document.raw(document.root(), *document.end_of(document.root())),
              body.substr(body.find("<Layout"), body.size() - body.find("<Layout") - 1));
}

TEST(LayoutDocument, AcceptsAnEmptyRootAndPrefixedNames) {
    const std::string empty_text = "<Layout xmlns=\"" + std::string(kNs) + "\"/>";
    const LayoutDocument empty = parse_ok(empty_text);
    EXPECT_TRUE(empty.children(empty.root()).empty());
    EXPECT_EQ(empty.end_of(empty.root()), empty.root());

    const std::string prefixed_text = "<m:Layout xmlns:m=\"" + std::string(kNs) +
                                      "\"><m:label>L</m:label><label>unbound</label></m:Layout>";
    const LayoutDocument prefixed = parse_ok(prefixed_text);
    EXPECT_THAT(child_names(prefixed, prefixed.root()), ElementsAre("label"));
    EXPECT_EQ(prefixed.child_text(prefixed.root(), "label"), "L");
}

struct Refusal {
    std::string_view name;
    std::string text;
    std::string reason;
};

TEST(LayoutDocument, RefusesWhatIsNotALayout) {
    const Refusal cases[] = {
        {"no namespace", "<Layout><label>x</label></Layout>", "root element must be Layout"},
        {"other namespace", "<Layout xmlns='urn:other'/>", "root element must be Layout"},
        {"other root", "<Flow xmlns=\"" + std::string(kNs) + "\"/>", "root element must be Layout"},
        {"doctype", "<!DOCTYPE Layout>" + layout(""), "doctype is not allowed"},
        {"doctype after the root", layout("") + "<!DOCTYPE Layout>", "doctype is not allowed"},
        {"empty text", "", "layout has no root element"},
        {"declaration and comments only", "<?xml version=\"1.0\"?>\n<!-- c -->\n", "layout has no root element"},
        {"root never closed", "<Layout xmlns=\"" + std::string(kNs) + "\"><label>x</label>",
         "layout root is not closed"},
        {"mismatched end tag", "<Layout xmlns=\"" + std::string(kNs) + "\"><label>x</field></Layout>",
         "end tag </field> does not match start tag <label> at line 1, column 65"},
    };
    for (const Refusal& c : cases) {
        auto document = LayoutDocument::parse(c.text, "layouts/A-B.layout-meta.xml");
        ASSERT_FALSE(document) << c.name;
        const FieldReadError::Invalid* invalid = document.error().invalid_form();
        ASSERT_NE(invalid, nullptr) << c.name;
        EXPECT_EQ(invalid->reason, c.reason) << c.name;
        EXPECT_EQ(invalid->path, "layouts/A-B.layout-meta.xml");
    }
}

TEST(LayoutDocument, ChildTextsFollowTheTextRules) {
    const std::string text = layout(
        "<label/>"
        "<field>\n   Account.Name  \r\n</field>"
        "<a>Tom &amp; Jerry</a>"
        "<b>&#65;&#x42;&nbsp;&#xZZ;C</b>"
        "<c><![CDATA[<&>]]></c>"
        "<d>x<ext:note xmlns:ext='urn:ext'>inner</ext:note>y</d>"
        "<e>one</e><e> two </e>");
    const LayoutDocument document = parse_ok(text);
    const std::size_t root = document.root();
    EXPECT_EQ(document.child_text(root, "label"), "");
    EXPECT_EQ(document.child_text(root, "missing"), std::nullopt);
    EXPECT_EQ(document.child_text(root, "field"), "Account.Name");
    EXPECT_EQ(document.child_text(root, "a"), "Tom & Jerry");
    EXPECT_EQ(document.child_text(root, "b"), "ABC");
    EXPECT_EQ(document.child_text(root, "c"), "<&>");
    EXPECT_EQ(document.child_text(root, "d"), "xinnery");  // foreign children still give text
    EXPECT_THAT(document.child_texts(root, "e"), ElementsAre("one", "two"));
    const auto d = document.children(root)[5];
    EXPECT_TRUE(document.children(d.start).empty());  // the foreign child is invisible
    EXPECT_EQ(document.text_of(d.end, d.start), "");
}

TEST(LayoutDocument, LocalNamesAndMisuse) {
    const std::string text = layout("<x:y:z xmlns:x='u'/>text");
    const LayoutDocument document = parse_ok(text);
    const auto& events = document.events();
    const std::size_t z = document.root() + 1;
    EXPECT_EQ(layout_reader::local_name(events[z]), "y:z");
    EXPECT_EQ(layout_reader::local_name(events[z + 1]), "");  // text
    EXPECT_TRUE(document.children(z + 1).empty());             // not an element
    EXPECT_THROW((void)document.raw(0, events.size()), support::ProgrammingError);
    EXPECT_THROW((void)document.raw(3, 1), support::ProgrammingError);
    EXPECT_THROW((void)document.text_of(0, events.size()), support::ProgrammingError);
}

}  // namespace
}  // namespace ambrel::metadata
