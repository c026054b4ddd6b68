#pragma once

// Adding an org from the selection screen: the new alias and the org's My Domain address are
// checked, the CLI's web login opens the browser and waits for the sign-in, and the new org's
// username and id are read from its answer. Every way the sign-in can go wrong ends in one fixed
// sentence that tells the user what to do.

#include <chrono>
#include <expected>
#include <span>
#include <string>
#include <string_view>

#include "cli/catalog_error.hpp"
#include "domain/cancellation.hpp"
#include "endpoint/org_alias.hpp"
#include "json/json.hpp"

namespace ambrel::cli {

class SfCliGateway;

struct CreatedOrgAlias {
    // As entered, trimmed of white space.
    std::string alias;
    std::string username;
    std::string org_id;

    friend bool operator==(const CreatedOrgAlias&, const CreatedOrgAlias&) = default;
};

// Built per call; borrows the gateway.
class OrgLoginService {
public:
    OrgLoginService(const SfCliGateway& gateway, std::chrono::milliseconds timeout) noexcept
        : gateway_(&gateway), timeout_(timeout) {}

    // Checks the alias (not blank, no white space or control character, at most 255 characters, not
    // already known ignoring case, not beginning with "-") and the address before anything runs, then
    // runs "org login web" and reads the new org from its answer.
    std::expected<CreatedOrgAlias, CatalogError> create_alias(std::string_view alias, std::string_view instance_url,
                                                              std::span<const endpoint::OrgAlias> known_aliases,
                                                              const domain::CancellationToken& token) const;

private:
    const SfCliGateway* gateway_;
    std::chrono::milliseconds timeout_;
};

namespace login {

// The address, trimmed, when it is an https address without control characters, with a host, without
// user information and not a Lightning Experience address; otherwise the sentence that says what is
// wrong.
std::expected<std::string, CatalogError> validate_instance_url(std::string_view url);

// The member's text when it is text that is not blank; otherwise the login's invalid-response
// sentence with the detail "result.{member} must be non-blank text".
std::expected<std::string, CatalogError> login_required_text(const json::Object& object, std::string_view member);

}  // namespace login

}  // namespace ambrel::cli
