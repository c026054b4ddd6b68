#pragma once

// Revenue Cloud records read with SOQL through the CLI: the product bundle and constraint model
// listings of the selection screen, and a general record query that refuses incomplete answers.

#include <chrono>
#include <expected>
#include <string_view>
#include <vector>

#include "cli/catalog_error.hpp"
#include "cli/catalogs/salesforce_object.hpp"
#include "domain/cancellation.hpp"
#include "json/json.hpp"

namespace ambrel::cli {
class SfCliGateway;
}

namespace ambrel::cli::catalogs {

inline constexpr std::string_view kProductBundleQuery = "SELECT Id, Name FROM Product2 WHERE Type = 'Bundle' ORDER BY Name";
inline constexpr std::string_view kConstraintModelQuery =
    "SELECT Id, Name, ApiName, ExpressionSetDefinition.NamespacePrefix FROM ExpressionSet WHERE UsageType = "
    "'Constraint' ORDER BY ApiName";

// Built per call; borrows the gateway. Every operation: a blank alias is a programming error ("Org
// alias must not be blank"), one holding a control character is refused before anything runs ("An
// org alias must not contain control characters."); the answer must hold every matching record
// ("done" not false and "totalSize" equal to the number of records), never a shortened list.
class RevenueCloudRecordCatalog {
public:
    RevenueCloudRecordCatalog(const SfCliGateway& gateway, std::chrono::milliseconds timeout) noexcept
        : gateway_(&gateway), timeout_(timeout) {}

    // The records as the CLI returned them, in its order.
    std::expected<std::vector<json::Value>, CatalogError> query(std::string_view soql, std::string_view alias,
                                                                const domain::CancellationToken& token) const;
    // The records, each of which must be a JSON object (note the order of the arguments).
    std::expected<std::vector<json::Object>, CatalogError> query_records(std::string_view alias, std::string_view soql,
                                                                         const domain::CancellationToken& token) const;
    std::expected<std::vector<SalesforceObject>, CatalogError> list_product_bundles(
        std::string_view alias, const domain::CancellationToken& token) const;
    // Constraint models of packages (a namespace prefix on their definition) are left out.
    std::expected<std::vector<SalesforceObject>, CatalogError> list_constraint_models(
        std::string_view alias, const domain::CancellationToken& token) const;

private:
    const SfCliGateway* gateway_;
    std::chrono::milliseconds timeout_;
};

}  // namespace ambrel::cli::catalogs
