#pragma once

// QuillaryApplicationService: the implementation of QuillaryUseCases. It owns nothing but its ports,
// in declared order: the core ports, the git ports, the target layout reading, the tracking group,
// the quick deploy group, the login group, the preparation group, the permission set name listing,
// the schema group, the bundle group, the procedure version group and the deploy adaptation group. Every use case reaches the CLI,
// git, the file system and the record-data code only through them.
//
// `with_git_and_layouts` builds the service with the optional groups at their fixed-failure defaults;
// each `with_…` builder takes the service by value, replaces one group (releasing the one it
// replaced) and returns it. A missing (null) group is a programming error. Once built the service is
// immutable and holds no lock: its operations may run on several threads at once, and every port
// must allow that.
//
// The deploy use case belongs to later work: after its cancellation check it answers with an
// Operation failure "This operation is not available in this build." (kNotBuiltMessage).
//
// The compare roads: between two orgs (`compare_endpoints_with_settings`) and with a git branch on
// a side (`compare_with_git`). Both refuse an empty selection, record-data types and blank member
// names before any port call, widen the selection with its dependencies (the expansion loop), fill
// one private workspace with both sides and assemble the session (`build_session`,
// `build_session_from_endpoints`). Once the workspace exists, every failure removes it before it is
// returned. Their fixed failures, besides those of the steps they call:
//   Validation "Select a source org or git repository." / "Select a target org or git repository."
//   Validation "Select at least one component." (org road) / "Select at least one component to
//              compare." (git road)
//   Validation "The selected source Salesforce alias is no longer available." (or "target")
//   Validation "Could not resolve the selected Salesforce org identities."
//   Validation "Source and target must be different Salesforce orgs."
//   Operation  "Product bundles and constraint models are compared between two orgs only."

#include <cstddef>
#include <memory>
#include <string_view>

#include "app/expansion_loop.hpp"
#include "app/deploy_passes.hpp"
#include "app/layout_collapse.hpp"
#include "app/model_expansion.hpp"
#include "app/pending_activation.hpp"
#include "app/ports/bundle.hpp"
#include "app/ports/deploy_adaptation.hpp"
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
#include "app/record_synthesis.hpp"
#include "app/target_org_class.hpp"
#include "app/use_cases.hpp"
#include "dependency/dependency_graph.hpp"
#include "dependency/warnings.hpp"

namespace ambrel::app {

inline constexpr std::string_view kNotBuiltMessage = "This operation is not available in this build.";
// A diagnostic shown by a use case is cut to this many characters.
inline constexpr std::size_t kDiagnosticCharacterLimit = 65'536;

inline constexpr std::string_view kSelectSourceMessage = "Select a source org or git repository.";
inline constexpr std::string_view kSelectTargetMessage = "Select a target org or git repository.";
inline constexpr std::string_view kSelectComponentMessage = "Select at least one component.";
inline constexpr std::string_view kSelectComponentToCompareMessage = "Select at least one component to compare.";
inline constexpr std::string_view kAliasUnavailableFormat = "The selected {} Salesforce alias is no longer available.";
inline constexpr std::string_view kUnresolvedIdentitiesMessage = "Could not resolve the selected Salesforce org identities.";
inline constexpr std::string_view kSameOrgMessage = "Source and target must be different Salesforce orgs.";
inline constexpr std::string_view kRecordsBetweenOrgsOnlyMessage =
    "Product bundles and constraint models are compared between two orgs only.";
inline constexpr std::string_view kGitSourceDiscoveryWarning = "Dependency discovery is unavailable for a git source.";
// The one warning of a git compare that counts the names of both branches that are not UTF-8.
inline constexpr std::string_view kNamesNotUtf8Warning = "{} file(s) with names that are not UTF-8 were skipped.";
inline constexpr std::string_view kSourceSide = "source";
inline constexpr std::string_view kTargetSide = "target";

class QuillaryApplicationService final : public QuillaryUseCases {
public:
    static QuillaryApplicationService with_git_and_layouts(
        std::shared_ptr<const ports::CorePorts> core, std::shared_ptr<const ports::GitDependencies> git,
        std::shared_ptr<const ports::TargetLayoutReading> target_layout_reading,
        std::shared_ptr<const ports::PermissionSetNameListing> permission_set_name_listing,
        std::shared_ptr<const ports::SchemaDependencies> schema, std::shared_ptr<const ports::BundleDependencies> bundle);

