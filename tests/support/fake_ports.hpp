#pragma once

// One recording fake per port group of the application service. Each operation forwards to a public
// Recorded member of the same name in `script`, which records the call and answers from what the test
// queued (see recorded_call.hpp). Share a fake with std::make_shared and hand it to the service; keep
// the pointer to script answers and read the calls.

#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "app/ports/bundle.hpp"
#include "app/ports/core_ports.hpp"
#include "app/ports/git_ports.hpp"
#include "app/ports/login.hpp"
#include "app/ports/permission_set_name_listing.hpp"
#include "app/ports/preparation.hpp"
#include "app/ports/procedure_versions.hpp"
#include "app/ports/quick_deploy.hpp"
#include "app/ports/schema.hpp"
#include "app/ports/target_layout_reading.hpp"
#include "app/ports/tracking.hpp"
#include "recorded_call.hpp"

namespace ambrel::testing {

namespace fake_ports_detail {
namespace p = app::ports;
using Token = const domain::CancellationToken&;
using Text = const std::string&;
using Objects = std::vector<cli::catalogs::SalesforceObject>;
using Endpoint = const endpoint::DeployEndpoint&;
using Path = const std::filesystem::path&;
using Names = const std::set<std::string>&;
using DocumentsByName = std::map<std::string, std::string>;
}  // namespace fake_ports_detail

class RecordingCorePorts final : public app::ports::CorePorts {
public:
    struct Script {
        Recorded<fake_ports_detail::p::PortResult<std::vector<endpoint::OrgAlias>>(fake_ports_detail::Token)>
            org_alias_listing{"org_alias_listing"};
        Recorded<fake_ports_detail::p::PortResult<fake_ports_detail::Objects>(
            fake_ports_detail::Text, fake_ports_detail::Text, fake_ports_detail::Token)>
            object_listing{"object_listing"};
        Recorded<fake_ports_detail::p::PortResult<fake_ports_detail::Objects>(
            fake_ports_detail::Text, fake_ports_detail::Text, fake_ports_detail::Token)>
            metadata_listing{"metadata_listing"};
        Recorded<fake_ports_detail::p::PortResult<fake_ports_detail::Objects>(fake_ports_detail::Text,
                                                                              fake_ports_detail::Token)>
            apex_class_listing{"apex_class_listing"};
        Recorded<fake_ports_detail::p::PortResult<app::ports::DependencyDiscovery>(
            fake_ports_detail::Text, const std::vector<domain::ComponentKey>&, fake_ports_detail::Token)>
            dependency_discovery{"dependency_discovery"};
        Recorded<fake_ports_detail::p::PortResult<app::RetrievedWorkspace>(
            fake_ports_detail::Text, fake_ports_detail::Text, const app::CompareSelection&, fake_ports_detail::Names,
            const app::RetrieveContinuation*, metadata::retrieve::RetrieveScope, fake_ports_detail::Text,
            fake_ports_detail::Token)>
            metadata_retrieval{"metadata_retrieval"};
        Recorded<fake_ports_detail::p::PortResult<std::vector<domain::MetadataComponent>>(metadata_types::MetadataType,
                                                                                          fake_ports_detail::Path)>
            component_reading{"component_reading"};
        Recorded<std::vector<domain::ComponentDifference>(
            const metadata_types::TypeDescriptor&, const std::vector<domain::MetadataComponent>&,
            const std::vector<domain::MetadataComponent>&, fake_ports_detail::Names)>
            component_comparison{"component_comparison"};
        Recorded<fake_ports_detail::p::PortResult<deployment::single_package::SinglePackageSummary>(
            const std::vector<domain::ComponentDifference>&, const domain::SelectedPermissions&, domain::FlsMode,
            const app::ports::ContainerSelection&, domain::DeployMode, const std::optional<domain::ApexTestConfig>&,
            fake_ports_detail::Endpoint, fake_ports_detail::Text, fake_ports_detail::Text, fake_ports_detail::Token)>
            single_package_deployment{"single_package_deployment"};
        Recorded<fake_ports_detail::p::PortResult<cli::catalogs::OrganizationDescription>(fake_ports_detail::Text,
                                                                                          fake_ports_detail::Token)>
            org_description{"org_description"};
        Recorded<fake_ports_detail::p::PortResult<std::vector<domain::FlsResult>>(
            fake_ports_detail::Endpoint, fake_ports_detail::Endpoint, const domain::SelectedPermissions&,
            domain::FlsMode, const app::ports::ContainerSelection&, fake_ports_detail::Token)>
            fls_synchronization{"fls_synchronization"};
        Recorded<fake_ports_detail::p::PortResult<std::vector<domain::FlsContainerChoice>>(
            fake_ports_detail::Endpoint, fake_ports_detail::Endpoint, fake_ports_detail::Token)>
            container_matching{"container_matching"};
        Recorded<std::string(fake_ports_detail::Text)> diagnostic_sanitizer{"diagnostic_sanitizer"};
    };
    mutable Script script;

