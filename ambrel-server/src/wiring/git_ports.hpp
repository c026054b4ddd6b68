#pragma once

// The git ports of the application service, over the session's git gateway: branch listings and
// materialising, the workspace of a git compare, the commit of a deploy, repository inspection and
// creation, container listings and documents of a branch, and the check of a git target. Also the two
// functions that turn a git endpoint into something readable, which the document-reading and
// permission ports use too:
//   `git_reader`  checks every name of the branch, then reads the working tree when the repository
//                 has that local branch checked out now (uncommitted files count; the request's
//                 `isCurrent` is not trusted), the base's ref (or "HEAD") of a branch still to be
//                 created, and otherwise the branch's ref ("refs/heads/..." or "refs/remotes/...");
//   `git_layout`  applies the root rule (the path as given for a bare repository, else the top of its
//                 working tree, so a sub-folder works), makes the reader and reads sfdx-project.json;
//                 with the tolerance flag a branch that is not an SFDX project yields no layout.
//
// The ports never do git work of their own: the repository code decides everything about reading,
// writing and committing. What they add is the endpoint check, the root rule, which side is read, the
// progress stage and the failure translation. Failures (WorkflowFailure):
//   Validation "The selected source is not a git repository." (component listing),
//              "The selected side is not a git repository." (materialising, container listing and
//              reading), "The selected target is not a git repository." (commit)
//   Operation  every GitError with its own text; the workspace location's text; the workspace
//              creation error's text; the I/O error's text when the worktree base folder cannot be
//              made
// `git_target_validation` accepts an org endpoint without running git and answers a bare repository
// ("A bare repository cannot be a deployment target.") or a branch, base or new branch name that is
// not a valid git branch name or names no existing branch (git/branch_name.hpp) as a refusal, not a
// failure. No failure carries an org alias.
//
// The ports keep nothing between calls and may run on several threads at once; each call makes its
// inspector, reader and layout and drops them before it returns. Every git command of a call that has
// a token runs with it, so a cancel stops the git process.

#include <filesystem>
#include <memory>
#include <optional>
#include <string_view>

#include "app/ports/git_ports.hpp"
#include "app/ports/port_result.hpp"
#include "cli/gateway.hpp"
#include "endpoint/deploy_endpoint.hpp"
#include "git/gateway.hpp"
#include "git/layout.hpp"
#include "git/reader.hpp"
#include "progress/progress.hpp"
#include "wiring/wiring_context.hpp"

namespace ambrel::server::wiring {

inline constexpr std::string_view kNotGitSourceMessage = "The selected source is not a git repository.";
inline constexpr std::string_view kNotGitSideMessage = "The selected side is not a git repository.";
inline constexpr std::string_view kNotGitTargetMessage = "The selected target is not a git repository.";
inline constexpr std::string_view kBareTargetRefusal = "A bare repository cannot be a deployment target.";
inline constexpr std::string_view kInvalidNewBranchRefusal = "The new branch name is not a valid git branch name.";
// What a branch to be created without a base is read at.
inline constexpr std::string_view kHeadRef = "HEAD";
// The API version of the workspace that a git compare fills.
inline constexpr std::string_view kGitWorkspaceApiVersion = "65.0";

// The reader of one side and the SFDX layout read through it. The reader borrows the git gateway.
struct GitSide {
    std::unique_ptr<git::GitContentReader> reader;
    git::SfdxLayout layout;
};

// The root rule: the path as given for a bare repository, else the top level of its working tree.
app::ports::PortResult<std::filesystem::path> repository_root(const git::GitGateway& gateway,
                                                              const std::filesystem::path& repository);

// The reader of the branch below the root, once every name of the branch passed the branch check
// (GitRepoInspector::verify_branch). Borrows the gateway.
app::ports::PortResult<std::unique_ptr<git::GitContentReader>> git_reader(const git::GitGateway& gateway,
                                                                          const std::filesystem::path& root,
                                                                          const endpoint::GitBranchRef& branch);

// The side's reader and layout; none only when `tolerate_missing_project` is set and the branch is
// not an SFDX project.
app::ports::PortResult<std::optional<GitSide>> git_layout(const git::GitGateway& gateway,
                                                          const std::filesystem::path& repository,
                                                          const endpoint::GitBranchRef& branch,
                                                          bool tolerate_missing_project);

// The whole git port group over the context's git gateway, workspace root and progress sink. The two
// permission-document ports of the group (reading a side's container documents, merging them) are the
// field-level-security ports' (fls_ports.hpp); the `sf` gateway serves only the reading of an org side.
std::shared_ptr<const app::ports::GitDependencies> make_git_dependencies(const WiringContext& context);

}  // namespace ambrel::server::wiring
