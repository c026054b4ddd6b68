#pragma once

// Elements that an org accepts only from a certain release on: "usageSubtype" of an
// ExpressionSetDefinition and "pricingUsageSubType" of a PricingRecipe, each holding RevenueCloud.
// `strip_release_gated_tag` cuts every such direct child of the root (its text trimmed equals the
// value) with its indentation and line ending, all cuts applied together; every other byte stays.
//
// Failures are texts: "root element must be {}" (a wrong root, a root outside the Metadata API
// namespace, or no element at all), "the document has no closing root element", or the pull
// reader's own text. A DOCTYPE is never expanded. Pure functions; safe from any thread.

#include <cstddef>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

namespace ambrel::metadata::release_gated_tags {

struct ReleaseGatedTag {
    std::string_view root;
    std::string_view element;
    std::string_view value;
};

// The table row of a root element; none for any other root.
std::optional<ReleaseGatedTag> gated_tag_for(std::string_view root);

struct StrippedTag {
    std::string document;
    std::string element;
    std::string value;
    std::size_t removed = 0;

    bool operator==(const StrippedTag&) const = default;
};

std::expected<std::optional<StrippedTag>, std::string> strip_release_gated_tag(std::string_view document,
                                                                               std::string_view root);

}  // namespace ambrel::metadata::release_gated_tags
