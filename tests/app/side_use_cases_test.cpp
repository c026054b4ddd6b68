// The use cases around the compare: listings, login, tests, containers, record-data checks and the
// quick deploy.

#include <gtest/gtest.h>

#include "app/application_service.hpp"
#include "app/org_bindings.hpp"
#include "data/registry.hpp"
#include "app_test_rows.hpp"
#include "support/doubles.hpp"
#include "support/fake_ports.hpp"

namespace ambrel::app_tests {
namespace {

using app::FailureKind;
using app::QuillaryApplicationService;
using app::WorkflowFailure;
using data::bundles::transfer::Finding;
using data::bundles::transfer::HealthReport;
using data::bundles::transfer::Layer;
using testing::RecordingPorts;

QuillaryApplicationService full_service(const RecordingPorts& ports) {
    auto service = QuillaryApplicationService::with_git_and_layouts(ports.core, ports.git, ports.target_layout_reading,
                                                                    ports.permission_set_name_listing, ports.schema,
                                                                    ports.bundle);
    service = QuillaryApplicationService::with_quick_deploy(std::move(service), ports.quick_deploy);
    return QuillaryApplicationService::with_login(std::move(service), ports.login);
}

std::shared_ptr<app::ComparisonSession> session_of(std::vector<ComponentDifference> rows,
                                                   endpoint::DeployEndpoint target = org_endpoint("tgt", "tgt@example.com",
                                                                                                  "00D2")) {
    return app::ComparisonSession::with_dependency_graph(org_endpoint("src", "src@example.com", "00D1"),
                                                         std::move(target), std::move(rows), {}, {},
                                                         app::TargetOrgClass::NonProduction, "66.0", false);
}

std::vector<cli::catalogs::SalesforceObject> objects(std::initializer_list<const char*> names) {
    std::vector<cli::catalogs::SalesforceObject> listed;
    for (const char* name : names) listed.push_back({name, name, {}});
    return listed;
}

ComponentDifference apex_class(std::string name, std::string body) {
    ComponentDifference difference = row(MetadataType::ApexClass, std::move(name));
    difference.source.body = domain::ComponentBody{"classes/X.cls", std::move(body)};
    return difference;
}

TEST(SideUseCases, EveryTokenTakingUseCaseStopsAtACancelledTokenBeforeAnyPort) {
    RecordingPorts ports;
    const auto service = full_service(ports);
    testing::TestToken token;
    token.cancel();
    const auto session = session_of({});
    const WorkflowFailure cancelled = WorkflowFailure::cancelled();
    EXPECT_EQ(service.list_orgs(token).error(), cancelled);
    EXPECT_EQ(service.list_source_objects(org_endpoint("src"), MetadataType::ApexClass, token).error(), cancelled);
    EXPECT_EQ(service.create_org_alias("a", "https://login.salesforce.com", {}, token).error(), cancelled);
    EXPECT_EQ(service.list_apex_tests(*session, {}, token).error(), cancelled);
    EXPECT_EQ(service.match_fls_containers(*session, {}, token).error(), cancelled);
    EXPECT_EQ(service.check_external_keys("s", "t", token).error(), cancelled);
    EXPECT_EQ(service.check_target_health(*session, {}, token).error(), cancelled);
    EXPECT_EQ(service.fix_target_health(*session, {}, {}, token).error(), cancelled);
    EXPECT_EQ(service.quick_deploy({"0Af", "tgt", 1}, token).error(), cancelled);
    EXPECT_EQ(ports.core->script.org_alias_listing.count() + ports.core->script.apex_class_listing.count() +
                  ports.core->script.container_matching.count() + ports.login->script.alias_login.count() +
                  ports.schema->script.external_key_field_listing.count() +
                  ports.quick_deploy->script.quick_deployment.count(),
              0U);
}

TEST(SideUseCases, ListOrgsAndLoginForwardToTheirPorts) {
    RecordingPorts ports;
    const auto service = full_service(ports);
    testing::TestToken token;
    const auto failure = WorkflowFailure::single(FailureKind::Prerequisite, "no sf");
    ports.core->script.org_alias_listing.answer(std::unexpected(failure));
    EXPECT_EQ(service.list_orgs(token).error(), failure);
    ports.login->script.alias_login.answer(std::unexpected(failure));
    EXPECT_EQ(service.create_org_alias("a", "https://x", {}, token).error(), failure);
    EXPECT_EQ(std::get<0>(ports.login->script.alias_login.calls().at(0)), "a");
    // Without the login group the default refuses.
    RecordingPorts bare;
    const auto without = QuillaryApplicationService::with_git_and_layouts(
        bare.core, bare.git, bare.target_layout_reading, bare.permission_set_name_listing, bare.schema, bare.bundle);
    EXPECT_EQ(without.create_org_alias("a", "https://x", {}, token).error(),
              WorkflowFailure::single(FailureKind::Validation,
                                      "Creating an org alias is not available in this configuration."));
}

TEST(SideUseCases, ListSourceObjectsDispatchesOnTheEndpointAndTheListingStrategy) {
    RecordingPorts ports;
    const auto service = full_service(ports);
    testing::TestToken token;
    ports.core->script.object_listing.answer(objects({"Account"}));
    auto listed = service.list_source_objects(org_endpoint("src"), MetadataType::CustomObject, token);
    ASSERT_TRUE(listed);
    EXPECT_EQ(*listed, objects({"Account"}));
    const auto object_call = ports.core->script.object_listing.calls().at(0);
    EXPECT_EQ(std::get<0>(object_call), "src");
    EXPECT_EQ(std::get<1>(object_call), "src");

    ports.core->script.metadata_listing.answer(objects({"A"}));
    ASSERT_TRUE(service.list_source_objects(org_endpoint("src"), MetadataType::ApexClass, token));
    EXPECT_EQ(std::get<0>(ports.core->script.metadata_listing.calls().at(0)), "ApexClass");
    EXPECT_EQ(std::get<1>(ports.core->script.metadata_listing.calls().at(0)), "src");

    ports.bundle->script.product_bundle_listing.answer(objects({"Kit"}));
    ports.bundle->script.constraint_model_listing.answer(objects({"Model"}));
    EXPECT_EQ(*service.list_source_objects(org_endpoint("src"), MetadataType::ProductBundle, token), objects({"Kit"}));
    EXPECT_EQ(*service.list_source_objects(org_endpoint("src"), MetadataType::ConstraintModel, token),
              objects({"Model"}));

    const auto git = git_endpoint("/repo", "main");
    ports.git->script.git_component_listing.answer(objects({"B"}));
    EXPECT_EQ(*service.list_source_objects(git, MetadataType::ApexClass, token), objects({"B"}));
    EXPECT_EQ(std::get<0>(ports.git->script.git_component_listing.calls().at(0)), git);

    struct Refusal {
        const char* name;
        endpoint::DeployEndpoint source;
        MetadataType type;
        WorkflowFailure expected;
    };
    const std::vector<Refusal> refusals{
        {"bundle from git", git, MetadataType::ProductBundle,
         WorkflowFailure::operation("Product bundles and constraint models are compared between two orgs only.")},
        {"record data from git", git, MetadataType::DataRecord(0),
         WorkflowFailure::operation("Revenue Cloud records are not retrieved as metadata.")},
        {"record data from an org", org_endpoint("src"), MetadataType::DataRecord(0),
         WorkflowFailure::operation("Revenue Cloud records are not retrieved as metadata.")},
        {"blank alias", org_endpoint("   "), MetadataType::ApexClass,
         WorkflowFailure::single(FailureKind::Validation, "Select a source org or git repository.")},
    };
    for (const Refusal& refusal : refusals) {
        SCOPED_TRACE(refusal.name);
        auto result = service.list_source_objects(refusal.source, refusal.type, token);
        ASSERT_FALSE(result);
        EXPECT_EQ(result.error(), refusal.expected);
    }
    EXPECT_EQ(ports.core->script.metadata_listing.count(), 1U);
}

TEST(SideUseCases, ListApexTestsMergesSessionTestsWithTheTargetClasses) {
    RecordingPorts ports;
    const auto service = full_service(ports);
    const auto session = session_of({apex_class("MyTest", "@IsTest class MyTest {}"), apex_class("Plain", "class P {}")});
    ports.core->script.apex_class_listing.answer(objects({"mytest", "OtherTest", "Helper"}));
    testing::TestToken token;
    auto candidates = service.list_apex_tests(
        *session, {key(MetadataType::ApexClass, "MyTest"), key(MetadataType::ApexClass, "Plain")}, token);
    ASSERT_TRUE(candidates);
    const std::vector<domain::ApexTestCandidate> expected{
        {"MyTest", domain::TestCandidateOrigin::Session, true},
        {"OtherTest", domain::TestCandidateOrigin::Target, false},
    };
    EXPECT_EQ(*candidates, expected);
    EXPECT_EQ(std::get<0>(ports.core->script.apex_class_listing.calls().at(0)), "tgt@example.com");
}

TEST(SideUseCases, ListApexTestsDropsAListingThatEndsCancelled) {
    RecordingPorts ports;
    const auto service = full_service(ports);
    testing::TestToken token;
    ports.core->script.apex_class_listing.answer_with([&token](const std::string&, const domain::CancellationToken&) {
        token.cancel();
        return app::ports::PortResult<std::vector<cli::catalogs::SalesforceObject>>(objects({"ATest"}));
    });
    EXPECT_EQ(service.list_apex_tests(*session_of({}), {}, token).error(), WorkflowFailure::cancelled());
}

TEST(SideUseCases, ListApexTestsForAGitTargetListsNoClasses) {
    RecordingPorts ports;
    const auto service = full_service(ports);
    const auto session = session_of({apex_class("MyTest", "@isTest class MyTest {}")}, git_endpoint("/repo", "main"));
    testing::TestToken token;
    auto candidates = service.list_apex_tests(*session, {key(MetadataType::ApexClass, "MyTest")}, token);
    ASSERT_TRUE(candidates);
    EXPECT_EQ(*candidates, (std::vector<domain::ApexTestCandidate>{{"MyTest", domain::TestCandidateOrigin::Session, true}}));
    EXPECT_EQ(ports.core->script.apex_class_listing.count(), 0U);
}

TEST(SideUseCases, ContainersDeployedByTheirOwnRowCannotBeChosen) {
    RecordingPorts ports;
    const auto service = full_service(ports);
    const auto permission_set = *metadata_types::metadata_type_by_wire_id("PermissionSet");
    const auto session = session_of({row(permission_set, "Sales")});
    domain::FlsContainerChoice sales{domain::FlsContainerKind::PermissionSet, "Sales", "Sales", {}, true, "earlier", true};
    domain::FlsContainerChoice lower = sales;
    lower.api_name = "sales";
    domain::FlsContainerChoice profile = sales;
    profile.kind = domain::FlsContainerKind::Profile;
    ports.core->script.container_matching.answer(std::vector<domain::FlsContainerChoice>{sales, lower, profile});
    testing::TestToken token;
    auto choices = service.match_fls_containers(*session, {key(permission_set, "Sales")}, token);
    ASSERT_TRUE(choices);
    ASSERT_EQ(choices->size(), 3U);
    EXPECT_FALSE((*choices)[0].selectable);
    EXPECT_EQ((*choices)[0].block_reason, "This container is deployed as metadata by its own comparison row.");
    EXPECT_EQ((*choices)[1], lower);
    EXPECT_EQ((*choices)[2], profile);
    const auto call = ports.core->script.container_matching.calls().at(0);
    EXPECT_EQ(std::get<0>(call), session->source());
    EXPECT_EQ(std::get<1>(call), session->target());
}

TEST(DeployingContainerPairs, PermissionSetsThenProfilesOfDeployableSelectedRows) {
    const auto permission_set = *metadata_types::metadata_type_by_wire_id("PermissionSet");
    const auto profile = *metadata_types::metadata_type_by_wire_id("Profile");
    ComponentDifference permissions_only = row(permission_set, "Scoped");
    permissions_only.deploy_scope = domain::MetadataDeployScope::PermissionsOnly;
    const auto session = session_of({row(permission_set, "Sales", ChangeKind::Update), row(permission_set, "Admin"),
                                     row(profile, "Admin", ChangeKind::Update),
                                     row(permission_set, "Old", ChangeKind::NoChange), permissions_only,
                                     row(permission_set, "Blocked", ChangeKind::Add, false),
                                     row(permission_set, "Unselected")});
    const app::SelectedKeys selected{key(permission_set, "Sales"),  key(permission_set, "Admin"),
                                     key(profile, "Admin"),          key(permission_set, "Old"),
                                     key(permission_set, "Scoped"), key(permission_set, "Blocked")};
    const std::set<app::ports::ContainerKey> expected{{domain::FlsContainerKind::PermissionSet, "Admin"},
                                                      {domain::FlsContainerKind::PermissionSet, "Sales"},
                                                      {domain::FlsContainerKind::Profile, "Admin"}};
    EXPECT_EQ(app::deploying_container_pairs(*session, selected), expected);
}

TEST(SideUseCases, ExternalKeysAreListedForBothOrgsThenDecided) {
    RecordingPorts ports;
    const auto service = full_service(ports);
    testing::TestToken token;
    cli::ExternalKeyListing listing;
    ports.schema->script.external_key_field_listing.answer(listing);
    ports.schema->script.external_key_field_listing.answer(listing);
    auto state = service.check_external_keys("s@x", "t@x", token);
    ASSERT_TRUE(state);
    EXPECT_EQ(*state, data::key_readiness::ExternalKeysState::Present);
    const auto calls = ports.schema->script.external_key_field_listing.calls();
    ASSERT_EQ(calls.size(), 2U);
    EXPECT_EQ(std::get<0>(calls[0]), "s@x");
    EXPECT_EQ(std::get<0>(calls[1]), "t@x");
    EXPECT_EQ(std::get<1>(calls[0]), data::registry::external_id_objects());
}

TEST(SideUseCases, ExternalKeysCancelledAfterTheSourceNeverListTheTarget) {
    RecordingPorts ports;
    const auto service = full_service(ports);
    testing::TestToken token;
    ports.schema->script.external_key_field_listing.answer_with(
        [&token](const std::string&, const std::set<std::string>&, const domain::CancellationToken&) {
            token.cancel();
            return app::ports::PortResult<cli::ExternalKeyListing>(cli::ExternalKeyListing{});
        });
    EXPECT_EQ(service.check_external_keys("s", "t", token).error(), WorkflowFailure::cancelled());
    EXPECT_EQ(ports.schema->script.external_key_field_listing.count(), 1U);
}

TEST(SideUseCases, TargetHealthSendsOnlySelectedChangedRecordBundles) {
    RecordingPorts ports;
    const auto service = full_service(ports);
    testing::TestToken token;
    const auto records = [](std::string name, ChangeKind change = ChangeKind::Add, bool deployable = true) {
        ComponentDifference bundle = row(MetadataType::ProductBundle, std::move(name), change, deployable,
                                         "<bundle/>");
        bundle.deploy_scope = domain::MetadataDeployScope::Records;
        return bundle;
    };
    ComponentDifference metadata_bundle = records("AsMetadata");
    metadata_bundle.deploy_scope = domain::MetadataDeployScope::Full;
    const auto session = session_of({records("Kit"), records("Same", ChangeKind::NoChange),
                                     records("Blocked", ChangeKind::Add, false), metadata_bundle,
                                     records("Unselected")});
    const app::SelectedKeys selected{key(MetadataType::ProductBundle, "Kit"), key(MetadataType::ProductBundle, "Same"),
                                     key(MetadataType::ProductBundle, "Blocked"),
                                     key(MetadataType::ProductBundle, "AsMetadata")};
    HealthReport report;
    report.dependents = 3;
    ports.bundle->script.target_health_planning.answer(report);
    auto checked = service.check_target_health(*session, selected, token);
    ASSERT_TRUE(checked);
    EXPECT_EQ(*checked, report);
    const auto request = std::get<0>(ports.bundle->script.target_health_planning.calls().at(0));
    EXPECT_EQ(request, (app::ports::RecordDeployRequest{"src@example.com", "tgt@example.com", "src", "tgt",
                                                        {{"Kit", "<bundle/>"}}, "66.0"}));

    // Nothing to send: an empty report, no port call, also against a git target.
    const auto git_session = session_of({records("Kit")}, git_endpoint("/repo", "main"));
    auto empty = service.check_target_health(*git_session, {}, token);
    ASSERT_TRUE(empty);
    EXPECT_EQ(*empty, HealthReport{});
    EXPECT_EQ(ports.bundle->script.target_health_planning.count(), 1U);
}

TEST(SideUseCases, TargetHealthFixDeletesOnlyTheDeletableLayers) {
    RecordingPorts ports;
    const auto service = full_service(ports);
    testing::TestToken token;
    const auto fixable = [](Layer layer, std::string id) {
        Finding finding;
        finding.layer = layer;
        finding.fixable = true;
        finding.delete_id = std::move(id);
        return finding;
    };
    HealthReport report;
    report.findings = {fixable(Layer::Product2, "01t1"), fixable(Layer::PricebookEntry, "01u1"),
                       fixable(Layer::ProductRelatedComponent, "0dS1"), fixable(Layer::PricebookEntry, "01u2")};
    const auto session = session_of({});
    data::bundles::transfer::FixOutcome outcome;
    outcome.deleted["PricebookEntry"] = 2;
    ports.bundle->script.target_record_deletion.answer(outcome);
    auto fixed = service.fix_target_health(*session, report, {0, 1, 2, 3, 9}, token);
    ASSERT_TRUE(fixed);
    EXPECT_EQ(*fixed, outcome);
    const auto request = std::get<0>(ports.bundle->script.target_record_deletion.calls().at(0));
    const app::ports::TargetFixRequest expected{
        "tgt@example.com", {{"ProductRelatedComponent", {"0dS1"}}, {"PricebookEntry", {"01u1", "01u2"}}}, "66.0"};
    EXPECT_EQ(request, expected);

    auto only_products = service.fix_target_health(*session, report, {0}, token);
    ASSERT_TRUE(only_products);
    EXPECT_EQ(*only_products, data::bundles::transfer::FixOutcome{});
    EXPECT_EQ(ports.bundle->script.target_record_deletion.count(), 1U);
}

TEST(QuickDeploy, TurnsTheAnswerIntoRowsAndNotes) {
    struct Case {
        const char* name;
        bool succeeded;
        app::ports::QuickDeployComponent component;
        std::vector<domain::ComponentDeploymentResult> results;
        std::vector<std::string> notes;
    };
    const std::string rolled_back = "Deployment failed; no components were deployed (transaction rolled back).";
    const std::vector<Case> cases{
        {"failed as a whole, component succeeded", false, {"ApexClass", "A", "fine", true, true},
         {{key(MetadataType::ApexClass, "A"), rolled_back, ChangeKind::Add, domain::ComponentDeploymentStatus::Failed}},
         {}},
        {"failed as a whole, component failed", false, {"ApexClass", "A", "bad\x01", false, false},
         {{key(MetadataType::ApexClass, "A"), "clean[bad\x01]", ChangeKind::Update,
           domain::ComponentDeploymentStatus::Failed}},
         {}},
        {"succeeded, component failed", true, {"ApexClass", "A", "bad", false, false},
         {{key(MetadataType::ApexClass, "A"), "clean[bad]", ChangeKind::Update, domain::ComponentDeploymentStatus::Failed}},
         {}},
        {"succeeded", true, {"CustomField", "Account.X__c", "ok", true, false},
         {{key(MetadataType::CustomField, "Account.X__c"), "clean[ok]", ChangeKind::Update,
           domain::ComponentDeploymentStatus::Succeeded}},
         {}},
        {"unknown type", true, {"NoSuchType", "Thing", "ok", true, true}, {},
         {"NoSuchType Thing [SUCCEEDED]: clean[ok]"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RecordingPorts ports;
        ports.core->script.diagnostic_sanitizer.answer_with(
            [](const std::string& text) { return text.empty() ? text : "clean[" + text + "]"; });
        ports.quick_deploy->script.quick_deployment.answer(app::ports::QuickDeployAnswer{{c.component}, c.succeeded});
        const auto service = full_service(ports);
        testing::TestToken token;
        auto summary = service.quick_deploy({"0Af1", "tgt", 1}, token);
        ASSERT_TRUE(summary);
        EXPECT_EQ(summary->component_results, c.results);
        EXPECT_TRUE(summary->detail_notes.leading_notes.empty());
        EXPECT_TRUE(summary->detail_notes.trailing_notes.empty());  // taken into the details
        EXPECT_TRUE(summary->fls_results.empty());
        EXPECT_FALSE(summary->quick_deploy);
        EXPECT_FALSE(summary->tests);
        EXPECT_TRUE(summary->quick_deploy_performed);
        EXPECT_TRUE(summary->package_completed);
        EXPECT_EQ(summary->deploy_mode, domain::DeployMode::AllOrNothing);
        if (!c.notes.empty()) {
            EXPECT_EQ(summary->details, "clean[" + c.notes[0] + "]");
        }
        const auto call = ports.quick_deploy->script.quick_deployment.calls().at(0);
        EXPECT_EQ(std::get<0>(call), "0Af1");
        EXPECT_EQ(std::get<1>(call), "tgt");
    }
}

TEST(QuickDeploy, AnAnswerWithoutComponentsGivesAnEmptySummary) {
    RecordingPorts ports;
    ports.quick_deploy->script.quick_deployment.answer(app::ports::QuickDeployAnswer{{}, true});
    testing::TestToken token;
    auto summary = full_service(ports).quick_deploy({"0Af1", "tgt", 0}, token);
    ASSERT_TRUE(summary);
    EXPECT_TRUE(summary->component_results.empty());
    EXPECT_TRUE(summary->details.empty());
}

TEST(QuickDeploy, LongMessagesAreCutAfterSanitizing) {
    RecordingPorts ports;
    const std::string long_message(app::kDiagnosticCharacterLimit + 10, 'x');
    ports.core->script.diagnostic_sanitizer.answer_with([](const std::string& text) { return "é" + text; });
    ports.quick_deploy->script.quick_deployment.answer(
        app::ports::QuickDeployAnswer{{{"ApexClass", "A", long_message, false, false}}, true});
    testing::TestToken token;
    auto summary = full_service(ports).quick_deploy({"0Af1", "tgt", 1}, token);
    ASSERT_TRUE(summary);
    const std::string& message = summary->component_results.at(0).message;
    EXPECT_EQ(message.substr(0, 2), "é");
    EXPECT_EQ(message.size(), app::kDiagnosticCharacterLimit + 1);  // é is two bytes, one character
}

TEST(QuickDeploy, FailuresOfThePortArePassedOn) {
    RecordingPorts ports;
    const auto failure = WorkflowFailure::operation("job expired");
    ports.quick_deploy->script.quick_deployment.answer(std::unexpected(failure));
    testing::TestToken token;
    EXPECT_EQ(full_service(ports).quick_deploy({"0Af1", "tgt", 1}, token).error(), failure);
    RecordingPorts bare;
    const auto without = QuillaryApplicationService::with_git_and_layouts(
        bare.core, bare.git, bare.target_layout_reading, bare.permission_set_name_listing, bare.schema, bare.bundle);
    EXPECT_EQ(without.quick_deploy({"0Af1", "tgt", 1}, token).error(),
              WorkflowFailure::single(FailureKind::Validation, "Quick Deploy is not available in this configuration."));
}

}  // namespace
}  // namespace ambrel::app_tests
