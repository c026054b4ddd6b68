#include <gtest/gtest.h>

#include <string>

#include "app/deploy_use_case.hpp"
#include "deploy_fixture.hpp"

namespace ambrel::deploy_tests {
namespace {

using Summary = deployment::DeploymentSummary;

testing::RecordingDeployAdaptation::Model model_with_definition() {
    data::bundles::document::ModelDocument model;
    model.definition = "<definition/>";
    return model;
}

// A group pass that fails every group row with `message` and takes it out of the package.
std::function<app::ports::PortResult<app::PermissionSetGroupFiltering>(std::vector<ComponentDifference>&)> failing_groups(
    std::string message) {
    return [message](std::vector<ComponentDifference>& rows) {
        app::PermissionSetGroupFiltering record;
        std::erase_if(rows, [&](const ComponentDifference& r) {
            if (r.key().metadata_type != wire("PermissionSetGroup")) return false;
            record.failed.push_back({r.key(), message, r.change, ComponentDeploymentStatus::Failed});
            return true;
        });
        return app::ports::PortResult<app::PermissionSetGroupFiltering>(record);
    };
}

app::ports::PortResult<std::vector<deployment::RecordRowOutcome>> outcomes(
    std::vector<deployment::RecordRowOutcome> values) {
    return values;
}

TEST(DeployModeRules, RefuseBeforeAnyPortCall) {
    auto bundle = row(MetadataType::ProductBundle, "Bike", ChangeKind::Add, MetadataDeployScope::Records);
    auto field = row(MetadataType::CustomField, "Account.Rating__c");
    struct Case {
        std::string name;
        SessionSpec spec;
        app::SelectedKeys selected;
        DeployMode mode;
        std::optional<std::string> refusal;
    };
    const app::SelectedKeys both{bundle.key(), field.key()};
    std::vector<Case> cases;
    cases.push_back({"production best effort", {.rows = {field}, .target_class = app::TargetOrgClass::Production}, both,
                     DeployMode::BestEffort, std::string(app::kProductionBestEffortRefusal)});
    cases.push_back({"production allowed",
                     {.rows = {field}, .target_class = app::TargetOrgClass::Production, .allow_best_effort_on_production = true},
                     both, DeployMode::BestEffort, std::nullopt});
    cases.push_back({"unconfirmed class", {.rows = {field}, .target_class = app::TargetOrgClass::Unconfirmed}, both,
                     DeployMode::BestEffort, std::nullopt});
    cases.push_back({"records in validate", {.rows = {bundle, field}}, both, DeployMode::ValidateOnly,
                     std::string(app::kRecordsNeedBestEffort)});
    cases.push_back({"records unselected", {.rows = {bundle, field}}, {field.key()}, DeployMode::AllOrNothing, std::nullopt});
    cases.push_back({"validate to git", {.rows = {field}, .target = repository("/repos/app", "main")}, both,
                     DeployMode::ValidateOnly, std::string(app::kGitValidateRefusal)});
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        DeployFixture fixture;
        fixture.ports.git->script.git_commit.answer_with(
            [](const endpoint::DeployEndpoint&, const std::vector<ComponentDifference>& rows,
               const app::ports::ContainerDocuments&, const std::string&, const domain::CancellationToken&) {
                deployment::git_deploy::GitDeploySummary summary{"abc123", {}};
                for (const auto& r : rows)
                    summary.results.push_back({r.key(), "", r.change, ComponentDeploymentStatus::Succeeded});
                return app::ports::PortResult<deployment::git_deploy::GitDeploySummary>(summary);
            });
        bool closed = false;
        c.spec.closer = [&closed]() -> std::expected<void, WorkflowFailure> {
            closed = true;
            return {};
        };
        auto session = session_of(std::move(c.spec));
        auto result = fixture.service().deploy(*session, c.selected, FlsMode::None, std::nullopt, c.mode, std::nullopt,
                                               fixture.never);
        EXPECT_TRUE(closed);
        if (c.refusal) {
            ASSERT_FALSE(result);
            EXPECT_EQ(result.error(), WorkflowFailure::single(FailureKind::Validation, *c.refusal));
            EXPECT_EQ(fixture.ports.core->script.org_alias_listing.count(), 0u);
            EXPECT_TRUE(fixture.adaptation->log().empty());
        } else {
            EXPECT_TRUE(result.has_value()) << (result ? "" : result.error().detail_text());
        }
    }
}

TEST(DeployObjectPrerequisites, NewObjectsMustBeSelectedWithTheirFields) {
    auto created = row(MetadataType::CustomObject, "Zeta__c", ChangeKind::Add);
    auto second = row(MetadataType::CustomMetadataType, "Alpha__mdt", ChangeKind::Add);
    auto existing = row(MetadataType::CustomObject, "Beta__c", ChangeKind::Update);
    auto zeta_field = row(MetadataType::CustomField, "Zeta__c.Size__c", ChangeKind::Add);
    auto alpha_field = row(MetadataType::CustomField, "Alpha__mdt.Size__c", ChangeKind::Add);
    auto beta_field = row(MetadataType::CustomField, "Beta__c.Size__c", ChangeKind::Add);
    auto lonely_field = row(MetadataType::CustomField, "Gamma__c.Size__c", ChangeKind::Add);
    auto session = session_of({.rows = {created, second, existing, zeta_field, alpha_field, beta_field, lonely_field}});

    auto refused = app::validate_object_prerequisites(*session, {zeta_field.key(), alpha_field.key(), beta_field.key(),
                                                                 lonely_field.key()});
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error(),
              WorkflowFailure::single(FailureKind::Validation,
                                      "Missing target object 'Alpha__mdt': select its object row or deselect its fields. "
                                      "Missing target object 'Zeta__c': select its object row or deselect its fields."));
    EXPECT_TRUE(app::validate_object_prerequisites(
                    *session, {zeta_field.key(), created.key(), alpha_field.key(), second.key(), beta_field.key()})
                    .has_value());
}

