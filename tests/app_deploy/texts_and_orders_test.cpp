#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "app/deploy_details.hpp"
#include "app/deploy_passes.hpp"
#include "app/model_expansion.hpp"
#include "app/org_bindings.hpp"
#include "deploy_fixture.hpp"
#include "support/programming_error.hpp"

namespace ambrel::deploy_tests {
namespace {

std::string identity(const std::string& text) { return text; }

TEST(AppendRowNote, JoinsNoteAndMessage) {
    struct Case {
        std::string message;
        std::string note;
        std::string expected;
    };
    const Case cases[] = {
        {"Deployed.  ", "Note.", "Deployed. Note."},
        {"   ", "Note.", "Note."},
        {"", "Note.", "Note."},
        {"  lead", "Note.", "  lead Note."},
        {"a\n", " spaced", "a  spaced"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        std::string message = c.message;
        app::append_row_note(message, c.note);
        EXPECT_EQ(message, c.expected);
    }
}

deployment::DeploymentSummary two_results() {
    deployment::DeploymentSummary summary;
    summary.component_results.push_back(
        {ComponentKey{MetadataType::CustomField, "Account.Rating__c"}, "ok", ChangeKind::Add, ComponentDeploymentStatus::Succeeded});
    summary.component_results.push_back(
        {ComponentKey{MetadataType::Layout, "Account-Account Layout"}, "bad", ChangeKind::Update, ComponentDeploymentStatus::Failed});
    return summary;
}

TEST(BuildDetails, LeadingNotesStandLastFirstAboveTheLines) {
    auto summary = two_results();
    summary.detail_notes.leading_notes = {"A", "B"};
    app::build_details(identity, summary);
    EXPECT_EQ(summary.details,
              "B\nA\nCustom Field Account.Rating__c [SUCCEEDED]: ok\nPage Layout Account-Account Layout [FAILED]: bad");
    EXPECT_TRUE(summary.detail_notes.leading_notes.empty());
}

TEST(BuildDetails, TrailingNoteAloneAndPermissionLines) {
    deployment::DeploymentSummary alone;
    alone.detail_notes.trailing_notes = {"Only this."};
    app::build_details(identity, alone);
    EXPECT_EQ(alone.details, "Only this.");

    deployment::DeploymentSummary empty;
    app::build_details(identity, empty);
    EXPECT_EQ(empty.details, "");

    deployment::DeploymentSummary permissions;
    permissions.fls_results.push_back(domain::FlsResult{
        "Sales", "Sales", domain::PermissionSubject{domain::PermissionSubject::Field{"Account", "Rating"}}, "done",
        domain::FlsContainerKind::PermissionSet, domain::FlsResultStatus::Updated,
        domain::PermissionGrant{domain::PermissionGrant::FieldAccess{true, false}}});
    permissions.detail_notes.trailing_notes = {"T"};
    app::build_details(identity, permissions);
    EXPECT_EQ(permissions.details, "Permission PERMISSION_SET Sales Account.Rating [UPDATED]: done\nT");
}

TEST(BuildDetails, SanitizesAndCutsToTheCharacterLimit) {
    deployment::DeploymentSummary summary;
    summary.detail_notes.trailing_notes = {std::string(70'000, 'x')};
    app::build_details([](const std::string& text) { return "é" + text; }, summary);
    EXPECT_EQ(summary.details.size(), 65'536u + 1u);  // "é" is two bytes, one character
    EXPECT_TRUE(summary.details.starts_with("é"));
}

TEST(MessageSnapshots, EveryTakeEqualsAFreshSnapshotAndReplacesTheLastOne) {
    using Results = std::vector<domain::ComponentDeploymentResult>;
    auto result = [](MetadataType type, std::string name, std::string message) {
        return domain::ComponentDeploymentResult{ComponentKey{type, std::move(name)}, std::move(message), ChangeKind::Update,
                                                 ComponentDeploymentStatus::Succeeded};
    };
    const Results first = {result(MetadataType::CustomField, "Account.A__c", "ok"),
                           result(MetadataType::ApexClass, "Twice", "one"),
                           result(MetadataType::Layout, "Account-Layout", ""),
                           result(MetadataType::ApexClass, "Twice", "two")};
    struct Case {
        std::string name;
        Results results;
    };
    Results noted = first;
    noted[0].message = "ok Note.";
    noted[1].message = "changed";
    Results appended = noted;
    appended.push_back(result(MetadataType::CustomField, "Account.B__c", "failed before"));
    appended.push_back(result(MetadataType::ApexClass, "Twice", "three"));
    Results replaced = appended;
    replaced[2] = result(MetadataType::Layout, "Other-Layout", "retried");
    Results shorter(replaced.begin(), replaced.begin() + 2);
    const Case cases[] = {
        {"first take", first},
        {"same results", first},
        {"changed messages", noted},
        {"appended results, a key again", appended},
        {"a result replaced by another key", replaced},
        {"fewer results", shorter},
        {"no results", {}},
        {"results again", first},
    };
    app::MessageSnapshots snapshots;
    const app::MessageSnapshot* previous = nullptr;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const app::MessageSnapshot& taken = snapshots.take(c.results);
        EXPECT_EQ(taken, app::message_snapshot(c.results));
        if (previous != nullptr) {
            EXPECT_EQ(*previous, taken);
        }
        previous = &taken;
    }
}

TEST(OrgBinding, ExactAliasThenIdentityIgnoringCaseAndBlanks) {
    struct Case {
        std::string name;
        std::vector<endpoint::OrgAlias> aliases;
        bool holds;
    };
    const Case cases[] = {
        {"match", {listed("tgt", "user@x.com", "00DABC")}, true},
        {"case and blanks", {listed("tgt", " USER@x.com ", "00dabc")}, true},
        {"other username", {listed("tgt", "other@x.com", "00DABC")}, false},
        {"other org", {listed("tgt", "user@x.com", "00DXYZ")}, false},
        {"missing", {listed("TGT", "user@x.com", "00DABC")}, false},
        {"listed twice", {listed("tgt", "user@x.com", "00DABC"), listed("tgt", "user@x.com", "00DABC")}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto bound = app::validate_session_org_binding("Target", "tgt", "user@x.com", "00DABC ", c.aliases);
        EXPECT_EQ(bound.has_value(), c.holds);
        if (!bound) {
            EXPECT_EQ(bound.error(), WorkflowFailure::single(FailureKind::Validation,
                                                             "Target Salesforce alias no longer resolves to the reviewed "
                                                             "org. Run Compare Fields again."));
        }
    }
}

TEST(OrgBindings, GitSidesListNothingAndSourceFailsFirst) {
    DeployFixture fixture;
    auto both_git = session_of({.rows = {}, .source = repository("/r/a", "main"), .target = repository("/r/b", "dev")});
    testing::TestToken token;
    EXPECT_TRUE(fixture.service().validate_session_org_bindings(*both_git, token).has_value());
    EXPECT_EQ(fixture.ports.core->script.org_alias_listing.count(), 0u);
    EXPECT_EQ(token.polls(), 2);

    auto moved = session_of({.rows = {}, .source = org("src", "someone@else", "00Dsrc")});
    auto bound = fixture.service().validate_session_org_bindings(*moved, fixture.never);
    ASSERT_FALSE(bound);
    EXPECT_EQ(bound.error().first_message(),
              "Source Salesforce alias no longer resolves to the reviewed org. Run Compare Fields again.");
    EXPECT_EQ(fixture.ports.core->script.org_alias_listing.count(), 1u);

    token.cancel();
    auto cancelled = fixture.service().validate_session_org_bindings(*moved, token);
    ASSERT_FALSE(cancelled);
    EXPECT_EQ(cancelled.error(), WorkflowFailure::cancelled());
}

TEST(AssociateSelectedPermissions, DuplicatesAreProgrammingErrors) {
    const auto field = row(MetadataType::CustomField, "Account.Rating__c");
    EXPECT_THROW(app::associate_selected_permissions({field, field}), support::ProgrammingError);
    const auto object = row(MetadataType::CustomObject, "Order__c");
    EXPECT_THROW(app::associate_selected_permissions({object, object}), support::ProgrammingError);
    auto selection = app::associate_selected_permissions({field, object, row(MetadataType::Flow, "F")});
    EXPECT_EQ(selection.fields.size(), 1u);
    EXPECT_EQ(selection.subjects.size(), 1u);
}

TEST(DeployingContainerPairs, PermissionSetsThenProfilesOfDeployableMetadataRows) {
    const auto set = wire("PermissionSet");
    const auto profile = wire("Profile");
    auto only_permissions = row(set, "Perms", ChangeKind::Update, MetadataDeployScope::PermissionsOnly);
    auto session = session_of({.rows = {row(set, "Sales"), row(set, "Admin", ChangeKind::Add), row(profile, "Admin"),
                                        row(set, "Old", ChangeKind::NoChange), only_permissions}});
    const app::SelectedKeys selected{{set, "Sales"}, {set, "Admin"}, {profile, "Admin"}, {set, "Old"}, {set, "Perms"}};
    const std::set<app::ports::ContainerKey> expected{{domain::FlsContainerKind::PermissionSet, "Admin"},
                                                       {domain::FlsContainerKind::PermissionSet, "Sales"},
                                                       {domain::FlsContainerKind::Profile, "Admin"}};
    EXPECT_EQ(app::deploying_container_pairs(*session, selected), expected);
}

TEST(FlsResultOrder, KindThenLowerCasedNameThenName) {
    auto result = [](domain::FlsContainerKind kind, std::string name) {
        return domain::FlsResult{name, name, domain::PermissionSubject{domain::PermissionSubject::Tab{"T"}}, "",
                                 kind, domain::FlsResultStatus::Updated,
                                 domain::PermissionGrant{domain::PermissionGrant::TabVisibility{}}};
    };
    std::vector<domain::FlsResult> results{result(domain::FlsContainerKind::PermissionSet, "sales"),
                                           result(domain::FlsContainerKind::Profile, "Admin"),
                                           result(domain::FlsContainerKind::PermissionSet, "Sales")};
    app::sort_fls_results(results);
    EXPECT_EQ(results[0].container, "Sales");
    EXPECT_EQ(results[1].container, "sales");
    EXPECT_EQ(results[2].container, "Admin");
    EXPECT_EQ(app::fls_result_order(results[0], results[0]), std::weak_ordering::equivalent);

    // Subjects: field before object, then by texts.
    auto field = result(domain::FlsContainerKind::Profile, "P");
    field.subject = domain::PermissionSubject{domain::PermissionSubject::Field{"B", "x"}};
    auto object = result(domain::FlsContainerKind::Profile, "P");
    object.subject = domain::PermissionSubject{domain::PermissionSubject::Object{"A"}};
    EXPECT_EQ(app::fls_result_order(field, object), std::weak_ordering::less);
}

TEST(ModelVersionsNote, EveryShape) {
    struct Case {
        std::size_t travelling;
        std::vector<std::string> left;
        std::string expected;
    };
    const Case cases[] = {
        {0, {}, "No versions travel in the package."},
        {0, {"V1"}, "1 version is active in the target and was left out of the package: V1."},
        {0, {"V1", "V2"}, "All 2 versions are active in the target and were left out of the package: V1, V2."},
        {1, {}, "1 version travels Inactive."},
        {3, {}, "All 3 versions travel Inactive."},
        {1, {"V1"}, "1 version travels Inactive; 1 active in the target was left out of the package: V1."},
        {2, {"V1", "V2"}, "2 versions travel Inactive; 2 active in the target were left out of the package: V1, V2."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.expected);
        EXPECT_EQ(app::model_versions_note(c.travelling, c.left), c.expected);
    }
}

TEST(ModelExpansionCollapse, FoldsDefinitionResultsAndAppendsFailures) {
    const auto definition = wire("ExpressionSetDefinition");
    app::ModelExpansion expansion;
    expansion.models.emplace(ComponentKey{definition, "M"},
                             app::ExpandedModel{{MetadataType::ConstraintModel, "M"}, "1 version travels Inactive.", "<m/>",
                                                ChangeKind::Add});
    expansion.models.emplace(ComponentKey{definition, "N"},
                             app::ExpandedModel{{MetadataType::ConstraintModel, "N"}, "", "<n/>", ChangeKind::Update});
    expansion.failed.push_back({{MetadataType::ConstraintModel, "Z"}, "bad", ChangeKind::Add, ComponentDeploymentStatus::Failed});
    deployment::DeploymentSummary summary;
    summary.component_results = {
        {{definition, "M"}, "ok", ChangeKind::Update, ComponentDeploymentStatus::Succeeded},
        {{MetadataType::Flow, "F"}, "flow", ChangeKind::Add, ComponentDeploymentStatus::Succeeded},
        {{definition, "N"}, "rejected", ChangeKind::Update, ComponentDeploymentStatus::Failed},
    };
    summary.deployed_count = 7;
    auto collapsed = expansion.collapse(std::move(summary));
    ASSERT_EQ(collapsed.component_results.size(), 4u);
    EXPECT_EQ(collapsed.component_results[0],
              (ComponentDeploymentResult{{MetadataType::ConstraintModel, "M"},
                                         "1 version travels Inactive. Definition M deployed.", ChangeKind::Add,
                                         ComponentDeploymentStatus::Succeeded}));
    EXPECT_EQ(collapsed.component_results[1].key.name, "F");
    EXPECT_EQ(collapsed.component_results[2].message, "rejected");
    EXPECT_EQ(collapsed.component_results[2].key.metadata_type, MetadataType::ConstraintModel);
    EXPECT_EQ(collapsed.component_results[3].key.name, "Z");
    EXPECT_EQ(collapsed.deployed_count, 7u);
}

}  // namespace
}  // namespace ambrel::deploy_tests
