#include "deployment/fls_catalog/fls_catalog.hpp"

#include <fmt/format.h>
#include <re2/re2.h>

#include <algorithm>
#include <tuple>

#include "support/programming_error.hpp"
#include "text/text.hpp"

namespace ambrel::deployment::fls_catalog {
namespace {

using domain::FlsContainer;
using domain::FlsContainerKind;

constexpr std::string_view kNoResultObject = "Salesforce query response has no result object";
constexpr std::string_view kNoRecords = "Salesforce query response has no result.records";
constexpr std::string_view kNonObjectRecord = "Salesforce query returned a non-object record";
constexpr std::string_view kInvalidRecords = "Salesforce query returned invalid result.records";
constexpr std::string_view kNoDone = "Salesforce query response has no valid result.done";
constexpr std::string_view kNoTotalSize = "Salesforce query response has no valid result.totalSize";
constexpr std::string_view kMalformedWarnings = "Salesforce query response has malformed warnings";
constexpr std::string_view kIncomplete = "Salesforce {} query result is incomplete or truncated";
constexpr std::string_view kNoValidId = "PermissionSet record has no valid Id";
constexpr std::string_view kNoValidBoolean = "Salesforce record has no valid {} boolean";
constexpr std::string_view kNoProfileRelationship = "Profile-owned PermissionSet record has no Profile relationship";
constexpr std::string_view kNoProfileName = "Profile-owned PermissionSet record has no Profile.Name";
constexpr std::string_view kNoName = "PermissionSet record has no Name";
constexpr std::string_view kNoField = "Salesforce record has no {} field";
constexpr std::string_view kInvalidText = "Salesforce record has invalid {} text";
constexpr std::string_view kCouldNotQuery = "Could not query Salesforce {}.";
constexpr std::string_view kInvalidQueryResponse = "Salesforce CLI returned an invalid {} query response.";
constexpr std::string_view kQueryFailed = "Salesforce {} query failed.";
constexpr std::string_view kCouldNotList = "Could not list retrievable {} metadata.";
constexpr std::string_view kInvalidInventory = "Salesforce CLI returned an invalid {} metadata inventory.";
constexpr std::string_view kInventoryFailed = "Salesforce {} metadata inventory failed.";
constexpr std::string_view kNoWarningsArray = "Salesforce {} metadata inventory has no warnings array";
constexpr std::string_view kInventoryWarnings = "Salesforce {} metadata inventory contains warnings";
constexpr std::string_view kNoResultArray = "Salesforce {} metadata inventory has no result array";
constexpr std::string_view kNonObjectListing = "Salesforce {} inventory returned a non-object";
constexpr std::string_view kNoListedType = "{} inventory record has no valid type";
constexpr std::string_view kOtherType = "Salesforce {} inventory returned a different metadata type";
constexpr std::string_view kNoListedFullName = "{} inventory record has no valid fullName";
constexpr std::string_view kNothingListed = "No metadata found for type: {} in org: ";
constexpr std::string_view kBlankLicenseUser = "The target org username is empty, so its licenses cannot be listed.";
constexpr std::string_view kBlankPermissionSetUser =
    "The target org username is empty, so its Permission Sets cannot be listed.";
constexpr std::string_view kNoLicenses = "Salesforce license query returned no records";
constexpr std::string_view kNoLicenseName = "License record has no valid name";
constexpr std::string_view kDiagnosticKeys[] = {"name", "problem", "message", "errorCode", "statusCode"};

re2::StringPiece piece(std::string_view text) { return re2::StringPiece(text.data(), text.size()); }

// Compiled once, on first use, for the whole process.
const re2::RE2& permission_set_id() {
    static const re2::RE2 pattern{piece(kPermissionSetIdPattern)};
    return pattern;
}
const re2::RE2& embedded_secret_assignment() {
    static const re2::RE2 pattern{piece(kEmbeddedSecretAssignmentPattern)};
    return pattern;
}
const re2::RE2& whitespace_run() {
    static const re2::RE2 pattern{piece(kWhitespaceRunPattern)};
    return pattern;
}

// Every credential assignment's value becomes "[REDACTED]"; a value the gateway's redaction already
// replaced is left as it stands, so it is not redacted twice into "[REDACTED]]\"".
std::string redact_assignments(const std::string& input) {
    std::string out;
    re2::StringPiece rest(input);
    re2::StringPiece match[2];
    const auto& pattern = embedded_secret_assignment();
    std::size_t copied = 0;
    while (pattern.Match(rest, 0, rest.size(), re2::RE2::UNANCHORED, match, 2)) {
        const std::size_t begin = static_cast<std::size_t>(match[0].data() - input.data());
        const std::size_t value_begin = begin + match[1].size();
        const std::size_t end = begin + match[0].size();
        const std::string_view value(input.data() + value_begin, end - value_begin);
        out.append(input, copied, value_begin - copied);
        if (value.starts_with("\"[REDACTED") || value.starts_with("[REDACTED")) {
            out.append(value);
        } else {
            out.append(cli::gateway::kRedacted);
        }
        copied = end;
        rest = re2::StringPiece(input.data() + end, input.size() - end);
        if (match[0].empty()) break;
    }
    out.append(input, copied, std::string::npos);
    return out;
}

std::string format(std::string_view pattern, std::string_view value) { return fmt::format(fmt::runtime(pattern), value); }

std::vector<std::string> query_args(std::string_view soql, const std::string& alias) {
    return {"data", "query", "--query", std::string(soql), "--target-org", alias};
}

bool is_successful(const cli::CliJsonResult& answer) {
    const auto* object = json::as_object(answer.json);
    if (object == nullptr) return false;
    const auto* status = json::find(*object, "status");
    if (status == nullptr || !json::is_integer(*status)) return false;
    const auto value = json::as_int64(*status);
    return value && *value == 0 && answer.exit_code == 0 && !answer.timed_out;
}

void collect(const json::Value& value, std::vector<std::string>& out) {
    if (const auto* object = json::as_object(value)) {
        for (const auto& member : *object) {
            const std::string_view key(member.key().data(), member.key().size());
            if (const auto text = json::as_string(member.value())) {
                for (const auto wanted : kDiagnosticKeys) {
                    if (text::equals_ascii_case_insensitive(key, wanted)) {
                        out.emplace_back(*text);
                        break;
                    }
                }
            } else {
                collect(member.value(), out);
            }
        }
    } else if (const auto* array = json::as_array(value)) {
        for (const auto& element : *array) collect(element, out);
    }
}

std::string first_chars(std::string_view value, std::size_t count) { return std::string(text::first_chars(value, count)); }

}  // namespace

std::string append_detail(std::string_view message, const std::optional<std::string>& detail) {
    if (detail && !text::is_blank(*detail)) return fmt::format("{} {}", message, *detail);
    return std::string(message);
}

std::vector<std::string> collect_diagnostic_texts(const json::Value& value) {
    std::vector<std::string> out;
    collect(value, out);
    return out;
}

std::string SfFlsContainerCatalog::safe_text(std::string_view value) {
    std::string cleaned = cli::SfCliGateway::sanitize(value);
    cleaned = redact_assignments(cleaned);
    re2::RE2::GlobalReplace(&cleaned, whitespace_run(), " ");
    return first_chars(text::trim(cleaned), kMaxDetailChars);
}

std::string SfFlsContainerCatalog::safe_failure(std::string_view value) {
    std::string cleaned = safe_text(value);
    return cleaned.empty() ? std::string(kUnknownError) : cleaned;
}

std::optional<std::string> SfFlsContainerCatalog::diagnostic_protocol(std::string_view stdout_text,
                                                                      std::string_view stderr_text) {
    if (auto cleaned = safe_text(stderr_text); !cleaned.empty()) return cleaned;
    if (auto cleaned = safe_text(stdout_text); !cleaned.empty()) return cleaned;
    return std::nullopt;
}

std::optional<std::string> SfFlsContainerCatalog::diagnostic_result(const cli::CliJsonResult& answer) {
    std::vector<std::string> candidates = collect_diagnostic_texts(answer.json);
    candidates.push_back(answer.stderr_text);
    candidates.push_back(answer.stdout_text);
    for (const auto& candidate : candidates) {
        if (auto cleaned = safe_text(candidate); !cleaned.empty()) return cleaned;
    }
    return std::nullopt;
}

SfFlsContainerCatalog::Attempt SfFlsContainerCatalog::attempt(const std::vector<std::string>& arguments,
                                                               const Sentences& sentences,
                                                               const domain::CancellationToken& token) const {
    auto run = gateway_->execute_inner(arguments, std::nullopt, timeout_, token);
    if (!run) {
        const auto& error = run.error();
        if (error.is_cancelled()) return {std::unexpected(FlsCatalogError::cancelled()), false};
        if (const auto* process = error.get_if<cli::CliError::Process>()) {
            return {std::unexpected(FlsCatalogError::query_failed(
                        fmt::format("{} {}", sentences.final_failure, safe_failure(process->message)))),
                    false};
        }
        std::optional<std::string> detail;
        if (const auto* none = error.get_if<cli::CliError::NoJson>()) {
            detail = diagnostic_protocol(none->stdout_text, none->stderr_text);
        } else if (const auto* malformed = error.get_if<cli::CliError::MalformedJson>()) {
            detail = diagnostic_protocol(malformed->stdout_text, malformed->stderr_text);
        }
        return {std::unexpected(FlsCatalogError::query_failed(append_detail(sentences.invalid_answer, detail))), true};
    }
    if (is_successful(*run)) return {std::move(run->json), false};
    return {std::unexpected(FlsCatalogError::query_failed(append_detail(sentences.failed_answer, diagnostic_result(*run)))),
            true};
}

std::expected<json::Value, FlsCatalogError> SfFlsContainerCatalog::with_retry(const std::vector<std::string>& arguments,
                                                                              const Sentences& sentences,
                                                                              const domain::CancellationToken& token) const {
    Attempt first = attempt(arguments, sentences, token);
    if (first.outcome || !first.retryable) return std::move(first.outcome);
    if (token.is_cancelled()) return std::unexpected(FlsCatalogError::cancelled());
    return std::move(attempt(arguments, sentences, token).outcome);
}

SfFlsContainerCatalog::Attempt SfFlsContainerCatalog::execute_query_attempt(std::string_view soql,
                                                                             const std::string& alias,
                                                                             QueryLabels labels,
                                                                             const domain::CancellationToken& token) const {
    return attempt(query_args(soql, alias),
                   {format(kCouldNotQuery, labels.plural), format(kInvalidQueryResponse, labels.singular),
                    format(kQueryFailed, labels.singular)},
                   token);
}

std::expected<json::Value, FlsCatalogError> SfFlsContainerCatalog::execute_query(
    std::string_view soql, const std::string& alias, QueryLabels labels, const domain::CancellationToken& token) const {
    return with_retry(query_args(soql, alias),
                      {format(kCouldNotQuery, labels.plural), format(kInvalidQueryResponse, labels.singular),
                       format(kQueryFailed, labels.singular)},
                      token);
}

std::expected<json::Value, FlsCatalogError> SfFlsContainerCatalog::execute_inventory(
    std::string_view type, const std::string& alias, const domain::CancellationToken& token) const {
    return with_retry({"org", "list", "metadata", "--metadata-type", std::string(type), "--target-org", alias},
                      {format(kCouldNotList, type), format(kInvalidInventory, type), format(kInventoryFailed, type)},
                      token);
}

std::expected<MetadataInventory, FlsCatalogError> read_inventory(const json::Value& answer, std::string_view type) {
    const auto* envelope = json::as_object(answer);
    const json::Value* warnings = envelope ? json::find(*envelope, "warnings") : nullptr;
    if (warnings == nullptr) return std::unexpected(FlsCatalogError::incomplete(format(kNoWarningsArray, type)));
    const auto* warning_list = json::as_array(*warnings);
    if (warning_list == nullptr) return std::unexpected(FlsCatalogError::incomplete(std::string(kMalformedWarnings)));
    const json::Value* result = json::find(*envelope, "result");
    const auto* listed = result ? json::as_array(*result) : nullptr;
    if (!warning_list->empty()) {
        // An org with nothing of the type answers an empty result with one "No metadata found"
        // warning per type; that is an empty listing, not a defect.
        const std::string nothing = format(kNothingListed, type);
        const bool only_nothing_found =
            listed != nullptr && listed->empty() && std::all_of(warning_list->begin(), warning_list->end(), [&](const auto& w) {
                const auto text = json::as_string(w);
                return text && text->starts_with(nothing);
            });
        if (!only_nothing_found) return std::unexpected(FlsCatalogError::incomplete(format(kInventoryWarnings, type)));
    }
    if (listed == nullptr) return std::unexpected(FlsCatalogError::invalid(format(kNoResultArray, type)));
    MetadataInventory inventory;
    for (const auto& element : *listed) {
        const auto* row = json::as_object(element);
        if (row == nullptr) return std::unexpected(FlsCatalogError::invalid(format(kNonObjectListing, type)));
        const auto listed_type = json::get_string(*row, "type");
        if (!listed_type) return std::unexpected(FlsCatalogError::invalid(format(kNoListedType, type)));
        if (*listed_type != type) return std::unexpected(FlsCatalogError::invalid(format(kOtherType, type)));
        const auto full_name = json::get_string(*row, "fullName");
        if (!full_name) return std::unexpected(FlsCatalogError::invalid(format(kNoListedFullName, type)));
        if (const auto id = json::get_string(*row, "id"); id && !text::is_blank(*id)) {
            inventory.ids.insert_or_assign(first_chars(text::trim(*id), kListedIdPrefixChars), std::string(*full_name));
        }
        inventory.names.insert(std::string(*full_name));
    }
    return inventory;
}

std::expected<MetadataInventory, FlsCatalogError> SfFlsContainerCatalog::metadata_inventory(
    std::string_view type, const std::string& alias, const domain::CancellationToken& token) const {
    auto answer = execute_inventory(type, alias, token);
    if (!answer) return std::unexpected(std::move(answer.error()));
    return read_inventory(*answer, type);
}

std::expected<std::vector<const json::Object*>, FlsCatalogError> complete_records(const json::Value& answer,
                                                                                  std::string_view singular) {
    const auto* envelope = json::as_object(answer);
    const json::Value* result_value = envelope ? json::find(*envelope, "result") : nullptr;
    const auto* result = result_value ? json::as_object(*result_value) : nullptr;
    if (result == nullptr) return std::unexpected(FlsCatalogError::invalid(std::string(kNoResultObject)));
    const json::Value* records_value = json::find(*result, "records");
    if (records_value == nullptr) return std::unexpected(FlsCatalogError::invalid(std::string(kNoRecords)));
    std::vector<const json::Object*> records;
    if (const auto* array = json::as_array(*records_value)) {
        for (const auto& element : *array) {
            const auto* record = json::as_object(element);
            if (record == nullptr) return std::unexpected(FlsCatalogError::invalid(std::string(kNonObjectRecord)));
            records.push_back(record);
        }
    } else if (const auto* single = json::as_object(*records_value)) {
        records.push_back(single);
    } else {
        return std::unexpected(FlsCatalogError::invalid(std::string(kInvalidRecords)));
    }
    const json::Value* done_value = json::find(*result, "done");
    const auto done = done_value ? json::as_bool(*done_value) : std::nullopt;
    if (!done) return std::unexpected(FlsCatalogError::incomplete(std::string(kNoDone)));
    const json::Value* total_value = json::find(*result, "totalSize");
    const auto total = total_value && json::is_integer(*total_value) ? json::as_uint64(*total_value) : std::nullopt;
    if (!total) return std::unexpected(FlsCatalogError::incomplete(std::string(kNoTotalSize)));
    bool warned = false;
    for (const json::Object* holder : {envelope, result}) {
        const json::Value* warnings = json::find(*holder, "warnings");
        if (warnings == nullptr) continue;
        const auto* list = json::as_array(*warnings);
        if (list == nullptr) return std::unexpected(FlsCatalogError::incomplete(std::string(kMalformedWarnings)));
        if (!list->empty()) {
            warned = true;
            break;
        }
    }
    if (!*done || *total != records.size() || warned) {
        return std::unexpected(FlsCatalogError::incomplete(format(kIncomplete, singular)));
    }
    return records;
}

std::expected<std::string, FlsCatalogError> required_text(const json::Object& record, std::string_view field,
                                                          std::string_view message) {
    if (auto value = display_text(record, field)) return std::move(*value);
    return std::unexpected(FlsCatalogError::invalid(std::string(message)));
}

std::optional<std::string> display_text(const json::Object& record, std::string_view field) {
    const auto value = json::get_string(record, field);
    if (!value || text::is_blank(*value)) return std::nullopt;
    return std::string(text::trim(*value));
}

std::optional<std::string> license_name(const json::Object& record) {
    const auto* license = json::get_object(record, "License");
    if (license == nullptr) return std::nullopt;
    if (auto name = display_text(*license, "DeveloperName")) return name;
    return display_text(*license, "Name");
}

std::expected<ContainerRecord, FlsCatalogError> parse_container(const json::Object& record) {
    ContainerRecord out;
    auto id = required_text(record, "Id", kNoValidId);
    if (!id) return std::unexpected(std::move(id.error()));
    if (!re2::RE2::FullMatch(*id, permission_set_id())) {
        return std::unexpected(FlsCatalogError::invalid(std::string(kNoValidId)));
    }
    out.id = std::move(*id);
    const auto owned = json::get_bool(record, "IsOwnedByProfile");
    if (!owned) return std::unexpected(FlsCatalogError::invalid(format(kNoValidBoolean, "IsOwnedByProfile")));
    out.owned_by_profile = *owned;
    if (out.owned_by_profile) {
        const auto* profile = json::get_object(record, "Profile");
        if (profile == nullptr) return std::unexpected(FlsCatalogError::invalid(std::string(kNoProfileRelationship)));
        auto name = required_text(*profile, "Name", kNoProfileName);
        if (!name) return std::unexpected(std::move(name.error()));
        out.name = *name;
        out.label = std::move(*name);
        out.metadata_id = display_text(record, "ProfileId");
    } else {
        auto name = required_text(record, "Name", kNoName);
        if (!name) return std::unexpected(std::move(name.error()));
        out.name = std::move(*name);
        out.label = display_text(record, "Label");
        out.metadata_id = out.id;
    }
    const json::Value* prefix = json::find(record, "NamespacePrefix");
    if (prefix == nullptr) return std::unexpected(FlsCatalogError::invalid(format(kNoField, "NamespacePrefix")));
    if (!prefix->is_null()) {
        const auto prefix_text = json::as_string(*prefix);
        if (!prefix_text) return std::unexpected(FlsCatalogError::invalid(format(kInvalidText, "NamespacePrefix")));
        if (!text::is_blank(*prefix_text)) out.namespace_prefix = std::string(text::trim(*prefix_text));
    }
    out.license = license_name(record);
    return out;
}

std::tuple<std::string, std::string, std::string, std::string> container_sort_key(const FlsContainer& container) {
    return {text::to_lower(container.api_name), container.api_name, std::string(domain::wire_id(container.kind)),
            container.id};
}

std::expected<std::vector<FlsContainer>, FlsCatalogError> SfFlsContainerCatalog::containers(
    const std::string& alias, const domain::CancellationToken& token) const {
    support::require(!text::is_blank(alias), kBlankAlias);
    if (token.is_cancelled()) return std::unexpected(FlsCatalogError::cancelled());
    auto answer = execute_query(kContainerQuery, alias, kContainerLabels, token);
    if (!answer) return std::unexpected(std::move(answer.error()));
    auto records = complete_records(*answer, kContainerLabels.singular);
    if (!records) return std::unexpected(std::move(records.error()));
    std::vector<ContainerRecord> parsed;
    for (const auto* record : *records) {
        auto container = parse_container(*record);
        if (!container) return std::unexpected(std::move(container.error()));
        parsed.push_back(std::move(*container));
    }
    if (parsed.empty()) return std::vector<FlsContainer>{};

    if (token.is_cancelled()) return std::unexpected(FlsCatalogError::cancelled());
    auto permission_sets = metadata_inventory(kPermissionSetType, alias, token);
    if (!permission_sets) return std::unexpected(std::move(permission_sets.error()));
    if (token.is_cancelled()) return std::unexpected(FlsCatalogError::cancelled());
    auto profiles = metadata_inventory(kProfileType, alias, token);
    if (!profiles) return std::unexpected(std::move(profiles.error()));

    std::vector<std::pair<std::tuple<std::string, std::string, std::string, std::string>, FlsContainer>> keyed;
    for (auto& record : parsed) {
        const MetadataInventory& inventory = record.owned_by_profile ? *profiles : *permission_sets;
        FlsContainer container;
        const auto listed = record.metadata_id && !inventory.ids.empty()
                                ? inventory.ids.find(first_chars(*record.metadata_id, kListedIdPrefixChars))
                                : inventory.ids.end();
        if (listed != inventory.ids.end()) {
            container.api_name = listed->second;
            container.retrievable = true;
        } else {
            container.api_name = record.name;
            container.retrievable = inventory.names.contains(record.name);
        }
        container.label = record.label ? *record.label : container.api_name;
        container.id = std::move(record.id);
        container.namespace_prefix = std::move(record.namespace_prefix);
        container.license_name = std::move(record.license);
        container.kind = record.owned_by_profile ? FlsContainerKind::Profile : FlsContainerKind::PermissionSet;
        auto key = container_sort_key(container);
        keyed.emplace_back(std::move(key), std::move(container));
    }
    std::stable_sort(keyed.begin(), keyed.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<FlsContainer> out;
    out.reserve(keyed.size());
    for (auto& [key, container] : keyed) out.push_back(std::move(container));
    return out;
}

std::expected<std::set<std::string>, FlsCatalogError> SfFlsContainerCatalog::license_names(
    const std::string& username, const domain::CancellationToken& token) const {
    if (text::is_blank(username)) return std::unexpected(FlsCatalogError::query_failed(std::string(kBlankLicenseUser)));
    std::set<std::string> names;
    struct Source {
        std::string_view soql;
        std::string_view field;
        bool may_be_empty;
    };
    // An org may hold no Permission Set Licence at all; every org has user licences.
    for (const Source source : {Source{kPermissionSetLicenseQuery, "DeveloperName", true},
                                Source{kUserLicenseQuery, "Name", false}}) {
        if (token.is_cancelled()) return std::unexpected(FlsCatalogError::cancelled());
        auto answer = execute_query(source.soql, username, kLicenseLabels, token);
        if (!answer) return std::unexpected(std::move(answer.error()));
        auto records = complete_records(*answer, kLicenseLabels.singular);
        if (!records) return std::unexpected(std::move(records.error()));
        if (records->empty() && !source.may_be_empty) {
            return std::unexpected(FlsCatalogError::invalid(std::string(kNoLicenses)));
        }
        for (const auto* record : *records) {
            auto name = required_text(*record, source.field, kNoLicenseName);
            if (!name) return std::unexpected(std::move(name.error()));
            names.insert(std::move(*name));
        }
    }
    return names;
}

std::expected<std::vector<std::string>, FlsCatalogError> SfFlsContainerCatalog::permission_set_names(
    const std::string& username, const domain::CancellationToken& token) const {
    if (text::is_blank(username)) {
        return std::unexpected(FlsCatalogError::query_failed(std::string(kBlankPermissionSetUser)));
    }
    if (token.is_cancelled()) return std::unexpected(FlsCatalogError::cancelled());
    auto answer = execute_query(kContainerQuery, username, kContainerLabels, token);
    if (!answer) return std::unexpected(std::move(answer.error()));
    auto records = complete_records(*answer, kContainerLabels.singular);
    if (!records) return std::unexpected(std::move(records.error()));
    std::set<std::string> names;
    for (const auto* record : *records) {
        auto container = parse_container(*record);
        if (!container) return std::unexpected(std::move(container.error()));
        if (container->owned_by_profile) continue;
        names.insert(container->namespace_prefix ? fmt::format("{}__{}", *container->namespace_prefix, container->name)
                                                 : container->name);
    }
    return std::vector<std::string>(names.begin(), names.end());
}

}  // namespace ambrel::deployment::fls_catalog
