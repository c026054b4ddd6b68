#pragma once

// ComparisonSession: the result of a compare and what review and deploy work on. It holds the rows,
// the dependency edges and unresolved references, the rows that are selected together (cascade
// children), the warnings, the compare's private workspace and the user's edits of source documents
// until the deploy. Construction also decides which constraint models have no active version in the
// source and takes the session id from one process-wide counter whose first value is 1.
//
// Everything is fixed at construction except the closed flag and the edited documents. Edits are
// written into the workspace's "edits" folder: the file is replaced through a temporary file beside it
// (a failed write keeps the previous edit and its entry), and only folders below the existing edits
// folder are created, never through a link. `close` runs the closer (which removes the workspace);
// after a successful close, edits are refused with SessionClosed while queries still answer from
// memory. Edit failures are SourceOverrideError values (see that header); the Io texts are
// "Could not create the edits directory: {}", "Could not write the edited document: {}",
// "Could not remove the edited document: {}" and "Could not read the edited document of {}: {}",
// each with the short text of the system error.
//
// Thread-safety: shared between the workflow's threads and the server thread; every operation may be
// called concurrently. `closed_mutex_` guards the closed flag and is held through `close` and through
// a whole `set_source_override`, so an edit can never land in a removed workspace or a closed session;
// `edits_mutex_` guards the edited documents. Lock order: closed, then edits; nothing takes the edits
// lock before the closed lock.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "app/compare_selection.hpp"
#include "app/source_override_error.hpp"
#include "app/target_org_class.hpp"
#include "app/workflow_failure.hpp"
#include "dependency/dependency_graph.hpp"
#include "domain/deployment.hpp"
#include "domain/difference.hpp"
#include "endpoint/deploy_endpoint.hpp"
#include "metadata/workspace/workspace.hpp"
#include "metadata_types/metadata_type.hpp"

namespace ambrel::app {

// Character limits of an edited document: metadata XML documents, and everything else.
inline constexpr std::size_t kMetadataDocumentEditLimit = 16'777'216;
inline constexpr std::size_t kSourceFileEditLimit = 1'000'000;

// The note appended to the required-by text of a constraint model that is not auto-checked.
inline constexpr std::string_view kNoActiveVersionNote = "; not auto-checked: no active version in the source";

// The refusal of a validate-only deploy to a git target.
inline constexpr std::string_view kValidateOnGitTarget = "Validate is not available for a git target. Use Deploy instead.";

// Reads the names of the active versions of a constraint model document, or a message when the
// document cannot be parsed. The constraint model document reader serves unless another reader is set.
using ActiveVersionReader = std::expected<std::vector<std::string>, std::string> (*)(std::string_view document);

// The active version names that the constraint model document reader finds, or its message.
std::expected<std::vector<std::string>, std::string> read_active_version_names(std::string_view document);

// Replaces the reader for the whole process and returns the one it replaced (null restores the
// constraint model document reader).
ActiveVersionReader set_active_version_reader(ActiveVersionReader reader) noexcept;
// The reader's answer for one document.
std::expected<std::vector<std::string>, std::string> active_version_names_of(std::string_view document);

using RowKeyMap = std::map<domain::ComponentKey, std::set<domain::ComponentKey>>;

// For each product bundle row, the keys of the constraint model rows that its document tags.
RowKeyMap tagged_model_pairs(const std::vector<domain::ComponentDifference>& rows);

// The keys of the constraint model rows among `tagged` whose source document has no active version
// (an unreadable document has none).
std::set<domain::ComponentKey> models_without_active_version(const std::vector<domain::ComponentDifference>& rows,
                                                             const std::set<domain::ComponentKey>& tagged);

// Removes the compare's workspace; a failure leaves the session open.
using SessionCloser = std::function<std::expected<void, WorkflowFailure>()>;

class ComparisonSession {
    struct Private {};

public:
    // Everything `from_parts` takes.
    struct Parts {
        endpoint::DeployEndpoint source;
        endpoint::DeployEndpoint target;
        std::string source_username;
        std::string target_username;
        std::string source_org_id;
        std::string target_org_id;
        std::vector<domain::ComponentDifference> rows;
        std::shared_ptr<metadata::workspace::MetadataWorkspace> workspace;
        dependency::DependencyGraph graph;
        SessionCloser closer;
        TargetOrgClass target_org_class = TargetOrgClass::Unconfirmed;
        bool allow_best_effort_on_production = false;
        bool retry_unexpected_errors_alone = false;
        std::string api_version;
    };

    // Usernames and org ids from the org endpoints (empty for git), and a closer that holds its own
    // share of the workspace and closes it.
    static std::shared_ptr<ComparisonSession> with_retry_unexpected_errors_alone(
        endpoint::DeployEndpoint source, endpoint::DeployEndpoint target, std::vector<domain::ComponentDifference> rows,
        std::shared_ptr<metadata::workspace::MetadataWorkspace> workspace, dependency::DependencyGraph graph,
        TargetOrgClass target_org_class, std::string api_version, bool allow_best_effort_on_production,
        bool retry_unexpected_errors_alone);
    // As above with retry unexpected errors alone off.
    static std::shared_ptr<ComparisonSession> with_dependency_graph(
        endpoint::DeployEndpoint source, endpoint::DeployEndpoint target, std::vector<domain::ComponentDifference> rows,
        std::shared_ptr<metadata::workspace::MetadataWorkspace> workspace, dependency::DependencyGraph graph,
        TargetOrgClass target_org_class, std::string api_version, bool allow_best_effort_on_production);
    // Works out cascade children, the notes on inactive models and the id. A row of a record-data
    // type is a programming error.
    static std::shared_ptr<ComparisonSession> from_parts(Parts parts);