    app::ports::PortResult<std::vector<endpoint::OrgAlias>> org_alias_listing(
        const domain::CancellationToken& token) const override {
        return script.org_alias_listing(token);
    }
    app::ports::PortResult<fake_ports_detail::Objects> object_listing(const std::string& org,
                                                                      const std::string& detail,
                                                                      const domain::CancellationToken& token) const override {
        return script.object_listing(org, detail, token);
    }
    app::ports::PortResult<fake_ports_detail::Objects> metadata_listing(const std::string& type_name,
                                                                        const std::string& org,
                                                                        const domain::CancellationToken& token) const override {
        return script.metadata_listing(type_name, org, token);
    }
    app::ports::PortResult<fake_ports_detail::Objects> apex_class_listing(
        const std::string& org, const domain::CancellationToken& token) const override {
        return script.apex_class_listing(org, token);
    }
    app::ports::PortResult<app::ports::DependencyDiscovery> dependency_discovery(
        const std::string& org, const std::vector<domain::ComponentKey>& keys,
        const domain::CancellationToken& token) const override {
        return script.dependency_discovery(org, keys, token);
    }
    app::ports::PortResult<app::RetrievedWorkspace> metadata_retrieval(
        const std::string& source_org, const std::string& target_org, const app::CompareSelection& selection,
        const std::set<std::string>& object_names, const app::RetrieveContinuation* continuation,
        metadata::retrieve::RetrieveScope scope, const std::string& api_version,
        const domain::CancellationToken& token) const override {
        return script.metadata_retrieval(source_org, target_org, selection, object_names, continuation, scope,
                                         api_version, token);
    }
    app::ports::PortResult<std::vector<domain::MetadataComponent>> component_reading(
        metadata_types::MetadataType type, const std::filesystem::path& folder) const override {
        return script.component_reading(type, folder);
    }
    std::vector<domain::ComponentDifference> component_comparison(
        const metadata_types::TypeDescriptor& descriptor, const std::vector<domain::MetadataComponent>& source,
        const std::vector<domain::MetadataComponent>& target, const std::set<std::string>& names) const override {
        return script.component_comparison(descriptor, source, target, names);
    }
    app::ports::PortResult<deployment::single_package::SinglePackageSummary> single_package_deployment(
        const std::vector<domain::ComponentDifference>& rows, const domain::SelectedPermissions& permissions,
        domain::FlsMode fls_mode, const app::ports::ContainerSelection& containers, domain::DeployMode deploy_mode,
        const std::optional<domain::ApexTestConfig>& tests, const endpoint::DeployEndpoint& source,
        const std::string& target_username, const std::string& api_version,
        const domain::CancellationToken& token) const override {
        return script.single_package_deployment(rows, permissions, fls_mode, containers, deploy_mode, tests, source,
                                                target_username, api_version, token);
    }
    app::ports::PortResult<cli::catalogs::OrganizationDescription> org_description(
        const std::string& org, const domain::CancellationToken& token) const override {
        return script.org_description(org, token);
    }
    app::ports::PortResult<std::vector<domain::FlsResult>> fls_synchronization(
        const endpoint::DeployEndpoint& source, const endpoint::DeployEndpoint& target,
        const domain::SelectedPermissions& permissions, domain::FlsMode fls_mode,
        const app::ports::ContainerSelection& containers, const domain::CancellationToken& token) const override {
        return script.fls_synchronization(source, target, permissions, fls_mode, containers, token);
    }
    app::ports::PortResult<std::vector<domain::FlsContainerChoice>> container_matching(
        const endpoint::DeployEndpoint& source, const endpoint::DeployEndpoint& target,
        const domain::CancellationToken& token) const override {
        return script.container_matching(source, target, token);
    }
    std::string diagnostic_sanitizer(const std::string& text) const override { return script.diagnostic_sanitizer(text); }
};

class RecordingGitDependencies final : public app::ports::GitDependencies {
public:
    struct Script {
        Recorded<fake_ports_detail::p::PortResult<fake_ports_detail::Objects>(
            fake_ports_detail::Endpoint, metadata_types::MetadataType, fake_ports_detail::Token)>
            git_component_listing{"git_component_listing"};
        Recorded<fake_ports_detail::p::PortResult<app::ports::GitMaterialization>(
            fake_ports_detail::Endpoint, const app::CompareSelection&, fake_ports_detail::Path, bool,
            fake_ports_detail::Token)>
            git_materialization{"git_materialization"};
        Recorded<fake_ports_detail::p::PortResult<std::shared_ptr<metadata::workspace::MetadataWorkspace>>()>
            workspace_creation{"workspace_creation"};
        Recorded<fake_ports_detail::p::PortResult<deployment::git_deploy::GitDeploySummary>(
            fake_ports_detail::Endpoint, const std::vector<domain::ComponentDifference>&,
            const app::ports::ContainerDocuments&, fake_ports_detail::Text, fake_ports_detail::Token)>
            git_commit{"git_commit"};
        Recorded<fake_ports_detail::p::PortResult<git::GitRepoInspection>(fake_ports_detail::Path)> repo_inspection{
            "repo_inspection"};
        Recorded<bool(fake_ports_detail::Path)> repo_init_check{"repo_init_check"};
        Recorded<fake_ports_detail::p::PortResult<git::GitRepoInspection>(fake_ports_detail::Path)> repo_initialization{
            "repo_initialization"};
        Recorded<fake_ports_detail::p::PortResult<std::vector<app::ports::FlsContainerFile>>(
            fake_ports_detail::Endpoint, fake_ports_detail::Token)>
            git_container_listing{"git_container_listing"};
        Recorded<fake_ports_detail::p::PortResult<app::ports::ContainerDocuments>(
            fake_ports_detail::Endpoint, const std::vector<app::ports::ContainerKey>&, fake_ports_detail::Token)>
            git_container_reading{"git_container_reading"};
        Recorded<fake_ports_detail::p::PortResult<app::ports::ContainerDocuments>(
            const app::ports::ContainerDocuments&, const app::ports::ContainerDocuments&,
            const domain::SelectedPermissions&, domain::FlsMode)>
            container_document_merge{"container_document_merge"};
        Recorded<fake_ports_detail::p::PortResult<app::ports::ContainerDocuments>(
            fake_ports_detail::Endpoint, const std::vector<domain::FlsContainer>&,
            const std::set<domain::PermissionSubject>&, fake_ports_detail::Token)>
            container_document_reading{"container_document_reading"};
        Recorded<fake_ports_detail::p::PortResult<app::ports::GitTargetCheck>(fake_ports_detail::Endpoint)>
            git_target_validation{"git_target_validation"};
    };
    mutable Script script;