    static QuillaryApplicationService with_tracking(QuillaryApplicationService service,
                                                    std::shared_ptr<const ports::TrackingDependencies> tracking);
    static QuillaryApplicationService with_quick_deploy(
        QuillaryApplicationService service, std::shared_ptr<const ports::QuickDeployDependencies> quick_deploy);
    static QuillaryApplicationService with_login(QuillaryApplicationService service,
                                                 std::shared_ptr<const ports::LoginDependencies> login);
    static QuillaryApplicationService with_preparation(
        QuillaryApplicationService service, std::shared_ptr<const ports::PreparationDependencies> preparation);
    static QuillaryApplicationService with_procedure_versions(
        QuillaryApplicationService service, std::shared_ptr<const ports::ProcedureVersionDependencies> versions);

    const ports::CorePorts& core() const noexcept { return *core_; }
    const ports::GitDependencies& git() const noexcept { return *git_; }
    const ports::TargetLayoutReading& target_layout_reading() const noexcept { return *target_layout_reading_; }
    const ports::TrackingDependencies& tracking() const noexcept { return *tracking_; }
    const ports::QuickDeployDependencies& quick_deploy_dependencies() const noexcept { return *quick_deploy_; }
    const ports::LoginDependencies& login() const noexcept { return *login_; }
    const ports::PreparationDependencies& preparation() const noexcept { return *preparation_; }
    const ports::PermissionSetNameListing& permission_set_name_listing() const noexcept {
        return *permission_set_name_listing_;
    }
    const ports::SchemaDependencies& schema() const noexcept { return *schema_; }
    const ports::BundleDependencies& bundle() const noexcept { return *bundle_; }
    const ports::ProcedureVersionDependencies& procedure_versions() const noexcept { return *procedure_versions_; }

    UseCaseResult<std::vector<endpoint::OrgAlias>> list_orgs(const domain::CancellationToken& token) const override;
    UseCaseResult<std::vector<cli::catalogs::SalesforceObject>> list_source_objects(
        const endpoint::DeployEndpoint& source, metadata_types::MetadataType type,
        const domain::CancellationToken& token) const override;
    SessionResult compare_endpoints(const endpoint::DeployEndpoint& source, const endpoint::DeployEndpoint& target,
                                    const CompareSelection& selection, metadata_types::LayoutComparisonMode layout_mode,
                                    const domain::CancellationToken& token) const override;
    SessionResult compare_endpoints_allowing_production(const endpoint::DeployEndpoint& source,
                                                        const endpoint::DeployEndpoint& target,
                                                        const CompareSelection& selection,
                                                        metadata_types::LayoutComparisonMode layout_mode,
                                                        bool allow_best_effort_on_production,
                                                        const domain::CancellationToken& token) const override;
    SessionResult compare_endpoints_with_settings(const endpoint::DeployEndpoint& source,
                                                  const endpoint::DeployEndpoint& target,
                                                  const CompareSelection& selection,
                                                  metadata_types::LayoutComparisonMode layout_mode,
                                                  bool allow_best_effort_on_production,
                                                  bool retry_unexpected_errors_alone,
                                                  const domain::CancellationToken& token) const override;
    UseCaseResult<deployment::DeploymentSummary> deploy(const ComparisonSession& session, const SelectedKeys& selected,
                                                        domain::FlsMode fls_mode,
                                                        const ports::ContainerSelection& containers,
                                                        domain::DeployMode deploy_mode,
                                                        const std::optional<domain::ApexTestConfig>& tests,
                                                        const domain::CancellationToken& token) const override;
    UseCaseResult<deployment::DeploymentSummary> quick_deploy(const domain::QuickDeployTicket& ticket,
                                                              const domain::CancellationToken& token) const override;
    UseCaseResult<data::preparation::OrgPreparationReport> inspect_org_preparation(
        const std::string& source_org, const std::string& target_org,
        const domain::CancellationToken& token) const override;
    UseCaseResult<data::preparation::OrgPreparationReport> apply_org_preparation(
        const std::string& source_org, const std::string& target_org,
        const domain::CancellationToken& token) const override;
    UseCaseResult<data::key_readiness::ExternalKeysState> check_external_keys(
        const std::string& source_org, const std::string& target_org,
        const domain::CancellationToken& token) const override;
    UseCaseResult<cli::CreatedOrgAlias> create_org_alias(const std::string& alias, const std::string& instance_url,
                                                         const std::vector<endpoint::OrgAlias>& known_aliases,
                                                         const domain::CancellationToken& token) const override;
    UseCaseResult<std::vector<domain::FlsContainerChoice>> match_fls_containers(
        const ComparisonSession& session, const SelectedKeys& selected,
        const domain::CancellationToken& token) const override;
    UseCaseResult<std::vector<domain::ApexTestCandidate>> list_apex_tests(
        const ComparisonSession& session, const SelectedKeys& selected,
        const domain::CancellationToken& token) const override;
    UseCaseResult<data::bundles::transfer::HealthReport> check_target_health(
        const ComparisonSession& session, const SelectedKeys& selected,
        const domain::CancellationToken& token) const override;
    UseCaseResult<data::bundles::transfer::FixOutcome> fix_target_health(
        const ComparisonSession& session, const data::bundles::transfer::HealthReport& report,
        const std::set<std::size_t>& chosen_findings, const domain::CancellationToken& token) const override;
    UseCaseResult<ports::GitTargetCheck> validate_git_target(const endpoint::DeployEndpoint& endpoint) const override;
    UseCaseResult<git::GitRepoInspection> inspect_git_repo(const std::filesystem::path& folder) const override;
    bool can_initialize_git_repo(const std::filesystem::path& folder) const override;
    UseCaseResult<git::GitRepoInspection> init_git_repo(const std::filesystem::path& folder) const override;
    std::string sanitize_diagnostic(const std::string& text) const override;

