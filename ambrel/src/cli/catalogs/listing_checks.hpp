#pragma once

// The completeness test of record listings: the CLI stops a query at its own row limit and answers
// "done" false with a "totalSize" above the rows it returns, and such a listing must never pass for
// a whole one.

#include <cstddef>
#include <string_view>

#include "json/json.hpp"

namespace ambrel::cli::catalogs {

inline constexpr std::string_view kTruncatedListingDetail =
    "result is a truncated listing (done is false or totalSize does not match the returned records)";

// True when "done" is the boolean false, or "totalSize" is an integer other than `record_count`. A
// "done" that is absent or not a boolean, and a "totalSize" that is absent or not an integer, say
// nothing.
bool is_truncated_listing(const json::Object& result, std::size_t record_count) noexcept;

}  // namespace ambrel::cli::catalogs