    app::ports::PortResult<fake_ports_detail::Objects> git_component_listing(
        const endpoint::DeployEndpoint& endpoint, metadata_types::MetadataType type,
        const domain::CancellationToken& token) const override {
        return script.git_component_listing(endpoint, type, token);
    }
    app::ports::PortResult<app::ports::GitMaterialization> git_materialization(const endpoint::DeployEndpoint& endpoint,
                                                     const app::CompareSelection& selection,
                                                     const std::filesystem::path& destination, bool source_side,
                                                     const domain::CancellationToken& token) const override {
        return script.git_materialization(endpoint, selection, destination, source_side, token);
    }
    app::ports::PortResult<std::shared_ptr<metadata::workspace::MetadataWorkspace>> workspace_creation() const override {
        return script.workspace_creation();
    }
    app::ports::PortResult<deployment::git_deploy::GitDeploySummary> git_commit(
        const endpoint::DeployEndpoint& target, const std::vector<domain::ComponentDifference>& rows,
        const app::ports::ContainerDocuments& documents, const std::string& source_label,
        const domain::CancellationToken& token) const override {
        return script.git_commit(target, rows, documents, source_label, token);
    }
    app::ports::PortResult<git::GitRepoInspection> repo_inspection(const std::filesystem::path& folder) const override {
        return script.repo_inspection(folder);
    }
    bool repo_init_check(const std::filesystem::path& folder) const override { return script.repo_init_check(folder); }
    app::ports::PortResult<git::GitRepoInspection> repo_initialization(const std::filesystem::path& folder) const override {
        return script.repo_initialization(folder);
    }
    app::ports::PortResult<std::vector<app::ports::FlsContainerFile>> git_container_listing(
        const endpoint::DeployEndpoint& endpoint, const domain::CancellationToken& token) const override {
        return script.git_container_listing(endpoint, token);
    }
    app::ports::PortResult<app::ports::ContainerDocuments> git_container_reading(
        const endpoint::DeployEndpoint& endpoint, const std::vector<app::ports::ContainerKey>& containers,
        const domain::CancellationToken& token) const override {
        return script.git_container_reading(endpoint, containers, token);
    }
    app::ports::PortResult<app::ports::ContainerDocuments> container_document_merge(
        const app::ports::ContainerDocuments& source, const app::ports::ContainerDocuments& target,
        const domain::SelectedPermissions& permissions, domain::FlsMode fls_mode) const override {
        return script.container_document_merge(source, target, permissions, fls_mode);
    }
    app::ports::PortResult<app::ports::ContainerDocuments> container_document_reading(
        const endpoint::DeployEndpoint& endpoint, const std::vector<domain::FlsContainer>& containers,
        const std::set<domain::PermissionSubject>& subjects, const domain::CancellationToken& token) const override {
        return script.container_document_reading(endpoint, containers, subjects, token);
    }
    app::ports::PortResult<app::ports::GitTargetCheck> git_target_validation(
        const endpoint::DeployEndpoint& endpoint) const override {
        return script.git_target_validation(endpoint);
    }
};

class RecordingTargetLayoutReading final : public app::ports::TargetLayoutReading {
public:
    struct Script {
        Recorded<fake_ports_detail::p::PortResult<fake_ports_detail::DocumentsByName>(
            fake_ports_detail::Endpoint, fake_ports_detail::Names, fake_ports_detail::Text, fake_ports_detail::Token)>
            target_layout_reading{"target_layout_reading"};
    };
    mutable Script script;

