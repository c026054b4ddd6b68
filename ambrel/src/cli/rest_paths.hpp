#pragma once

// Record-id checks and the redaction of REST paths, so that a REST request can be named in the
// session log and in messages without the ids it touches.

#include <string>
#include <string_view>

namespace ambrel::cli::rest {

// 15 or 18 characters, each an ASCII letter or digit.
bool is_valid_record_id(std::string_view text) noexcept;

// A valid record id that also holds at least one ASCII digit, so that a plain word of 15 or 18
// letters in a path stays readable.
bool is_salesforce_id(std::string_view text) noexcept;

// The path with every id-like segment shown as "<id>" and the "ids" query parameter shown as
// "ids=<N ids>"; other parameters stay as they are.
std::string redacted_path(std::string_view path);

// The query half of `redacted_path` (the text after the first '?').
std::string redacted_query(std::string_view query);

}  // namespace ambrel::cli::rest
