#pragma once

// A deploy whose target is a branch of a git repository ends as one commit on that branch.
// `GitDeployOrchestrator` checks the repository and the branch, chooses where the files are written
// (a temporary worktree of the branch below the base directory, or the repository's own working tree
// when it has no commit yet or the checked-out local branch is the target), writes the rows' files,
// the container documents and the permission documents, stages and commits exactly the paths it wrote
// or removed, and removes the worktree (and a branch it created, when the deploy failed).
//
// Components are written only below "main/default" of the package directory. A row whose file (same
// path below the type's folder) the package directory already holds in another folder, for example
// "force-app/main/tdtm/classes/Foo.cls", is not written and gets a failed result with
// kOutsideMainDefaultSentence; one listing of the target tree per deploy answers that question. The
// commit message counts the rows written.
//
// Every branch name is checked before git sees it: a valid branch name (never an option or revision
// syntax), an existing branch found as a ref below refs/heads/ (refs/remotes/ for a remote side).
// Whether the repository's own working tree is written is decided from the repository (the branch
// checked out now), never from the request; a branch checked out in another worktree is refused by
// name. After the commit the branch must point at the new commit, else the deploy fails and says
// where the commit is. A repository without an author identity is refused before anything is written.
//
// Every destination is computed before anything is written. In the repository's own working tree a
// deploy refuses to touch a file with uncommitted changes or a file git ignores, and a failure before
// the commit puts back the files it changed and their index entries. Every write walks the folders
// below the write target without following a link and never overwrites a file of another spelling.
// On any failure after the worktree command started, the worktree is removed, pruned, and a branch
// the deploy created is deleted. The commit is made as the user's own "git commit" would make it,
// hooks included; the repository's fsmonitor never runs (see the gateway).
//
// Failures (GitError), besides those of the inspector, the gateway and the file system:
//   CommandFailed "A bare repository cannot be a deployment target.", the branch-name sentences of
//                 git/branch_name.hpp, "The deployment was cancelled.", kIgnoredDestinationSentence,
//                 kNoAuthorIdentitySentence, kCheckedOutElsewhereSentence, kCommitNotOnBranchSentence, "The checked-out
//                 branch has uncommitted changes in files this deploy would change; commit or stash them
//                 and deploy again. Changed files: {}", "The deployment produced no files to commit.",
//                 "The source document of a container component could not be parsed.", "The source
//                 document of a container component has no matching element.", "The container document
//                 {} in the target branch could not be parsed.", git's cleaned message
//   NotAnSfdxProject "The repository's sfdx-project.json could not be parsed." (with the refused entries)
//   UnsafePath    unsafe paths, links on the way, other spellings, undeliverable components
//   FileSystem    "Could not create the temporary worktree: {}", "Could not check the metadata file: {}",
//                 "Could not read the metadata file: {}", "Could not read the metadata directory: {}",
//                 "Could not create the metadata directory: {}", "Could not write the metadata file: {}",
//                 "Could not read the bundle directory: {}", "Could not remove the stale bundle file: {}",
//                 "Could not write the pathspec file: {}"
//
// An orchestrator serves one deploy on its caller's thread; the worktree counter is the only shared
// state (one atomic increment per deploy). Borrows the gateway and the container documents, which
// must outlive it.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "domain/cancellation.hpp"
#include "deployment/git_deploy/summary.hpp"
#include "domain/deployment.hpp"
#include "domain/difference.hpp"
#include "endpoint/deploy_endpoint.hpp"
#include "git/container_documents.hpp"
#include "git/fls.hpp"
#include "git/gateway.hpp"
#include "git/git_error.hpp"
#include "platform_fs/below.hpp"

