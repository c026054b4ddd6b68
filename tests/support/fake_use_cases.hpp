#pragma once

// A recording fake of QuillaryUseCases for the workflow, the server and anything else that drives the
// application through its interface. Each slot forwards to a public Recorded member of the same name
// in `script`; a session argument is recorded as the session's id. The provided operations (`compare`,
// `supports_external_keys`) are the interface's own, so `compare` shows up as a call of
// `compare_endpoints`.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "app/use_cases.hpp"
#include "recorded_call.hpp"

namespace ambrel::testing {

template <>
struct Stored<const app::ComparisonSession&> {
    using type = std::uint64_t;
    static type store(const app::ComparisonSession& session) { return session.id(); }
};

class RecordingUseCases final : public app::QuillaryUseCases {
    using Token = const domain::CancellationToken&;
    using Endpoint = const endpoint::DeployEndpoint&;
    using Session = const app::ComparisonSession&;
    using Keys = const app::SelectedKeys&;
    using Text = const std::string&;
    using Path = const std::filesystem::path&;
    template <class T>
    using Result = app::UseCaseResult<T>;

public:
    struct Script {
        Recorded<Result<std::vector<endpoint::OrgAlias>>(Token)> list_orgs{"list_orgs"};
        Recorded<Result<std::vector<cli::catalogs::SalesforceObject>>(Endpoint, metadata_types::MetadataType, Token)>
            list_source_objects{"list_source_objects"};
        Recorded<app::SessionResult(Endpoint, Endpoint, const app::CompareSelection&,
                                    metadata_types::LayoutComparisonMode, Token)>
            compare_endpoints{"compare_endpoints"};
        Recorded<app::SessionResult(Endpoint, Endpoint, const app::CompareSelection&,
                                    metadata_types::LayoutComparisonMode, bool, Token)>
            compare_endpoints_allowing_production{"compare_endpoints_allowing_production"};
        Recorded<app::SessionResult(Endpoint, Endpoint, const app::CompareSelection&,
                                    metadata_types::LayoutComparisonMode, bool, bool, Token)>
            compare_endpoints_with_settings{"compare_endpoints_with_settings"};
        Recorded<Result<deployment::DeploymentSummary>(Session, Keys, domain::FlsMode,
                                                       const app::ports::ContainerSelection&, domain::DeployMode,
                                                       const std::optional<domain::ApexTestConfig>&, Token)>
            deploy{"deploy"};
        Recorded<Result<deployment::DeploymentSummary>(const domain::QuickDeployTicket&, Token)> quick_deploy{
            "quick_deploy"};
        Recorded<Result<data::preparation::OrgPreparationReport>(Text, Text, Token)> inspect_org_preparation{
            "inspect_org_preparation"};
        Recorded<Result<data::preparation::OrgPreparationReport>(Text, Text, Token)> apply_org_preparation{
            "apply_org_preparation"};
        Recorded<Result<data::key_readiness::ExternalKeysState>(Text, Text, Token)> check_external_keys{
            "check_external_keys"};
        Recorded<Result<cli::CreatedOrgAlias>(Text, Text, const std::vector<endpoint::OrgAlias>&, Token)>
            create_org_alias{"create_org_alias"};
        Recorded<Result<std::vector<domain::FlsContainerChoice>>(Session, Keys, Token)> match_fls_containers{
            "match_fls_containers"};
        Recorded<Result<std::vector<domain::ApexTestCandidate>>(Session, Keys, Token)> list_apex_tests{
            "list_apex_tests"};
        Recorded<Result<data::bundles::transfer::HealthReport>(Session, Keys, Token)> check_target_health{
            "check_target_health"};
        Recorded<Result<data::bundles::transfer::FixOutcome>(Session, const data::bundles::transfer::HealthReport&,
                                                             const std::set<std::size_t>&, Token)>
            fix_target_health{"fix_target_health"};
        Recorded<Result<app::ports::GitTargetCheck>(Endpoint)> validate_git_target{"validate_git_target"};
        Recorded<Result<git::GitRepoInspection>(Path)> inspect_git_repo{"inspect_git_repo"};
        Recorded<bool(Path)> can_initialize_git_repo{"can_initialize_git_repo"};
        Recorded<Result<git::GitRepoInspection>(Path)> init_git_repo{"init_git_repo"};
        Recorded<std::string(Text)> sanitize_diagnostic{"sanitize_diagnostic"};
    };
    mutable Script script;

