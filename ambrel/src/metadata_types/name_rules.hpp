#pragma once

// The rules that decide whether a name or a relative path is acceptable before anything is written,
// and the small name parsers built on them. Every file name derived from org or repository data
// passes is_safe_relative_path before it is used. All are pure functions.

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>

#include "metadata_types/metadata_type.hpp"

namespace ambrel::metadata_types {

// The largest component document the system reads (10 MB, well above what the platform accepts for
// any text component); a larger file is refused before it is read whole, on every road.
inline constexpr std::size_t kMaxComponentDocumentBytes = 10U * 1024U * 1024U;
// "{where} is larger than 10 MB, the limit for one component document." (`where` names the file).
std::string document_too_large_message(std::string_view where);

// The parts before and after the first "."; none without a ".". Either part may be empty.
std::optional<std::pair<std::string_view, std::string_view>> split_once_dot(std::string_view text) noexcept;

// True exactly when the path is non-empty, does not begin with "/" or a disk prefix, has no empty,
// "." or ".." segment between its "/" separators, no backslash, and no character below U+0020 or
// from U+007F to U+009F.
bool is_safe_relative_path(std::string_view path) noexcept;
// The same answer as is_safe_relative_path; callers pass `strict` as false.
bool is_safe_relative_path_for(std::string_view path, bool strict) noexcept;

// At least two characters, an ASCII letter followed by ":".
bool starts_with_disk_prefix(std::string_view text) noexcept;

// An ASCII letter followed by ASCII letters, digits and "_" only.
bool is_valid_flow_full_name(std::string_view name) noexcept;
// Non-empty, not "." or "..", no white space at either end, contains "-", no control character,
// "/" or backslash.
bool is_valid_layout_full_name(std::string_view name) noexcept;
// The layout rule without the "-" requirement.
bool is_valid_profile_full_name(std::string_view name) noexcept;
// Non-empty, no ".." anywhere, no white space at either end, no control character, "/" or backslash.
bool is_valid_record_row_name(std::string_view name) noexcept;
// Non-empty, no control character, "/" or backslash.
bool is_valid_container_child_name(std::string_view name) noexcept;
// With a fixed container: the whole name is a safe object name. Otherwise "object.child" with a
// safe object name and a non-empty child without control characters, "/" or backslash.
bool is_valid_container_child_full_name(std::string_view name, bool has_fixed_container) noexcept;
// An ASCII letter followed by ASCII letters, digits and "_" only: the form of object API names and of
// the names of the fixed types.
bool is_object_api_name(std::string_view name) noexcept;
// The member of a generic type: refused only when it could become a path or break a manifest line
// (empty, a control character, "/" or backslash, or the whole name "." or ".."); hyphens, spaces,
// apostrophes and the like are real member names, and the manifest writer escapes them.
bool is_valid_generic_member_name(std::string_view name) noexcept;
// The one member-name rule of a type, whichever side the name comes from (an org's selection or a
// repository's listing): Layout the layout rule; Profile the profile rule; container children the
// container-child rule; object children an object API name, ".", then a generic member name; other
// generic types the generic member rule; every other fixed type an object API name. DataRecord:
// programming error.
bool is_valid_member_name(MetadataType type, std::string_view name);

// The kind of a page-layout element row; fields sort before related lists.
enum class LayoutElementKind : std::uint8_t {
    Field,        // "field:"
    RelatedList,  // "relatedList:"
};

// One element of a page layout, without the layout name.
struct LayoutElementRef {
    LayoutElementKind kind;
    std::string element_name;

    friend auto operator<=>(const LayoutElementRef&, const LayoutElementRef&) = default;
};

// The parts of a layout element row name "{layout}::field:{name}" or "{layout}::relatedList:{name}".
struct LayoutElementName {
    std::string layout_name;
    LayoutElementRef element;

    friend auto operator<=>(const LayoutElementName&, const LayoutElementName&) = default;
};

// Splits at the first "::": a non-empty layout name, then "field:" or "relatedList:" and a
// non-empty element name. Anything else gives none.
std::optional<LayoutElementName> parse_layout_element_name(std::string_view name);

// After the members of `changed` were replaced: when `changed` is CustomField, the CustomObject
// entry becomes the CustomField names that end neither with "__mdt" nor with "__e" (removed when
// there are none or there is no CustomField entry). Other types leave the selection unchanged.
void apply_derived_members(std::map<MetadataType, std::set<std::string>>& selection, MetadataType changed);

}  // namespace ambrel::metadata_types
