#pragma once

// The result of a successful deploy to a git branch: the new commit and one result per row. Plain
// data, handed through the application unchanged.

#include <string>
#include <vector>

#include "domain/deployment.hpp"

namespace ambrel::deployment::git_deploy {

struct GitDeploySummary {
    // The id of the new commit.
    std::string commit;
    // One per row.
    std::vector<domain::ComponentDeploymentResult> results;

    bool operator==(const GitDeploySummary&) const = default;
};

}  // namespace ambrel::deployment::git_deploy
