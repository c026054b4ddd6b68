#include "wiring/catalogue_ports.hpp"

#include <span>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "cli/catalogs/metadata_listing.hpp"
#include "cli/catalogs/object_catalog.hpp"
#include "cli/catalogs/org_catalog.hpp"
#include "cli/catalogs/organization_catalog.hpp"
#include "cli/describe.hpp"
#include "cli/login.hpp"
#include "cli/prerequisite.hpp"
#include "cli/schema_catalog.hpp"
#include "comparison/engine.hpp"
#include "dependency/dependency_catalog.hpp"
#include "deployment/deploy_gateway/gateway.hpp"
#include "deployment/fls_catalog/fls_catalog.hpp"
#include "metadata/user_permission_filter/user_permission_filter.hpp"
#include "text/text.hpp"
#include "wiring/failure_mapping.hpp"

namespace ambrel::server::wiring {
namespace {

using app::WorkflowFailure;
using app::ports::PortResult;
using domain::CancellationToken;
using progress::ProgressStage;

std::unexpected<WorkflowFailure> fail(WorkflowFailure failure) { return std::unexpected(std::move(failure)); }

std::unexpected<WorkflowFailure> fail_for_org(WorkflowFailure failure, std::string_view alias) {
    return std::unexpected(WorkflowFailure::with_org_alias(std::move(failure), alias));
}

PortResult<std::vector<cli::catalogs::SalesforceObject>> list_metadata_of(const WiringContext& context,
                                                                          std::string_view type_name,
                                                                          const std::string& alias,
                                                                          const CancellationToken& token) {
    auto listed = cli::catalogs::MetadataListingCatalog(*context.sf, kCatalogueTimeout)
                      .list_metadata(type_name, alias, token);
    if (!listed) return fail_for_org(catalog_to_failure(std::move(listed.error())), alias);
    return std::move(*listed);
}

class PermissionSetNamePort final : public app::ports::PermissionSetNameListing {
public:
    explicit PermissionSetNamePort(WiringContext context) : context_(std::move(context)) {}

    PortResult<std::set<std::string>> permission_set_name_listing(const std::string& org,
                                                                  const CancellationToken& token) const override {
        auto names = deployment::fls_catalog::SfFlsContainerCatalog(*context_.sf, kCatalogueTimeout)
                         .permission_set_names(org, token);
        if (!names) {
            using deployment::fls_synchronizer::FlsSyncError;
            return fail(fls_to_failure(FlsSyncError(FlsSyncError::Catalog{std::move(names.error())})));
        }
        return std::set<std::string>(std::make_move_iterator(names->begin()), std::make_move_iterator(names->end()));
    }

private:
    WiringContext context_;
};

class SchemaPorts final : public app::ports::SchemaDependencies {
public:
    explicit SchemaPorts(WiringContext context) : context_(std::move(context)) {}

    PortResult<cli::SchemaListing> object_field_listing(const std::string& org,
                                                        const std::set<std::string>& object_names,
                                                        const CancellationToken& token) const override {
        auto listing = cli::SfSchemaCatalog(*context_.sf, kCatalogueTimeout).object_fields(org, object_names, token);
        if (!listing) return fail(schema_to_failure(std::move(listing.error())));
        return std::move(*listing);
    }

    PortResult<metadata::user_permission_filter::UserPermissionCatalog> user_permission_listing(
        const std::string& org, const CancellationToken& token) const override {
        if (text::is_blank(org)) return fail(WorkflowFailure::operation(kEmptyUsernameForPermissions));
        auto described = cli::SObjectDescribeCatalog(*context_.sf, kCatalogueTimeout)
                             .describe(org, kPermissionSetObject, token);
        if (!described) return fail(catalog_to_failure(std::move(described.error())));
        if (!described->has_value()) return fail(WorkflowFailure::operation(kNoPermissionSetEntity));
        return metadata::user_permission_filter::user_permission_catalog(**described);
    }

