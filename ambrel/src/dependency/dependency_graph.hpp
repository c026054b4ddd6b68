#pragma once

// What dependency discovery found for a set of components: the rows each row requires, the
// references it could not match, and its warnings. Plain data; the default graph is empty.

#include <map>
#include <set>
#include <string>
#include <vector>

#include "dependency/unresolved_dependency.hpp"
#include "domain/component_key.hpp"

namespace ambrel::dependency {

struct DependencyGraph {
    // In the order added through push_warning.
    std::vector<std::string> warnings;
    // A key and the keys it requires; a key is present only with at least one edge, never to itself.
    std::map<domain::ComponentKey, std::set<domain::ComponentKey>> edges;
    // In the order met.
    std::map<domain::ComponentKey, std::vector<UnresolvedDependency>> unresolved;

    bool operator==(const DependencyGraph&) const = default;
};

}  // namespace ambrel::dependency
