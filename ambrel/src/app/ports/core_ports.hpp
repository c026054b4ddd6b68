#pragma once

// The thirteen core ports of the application service: listings, dependency discovery, retrieval,
// reading and comparing components, the single-package deploy, the org description, permission
// synchronisation, container matching and the diagnostic sanitizer. The service reaches the CLI and
// the disk only through these.
//
// Every operation may be called any number of times and from several threads at once; an
// implementation keeps what it needs (gateways, progress sink, session log) inside itself. Failures
// are WorkflowFailure values; the operations marked so cannot fail. Tokens are borrowed for one call.

#include <filesystem>
#include <set>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "app/compare_selection.hpp"
#include "app/ports/port_result.hpp"
#include "cli/catalogs/organization_catalog.hpp"
#include "cli/catalogs/salesforce_object.hpp"
#include "dependency/dependency_graph.hpp"
#include "deployment/single_package/summary.hpp"
#include "domain/cancellation.hpp"
#include "domain/component.hpp"
#include "domain/deployment.hpp"
#include "domain/difference.hpp"
#include "domain/fls.hpp"
#include "endpoint/deploy_endpoint.hpp"
#include "endpoint/org_alias.hpp"
#include "metadata/retrieve/scope.hpp"
#include "metadata_types/metadata_type.hpp"
#include "metadata_types/type_descriptor.hpp"

namespace ambrel::app::ports {

// Why dependency discovery did not run: "Dependency auto-selection is disabled: {}".
struct DiscoveryDisabled {
    std::string reason;
    bool operator==(const DiscoveryDisabled&) const = default;
};

// A graph, or the reason why discovery is disabled.
using DependencyDiscovery = std::variant<dependency::DependencyGraph, DiscoveryDisabled>;

class CorePorts {
public:
    virtual ~CorePorts() = default;

    // A missing or unusable CLI is a failure of kind Prerequisite.
    virtual PortResult<std::vector<endpoint::OrgAlias>> org_alias_listing(
        const domain::CancellationToken& token) const = 0;
    virtual PortResult<std::vector<cli::catalogs::SalesforceObject>> object_listing(
        const std::string& org, const std::string& progress_detail, const domain::CancellationToken& token) const = 0;
    virtual PortResult<std::vector<cli::catalogs::SalesforceObject>> metadata_listing(
        const std::string& listing_type_name, const std::string& org, const domain::CancellationToken& token) const = 0;
    virtual PortResult<std::vector<cli::catalogs::SalesforceObject>> apex_class_listing(
        const std::string& org, const domain::CancellationToken& token) const = 0;
    virtual PortResult<DependencyDiscovery> dependency_discovery(const std::string& org,
                                                                 const std::vector<domain::ComponentKey>& keys,
                                                                 const domain::CancellationToken& token) const = 0;
    // `continuation` is null for the first retrieve of a compare.
    virtual PortResult<RetrievedWorkspace> metadata_retrieval(
        const std::string& source_org, const std::string& target_org, const CompareSelection& selection,
        const std::set<std::string>& object_names, const RetrieveContinuation* continuation,
        metadata::retrieve::RetrieveScope scope, const std::string& api_version,
        const domain::CancellationToken& token) const = 0;
    virtual PortResult<std::vector<domain::MetadataComponent>> component_reading(
        metadata_types::MetadataType type, const std::filesystem::path& folder) const = 0;
    // Cannot fail.
    virtual std::vector<domain::ComponentDifference> component_comparison(
        const metadata_types::TypeDescriptor& descriptor, const std::vector<domain::MetadataComponent>& source,
        const std::vector<domain::MetadataComponent>& target, const std::set<std::string>& names) const = 0;
    virtual PortResult<deployment::single_package::SinglePackageSummary> single_package_deployment(
        const std::vector<domain::ComponentDifference>& rows, const domain::SelectedPermissions& permissions,
        domain::FlsMode fls_mode, const ContainerSelection& containers, domain::DeployMode deploy_mode,
        const std::optional<domain::ApexTestConfig>& tests, const endpoint::DeployEndpoint& source,
        const std::string& target_username, const std::string& api_version,
        const domain::CancellationToken& token) const = 0;
    virtual PortResult<cli::catalogs::OrganizationDescription> org_description(
        const std::string& org, const domain::CancellationToken& token) const = 0;
    virtual PortResult<std::vector<domain::FlsResult>> fls_synchronization(
        const endpoint::DeployEndpoint& source, const endpoint::DeployEndpoint& target,
        const domain::SelectedPermissions& permissions, domain::FlsMode fls_mode, const ContainerSelection& containers,
        const domain::CancellationToken& token) const = 0;
    virtual PortResult<std::vector<domain::FlsContainerChoice>> container_matching(
        const endpoint::DeployEndpoint& source, const endpoint::DeployEndpoint& target,
        const domain::CancellationToken& token) const = 0;
    // Secrets and noise removed; cannot fail.
    virtual std::string diagnostic_sanitizer(const std::string& text) const = 0;
};

}  // namespace ambrel::app::ports
