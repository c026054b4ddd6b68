#include <algorithm>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "harness.hpp"
#include "workflow/queue_executor.hpp"

namespace ambrel::workflow {
namespace {

using testing::Harness;
using testing::ProbeSession;

// The steps a user and the background can take while a first compare runs.
enum class Step { FirstWorkAndCompletion, CancelFirst, SecondCompare, CancelWithoutId };

std::string step_name(Step step) {
    switch (step) {
        case Step::FirstWorkAndCompletion: return "first completes";
        case Step::CancelFirst: return "cancel first";
        case Step::SecondCompare: return "second compare";
        case Step::CancelWithoutId: return "cancel";
    }
    return "?";
}

// Every order of the steps, then everything settles and the controller closes: each operation ends
// exactly once, the screens come in operation order, and the first compare's result never shows
// once a newer operation began.
TEST(Interleavings, EveryOrderKeepsTheControllersPromises) {
    std::vector<Step> steps{Step::FirstWorkAndCompletion, Step::CancelFirst, Step::SecondCompare,
                            Step::CancelWithoutId};
    std::sort(steps.begin(), steps.end());
    do {
        std::string trace;
        for (Step step : steps) trace += step_name(step) + "; ";
        SCOPED_TRACE(trace);
        Harness h;
        ProbeSession first;
        ProbeSession second;
        h.use_cases->script.compare_endpoints_with_settings.answer(first.session);
        h.use_cases->script.compare_endpoints_with_settings.answer(second.session);
        const auto first_id = h.start_compare();
        ASSERT_TRUE(first_id);
        bool newer_began = false;
        for (Step step : steps) {
            switch (step) {
                case Step::FirstWorkAndCompletion:
                    h.settle();
                    break;
                case Step::CancelFirst:
                    // After the first compare has finished, a cancel naming it keeps its result on screen.
                    if (h.controller->cancel_operation(first_id)) newer_began = true;
                    break;
                case Step::SecondCompare:
                    ASSERT_TRUE(h.start_compare());
                    newer_began = true;
                    break;
                case Step::CancelWithoutId: {
                    // Only a running operation is cancelled; with none, the screen stays as it is.
                    const bool running = h.copy_of_state().active_operation.has_value();
                    EXPECT_EQ(h.controller->cancel_operation(std::nullopt), running);
                    if (running) newer_began = true;
                    break;
                }
            }
            if (newer_began) {
                h.settle();
                EXPECT_NE(session_of(*h.state()), first.session);
            }
            const State state = h.copy_of_state();
            EXPECT_EQ(state.active_operation.has_value(), state.operation_token != nullptr);
        }
        h.settle();
        // Screens reach the listener in operation order.
        for (std::size_t i = 1; i < h.seen->size(); ++i) {
            EXPECT_LE(h.seen->at(i - 1).operation_id, h.seen->at(i).operation_id);
        }
        h.controller->close();
        const auto events = h.log_events();
        const auto count = [&](const char* event) { return std::count(events.begin(), events.end(), event); };
        EXPECT_EQ(count("operationStarted"), count("operationFinished") + count("operationCancelled"));
        // No workspace is left behind by the controller.
        EXPECT_TRUE(h.copy_of_state().awaiting_disposal.empty());
        EXPECT_LE(first.close_count(), 1);
        EXPECT_LE(second.close_count(), 1);
    } while (std::next_permutation(steps.begin(), steps.end()));
}

// The real executors: a compare's work runs on the background worker, its screen is delivered on the
// UI worker, and shutdown joins them in the server's order.
TEST(Interleavings, ACompareOverQueueExecutorsReachesTheReviewScreen) {
    auto use_cases = std::make_shared<ambrel::testing::RecordingUseCases>();
    use_cases->script.sanitize_diagnostic.answer_with([](const std::string& text) { return text; });
    ProbeSession probe;
    use_cases->script.compare_endpoints_with_settings.answer(probe.session);
    auto background = QueueExecutor::create();
    auto ui = QueueExecutor::create();
    auto cleanup = QueueExecutor::create();
    auto controller = WorkflowControllerBuilder(use_cases, background, ui)
                          .cleanup(cleanup)
                          .is_ui_thread([ui] { return ui->is_worker_thread(); })
                          .build();
    std::promise<bool> reviewed;
    bool done = false;
    (void)controller.add_state_listener([&](const StateSnapshot& snapshot) {
        if (!done && std::holds_alternative<ReviewingState>(snapshot.state)) {
            done = true;
            reviewed.set_value(ui->is_worker_thread());
        }
    });
    std::shared_ptr<Inner> inner = controller.inner();
    auto started = inner->begin_operation_if(OperationKind::Compare, true, false, std::nullopt);
    ASSERT_TRUE(started);
    const std::uint64_t id = started->id;
    inner->schedule_after_cleanup(std::move(*started), [inner, id, use_cases] {
        inner->run_use_case<SessionRef>(
            id,
            [use_cases](const domain::CancellationToken& token) {
                return use_cases->compare_endpoints_with_settings(testing::org("a"), testing::org("b"), {},
                                                                  metadata_types::LayoutComparisonMode::Whole, false,
                                                                  false, token);
            },
            [](State& state, SessionRef session) -> WorkflowState {
                state.current_session = session;
                return ReviewingState{session, session->ui_differences(), std::nullopt, std::nullopt};
            });
    });
    EXPECT_TRUE(reviewed.get_future().get());
    controller.close();
    EXPECT_EQ(probe.close_count(), 1);
    for (const auto& executor : {background, ui, cleanup}) executor->shutdown_and_join();
}

}  // namespace
}  // namespace ambrel::workflow
