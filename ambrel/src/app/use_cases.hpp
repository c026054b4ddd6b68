#pragma once

// QuillaryUseCases: the one interface through which the workflow reaches the application: listing
// orgs and components, comparing two endpoints, deploying and quick deploy, org preparation for record
// transfer, permission container matching, Apex test selection, target health, git repositories and
// the clean-up of diagnostics. Operations are in slot order.
//
// The workflow holds one shared instance for the session and calls it from its executor threads at
// the same time; an implementation must allow that. Every operation that takes a token polls it
// before its first port call and fails with kind Cancelled ("Salesforce field workflow was
// cancelled"). Failures are WorkflowFailure values; `supports_external_keys`,
// `can_initialize_git_repo` and `sanitize_diagnostic` never fail. Two operations are provided here:
// `compare` (two aliases, whole-document layouts) and `supports_external_keys` (always true).

#include <cstddef>
#include <expected>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "app/compare_selection.hpp"
#include "app/comparison_session.hpp"
#include "app/ports/git_ports.hpp"
#include "app/ports/port_result.hpp"
#include "app/workflow_failure.hpp"
#include "cli/catalogs/salesforce_object.hpp"
#include "cli/login.hpp"
#include "data/bundles/transfer/fix_outcome.hpp"
#include "data/bundles/transfer/health_report.hpp"
#include "data/key_readiness/external_keys_state.hpp"
#include "data/preparation/org_preparation_report.hpp"
#include "deployment/deployment_summary.hpp"
#include "domain/cancellation.hpp"
#include "domain/deployment.hpp"
#include "domain/fls.hpp"
#include "endpoint/deploy_endpoint.hpp"
#include "endpoint/org_alias.hpp"
#include "git/inspection.hpp"
#include "metadata_types/metadata_type.hpp"
#include "metadata_types/type_descriptor.hpp"

namespace ambrel::app {

template <class T>
using UseCaseResult = std::expected<T, WorkflowFailure>;

using SessionResult = UseCaseResult<std::shared_ptr<ComparisonSession>>;

class QuillaryUseCases {
public:
    virtual ~QuillaryUseCases() = default;

