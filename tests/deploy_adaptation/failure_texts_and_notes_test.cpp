// The failure-text readers, the note helpers and the whole-word test.

#include <gtest/gtest.h>

#include "adaptation_test_support.hpp"
#include "app/context_definition_adaptation.hpp"
#include "app/failure_text_parsers.hpp"
#include "app/row_notes.hpp"
#include "app/unexpected_error_retries.hpp"

namespace ambrel::adaptation_tests {
namespace {

using metadata::profile_reference_filter::ReferenceKind;

TEST(FailureTexts, UnknownUserPermissions) {
    EXPECT_EQ(app::unknown_user_permissions_in("Unknown user permission: ApiEnabled. Unknown user permission: ViewSetup"),
              (std::set<std::string>{"ApiEnabled", "ViewSetup"}));
    EXPECT_EQ(app::unknown_user_permissions_in("Unknown user permission: Manage-Users"), std::set<std::string>{"Manage"});
    EXPECT_TRUE(app::unknown_user_permissions_in("Unknown user permission:  Two").empty());
    EXPECT_TRUE(app::unknown_user_permissions_in("Unknown user permission: ").empty());
    EXPECT_TRUE(app::unknown_user_permissions_in("").empty());
}

TEST(FailureTexts, DependentPermissionsAndStandardProfileLabels) {
    EXPECT_EQ(app::dependent_permissions_in("Permission ModifyAllData depends on permission(s): ViewAllData"),
              std::set<std::string>{"ModifyAllData"});
    EXPECT_TRUE(app::dependent_permissions_in("Permission   depends on permission(s): X").empty());
    EXPECT_EQ(app::dependent_permissions_in("Permission X and Permission Y depends on permission(s): Z"),
              (std::set<std::string>{"X and Permission Y", "Y"}));
    EXPECT_TRUE(app::dependent_permissions_in("permission X depends on permission(s): Z").empty());
    EXPECT_EQ(app::standard_profile_labels_in("You may not modify the permission Manage Users while editing a Standard Profile"),
              std::set<std::string>{"Manage Users"});
    EXPECT_TRUE(app::standard_profile_labels_in("You may not modify the permission Manage Users").empty());
}

TEST(FailureTexts, NamedMissingReferences) {
    using Map = std::map<ReferenceKind, std::set<std::string>>;
    EXPECT_EQ(app::named_missing_references_in("In field: apexClass - no ApexClass named MyController found"),
              (Map{{ReferenceKind::ApexClass, {"MyController"}}}));
    EXPECT_TRUE(app::named_missing_references_in("In field: ApexClass - no ApexClass named MyController found").empty());
    EXPECT_EQ(app::named_missing_references_in("In field: field - no CustomField named Account.Foo__c found; "
                                               "In field: field - no CustomField named Account.Bar__c found"),
              (Map{{ReferenceKind::Field, {"Account.Bar__c", "Account.Foo__c"}}}));
    EXPECT_TRUE(app::named_missing_references_in("In field: layout - no Layout named    found").empty());
}

TEST(FailureTexts, ALongRunOfMarkersReadsInLinearTime) {
    std::string text;
    while (text.size() < 65'536) text += "Permission ";
    EXPECT_TRUE(app::dependent_permissions_in(text).empty());
    std::string fields;
    while (fields.size() < 65'536) fields += "In field: ";
    EXPECT_TRUE(app::named_missing_references_in(fields).empty());
}

TEST(RowNotes, AppendedAndCappedNames) {
    const auto appended = [](std::string message, std::string_view note) {
        app::append_row_note(message, note);
        return message;
    };
    EXPECT_EQ(appended("", "Done."), "Done.");
    EXPECT_EQ(appended("  Old.  ", "Done."), "  Old. Done.");
    EXPECT_EQ(appended(" \t", "Done."), "Done.");
    std::vector<std::string> names;
    for (int i = 0; i < 10; ++i) names.push_back("n" + std::to_string(i));
    EXPECT_EQ(app::capped_names(names), "n0, n1, n2, n3, n4, n5, n6, n7, n8, n9");
    names.push_back("z");
    EXPECT_EQ(app::capped_names(names), "n0, n1, n2, n3, n4, n5, n6, n7, n8, n9, ... and 1 more");
    EXPECT_EQ(app::capped_names({}), "");
}

TEST(RowNotes, FailingRowsKeepsTheOthersInOrder) {
    std::vector<ComponentDifference> rows = {row("Profile", "A", "a"), row("Profile", "B", "b"), row("Profile", "C", "c"),
                                             row("Profile", "D", "d")};
    std::vector<ComponentDeploymentResult> failed;
    app::fail_profile_rows(failed, rows, {key("Profile", "D"), key("Profile", "B")}, "Boom.");
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].key().name, "A");
    EXPECT_EQ(rows[1].key().name, "C");
    ASSERT_EQ(failed.size(), 2u);
    EXPECT_EQ(failed[0], result(key("Profile", "B"), ComponentDeploymentStatus::Failed, "Boom."));
    EXPECT_EQ(failed[1], result(key("Profile", "D"), ComponentDeploymentStatus::Failed, "Boom."));
}

TEST(RowNotes, TakingPart) {
    struct Case {
        std::string name;
        ComponentDifference difference;
        bool takes_part;
    };
    auto base = row("Profile", "P", "d");
    auto unchanged = base;
    unchanged.change = ChangeKind::NoChange;
    auto permissions_only = base;
    permissions_only.deploy_scope = domain::MetadataDeployScope::PermissionsOnly;
    auto records = base;
    records.deploy_scope = domain::MetadataDeployScope::Records;
    auto blocked = base;
    blocked.deployable = false;
    auto edited = base;
    edited.edited = true;
    auto tracking = base;
    tracking.deploy_scope = domain::MetadataDeployScope::TrackingOnly;
    const std::vector<Case> cases = {{"full", base, true},          {"unchanged", unchanged, false},
                                     {"permissions only", permissions_only, false}, {"records", records, false},
                                     {"not deployable", blocked, false}, {"edited", edited, false},
                                     {"tracking only", tracking, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(app::takes_part(c.difference, type_of("Profile")), c.takes_part);
    }
    EXPECT_FALSE(app::takes_part(base, type_of("PermissionSet")));
}

TEST(RowNotes, SuffixedRetryOutcome) {
    EXPECT_EQ(app::suffixed_retry_outcome("An unexpected error occurred.", "Done."), "An unexpected error occurred. Done.");
    EXPECT_EQ(app::suffixed_retry_outcome("Deploy failed  ", "Done."), "Deploy failed. Done.");
    EXPECT_EQ(app::suffixed_retry_outcome("Why?", "Done."), "Why? Done.");
    EXPECT_EQ(app::suffixed_retry_outcome("  ", "Done."), "Done.");
}

TEST(WholeWord, MatchesOnlyWholeNamesUnderTheOptions) {
    struct Case {
        std::string text;
        std::string word;
        bool not_member;
        bool not_qualified;
        bool matches;
    };
    const std::vector<Case> cases = {
        {"Field Account.Region__c is not valid", "Account.Region__c", false, false, true},
        {"Field Account.Region__c is not valid", "Region__c", false, true, false},
        {"No such column 'Region__c'", "Region__c", false, true, true},
        {"Invoice__c.Total__c", "Invoice__c", true, true, false},
        {"Entity Invoice__c.", "Invoice__c", true, true, true},
        {"Region__c_Old", "Region__c", false, false, false},
        {"MyRegion__c", "Region__c", false, false, false},
        {"ÄRegion__c", "Region__c", false, false, false},
        {"x", "", false, false, false},
        {"Region__c Region__c_x", "Region__c", false, false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text + " / " + c.word);
        EXPECT_EQ(app::matches_as_word(c.text, c.word, c.not_member, c.not_qualified), c.matches);
    }
}

TEST(WholeWord, NoteOfARejectedRetry) {
    auto r = result(key("ContextDefinition", "C"), ComponentDeploymentStatus::Succeeded, "Deployed.");
    app::note_a_rejected_retry_of_a_succeeded_row(r, "was rejected", "Field Total__c does not exist");
    EXPECT_EQ(r.message,
              "Deployed. Retry of this Context Definition without the references that did not deploy in this run or that "
              "the target named was rejected: Field Total__c does not exist");
    EXPECT_EQ(r.status, ComponentDeploymentStatus::Succeeded);
}

}  // namespace
}  // namespace ambrel::adaptation_tests
