#pragma once

// One branch of a repository as an inspection lists it. Plain data.

#include <optional>
#include <string>

namespace ambrel::git {

struct GitBranchInfo {
    // A local branch's name below refs/heads/ (slashes kept); a remote-tracking branch's remote, "/"
    // and branch name.
    std::string name;
    // The remote of a remote-tracking branch; absent for a local branch.
    std::optional<std::string> remote;
    // Only the local branch whose name equals the current branch.
    bool is_current = false;

    bool operator==(const GitBranchInfo&) const = default;
};

}  // namespace ambrel::git
