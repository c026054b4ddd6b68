#include "cli/schema_catalog.hpp"

#include <deque>
#include <optional>

#include <fmt/format.h>
#include <re2/re2.h>

#include "cli/catalog_results.hpp"
#include "cli/gateway.hpp"
#include "support/programming_error.hpp"
#include "text/text.hpp"

namespace ambrel::cli {
namespace {

using schema_catalog::kRowLimit;

constexpr std::string_view kFieldPrefix =
    "SELECT EntityDefinition.QualifiedApiName, QualifiedApiName FROM FieldDefinition WHERE "
    "EntityDefinition.QualifiedApiName IN ";
constexpr std::string_view kKeyPrefix =
    "SELECT EntityDefinition.QualifiedApiName, QualifiedApiName, DataType FROM FieldDefinition WHERE "
    "EntityDefinition.QualifiedApiName IN ";

SchemaCatalogError::InvalidResponse invalid(std::string_view message) {
    return SchemaCatalogError::InvalidResponse{std::string(message)};
}
SchemaCatalogError::IncompleteResponse incomplete(std::string_view message) {
    return SchemaCatalogError::IncompleteResponse{std::string(message)};
}

const re2::RE2& embedded_secret_assignment() {
    static const re2::RE2 pattern(
        // A quoted value is taken whole, so a value with spaces leaks nothing and a value that the
        // gateway already replaced ("[REDACTED]") is not cut in the middle.
        R"((?i)((?:accessToken|refreshToken|authorization|clientSecret|sfdxAuthUrl)[\s\p{Z}\x{85}]*[:=][\s\p{Z}\x{85}]*)(?:"[^"]*"|[^,;\s\p{Z}\x{85}}\]]+))");
    support::require(pattern.ok(), "EMBEDDED_SECRET_ASSIGNMENT must compile");
    return pattern;
}

std::string with_detail(std::string_view message, const std::optional<std::string>& detail) {
    if (!detail) return std::string(message);
    return fmt::format("{} {}", message, *detail);
}

// The first of standard error and standard output that still says something once made safe.
std::optional<std::string> cli_detail(std::string_view stderr_text, std::string_view stdout_text) {
    for (std::string_view text : {stderr_text, stdout_text}) {
        std::string safe = schema_catalog::safe_text(text);
        if (!safe.empty()) return safe;
    }
    return std::nullopt;
}

bool contains_ci(const std::set<std::string>& names, std::string_view name) {
    for (const std::string& candidate : names) {
        if (text::equals_ascii_case_insensitive(candidate, name)) return true;
    }
    return false;
}

std::expected<std::string, SchemaCatalogError> qualified_api_name(const json::Value* member, std::string_view message);

}  // namespace

bool SchemaListing::knows_object(std::string_view object_name) const { return contains_ci(objects, object_name); }

bool SchemaListing::knows_field(std::string_view object_name, std::string_view field_name) const {
    for (const auto& [object, field] : fields) {
        if (text::equals_ascii_case_insensitive(object, object_name) &&
            text::equals_ascii_case_insensitive(field, field_name)) {
            return true;
        }
    }
    return false;
}

bool ExternalKeyListing::knows_object(std::string_view object_name) const { return contains_ci(objects, object_name); }

const std::set<std::string>& ExternalKeyListing::external_ids_of(std::string_view object_name) const {
    static const std::set<std::string> kNone;
    for (const auto& [object, keys] : external_keys) {
        if (text::equals_ascii_case_insensitive(object, object_name)) return keys;
    }
    return kNone;
}

bool ExternalKeyListing::has_external_id(std::string_view object_name, std::string_view field_name) const {
    for (const auto& [object, keys] : external_keys) {
        if (text::equals_ascii_case_insensitive(object, object_name)) return keys.contains(std::string(field_name));
    }
    return false;
}

std::string SchemaCatalogError::message() const {
    struct Visitor {
        std::string operator()(const FailedListing& value) const { return value.message; }
        std::string operator()(const InvalidResponse& value) const { return value.message; }
        std::string operator()(const IncompleteResponse& value) const { return value.message; }
        std::string operator()(const Cancelled&) const { return "Salesforce field workflow was cancelled"; }
    };
    return std::visit(Visitor{}, variant_);
}

namespace schema_catalog {

bool is_safe_object_name(std::string_view text) noexcept {
    if (text.empty()) return false;
    auto letter = [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); };
    if (!letter(text.front())) return false;
    for (char c : text) {
        if (!letter(c) && !(c >= '0' && c <= '9') && c != '_') return false;
    }
    return true;
}

std::string quoted_list(const std::vector<std::string>& names) {
    std::string out;
    for (const std::string& name : names) {
        if (!out.empty()) out += ", ";
        out += '\'';
        out += name;
        out += '\'';
    }
    return out;
}

std::expected<std::string, SchemaCatalogError> required_text(const json::Value& value, std::string_view message) {
    return qualified_api_name(json::find(value, "QualifiedApiName"), message);
}

}  // namespace schema_catalog

