#pragma once

// The user permissions of Profile and PermissionSet documents: the "userPermissions" blocks (direct
// children of the root in the Metadata API namespace, each naming one permission in its "name"
// child), their removal by text edits that leave every other byte as it was, the note for a row,
// the catalogue of an org's user permissions built from the describe of its PermissionSet object,
// and the capped list formatter that the adaptation notes share.
//
// Leading byte-order marks (any number) are set aside and put back in front of a rewritten document.
// A document is refused (UserPermissionFilterError, displayed "Could not parse the permission set
// document: {}") with:
// - "a <userPermissions> block does not carry exactly one non-empty <name>";
// - "unknown entity: {name}", or the UTF-8 decoder's message for an entity name that is not UTF-8;
// - the pull reader's own error text for malformed XML.
// A DOCTYPE is never expanded. Pure functions; safe from any thread.

#include <cstddef>
#include <expected>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "data/schema.hpp"
#include "metadata/user_permission_filter/user_permission_catalog.hpp"

namespace ambrel::metadata::user_permission_filter {

inline constexpr std::string_view kPermissionBlockRefusal =
    "a <userPermissions> block does not carry exactly one non-empty <name>";
inline constexpr std::string_view kPermissionSetParseMessage = "Could not parse the permission set document: {}";
// More names than this are listed as the first ones and "... and {} more".
inline constexpr std::size_t kListedNameLimit = 10;

class UserPermissionFilterError {
public:
    explicit UserPermissionFilterError(std::string message) : message_(std::move(message)) {}
    // The refusal text alone.
    const std::string& message() const noexcept { return message_; }
    // "Could not parse the permission set document: {}" with the refusal text.
    std::string display() const;
    bool operator==(const UserPermissionFilterError&) const = default;

private:
    std::string message_;
};

struct FilteredUserPermissions {
    std::string document;
    // The names whose blocks were removed.
    std::set<std::string> left_out;
    // Distinct names of the document before filtering.
    std::size_t total = 0;

    // "Kept {} of {} user permissions; left out (not among the user permissions the target org
    // reports): {}."; none when nothing was left out.
    std::optional<std::string> message() const;
    bool operator==(const FilteredUserPermissions&) const = default;
};

// The catalogue of the "Permissions…" fields of a described PermissionSet object.
UserPermissionCatalog user_permission_catalog(const data::schema::ObjectSchema& permission_set);

std::expected<std::set<std::string>, UserPermissionFilterError> user_permission_names(std::string_view document);

std::expected<FilteredUserPermissions, UserPermissionFilterError> filter_user_permissions(
    std::string_view document, const std::set<std::string>& remove);

// The names joined with ", "; beyond ten, the first ten and "... and {} more".
std::string listed_names(const std::set<std::string>& names);
// The same rule over names in the given order.
std::string listed_names(const std::vector<std::string>& names);

}  // namespace ambrel::metadata::user_permission_filter
