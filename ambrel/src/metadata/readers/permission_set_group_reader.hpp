#pragma once

// The permission sets that a permission set group combines or mutes, read from its
// PermissionSetGroup document: the texts of the root's permissionSets and mutingPermissionSets
// children in one set, as written (trimmed), unjudged. References inside a value are resolved, so
// "A&amp;B" gives "A&B"; an unknown entity there fails the parse rather than losing part of a name.
// Reads nothing but its arguments.
//
// Failures: those of the reference parser frame (reference_parser_frame.hpp), with
// "root element must be PermissionSetGroup" for a wrong top-level element.
//
// Thread-safety: pure functions; safe from any number of threads at once.

#include <expected>
#include <set>
#include <string>
#include <string_view>

#include "metadata/field_read_error.hpp"

namespace ambrel::metadata::permission_set_group_reader {

// (group full name, PermissionSetGroup document text) -> the permission set names.
std::expected<std::set<std::string>, FieldReadError> parse_permission_set_group_references(
    std::string_view full_name, std::string_view text);

}  // namespace ambrel::metadata::permission_set_group_reader
