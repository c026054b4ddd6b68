#include "cli/login.hpp"

#include <array>

#include <fmt/format.h>

#include "cli/catalog_results.hpp"
#include "cli/gateway.hpp"
#include "text/text.hpp"

namespace ambrel::cli {
namespace {

constexpr std::string_view kLabel = "org login command";
constexpr std::string_view kGuidance = "Retry the login from the selection screen.";
constexpr std::size_t kMaxAliasChars = 255;

constexpr std::string_view kHttps = "https://";
// Salesforce serves an org's Lightning Experience pages under this domain, its My Domain under the
// second one.
constexpr std::string_view kLightningDomain = ".lightning.force.com";
constexpr std::string_view kMyDomainSuffix = ".my.salesforce.com";
constexpr std::string_view kExampleAddress = "https://acme.my.salesforce.com";

constexpr std::string_view kCancelled = "The org login was cancelled. You can close the browser tab it opened.";
constexpr std::string_view kTimedOut =
    "The browser sign-in was not completed within 10 minutes. Retry when you are ready to finish it in the browser.";
constexpr std::string_view kHeadless =
    "A browser login is not available in this environment. Authenticate the org in a terminal instead.";
constexpr std::string_view kPortInUse =
    "Another Salesforce login is already running on the local OAuth port. Wait for it to finish, then retry.";

CatalogError sentence(std::string_view text) { return CatalogError::Message{std::string(text)}; }

struct FailureGroup {
    std::array<std::string_view, 3> markers;
    std::string_view sentence;
};

// Tested in this order; the first group with a marker in the CLI's failure wins. The real CLI names
// its time-out "AuthTimeoutError".
constexpr std::array<FailureGroup, 3> kFailureGroups = {{
    {{"headlessWebAuth", "DEVICE_WARNING", "headless environment"}, kHeadless},
    {{"portInUse", "OAuth redirect server", ""}, kPortInUse},
    {{"authTimeout", "AUTH_TIMEOUT", "AuthTimeoutError"}, kTimedOut},
}};

std::optional<std::string_view> alias_refusal(std::string_view alias) {
    if (alias.empty()) return "Enter a name for the new org alias.";
    if (text::contains_white_space(alias)) return "An org alias must not contain spaces or tabs.";
    if (text::contains_control(alias)) return catalogs::kAliasControlRefusal;
    if (text::has_more_chars_than(alias, kMaxAliasChars)) return "An org alias must be 255 characters or shorter.";
    return std::nullopt;
}

}  // namespace

namespace login {

std::expected<std::string, CatalogError> validate_instance_url(std::string_view url) {
    const std::string_view trimmed = text::trim(url);
    if (!trimmed.starts_with(kHttps)) return std::unexpected(sentence("The instance URL must start with https://."));
    // The address is an argument of the login command, which can never carry a NUL; no address needs
    // any other control character either.
    if (text::contains_control(trimmed)) {
        return std::unexpected(sentence("The instance URL must not contain control characters."));
    }
    const std::string_view rest = trimmed.substr(kHttps.size());
    if (rest.find('@') != std::string_view::npos) {
        return std::unexpected(sentence(fmt::format(
            "The instance URL must not carry a user name or a password. Enter the host alone, for example {}.",
            kExampleAddress)));
    }
    const std::string_view host = text::trim(rest.substr(0, rest.find_first_of("/?#")));
    if (host.empty()) return std::unexpected(sentence("The instance URL must contain a host name."));
    if (text::to_ascii_lower(host).find(kLightningDomain) != std::string::npos) {
        return std::unexpected(sentence(
            fmt::format("Enter the My Domain URL of the org (\u2026{}), not its Lightning URL.", kMyDomainSuffix)));
    }
    return std::string(trimmed);
}

std::expected<std::string, CatalogError> login_required_text(const json::Object& object, std::string_view member) {
    const auto value = json::get_string(object, member);
    if (!value || text::is_blank(*value)) {
        return std::unexpected(
            catalogs::malformed_catalog_response(kLabel, kGuidance, fmt::format("result.{} must be non-blank text", member)));
    }
    return std::string(*value);
}

}  // namespace login

std::expected<CreatedOrgAlias, CatalogError> OrgLoginService::create_alias(
    std::string_view alias, std::string_view instance_url, std::span<const endpoint::OrgAlias> known_aliases,
    const domain::CancellationToken& token) const {
    const std::string_view trimmed = text::trim(alias);
    if (auto refusal = alias_refusal(trimmed)) return std::unexpected(sentence(*refusal));
    const std::string lower = text::to_lower(trimmed);
    for (const endpoint::OrgAlias& known : known_aliases) {
        if (text::to_lower(known.alias) == lower) {
            return std::unexpected(sentence(
                fmt::format("Alias \"{}\" already exists. Choose another name, or reload orgs.", trimmed)));
        }
    }
    // The alias is an argument of its own, but the CLI would read one that begins with "-" as a flag.
    if (trimmed.starts_with('-')) return std::unexpected(sentence("An org alias must not start with a hyphen."));
    auto url = login::validate_instance_url(instance_url);
    if (!url) return std::unexpected(std::move(url.error()));

    auto answer = gateway_->execute_inner(
        {"org", "login", "web", "--alias", std::string(trimmed), "--instance-url", *url, "--no-prompt"}, std::nullopt,
        timeout_, token, {{"SF_WEB_OAUTH_SERVER_TIMEOUT", "600000"}, {"SF_TEMP_SHOW_SECRETS", "false"}});
    if (!answer) {
        const CliError& error = answer.error();
        if (error.is_cancelled()) return std::unexpected(sentence(kCancelled));
        const auto* no_json = error.get_if<CliError::NoJson>();
        const auto* malformed = error.get_if<CliError::MalformedJson>();
        if ((no_json != nullptr && no_json->timed_out) || (malformed != nullptr && malformed->timed_out)) {
            return std::unexpected(sentence(kTimedOut));
        }
        return std::unexpected(CatalogError(error));
    }
    if (answer->timed_out) return std::unexpected(sentence(kTimedOut));

    auto document = catalogs::require_successful_catalog_command(*answer, kLabel, kGuidance);
    if (!document) {
        const std::string failure = document.error().message();
        for (const FailureGroup& group : kFailureGroups) {
            for (std::string_view marker : group.markers) {
                if (!marker.empty() && failure.find(marker) != std::string::npos) {
                    return std::unexpected(sentence(group.sentence));
                }
            }
        }
        return std::unexpected(std::move(document.error()));
    }

    const json::Value* result = json::find(document->get(), "result");
    const json::Object* result_object = result != nullptr ? json::as_object(*result) : nullptr;
    if (result_object == nullptr) {
        return std::unexpected(
            catalogs::malformed_catalog_response(kLabel, kGuidance, "result is missing or is not an object"));
    }
    auto username = login::login_required_text(*result_object, "username");
    if (!username) return std::unexpected(std::move(username.error()));
    auto org_id = login::login_required_text(*result_object, "orgId");
    if (!org_id) return std::unexpected(std::move(org_id.error()));
    return CreatedOrgAlias{std::string(trimmed), std::move(*username), std::move(*org_id)};
}

}  // namespace ambrel::cli
