#pragma once

// What kind of organization an org is (its edition and whether it is a sandbox), for the compare's
// production check.

#include <chrono>
#include <expected>
#include <string>
#include <string_view>

#include "cli/catalog_error.hpp"
#include "domain/cancellation.hpp"

namespace ambrel::cli {
class SfCliGateway;
}

namespace ambrel::cli::catalogs {

inline constexpr std::string_view kOrganizationQuery = "SELECT OrganizationType, IsSandbox FROM Organization LIMIT 1";

struct OrganizationDescription {
    // "OrganizationType" of the first record, unchanged; never blank.
    std::string organization_type;
    bool is_sandbox = false;

    friend bool operator==(const OrganizationDescription&, const OrganizationDescription&) = default;
};

// Built per call; borrows the gateway.
class OrganizationCatalog {
public:
    OrganizationCatalog(const SfCliGateway& gateway, std::chrono::milliseconds timeout) noexcept
        : gateway_(&gateway), timeout_(timeout) {}

    // `org` is an alias or a username; a blank one is a programming error ("Alias must not be blank"),
    // one holding a control character is refused ("An org alias must not contain control characters.").
    std::expected<OrganizationDescription, CatalogError> describe(std::string_view org,
                                                                  const domain::CancellationToken& token) const;

private:
    const SfCliGateway* gateway_;
    std::chrono::milliseconds timeout_;
};

}  // namespace ambrel::cli::catalogs
