#pragma once

// The key decision of org preparation: for each record-data object, the key state in the source and
// in the target org, judged from the two orgs' describes; the record-count queries that follow from
// it; and the field through which the record transfer matches records of an object across two orgs.
// Field names compare exactly (case-sensitively). A composite-key object is never keyed.
//
// Thread-safety: pure functions; any thread.

#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "data/preparation/key_state.hpp"
#include "data/preparation/preparation_side.hpp"
#include "data/registry.hpp"
#include "data/schema.hpp"

namespace ambrel::data::preparation {

// The key states of one registry object in both orgs.
struct ObjectKeyDecision {
    // The registry row's API name (static).
    std::string_view object;
    KeyState source;
    KeyState target;

    const KeyState& state(PreparationSide side) const noexcept {
        return side == PreparationSide::Source ? source : target;
    }

    bool operator==(const ObjectKeyDecision&) const = default;
};

// One record count to run: the records of `object` on `side` whose key field is empty, or all of
// them when there is no key field yet.
struct RecordCountQuery {
    std::optional<std::string> key_field;
    std::string_view object;
    PreparationSide side = PreparationSide::Source;

    bool operator==(const RecordCountQuery&) const = default;
};

// Schemas of one org by object API name.
using SchemaMap = std::map<std::string, schema::ObjectSchema, std::less<>>;

// The custom external-id fields of a schema other than the own field, in field-name order.
std::vector<std::string> foreign_external_id_candidates(const schema::ObjectSchema& schema);

// The decision of one registry row from the two orgs' schemas of it (absent: the org lacks it).
ObjectKeyDecision decide_one(const registry::DataObjectDescriptor& row, const schema::ObjectSchema* source,
                             const schema::ObjectSchema* target);

// One decision per row, in the rows' order.
std::vector<ObjectKeyDecision> decide_key_states(std::span<const registry::DataObjectDescriptor* const> rows,
                                                 const SchemaMap& source, const SchemaMap& target);

// For each decision keyable on both sides, a query for the source, then one for the target.
std::vector<RecordCountQuery> record_count_queries(std::span<const ObjectKeyDecision> decisions);

// The key field for the record transfer of one object: the own field as soon as either org has it
// (stamp true), else the first common custom external-id candidate in the source's field order (stamp
// false); none for composite-key objects and when nothing is shared.
struct TransferKeyField {
    std::string field;
    // The field is the own field, so created records receive the reversed source Id in it.
    bool stamp = false;

    bool operator==(const TransferKeyField&) const = default;
};
std::optional<TransferKeyField> key_field_for_transfer(const schema::ObjectSchema& source,
                                                       const schema::ObjectSchema& target);

}  // namespace ambrel::data::preparation
