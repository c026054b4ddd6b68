#pragma once

// The nested "versions" blocks of an ExpressionSetDefinition document: reading them (name, status and
// offsets), cutting them all out so that the definition travels as a shell, and planning the
// versions of a package (blocks active in the target leave; the others stay with the status
// "Inactive"). All edits of one call are applied together against the original offsets, so a removal
// never shifts a later edit; every other byte stays as it was.
//
// Failures are texts: the pull reader's own text for malformed XML; "the root element is `{}`, not
// `ExpressionSetDefinition`" (with "outside the metadata namespace" for a root outside the Metadata
// API namespace); "the document has no closing root element". A DOCTYPE is never expanded.
// Pure functions; safe from any thread.

#include <cstddef>
#include <expected>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace ambrel::metadata::expression_set_definition_versions {

inline constexpr std::string_view kDefinitionRoot = "ExpressionSetDefinition";

struct VersionBlock {
    // The first "fullName" / "status" child's text, decoded, not trimmed.
    std::optional<std::string> name;
    std::optional<std::string> status;
    // The whole block in the whole document (leading byte-order marks included).
    std::size_t start = 0;
    std::size_t end = 0;
    // The status element's content.
    std::size_t status_start = 0;
    std::size_t status_end = 0;

    bool operator==(const VersionBlock&) const = default;
};

struct StrippedVersions {
    std::string document;
    // Names of the removed blocks that had one, in document order.
    std::vector<std::string> names;
    std::size_t unnamed = 0;

    bool operator==(const StrippedVersions&) const = default;
};

struct PlannedVersions {
    std::string document;
    std::vector<std::string> kept;
    std::vector<std::string> left_out;
    std::size_t unnamed = 0;

    bool operator==(const PlannedVersions&) const = default;
};

std::expected<std::vector<VersionBlock>, std::string> version_blocks(std::string_view document);

std::expected<StrippedVersions, std::string> strip_versions(std::string_view document);

std::expected<PlannedVersions, std::string> plan_package_versions(std::string_view document,
                                                                  const std::set<std::string>& active);

}  // namespace ambrel::metadata::expression_set_definition_versions
