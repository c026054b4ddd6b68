#pragma once

// The target health check: a dry run of the bundle record transfer that reads exactly what the
// transfer reads (plan, describes, catalogues, both sides, key matches), takes the same per-record
// decisions, writes nothing, and turns the decisions that end in a refusal into findings
// (`plan_health`): a target copy the transfer cannot update (fixable by deleting it when it is a
// related component, selling model option or price book entry whose references all resolve), a key
// that matches several records, and a relationship type, selling model or price book the target
// lacks. It also counts the planned records to create that wait on a record that will not reach the
// target. Documents that do not parse give no finding: the transfer reports them per row.
//
// Failures: the first channel error of a read ends the check with that error unchanged (absent
// message: cancelled; "The object {} does not exist in {}." when the target lacks a layer object). The
// count of constraint model tags (`constraint_tag_counts`) never fails the check: only its
// cancellation ends it; any other failure leaves the counts unknown, which changes advice texts only.
//
// Borrows the channels for the call only; keeps nothing between calls, so a recheck after a fix reads
// the target afresh; runs on the caller's thread and passes the token unchanged to every request.

#include <cstdint>
#include <functional>
#include <map>
#include <span>
#include <string>
#include <string_view>

#include "app/ports/bundle.hpp"
#include "data/bundles/synthesis/record_channels.hpp"
#include "data/bundles/transfer/health_report.hpp"
#include "domain/cancellation.hpp"

namespace ambrel::data::bundles::transfer {

// One step of the check's progress: the label of the read that starts, its number counting from 1,
// and the planned number of steps.
struct HealthStep {
    std::string label;
    std::uint32_t step = 0;
    std::uint32_t total = 0;

    friend bool operator==(const HealthStep&, const HealthStep&) = default;
};

using HealthProgress = std::function<void(const HealthStep& step)>;

// The planned number of steps for a plan with `layers` distinct layers: 12 describes, 3 catalogue
// reads, one read per layer of each side and of the target by key, and the tag count; capped at the
// largest 32-bit value.
std::uint32_t health_step_total(std::uint64_t layers) noexcept;

// The findings for the request's bundle documents against its target org, or the first read's
// error. A request whose documents plan no record gives an empty report without any read or progress.
synthesis::ChannelResult<HealthReport> plan_health(synthesis::RecordChannels& channels,
                                                   const app::ports::RecordDeployRequest& request,
                                                   const HealthProgress& progress,
                                                   const domain::CancellationToken& token);

// The number of constraint model tags that address each record, when it could be counted.
struct ConstraintTagCounts {
    enum class Status : std::uint8_t {
        Known,      // `counts` holds every record that has tags
        Unknown,    // a query failed or answered a count that is not a whole number
        Cancelled,  // a query was cancelled
    };
    Status status = Status::Known;
    // Record Id → tags addressing it; Ids without tags are absent. Empty unless known.
    std::map<std::string, std::uint64_t> counts;

    friend bool operator==(const ConstraintTagCounts&, const ConstraintTagCounts&) = default;
};

// Counts the constraint model tags of the given target records, at most 200 Ids per query; no Ids,
// no query.
ConstraintTagCounts constraint_tag_counts(synthesis::RecordChannels& channels, std::string_view target_alias,
                                          std::span<const std::string> ids, const domain::CancellationToken& token);

}  // namespace ambrel::data::bundles::transfer