    // --- The compare roads and their steps.

    // The compare when the source or the target is a git endpoint.
    SessionResult compare_with_git(const endpoint::DeployEndpoint& source, const endpoint::DeployEndpoint& target,
                                   const CompareSelection& selection, metadata_types::LayoutComparisonMode layout_mode,
                                   bool allow_best_effort_on_production, bool retry_unexpected_errors_alone,
                                   const domain::CancellationToken& token) const;
    // The one listed org whose alias is `alias` byte for byte, with a username and an org id.
    static UseCaseResult<endpoint::OrgAlias> resolve_single_org(const ports::CorePorts& core, const std::string& alias,
                                                                std::string_view side,
                                                                const domain::CancellationToken& token);
    // Adds the constraint models that tag a selected product bundle. Only a cancellation fails; a
    // listing failure becomes the warning "Constraint models tagging the selected product bundles
    // could not be listed in {label}: {first message}".
    static std::expected<void, WorkflowFailure> widen_with_tagging_models(
        const ports::BundleDependencies& bundle, CompareSelection& selection, const std::string& org,
        const std::string& label, const std::string& api_version, dependency::WarningList& warnings,
        const domain::CancellationToken& token);
    // Asks the synthesis port to write the selected bundles and models of both orgs into the
    // workspace; nothing is asked when none is selected.
    static UseCaseResult<RecordSynthesis> synthesize_record_documents(
        const ports::BundleDependencies& bundle, const CompareSelection& selection, const endpoint::OrgAlias& source,
        const endpoint::OrgAlias& target, const std::shared_ptr<metadata::workspace::MetadataWorkspace>& workspace,
        const std::string& api_version, const domain::CancellationToken& token);
    // The session of a compare between two orgs. On failure the caller removes the workspace.
    SessionResult build_session(const std::string& source_alias, const std::string& target_alias,
                                const endpoint::OrgAlias& source, const endpoint::OrgAlias& target,
                                const CompareSelection& working, const CompareSelection& requested,
                                const RetrievedWorkspace& retrieved,
                                std::optional<dependency::DependencyGraph> discovered,
                                dependency::WarningList warnings, metadata_types::LayoutComparisonMode layout_mode,
                                const std::string& api_version, const RecordSynthesis& synthesis,
                                bool allow_best_effort_on_production, bool retry_unexpected_errors_alone,
                                const domain::CancellationToken& token) const;
    // The session of a compare with a git side. On failure the caller removes the workspace.
    SessionResult build_session_from_endpoints(const endpoint::DeployEndpoint& source,
                                               const endpoint::DeployEndpoint& target, const CompareSelection& working,
                                               const CompareSelection& requested, const RetrievedWorkspace& retrieved,
                                               std::optional<dependency::DependencyGraph> discovered,
                                               dependency::WarningList warnings,
                                               metadata_types::LayoutComparisonMode layout_mode,
                                               const std::string& api_version, bool allow_best_effort_on_production,
                                               bool retry_unexpected_errors_alone,
                                               const domain::CancellationToken& token) const;
    // Scratch orgs and sandboxes are non-production without asking; otherwise the org description
    // decides; no org, or a description that fails, is Unconfirmed.
    TargetOrgClass target_org_class(const std::optional<endpoint::OrgAlias>& target,
                                    const domain::CancellationToken& token) const;

