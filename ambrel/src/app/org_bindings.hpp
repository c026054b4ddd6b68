#pragma once

// Which permission sets and profiles a deploy sends as metadata: the selected PermissionSet and
// Profile rows that are deployable metadata changes (deploy scope FULL or TRACKING_ONLY, deployable,
// change not NO_CHANGE). Pure functions of the session's rows; never fail; any thread.

#include <set>
#include <vector>

#include "app/compare_selection.hpp"
#include "app/comparison_session.hpp"
#include "app/ports/port_result.hpp"
#include "domain/difference.hpp"
#include "domain/fls.hpp"
#include "metadata_types/metadata_type.hpp"

namespace ambrel::app {

// (kind, name) for every selected deployable metadata row of `type`, in row order.
std::vector<ports::ContainerKey> deploying_container_names(const std::vector<domain::ComponentDifference>& rows,
                                                           metadata_types::MetadataType type,
                                                           domain::FlsContainerKind kind,
                                                           const SelectedKeys& selected);

// The permission sets, then the profiles, by name; duplicates collapse.
std::set<ports::ContainerKey> deploying_container_pairs(const ComparisonSession& session,
                                                        const SelectedKeys& selected);

}  // namespace ambrel::app
