#pragma once

// Removes from a PermissionSetGroup document its references ("permissionSets" and
// "mutingPermissionSets" direct children of the root, in the Metadata API namespace) to permission
// sets outside the names that may stay, by text edits that leave every other byte as it was, and
// gives the note for the row. Muting references stay unless `remove_muting`; references to packaged
// (namespaced) permission sets stay unless `remove_packaged`.
//
// Leading byte-order marks are kept in front. The only failure is the pull reader's own text for
// malformed XML; a DOCTYPE is never expanded. Pure functions; safe from any thread.

#include <cstddef>
#include <expected>
#include <optional>
#include <set>
#include <string>
#include <string_view>

namespace ambrel::metadata::permission_set_group_filter {

struct FilteredPermissionSetGroup {
    std::string document;
    // Distinct names whose references were removed.
    std::set<std::string> left_out;
    // Distinct names among all references, both kinds together.
    std::size_t total = 0;

    // "Kept {} of {} permission sets in this group; {} left out: {}."; none when nothing left.
    std::optional<std::string> message() const;
    bool operator==(const FilteredPermissionSetGroup&) const = default;
};

std::expected<FilteredPermissionSetGroup, std::string> filter_permission_set_group(std::string_view document,
                                                                                   const std::set<std::string>& keep,
                                                                                   bool remove_muting,
                                                                                   bool remove_packaged);

}  // namespace ambrel::metadata::permission_set_group_filter
