#include "wiring/git_ports.hpp"

#include <algorithm>
#include <system_error>
#include <utility>

#include "deployment/git_deploy/git_deploy.hpp"
#include "git/container_documents.hpp"
#include "git/branch_name.hpp"
#include "git/fls.hpp"
#include "git/inspector.hpp"
#include "metadata/workspace/workspace.hpp"
#include "wiring/failure_mapping.hpp"
#include "wiring/fls_ports.hpp"

namespace ambrel::server::wiring {
namespace {

using app::WorkflowFailure;
using app::ports::PortResult;
using domain::CancellationToken;
using endpoint::DeployEndpoint;
using progress::ProgressStage;

std::unexpected<WorkflowFailure> validation(std::string_view message) {
    return std::unexpected(WorkflowFailure::single(app::FailureKind::Validation, message));
}

std::unexpected<WorkflowFailure> git_failure(git::GitError error) {
    return std::unexpected(git_to_failure(std::move(error)));
}

class GitPorts final : public app::ports::GitDependencies {
public:
    GitPorts(std::shared_ptr<const cli::SfCliGateway> sf, std::shared_ptr<const git::GitGateway> git,
             std::filesystem::path workspace_root, std::shared_ptr<const progress::ProgressSink> progress,
             std::shared_ptr<GitSnapshots> snapshots)
        : sf_(std::move(sf)),
          git_(std::move(git)),
          root_(std::move(workspace_root)),
          progress_(std::move(progress)),
          snapshots_(std::move(snapshots)) {}

    PortResult<std::vector<cli::catalogs::SalesforceObject>> git_component_listing(
        const DeployEndpoint& endpoint, metadata_types::MetadataType type, const CancellationToken& token) const override {
        const auto* side = endpoint.git();
        if (side == nullptr) return validation(kNotGitSourceMessage);
        progress_->report(ProgressStage::ListingObjects, std::nullopt, std::nullopt, endpoint.label());
        const git::GitGateway git = git_->with_token(token);
        auto layout = git_layout(git, side->repository, side->branch, false, snapshots_.get());
        if (!layout) return std::unexpected(std::move(layout.error()));
        auto listed =
            git::layout::list_components(*(*layout)->reader, (*layout)->layout, type, git::metadata_container_documents());
        if (!listed) return git_failure(std::move(listed.error()));
        return std::move(*listed);
    }

    PortResult<app::ports::GitMaterialization> git_materialization(const DeployEndpoint& endpoint,
                                                                   const app::CompareSelection& selection,
                                                                   const std::filesystem::path& destination,
                                                                   bool source_side,
                                                                   const CancellationToken& token) const override {
        const auto* side = endpoint.git();
        if (side == nullptr) return validation(kNotGitSideMessage);
        progress_->report(ProgressStage::RetrievingMetadata, std::nullopt, std::nullopt, endpoint.label());
        const git::GitGateway git = git_->with_token(token);
        // A target branch that is not an SFDX project compares as empty; such a source is an error.
        auto layout = git_layout(git, side->repository, side->branch, !source_side, snapshots_.get());
        if (!layout) return std::unexpected(std::move(layout.error()));
        if (!*layout) return app::ports::GitMaterialization{};
        auto written = git::layout::materialize(*(*layout)->reader, (*layout)->layout, selection, destination, token);
        if (!written) return git_failure(std::move(written.error()));
        // The branch's listing left out the names its rule refuses: each is named once.
        const git::ContainerDocuments documents = git::metadata_container_documents();
        for (const auto& [type, names] : selection) {
            auto refused = git::layout::refused_member_names(*(*layout)->reader, (*layout)->layout, type, documents);
            if (!refused) return git_failure(std::move(refused.error()));
            for (const std::string& name : *refused) {
                std::string warning = git::layout::refused_member_warning(type, name);
                if (std::ranges::find(written->warnings, warning) == written->warnings.end()) {
                    written->warnings.push_back(std::move(warning));
                }
            }
        }
        return app::ports::GitMaterialization{std::move(written->warnings), std::move(written->skipped),
                                              std::move(written->unreadable), written->names_not_utf8};
    }

