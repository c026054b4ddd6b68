#pragma once

// Running the retrieve command for the requested sides at once: one unnamed worker thread per
// requested side (also when only one side runs), each with its own `JobCancellation` over the
// caller's token. The first failure is kept in a failure slot and stops the other side's run; later
// failures are dropped. An exception that escapes a worker, or a worker that cannot be started, is
// `CouldNotRun` for its side ("metadata retrieve worker panicked"); the calling thread waits for every
// worker that started before it returns.
//
// The slot's mutex guards its error; workers share the gateway (safe for concurrent use), the slot and
// the two side tokens. Borrows the gateway for the call.

#include <chrono>
#include <expected>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "cli/gateway.hpp"
#include "concurrency/cancellation.hpp"
#include "domain/cancellation.hpp"
#include "metadata/retrieve/retrieve_error.hpp"

namespace ambrel::metadata::retrieve {

inline constexpr std::string_view kWorkerPanicked = "metadata retrieve worker panicked";

// One side to retrieve: its org alias and its project folder.
struct SideRequest {
    std::string alias;
    std::filesystem::path project;
};

// The first failure of a run of several workers.
class FailureSlot {
public:
    // Keeps the error when the slot is empty and then stops `other_side`; a later error is dropped.
    void record(concurrency::JobCancellation& other_side, MetadataRetrieveError error);
    std::optional<MetadataRetrieveError> take();

private:
    std::mutex mutex_;
    // Guarded by mutex_.
    std::optional<MetadataRetrieveError> error_;
};

// record_failure of the retrieve services.
inline void record_failure(FailureSlot& slot, concurrency::JobCancellation& other_side, MetadataRetrieveError error) {
    slot.record(other_side, std::move(error));
}

// Starts a worker thread for a body that never throws; a failure carries the system's reason.
using WorkerStarter = std::function<std::expected<std::thread, std::string>(std::function<void()>)>;

// Starts a plain std::thread.
std::expected<std::thread, std::string> start_worker(std::function<void()> body);

// Runs the requested sides (the source with output required) and returns the first failure.
std::expected<void, MetadataRetrieveError> run_retrieve_pair(const cli::SfCliGateway& gateway,
                                                             std::chrono::milliseconds timeout,
                                                             const std::optional<SideRequest>& source,
                                                             const std::optional<SideRequest>& target,
                                                             const domain::CancellationToken& token,
                                                             const WorkerStarter& starter = start_worker);

}  // namespace ambrel::metadata::retrieve
