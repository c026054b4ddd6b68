#pragma once

// The deploy use case's own helpers. `close_preserving_session` closes the comparison session after a
// failure and keeps that failure: the non-blank messages of a failed close are appended to it, its kind
// and org alias stay. `validate_object_prerequisites` refuses a selection of custom fields whose object
// the deploy would create without its object row being selected: kind Validation, "Missing target
// object '{}': select its object row or deselect its fields." once per object in ascending order,
// joined with one space. The use case itself is `QuillaryApplicationService::deploy`.

#include <expected>
#include <string_view>

#include "app/compare_selection.hpp"
#include "app/workflow_failure.hpp"

namespace ambrel::app {

class ComparisonSession;

inline constexpr std::string_view kProductionBestEffortRefusal =
    "Best effort is not available against a production org. Use Validate or Deploy instead.";
inline constexpr std::string_view kRecordsNeedBestEffort = "Records cannot roll back and deploy in Best Effort only.";
inline constexpr std::string_view kGitValidateRefusal = "Validate is not available for a git target. Use Deploy instead.";
inline constexpr std::string_view kCloseFailedNote = "The comparison's temporary files could not be removed: {}";

WorkflowFailure close_preserving_session(const ComparisonSession& session, WorkflowFailure failure);

std::expected<void, WorkflowFailure> validate_object_prerequisites(const ComparisonSession& session,
                                                                   const SelectedKeys& selected);

}  // namespace ambrel::app