    app::ports::PortResult<fake_ports_detail::DocumentsByName> target_layout_reading(
        const endpoint::DeployEndpoint& target, const std::set<std::string>& names, const std::string& api_version,
        const domain::CancellationToken& token) const override {
        return script.target_layout_reading(target, names, api_version, token);
    }
};

class RecordingTrackingDependencies final : public app::ports::TrackingDependencies {
public:
    struct Script {
        Recorded<fake_ports_detail::p::PortResult<fake_ports_detail::DocumentsByName>(
            fake_ports_detail::Endpoint, fake_ports_detail::Names, fake_ports_detail::Text, fake_ports_detail::Token)>
            target_field_reading{"target_field_reading"};
    };
    mutable Script script;

    app::ports::PortResult<fake_ports_detail::DocumentsByName> target_field_reading(
        const endpoint::DeployEndpoint& target, const std::set<std::string>& names, const std::string& api_version,
        const domain::CancellationToken& token) const override {
        return script.target_field_reading(target, names, api_version, token);
    }
};

class RecordingQuickDeployDependencies final : public app::ports::QuickDeployDependencies {
public:
    struct Script {
        Recorded<fake_ports_detail::p::PortResult<app::ports::QuickDeployAnswer>(
            fake_ports_detail::Text, fake_ports_detail::Text, fake_ports_detail::Token)>
            quick_deployment{"quick_deployment"};
    };
    mutable Script script;

