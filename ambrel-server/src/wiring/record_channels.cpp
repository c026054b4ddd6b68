#include "wiring/record_channels.hpp"

#include <array>
#include <fmt/format.h>
#include <utility>

#include "cli/catalogs/revenue_cloud_catalog.hpp"
#include "cli/describe.hpp"
#include "cli/rest.hpp"
#include "data/bundles/model_transfer/model_transfer.hpp"
#include "metadata/expression_set_version_status.hpp"
#include "text/text.hpp"
#include "wiring/failure_mapping.hpp"
#include "wiring/wiring_context.hpp"

namespace ambrel::server::wiring {
namespace {

namespace synthesis = data::bundles::synthesis;
using app::WorkflowFailure;
using app::ports::ExpressionSetVersionRecord;
using app::ports::PortResult;
using synthesis::ChannelError;
using synthesis::ChannelResult;
using synthesis::CompositeOutcome;

constexpr std::string_view kDefinitionVersionPathFormat =
    "/services/data/v{}/sobjects/ExpressionSetDefinitionVersion/{}";
constexpr std::string_view kConstraintModelPathFormat =
    "/services/data/v{}/sobjects/ExpressionSetDefinitionVersion/{}/ConstraintModel";
constexpr std::string_view kVersionPathFormat = "/services/data/v{}/sobjects/ExpressionSetVersion/{}";
constexpr std::string_view kCompositePathFormat = "/services/data/v{}/composite/sobjects";
constexpr std::string_view kIsActiveField = "IsActive";
constexpr std::string_view kIdField = "Id";
constexpr std::string_view kApiNameField = "ApiName";
constexpr std::string_view kAllOrNoneMember = "allOrNone";
constexpr std::string_view kRecordsMember = "records";

bool is_ascii_letter_or_digit(char c) noexcept {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

ChannelError to_channel_error(cli::CatalogError error) {
    return workflow_failure_to_channel_error(catalog_to_failure(std::move(error)));
}

// The outcomes of a 2xx composite or delete answer, or the sentence that says why it cannot be read.
ChannelResult<std::vector<CompositeOutcome>> read_outcomes(const json::Value& body, std::size_t sent,
                                                           std::string_view refusal_format,
                                                           std::string_view reason_format) {
    auto outcomes = synthesis::parse_composite_outcomes(body, sent);
    if (outcomes) return std::move(*outcomes);
    if (auto reason = cli::rest::refusal_reason_from_body(&body)) {
        return std::unexpected(
            ChannelError::failure(fmt::format(fmt::runtime(refusal_format), cli::SfCliGateway::sanitize(*reason))));
    }
    return std::unexpected(ChannelError::failure(fmt::format(fmt::runtime(reason_format), outcomes.error())));
}

// A member that must be a text not blank after trimming; kept as received.
std::optional<std::string> present_text(const json::Object& row, std::string_view key) {
    const auto value = json::get_string(row, key);
    if (!value || text::is_blank(*value)) return std::nullopt;
    return std::string(*value);
}

}  // namespace

bool is_valid_record_id(std::string_view id) noexcept {
    if (id.size() < kMinRecordIdLength || id.size() > kMaxRecordIdLength) return false;
    for (const char c : id) {
        if (!is_ascii_letter_or_digit(c)) return false;
    }
    return true;
}

PortResult<void> set_expression_set_version_active(const cli::SfCliGateway& gateway, std::string_view org,
                                                   std::string_view api_version, std::string_view version_id,
                                                   bool active, const domain::CancellationToken& token) {
    if (!is_valid_record_id(version_id)) return std::unexpected(WorkflowFailure::operation(kVersionIdInvalid));
    const std::string path = fmt::format(fmt::runtime(kVersionPathFormat), api_version, version_id);
    json::Object body;
    body[kIsActiveField] = active;
    const cli::SfRestChannel channel(gateway, kRecordRequestTimeout);
    auto answer = channel.patch(org, path, json::write_compact(body), token);
    if (!answer)
        return std::unexpected(WorkflowFailure::with_org_alias(catalog_to_failure(std::move(answer.error())), org));
    return {};
}

PortResult<std::vector<ExpressionSetVersionRecord>> parse_expression_set_version_records(
    const std::vector<json::Object>& rows) {
    std::vector<ExpressionSetVersionRecord> records;
    records.reserve(rows.size());
    for (const json::Object& row : rows) {
        const auto active = json::get_bool(row, kIsActiveField);
        if (!active) return std::unexpected(WorkflowFailure::operation(kListingWithoutIsActive));
        auto id = present_text(row, kIdField);
        if (!id) {
            return std::unexpected(
                WorkflowFailure::operation(fmt::format(fmt::runtime(kListingWithoutMemberFormat), kIdField)));
        }
        auto api_name = present_text(row, kApiNameField);
        if (!api_name) {
            return std::unexpected(
                WorkflowFailure::operation(fmt::format(fmt::runtime(kListingWithoutMemberFormat), kApiNameField)));
        }
        records.push_back(ExpressionSetVersionRecord{std::move(*id), std::move(*api_name), *active});
    }
    return records;
}

PortResult<std::vector<ExpressionSetVersionRecord>> list_expression_set_versions(
    const cli::SfCliGateway& gateway, std::string_view org, std::string_view definition_name,
    const domain::CancellationToken& token) {
    // The name goes into the query unescaped: only an API name may pass.
    if (!metadata::expression_set_version_status::is_valid_definition_name(definition_name)) {
        return std::unexpected(WorkflowFailure::operation(kDefinitionNameInvalid));
    }
    const cli::catalogs::RevenueCloudRecordCatalog catalog(gateway, kRecordRequestTimeout);
    auto rows =
        catalog.query_records(org, fmt::format(fmt::runtime(kVersionListingQueryFormat), definition_name), token);
    if (!rows)
        return std::unexpected(WorkflowFailure::with_org_alias(catalog_to_failure(std::move(rows.error())), org));
    return parse_expression_set_version_records(*rows);
}

ChannelResult<std::vector<json::Object>> CliRecordChannels::query(std::string_view org, std::string_view soql,
                                                                  const domain::CancellationToken& token) {
    const cli::catalogs::RevenueCloudRecordCatalog catalog(*gateway_, kRecordRequestTimeout);
    auto rows = catalog.query_records(org, soql, token);
    if (!rows) return std::unexpected(to_channel_error(std::move(rows.error())));
    return std::move(*rows);
}

ChannelResult<std::optional<data::schema::ObjectSchema>> CliRecordChannels::describe(
    std::string_view org, std::string_view object, const domain::CancellationToken& token) {
    const cli::SObjectDescribeCatalog catalog(*gateway_, kRecordRequestTimeout);
    auto schema = catalog.describe(org, object, token);
    if (!schema) return std::unexpected(to_channel_error(std::move(schema.error())));
    return std::move(*schema);
}

ChannelResult<std::optional<std::string>> CliRecordChannels::read_cml(std::string_view org, std::string_view version_id,
                                                                      const domain::CancellationToken& token) {
    const cli::SfRestChannel channel(*gateway_, kRecordRequestTimeout);
    auto answer =
        channel.get(org, fmt::format(fmt::runtime(kConstraintModelPathFormat), api_version_, version_id), token);
    if (!answer) return std::unexpected(to_channel_error(std::move(answer.error())));
    // An object is the org saying that the version holds no model. Anything else is the field's content,
    // taken as the CLI printed it: read back as JSON, a text that parses as JSON (a quoted line, a lone
    // number) would lose its quotes or come back empty.
    if (answer->body.is_object()) return std::optional<std::string>();
    return std::optional<std::string>(std::move(answer->raw_body));
}

ChannelResult<std::vector<CompositeOutcome>> CliRecordChannels::composite(std::string_view org,
                                                                          synthesis::CompositeMethod method,
                                                                          const std::vector<json::Object>& records,
                                                                          const domain::CancellationToken& token) {
    const std::string path = fmt::format(fmt::runtime(kCompositePathFormat), api_version_);
    json::Object body;
    body[kAllOrNoneMember] = false;
    json::Array sent;
    sent.reserve(records.size());
    for (const json::Object& record : records) sent.emplace_back(record);
    body[kRecordsMember] = std::move(sent);
    const std::string text = json::write_compact(body);

    const cli::SfRestChannel channel(*gateway_, kRecordRequestTimeout);
    auto answer = method == synthesis::CompositeMethod::Create ? channel.post(org, path, text, token)
                                                               : channel.patch(org, path, text, token);
    if (!answer) return std::unexpected(to_channel_error(std::move(answer.error())));
    return read_outcomes(answer->body, records.size(), kUnexpectedBodyRefusalFormat, kUnexpectedBodyFormat);
}

ChannelResult<void> CliRecordChannels::write_cml(std::string_view org, std::string_view version_id,
                                                 std::string_view constraint_model,
                                                 const domain::CancellationToken& token) {
    if (!is_valid_record_id(version_id)) {
        return std::unexpected(
            workflow_failure_to_channel_error(WorkflowFailure::operation(kDefinitionVersionIdInvalid)));
    }
    const std::string path = fmt::format(fmt::runtime(kDefinitionVersionPathFormat), api_version_, version_id);
    const cli::SfRestChannel channel(*gateway_, kRecordRequestTimeout);
    auto answer = channel.patch(org, path, data::bundles::model_transfer::cml_patch_body(constraint_model), token);
    if (!answer) {
        return std::unexpected(workflow_failure_to_channel_error(
            WorkflowFailure::with_org_alias(catalog_to_failure(std::move(answer.error())), org)));
    }
    return {};
}

ChannelResult<std::vector<CompositeOutcome>> CliRecordChannels::remove(std::string_view org,
                                                                       const std::vector<std::string>& ids,
                                                                       const domain::CancellationToken& token) {
    const cli::SfRestChannel channel(*gateway_, kRecordRequestTimeout);
    auto answer = channel.delete_composite(org, api_version_, ids, token);
    if (!answer) return std::unexpected(to_channel_error(std::move(answer.error())));
    // Another number of outcomes than ids sent cannot be matched to the ids: a failure, not a guess.
    return read_outcomes(answer->body, ids.size(), kUnexpectedDeleteBodyRefusalFormat, kUnexpectedDeleteBodyFormat);
}

ChannelResult<void> CliRecordChannels::set_version_active(std::string_view org, std::string_view version_id,
                                                          bool active, const domain::CancellationToken& token) {
    auto done = set_expression_set_version_active(*gateway_, org, api_version_, version_id, active, token);
    if (!done) return std::unexpected(workflow_failure_to_channel_error(std::move(done.error())));
    return {};
}

namespace {

class CliProcedureVersions final : public app::ports::ProcedureVersionDependencies {
public:
    explicit CliProcedureVersions(std::shared_ptr<const cli::SfCliGateway> gateway) : gateway_(std::move(gateway)) {}

    PortResult<std::vector<ExpressionSetVersionRecord>> expression_set_version_listing(
        const std::string& org, const std::string& definition_name,
        const domain::CancellationToken& token) const override {
        return list_expression_set_versions(*gateway_, org, definition_name, token);
    }
    PortResult<void> expression_set_version_activation(const std::string& org, const std::string& api_version,
                                                       const std::string& version_id, bool active,
                                                       const domain::CancellationToken& token) const override {
        return set_expression_set_version_active(*gateway_, org, api_version, version_id, active, token);
    }

private:
    std::shared_ptr<const cli::SfCliGateway> gateway_;
};

}  // namespace

std::shared_ptr<const app::ports::ProcedureVersionDependencies> make_procedure_version_ports(
    std::shared_ptr<const cli::SfCliGateway> gateway) {
    return std::make_shared<CliProcedureVersions>(std::move(gateway));
}

std::shared_ptr<const app::ports::ProcedureVersionDependencies> make_procedure_version_ports(
    const WiringContext& context) {
    return make_procedure_version_ports(context.sf);
}

}  // namespace ambrel::server::wiring
