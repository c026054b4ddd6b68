#pragma once

// The automatic fix of the target health check: deletes chosen target records, group by group in the
// order given, in delete requests of at most 200 Ids, so that the next deploy creates them anew. It
// decides nothing about which records to delete: the Ids are sent as given, unchecked, duplicates
// included.
//
// Nothing here fails as a whole. A request that fails with a message refuses, with that message, its
// own Ids and every later Id of its group (the rest of the group is not sent); the next group is still
// processed. An answer with another number of outcomes than Ids refuses the request's Ids with "the
// target answered the delete request with an unexpected body" and the group goes on. A record the
// target refuses carries "{status code}: {message}" of its first error, or "the target refused the
// record without naming a reason". A later reason for the same Id replaces an earlier one.
//
// Cancellation is polled before every request and honoured when the channel reports it during one;
// the result is then a `FixCancelled` that says what is known to be deleted and how many Ids of a
// request already sent may have been applied. Records already deleted stay deleted.
//
// Borrows the channels for the call only; keeps nothing; runs on the caller's thread, one request at
// a time.

#include <cstdint>
#include <expected>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "data/bundles/synthesis/record_channels.hpp"
#include "data/bundles/transfer/fix_outcome.hpp"
#include "domain/cancellation.hpp"

namespace ambrel::data::bundles::transfer {

// The result when the fix was cancelled.
struct FixCancelled {
    // Records the target reported as deleted before the cancellation.
    std::uint64_t deleted = 0;
    // Ids over all groups, duplicates counted.
    std::uint64_t total = 0;
    // Ids of the request under way when the cancellation was noticed; 0 between requests.
    std::uint64_t in_flight = 0;

    friend bool operator==(const FixCancelled&, const FixCancelled&) = default;
};

// One object's records to delete: (object API name, record Ids).
using DeleteGroup = std::pair<std::string, std::vector<std::string>>;

// Called with each group's object name before its deletes, also for a group without Ids.
using FixProgress = std::function<void(std::string_view object)>;

std::expected<FixOutcome, FixCancelled> delete_target_records(synthesis::RecordChannels& channels,
                                                               std::string_view target_alias,
                                                               const std::vector<DeleteGroup>& groups,
                                                               const FixProgress& progress,
                                                               const domain::CancellationToken& token);

}  // namespace ambrel::data::bundles::transfer
