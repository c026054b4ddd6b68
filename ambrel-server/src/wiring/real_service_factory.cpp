#include "wiring/real_service_factory.hpp"

#include <utility>

#include "app/application_service.hpp"
#include "main/stand_in_service.hpp"
#include "wiring/catalogue_ports.hpp"
#include "wiring/core_port_set.hpp"
#include "wiring/wiring_context.hpp"

namespace ambrel::server::wiring {
namespace {

// The core group: the catalogue ports bound for real; the ports whose adapters are not part of this
// build answer the stand-in failure.
std::shared_ptr<const app::ports::CorePorts> core_ports(const WiringContext& context) {
    const std::shared_ptr<const app::ports::CorePorts> stand_in = stand_in_core_ports();
    CorePortSet ports;
    ports.metadata_retrieval = [stand_in](const std::string& source, const std::string& target,
                                          const app::CompareSelection& selection,
                                          const std::set<std::string>& objects,
                                          const app::RetrieveContinuation* continuation,
                                          metadata::retrieve::RetrieveScope scope, const std::string& api_version,
                                          const domain::CancellationToken& token) {
        return stand_in->metadata_retrieval(source, target, selection, objects, continuation, scope, api_version,
                                            token);
    };
    ports.component_reading = [stand_in](metadata_types::MetadataType type, const std::filesystem::path& folder) {
        return stand_in->component_reading(type, folder);
    };
    ports.single_package_deployment =
        [stand_in](const std::vector<domain::ComponentDifference>& rows, const domain::SelectedPermissions& permissions,
                   domain::FlsMode fls_mode, const app::ports::ContainerSelection& containers,
                   domain::DeployMode deploy_mode, const std::optional<domain::ApexTestConfig>& tests,
                   const endpoint::DeployEndpoint& source, const std::string& target, const std::string& api_version,
                   const domain::CancellationToken& token) {
            return stand_in->single_package_deployment(rows, permissions, fls_mode, containers, deploy_mode, tests,
                                                       source, target, api_version, token);
        };
    ports.fls_synchronization = [stand_in](const endpoint::DeployEndpoint& source,
                                           const endpoint::DeployEndpoint& target,
                                           const domain::SelectedPermissions& permissions, domain::FlsMode fls_mode,
                                           const app::ports::ContainerSelection& containers,
                                           const domain::CancellationToken& token) {
        return stand_in->fls_synchronization(source, target, permissions, fls_mode, containers, token);
    };
    ports.container_matching = [stand_in](const endpoint::DeployEndpoint& source,
                                          const endpoint::DeployEndpoint& target,
                                          const domain::CancellationToken& token) {
        return stand_in->container_matching(source, target, token);
    };
    bind_catalogue_ports(ports, context);
    return core_ports_from(std::move(ports));
}

}  // namespace

dispatch::ServiceFactory real_service_factory(std::shared_ptr<cli::CliCommandCache> cache) {
    return real_service_factory(std::move(cache), FactoryEnvironment{});
}

dispatch::ServiceFactory real_service_factory(std::shared_ptr<cli::CliCommandCache> cache,
                                              FactoryEnvironment environment) {
    return [cache = std::move(cache), environment = std::move(environment)](
               const std::filesystem::path& workspace_root, std::shared_ptr<progress::ProgressSink> progress,
               std::shared_ptr<logging::LogSink> log) {
        auto memory = std::make_shared<const endpoint_memory::FileEndpointMemory>(environment.endpoint_memory());
        const std::string executable = environment.resolver().resolve();
        const WiringContext context =
            make_wiring_context(workspace_root, std::move(progress), std::move(log), cache, executable);

        auto service = app::QuillaryApplicationService::with_git_and_layouts(
            core_ports(context), stand_in_git_dependencies(), stand_in_target_layout_reading(),
            make_permission_set_name_listing(context), make_schema_ports(context), stand_in_bundle_dependencies());
        service = app::QuillaryApplicationService::with_tracking(std::move(service), stand_in_tracking_dependencies());
        service = app::QuillaryApplicationService::with_quick_deploy(std::move(service), make_quick_deploy_port(context));
        service = app::QuillaryApplicationService::with_login(std::move(service), make_login_port(context));
        service = app::QuillaryApplicationService::with_preparation(std::move(service),
                                                                    stand_in_preparation_dependencies());
        service = app::QuillaryApplicationService::with_procedure_versions(std::move(service),
                                                                           stand_in_procedure_version_dependencies());
        return dispatch::ServiceParts{std::make_shared<app::QuillaryApplicationService>(std::move(service)), cache,
                                      std::move(memory)};
    };
}

}  // namespace ambrel::server::wiring
