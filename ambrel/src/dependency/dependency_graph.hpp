#pragma once

// What the dependency catalogue found for a set of components: the warnings met on the way, the
// components each one requires, and the references it could not match to a component. Plain data;
// the catalogue fills it, the expansion and the comparison's dependency graph read it.
//
// Thread-safety: plain values; no internal synchronisation.

#include <map>
#include <set>
#include <string>
#include <vector>

#include "dependency/unresolved_dependency.hpp"
#include "dependency/warnings.hpp"
#include "domain/component_key.hpp"

namespace ambrel::dependency {

struct DependencyGraph {
    // In the order they were added through push_warning (no repeats, at most kMaxWarnings).
    WarningList warnings;
    // The components each key requires. A key is present only with at least one edge, and never
    // requires itself.
    std::map<domain::ComponentKey, std::set<domain::ComponentKey>> edges;
    // Per key, the references that could not be matched, in the order they were met: at most 20
    // plus one closing overflow entry.
    std::map<domain::ComponentKey, std::vector<UnresolvedDependency>> unresolved;

    bool operator==(const DependencyGraph&) const = default;
};

}  // namespace ambrel::dependency
