#include <atomic>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "concurrency/cancellation.hpp"
#include "domain/cancellation.hpp"
#include "support/doubles.hpp"

namespace ambrel {
namespace {

using ambrel::testing::TestToken;

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
    TestToken caller;
    concurrency::JobCancellation job(caller);
    EXPECT_FALSE(job.is_cancelled());
    caller.set(true);
    EXPECT_TRUE(job.is_cancelled());
    EXPECT_FALSE(job.is_stopped());
    caller.set(false);
    EXPECT_FALSE(job.is_cancelled());
}

TEST(Cancellation, StoppedJobDoesNotConsultTheCaller) {
    TestToken caller;
    concurrency::JobCancellation job(caller);
    job.stop();
    const int before = caller.polls();
    EXPECT_TRUE(job.is_cancelled());
    EXPECT_EQ(caller.polls(), before);
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