    app::ports::PortResult<app::ports::QuickDeployAnswer> quick_deployment(
        const std::string& job_id, const std::string& target_org, const domain::CancellationToken& token) const override {
        return script.quick_deployment(job_id, target_org, token);
    }
};

class RecordingLoginDependencies final : public app::ports::LoginDependencies {
public:
    struct Script {
        Recorded<fake_ports_detail::p::PortResult<cli::CreatedOrgAlias>(
            fake_ports_detail::Text, fake_ports_detail::Text, const std::vector<endpoint::OrgAlias>&,
            fake_ports_detail::Token)>
            alias_login{"alias_login"};
    };
    mutable Script script;

    app::ports::PortResult<cli::CreatedOrgAlias> alias_login(const std::string& alias, const std::string& instance_url,
                                                             const std::vector<endpoint::OrgAlias>& known,
                                                             const domain::CancellationToken& token) const override {
        return script.alias_login(alias, instance_url, known, token);
    }
};

class RecordingPreparationDependencies final : public app::ports::PreparationDependencies {
public:
    struct Script {
        Recorded<fake_ports_detail::p::PortResult<data::preparation::OrgPreparationReport>(
            fake_ports_detail::Text, fake_ports_detail::Text, fake_ports_detail::Token)>
            preparation_inspection{"preparation_inspection"};
        Recorded<fake_ports_detail::p::PortResult<data::preparation::OrgPreparationReport>(
            fake_ports_detail::Text, fake_ports_detail::Text, fake_ports_detail::Token)>
            preparation_application{"preparation_application"};
    };
    mutable Script script;

    app::ports::PortResult<data::preparation::OrgPreparationReport> preparation_inspection(
        const std::string& source, const std::string& target, const domain::CancellationToken& token) const override {
        return script.preparation_inspection(source, target, token);
    }
    app::ports::PortResult<data::preparation::OrgPreparationReport> preparation_application(
        const std::string& source, const std::string& target, const domain::CancellationToken& token) const override {
        return script.preparation_application(source, target, token);
    }
};

class RecordingPermissionSetNameListing final : public app::ports::PermissionSetNameListing {
public:
    struct Script {
        Recorded<fake_ports_detail::p::PortResult<std::set<std::string>>(fake_ports_detail::Text,
                                                                          fake_ports_detail::Token)>
            permission_set_name_listing{"permission_set_name_listing"};
    };
    mutable Script script;

    app::ports::PortResult<std::set<std::string>> permission_set_name_listing(
        const std::string& org, const domain::CancellationToken& token) const override {
        return script.permission_set_name_listing(org, token);
    }
};

class RecordingSchemaDependencies final : public app::ports::SchemaDependencies {
public:
    struct Script {
        Recorded<fake_ports_detail::p::PortResult<cli::SchemaListing>(fake_ports_detail::Text,
                                                                      fake_ports_detail::Names,
                                                                      fake_ports_detail::Token)>
            object_field_listing{"object_field_listing"};
        Recorded<fake_ports_detail::p::PortResult<metadata::user_permission_filter::UserPermissionCatalog>(
            fake_ports_detail::Text, fake_ports_detail::Token)>
            user_permission_listing{"user_permission_listing"};
        Recorded<fake_ports_detail::p::PortResult<cli::ExternalKeyListing>(
            fake_ports_detail::Text, fake_ports_detail::Names, fake_ports_detail::Token)>
            external_key_field_listing{"external_key_field_listing"};
    };
    mutable Script script;

