// The post-deploy retries over recording fakes: what each sends, how results merge, and the gate.

#include <gtest/gtest.h>

#include "adaptation_test_support.hpp"
#include "app/context_definition_adaptation.hpp"
#include "app/permission_retries.hpp"
#include "app/permission_set_group_adaptation.hpp"
#include "app/unexpected_error_retries.hpp"
#include "support/doubles.hpp"

namespace ambrel::adaptation_tests {
namespace {

using Status = ComponentDeploymentStatus;
using Messages = std::map<ComponentKey, std::string>;

const std::string kViewSetup = "    <userPermissions>\n        <enabled>true</enabled>\n        <name>ViewSetup</name>\n    </userPermissions>\n";
const std::string kFooAccess = "    <classAccesses>\n        <apexClass>Foo</apexClass>\n        <enabled>true</enabled>\n    </classAccesses>\n";

deployment::DeploymentSummary summary_of(std::vector<ComponentDeploymentResult> results, bool completed = true) {
    deployment::DeploymentSummary summary;
    summary.component_results = std::move(results);
    summary.package_completed = completed;
    return summary;
}

Messages messages_of(const deployment::DeploymentSummary& summary) {
    Messages messages;
    for (const auto& r : summary.component_results) messages.emplace(r.key, r.message);
    return messages;
}

TEST(PermissionRetry, SendsThePermissionSetAgainWithoutTheNamedUserPermission) {
    Harness h;
    const auto s = session();
    const std::vector<ComponentDifference> rows = {row("PermissionSet", "PS", document("PermissionSet", kViewSetup + kFooAccess))};
    auto summary = summary_of({result(key("PermissionSet", "PS"), Status::Failed, "Unknown user permission: ViewSetup")});
    h.ports.core->script.single_package_deployment.answer(
        package({result(key("PermissionSet", "PS"), Status::Succeeded, "Deployed.")}));
    app::UserPermissionCatalogs catalogs;
    domain::NeverCancelled token;
    app::retry_rejected_permission_sets(h.service, *s, rows, summary, domain::DeployMode::BestEffort, {},
                                        messages_of(summary), catalogs, h.retried, token);
    const auto calls = h.ports.core->script.single_package_deployment.calls();
    ASSERT_EQ(calls.size(), 1u);
    const auto& sent = std::get<0>(calls[0]);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].source.document, document("PermissionSet", kFooAccess));
    EXPECT_EQ(std::get<4>(calls[0]), domain::DeployMode::BestEffort);
    EXPECT_EQ(std::get<2>(calls[0]), domain::FlsMode::None);
    EXPECT_EQ(std::get<7>(calls[0]), "tgt@example.com");
    EXPECT_EQ(summary.component_results[0],
              result(key("PermissionSet", "PS"), Status::Succeeded,
                     "Deployed. Retry of this Permission Set without the reference(s) the target named: left out after "
                     "the target named them: ViewSetup."));
    EXPECT_EQ(h.ports.schema->script.user_permission_listing.count(), 0u);
}

TEST(PermissionRetry, ProfileItemsNameTheSectionAndReferencesTheirType) {
    Harness h;
    const auto s = session();
    const std::vector<ComponentDifference> rows = {row("Profile", "Admin", document("Profile", kViewSetup + kFooAccess))};
    auto summary = summary_of({result(key("Profile", "Admin"), Status::Failed,
                                      "Unknown user permission: ViewSetup; In field: apexClass - no ApexClass named Foo found")});
    h.ports.core->script.single_package_deployment.answer(package({result(key("Profile", "Admin"), Status::Succeeded, "")}));
    app::UserPermissionCatalogs catalogs;
    domain::NeverCancelled token;
    const Messages pre_notes = {{key("Profile", "Admin"), "Kept 1 of 2 component references."}};
    app::retry_rejected_profiles(h.service, *s, rows, summary, domain::DeployMode::BestEffort, pre_notes,
                                 messages_of(summary), catalogs, h.retried, token);
    EXPECT_EQ(summary.component_results[0].message,
              "Kept 1 of 2 component references. Retry of this Profile without the reference(s) the target named: left "
              "out after the target named them: ApexClass Foo, userPermissions ViewSetup.");
    EXPECT_EQ(std::get<0>(h.ports.core->script.single_package_deployment.calls()[0])[0].source.document,
              document("Profile", ""));
}

