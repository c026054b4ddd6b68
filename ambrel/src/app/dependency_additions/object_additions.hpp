#pragma once

// The expansion steps that need no documents: the objects that selected object children belong
// to, the selection keys of what the dependency catalogue reported, and the selected objects that
// a target org lacks. None of them fails or records a warning; names that cannot become members
// are passed over silently. Nothing here reads files or runs commands.
//
// Thread-safety: pure functions over borrowed data.

#include <optional>
#include <set>
#include <string>
#include <vector>

#include "app/compare_selection.hpp"
#include "dependency/dependency_graph.hpp"
#include "domain/component_key.hpp"

namespace ambrel::app {

// For each member "{object}.{child}" of an object-child type in the requested selection whose
// object is an unpackaged custom object, custom metadata type or platform event: its definition
// key, and its CustomField key unless the target's object names are given and list the object.
std::vector<domain::ComponentKey> object_child_additions(const CompareSelection& requested,
                                                         const CompareSelection& selection,
                                                         const std::optional<std::set<std::string>>& target_objects);

// Every key the graph's components require, unchanged, except that a required field "{object}.
// {field}" becomes the CustomField key of its object with the object's definition.
std::vector<domain::ComponentKey> dependency_additions(const dependency::DependencyGraph& graph,
                                                       const CompareSelection& selection);

// The members of the object-scoped types (CustomField, CustomObject, CustomMetadataType,
// PlatformEvent) that `existing_objects` does not hold, in ascending order.
std::set<std::string> missing_object_members(const CompareSelection& selection,
                                             const std::set<std::string>& existing_objects);

}  // namespace ambrel::app
