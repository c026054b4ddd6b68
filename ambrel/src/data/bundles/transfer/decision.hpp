#pragma once

// The verdict for one planned record (`Decision`), the update decision that compares a planned
// record with its one matched target copy (`update_or_unchanged`), the composite body that creates or
// updates it (`composite_body`), and the rules that hold a record back: a create whose linked record
// or catalogue record has no target Id (`blocked_by_predecessor`, `Blocker`) and an ambiguous match
// (`ambiguous_match_reason`).
//
// A target copy that points at a record the target does not have refuses every save, so an update
// that would leave such a reference in place is not sent (`NotSent`) and says what to fix:
// - "the target's copy points at a record the target does not have in {fields}, and this update would
//   not replace it; the target refuses every save of such a record", reason "not sent: {problem} — fix
//   or delete it in the target by hand";
// - for references that did not resolve in the target: "the target's copy points at a record the
//   target does not have in {fields}, and the reference did not resolve in the target, so this update
//   could not replace it; the target refuses every save of such a record", reason "not sent: {problem}
//   — fix the reference's own row in this result, or the record in the target by hand".
//
// Pure functions over plain values; never fail; any thread.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "data/bundles/transfer/org_records.hpp"
#include "data/bundles/transfer/plan.hpp"
#include "json/json.hpp"

namespace ambrel::data::bundles::transfer {

// Planned key → Id of the record in the target, as known so far.
using TargetIds = std::map<RecordKey, std::string>;

// Reference fields an update repoints, and those it cannot set for want of a target Id; in the order
// the fields are examined.
struct LinkNotes {
    std::vector<std::string> repointed;
    std::vector<std::string> left_out;

    friend bool operator==(const LinkNotes&, const LinkNotes&) = default;
};

enum class SkipKind {
    Ambiguous,     // several source or target records match
    FieldMissing,  // the target's describe lacks a planned field
    Unavailable,   // gone from the source, or a linked or catalogue record is missing in the target
};

struct Decision {
    struct Create {
        friend bool operator==(const Create&, const Create&) = default;
    };
    struct Update {
        std::string id;
        std::vector<std::string> fields_left_out;
        LinkNotes link_notes;
        // Everything the update writes: field → text.
        std::map<std::string, std::string> changes;
        friend bool operator==(const Update&, const Update&) = default;
    };
    struct Unchanged {
        std::string id;
        std::vector<std::string> fields_left_out;
        LinkNotes link_notes;
        friend bool operator==(const Unchanged&, const Unchanged&) = default;
    };
    struct Skip {
        std::string reason;
        // The competing target Ids of an ambiguous target match; empty otherwise.
        std::vector<std::string> ids;
        SkipKind kind = SkipKind::Unavailable;
        friend bool operator==(const Skip&, const Skip&) = default;
    };
    struct NotSent {
        std::string id;
        std::string problem;
        std::string reason;
        friend bool operator==(const NotSent&, const NotSent&) = default;
    };

    std::variant<Create, Update, Unchanged, Skip, NotSent> value;

    friend bool operator==(const Decision&, const Decision&) = default;
};

// Update, Unchanged or NotSent for a planned record whose one matched target copy is `target`.
Decision update_or_unchanged(const PlannedRecord& record, const TransferSchemas& schemas, std::string_view source_id,
                             const ExistingRecord& target, const TargetIds& target_ids,
                             const TargetCatalogs& catalogs);

// The composite body of a create (no `id`, `fields` the record's fields) or an update (`id` and the
// decision's changes): "attributes" first, then "id" for an update, the fields in name order, the
// resolved references of a create, and last the stamped key field.
json::Object composite_body(const PlannedRecord& record, const std::map<std::string, std::string>& fields,
                            const std::optional<std::string>& id, const TargetIds& target_ids,
                            const TargetCatalogs& catalogs, const TransferSchemas& schemas,
                            const SideRecords& source_records);

// Why a record to create cannot be sent.
struct Blocker {
    std::variant<RecordKey, CatalogRef> value;

    // "{label} was not created" for a planned record, else the catalogue reference's missing reason.
    std::string reason() const;

    friend bool operator==(const Blocker&, const Blocker&) = default;
};

// The first link without target Id, else the first catalogue reference that does not resolve.
std::optional<Blocker> blocked_by_predecessor(const PlannedRecord& record, const TargetIds& target_ids,
                                              const TargetCatalogs& catalogs);

// "{label} matches {count} records in the {side}".
std::string ambiguous_match_reason(const RecordKey& key, std::string_view side, std::uint64_t count);

// One "{name} on {n} record(s)" text per entry, in name order.
std::vector<std::string> count_phrases(const std::map<std::string, std::uint64_t>& counts);

}  // namespace ambrel::data::bundles::transfer