TEST(PermissionRetry, PassesStopAtTheirLimitAndOnlyForSomethingNew) {
    for (const bool profiles : {false, true}) {
        SCOPED_TRACE(profiles ? "profiles" : "permission sets");
        Harness h;
        const auto s = session();
        const std::string type = profiles ? "Profile" : "PermissionSet";
        std::string body;
        for (int i = 0; i < 8; ++i) body += "<userPermissions><name>P" + std::to_string(i) + "</name></userPermissions>\n";
        const std::vector<ComponentDifference> rows = {row(type, "R", document(type, body))};
        auto summary = summary_of({result(key(type, "R"), Status::Failed, "Unknown user permission: P0")});
        int next = 1;
        h.ports.core->script.single_package_deployment.answer_with(
            [&](const std::vector<ComponentDifference>& sent, auto&&...) -> app::ports::PortResult<deployment::single_package::SinglePackageSummary> {
                return package({result(sent[0].key(), Status::Failed, "Unknown user permission: P" + std::to_string(next++))});
            });
        app::UserPermissionCatalogs catalogs;
        domain::NeverCancelled token;
        if (profiles) {
            app::retry_rejected_profiles(h.service, *s, rows, summary, domain::DeployMode::BestEffort, {}, messages_of(summary),
                                         catalogs, h.retried, token);
        } else {
            app::retry_rejected_permission_sets(h.service, *s, rows, summary, domain::DeployMode::BestEffort, {},
                                                messages_of(summary), catalogs, h.retried, token);
        }
        EXPECT_EQ(h.ports.core->script.single_package_deployment.count(), profiles ? 5u : 3u);
        EXPECT_EQ(summary.component_results[0].status, Status::Failed);
        EXPECT_NE(summary.component_results[0].message.find(profiles ? "userPermissions P0, userPermissions P1" : "P0, P1, P2."),
                  std::string::npos)
            << summary.component_results[0].message;
    }
}

