#pragma once

#include <atomic>

#include "domain/cancellation.hpp"

namespace ambrel::concurrency {

// The token shared by the jobs of one parallel run: cancelled once the run is stopped (its first
// failure was recorded, or a sibling job failed) or when the caller's token is cancelled.
class JobCancellation final : public domain::CancellationToken {
public:
    // Borrows the caller's token, which must outlive this object.
    explicit JobCancellation(const domain::CancellationToken& caller) noexcept : caller_(caller) {}

    JobCancellation(const JobCancellation&) = delete;
    JobCancellation& operator=(const JobCancellation&) = delete;

    // The stop flag is read first, so a stopped run does not consult the caller's token.
    bool is_cancelled() const override;

    // A stopped run changes nothing; otherwise the caller's token decides and learns of the change.
    bool begin_target_change(domain::TargetChange change) const override;

    // Sets the stop flag; it stays set for the rest of the run. Any thread may call it.
    void stop() noexcept;

    // True once `stop` was called (the caller's token is not consulted).
    bool is_stopped() const noexcept;

private:
    const domain::CancellationToken& caller_;
    std::atomic<bool> stopped_{false};
};

}  // namespace ambrel::concurrency
