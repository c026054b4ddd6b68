#pragma once

// The field-level-security ports of the application service and the licence channel they hand to the
// synchroniser:
//   `build_sync_fls`             copies the selected permissions from a source (an org, or a git branch
//                                whose container documents are all preset) into the target org through
//                                `FlsSynchronizer::sync`; reports "synchronizingFls" first;
//   `build_container_matching`   lists both sides' containers (a git target that is not an SFDX project
//                                has none) and builds the choices of the container screen; reports
//                                "matchingFlsContainers" first;
//   `read_container_documents`   the documents of given containers of one side: a permission retrieve
//                                from an org (API version "65.0"; its workspace is gone when the call
//                                returns) or the branch's files;
//   `merge_container_documents`  merges source and target documents for a deploy to a branch;
//   `CliContainerLicenses`       licences of source documents (read from the source repository, when
//                                there is one) and the target org's licence names.
// Every collaborator (catalogue with a 120-second time-out, deploy gateway of 1,860 seconds, batch
// deployer, retrieve service, synchroniser, licence channel) is made per call and released on every
// path. Failures (WorkflowFailure):
//   Validation "This operation requires a Salesforce org endpoint." (a git endpoint, or an org whose
//              username is blank, where an org is needed; a username is never trimmed)
//   Operation  the workspace location's text; a git failure's text; the catalogue's message; the
//              synchroniser's mapped failure with its clean-up error as a further message; a failed
//              permission retrieve's display text ("Salesforce metadata retrieve was cancelled" for a
//              cancelled one: its clean-up errors are dropped); a retrieved file's I/O error text
//   Cancelled  a cancelled catalogue query or synchronisation
// A git side never consults the token. Nothing here keeps state or locks; the ports may run on
// several threads at once.

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "app/ports/port_result.hpp"
#include "cli/gateway.hpp"
#include "deployment/fls_catalog/fls_catalog.hpp"
#include "deployment/fls_synchronizer/classification.hpp"
#include "deployment/fls_synchronizer/synchronizer.hpp"
#include "domain/cancellation.hpp"
#include "domain/fls.hpp"
#include "domain/permission.hpp"
#include "endpoint/deploy_endpoint.hpp"
#include "git/fls.hpp"
#include "git/gateway.hpp"
#include "progress/progress.hpp"
#include "wiring/core_port_set.hpp"
#include "wiring/git_ports.hpp"
#include "wiring/wiring_context.hpp"

namespace ambrel::server::wiring {

inline constexpr std::string_view kOrgEndpointRequired = "This operation requires a Salesforce org endpoint.";
// The id of a container read from a repository: its kind's name and its name.
inline constexpr std::string_view kGitContainerIdFormat = "git:{}:{}";
inline constexpr std::chrono::seconds kContainerCatalogTimeout{120};
inline constexpr std::chrono::seconds kPermissionDeployTimeout{1'860};

// The username of an org endpoint that has a non-blank one, as stored.
app::ports::PortResult<std::string> require_org_username(const endpoint::DeployEndpoint& endpoint);

// A repository's container file as a container: id "git:{kind}:{name}", the name as API name and label,
// the namespace prefix before the first "__" (empty when the name starts with it, none without it), no
// licence, retrievable.
domain::FlsContainer git_container(const git::FlsContainerFile& file);

// The containers of one side, with the side's reader and layout for a git branch that is an SFDX
// project. With `tolerate_missing_project` a branch that is not one has no containers.
app::ports::PortResult<std::pair<std::vector<domain::FlsContainer>, std::optional<GitSide>>> side_containers_with_layout(
    const deployment::fls_catalog::SfFlsContainerCatalog& catalog, const git::GitGateway& git,
    const endpoint::DeployEndpoint& endpoint, bool tolerate_missing_project, const domain::CancellationToken& token,
    GitSnapshots* snapshots = nullptr);

// The synchroniser with every container document of a git source's branch preset; an org source's
// synchroniser comes back unchanged.
app::ports::PortResult<deployment::fls_synchronizer::FlsSynchronizer> apply_git_source_documents(
    deployment::fls_synchronizer::FlsSynchronizer synchronizer, const endpoint::DeployEndpoint& source,
    const git::GitGateway& git, GitSnapshots* snapshots = nullptr);

// The licence channel of one synchronisation or matching. Borrows the CLI gateway (through its
// catalogue) and, through the source reader, the git gateway; both must outlive it.
class CliContainerLicenses final : public deployment::fls_synchronizer::ContainerLicenseChannel {
public:
    CliContainerLicenses(std::string target_username, std::optional<GitSide> source_repository,
                         const cli::SfCliGateway& sf);

    // Licences named by the source repository's documents of these containers; empty without a
    // repository. A failure is the git failure's first message.
    std::expected<deployment::fls_synchronizer::LicenseMap, deployment::fls_synchronizer::LicenseChannelFailure>
    source_licenses(const std::vector<deployment::fls_synchronizer::ContainerRef>& containers,
                    const domain::CancellationToken& token) const override;
    // The target org's licence names.
    std::expected<std::set<std::string>, deployment::fls_synchronizer::LicenseChannelFailure> target_licenses(
        const domain::CancellationToken& token) const override;

private:
    std::string target_username_;
    std::optional<GitSide> source_repository_;
    deployment::fls_catalog::SfFlsContainerCatalog catalog_;
};

// The `fls_synchronization` port over the context's gateways, workspace root and progress sink.
PortFunction<&app::ports::CorePorts::fls_synchronization> build_sync_fls(const WiringContext& context);
// The `container_matching` port over the context's gateways and progress sink.
PortFunction<&app::ports::CorePorts::container_matching> build_container_matching(const WiringContext& context);

// The body of `container_document_reading` (the git port group holds the port).
app::ports::PortResult<app::ports::ContainerDocuments> read_container_documents(
    const cli::SfCliGateway& sf, const git::GitGateway& git, const std::filesystem::path& workspace_root,
    const endpoint::DeployEndpoint& endpoint, const std::vector<domain::FlsContainer>& containers,
    const std::set<domain::PermissionSubject>& subjects, const domain::CancellationToken& token,
    GitSnapshots* snapshots = nullptr);

// The body of `container_document_merge`.
app::ports::PortResult<app::ports::ContainerDocuments> merge_container_documents(
    const app::ports::ContainerDocuments& source, const app::ports::ContainerDocuments& target,
    const domain::SelectedPermissions& permissions, domain::FlsMode fls_mode);

}  // namespace ambrel::server::wiring
