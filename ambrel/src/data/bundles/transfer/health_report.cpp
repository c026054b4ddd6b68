#include "data/bundles/transfer/health_report.hpp"

#include <algorithm>

namespace ambrel::data::bundles::transfer {

std::map<Layer, std::vector<std::string>> HealthReport::fixable_ids_of(const std::set<std::size_t>& chosen) const {
    std::map<Layer, std::vector<std::string>> ids;
    for (const std::size_t position : chosen) {
        if (position >= findings.size()) break;
        const Finding& finding = findings[position];
        if (finding.fixable && finding.delete_id) ids[finding.layer].push_back(*finding.delete_id);
    }
    return ids;
}

bool HealthReport::fixable() const noexcept {
    return std::ranges::any_of(findings, [](const Finding& finding) { return finding.fixable; });
}

}  // namespace ambrel::data::bundles::transfer
