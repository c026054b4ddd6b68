#pragma once

// `GitRepoInspector` answers what the system asks of a folder before treating it as a repository: is
// it one, where is its top level, is it bare, which branch is checked out, which branches exist, may it
// be initialised, is a branch name valid; and it creates a repository on request. It runs git through
// the shared gateway and reads sfdx-project.json through a content reader.
//
// Failures (GitError), besides the converted gateway failures:
//   NotARepository   "The selected path is not a git repository." alone or followed by one of "The
//                    path does not exist.", "The path is a file, not a folder.", "The folder cannot be
//                    read: permission denied." and git's cleaned message
//   GitUnusable      the unusable-git sentence and git's message, when the developer toolchain is
//                    broken ("xcrun: error" and the like) or the version probe fails
//   CommandFailed    git's cleaned message of a failed listing or init
//   CannotInitialize "This location cannot be initialized as a git repository.", "git reported success
//                    but did not create a repository at this location."
//
// Holds no state of its own; any thread. Borrows the gateway, which must outlive it.

#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "git/gateway.hpp"
#include "git/git_error.hpp"
#include "git/inspection.hpp"

namespace ambrel::git {

inline constexpr std::string_view kPathMissingDetail = "The path does not exist.";
inline constexpr std::string_view kPathIsFileDetail = "The path is a file, not a folder.";
inline constexpr std::string_view kPermissionDeniedDetail = "The folder cannot be read: permission denied.";
inline constexpr std::string_view kCannotInitializeSentence = "This location cannot be initialized as a git repository.";
inline constexpr std::string_view kInitNotCreatedSentence =
    "git reported success but did not create a repository at this location.";

// What a branch name stands for, so the inspector knows where an existing one must lie.
enum class BranchRole : std::uint8_t {
    Local,   // an existing branch below refs/heads/
    Remote,  // an existing remote-tracking branch below refs/remotes/
    Base,    // an existing branch below refs/heads/, else below refs/remotes/
    New,     // a branch still to be created: only the name is checked
};

class GitRepoInspector {
public:
    explicit GitRepoInspector(const GitGateway& gateway) : gateway_(gateway) {}

    std::expected<void, GitError> require_repository(const std::filesystem::path& path) const;
    std::expected<std::filesystem::path, GitError> resolve_repo_root(const std::filesystem::path& path) const;
    std::expected<bool, GitError> is_bare(const std::filesystem::path& path) const;
    std::expected<std::optional<std::string>, GitError> current_branch(const std::filesystem::path& path) const;
    std::expected<std::vector<GitBranchInfo>, GitError> branches(const std::filesystem::path& path,
                                                                 const std::optional<std::string>& current) const;
    std::expected<bool, GitError> is_valid_branch_name(const std::filesystem::path& path, std::string_view name) const;
    // The full ref of the branch ("refs/heads/{name}" or "refs/remotes/{name}"; empty for a new one)
    // once the name passes the branch-name rule and git's own "check-ref-format --branch" (which must
    // print the name unchanged) and, for an existing branch, "show-ref --verify" finds the ref.
    // CommandFailed with kInvalidBranchSentence / kInvalidBaseSentence / kInvalidNewBranchSentence or
    // kMissingBranchSentence.
    std::expected<std::string, GitError> verify_branch(const std::filesystem::path& path, std::string_view name,
                                                       BranchRole role) const;
    std::expected<GitRepoInspection, GitError> inspect(const std::filesystem::path& path) const;
    bool can_initialize(const std::filesystem::path& path) const;
    std::expected<void, GitError> initialize_repository(const std::filesystem::path& path) const;
    // A GitUnusable error when the diagnostic names a broken toolchain or git fails its version probe.
    std::optional<GitError> broken_toolchain_failure(std::string_view diagnostic) const;

private:
    const GitGateway& gateway_;
};

namespace inspector {

// Whether the folder lies outside every repository and git directory (no git needed).
bool can_initialize_repository(const std::filesystem::path& path);

// The branches listed by "for-each-ref --format=%(refname) refs/heads refs/remotes".
std::vector<GitBranchInfo> parse_branches(std::string_view output, const std::optional<std::string>& current);

}  // namespace inspector

}  // namespace ambrel::git