    // Slot 1.
    virtual UseCaseResult<std::vector<endpoint::OrgAlias>> list_orgs(const domain::CancellationToken& token) const = 0;
    // Slot 2.
    virtual UseCaseResult<std::vector<cli::catalogs::SalesforceObject>> list_source_objects(
        const endpoint::DeployEndpoint& source, metadata_types::MetadataType type,
        const domain::CancellationToken& token) const = 0;
    // Slot 3.
    virtual SessionResult compare_endpoints(const endpoint::DeployEndpoint& source,
                                            const endpoint::DeployEndpoint& target, const CompareSelection& selection,
                                            metadata_types::LayoutComparisonMode layout_mode,
                                            const domain::CancellationToken& token) const = 0;
    // Slot 4.
    virtual SessionResult compare_endpoints_allowing_production(const endpoint::DeployEndpoint& source,
                                                                const endpoint::DeployEndpoint& target,
                                                                const CompareSelection& selection,
                                                                metadata_types::LayoutComparisonMode layout_mode,
                                                                bool allow_best_effort_on_production,
                                                                const domain::CancellationToken& token) const = 0;
    // Slot 5.
    virtual SessionResult compare_endpoints_with_settings(const endpoint::DeployEndpoint& source,
                                                          const endpoint::DeployEndpoint& target,
                                                          const CompareSelection& selection,
                                                          metadata_types::LayoutComparisonMode layout_mode,
                                                          bool allow_best_effort_on_production,
                                                          bool retry_unexpected_errors_alone,
                                                          const domain::CancellationToken& token) const = 0;
    // Slot 6 (provided): two org endpoints that carry only the aliases (empty username and org id, kind
    // "other"), compared with whole-document layouts.
    SessionResult compare(std::string_view source_alias, std::string_view target_alias,
                          const CompareSelection& selection, const domain::CancellationToken& token) const;
    // Slot 7.
    virtual UseCaseResult<deployment::DeploymentSummary> deploy(const ComparisonSession& session,
                                                                const SelectedKeys& selected, domain::FlsMode fls_mode,
                                                                const ports::ContainerSelection& containers,
                                                                domain::DeployMode deploy_mode,
                                                                const std::optional<domain::ApexTestConfig>& tests,
                                                                const domain::CancellationToken& token) const = 0;
    // Slot 8.
    virtual UseCaseResult<deployment::DeploymentSummary> quick_deploy(const domain::QuickDeployTicket& ticket,
                                                                      const domain::CancellationToken& token) const = 0;
    // Slot 9.
    virtual UseCaseResult<data::preparation::OrgPreparationReport> inspect_org_preparation(
        const std::string& source_org, const std::string& target_org, const domain::CancellationToken& token) const = 0;
    // Slot 10.
    virtual UseCaseResult<data::preparation::OrgPreparationReport> apply_org_preparation(
        const std::string& source_org, const std::string& target_org, const domain::CancellationToken& token) const = 0;
    // Slot 11 (provided).
    bool supports_external_keys() const { return true; }
    // Slot 12.
    virtual UseCaseResult<data::key_readiness::ExternalKeysState> check_external_keys(
        const std::string& source_org, const std::string& target_org, const domain::CancellationToken& token) const = 0;
    // Slot 13.
    virtual UseCaseResult<cli::CreatedOrgAlias> create_org_alias(const std::string& alias,
                                                                 const std::string& instance_url,
                                                                 const std::vector<endpoint::OrgAlias>& known_aliases,
                                                                 const domain::CancellationToken& token) const = 0;
    // Slot 14.
    virtual UseCaseResult<std::vector<domain::FlsContainerChoice>> match_fls_containers(
        const ComparisonSession& session, const SelectedKeys& selected, const domain::CancellationToken& token) const = 0;
    // Slot 15.
    virtual UseCaseResult<std::vector<domain::ApexTestCandidate>> list_apex_tests(
        const ComparisonSession& session, const SelectedKeys& selected, const domain::CancellationToken& token) const = 0;
    // Slot 16.
    virtual UseCaseResult<data::bundles::transfer::HealthReport> check_target_health(
        const ComparisonSession& session, const SelectedKeys& selected, const domain::CancellationToken& token) const = 0;
    // Slot 17: the findings chosen by their positions in the report.
    virtual UseCaseResult<data::bundles::transfer::FixOutcome> fix_target_health(
        const ComparisonSession& session, const data::bundles::transfer::HealthReport& report,
        const std::set<std::size_t>& chosen_findings, const domain::CancellationToken& token) const = 0;
    // Slot 18: valid, refused with a text, or a failure.
    virtual UseCaseResult<ports::GitTargetCheck> validate_git_target(const endpoint::DeployEndpoint& endpoint) const = 0;
    // Slot 19.
    virtual UseCaseResult<git::GitRepoInspection> inspect_git_repo(const std::filesystem::path& folder) const = 0;
    // Slot 20.
    virtual bool can_initialize_git_repo(const std::filesystem::path& folder) const = 0;
    // Slot 21.
    virtual UseCaseResult<git::GitRepoInspection> init_git_repo(const std::filesystem::path& folder) const = 0;
    // Slot 22.
    virtual std::string sanitize_diagnostic(const std::string& text) const = 0;

protected:
    QuillaryUseCases() = default;
    QuillaryUseCases(const QuillaryUseCases&) = default;
    QuillaryUseCases(QuillaryUseCases&&) = default;
    QuillaryUseCases& operator=(const QuillaryUseCases&) = default;
    QuillaryUseCases& operator=(QuillaryUseCases&&) = default;
};

}  // namespace ambrel::app
