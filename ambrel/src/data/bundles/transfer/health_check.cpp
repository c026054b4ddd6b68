#include "data/bundles/transfer/health_check.hpp"

#include <algorithm>
#include <cstddef>
#include <limits>

#include <fmt/format.h>

#include "data/bundles/transfer/record_views.hpp"

namespace ambrel::data::bundles::transfer {
namespace {

// Steps that do not depend on the plan: 12 describes, 3 catalogue reads and the tag count.
constexpr std::uint64_t kFixedSteps = 16;
// Reads per layer: the source side, the target side and the target by key.
constexpr std::uint64_t kStepsPerLayer = 3;

constexpr std::string_view kTagCountQuery =
    "SELECT ReferenceObjectId, COUNT(Id) tagCount FROM ExpressionSetConstraintObj WHERE ReferenceObjectId IN ({}) "
    "GROUP BY ReferenceObjectId";
constexpr std::string_view kTagReference = "ReferenceObjectId";
constexpr std::string_view kTagCountMember = "tagCount";
// The name an aggregate column gets when the query gives it no alias.
constexpr std::string_view kUnaliasedCountMember = "expr0";

// A JSON integer of at least 0.
std::optional<std::uint64_t> whole_count(const json::Value& value) {
    if (value.is_uint64()) {
        return value.get_uint64();
    }
    if (value.is_int64() && value.get_int64() >= 0) {
        return static_cast<std::uint64_t>(value.get_int64());
    }
    return std::nullopt;
}

}  // namespace

std::uint32_t health_step_total(std::uint64_t layers) noexcept {
    constexpr std::uint64_t kCap = std::numeric_limits<std::uint32_t>::max();
    if (layers > (kCap - kFixedSteps) / kStepsPerLayer) {
        return static_cast<std::uint32_t>(kCap);
    }
    return static_cast<std::uint32_t>(kStepsPerLayer * layers + kFixedSteps);
}

ConstraintTagCounts constraint_tag_counts(synthesis::RecordChannels& channels, std::string_view target_alias,
                                          std::span<const std::string> ids, const domain::CancellationToken& token) {
    using Status = ConstraintTagCounts::Status;
    ConstraintTagCounts result;
    for (std::size_t start = 0; start < ids.size(); start += synthesis::kMaxRecordsPerRequest) {
        const auto chunk = ids.subspan(start, std::min(synthesis::kMaxRecordsPerRequest, ids.size() - start));
        auto rows = channels.query(target_alias, fmt::format(fmt::runtime(kTagCountQuery), quoted_list(chunk)), token);
        if (!rows) {
            // The count only colours advice texts, so a failed query leaves it unknown.
            return ConstraintTagCounts{rows.error().is_cancelled() ? Status::Cancelled : Status::Unknown, {}};
        }
        for (const auto& row : *rows) {
            auto id = read_field(row, kTagReference);
            if (!id) {
                continue;
            }
            const auto* count = row.if_contains(kTagCountMember);
            if (count == nullptr) {
                count = row.if_contains(kUnaliasedCountMember);
            }
            const auto tags = count == nullptr ? std::nullopt : whole_count(*count);
            if (!tags) {
                return ConstraintTagCounts{Status::Unknown, {}};
            }
            result.counts[std::move(*id)] += *tags;
        }
    }
    return result;
}

}  // namespace ambrel::data::bundles::transfer
