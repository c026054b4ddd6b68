#pragma once

// The stand-in services: a service factory that builds the application service with the optional
// port groups at their fixed-failure defaults and every other port answering a failure of kind
// Operation with kStandInMessage (the comparison and the diagnostic sanitizer, which cannot fail,
// answer nothing and the text unchanged), with the process's one command cache and the remembered
// endpoints of the per-user data directory; and the stand-in port groups one by one. The server's
// in-process tests run on the whole factory, so they never reach Salesforce or git.
//
// Thread-safety: the factory and the ports it builds hold no mutable state.

#include <memory>
#include <string_view>

#include "app/ports/bundle.hpp"
#include "app/ports/core_ports.hpp"
#include "app/ports/git_ports.hpp"
#include "app/ports/permission_set_name_listing.hpp"
#include "app/ports/preparation.hpp"
#include "app/ports/procedure_versions.hpp"
#include "app/ports/schema.hpp"
#include "app/ports/target_layout_reading.hpp"
#include "app/ports/tracking.hpp"
#include "cli/cache.hpp"
#include "dispatch/dispatcher.hpp"

namespace ambrel::server {

inline constexpr std::string_view kStandInMessage =
    "This build of the server is not connected to Salesforce or git yet.";

dispatch::ServiceFactory stand_in_service_factory(std::shared_ptr<cli::CliCommandCache> cache);

// The stand-in port groups one by one.
std::shared_ptr<const app::ports::CorePorts> stand_in_core_ports();
std::shared_ptr<const app::ports::GitDependencies> stand_in_git_dependencies();
std::shared_ptr<const app::ports::TargetLayoutReading> stand_in_target_layout_reading();
std::shared_ptr<const app::ports::PermissionSetNameListing> stand_in_permission_set_name_listing();
std::shared_ptr<const app::ports::SchemaDependencies> stand_in_schema_dependencies();
std::shared_ptr<const app::ports::BundleDependencies> stand_in_bundle_dependencies();
// Optional groups answering the stand-in failure rather than their "not available" defaults.
std::shared_ptr<const app::ports::TrackingDependencies> stand_in_tracking_dependencies();
std::shared_ptr<const app::ports::PreparationDependencies> stand_in_preparation_dependencies();
std::shared_ptr<const app::ports::ProcedureVersionDependencies> stand_in_procedure_version_dependencies();

}  // namespace ambrel::server
