#pragma once

// The reads of the two orgs that a transfer or health check makes before deciding anything: the
// describes of the six layer objects with each object's key field (`read_schemas`), the target's
// catalogue records (`read_catalogs`), the target's records by key value (`index_by_key_value`,
// `read_target_by_key`, `merge_key_index`) and the key values worth looking for
// (`key_candidates_by_layer`).
//
// Every read reports a progress label before each describe or query and fails with the channel's
// error unchanged (absent message: cancelled); nothing is returned in part. Besides those errors,
// `read_schemas` fails with "The object {} does not exist in {}." when the target lacks a layer
// object. Values are queried in chunks of at most 200, quoted by `quoted_list`, in ascending order.
//
// Borrows the channels for the call only; keeps nothing; runs on the caller's thread.

#include <functional>
#include <map>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "data/bundles/synthesis/record_channels.hpp"
#include "data/bundles/transfer/org_records.hpp"
#include "data/bundles/transfer/plan.hpp"

namespace ambrel::data::bundles::transfer {

using Progress = std::function<void(std::string_view label)>;
using synthesis::ChannelError;
using synthesis::ChannelResult;

// (object API name, key field name, key value) → the target records that carry it.
// Ordered with std::less<> so that a lookup by (object, field, value) views copies no text.
using KeyIndex =
    std::map<std::tuple<std::string, std::string, std::string>, std::vector<ExistingRecord>, std::less<>>;
using KeyCandidates = std::map<Layer, std::set<std::string>>;

ChannelResult<TransferSchemas> read_schemas(synthesis::RecordChannels& channels, std::string_view source_alias,
                                            std::string_view source_label, std::string_view target_alias,
                                            std::string_view target_label, const Progress& progress,
                                            const domain::CancellationToken& token);

ChannelResult<TargetCatalogs> read_catalogs(synthesis::RecordChannels& channels, std::string_view target_alias,
                                            std::string_view target_label, const Progress& progress,
                                            const domain::CancellationToken& token);

KeyIndex index_by_key_value(const SideRecords& target_records, const TransferSchemas& schemas);

KeyCandidates key_candidates_by_layer(const std::map<std::string, KeyField, std::less<>>& keys,
                                      const SideRecords& source_records);

ChannelResult<KeyIndex> read_target_by_key(synthesis::RecordChannels& channels, std::string_view target_alias,
                                           std::string_view target_label, std::span<const PlannedRecord> records,
                                           const TransferSchemas& schemas, const KeyCandidates& candidates,
                                           const Progress& progress, const domain::CancellationToken& token);

// Adds the second index's records, skipping a record whose id is already listed under the same key.
void merge_key_index(KeyIndex& index, KeyIndex second);

}  // namespace ambrel::data::bundles::transfer
