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

#include "dependency/warnings.hpp"
#include "domain/component_key.hpp"

namespace ambrel::dependency {

// A reference of a component that matched no known component. On the wire: "reference", "message".
struct UnresolvedDependency {
    // "{type} {name}" of the referenced component; empty for the closing overflow entry.
    std::string reference;
    // "{reference}: could not be matched automatically; make sure it exists in the target org or
    // select it manually.", or "... and {N} more" for the overflow entry.
    std::string message;

    bool operator==(const UnresolvedDependency&) const = default;
};

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
