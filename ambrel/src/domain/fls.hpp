#pragma once

// The permissions the user chose to synchronise, the profiles and permission sets that carry them,
// and the outcome of each permission write.

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "domain/component.hpp"
#include "domain/permission.hpp"

namespace ambrel::domain {

// The permissions chosen for synchronisation.
struct SelectedPermissions {
    // The selected fields with their definitions.
    std::map<FieldKey, CustomFieldDefinition> fields;
    // The other selected subjects.
    std::set<PermissionSubject> subjects;

    // One Field subject per key of `fields` in key order, then `subjects` in set order. (The
    // operation is not named `subjects` because the member already carries that name.)
    std::vector<PermissionSubject> all_subjects() const;

    bool empty() const noexcept { return fields.empty() && subjects.empty(); }

    bool operator==(const SelectedPermissions&) const = default;
};

// Kinds of permission containers, in this order: permission sets before profiles.
enum class FlsContainerKind : std::uint8_t {
    PermissionSet,  // "PERMISSION_SET"
    Profile,        // "PROFILE"
};

std::string_view wire_id(FlsContainerKind kind) noexcept;
std::optional<FlsContainerKind> fls_container_kind_from_wire_id(std::string_view text) noexcept;
// "PermissionSet" or "Profile", as messages and container ids write the kind.
std::string_view name(FlsContainerKind kind) noexcept;

// A profile or permission set of an org that can carry permissions.
struct FlsContainer {
    std::string id;  // record id
    std::string api_name;
    std::optional<std::string> namespace_prefix;
    std::string label;
    // The user or permission set licence.
    std::optional<std::string> license_name;
    FlsContainerKind kind = FlsContainerKind::PermissionSet;
    bool retrievable = false;

    bool operator==(const FlsContainer&) const = default;
};

// Whether the target already has a container.
enum class FlsContainerPresence : std::uint8_t {
    Existing,  // "EXISTING"
    New,       // "NEW": the deploy would create it
};

std::string_view wire_id(FlsContainerPresence presence) noexcept;

// One entry of the container choice screen.
struct FlsContainerChoice {
    FlsContainerKind kind = FlsContainerKind::PermissionSet;
    std::string api_name;
    std::string label;
    FlsContainerPresence presence = FlsContainerPresence::Existing;
    bool selectable = false;
    // Why it cannot be chosen.
    std::optional<std::string> block_reason;
    bool preselected = false;

    bool operator==(const FlsContainerChoice&) const = default;
};

enum class FlsResultStatus : std::uint8_t {
    Updated,       // "UPDATED"
    Skipped,       // "SKIPPED"
    Failed,        // "FAILED"
    NotAttempted,  // "NOT_ATTEMPTED"
};

std::string_view wire_id(FlsResultStatus status) noexcept;

// The outcome of one permission write.
struct FlsResult {
    std::string container;  // API name
    std::string container_label;
    PermissionSubject subject;
    std::string message;
    FlsContainerKind container_kind = FlsContainerKind::PermissionSet;
    FlsResultStatus status = FlsResultStatus::NotAttempted;
    PermissionGrant grant;

    bool operator==(const FlsResult&) const = default;
};

}  // namespace ambrel::domain
