#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "metadata/layout_merger.hpp"
#include "metadata/layout_model.hpp"
#include "support/programming_error.hpp"
#include "support/test_paths.hpp"

namespace ambrel::metadata {
namespace {

using layout_merger::indent_at;
using layout_merger::merge_layout;
using layout_merger::splice;
using metadata_types::LayoutElementKind;
using metadata_types::LayoutElementRef;

const std::string kNs = "http://soap.sforce.com/2006/04/metadata";
const std::string kBom = "\xEF\xBB\xBF";
const std::filesystem::path kFixtures = ambrel::testing::tests_dir() / "fixtures/metadata/layout_merge";

LayoutElementRef field(std::string name) { return {LayoutElementKind::Field, std::move(name)}; }
LayoutElementRef related(std::string name) { return {LayoutElementKind::RelatedList, std::move(name)}; }

// `text` with `what` inserted just after (or, with `before`, just before) the first `anchor`.
std::string insert_at(std::string text, std::string_view anchor, std::string_view what, bool before = false) {
    const std::size_t at = text.find(anchor);
    EXPECT_NE(at, std::string::npos) << anchor;
    if (at == std::string::npos) return text;
    text.insert(before ? at : at + anchor.size(), what);
    return text;
}

std::string replace_first(std::string text, std::string_view from, std::string_view to) {
    const std::size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    if (at == std::string::npos) return text;
    text.replace(at, from.size(), to);
    return text;
}

class LayoutMerge : public ::testing::Test {
protected:
    void SetUp() override {
        const std::string source_text = ambrel::testing::read_file(kFixtures / "source.layout-meta.xml");
        target_ = ambrel::testing::read_file(kFixtures / "target.layout-meta.xml");
        ASSERT_TRUE(target_.starts_with(kBom));
        body_ = target_.substr(kBom.size());
        auto model = layout_reader::parse_layout_model("Account-Source", source_text, "source");
        ASSERT_TRUE(model.has_value()) << model.error().message();
        source_ = std::move(*model);
    }

    // The raw text of the source field item.
    std::string raw(std::string_view name) const {
        for (const LayoutSection& section : source_.sections) {
            for (const auto& column : section.columns) {
                for (const LayoutItem& item : column) {
                    const auto* f = std::get_if<LayoutItem::Field>(&item.value);
                    if (f != nullptr && f->field == name) return f->raw;
                }
            }
        }
        ADD_FAILURE() << name;
        return {};
    }
    std::string raw_list(std::string_view name) const {
        for (const RelatedListItem& item : source_.related_lists) {
            if (item.related_list == name) return item.raw;
        }
        ADD_FAILURE() << name;
        return {};
    }

