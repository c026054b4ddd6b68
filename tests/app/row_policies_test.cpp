#include "app/row_policies.hpp"

#include <gtest/gtest.h>

#include "app_test_rows.hpp"
#include "comparison/engine.hpp"

namespace ambrel::app_tests {
namespace {

MetadataType profile_type() { return *metadata_types::metadata_type_by_wire_id("Profile"); }

std::string profile_document(std::string_view custom) {
    return "<?xml version=\"1.0\"?><Profile xmlns=\"http://soap.sforce.com/2006/04/metadata\">" + std::string(custom) +
           "<userLicense>Salesforce</userLicense></Profile>";
}

TEST(RowPolicies, StandardObjectRowsCarryPermissionsOnly) {
    std::vector<ComponentDifference> rows{row(MetadataType::CustomObject, "Account", ChangeKind::Update, false),
                                          row(MetadataType::CustomObject, "Invoice__c", ChangeKind::Update),
                                          row(MetadataType::CustomObject, "__c", ChangeKind::Update),
                                          row(MetadataType::CustomMetadataType, "Setting", ChangeKind::Add, false),
                                          row(MetadataType::PlatformEvent, "Ping", ChangeKind::Add, true),
                                          row(MetadataType::PlatformEvent, "Ping__e", ChangeKind::Add, true)};
    rows[0].attribute_differences.push_back({"Label", "a", "b"});
    rows[0].definition_changed = true;
    rows[1].attribute_differences.push_back({"Label", "a", "b"});
    app::apply_object_definition_policy(rows);

    EXPECT_EQ(rows[0].change, ChangeKind::NoChange);
    EXPECT_EQ(rows[0].deploy_scope, MetadataDeployScope::PermissionsOnly);
    EXPECT_TRUE(rows[0].attribute_differences.empty());
    EXPECT_FALSE(rows[0].definition_changed);
    EXPECT_FALSE(rows[0].deployable);
    EXPECT_EQ(rows[1].change, ChangeKind::Update);
    EXPECT_EQ(rows[1].attribute_differences.size(), 1U);
    EXPECT_EQ(rows[2].change, ChangeKind::Update);
    EXPECT_EQ(rows[3].block_reason, "Only custom metadata types can be deployed.");
    EXPECT_FALSE(rows[3].deployable);
    EXPECT_EQ(rows[4].block_reason, "Only platform events can be deployed.");
    EXPECT_FALSE(rows[4].deployable);
    EXPECT_TRUE(rows[5].deployable);
}

TEST(RowPolicies, OnlyProfilesThatSayTheyAreCustomAreCreated) {
    struct Case {
        const char* label;
        std::string document;
        ChangeKind change;
        bool deployable_after;
    };
    const Case cases[] = {
        {"custom true", profile_document("<custom>true</custom>"), ChangeKind::Add, true},
        {"custom TRUE with blanks", profile_document("<custom>\n  TRUE \t</custom>"), ChangeKind::Add, true},
        {"custom false", profile_document("<custom>false</custom>"), ChangeKind::Add, false},
        {"no flag", profile_document(""), ChangeKind::Add, false},
        {"other word", profile_document("<custom>yes</custom>"), ChangeKind::Add, false},
        {"unreadable", "<Profile><custom>true</custom></Other>", ChangeKind::Add, false},
        {"updated profile is never checked", profile_document(""), ChangeKind::Update, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        std::vector<ComponentDifference> rows{row(profile_type(), "Sales", c.change, true, c.document)};
        app::apply_standard_profile_policy(rows);
        EXPECT_EQ(rows[0].deployable, c.deployable_after);
        if (!c.deployable_after) {
            EXPECT_EQ(rows[0].block_reason, "A standard profile is never created in the target.");
        }
    }
}

TEST(RowPolicies, FieldsOfAnObjectTheDeployCreatesAreUnblocked) {
    auto missing_object_field = [](std::string name) {
        ComponentDifference field = row(MetadataType::CustomField, std::move(name), ChangeKind::Add, false);
        field.block_reason = std::string(comparison::kTargetObjectMissing);
        return field;
    };
    std::vector<ComponentDifference> rows{row(MetadataType::CustomObject, "Invoice__c"),
                                          row(MetadataType::CustomObject, "Blocked__c", ChangeKind::Add, false),
                                          missing_object_field("Invoice__c.Total__c"),
                                          missing_object_field("Blocked__c.X__c"),
                                          missing_object_field("ns__Pkg__c.Y__c"),
                                          missing_object_field("Lonely__c.Z__c")};
    app::apply_field_unblock_policy(rows);
    EXPECT_TRUE(rows[2].deployable);
    EXPECT_FALSE(rows[2].block_reason.has_value());
    EXPECT_FALSE(rows[3].deployable);
    EXPECT_EQ(rows[3].block_reason, "Target object is missing");
    EXPECT_FALSE(rows[4].deployable);
    EXPECT_EQ(rows[4].block_reason,
              "The package this object belongs to is not installed in the target org, and its object row cannot be "
              "selected because packaged objects are never created.");
    EXPECT_EQ(rows[5].block_reason, "Target object is missing");
}

TEST(RowPolicies, UnsafeMetadataPathsBlockTheRowWithTheFirstPathEscaped) {
    std::vector<ComponentDifference> rows{row(MetadataType::ApexClass, "Bad\x01Name"),
                                          row(MetadataType::ApexClass, "Quote'\"\\"),
                                          row(MetadataType::ApexClass, ""),
                                          row(MetadataType::LightningComponentBundle, ""),
                                          row(MetadataType::ApexClass, "Good"),
                                          row(MetadataType::ApexClass, "Tab\tName", ChangeKind::Add, false)};
    app::apply_path_safety_policy(rows, metadata_types::LayoutComparisonMode::Whole);
    EXPECT_EQ(rows[0].block_reason,
              "This component cannot be deployed from this operating system: its metadata file path "
              "'classes/Bad\\u{1}Name.cls-meta.xml' is not a safe path here.");
    EXPECT_FALSE(rows[0].deployable);
    EXPECT_EQ(rows[1].block_reason,
              "This component cannot be deployed from this operating system: its metadata file path "
              "'classes/Quote\\'\\\"\\\\.cls-meta.xml' is not a safe path here.");
    EXPECT_EQ(rows[2].block_reason,
              "This component cannot be deployed: no safe metadata file path can be derived for its name on this "
              "operating system.");
    EXPECT_TRUE(rows[3].deployable);
    EXPECT_TRUE(rows[4].deployable);
    EXPECT_FALSE(rows[4].block_reason.has_value());
    EXPECT_FALSE(rows[5].block_reason.has_value());
}

TEST(RowPolicies, ElementRowsAreCheckedWithTheirLayout) {
    std::vector<ComponentDifference> rows{row(MetadataType::Layout, "Account-Main::field:Name"),
                                          row(MetadataType::Layout, "Account-Main::relatedList:Cases")};
    std::vector<ComponentDifference> whole = rows;
    app::apply_path_safety_policy(rows, metadata_types::LayoutComparisonMode::Elements);
    EXPECT_TRUE(rows[0].deployable);
    EXPECT_TRUE(rows[1].deployable);
    // Checked on their full names, element names render no layout path.
    app::apply_path_safety_policy(whole, metadata_types::LayoutComparisonMode::Whole);
    EXPECT_EQ(whole[0].deployable, whole[1].deployable);
}

TEST(RowPolicies, EscapingForMessages) {
    EXPECT_EQ(app::escape_path_for_message(std::string("a\0b\t\r\n", 6)), "a\\0b\\t\\r\\n");
    EXPECT_EQ(app::escape_path_for_message("caf\xC3\xA9/\x7F"), "caf\xC3\xA9/\\u{7f}");
}

}  // namespace
}  // namespace ambrel::app_tests
