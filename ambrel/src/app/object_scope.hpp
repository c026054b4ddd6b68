#pragma once

// The object-scoped members of a selection (those of CustomField, CustomObject, CustomMetadataType and
// PlatformEvent, whose names are object API names) and the ones a target org has. Used by the compare
// with a git side, where the target's objects are listed only for what the selection names.
// `object_scoped_members` is pure; `existing_target_objects` calls the object listing port once, or
// not at all when no object-scoped member is selected, and passes its failure on unchanged.

#include <expected>
#include <set>
#include <string>

#include "app/compare_selection.hpp"
#include "app/ports/core_ports.hpp"
#include "app/workflow_failure.hpp"
#include "domain/cancellation.hpp"

namespace ambrel::app {

std::set<std::string> object_scoped_members(const CompareSelection& selection);

// The listed objects of the org whose API names the selection's object-scoped members hold (exact).
std::expected<std::set<std::string>, WorkflowFailure> existing_target_objects(const ports::CorePorts& core,
                                                                              const std::string& org,
                                                                              const std::string& label,
                                                                              const CompareSelection& selection,
                                                                              const domain::CancellationToken& token);

}  // namespace ambrel::app
