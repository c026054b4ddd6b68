#pragma once

// What the synthesis of product bundle and constraint model documents reports back to a compare:
// warnings, and the reasons why whole types or single rows cannot be deployed. Plain data; the empty
// value has no warnings and no reasons.

#include <map>
#include <string>
#include <vector>

#include "domain/component_key.hpp"
#include "metadata_types/metadata_type.hpp"

namespace ambrel::app {

struct RecordSynthesis {
    std::vector<std::string> warnings;
    std::map<metadata_types::MetadataType, std::string> type_reasons;
    std::map<domain::ComponentKey, std::string> row_reasons;

    bool operator==(const RecordSynthesis&) const = default;
};

}  // namespace ambrel::app