    PortResult<std::shared_ptr<metadata::workspace::MetadataWorkspace>> workspace_creation() const override {
        auto location = workspace_location(root_);
        if (!location) return std::unexpected(WorkflowFailure::operation(location.error()));
        auto workspace = metadata::workspace::MetadataWorkspace::create(*location, kGitWorkspaceApiVersion);
        if (!workspace) return std::unexpected(WorkflowFailure::from_workspace_error(workspace.error()));
        return std::move(*workspace);
    }

    PortResult<deployment::git_deploy::GitDeploySummary> git_commit(
        const DeployEndpoint& target, const std::vector<domain::ComponentDifference>& rows,
        const app::ports::ContainerDocuments& container_documents, const std::string& source_label,
        const CancellationToken& token) const override {
        const auto* side = target.git();
        if (side == nullptr) return validation(kNotGitTargetMessage);
        progress_->report(ProgressStage::DeployingPackage, std::nullopt, std::nullopt, target.label());
        const git::GitGateway git = git_->with_token(token);
        auto root = repository_root(git, side->repository);
        if (!root) return std::unexpected(std::move(root.error()));
        const std::filesystem::path base = root_ / kPortTempFolder;
        std::error_code error;
        std::filesystem::create_directories(base, error);
        if (error) return std::unexpected(WorkflowFailure::operation(error.message()));
        const git::ContainerDocuments documents = git::metadata_container_documents();
        const deployment::git_deploy::GitDeployOrchestrator orchestrator(git, base, documents);
        auto summary = orchestrator.deploy_with_fls(*root, side->branch, rows, container_documents, source_label, token);
        if (!summary) return git_failure(std::move(summary.error()));
        return std::move(*summary);
    }

    PortResult<git::GitRepoInspection> repo_inspection(const std::filesystem::path& folder) const override {
        auto root = repository_root(*git_, folder);
        if (!root) return std::unexpected(std::move(root.error()));
        auto inspection = git::GitRepoInspector(*git_).inspect(*root);
        if (!inspection) return git_failure(std::move(inspection.error()));
        return std::move(*inspection);
    }

    bool repo_init_check(const std::filesystem::path& folder) const override {
        return git::GitRepoInspector(*git_).can_initialize(folder);
    }

    PortResult<git::GitRepoInspection> repo_initialization(const std::filesystem::path& folder) const override {
        if (auto created = git::GitRepoInspector(*git_).initialize_repository(folder); !created) {
            return git_failure(std::move(created.error()));
        }
        return repo_inspection(folder);
    }

    PortResult<std::vector<app::ports::FlsContainerFile>> git_container_listing(
        const DeployEndpoint& endpoint, const CancellationToken& token) const override {
        const auto* side = endpoint.git();
        if (side == nullptr) return validation(kNotGitSideMessage);
        const git::GitGateway git = git_->with_token(token);
        auto layout = git_layout(git, side->repository, side->branch, true, snapshots_.get());
        if (!layout) return std::unexpected(std::move(layout.error()));
        if (!*layout) return std::vector<app::ports::FlsContainerFile>{};
        auto listed = git::fls::list_containers(*(*layout)->reader, (*layout)->layout);
        if (!listed) return git_failure(std::move(listed.error()));
        std::vector<app::ports::FlsContainerFile> files;
        files.reserve(listed->size());
        for (git::FlsContainerFile& file : *listed) files.push_back({file.kind, std::move(file.name)});
        return files;
    }

    PortResult<app::ports::ContainerDocuments> git_container_reading(
        const DeployEndpoint& endpoint, const std::vector<app::ports::ContainerKey>& containers,
        const CancellationToken& token) const override {
        const auto* side = endpoint.git();
        if (side == nullptr) return validation(kNotGitSideMessage);
        const git::GitGateway git = git_->with_token(token);
        auto layout = git_layout(git, side->repository, side->branch, true, snapshots_.get());
        if (!layout) return std::unexpected(std::move(layout.error()));
        if (!*layout) return app::ports::ContainerDocuments{};
        auto documents = git::fls::read_documents(*(*layout)->reader, (*layout)->layout, containers);
        if (!documents) return git_failure(std::move(documents.error()));
        return std::move(*documents);
    }

