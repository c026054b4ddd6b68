#include "app/application_service.hpp"

#include <utility>

#include "app/compare_steps.hpp"
#include "support/programming_error.hpp"
#include "text/text.hpp"

namespace ambrel::app {

namespace {

template <class T>
std::shared_ptr<const T> required(std::shared_ptr<const T> group, std::string_view what) {
    support::require(group != nullptr, what);
    return group;
}

}  // namespace

QuillaryApplicationService QuillaryApplicationService::with_git_and_layouts(
    std::shared_ptr<const ports::CorePorts> core, std::shared_ptr<const ports::GitDependencies> git,
    std::shared_ptr<const ports::TargetLayoutReading> target_layout_reading,
    std::shared_ptr<const ports::PermissionSetNameListing> permission_set_name_listing,
    std::shared_ptr<const ports::SchemaDependencies> schema, std::shared_ptr<const ports::BundleDependencies> bundle) {
    QuillaryApplicationService service;
    service.core_ = required(std::move(core), "the core ports are required");
    service.git_ = required(std::move(git), "the git ports are required");
    service.target_layout_reading_ = required(std::move(target_layout_reading), "the layout reading port is required");
    service.tracking_ = ports::TrackingDependencies::unsupported();
    service.quick_deploy_ = ports::QuickDeployDependencies::unsupported();
    service.login_ = ports::LoginDependencies::unsupported();
    service.preparation_ = ports::PreparationDependencies::unsupported();
    service.permission_set_name_listing_ =
        required(std::move(permission_set_name_listing), "the permission set listing port is required");
    service.schema_ = required(std::move(schema), "the schema ports are required");
    service.bundle_ = required(std::move(bundle), "the bundle ports are required");
    service.procedure_versions_ = ports::ProcedureVersionDependencies::unsupported();
    return service;
}

QuillaryApplicationService QuillaryApplicationService::with_tracking(
    QuillaryApplicationService service, std::shared_ptr<const ports::TrackingDependencies> tracking) {
    service.tracking_ = required(std::move(tracking), "the tracking port is required");
    return service;
}

QuillaryApplicationService QuillaryApplicationService::with_quick_deploy(
    QuillaryApplicationService service, std::shared_ptr<const ports::QuickDeployDependencies> quick_deploy) {
    service.quick_deploy_ = required(std::move(quick_deploy), "the quick deploy port is required");
    return service;
}

QuillaryApplicationService QuillaryApplicationService::with_login(QuillaryApplicationService service,
                                                                  std::shared_ptr<const ports::LoginDependencies> login) {
    service.login_ = required(std::move(login), "the login port is required");
    return service;
}

QuillaryApplicationService QuillaryApplicationService::with_preparation(
    QuillaryApplicationService service, std::shared_ptr<const ports::PreparationDependencies> preparation) {
    service.preparation_ = required(std::move(preparation), "the preparation ports are required");
    return service;
}

QuillaryApplicationService QuillaryApplicationService::with_procedure_versions(
    QuillaryApplicationService service, std::shared_ptr<const ports::ProcedureVersionDependencies> versions) {
    service.procedure_versions_ = required(std::move(versions), "the procedure version ports are required");
    return service;
}

SessionResult QuillaryApplicationService::compare_endpoints(const endpoint::DeployEndpoint& source,
                                                            const endpoint::DeployEndpoint& target,
                                                            const CompareSelection& selection,
                                                            metadata_types::LayoutComparisonMode layout_mode,
                                                            const domain::CancellationToken& token) const {
    return compare_endpoints_with_settings(source, target, selection, layout_mode, false, false, token);
}

SessionResult QuillaryApplicationService::compare_endpoints_allowing_production(
    const endpoint::DeployEndpoint& source, const endpoint::DeployEndpoint& target, const CompareSelection& selection,
    metadata_types::LayoutComparisonMode layout_mode, bool allow_best_effort_on_production,
    const domain::CancellationToken& token) const {
    return compare_endpoints_with_settings(source, target, selection, layout_mode, allow_best_effort_on_production,
                                           false, token);
}

UseCaseResult<data::preparation::OrgPreparationReport> QuillaryApplicationService::inspect_org_preparation(
    const std::string& source_org, const std::string& target_org, const domain::CancellationToken& token) const {
    if (auto live = throw_if_cancelled(token); !live) return std::unexpected(live.error());
    return preparation_->preparation_inspection(source_org, target_org, token);
}

UseCaseResult<data::preparation::OrgPreparationReport> QuillaryApplicationService::apply_org_preparation(
    const std::string& source_org, const std::string& target_org, const domain::CancellationToken& token) const {
    if (auto live = throw_if_cancelled(token); !live) return std::unexpected(live.error());
    return preparation_->preparation_application(source_org, target_org, token);
}

UseCaseResult<ports::GitTargetCheck> QuillaryApplicationService::validate_git_target(
    const endpoint::DeployEndpoint& endpoint) const {
    if (!endpoint.is_git()) return ports::GitTargetCheck::valid();
    return git_->git_target_validation(endpoint);
}

UseCaseResult<git::GitRepoInspection> QuillaryApplicationService::inspect_git_repo(
    const std::filesystem::path& folder) const {
    return git_->repo_inspection(folder);
}

bool QuillaryApplicationService::can_initialize_git_repo(const std::filesystem::path& folder) const {
    return git_->repo_init_check(folder);
}

UseCaseResult<git::GitRepoInspection> QuillaryApplicationService::init_git_repo(
    const std::filesystem::path& folder) const {
    return git_->repo_initialization(folder);
}

std::string QuillaryApplicationService::sanitize_diagnostic(const std::string& text) const {
    return std::string(text::first_chars(core_->diagnostic_sanitizer(text), kDiagnosticCharacterLimit));
}

}  // namespace ambrel::app