TEST(PermissionRetry, NothingIsSentWhenTheDocumentLacksTheNamedEntriesOrTheGateIsClosed) {
    struct Case {
        std::string name;
        std::string text;
        domain::DeployMode mode;
        bool git_target;
        bool completed;
        bool edited;
    };
    const std::vector<Case> cases = {
        {"named permission missing", "Unknown user permission: Other", domain::DeployMode::BestEffort, false, true, false},
        {"validate only", "Unknown user permission: ViewSetup", domain::DeployMode::ValidateOnly, false, true, false},
        {"all or nothing", "Unknown user permission: ViewSetup", domain::DeployMode::AllOrNothing, false, true, false},
        {"git target", "Unknown user permission: ViewSetup", domain::DeployMode::BestEffort, true, true, false},
        {"package rejected as a whole", "Unknown user permission: ViewSetup", domain::DeployMode::BestEffort, false, false, false},
        {"edited row", "Unknown user permission: ViewSetup", domain::DeployMode::BestEffort, false, true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Harness h;
        SessionOptions options;
        if (c.git_target) options.target = git("/repo");
        const auto s = session(std::move(options));
        std::vector<ComponentDifference> rows = {row("PermissionSet", "PS", document("PermissionSet", kViewSetup))};
        rows[0].edited = c.edited;
        auto summary = summary_of({result(key("PermissionSet", "PS"), Status::Failed, c.text)}, c.completed);
        const auto before = summary;
        app::UserPermissionCatalogs catalogs;
        domain::NeverCancelled token;
        app::retry_rejected_permission_sets(h.service, *s, rows, summary, c.mode, {}, messages_of(summary), catalogs, h.retried, token);
        EXPECT_EQ(h.ports.core->script.single_package_deployment.count(), 0u);
        EXPECT_EQ(summary, before);
    }
}

TEST(PermissionRetry, DependentPermissionsUseTheCatalogueFetchedOnceAndAFailedFetchIsNotRepeated) {
    Harness h;
    const auto s = session();
    const std::string doc = document("PermissionSet", "<userPermissions><name>ModifyAllData</name></userPermissions>\n");
    const std::vector<ComponentDifference> rows = {row("PermissionSet", "A", doc), row("PermissionSet", "B", doc)};
    const std::string text = "Permission ModifyAllData depends on permission(s): ViewAllData";
    auto summary = summary_of({result(key("PermissionSet", "A"), Status::Failed, text),
                               result(key("PermissionSet", "B"), Status::Failed, text)});
    h.ports.schema->script.user_permission_listing.answer(std::unexpected(app::WorkflowFailure::operation("describe failed")));
    app::UserPermissionCatalogs catalogs;
    domain::NeverCancelled token;
    app::retry_rejected_permission_sets(h.service, *s, rows, summary, domain::DeployMode::BestEffort, {},
                                        messages_of(summary), catalogs, h.retried, token);
    EXPECT_EQ(h.ports.schema->script.user_permission_listing.count(), 1u);
    EXPECT_EQ(h.ports.core->script.single_package_deployment.count(), 0u);

    metadata::user_permission_filter::UserPermissionCatalog catalog;
    catalog.names = {"PermissionsModifyAllData"};
    h.ports.schema->script.user_permission_listing.answer(catalog);
    h.ports.core->script.single_package_deployment.answer(package(
        {result(key("PermissionSet", "A"), Status::Succeeded, ""), result(key("PermissionSet", "B"), Status::Succeeded, "")}));
    app::retry_rejected_permission_sets(h.service, *s, rows, summary, domain::DeployMode::BestEffort, {},
                                        messages_of(summary), catalogs, h.retried, token);
    EXPECT_EQ(h.ports.schema->script.user_permission_listing.count(), 2u);
    ASSERT_EQ(h.ports.core->script.single_package_deployment.count(), 1u);
    EXPECT_EQ(std::get<0>(h.ports.core->script.single_package_deployment.calls()[0]).size(), 2u);
}

TEST(PermissionRetry, TheFailedResultThatChoseTheRowIsTheOneReplaced) {
    Harness h;
    const auto s = session();
    const std::vector<ComponentDifference> rows = {row("PermissionSet", "PS", document("PermissionSet", kViewSetup))};
    auto summary = summary_of({result(key("PermissionSet", "PS"), Status::Succeeded, "Earlier."),
                               result(key("PermissionSet", "PS"), Status::Failed, "Unknown user permission: ViewSetup")});
    h.ports.core->script.single_package_deployment.answer(package({result(key("PermissionSet", "PS"), Status::Succeeded, "")}));
    app::UserPermissionCatalogs catalogs;
    domain::NeverCancelled token;
    app::retry_rejected_permission_sets(h.service, *s, rows, summary, domain::DeployMode::BestEffort, {},
                                        {{key("PermissionSet", "PS"), "Unknown user permission: ViewSetup"}}, catalogs, h.retried, token);
    EXPECT_EQ(summary.component_results[0].message, "Earlier.");
    EXPECT_EQ(summary.component_results[1].status, Status::Succeeded);
}

TEST(PermissionRetry, APortFailureEndsTheCallAndKeepsTheResults) {
    Harness h;
    const auto s = session();
    const std::vector<ComponentDifference> rows = {row("PermissionSet", "PS", document("PermissionSet", kViewSetup))};
    auto summary = summary_of({result(key("PermissionSet", "PS"), Status::Failed, "Unknown user permission: ViewSetup")});
    const auto before = summary;
    h.ports.core->script.single_package_deployment.answer(std::unexpected(app::WorkflowFailure::cancelled()));
    app::UserPermissionCatalogs catalogs;
    domain::NeverCancelled token;
    app::retry_rejected_permission_sets(h.service, *s, rows, summary, domain::DeployMode::BestEffort, {},
                                        messages_of(summary), catalogs, h.retried, token);
    EXPECT_EQ(summary, before);
}

TEST(UnexpectedErrorRetry, GroupThenAdviceWhenTheSettingIsOff) {
    Harness h;
    const auto s = session();
    std::vector<ComponentDifference> rows = {row("ApexClass", "A", "a"), row("ApexClass", "B", "b"), row("ApexClass", "C", "c"),
                                             row("ApexClass", "D", "d")};
    rows[3].deploy_scope = domain::MetadataDeployScope::TrackingOnly;
    auto summary = summary_of({result(key("ApexClass", "A"), Status::Failed, "An unexpected error occurred. Boom"),
                               result(key("ApexClass", "B"), Status::Failed, "x An unexpected error occurred."),
                               result(key("ApexClass", "C"), Status::Failed, "Named reason"),
                               result(key("ApexClass", "D"), Status::Failed, "An unexpected error occurred.")});
    h.ports.core->script.single_package_deployment.answer(
        package({result(key("ApexClass", "A"), Status::Failed, "Boom"),
                 result(key("ApexClass", "B"), Status::Succeeded, "")}));
    domain::NeverCancelled token;
    const auto sent = app::retry_unexpected_errors(h.service, *s, rows, summary, domain::DeployMode::BestEffort,
                                                   messages_of(summary), h.retried, token);
    EXPECT_EQ(sent, 2u);
    EXPECT_EQ(std::get<0>(h.ports.core->script.single_package_deployment.calls()[0]).size(), 2u);
    EXPECT_EQ(summary.component_results[1].message,
              "Retried without the components the target gave a specific reason for, after Salesforce unexpected error.");
    EXPECT_EQ(summary.component_results[0].message,
              "Boom. Retried without the components the target gave a specific reason for, after Salesforce unexpected error.");
    EXPECT_EQ(summary.component_results[2].message, "Named reason");

    // A still failing with the marker would be retried alone; with the setting off it gets the advice.
    summary.component_results[0].message = "Boom An unexpected error occurred.";
    app::retry_unexpected_errors_isolated(h.service, *s, rows, summary, domain::DeployMode::BestEffort, sent, h.retried, token);
    EXPECT_EQ(summary.component_results[0].message,
              "Boom An unexpected error occurred. Turn on Retry rows alone after a Salesforce unexpected error in the "
              "Quillary settings and compare again to send such a row on its own.");
    EXPECT_EQ(summary.component_results[3].message, "An unexpected error occurred.");
}

// A profile that its own retry trimmed and that then failed with the unexpected error goes out
// trimmed again, never with what the target refused, and keeps its notes; so does a row carrying a
// pre-deploy note.
TEST(UnexpectedErrorRetry, SendsTheLatestDocumentAndKeepsTheRowsNotes) {
    Harness h;
    SessionOptions options;
    options.retry_alone = true;
    const auto s = session(std::move(options));
    const ComponentKey admin = key("Profile", "Admin");
    const ComponentKey apex = key("ApexClass", "A");
    const std::vector<ComponentDifference> rows = {row("Profile", "Admin", document("Profile", kViewSetup + kFooAccess)),
                                                   row("ApexClass", "A", "a")};
    const Messages pre_notes = {{admin, "Kept 1 of 2 component references."}};
    h.retried.add_notes(pre_notes);
    h.retried.add_notes({{apex, "Pass note."}});
    auto summary = summary_of({result(admin, Status::Failed, "Unknown user permission: ViewSetup"),
                               result(apex, Status::Failed, "An unexpected error occurred. Pass note.")});
    h.ports.core->script.single_package_deployment.answer(
        package({result(admin, Status::Failed, "An unexpected error occurred.")}));
    h.ports.core->script.single_package_deployment.answer(
        package({result(admin, Status::Succeeded, "Deployed."), result(apex, Status::Failed, "An unexpected error occurred.")}));
    h.ports.core->script.single_package_deployment.answer(package({result(apex, Status::Succeeded, "Ok")}));
    app::UserPermissionCatalogs catalogs;
    domain::NeverCancelled token;
    app::retry_rejected_profiles(h.service, *s, rows, summary, domain::DeployMode::BestEffort, pre_notes,
                                 messages_of(summary), catalogs, h.retried, token);
    const std::string note =
        "Kept 1 of 2 component references. Retry of this Profile without the reference(s) the target named: left out "
        "after the target named them: userPermissions ViewSetup.";
    EXPECT_EQ(summary.component_results[0].message, "An unexpected error occurred. " + note);

    const auto sent = app::retry_unexpected_errors(h.service, *s, rows, summary, domain::DeployMode::BestEffort,
                                                   messages_of(summary), h.retried, token);
    EXPECT_EQ(sent, 2u);
    app::retry_unexpected_errors_isolated(h.service, *s, rows, summary, domain::DeployMode::BestEffort, sent, h.retried,
                                          token);
    const auto calls = h.ports.core->script.single_package_deployment.calls();
    ASSERT_EQ(calls.size(), 3u);
    const auto& group = std::get<0>(calls[1]);
    ASSERT_EQ(group.size(), 2u);
    EXPECT_EQ(group[0].source.document, document("Profile", kFooAccess));
    EXPECT_EQ(group[1].source.document, "a");
    const auto& alone = std::get<0>(calls[2]);
    ASSERT_EQ(alone.size(), 1u);
    EXPECT_EQ(alone[0].key(), apex);
    EXPECT_EQ(summary.component_results[0],
              result(admin, Status::Succeeded,
                     "Deployed. " + note +
                         " Retried without the components the target gave a specific reason for, after Salesforce "
                         "unexpected error."));
    EXPECT_EQ(summary.component_results[1],
              result(apex, Status::Succeeded, "Ok Pass note. Retried alone, after Salesforce unexpected error."));
}

TEST(UnexpectedErrorRetry, AloneRetriesStopAtCancellationAndASingleGroupRowGetsNothing) {
    Harness h;
    SessionOptions options;
    options.retry_alone = true;
    const auto s = session(std::move(options));
    const std::vector<ComponentDifference> rows = {row("ApexClass", "A", "a"), row("ApexClass", "B", "b")};
    auto summary = summary_of({result(key("ApexClass", "A"), Status::Failed, "An unexpected error occurred."),
                               result(key("ApexClass", "B"), Status::Failed, "An unexpected error occurred.")});
    testing::TestToken token;
    h.ports.core->script.single_package_deployment.answer_with(
        [&](const std::vector<ComponentDifference>& sent, auto&&...) -> app::ports::PortResult<deployment::single_package::SinglePackageSummary> {
            token.cancel();
            return package({result(sent[0].key(), Status::Succeeded, "Ok")});
        });
    app::retry_unexpected_errors_isolated(h.service, *s, rows, summary, domain::DeployMode::BestEffort, 1, h.retried, token);
    EXPECT_EQ(h.ports.core->script.single_package_deployment.count(), 0u);
    app::retry_unexpected_errors_isolated(h.service, *s, rows, summary, domain::DeployMode::BestEffort, 2, h.retried, token);
    EXPECT_EQ(h.ports.core->script.single_package_deployment.count(), 1u);
    EXPECT_EQ(summary.component_results[0].message, "Ok. Retried alone, after Salesforce unexpected error.");
    EXPECT_EQ(summary.component_results[1].message, "An unexpected error occurred.");
}

TEST(UnexpectedErrorRetry, ClosedGateSendsNothing) {
    Harness h;
    const auto s = session();
    const std::vector<ComponentDifference> rows = {row("ApexClass", "A", "a")};
    auto summary = summary_of({result(key("ApexClass", "A"), Status::Failed, "An unexpected error occurred.")}, false);
    domain::NeverCancelled token;
    EXPECT_EQ(app::retry_unexpected_errors(h.service, *s, rows, summary, domain::DeployMode::BestEffort,
                                           messages_of(summary), h.retried, token),
              0u);
    EXPECT_EQ(h.ports.core->script.single_package_deployment.count(), 0u);
}

TEST(PermissionSetGroupRetry, SendsTheGroupWithoutTheFailedMember) {
    Harness h;
    const auto s = session();
    const std::string doc = document("PermissionSetGroup",
                                     "    <permissionSets>Audit</permissionSets>\n    <permissionSets>Billing</permissionSets>\n");
    const std::vector<ComponentDifference> rows = {row("PermissionSetGroup", "G", doc)};
    auto summary = summary_of({result(key("PermissionSet", "Billing"), Status::Failed, "No.", ChangeKind::Add),
                               result(key("PermissionSetGroup", "G"), Status::Failed, "Unknown Billing")});
    h.ports.core->script.single_package_deployment.answer(package({result(key("PermissionSetGroup", "G"), Status::Succeeded, "")}));
    domain::NeverCancelled token;
    app::retry_rejected_permission_set_groups(h.service, *s, rows, summary, domain::DeployMode::BestEffort, {"Audit"}, h.retried, token);
    ASSERT_EQ(h.ports.core->script.single_package_deployment.count(), 1u);
    EXPECT_EQ(std::get<0>(h.ports.core->script.single_package_deployment.calls()[0])[0].source.document,
              document("PermissionSetGroup", "    <permissionSets>Audit</permissionSets>\n"));
    EXPECT_EQ(summary.component_results[1].message,
              "Retried this Permission Set Group without the Permission Set(s) that did not deploy in this run: Kept 1 of "
              "2 permission sets in this group; 1 left out: Billing.");
    EXPECT_EQ(summary.component_results[1].status, Status::Succeeded);
}

TEST(PermissionSetGroupRetry, AMemberCreatedOnItsOwnRetryStays) {
    Harness h;
    const auto s = session();
    const std::string doc = document("PermissionSetGroup", "    <permissionSets>Care</permissionSets>\n");
    const std::vector<ComponentDifference> rows = {row("PermissionSetGroup", "G", doc)};
    auto summary = summary_of({result(key("PermissionSet", "Care"), Status::Succeeded,
                                      "Retry of this Permission Set without the reference(s) the target named: x.", ChangeKind::Add),
                               result(key("PermissionSetGroup", "G"), Status::Failed, "Unknown Care")});
    h.ports.core->script.single_package_deployment.answer(package({result(key("PermissionSetGroup", "G"), Status::Succeeded, "")}));
    domain::NeverCancelled token;
    app::retry_rejected_permission_set_groups(h.service, *s, rows, summary, domain::DeployMode::BestEffort, {}, h.retried, token);
    EXPECT_EQ(summary.component_results[1].message,
              "Retried this Permission Set Group without the Permission Set(s) that did not deploy in this run: no "
              "reference was left out; Care deployed on its own retry in this run.");
}

TEST(ContextDefinitionRetry, LeavesOutAFieldThatFailedToBeCreatedAndNotesARejectedSucceededRow) {
    Harness h;
    const auto s = session();
    const std::string original = document("ContextDefinition",
                                          "    <contextNodeMappings>\n        <object>Invoice__c</object>\n"
                                          "        <contextAttrHydrationDetails>\n            <objectName>Invoice__c</objectName>\n"
                                          "            <queryAttribute>Total__c</queryAttribute>\n        </contextAttrHydrationDetails>\n"
                                          "    </contextNodeMappings>\n");
    const std::vector<ComponentDifference> rows = {row("ContextDefinition", "Ctx", original)};
    auto summary = summary_of({result(key("CustomField", "Invoice__c.Total__c"), Status::Failed, "No.", ChangeKind::Add),
                               result(key("ContextDefinition", "Ctx"), Status::Succeeded, "Deployed.")});
    h.ports.core->script.single_package_deployment.answer(
        package({result(key("ContextDefinition", "Ctx"), Status::Failed, "Field Other__c does not exist")}));
    domain::NeverCancelled token;
    app::retry_rejected_context_definitions(h.service, *s, rows, summary, domain::DeployMode::BestEffort, {}, {},
                                            {{key("ContextDefinition", "Ctx"), original}}, messages_of(summary), {}, h.retried, token);
    ASSERT_EQ(h.ports.core->script.single_package_deployment.count(), 1u);
    EXPECT_EQ(std::get<0>(h.ports.core->script.single_package_deployment.calls()[0])[0].source.document,
              document("ContextDefinition", "    <contextNodeMappings>\n        <object>Invoice__c</object>\n    </contextNodeMappings>\n"));
    const auto& merged = summary.component_results[1];
    EXPECT_EQ(merged.status, Status::Succeeded);
    EXPECT_EQ(merged.message,
              "Deployed. Kept 0 of 1 field references and 1 of 1 object mappings in this context; 1 left out: "
              "Invoice__c.Total__c. Retry of this Context Definition without the references that did not deploy in this "
              "run or that the target named was rejected: Field Other__c does not exist");
}

TEST(ContextDefinitionRetry, NamedReferencesOfAFailedRowAndAtMostThreePasses) {
    Harness h;
    const auto s = session();
    std::string body = "    <contextNodeMappings>\n        <object>Account</object>\n";
    for (int i = 0; i < 5; ++i) {
        body += "        <contextAttrHydrationDetails><objectName>Account</objectName><queryAttribute>F" + std::to_string(i) +
                "__c</queryAttribute></contextAttrHydrationDetails>\n";
    }
    body += "    </contextNodeMappings>\n";
    const std::string original = document("ContextDefinition", body);
    const std::vector<ComponentDifference> rows = {row("ContextDefinition", "Ctx", original)};
    auto summary = summary_of({result(key("ContextDefinition", "Ctx"), Status::Failed, "No such column 'F0__c'")});
    int next = 1;
    h.ports.core->script.single_package_deployment.answer_with(
        [&](const std::vector<ComponentDifference>& sent, auto&&...) -> app::ports::PortResult<deployment::single_package::SinglePackageSummary> {
            return package({result(sent[0].key(), Status::Failed, "Field Account.F" + std::to_string(next++) + "__c is not valid")});
        });
    domain::NeverCancelled token;
    app::retry_rejected_context_definitions(h.service, *s, rows, summary, domain::DeployMode::BestEffort, {}, {},
                                            {{key("ContextDefinition", "Ctx"), original}}, messages_of(summary),
                                            {{key("ContextDefinition", "Ctx"), "Release version 66.0 rewritten to the target's 65.0."}},
                                            h.retried, token);
    EXPECT_EQ(h.ports.core->script.single_package_deployment.count(), 3u);
    const auto last = std::get<0>(h.ports.core->script.single_package_deployment.calls()[2])[0].source.document;
    EXPECT_EQ(last.find("F0__c"), std::string::npos);
    EXPECT_EQ(last.find("F2__c"), std::string::npos);
    EXPECT_NE(last.find("F3__c"), std::string::npos);
    EXPECT_EQ(summary.component_results[0].message.rfind("Field Account.F3__c is not valid Release version 66.0 rewritten to "
                                                         "the target's 65.0. Retry of this Context Definition",
                                                         0),
              0u)
        << summary.component_results[0].message;
}

TEST(ContextDefinitionRetry, AGitSourceSendsNothing) {
    Harness h;
    SessionOptions options;
    options.source = git("/repo");
    const auto s = session(std::move(options));
    const std::vector<ComponentDifference> rows = {row("ContextDefinition", "Ctx", document("ContextDefinition", ""))};
    auto summary = summary_of({result(key("CustomObject", "Invoice__c"), Status::Failed, "No.", ChangeKind::Add)});
    domain::NeverCancelled token;
    app::retry_rejected_context_definitions(h.service, *s, rows, summary, domain::DeployMode::BestEffort, {}, {},
                                            {{key("ContextDefinition", "Ctx"), rows[0].source.document}}, {}, {}, h.retried, token);
    EXPECT_EQ(h.ports.core->script.single_package_deployment.count(), 0u);
}

}  // namespace
}  // namespace ambrel::adaptation_tests