// Every step of a Best Effort deploy with bundle, model and metadata rows, in order.
TEST(DeployUseCase, BestEffortRunsEveryStepInOrder) {
    DeployFixture fixture;
    const auto group = wire("PermissionSetGroup");
    auto field = row(MetadataType::CustomField, "Account.Rating__c", ChangeKind::Add);
    auto psg = row(group, "Ops");
    auto bundle = row(MetadataType::ProductBundle, "Bike", ChangeKind::Add, MetadataDeployScope::Records, "<bike/>");
    auto model = row(MetadataType::ConstraintModel, "Pricing", ChangeKind::Add, MetadataDeployScope::Records, "<model/>");
    auto unchanged = row(MetadataType::CustomObject, "Account", ChangeKind::NoChange);
    bool closed = false;
    auto session = session_of({.rows = {field, psg, bundle, model, unchanged},
                               .closer = [&closed]() -> std::expected<void, WorkflowFailure> {
                                   closed = true;
                                   return {};
                               }});

    fixture.adaptation->on_permission_set_groups = [&](std::vector<ComponentDifference>&) {
        app::PermissionSetGroupFiltering record;
        record.notes[psg.key()] = "Group trimmed.";
        record.target_names = {"Base"};
        record.allowed_names = {"Base"};
        return app::ports::PortResult<app::PermissionSetGroupFiltering>(record);
    };
    fixture.adaptation->on_parse_model_document = [](std::string_view) { return model_with_definition(); };
    fixture.adaptation->on_plan_package_versions = [](std::string_view document, const std::set<std::string>&) {
        return testing::RecordingDeployAdaptation::Planned(
            metadata::expression_set_definition_versions::PlannedVersions{std::string(document), {"V2"}, {"V1"}, 0});
    };
    fixture.ports.procedure_versions->script.expression_set_version_listing.answer(
        std::vector<app::ports::ExpressionSetVersionRecord>{{"0id1", "V1", true}, {"0id2", "V2", false}});
    fixture.ports.bundle->script.product_bundle_transfer.answer(outcomes({{"Bike", "Bike transferred.", true}}));
    fixture.ports.bundle->script.constraint_model_transfer.answer(
        std::vector<deployment::ModelRowOutcome>{{"Pricing", "Model transferred.", true}});
    fixture.adaptation->redeployed = 3;

    const app::SelectedKeys selected{field.key(), psg.key(), bundle.key(), model.key(), unchanged.key()};
    auto result = fixture.service().deploy(*session, selected, FlsMode::None, std::nullopt, DeployMode::BestEffort,
                                           std::nullopt, fixture.never);
    ASSERT_TRUE(result) << result.error().detail_text();
    EXPECT_TRUE(closed);

    const std::vector<std::string> expected_log{
        "filter_permission_set_groups",
        "filter_context_release_versions",
        "filter_context_definitions",
        "filter_permission_sets",
        "filter_profiles",
        "filter_expression_set_version_status",
        "filter_expression_set_definitions",
        "parse_model_document",
        "plan_package_versions",
        "retry_rejected_permission_sets",
        "retry_rejected_profiles",
        "retry_rejected_permission_set_groups",
        "retry_rejected_context_definitions",
        "retry_unexpected_errors",
        "retry_unexpected_errors_isolated:3",
    };
    EXPECT_EQ(fixture.adaptation->log(), expected_log);
    EXPECT_EQ(fixture.adaptation->group_retry_names, (std::set<std::string>{"Base"}));

    // Unchanged rows stay out of the package when no permissions travel.
    auto package = fixture.ports.core->script.single_package_deployment.calls();
    ASSERT_EQ(package.size(), 1u);
    const auto& package_rows = std::get<0>(package[0]);
    ASSERT_EQ(package_rows.size(), 3u);
    EXPECT_EQ(package_rows[0].key(), field.key());
    EXPECT_EQ(package_rows[1].key(), psg.key());
    EXPECT_EQ(package_rows[2].key(), (ComponentKey{wire("ExpressionSetDefinition"), "Pricing"}));
    EXPECT_EQ(std::get<7>(package[0]), "tgt@example.com");

    const auto& results = result->component_results;
    ASSERT_EQ(results.size(), 4u);
    EXPECT_EQ(results[0], (ComponentDeploymentResult{bundle.key(), "Bike transferred.", ChangeKind::Add,
                                                     ComponentDeploymentStatus::Succeeded}));
    EXPECT_EQ(results[1].key, field.key());
    EXPECT_EQ(results[2].message, "deployed Group trimmed.");
    EXPECT_EQ(results[3], (ComponentDeploymentResult{
                              model.key(),
                              "1 version travels Inactive; 1 active in the target was left out of the package: V1. "
                              "Definition Pricing deployed. Model transferred.",
                              ChangeKind::Add, ComponentDeploymentStatus::Succeeded}));
    // The first snapshot is taken before the permission set notes, the second after the group's.
    const auto snapshots = fixture.adaptation->snapshots;
    ASSERT_EQ(snapshots.size(), 4u);
    EXPECT_EQ(snapshots[0].at(psg.key()), "deployed");
    EXPECT_EQ(snapshots[2].at(psg.key()), "deployed Group trimmed.");
    EXPECT_NE(result->details.find(" Bike [SUCCEEDED]: Bike transferred.\n"), std::string::npos);

    const auto bundle_requests = fixture.ports.bundle->script.product_bundle_transfer.calls();
    ASSERT_EQ(bundle_requests.size(), 1u);
    EXPECT_EQ(std::get<0>(bundle_requests[0]),
              (app::ports::RecordDeployRequest{"src@example.com", "tgt@example.com", "src", "tgt",
                                               {{"Bike", "<bike/>"}}, "65.0"}));
    const auto listings = fixture.ports.procedure_versions->script.expression_set_version_listing.calls();
    ASSERT_EQ(listings.size(), 1u);
    EXPECT_EQ(std::get<0>(listings[0]), "tgt");
}

