#include "concurrency/cancellation.hpp"

namespace ambrel::concurrency {

// A stale false only costs one more step of work, so relaxed ordering is enough here.
bool JobCancellation::is_cancelled() const {
    if (stopped_.load(std::memory_order_relaxed)) return true;
    return caller_.is_cancelled();
}

bool JobCancellation::begin_target_change(domain::TargetChange change) const {
    if (stopped_.load(std::memory_order_relaxed)) return false;
    return caller_.begin_target_change(change);
}

void JobCancellation::stop() noexcept { stopped_.store(true, std::memory_order_relaxed); }

bool JobCancellation::is_stopped() const noexcept { return stopped_.load(std::memory_order_relaxed); }

}  // namespace ambrel::concurrency
