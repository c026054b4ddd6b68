#pragma once

// The permission containers of an org, asked through the `sf` executable: which profiles and
// permission sets can carry field-level security (each marked retrievable or not), which licence
// names the org knows, and which permission set names exist. Every question is one or more SOQL
// queries ("data query") or metadata listings ("org list metadata"); each is tried once more after a
// failure that may pass (no JSON, malformed JSON, a failed answer), never after a cancellation or a
// process that could not run. Answers are checked strictly (complete, untruncated, without
// warnings, every field of the expected type) and nothing partial is ever returned.
//
// Failures are `FlsCatalogError` values whose message is a finished sentence, with a detail taken
// from the CLI's answer where one exists: credentials redacted (the gateway's redaction, then
// embedded "accessToken=..." style assignments), runs of CR/LF/TAB made one space, at most 2,000
// characters. Sentences: "Could not query Salesforce {}." / "Salesforce CLI returned an invalid {}
// query response." / "Salesforce {} query failed." and the listing forms "Could not list retrievable
// {} metadata." / "Salesforce CLI returned an invalid {} metadata inventory." / "Salesforce {}
// metadata inventory failed.", each followed by the detail; the answer checks listed with
// `complete_records`, `parse_container` and `SfFlsContainerCatalog::metadata_inventory`; "The target
// org username is empty, so its licenses cannot be listed."; "The target org username is empty, so
// its Permission Sets cannot be listed."; "Salesforce license query returned no records"; "License
// record has no valid name". A blank alias given to `containers` is a caller fault
// (support::ProgrammingError "Salesforce alias must not be blank").
//
// An org that lists no metadata of a type answers with an empty result and the warning "No metadata
// found for type: {Type} in org: {username}."; such an answer is an empty, valid listing. An org
// without Permission Set Licences has an empty set of them.
//
// Borrows the CLI gateway, which must outlive the catalogue. No state beyond it and the time-out; one
// value may serve any number of calls from any operation thread.

#include <chrono>
#include <cstdint>
#include <expected>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <variant>
#include <vector>

#include "cli/gateway.hpp"
#include "domain/cancellation.hpp"
#include "domain/fls.hpp"
#include "json/json.hpp"

namespace ambrel::deployment::fls_catalog {

inline constexpr std::string_view kContainerQuery =
    "SELECT Id, Name, NamespacePrefix, IsOwnedByProfile, ProfileId, Label, Profile.Name, TYPEOF License WHEN "
    "PermissionSetLicense THEN DeveloperName WHEN UserLicense THEN Name END FROM PermissionSet WHERE Type != 'Group'";
inline constexpr std::string_view kPermissionSetLicenseQuery = "SELECT DeveloperName FROM PermissionSetLicense";
inline constexpr std::string_view kUserLicenseQuery = "SELECT Name FROM UserLicense";
inline constexpr std::string_view kPermissionSetIdPattern = "^0PS[A-Za-z0-9]{12}(?:[A-Za-z0-9]{3})?$";
inline constexpr std::string_view kEmbeddedSecretAssignmentPattern =
    R"((?i)((?:accessToken|refreshToken|authorization|clientSecret|sfdxAuthUrl)\s*[:=]\s*)[^,;\s}\]]+)";
inline constexpr std::string_view kWhitespaceRunPattern = "[\r\n\t]+";
inline constexpr std::size_t kMaxDetailChars = 2000;
inline constexpr std::size_t kListedIdPrefixChars = 15;
inline constexpr std::chrono::seconds kDefaultTimeout{120};
inline constexpr std::string_view kBlankAlias = "Salesforce alias must not be blank";
inline constexpr std::string_view kUnknownError = "unknown error";
inline constexpr std::string_view kPermissionSetType = "PermissionSet";
inline constexpr std::string_view kProfileType = "Profile";

class FlsCatalogError {
public:
    enum class Kind : std::uint8_t { QueryFailed, InvalidResponse, IncompleteResponse, Cancelled };

    static FlsCatalogError query_failed(std::string message) { return {Kind::QueryFailed, std::move(message)}; }
    static FlsCatalogError invalid(std::string message) { return {Kind::InvalidResponse, std::move(message)}; }
    static FlsCatalogError incomplete(std::string message) { return {Kind::IncompleteResponse, std::move(message)}; }
    static FlsCatalogError cancelled() { return {Kind::Cancelled, {}}; }

    Kind kind() const noexcept { return kind_; }
    bool is_cancelled() const noexcept { return kind_ == Kind::Cancelled; }
    // Empty for a cancellation.
    const std::string& message() const noexcept { return message_; }