namespace {

std::expected<std::string, SchemaCatalogError> qualified_api_name(const json::Value* member, std::string_view message) {
    const auto name = member != nullptr ? json::as_string(*member) : std::nullopt;
    if (!name || text::is_blank(*name)) return std::unexpected(invalid(message));
    return std::string(text::trim(*name));
}

}  // namespace

namespace schema_catalog {

std::expected<std::vector<const json::Object*>, SchemaCatalogError> complete_records(const json::Value& answer) {
    const json::Value* result_value = json::find(answer, "result");
    const json::Object* result = result_value != nullptr ? json::as_object(*result_value) : nullptr;
    if (result == nullptr) return std::unexpected(invalid("Salesforce query response has no result object"));

    const json::Value* records_value = json::find(*result, "records");
    if (records_value == nullptr) return std::unexpected(invalid("Salesforce query response has no result.records"));
    std::vector<const json::Object*> records;
    if (const json::Array* array = json::as_array(*records_value)) {
        for (const json::Value& element : *array) {
            const json::Object* record = json::as_object(element);
            if (record == nullptr) return std::unexpected(invalid("Salesforce query returned a non-object record"));
            records.push_back(record);
        }
    } else if (const json::Object* single = json::as_object(*records_value)) {
        records.push_back(single);
    } else {
        return std::unexpected(invalid("Salesforce query returned invalid result.records"));
    }

    const auto done = json::get_bool(*result, "done");
    if (!done) return std::unexpected(incomplete("Salesforce query response has no valid result.done"));
    const json::Value* total_value = json::find(*result, "totalSize");
    const auto total = total_value != nullptr ? json::as_int64(*total_value) : std::nullopt;
    if (!total || *total < 0) return std::unexpected(incomplete("Salesforce query response has no valid result.totalSize"));

    bool has_warning = false;
    for (const json::Value* holder : {&answer, result_value}) {
        const json::Value* warnings = json::find(*holder, "warnings");
        if (warnings == nullptr) continue;
        const json::Array* array = json::as_array(*warnings);
        if (array == nullptr) return std::unexpected(incomplete("Salesforce query response has malformed warnings"));
        has_warning = has_warning || !array->empty();
    }
    if (!*done || static_cast<std::uint64_t>(*total) != records.size() || has_warning) {
        return std::unexpected(incomplete("Salesforce object-field query result is incomplete or truncated"));
    }
    return records;
}

std::string safe_text(std::string_view text) {
    std::string out = SfCliGateway::sanitize(text);
    re2::RE2::GlobalReplace(&out, embedded_secret_assignment(), "\\1[REDACTED]");
    out = text::collapse_white_space(out);
    return std::string(text::first_chars(out, kMaxDetailChars));
}

}  // namespace schema_catalog

struct SfSchemaCatalog::Attempt {
    std::expected<json::Value, SchemaCatalogError> outcome;
    bool retry = false;
};

std::expected<json::Value, SchemaCatalogError> SfSchemaCatalog::execute_query(
    std::string_view username, const std::string& soql, const domain::CancellationToken& token) const {
    auto attempt = [&]() -> Attempt {
        auto answer = gateway_->execute_inner({"data", "query", "--query", soql, "--target-org", std::string(username)},
                                              std::nullopt, timeout_, token);
        if (!answer) {
            const CliError& error = answer.error();
            if (error.is_cancelled()) return {std::unexpected(SchemaCatalogError::Cancelled{}), false};
            if (const auto* no_json = error.get_if<CliError::NoJson>()) {
                return {std::unexpected(SchemaCatalogError::FailedListing{
                            with_detail("Salesforce CLI returned an invalid object-field query response.",
                                        cli_detail(no_json->stderr_text, no_json->stdout_text))}),
                        true};
            }
            if (const auto* malformed = error.get_if<CliError::MalformedJson>()) {
                return {std::unexpected(SchemaCatalogError::FailedListing{
                            with_detail("Salesforce CLI returned an invalid object-field query response.",
                                        cli_detail(malformed->stderr_text, malformed->stdout_text))}),
                        true};
            }
            std::string detail = schema_catalog::safe_text(error.message());
            if (detail.empty()) detail = "unknown error";
            return {std::unexpected(SchemaCatalogError::FailedListing{
                        fmt::format("Could not query the org's object fields. {}", detail)}),
                    false};
        }
        const json::Value* status = json::find(answer->json, "status");
        const bool success =
            status != nullptr && json::as_int64(*status) == 0 && answer->exit_code == 0 && !answer->timed_out;
        if (!success) {
            // The CLI's JSON error answer carries a stack of local install paths: only its name and
            // message are worth showing, as the other catalogues show them.
            std::optional<std::string> detail = catalogs::cli_error_answer_detail(answer->stdout_text);
            if (detail) detail = schema_catalog::safe_text(*detail);
            if (!detail || detail->empty()) detail = cli_detail(answer->stderr_text, answer->stdout_text);
            return {std::unexpected(SchemaCatalogError::FailedListing{
                        with_detail("The object-field query failed.", detail)}),
                    true};
        }
        return {std::move(answer->json), false};
    };

    Attempt first = attempt();
    if (first.outcome || !first.retry) return std::move(first.outcome);
    if (token.is_cancelled()) return std::unexpected(SchemaCatalogError::Cancelled{});
    return std::move(attempt().outcome);
}