TEST(DeployUseCase, ValidateOnlyEndsOnTheFirstBlockingPassFailure) {
    DeployFixture fixture;
    const auto group = wire("PermissionSetGroup");
    auto psg = row(group, "Ops");
    auto session = session_of({.rows = {psg}});
    fixture.adaptation->on_permission_set_groups =
        failing_groups("The target's Permission Sets could not be listed: listing broke");
    auto result = fixture.service().deploy(*session, {psg.key()}, FlsMode::None, std::nullopt, DeployMode::ValidateOnly,
                                           std::nullopt, fixture.never);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error(),
              WorkflowFailure::operation(
                  "The package was not deployed: The target's Permission Sets could not be listed: listing broke"));
    EXPECT_EQ(fixture.ports.core->script.single_package_deployment.count(), 0u);

    // In Best Effort the group fails alone and the rest deploys.
    DeployFixture best;
    best.adaptation->on_permission_set_groups =
        failing_groups("The target's Permission Sets could not be listed: listing broke");
    auto field = row(MetadataType::CustomField, "Account.Rating__c");
    auto second = session_of({.rows = {psg, field}});
    auto deployed = best.service().deploy(*second, {psg.key(), field.key()}, FlsMode::None, std::nullopt,
                                          DeployMode::BestEffort, std::nullopt, best.never);
    ASSERT_TRUE(deployed);
    ASSERT_EQ(deployed->component_results.size(), 2u);
    EXPECT_EQ(deployed->component_results[0].key, field.key());
    EXPECT_EQ(deployed->component_results[1],
              (ComponentDeploymentResult{psg.key(), "The target's Permission Sets could not be listed: listing broke",
                                         ChangeKind::Update, ComponentDeploymentStatus::Failed}));
}

