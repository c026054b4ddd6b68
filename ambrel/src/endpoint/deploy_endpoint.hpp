#pragma once

// A side of a comparison or the target of a deploy: an authenticated org, or a branch of a git
// repository on disk that holds an SFDX project. Plain data, copied deeply, compared by value.

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "endpoint/org_alias.hpp"

namespace ambrel::endpoint {

// The branch of a git endpoint.
struct GitBranchRef {
    // As git lists it; a remote-tracking branch begins with its remote's name and "/".
    std::string name;
    // The remote of a remote-tracking branch; absent for a local branch.
    std::optional<std::string> remote;
    // Where a branch that is still to be created starts; absent: the repository's current HEAD.
    std::optional<std::string> base;
    // The branch is the one checked out in the repository.
    bool is_current = false;
    // The branch does not exist yet; a deploy to this endpoint creates it.
    bool create = false;

    // The name without its remote prefix ("main" for "origin/main" of remote "origin"); the whole
    // name for a local branch or a name that does not start with the remote and "/". A view into
    // `name`.
    std::string_view local_name() const noexcept;

    bool operator==(const GitBranchRef&) const = default;
};

struct DeployEndpoint {
    struct Org {
        OrgAlias org;
        bool operator==(const Org&) const = default;
    };
    struct Git {
        // As the user chose it; not required to be valid UTF-8.
        std::filesystem::path repository;
        GitBranchRef branch;
        bool operator==(const Git&) const = default;
    };
    using Variant = std::variant<Org, Git>;

    Variant value;

    bool is_org() const noexcept { return std::holds_alternative<Org>(value); }
    bool is_git() const noexcept { return std::holds_alternative<Git>(value); }
    // The alternative, or null when the endpoint is of the other kind.
    const Org* org() const noexcept { return std::get_if<Org>(&value); }
    const Git* git() const noexcept { return std::get_if<Git>(&value); }

    // The label of the side in the review screen, details and messages: the org's alias, or
    // "{repository folder}@{branch name}" for a git endpoint.
    std::string label() const;

    bool operator==(const DeployEndpoint&) const = default;
};

// The display name of a repository folder: its last normal path component decoded as UTF-8 (each
// invalid sequence becomes U+FFFD), or "repository" when there is none or it is empty. Trailing
// separators and a trailing "." are ignored; a path ending in ".." or a root has no such component.
std::string repo_directory_name(const std::filesystem::path& repository);

}  // namespace ambrel::endpoint
