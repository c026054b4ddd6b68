#pragma once

// The four corrections that session assembly applies to all rows of a compare, once, in this order:
// object definitions, standard profiles, field unblocking, path safety. Each walks the rows in order
// and changes fields of single rows; none adds, removes or reorders rows, and later policies see the
// changes of earlier ones. They never fail and keep no state; any thread.
//
// Texts they set as block reasons:
//   "Only custom metadata types can be deployed."
//   "Only platform events can be deployed."
//   "A standard profile is never created in the target."
//   "The package this object belongs to is not installed in the target org, and its object row cannot
//    be selected because packaged objects are never created." (one line)
//   "This component cannot be deployed from this operating system: its metadata file path '{}' is not
//    a safe path here." (one line; the path escaped)
//   "This component cannot be deployed: no safe metadata file path can be derived for its name on this
//    operating system." (one line)

#include <string>
#include <string_view>
#include <vector>

#include "domain/difference.hpp"
#include "metadata_types/type_descriptor.hpp"

namespace ambrel::app {

// A standard object row (name without the custom suffix) becomes a permission-only row; a custom
// metadata type or platform event row without its suffix is blocked.
void apply_object_definition_policy(std::vector<domain::ComponentDifference>& rows);
// An added, deployable profile is blocked unless its document says it is custom.
void apply_standard_profile_policy(std::vector<domain::ComponentDifference>& rows);
// A field blocked for a missing object is unblocked when the same deploy creates the object; a
// packaged object's field gets the package text instead.
void apply_field_unblock_policy(std::vector<domain::ComponentDifference>& rows);
// A deployable row whose metadata file paths are not safe relative paths here is blocked; element
// rows of a page layout are checked with their layout's name.
void apply_path_safety_policy(std::vector<domain::ComponentDifference>& rows,
                              metadata_types::LayoutComparisonMode mode);

// The path as the unsafe-path text shows it: backslash and quotes escaped with a backslash, NUL, tab,
// carriage return and line feed as \0 \t \r \n, other control characters as \u{hex}.
std::string escape_path_for_message(std::string_view path);

}  // namespace ambrel::app