    PortResult<cli::ExternalKeyListing> external_key_field_listing(const std::string& org,
                                                                   const std::set<std::string>& object_names,
                                                                   const CancellationToken& token) const override {
        auto listing =
            cli::SfSchemaCatalog(*context_.sf, kCatalogueTimeout).external_key_fields(org, object_names, token);
        if (!listing) return fail(schema_to_failure(std::move(listing.error())));
        return std::move(*listing);
    }

private:
    WiringContext context_;
};

class QuickDeployPort final : public app::ports::QuickDeployDependencies {
public:
    explicit QuickDeployPort(WiringContext context) : context_(std::move(context)) {}

    PortResult<app::ports::QuickDeployAnswer> quick_deployment(const std::string& job_id,
                                                               const std::string& target_org,
                                                               const CancellationToken& token) const override {
        context_.progress->report(ProgressStage::DeployingPackage);
        deployment::deploy_gateway::DeployOptions options;
        options.timeout = kQuickDeployTimeout;
        deployment::deploy_gateway::SfCliMetadataDeployGateway gateway(options, context_.sf);
        auto answer = gateway.quick_deploy(context_.workspace_root, target_org, job_id, token);
        if (!answer) return fail_for_org(WorkflowFailure::operation(answer.error()), target_org);
        return std::move(*answer);
    }

private:
    WiringContext context_;
};

class LoginPort final : public app::ports::LoginDependencies {
public:
    explicit LoginPort(WiringContext context) : context_(std::move(context)) {}

