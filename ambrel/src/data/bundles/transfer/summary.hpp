#pragma once

// The per-record results of a bundle transfer (`RecordOutcome`, `RecordNotes`) and their summary as
// one report row per bundle document (`summarize`). A row reports, in this order and each only when it
// has something to say: "{object}: {n} created, {n} updated, {n} unchanged" per layer object;
// "failed {n}: {label} ({message}), …" (ten shown, then " (and {} more)"; a record without outcome
// reads "{label} (not attempted)"); always "REST calls in this transfer: {n}"; "keys not stamped:
// QuillaryExternalId__c is absent on {objects}"; "matched by {field} on {objects}"; "fields left out
// (not updateable): {object.field, …}"; "links repointed: {object.field} on {n} record(s), …";
// "links left out (unresolved): {object.field, …}"; from the row's document, "fields left out: {…}"
// (ten shown, then " (and {} more)") and "child bundles transferred as plain products: {names}".
// Parts are joined with " · "; a row succeeds when none of its records failed or went unattempted.
// The transfer-wide parts repeat in every row so that each row reads on its own.
//
// `summarize` never fails and never calls an org: a document that no longer parses loses only its
// document-based parts. Rows already present (documents the transfer could not read) stay untouched.
// Records are grouped by row once and each document is parsed once. Pure; any thread.

#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "data/bundles/transfer/decision.hpp"
#include "data/bundles/transfer/org_records.hpp"
#include "data/bundles/transfer/plan.hpp"
#include "deployment/record_row_outcome.hpp"

namespace ambrel::data::bundles::transfer {

// One report row: the document row's name, the report (its `message`) and the success flag.
using RowOutcome = deployment::RecordRowOutcome;
// Row name → row, so rows come out in ascending byte order of their names.
using RowOutcomes = std::map<std::string, RowOutcome>;

inline constexpr std::string_view kReportSeparator = " · ";

struct RecordOutcome {
    struct Created {
        friend bool operator==(const Created&, const Created&) = default;
    };
    struct Updated {
        friend bool operator==(const Updated&, const Updated&) = default;
    };
    struct Unchanged {
        friend bool operator==(const Unchanged&, const Unchanged&) = default;
    };
    struct Failed {
        std::string message;
        friend bool operator==(const Failed&, const Failed&) = default;
    };

    std::variant<Created, Updated, Unchanged, Failed> value;

    friend bool operator==(const RecordOutcome&, const RecordOutcome&) = default;
};

// A planned record without an entry was never attempted.
using RecordOutcomes = std::map<RecordKey, RecordOutcome>;

struct RecordNotes {
    // Fields whose target value differs but which the target does not let update.
    std::map<RecordKey, std::vector<std::string>> fields_left_out;
    std::map<RecordKey, LinkNotes> links;

    friend bool operator==(const RecordNotes&, const RecordNotes&) = default;
};

// Adds a row for every document whose name `rows` does not hold yet. `records` in plan order.
void summarize(const std::map<std::string, std::string>& documents, std::span<const PlannedRecord> records,
               const TransferSchemas& schemas, const RecordOutcomes& outcomes, const RecordNotes& notes,
               std::uint64_t rest_calls, RowOutcomes& rows);

}  // namespace ambrel::data::bundles::transfer
