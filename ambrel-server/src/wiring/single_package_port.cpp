#include "wiring/single_package_port.hpp"

#include <unistd.h>

#include <fmt/format.h>

#include <atomic>
#include <cstdint>
#include <system_error>

#include "deployment/deploy_gateway/gateway.hpp"
#include "deployment/fls_catalog/fls_catalog.hpp"
#include "deployment/fls_synchronizer/synchronizer.hpp"
#include "deployment/permission_batch/batch_deployer.hpp"
#include "deployment/single_package/deployer.hpp"
#include "metadata/permission_retrieve/permission_retrieve_service.hpp"
#include "wiring/failure_mapping.hpp"
#include "wiring/fls_ports.hpp"

namespace ambrel::server::wiring {
namespace {

using app::WorkflowFailure;
using app::ports::PortResult;
using deployment::fls_synchronizer::FlsPreparation;
using deployment::fls_synchronizer::FlsSynchronizer;

// Shared by every call of the process: the number of the next package folder.
std::atomic<std::uint64_t> package_counter{0};

deployment::deploy_gateway::DeployOptions package_options(domain::DeployMode mode,
                                                          const std::optional<domain::ApexTestConfig>& tests) {
    deployment::deploy_gateway::DeployOptions options;
    if (tests) options.tests = tests->test_class_names;
    options.timeout = kPermissionDeployTimeout;
    options.check_only = mode == domain::DeployMode::ValidateOnly;
    options.ignore_errors = mode == domain::DeployMode::BestEffort;
    return options;
}

// Removes what an earlier process may have left at the folder's place; links are removed, never
// followed.
std::expected<void, std::error_code> clear_package_folder(const std::filesystem::path& folder) {
    std::error_code error;
    std::filesystem::remove_all(folder, error);
    if (error) return std::unexpected(error);
    std::error_code status_error;
    const auto status = std::filesystem::symlink_status(folder, status_error);
    if (status_error && status_error != std::errc::no_such_file_or_directory) return std::unexpected(status_error);
    if (std::filesystem::exists(status)) return std::unexpected(std::make_error_code(std::errc::file_exists));
    return {};
}

struct PreparationInputs {
    const WiringContext& context;
    const domain::SelectedPermissions& permissions;
    domain::FlsMode fls_mode;
    const app::ports::ContainerSelection& containers;
    const endpoint::DeployEndpoint& source;
    const std::string& target_alias;
    const std::string& api_version;
    const domain::CancellationToken& token;
};

PortResult<FlsPreparation> prepare_permissions(const PreparationInputs& in) {
    deployment::deploy_gateway::DeployOptions options;
    options.timeout = kPermissionDeployTimeout;
    deployment::deploy_gateway::SfCliMetadataDeployGateway deploy_gateway(options, in.context.sf);
    auto location = workspace_location(in.context.workspace_root);
    if (!location) return std::unexpected(WorkflowFailure::operation(location.error()));
    auto deployer = deployment::permission_batch::SfCliPermissionComponentBatchDeployer::with_api_version(
        deploy_gateway, *location, in.api_version);
    const deployment::fls_catalog::SfFlsContainerCatalog catalog(*in.context.sf, kContainerCatalogTimeout);
    const auto retrieve_service = metadata::permission_retrieve::PermissionMetadataRetrieveService::with_settings(
        *in.context.sf, *location, metadata::permission_retrieve::kDefaultPermissionTimeout, in.api_version);
    // A git source's documents are preset below, so its side runs under the target's name.
    std::string source_username = in.target_alias;
    if (!in.source.is_git()) {
        auto username = require_org_username(in.source);
        if (!username) return std::unexpected(std::move(username.error()));
        source_username = std::move(*username);
    }
    // Making the licence channel does no work, so it can be handed over at construction.
    const CliContainerLicenses licenses(in.target_alias, std::nullopt, *in.context.sf);
    const git::GitGateway bound_git = in.context.git->with_token(in.token);
    auto synchronizer =
        apply_git_source_documents(FlsSynchronizer(std::move(source_username), in.target_alias, catalog,
                                                   retrieve_service, deployer, &licenses),
                                   in.source, bound_git, in.context.git_snapshots.get());
    if (!synchronizer) return std::unexpected(std::move(synchronizer.error()));
    auto prepared = synchronizer->prepare(in.permissions, in.fls_mode, in.containers, in.token);
    if (!prepared) {
        return std::unexpected(fls_to_failure(std::move(prepared.error().error), std::move(prepared.error().workspace)));
    }
    return std::move(*prepared);
}

// Closes the preparation's retrieve workspace and removes the package folder when it goes, however
// the call ends (a thrown programming error included); a failure to do either is ignored.
class CallLeftovers {
public:
    CallLeftovers(std::filesystem::path package_folder, FlsPreparation& preparation)
        : package_folder_(std::move(package_folder)), preparation_(preparation) {}
    CallLeftovers(const CallLeftovers&) = delete;
    CallLeftovers& operator=(const CallLeftovers&) = delete;
    ~CallLeftovers() {
        if (preparation_.retrieved && preparation_.retrieved->workspace) {
            (void)preparation_.retrieved->workspace->close();
        }
        preparation_.retrieved.reset();
        std::error_code ignored;
        std::filesystem::remove_all(package_folder_, ignored);
    }

private:
    std::filesystem::path package_folder_;
    FlsPreparation& preparation_;
};

}  // namespace

PortFunction<&app::ports::CorePorts::single_package_deployment> build_deploy_single_package(
    const WiringContext& context) {
    return [context](const std::vector<domain::ComponentDifference>& rows, const domain::SelectedPermissions& permissions,
                     domain::FlsMode fls_mode, const app::ports::ContainerSelection& containers,
                     domain::DeployMode deploy_mode, const std::optional<domain::ApexTestConfig>& tests,
                     const endpoint::DeployEndpoint& source, const std::string& target_alias,
                     const std::string& api_version,
                     const domain::CancellationToken& token) -> PortResult<deployment::single_package::SinglePackageSummary> {
        context.progress->report(progress::ProgressStage::DeployingPackage);
        const std::filesystem::path package_folder =
            context.workspace_root / kPortTempFolder /
            fmt::format(fmt::runtime(kPackageFolderFormat), ::getpid(), package_counter.fetch_add(1));
        if (auto cleared = clear_package_folder(package_folder); !cleared) {
            return std::unexpected(WorkflowFailure::operation(cleared.error().message()));
        }

        FlsPreparation preparation;
        const CallLeftovers leftovers(package_folder, preparation);
        if (fls_mode != domain::FlsMode::None && !permissions.empty()) {
            auto prepared = prepare_permissions(PreparationInputs{context, permissions, fls_mode, containers, source,
                                                                  target_alias, api_version, token});
            if (!prepared) return std::unexpected(std::move(prepared.error()));
            preparation = std::move(*prepared);
        }

        deployment::deploy_gateway::SfCliMetadataDeployGateway gateway(package_options(deploy_mode, tests), context.sf);
        deployment::single_package::SinglePackageDeployer deployer(gateway);
        deployment::single_package::SinglePackageRun run{rows,
                                                         std::move(preparation.containers),
                                                         std::move(preparation.results),
                                                         package_folder / kPackageSourceFolder,
                                                         package_folder,
                                                         target_alias,
                                                         deploy_mode,
                                                         api_version};
        auto summary = deployer.run(run, token);
        if (!summary) return std::unexpected(WorkflowFailure::operation(summary.error()));
        return std::move(*summary);
    };
}

}  // namespace ambrel::server::wiring
