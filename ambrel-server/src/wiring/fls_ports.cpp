#include "wiring/fls_ports.hpp"

#include <fmt/format.h>

#include <system_error>

#include "deployment/deploy_gateway/gateway.hpp"
#include "deployment/permission_batch/batch_deployer.hpp"
#include "metadata/permission_models/permission_component_key.hpp"
#include "metadata/permission_retrieve/permission_retrieve_service.hpp"
#include "platform_fs/files.hpp"
#include "text/text.hpp"
#include "wiring/failure_mapping.hpp"

namespace ambrel::server::wiring {
namespace {

using app::WorkflowFailure;
using app::ports::PortResult;
using deployment::fls_catalog::SfFlsContainerCatalog;
using deployment::fls_synchronizer::FlsSyncError;
using deployment::fls_synchronizer::FlsSynchronizer;
using domain::CancellationToken;
using endpoint::DeployEndpoint;
using metadata::permission_models::PermissionComponentKey;

constexpr std::string_view kNamespaceSeparator = "__";

// A catalogue failure travels as the synchroniser's, so that cancellation and texts map alike.
WorkflowFailure catalog_failure(deployment::fls_catalog::FlsCatalogError error) {
    return fls_to_failure(FlsSyncError(FlsSyncError::Catalog{std::move(error)}), std::nullopt);
}

// The permission deploy gateway of a synchronisation: no tests, neither flag.
std::shared_ptr<deployment::deploy_gateway::SfCliMetadataDeployGateway> permission_deploy_gateway(
    std::shared_ptr<const cli::SfCliGateway> sf) {
    deployment::deploy_gateway::DeployOptions options;
    options.timeout = kPermissionDeployTimeout;
    return std::make_shared<deployment::deploy_gateway::SfCliMetadataDeployGateway>(options, std::move(sf));
}

}  // namespace

PortResult<std::string> require_org_username(const DeployEndpoint& endpoint) {
    const auto* org = endpoint.org();
    if (org == nullptr || text::is_blank(org->org.username)) {
        return std::unexpected(WorkflowFailure::single(app::FailureKind::Validation, kOrgEndpointRequired));
    }
    return org->org.username;
}

domain::FlsContainer git_container(const git::FlsContainerFile& file) {
    domain::FlsContainer container;
    container.id = fmt::format(fmt::runtime(kGitContainerIdFormat), domain::name(file.kind), file.name);
    container.api_name = file.name;
    container.label = file.name;
    if (const std::size_t separator = file.name.find(kNamespaceSeparator); separator != std::string::npos) {
        container.namespace_prefix = file.name.substr(0, separator);
    }
    container.kind = file.kind;
    container.retrievable = true;
    return container;
}

PortResult<std::pair<std::vector<domain::FlsContainer>, std::optional<GitSide>>> side_containers_with_layout(
    const SfFlsContainerCatalog& catalog, const git::GitGateway& git, const DeployEndpoint& endpoint,
    bool tolerate_missing_project, const CancellationToken& token, GitSnapshots* snapshots) {
    using Answer = std::pair<std::vector<domain::FlsContainer>, std::optional<GitSide>>;
    if (const auto* side = endpoint.git()) {
        auto layout = git_layout(git, side->repository, side->branch, tolerate_missing_project, snapshots);
        if (!layout) return std::unexpected(std::move(layout.error()));
        if (!*layout) return Answer{};
        auto files = git::fls::list_containers(*(*layout)->reader, (*layout)->layout);
        if (!files) return std::unexpected(git_to_failure(std::move(files.error())));
        std::vector<domain::FlsContainer> containers;
        containers.reserve(files->size());
        for (const git::FlsContainerFile& file : *files) containers.push_back(git_container(file));
        return Answer{std::move(containers), std::move(*layout)};
    }
    auto username = require_org_username(endpoint);
    if (!username) return std::unexpected(std::move(username.error()));
    auto containers = catalog.containers(*username, token);
    if (!containers) return std::unexpected(catalog_failure(std::move(containers.error())));
    return Answer{std::move(*containers), std::nullopt};
}

PortResult<FlsSynchronizer> apply_git_source_documents(FlsSynchronizer synchronizer, const DeployEndpoint& source,
                                                       const git::GitGateway& git, GitSnapshots* snapshots) {
    const auto* side = source.git();
    if (side == nullptr) return synchronizer;
    auto layout = git_layout(git, side->repository, side->branch, false, snapshots);
    if (!layout) return std::unexpected(std::move(layout.error()));
    const GitSide& repository = **layout;
    auto files = git::fls::list_containers(*repository.reader, repository.layout);
    if (!files) return std::unexpected(git_to_failure(std::move(files.error())));
    // Every container is preset, chosen or not: the synchroniser applies the choice.
    std::vector<git::FlsContainerId> ids;
    ids.reserve(files->size());
    for (const git::FlsContainerFile& file : *files) ids.emplace_back(file.kind, file.name);
    auto documents = git::fls::read_documents(*repository.reader, repository.layout, ids);
    if (!documents) return std::unexpected(git_to_failure(std::move(documents.error())));
    deployment::fls_synchronizer::PresetDocuments preset;
    for (auto& [id, text] : *documents) {
        // A file named only by white space gives no container name; it is refused as a value.
        if (text::is_blank(id.second)) {
            return std::unexpected(fls_to_failure(deployment::fls_synchronizer::FlsSyncError::message(
                std::string(metadata::permission_models::kBlankFullNameMessage))));
        }
        preset.emplace(PermissionComponentKey::create(id.first, id.second), std::move(text));
    }
    return std::move(synchronizer).with_source_documents(std::move(preset));
}

CliContainerLicenses::CliContainerLicenses(std::string target_username, std::optional<GitSide> source_repository,
                                           const cli::SfCliGateway& sf)
    : target_username_(std::move(target_username)),
      source_repository_(std::move(source_repository)),
      catalog_(sf, kContainerCatalogTimeout) {}

std::expected<deployment::fls_synchronizer::LicenseMap, deployment::fls_synchronizer::LicenseChannelFailure>
CliContainerLicenses::source_licenses(const std::vector<deployment::fls_synchronizer::ContainerRef>& containers,
                                      const CancellationToken&) const {
    deployment::fls_synchronizer::LicenseMap licenses;
    if (!source_repository_) return licenses;
    auto documents = git::fls::read_documents(*source_repository_->reader, source_repository_->layout, containers);
    if (!documents) {
        return std::unexpected(deployment::fls_synchronizer::LicenseChannelFailure{
            false, git_to_failure(std::move(documents.error())).first_message()});
    }
    for (const auto& [id, document] : *documents) {
        if (auto license = deployment::fls_synchronizer::source_document_license(document)) {
            licenses.emplace(id, std::move(*license));
        }
    }
    return licenses;
}

std::expected<std::set<std::string>, deployment::fls_synchronizer::LicenseChannelFailure>
CliContainerLicenses::target_licenses(const CancellationToken& token) const {
    auto names = catalog_.license_names(target_username_, token);
    if (names) return std::move(*names);
    if (names.error().is_cancelled()) return std::unexpected(deployment::fls_synchronizer::LicenseChannelFailure{true, {}});
    return std::unexpected(
        deployment::fls_synchronizer::LicenseChannelFailure{false, catalog_failure(std::move(names.error())).first_message()});
}

PortFunction<&app::ports::CorePorts::fls_synchronization> build_sync_fls(const WiringContext& context) {
    return [root = context.workspace_root, progress = context.progress, sf = context.sf, git = context.git,
            snapshots = context.git_snapshots](
               const DeployEndpoint& source, const DeployEndpoint& target, const domain::SelectedPermissions& permissions,
               domain::FlsMode mode, const app::ports::ContainerSelection& containers,
               const CancellationToken& token) -> PortResult<std::vector<domain::FlsResult>> {
        progress->report(progress::ProgressStage::SynchronizingFls);
        auto deploy_gateway = permission_deploy_gateway(sf);
        auto location = workspace_location(root);
        if (!location) return std::unexpected(WorkflowFailure::operation(location.error()));
        auto deployer = deployment::permission_batch::SfCliPermissionComponentBatchDeployer::create(*deploy_gateway, *location);
        const SfFlsContainerCatalog catalog(*sf, kContainerCatalogTimeout);
        const auto retrieve_service = metadata::permission_retrieve::PermissionMetadataRetrieveService::create(*sf, *location);
        auto target_username = require_org_username(target);
        if (!target_username) return std::unexpected(std::move(target_username.error()));
        // A git source's documents are preset below, so its side runs under the target's name.
        auto source_username = source.is_git() ? target_username : require_org_username(source);
        if (!source_username) return std::unexpected(std::move(source_username.error()));
        // Making the licence channel does no work, so it can be handed over at construction.
        const CliContainerLicenses licenses(*target_username, std::nullopt, *sf);
        const git::GitGateway bound_git = git->with_token(token);
        auto synchronizer = apply_git_source_documents(
            FlsSynchronizer(*source_username, *target_username, catalog, retrieve_service, deployer, &licenses), source,
            bound_git, snapshots.get());
        if (!synchronizer) return std::unexpected(std::move(synchronizer.error()));
        auto rows = synchronizer->sync(permissions, mode, containers, token);
        if (!rows) return std::unexpected(fls_to_failure(std::move(rows.error().error), std::move(rows.error().workspace)));
        return std::move(*rows);
    };
}

PortFunction<&app::ports::CorePorts::container_matching> build_container_matching(const WiringContext& context) {
    return [progress = context.progress, sf = context.sf, git = context.git,
            snapshots = context.git_snapshots](
               const DeployEndpoint& source, const DeployEndpoint& target,
               const CancellationToken& token) -> PortResult<std::vector<domain::FlsContainerChoice>> {
        progress->report(progress::ProgressStage::MatchingFlsContainers);
        const SfFlsContainerCatalog catalog(*sf, kContainerCatalogTimeout);
        // The sides' readers borrow the gateway: it lives as long as they do.
        const git::GitGateway bound_git = git->with_token(token);
        auto source_side = side_containers_with_layout(catalog, bound_git, source, false, token, snapshots.get());
        if (!source_side) return std::unexpected(std::move(source_side.error()));
        // A target branch that is not an SFDX project simply has no containers yet.
        auto target_side = side_containers_with_layout(catalog, bound_git, target, true, token, snapshots.get());
        if (!target_side) return std::unexpected(std::move(target_side.error()));
        std::vector<domain::FlsContainer> target_containers = std::move(target_side->first);
        target_side->second.reset();
        std::optional<CliContainerLicenses> licenses;
        if (target.is_org()) {
            auto username = require_org_username(target);
            if (!username) return std::unexpected(std::move(username.error()));
            licenses.emplace(std::move(*username), std::move(source_side->second), *sf);
        }
        auto choices = deployment::fls_synchronizer::match_fls_container_choices_from(
            std::move(source_side->first), std::move(target_containers), licenses ? &*licenses : nullptr, token);
        if (!choices) return std::unexpected(fls_to_failure(std::move(choices.error()), std::nullopt));
        return std::move(*choices);
    };
}

PortResult<app::ports::ContainerDocuments> read_container_documents(
    const cli::SfCliGateway& sf, const git::GitGateway& git, const std::filesystem::path& workspace_root,
    const DeployEndpoint& endpoint, const std::vector<domain::FlsContainer>& containers,
    const std::set<domain::PermissionSubject>& subjects, const CancellationToken& token, GitSnapshots* snapshots) {
    if (const auto* side = endpoint.git()) {
        std::vector<git::FlsContainerId> ids;
        ids.reserve(containers.size());
        for (const domain::FlsContainer& container : containers) ids.emplace_back(container.kind, container.api_name);
        auto layout = git_layout(git, side->repository, side->branch, false, snapshots);
        if (!layout) return std::unexpected(std::move(layout.error()));
        auto documents = git::fls::read_documents(*(*layout)->reader, (*layout)->layout, ids);
        if (!documents) return std::unexpected(git_to_failure(std::move(documents.error())));
        return std::move(*documents);
    }
    auto username = require_org_username(endpoint);
    if (!username) return std::unexpected(std::move(username.error()));
    metadata::permission_retrieve::PermissionKeys keys;
    for (const domain::FlsContainer& container : containers) {
        keys.insert(PermissionComponentKey::create(container.kind, container.api_name));
    }
    if (keys.empty()) return app::ports::ContainerDocuments{};
    auto location = workspace_location(workspace_root);
    if (!location) return std::unexpected(WorkflowFailure::operation(location.error()));
    const auto service = metadata::permission_retrieve::PermissionMetadataRetrieveService::create(sf, *location);
    auto retrieved = service.retrieve(*username, *username, keys, {}, subjects, token);
    if (!retrieved) return std::unexpected(WorkflowFailure::operation(retrieved.error().message()));
    // The workspace goes with this call, whatever the reads below give.
    const auto close = [&retrieved] {
        if (retrieved->workspace) (void)retrieved->workspace->close();
    };
    app::ports::ContainerDocuments documents;
    for (const auto& [key, path] : retrieved->source_files) {
        auto content = platform_fs::files::read_regular_file(path);
        if (content && !text::is_valid_utf8(*content)) {
            content = std::unexpected(std::make_error_code(std::errc::illegal_byte_sequence));
        }
        if (!content) {
            close();
            return std::unexpected(WorkflowFailure::operation(content.error().message()));
        }
        documents.emplace(app::ports::ContainerKey{key.kind(), key.full_name()}, std::move(*content));
    }
    close();
    return documents;
}

PortResult<app::ports::ContainerDocuments> merge_container_documents(const app::ports::ContainerDocuments& source,
                                                                     const app::ports::ContainerDocuments& target,
                                                                     const domain::SelectedPermissions& permissions,
                                                                     domain::FlsMode fls_mode) {
    auto merged = deployment::fls_synchronizer::merge_container_documents(source, target, permissions, fls_mode);
    if (!merged) return std::unexpected(fls_to_failure(std::move(merged.error()), std::nullopt));
    return std::move(*merged);
}

}  // namespace ambrel::server::wiring
