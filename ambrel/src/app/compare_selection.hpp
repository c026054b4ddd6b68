#pragma once

// The selection a compare works on and what one retrieve of a compare hands to the next. Plain data.
//
// A selection maps each metadata type to its member names; for CustomField the names are object API
// names standing for all custom fields of that object, for every other type a name is the full name
// of one component. The selection the user made is never changed: a compare widens a copy of it.

#include <map>
#include <memory>
#include <set>
#include <string>

#include "domain/component_key.hpp"
#include "metadata/workspace/workspace.hpp"
#include "metadata_types/metadata_type.hpp"

namespace ambrel::app {

using CompareSelection = std::map<metadata_types::MetadataType, std::set<std::string>>;

// An ordered set of row keys, as the review selects them.
using SelectedKeys = std::set<domain::ComponentKey>;

// What one retrieve of a compare hands to the next, so that the next works in the same workspace and
// fetches only what is new. Releasing it releases one share of the workspace, never removes it.
struct RetrieveContinuation {
    std::shared_ptr<metadata::workspace::MetadataWorkspace> workspace;
    // What has already been retrieved into the workspace.
    CompareSelection retrieved;
};

// The result of a retrieve: the compare's workspace (made by the first retrieve, the same one after)
// and the selected object-scoped names that the target lacks.
struct RetrievedWorkspace {
    std::shared_ptr<metadata::workspace::MetadataWorkspace> workspace;
    std::set<std::string> missing_objects;
};

}  // namespace ambrel::app
