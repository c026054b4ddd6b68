#include "data/permission_carrier/profile_carrier.hpp"

#include "cli/catalog_results.hpp"
#include "cli/catalogs/org_catalog.hpp"
#include "cli/gateway.hpp"
#include "cli/record_keys.hpp"
#include "text/text.hpp"

namespace ambrel::data::permission_carrier {

namespace {

std::optional<std::string> non_blank_text(const json::Object& object, std::string_view key) {
    const auto value = json::get_string(object, key);
    if (!value || text::is_blank(*value)) return std::nullopt;
    return std::string(*value);
}

const json::Array* result_array(const json::Value& answer) {
    const json::Value* result = json::find(answer, "result");
    return result != nullptr ? json::as_array(*result) : nullptr;
}

}  // namespace

std::vector<std::string> profile_listing_arguments(std::string_view alias) {
    return {"org", "list", "metadata", "--metadata-type", "Profile", "--target-org", std::string(alias)};
}

std::vector<std::string> alias_listing_arguments() { return {"alias", "list"}; }

std::expected<std::vector<ProfileListingEntry>, cli::CatalogError> parse_profile_listing(const json::Value& answer) {
    const json::Array* items = result_array(answer);
    if (items == nullptr) {
        return std::unexpected(cli::catalogs::malformed_catalog_response(
            kProfileListingLabel, kGuidance, "result is missing or is not an array of metadata entries"));
    }
    std::vector<ProfileListingEntry> entries;
    for (const json::Value& item : *items) {
        const json::Object* object = json::as_object(item);
        if (object == nullptr) continue;
        auto full_name = non_blank_text(*object, "fullName");
        if (!full_name) continue;
        entries.push_back(ProfileListingEntry{std::move(*full_name), non_blank_text(*object, "id")});
    }
    return entries;
}

std::optional<std::string> profile_full_name_for_id(std::span<const ProfileListingEntry> entries,
                                                    std::string_view profile_id) {
    const std::string_view wanted = text::first_chars(profile_id, kIdPrefixLength);
    for (const ProfileListingEntry& entry : entries) {
        if (!entry.id || text::first_chars(*entry.id, kIdPrefixLength) != wanted) continue;
        if (entry.full_name.find('%') != std::string::npos) return std::nullopt;
        return entry.full_name;
    }
    return std::nullopt;
}

std::expected<std::optional<std::string>, cli::CatalogError> parse_alias_listing(const json::Value& answer,
                                                                                 std::string_view alias) {
    const json::Array* items = result_array(answer);
    if (items == nullptr) {
        return std::unexpected(cli::catalogs::malformed_catalog_response(
            kAliasListingLabel, kGuidance, "result is missing or is not an array of alias entries"));
    }
    for (const json::Value& item : *items) {
        const json::Object* object = json::as_object(item);
        if (object == nullptr || json::get_string(*object, "alias") != std::optional<std::string_view>(alias)) continue;
        return non_blank_text(*object, "value");
    }
    return std::optional<std::string>{};
}

std::expected<std::optional<std::string>, cli::CatalogError> ProfileCarrierCatalog::username_of(
    std::string_view alias, const domain::CancellationToken& cancel) const {
    const cli::catalogs::OrgCatalog orgs(nullptr, *gateway_, timeout_);
    auto listed = orgs.list_aliases(cancel);
    if (!listed) return std::unexpected(std::move(listed.error()));
    for (const endpoint::OrgAlias& org : *listed) {
        if (org.alias == alias) return org.username;
    }
    // The org list shows only the latest alias of a user; a user name also names the org.
    for (const endpoint::OrgAlias& org : *listed) {
        if (org.username == alias) return org.username;
    }
    auto answer = gateway_->execute_inner(alias_listing_arguments(), std::nullopt, timeout_, cancel);
    if (!answer) return std::unexpected(cli::CatalogError(std::move(answer.error())));
    auto document = cli::catalogs::require_successful_catalog_command(*answer, kAliasListingLabel, kGuidance);
    if (!document) return std::unexpected(std::move(document.error()));
    return parse_alias_listing(document->get(), alias);
}

std::expected<std::optional<std::string>, cli::CatalogError> ProfileCarrierCatalog::running_user_profile_full_name(
    std::string_view alias, const domain::CancellationToken& cancel) const {
    auto username = username_of(alias, cancel);
    if (!username) return std::unexpected(std::move(username.error()));
    if (!*username) return std::optional<std::string>{};

    const cli::RecordKeyCatalog records(*gateway_, timeout_, timeout_);
    auto profile_id = records.running_user_profile_id(alias, **username, cancel);
    if (!profile_id) return std::unexpected(std::move(profile_id.error()));
    if (!*profile_id) return std::optional<std::string>{};

    auto answer = gateway_->execute_inner(profile_listing_arguments(alias), std::nullopt, timeout_, cancel);
    if (!answer) return std::unexpected(cli::CatalogError(std::move(answer.error())));
    auto document = cli::catalogs::require_successful_catalog_command(*answer, kProfileListingLabel, kGuidance);
    if (!document) return std::unexpected(std::move(document.error()));
    auto entries = parse_profile_listing(document->get());
    if (!entries) return std::unexpected(std::move(entries.error()));
    return profile_full_name_for_id(*entries, **profile_id);
}

}  // namespace ambrel::data::permission_carrier
