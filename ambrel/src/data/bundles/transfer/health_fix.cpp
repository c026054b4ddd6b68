#include "data/bundles/transfer/health_fix.hpp"

#include <algorithm>
#include <cstddef>
#include <map>

#include <fmt/format.h>

#include "data/bundles/transfer/bundle_transfer.hpp"

namespace ambrel::data::bundles::transfer {
namespace {

constexpr std::string_view kUnexpectedDeleteAnswer = "the target answered the delete request with an unexpected body";
// Filled with the status code and the message of the outcome's first error.
constexpr std::string_view kRefusalFormat = "{}: {}";

std::string refusal_of(const synthesis::CompositeOutcome& outcome) {
    if (outcome.errors.empty()) {
        return std::string(kRefusedWithoutReason);
    }
    const auto& first = outcome.errors.front();
    return fmt::format(fmt::runtime(kRefusalFormat), first.status_code, first.message);
}

std::uint64_t sum_of(const std::map<std::string, std::uint64_t>& counts) {
    std::uint64_t sum = 0;
    for (const auto& [object, count] : counts) {
        sum += count;
    }
    return sum;
}

}  // namespace

std::expected<FixOutcome, FixCancelled> delete_target_records(synthesis::RecordChannels& channels,
                                                               std::string_view target_alias,
                                                               const std::vector<DeleteGroup>& groups,
                                                               const FixProgress& progress,
                                                               const domain::CancellationToken& token) {
    std::uint64_t total = 0;
    for (const auto& [object, ids] : groups) {
        total += ids.size();
    }
    FixOutcome outcome;
    const auto cancelled = [&](std::uint64_t in_flight) {
        return std::unexpected(FixCancelled{sum_of(outcome.deleted), total, in_flight});
    };

    for (const auto& [object, ids] : groups) {
        progress(object);
        for (std::size_t start = 0; start < ids.size(); start += synthesis::kMaxRecordsPerRequest) {
            const auto count = std::min(synthesis::kMaxRecordsPerRequest, ids.size() - start);
            if (token.is_cancelled()) {
                return cancelled(0);
            }
            const std::vector<std::string> chunk(ids.begin() + static_cast<std::ptrdiff_t>(start),
                                                 ids.begin() + static_cast<std::ptrdiff_t>(start + count));
            auto answer = channels.remove(target_alias, chunk, token);
            if (!answer) {
                if (answer.error().is_cancelled()) {
                    return cancelled(count);
                }
                // A failed request leaves the rest of its group unsent: the same failure would meet it.
                for (std::size_t rest = start; rest < ids.size(); ++rest) {
                    outcome.refused.insert_or_assign(ids[rest], *answer.error().message);
                }
                break;
            }
            if (answer->size() != chunk.size()) {
                for (const auto& id : chunk) {
                    outcome.refused.insert_or_assign(id, std::string(kUnexpectedDeleteAnswer));
                }
                continue;
            }
            for (std::size_t index = 0; index < chunk.size(); ++index) {
                const auto& result = (*answer)[index];
                if (result.success) {
                    ++outcome.deleted[object];
                } else {
                    outcome.refused.insert_or_assign(chunk[index], refusal_of(result));
                }
            }
        }
    }
    return outcome;
}

}  // namespace ambrel::data::bundles::transfer