    PortResult<cli::CreatedOrgAlias> alias_login(const std::string& alias, const std::string& instance_url,
                                                 const std::vector<endpoint::OrgAlias>& known_aliases,
                                                 const CancellationToken& token) const override {
        context_.progress->report(ProgressStage::WaitingForBrowserSignIn);
        // The alias does not exist yet, so a failure names no org.
        auto created = cli::OrgLoginService(*context_.sf, kLoginTimeout)
                           .create_alias(alias, instance_url, std::span<const endpoint::OrgAlias>(known_aliases), token);
        if (!created) return fail(catalog_to_failure(std::move(created.error())));
        return std::move(*created);
    }

private:
    WiringContext context_;
};

}  // namespace

PortFunction<&CorePorts::org_alias_listing> make_org_alias_listing(const WiringContext& context) {
    return [context](const CancellationToken& token) -> PortResult<std::vector<endpoint::OrgAlias>> {
        // The check runs on every listing: this is where a missing or broken CLI becomes visible.
        context.progress->report(ProgressStage::CheckingCli);
        const cli::SfCliPrerequisiteChecker checker(*context.sf, kCatalogueTimeout);
        if (auto checked = checker.check(token); !checked) return fail(catalog_to_failure(std::move(checked.error())));
        context.progress->report(ProgressStage::ListingOrgs);
        auto orgs = cli::catalogs::OrgCatalog(nullptr, *context.sf, kCatalogueTimeout).list_aliases(token);
        if (!orgs) return fail(catalog_to_failure(std::move(orgs.error())));
        return std::move(*orgs);
    };
}

PortFunction<&CorePorts::object_listing> make_object_listing(const WiringContext& context) {
    return [context](const std::string& org, const std::string& detail,
                     const CancellationToken& token) -> PortResult<std::vector<cli::catalogs::SalesforceObject>> {
        context.progress->report(ProgressStage::ListingObjects, std::nullopt, std::nullopt, detail);
        auto objects = cli::catalogs::ObjectCatalog(*context.sf, kCatalogueTimeout).list_objects(org, token);
        if (!objects) return fail_for_org(catalog_to_failure(std::move(objects.error())), org);
        return std::move(*objects);
    };
}

PortFunction<&CorePorts::metadata_listing> make_metadata_listing(const WiringContext& context) {
    return [context](const std::string& type_name, const std::string& org,
                     const CancellationToken& token) -> PortResult<std::vector<cli::catalogs::SalesforceObject>> {
        context.progress->report(ProgressStage::ListingMetadata, std::nullopt, std::nullopt, type_name);
        return list_metadata_of(context, type_name, org, token);
    };
}

PortFunction<&CorePorts::apex_class_listing> make_apex_class_listing(const WiringContext& context) {
    return [context](const std::string& org,
                     const CancellationToken& token) -> PortResult<std::vector<cli::catalogs::SalesforceObject>> {
        context.progress->report(ProgressStage::ListingApexTests);
        constexpr auto kApexClass = metadata_types::MetadataType::ApexClass;
        const auto type_name = kApexClass.descriptor().listing_type_name.value_or(kApexClass.wire_id());
        return list_metadata_of(context, type_name, org, token);
    };
}

PortFunction<&CorePorts::dependency_discovery> make_dependency_discovery(const WiringContext& context) {
    return [context](const std::string& org, const std::vector<domain::ComponentKey>& keys,
                     const CancellationToken& token) -> PortResult<app::ports::DependencyDiscovery> {
        context.progress->report(ProgressStage::ResolvingDependencyIds);
        const dependency::DependencyCatalog catalog =
            dependency::DependencyCatalog(*context.sf, kCatalogueTimeout).with_progress(context.progress);
        auto outcome = catalog.discover(org, std::span<const domain::ComponentKey>(keys), token);
        if (!outcome) return fail_for_org(catalog_to_failure(std::move(outcome.error())), org);
        if (auto* disabled = std::get_if<std::string>(&*outcome)) {
            return app::ports::DependencyDiscovery(app::ports::DiscoveryDisabled{std::move(*disabled)});
        }
        return app::ports::DependencyDiscovery(std::get<dependency::DependencyGraph>(std::move(*outcome)));
    };
}

PortFunction<&CorePorts::component_comparison> make_component_comparison() {
    return [](const metadata_types::TypeDescriptor& descriptor, const std::vector<domain::MetadataComponent>& source,
              const std::vector<domain::MetadataComponent>& target, const std::set<std::string>& missing) {
        return comparison::ComponentComparisonEngine::compare(descriptor, source, target, missing);
    };
}

PortFunction<&CorePorts::org_description> make_org_description(const WiringContext& context) {
    return [context](const std::string& org,
                     const CancellationToken& token) -> PortResult<cli::catalogs::OrganizationDescription> {
        auto description = cli::catalogs::OrganizationCatalog(*context.sf, kCatalogueTimeout).describe(org, token);
        if (!description) return fail(catalog_to_failure(std::move(description.error())));
        return std::move(*description);
    };
}

PortFunction<&CorePorts::diagnostic_sanitizer> make_diagnostic_sanitizer(const WiringContext& context) {
    return [sf = context.sf](const std::string& text) { return sf->sanitize(text); };
}

void bind_catalogue_ports(CorePortSet& ports, const WiringContext& context) {
    ports.org_alias_listing = make_org_alias_listing(context);
    ports.object_listing = make_object_listing(context);
    ports.metadata_listing = make_metadata_listing(context);
    ports.apex_class_listing = make_apex_class_listing(context);
    ports.dependency_discovery = make_dependency_discovery(context);
    ports.component_comparison = make_component_comparison();
    ports.org_description = make_org_description(context);
    ports.diagnostic_sanitizer = make_diagnostic_sanitizer(context);
}

std::shared_ptr<const app::ports::PermissionSetNameListing> make_permission_set_name_listing(
    const WiringContext& context) {
    return std::make_shared<PermissionSetNamePort>(context);
}

std::shared_ptr<const app::ports::SchemaDependencies> make_schema_ports(const WiringContext& context) {
    return std::make_shared<SchemaPorts>(context);
}

std::shared_ptr<const app::ports::QuickDeployDependencies> make_quick_deploy_port(const WiringContext& context) {
    return std::make_shared<QuickDeployPort>(context);
}

std::shared_ptr<const app::ports::LoginDependencies> make_login_port(const WiringContext& context) {
    return std::make_shared<LoginPort>(context);
}

}  // namespace ambrel::server::wiring
