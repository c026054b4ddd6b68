#pragma once

// The twelve git ports of the application service: branch listings and materialising, the workspace
// of a git compare, the commit of a deploy, repository inspection and creation, container documents
// of a repository and their merge, and the check of a git target.
//
// Every operation may be called any number of times and from several threads at once. Failures are
// WorkflowFailure values; `repo_init_check` cannot fail. Tokens are borrowed for one call.

#include <cstddef>
#include <filesystem>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "app/compare_selection.hpp"
#include "app/ports/port_result.hpp"
#include "cli/catalogs/salesforce_object.hpp"
#include "deployment/git_deploy/summary.hpp"
#include "domain/cancellation.hpp"
#include "domain/difference.hpp"
#include "domain/fls.hpp"
#include "domain/permission.hpp"
#include "endpoint/deploy_endpoint.hpp"
#include "git/inspection.hpp"
#include "metadata/workspace/workspace.hpp"
#include "metadata_types/metadata_type.hpp"

namespace ambrel::app::ports {

// A Profile or PermissionSet document found in a repository.
struct FlsContainerFile {
    domain::FlsContainerKind kind = domain::FlsContainerKind::PermissionSet;
    std::string name;
    bool operator==(const FlsContainerFile&) const = default;
};

// What materialising a branch left out: a component that cannot be compared (a refused member name, an
// unsafe path, a document that is not UTF-8 or too large) is skipped whole with one warning naming why;
// names that are not UTF-8 are only counted.
struct GitMaterialization {
    std::vector<std::string> warnings;
    CompareSelection skipped;
    std::size_t names_not_utf8 = 0;
    bool operator==(const GitMaterialization&) const = default;
};

// The verdict on a git target: valid, or refused with the text shown to the user. (A check that could
// not be made is a WorkflowFailure instead.)
struct GitTargetCheck {
    std::optional<std::string> refusal;

    static GitTargetCheck valid() { return {}; }
    static GitTargetCheck refused(std::string text) { return GitTargetCheck{std::move(text)}; }
    bool is_valid() const noexcept { return !refusal.has_value(); }
    bool operator==(const GitTargetCheck&) const = default;
};

class GitDependencies {
public:
    virtual ~GitDependencies() = default;

    virtual PortResult<std::vector<cli::catalogs::SalesforceObject>> git_component_listing(
        const endpoint::DeployEndpoint& endpoint, metadata_types::MetadataType type,
        const domain::CancellationToken& token) const = 0;
    // Writes the branch's selected components below the destination; `source_side` tells which side
    // of the compare the folder belongs to.
    virtual PortResult<GitMaterialization> git_materialization(const endpoint::DeployEndpoint& endpoint,
                                                 const CompareSelection& selection,
                                                 const std::filesystem::path& destination, bool source_side,
                                                 const domain::CancellationToken& token) const = 0;
    virtual PortResult<std::shared_ptr<metadata::workspace::MetadataWorkspace>> workspace_creation() const = 0;
    virtual PortResult<deployment::git_deploy::GitDeploySummary> git_commit(
        const endpoint::DeployEndpoint& target, const std::vector<domain::ComponentDifference>& rows,
        const ContainerDocuments& container_documents, const std::string& source_label,
        const domain::CancellationToken& token) const = 0;
    virtual PortResult<git::GitRepoInspection> repo_inspection(const std::filesystem::path& folder) const = 0;
    // Cannot fail.
    virtual bool repo_init_check(const std::filesystem::path& folder) const = 0;
    virtual PortResult<git::GitRepoInspection> repo_initialization(const std::filesystem::path& folder) const = 0;
    virtual PortResult<std::vector<FlsContainerFile>> git_container_listing(
        const endpoint::DeployEndpoint& endpoint, const domain::CancellationToken& token) const = 0;
    virtual PortResult<ContainerDocuments> git_container_reading(const endpoint::DeployEndpoint& endpoint,
                                                                 const std::vector<ContainerKey>& containers,
                                                                 const domain::CancellationToken& token) const = 0;
    virtual PortResult<ContainerDocuments> container_document_merge(const ContainerDocuments& source,
                                                                    const ContainerDocuments& target,
                                                                    const domain::SelectedPermissions& permissions,
                                                                    domain::FlsMode fls_mode) const = 0;
    virtual PortResult<ContainerDocuments> container_document_reading(
        const endpoint::DeployEndpoint& endpoint, const std::vector<domain::FlsContainer>& containers,
        const std::set<domain::PermissionSubject>& subjects, const domain::CancellationToken& token) const = 0;
    virtual PortResult<GitTargetCheck> git_target_validation(const endpoint::DeployEndpoint& endpoint) const = 0;
};

}  // namespace ambrel::app::ports