TEST(DeployUseCase, PermissionSetsAndProfilesAreTrimmedOnlyInBestEffort) {
    const auto set = wire("PermissionSet");
    auto sales = row(set, "Sales");
    const std::vector<std::string> all_passes{
        "filter_permission_set_groups", "filter_context_release_versions",      "filter_context_definitions",
        "filter_permission_sets",       "filter_profiles",                      "filter_expression_set_version_status",
        "filter_expression_set_definitions"};
    for (DeployMode mode : {DeployMode::BestEffort, DeployMode::ValidateOnly, DeployMode::AllOrNothing}) {
        SCOPED_TRACE(std::string(domain::wire_id(mode)));
        DeployFixture fixture;
        auto session = session_of({.rows = {sales}});
        auto result = fixture.service().deploy(*session, {sales.key()}, FlsMode::None, std::nullopt, mode, std::nullopt,
                                               fixture.never);
        ASSERT_TRUE(result) << result.error().detail_text();
        auto log = fixture.adaptation->log();
        std::erase_if(log, [](const std::string& call) { return !call.starts_with("filter_"); });
        auto expected = all_passes;
        if (mode != DeployMode::BestEffort)
            std::erase_if(expected, [](const std::string& call) {
                return call == "filter_permission_sets" || call == "filter_profiles";
            });
        EXPECT_EQ(log, expected);
    }
}

