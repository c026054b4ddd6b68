#pragma once

// The ports that ask an org through the catalogues of the `sf` gateway, and the two that need no org:
// the org listing (with the CLI check before it), object, metadata and Apex class listings,
// dependency discovery, the organization's description, permission set names, the schema listings,
// the user permission catalogue, the quick deploy of a validated job and the browser sign-in, plus the
// comparison of components and the diagnostic sanitizer. Each call builds its catalogue over the
// context's gateway, reports its progress stage (stage only; the object listing adds the caller's
// detail, the metadata listing its type name), runs one step and maps a failure with the failure
// mappings. Only the object, metadata and Apex class listings, dependency discovery and the quick
// deploy attach the org alias to their failures.
//
// Time-outs: 120 seconds for checks, listings, queries and describes; 600 for the browser sign-in;
// 1,860 for the quick deploy, which runs in the workspace root.
//
// Own failures: "The org username is empty, so its user permissions cannot be listed." (nothing runs)
// and "The org does not expose the PermissionSet entity." (kind Operation). A missing or broken CLI
// is the org listing's Prerequisite failure and the org list command is then not run. Dependency
// discovery answers a graph, or "Dependency auto-selection is disabled: {}" in place of one, or a
// cancellation. A blank alias given to a catalogue is the caller's fault: the catalogue throws
// support::ProgrammingError, which these ports let through to the executor that runs them.
//
// The ports keep nothing between calls and may run on any threads at once; each holds a copy of the
// context, so the gateway and sinks live as long as the ports.

#include <chrono>
#include <memory>
#include <string_view>

#include "app/ports/login.hpp"
#include "app/ports/permission_set_name_listing.hpp"
#include "app/ports/quick_deploy.hpp"
#include "app/ports/schema.hpp"
#include "wiring/core_port_set.hpp"
#include "wiring/wiring_context.hpp"

namespace ambrel::server::wiring {

inline constexpr std::chrono::seconds kCatalogueTimeout{120};
inline constexpr std::chrono::seconds kLoginTimeout{600};
inline constexpr std::chrono::seconds kQuickDeployTimeout{1860};

inline constexpr std::string_view kEmptyUsernameForPermissions =
    "The org username is empty, so its user permissions cannot be listed.";
inline constexpr std::string_view kNoPermissionSetEntity = "The org does not expose the PermissionSet entity.";
inline constexpr std::string_view kPermissionSetObject = "PermissionSet";

using CorePorts = app::ports::CorePorts;

PortFunction<&CorePorts::org_alias_listing> make_org_alias_listing(const WiringContext& context);
PortFunction<&CorePorts::object_listing> make_object_listing(const WiringContext& context);
PortFunction<&CorePorts::metadata_listing> make_metadata_listing(const WiringContext& context);
PortFunction<&CorePorts::apex_class_listing> make_apex_class_listing(const WiringContext& context);
PortFunction<&CorePorts::dependency_discovery> make_dependency_discovery(const WiringContext& context);
PortFunction<&CorePorts::component_comparison> make_component_comparison();
PortFunction<&CorePorts::org_description> make_org_description(const WiringContext& context);
PortFunction<&CorePorts::diagnostic_sanitizer> make_diagnostic_sanitizer(const WiringContext& context);

// Sets the eight core ports above in the set, leaving the others as they are.
void bind_catalogue_ports(CorePortSet& ports, const WiringContext& context);

std::shared_ptr<const app::ports::PermissionSetNameListing> make_permission_set_name_listing(
    const WiringContext& context);
std::shared_ptr<const app::ports::SchemaDependencies> make_schema_ports(const WiringContext& context);
std::shared_ptr<const app::ports::QuickDeployDependencies> make_quick_deploy_port(const WiringContext& context);
std::shared_ptr<const app::ports::LoginDependencies> make_login_port(const WiringContext& context);

}  // namespace ambrel::server::wiring
