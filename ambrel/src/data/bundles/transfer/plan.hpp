#pragma once

// The transfer plan: the distinct records to create or update in the target, in send order, with
// the references they carry (to other planned records by key, to catalogue records by name), and the
// documents that could not be read. `sublayers` groups a plan into the batches that the transfer
// sends one after another. Plain owned values; pure functions; never fail; any thread.

#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "data/bundles/transfer/record_key.hpp"

namespace ambrel::data::bundles::transfer {

struct PlannedRecord {
    // Reference field → the planned record whose target id it takes.
    std::vector<std::pair<std::string, RecordKey>> links;
    // Reference field → the catalogue record whose target id it takes.
    std::vector<std::pair<std::string, CatalogRef>> catalog_links;
    RecordKey key;
    // Ancestors of a classification or group along its parent chain; 0 for the other layers.
    std::uint64_t depth = 0;
    // Plain field values, exactly as the bundle document holds them.
    std::map<std::string, std::string> fields;
    // The bundle documents that contain the record.
    std::set<std::string> bundles;

    Layer layer() const noexcept { return key.layer(); }

    friend bool operator==(const PlannedRecord&, const PlannedRecord&) = default;
};

// A bundle document that could not be read.
struct PlanError {
    std::string name;
    std::string message;

    friend bool operator==(const PlanError&, const PlanError&) = default;
};

// One batch: the planned records of one layer and depth, in plan order.
using Sublayer = std::pair<std::pair<Layer, std::uint64_t>, std::vector<std::reference_wrapper<const PlannedRecord>>>;

struct TransferPlan {
    // By layer, then depth ascending, then key.
    std::vector<PlannedRecord> records;
    // In document name order.
    std::vector<PlanError> errors;

    // The batches ascending by (layer, depth), each keeping plan order. Borrows the plan's records.
    std::vector<Sublayer> sublayers() const;
};

}  // namespace ambrel::data::bundles::transfer