    friend bool operator==(const FlsCatalogError&, const FlsCatalogError&) = default;

private:
    FlsCatalogError(Kind kind, std::string message) : kind_(kind), message_(std::move(message)) {}
    Kind kind_;
    std::string message_;
};

class FlsContainerCatalog {
public:
    virtual ~FlsContainerCatalog() = default;
    virtual std::expected<std::vector<domain::FlsContainer>, FlsCatalogError> containers(
        const std::string& alias, const domain::CancellationToken& token) const = 0;
};

// The words a query's messages use.
struct QueryLabels {
    std::string_view singular;
    std::string_view plural;
};
inline constexpr QueryLabels kContainerLabels{"permission-container", "permission containers"};
inline constexpr QueryLabels kLicenseLabels{"license", "licenses"};

// One parsed PermissionSet record.
struct ContainerRecord {
    std::string id;
    std::string name;
    std::optional<std::string> metadata_id;
    std::optional<std::string> label;
    std::optional<std::string> namespace_prefix;
    std::optional<std::string> license;
    bool owned_by_profile = false;
    friend bool operator==(const ContainerRecord&, const ContainerRecord&) = default;
};

// What one metadata listing returned; lookups only.
struct MetadataInventory {
    std::unordered_map<std::string, std::string> ids;  // first 15 characters of a listed Id -> full name
    std::unordered_set<std::string> names;
};

// The checked records of a query answer, in answer order.
std::expected<std::vector<const json::Object*>, FlsCatalogError> complete_records(const json::Value& answer,
                                                                                  std::string_view singular);
std::expected<ContainerRecord, FlsCatalogError> parse_container(const json::Object& record);
std::expected<std::string, FlsCatalogError> required_text(const json::Object& record, std::string_view field,
                                                          std::string_view message);
std::optional<std::string> display_text(const json::Object& record, std::string_view field);
std::optional<std::string> license_name(const json::Object& record);
std::string append_detail(std::string_view message, const std::optional<std::string>& detail);
// Text values of members named name, problem, message, errorCode or statusCode (ASCII case
// ignored), depth-first in document order.
std::vector<std::string> collect_diagnostic_texts(const json::Value& value);
// Lower-cased API name, API name, kind wire text, Id.
std::tuple<std::string, std::string, std::string, std::string> container_sort_key(const domain::FlsContainer& container);

// Borrows the gateway, which must outlive it.
class SfFlsContainerCatalog final : public FlsContainerCatalog {
public:
    SfFlsContainerCatalog(const cli::SfCliGateway& gateway, std::chrono::milliseconds timeout = kDefaultTimeout)
        : gateway_(&gateway), timeout_(timeout) {}

    std::expected<std::vector<domain::FlsContainer>, FlsCatalogError> containers(
        const std::string& alias, const domain::CancellationToken& token) const override;
    std::expected<std::set<std::string>, FlsCatalogError> license_names(const std::string& username,
                                                                        const domain::CancellationToken& token) const;
    std::expected<std::vector<std::string>, FlsCatalogError> permission_set_names(
        const std::string& username, const domain::CancellationToken& token) const;

    // One attempt: a success, a failure that may pass on a second attempt, or a final failure.
    struct Attempt {
        std::expected<json::Value, FlsCatalogError> outcome;
        bool retryable = false;
    };
    Attempt execute_query_attempt(std::string_view soql, const std::string& alias, QueryLabels labels,
                                  const domain::CancellationToken& token) const;
    std::expected<json::Value, FlsCatalogError> execute_query(std::string_view soql, const std::string& alias,
                                                              QueryLabels labels,
                                                              const domain::CancellationToken& token) const;
    std::expected<json::Value, FlsCatalogError> execute_inventory(std::string_view type, const std::string& alias,
                                                                  const domain::CancellationToken& token) const;
    std::expected<MetadataInventory, FlsCatalogError> metadata_inventory(std::string_view type, const std::string& alias,
                                                                         const domain::CancellationToken& token) const;

    static std::string safe_text(std::string_view text);
    static std::string safe_failure(std::string_view text);
    static std::optional<std::string> diagnostic_protocol(std::string_view stdout_text, std::string_view stderr_text);
    static std::optional<std::string> diagnostic_result(const cli::CliJsonResult& answer);

private:
    struct Sentences {
        std::string final_failure;
        std::string invalid_answer;
        std::string failed_answer;
    };
    Attempt attempt(const std::vector<std::string>& arguments, const Sentences& sentences,
                    const domain::CancellationToken& token) const;
    std::expected<json::Value, FlsCatalogError> with_retry(const std::vector<std::string>& arguments,
                                                           const Sentences& sentences,
                                                           const domain::CancellationToken& token) const;

    const cli::SfCliGateway* gateway_;
    std::chrono::milliseconds timeout_;
};

// The inventory's reading of a listing answer (checks of the listing step).
std::expected<MetadataInventory, FlsCatalogError> read_inventory(const json::Value& answer, std::string_view type);

}  // namespace ambrel::deployment::fls_catalog
