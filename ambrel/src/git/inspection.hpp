#pragma once

// What an inspection of a repository folder finds: its branches, the checked-out branch and whether
// it holds an SFDX project. Plain data, handed through the application unchanged.

#include <optional>
#include <string>
#include <vector>

#include "git/branch_info.hpp"

namespace ambrel::git {

struct GitRepoInspection {
    std::vector<GitBranchInfo> branches;
    // The short name of the checked-out branch; absent when HEAD is detached.
    std::optional<std::string> current_branch;
    // "sfdx-project.json" could be read.
    bool has_sfdx_project = false;

    bool operator==(const GitRepoInspection&) const = default;
};

}  // namespace ambrel::git
