#pragma once

// The send order of planned records (`plan_order_before`: layer, then chain depth, then key, so
// every record's predecessors go first) and the decision for one planned record (`decide`): create
// it, update or keep the target's one copy, or hold it back with the reason why.
//
// `decide` matches in this order: a planned field the target's describe lacks holds the record back
// ("the target no longer has the field {object}.{field}"); the source must hold exactly one record of
// the key ("it no longer exists in the source", or "{label} matches {n} records in the source"); a
// target record carrying the source record's key value or reversed 18-character Id in the object's
// key field for transfer is the copy, whatever its natural key; only without such a record does the
// natural key decide. Several copies hold the record back with "{label} matches {n} records in the
// target" and their Ids. One copy goes to `update_or_unchanged`, whose refusal of a copy with
// broken references is the only other way a record is not sent.
//
// Pure functions over what the transfer has already read; never fail; never call an org; any thread.

#include <cstdint>
#include <set>
#include <span>

#include "data/bundles/transfer/decision.hpp"
#include "data/bundles/transfer/org_reads.hpp"
#include "data/bundles/transfer/org_records.hpp"
#include "data/bundles/transfer/plan.hpp"

namespace ambrel::data::bundles::transfer {

// True when `a` is sent before `b`: by layer, then chain depth (smaller first), then key.
bool plan_order_before(const PlannedRecord& a, const PlannedRecord& b) noexcept;

// The distinct layers of the planned records, in layer order.
std::set<Layer> plan_layers(std::span<const PlannedRecord> records);

Decision decide(const PlannedRecord& record, const TransferSchemas& schemas, const SideRecords& source_records,
                const SideRecords& target_records, const KeyIndex& key_index, const TargetIds& target_ids,
                const TargetCatalogs& catalogs);

}  // namespace ambrel::data::bundles::transfer
