#include "wiring/real_service_factory.hpp"

#include <utility>

#include "app/application_service.hpp"
#include "wiring/bundle_ports.hpp"
#include "wiring/catalogue_ports.hpp"
#include "wiring/core_port_set.hpp"
#include "wiring/fls_ports.hpp"
#include "wiring/git_ports.hpp"
#include "wiring/preparation_ports.hpp"
#include "wiring/record_channels.hpp"
#include "wiring/retrieval_ports.hpp"
#include "wiring/single_package_port.hpp"
#include "wiring/wiring_context.hpp"

namespace ambrel::server::wiring {
namespace {

// The core group: every port bound to its adapter over the session's gateways.
std::shared_ptr<const app::ports::CorePorts> core_ports(const WiringContext& context) {
    CorePortSet ports;
    ports.metadata_retrieval = build_metadata_retrieval(context);
    ports.component_reading = build_component_reading();
    ports.single_package_deployment = build_deploy_single_package(context);
    ports.fls_synchronization = build_sync_fls(context);
    ports.container_matching = build_container_matching(context);
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
            core_ports(context), make_git_dependencies(context), make_target_layout_reading(context),
            make_permission_set_name_listing(context), make_schema_ports(context), make_bundle_ports(context));
        service = app::QuillaryApplicationService::with_tracking(std::move(service), make_tracking_dependencies(context));
        service = app::QuillaryApplicationService::with_quick_deploy(std::move(service), make_quick_deploy_port(context));
        service = app::QuillaryApplicationService::with_login(std::move(service), make_login_port(context));
        service = app::QuillaryApplicationService::with_preparation(std::move(service), make_preparation_ports(context));
        service = app::QuillaryApplicationService::with_procedure_versions(std::move(service),
                                                                           make_procedure_version_ports(context));
        return dispatch::ServiceParts{std::make_shared<app::QuillaryApplicationService>(std::move(service)), cache,
                                      std::move(memory)};
    };
}

}  // namespace ambrel::server::wiring
