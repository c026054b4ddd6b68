#pragma once

// The expansion additions that read custom field and custom metadata record documents: the global
// value set a picklist uses, the objects a lookup or master-detail field and its lookup filter
// point to, the objects a roll-up summary reads, and the type of a custom metadata record. Each
// returns, in key order and without repeats, the keys that the working selection does not hold yet.
// A document that cannot be read, or a name that cannot become a member, leaves a warning and is
// passed over; packaged names are passed over silently. Nothing here reads files or runs commands.
//
// Warnings (through dependency::push_warning, in document order, then ascending name order):
// - "Could not parse custom field '{field}'; its dependencies were not followed."
// - "Global value set name '{name}' referenced by '{field}' is not a valid member name; it was not
//   followed."
// - "Object name '{object}' referenced by custom field '{field}' is not a valid member name; it was
//   not followed."
// - "Custom Metadata record name '{record}' is not of the form Type.Record; its dependencies were
//   not followed."
// - "Could not parse Custom Metadata record '{record}'; its dependencies were not followed."
// - "Object name '{object}' referenced by Custom Metadata record '{record}' is not a valid member
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

// (GlobalValueSet, name) per field's global value set. Nothing at all when the catalogue does not
// know GlobalValueSet.
std::vector<domain::ComponentKey> global_value_set_additions(
    std::span<const domain::MetadataComponent> fields, const CompareSelection& selection,
    dependency::WarningList& warnings, TypeLookup lookup = metadata_types::metadata_type_by_wire_id);

// The custom objects a field refers to (with their definitions) and the objects of its lookup
// filter paths (their CustomField key only, whatever their suffix).
std::vector<domain::ComponentKey> lookup_field_additions(std::span<const domain::MetadataComponent> fields,
                                                         const CompareSelection& selection,
                                                         dependency::WarningList& warnings);

// The objects a roll-up summary reads: their CustomField key always, standard and packaged objects
// included, and their definition when they have one.
std::vector<domain::ComponentKey> rollup_field_additions(std::span<const domain::MetadataComponent> fields,
                                                         const CompareSelection& selection,
                                                         dependency::WarningList& warnings);

// The type object of each record ("Type__mdt" for "Type.Record"): its CustomField key and, unless
// packaged, its CustomMetadataType key.
std::vector<domain::ComponentKey> custom_metadata_record_additions(
    std::span<const domain::MetadataComponent> records, const CompareSelection& selection,
    dependency::WarningList& warnings);

}  // namespace ambrel::app
