#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "comparison/layout.hpp"
#include "metadata_types/metadata_type.hpp"

namespace ambrel::comparison::layout {
namespace {

using domain::AttributeDifference;
using domain::ChangeKind;
using domain::ComponentDifference;
using domain::MetadataComponent;
using domain::MetadataDeployScope;
using metadata_types::LayoutElementKind;
using metadata_types::MetadataType;

struct Item {
    std::string field{};
    std::string behavior{};  // empty: no behavior element
};

struct RelatedList {
    std::string name{};
    std::vector<std::string> fields{};
    std::string sort_field{};
    std::string sort_order{};
    std::vector<std::string> custom_buttons{};
    std::vector<std::string> exclude_buttons{};
};

// A layout document: one section per list of columns, each column a list of items.
std::string layout_document(const std::vector<std::vector<std::vector<Item>>>& sections,
                            const std::vector<RelatedList>& related_lists) {
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Layout xmlns=\"http://soap.sforce.com/2006/04/metadata\">\n";
    int number = 0;
    for (const auto& columns : sections) {
        xml += "    <layoutSections>\n        <label>Section " + std::to_string(number++) + "</label>\n";
        for (const auto& items : columns) {
            xml += "        <layoutColumns>\n";
            for (const Item& item : items) {
                xml += "            <layoutItems>\n";
                if (!item.behavior.empty()) xml += "                <behavior>" + item.behavior + "</behavior>\n";
                if (item.field.empty()) {
                    xml += "                <emptySpace>true</emptySpace>\n";
                } else {
                    xml += "                <field>" + item.field + "</field>\n";
                }
                xml += "            </layoutItems>\n";
            }
            xml += "        </layoutColumns>\n";
        }
        xml += "        <style>TwoColumnsTopToBottom</style>\n    </layoutSections>\n";
    }
    for (const RelatedList& list : related_lists) {
        xml += "    <relatedLists>\n";
        for (const auto& button : list.custom_buttons) xml += "        <customButtons>" + button + "</customButtons>\n";
        for (const auto& button : list.exclude_buttons) xml += "        <excludeButtons>" + button + "</excludeButtons>\n";
        for (const auto& field : list.fields) xml += "        <fields>" + field + "</fields>\n";
        xml += "        <relatedList>" + list.name + "</relatedList>\n";
        if (!list.sort_field.empty()) xml += "        <sortField>" + list.sort_field + "</sortField>\n";
        if (!list.sort_order.empty()) xml += "        <sortOrder>" + list.sort_order + "</sortOrder>\n";
        xml += "    </relatedLists>\n";
    }
    xml += "</Layout>\n";
    return xml;
}

MetadataComponent layout(std::string name, std::string document) {
    MetadataComponent component;
    component.key = {MetadataType::Layout, std::move(name)};
    component.source_path = "force-app/main/default/layouts/" + component.key.name + ".layout-meta.xml";
    component.document = std::move(document);
    return component;
}

std::vector<std::string> row_names(const LayoutComparison& comparison) {
    std::vector<std::string> names;
    for (const auto& row : comparison.rows) names.push_back(row.key().name);
    return names;
}

const std::string kAccount = "Account-Account Layout";

TEST(LayoutComparison, ALayoutTheTargetLacksGivesOneWholeRow) {
    const MetadataComponent source = layout(kAccount, layout_document({{{{"Name", "Required"}}}}, {{"Contacts"}}));
    const auto result = compare_layouts(std::vector{source}, std::vector{layout("Other-Layout", "not even xml")});
    ASSERT_EQ(result.rows.size(), 1u);
    EXPECT_TRUE(result.warnings.empty());
    const ComponentDifference& row = result.rows[0];
    EXPECT_EQ(row.source, source);
    EXPECT_EQ(row.change, ChangeKind::Add);
    EXPECT_TRUE(row.deployable);
    EXPECT_EQ(row.deploy_scope, MetadataDeployScope::Full);
    EXPECT_TRUE(row.attribute_differences.empty());
    EXPECT_EQ(row.block_reason, std::nullopt);
}

TEST(LayoutComparison, IdenticalLayoutsGiveNoRows) {
    const std::string document =
        layout_document({{{{"Name", "Required"}, {"Phone", ""}}, {{"", ""}}}}, {{"Contacts", {"NAME"}, "NAME", "Asc"}});
    const auto result = compare_layouts(std::vector{layout(kAccount, document)}, std::vector{layout(kAccount, document)});
    EXPECT_TRUE(result.rows.empty());
    EXPECT_TRUE(result.warnings.empty());
}

TEST(LayoutComparison, FieldsMatchTheirFirstPlacementAnywhereInTheTarget) {
    const auto source = layout(kAccount, layout_document({{{{"Name", "Required"}, {"Phone", "Edit"}},
                                                           {{"Fax", "Readonly"}, {"Site", ""}, {"Site", "Edit"}}}},
                                                         {}));
    // Phone moved to another section with the same behavior; Fax changed; Site placed twice in the
    // target, the first placement without behavior; Only__c only in the target.
    const auto target = layout(kAccount, layout_document({{{{"Name", "Required"}, {"Site", ""}}},
                                                          {{{"Fax", "Edit"}, {"Phone", "Edit"}, {"Site", "Edit"}}},
                                                          {{{"Only__c", "Edit"}}}},
                                                         {}));
    const auto result = compare_layouts(std::vector{source}, std::vector{target});
    ASSERT_EQ(row_names(result), (std::vector<std::string>{kAccount + "::field:Fax", kAccount + "::field:Site"}));
    EXPECT_EQ(result.rows[0].change, ChangeKind::Update);
    EXPECT_EQ(result.rows[0].attribute_differences,
              (std::vector<AttributeDifference>{{"Behavior", "Edit", "Readonly"}}));
    // The second placement of Site in the source differs from the first one in the target.
    EXPECT_EQ(result.rows[1].attribute_differences, (std::vector<AttributeDifference>{{"Behavior", std::nullopt, "Edit"}}));
}

TEST(LayoutComparison, AFieldPlacedTwiceAndMissingGivesTwoRows) {
    const auto source = layout(kAccount, layout_document({{{{"New__c", ""}}, {{"New__c", "Edit"}}}}, {}));
    const auto target = layout(kAccount, layout_document({{{{"Name", ""}}}}, {}));
    const auto result = compare_layouts(std::vector{source}, std::vector{target});
    ASSERT_EQ(row_names(result), (std::vector<std::string>{kAccount + "::field:New__c", kAccount + "::field:New__c"}));
    for (const auto& row : result.rows) {
        EXPECT_EQ(row.change, ChangeKind::Add);
        EXPECT_TRUE(row.attribute_differences.empty());
        EXPECT_TRUE(row.deployable);
        EXPECT_EQ(row.source.document, source.document);
        EXPECT_EQ(row.source.source_path, source.source_path);
        EXPECT_EQ(row.key().metadata_type, MetadataType::Layout);
        EXPECT_FALSE(row.body_changed || row.definition_changed || row.edited);
    }
}

TEST(LayoutComparison, RelatedListDifferences) {
    const auto source = layout(kAccount, layout_document({}, {
                                                                 {"Contacts", {"EMAIL", "NAME"}, "NAME", "Asc"},
                                                                 {"Cases", {"CASE_NUMBER"}, "", "", {"Escalate"}, {"New"}},
                                                                 {"Opportunities", {}},
                                                                 {"NewList", {"NAME"}},
                                                                 {"Same", {"A", "B"}, "A", "Desc"},
                                                             }));
    const auto target = layout(kAccount, layout_document({}, {
                                                                 {"Contacts", {"NAME", "EMAIL"}, "NAME", "Desc"},
                                                                 {"Cases", {"CASE_NUMBER"}, "CASE_NUMBER", "", {"Escalate"}},
                                                                 {"Opportunities", {"NAME"}},
                                                                 {"Same", {"A", "B"}, "A", "Desc"},
                                                                 {"OnlyInTarget", {}},
                                                             }));
    const auto result = compare_layouts(std::vector{source}, std::vector{target});
    ASSERT_EQ(row_names(result), (std::vector<std::string>{
                                     kAccount + "::relatedList:Cases", kAccount + "::relatedList:Contacts",
                                     kAccount + "::relatedList:NewList", kAccount + "::relatedList:Opportunities"}));
    EXPECT_EQ(result.rows[0].attribute_differences,
              (std::vector<AttributeDifference>{{"Sort field", "CASE_NUMBER", std::nullopt},
                                                {"Buttons", "custom: Escalate", "custom: Escalate; excluded: New"}}));
    EXPECT_EQ(result.rows[1].attribute_differences,
              (std::vector<AttributeDifference>{{"Columns", "NAME, EMAIL", "EMAIL, NAME"},
                                                {"Sort order", "Desc", "Asc"}}));
    EXPECT_EQ(result.rows[2].change, ChangeKind::Add);
    EXPECT_TRUE(result.rows[2].attribute_differences.empty());
    EXPECT_EQ(result.rows[3].attribute_differences,
              (std::vector<AttributeDifference>{{"Columns", "NAME", std::nullopt}}));
}

TEST(LayoutComparison, ExcludedButtonGained) {
    const auto source = layout(kAccount, layout_document({}, {{"Contacts", {}, "", "", {}, {"New"}}}));
    const auto target = layout(kAccount, layout_document({}, {{"Contacts", {}}}));
    const auto result = compare_layouts(std::vector{source}, std::vector{target});
    ASSERT_EQ(result.rows.size(), 1u);
    EXPECT_EQ(result.rows[0].attribute_differences,
              (std::vector<AttributeDifference>{{"Buttons", std::nullopt, "excluded: New"}}));
}

TEST(LayoutComparison, FieldRowsComeBeforeRelatedListRowsAndLayoutsInNameOrder) {
    const auto a_source = layout("B-Layout", layout_document({{{{"Zeta__c", ""}, {"Alpha__c", ""}}}}, {{"Aaa"}}));
    const auto a_target = layout("B-Layout", layout_document({}, {}));
    const auto b_source = layout("A-Layout", layout_document({{{{"X__c", ""}}}}, {}));
    const auto b_target = layout("A-Layout", layout_document({}, {}));
    const auto result = compare_layouts(std::vector{a_source, b_source}, std::vector{a_target, b_target});
    EXPECT_EQ(row_names(result), (std::vector<std::string>{"A-Layout::field:X__c", "B-Layout::field:Alpha__c",
                                                           "B-Layout::field:Zeta__c", "B-Layout::relatedList:Aaa"}));
}

TEST(LayoutComparison, LayoutsThatCannotBeComparedBecomeWarnings) {
    const std::string good = layout_document({{{{"Name", ""}}}}, {});
    const std::string changed = layout_document({{{{"Name", "Edit"}}}}, {});
    const auto result = compare_layouts(
        std::vector{layout("A-Bad Source", "<Layout"), layout("B-Bad Target", good), layout("C-Named::x", good),
                    layout("D-Good", changed)},
        std::vector{layout("A-Bad Source", good), layout("B-Bad Target", "<NotLayout/>"), layout("C-Named::x", good),
                    layout("D-Good", good)});
    EXPECT_EQ(result.warnings,
              (std::vector<std::string>{
                  "Layout 'A-Bad Source' was excluded from the comparison: its metadata could not be parsed.",
                  "Layout 'B-Bad Target' was excluded from the comparison: its metadata could not be parsed.",
                  "Layout 'C-Named::x' was excluded from the comparison: its name contains '::', which the plugin "
                  "uses to address layout elements.",
              }));
    EXPECT_EQ(row_names(result), (std::vector<std::string>{"D-Good::field:Name"}));
}

TEST(LayoutComparison, TheLaterTargetOfOneNameCounts) {
    const std::string first = layout_document({{{{"Name", "Edit"}}}}, {});
    const std::string second = layout_document({{{{"Name", "Required"}}}}, {});
    const auto result =
        compare_layouts(std::vector{layout(kAccount, second)}, std::vector{layout(kAccount, first), layout(kAccount, second)});
    EXPECT_TRUE(result.rows.empty());
}

TEST(LayoutComparison, ElementRowAndButtons) {
    const auto source = layout(kAccount, "<Layout/>");
    const ComponentDifference element =
        row(source, LayoutElementKind::RelatedList, "Contacts", ChangeKind::Update, {{"Columns", "A", "B"}});
    EXPECT_EQ(element.key().name, kAccount + "::relatedList:Contacts");
    EXPECT_EQ(element.source.document, "<Layout/>");
    EXPECT_EQ(element.required_by, std::nullopt);
    EXPECT_EQ(element.bundle_counts, std::nullopt);
    EXPECT_TRUE(element.deployable);

    metadata::RelatedListItem list;
    EXPECT_EQ(buttons(list), std::nullopt);
    list.custom_buttons = {"A", "B"};
    EXPECT_EQ(buttons(list), "custom: A, B");
    list.exclude_buttons = {"C"};
    EXPECT_EQ(buttons(list), "custom: A, B; excluded: C");
    list.custom_buttons.clear();
    EXPECT_EQ(buttons(list), "excluded: C");
}

}  // namespace
}  // namespace ambrel::comparison::layout