    std::string target_;  // with its U+FEFF
    std::string body_;    // without it
    LayoutModel source_;
};

const std::string kTargetName =
    "<layoutItems>\n                <behavior>Readonly</behavior>\n                <field>Name</field>\n"
    "            </layoutItems>";

struct MergeCase {
    std::string name;
    std::vector<LayoutElementRef> selection;
    std::string expected_body;
};

TEST_F(LayoutMerge, EveryFieldAndRelatedListRuleOnTheFixtureSet) {
    const std::string info_end = "    </layoutSections>";
    const std::string rd_section =
        "\n    <layoutSections>\n        <customLabel>true</customLabel>\n        <detailHeading>false</detailHeading>"
        "\n        <label>R&amp;D</label>\n        <layoutColumns>\n            {items}\n        </layoutColumns>"
        "\n        <layoutColumns/>\n        <style>TwoColumnsLeftToRight</style>\n    </layoutSections>";
    const auto rd_with = [&](const std::string& items) { return replace_first(rd_section, "{items}", items); };
    const std::string second_dup_column = "\t\t<layoutColumns/>";
    const MergeCase cases[] = {
        {"rule 1: the target's field is replaced as a whole", {field("Name")},
         replace_first(body_, kTargetName, raw("Name"))},
        {"rule 2: after its predecessor with the predecessor's indentation", {field("Phone")},
         insert_at(body_, kTargetName, "\n            " + raw("Phone"))},
        {"rule 2: a predecessor in an earlier column counts", {field("Fax")},
         insert_at(body_, kTargetName, "\n            " + raw("Fax"))},
        {"rule 3: first item of the same section's first column", {field("FirstDup__c")},
         insert_at(body_, "<label>Dup</label>\n        <layoutColumns>", "\n            " + raw("FirstDup__c"))},
        {"rule 3: an empty-element first column becomes a full one, second section of a label",
         {field("SecondDup__c")},
         replace_first(body_, second_dup_column,
                       "\t\t<layoutColumns>\n\t\t    " + raw("SecondDup__c") + "\n\t\t</layoutColumns>")},
        {"rule 4: a new section after the nearest earlier section the target has, label escaped",
         {field("Lab__c")},
         insert_at(body_, info_end, rd_with(raw("Lab__c")))},
        {"rule 4 then 2: three fields of a new section arrive in source order",
         {field("Shelf__c"), field("Lab__c"), field("Bench__c")},
         insert_at(body_, info_end,
                   rd_with(raw("Lab__c") + "\n            " + raw("Bench__c") + "\n            " + raw("Shelf__c")))},
        {"rule 4: anchor is the second section of a label, one column for CustomLinks", {field("Unlabelled__c")},
         insert_at(body_, "\t</layoutSections>",
                   "\n\t<layoutSections>\n\t    <label></label>\n\t    <layoutColumns>\n\t        " +
                       raw("Unlabelled__c") +
                       "\n\t    </layoutColumns>\n\t    <style>CustomLinks</style>\n\t</layoutSections>")},
        {"related list present: replaced", {related("RelatedNoteList")},
         replace_first(body_,
                       "<relatedLists>\n        <relatedList>RelatedNoteList</relatedList>\n    </relatedLists>",
                       raw_list("RelatedNoteList"))},
        {"related list after the nearest earlier source related list", {related("RelatedHistoryList")},
         insert_at(body_, "</relatedLists>", "\n    " + raw_list("RelatedHistoryList"))},
        {"first source related list: after the last target related list", {related("RelatedContactList")},
         insert_at(body_, "</relatedLists>", "\n    " + raw_list("RelatedContactList"))},
        {"fields before related lists whatever the selection order", {related("RelatedContactList"), field("Phone")},
         insert_at(insert_at(body_, kTargetName, "\n            " + raw("Phone")), "</relatedLists>",
                   "\n    " + raw_list("RelatedContactList"))},
    };
    for (const MergeCase& c : cases) {
        SCOPED_TRACE(c.name);
        const auto merged = merge_layout(target_, source_, c.selection);
        ASSERT_TRUE(merged.has_value()) << merged.error().message();
        EXPECT_EQ(*merged, kBom + c.expected_body);
    }
}

struct SmallCase {
    std::string name;
    std::string target;
    std::vector<LayoutElementRef> selection;
    std::string expected;
};

std::string layout(std::string_view body) { return "<Layout xmlns=\"" + kNs + "\">" + std::string(body) + "</Layout>\n"; }

TEST_F(LayoutMerge, PlacementsInSmallTargets) {
    const std::string info_section =
        "\n    <layoutSections>\n        <customLabel>false</customLabel>\n        <detailHeading>true</detailHeading>"
        "\n        <editHeading>true</editHeading>\n        <label>Information</label>\n        <layoutColumns>"
        "\n            " +
        raw("Name") +
        "\n        </layoutColumns>\n        <layoutColumns/>\n        <style>TwoColumnsTopToBottom</style>"
        "\n    </layoutSections>";
    const std::string contact = raw_list("RelatedContactList");
    const SmallCase cases[] = {
        {"no section at all: right after the root's start tag", layout("\n    <showEmailCheckbox/>\n"),
         {field("Name")}, layout(info_section + "\n    <showEmailCheckbox/>\n")},
        {"empty-element section is written out around the new column",
         layout("\n    <layoutSections/>\n"), {field("Unlabelled__c")},
         layout("\n    <layoutSections>\n        <layoutColumns>\n            " + raw("Unlabelled__c") +
                "\n        </layoutColumns>\n    </layoutSections>\n")},
        {"section without columns: a column before its style",
         layout("\n    <layoutSections>\n        <label>Information</label>\n        <style>OneColumn</style>\n"
                "    </layoutSections>\n"),
         {field("Name")},
         layout("\n    <layoutSections>\n        <label>Information</label>\n        <layoutColumns>\n            " +
                raw("Name") +
                "\n        </layoutColumns>\n        <style>OneColumn</style>\n    </layoutSections>\n")},
        {"section without columns or style: a column before its end tag",
         layout("\n    <layoutSections>\n        <label>Information</label>\n    </layoutSections>\n"),
         {field("Name")},
         layout("\n    <layoutSections>\n        <label>Information</label>\n    <layoutColumns>\n        " +
                raw("Name") + "\n    </layoutColumns>\n    </layoutSections>\n")},
        {"column without items: indented one level inside it",
         layout("\n    <layoutSections>\n        <label>Information</label>\n        <layoutColumns>\n"
                "        </layoutColumns>\n    </layoutSections>\n"),
         {field("Name")},
         layout("\n    <layoutSections>\n        <label>Information</label>\n        <layoutColumns>\n            " +
                raw("Name") + "\n        </layoutColumns>\n    </layoutSections>\n")},
        {"no related list: before the first element ordered after them",
         layout("\n    <layoutSections/>\n    <summaryLayout/>\n    <showEmailCheckbox/>\n"),
         {related("RelatedContactList")},
         layout("\n    <layoutSections/>\n    " + contact + "\n    <summaryLayout/>\n    <showEmailCheckbox/>\n")},
        {"no related list and none of those elements: after the last child",
         layout("\n    <layoutSections/>\n    <headersAndFooters/>\n"), {related("RelatedContactList")},
         layout("\n    <layoutSections/>\n    <headersAndFooters/>\n    " + contact + "\n")},
        {"an empty root: right after its start tag", layout(""), {related("RelatedContactList")},
         layout("\n    " + contact)},
        {"an empty selection changes nothing", layout("\n  <!-- c -->\n"), {}, layout("\n  <!-- c -->\n")},
    };
    for (const SmallCase& c : cases) {
        SCOPED_TRACE(c.name);
        const auto merged = merge_layout(c.target, source_, c.selection);
        ASSERT_TRUE(merged.has_value()) << merged.error().message();
        EXPECT_EQ(*merged, c.expected);
    }
}

TEST_F(LayoutMerge, Failures) {
    const auto missing = merge_layout(target_, source_, std::vector{field("Name"), related("NoSuchList")});
    ASSERT_FALSE(missing.has_value());
    EXPECT_EQ(missing.error(), LayoutMergeError(LayoutMergeError::MissingSourceElement{"NoSuchList"}));
    EXPECT_EQ(missing.error().message(), "The selected layout element is missing from the source layout: NoSuchList");

    const auto unparsable = merge_layout("<Layout/>", source_, std::vector<LayoutElementRef>{});
    ASSERT_FALSE(unparsable.has_value());
    EXPECT_EQ(unparsable.error().message(), "Could not parse the target layout document: root element must be Layout");

    const auto doctype = merge_layout("<!DOCTYPE x>" + layout(""), source_, std::vector{field("Name")});
    ASSERT_FALSE(doctype.has_value());
    EXPECT_EQ(doctype.error().message(), "Could not parse the target layout document: doctype is not allowed");
}

TEST_F(LayoutMerge, OutlineOfTheTarget) {
    auto document = LayoutDocument::parse(target_, "t");
    ASSERT_TRUE(document.has_value());
    const TargetLayout outline = TargetLayout::of(*document);
    ASSERT_EQ(outline.sections.size(), 3u);
    EXPECT_EQ(outline.sections[0].label, "Information");
    EXPECT_EQ(outline.sections[2].label, "Dup");
    EXPECT_EQ(outline.sections[2].occurrence, 1u);
    EXPECT_TRUE(outline.sections[2].columns[0].self_closing);
    EXPECT_EQ(body_.substr(outline.sections[0].column_insert_at, 7), "<style>");
    ASSERT_EQ(outline.items.size(), 2u);
    EXPECT_EQ(outline.items[0].name, "Name");
    EXPECT_EQ(body_.substr(outline.items[0].start, outline.items[0].end - outline.items[0].start), kTargetName);
    ASSERT_EQ(outline.related_lists.size(), 1u);
    EXPECT_EQ(outline.related_lists[0].name, "RelatedNoteList");
    EXPECT_EQ(outline.elements.size(), 6u);
    EXPECT_EQ(*outline.sections[0].columns[0].item_indent, "            ");
}

TEST(LayoutMergerTools, SpliceAndIndent) {
    EXPECT_EQ(splice("abc", 1, 1, "X"), "aXbc");
    EXPECT_EQ(splice("abc", 0, 2, ""), "c");
    EXPECT_THROW(splice("abc", 2, 1, ""), support::ProgrammingError);
    EXPECT_THROW(splice("abc", 1, 9, ""), support::ProgrammingError);
    EXPECT_THROW(splice("\xC3\xA9", 1, 1, ""), support::ProgrammingError);

    const std::string text = "<a>\n  \t <b/>\n<c/>";
    EXPECT_EQ(indent_at(text, text.find("<b")), "  \t ");
    EXPECT_EQ(indent_at(text, 5), " ");  // inside the indentation: only what lies before the offset
    EXPECT_EQ(indent_at(text, text.find("<c")), "");
    EXPECT_EQ(indent_at(text, 0), "");
    EXPECT_EQ(indent_at("  x", 3), "  ");
    EXPECT_EQ(indent_at("\n", 1), "");
    EXPECT_THROW(indent_at("ab", 3), support::ProgrammingError);
    EXPECT_THROW(indent_at("\xC3\xA9", 1), support::ProgrammingError);

    EXPECT_EQ(layout_merger::escape_xml("a&b<c>\"d'"), "a&amp;b&lt;c&gt;&quot;d&apos;");
}

}  // namespace
}  // namespace ambrel::metadata
