// The deploy road on real worker threads: the same commands as with the manual executors, but with
// completions, clean-ups and commands racing, so the sanitizers see every shared access.

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "deploy_fixtures.hpp"
#include "workflow/queue_executor.hpp"

namespace ambrel::workflow {
namespace {

using namespace testing;
using domain::DeployMode;
using domain::FlsMode;

// A guard against a hang, never a speed check.
constexpr auto kHangGuard = std::chrono::seconds(60);

struct Threaded {
    std::shared_ptr<ambrel::testing::RecordingUseCases> use_cases = std::make_shared<ambrel::testing::RecordingUseCases>();
    std::shared_ptr<QueueExecutor> background = QueueExecutor::create();
    std::shared_ptr<QueueExecutor> ui = QueueExecutor::create();
    std::shared_ptr<QueueExecutor> cleanup = QueueExecutor::create();
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::string> kinds;
    std::optional<WorkflowController> controller;

    Threaded() {
        use_cases->script.sanitize_diagnostic.answer_with([](const std::string& text) { return text; });
        controller.emplace(WorkflowControllerBuilder(use_cases, background, ui)
                               .cleanup(cleanup)
                               .is_ui_thread([ui = ui] { return ui->is_worker_thread(); })
                               .build());
        (void)controller->add_state_listener([this](const StateSnapshot& snapshot) {
            std::lock_guard lock(mutex);
            kinds.emplace_back(wire_name(kind_of(snapshot.state)));
            changed.notify_all();
        });
    }
    ~Threaded() { stop(); }

    void stop() {
        for (const auto& executor : {background, ui, cleanup}) executor->shutdown_and_join();
    }

    // Waits until a delivered state of this kind arrives after `from` deliveries.
    bool wait_for(const std::string& kind, std::size_t from = 0) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, kHangGuard, [&] {
            for (std::size_t i = from; i < kinds.size(); ++i) {
                if (kinds[i] == kind) return true;
            }
            return false;
        });
    }
    std::size_t delivered() {
        std::lock_guard lock(mutex);
        return kinds.size();
    }

    void review(const SessionRef& session) {
        {
            auto guard = controller->inner()->lock();
            controller->inner()->state(guard).current_session = session;
        }
        controller->inner()->transition(ReviewingState{session, session->ui_differences(), std::nullopt, std::nullopt});
        ASSERT_TRUE(wait_for("reviewing"));
    }
};

TEST(ThreadedDeploy, TestsThenDeployReachTheResults) {
    Threaded t;
    RowSession probe({{row(MetadataType::ApexClass, "SvcTest")}});
    t.use_cases->script.list_apex_tests.answer(
        std::vector<domain::ApexTestCandidate>{{"SvcTest", domain::TestCandidateOrigin::Session, true}});
    t.use_cases->script.deploy.answer(summary_with_details("ok"));
    t.review(probe.session);
    ASSERT_TRUE(t.controller->deploy({key(MetadataType::ApexClass, "SvcTest")}, FlsMode::None, DeployMode::BestEffort));
    ASSERT_TRUE(t.wait_for("selectingTests"));
    const auto from = t.delivered();
    ASSERT_TRUE(t.controller->confirm_tests({"svctest"}, std::nullopt));
    ASSERT_TRUE(t.wait_for("results", from));
    t.stop();
    EXPECT_EQ(probe.close_count(), 1);
}

TEST(ThreadedDeploy, ACancelRacingTheDeployClosesTheSessionOnce) {
    for (int round = 0; round < 20; ++round) {
        SCOPED_TRACE(round);
        Threaded t;
        RowSession probe({{row(MetadataType::CustomField, "Account.X__c")}});
        t.use_cases->script.deploy.answer_with([](auto&&...) -> app::UseCaseResult<deployment::DeploymentSummary> {
            return summary_with_details("ok");
        });
        t.review(probe.session);
        ASSERT_TRUE(
            t.controller->deploy({key(MetadataType::CustomField, "Account.X__c")}, FlsMode::None, DeployMode::BestEffort));
        (void)t.controller->cancel_operation(std::nullopt);
        t.stop();
        EXPECT_EQ(probe.close_count(), 1);
        const auto kind = wire_name(kind_of(*t.controller->state()));
        EXPECT_TRUE(kind == "error" || kind == "results") << kind;
    }
}

}  // namespace
}  // namespace ambrel::workflow