TEST(DeployUseCase, ProductBundleRowsClaimNamesAndReportTheTransfer) {
    auto first = row(MetadataType::ProductBundle, "Bike", ChangeKind::Add, MetadataDeployScope::Records, "<one/>");
    auto silent = row(MetadataType::ProductBundle, "Helmet", ChangeKind::Update, MetadataDeployScope::Records, "<h/>");
    auto field = row(MetadataType::CustomField, "Account.Rating__c");
    struct Case {
        std::string name;
        app::ports::PortResult<std::vector<deployment::RecordRowOutcome>> answer;
        std::vector<ComponentDeploymentResult> expected;
        bool package_runs;
    };
    const std::vector<Case> cases{
        {"answered",
         outcomes({{"Bike", "no", false}, {"Bike", "yes", true}}),
         {{first.key(), "clean(yes)", ChangeKind::Add, ComponentDeploymentStatus::Succeeded},
          {silent.key(), "The record transfer did not report this bundle.", ChangeKind::Update,
           ComponentDeploymentStatus::NotAttempted}},
         true},
        {"failed",
         std::unexpected(WorkflowFailure::operation("transfer broke")),
         {{first.key(), "clean(transfer broke)", ChangeKind::Add, ComponentDeploymentStatus::Failed},
          {silent.key(), "clean(transfer broke)", ChangeKind::Update, ComponentDeploymentStatus::Failed}},
         true},
        {"cancelled", std::unexpected(WorkflowFailure::single(FailureKind::Cancelled, "stopped")), {}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        DeployFixture fixture;
        // The transfer's texts reach the rows only through the sanitiser.
        fixture.ports.core->script.diagnostic_sanitizer.answer_with(
            [](const std::string& text) { return "clean(" + text + ")"; });
        fixture.ports.bundle->script.product_bundle_transfer.answer(c.answer);
        auto session = session_of({.rows = {first, silent, field}});
        auto result = fixture.service().deploy(*session, {first.key(), silent.key(), field.key()}, FlsMode::None,
                                               std::nullopt, DeployMode::BestEffort, std::nullopt, fixture.never);
        EXPECT_EQ(fixture.ports.core->script.single_package_deployment.count(), c.package_runs ? 1u : 0u);
        if (!c.package_runs) {
            ASSERT_FALSE(result);
            EXPECT_EQ(result.error().kind, FailureKind::Cancelled);
            continue;
        }
        ASSERT_TRUE(result);
        ASSERT_EQ(result->component_results.size(), 3u);
        EXPECT_EQ(result->component_results[0], c.expected[0]);
        EXPECT_EQ(result->component_results[1], c.expected[1]);
        EXPECT_EQ(result->component_results[2].key, field.key());
    }
}

TEST(DeployUseCase, APackageFailureListsTheRecordsWrittenBeforeIt) {
    DeployFixture fixture;
    auto bundle = row(MetadataType::ProductBundle, "Bike", ChangeKind::Add, MetadataDeployScope::Records, "<one/>");
    auto field = row(MetadataType::CustomField, "Account.Rating__c");
    fixture.ports.bundle->script.product_bundle_transfer.answer(outcomes({{"Bike", "Bike written.", true}}));
    fixture.ports.core->script.single_package_deployment.answer(std::unexpected(WorkflowFailure::operation("package broke")));
    bool closed = false;
    auto session = session_of({.rows = {bundle, field},
                               .closer = [&closed]() -> std::expected<void, WorkflowFailure> {
                                   closed = true;
                                   return std::unexpected(WorkflowFailure::operation("cannot remove"));
                               }});
    auto result = fixture.service().deploy(*session, {bundle.key(), field.key()}, FlsMode::None, std::nullopt,
                                           DeployMode::BestEffort, std::nullopt, fixture.never);
    ASSERT_FALSE(result);
    EXPECT_TRUE(closed);
    EXPECT_EQ(result.error().messages,
              (std::vector<std::string>{"package broke",
                                        "Product bundle rows processed before the package failed:\nBike: Succeeded — Bike written.",
                                        "cannot remove"}));
}

TEST(DeployUseCase, AFailingCloseAfterTheDeployKeepsTheSummary) {
    DeployFixture fixture;
    auto field = row(MetadataType::CustomField, "Account.Rating__c");
    auto session = session_of({.rows = {field}, .closer = []() -> std::expected<void, WorkflowFailure> {
                                   return std::unexpected(WorkflowFailure::operation("folder busy"));
                               }});
    auto result = fixture.service().deploy(*session, {field.key()}, FlsMode::None, std::nullopt, DeployMode::BestEffort,
                                           std::nullopt, fixture.never);
    ASSERT_TRUE(result);
    EXPECT_EQ(result->details,
              "Custom Field Account.Rating__c [SUCCEEDED]: deployed\n"
              "The comparison's temporary files could not be removed: folder busy");
}

// A cancel that comes once the package went to the org ends the deploy on the package's results: the
// summary comes back and no retry may send anything after it.
TEST(DeployUseCase, ACancelAfterThePackageKeepsItsResultsAndStopsTheRetries) {
    for (const bool cancel : {false, true}) {
        SCOPED_TRACE(cancel ? "cancelled during the package" : "not cancelled");
        DeployFixture fixture;
        auto field = row(MetadataType::CustomField, "Account.Rating__c");
        ambrel::testing::TestToken token;
        fixture.ports.core->script.single_package_deployment.answer_with(
            [&](const std::vector<ComponentDifference>& rows, auto&&...) {
                if (cancel) token.cancel();
                return app::ports::PortResult<deployment::single_package::SinglePackageSummary>(succeeded_package(rows));
            });
        std::vector<bool> retry_gates;
        fixture.adaptation->on_retry = [&](deployment::DeploymentSummary& summary) {
            retry_gates.push_back(summary.package_completed);
        };
        auto session = session_of({.rows = {field}});
        auto result = fixture.service().deploy(*session, {field.key()}, FlsMode::None, std::nullopt,
                                               DeployMode::BestEffort, std::nullopt, token);
        ASSERT_TRUE(result) << result.error().detail_text();
        ASSERT_EQ(result->component_results.size(), 1u);
        EXPECT_EQ(result->component_results[0].status, ComponentDeploymentStatus::Succeeded);
        ASSERT_FALSE(retry_gates.empty());
        for (const bool gate : retry_gates) EXPECT_EQ(gate, !cancel);
    }
}

TEST(DeployUseCase, ExpansionFailureAndCloseFailureKeepBothMessages) {
    DeployFixture fixture;
    auto model = row(MetadataType::ConstraintModel, "Pricing", ChangeKind::Add, MetadataDeployScope::Records, "<m/>");
    fixture.adaptation->on_parse_model_document = [](std::string_view) { return model_with_definition(); };
    fixture.ports.procedure_versions->script.expression_set_version_listing.answer(
        std::unexpected(WorkflowFailure::cancelled()));
    auto session = session_of({.rows = {model}, .closer = []() -> std::expected<void, WorkflowFailure> {
                                   return std::unexpected(WorkflowFailure::operation("folder busy"));
                               }});
    auto result = fixture.service().deploy(*session, {model.key()}, FlsMode::None, std::nullopt, DeployMode::BestEffort,
                                           std::nullopt, fixture.never);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().kind, FailureKind::Cancelled);
    EXPECT_EQ(result.error().messages, (std::vector<std::string>{"Salesforce field workflow was cancelled", "folder busy"}));
}