    Result<std::vector<endpoint::OrgAlias>> list_orgs(Token token) const override { return script.list_orgs(token); }
    Result<std::vector<cli::catalogs::SalesforceObject>> list_source_objects(Endpoint source,
                                                                             metadata_types::MetadataType type,
                                                                             Token token) const override {
        return script.list_source_objects(source, type, token);
    }
    app::SessionResult compare_endpoints(Endpoint source, Endpoint target, const app::CompareSelection& selection,
                                         metadata_types::LayoutComparisonMode mode, Token token) const override {
        return script.compare_endpoints(source, target, selection, mode, token);
    }
    app::SessionResult compare_endpoints_allowing_production(Endpoint source, Endpoint target,
                                                             const app::CompareSelection& selection,
                                                             metadata_types::LayoutComparisonMode mode, bool allow,
                                                             Token token) const override {
        return script.compare_endpoints_allowing_production(source, target, selection, mode, allow, token);
    }
    app::SessionResult compare_endpoints_with_settings(Endpoint source, Endpoint target,
                                                       const app::CompareSelection& selection,
                                                       metadata_types::LayoutComparisonMode mode, bool allow,
                                                       bool retry_alone, Token token) const override {
        return script.compare_endpoints_with_settings(source, target, selection, mode, allow, retry_alone, token);
    }
    Result<deployment::DeploymentSummary> deploy(Session session, Keys selected, domain::FlsMode fls_mode,
                                                 const app::ports::ContainerSelection& containers,
                                                 domain::DeployMode deploy_mode,
                                                 const std::optional<domain::ApexTestConfig>& tests,
                                                 Token token) const override {
        return script.deploy(session, selected, fls_mode, containers, deploy_mode, tests, token);
    }
    Result<deployment::DeploymentSummary> quick_deploy(const domain::QuickDeployTicket& ticket,
                                                       Token token) const override {
        return script.quick_deploy(ticket, token);
    }
    Result<data::preparation::OrgPreparationReport> inspect_org_preparation(Text source, Text target,
                                                                            Token token) const override {
        return script.inspect_org_preparation(source, target, token);
    }
    Result<data::preparation::OrgPreparationReport> apply_org_preparation(Text source, Text target,
                                                                          Token token) const override {
        return script.apply_org_preparation(source, target, token);
    }
    Result<data::key_readiness::ExternalKeysState> check_external_keys(Text source, Text target,
                                                                       Token token) const override {
        return script.check_external_keys(source, target, token);
    }
    Result<cli::CreatedOrgAlias> create_org_alias(Text alias, Text instance_url,
                                                  const std::vector<endpoint::OrgAlias>& known,
                                                  Token token) const override {
        return script.create_org_alias(alias, instance_url, known, token);
    }
    Result<std::vector<domain::FlsContainerChoice>> match_fls_containers(Session session, Keys selected,
                                                                         Token token) const override {
        return script.match_fls_containers(session, selected, token);
    }
    Result<std::vector<domain::ApexTestCandidate>> list_apex_tests(Session session, Keys selected,
                                                                   Token token) const override {
        return script.list_apex_tests(session, selected, token);
    }
    Result<data::bundles::transfer::HealthReport> check_target_health(Session session, Keys selected,
                                                                      Token token) const override {
        return script.check_target_health(session, selected, token);
    }
    Result<data::bundles::transfer::FixOutcome> fix_target_health(Session session,
                                                                  const data::bundles::transfer::HealthReport& report,
                                                                  const std::set<std::size_t>& chosen,
                                                                  Token token) const override {
        return script.fix_target_health(session, report, chosen, token);
    }
    Result<app::ports::GitTargetCheck> validate_git_target(Endpoint endpoint) const override {
        return script.validate_git_target(endpoint);
    }
    Result<git::GitRepoInspection> inspect_git_repo(Path folder) const override { return script.inspect_git_repo(folder); }
    bool can_initialize_git_repo(Path folder) const override { return script.can_initialize_git_repo(folder); }
    Result<git::GitRepoInspection> init_git_repo(Path folder) const override { return script.init_git_repo(folder); }
    std::string sanitize_diagnostic(Text text) const override { return script.sanitize_diagnostic(text); }
};

}  // namespace ambrel::testing
