#include <pthread.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "harness.hpp"
#include "workflow/queue_executor.hpp"
#include "workflow/task_executor.hpp"
#include "workflow/tokens.hpp"

namespace ambrel::workflow {
namespace {

using testing::Harness;
using testing::ManualExecutor;

std::string current_thread_name() {
    char name[32] = {};
    pthread_getname_np(pthread_self(), name, sizeof name);
    return name;
}

TEST(QueueExecutor, RunsTheTasksOfEveryThreadInQueueOrder) {
    auto executor = QueueExecutor::create();
    std::mutex mutex;
    std::vector<std::pair<int, int>> ran;
    std::vector<std::thread> senders;
    for (int sender = 0; sender < 4; ++sender) {
        senders.emplace_back([&, sender] {
            for (int i = 0; i < 50; ++i) {
                EXPECT_FALSE(executor->execute([&, sender, i] {
                    std::lock_guard lock(mutex);
                    ran.emplace_back(sender, i);
                }));
            }
        });
    }
    for (auto& sender : senders) sender.join();
    executor->shutdown_and_join();
    ASSERT_EQ(ran.size(), 200U);
    std::vector<int> next(4, 0);
    for (const auto& [sender, i] : ran) EXPECT_EQ(i, next[sender]++);
}

TEST(QueueExecutor, ATaskThatThrowsIsReportedAndTheNextTaskRuns) {
    auto executor = QueueExecutor::create();
    std::promise<void> after;
    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(executor->execute([] { throw std::runtime_error("boom"); }));
    EXPECT_FALSE(executor->execute([] { throw 42; }));
    EXPECT_FALSE(executor->execute([&] { after.set_value(); }));
    after.get_future().wait();
    executor->shutdown_and_join();
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, "ambrel-server: worker task panicked\nambrel-server: worker task panicked\n");
}

TEST(QueueExecutor, ShutdownRunsWhatWasQueuedThenHandsTasksBack) {
    auto executor = QueueExecutor::create();
    std::atomic<int> ran{0};
    for (int i = 0; i < 20; ++i) {
        EXPECT_FALSE(executor->execute([&] {
            std::this_thread::yield();
            ++ran;
        }));
    }
    executor->shutdown_and_join();
    EXPECT_EQ(ran.load(), 20);
    bool run = false;
    auto back = executor->execute([&] { run = true; });
    ASSERT_TRUE(back.has_value());
    (*back)();
    EXPECT_TRUE(run);
    // A second shutdown returns at once.
    executor->shutdown_and_join();
}

TEST(QueueExecutor, KnowsItsWorkerThread) {
    auto executor = QueueExecutor::create();
    std::promise<std::pair<std::thread::id, bool>> inside;
    EXPECT_FALSE(executor->execute(
        [&] { inside.set_value({std::this_thread::get_id(), executor->is_worker_thread()}); }));
    const auto [worker, on_worker] = inside.get_future().get();
    EXPECT_TRUE(on_worker);
    EXPECT_EQ(executor->worker_id(), worker);
    EXPECT_FALSE(executor->is_worker_thread());
    executor->shutdown_and_join();
}

TEST(ThreadSpawnExecutor, RunsEachTaskOnANamedThreadOfItsOwn) {
    ThreadSpawnExecutor executor;
    std::promise<std::pair<std::string, std::thread::id>> inside;
    EXPECT_FALSE(executor.execute([&] { inside.set_value({current_thread_name(), std::this_thread::get_id()}); }));
    const auto [name, id] = inside.get_future().get();
    EXPECT_EQ(name, "quillary-cleanu");
    EXPECT_NE(id, std::this_thread::get_id());
}

TEST(ThreadSpawnExecutor, ATaskThatThrowsEndsOnlyItsThread) {
    ThreadSpawnExecutor executor;
    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(executor.execute([] { throw std::runtime_error("boom"); }));
    std::promise<void> after;
    EXPECT_FALSE(executor.execute([&] { after.set_value(); }));
    after.get_future().wait();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
}

class FlagToken final : public domain::CancellationToken {
public:
    explicit FlagToken(bool cancelled) : cancelled_(cancelled) {}
    bool is_cancelled() const override { return cancelled_; }

private:
    bool cancelled_;
};

TEST(CancellationTokens, CombineTheOperationFlagWithTheOuterToken) {
    struct Case {
        const char* name;
        bool flag;
        std::optional<bool> outer;
        bool expected;
    };
    const Case cases[] = {
        {"no outer, flag clear", false, std::nullopt, false},
        {"no outer, flag set", true, std::nullopt, true},
        {"outer cancelled, flag clear", false, true, true},
        {"outer clear, flag clear", false, false, false},
        {"outer clear, flag set", true, false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto flag = std::make_shared<MutableCancellationToken>();
        if (c.flag) {
            EXPECT_TRUE(flag->cancel());
        }
        std::unique_ptr<domain::CancellationToken> outer;
        if (c.outer) outer = std::make_unique<FlagToken>(*c.outer);
        CombinedToken token(flag, std::move(outer));
        EXPECT_EQ(token.is_cancelled(), c.expected);
    }
    EXPECT_TRUE(AlwaysCancelled().is_cancelled());
}

TEST(CancellationTokens, OneCancellationReachesEveryTokenOfTheOperation) {
    auto flag = std::make_shared<MutableCancellationToken>();
    CombinedToken first(flag, nullptr);
    CombinedToken second(flag, nullptr);
    EXPECT_FALSE(first.is_cancelled());
    EXPECT_TRUE(flag->cancel());
    EXPECT_FALSE(flag->cancel());
    EXPECT_TRUE(first.is_cancelled());
    EXPECT_TRUE(second.is_cancelled());
}

TEST(CleanupChain, ARefusingCleanupExecutorFallsBackToAThreadOfItsOwn) {
    auto use_cases = std::make_shared<ambrel::testing::RecordingUseCases>();
    auto background = std::make_shared<ManualExecutor>();
    auto ui = std::make_shared<ManualExecutor>();
    auto cleanup = QueueExecutor::create();
    cleanup->shutdown_and_join();
    auto controller = WorkflowControllerBuilder(use_cases, background, ui).cleanup(cleanup).build();
    std::promise<std::string> inside;
    controller.inner()->execute_non_project_cleanup(cleanup, [&] { inside.set_value(current_thread_name()); });
    EXPECT_EQ(inside.get_future().get(), "quillary-cleanu");
}

TEST(CleanupChain, ACleanupOnTheUiThreadMovesToTheFallback) {
    Harness h;
    // The cleanup executor's worker is the UI thread: the UI-thread test says yes.
    auto controller = WorkflowControllerBuilder(h.use_cases, h.background, h.ui)
                          .cleanup(h.cleanup)
                          .is_ui_thread([] { return true; })
                          .fallback_for_testing(h.fallback)
                          .build();
    bool ran = false;
    controller.inner()->execute_non_project_cleanup(h.cleanup, [&] { ran = true; });
    EXPECT_EQ(h.cleanup->run_all(), 1);
    EXPECT_FALSE(ran);
    EXPECT_EQ(h.fallback->run_all(), 1);
    EXPECT_TRUE(ran);
}

TEST(CleanupChain, BothExecutorsRefusingRunsTheCleanupBeforeReturning) {
    Harness h;
    h.cleanup->refuse(true);
    h.fallback->refuse(true);
    bool ran = false;
    h.inner().execute_non_project_cleanup(h.cleanup, [&] { ran = true; });
    EXPECT_TRUE(ran);
}

}  // namespace
}  // namespace ambrel::workflow