    // Deploy: the steps of `deploy` (deploy_use_case.cpp and the files beside it). The adaptation group
    // defaults to `ports::DeployAdaptation::standard()`.
    static QuillaryApplicationService with_deploy_adaptation(
        QuillaryApplicationService service, std::shared_ptr<const ports::DeployAdaptation> adaptation);
    const ports::DeployAdaptation& deploy_adaptation() const;
    UseCaseResult<void> validate_session_org_bindings(const ComparisonSession& session,
                                                      const domain::CancellationToken& token) const;
    // `metadata_keys` are the keys of the deploy's metadata rows.
    UseCaseResult<ModelExpansion> expand_model_rows(const ComparisonSession& session,
                                                    const std::vector<domain::ComponentDifference>& model_rows,
                                                    const std::set<domain::ComponentKey>& metadata_keys,
                                                    const domain::CancellationToken& token) const;
    UseCaseResult<deployment::DeploymentSummary> run_deploy(
        const ComparisonSession& session, const std::vector<domain::ComponentDifference>& rows,
        std::vector<domain::ComponentDifference> package_rows, const std::vector<domain::PermissionSubject>& subjects,
        domain::FlsMode fls_mode, const ports::ContainerSelection& containers, domain::DeployMode deploy_mode,
        const std::optional<domain::ApexTestConfig>& tests, const domain::CancellationToken& token) const;
    UseCaseResult<LayoutCollapse> collapse_layouts(const ComparisonSession& session,
                                                   std::vector<domain::ComponentDifference> package_rows,
                                                   const domain::CancellationToken& token) const;
    UseCaseResult<TrackingSplice> splice_tracking_toggles(const ComparisonSession& session,
                                                          std::vector<domain::ComponentDifference> rows,
                                                          const domain::CancellationToken& token) const;
    UseCaseResult<deployment::DeploymentSummary> run_best_effort_package(
        const ComparisonSession& session, std::vector<domain::ComponentDifference> rows_to_deploy,
        const std::vector<domain::ComponentDifference>& permission_rows,
        const std::vector<domain::PermissionSubject>& subjects, domain::FlsMode fls_mode,
        const ports::ContainerSelection& containers, const std::optional<domain::ApexTestConfig>& tests,
        const domain::CancellationToken& token) const;
    void activate_deployed_expression_set_versions(const ComparisonSession& session,
                                                   const std::vector<PendingActivation>& pending,
                                                   std::vector<domain::ComponentDeploymentResult>& results,
                                                   domain::DeployMode deploy_mode,
                                                   const domain::CancellationToken& token) const;
    void transfer_deployed_models(const ComparisonSession& session, const ModelExpansion& expansion,
                                  std::vector<domain::ComponentDeploymentResult>& results,
                                  const domain::CancellationToken& token) const;

private:
    QuillaryApplicationService() = default;

    std::shared_ptr<const ports::CorePorts> core_;
    std::shared_ptr<const ports::GitDependencies> git_;
    std::shared_ptr<const ports::TargetLayoutReading> target_layout_reading_;
    std::shared_ptr<const ports::TrackingDependencies> tracking_;
    std::shared_ptr<const ports::QuickDeployDependencies> quick_deploy_;
    std::shared_ptr<const ports::LoginDependencies> login_;
    std::shared_ptr<const ports::PreparationDependencies> preparation_;
    std::shared_ptr<const ports::PermissionSetNameListing> permission_set_name_listing_;
    std::shared_ptr<const ports::SchemaDependencies> schema_;
    std::shared_ptr<const ports::BundleDependencies> bundle_;
    std::shared_ptr<const ports::ProcedureVersionDependencies> procedure_versions_;
    std::shared_ptr<const ports::DeployAdaptation> deploy_adaptation_;
};

}  // namespace ambrel::app
