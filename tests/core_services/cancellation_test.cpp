#include <atomic>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "concurrency/cancellation.hpp"
#include "domain/cancellation.hpp"

namespace ambrel {
namespace {

class SwitchToken final : public domain::CancellationToken {
public:
    bool is_cancelled() const override {
        ++polls;
        return cancelled.load();
    }
    std::atomic<bool> cancelled{false};
    mutable std::atomic<int> polls{0};
};

TEST(Cancellation, NeverCancelledIsNeverCancelled) {
    domain::NeverCancelled never;
    const domain::CancellationToken& token = never;
    EXPECT_FALSE(token.is_cancelled());
}

TEST(Cancellation, JobOverNeverCancelledFollowsItsStopFlag) {
    domain::NeverCancelled never;
    concurrency::JobCancellation job(never);
    EXPECT_FALSE(job.is_cancelled());
    EXPECT_FALSE(job.is_stopped());
    job.stop();
    EXPECT_TRUE(job.is_cancelled());
    EXPECT_TRUE(job.is_stopped());
    job.stop();
    EXPECT_TRUE(job.is_cancelled());
}

TEST(Cancellation, JobFollowsTheCallersToken) {
    SwitchToken caller;
    concurrency::JobCancellation job(caller);
    EXPECT_FALSE(job.is_cancelled());
    caller.cancelled = true;
    EXPECT_TRUE(job.is_cancelled());
    EXPECT_FALSE(job.is_stopped());
    caller.cancelled = false;
    EXPECT_FALSE(job.is_cancelled());
}

TEST(Cancellation, StoppedJobDoesNotConsultTheCaller) {
    SwitchToken caller;
    concurrency::JobCancellation job(caller);
    job.stop();
    const int before = caller.polls.load();
    EXPECT_TRUE(job.is_cancelled());
    EXPECT_EQ(caller.polls.load(), before);
}

TEST(Cancellation, StopFromAnotherThreadIsSeenByPollingThreads) {
    domain::NeverCancelled never;
    concurrency::JobCancellation job(never);
    std::vector<std::thread> pollers;
    for (int i = 0; i < 3; ++i) {
        pollers.emplace_back([&job] {
            while (!job.is_cancelled()) std::this_thread::yield();
        });
    }
    std::thread stopper([&job] { job.stop(); });
    stopper.join();
    for (auto& t : pollers) t.join();
    EXPECT_TRUE(job.is_cancelled());
}

}  // namespace
}  // namespace ambrel
