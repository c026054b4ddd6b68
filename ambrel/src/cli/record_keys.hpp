#pragma once

// Per record-data object: the number of records, the ids of records whose external-ID key field is
// still empty, and a Bulk API upsert matched on Id that writes key values into that field for many
// records at once. A failed bulk job yields up to three distinct reasons from its failed-records
// file.

#include <chrono>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "cli/catalog_error.hpp"
#include "domain/cancellation.hpp"
#include "json/json.hpp"

namespace ambrel::cli {

class SfCliGateway;

// The outcome of a key fill.
struct KeyFillResult {
    // No ids were given; nothing ran.
    struct NothingToFill {
        friend bool operator==(const NothingToFill&, const NothingToFill&) = default;
    };
    // The upsert succeeded; the number of ids sent.
    struct Filled {
        std::uint32_t count = 0;
        friend bool operator==(const Filled&, const Filled&) = default;
    };
    struct Failed {
        std::string message;
        friend bool operator==(const Failed&, const Failed&) = default;
    };
    // The gateway's cancellation message.
    struct Cancelled {
        std::string message;
        friend bool operator==(const Cancelled&, const Cancelled&) = default;
    };

    std::variant<NothingToFill, Filled, Failed, Cancelled> value;

    friend bool operator==(const KeyFillResult&, const KeyFillResult&) = default;
};

// Built per call; borrows the gateway. Every operation takes the org alias or user name first (the
// CLI's target org). Object and field names must be API names (an ASCII letter, then letters,
// digits or '_'): any other name is refused before a query or file is made from it. An alias holding
// a control character is refused likewise ("An org alias must not contain control characters."), and
// a user name holding one names no user.
class RecordKeyCatalog {
public:
    RecordKeyCatalog(const SfCliGateway& gateway, std::chrono::milliseconds query_timeout,
                     std::chrono::milliseconds upsert_timeout) noexcept
        : gateway_(&gateway), query_timeout_(query_timeout), upsert_timeout_(upsert_timeout) {}

    // The "result" object of a SOQL query.
    std::expected<json::Object, CatalogError> query(std::string_view alias, std::string_view soql,
                                                    const domain::CancellationToken& token) const;
    // All records, or those whose key field is empty when one is given.
    std::expected<std::uint32_t, CatalogError> count(std::string_view alias, std::string_view object,
                                                     std::optional<std::string_view> key_field,
                                                     const domain::CancellationToken& token) const;
    // The Ids of the records whose key field is empty, ascending; a listing the CLI cut short fails.
    std::expected<std::vector<std::string>, CatalogError> unkeyed_ids(std::string_view alias, std::string_view object,
                                                                      std::string_view key_field,
                                                                      const domain::CancellationToken& token) const;
    // The user's ProfileId, none when the org returns none.
    std::expected<std::optional<std::string>, CatalogError> running_user_profile_id(
        std::string_view alias, std::string_view username, const domain::CancellationToken& token) const;
    // Writes "{object}-keys.csv" into the work directory and upserts it in bulk, matched on Id.
    KeyFillResult fill_keys(std::string_view alias, std::string_view object, std::string_view key_field,
                            std::span<const std::string> ids, const std::filesystem::path& work_directory,
                            const domain::CancellationToken& token) const;
    // Up to 3 distinct reasons from the job's failed-records file, which "data bulk results" leaves in
    // the work directory. Never fails: every failure, and a job id that is not ASCII letters and
    // digits, yields none.
    std::vector<std::string> failed_record_reasons(std::string_view alias, std::string_view job_id,
                                                   const std::filesystem::path& work_directory,
                                                   const domain::CancellationToken& token) const;

private:
    const SfCliGateway* gateway_;
    std::chrono::milliseconds query_timeout_;
    std::chrono::milliseconds upsert_timeout_;
};

namespace record_keys {

inline constexpr std::string_view kQueryLabel = "record query";
inline constexpr std::string_view kQueryHint = "Check that the org is reachable and retry.";
inline constexpr std::string_view kErrorColumn = "sf__Error";
inline constexpr std::size_t kMaxReasons = 3;
inline constexpr std::size_t kMaxReasonChars = 200;

// The 17 arguments of the bulk upsert.
std::vector<std::string> upsert_arguments(std::string_view alias, std::string_view object, std::string_view csv_path);
// The 7 arguments of the bulk results command.
std::vector<std::string> bulk_results_arguments(std::string_view alias, std::string_view job_id);
// A bulk job id that may become a file name and an argument: non-empty ASCII letters and digits.
bool is_valid_job_id(std::string_view job_id) noexcept;
// The CSV records of a text (quoted line breaks stay inside a record).
std::vector<std::string> split_csv_records(std::string_view text);
// The fields of one CSV record (quotes removed, doubled quotes undone).
std::vector<std::string> split_csv_line(std::string_view record);
// Longer than 200 characters: the first 200 followed by "…".
std::string truncate_reason(std::string_view text);
// "The external ID could not be filled in for {object}. {detail}" (the detail trimmed), or without
// the detail when it is empty.
std::string fill_failure(std::string_view object, std::string_view detail);

}  // namespace record_keys

}  // namespace ambrel::cli