    PortResult<app::ports::ContainerDocuments> container_document_merge(const app::ports::ContainerDocuments& source,
                                                                        const app::ports::ContainerDocuments& target,
                                                                        const domain::SelectedPermissions& permissions,
                                                                        domain::FlsMode fls_mode) const override {
        return merge_container_documents(source, target, permissions, fls_mode);
    }

    PortResult<app::ports::ContainerDocuments> container_document_reading(
        const DeployEndpoint& endpoint, const std::vector<domain::FlsContainer>& containers,
        const std::set<domain::PermissionSubject>& subjects, const CancellationToken& token) const override {
        return read_container_documents(*sf_, git_->with_token(token), root_, endpoint, containers, subjects, token,
                                        snapshots_.get());
    }

    PortResult<app::ports::GitTargetCheck> git_target_validation(const DeployEndpoint& endpoint) const override {
        const auto* side = endpoint.git();
        if (side == nullptr) return app::ports::GitTargetCheck::valid();
        const git::GitRepoInspector inspector(*git_);
        if (auto required = inspector.require_repository(side->repository); !required) {
            return git_failure(std::move(required.error()));
        }
        auto bare = inspector.is_bare(side->repository);
        if (!bare) return git_failure(std::move(bare.error()));
        if (*bare) return app::ports::GitTargetCheck::refused(std::string(kBareTargetRefusal));
        auto root = repository_root(*git_, side->repository);
        if (!root) return std::unexpected(std::move(root.error()));
        const endpoint::GitBranchRef& branch = side->branch;
        // Every name the deploy would hand to git is checked now, the way the deploy checks it again.
        std::vector<std::pair<std::string_view, git::BranchRole>> names;
        if (branch.create) {
            names.emplace_back(branch.local_name(), git::BranchRole::New);
            if (branch.base) names.emplace_back(*branch.base, git::BranchRole::Base);
        } else if (branch.remote) {
            names.emplace_back(branch.name, git::BranchRole::Remote);
        } else {
            // A repository without a commit has no branch yet: its first commit makes the named one.
            auto head = git_->execute(*root, {"rev-parse", "--verify", "--quiet", "HEAD"});
            if (!head) return git_failure(git::GitError::from_gateway(head.error()));
            names.emplace_back(branch.name, head->exit_code == 0 ? git::BranchRole::Local : git::BranchRole::New);
        }
        for (const auto& [name, role] : names) {
            auto verified = inspector.verify_branch(*root, name, role);
            if (verified) continue;
            if (verified.error().kind() != git::GitError::Kind::CommandFailed) return git_failure(std::move(verified.error()));
            std::string refusal = verified.error().message();
            // The first commit names the branch it makes: an invalid name there reads as any other branch's.
            if (role == git::BranchRole::New && !branch.create && refusal == git::kInvalidNewBranchSentence) {
                refusal = std::string(git::kInvalidBranchSentence);
            }
            return app::ports::GitTargetCheck::refused(std::move(refusal));
        }
        return app::ports::GitTargetCheck::valid();
    }

private:
    std::shared_ptr<const cli::SfCliGateway> sf_;
    std::shared_ptr<const git::GitGateway> git_;
    std::filesystem::path root_;
    std::shared_ptr<const progress::ProgressSink> progress_;
    std::shared_ptr<GitSnapshots> snapshots_;
};

}  // namespace

PortResult<std::filesystem::path> repository_root(const git::GitGateway& gateway,
                                                  const std::filesystem::path& repository) {
    const git::GitRepoInspector inspector(gateway);
    if (auto required = inspector.require_repository(repository); !required) {
        return git_failure(std::move(required.error()));
    }
    auto bare = inspector.is_bare(repository);
    if (!bare) return git_failure(std::move(bare.error()));
    if (*bare) return repository;
    auto root = inspector.resolve_repo_root(repository);
    if (!root) return git_failure(std::move(root.error()));
    return std::move(*root);
}

PortResult<std::unique_ptr<git::GitContentReader>> git_reader(const git::GitGateway& gateway,
                                                              const std::filesystem::path& root,
                                                              const endpoint::GitBranchRef& branch) {
    const git::GitRepoInspector inspector(gateway);
    const auto verified = [&](std::string_view name, git::BranchRole role) -> PortResult<std::string> {
        auto ref = inspector.verify_branch(root, name, role);
        if (!ref) return git_failure(std::move(ref.error()));
        return std::move(*ref);
    };
    std::optional<std::string> ref;
    if (branch.create) {
        if (auto fresh = verified(branch.local_name(), git::BranchRole::New); !fresh) return std::unexpected(fresh.error());
        ref = std::string(kHeadRef);
        if (branch.base) {
            auto base = verified(*branch.base, git::BranchRole::Base);
            if (!base) return std::unexpected(std::move(base.error()));
            ref = std::move(*base);
        }
    } else if (branch.remote) {
        auto remote = verified(branch.name, git::BranchRole::Remote);
        if (!remote) return std::unexpected(std::move(remote.error()));
        ref = std::move(*remote);
    } else {
        // The repository, not the request, says whether the branch is the one checked out now: only
        // then is the working tree read, uncommitted files included.
        auto bare = inspector.is_bare(root);
        if (!bare) return git_failure(std::move(bare.error()));
        std::optional<std::string> current;
        if (!*bare) {
            auto checked_out = inspector.current_branch(root);
            if (!checked_out) return git_failure(std::move(checked_out.error()));
            current = std::move(*checked_out);
        }
        if (!current || *current != branch.name) {
            auto local = verified(branch.name, git::BranchRole::Local);
            if (!local) return std::unexpected(std::move(local.error()));
            ref = std::move(*local);
        } else if (!git::branch_name::is_branch_name(branch.name)) {
            return git_failure(git::GitError::command_failed(std::string(git::kInvalidBranchSentence)));
        }
    }
    if (ref) {
        // The ref is resolved once: every read of the side sees one commit, even when the branch moves
        // meanwhile. A ref that names no commit yet (an unborn HEAD) is read as it is.
        auto commit = gateway.execute(root, {"rev-parse", "--verify", "--quiet", *ref + "^{commit}"});
        if (!commit) return git_failure(git::GitError::from_gateway(commit.error()));
        std::string id = commit->stdout_text;
        while (!id.empty() && (id.back() == '\n' || id.back() == '\r')) id.pop_back();
        if (commit->exit_code == 0 && !id.empty() &&
            std::ranges::all_of(id, [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); })) {
            ref = std::move(id);
        }
    }
    // Without a ref the working tree on disk is read, uncommitted files included. Messages name the
    // branch whose files are read: the chosen one, or the base of a branch still to be created.
    std::string label = branch.create ? branch.base.value_or(std::string(kHeadRef)) : branch.name;
    return std::make_unique<git::GitContentReader>(gateway, root, std::move(ref), std::move(label));
}

