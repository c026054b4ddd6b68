#include "wiring/core_port_set.hpp"

#include <string>
#include <string_view>
#include <utility>

#include "support/programming_error.hpp"

namespace ambrel::server::wiring {
namespace {

using namespace app::ports;
using domain::CancellationToken;

class CallableCorePorts final : public CorePorts {
public:
    explicit CallableCorePorts(CorePortSet ports) : ports_(std::move(ports)) {}

    PortResult<std::vector<endpoint::OrgAlias>> org_alias_listing(const CancellationToken& token) const override {
        return ports_.org_alias_listing(token);
    }
    PortResult<std::vector<cli::catalogs::SalesforceObject>> object_listing(const std::string& org,
                                                                            const std::string& detail,
                                                                            const CancellationToken& token) const override {
        return ports_.object_listing(org, detail, token);
    }
    PortResult<std::vector<cli::catalogs::SalesforceObject>> metadata_listing(const std::string& type_name,
                                                                              const std::string& org,
                                                                              const CancellationToken& token) const override {
        return ports_.metadata_listing(type_name, org, token);
    }
    PortResult<std::vector<cli::catalogs::SalesforceObject>> apex_class_listing(
        const std::string& org, const CancellationToken& token) const override {
        return ports_.apex_class_listing(org, token);
    }
    PortResult<DependencyDiscovery> dependency_discovery(const std::string& org,
                                                         const std::vector<domain::ComponentKey>& keys,
                                                         const CancellationToken& token) const override {
        return ports_.dependency_discovery(org, keys, token);
    }
    PortResult<app::RetrievedWorkspace> metadata_retrieval(const std::string& source_org, const std::string& target_org,
                                                           const app::CompareSelection& selection,
                                                           const std::set<std::string>& object_names,
                                                           const app::RetrieveContinuation* continuation,
                                                           metadata::retrieve::RetrieveScope scope,
                                                           const std::string& api_version,
                                                           const CancellationToken& token) const override {
        return ports_.metadata_retrieval(source_org, target_org, selection, object_names, continuation, scope,
                                         api_version, token);
    }
    PortResult<std::vector<domain::MetadataComponent>> component_reading(
        metadata_types::MetadataType type, const std::filesystem::path& folder) const override {
        return ports_.component_reading(type, folder);
    }
    std::vector<domain::ComponentDifference> component_comparison(const metadata_types::TypeDescriptor& descriptor,
                                                                   const std::vector<domain::MetadataComponent>& source,
                                                                   const std::vector<domain::MetadataComponent>& target,
                                                                   const std::set<std::string>& names) const override {
        return ports_.component_comparison(descriptor, source, target, names);
    }
    PortResult<deployment::single_package::SinglePackageSummary> single_package_deployment(
        const std::vector<domain::ComponentDifference>& rows, const domain::SelectedPermissions& permissions,
        domain::FlsMode fls_mode, const ContainerSelection& containers, domain::DeployMode deploy_mode,
        const std::optional<domain::ApexTestConfig>& tests, const endpoint::DeployEndpoint& source,
        const std::string& target_username, const std::string& api_version,
        const CancellationToken& token) const override {
        return ports_.single_package_deployment(rows, permissions, fls_mode, containers, deploy_mode, tests, source,
                                                target_username, api_version, token);
    }
    PortResult<cli::catalogs::OrganizationDescription> org_description(const std::string& org,
                                                                       const CancellationToken& token) const override {
        return ports_.org_description(org, token);
    }
    PortResult<std::vector<domain::FlsResult>> fls_synchronization(const endpoint::DeployEndpoint& source,
                                                                   const endpoint::DeployEndpoint& target,
                                                                   const domain::SelectedPermissions& permissions,
                                                                   domain::FlsMode fls_mode,
                                                                   const ContainerSelection& containers,
                                                                   const CancellationToken& token) const override {
        return ports_.fls_synchronization(source, target, permissions, fls_mode, containers, token);
    }
    PortResult<std::vector<domain::FlsContainerChoice>> container_matching(const endpoint::DeployEndpoint& source,
                                                                           const endpoint::DeployEndpoint& target,
                                                                           const CancellationToken& token) const override {
        return ports_.container_matching(source, target, token);
    }
    std::string diagnostic_sanitizer(const std::string& text) const override {
        return ports_.diagnostic_sanitizer(text);
    }

private:
    CorePortSet ports_;
};

template <class Function>
void require(const Function& port, std::string_view name) {
    if (!port) support::fail_precondition("The core port " + std::string(name) + " has no callable");
}

}  // namespace

std::shared_ptr<const CorePorts> core_ports_from(CorePortSet ports) {
    require(ports.org_alias_listing, "org_alias_listing");
    require(ports.object_listing, "object_listing");
    require(ports.metadata_listing, "metadata_listing");
    require(ports.apex_class_listing, "apex_class_listing");
    require(ports.dependency_discovery, "dependency_discovery");
    require(ports.metadata_retrieval, "metadata_retrieval");
    require(ports.component_reading, "component_reading");
    require(ports.component_comparison, "component_comparison");
    require(ports.single_package_deployment, "single_package_deployment");
    require(ports.org_description, "org_description");
    require(ports.fls_synchronization, "fls_synchronization");
    require(ports.container_matching, "container_matching");
    require(ports.diagnostic_sanitizer, "diagnostic_sanitizer");
    return std::make_shared<CallableCorePorts>(std::move(ports));
}

}  // namespace ambrel::server::wiring
