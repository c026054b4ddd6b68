#pragma once

// The custom flag of a Profile document: whether the profile says it is a custom profile. A pure
// function of the text: no files, no shared state, callable from any thread.
//
// Leading byte-order marks are skipped. Each "custom" element that is a direct child of the root (in
// the Metadata API namespace) sets the flag: its text, trimmed of Unicode white space, reads true for
// "true" and false for "false" in any ASCII letter case; any other text leaves the flag as it was, so
// the last recognised element wins. No such element: no flag. A document cut off after the flag
// still gives the flag. Failures are texts: the reader's own error text for malformed XML, and
// "unknown entity: {}" for a general entity other than the five predefined ones.

#include <expected>
#include <optional>
#include <string>
#include <string_view>

namespace ambrel::metadata::profile_reference_filter {

std::expected<std::optional<bool>, std::string> profile_custom_flag(std::string_view document);

}  // namespace ambrel::metadata::profile_reference_filter
