#pragma once

// One problem that the target health check found. Plain data.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "data/bundles/transfer/layer.hpp"

namespace ambrel::data::bundles::transfer {

enum class FindingKind : std::uint8_t {
    Unfixable,       // "unfixable": a target copy that cannot be updated
    Duplicate,       // "duplicate": a key that matches several records
    MissingCatalog,  // "missingCatalog": a relationship type, selling model or price book is missing
};

struct Finding {
    FindingKind kind = FindingKind::Unfixable;
    // The API name of the object concerned.
    std::string object;
    std::string label;
    // The bundle rows concerned, ascending, without duplicates.
    std::vector<std::string> bundles;
    std::string problem;
    std::string fix;
    // The automatic fix may delete the record.
    bool fixable = false;
    // Target record ids shown with the finding.
    std::vector<std::string> record_ids;
    // Present exactly when fixable.
    std::optional<std::string> delete_id;
    Layer layer = Layer::ProductClassification;

    bool operator==(const Finding&) const = default;
};

}  // namespace ambrel::data::bundles::transfer
