#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "deploy_fixtures.hpp"

namespace ambrel::workflow {
namespace {

using namespace testing;
using data::bundles::transfer::FixOutcome;
using data::bundles::transfer::HealthReport;
using domain::DeployMode;
using domain::FlsMode;
using Events = std::vector<std::string>;

const domain::ComponentKey kField = key(MetadataType::CustomField, "Account.X__c");
const domain::ComponentKey kApex = key(MetadataType::ApexClass, "SvcTest");
const domain::ComponentKey kBundle = key(MetadataType::ProductBundle, "Bundle");

domain::ComponentDifference field_row() { return row(MetadataType::CustomField, "Account.X__c"); }
domain::ComponentDifference apex_row() { return row(MetadataType::ApexClass, "SvcTest"); }
domain::ComponentDifference bundle_row() {
    return row(MetadataType::ProductBundle, "Bundle", ChangeKind::Update, MetadataDeployScope::Records);
}

constexpr std::string_view kRecordsRefusal = "Records cannot roll back and deploy in Best Effort only.";
constexpr std::string_view kProductionRefusal =
    "Best effort is not available against a production org. Use Validate or Deploy instead.";
constexpr std::string_view kGitRefusal = "Validate is not available for a git target. Use Deploy instead.";

std::size_t use_case_calls(const DeployRoad& road) {
    const auto& script = road.h.use_cases->script;
    return script.deploy.count() + script.check_target_health.count() + script.list_apex_tests.count() +
           script.match_fls_containers.count() + script.fix_target_health.count();
}

TEST(DeployRequest, RefusalsShowTheirScreenAndRunNothing) {
    struct Case {
        std::string name;
        SessionSpec spec;
        app::SelectedKeys selected;
        FlsMode fls;
        DeployMode mode;
        std::string kind;
        std::optional<std::string> message;
    };
    const std::vector<Case> cases = {
        {"nothing deployable", {{field_row()}}, {kApex}, FlsMode::None, DeployMode::BestEffort, "reviewing",
         "Select at least one deployable component."},
        {"validation with a record row", {{bundle_row(), field_row()}}, {kBundle, kField}, FlsMode::None,
         DeployMode::ValidateOnly, "error", std::string(kRecordsRefusal)},
        {"best effort on production",
         {{field_row()}, false, app::TargetOrgClass::Production},
         {kField},
         FlsMode::None,
         DeployMode::BestEffort,
         "error",
         std::string(kProductionRefusal)},
        {"validation of a git target on the FLS route", {{field_row()}, true}, {kField}, FlsMode::Additive,
         DeployMode::ValidateOnly, "error", std::string(kGitRefusal)},
        {"validation of a git target with a record row", {{bundle_row()}, true}, {kBundle}, FlsMode::None,
         DeployMode::ValidateOnly, "error", std::string(kGitRefusal)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        DeployRoad road(c.spec);
        EXPECT_EQ(road.h.controller->deploy(c.selected, c.fls, c.mode), std::nullopt);
        road.h.settle();
        EXPECT_EQ(road.h.kind(), c.kind);
        if (c.kind == "error") {
            EXPECT_EQ(as_error(*road.h.state()).message, c.message);
        }
        if (c.kind == "reviewing") {
            EXPECT_EQ(std::get<ReviewingState>(*road.h.state()).error_message, c.message);
        }
        EXPECT_EQ(use_case_calls(road), 0U);
        EXPECT_FALSE(road.h.controller->state_snapshot().active_operation.has_value());
        EXPECT_EQ(road.probe.close_count(), 0);
    }
}

TEST(DeployRequest, WithoutAReviewOfTheCurrentSessionShowsTheError) {
    DeployRoad road({{field_row()}});
    RowSession other({{field_row()}});
    road.h.set_current_session(other.session);
    EXPECT_EQ(road.h.controller->deploy({kField}, FlsMode::None, DeployMode::BestEffort), std::nullopt);
    EXPECT_EQ(as_error(*road.h.state()).message, "No comparison session is available for deployment.");
}

TEST(DeployRequest, RoutesBySelection) {
    struct Case {
        std::string name;
        SessionSpec spec;
        app::SelectedKeys selected;
        FlsMode fls;
        std::string operation;
        std::string screen;
    };
    const std::vector<Case> cases = {
        {"plain field", {{field_row()}}, {kField}, FlsMode::None, "deploy", "deploying"},
        {"field with FLS", {{field_row()}}, {kField}, FlsMode::Additive, "matchFls", "reviewing"},
        {"apex class even with FLS", {{apex_row(), field_row()}}, {kApex, kField}, FlsMode::All, "listApexTests",
         "reviewing"},
        {"changed product bundle", {{bundle_row()}}, {kBundle}, FlsMode::None, "checkTargetHealth", "reviewing"},
        {"git target never lists tests", {{apex_row()}, true}, {kApex}, FlsMode::None, "deploy", "deploying"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        DeployRoad road(c.spec);
        const auto id = road.h.controller->deploy(c.selected, c.fls, DeployMode::BestEffort);
        ASSERT_TRUE(id.has_value());
        EXPECT_EQ(road.h.controller->state_snapshot().active_operation, c.operation);
        EXPECT_EQ(road.h.kind(), c.screen);
        const auto snapshot = road.snapshot();
        ASSERT_TRUE(snapshot.has_value());
        EXPECT_EQ(snapshot->selected, c.selected);
        EXPECT_EQ(snapshot->fls_mode, c.fls);
        EXPECT_FALSE(snapshot->decision.has_value());
    }
}

TEST(DeployRequest, ValidationAgainstProductionStartsTheDeploy) {
    DeployRoad road({{field_row()}, false, app::TargetOrgClass::Production});
    ASSERT_TRUE(road.h.controller->deploy({kField}, FlsMode::None, DeployMode::ValidateOnly));
    EXPECT_EQ(road.h.kind(), "deploying");
    EXPECT_EQ(std::get<DeployingState>(*road.h.state()).deploy_mode, DeployMode::ValidateOnly);
}

TEST(DeployRequest, RefusedWhileAnOperationRunsOrAfterClose) {
    DeployRoad road({{field_row()}});
    ASSERT_TRUE(road.h.start_keeping(OperationKind::MatchFls));
    EXPECT_EQ(road.h.controller->deploy({kField}, FlsMode::None, DeployMode::BestEffort), std::nullopt);
    EXPECT_EQ(road.h.kind(), "reviewing");
    road.h.settle();
    road.h.controller->close();
    EXPECT_EQ(road.h.controller->deploy({kField}, FlsMode::None, DeployMode::BestEffort), std::nullopt);
    EXPECT_EQ(road.h.controller->confirm_tests({}, std::nullopt), std::nullopt);
    EXPECT_EQ(road.h.controller->confirm_fls_containers({}, std::nullopt), std::nullopt);
    EXPECT_EQ(road.h.controller->quick_deploy(), std::nullopt);
    EXPECT_EQ(use_case_calls(road), 0U);
}

TEST(Deploy, SuccessShowsResultsLogsTheOutcomeAndClosesTheSession) {
    DeployRoad road({{field_row()}});
    auto summary = summary_with_details("deployed");
    summary.quick_deploy = domain::QuickDeployTicket{"0Af1", "tgt", 1};
    road.h.use_cases->script.deploy.answer(summary);
    ASSERT_TRUE(road.h.controller->deploy({kField}, FlsMode::None, DeployMode::ValidateOnly));
    road.h.settle();
    ASSERT_EQ(road.h.kind(), "results");
    EXPECT_EQ(std::get<ResultsState>(*road.h.state()).summary, summary);
    EXPECT_EQ(road.probe.close_count(), 1);
    EXPECT_EQ(road.h.copy_of_state().current_session, nullptr);
    EXPECT_EQ(road.h.log_events(), (Events{"operationStarted", "deployOutcome", "operationFinished"}));
    const auto calls = road.h.use_cases->script.deploy.calls();
    ASSERT_EQ(calls.size(), 1U);
    EXPECT_EQ(std::get<1>(calls[0]), (app::SelectedKeys{kField}));
    EXPECT_EQ(std::get<3>(calls[0]), std::nullopt);
    EXPECT_EQ(std::get<4>(calls[0]), DeployMode::ValidateOnly);
    EXPECT_EQ(std::get<5>(calls[0]), std::nullopt);
}

TEST(Deploy, AFailedWorkspaceRemovalAfterSuccessStillShowsTheResults) {
    DeployRoad road({{field_row()}, false, app::TargetOrgClass::NonProduction, false, 1});
    auto summary = summary_with_details("deployed");
    summary.quick_deploy = domain::QuickDeployTicket{"0Af1", "tgt", 1};
    road.h.use_cases->script.deploy.answer(summary);
    ASSERT_TRUE(road.h.controller->deploy({kField}, FlsMode::None, DeployMode::ValidateOnly));
    road.h.settle();
    ASSERT_EQ(road.h.kind(), "results");
    // The quick-deploy ticket survives.
    EXPECT_EQ(std::get<ResultsState>(*road.h.state()).summary.quick_deploy, summary.quick_deploy);
    EXPECT_EQ(road.h.log_events(), (Events{"operationStarted", "failure", "deployOutcome", "operationFinished"}));
    const State state = road.h.copy_of_state();
    ASSERT_EQ(state.awaiting_disposal.size(), 1U);
    EXPECT_EQ(state.awaiting_disposal[0], road.session());
    // The next operation that takes the sessions awaiting disposal removes it.
    ASSERT_TRUE(road.h.inner().begin_operation_if(OperationKind::LoadOrgs, true, true, std::nullopt));
    road.h.settle();
    EXPECT_EQ(road.probe.close_count(), 1);
}

TEST(Deploy, ARefusedBackgroundExecutorClosesTheSession) {
    DeployRoad road({{field_row()}});
    road.h.background->refuse(true);
    ASSERT_TRUE(road.h.controller->deploy({kField}, FlsMode::None, DeployMode::BestEffort));
    road.h.settle();
    EXPECT_EQ(as_error(*road.h.state()).details, "Background executor rejected the deployment.");
    EXPECT_EQ(road.probe.close_count(), 1);
    EXPECT_EQ(road.h.use_cases->script.deploy.count(), 0U);
}

TEST(Deploy, AFailureClosesTheSessionAndShowsTheError) {
    DeployRoad road({{field_row()}});
    road.h.use_cases->script.deploy.answer(std::unexpected(app::WorkflowFailure::operation("target said no")));
    ASSERT_TRUE(road.h.controller->deploy({kField}, FlsMode::None, DeployMode::BestEffort));
    road.h.settle();
    ASSERT_EQ(road.h.kind(), "error");
    EXPECT_EQ(as_error(*road.h.state()).details, "target said no");
    EXPECT_EQ(road.probe.close_count(), 1);
    EXPECT_EQ(road.h.copy_of_state().current_session, nullptr);
}

TEST(Deploy, AnExceptionInsideTheUseCaseBecomesTheErrorScreen) {
    DeployRoad road({{field_row()}});
    road.h.use_cases->script.deploy.answer_with([](auto&&...) -> app::UseCaseResult<deployment::DeploymentSummary> {
        throw std::runtime_error("bad state");
    });
    ASSERT_TRUE(road.h.controller->deploy({kField}, FlsMode::None, DeployMode::BestEffort));
    road.h.settle();
    EXPECT_EQ(as_error(*road.h.state()).details, "bad state");
    EXPECT_EQ(road.probe.close_count(), 1);
}

TEST(Deploy, ADeployTaskThatFindsItselfSupersededClosesTheSessionAndDeploysNothing) {
    DeployRoad road({{field_row()}});
    ASSERT_TRUE(road.h.controller->deploy({kField}, FlsMode::None, DeployMode::BestEffort));
    ASSERT_TRUE(road.h.controller->cancel_operation(std::nullopt));
    road.h.settle();
    EXPECT_EQ(road.h.use_cases->script.deploy.count(), 0U);
    EXPECT_EQ(road.h.kind(), "error");
    EXPECT_EQ(road.probe.close_count(), 1);
}

// Once a deploy has begun to change its target, a cancel no longer throws its outcome away: a commit
// being written goes on (the cancel and a new comparison are refused) and a deploy job sent to an org
// is left to the org, its command stopped; both end on their results. Before anything was sent the
// cancel ends the deploy at once, as every cancel does.
TEST(Deploy, ACancelAfterTheTargetChangedEndsOnTheResults) {
    struct Case {
        std::string name;
        bool git_target;
        std::optional<domain::TargetChange> change;
        bool cancel_answer;
        bool work_cancelled;
        std::string final_kind;
    };
    const std::vector<Case> cases = {
        {"commit being written", true, domain::TargetChange::Unstoppable, false, false, "results"},
        {"job sent to the org", false, domain::TargetChange::Sent, true, true, "results"},
        {"nothing sent yet", false, std::nullopt, true, true, "error"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        DeployRoad road({{field_row()}, c.git_target});
        std::optional<bool> cancelled;
        std::optional<std::optional<std::uint64_t>> restarted;
        bool work_cancelled = false;
        road.h.use_cases->script.deploy.answer_with(
            [&](auto&&, auto&&, auto&&, auto&&, auto&&, auto&&,
                const domain::CancellationToken& token) -> app::UseCaseResult<deployment::DeploymentSummary> {
                if (c.change) {
                    EXPECT_TRUE(token.begin_target_change(*c.change));
                }
                cancelled = road.h.controller->cancel_operation(std::nullopt);
                if (c.git_target) restarted = road.h.controller->restart();
                work_cancelled = token.is_cancelled();
                // Work that saw the cancel before it sent anything changes nothing more.
                if (c.change) {
                    EXPECT_EQ(token.begin_target_change(domain::TargetChange::Sent), !work_cancelled);
                }
                return summary_with_details("deployed");
            });
        ASSERT_TRUE(road.h.controller->deploy({kField}, FlsMode::None, DeployMode::BestEffort));
        road.h.settle();
        EXPECT_EQ(cancelled, c.cancel_answer);
        EXPECT_EQ(work_cancelled, c.work_cancelled);
        if (c.git_target) {
            // A new comparison would throw away the commit's outcome: refused like every command now.
            ASSERT_TRUE(restarted.has_value());
            EXPECT_EQ(*restarted, std::nullopt);
        }
        if (c.final_kind == "results") {
            EXPECT_EQ(road.h.kind(), "results");
            EXPECT_EQ(std::get<ResultsState>(*road.h.state()).summary.details, "deployed");
            EXPECT_FALSE(road.h.controller->state_snapshot().active_operation.has_value());
            EXPECT_EQ(road.probe.close_count(), 1);
        }
    }
}

// The target health screen: (findings of the first check) -> screen and route.
TEST(TargetHealth, FirstCheckWithoutFindingsGoesStraightOnToTheDeploy) {
    DeployRoad road({{bundle_row()}});
    road.h.use_cases->script.check_target_health.answer(HealthReport{});
    road.h.use_cases->script.deploy.answer(summary_with_details("deployed"));
    ASSERT_TRUE(road.h.controller->deploy({kBundle}, FlsMode::None, DeployMode::BestEffort));
    road.h.settle();
    EXPECT_EQ(road.h.kind(), "results");
    const auto kinds = road.kinds_seen();
    EXPECT_EQ(std::count(kinds.begin(), kinds.end(), "targetHealth"), 0);
    EXPECT_EQ(std::count(kinds.begin(), kinds.end(), "deploying"), 1);
    EXPECT_EQ(road.h.log_events(), (Events{"operationStarted", "targetHealthCheck", "operationFinished",
                                           "operationStarted", "deployOutcome", "operationFinished"}));
}

TEST(TargetHealth, FindingsFixesAndTheDeployDecision) {
    DeployRoad road({{bundle_row()}});
    HealthReport report;
    report.findings = {finding(true, "Bundle A", "a0A1"), finding(false, "Other"), finding(true, "Bundle C", "a0A3")};
    road.h.use_cases->script.check_target_health.answer(report);
    ASSERT_TRUE(road.h.controller->deploy({kBundle}, FlsMode::None, DeployMode::BestEffort));
    road.h.settle();
    ASSERT_EQ(road.h.kind(), "targetHealth");
    EXPECT_EQ(std::get<TargetHealthState>(*road.h.state()).report, report);

    // Invalid choices republish the screen and start nothing.
    for (const std::set<std::size_t>& chosen : {std::set<std::size_t>{}, {1}, {0, 5}}) {
        SCOPED_TRACE(::testing::PrintToString(chosen));
        road.h.seen->clear();
        EXPECT_EQ(road.h.controller->confirm_target_health({TargetHealthAction::Fix{chosen}}), std::nullopt);
        road.h.settle();
        EXPECT_EQ(road.kinds_seen(), (std::vector<std::string>{"targetHealth"}));
        EXPECT_EQ(road.h.use_cases->script.fix_target_health.count(), 0U);
    }

    // A fix deletes records of two objects and is refused one record; the check after it finds one left.
    FixOutcome outcome;
    outcome.deleted = {{"Product2", 2}, {"Account", 1}};
    outcome.refused = {{"a0A3", "locked"}};
    road.h.use_cases->script.fix_target_health.answer(outcome);
    HealthReport after;
    after.findings = {finding(false, "Other")};
    road.h.use_cases->script.check_target_health.answer(after);
    ASSERT_TRUE(road.h.controller->confirm_target_health({TargetHealthAction::Fix{{0, 2}}}));
    road.h.settle();
    ASSERT_EQ(road.h.kind(), "targetHealth");
    const auto& screen = std::get<TargetHealthState>(*road.h.state());
    EXPECT_EQ(screen.report, after);
    EXPECT_EQ(screen.fix_refusals, (std::vector<std::string>{"Bundle C: locked"}));
    EXPECT_EQ(std::get<2>(road.h.use_cases->script.fix_target_health.calls()[0]), (std::set<std::size_t>{0, 2}));
    const auto accumulated = road.accumulated();
    ASSERT_TRUE(accumulated.has_value());
    EXPECT_EQ(accumulated->total_deleted(), 3U);
    const auto snapshot = road.snapshot();
    ASSERT_TRUE(snapshot && snapshot->decision);
    EXPECT_EQ(std::get<FixAndDeploy>(*snapshot->decision).refused, outcome.refused);

    // Deploying with one finding left records the fix and the finding in front of the details.
    road.h.use_cases->script.deploy.answer(summary_with_details("deployed"));
    ASSERT_TRUE(road.h.controller->confirm_target_health({TargetHealthAction::Deploy{}}));
    road.h.settle();
    ASSERT_EQ(road.h.kind(), "results");
    EXPECT_EQ(std::get<ResultsState>(*road.h.state()).summary.details,
              "Target fix: Account: 1 deleted, Product2: 2 deleted, 1 refused (Bundle C: locked).\n"
              "Target health check: deployed without fixing 1 findings.\ndeployed");
    const auto events = road.h.log_events();
    EXPECT_EQ(std::count(events.begin(), events.end(), "targetHealthDecision"), 2);
    EXPECT_EQ(std::count(events.begin(), events.end(), "targetHealthFix"), 1);
}

TEST(TargetHealth, ASecondRequestOnTheSameSessionStartsFromTheEarlierFixes) {
    DeployRoad road({{bundle_row()}});
    HealthReport report;
    report.findings = {finding(true, "Bundle A", "a0A1")};
    road.h.use_cases->script.check_target_health.answer(report);
    ASSERT_TRUE(road.h.controller->deploy({kBundle}, FlsMode::None, DeployMode::BestEffort));
    road.h.settle();
    FixOutcome outcome;
    outcome.deleted = {{"Product2", 1}};
    outcome.refused = {{"a0A1", "locked"}};
    road.h.use_cases->script.fix_target_health.answer(outcome);
    road.h.use_cases->script.check_target_health.answer(HealthReport{});
    ASSERT_TRUE(road.h.controller->confirm_target_health({TargetHealthAction::Fix{{0}}}));
    road.h.settle();
    ASSERT_EQ(road.h.kind(), "targetHealth");
    ASSERT_EQ(road.h.controller->back_to_review(), std::nullopt);
    ASSERT_EQ(road.h.kind(), "reviewing");

    road.h.use_cases->script.check_target_health.answer(std::unexpected(app::WorkflowFailure::operation("later")));
    ASSERT_TRUE(road.h.controller->deploy({kBundle}, FlsMode::None, DeployMode::BestEffort));
    const auto snapshot = road.snapshot();
    ASSERT_TRUE(snapshot && snapshot->decision);
    EXPECT_EQ(*snapshot->decision, (TargetHealthDecision{FixAndDeploy{{"Bundle A: locked"}, {{"Product2", 1}}, {}}}));
    road.h.settle();
    // The failed check counts the records the earlier fix deleted in this session.
    EXPECT_EQ(as_error(*road.h.state()).details, "later\n1 records were deleted in the target before the check failed.");
}

TEST(TargetHealth, FixesOfAnotherSessionAreNotCounted) {
    DeployRoad road({{bundle_row()}});
    {
        auto guard = road.h.inner().lock();
        road.h.inner().state(guard).accumulated_target_fix =
            AccumulatedTargetFix{{"Other: no"}, road.session()->id() + 1, {{"Product2", 5}}};
    }
    road.h.use_cases->script.check_target_health.answer(std::unexpected(app::WorkflowFailure::operation("later")));
    ASSERT_TRUE(road.h.controller->deploy({kBundle}, FlsMode::None, DeployMode::BestEffort));
    EXPECT_FALSE(road.snapshot()->decision.has_value());
    road.h.settle();
    EXPECT_EQ(as_error(*road.h.state()).details, "later");
}

TEST(TargetHealth, RecheckWithoutFindingsStaysOnTheScreenAndDeployRecordsIt) {
    DeployRoad road({{bundle_row()}});
    HealthReport report;
    report.findings = {finding(false, "Other")};
    road.h.use_cases->script.check_target_health.answer(report);
    ASSERT_TRUE(road.h.controller->deploy({kBundle}, FlsMode::None, DeployMode::BestEffort));
    road.h.settle();
    road.h.use_cases->script.check_target_health.answer(HealthReport{});
    ASSERT_TRUE(road.h.controller->confirm_target_health({TargetHealthAction::Recheck{}}));
    road.h.settle();
    ASSERT_EQ(road.h.kind(), "targetHealth");
    EXPECT_TRUE(std::get<TargetHealthState>(*road.h.state()).report.findings.empty());
    road.h.use_cases->script.deploy.answer(summary_with_details(""));
    ASSERT_TRUE(road.h.controller->confirm_target_health({TargetHealthAction::Deploy{}}));
    road.h.settle();
    EXPECT_EQ(std::get<ResultsState>(*road.h.state()).summary.details,
              "Target health check: no findings remained after the re-check.");
}

TEST(TargetHealth, ACheckThatFailsAfterEarlierDeletionsSaysSo) {
    DeployRoad road({{bundle_row()}});
    HealthReport report;
    report.findings = {finding(true, "Bundle A", "a0A1")};
    road.h.use_cases->script.check_target_health.answer(report);
    ASSERT_TRUE(road.h.controller->deploy({kBundle}, FlsMode::None, DeployMode::BestEffort));
    road.h.settle();
    FixOutcome outcome;
    outcome.deleted = {{"Product2", 3}};
    road.h.use_cases->script.fix_target_health.answer(outcome);
    road.h.use_cases->script.check_target_health.answer(std::unexpected(app::WorkflowFailure::operation("query failed")));
    ASSERT_TRUE(road.h.controller->confirm_target_health({TargetHealthAction::Fix{{0}}}));
    road.h.settle();
    ASSERT_EQ(road.h.kind(), "error");
    EXPECT_EQ(as_error(*road.h.state()).details,
              "query failed\n3 records were deleted in the target before the check failed.");
    EXPECT_EQ(road.probe.close_count(), 1);
}

TEST(TargetHealth, AnswersOffTheScreenOrDuringAnOperationDoNothing) {
    DeployRoad road({{bundle_row()}});
    EXPECT_EQ(road.h.controller->confirm_target_health({TargetHealthAction::Recheck{}}), std::nullopt);
    EXPECT_EQ(road.h.kind(), "reviewing");
    road.h.use_cases->script.check_target_health.answer(HealthReport{{finding(false)}, 0});
    ASSERT_TRUE(road.h.controller->deploy({kBundle}, FlsMode::None, DeployMode::BestEffort));
    road.h.settle();
    ASSERT_TRUE(road.h.controller->confirm_target_health({TargetHealthAction::Recheck{}}));
    // The recheck runs: a second answer and the way back are refused.
    EXPECT_EQ(road.h.controller->confirm_target_health({TargetHealthAction::Deploy{}}), std::nullopt);
    EXPECT_EQ(road.h.controller->back_to_review(), std::nullopt);
    EXPECT_EQ(road.h.kind(), "targetHealth");
}

TEST(ApexTests, ListingConfirmationAndDeploy) {
    DeployRoad road({{apex_row()}});
    const std::vector<domain::ApexTestCandidate> candidates = {
        {"MyTest", domain::TestCandidateOrigin::Session, true}, {"OtherTest", domain::TestCandidateOrigin::Target, false}};
    road.h.use_cases->script.list_apex_tests.answer(candidates);
    ASSERT_TRUE(road.h.controller->deploy({kApex}, FlsMode::None, DeployMode::AllOrNothing));
    road.h.settle();
    ASSERT_EQ(road.h.kind(), "selectingTests");
    const auto& screen = std::get<SelectingTestsState>(*road.h.state());
    EXPECT_EQ(screen.candidates, candidates);
    EXPECT_EQ(screen.deploy_mode, DeployMode::AllOrNothing);

    // A name that is no candidate starts nothing and changes nothing.
    road.h.seen->clear();
    EXPECT_EQ(road.h.controller->confirm_tests({"Nope"}, std::nullopt), std::nullopt);
    road.h.settle();
    EXPECT_TRUE(road.h.seen->empty());
    EXPECT_EQ(road.h.kind(), "selectingTests");

    road.h.use_cases->script.deploy.answer(summary_with_details("ok"));
    ASSERT_TRUE(road.h.controller->confirm_tests({"MYTEST"}, std::nullopt));
    EXPECT_EQ(road.h.kind(), "deploying");
    // Confirming again while the deploy runs starts nothing and leaves its screen.
    road.h.seen->clear();
    EXPECT_EQ(road.h.controller->confirm_tests({"MYTEST"}, std::nullopt), std::nullopt);
    EXPECT_EQ(road.h.controller->confirm_fls_containers({}, std::nullopt), std::nullopt);
    EXPECT_EQ(road.h.kind(), "deploying");
    EXPECT_TRUE(road.h.seen->empty());
    road.h.settle();
    EXPECT_EQ(road.h.kind(), "results");
    // A confirmation arriving after the deploy ended leaves its results on the screen.
    road.h.seen->clear();
    EXPECT_EQ(road.h.controller->confirm_tests({"MYTEST"}, std::nullopt), std::nullopt);
    EXPECT_EQ(road.h.controller->confirm_fls_containers({}, std::nullopt), std::nullopt);
    road.h.settle();
    EXPECT_EQ(road.h.kind(), "results");
    EXPECT_TRUE(road.h.seen->empty());
    const auto calls = road.h.use_cases->script.deploy.calls();
    ASSERT_EQ(calls.size(), 1U);
    EXPECT_EQ(std::get<4>(calls[0]), DeployMode::AllOrNothing);
    EXPECT_EQ(std::get<5>(calls[0]), (domain::ApexTestConfig{{"MYTEST"}}));
    EXPECT_EQ(road.snapshot()->test_names, (std::vector<std::string>{"MYTEST"}));
}

TEST(ApexTests, ConfirmationCases) {
    struct Case {
        std::string name;
        std::vector<domain::ComponentDifference> rows;
        std::vector<std::string> tests;
        std::optional<DeployMode> mode;
        FlsMode fls;
        std::string screen;
        std::optional<std::string> operation;
    };
    const std::vector<Case> cases = {
        {"empty list deploys without tests", {apex_row()}, {}, std::nullopt, FlsMode::None, "deploying", "deploy"},
        {"validation with a record row", {apex_row(), bundle_row()}, {}, DeployMode::ValidateOnly, FlsMode::None,
         "error", std::nullopt},
        {"FLS route skips the mode check", {apex_row(), bundle_row(), field_row()}, {}, DeployMode::ValidateOnly,
         FlsMode::Additive, "selectingTests", "matchFls"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        DeployRoad road({c.rows});
        app::SelectedKeys selected;
        for (const auto& r : c.rows) selected.insert(r.key());
        road.h.use_cases->script.list_apex_tests.answer(std::vector<domain::ApexTestCandidate>{});
        road.h.use_cases->script.check_target_health.answer(HealthReport{});
        ASSERT_TRUE(road.h.controller->deploy(selected, c.fls, DeployMode::BestEffort));
        road.h.settle();
        ASSERT_EQ(road.h.kind(), "selectingTests");
        const auto id = road.h.controller->confirm_tests(c.tests, c.mode);
        EXPECT_EQ(id.has_value(), c.operation.has_value());
        EXPECT_EQ(road.h.kind(), c.screen);
        if (c.screen == "error") {
            EXPECT_EQ(as_error(*road.h.state()).message, kRecordsRefusal);
        }
        if (c.operation) {
            EXPECT_EQ(road.h.controller->state_snapshot().active_operation, c.operation);
            EXPECT_EQ(road.snapshot()->test_names, std::vector<std::string>{});
        }
    }
}

TEST(ApexTests, AStaleListingChangesNothingAndConfirmOffTheScreenIsAnError) {
    DeployRoad road({{apex_row()}});
    road.h.use_cases->script.list_apex_tests.answer(std::vector<domain::ApexTestCandidate>{});
    ASSERT_TRUE(road.h.controller->deploy({kApex}, FlsMode::None, DeployMode::BestEffort));
    road.h.background->run_all();
    road.h.background->run_all();
    // The user goes back before the completion runs, then starts another operation.
    ASSERT_TRUE(road.h.start_keeping(OperationKind::MatchFls));
    road.h.settle();
    EXPECT_EQ(road.h.kind(), "reviewing");
    // While that operation runs a confirmation changes nothing; once none runs, it is an error.
    EXPECT_EQ(road.h.controller->confirm_tests({}, std::nullopt), std::nullopt);
    EXPECT_EQ(road.h.kind(), "reviewing");
    ASSERT_TRUE(road.h.controller->cancel_operation(std::nullopt));
    road.h.settle();
    EXPECT_EQ(road.h.controller->confirm_tests({}, std::nullopt), std::nullopt);
    EXPECT_EQ(as_error(*road.h.state()).message, "No comparison session is available for deployment.");
}

TEST(FlsContainers, MatchConfirmAndDeploy) {
    DeployRoad road({{field_row()}});
    std::vector<domain::FlsContainerChoice> choices(1);
    choices[0].kind = domain::FlsContainerKind::Profile;
    choices[0].api_name = "Admin";
    road.h.use_cases->script.match_fls_containers.answer(choices);
    ASSERT_TRUE(road.h.controller->deploy({kField}, FlsMode::Additive, DeployMode::AllOrNothing));
    road.h.settle();
    ASSERT_EQ(road.h.kind(), "selectingFlsContainers");
    EXPECT_EQ(std::get<SelectingFlsContainersState>(*road.h.state()).choices, choices);

    road.h.use_cases->script.deploy.answer(summary_with_details("ok"));
    const ContainerChoice chosen = {{domain::FlsContainerKind::Profile, "Admin"}};
    ASSERT_TRUE(road.h.controller->confirm_fls_containers(chosen, std::nullopt));
    EXPECT_EQ(road.h.kind(), "deploying");
    EXPECT_EQ(road.h.controller->confirm_fls_containers(chosen, std::nullopt), std::nullopt);
    EXPECT_EQ(road.h.controller->confirm_tests({}, std::nullopt), std::nullopt);
    EXPECT_EQ(road.h.kind(), "deploying");
    road.h.settle();
    EXPECT_EQ(road.h.kind(), "results");
    const auto calls = road.h.use_cases->script.deploy.calls();
    ASSERT_EQ(calls.size(), 1U);
    EXPECT_EQ(std::get<3>(calls[0]), std::optional<ContainerChoice>(chosen));
    EXPECT_EQ(std::get<4>(calls[0]), DeployMode::AllOrNothing);
    EXPECT_EQ(road.snapshot()->containers, chosen);
}

TEST(FlsContainers, TestsChosenFirstReachTheDeployWithAnEmptyContainerChoice) {
    DeployRoad road({{apex_row(), field_row()}});
    road.h.use_cases->script.list_apex_tests.answer(
        std::vector<domain::ApexTestCandidate>{{"SvcTest", domain::TestCandidateOrigin::Session, true}});
    road.h.use_cases->script.match_fls_containers.answer(std::vector<domain::FlsContainerChoice>{});
    road.h.use_cases->script.deploy.answer(summary_with_details("ok"));
    ASSERT_TRUE(road.h.controller->deploy({kApex, kField}, FlsMode::Additive, DeployMode::BestEffort));
    road.h.settle();
    ASSERT_EQ(road.h.kind(), "selectingTests");
    ASSERT_TRUE(road.h.controller->confirm_tests({"SvcTest"}, DeployMode::AllOrNothing));
    road.h.settle();
    ASSERT_EQ(road.h.kind(), "selectingFlsContainers");
    const auto& screen = std::get<SelectingFlsContainersState>(*road.h.state());
    EXPECT_EQ(screen.test_names, (std::vector<std::string>{"SvcTest"}));
    EXPECT_EQ(screen.deploy_mode, DeployMode::AllOrNothing);
    ASSERT_TRUE(road.h.controller->confirm_fls_containers({}, std::nullopt));
    EXPECT_EQ(road.h.kind(), "deploying");
    road.h.settle();
    const auto calls = road.h.use_cases->script.deploy.calls();
    ASSERT_EQ(calls.size(), 1U);
    EXPECT_EQ(std::get<3>(calls[0]), std::optional<ContainerChoice>(ContainerChoice{}));
    EXPECT_EQ(std::get<4>(calls[0]), DeployMode::AllOrNothing);
    EXPECT_EQ(std::get<5>(calls[0]), (domain::ApexTestConfig{{"SvcTest"}}));
    const auto snapshot = road.snapshot();
    EXPECT_EQ(snapshot->test_names, (std::vector<std::string>{"SvcTest"}));
    EXPECT_EQ(snapshot->containers, ContainerChoice{});
    EXPECT_EQ(snapshot->deploy_mode, DeployMode::AllOrNothing);
}

TEST(FlsContainers, ConfirmationRefusals) {
    struct Case {
        std::string name;
        SessionSpec spec;
        app::SelectedKeys selected;
        DeployMode requested;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"validation with a record row", {{field_row(), bundle_row()}}, {kField, kBundle}, DeployMode::ValidateOnly,
         std::string(kRecordsRefusal)},
        {"validation of a git target", {{field_row()}, true}, {kField}, DeployMode::ValidateOnly,
         std::string(kGitRefusal)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        DeployRoad road(c.spec);
        road.h.use_cases->script.match_fls_containers.answer(std::vector<domain::FlsContainerChoice>{});
        road.h.use_cases->script.check_target_health.answer(HealthReport{});
        ASSERT_TRUE(road.h.controller->deploy(c.selected, FlsMode::Additive, DeployMode::BestEffort));
        road.h.settle();
        ASSERT_EQ(road.h.kind(), "selectingFlsContainers");
        EXPECT_EQ(road.h.controller->confirm_fls_containers({}, c.requested), std::nullopt);
        EXPECT_EQ(as_error(*road.h.state()).message, c.message);
        EXPECT_EQ(road.h.use_cases->script.deploy.count(), 0U);
        EXPECT_FALSE(road.snapshot()->containers.has_value());
    }
}

TEST(FlsContainers, AMatchCompletedAfterANewerOperationChangesNothing) {
    DeployRoad road({{field_row()}});
    road.h.use_cases->script.match_fls_containers.answer(std::vector<domain::FlsContainerChoice>{});
    ASSERT_TRUE(road.h.controller->deploy({kField}, FlsMode::All, DeployMode::BestEffort));
    road.h.background->run_all();
    ASSERT_EQ(road.h.use_cases->script.match_fls_containers.count(), 1U);
    ASSERT_TRUE(road.h.start_keeping(OperationKind::ListApexTests));
    road.h.settle();
    EXPECT_EQ(road.h.kind(), "reviewing");
    EXPECT_EQ(road.probe.close_count(), 0);
}

TEST(FlsContainers, AFailedMatchClosesTheSession) {
    DeployRoad road({{field_row()}});
    road.h.use_cases->script.match_fls_containers.answer(std::unexpected(app::WorkflowFailure::cancelled()));
    ASSERT_TRUE(road.h.controller->deploy({kField}, FlsMode::All, DeployMode::BestEffort));
    road.h.settle();
    EXPECT_EQ(as_error(*road.h.state()).message, "Operation cancelled.");
    EXPECT_EQ(road.probe.close_count(), 1);
}

TEST(QuickDeploy, RefusedWithoutATicketOrDuringAnOperation) {
    Harness h;
    h.inner().transition(ResultsState{summary_with_details("no ticket")});
    EXPECT_EQ(h.controller->quick_deploy(), std::nullopt);
    EXPECT_EQ(h.kind(), "results");
    auto with_ticket = summary_with_details("validated");
    with_ticket.quick_deploy = domain::QuickDeployTicket{"0Af1", "tgt", 2};
    h.inner().transition(ResultsState{with_ticket});
    ASSERT_TRUE(h.start_keeping(OperationKind::LoadOrgs));
    EXPECT_EQ(h.controller->quick_deploy(), std::nullopt);
    EXPECT_EQ(h.use_cases->script.quick_deploy.count(), 0U);
}

TEST(QuickDeploy, ReplacesTheResultsWithItsOwnSummary) {
    Harness h;
    auto validated = summary_with_details("validated");
    validated.quick_deploy = domain::QuickDeployTicket{"0Af1", "tgt", 2};
    h.inner().transition(ResultsState{validated});
    auto quick = summary_with_details("quick");
    quick.quick_deploy_performed = true;
    h.use_cases->script.quick_deploy.answer(quick);
    ASSERT_TRUE(h.controller->quick_deploy());
    ASSERT_EQ(h.kind(), "quickDeploying");
    EXPECT_EQ(std::get<QuickDeployingState>(*h.state()).target_alias, "tgt");
    h.settle();
    ASSERT_EQ(h.kind(), "results");
    EXPECT_EQ(std::get<ResultsState>(*h.state()).summary, quick);
    EXPECT_EQ(std::get<0>(h.use_cases->script.quick_deploy.calls()[0]), *validated.quick_deploy);
    const auto lines = h.log_writer->lines();
    const auto outcome = std::find_if(lines.begin(), lines.end(),
                                      [](const auto& line) { return line.at("event").as_string() == "deployOutcome"; });
    ASSERT_NE(outcome, lines.end());
    EXPECT_EQ(h.log_events(), (Events{"operationStarted", "deployOutcome", "operationFinished"}));
}

TEST(QuickDeploy, ARefusedBackgroundExecutorShowsTheError) {
    Harness h;
    auto validated = summary_with_details("validated");
    validated.quick_deploy = domain::QuickDeployTicket{"0Af1", "tgt", 2};
    h.inner().transition(ResultsState{validated});
    h.background->refuse(true);
    ASSERT_TRUE(h.controller->quick_deploy());
    h.settle();
    EXPECT_EQ(as_error(*h.state()).details, "Background executor rejected the quick deployment.");
}

}  // namespace
}  // namespace ambrel::workflow
