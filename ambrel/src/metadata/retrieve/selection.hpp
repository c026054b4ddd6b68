#pragma once

// The selection rules of a metadata retrieve: what is dropped before anything is written (members
// without a retrievable document), which names are accepted, what a side retrieves (the target only
// the objects it has; a delta only what was not retrieved yet), and whether a delta has anything to do.
//
// `validate_inputs` refuses, with `InvalidInput` and these messages:
//   "Source alias must not be blank", "Target alias must not be blank" (blank: only Unicode white space)
//   "Invalid Salesforce object API name: {}" for the first member or present-object name whose rule
//   refuses it (types in map order, names in set order, then the present objects).
// Pure functions; safe on any thread. `OBJECT_API_NAME` is compiled once.

#include <expected>
#include <map>
#include <set>
#include <string>
#include <string_view>

#include "metadata/retrieve/retrieve_error.hpp"
#include "metadata/retrieve/scope.hpp"
#include "metadata_types/metadata_type.hpp"

namespace re2 {
class RE2;
}

namespace ambrel::metadata::retrieve {

// Member names per metadata type.
using Selection = std::map<metadata_types::MetadataType, std::set<std::string>>;
// Object API names.
using ObjectNames = std::set<std::string>;

inline constexpr std::string_view kSelectionEmpty = "At least one source object must be selected";
inline constexpr std::string_view kSourceAliasBlank = "Source alias must not be blank";
inline constexpr std::string_view kTargetAliasBlank = "Target alias must not be blank";

// "^[A-Za-z][A-Za-z0-9_]*$": an ASCII letter, then ASCII letters, digits and "_" only.
const re2::RE2& OBJECT_API_NAME();
bool is_object_api_name(std::string_view name);

// True when some type holds at least one member.
bool has_members(const Selection& selection);

// Without ProductBundle and ConstraintModel, without standard tab names (of any type), and without
// the types left empty.
Selection strip_documentless_members(const Selection& selection);

std::expected<void, MetadataRetrieveError> validate_inputs(std::string_view source_alias,
                                                           std::string_view target_alias,
                                                           const Selection& selection, const ObjectNames& present);

// True for the types listed from the org's objects: CustomField, CustomObject, CustomMetadataType and
// PlatformEvent (their members are object names).
bool is_object_listed(metadata_types::MetadataType type);

// The union of the members of the object-listed types.
ObjectNames selected_objects(const Selection& selection);

// Object-listed types keep only present objects; other types keep everything; empty types go.
Selection target_scoped(const Selection& selection, const ObjectNames& present);

// Per type, the members not in the already-retrieved map; empty types go.
Selection manifest_delta(const Selection& selection, const Selection& already_retrieved);

// True when a delta retrieve of the (unfiltered) selection would write and run nothing.
bool retrieve_delta_is_empty(const Selection& already_retrieved, const Selection& selection,
                             const ObjectNames& present, RetrieveScope scope);

}  // namespace ambrel::metadata::retrieve
