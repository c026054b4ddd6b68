#pragma once

// The objects of an org that can be customised (EntityDefinition), for the object step of the
// selection screen and for the compare, which needs to know which objects the target has.

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

inline constexpr std::string_view kObjectListingQuery =
    "SELECT QualifiedApiName, Label, NamespacePrefix, IsCustomizable FROM EntityDefinition WHERE IsCustomizable = "
    "true ORDER BY QualifiedApiName";

// Built per call; borrows the gateway.
class ObjectCatalog {
public:
    ObjectCatalog(const SfCliGateway& gateway, std::chrono::milliseconds timeout) noexcept
        : gateway_(&gateway), timeout_(timeout) {}

    // The customizable objects in the order the org returned them (by API name). A blank alias is a
    // programming error ("Source alias must not be blank"); one holding a control character is refused
    // with "An org alias must not contain control characters." before anything runs. A listing that
    // the CLI cut short fails.
    std::expected<std::vector<SalesforceObject>, CatalogError> list_objects(
        std::string_view alias, const domain::CancellationToken& token) const;

private:
    const SfCliGateway* gateway_;
    std::chrono::milliseconds timeout_;
};

}  // namespace ambrel::cli::catalogs
