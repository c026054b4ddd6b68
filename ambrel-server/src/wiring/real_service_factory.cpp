#include "wiring/real_service_factory.hpp"

#include <utility>

#include "app/application_service.hpp"
#include "main/stand_in_service.hpp"
#include "wiring/wiring_context.hpp"

namespace ambrel::server::wiring {

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
        (void)context;

        auto service = app::QuillaryApplicationService::with_git_and_layouts(
            stand_in_core_ports(), stand_in_git_dependencies(), stand_in_target_layout_reading(),
            stand_in_permission_set_name_listing(), stand_in_schema_dependencies(), stand_in_bundle_dependencies());
        service = app::QuillaryApplicationService::with_tracking(std::move(service), stand_in_tracking_dependencies());
        service = app::QuillaryApplicationService::with_preparation(std::move(service),
                                                                    stand_in_preparation_dependencies());
        service = app::QuillaryApplicationService::with_procedure_versions(std::move(service),
                                                                           stand_in_procedure_version_dependencies());
        return dispatch::ServiceParts{std::make_shared<app::QuillaryApplicationService>(std::move(service)), cache,
                                      std::move(memory)};
    };
}

}  // namespace ambrel::server::wiring
