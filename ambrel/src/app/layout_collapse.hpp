#pragma once

// The rows of a package before it is sent: layout element rows collapsed into one row per layout, and
// tracking-only field rows whose documents became the target's copy with the source's toggles.
//
// `collapse_layout_rows` gives the element references and (key, change kind) pairs of one layout's
// element rows, in their order (a row that is not an element row is a programming error).
// `spread_collapsed_results` replaces each result of a collapsed layout by one result per element row it
// stood for, with that row's key and change kind and the layout's status and message. Pure functions.

#include <map>
#include <utility>
#include <vector>

#include "domain/component_key.hpp"
#include "domain/deployment.hpp"
#include "domain/difference.hpp"
#include "metadata_types/name_rules.hpp"

namespace ambrel::app {

using ElementRows = std::vector<std::pair<domain::ComponentKey, domain::ChangeKind>>;

struct LayoutCollapse {
    std::vector<domain::ComponentDifference> rows;
    std::vector<domain::ComponentDeploymentResult> failures;
    // Collapsed layout key to the element rows it replaced.
    std::map<domain::ComponentKey, ElementRows> expansions;
};

struct TrackingSplice {
    std::vector<domain::ComponentDifference> rows;
    std::vector<domain::ComponentDeploymentResult> failures;
};

struct CollapsedLayoutRows {
    std::vector<metadata_types::LayoutElementRef> elements;
    ElementRows rows;
};

CollapsedLayoutRows collapse_layout_rows(const std::vector<const domain::ComponentDifference*>& element_rows);

std::vector<domain::ComponentDeploymentResult> spread_collapsed_results(
    std::vector<domain::ComponentDeploymentResult> results, const std::map<domain::ComponentKey, ElementRows>& expansions);

}  // namespace ambrel::app
