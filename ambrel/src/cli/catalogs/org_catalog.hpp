#pragma once

// The Salesforce orgs that the local `sf` installation is authenticated to and that carry an alias,
// read from "org list" and validated strictly: an answer of another shape fails the whole listing.

#include <chrono>
#include <expected>
#include <vector>

#include "cli/catalog_error.hpp"
#include "domain/cancellation.hpp"
#include "endpoint/org_alias.hpp"

namespace ambrel::cli {
class SfCliGateway;
class SfCliPrerequisiteChecker;
}  // namespace ambrel::cli

namespace ambrel::cli::catalogs {

inline constexpr std::string_view kOrgCatalogLabel = "org catalog command";
inline constexpr std::string_view kOrgCatalogGuidance =
    "Run 'sf org list --json' to verify local org authentication, then retry.";

// Built per call; borrows the gateway (and the checker), which must outlive it.
class OrgCatalog {
public:
    OrgCatalog(const SfCliPrerequisiteChecker* prerequisites, const SfCliGateway& gateway,
               std::chrono::milliseconds timeout) noexcept
        : prerequisites_(prerequisites), gateway_(&gateway), timeout_(timeout) {}

    // The aliased orgs, unique by alias and sorted by the alias's lower-case form (then by the alias
    // itself); the prerequisite check runs first when the catalogue holds a checker.
    std::expected<std::vector<endpoint::OrgAlias>, CatalogError> list_aliases(
        const domain::CancellationToken& token) const;

private:
    const SfCliPrerequisiteChecker* prerequisites_;
    const SfCliGateway* gateway_;
    std::chrono::milliseconds timeout_;
};

}  // namespace ambrel::cli::catalogs
