#pragma once

// The selection a compare works on: for each metadata type, the ordered set of its member names.

#include <map>
#include <set>
#include <string>

#include "metadata_types/metadata_type.hpp"

namespace ambrel::app {

using CompareSelection = std::map<metadata_types::MetadataType, std::set<std::string>>;

}  // namespace ambrel::app
