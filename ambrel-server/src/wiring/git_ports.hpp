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
// The ports keep nothing between operations and may run on several threads at once. Within one
// workflow operation every call on one repository side reads through the operation's snapshot of it
// (GitSnapshots): the repository is inspected, the ref resolved and the package directories listed
// once. Every git command of a call that has a token runs with it, so a cancel stops the git process.

#include <atomic>
#include <filesystem>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <memory>
#include <optional>
#include <string_view>

#include "app/ports/git_ports.hpp"
#include "app/ports/port_result.hpp"
#include "cli/cache.hpp"
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

class GitSnapshot;

// The reader of one side and the SFDX layout read through it. The side keeps its snapshot alive and,
// while it lives, the token of the gateway it was asked through stops the snapshot's git runs; it must
// not outlive that token.
struct GitSide {
    std::shared_ptr<const GitSnapshot> snapshot;
    const git::GitContentReader* reader = nullptr;
    git::SfdxLayout layout;
    // Ends the token's hold on the snapshot when the last copy goes.
    std::shared_ptr<const void> caller;
};

// One look at a repository side: its root, the reader of the branch (a ref resolved once to its
// commit, so every read of the snapshot sees one commit), and the layout read through it with the
// package directories listed in one git run. The snapshot's git runs stop once the operation that made
// it ends, or once the token of any side handed out from it is cancelled.
class GitSnapshot {
public:
    // The gateway's runner and log, bound to the snapshot's own token.
    explicit GitSnapshot(const git::GitGateway& gateway);
    GitSnapshot(const GitSnapshot&) = delete;
    GitSnapshot& operator=(const GitSnapshot&) = delete;

    // A snapshot of the side made through the gateway (whose token stops the runs that make it): the
    // root rule, the reader and the layout. A failure of the root or the reader is returned; a layout
    // that cannot be read is kept and answered by `side`.
    static app::ports::PortResult<std::shared_ptr<const GitSnapshot>> make(const git::GitGateway& gateway,
                                                                          const std::filesystem::path& repository,
                                                                          const endpoint::GitBranchRef& branch);

    // A side over this snapshot whose git runs also stop when `token` is cancelled (none: only the
    // operation's end stops them).
    app::ports::PortResult<std::optional<GitSide>> side(const domain::CancellationToken* token,
                                                        bool tolerate_missing_project) const;
    // Stops every git run of the snapshot from now on.
    void stop() const noexcept;

private:
    app::ports::PortResult<void> open(const std::filesystem::path& repository, const endpoint::GitBranchRef& branch);

    class Token final : public domain::CancellationToken {
    public:
        bool is_cancelled() const override;
        void add(const domain::CancellationToken* token);
        void remove(const domain::CancellationToken* token);
        void stop() noexcept { stopped_ = true; }

    private:
        std::atomic<bool> stopped_{false};
        mutable std::mutex mutex_;
        std::multiset<const domain::CancellationToken*> callers_;
    };

    mutable Token token_;
    git::GitGateway gateway_;
    std::unique_ptr<git::GitContentReader> reader_;
    std::optional<std::expected<git::SfdxLayout, git::GitError>> layout_;
};

// The snapshots of the operation that runs now, one per repository side, made on first use; all are
// dropped (their git runs stopped) when the operation ends and when the next one starts, so a commit
// made in between is seen by the next operation. Outside an operation nothing is kept: each use makes a
// snapshot of its own. Any thread.
class GitSnapshots final : public cli::OperationScoped {
public:
    void operation_boundary(bool running) noexcept override;

    // The snapshot of the side for the current operation, made through `gateway` when there is none.
    app::ports::PortResult<std::shared_ptr<const GitSnapshot>> snapshot(const git::GitGateway& gateway,
                                                                        const std::filesystem::path& repository,
                                                                        const endpoint::GitBranchRef& branch);

private:
    struct Slot {
        std::mutex mutex;
        std::shared_ptr<const GitSnapshot> snapshot;
    };

    std::mutex mutex_;
    bool running_ = false;
    std::map<std::string, std::shared_ptr<Slot>> slots_;
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
// not an SFDX project. With `snapshots` the operation's snapshot of the side serves (made now if it
// is the first use); the gateway's token stops its git runs while the side lives.
app::ports::PortResult<std::optional<GitSide>> git_layout(const git::GitGateway& gateway,
                                                          const std::filesystem::path& repository,
                                                          const endpoint::GitBranchRef& branch,
                                                          bool tolerate_missing_project,
                                                          GitSnapshots* snapshots = nullptr);

// The whole git port group over the context's git gateway, workspace root and progress sink. The two
// permission-document ports of the group (reading a side's container documents, merging them) are the
// field-level-security ports' (fls_ports.hpp); the `sf` gateway serves only the reading of an org side.
std::shared_ptr<const app::ports::GitDependencies> make_git_dependencies(const WiringContext& context);

}  // namespace ambrel::server::wiring
