#pragma once

// The full name of the profile of the user as whom the Salesforce CLI is signed in to an org: the
// profile that org preparation grants access to the external-id field it creates. The user name comes
// from the org list (the entry carrying the alias, else an entry whose user name is the given text,
// else the CLI's alias list, since the org list shows only the most recently added alias of a user);
// the profile Id from a SOQL query of that user; the full name from the Profile metadata listing,
// matched on the first 15 characters of the Id. "No profile" is no failure: the alias or user is not
// found, the user has no profile Id, no listed profile has it, or its full name holds a "%".
//
// Failures are catalogue errors of the CLI calls, unchanged; the listings' own:
// - "Salesforce CLI failed ..." sentences of require_successful_catalog_command with the labels
//   "profile listing command" and "alias listing command" and the guidance "Check that the org is
//   reachable and retry.";
// - "Salesforce CLI profile listing command returned an invalid response: result is missing or is
//   not an array of metadata entries. Check that the org is reachable and retry." (and the same for the
//   alias listing command with "alias entries").
//
// Thread-safety: borrows the gateway; each call stands alone.

#include <chrono>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "cli/catalog_error.hpp"
#include "domain/cancellation.hpp"
#include "json/json.hpp"

namespace ambrel::cli {
class SfCliGateway;
}

namespace ambrel::data::permission_carrier {

inline constexpr std::string_view kProfileListingLabel = "profile listing command";
inline constexpr std::string_view kAliasListingLabel = "alias listing command";
inline constexpr std::string_view kGuidance = "Check that the org is reachable and retry.";
// Characters of a Salesforce Id that identify it in both its 15- and 18-character forms.
inline constexpr std::size_t kIdPrefixLength = 15;
inline constexpr std::chrono::seconds kDefaultTimeout{120};

struct ProfileListingEntry {
    // As listed (not trimmed).
    std::string full_name;
    std::optional<std::string> id;

    friend bool operator==(const ProfileListingEntry&, const ProfileListingEntry&) = default;
};

// "org", "list", "metadata", "--metadata-type", "Profile", "--target-org", alias.
std::vector<std::string> profile_listing_arguments(std::string_view alias);

// The entries with a non-blank "fullName", in listing order; "id" kept when it is non-blank text.
std::expected<std::vector<ProfileListingEntry>, cli::CatalogError> parse_profile_listing(const json::Value& answer);

// The full name of the first entry whose Id starts like the profile Id (15 characters); none when no
// entry matches or the matching full name contains "%".
std::optional<std::string> profile_full_name_for_id(std::span<const ProfileListingEntry> entries,
                                                    std::string_view profile_id);

// "alias", "list".
std::vector<std::string> alias_listing_arguments();

// The user name ("value") of the alias-list entry whose "alias" equals the alias exactly.
std::expected<std::optional<std::string>, cli::CatalogError> parse_alias_listing(const json::Value& answer,
                                                                                 std::string_view alias);

// Borrows the gateway, which must outlive it.
class ProfileCarrierCatalog {
public:
    ProfileCarrierCatalog(const cli::SfCliGateway& gateway, std::chrono::milliseconds timeout) noexcept
        : gateway_(&gateway), timeout_(timeout) {}

    std::expected<std::optional<std::string>, cli::CatalogError> running_user_profile_full_name(
        std::string_view alias, const domain::CancellationToken& cancel) const;

private:
    std::expected<std::optional<std::string>, cli::CatalogError> username_of(
        std::string_view alias, const domain::CancellationToken& cancel) const;

    const cli::SfCliGateway* gateway_;
    std::chrono::milliseconds timeout_;
};

}  // namespace ambrel::data::permission_carrier
