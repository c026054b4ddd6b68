#pragma once

// The completeness test of record listings: the CLI stops a query at its own row limit and answers
// "done" false with a "totalSize" above the rows it returns, and such a listing must never pass for
// a whole one.

#include <chrono>
#include <cstddef>
#include <expected>
#include <string_view>

#include "cli/catalog_error.hpp"
#include "domain/cancellation.hpp"
#include "json/json.hpp"

namespace ambrel::cli::catalogs {

inline constexpr std::string_view kTruncatedListingDetail =
    "result is a truncated listing (done is false or totalSize does not match the returned records)";

// True when "done" is the boolean false, or "totalSize" is an integer other than `record_count`. A
// "done" that is absent or not a boolean, and a "totalSize" that is absent or not an integer, say
// nothing.
bool is_truncated_listing(const json::Object& result, std::size_t record_count) noexcept;

}  // namespace ambrel::cli::catalogs

namespace ambrel::cli {
class SfCliGateway;
}

namespace ambrel::cli::catalogs {

// Runs `sf data query --query <soql> --target-org <alias>` and returns "result.records": whole, or
// one error under `label` and `guidance` (a failed command, records that are not an array, or a
// listing the CLI cut short).
std::expected<json::Array, CatalogError> query_listing_records(const SfCliGateway& gateway, std::string_view soql,
                                                               std::string_view alias,
                                                               std::chrono::milliseconds timeout,
                                                               const domain::CancellationToken& token,
                                                               std::string_view label, std::string_view guidance);

}  // namespace ambrel::cli::catalogs
