#pragma once

// The result of a deploy and of a quick deploy, as the results screen shows it. Plain data: the
// package run builds it, the steps after it rewrite the row results, and the details text is written
// last.

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "deployment/detail_notes.hpp"
#include "domain/deployment.hpp"
#include "domain/fls.hpp"

namespace ambrel::deployment {

struct DeploymentSummary {
    // One per row, in the order the package run and the steps after it give them.
    std::vector<domain::ComponentDeploymentResult> component_results;
    std::vector<domain::FlsResult> fls_results;
    std::string details;
    std::optional<domain::QuickDeployTicket> quick_deploy;
    DetailNotes detail_notes;
    // (tests run, tests failed); absent when the target reported no test count.
    std::optional<std::pair<std::uint32_t, std::uint32_t>> tests;
    // Components the target reported as deployed; absent when it reported none.
    std::optional<std::uint64_t> deployed_count;
    // BEST_EFFORT for a git commit and the Best Effort road, else the requested mode.
    domain::DeployMode deploy_mode = domain::DeployMode::BestEffort;
    // The retry gate of the rejected-row retries: true when the package ended in success or in
    // per-component failures, when nothing had to be sent, for a git commit and for a quick deploy;
    // false when the target rejected the package as a whole or the command failed. A whole rejection
    // gives every row the same message and retry packages carry no Apex tests, so a retry then would
    // cut rows for another row's failure or deploy untested what the tests refused.
    bool package_completed = false;
    // True only in the summary of a quick deploy.
    bool quick_deploy_performed = false;

    bool operator==(const DeploymentSummary&) const = default;
};

}  // namespace ambrel::deployment
