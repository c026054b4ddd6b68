#pragma once

// Steps that both compare roads and the dependency-expansion loop share: the checks at a compare's
// entry, the cancellation check, the removal of the compare's workspace on the way out of a failure,
// and the filter that keeps the selected components of a type. Pure functions over their arguments
// (the removal goes through the workspace's own close); callable from any thread.
//
// Failures, with their exact sentences:
//   Validation "Selected source object API names must not be blank." (a blank member name)
//   Operation  "Revenue Cloud records are not retrieved as metadata." (a record-data type selected)
//   Cancelled  "Salesforce field workflow was cancelled"

#include <expected>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "app/compare_selection.hpp"
#include "app/workflow_failure.hpp"
#include "domain/cancellation.hpp"
#include "domain/component.hpp"
#include "metadata/workspace/workspace.hpp"
#include "metadata_types/type_descriptor.hpp"

namespace ambrel::app {

inline constexpr std::string_view kBlankMemberMessage = "Selected source object API names must not be blank.";
inline constexpr std::string_view kRecordDataSelectedMessage = "Revenue Cloud records are not retrieved as metadata.";

// Every member name of every type, trimmed, must be non-empty; the first blank one is refused.
std::expected<void, WorkflowFailure> validate_manifest_members(const CompareSelection& selection);

// Record-data types have no type descriptor and are never retrieved as metadata: a selection that
// holds one is refused before any step would look for its descriptor. The compare roads call it at
// their entry, after the empty-selection check.
std::expected<void, WorkflowFailure> refuse_record_data_types(const CompareSelection& selection);

// Polls the token once.
std::expected<void, WorkflowFailure> throw_if_cancelled(const domain::CancellationToken& token);

// Removes the workspace; when that fails, its display text is appended to the failure (unless
// blank). Always returns the given failure, never the removal's error.
WorkflowFailure close_preserving_workspace(const std::shared_ptr<metadata::workspace::MetadataWorkspace>& workspace,
                                           WorkflowFailure failure);

// close_preserving_workspace with the continuation's workspace; without one the failure unchanged.
WorkflowFailure close_continuation(const std::optional<RetrieveContinuation>& continuation, WorkflowFailure failure);

// The components whose container name under the descriptor is among the selected names, in order.
std::vector<domain::MetadataComponent> read_selected(std::vector<domain::MetadataComponent> components,
                                                     const metadata_types::TypeDescriptor& descriptor,
                                                     const std::set<std::string>& names);

}  // namespace ambrel::app
