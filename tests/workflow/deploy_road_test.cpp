#include <map>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "deploy_fixtures.hpp"
#include "workflow/deploy_road.hpp"

namespace ambrel::workflow {
namespace {

using namespace testing;
using data::bundles::transfer::FixOutcome;
using data::bundles::transfer::HealthReport;

TEST(DeployRoadRules, TargetHealthDetails) {
    struct Case {
        std::string name;
        TargetHealthDecision decision;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"two objects, no refusals", FixAndDeploy{{}, {{"Account", 2}, {"Product2", 1}}, {}},
         "Target fix: Account: 2 deleted, Product2: 1 deleted."},
        {"two refusal lines", FixAndDeploy{{"A: no", "B: locked"}, {{"Account", 2}, {"Product2", 1}}, {}},
         "Target fix: Account: 2 deleted, Product2: 1 deleted, 2 refused (A: no; B: locked)."},
        {"nothing deleted", FixAndDeploy{}, "Target fix: nothing deleted."},
        {"without fixing", DeployWithoutFixing{std::nullopt, 3},
         "Target health check: deployed without fixing 3 findings."},
        {"without fixing after a fix", DeployWithoutFixing{std::vector<std::string>{"Target fix: nothing deleted."}, 2},
         "Target fix: nothing deleted.\nTarget health check: deployed without fixing 2 findings."},
        {"empty earlier details", DeployWithoutFixing{std::vector<std::string>{}, 1},
         "Target health check: deployed without fixing 1 findings."},
        {"after recheck", DeployAfterRecheck{}, "Target health check: no findings remained after the re-check."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(target_health_details(c.decision), c.expected);
    }
}

TEST(DeployRoadRules, DecisionAfterDeploy) {
    const FixAndDeploy fixed{{"A: no"}, {{"Account", 1}}, {}};
    struct Case {
        std::string name;
        std::optional<TargetHealthDecision> current;
        std::uint64_t findings;
        TargetHealthDecision expected;
    };
    const std::vector<Case> cases = {
        {"none, clean", std::nullopt, 0, DeployAfterRecheck{}},
        {"none, findings", std::nullopt, 4, DeployWithoutFixing{std::nullopt, 4}},
        {"fixed, clean keeps the fix", fixed, 0, fixed},
        {"fixed, findings left", fixed, 2,
         DeployWithoutFixing{std::vector<std::string>{"Target fix: Account: 1 deleted, 1 refused (A: no)."}, 2}},
        {"without fixing, clean", DeployWithoutFixing{std::nullopt, 3}, 0, DeployAfterRecheck{}},
        {"after recheck, findings", DeployAfterRecheck{}, 1, DeployWithoutFixing{std::nullopt, 1}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(decision_after_deploy(c.current, c.findings), c.expected);
    }
    EXPECT_EQ(scenario_label(fixed), "fixAndDeploy");
    EXPECT_EQ(scenario_label(DeployWithoutFixing{}), "deployWithoutFixing");
    EXPECT_EQ(scenario_label(DeployAfterRecheck{}), "deployAfterRecheck");
}

TEST(DeployRoadRules, DeletedBeforeRecheckMessage) {
    EXPECT_EQ(deleted_before_recheck_message(0), std::nullopt);
    EXPECT_EQ(deleted_before_recheck_message(3), "3 records were deleted in the target before the check failed.");
}

TEST(DeployRoadRules, CandidatesCoverIgnoringCase) {
    const std::vector<domain::ApexTestCandidate> offered = {{"MyTest", domain::TestCandidateOrigin::Session, true},
                                                            {"OtherTest", domain::TestCandidateOrigin::Target, false}};
    struct Case {
        std::vector<std::string> names;
        bool expected;
    };
    const std::vector<Case> cases = {
        {{}, true}, {{"MYTEST"}, true}, {{"mytest", "OtherTest", "mytest"}, true}, {{"MyTest", "Unknown"}, false},
        {{"MyTes"}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.names));
        EXPECT_EQ(candidates_cover(offered, c.names), c.expected);
    }
}

TEST(DeployRoadRules, WhenTheTestScreenOpens) {
    const auto apex = key(MetadataType::ApexClass, "Svc");
    const auto flow = key(MetadataType::Flow, "Go");
    const auto field = key(MetadataType::CustomField, "Account.X__c");
    const auto record = key(MetadataType::DataRecord(0), "Rec");
    struct Case {
        std::string name;
        SessionSpec spec;
        app::SelectedKeys selected;
        bool expected;
    };
    const std::vector<Case> cases = {
        {"changed apex class", {{row(MetadataType::ApexClass, "Svc")}}, {apex}, true},
        {"new flow", {{row(MetadataType::Flow, "Go", ChangeKind::Add)}}, {flow}, true},
        {"git target", {{row(MetadataType::ApexClass, "Svc")}, true}, {apex}, false},
        {"unchanged apex", {{row(MetadataType::ApexClass, "Svc", ChangeKind::NoChange)}}, {apex}, false},
        {"not deployable",
         {{row(MetadataType::ApexClass, "Svc", ChangeKind::Update, MetadataDeployScope::Full, false)}},
         {apex},
         false},
        {"permissions only",
         {{row(MetadataType::ApexClass, "Svc", ChangeKind::Update, MetadataDeployScope::PermissionsOnly)}},
         {apex},
         false},
        {"apex not selected", {{row(MetadataType::ApexClass, "Svc"), row(MetadataType::CustomField, "Account.X__c")}},
         {field},
         false},
        {"a record-data key among the selection",
         {{row(MetadataType::CustomField, "Account.X__c")}},
         {field, record},
         false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RowSession probe(c.spec);
        EXPECT_EQ(opens_test_screen(*probe.session, c.selected), c.expected);
    }
}

TEST(DeployRoadRules, DeployableSelection) {
    const auto field = key(MetadataType::CustomField, "Account.X__c");
    const auto same = key(MetadataType::CustomField, "Account.Same__c");
    const auto perms = key(MetadataType::ApexClass, "PermsOnly");
    const auto missing = key(MetadataType::ApexClass, "NotInSession");
    RowSession probe({{row(MetadataType::CustomField, "Account.X__c"),
                       row(MetadataType::CustomField, "Account.Same__c", ChangeKind::NoChange),
                       row(MetadataType::ApexClass, "PermsOnly", ChangeKind::Update, MetadataDeployScope::PermissionsOnly)}});
    const app::SelectedKeys requested = {field, same, perms, missing};
    EXPECT_EQ(deployable_selection(*probe.session, requested, domain::FlsMode::None), (app::SelectedKeys{field}));
    EXPECT_EQ(deployable_selection(*probe.session, requested, domain::FlsMode::Additive), (app::SelectedKeys{field, same}));
    EXPECT_EQ(deployable_selection(*probe.session, requested, domain::FlsMode::All), (app::SelectedKeys{field, same}));
}

TEST(DeployRoadRules, HealthCheckTrigger) {
    const auto bundle = key(MetadataType::ProductBundle, "Bundle");
    struct Case {
        std::string name;
        domain::ComponentDifference bundle_row;
        app::SelectedKeys selected;
        bool expected;
    };
    const std::vector<Case> cases = {
        {"changed record row", row(MetadataType::ProductBundle, "Bundle", ChangeKind::Update, MetadataDeployScope::Records),
         {bundle}, true},
        {"unchanged", row(MetadataType::ProductBundle, "Bundle", ChangeKind::NoChange, MetadataDeployScope::Records),
         {bundle}, false},
        {"not deployable",
         row(MetadataType::ProductBundle, "Bundle", ChangeKind::Add, MetadataDeployScope::Records, false), {bundle}, false},
        {"not selected", row(MetadataType::ProductBundle, "Bundle", ChangeKind::Add, MetadataDeployScope::Records), {},
         false},
        {"metadata scope", row(MetadataType::ProductBundle, "Bundle", ChangeKind::Add, MetadataDeployScope::Full),
         {bundle}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RowSession probe({{c.bundle_row}});
        EXPECT_EQ(needs_target_health_check(*probe.session, c.selected), c.expected);
    }
}

TEST(DeployRoadRules, RefusalLinesAndFixChoices) {
    HealthReport report;
    report.findings = {finding(false, "Unfixable one"), finding(true, "Bundle A", "a0A1"), finding(true, "Bundle B", "a0A1")};
    FixOutcome outcome;
    outcome.refused = {{"a0A1", "locked row"}, {"zzz", "gone"}};
    const auto lines = refusal_lines(report, outcome, [](const std::string& text) { return "[" + text + "]"; });
    EXPECT_EQ(lines, (std::vector<std::string>{"Bundle A: [locked row]", "a record of this fix: [gone]"}));

    struct Case {
        std::set<std::size_t> chosen;
        bool expected;
    };
    const std::vector<Case> cases = {{{}, false}, {{1, 2}, true}, {{0}, false}, {{1, 3}, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.chosen));
        EXPECT_EQ(valid_fix_choice(report, c.chosen), c.expected);
    }
}

TEST(DeployRoadRules, DeployOutcomeRecord) {
    deployment::DeploymentSummary summary;
    for (int i = 0; i < 60; ++i) {
        summary.component_results.push_back(domain::ComponentDeploymentResult{
            key(MetadataType::ApexClass, "C" + std::to_string(i)), "boom", ChangeKind::Update,
            domain::ComponentDeploymentStatus::Failed});
    }
    summary.component_results.push_back(domain::ComponentDeploymentResult{
        key(MetadataType::ApexClass, "Fine"), "", ChangeKind::Add, domain::ComponentDeploymentStatus::Succeeded});
    summary.component_results.push_back(domain::ComponentDeploymentResult{
        key(MetadataType::Generic(0), "Admin"),
        "Deployed. Retry of this Profile without the reference(s) the target named: X.", ChangeKind::Update,
        domain::ComponentDeploymentStatus::Succeeded});
    // A row of a record-data type has no descriptor; its type is written by its object name.
    summary.component_results.push_back(domain::ComponentDeploymentResult{
        key(MetadataType::DataRecord(0), "Rec"), "skipped", ChangeKind::Add,
        domain::ComponentDeploymentStatus::NotAttempted});
    domain::FlsResult skipped{.container = "Admin",
                              .container_label = "Admin",
                              .subject = domain::PermissionSubject{domain::PermissionSubject::ApexClass{"Svc"}},
                              .message = "no access",
                              .container_kind = domain::FlsContainerKind::Profile,
                              .status = domain::FlsResultStatus::Skipped,
                              .grant = domain::PermissionGrant{domain::PermissionGrant::Enabled{true}}};
    domain::FlsResult updated = skipped;
    updated.status = domain::FlsResultStatus::Updated;
    summary.fls_results = {skipped, updated};
    summary.deploy_mode = domain::DeployMode::ValidateOnly;
    summary.tests = std::pair<std::uint32_t, std::uint32_t>{4, 1};

    const auto record = deploy_outcome_record(summary);
    EXPECT_EQ(record.deploy_mode, "ValidateOnly");
    EXPECT_EQ(record.total, 63U);
    EXPECT_EQ(record.succeeded, 2U);
    EXPECT_EQ(record.failed, 60U);
    EXPECT_EQ(record.not_attempted, 1U);
    ASSERT_EQ(record.failed_components.size(), 61U);
    EXPECT_EQ(record.failed_components[0].type, "ApexClass");
    EXPECT_EQ(record.failed_components[0].operation, "Update");
    EXPECT_EQ(record.failed_components[0].status, "Failed");
    EXPECT_EQ(record.failed_components[60].type, std::string(MetadataType::DataRecord(0).wire_id()));
    EXPECT_EQ(record.failed_components[60].status, "NotAttempted");
    EXPECT_EQ(record.retried_profiles, (std::vector<std::string>{"Admin"}));
    EXPECT_TRUE(record.retried_permission_sets.empty());
    EXPECT_EQ(record.fls_total, 2U);
    EXPECT_EQ(record.fls_failed, 1U);
    ASSERT_EQ(record.failed_fls.size(), 1U);
    EXPECT_EQ(record.failed_fls[0].status, "Skipped");
    EXPECT_EQ(record.tests_run, 4U);
    EXPECT_EQ(record.tests_failed, 1U);
}

TEST(DeployRoadRules, ValidationIsRefusedForAGitTarget) {
    const auto field = key(MetadataType::CustomField, "Account.X__c");
    RowSession git({{row(MetadataType::CustomField, "Account.X__c")}, true});
    EXPECT_EQ(git.session->refuses_deploy_mode(domain::DeployMode::ValidateOnly, {field}),
              "Validate is not available for a git target. Use Deploy instead.");
    EXPECT_EQ(git.session->refuses_deploy_mode(domain::DeployMode::ValidateOnly, {}),
              "Validate is not available for a git target. Use Deploy instead.");
    EXPECT_EQ(git.session->refuses_deploy_mode(domain::DeployMode::BestEffort, {field}), std::nullopt);
    RowSession org_target({{row(MetadataType::CustomField, "Account.X__c")}});
    EXPECT_EQ(org_target.session->refuses_deploy_mode(domain::DeployMode::ValidateOnly, {field}), std::nullopt);
}

}  // namespace
}  // namespace ambrel::workflow