namespace ambrel::deployment::git_deploy {

inline constexpr std::string_view kDefaultPackageDirectory = "force-app";
inline constexpr std::string_view kDefaultApiVersion = "65.0";
inline constexpr std::string_view kWorktreeNamePrefix = "git-worktree";
// The most bytes of paths one "add" or a "commit" command line carries; above it the commit reads its
// paths from a file.
inline constexpr std::size_t kDefaultArgumentBudget = 64 * 1024;
// The result message of a row whose file the project already keeps outside main/default (the
// component's name, the repository path of that file); nothing of the row is written.
inline constexpr std::string_view kOutsideMainDefaultSentence =
    "{} already exists at {} outside main/default; this deploy writes only below main/default.";
inline constexpr std::string_view kDirtyDestinationsSentence =
    "The checked-out branch has uncommitted changes in files this deploy would change; commit or stash them and "
    "deploy again. Changed files: {}";
// The destination, then the repository's folder name.
inline constexpr std::string_view kIgnoredDestinationSentence =
    "{} is ignored by git in {}; this deploy would overwrite it.";
// The repository's folder name.
inline constexpr std::string_view kNoAuthorIdentitySentence =
    "git has no author identity for {}: set user.name and user.email.";
// The branch, then the folder of the worktree that has it checked out.
inline constexpr std::string_view kCheckedOutElsewhereSentence =
    "{} is checked out in {}; switch that folder to another branch, or deploy to the repository at that folder.";
// The commit id, the branch, the commit id again.
inline constexpr std::string_view kCommitNotOnBranchSentence =
    "The commit {} was made, but the branch {} does not point at it; the commit is on no branch (keep it with "
    "'git branch <name> {}').";

using FlsDocuments = std::map<git::FlsContainerId, std::string>;

// The two file-system questions of the spelling check, so it can be tested on a file system that
// ignores letter case. Paths are relative to `root`, "/"-separated.
class DeployFileSystem {
public:
    virtual ~DeployFileSystem() = default;
    // The entry's kind without following any link on the way or at the end.
    virtual std::expected<platform_fs::below::EntryKind, std::error_code> entry_kind(
        const std::filesystem::path& root, std::string_view relative) const = 0;
    // The names in the folder.
    virtual std::expected<std::vector<std::string>, std::error_code> list_directory(
        const std::filesystem::path& root, std::string_view relative) const = 0;

protected:
    DeployFileSystem() = default;
    DeployFileSystem(const DeployFileSystem&) = default;
    DeployFileSystem& operator=(const DeployFileSystem&) = default;
};

// The file system as the operating system shows it.
class RealDeployFileSystem final : public DeployFileSystem {
public:
    std::expected<platform_fs::below::EntryKind, std::error_code> entry_kind(const std::filesystem::path& root,
                                                                             std::string_view relative) const override;
    std::expected<std::vector<std::string>, std::error_code> list_directory(const std::filesystem::path& root,
                                                                            std::string_view relative) const override;
};

// The guarded write of one file below `root`: refuses another spelling of an existing name (ASCII
// names only), a destination that is not a regular file, and a link or file on the way; creates
// missing folders one level at a time. `folder_cache` keeps the folders' entries read for the
// spelling check within one deploy.
std::expected<void, git::GitError> write_regular_file(const DeployFileSystem& file_system,
                                                      const std::filesystem::path& root, std::string_view relative,
                                                      std::string_view content,
                                                      std::map<std::string, std::set<std::string>>& folder_cache);

// The looking part of the guarded write (spelling check, kind of the destination, links on the way),
// so a deploy can refuse a destination before it writes anything.
std::expected<void, git::GitError> check_destination(const DeployFileSystem& file_system,
                                                     const std::filesystem::path& root, std::string_view relative,
                                                     std::map<std::string, std::set<std::string>>& folder_cache);

// "not a regular file" naming the path's last component.
git::GitError not_a_regular_file_refusal(std::string_view relative);

// The package directory new files go into (the first safe entry marked default, else the first safe
// entry) and the refused entries.
struct DefaultPackageDirectory {
    std::optional<std::string> directory;
    std::vector<std::string> refused;
};
DefaultPackageDirectory default_package_directory(std::string_view project_text);

class GitDeployOrchestrator {
public:
    GitDeployOrchestrator(const git::GitGateway& gateway, std::filesystem::path base_directory,
                          const git::ContainerDocuments& documents,
                          std::size_t argument_budget = kDefaultArgumentBudget,
                          std::shared_ptr<const DeployFileSystem> file_system = std::make_shared<RealDeployFileSystem>());

    std::expected<GitDeploySummary, git::GitError> deploy_with_fls(const std::filesystem::path& repository,
                                                                   const endpoint::GitBranchRef& branch,
                                                                   const std::vector<domain::ComponentDifference>& rows,
                                                                   const FlsDocuments& fls_documents,
                                                                   std::string_view source_label,
                                                                   const domain::CancellationToken& token) const;

    std::expected<bool, git::GitError> local_branch_exists(const std::filesystem::path& repository,
                                                           std::string_view name) const;

    // Writes into `target` and commits there. With `guard_uncommitted`, destinations with uncommitted
    // changes are refused before anything is written.
    std::expected<GitDeploySummary, git::GitError> write_and_commit(
        const std::filesystem::path& repository, const std::filesystem::path& target,
        const std::vector<domain::ComponentDifference>& rows, const FlsDocuments& fls_documents,
        std::string_view source_label, bool guard_uncommitted) const;

private:
    const git::GitGateway& gateway_;
    std::filesystem::path base_directory_;
    const git::ContainerDocuments& documents_;
    std::size_t argument_budget_;
    std::shared_ptr<const DeployFileSystem> file_system_;
};

}  // namespace ambrel::deployment::git_deploy
