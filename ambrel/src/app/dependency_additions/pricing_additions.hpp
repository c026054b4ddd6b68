#pragma once

// The expansion additions that follow pricing logic: expression set definitions and their versions
// select the decision tables and context definitions they use (a version also its definition), and
// pricing recipes select their default pricing procedure and their lookup tables. Each returns, in
// key order and without repeats, the keys that the working selection does not hold yet. Nothing
// here reads files or runs commands.
//
// Warnings (through dependency::push_warning, in document order, then step order, then ascending
// name order; the last placeholder is always the document's full name):
// - "Could not parse Expression Set '{}'; its dependencies were not followed." (for a version's
//   root as well as for its references; the list keeps a repeat once)
// - "Expression Set Definition name '{}' referenced by '{}' is not a valid member name; it was not
//   followed."
// - "Decision table name '{}' referenced by '{}' is not a valid member name; it was not followed."
// - "Context definition name '{}' referenced by '{}' is not a valid member name; it was not
//   followed."
// - "Could not parse Pricing Recipe '{}'; its dependencies were not followed."
// - "{Procedure|Decision table} name '{}' referenced by Pricing Recipe '{}' is not a valid member
//   name; it was not followed."
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

// ExpressionSetDefinition and ExpressionSetDefinitionVersion documents together. Nothing at all
// unless the catalogue knows DecisionTable and ContextDefinition; a version's definition is
// followed only when it knows ExpressionSetDefinition and ExpressionSetDefinitionVersion too.
std::vector<domain::ComponentKey> expression_set_additions(
    std::span<const domain::MetadataComponent> expression_sets, const CompareSelection& selection,
    dependency::WarningList& warnings, TypeLookup lookup = metadata_types::metadata_type_by_wire_id);

// Nothing at all unless the catalogue knows ExpressionSetDefinition and DecisionTable.
std::vector<domain::ComponentKey> pricing_recipe_additions(
    std::span<const domain::MetadataComponent> recipes, const CompareSelection& selection,
    dependency::WarningList& warnings, TypeLookup lookup = metadata_types::metadata_type_by_wire_id);

}  // namespace ambrel::app
