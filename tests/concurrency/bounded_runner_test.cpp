#include "concurrency/bounded_runner.hpp"

#include <atomic>
#include <algorithm>
#include <latch>
#include <mutex>
#include <set>
#include <stdexcept>

#include <gtest/gtest.h>

#include "support/doubles.hpp"

namespace ambrel::concurrency {
namespace {

using cli::CatalogError;
using cli::CliError;
using ambrel::testing::TestToken;

constexpr std::string_view kLabel = "dependency query";

using Outcome = std::expected<int, CatalogError>;

CatalogError real_failure(int item) { return CatalogError::Message{fmt::format("item {} failed.", item)}; }

// Waits (without a clock) until the run's token reports cancellation.
void wait_for_stop(const domain::CancellationToken& token) {
    while (!token.is_cancelled()) std::this_thread::yield();
}

TEST(RunBounded, AnEmptyListReturnsAtOnceEvenWhenCancelled) {
    TestToken token;
    token.cancel();
    bool called = false;
    auto result = run_bounded(std::vector<int>{}, 4, kLabel, token, [&](int, const domain::CancellationToken&) {
        called = true;
        return Outcome(1);
    });
    ASSERT_TRUE(result);
    EXPECT_TRUE(result->empty());
    EXPECT_FALSE(called);
}

TEST(RunBounded, ACancelledTokenStartsNothing) {
    TestToken token;
    token.cancel();
    std::atomic<int> calls = 0;
    auto result = run_bounded(std::vector<int>{1, 2}, 4, kLabel, token,
                              [&](int, const domain::CancellationToken&) { return Outcome(++calls); });
    ASSERT_FALSE(result);
    EXPECT_TRUE(result.error().is_cancelled());
    EXPECT_EQ(result.error().message(), "Salesforce dependency query was cancelled");
    EXPECT_EQ(calls, 0);
}

TEST(RunBounded, StartsNoMoreWorkersThanItemsAndAtLeastOne) {
    struct Case {
        std::size_t items;
        std::size_t max_workers;
        std::size_t started;
    };
    for (const auto& c : {Case{3, 4, 3}, Case{5, 0, 1}, Case{5, 2, 2}}) {
        std::atomic<std::size_t> started = 0;
        const detail::ThreadStarter counting = [&](std::function<void()> body) {
            ++started;
            return detail::start_unnamed_thread(std::move(body));
        };
        std::vector<int> items(c.items);
        for (std::size_t i = 0; i < c.items; ++i) items[i] = static_cast<int>(i);
        auto work = [](int item, const domain::CancellationToken&) { return Outcome(item * 10); };
        domain::NeverCancelled never;
        auto result = detail::run_bounded_with(std::move(items), c.max_workers, kLabel, never, work, counting);
        ASSERT_TRUE(result);
        EXPECT_EQ(result->size(), c.items);
        EXPECT_EQ(started, c.started);
    }
}

TEST(RunBounded, ResultsFollowTheItemsWhateverOrderTheyFinishIn) {
    std::latch last_done(1);
    domain::NeverCancelled never;
    auto result = run_bounded(std::vector<std::string>{"a", "b", "c"}, 3, kLabel, never,
                              [&](std::string item, const domain::CancellationToken&) {
                                  if (item == "a") last_done.wait();
                                  if (item == "c") last_done.count_down();
                                  return std::expected<std::string, CatalogError>(item + item);
                              });
    ASSERT_TRUE(result);
    EXPECT_EQ(*result, (std::vector<std::string>{"aa", "bb", "cc"}));
}

TEST(RunBounded, TheLowestIndexedRealFailureWins) {
    domain::NeverCancelled never;
    std::vector<int> items{0, 1, 2, 3, 4, 5};
    // Item 5 fails first; item 2, already running, then fails with a real error of its own.
    auto result = run_bounded(items, items.size(), kLabel, never, [&](int item, const domain::CancellationToken& token) {
        if (item == 5) return Outcome(std::unexpected(real_failure(5)));
        if (item == 2) {
            wait_for_stop(token);
            return Outcome(std::unexpected(real_failure(2)));
        }
        return Outcome(item);
    });
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().message(), "item 2 failed.");
}

TEST(RunBounded, AKnockOnCancellationNeverDisplacesARealFailure) {
    domain::NeverCancelled never;
    std::vector<int> items{0, 1, 2, 3, 4, 5};
    auto result = run_bounded(items, items.size(), kLabel, never, [&](int item, const domain::CancellationToken& token) {
        if (item == 5) return Outcome(std::unexpected(real_failure(5)));
        if (item == 2) {
            wait_for_stop(token);
            return Outcome(std::unexpected(CatalogError(CliError::cancelled(cli::kCommandCancelled))));
        }
        return Outcome(item);
    });
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().message(), "item 5 failed.");
}

TEST(RunBounded, ACallerCancellationDropsTheItemsNotYetStarted) {
    TestToken token;
    std::vector<int> seen;
    auto result = run_bounded(std::vector<int>{0, 1, 2, 3}, 1, kLabel, token,
                              [&](int item, const domain::CancellationToken&) {
                                  seen.push_back(item);
                                  if (item == 1) token.cancel();
                                  return Outcome(item);
                              });
    ASSERT_FALSE(result);
    EXPECT_TRUE(result.error().is_cancelled());
    EXPECT_EQ(result.error().message(), "Salesforce dependency query was cancelled");
    EXPECT_EQ(seen, (std::vector<int>{0, 1}));
}

