#pragma once

// The expansion additions that read page layouts and permission set groups. A layout selects the
// custom fields (and the definition) of its own object once it places an unpackaged custom field,
// and of each child object whose related list shows one; a group selects the permission sets it
// combines or mutes. Each returns, in key order and without repeats, the keys that the working
// selection does not hold yet. Nothing here reads files or runs commands.
//
// Warnings: the layout addition records none (a layout it cannot read adds nothing); the group
// addition records "Could not parse Permission Set Group '{group}'; its dependencies were not
// followed." through dependency::push_warning, in document order.
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

// Keys of the types CustomField, CustomObject, CustomMetadataType and PlatformEvent.
std::vector<domain::ComponentKey> layout_field_additions(std::span<const domain::MetadataComponent> layouts,
                                                         const CompareSelection& selection);

// (PermissionSet, name) per unpackaged permission set a group names; names get no member-name
// test. Nothing at all when the catalogue does not know PermissionSet.
std::vector<domain::ComponentKey> permission_set_group_additions(
    std::span<const domain::MetadataComponent> groups, const CompareSelection& selection,
    dependency::WarningList& warnings, TypeLookup lookup = metadata_types::metadata_type_by_wire_id);

}  // namespace ambrel::app
