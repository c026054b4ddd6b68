#pragma once

// The schema of one object in one org, through the CLI's sobject describe command. An object that
// the org does not have is a normal answer (none), so callers can probe for optional objects.

#include <chrono>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cli/catalog_error.hpp"
#include "data/schema.hpp"
#include "domain/cancellation.hpp"

namespace ambrel::cli {

class SfCliGateway;

namespace describe {

// "sobject", "describe", "--sobject", the object, "--target-org", the alias.
std::vector<std::string> describe_arguments(std::string_view alias, std::string_view object_name);

}  // namespace describe

// Built per call; borrows the gateway.
class SObjectDescribeCatalog {
public:
    SObjectDescribeCatalog(const SfCliGateway& gateway, std::chrono::milliseconds timeout) noexcept
        : gateway_(&gateway), timeout_(timeout) {}

    // None when the CLI answers NOT_FOUND (its error "name" or "data"."errorCode"), and without a run
    // for an object name holding a control character, which no org has. A blank alias ("Org alias must
    // not be blank") or object name ("Object name must not be blank") is a programming error; an alias
    // holding a control character is refused ("An org alias must not contain control characters.").
    std::expected<std::optional<data::schema::ObjectSchema>, CatalogError> describe(
        std::string_view alias, std::string_view object_name, const domain::CancellationToken& token) const;

private:
    const SfCliGateway* gateway_;
    std::chrono::milliseconds timeout_;
};

}  // namespace ambrel::cli
