#include "server/stand_in_service.hpp"

#include "app/application_service.hpp"
#include "endpoint_memory/endpoint_memory.hpp"

namespace ambrel::server {
namespace {

using namespace app::ports;
using app::WorkflowFailure;
using domain::CancellationToken;

std::unexpected<WorkflowFailure> stand_in() { return std::unexpected(WorkflowFailure::operation(kStandInMessage)); }

class StandInCore final : public CorePorts {
public:
    PortResult<std::vector<endpoint::OrgAlias>> org_alias_listing(const CancellationToken&) const override {
        return stand_in();
    }
    PortResult<std::vector<cli::catalogs::SalesforceObject>> object_listing(const std::string&, const std::string&,
                                                                            const CancellationToken&) const override {
        return stand_in();
    }
    PortResult<std::vector<cli::catalogs::SalesforceObject>> metadata_listing(const std::string&, const std::string&,
                                                                              const CancellationToken&) const override {
        return stand_in();
    }
    PortResult<std::vector<cli::catalogs::SalesforceObject>> apex_class_listing(const std::string&,
                                                                                const CancellationToken&) const override {
        return stand_in();
    }
    PortResult<DependencyDiscovery> dependency_discovery(const std::string&, const std::vector<domain::ComponentKey>&,
                                                         const CancellationToken&) const override {
        return stand_in();
    }
    PortResult<app::RetrievedWorkspace> metadata_retrieval(const std::string&, const std::string&,
                                                           const app::CompareSelection&, const std::set<std::string>&,
                                                           const app::RetrieveContinuation*,
                                                           metadata::retrieve::RetrieveScope, const std::string&,
                                                           const CancellationToken&) const override {
        return stand_in();
    }
    PortResult<std::vector<domain::MetadataComponent>> component_reading(metadata_types::MetadataType,
                                                                         const std::filesystem::path&) const override {
        return stand_in();
    }
    std::vector<domain::ComponentDifference> component_comparison(const metadata_types::TypeDescriptor&,
                                                                   const std::vector<domain::MetadataComponent>&,
                                                                   const std::vector<domain::MetadataComponent>&,
                                                                   const std::set<std::string>&) const override {
        return {};
    }
    PortResult<deployment::single_package::SinglePackageSummary> single_package_deployment(
        const std::vector<domain::ComponentDifference>&, const domain::SelectedPermissions&, domain::FlsMode,
        const ContainerSelection&, domain::DeployMode, const std::optional<domain::ApexTestConfig>&,
        const endpoint::DeployEndpoint&, const std::string&, const std::string&,
        const CancellationToken&) const override {
        return stand_in();
    }
    PortResult<cli::catalogs::OrganizationDescription> org_description(const std::string&,
                                                                       const CancellationToken&) const override {
        return stand_in();
    }
    PortResult<std::vector<domain::FlsResult>> fls_synchronization(const endpoint::DeployEndpoint&,
                                                                   const endpoint::DeployEndpoint&,
                                                                   const domain::SelectedPermissions&, domain::FlsMode,
                                                                   const ContainerSelection&,
                                                                   const CancellationToken&) const override {
        return stand_in();
    }
    PortResult<std::vector<domain::FlsContainerChoice>> container_matching(const endpoint::DeployEndpoint&,
                                                                           const endpoint::DeployEndpoint&,
                                                                           const CancellationToken&) const override {
        return stand_in();
    }
    std::string diagnostic_sanitizer(const std::string& text) const override { return text; }
};

class StandInGit final : public GitDependencies {
public:
    PortResult<std::vector<cli::catalogs::SalesforceObject>> git_component_listing(
        const endpoint::DeployEndpoint&, metadata_types::MetadataType, const CancellationToken&) const override {
        return stand_in();
    }
    PortResult<app::ports::GitMaterialization> git_materialization(const endpoint::DeployEndpoint&,
                                                                   const app::CompareSelection&,
                                                                   const std::filesystem::path&, bool,
                                                                   const CancellationToken&) const override {
        return stand_in();
    }
    PortResult<std::shared_ptr<metadata::workspace::MetadataWorkspace>> workspace_creation() const override {
        return stand_in();
    }
    PortResult<deployment::git_deploy::GitDeploySummary> git_commit(const endpoint::DeployEndpoint&,
                                                                    const std::vector<domain::ComponentDifference>&,
                                                                    const ContainerDocuments&, const std::string&,
                                                                    const CancellationToken&) const override {
        return stand_in();
    }
    PortResult<git::GitRepoInspection> repo_inspection(const std::filesystem::path&) const override {
        return stand_in();
    }
    bool repo_init_check(const std::filesystem::path&) const override { return false; }
    PortResult<git::GitRepoInspection> repo_initialization(const std::filesystem::path&) const override {
        return stand_in();
    }
    PortResult<std::vector<FlsContainerFile>> git_container_listing(const endpoint::DeployEndpoint&,
                                                                    const CancellationToken&) const override {
        return stand_in();
    }
    PortResult<ContainerDocuments> git_container_reading(const endpoint::DeployEndpoint&,
                                                         const std::vector<ContainerKey>&,
                                                         const CancellationToken&) const override {
        return stand_in();
    }
    PortResult<ContainerDocuments> container_document_merge(const ContainerDocuments&, const ContainerDocuments&,
                                                            const domain::SelectedPermissions&,
                                                            domain::FlsMode) const override {
        return stand_in();
    }
    PortResult<ContainerDocuments> container_document_reading(const endpoint::DeployEndpoint&,
                                                              const std::vector<domain::FlsContainer>&,
                                                              const std::set<domain::PermissionSubject>&,
                                                              const CancellationToken&) const override {
        return stand_in();
    }
    PortResult<GitTargetCheck> git_target_validation(const endpoint::DeployEndpoint&) const override {
        return stand_in();
    }
};

class StandInLayouts final : public TargetLayoutReading {
public:
    PortResult<std::map<std::string, std::string>> target_layout_reading(const endpoint::DeployEndpoint&,
                                                                         const std::set<std::string>&,
                                                                         const std::string&,
                                                                         const CancellationToken&) const override {
        return stand_in();
    }
};

class StandInPermissionSets final : public PermissionSetNameListing {
public:
    PortResult<std::set<std::string>> permission_set_name_listing(const std::string&,
                                                                  const CancellationToken&) const override {
        return stand_in();
    }
};

class StandInSchema final : public SchemaDependencies {
public:
    PortResult<cli::SchemaListing> object_field_listing(const std::string&, const std::set<std::string>&,
                                                        const CancellationToken&) const override {
        return stand_in();
    }
    PortResult<metadata::user_permission_filter::UserPermissionCatalog> user_permission_listing(
        const std::string&, const CancellationToken&) const override {
        return stand_in();
    }
    PortResult<cli::ExternalKeyListing> external_key_field_listing(const std::string&, const std::set<std::string>&,
                                                                   const CancellationToken&) const override {
        return stand_in();
    }
};

class StandInBundles final : public BundleDependencies {
public:
    PortResult<std::vector<cli::catalogs::SalesforceObject>> product_bundle_listing(
        const std::string&, const CancellationToken&) const override {
        return stand_in();
    }
    PortResult<std::vector<cli::catalogs::SalesforceObject>> constraint_model_listing(
        const std::string&, const CancellationToken&) const override {
        return stand_in();
    }
    PortResult<app::RecordSynthesis> bundle_document_synthesis(const RecordSynthesisRequest&,
                                                               const CancellationToken&) const override {
        return stand_in();
    }
    PortResult<std::vector<deployment::RecordRowOutcome>> product_bundle_transfer(
        const RecordDeployRequest&, const CancellationToken&) const override {
        return stand_in();
    }
    PortResult<std::map<std::string, std::set<std::string>>> tagging_model_listing(
        const std::string&, const std::set<std::string>&, const CancellationToken&) const override {
        return stand_in();
    }
    PortResult<std::vector<deployment::ModelRowOutcome>> constraint_model_transfer(
        const deployment::ModelDeployRequest&, const CancellationToken&) const override {
        return stand_in();
    }
    PortResult<data::bundles::transfer::HealthReport> target_health_planning(const RecordDeployRequest&,
                                                                             const CancellationToken&) const override {
        return stand_in();
    }
    PortResult<data::bundles::transfer::FixOutcome> target_record_deletion(const TargetFixRequest&,
                                                                           const CancellationToken&) const override {
        return stand_in();
    }
};

class StandInTracking final : public TrackingDependencies {
public:
    PortResult<std::map<std::string, std::string>> target_field_reading(const endpoint::DeployEndpoint&,
                                                                        const std::set<std::string>&,
                                                                        const std::string&,
                                                                        const CancellationToken&) const override {
        return stand_in();
    }
};

class StandInPreparation final : public PreparationDependencies {
public:
    PortResult<data::preparation::OrgPreparationReport> preparation_inspection(const std::string&, const std::string&,
                                                                               const CancellationToken&) const override {
        return stand_in();
    }
    PortResult<data::preparation::OrgPreparationReport> preparation_application(
        const std::string&, const std::string&, const CancellationToken&) const override {
        return stand_in();
    }
};

class StandInProcedureVersions final : public ProcedureVersionDependencies {
public:
    PortResult<std::vector<ExpressionSetVersionRecord>> expression_set_version_listing(
        const std::string&, const std::string&, const CancellationToken&) const override {
        return stand_in();
    }
    PortResult<void> expression_set_version_activation(const std::string&, const std::string&, const std::string&,
                                                       bool, const CancellationToken&) const override {
        return stand_in();
    }
};

}  // namespace

std::shared_ptr<const TrackingDependencies> stand_in_tracking_dependencies() {
    return std::make_shared<StandInTracking>();
}
std::shared_ptr<const PreparationDependencies> stand_in_preparation_dependencies() {
    return std::make_shared<StandInPreparation>();
}
std::shared_ptr<const ProcedureVersionDependencies> stand_in_procedure_version_dependencies() {
    return std::make_shared<StandInProcedureVersions>();
}

std::shared_ptr<const CorePorts> stand_in_core_ports() { return std::make_shared<StandInCore>(); }
std::shared_ptr<const GitDependencies> stand_in_git_dependencies() { return std::make_shared<StandInGit>(); }
std::shared_ptr<const TargetLayoutReading> stand_in_target_layout_reading() {
    return std::make_shared<StandInLayouts>();
}
std::shared_ptr<const PermissionSetNameListing> stand_in_permission_set_name_listing() {
    return std::make_shared<StandInPermissionSets>();
}
std::shared_ptr<const SchemaDependencies> stand_in_schema_dependencies() { return std::make_shared<StandInSchema>(); }
std::shared_ptr<const BundleDependencies> stand_in_bundle_dependencies() { return std::make_shared<StandInBundles>(); }

dispatch::ServiceFactory stand_in_service_factory(std::shared_ptr<cli::CliCommandCache> cache) {
    return [cache = std::move(cache)](const std::filesystem::path&, std::shared_ptr<progress::ProgressSink>,
                                      std::shared_ptr<logging::LogSink>) {
        auto service = app::QuillaryApplicationService::with_git_and_layouts(
            stand_in_core_ports(), stand_in_git_dependencies(), stand_in_target_layout_reading(),
            stand_in_permission_set_name_listing(), stand_in_schema_dependencies(), stand_in_bundle_dependencies());
        return dispatch::ServiceParts{
            std::make_shared<app::QuillaryApplicationService>(std::move(service)), cache,
            std::make_shared<endpoint_memory::FileEndpointMemory>(endpoint_memory::FileEndpointMemory::discover())};
    };
}

}  // namespace ambrel::server
