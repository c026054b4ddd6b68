#pragma once

// A permission container (profile or permission set) prepared for a single-package deploy: its
// document carries the field-level security grants whose results wait for the deploy's outcome.
// Plain data.

#include <string>
#include <utility>
#include <vector>

#include "domain/fls.hpp"
#include "domain/permission.hpp"

namespace ambrel::deployment::single_package {

// One grant whose result is decided by the deploy of its container.
struct PendingGrant {
    domain::PermissionSubject subject;
    domain::PermissionGrant grant;
    bool operator==(const PendingGrant&) const = default;
};

struct PreparedFlsContainer {
    std::string full_name;
    domain::FlsContainerKind kind = domain::FlsContainerKind::PermissionSet;
    std::string label;
    // The prepared XML document.
    std::string xml;
    std::vector<PendingGrant> pending_grants;
    bool operator==(const PreparedFlsContainer&) const = default;
};

}  // namespace ambrel::deployment::single_package
