#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "metadata/container_child_reader.hpp"
#include "support/source_tree.hpp"
#include "support/programming_error.hpp"

namespace ambrel::metadata::container_child_reader {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

const std::string kNs = "http://soap.sforce.com/2006/04/metadata";
const std::string kBom = "\xEF\xBB\xBF";
const std::string kDecl = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";

std::string label(std::string_view name, std::string_view value = "v") {
    return "<labels><fullName>" + std::string(name) + "</fullName><value>" + std::string(value) + "</value></labels>";
}

std::string labels_document(const std::vector<std::string>& children) {
    std::string out = kDecl + "<CustomLabels xmlns=\"" + kNs + "\">\n";
    for (const std::string& child : children) out += "    " + child + "\n";
    return out + "</CustomLabels>\n";
}

std::vector<std::string> keys_of(const std::vector<ContainerChild>& children) {
    std::vector<std::string> out;
    for (const ContainerChild& child : children) out.push_back(child.element + ":" + child.full_name);
    return out;
}

TEST(ContainerSplit, ChildRangesExcludeIndentationAndLineEnds) {
    const std::string text = labels_document({label("A")});
    const auto split = split_container_document_reporting_root(text, "x");
    ASSERT_TRUE(split.has_value()) << split.error().message();
    EXPECT_TRUE(split->first);
    ASSERT_EQ(split->second.size(), 1u);
    const ContainerChild& child = split->second.front();
    const std::size_t expected_start = text.find("<labels>");
    EXPECT_EQ(child.start, expected_start);
    EXPECT_EQ(child.end, text.find("</labels>") + std::string("</labels>").size());
    EXPECT_EQ(child.xml, label("A"));
    EXPECT_EQ(text.substr(child.start, child.end - child.start), child.xml);
    EXPECT_EQ(text.substr(child.start - 4, 4), "    ");
    EXPECT_EQ(text[child.end], '\n');
    EXPECT_EQ(child.element, "labels");
    EXPECT_EQ(child.full_name, "A");
}

TEST(ContainerSplit, OffsetsCountAfterOneOrTwoLeadingBoms) {
    for (const std::string& boms : {kBom, kBom + kBom}) {
        SCOPED_TRACE(boms.size());
        const std::string body = labels_document({label("A")});
        const auto children = split_container_document(boms + body, "x");
        ASSERT_TRUE(children.has_value());
        ASSERT_EQ(children->size(), 1u);
        EXPECT_EQ(children->front().start, body.find("<labels>"));
        EXPECT_EQ(children->front().xml, label("A"));
    }
}

struct SplitCase {
    std::string name;
    std::string children;  // inside the root
    std::vector<std::string> keys;
};

TEST(ContainerSplit, WhichChildrenCountAndHowTheirNamesRead) {
    const SplitCase cases[] = {
        {"no fullName", "<labels><value>v</value></labels>", {}},
        {"empty fullName", "<labels><fullName></fullName></labels>", {}},
        {"blank fullName", "<labels><fullName> \n </fullName></labels>", {}},
        {"empty-element fullName", "<labels><fullName/></labels>", {}},
        {"trimmed with line ends", "<labels><fullName>\r\n  A b \r\n</fullName></labels>", {"labels:A b"}},
        {"amp reference", "<labels><fullName>A&amp;B</fullName></labels>", {"labels:A&B"}},
        {"CDATA unchanged", "<labels><fullName><![CDATA[<A>]]></fullName></labels>", {"labels:<A>"}},
        {"other namespace child", "<x:labels xmlns:x=\"urn:x\"><fullName>A</fullName></x:labels>", {}},
        {"fullName one level deeper", "<labels><value><fullName>A</fullName></value></labels>", {}},
        {"fullName in other namespace", "<labels><x:fullName xmlns:x=\"urn:x\">A</x:fullName></labels>", {}},
        {"duplicates both listed", label("A") + label("A"), {"labels:A", "labels:A"}},
        {"kinds kept apart",
         "<sharingCriteriaRules><fullName>R</fullName></sharingCriteriaRules>"
         "<sharingOwnerRules><fullName>R</fullName></sharingOwnerRules>",
         {"sharingCriteriaRules:R", "sharingOwnerRules:R"}},
        {"prefixed child", "<m:labels xmlns:m=\"" + kNs + "\"><m:fullName>P</m:fullName></m:labels>", {"labels:P"}},
    };
    for (const SplitCase& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string text = "<CustomLabels xmlns=\"" + kNs + "\">" + c.children + "</CustomLabels>";
        const auto children = split_container_document(text, "x");
        ASSERT_TRUE(children.has_value()) << children.error().message();
        EXPECT_EQ(keys_of(*children), c.keys);
    }
}

TEST(ContainerSplit, FailuresAndTheRootReport) {
    const auto empty = split_container_document_reporting_root("", "x");
    ASSERT_TRUE(empty.has_value());
    EXPECT_FALSE(empty->first);
    EXPECT_THAT(empty->second, IsEmpty());

    const auto entity = split_container_document(
        "<CustomLabels xmlns=\"" + kNs + "\"><labels><fullName>&nbsp;</fullName></labels></CustomLabels>", "p.xml");
    ASSERT_FALSE(entity.has_value());
    EXPECT_EQ(entity.error(), FieldReadError::invalid("p.xml", "unknown entity: nbsp"));

    // The split ignores a DOCTYPE; the parse refuses it.
    const std::string with_doctype = "<!DOCTYPE x>" + labels_document({label("A")});
    EXPECT_TRUE(split_container_document(with_doctype, "x").has_value());
    const auto parsed = parse_container_document(with_doctype, "p.xml", "CustomLabels");
    ASSERT_FALSE(parsed.has_value());
    EXPECT_EQ(parsed.error(), FieldReadError::invalid("p.xml", "doctype is not allowed"));

    const auto malformed = split_container_document("<CustomLabels><a></b></CustomLabels>", "p.xml");
    ASSERT_FALSE(malformed.has_value());
    EXPECT_EQ(malformed.error().invalid_form()->path, "p.xml");
}

TEST(ContainerSplit, DeepNestingIsReadWithoutRecursion) {
    constexpr int kDepth = 200000;
    std::string deep;
    deep.reserve(kDepth * 7 + 64);
    for (int i = 0; i < kDepth; ++i) deep += "<a>";
    for (int i = 0; i < kDepth; ++i) deep += "</a>";
    const std::string text =
        "<CustomLabels xmlns=\"" + kNs + "\"><labels><fullName>A</fullName>" + deep + "</labels></CustomLabels>";
    const auto children = parse_container_document(text, "x", "CustomLabels");
    ASSERT_TRUE(children.has_value()) << children.error().message();
    EXPECT_THAT(keys_of(*children), ElementsAre("labels:A"));
}

TEST(ContainerParse, ValidatesTheRoot) {
    const auto blank = parse_container_document(" \n", "p.xml", "CustomLabels");
    ASSERT_TRUE(blank.has_value());
    EXPECT_THAT(*blank, IsEmpty());

    const auto comment = parse_container_document("<!-- nothing -->", "p.xml", "CustomLabels");
    ASSERT_FALSE(comment.has_value());
    EXPECT_EQ(comment.error(), FieldReadError::invalid("p.xml", "document has no CustomLabels root element"));

    const auto wrong = parse_container_document(labels_document({}), "p.xml", "SharingRules");
    ASSERT_FALSE(wrong.has_value());
    EXPECT_EQ(wrong.error(), FieldReadError::invalid("p.xml", "root element must be SharingRules"));

    const auto good = parse_container_document(labels_document({label("A"), label("B")}), "p.xml", "CustomLabels");
    ASSERT_TRUE(good.has_value());
    EXPECT_THAT(keys_of(*good), ElementsAre("labels:A", "labels:B"));
}

TEST(ContainerRender, FiveLinesWithTrimmedIndentedChildren) {
    const std::vector<std::string> children = {"  \n" + label("A") + " \n", label("B")};
    EXPECT_EQ(render_container_document("CustomLabels", children),
              kDecl + "<CustomLabels xmlns=\"" + kNs + "\">\n    " + label("A") + "\n    " + label("B") +
                  "\n</CustomLabels>\n");
    EXPECT_EQ(render_container_document("SharingRules", {}),
              kDecl + "<SharingRules xmlns=\"" + kNs + "\">\n</SharingRules>\n");
}

IncomingContainerChild incoming_label(std::string_view name, std::string_view value = "new") {
    return {"labels", std::string(name), label(name, value)};
}

struct MergeCase {
    std::string name;
    std::string existing;
    std::vector<IncomingContainerChild> incoming;
    std::string root = "CustomLabels";
    std::string expected;
};

std::string sharing(std::string_view element, std::string_view name) {
    return "<" + std::string(element) + "><fullName>" + std::string(name) + "</fullName></" + std::string(element) + ">";
}

std::string sharing_document(const std::vector<std::string>& children) {
    std::string out = kDecl + "<SharingRules xmlns=\"" + kNs + "\">\n";
    for (const std::string& child : children) out += "    " + child + "\n";
    return out + "</SharingRules>\n";
}

TEST(ContainerMerge, PlacesEveryChildWhereItBelongsAndTouchesNothingElse) {
    const std::string head = kDecl + "<!-- kept -->\n<CustomLabels xmlns=\"" + kNs + "\" a=\"1\">\n";
    const MergeCase cases[] = {
        {"new child after the last of its kind",
         labels_document({label("A"), label("B")}),
         {incoming_label("C")},
         "CustomLabels",
         labels_document({label("A"), label("B"), label("C", "new")})},
        {"existing key replaced in place keeping its indentation",
         head + "\t\t" + label("A") + "\r\n  " + label("B") + "\r\n</CustomLabels>",
         {incoming_label("A")},
         "CustomLabels",
         head + "\t\t" + label("A", "new") + "\r\n  " + label("B") + "\r\n</CustomLabels>"},
        {"guest rule before the first owner rule",
         sharing_document({sharing("sharingCriteriaRules", "C"), sharing("sharingOwnerRules", "O")}),
         {{"sharingGuestRules", "G", sharing("sharingGuestRules", "G")}},
         "SharingRules",
         sharing_document({sharing("sharingCriteriaRules", "C"), sharing("sharingGuestRules", "G"),
                           sharing("sharingOwnerRules", "O")})},
        {"a kind sorting after every other goes after the last child",
         sharing_document({sharing("sharingCriteriaRules", "C")}),
         {{"sharingOwnerRules", "O", sharing("sharingOwnerRules", "O")}},
         "SharingRules",
         sharing_document({sharing("sharingCriteriaRules", "C"), sharing("sharingOwnerRules", "O")})},
        {"root without children: before its end tag",
         kDecl + "<CustomLabels xmlns=\"" + kNs + "\">\n</CustomLabels>\n<!-- after -->\n",
         {incoming_label("A")},
         "CustomLabels",
         kDecl + "<CustomLabels xmlns=\"" + kNs + "\">\n    " + label("A", "new") + "\n</CustomLabels>\n<!-- after -->\n"},
        {"prefixed root end tag keeps the rest of the document",
         "<!-- c -->\n<md:CustomLabels xmlns:md=\"" + kNs + "\" xmlns=\"" + kNs + "\">\n</md:CustomLabels>\n",
         {incoming_label("A")},
         "CustomLabels",
         "<!-- c -->\n<md:CustomLabels xmlns:md=\"" + kNs + "\" xmlns=\"" + kNs + "\">\n    " + label("A", "new") +
             "\n</md:CustomLabels>\n"},
        {"a comment after the root naming its end tag is left alone",
         "<CustomLabels xmlns=\"" + kNs + "\">\n</CustomLabels>\n<!-- </CustomLabels> -->\n",
         {incoming_label("A")},
         "CustomLabels",
         "<CustomLabels xmlns=\"" + kNs + "\">\n    " + label("A", "new") +
             "\n</CustomLabels>\n<!-- </CustomLabels> -->\n"},
        {"blank text rendered anew with all incoming children",
         "  \n",
         {incoming_label("B"), incoming_label("A")},
         "CustomLabels",
         labels_document({label("B", "new"), label("A", "new")})},
        {"empty-element root rendered anew",
         "<CustomLabels xmlns=\"" + kNs + "\"/>",
         {incoming_label("A")},
         "CustomLabels",
         labels_document({label("A", "new")})},
        {"two incoming with one key leave one child",
         labels_document({label("A")}),
         {incoming_label("B", "1"), incoming_label("B", "2")},
         "CustomLabels",
         labels_document({label("A"), label("B", "2")})},
        {"duplicate existing keys: only the first is replaced",
         labels_document({label("A", "1"), label("A", "2")}),
         {incoming_label("A")},
         "CustomLabels",
         labels_document({label("A", "new"), label("A", "2")})},
        {"incoming xml is trimmed",
         labels_document({label("A")}),
         {{"labels", "B", "\n   " + label("B") + "  \n"}},
         "CustomLabels",
         labels_document({label("A"), label("B")})},
        {"no incoming children: unchanged",
         head + "</CustomLabels>",
         {},
         "CustomLabels",
         head + "</CustomLabels>"},
    };
    for (const MergeCase& c : cases) {
        SCOPED_TRACE(c.name);
        const auto merged = merge_container_document(c.existing, c.root, c.incoming, "p.xml");
        ASSERT_TRUE(merged.has_value()) << merged.error().message();
        EXPECT_EQ(*merged, c.expected);
    }
}

TEST(ContainerMerge, KeepsLeadingBoms) {
    const std::string existing = kBom + kBom + labels_document({label("A")});
    const auto merged = merge_container_document(existing, "CustomLabels", std::vector{incoming_label("B")}, "p");
    ASSERT_TRUE(merged.has_value()) << merged.error().message();
    EXPECT_EQ(*merged, kBom + kBom + labels_document({label("A"), label("B", "new")}));
}

TEST(ContainerMerge, Failures) {
    struct Failure {
        std::string name;
        std::string existing;
        std::vector<IncomingContainerChild> incoming;
        std::string reason;
    };
    const std::string lost = "the merged container document lost or gained a child";
    const Failure cases[] = {
        {"key does not match the xml", labels_document({label("A")}), {{"labels", "B", label("C")}}, lost},
        {"xml with two children", labels_document({label("A")}), {{"labels", "B", label("B") + label("C")}}, lost},
        {"xml with no child", labels_document({label("A")}), {{"labels", "B", "<labels/>"}}, lost},
        {"xml not well formed", labels_document({label("A")}), {{"labels", "B", "<labels><fullName>B</labels>"}},
         "end tag"},
        {"existing without a root", "<!-- x -->", {incoming_label("A")}, "document has no CustomLabels root element"},
        {"existing with another root", sharing_document({}), {incoming_label("A")}, "root element must be CustomLabels"},
        {"existing root never closed", "<CustomLabels xmlns=\"" + kNs + "\">\n<!-- open -->", {incoming_label("A")},
         "root element <CustomLabels> is not closed"},
    };
    for (const Failure& c : cases) {
        SCOPED_TRACE(c.name);
        const auto merged = merge_container_document(c.existing, "CustomLabels", c.incoming, "p.xml");
        ASSERT_FALSE(merged.has_value());
        const auto* invalid = merged.error().invalid_form();
        ASSERT_NE(invalid, nullptr);
        EXPECT_EQ(invalid->path, "p.xml");
        EXPECT_NE(invalid->reason.find(c.reason), std::string::npos) << invalid->reason;
    }
}

TEST(ContainerMerge, NothingIsMergedIntoADocumentThatIsNotWellFormed) {
    struct Case {
        std::string name;
        std::string existing;
        std::string reason;
    };
    const std::string open = "<CustomLabels xmlns=\"" + kNs + "\">\n    " + label("A") + "\n";
    const Case cases[] = {
        {"root never closed", open, "root element <CustomLabels> is not closed at line 3, column 1"},
        {"text after the root", labels_document({label("A")}) + "trailing",
         "text after the end of the root element <CustomLabels> at line 5, column 1"},
        {"element after the root", labels_document({label("A")}) + label("B"),
         "element <labels> after the end of the root element <CustomLabels> at line 5, column 1"},
        {"second root", labels_document({label("A")}) + labels_document({label("B")}).substr(kDecl.size()),
         "element <CustomLabels> after the end of the root element <CustomLabels> at line 5, column 1"},
        {"text before the root", "x" + labels_document({label("A")}),
         "text before the root element at line 1, column 1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto parsed = parse_container_document(c.existing, "p.xml", "CustomLabels");
        ASSERT_FALSE(parsed.has_value());
        EXPECT_EQ(parsed.error(), FieldReadError::invalid("p.xml", c.reason));
        const auto merged = merge_container_document(c.existing, "CustomLabels", std::vector{incoming_label("C")}, "p.xml");
        ASSERT_FALSE(merged.has_value());
        EXPECT_EQ(merged.error(), FieldReadError::invalid("p.xml", c.reason));
    }
}

TEST(Splice, ReplacesInsertsAndRemoves) {
    EXPECT_EQ(splice("abcdef", 2, 4, "XY"), "abXYef");
    EXPECT_EQ(splice("abc", 1, 1, "-"), "a-bc");
    EXPECT_EQ(splice("abc", 0, 3, ""), "");
    EXPECT_EQ(splice("abc", 3, 3, "!"), "abc!");
    EXPECT_EQ(splice("\xC3\xA9x", 2, 3, "y"), "\xC3\xA9y");
}

TEST(Splice, OffsetsOffBoundariesAreProgrammingErrors) {
    EXPECT_THROW(splice("abc", 2, 1, ""), support::ProgrammingError);
    EXPECT_THROW(splice("abc", 0, 4, ""), support::ProgrammingError);
    EXPECT_THROW(splice("\xC3\xA9", 1, 2, ""), support::ProgrammingError);
    EXPECT_THROW(splice("\xC3\xA9", 0, 1, ""), support::ProgrammingError);
}

}  // namespace
}  // namespace ambrel::metadata::container_child_reader