bool GitSnapshot::Token::is_cancelled() const {
    if (stopped_) return true;
    std::lock_guard lock(mutex_);
    for (const domain::CancellationToken* caller : callers_) {
        if (caller->is_cancelled()) return true;
    }
    return false;
}

void GitSnapshot::Token::add(const domain::CancellationToken* token) {
    if (token == nullptr) return;
    std::lock_guard lock(mutex_);
    callers_.insert(token);
}

void GitSnapshot::Token::remove(const domain::CancellationToken* token) {
    if (token == nullptr) return;
    std::lock_guard lock(mutex_);
    if (auto found = callers_.find(token); found != callers_.end()) callers_.erase(found);
}

GitSnapshot::GitSnapshot(const git::GitGateway& gateway) : gateway_(gateway.with_token(token_)) {}

void GitSnapshot::stop() const noexcept { token_.stop(); }

PortResult<std::shared_ptr<const GitSnapshot>> GitSnapshot::make(const git::GitGateway& gateway,
                                                                 const std::filesystem::path& repository,
                                                                 const endpoint::GitBranchRef& branch) {
    auto made = std::make_shared<GitSnapshot>(gateway.without_token());
    // The caller's token stops the runs that make the snapshot.
    const domain::CancellationToken* caller = gateway.bound_token();
    made->token_.add(caller);
    auto opened = made->open(repository, branch);
    made->token_.remove(caller);
    if (!opened) return std::unexpected(std::move(opened.error()));
    return made;
}

