#pragma once

// The answer of the target health check: its findings (addressed by position) and the count of
// planned records that wait on a record that will not reach the target. Plain data with pure
// queries; never fails.

#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "data/bundles/transfer/finding.hpp"

namespace ambrel::data::bundles::transfer {

struct HealthReport {
    // In report order; the protocol shows a finding's position as "index".
    std::vector<Finding> findings;
    std::uint64_t dependents = 0;

    // The delete ids of the chosen findings that are fixable, by layer, in report order; positions
    // beyond the findings and findings that are not fixable are passed over.
    std::map<Layer, std::vector<std::string>> fixable_ids_of(const std::set<std::size_t>& chosen) const;
    // At least one finding can be fixed automatically.
    bool fixable() const noexcept;

    bool operator==(const HealthReport&) const = default;
};

}  // namespace ambrel::data::bundles::transfer