TEST(RunBounded, AWorkerFaultIsReportedOnlyWhenNoItemFailed) {
    domain::NeverCancelled never;
    auto alone = run_bounded(std::vector<int>{0, 1, 2}, 1, kLabel, never, [](int item, const domain::CancellationToken&) {
        if (item == 1) throw std::runtime_error("unexpected");
        return Outcome(item);
    });
    ASSERT_FALSE(alone);
    EXPECT_EQ(alone.error().message(), "a dependency query worker panicked");
    EXPECT_FALSE(alone.error().is_cancelled());

    // Item 1 is running when item 0 faults; its own failure then takes precedence.
    std::latch second_started(1);
    std::latch first_faulted(1);
    auto with_failure = run_bounded(std::vector<int>{0, 1}, 2, kLabel, never,
                                    [&](int item, const domain::CancellationToken&) {
                                        if (item == 0) {
                                            second_started.wait();
                                            first_faulted.count_down();
                                            throw support::ProgrammingError("broken precondition");
                                        }
                                        second_started.count_down();
                                        first_faulted.wait();
                                        return Outcome(std::unexpected(real_failure(1)));
                                    });
    ASSERT_FALSE(with_failure);
    EXPECT_EQ(with_failure.error().message(), "item 1 failed.");
}

// Thrown by a work function; counts down once the worker has finished handling it (the exception
// object lives until its handler ends).
struct HandledFault : std::runtime_error {
    explicit HandledFault(std::latch& handled) : std::runtime_error("unexpected"), handled_(&handled) {}
    HandledFault(const HandledFault& other) : std::runtime_error(other), handled_(nullptr) {}
    ~HandledFault() override {
        if (handled_ != nullptr) handled_->count_down();
    }
    std::latch* handled_;
};

TEST(RunBounded, AFaultingWorkerLeavesTheOthersToMeetALaterRealFailure) {
    // Two workers: item 0 throws; the other worker goes on to item 2 only once the fault has been
    // handled, and item 2's real failure is the answer, not the fault.
    domain::NeverCancelled never;
    std::latch handled(1);
    std::vector<int> seen;
    std::mutex seen_mutex;
    auto result = run_bounded(std::vector<int>{0, 1, 2, 3}, 2, kLabel, never,
                              [&](int item, const domain::CancellationToken&) {
                                  {
                                      std::lock_guard lock(seen_mutex);
                                      seen.push_back(item);
                                  }
                                  if (item == 0) throw HandledFault(handled);
                                  if (item == 1) handled.wait();
                                  if (item == 2) return Outcome(std::unexpected(real_failure(2)));
                                  return Outcome(item);
                              });
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().message(), "item 2 failed.");
    EXPECT_FALSE(result.error().is_cancelled());
    std::ranges::sort(seen);
    EXPECT_EQ(seen, (std::vector<int>{0, 1, 2}));
}

TEST(RunBounded, AWorkerThatCannotStartStopsTheRunAfterTheStartedOnesEnded) {
    // The first worker is running item 0 before the second start fails.
    std::latch first_item_started(1);
    std::atomic<int> starts = 0;
    const detail::ThreadStarter failing_second = [&](std::function<void()> body)
        -> std::expected<std::thread, std::string> {
        if (++starts == 2) return std::unexpected(std::string("Resource temporarily unavailable"));
        auto thread = detail::start_unnamed_thread(std::move(body));
        first_item_started.wait();
        return thread;
    };
    std::atomic<int> running = 0;
    std::atomic<int> finished = 0;
    auto work = [&](int item, const domain::CancellationToken& token) {
        ++running;
        if (item == 0) {
            first_item_started.count_down();
            wait_for_stop(token);
        }
        ++finished;
        return Outcome(item);
    };
    domain::NeverCancelled never;
    try {
        (void)detail::run_bounded_with(std::vector<int>{0, 1, 2, 3}, 4, kLabel, never, work, failing_second);
        FAIL() << "a worker that cannot start is a programming error";
    } catch (const support::ProgrammingError& error) {
        EXPECT_STREQ(error.what(), "Could not start a dependency query worker: Resource temporarily unavailable");
    }
    // The first worker was stopped and joined before the call gave up.
    EXPECT_EQ(running.load(), finished.load());
    EXPECT_EQ(running.load(), 1);
}

TEST(RecordFailure, KeepsTheLowestIndexUnlessACancellationWouldDisplaceARealFailure) {
    struct Case {
        std::string name;
        std::size_t held_index;
        bool held_cancelled;
        std::size_t new_index;
        bool new_cancelled;
        bool replaced;
    };
    const std::vector<Case> cases = {
        {"lower real replaces real", 5, false, 2, false, true},
        {"higher real stays out", 2, false, 5, false, false},
        {"equal index stays out", 2, false, 2, false, false},
        {"lower cancellation does not displace real", 5, false, 2, true, false},
        {"lower real replaces cancellation", 5, true, 2, false, true},
        {"lower cancellation replaces cancellation", 5, true, 2, true, true},
    };
    auto make = [](bool cancelled, std::size_t index) {
        return cancelled ? CatalogError(CliError::cancelled(fmt::format("c{}", index)))
                         : CatalogError(CatalogError::Message{fmt::format("m{}", index)});
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        domain::NeverCancelled never;
        JobCancellation job(never);
        FailureCell cell;
        record_failure(cell, job, c.held_index, make(c.held_cancelled, c.held_index));
        EXPECT_TRUE(job.is_cancelled());
        record_failure(cell, job, c.new_index, make(c.new_cancelled, c.new_index));
        ASSERT_TRUE(cell.failure);
        EXPECT_EQ(cell.failure->first, c.replaced ? c.new_index : c.held_index);
        EXPECT_EQ(cell.failure->second, c.replaced ? make(c.new_cancelled, c.new_index)
                                                   : make(c.held_cancelled, c.held_index));
    }
}

}  // namespace
}  // namespace ambrel::concurrency
