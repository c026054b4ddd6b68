#pragma once

// Reads, from one org, the records that already exist for the records a transfer plans to send, and
// groups them by natural key (`read_side`). One query per layer that has planned records and per
// chunk of at most 200 natural-key values, layers in send order, values ascending and quoted by
// `quoted_list`; the filter column is the code, the product name, or for the four lower layers the
// parent product's name, so those layers return everything the org holds under the planned parents.
// Only fields this side describes are selected; the target read also selects the link fields and,
// for references with a relationship name, "{relationship}.Id", so that references to records the
// target does not have show up as dangling.
//
// Calls the note callback with "{object} records of {endpoint label}" once per layer read, before its
// queries. Fails with the first failed query's `ChannelError` unchanged (absent message: cancelled);
// no later query is sent and nothing read is returned. Records without a usable Id or natural key are
// left out silently. Never polls the token itself: it is handed to every query.
//
// Borrows the channels for the call only; keeps nothing; runs on the caller's thread.

#include <string_view>

#include "data/bundles/synthesis/record_channels.hpp"
#include "data/bundles/transfer/org_reads.hpp"
#include "data/bundles/transfer/org_records.hpp"
#include "data/bundles/transfer/plan.hpp"
#include "domain/cancellation.hpp"

namespace ambrel::data::bundles::transfer {

// How much of each record a side read keeps: everything, or only its Id and key value (the queries
// are the same either way).
enum class SideDetail { Full, IdentityOnly };

// The records of `org` under each planned natural key, in returned order per key.
ChannelResult<SideRecords> read_side(synthesis::RecordChannels& channels, std::string_view org,
                                     std::string_view endpoint_label, Side side, const TransferPlan& plan,
                                     const TransferSchemas& schemas, const Progress& note,
                                     const domain::CancellationToken& token);

// The same read keeping only what `detail` asks for; with `IdentityOnly` the records carry no values,
// links or dangling references.
ChannelResult<SideRecords> read_side(synthesis::RecordChannels& channels, std::string_view org,
                                     std::string_view endpoint_label, Side side, const TransferPlan& plan,
                                     const TransferSchemas& schemas, const Progress& note,
                                     const domain::CancellationToken& token, SideDetail detail);

}  // namespace ambrel::data::bundles::transfer
