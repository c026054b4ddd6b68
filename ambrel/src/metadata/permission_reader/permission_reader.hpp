#pragma once

// The strict reader of Profile and PermissionSet documents: one grant per block of the six
// permission sections, keyed by subject. Everything outside those sections is ignored; a block that
// cannot be read unambiguously fails the whole document, and nothing partial is returned.
//
// Failures are single message texts:
//   "Could not read permission metadata: {}"            (the operating system's text)
//   "permission metadata is not valid UTF-8: {}"        (the decoder's text)
//   "Expected {} metadata for {} '{}'"                  (root name, kind, full name; also a text
//                                                         without any root element)
//   "doctype is not allowed in {} '{}'"
//   "could not parse permission metadata: {}"           (the pull reader's text; also
//     "the document ended before its root element was closed" for a cut-off document)
//   "unknown entity: {}", the decoder's text of a bad character reference or of text that is not
//   UTF-8 inside a captured value
//   "Expected exactly one '{}' element in {}", "Expected at most one '{}' element",
//   "Invalid '{}' Boolean in {} '{}'", "Invalid fieldPermissions field key in {} '{}'",
//   "Invalid {} name in {} '{}'", "Duplicate {} entry for {} in {} '{}'".
// A DOCTYPE is refused, never expanded. Stateless; safe from any number of threads.

#include <expected>
#include <filesystem>
#include <string>
#include <string_view>

#include "metadata/permission_models/permission_models.hpp"

namespace ambrel::metadata::permission_reader {

using permission_models::ParsedPermissions;
using permission_models::PermissionComponentKey;
using permission_models::PermissionMetadataComponent;

// The language of Salesforce API names that block keys must belong to.
inline constexpr std::string_view kSalesforceApiNamePattern = "^[A-Za-z](?:[A-Za-z0-9_]*[A-Za-z0-9])?$";
inline constexpr std::string_view kCutOffDocument = "the document ended before its root element was closed";

// True when the whole text is a Salesforce API name (letter first, no trailing underscore).
bool is_salesforce_api_name(std::string_view text);

// Parses one document for `key` (its kind gives the expected root, its names the messages).
std::expected<ParsedPermissions, std::string> parse_permission_metadata(std::string_view text,
                                                                        const PermissionComponentKey& key);

class PermissionMetadataReader {
public:
    // Reads the file (a regular file, without following a link at the last component), requires
    // UTF-8 and parses it.
    std::expected<PermissionMetadataComponent, std::string> read(const std::filesystem::path& path,
                                                                 const PermissionComponentKey& key) const;
};

}  // namespace ambrel::metadata::permission_reader
