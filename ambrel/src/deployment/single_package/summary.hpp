#pragma once

// The result of one single-package deploy: one result per row, the permission results, what the
// target reported, and whether the package reached a verdict of the target. Plain data.

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "domain/deployment.hpp"
#include "domain/fls.hpp"

namespace ambrel::deployment::single_package {

struct SinglePackageSummary {
    // Exactly one per input row, in input row order.
    std::vector<domain::ComponentDeploymentResult> component_results;
    // The results decided before the deploy, then those of the containers' pending grants.
    std::vector<domain::FlsResult> fls_results;
    // (tests run, test errors) as the target reported them.
    std::optional<std::pair<std::uint32_t, std::uint32_t>> tests;
    std::optional<std::string> test_failures;
    std::optional<std::uint64_t> deployed_count;
    // What a successful validation leaves for a later quick deploy.
    std::optional<domain::QuickDeployTicket> quick_deploy;
    // The retry gate: true exactly when the package ended in success or in per-component failures
    // (or nothing had to be sent); false when the target rejected it as a whole or the command
    // failed. After a whole rejection every row carries the same message and retries would cut rows
    // for another row's failure, so retries run only when this is set.
    bool package_completed = false;

    bool operator==(const SinglePackageSummary&) const = default;
};

}  // namespace ambrel::deployment::single_package
