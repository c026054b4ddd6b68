#include "metadata/retrieve/retrieve_pair.hpp"

#include <array>
#include <system_error>
#include <vector>

#include "metadata/retrieve/retrieve_command.hpp"

namespace ambrel::metadata::retrieve {

void FailureSlot::record(concurrency::JobCancellation& other_side, MetadataRetrieveError error) {
    std::lock_guard lock(mutex_);
    if (error_) return;
    error_.emplace(std::move(error));
    other_side.stop();
}

std::optional<MetadataRetrieveError> FailureSlot::take() {
    std::lock_guard lock(mutex_);
    return std::exchange(error_, std::nullopt);
}

std::expected<std::thread, std::string> start_worker(std::function<void()> body) {
    try {
        return std::thread(std::move(body));
    } catch (const std::system_error& error) {
        return std::unexpected(std::string(error.what()));
    }
}

std::expected<void, MetadataRetrieveError> run_retrieve_pair(const cli::SfCliGateway& gateway,
                                                             std::chrono::milliseconds timeout,
                                                             const std::optional<SideRequest>& source,
                                                             const std::optional<SideRequest>& target,
                                                             const domain::CancellationToken& token,
                                                             const WorkerStarter& starter) {
    FailureSlot slot;
    concurrency::JobCancellation source_token(token);
    concurrency::JobCancellation target_token(token);

    struct Side {
        const std::optional<SideRequest>& request;
        concurrency::JobCancellation& own;
        concurrency::JobCancellation& other;
        bool output_required;
    };
    const std::array<Side, 2> sides{Side{source, source_token, target_token, true},
                                    Side{target, target_token, source_token, false}};

    std::vector<std::thread> workers;
    for (const Side& side : sides) {
        if (!side.request) continue;
        auto body = [&gateway, &slot, &side, timeout]() noexcept {
            try {
                auto done = retrieve_one(gateway, side.request->alias, side.request->project, timeout, side.own,
                                         side.output_required);
                if (!done) record_failure(slot, side.other, std::move(done.error()));
            } catch (...) {
                record_failure(slot, side.other,
                               MetadataRetrieveError::CouldNotRun{side.request->alias, std::string(kWorkerPanicked)});
            }
        };
        auto started = starter(body);
        if (!started) {
            record_failure(slot, side.other,
                           MetadataRetrieveError::CouldNotRun{side.request->alias, std::string(kWorkerPanicked)});
            break;
        }
        workers.push_back(std::move(*started));
    }
    for (std::thread& worker : workers) worker.join();
    if (auto error = slot.take()) return std::unexpected(std::move(*error));
    return {};
}

}  // namespace ambrel::metadata::retrieve
