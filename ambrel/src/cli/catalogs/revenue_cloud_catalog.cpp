#include "cli/catalogs/revenue_cloud_catalog.hpp"

#include <string>

#include "cli/catalog_results.hpp"
#include "cli/catalogs/listing_checks.hpp"
#include "cli/gateway.hpp"
#include "support/programming_error.hpp"
#include "text/text.hpp"

namespace ambrel::cli::catalogs {
namespace {

constexpr std::string_view kLabel = "Revenue Cloud record listing command";
constexpr std::string_view kGuidance =
    "Verify the selected Salesforce org is authenticated and retry component loading.";

CatalogError invalid(std::string_view detail) { return malformed_catalog_response(kLabel, kGuidance, detail); }

}  // namespace

std::expected<std::vector<json::Value>, CatalogError> RevenueCloudRecordCatalog::query(
    std::string_view soql, std::string_view alias, const domain::CancellationToken& token) const {
    support::require(!text::is_blank(alias), "Org alias must not be blank");

    auto listed = query_listing_records(*gateway_, soql, alias, timeout_, token, kLabel, kGuidance);
    if (!listed) return std::unexpected(std::move(listed.error()));
    return std::vector<json::Value>(std::make_move_iterator(listed->begin()), std::make_move_iterator(listed->end()));
}

std::expected<std::vector<json::Object>, CatalogError> RevenueCloudRecordCatalog::query_records(
    std::string_view alias, std::string_view soql, const domain::CancellationToken& token) const {
    auto records = query(soql, alias, token);
    if (!records) return std::unexpected(std::move(records.error()));
    std::vector<json::Object> objects;
    objects.reserve(records->size());
    for (json::Value& record : *records) {
        if (!record.is_object()) return std::unexpected(invalid("result.records[] is not an object"));
        objects.push_back(std::move(record.as_object()));
    }
    return objects;
}

std::expected<std::vector<SalesforceObject>, CatalogError> RevenueCloudRecordCatalog::list_product_bundles(
    std::string_view alias, const domain::CancellationToken& token) const {
    auto records = query(kProductBundleQuery, alias, token);
    if (!records) return std::unexpected(std::move(records.error()));
    std::vector<SalesforceObject> rows;
    static const json::Object kEmpty;
    for (const json::Value& record : *records) {
        const json::Object* object = json::as_object(record);
        auto name = required_text(object != nullptr ? *object : kEmpty, "Name");
        if (!name) return std::unexpected(std::move(name.error()));
        rows.push_back(SalesforceObject{*name, *name, ListingOrigin::Unpackaged});
    }
    return rows;
}

std::expected<std::vector<SalesforceObject>, CatalogError> RevenueCloudRecordCatalog::list_constraint_models(
    std::string_view alias, const domain::CancellationToken& token) const {
    auto records = query(kConstraintModelQuery, alias, token);
    if (!records) return std::unexpected(std::move(records.error()));
    std::vector<SalesforceObject> rows;
    static const json::Object kEmpty;
    for (const json::Value& record : *records) {
        const json::Object* object = json::as_object(record);
        auto api_name = required_text(object != nullptr ? *object : kEmpty, "ApiName");
        if (!api_name) return std::unexpected(std::move(api_name.error()));
        std::string_view prefix;
        if (const json::Value* definition = json::find(record, "ExpressionSetDefinition")) {
            if (const json::Value* value = json::find(*definition, "NamespacePrefix")) {
                prefix = json::as_string(*value).value_or(std::string_view{});
            }
        }
        if (!text::is_blank(prefix)) continue;
        std::string label = *api_name;
        if (const json::Value* name = json::find(record, "Name")) {
            if (auto name_text = json::as_string(*name); name_text && !text::is_blank(*name_text)) {
                label = std::string(*name_text);
            }
        }
        rows.push_back(SalesforceObject{std::move(*api_name), std::move(label), ListingOrigin::Unpackaged});
    }
    return rows;
}

}  // namespace ambrel::cli::catalogs
