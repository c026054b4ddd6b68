#include "dependency/dependency_catalog.hpp"

#include <algorithm>
#include <limits>
#include <utility>

namespace ambrel::dependency {

namespace {

constexpr std::uint32_t kMaxChunkCount = std::numeric_limits<std::uint32_t>::max();

}  // namespace

void IdChunkCount::expect(std::uint64_t count) noexcept {
    const std::uint64_t room = kMaxChunkCount - expected;
    expected = count >= room ? kMaxChunkCount : expected + static_cast<std::uint32_t>(count);
}

void IdChunkCount::advance() noexcept {
    if (completed < kMaxChunkCount) ++completed;
    expected = std::max(expected, completed);
}

DependencyCatalog::DependencyCatalog(DependencyCatalog&& other) noexcept
    : progress_(std::exchange(other.progress_, std::nullopt)),
      id_chunks_(other.id_chunks()),
      gateway_(other.gateway_),
      timeout_(other.timeout_) {}

DependencyCatalog DependencyCatalog::with_progress(std::shared_ptr<progress::ProgressSink> sink) && {
    progress_ = std::move(sink);
    return std::move(*this);
}

IdChunkCount DependencyCatalog::id_chunks() const {
    const std::lock_guard lock(id_chunks_mutex_);
    return id_chunks_;
}

}  // namespace ambrel::dependency