PortResult<void> GitSnapshot::open(const std::filesystem::path& repository, const endpoint::GitBranchRef& branch) {
    auto root = repository_root(gateway_, repository);
    if (!root) return std::unexpected(std::move(root.error()));
    auto reader = git_reader(gateway_, *root, branch);
    if (!reader) return std::unexpected(std::move(reader.error()));
    reader_ = std::move(*reader);
    auto layout = git::SfdxLayout::read(*reader_);
    if (layout) {
        // One listing of every package directory serves every type, component and document read later;
        // a failure here is met again, and reported, by the first read that needs the listing.
        (void)reader_->ensure_listed_all(layout->prefixes());
    }
    layout_ = std::move(layout);
    return {};
}

PortResult<std::optional<GitSide>> GitSnapshot::side(const domain::CancellationToken* token,
                                                     bool tolerate_missing_project) const {
    if (!*layout_) {
        const git::GitError& error = layout_->error();
        if (tolerate_missing_project && error.kind() == git::GitError::Kind::NotAnSfdxProject) {
            return std::optional<GitSide>();
        }
        return git_failure(error);
    }
    token_.add(token);
    std::shared_ptr<const void> caller(token, [this](const void* held) {
        token_.remove(static_cast<const domain::CancellationToken*>(held));
    });
    return GitSide{nullptr, reader_.get(), **layout_, std::move(caller)};
}

void GitSnapshots::operation_boundary(bool running) noexcept {
    std::map<std::string, std::shared_ptr<Slot>> dropped;
    {
        std::lock_guard lock(mutex_);
        running_ = running;
        dropped.swap(slots_);
    }
    // A snapshot still in use by a cancelled operation's work stops its git runs; its reader goes with
    // the last side that holds it.
    for (const auto& [key, slot] : dropped) {
        std::lock_guard lock(slot->mutex);
        if (slot->snapshot) slot->snapshot->stop();
    }
}

PortResult<std::shared_ptr<const GitSnapshot>> GitSnapshots::snapshot(const git::GitGateway& gateway,
                                                                      const std::filesystem::path& repository,
                                                                      const endpoint::GitBranchRef& branch) {
    std::shared_ptr<Slot> slot;
    {
        std::lock_guard lock(mutex_);
        if (running_) {
            std::string key = repository.native();
            for (const std::string& part : {branch.name, branch.remote ? "r:" + *branch.remote : std::string("l"),
                                            branch.base ? "b:" + *branch.base : std::string("-"),
                                            std::string(branch.create ? "c" : "e")}) {
                key += '\0';
                key += part;
            }
            auto& held = slots_[std::move(key)];
            if (!held) held = std::make_shared<Slot>();
            slot = held;
        }
    }
    if (!slot) return GitSnapshot::make(gateway, repository, branch);
    std::lock_guard lock(slot->mutex);
    if (!slot->snapshot) {
        auto made = GitSnapshot::make(gateway, repository, branch);
        if (!made) return made;
        slot->snapshot = std::move(*made);
    }
    return slot->snapshot;
}

PortResult<std::optional<GitSide>> git_layout(const git::GitGateway& gateway, const std::filesystem::path& repository,
                                              const endpoint::GitBranchRef& branch, bool tolerate_missing_project,
                                              GitSnapshots* snapshots) {
    PortResult<std::shared_ptr<const GitSnapshot>> snapshot;
    if (snapshots != nullptr) {
        snapshot = snapshots->snapshot(gateway, repository, branch);
    } else {
        snapshot = GitSnapshot::make(gateway, repository, branch);
    }
    if (!snapshot) return std::unexpected(std::move(snapshot.error()));
    auto side = (*snapshot)->side(gateway.bound_token(), tolerate_missing_project);
    if (side && *side) (*side)->snapshot = *snapshot;
    return side;
}

std::shared_ptr<const app::ports::GitDependencies> make_git_dependencies(const WiringContext& context) {
    return std::make_shared<const GitPorts>(context.sf, context.git, context.workspace_root, context.progress,
                                            context.git_snapshots);
}

}  // namespace ambrel::server::wiring
