#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "harness.hpp"

namespace ambrel::workflow {
namespace {

using testing::Harness;
using testing::ManualExecutor;

TEST(WorkflowControllerBuild, TheThreeRequiredPartsAreEnough) {
    auto use_cases = std::make_shared<ambrel::testing::RecordingUseCases>();
    auto background = std::make_shared<ManualExecutor>();
    auto ui = std::make_shared<ManualExecutor>();
    auto controller = WorkflowControllerBuilder(use_cases, background, ui).build();
    const auto& parts = controller.inner()->parts();
    EXPECT_EQ(parts.cleanup.get(), background.get());
    EXPECT_EQ(parts.external_keys.get(), background.get());
    EXPECT_NE(dynamic_cast<ThreadSpawnExecutor*>(parts.fallback.get()), nullptr);
    EXPECT_FALSE(parts.is_ui_thread());
    EXPECT_EQ(parts.outer_tokens(), nullptr);
    EXPECT_FALSE(parts.log->path().has_value());
    EXPECT_EQ(parts.progress->operation_id(), 0U);
    EXPECT_TRUE(std::holds_alternative<LoadingOrgsState>(*controller.state()));
    const SharedStateSnapshot snapshot = controller.state_snapshot();
    EXPECT_EQ(snapshot.operation_id, 0U);
    EXPECT_FALSE(snapshot.active_operation.has_value());
}

TEST(WorkflowControllerPublication, OnlyTheNewestOfQuickTransitionsIsDelivered) {
    Harness h;
    h.inner().transition(error_state("first"));
    auto started = h.inner().begin_operation_if(OperationKind::Compare, true, false, std::nullopt);
    ASSERT_TRUE(started);
    h.inner().transition(error_state("second"));
    EXPECT_EQ(h.ui->run_all(), 3);
    ASSERT_EQ(h.seen->size(), 1U);
    EXPECT_EQ(h.seen->at(0).kind, "error");
    EXPECT_EQ(h.seen->at(0).active_operation, "compare");
    EXPECT_EQ(h.seen->at(0).operation_id, 1U);
    EXPECT_EQ(testing::as_error(*h.state()).message, "second");
}

TEST(WorkflowControllerPublication, PublishingSharesTheStateInsteadOfCopyingIt) {
    Harness h;
    std::vector<const WorkflowState*> addresses;
    for (int i = 0; i < 3; ++i) {
        (void)h.controller->add_state_listener(
            [&](const StateSnapshot& snapshot) { addresses.push_back(&snapshot.state); });
    }
    h.inner().transition(error_state("shown"));
    h.ui->run_all();
    ASSERT_EQ(addresses.size(), 3U);
    for (const auto* address : addresses) EXPECT_EQ(address, h.state().get());
}

TEST(WorkflowControllerPublication, NothingChangesAfterClosing) {
    Harness h;
    h.controller->close();
    h.inner().transition(error_state("late"));
    h.ui->run_all();
    EXPECT_TRUE(std::holds_alternative<LoadingOrgsState>(*h.state()));
    EXPECT_TRUE(h.seen->empty());
    // The listener id still advances, and the listener is never called.
    bool called = false;
    const ListenerHandle handle = h.controller->add_state_listener([&](const StateSnapshot&) { called = true; });
    EXPECT_EQ(handle.id, 1U);
    EXPECT_EQ(h.controller->add_state_listener([](const StateSnapshot&) {}).id, 2U);
    h.inner().transition(error_state("later"));
    h.ui->run_all();
    EXPECT_FALSE(called);
    EXPECT_TRUE(h.copy_of_state().listeners.empty());
}

TEST(WorkflowControllerPublication, PublicationsQueuedBeforeClosingAreNotDelivered) {
    Harness h;
    h.inner().transition(error_state("queued"));
    h.controller->close();
    h.ui->run_all();
    EXPECT_TRUE(h.seen->empty());
}

TEST(WorkflowControllerPublication, AListenerMayReadTheControllerWhileItIsCalled) {
    Harness h;
    std::string read;
    (void)h.controller->add_state_listener(
        [&](const StateSnapshot&) { read = testing::kind_name(*h.controller->state()); });
    h.inner().transition(error_state("x"));
    h.ui->run_all();
    EXPECT_EQ(read, "error");
}

TEST(WorkflowControllerPublication, AListenerRegisteredAfterAPublicationHearsOnlyTheNextOne) {
    Harness h;
    h.inner().transition(error_state("before"));
    std::vector<std::string> heard;
    (void)h.controller->add_state_listener([&](const StateSnapshot& snapshot) {
        heard.push_back(testing::as_error(snapshot.state).message);
    });
    h.ui->run_all();
    EXPECT_TRUE(heard.empty());
    h.inner().transition(error_state("after"));
    h.ui->run_all();
    EXPECT_EQ(heard, std::vector<std::string>{"after"});
}

TEST(WorkflowControllerPublication, ARefusedPublicationIsDroppedButTheStateChanges) {
    Harness h;
    h.ui->refuse(true);
    h.inner().transition(error_state("unseen"));
    EXPECT_EQ(testing::as_error(*h.state()).message, "unseen");
    EXPECT_TRUE(h.seen->empty());
}

TEST(WorkflowStates, NameTheirKindsAsTheFrontEndDoes) {
    EXPECT_EQ(wire_name(kind_of(WorkflowState{})), "loadingOrgs");
    EXPECT_EQ(wire_name(kind_of(WorkflowState{ReviewingState{}})), "reviewing");
    EXPECT_EQ(wire_name(kind_of(WorkflowState{SelectingFlsContainersState{}})), "selectingFlsContainers");
    EXPECT_EQ(wire_name(kind_of(error_state("x"))), "error");
    EXPECT_EQ(wire_name(OperationKind::FixTargetHealth), "fixTargetHealth");
    EXPECT_EQ(wire_name(OperationKind::CreateOrgAlias), "createOrgAlias");
}

TEST(WorkflowStates, AnOlderReviewStateKeepsItsOwnSessionAndRows) {
    Harness h;
    testing::ProbeSession first;
    testing::ProbeSession second;
    h.use_cases->script.compare_endpoints_with_settings.answer(first.session);
    h.use_cases->script.compare_endpoints_with_settings.answer(second.session);
    ASSERT_TRUE(h.start_compare());
    h.settle();
    const auto kept = h.state();
    ASSERT_TRUE(h.start_compare());
    h.settle();
    EXPECT_EQ(session_of(*kept), first.session);
    EXPECT_EQ(session_of(*h.state()), second.session);
    EXPECT_EQ(first.close_count(), 1);
}

}  // namespace
}  // namespace ambrel::workflow
