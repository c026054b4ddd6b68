#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "harness.hpp"

namespace ambrel::workflow {
namespace {

using testing::Harness;
using testing::ProbeSession;

TEST(SessionDisposal, IdentityDistinctKeepsTheFirstOfEachSession) {
    ProbeSession a;
    ProbeSession b;
    EXPECT_EQ(identity_distinct({a.session, b.session, a.session, nullptr, b.session}),
              (SessionList{a.session, b.session}));
}

TEST(SessionDisposal, CloseAllCombinesTheFailures) {
    ProbeSession ok;
    ProbeSession first(1, "first");
    ProbeSession second(1, "second");
    ProbeSession blank(1, "   ");
    const SessionCleanupResult result = close_all({first.session, ok.session, second.session, blank.session, first.session});
    EXPECT_EQ(result.failed, (SessionList{first.session, second.session, blank.session}));
    ASSERT_TRUE(result.failure.has_value());
    EXPECT_EQ(result.failure->messages, (std::vector<std::string>{"first", "second"}));
    EXPECT_EQ(first.close_count(), 1);
    EXPECT_EQ(ok.close_count(), 1);
}

TEST(SessionDisposal, ANewOperationRemovesTheOldWorkspaceBeforeItsWorkStarts) {
    Harness h;
    ProbeSession old;
    ProbeSession pending;
    h.set_current_session(old.session);
    {
        auto guard = h.inner().lock();
        h.inner().state(guard).pending_session = pending.session;
    }
    ProbeSession fresh;
    h.use_cases->script.compare_endpoints_with_settings.answer(fresh.session);
    ASSERT_TRUE(h.start_compare());
    EXPECT_EQ(h.background->pending(), 0U);
    EXPECT_EQ(old.close_count(), 0);
    EXPECT_EQ(h.cleanup->run_all(), 1);
    EXPECT_EQ(old.close_count(), 1);
    EXPECT_EQ(pending.close_count(), 1);
    EXPECT_EQ(h.background->pending(), 1U);
    h.settle();
    EXPECT_EQ(session_of(*h.state()), fresh.session);
}

TEST(SessionDisposal, AFailedRemovalStopsTheNextStepAndKeepsTheSessionForLater) {
    Harness h;
    ProbeSession stuck(1, "Directory not empty");
    h.set_current_session(stuck.session);
    ASSERT_TRUE(h.start_compare());
    h.settle();
    EXPECT_EQ(h.use_cases->script.compare_endpoints_with_settings.count(), 0U);
    const ErrorState& error = testing::as_error(*h.state());
    EXPECT_EQ(error.message, "Temporary metadata cleanup failed.");
    EXPECT_EQ(error.details, "Temporary metadata cleanup failed.\nDirectory not empty");
    EXPECT_EQ(h.copy_of_state().awaiting_disposal, SessionList{stuck.session});
    // A later operation that takes the sessions awaiting disposal tries again.
    auto started = h.inner().begin_operation_if(OperationKind::LoadOrgs, true, true, std::nullopt);
    ASSERT_TRUE(started);
    EXPECT_EQ(started->sessions, SessionList{stuck.session});
    h.inner().schedule_after_cleanup(std::move(*started), [] {});
    h.settle();
    EXPECT_EQ(stuck.close_count(), 2);
    EXPECT_TRUE(h.copy_of_state().awaiting_disposal.empty());
}

TEST(SessionDisposal, SurfacingACleanupFailureEndsTheOperationAndRetries) {
    Harness h;
    ProbeSession stuck(1, "busy");
    ProbeSession current;
    h.set_current_session(current.session);
    const auto id = h.start_keeping(OperationKind::MatchFls);
    h.inner().close_and_surface(stuck.session, *id);
    EXPECT_EQ(h.copy_of_state().awaiting_disposal, SessionList{stuck.session});
    h.settle();
    const ErrorState& error = testing::as_error(*h.state());
    EXPECT_EQ(error.message, "Temporary metadata cleanup failed.");
    EXPECT_EQ(error.details, "busy");
    const State state = h.copy_of_state();
    EXPECT_EQ(state.operation_id, *id + 1);
    EXPECT_FALSE(state.active_operation.has_value());
    EXPECT_EQ(state.current_session, nullptr);
    EXPECT_TRUE(state.awaiting_disposal.empty());
    EXPECT_EQ(stuck.close_count(), 2);
    EXPECT_EQ(current.close_count(), 1);
    EXPECT_EQ(h.seen->back().kind, "error");
    const auto events = h.log_events();
    ASSERT_GE(events.size(), 2U);
    EXPECT_EQ(events[events.size() - 2], "failure");
    EXPECT_EQ(events.back(), "operationCancelled");
}

TEST(SessionDisposal, SurfacingWithARefusingUiExecutorChangesTheStateWithoutPublishing) {
    Harness h;
    ProbeSession stuck(1, "busy");
    const auto id = h.start_keeping(OperationKind::MatchFls);
    h.ui->run_all();
    const std::size_t publications = h.seen->size();
    h.ui->refuse(true);
    h.inner().close_and_surface(stuck.session, *id);
    EXPECT_EQ(testing::as_error(*h.state()).message, "Temporary metadata cleanup failed.");
    EXPECT_EQ(h.seen->size(), publications);
}

TEST(SessionDisposal, ARefusedDeployJobClosesItsSessionAndFails) {
    Harness h;
    ProbeSession session;
    h.set_current_session(session.session);
    const auto id = h.start_keeping(OperationKind::Deploy);
    h.inner().close_and_surface_after_reject(*id, session.session);
    h.settle();
    EXPECT_EQ(session.close_count(), 1);
    EXPECT_EQ(testing::as_error(*h.state()).details, "Background executor rejected the deployment.");
    EXPECT_EQ(h.copy_of_state().current_session, nullptr);
}

TEST(SessionDisposal, AStoppedJobLeavesASessionThatTheControllerStillHolds) {
    Harness h;
    ProbeSession held;
    ProbeSession other;
    h.set_current_session(held.session);
    const auto id = h.start_keeping(OperationKind::MatchFls);
    EXPECT_FALSE(h.inner().match_session_still_owned_elsewhere(*id, held.session));
    ASSERT_TRUE(h.start_keeping(OperationKind::ListApexTests));
    EXPECT_TRUE(h.inner().match_session_still_owned_elsewhere(*id, held.session));
    EXPECT_FALSE(h.inner().match_session_still_owned_elsewhere(*id, other.session));
}

TEST(Closing, RemovesEveryWorkspaceBeforeReturningAndOnlyOnce) {
    Harness h;
    ProbeSession current;
    ProbeSession pending;
    ProbeSession awaiting(1, "busy");
    h.set_current_session(current.session);
    {
        auto guard = h.inner().lock();
        State& state = h.inner().state(guard);
        state.pending_session = pending.session;
        state.awaiting_disposal.push_back(awaiting.session);
    }
    h.controller->close();
    EXPECT_EQ(current.close_count(), 1);
    EXPECT_EQ(pending.close_count(), 1);
    // A failed close at shutdown is tried once more at once.
    EXPECT_EQ(awaiting.close_count(), 2);
    const State state = h.copy_of_state();
    EXPECT_TRUE(state.closed);
    EXPECT_EQ(state.current_session, nullptr);
    EXPECT_EQ(state.pending_session, nullptr);
    EXPECT_TRUE(state.awaiting_disposal.empty());
    h.controller->close();
    EXPECT_EQ(current.close_count(), 1);
}

TEST(Closing, WhileAnOperationRunsDropsItsCompletion) {
    Harness h;
    ProbeSession old;
    ProbeSession fresh;
    h.use_cases->script.compare_endpoints_with_settings.answer(fresh.session);
    ASSERT_TRUE(h.start_compare());
    h.background->run_all();
    const std::size_t publications = h.seen->size();
    h.controller->close();
    h.settle();
    EXPECT_EQ(h.kind(), "loadingOrgs");
    EXPECT_EQ(h.seen->size(), publications);
    EXPECT_FALSE(h.copy_of_state().active_operation.has_value());
    EXPECT_EQ(h.log_events().back(), "operationCancelled");
}

TEST(Closing, OnTheUiThreadMovesRemovalToTheCleanupExecutor) {
    Harness h;
    auto controller = WorkflowControllerBuilder(h.use_cases, h.background, h.ui)
                          .cleanup(h.cleanup)
                          .is_ui_thread([] { return true; })
                          .fallback_for_testing(h.fallback)
                          .build();
    ProbeSession current;
    {
        auto guard = controller.inner()->lock();
        controller.inner()->state(guard).current_session = current.session;
    }
    controller.close();
    EXPECT_EQ(current.close_count(), 0);
    h.cleanup->run_all();
    h.fallback->run_all();
    EXPECT_EQ(current.close_count(), 1);
}

}  // namespace
}  // namespace ambrel::workflow