    ComparisonSession(Private, Parts parts, RowKeyMap cascade_children, std::uint64_t id);
    ComparisonSession(const ComparisonSession&) = delete;
    ComparisonSession& operator=(const ComparisonSession&) = delete;

    const endpoint::DeployEndpoint& source() const noexcept { return source_; }
    const endpoint::DeployEndpoint& target() const noexcept { return target_; }
    const std::string& source_username() const noexcept { return source_username_; }
    const std::string& target_username() const noexcept { return target_username_; }
    const std::string& source_org_id() const noexcept { return source_org_id_; }
    const std::string& target_org_id() const noexcept { return target_org_id_; }
    // In assembly order; the `edited` flags are those of assembly (see ui_differences).
    const std::vector<domain::ComponentDifference>& rows() const noexcept { return rows_; }
    const RowKeyMap& dependency_edges() const noexcept { return dependency_edges_; }
    const std::map<domain::ComponentKey, std::vector<dependency::UnresolvedDependency>>& unresolved_dependencies()
        const noexcept {
        return unresolved_dependencies_;
    }
    const RowKeyMap& cascade_children() const noexcept { return cascade_children_; }
    const std::vector<std::string>& warnings() const noexcept { return warnings_; }
    const std::string& api_version() const noexcept { return api_version_; }
    const std::shared_ptr<metadata::workspace::MetadataWorkspace>& workspace() const noexcept { return workspace_; }
    std::uint64_t id() const noexcept { return id_; }
    bool allow_best_effort_on_production() const noexcept { return allow_best_effort_on_production_; }
    bool retry_unexpected_errors_alone() const noexcept { return retry_unexpected_errors_alone_; }
    TargetOrgClass target_org_class() const noexcept { return target_org_class_; }
    bool is_closed() const;

    std::string source_label() const { return source_.label(); }
    std::string target_label() const { return target_.label(); }

    // Copies of the rows, each `edited` exactly when the row has a recorded edit.
    std::vector<domain::ComponentDifference> ui_differences() const;
    // The refusal of a deploy mode for the selection, if any: VALIDATE_ONLY for a git target, another
    // mode than BEST_EFFORT with a selected changed record row, BEST_EFFORT against production.
    std::optional<std::string> refuses_deploy_mode(domain::DeployMode mode, const SelectedKeys& selected) const;
    // A changed, deployable record row is selected (every row counts when `selected` is null).
    bool selection_requires_best_effort(const SelectedKeys* selected) const;
    // A selected row carries a permission subject (every row counts when `selected` is null).
    bool selection_carries_permission_subjects(const SelectedKeys* selected) const;

    // Records (with a body) or clears (without one, or with the current text) the edit of a row's
    // source document; true when an edit is recorded afterwards.
    std::expected<bool, SourceOverrideError> set_source_override(metadata_types::MetadataType type,
                                                                 std::string_view name,
                                                                 const std::optional<std::string>& body) const;
    // The file that holds the row's edit.
    std::optional<std::filesystem::path> source_override_path(const domain::ComponentKey& key) const;
    // Puts the recorded edits into the caller's rows and marks them edited. The first failure ends the
    // walk; rows already handled keep their new text.
    std::expected<void, SourceOverrideError> apply_source_overrides(
        std::vector<domain::ComponentDifference>& rows) const;
    // Runs the closer once it succeeds; later calls succeed at once.
    std::expected<void, WorkflowFailure> close() const;

private:
    const endpoint::DeployEndpoint source_;
    const endpoint::DeployEndpoint target_;
    const std::string source_username_;
    const std::string target_username_;
    const std::string source_org_id_;
    const std::string target_org_id_;
    const std::vector<domain::ComponentDifference> rows_;
    const RowKeyMap dependency_edges_;
    const std::map<domain::ComponentKey, std::vector<dependency::UnresolvedDependency>> unresolved_dependencies_;
    const RowKeyMap cascade_children_;
    const std::vector<std::string> warnings_;
    const std::string api_version_;
    const std::shared_ptr<metadata::workspace::MetadataWorkspace> workspace_;
    const SessionCloser closer_;
    const std::uint64_t id_;
    const bool allow_best_effort_on_production_;
    const bool retry_unexpected_errors_alone_;
    const TargetOrgClass target_org_class_;

    // Guarded by closed_mutex_; held through close and set_source_override.
    mutable std::mutex closed_mutex_;
    mutable bool closed_ = false;

    // Guarded by edits_mutex_ (taken after closed_mutex_ where both are held).
    mutable std::mutex edits_mutex_;
    mutable std::map<domain::ComponentKey, std::filesystem::path> edited_documents_;
};

}  // namespace ambrel::app
