#pragma once

// The expansion additions that read Revenue Cloud context definitions, decision tables and decision
// table dataset links, selecting the objects (with their custom fields and definitions), context
// definitions and decision tables those documents name. Each returns, in key order and without
// repeats, the keys that the working selection does not hold yet. Nothing here reads files or runs
// commands.
//
// Warnings (through dependency::push_warning, in document order, then step order, then ascending
// name order; the last placeholder is always the document's full name):
// - "Could not parse Context Definition '{}'; its dependencies were not followed."
// - "Object name '{}' referenced by Context Definition '{}' is not a valid member name; it was not
//   followed."
// - "Context definition name '{}' referenced by '{}' is not a valid member name; it was not
//   followed."
// - "Could not parse Decision Table '{}'; its dependencies were not followed."
// - "Object name '{}' referenced by Decision Table '{}' is not a valid member name; it was not
//   followed."
// - "Could not parse Decision Table Dataset Link '{}'; its dependencies were not followed."
// - "Decision table name '{}' referenced by '{}' is not a valid member name; it was not followed."
// - "Object name '{}' referenced by Decision Table Dataset Link '{}' is not a valid member name; it
//   was not followed."
//
// Thread-safety: pure functions over borrowed data.

#include <span>
#include <vector>

#include "app/compare_selection.hpp"
#include "app/dependency_additions/addition_rules.hpp"
#include "dependency/warnings.hpp"
#include "domain/component.hpp"
#include "domain/component_key.hpp"
#include "metadata_types/metadata_type.hpp"

namespace ambrel::app {

// The objects of each context definition, then (ContextDefinition, name) per context it maps or
// references. Nothing at all when the catalogue does not know ContextDefinition.
std::vector<domain::ComponentKey> context_definition_additions(
    std::span<const domain::MetadataComponent> contexts, const CompareSelection& selection,
    dependency::WarningList& warnings, TypeLookup lookup = metadata_types::metadata_type_by_wire_id);

// The objects of each decision table; object keys only.
std::vector<domain::ComponentKey> decision_table_additions(std::span<const domain::MetadataComponent> tables,
                                                           const CompareSelection& selection,
                                                           dependency::WarningList& warnings);

// The unpackaged decision table of each link, and its source object with its definition when that
// object is an unpackaged custom one. Nothing at all when the catalogue does not know
// DecisionTable.
std::vector<domain::ComponentKey> dataset_link_additions(
    std::span<const domain::MetadataComponent> links, const CompareSelection& selection,
    dependency::WarningList& warnings, TypeLookup lookup = metadata_types::metadata_type_by_wire_id);

}  // namespace ambrel::app