template <class Listing, class AddRecord>
std::expected<Listing, SchemaCatalogError> SfSchemaCatalog::list(std::string_view username,
                                                                 const std::set<std::string>& names,
                                                                 bool field_listing,
                                                                 const domain::CancellationToken& token,
                                                                 AddRecord add_record) const {
    if (text::is_blank(username)) {
        return std::unexpected(SchemaCatalogError::FailedListing{
            field_listing ? "The org username is empty, so its object fields cannot be listed."
                          : "The org username is empty, so its external key fields cannot be listed."});
    }
    if (text::contains_control(username)) {
        return std::unexpected(SchemaCatalogError::FailedListing{std::string(catalogs::kAliasControlRefusal)});
    }
    std::vector<std::string> safe;
    for (const std::string& name : names) {
        if (schema_catalog::is_safe_object_name(name)) safe.push_back(name);
    }
    Listing listing;
    if (safe.empty()) return listing;

    std::deque<std::vector<std::string>> queue;
    if (field_listing) {
        for (std::size_t start = 0; start < safe.size(); start += schema_catalog::kFieldBatchSize) {
            const std::size_t end = std::min(safe.size(), start + schema_catalog::kFieldBatchSize);
            queue.emplace_back(safe.begin() + static_cast<std::ptrdiff_t>(start),
                               safe.begin() + static_cast<std::ptrdiff_t>(end));
        }
    } else {
        queue.push_back(std::move(safe));
    }

    while (!queue.empty()) {
        std::vector<std::string> batch = std::move(queue.front());
        queue.pop_front();
        if (token.is_cancelled()) return std::unexpected(SchemaCatalogError::Cancelled{});

        const std::string soql = fmt::format("{}({}) LIMIT {}", field_listing ? kFieldPrefix : kKeyPrefix,
                                             schema_catalog::quoted_list(batch), kRowLimit);
        auto answer = execute_query(username, soql, token);
        if (!answer) return std::unexpected(std::move(answer.error()));
        auto records = schema_catalog::complete_records(*answer);
        if (!records) return std::unexpected(std::move(records.error()));

        if (records->size() >= kRowLimit) {
            if (batch.size() == 1) {
                return std::unexpected(SchemaCatalogError::FailedListing{fmt::format(
                    fmt::runtime(field_listing ? "The object-field listing of '{}' does not fit one batch of {} rows, so it cannot "
                                    "be complete."
                                  : "The external key listing of '{}' does not fit one batch of {} rows, so it cannot "
                                    "be complete."),
                    batch.front(), kRowLimit)});
            }
            const auto middle = batch.begin() + static_cast<std::ptrdiff_t>(batch.size() / 2);
            queue.emplace_back(batch.begin(), middle);
            queue.emplace_back(middle, batch.end());
            continue;
        }

        for (const json::Object* record : *records) {
            constexpr std::string_view kNoEntity = "Salesforce field listing record has no EntityDefinition.QualifiedApiName";
            const json::Value* entity = json::find(*record, "EntityDefinition");
            if (entity == nullptr || !entity->is_object()) return std::unexpected(invalid(kNoEntity));
            auto object = schema_catalog::required_text(*entity, kNoEntity);
            if (!object) return std::unexpected(std::move(object.error()));
            auto field = qualified_api_name(json::find(*record, "QualifiedApiName"),
                                            "Salesforce field listing record has no QualifiedApiName");
            if (!field) return std::unexpected(std::move(field.error()));
            add_record(listing, std::move(*object), std::move(*field), *record);
        }
    }
    return listing;
}

std::expected<SchemaListing, SchemaCatalogError> SfSchemaCatalog::object_fields(
    std::string_view username, const std::set<std::string>& object_names,
    const domain::CancellationToken& token) const {
    return list<SchemaListing>(username, object_names, true, token,
                               [](SchemaListing& listing, std::string object, std::string field, const json::Object&) {
                                   listing.objects.insert(object);
                                   listing.fields.emplace(std::move(object), std::move(field));
                               });
}

std::expected<ExternalKeyListing, SchemaCatalogError> SfSchemaCatalog::external_key_fields(
    std::string_view username, const std::set<std::string>& object_names,
    const domain::CancellationToken& token) const {
    return list<ExternalKeyListing>(
        username, object_names, false, token,
        [](ExternalKeyListing& listing, std::string object, std::string field, const json::Object& record) {
            listing.objects.insert(object);
            const std::string_view data_type = json::get_string(record, "DataType").value_or(std::string_view{});
            const bool key = field == schema_catalog::kOwnKeyField ||
                             (field.ends_with("__c") && data_type.find("(External ID)") != std::string_view::npos);
            if (key) listing.external_keys[std::move(object)].insert(std::move(field));
        });
}

}  // namespace ambrel::cli
