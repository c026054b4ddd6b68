#pragma once

// The dependency catalogue's own state: the gateway its CLI commands run through, their time-out,
// the optional progress sink it reports to, and the counter of id chunks that progress shows. A
// catalogue lives for one discovery; it is built with both chunk counts at 0 and no sink.
//
// Never fails: building, moving and reading the state have no failure.
//
// Thread-safety: the chunk counter is guarded by its own mutex, so worker threads may read it while
// the calling thread advances it; everything else is set while building and only read afterwards.
// Borrows the gateway, which must outlive the catalogue.

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>

#include "cli/gateway.hpp"
#include "progress/progress.hpp"

namespace ambrel::dependency {

// How many id chunks were announced and how many are finished. Both counts stop at the largest
// 32-bit value instead of wrapping, and after an advance `expected` is never below `completed`.
struct IdChunkCount {
    std::uint32_t completed = 0;
    std::uint32_t expected = 0;

    // `expected` grows by `count`, stopping at the largest 32-bit value.
    void expect(std::uint64_t count) noexcept;
    // `completed` grows by one (stopping at the largest 32-bit value); `expected` is raised to it.
    void advance() noexcept;

    bool operator==(const IdChunkCount&) const = default;
};

class DependencyCatalog {
public:
    DependencyCatalog(const cli::SfCliGateway& gateway, std::chrono::milliseconds timeout) noexcept
        : gateway_(gateway), timeout_(timeout) {}

    // Takes the other catalogue's sink and a snapshot of its chunk counter; the mutex is new.
    DependencyCatalog(DependencyCatalog&& other) noexcept;
    DependencyCatalog(const DependencyCatalog&) = delete;
    DependencyCatalog& operator=(const DependencyCatalog&) = delete;
    DependencyCatalog& operator=(DependencyCatalog&&) = delete;
    ~DependencyCatalog() = default;

    // The catalogue reporting to `sink` from now on; a sink held before is released.
    DependencyCatalog with_progress(std::shared_ptr<progress::ProgressSink> sink) &&;

    const std::optional<std::shared_ptr<progress::ProgressSink>>& progress() const noexcept { return progress_; }
    const cli::SfCliGateway& gateway() const noexcept { return gateway_; }
    std::chrono::milliseconds timeout() const noexcept { return timeout_; }
    // A copy of the chunk counter, taken under its mutex.
    IdChunkCount id_chunks() const;

private:
    std::optional<std::shared_ptr<progress::ProgressSink>> progress_;
    // State below is guarded by `id_chunks_mutex_`.
    mutable std::mutex id_chunks_mutex_;
    IdChunkCount id_chunks_;
    // Set while building, read-only afterwards.
    const cli::SfCliGateway& gateway_;
    std::chrono::milliseconds timeout_;
};

}  // namespace ambrel::dependency
