#pragma once

// Runs one function over a list of work items on at most a given number of worker threads, started
// and joined within the call. Results come back in the order of the items; a run that fails returns
// one failure: the one of the lowest item index, except that a cancellation never displaces a failure
// of another kind.

#include <atomic>
#include <cstddef>
#include <deque>
#include <expected>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "cli/catalog_error.hpp"
#include "concurrency/cancellation.hpp"
#include "domain/cancellation.hpp"
#include "support/programming_error.hpp"

namespace ambrel::concurrency {

// The failure held by a run: the item index it belongs to and the error.
struct FailureCell {
    std::mutex mutex;
    std::optional<std::pair<std::size_t, cli::CatalogError>> failure;
};

// The one place where a failure enters a run. A held failure stays when the new one has an equal or
// higher index, or is a cancellation while the held one is not; otherwise the new one replaces it.
// Either way the run's stop flag is set before the cell is released.
void record_failure(FailureCell& cell, JobCancellation& job, std::size_t index, cli::CatalogError error);

// "Salesforce {label} was cancelled", the cancelled kind of CliError.
cli::CatalogError cancelled_failure(std::string_view label);

// "a {label} worker panicked": a worker whose work function threw.
cli::CatalogError worker_fault_failure(std::string_view label);

namespace detail {

// Starts one worker thread, or says why it could not.
using ThreadStarter = std::function<std::expected<std::thread, std::string>(std::function<void()>)>;

std::expected<std::thread, std::string> start_unnamed_thread(std::function<void()> body);

// Reports a fault inside a worker on standard error.
void report_worker_fault(std::string_view label, std::exception_ptr fault);

template <class Item, class Work>
using WorkResult = typename std::invoke_result_t<Work&, Item&&, const domain::CancellationToken&>::value_type;

template <class Item, class Work>
std::expected<std::vector<WorkResult<Item, Work>>, cli::CatalogError> run_bounded_with(
    std::vector<Item> items, std::size_t max_workers, std::string_view label, const domain::CancellationToken& token,
    Work& work, const ThreadStarter& start_thread) {
    using Result = WorkResult<Item, Work>;
    static_assert(std::is_same_v<std::invoke_result_t<Work&, Item&&, const domain::CancellationToken&>,
                                 std::expected<Result, cli::CatalogError>>,
                  "the work returns std::expected<Result, CatalogError>");

    const std::size_t count = items.size();
    if (count == 0) return std::vector<Result>{};
    if (token.is_cancelled()) return std::unexpected(cancelled_failure(label));

    const std::size_t workers = std::min(count, std::max<std::size_t>(max_workers, 1));

    std::mutex queue_mutex;
    std::deque<std::pair<std::size_t, Item>> queue;
    for (std::size_t index = 0; index < count; ++index) queue.emplace_back(index, std::move(items[index]));
    std::mutex results_mutex;
    std::vector<std::optional<Result>> results(count);
    FailureCell failure;
    JobCancellation job(token);
    // Workers whose work threw; their fault is recorded only after every worker has ended.
    std::atomic<std::size_t> faulted_workers = 0;

    auto work_loop = [&] {
        while (true) {
            std::optional<std::pair<std::size_t, Item>> next;
            {
                std::lock_guard lock(queue_mutex);
                if (queue.empty()) return;
                next.emplace(std::move(queue.front()));
                queue.pop_front();
            }
            const std::size_t index = next->first;
            if (job.is_cancelled()) {
                record_failure(failure, job, index, cancelled_failure(label));
                return;
            }
            std::expected<Result, cli::CatalogError> outcome =
                std::invoke(work, std::move(next->second), static_cast<const domain::CancellationToken&>(job));
            if (!outcome) {
                record_failure(failure, job, index, std::move(outcome.error()));
                return;
            }
            std::lock_guard lock(results_mutex);
            results[index].emplace(std::move(*outcome));
        }
    };
    auto worker = [&] {
        try {
            work_loop();
        } catch (...) {
            // A fault ends only this worker: the others carry on with the queue, so that a real failure
            // of a later item is still met and reported in the fault's place.
            report_worker_fault(label, std::current_exception());
            ++faulted_workers;
        }
    };

    std::vector<std::thread> threads;
    threads.reserve(workers);
    std::optional<std::string> start_failure;
    for (std::size_t i = 0; i < workers; ++i) {
        auto started = start_thread(worker);
        if (!started) {
            start_failure = std::move(started.error());
            break;
        }
        threads.push_back(std::move(*started));
    }
    if (start_failure) {
        // The started workers borrow this frame: stop them and wait for them before giving up.
        job.stop();
    }
    for (auto& thread : threads) thread.join();
    if (start_failure) {
        support::fail_precondition(fmt::format("Could not start a {} worker: {}", label, *start_failure));
    }
    // Its index sorts after every item's, so the fault is the answer only when no item failed.
    if (faulted_workers.load() > 0) record_failure(failure, job, count, worker_fault_failure(label));

    if (failure.failure) return std::unexpected(std::move(failure.failure->second));
    std::vector<Result> out;
    out.reserve(count);
    for (auto& slot : results) {
        support::require(slot.has_value(), "every item without a recorded failure has a result");
        out.push_back(std::move(*slot));
    }
    return out;
}

}  // namespace detail

// Runs `work` (item, token) -> std::expected<Result, CatalogError> over the items on at most
// `max_workers` threads (0 counts as 1) and returns the results in item order, or the run's failure.
// The token handed to the work reports cancellation once the caller's token does or another item
// failed; items not yet started are then dropped. An empty list returns at once; a token already
// cancelled gives "Salesforce {label} was cancelled" without starting a thread. A work function that
// throws ends its worker while the others go on; the run then fails with "a {label} worker panicked"
// unless an item failed. The call returns only
// after every worker has ended, so items, results and the work may borrow from the caller.
template <class Item, class Work>
std::expected<std::vector<detail::WorkResult<Item, Work>>, cli::CatalogError> run_bounded(
    std::vector<Item> items, std::size_t max_workers, std::string_view label, const domain::CancellationToken& token,
    Work&& work) {
    return detail::run_bounded_with(std::move(items), max_workers, label, token, work,
                                    detail::ThreadStarter(detail::start_unnamed_thread));
}

}  // namespace ambrel::concurrency
