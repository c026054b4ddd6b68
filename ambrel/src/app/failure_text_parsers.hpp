#pragma once

// Readers of the target's failure texts for rejected Profile and PermissionSet rows: the user
// permissions it does not know, the permissions that depend on others, the permission labels a
// standard profile may not change, and the components it says are missing ("In field: {tag} - no
// {type} named {name} found"). Markers are exact, case-sensitive substrings; every occurrence of an
// opening marker is read, and the search for the next one resumes right after the marker itself.
// Closing markers are found through an index of their occurrences, so a text of any length is read in
// time linear in its length plus the size of what is found.
//
// Pure functions without errors; an absent sentence gives an empty result. Safe from any thread.

#include <map>
#include <set>
#include <string>
#include <string_view>

#include "metadata/profile_reference_filter/profile_reference_filter.hpp"

namespace ambrel::app {

inline constexpr std::string_view kUnknownUserPermissionMarker = "Unknown user permission: ";
inline constexpr std::string_view kPermissionMarker = "Permission ";
inline constexpr std::string_view kDependsMarker = " depends on permission(s): ";
inline constexpr std::string_view kStandardProfileMarker = "You may not modify the permission ";
inline constexpr std::string_view kStandardProfileClosing = " while editing a Standard Profile";
inline constexpr std::string_view kInFieldMarker = "In field: ";
inline constexpr std::string_view kNoMarker = " - no ";
inline constexpr std::string_view kNamedMarker = " named ";
inline constexpr std::string_view kFoundMarker = " found";

std::set<std::string> unknown_user_permissions_in(std::string_view text);
std::set<std::string> dependent_permissions_in(std::string_view text);
std::set<std::string> standard_profile_labels_in(std::string_view text);
std::map<metadata::profile_reference_filter::ReferenceKind, std::set<std::string>> named_missing_references_in(
    std::string_view text);

}  // namespace ambrel::app
