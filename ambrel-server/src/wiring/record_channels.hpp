#pragma once

// The record port of the bundle and model work over the Salesforce CLI (`CliRecordChannels`), the
// switch of an expression set version's activity (`set_expression_set_version_active`), and the two
// ports that list and activate expression set versions after a deploy.
//
// Queries run through `RevenueCloudRecordCatalog`, describes through `SObjectDescribeCatalog`, every
// other request through `SfRestChannel`, each built per request over the shared gateway with a
// time-out of 120 seconds. REST answers arrive in the CLI's "--include" form; a body that is not JSON
// reaches this code as a JSON string holding the raw text.
//
// Record ids are checked before anything runs: the constraint-model write and the activation take 15
// to 18 ASCII letters or digits ("The ExpressionSetDefinitionVersion record id is not valid.", "The
// ExpressionSetVersion record id is not valid."); deletes are checked by the REST channel (15 or 18).
// The version listing refuses a definition name that is not an API name before its query ("The
// expression set definition name is not a valid API name.").
//
// Failures of the catalogues and the REST channel become `WorkflowFailure` values through the shared
// failure mappings and, inside `CliRecordChannels`, `ChannelError` values (a cancelled run is the
// absent message). Unexpected composite or delete bodies fail with "The record request was answered
// with an unexpected body ({})." / "… body: {}." (and the same with "record delete request"); a
// delete answer with another number of outcomes than ids sent is such a failure too. Listing rows
// fail with "The ExpressionSetVersion listing carries a record without IsActive." or "… without {}."
// (Id, ApiName).
//
// Thread-safety: no mutable state. `CliRecordChannels` borrows the gateway, which must outlive it; the
// version ports share it. Every operation runs one `sf` child on the calling thread.

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/ports/port_result.hpp"
#include "app/ports/procedure_versions.hpp"
#include "cli/gateway.hpp"
#include "data/bundles/synthesis/record_channels.hpp"
#include "domain/cancellation.hpp"
#include "json/json.hpp"

namespace ambrel::server::wiring {

struct WiringContext;

inline constexpr std::chrono::seconds kRecordRequestTimeout{120};
inline constexpr std::size_t kMinRecordIdLength = 15;
inline constexpr std::size_t kMaxRecordIdLength = 18;

inline constexpr std::string_view kDefinitionVersionIdInvalid =
    "The ExpressionSetDefinitionVersion record id is not valid.";
inline constexpr std::string_view kVersionIdInvalid = "The ExpressionSetVersion record id is not valid.";
inline constexpr std::string_view kDefinitionNameInvalid =
    "The expression set definition name is not a valid API name.";
inline constexpr std::string_view kListingWithoutIsActive =
    "The ExpressionSetVersion listing carries a record without IsActive.";
// Filled with the missing member's name ("Id", "ApiName").
inline constexpr std::string_view kListingWithoutMemberFormat =
    "The ExpressionSetVersion listing carries a record without {}.";
// Filled with the sanitized refusal reason of the body.
inline constexpr std::string_view kUnexpectedBodyRefusalFormat =
    "The record request was answered with an unexpected body ({}).";
// Filled with the reason the outcomes could not be read.
inline constexpr std::string_view kUnexpectedBodyFormat =
    "The record request was answered with an unexpected body: {}.";
inline constexpr std::string_view kUnexpectedDeleteBodyRefusalFormat =
    "The record delete request was answered with an unexpected body ({}).";
inline constexpr std::string_view kUnexpectedDeleteBodyFormat =
    "The record delete request was answered with an unexpected body: {}.";
// Filled with the definition name, which has passed the API-name check.
inline constexpr std::string_view kVersionListingQueryFormat =
    "SELECT Id, ApiName, IsActive FROM ExpressionSetVersion WHERE ExpressionSet.ApiName = '{}'";

// 15 to 18 bytes, each an ASCII letter or digit.
bool is_valid_record_id(std::string_view id) noexcept;

// The compact JSON body of a constraint-model write: {"ConstraintModel": Base64 of the bytes}.
std::string constraint_model_patch_body(std::string_view constraint_model);

// Switches the version's IsActive through a PATCH of the record; the answer's body is ignored.
app::ports::PortResult<void> set_expression_set_version_active(const cli::SfCliGateway& gateway, std::string_view org,
                                                               std::string_view api_version,
                                                               std::string_view version_id, bool active,
                                                               const domain::CancellationToken& token);

// The records in row order, or the failure of the first row that does not read (no org alias).
app::ports::PortResult<std::vector<app::ports::ExpressionSetVersionRecord>> parse_expression_set_version_records(
    const std::vector<json::Object>& rows);

// Lists the versions of one expression set definition.
app::ports::PortResult<std::vector<app::ports::ExpressionSetVersionRecord>> list_expression_set_versions(
    const cli::SfCliGateway& gateway, std::string_view org, std::string_view definition_name,
    const domain::CancellationToken& token);

// Borrows the gateway, which must outlive it. Built for one port call.
class CliRecordChannels final : public data::bundles::synthesis::RecordChannels {
public:
    CliRecordChannels(std::string api_version, const cli::SfCliGateway& gateway)
        : api_version_(std::move(api_version)), gateway_(&gateway) {}

    const std::string& api_version() const noexcept { return api_version_; }

    data::bundles::synthesis::ChannelResult<std::vector<json::Object>> query(
        std::string_view org, std::string_view soql, const domain::CancellationToken& token) override;
    data::bundles::synthesis::ChannelResult<std::optional<data::schema::ObjectSchema>> describe(
        std::string_view org, std::string_view object, const domain::CancellationToken& token) override;
    data::bundles::synthesis::ChannelResult<std::optional<std::string>> read_cml(
        std::string_view org, std::string_view version_id, const domain::CancellationToken& token) override;
    data::bundles::synthesis::ChannelResult<std::vector<data::bundles::synthesis::CompositeOutcome>> composite(
        std::string_view org, data::bundles::synthesis::CompositeMethod method,
        const std::vector<json::Object>& records, const domain::CancellationToken& token) override;
    data::bundles::synthesis::ChannelResult<void> write_cml(std::string_view org, std::string_view version_id,
                                                            std::string_view constraint_model,
                                                            const domain::CancellationToken& token) override;
    data::bundles::synthesis::ChannelResult<std::vector<data::bundles::synthesis::CompositeOutcome>> remove(
        std::string_view org, const std::vector<std::string>& ids, const domain::CancellationToken& token) override;
    data::bundles::synthesis::ChannelResult<void> set_version_active(std::string_view org, std::string_view version_id,
                                                                     bool active,
                                                                     const domain::CancellationToken& token) override;

private:
    std::string api_version_;
    const cli::SfCliGateway* gateway_;
};

// The procedure-version group over the shared gateway.
std::shared_ptr<const app::ports::ProcedureVersionDependencies> make_procedure_version_ports(
    std::shared_ptr<const cli::SfCliGateway> gateway);
std::shared_ptr<const app::ports::ProcedureVersionDependencies> make_procedure_version_ports(
    const WiringContext& context);

}  // namespace ambrel::server::wiring
