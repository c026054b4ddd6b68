#pragma once

// The dependency-expansion loop that both compare roads run before they show rows: retrieve the
// source side of the working selection, read every selected type, ask the per-type dependency rules
// and the org's dependency catalogue what the read components need, add what is missing to the
// working selection and retrieve again, only the added members. It stops when a pass adds nothing,
// or after kMaxWidenings widenings with the warning "Dependency expansion stopped after 10
// iterations; remaining dependencies were not followed.".
//
// Every pass reads all selected types again (so that a later retrieve that lost an earlier download
// is noticed: Operation "Incremental retrieve lost previously downloaded metadata; re-run the
// comparison."), but only the components that no earlier pass read go to the document rules: what
// earlier passes read has already been followed, and its additions are in the working selection.
// Dependency discovery is asked about every read component it has not yet answered for with a graph:
// a discovery that reported itself disabled (a time-out, a failed query) answered for none, so its
// keys are asked again in the next pass, and a key it answered for is never asked twice. A pass runs
// one retrieve, whatever the number of types or members.
//
// Failures: the ports' failures unchanged, the incremental-retrieve failure, and Cancelled
// ("Salesforce field workflow was cancelled") at the start of a pass and after a widening. Once the
// first retrieve has made the compare's workspace, every failure removes it first (its removal error
// text is appended to the failure). A disabled discovery is no failure: its text becomes a warning.
//
// Runs on the caller's thread and takes no lock; it borrows the ports and the settings for the call.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "app/compare_selection.hpp"
#include "app/ports/core_ports.hpp"
#include "app/workflow_failure.hpp"
#include "dependency/dependency_graph.hpp"
#include "dependency/warnings.hpp"
#include "domain/cancellation.hpp"
#include "metadata_types/metadata_type.hpp"

namespace ambrel::app {

// The most widenings of one compare's selection.
inline constexpr std::size_t kMaxWidenings = 10;
inline constexpr std::string_view kExpansionStoppedFormat =
    "Dependency expansion stopped after {} iterations; remaining dependencies were not followed.";
inline constexpr std::string_view kIncrementalRetrieveLostMessage =
    "Incremental retrieve lost previously downloaded metadata; re-run the comparison.";
// The folder below a project that holds its metadata.
inline constexpr std::string_view kProjectMetadataFolder = "force-app/main/default";

// What a road fixes for the loop.
struct ExpansionSettings {
    // The org references of the pass retrieve.
    std::string source_org;
    std::string target_org;
    // The manifest of a pass, from the current working selection; also what the next pass's
    // continuation records as retrieved.
    std::function<CompareSelection(const CompareSelection&)> manifest_of;
    // The object names of a pass, from the current working selection.
    std::function<std::set<std::string>(const CompareSelection&)> object_names_of;
    std::string api_version;
    // The org reference of dependency discovery.
    std::string discovery_org;
    // The target's object names for the object-child additions (empty when the target is no org).
    std::set<std::string> target_object_names;
};

// How the loop ended.
enum class ExpansionStop : std::uint8_t {
    NothingNew,    // a pass added no member
    WideningLimit, // the pass after the last allowed widening still found additions
};

struct ExpansionOutcome {
    // The last pass's retrieve.
    RetrievedWorkspace retrieved;
    std::size_t widenings = 0;
    ExpansionStop stop = ExpansionStop::NothingNew;
};

// ExpressionSetDefinition and ExpressionSetDefinitionVersion, in this order, each when the catalogue
// knows it.
std::vector<metadata_types::MetadataType> expression_set_types();

// Unions the pass graph's edges into the accumulated graph and appends its unresolved references
// that are not there yet (same reference and message); the pass graph's warnings are not merged. An
// absent accumulated graph becomes the pass graph.
void merge_analysis(std::optional<dependency::DependencyGraph>& accumulated, dependency::DependencyGraph pass_graph);

// Widens `working` in place, adds to `warnings` and fills `graph`. `requested` is the selection as
// the caller gave it (for the object-child additions).
std::expected<ExpansionOutcome, WorkflowFailure> run_dependency_expansion(
    const ports::CorePorts& core, const ExpansionSettings& settings, const CompareSelection& requested,
    CompareSelection& working, dependency::WarningList& warnings, std::optional<dependency::DependencyGraph>& graph,
    const domain::CancellationToken& token);

}  // namespace ambrel::app