TEST(DeployUseCase, UnchangedRowsTravelOnlyWithPermissionsAndContainersSkipDeployedOnes) {
    DeployFixture fixture;
    const auto set = wire("PermissionSet");
    auto unchanged = row(MetadataType::CustomObject, "Order__c", ChangeKind::NoChange);
    auto sales = row(set, "Sales");
    fixture.ports.core->script.fls_synchronization.answer(std::vector<domain::FlsResult>{});
    auto session = session_of({.rows = {unchanged, sales}});
    const app::ports::ContainerSelection confirmed = std::set<app::ports::ContainerKey>{
        {domain::FlsContainerKind::PermissionSet, "Sales"}, {domain::FlsContainerKind::Profile, "Admin"}};
    auto result = fixture.service().deploy(*session, {unchanged.key(), sales.key()}, FlsMode::Additive, confirmed,
                                           DeployMode::BestEffort, std::nullopt, fixture.never);
    ASSERT_TRUE(result) << result.error().detail_text();
    const auto package = fixture.ports.core->script.single_package_deployment.calls();
    ASSERT_EQ(package.size(), 1u);
    ASSERT_EQ(std::get<0>(package[0]).size(), 1u);
    EXPECT_EQ(std::get<0>(package[0])[0].key(), sales.key());
    const auto transfer = fixture.ports.core->script.fls_synchronization.calls();
    ASSERT_EQ(transfer.size(), 1u);
    EXPECT_EQ(std::get<4>(transfer[0]), (app::ports::ContainerSelection{std::set<app::ports::ContainerKey>{
                                             {domain::FlsContainerKind::Profile, "Admin"}}}));
    EXPECT_EQ(std::get<2>(transfer[0]).subjects,
              (std::set<domain::PermissionSubject>{domain::PermissionSubject{domain::PermissionSubject::Object{"Order__c"}}}));
}

}  // namespace
}  // namespace ambrel::deploy_tests