    app::ports::PortResult<cli::SchemaListing> object_field_listing(const std::string& org,
                                                                    const std::set<std::string>& objects,
                                                                    const domain::CancellationToken& token) const override {
        return script.object_field_listing(org, objects, token);
    }
    app::ports::PortResult<metadata::user_permission_filter::UserPermissionCatalog> user_permission_listing(
        const std::string& org, const domain::CancellationToken& token) const override {
        return script.user_permission_listing(org, token);
    }
    app::ports::PortResult<cli::ExternalKeyListing> external_key_field_listing(
        const std::string& org, const std::set<std::string>& objects,
        const domain::CancellationToken& token) const override {
        return script.external_key_field_listing(org, objects, token);
    }
};

class RecordingBundleDependencies final : public app::ports::BundleDependencies {
public:
    struct Script {
        Recorded<fake_ports_detail::p::PortResult<fake_ports_detail::Objects>(fake_ports_detail::Text,
                                                                              fake_ports_detail::Token)>
            product_bundle_listing{"product_bundle_listing"};
        Recorded<fake_ports_detail::p::PortResult<fake_ports_detail::Objects>(fake_ports_detail::Text,
                                                                              fake_ports_detail::Token)>
            constraint_model_listing{"constraint_model_listing"};
        Recorded<fake_ports_detail::p::PortResult<app::RecordSynthesis>(const app::ports::RecordSynthesisRequest&,
                                                                        fake_ports_detail::Token)>
            bundle_document_synthesis{"bundle_document_synthesis"};
        Recorded<fake_ports_detail::p::PortResult<std::vector<deployment::RecordRowOutcome>>(
            const app::ports::RecordDeployRequest&, fake_ports_detail::Token)>
            product_bundle_transfer{"product_bundle_transfer"};
        Recorded<fake_ports_detail::p::PortResult<std::map<std::string, std::set<std::string>>>(
            fake_ports_detail::Text, fake_ports_detail::Names, fake_ports_detail::Token)>
            tagging_model_listing{"tagging_model_listing"};
        Recorded<fake_ports_detail::p::PortResult<std::vector<deployment::ModelRowOutcome>>(
            const deployment::ModelDeployRequest&, fake_ports_detail::Token)>
            constraint_model_transfer{"constraint_model_transfer"};
        Recorded<fake_ports_detail::p::PortResult<data::bundles::transfer::HealthReport>(
            const app::ports::RecordDeployRequest&, fake_ports_detail::Token)>
            target_health_planning{"target_health_planning"};
        Recorded<fake_ports_detail::p::PortResult<data::bundles::transfer::FixOutcome>(
            const app::ports::TargetFixRequest&, fake_ports_detail::Token)>
            target_record_deletion{"target_record_deletion"};
    };
    mutable Script script;

