#include "cli/record_keys.hpp"

#include <algorithm>
#include <iterator>
#include <limits>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "cli/catalog_results.hpp"
#include "cli/catalogs/listing_checks.hpp"
#include "cli/gateway.hpp"
#include "cli/schema_catalog.hpp"
#include "data/key_fill.hpp"
#include "platform_fs/files.hpp"
#include "text/text.hpp"

namespace ambrel::cli {
namespace {

using record_keys::kQueryHint;
using record_keys::kQueryLabel;

constexpr std::string_view kCsvFailure = "the CSV file could not be written on this machine";
constexpr std::string_view kBulkDefault = "the bulk job did not complete";
constexpr std::string_view kUnsafeNameQuery =
    "An object or field name is not a valid Salesforce API name, so no record query was run.";
constexpr std::string_view kUnsafeNameFill = "the object or key field name is not a valid Salesforce API name";

CatalogError invalid(std::string_view detail) {
    return catalogs::malformed_catalog_response(kQueryLabel, kQueryHint, detail);
}

bool safe_names(std::initializer_list<std::string_view> names) {
    return std::ranges::all_of(names, [](std::string_view name) { return schema_catalog::is_safe_object_name(name); });
}

}  // namespace

namespace record_keys {

std::vector<std::string> upsert_arguments(std::string_view alias, std::string_view object, std::string_view csv_path) {
    return {"data",    "upsert", "bulk", "--sobject",         std::string(object), "--external-id",
            "Id",      "--file", std::string(csv_path), "--line-ending", "LF", "--column-delimiter",
            "COMMA",   "--wait", "10",   "--target-org",      std::string(alias)};
}

std::vector<std::string> bulk_results_arguments(std::string_view alias, std::string_view job_id) {
    return {"data", "bulk", "results", "--job-id", std::string(job_id), "--target-org", std::string(alias)};
}

bool is_valid_job_id(std::string_view job_id) noexcept {
    return !job_id.empty() && std::ranges::all_of(job_id, [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
    });
}

std::vector<std::string> split_csv_records(std::string_view text) {
    std::vector<std::string> records;
    std::string current;
    bool in_quotes = false;
    for (char c : text) {
        if (c == '"') {
            in_quotes = !in_quotes;
            current.push_back(c);
        } else if (c == '\n' && !in_quotes) {
            records.push_back(std::move(current));
            current.clear();
        } else if (c == '\r' && !in_quotes) {
            continue;
        } else {
            current.push_back(c);
        }
    }
    if (!current.empty()) records.push_back(std::move(current));
    return records;
}

std::vector<std::string> split_csv_line(std::string_view record) {
    std::vector<std::string> fields(1);
    bool in_quotes = false;
    for (std::size_t i = 0; i < record.size(); ++i) {
        const char c = record[i];
        if (in_quotes) {
            if (c == '"') {
                if (i + 1 < record.size() && record[i + 1] == '"') {
                    fields.back().push_back('"');
                    ++i;
                } else {
                    in_quotes = false;
                }
            } else {
                fields.back().push_back(c);
            }
        } else if (c == '"') {
            in_quotes = true;
        } else if (c == ',') {
            fields.emplace_back();
        } else {
            fields.back().push_back(c);
        }
    }
    return fields;
}

std::string truncate_reason(std::string_view text) { return text::shorten_with_ellipsis(text, kMaxReasonChars); }

std::string fill_failure(std::string_view object, std::string_view detail) {
    const std::string_view trimmed = text::trim(detail);
    if (trimmed.empty()) return fmt::format("The external ID could not be filled in for {}.", object);
    return fmt::format("The external ID could not be filled in for {}. {}", object, trimmed);
}

}  // namespace record_keys

std::expected<json::Object, CatalogError> RecordKeyCatalog::query(std::string_view alias, std::string_view soql,
                                                                  const domain::CancellationToken& token) const {
    if (auto refusal = catalogs::alias_refusal(alias)) return std::unexpected(std::move(*refusal));
    auto answer = gateway_->execute_inner(
        {"data", "query", "--query", std::string(soql), "--target-org", std::string(alias)}, std::nullopt,
        query_timeout_, token);
    if (!answer) return std::unexpected(CatalogError(std::move(answer.error())));
    auto document = catalogs::require_successful_catalog_command(*answer, kQueryLabel, kQueryHint);
    if (!document) return std::unexpected(std::move(document.error()));
    const json::Value* result = json::find(document->get(), "result");
    const json::Object* object = result != nullptr ? json::as_object(*result) : nullptr;
    if (object == nullptr) return std::unexpected(invalid("result is missing or is not an object"));
    return *object;
}

std::expected<std::uint32_t, CatalogError> RecordKeyCatalog::count(std::string_view alias, std::string_view object,
                                                                   std::optional<std::string_view> key_field,
                                                                   const domain::CancellationToken& token) const {
    if (!safe_names({object}) || (key_field && !safe_names({*key_field}))) {
        return std::unexpected(CatalogError::Message{std::string(kUnsafeNameQuery)});
    }
    const std::string soql = key_field ? fmt::format("SELECT COUNT() FROM {} WHERE {} = null", object, *key_field)
                                       : fmt::format("SELECT COUNT() FROM {}", object);
    auto result = query(alias, soql, token);
    if (!result) return std::unexpected(std::move(result.error()));
    const json::Value* total = json::find(*result, "totalSize");
    const auto count = total != nullptr ? json::as_uint64(*total) : std::nullopt;
    if (!count || *count > std::numeric_limits<std::uint32_t>::max()) {
        return std::unexpected(invalid("totalSize is missing or is not a count"));
    }
    return static_cast<std::uint32_t>(*count);
}

std::expected<std::vector<std::string>, CatalogError> RecordKeyCatalog::unkeyed_ids(
    std::string_view alias, std::string_view object, std::string_view key_field,
    const domain::CancellationToken& token) const {
    if (!safe_names({object, key_field})) return std::unexpected(CatalogError::Message{std::string(kUnsafeNameQuery)});
    auto result = query(alias, fmt::format("SELECT Id FROM {} WHERE {} = null ORDER BY Id", object, key_field), token);
    if (!result) return std::unexpected(std::move(result.error()));
    const json::Array* records = json::get_array(*result, "records");
    if (records == nullptr) return std::unexpected(invalid("records is missing or is not an array"));
    // A shortened answer would fill only some of the records and report the object as done.
    if (catalogs::is_truncated_listing(*result, records->size())) {
        return std::unexpected(invalid(catalogs::kTruncatedListingDetail));
    }
    std::vector<std::string> ids;
    ids.reserve(records->size());
    for (const json::Value& record : *records) {
        const json::Value* id = json::find(record, "Id");
        const auto id_text = id != nullptr ? json::as_string(*id) : std::nullopt;
        if (!id_text) return std::unexpected(invalid("a record carries no Id"));
        ids.emplace_back(*id_text);
    }
    return ids;
}

std::expected<std::optional<std::string>, CatalogError> RecordKeyCatalog::running_user_profile_id(
    std::string_view alias, std::string_view username, const domain::CancellationToken& token) const {
    if (auto refusal = catalogs::alias_refusal(alias)) return std::unexpected(std::move(*refusal));
    // No user of any org is named with a control character; the name never reaches the CLI.
    if (text::contains_control(username)) return std::optional<std::string>{};
    auto result = query(
        alias,
        fmt::format("SELECT ProfileId FROM User WHERE Username = '{}' LIMIT 1", data::key_fill::escape_soql_literal(username)),
        token);
    if (!result) return std::unexpected(std::move(result.error()));
    const json::Array* records = json::get_array(*result, "records");
    if (records == nullptr || records->empty()) return std::optional<std::string>{};
    const json::Value* profile = json::find((*records)[0], "ProfileId");
    const auto text = profile != nullptr ? json::as_string(*profile) : std::nullopt;
    if (!text) return std::optional<std::string>{};
    return std::optional<std::string>(std::string(*text));
}

KeyFillResult RecordKeyCatalog::fill_keys(std::string_view alias, std::string_view object, std::string_view key_field,
                                          std::span<const std::string> ids, const std::filesystem::path& work_directory,
                                          const domain::CancellationToken& token) const {
    const std::optional<std::string> csv = data::key_fill::key_fill_csv(key_field, ids);
    if (!csv) return {KeyFillResult::NothingToFill{}};
    // The object name becomes a file name and the key field a column: only API names qualify.
    if (!safe_names({object, key_field})) {
        return {KeyFillResult::Failed{record_keys::fill_failure(object, kUnsafeNameFill)}};
    }
    if (catalogs::alias_refusal(alias)) {
        return {KeyFillResult::Failed{record_keys::fill_failure(object, catalogs::kAliasControlRefusal)}};
    }

    std::error_code error;
    std::filesystem::create_directories(work_directory, error);
    if (error) return {KeyFillResult::Failed{record_keys::fill_failure(object, kCsvFailure)}};
    const std::filesystem::path csv_file = work_directory / fmt::format("{}-keys.csv", object);
    if (platform_fs::files::replace_durably(csv_file, *csv, 0600)) return {KeyFillResult::Failed{record_keys::fill_failure(object, kCsvFailure)}};

    auto answer = gateway_->execute_inner(
        record_keys::upsert_arguments(alias, object, text::decode_lossy(csv_file.string())), work_directory,
        upsert_timeout_, token);
    if (!answer) {
        if (answer.error().is_cancelled()) return {KeyFillResult::Cancelled{answer.error().message()}};
        return {KeyFillResult::Failed{record_keys::fill_failure(object, SfCliGateway::sanitize(answer.error().message()))}};
    }
    const json::Value* status = json::find(answer->json, "status");
    if (status != nullptr && json::as_int64(*status) == 0 && answer->exit_code == 0 && !answer->timed_out) {
        return {KeyFillResult::Filled{static_cast<std::uint32_t>(ids.size())}};
    }

    std::string message(kBulkDefault);
    if (const json::Value* text = json::find(answer->json, "message")) {
        if (auto value = json::as_string(*text)) message = SfCliGateway::sanitize(*value);
    }
    const json::Value* data = json::find(answer->json, "data");
    const json::Value* job = data != nullptr ? json::find(*data, "jobId") : nullptr;
    const auto job_id = job != nullptr ? json::as_string(*job) : std::nullopt;
    if (!job_id) return {KeyFillResult::Failed{record_keys::fill_failure(object, message)}};

    const std::vector<std::string> reasons = failed_record_reasons(alias, *job_id, work_directory, token);
    if (reasons.empty()) return {KeyFillResult::Failed{record_keys::fill_failure(object, message)}};
    return {KeyFillResult::Failed{
        record_keys::fill_failure(object, fmt::format("{} {}", message, fmt::join(reasons, " ")))}};
}

std::vector<std::string> RecordKeyCatalog::failed_record_reasons(std::string_view alias, std::string_view job_id,
                                                                 const std::filesystem::path& work_directory,
                                                                 const domain::CancellationToken& token) const {
    // The id names a file and an argument: anything but letters and digits could reach elsewhere.
    if (!record_keys::is_valid_job_id(job_id)) return {};
    auto answer = gateway_->execute_inner(record_keys::bulk_results_arguments(alias, job_id), work_directory,
                                          query_timeout_, token);
    // Only the file the command leaves behind counts, not its answer.
    if (!answer) return {};
    const auto content =
        platform_fs::files::read_regular_file(work_directory / fmt::format("{}-failed-records.csv", job_id));
    // A file that is not text gives no reasons, so its raw bytes never reach a message.
    if (!content || !text::is_valid_utf8(*content)) return {};

    const std::vector<std::string> records = record_keys::split_csv_records(*content);
    if (records.empty()) return {};
    const std::vector<std::string> header = record_keys::split_csv_line(records.front());
    const auto column = std::ranges::find(header, record_keys::kErrorColumn);
    if (column == header.end()) return {};
    const auto index = static_cast<std::size_t>(std::distance(header.begin(), column));

    std::vector<std::string> reasons;
    for (std::size_t i = 1; i < records.size() && reasons.size() < record_keys::kMaxReasons; ++i) {
        if (text::is_blank(records[i])) continue;
        const std::vector<std::string> fields = record_keys::split_csv_line(records[i]);
        if (index >= fields.size()) continue;
        std::string reason(text::trim(fields[index]));
        if (reason.empty() || std::ranges::find(reasons, reason) != reasons.end()) continue;
        reasons.push_back(std::move(reason));
    }
    for (std::string& reason : reasons) reason = record_keys::truncate_reason(SfCliGateway::sanitize(reason));
    return reasons;
}

}  // namespace ambrel::cli
