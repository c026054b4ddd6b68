#include "cli/catalogs/organization_catalog.hpp"

#include "cli/catalog_results.hpp"
#include "cli/gateway.hpp"
#include "support/programming_error.hpp"
#include "text/text.hpp"

namespace ambrel::cli::catalogs {
namespace {

constexpr std::string_view kLabel = "organization query command";
constexpr std::string_view kGuidance =
    "Verify the selected Salesforce org is authenticated and retry the comparison.";

CatalogError invalid(std::string_view detail) { return malformed_catalog_response(kLabel, kGuidance, detail); }

}  // namespace

std::expected<OrganizationDescription, CatalogError> OrganizationCatalog::describe(
    std::string_view org, const domain::CancellationToken& token) const {
    support::require(!text::is_blank(org), "Alias must not be blank");
    if (auto refusal = alias_refusal(org)) return std::unexpected(std::move(*refusal));

    auto answer = gateway_->execute_inner(
        {"data", "query", "--query", std::string(kOrganizationQuery), "--target-org", std::string(org)},
        std::nullopt, timeout_, token);
    if (!answer) return std::unexpected(CatalogError(std::move(answer.error())));
    auto document = require_successful_catalog_command(*answer, kLabel, kGuidance);
    if (!document) return std::unexpected(std::move(document.error()));

    const json::Value* result = json::find(document->get(), "result");
    const json::Value* records_value = result != nullptr ? json::find(*result, "records") : nullptr;
    const json::Array* records = records_value != nullptr ? json::as_array(*records_value) : nullptr;
    if (records == nullptr || records->empty()) {
        return std::unexpected(invalid("result.records is missing, not an array, or empty"));
    }
    const json::Value& first = (*records)[0];
    const json::Value* sandbox = json::find(first, "IsSandbox");
    const auto is_sandbox = sandbox != nullptr ? json::as_bool(*sandbox) : std::nullopt;
    if (!is_sandbox) return std::unexpected(invalid("result.records[0].IsSandbox must be boolean"));
    const json::Value* type = json::find(first, "OrganizationType");
    const auto type_text = type != nullptr ? json::as_string(*type) : std::nullopt;
    if (!type_text || text::is_blank(*type_text)) {
        return std::unexpected(invalid("result.records[0].OrganizationType must be text"));
    }
    return OrganizationDescription{std::string(*type_text), *is_sandbox};
}

}  // namespace ambrel::cli::catalogs