    app::ports::PortResult<fake_ports_detail::Objects> product_bundle_listing(
        const std::string& org, const domain::CancellationToken& token) const override {
        return script.product_bundle_listing(org, token);
    }
    app::ports::PortResult<fake_ports_detail::Objects> constraint_model_listing(
        const std::string& org, const domain::CancellationToken& token) const override {
        return script.constraint_model_listing(org, token);
    }
    app::ports::PortResult<app::RecordSynthesis> bundle_document_synthesis(
        const app::ports::RecordSynthesisRequest& request, const domain::CancellationToken& token) const override {
        return script.bundle_document_synthesis(request, token);
    }
    app::ports::PortResult<std::vector<deployment::RecordRowOutcome>> product_bundle_transfer(
        const app::ports::RecordDeployRequest& request, const domain::CancellationToken& token) const override {
        return script.product_bundle_transfer(request, token);
    }
    app::ports::PortResult<std::map<std::string, std::set<std::string>>> tagging_model_listing(
        const std::string& org, const std::set<std::string>& bundles,
        const domain::CancellationToken& token) const override {
        return script.tagging_model_listing(org, bundles, token);
    }
    app::ports::PortResult<std::vector<deployment::ModelRowOutcome>> constraint_model_transfer(
        const deployment::ModelDeployRequest& request, const domain::CancellationToken& token) const override {
        return script.constraint_model_transfer(request, token);
    }
    app::ports::PortResult<data::bundles::transfer::HealthReport> target_health_planning(
        const app::ports::RecordDeployRequest& request, const domain::CancellationToken& token) const override {
        return script.target_health_planning(request, token);
    }
    app::ports::PortResult<data::bundles::transfer::FixOutcome> target_record_deletion(
        const app::ports::TargetFixRequest& request, const domain::CancellationToken& token) const override {
        return script.target_record_deletion(request, token);
    }
};

class RecordingProcedureVersionDependencies final : public app::ports::ProcedureVersionDependencies {
public:
    struct Script {
        Recorded<fake_ports_detail::p::PortResult<std::vector<app::ports::ExpressionSetVersionRecord>>(
            fake_ports_detail::Text, fake_ports_detail::Text, fake_ports_detail::Token)>
            expression_set_version_listing{"expression_set_version_listing"};
        Recorded<fake_ports_detail::p::PortResult<void>(fake_ports_detail::Text, fake_ports_detail::Text,
                                                        fake_ports_detail::Text, bool, fake_ports_detail::Token)>
            expression_set_version_activation{"expression_set_version_activation"};
    };
    mutable Script script;

    app::ports::PortResult<std::vector<app::ports::ExpressionSetVersionRecord>> expression_set_version_listing(
        const std::string& org, const std::string& definition, const domain::CancellationToken& token) const override {
        return script.expression_set_version_listing(org, definition, token);
    }
    app::ports::PortResult<void> expression_set_version_activation(const std::string& org,
                                                                   const std::string& api_version,
                                                                   const std::string& version_id, bool active,
                                                                   const domain::CancellationToken& token) const override {
        return script.expression_set_version_activation(org, api_version, version_id, active, token);
    }
};

// Every group as a recording fake, and a service built over all of them (optional groups included).
struct RecordingPorts {
    std::shared_ptr<RecordingCorePorts> core = std::make_shared<RecordingCorePorts>();
    std::shared_ptr<RecordingGitDependencies> git = std::make_shared<RecordingGitDependencies>();
    std::shared_ptr<RecordingTargetLayoutReading> target_layout_reading =
        std::make_shared<RecordingTargetLayoutReading>();
    std::shared_ptr<RecordingTrackingDependencies> tracking = std::make_shared<RecordingTrackingDependencies>();
    std::shared_ptr<RecordingQuickDeployDependencies> quick_deploy = std::make_shared<RecordingQuickDeployDependencies>();
    std::shared_ptr<RecordingLoginDependencies> login = std::make_shared<RecordingLoginDependencies>();
    std::shared_ptr<RecordingPreparationDependencies> preparation = std::make_shared<RecordingPreparationDependencies>();
    std::shared_ptr<RecordingPermissionSetNameListing> permission_set_name_listing =
        std::make_shared<RecordingPermissionSetNameListing>();
    std::shared_ptr<RecordingSchemaDependencies> schema = std::make_shared<RecordingSchemaDependencies>();
    std::shared_ptr<RecordingBundleDependencies> bundle = std::make_shared<RecordingBundleDependencies>();
    std::shared_ptr<RecordingProcedureVersionDependencies> procedure_versions =
        std::make_shared<RecordingProcedureVersionDependencies>();
};

}  // namespace ambrel::testing
