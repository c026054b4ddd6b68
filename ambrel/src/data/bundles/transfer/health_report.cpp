#include "data/bundles/transfer/health_report.hpp"

#include <algorithm>

namespace ambrel::data::bundles::transfer {

bool HealthReport::fixable() const noexcept {
    return std::ranges::any_of(findings, [](const Finding& finding) { return finding.fixable; });
}

}  // namespace ambrel::data::bundles::transfer
