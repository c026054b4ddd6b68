#include "wiring/preparation_ports.hpp"

#include <utility>

#include "cli/describe.hpp"
#include "cli/record_keys.hpp"
#include "data/field_deploy/field_deploy.hpp"
#include "data/orchestrator/orchestrator.hpp"
#include "data/permission_carrier/profile_carrier.hpp"
#include "deployment/deploy_gateway/gateway.hpp"
#include "metadata/workspace/workspace.hpp"
#include "wiring/failure_mapping.hpp"
#include "wiring/wiring_context.hpp"

namespace ambrel::server::wiring {
namespace {

using app::WorkflowFailure;
using app::ports::PortResult;
using data::preparation::KeyFillResult;
using data::preparation::OrgPreparationReport;
using metadata::workspace::MetadataWorkspace;

// A private workspace for one write, or the text that says why there is none.
std::expected<std::shared_ptr<MetadataWorkspace>, std::string> open_write_workspace(const std::filesystem::path& root) {
    auto location = workspace_location(root);
    if (!location) return std::unexpected(std::move(location.error()));
    auto workspace = MetadataWorkspace::create(*location, kPreparationApiVersion);
    if (!workspace) return std::unexpected(workspace.error().message());
    return std::move(*workspace);
}

bool is_failed_or_cancelled(const KeyFillResult& result) {
    return std::holds_alternative<KeyFillResult::Failed>(result.value) ||
           std::holds_alternative<KeyFillResult::Cancelled>(result.value);
}

cli::RecordKeyCatalog record_keys(const cli::SfCliGateway& gateway) {
    return cli::RecordKeyCatalog(gateway, kPreparationQueryTimeout, kPreparationUpsertTimeout);
}

class CliPreparationDependencies final : public app::ports::PreparationDependencies {
public:
    explicit CliPreparationDependencies(std::shared_ptr<CliPreparationPorts> adapter) : adapter_(std::move(adapter)) {}

    PortResult<OrgPreparationReport> preparation_inspection(const std::string& source_org,
                                                            const std::string& target_org,
                                                            const domain::CancellationToken& token) const override {
        return as_port_result(data::orchestrator::inspect(*adapter_, source_org, target_org, token));
    }
    PortResult<OrgPreparationReport> preparation_application(const std::string& source_org,
                                                             const std::string& target_org,
                                                             const domain::CancellationToken& token) const override {
        return as_port_result(data::orchestrator::apply(*adapter_, source_org, target_org, token));
    }

private:
    // The orchestrator's cancellation is a sentence of its own and stays kind Operation.
    static PortResult<OrgPreparationReport> as_port_result(std::expected<OrgPreparationReport, std::string> outcome) {
        if (!outcome) return std::unexpected(WorkflowFailure::single(app::FailureKind::Operation, outcome.error()));
        return std::move(*outcome);
    }

    std::shared_ptr<CliPreparationPorts> adapter_;
};

}  // namespace

std::expected<std::optional<data::schema::ObjectSchema>, cli::CatalogError> CliPreparationPorts::describe(
    std::string_view org, std::string_view object, const domain::CancellationToken& cancel) {
    return cli::SObjectDescribeCatalog(*gateway_, kPreparationQueryTimeout).describe(org, object, cancel);
}

std::expected<std::uint32_t, cli::CatalogError> CliPreparationPorts::count_records(
    std::string_view org, std::string_view object, std::optional<std::string_view> key_field,
    const domain::CancellationToken& cancel) {
    return record_keys(*gateway_).count(org, object, key_field, cancel);
}

std::expected<std::vector<std::string>, cli::CatalogError> CliPreparationPorts::unkeyed_ids(
    std::string_view org, std::string_view object, std::string_view key_field,
    const domain::CancellationToken& cancel) {
    auto ids = record_keys(*gateway_).unkeyed_ids(org, object, key_field, cancel);
    if (!ids) return std::unexpected(sanitized_catalog_error(*gateway_, std::move(ids.error())));
    return ids;
}

std::expected<std::optional<std::string>, cli::CatalogError> CliPreparationPorts::running_user_profile(
    std::string_view org, const domain::CancellationToken& cancel) {
    auto profile = data::permission_carrier::ProfileCarrierCatalog(*gateway_, kPreparationQueryTimeout)
                       .running_user_profile_full_name(org, cancel);
    if (!profile) return std::unexpected(sanitized_catalog_error(*gateway_, std::move(profile.error())));
    return profile;
}

std::expected<void, std::string> CliPreparationPorts::deploy_fields(std::string_view org,
                                                                    const std::vector<std::string>& objects,
                                                                    const std::optional<std::string>& profile,
                                                                    const domain::CancellationToken& cancel) {
    auto workspace = open_write_workspace(workspace_root_);
    if (!workspace) return std::unexpected(std::move(workspace.error()));

    deployment::deploy_gateway::DeployOptions options;
    options.timeout = kPreparationDeployTimeout;
    deployment::deploy_gateway::SfCliMetadataDeployGateway deploy_gateway(std::move(options), gateway_);
    auto deployed = data::field_deploy::PreparationFieldDeployer(deploy_gateway)
                        .deploy((*workspace)->root(), org, objects, profile, kPreparationApiVersion, cancel);

    auto closed = (*workspace)->close();
    if (!deployed) return deployed;
    if (!closed) return std::unexpected(closed.error().message());
    return {};
}

KeyFillResult CliPreparationPorts::fill_keys(std::string_view org, std::string_view object, std::string_view key_field,
                                             std::span<const std::string> ids,
                                             const domain::CancellationToken& cancel) {
    auto workspace = open_write_workspace(workspace_root_);
    if (!workspace) return KeyFillResult{KeyFillResult::Failed{std::move(workspace.error())}};

    KeyFillResult result = record_keys(*gateway_).fill_keys(org, object, key_field, ids, (*workspace)->root(), cancel);

    auto closed = (*workspace)->close();
    if (is_failed_or_cancelled(result) || closed) return result;
    return KeyFillResult{KeyFillResult::Failed{closed.error().message()}};
}

void CliPreparationPorts::report_progress(progress::ProgressStage stage, std::optional<std::uint32_t> current,
                                          std::optional<std::uint32_t> total, std::string_view detail) {
    progress_->report(stage, current, total, detail);
}

std::shared_ptr<const app::ports::PreparationDependencies> make_preparation_ports(
    std::shared_ptr<CliPreparationPorts> adapter) {
    return std::make_shared<CliPreparationDependencies>(std::move(adapter));
}

std::shared_ptr<const app::ports::PreparationDependencies> make_preparation_ports(const WiringContext& context) {
    return make_preparation_ports(
        std::make_shared<CliPreparationPorts>(context.workspace_root, context.sf, context.progress));
}

}  // namespace ambrel::server::wiring
