#pragma once

// The components of one metadata type that an org holds (the CLI's Metadata API listing), without
// those of installed packages except where a packaged name stays listed and marked; a tab listing
// also carries the org's standard tabs.

#include <chrono>
#include <expected>
#include <string_view>
#include <vector>

#include "cli/catalog_error.hpp"
#include "cli/catalogs/salesforce_object.hpp"
#include "domain/cancellation.hpp"

namespace ambrel::cli {
class SfCliGateway;
}

namespace ambrel::cli::catalogs {

inline constexpr std::string_view kStandardTabQuery =
    "SELECT DurableId, Name, SobjectName, IsCustom FROM TabDefinition ORDER BY Name";

// Built per call; borrows the gateway.
class MetadataListingCatalog {
public:
    MetadataListingCatalog(const SfCliGateway& gateway, std::chrono::milliseconds timeout) noexcept
        : gateway_(&gateway), timeout_(timeout) {}

    // The components of the Metadata API type (for example "ApexClass" or "CustomTab"), sorted by
    // full name byte by byte. A blank alias ("Source alias must not be blank") or type name
    // ("Metadata type must not be blank") is a programming error; an alias holding a control character
    // is refused ("An org alias must not contain control characters.") before anything runs. An org's
    // own custom objects and fields (no namespace prefix before the custom suffix, of the object or of
    // the field part) are unpackaged.
    std::expected<std::vector<SalesforceObject>, CatalogError> list_metadata(
        std::string_view type_name, std::string_view alias, const domain::CancellationToken& token) const;

    // The org's standard tabs ("standard-Account", …) in the order of the query.
    std::expected<std::vector<SalesforceObject>, CatalogError> list_standard_tabs(
        std::string_view alias, const domain::CancellationToken& token) const;

private:
    const SfCliGateway* gateway_;
    std::chrono::milliseconds timeout_;
};

}  // namespace ambrel::cli::catalogs
