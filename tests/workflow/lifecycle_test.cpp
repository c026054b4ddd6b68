#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "harness.hpp"

namespace ambrel::workflow {
namespace {

using testing::Harness;
using testing::ProbeSession;

using Events = std::vector<std::string>;

TEST(OperationLifecycle, ACompletionShowsItsScreenAndEndsTheOperationOnce) {
    Harness h;
    ProbeSession probe;
    h.use_cases->script.compare_endpoints_with_settings.answer(probe.session);
    const auto id = h.start_compare();
    ASSERT_EQ(id, 1U);
    EXPECT_EQ(h.controller->state_snapshot().active_operation, "compare");
    h.settle();
    EXPECT_EQ(h.kind(), "reviewing");
    const State state = h.copy_of_state();
    EXPECT_FALSE(state.active_operation.has_value());
    EXPECT_EQ(state.operation_token, nullptr);
    EXPECT_EQ(state.operation_id, 1U);
    EXPECT_EQ(state.current_session, probe.session);
    EXPECT_EQ(h.log_events(), (Events{"operationStarted", "operationFinished"}));
    ASSERT_FALSE(h.seen->empty());
    EXPECT_EQ(h.seen->back().kind, "reviewing");
    EXPECT_FALSE(h.seen->back().active_operation.has_value());
    // The token the use case saw was live.
    const auto calls = h.use_cases->script.compare_endpoints_with_settings.calls();
    ASSERT_EQ(calls.size(), 1U);
    EXPECT_FALSE(std::get<6>(calls[0]));
}

TEST(OperationLifecycle, TheLatestOperationWins) {
    Harness h;
    ProbeSession first;
    ProbeSession second;
    h.use_cases->script.compare_endpoints_with_settings.answer(first.session);
    h.use_cases->script.compare_endpoints_with_settings.answer(second.session);
    ASSERT_TRUE(h.start_compare());
    // The first compare's work runs and its completion is queued on the UI executor.
    h.background->run_all();
    ASSERT_TRUE(h.start_compare());
    h.settle();
    EXPECT_EQ(session_of(*h.state()), second.session);
    EXPECT_EQ(h.copy_of_state().current_session, second.session);
    EXPECT_EQ(h.log_events(), (Events{"operationStarted", "operationFinished", "operationStarted", "operationFinished"}));
    for (const auto& seen : *h.seen) {
        if (seen.kind == "reviewing") {
            EXPECT_EQ(seen.operation_id, 2U);
        }
    }
}

TEST(OperationLifecycle, TheTokenOfASupersededOperationAnswersCancelled) {
    Harness h;
    auto first = h.inner().begin_operation_if(OperationKind::LoadOrgs, true, false, std::nullopt);
    auto token = h.inner().require_token(first->id);
    EXPECT_FALSE(token->is_cancelled());
    auto second = h.inner().begin_operation_if(OperationKind::LoadComponents, true, false, std::nullopt);
    EXPECT_TRUE(token->is_cancelled());
    EXPECT_TRUE(h.inner().require_token(first->id)->is_cancelled());
    EXPECT_FALSE(h.inner().require_token(second->id)->is_cancelled());
    // An expected id that is out of date begins nothing.
    EXPECT_FALSE(h.inner().begin_operation_if(OperationKind::LoadComponents, true, false, first->id));
}

TEST(OperationLifecycle, OnlyACompareRunsWithItsOwnCommandCache) {
    Harness h;
    const std::vector<std::string> version{"version"};
    auto cached = [&] {
        h.cache->store("sf", version, std::nullopt, cli::CliJsonResult{});
        return h.cache->lookup("sf", version, std::nullopt).has_value();
    };
    (void)h.inner().begin_operation_if(OperationKind::Compare, true, false, std::nullopt);
    EXPECT_TRUE(cached());
    (void)h.inner().begin_operation_if(OperationKind::LoadOrgs, true, false, std::nullopt);
    EXPECT_FALSE(cached());
}

TEST(Cancellation, ACancelBeforeTheCompletionDropsTheCompletion) {
    Harness h;
    ProbeSession probe;
    h.use_cases->script.compare_endpoints_with_settings.answer(probe.session);
    const auto id = h.start_compare();
    h.background->run_all();
    EXPECT_TRUE(h.controller->cancel_operation(id));
    h.settle();
    EXPECT_EQ(testing::as_error(*h.state()).message, "Operation cancelled.");
    EXPECT_FALSE(testing::as_error(*h.state()).details.has_value());
    EXPECT_EQ(h.copy_of_state().operation_id, 2U);
    EXPECT_EQ(h.copy_of_state().current_session, nullptr);
    EXPECT_EQ(h.log_events(), (Events{"operationStarted", "operationCancelled"}));
    EXPECT_EQ(h.seen->back().kind, "error");
}

TEST(Cancellation, ACancelNamingAnOperationThatHasJustFinishedChangesNothing) {
    Harness h;
    ProbeSession probe;
    h.use_cases->script.compare_endpoints_with_settings.answer(probe.session);
    const auto id = h.start_compare();
    h.settle();
    ASSERT_EQ(h.kind(), "reviewing");
    const auto shown = h.state();
    const std::size_t publications = h.seen->size();
    EXPECT_FALSE(h.controller->cancel_operation(id));
    h.settle();
    EXPECT_EQ(h.state(), shown);
    EXPECT_EQ(h.copy_of_state().operation_id, *id);
    EXPECT_EQ(h.copy_of_state().current_session, probe.session);
    EXPECT_EQ(probe.close_count(), 0);
    EXPECT_EQ(h.seen->size(), publications);
}

TEST(Cancellation, ACancelWithoutAnIdWhileNothingRunsChangesNothing) {
    Harness h;
    ProbeSession probe;
    h.use_cases->script.compare_endpoints_with_settings.answer(probe.session);
    const auto id = h.start_compare();
    ASSERT_TRUE(id);
    h.settle();
    ASSERT_EQ(h.kind(), "reviewing");
    const auto shown = h.state();
    const std::size_t publications = h.seen->size();
    EXPECT_FALSE(h.controller->cancel_operation(std::nullopt));
    h.settle();
    EXPECT_EQ(h.state(), shown);
    EXPECT_EQ(h.copy_of_state().operation_id, *id);
    EXPECT_EQ(h.copy_of_state().current_session, probe.session);
    EXPECT_EQ(probe.close_count(), 0);
    EXPECT_FALSE(probe.session->is_closed());
    EXPECT_EQ(h.seen->size(), publications);
}

TEST(Cancellation, ACancelOfAnOldIdChangesNothing) {
    Harness h;
    ASSERT_TRUE(h.start_keeping(OperationKind::ListApexTests));
    const auto second = h.start_keeping(OperationKind::MatchFls);
    const auto before = h.state();
    EXPECT_FALSE(h.controller->cancel_operation(1));
    EXPECT_EQ(h.state(), before);
    EXPECT_EQ(h.copy_of_state().operation_id, *second);
    EXPECT_EQ(h.copy_of_state().active_operation, OperationKind::MatchFls);
}

TEST(Cancellation, SomeKindsReturnToTheSelectionScreen) {
    struct Case {
        OperationKind kind;
        const char* message;
        bool listing_incomplete;
    };
    const Case cases[] = {
        {OperationKind::CreateOrgAlias, "The org login was cancelled. You can close the browser tab it opened.", false},
        {OperationKind::PrepareOrgs, "Preparing the orgs was cancelled.", false},
        {OperationKind::LoadComponents, nullptr, true},
        {OperationKind::ImportManifest, nullptr, true},
        {OperationKind::ImportSession, nullptr, true},
        {OperationKind::Compare, nullptr, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(wire_name(c.kind)));
        Harness h;
        ASSERT_TRUE(h.start_keeping(c.kind));
        EXPECT_TRUE(h.controller->cancel_operation(std::nullopt));
        if (c.message != nullptr) {
            const auto* selecting = std::get_if<SelectingState>(h.state().get());
            ASSERT_NE(selecting, nullptr);
            EXPECT_EQ(selecting->error_message, c.message);
        } else {
            EXPECT_EQ(testing::as_error(*h.state()).message, "Operation cancelled.");
        }
        EXPECT_EQ(h.copy_of_state().listing_incomplete, c.listing_incomplete);
    }
}

TEST(Cancellation, AFailedCleanupAfterCancellingIsShown) {
    Harness h;
    ProbeSession probe(1, "rm failed");
    h.set_current_session(probe.session);
    ASSERT_TRUE(h.start_keeping(OperationKind::ListApexTests));
    EXPECT_TRUE(h.controller->cancel_operation(std::nullopt));
    h.settle();
    const ErrorState& error = testing::as_error(*h.state());
    EXPECT_EQ(error.message, "Operation cancelled, but temporary metadata cleanup failed.");
    EXPECT_EQ(error.details, "rm failed");
    EXPECT_EQ(h.copy_of_state().awaiting_disposal, SessionList{probe.session});
}

TEST(Cancellation, CancellingARunningDeployLeavesItsSessionToTheDeploy) {
    for (const bool started : {true, false}) {
        SCOPED_TRACE(started ? "work started" : "work not started");
        Harness h;
        ProbeSession probe;
        h.set_current_session(probe.session);
        ASSERT_TRUE(h.start_keeping(OperationKind::Deploy));
        {
            auto guard = h.inner().lock();
            h.inner().state(guard).deployment_started = started;
        }
        EXPECT_TRUE(h.controller->cancel_operation(std::nullopt));
        h.settle();
        EXPECT_EQ(h.copy_of_state().current_session, nullptr);
        EXPECT_EQ(probe.close_count(), started ? 0 : 1);
    }
}

TEST(Cancellation, FailsOnceClosed) {
    Harness h;
    h.controller->close();
    EXPECT_FALSE(h.controller->cancel_operation(std::nullopt));
}

struct FailureCase {
    const char* name;
    app::WorkflowFailure failure;
    std::string message;
    std::optional<std::string> details;
    std::size_t failure_lines;
};

std::vector<FailureCase> failure_cases() {
    auto with_alias = [](app::WorkflowFailure failure, std::string alias) {
        return app::WorkflowFailure::with_org_alias(std::move(failure), alias);
    };
    const std::string alias70(70, 'a');
    const std::string alias64(64, 'b');
    app::WorkflowFailure two_cancelled = app::WorkflowFailure::cancelled();
    two_cancelled.add_suppressed("second");
    return {
        {"cancelled, one message", app::WorkflowFailure::cancelled(), "Operation cancelled.", std::nullopt, 0},
        {"cancelled, two messages", two_cancelled, "Operation cancelled.",
         "Salesforce field workflow was cancelled\nsecond", 1},
        {"prerequisite", app::WorkflowFailure::single(app::FailureKind::Prerequisite, "no sf"),
         "Salesforce CLI is unavailable or incompatible. Install or update Salesforce CLI, make sure sf is on the IDE "
         "PATH, then retry.",
         "no sf", 1},
        {"validation without messages", app::WorkflowFailure::single(app::FailureKind::Validation, ""), "",
         "Validation", 1},
        {"validation", app::WorkflowFailure::single(app::FailureKind::Validation, "Pick one."), "Pick one.",
         "Pick one.", 1},
        {"operation", app::WorkflowFailure::operation("exit 1"), "Salesforce operation failed.", "exit 1", 1},
        {"missing authorization, alias with spaces",
         with_alias(app::WorkflowFailure::operation("NamedOrgNotFoundError: x"), "  dev  "),
         "No local authorization was found for the org 'dev'. Use the + button next to the Source or Target dropdown "
         "to sign in again, then retry.",
         "NamedOrgNotFoundError: x", 1},
        {"missing authorization, blank alias",
         with_alias(app::WorkflowFailure::operation("No authorization information found for x"), "   "),
         "No local authorization was found for the Salesforce org used by this operation. Use the + button next to "
         "the Source or Target dropdown to sign in again, then retry.",
         "No authorization information found for x", 1},
        {"refresh wins over missing authorization, long alias",
         with_alias(app::WorkflowFailure::operation("RefreshTokenAuthError NamedOrgNotFoundError"), alias70),
         "The Salesforce session for the org '" + std::string(64, 'a') +
             "…' could not be refreshed: its stored authorization may no longer be valid. Use the + button next to "
             "the Source or Target dropdown to sign in again, then retry.",
         "RefreshTokenAuthError NamedOrgNotFoundError", 1},
        {"refresh, alias of exactly 64 characters",
         with_alias(app::WorkflowFailure::operation("Unable to refresh session"), alias64),
         "The Salesforce session for the org '" + alias64 +
             "' could not be refreshed: its stored authorization may no longer be valid. Use the + button next to "
             "the Source or Target dropdown to sign in again, then retry.",
         "Unable to refresh session", 1},
        {"refresh without alias", app::WorkflowFailure::operation("Error authenticating with the refresh token"),
         "The Salesforce session for an org used by this operation could not be refreshed: its stored "
         "authorization may no longer be valid. Use the + button next to the Source or Target dropdown to sign in "
         "again, then retry.",
         "Error authenticating with the refresh token", 1},
    };
}

TEST(FailureReports, ShowTheErrorScreenOfTheFailureKind) {
    for (const FailureCase& c : failure_cases()) {
        SCOPED_TRACE(c.name);
        Harness h;
        const auto id = h.start_keeping(OperationKind::ListApexTests);
        h.inner().complete_failure(*id, c.failure);
        h.settle();
        const ErrorState& error = testing::as_error(*h.state());
        EXPECT_EQ(error.message, c.message);
        EXPECT_EQ(error.details, c.details);
        EXPECT_EQ(h.inner().failure_message(c.failure), c.message);
        Events expected{"operationStarted"};
        for (std::size_t i = 0; i < c.failure_lines; ++i) expected.emplace_back("failure");
        expected.emplace_back("operationFinished");
        EXPECT_EQ(h.log_events(), expected);
        EXPECT_FALSE(h.copy_of_state().active_operation.has_value());
    }
}

TEST(FailureReports, AStaleFailureChangesNothing) {
    Harness h;
    const auto first = h.start_keeping(OperationKind::ListApexTests);
    ASSERT_TRUE(h.start_keeping(OperationKind::MatchFls));
    h.inner().complete_failure(*first, app::WorkflowFailure::operation("late"));
    h.settle();
    EXPECT_EQ(h.kind(), "loadingOrgs");
    EXPECT_EQ(h.copy_of_state().active_operation, OperationKind::MatchFls);
}

TEST(FailureReports, AFailedComponentListingMarksTheListingIncomplete) {
    for (const OperationKind kind : {OperationKind::LoadComponents, OperationKind::Compare}) {
        SCOPED_TRACE(std::string(wire_name(kind)));
        Harness h;
        const auto id = h.start_keeping(kind);
        h.inner().complete_failure(*id, app::WorkflowFailure::operation("x"));
        h.settle();
        EXPECT_EQ(h.copy_of_state().listing_incomplete, kind == OperationKind::LoadComponents);
    }
}

TEST(FailureReports, AThrowingUseCaseEndsItsOperationWithTheErrorScreen) {
    struct Case {
        const char* name;
        std::function<app::SessionResult()> body;
        std::string message;
        std::optional<std::string> details;
    };
    const Case cases[] = {
        {"formatted message", [] () -> app::SessionResult { throw std::runtime_error("index 7 out of range"); },
         "Salesforce operation failed.", "index 7 out of range"},
        {"thrown failure",
         []() -> app::SessionResult { throw app::WorkflowFailure::single(app::FailureKind::Validation, "Nope."); },
         "Nope.", "Nope."},
        {"authentication marker",
         []() -> app::SessionResult { throw std::string("NamedOrgNotFoundError"); },
         "No local authorization was found for the Salesforce org used by this operation. Use the + button next to "
         "the Source or Target dropdown to sign in again, then retry.",
         "NamedOrgNotFoundError"},
        {"other payload", []() -> app::SessionResult { throw 7; }, "Salesforce operation failed.",
         "Salesforce operation failed."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Harness h;
        h.use_cases->script.compare_endpoints_with_settings.answer_with(
            [&](auto&&...) -> app::SessionResult { return c.body(); });
        ASSERT_TRUE(h.start_compare());
        h.settle();
        const ErrorState& error = testing::as_error(*h.state());
        EXPECT_EQ(error.message, c.message);
        EXPECT_EQ(error.details, c.details);
        EXPECT_FALSE(h.copy_of_state().active_operation.has_value());
    }
}

TEST(FailureReports, AThrowingCompletionStillEndsItsOperation) {
    Harness h;
    const auto id = h.start_keeping(OperationKind::ListApexTests);
    h.inner().dispatch_completion(*id, [](State&) -> WorkflowState { throw std::logic_error("bad row"); });
    h.settle();
    const ErrorState& error = testing::as_error(*h.state());
    EXPECT_EQ(error.message, "Salesforce operation failed.");
    EXPECT_EQ(error.details, "bad row");
    EXPECT_FALSE(h.copy_of_state().active_operation.has_value());
    EXPECT_EQ(h.copy_of_state().operation_token, nullptr);
}

TEST(FailureReports, ABackgroundExecutorThatRefusesFailsTheOperation) {
    Harness h;
    h.background->refuse(true);
    ASSERT_TRUE(h.start_compare());
    h.settle();
    EXPECT_EQ(testing::as_error(*h.state()).message, "Salesforce operation failed.");
    EXPECT_EQ(testing::as_error(*h.state()).details, "Background executor rejected the task.");
}

TEST(FailureReports, AUiExecutorThatRefusesTheCompletionLeavesAnUnpublishedErrorScreen) {
    Harness h;
    ProbeSession probe;
    h.use_cases->script.compare_endpoints_with_settings.answer(probe.session);
    const auto id = h.start_compare();
    h.ui->run_all();
    const std::size_t publications = h.seen->size();
    h.ui->refuse(true);
    h.background->run_all();
    EXPECT_EQ(testing::as_error(*h.state()).message, "Could not publish workflow completion on the UI dispatcher.");
    EXPECT_FALSE(testing::as_error(*h.state()).details.has_value());
    EXPECT_EQ(h.copy_of_state().operation_id, *id);
    EXPECT_FALSE(h.copy_of_state().active_operation.has_value());
    EXPECT_EQ(h.seen->size(), publications);
}

TEST(FailureReports, ARefusedFailureReportStillClosesItsSession) {
    Harness h;
    ProbeSession probe;
    const auto id = h.start_keeping(OperationKind::MatchFls);
    h.ui->refuse(true);
    h.inner().complete_failure(*id, app::WorkflowFailure::operation("x"), probe.session);
    h.cleanup->run_all();
    EXPECT_EQ(probe.close_count(), 1);
    EXPECT_EQ(testing::as_error(*h.state()).message, "Could not publish workflow completion on the UI dispatcher.");
}

TEST(OperationLifecycle, ATokenIsAlwaysCancelledForAStaleOrClosedOperation) {
    Harness h;
    EXPECT_TRUE(h.inner().require_token(5)->is_cancelled());
    const auto id = h.start_keeping(OperationKind::Deploy);
    EXPECT_FALSE(h.inner().require_token(*id)->is_cancelled());
    h.controller->close();
    EXPECT_TRUE(h.inner().require_token(*id)->is_cancelled());
    EXPECT_FALSE(h.inner().begin_operation_if(OperationKind::LoadOrgs, true, true, std::nullopt));
}

}  // namespace
}  // namespace ambrel::workflow

namespace ambrel::workflow {
namespace {

TEST(FailureReports, ANextStepThatThrowsEndsItsOperation) {
    for (const bool with_session : {false, true}) {
        SCOPED_TRACE(with_session ? "after disposal" : "at once");
        testing::Harness h;
        testing::ProbeSession old;
        if (with_session) h.set_current_session(old.session);
        auto started = h.inner().begin_operation_if(OperationKind::Back, true, false, std::nullopt);
        ASSERT_TRUE(started);
        h.inner().schedule_after_cleanup(std::move(*started), [] { throw std::runtime_error("step broke"); });
        h.settle();
        EXPECT_EQ(testing::as_error(*h.state()).details, "step broke");
        EXPECT_FALSE(h.copy_of_state().active_operation.has_value());
    }
}

}  // namespace
}  // namespace ambrel::workflow
