#include <gtest/gtest.h>

#include "domain/domain_test_support.hpp"
#include "domain/deployment.hpp"
#include "domain/difference.hpp"

namespace ambrel::domain {
namespace {

using metadata_types::MetadataType;

using testing::generic;

ComponentDifference row(MetadataType type, std::string name, ChangeKind change = ChangeKind::Update,
                        bool deployable = true) {
    ComponentDifference difference;
    difference.source.key = {type, std::move(name)};
    difference.change = change;
    difference.deployable = deployable;
    return difference;
}

AttributeDifference attribute(std::string label, std::optional<std::string> source,
                              std::optional<std::string> target) {
    return {std::move(label), std::move(target), std::move(source)};
}

TEST(Summary, OwnSummaryRules) {
    ComponentDifference blocked = row(MetadataType::CustomObject, "Invoice__c", ChangeKind::Add, false);
    blocked.block_reason = "Target object is missing";
    EXPECT_EQ(blocked.summary(), "Target object is missing");
    blocked.required_by = "Invoice__c.Amount__c";
    EXPECT_EQ(blocked.summary(), "Target object is missing (required by Invoice__c.Amount__c)");

    ComponentDifference added = row(MetadataType::ApexClass, "Util", ChangeKind::Add);
    EXPECT_EQ(added.summary(), "Missing in target");
    added.required_by = "Service";
    EXPECT_EQ(added.summary(), "Required by Service");

    ComponentDifference unchanged = row(MetadataType::ApexClass, "Util", ChangeKind::NoChange);
    EXPECT_EQ(unchanged.summary(), "No metadata changes");
    unchanged.required_by = "Service";
    EXPECT_EQ(unchanged.summary(), "No metadata changes (required by Service)");

    ComponentDifference unreadable = row(MetadataType::ApexClass, "Util", ChangeKind::NotComparable, false);
    EXPECT_EQ(unreadable.summary(), "Not comparable");
    unreadable.block_reason = "classes/Util.cls in main is not UTF-8 text.";
    EXPECT_EQ(unreadable.summary(), "classes/Util.cls in main is not UTF-8 text.");

    ComponentDifference updated = row(MetadataType::ApexClass, "Util");
    updated.body_changed = true;
    EXPECT_EQ(updated.summary(), "Body");
    updated.required_by = "Service";
    EXPECT_EQ(updated.summary(), "Body (required by Service)");
}

TEST(Summary, UpdatePartsInOrder) {
    ComponentDifference updated = row(MetadataType::CustomField, "Account.Tier__c");
    updated.attribute_differences = {
        attribute("Label", "New", "Old"),
        attribute("Formula", std::nullopt, "A + B"),
        attribute("Default Value", "x", std::nullopt),
    };
    updated.body_changed = true;
    updated.definition_changed = true;
    updated.bundle_counts = BundleChangeCounts{0, 1, 0};
    EXPECT_EQ(updated.summary(),
              "Label: New -> Old; Formula: null -> A + B; Default Value: x -> null; Body; "
              "Definition changed; 1 removed");
}

TEST(Summary, LongOrMultiLineValuesShowOnlyTheLabel) {
    const std::string chars24 = "abcdefghijklmnopqrstuvwx";
    // 24 characters, of which two take several bytes each: counted as characters, not bytes.
    const std::string wide24 = "\xC3\xA9\xE2\x82\xAC" + chars24.substr(2);
    struct Case {
        std::optional<std::string> source;
        std::optional<std::string> target;
        std::string summary;
    };
    const std::vector<Case> cases = {
        {"a", chars24, "Label: a -> " + chars24},
        {"a", wide24, "Label: a -> " + wide24},
        {"a", chars24 + "y", "Label"},
        {chars24 + "y", "a", "Label"},
        {std::nullopt, chars24, "Label: null -> " + chars24},
        {"a\tb", "a", "Label"},
        {"a", "line\nbreak", "Label"},
        {"a", "x\xC2\x85y", "Label"},  // U+0085, a C1 control
        {"a", "x\x7Fy", "Label"},
    };
    for (const Case& c : cases) {
        ComponentDifference updated = row(MetadataType::ApexPage, "Home");
        updated.attribute_differences = {attribute("Label", c.source, c.target)};
        EXPECT_EQ(updated.summary(), c.summary);
    }
}

TEST(Summary, ShortValueRule) {
    EXPECT_TRUE(is_short_summary_value(std::nullopt));
    EXPECT_TRUE(is_short_summary_value(std::string()));
    EXPECT_TRUE(is_short_summary_value(std::string(24, 'x')));
    EXPECT_FALSE(is_short_summary_value(std::string(25, 'x')));
    EXPECT_FALSE(is_short_summary_value(std::string("\x1F")));
    EXPECT_FALSE(is_short_summary_value(std::string("\xC2\x9F")));
    EXPECT_TRUE(is_short_summary_value(std::string("\xC2\xA0")));
}

TEST(Summary, BundleSegment) {
    EXPECT_EQ((BundleChangeCounts{2, 0, 1}.summary_segment()), "2 file(s) added, 1 changed");
    EXPECT_EQ((BundleChangeCounts{0, 3, 0}.summary_segment()), "3 removed");
    EXPECT_EQ((BundleChangeCounts{1, 1, 1}.summary_segment()), "1 file(s) added, 1 removed, 1 changed");

    ComponentDifference bundle = row(MetadataType::LightningComponentBundle, "card");
    bundle.bundle_counts = BundleChangeCounts{2, 0, 1};
    EXPECT_EQ(bundle.summary(), "2 file(s) added, 1 changed");
    bundle.bundle_counts = BundleChangeCounts{};
    EXPECT_EQ(bundle.summary(), "");
}

TEST(PermissionSubjectOfRow, PerType) {
    using S = PermissionSubject;
    struct Case {
        MetadataType type;
        std::string name;
        std::optional<S> subject;
    };
    const std::vector<Case> cases = {
        {MetadataType::CustomField, "Account.Tier__c", S{S::Field{"Account", "Tier__c"}}},
        {MetadataType::CustomField, "Tier__c", std::nullopt},
        {MetadataType::CustomField, "A.b.c", S{S::Field{"A", "b.c"}}},
        {MetadataType::CustomObject, "Invoice__c", S{S::Object{"Invoice__c"}}},
        {MetadataType::PlatformEvent, "Order__e", S{S::Object{"Order__e"}}},
        {MetadataType::CustomMetadataType, "Setting__mdt", std::nullopt},
        {MetadataType::ApexClass, "Util", S{S::ApexClass{"Util"}}},
        {MetadataType::ApexPage, "Home", S{S::ApexPage{"Home"}}},
        {MetadataType::ApexTrigger, "OnAccount", std::nullopt},
        {MetadataType::Layout, "Account-Account Layout", std::nullopt},
        {generic("CustomTab"), "Invoice__c", S{S::Tab{"Invoice__c"}}},
        {generic("RecordType"), "Account.Retail", S{S::RecordType{"Account", "Retail"}}},
        {generic("RecordType"), "Retail", std::nullopt},
        {generic("CustomPermission"), "Approve", std::nullopt},
        {MetadataType::DataRecord(0), "Row", std::nullopt},
    };
    for (const Case& c : cases) {
        const ComponentDifference difference = row(c.type, c.name);
        EXPECT_EQ(difference.permission_subject(), c.subject) << c.name;
        EXPECT_EQ(difference.can_sync_permissions(), c.subject.has_value()) << c.name;
    }
    const ComponentDifference blocked = row(MetadataType::ApexClass, "Util", ChangeKind::Add, false);
    EXPECT_EQ(blocked.permission_subject(), std::nullopt);
    EXPECT_FALSE(blocked.can_sync_permissions());
}

TEST(EditableDocumentPath, RefusalsAndPaths) {
    using R = DocumentEditRefusal;
    struct Case {
        ComponentDifference difference;
        std::expected<std::string, R> path;
    };
    ComponentDifference tracking_only = row(MetadataType::CustomField, "Account.Industry");
    tracking_only.deploy_scope = MetadataDeployScope::TrackingOnly;
    ComponentDifference records = row(MetadataType::ProductBundle, "Bundle");
    records.deploy_scope = MetadataDeployScope::Records;

    const std::vector<Case> cases = {
        {row(MetadataType::Layout, "Account-Account Layout::field:Tier__c"), std::unexpected(R::SharedDocument)},
        {row(MetadataType::ApexClass, "Util", ChangeKind::NoChange), std::unexpected(R::NotDeployable)},
        {row(MetadataType::ApexClass, "Util", ChangeKind::Add, false), std::unexpected(R::NotDeployable)},
        {tracking_only, std::unexpected(R::NotDeployable)},
        {records, std::unexpected(R::NotDeployable)},
        {row(MetadataType::Flow, "1Flow"), std::unexpected(R::UnsafePath)},
        {row(MetadataType::ApexClass, "Util"), std::string("classes/Util.cls")},
        {row(MetadataType::ApexClass, ""), std::unexpected(R::UnsafePath)},
        {row(MetadataType::ApexClass, "a/../../x"), std::unexpected(R::UnsafePath)},
        {row(MetadataType::Flow, "Approve_Order"), std::string("flows/Approve_Order.flow-meta.xml")},
        {row(MetadataType::CustomField, "Account.Tier__c", ChangeKind::Add),
         std::string("objects/Account/fields/Tier__c.field-meta.xml")},
        {row(MetadataType::CustomField, "a/../../b.c"), std::unexpected(R::UnsafePath)},
        {row(MetadataType::CustomField, "Tier__c"), std::unexpected(R::UnsafePath)},
        {row(generic("CustomTab"), "Invoice__c"), std::string("tabs/Invoice__c.tab-meta.xml")},
        {row(generic("CustomLabel"), "Greeting"), std::unexpected(R::SharedDocument)},
        {row(MetadataType::LightningComponentBundle, "card"), std::unexpected(R::SharedDocument)},
        {row(MetadataType::DataRecord(0), "Row"), std::unexpected(R::SharedDocument)},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.difference.editable_document_path(), c.path) << c.difference.key().name;
        EXPECT_EQ(c.difference.source_is_editable(), c.path.has_value()) << c.difference.key().name;
    }
}

TEST(DeployedComponentCount, ElementRowsOfOneLayoutCountOnce) {
    const auto layout = [](std::string name) { return row(MetadataType::Layout, std::move(name)); };
    const std::vector<ComponentDifference> elements = {
        layout("Account-Account Layout::field:Tier__c"),
        layout("Account-Account Layout::relatedList:Contacts"),
    };
    EXPECT_EQ(deployed_component_count(elements), 1u);

    std::vector<ComponentDifference> with_whole = elements;
    with_whole.push_back(layout("Account-Account Layout"));
    EXPECT_EQ(deployed_component_count(with_whole), 2u);

    const std::vector<ComponentDifference> mixed = {
        layout("Account-Account Layout::field:Tier__c"),
        row(MetadataType::ApexClass, "Util"),
        layout("Case-Case Layout::field:Origin"),
        layout("Account-Account Layout::field:Rating"),
        layout("Account-Account Layout::button:Edit"),  // not an element name: a row of its own
        layout("Account-Account Layout::button:Edit"),
        row(MetadataType::Flow, "Account-Account Layout::field:Tier__c"),
    };
    EXPECT_EQ(deployed_component_count(mixed), 6u);
    EXPECT_EQ(deployed_component_count({}), 0u);
}

TEST(DomainWireIds, RoundTrip) {
    for (ChangeKind change : {ChangeKind::Add, ChangeKind::Update, ChangeKind::NoChange, ChangeKind::NotComparable}) {
        EXPECT_EQ(change_kind_from_wire_id(wire_id(change)), change);
    }
    EXPECT_EQ(wire_id(ChangeKind::NoChange), "NO_CHANGE");
    EXPECT_EQ(wire_id(ChangeKind::NotComparable), "NOT_COMPARABLE");
    for (MetadataDeployScope scope : {MetadataDeployScope::Full, MetadataDeployScope::TrackingOnly,
                                      MetadataDeployScope::PermissionsOnly, MetadataDeployScope::Records}) {
        EXPECT_EQ(metadata_deploy_scope_from_wire_id(wire_id(scope)), scope);
    }
    EXPECT_EQ(wire_id(MetadataDeployScope::TrackingOnly), "TRACKING_ONLY");
    for (DeployMode mode : {DeployMode::BestEffort, DeployMode::ValidateOnly, DeployMode::AllOrNothing}) {
        EXPECT_EQ(deploy_mode_from_wire_id(wire_id(mode)), mode);
    }
    EXPECT_EQ(deploy_mode_from_wire_id("best_effort"), std::nullopt);
    EXPECT_EQ(wire_id(ComponentDeploymentStatus::NotAttempted), "NOT_ATTEMPTED");
    EXPECT_EQ(name(ComponentDeploymentStatus::NotAttempted), "NotAttempted");
    EXPECT_EQ(wire_id(TestCandidateOrigin::Target), "TARGET");
}

}  // namespace
}  // namespace ambrel::domain
