#pragma once

// The user permissions one org reports: the "Permissions…" field names of its PermissionSet object
// and the map from field label to permission name. Plain data with one lookup; thread-safe to read.

#include <map>
#include <set>
#include <string>
#include <string_view>

namespace ambrel::metadata::user_permission_filter {

// The prefix of every user permission field name.
inline constexpr std::string_view kPermissionFieldPrefix = "Permissions";

struct UserPermissionCatalog {
    // Whole field names, prefix included.
    std::set<std::string, std::less<>> names;
    // Field label as reported (not trimmed) to the permission name (the field name less the prefix).
    std::map<std::string, std::string, std::less<>> labels;

    // "Permissions" followed by the name is among the names, byte for byte.
    bool knows(std::string_view permission_name) const {
        std::string field(kPermissionFieldPrefix);
        field.append(permission_name);
        return names.contains(field);
    }

    bool operator==(const UserPermissionCatalog&) const = default;
};

}  // namespace ambrel::metadata::user_permission_filter
