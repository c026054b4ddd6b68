#pragma once

// The release version of a ContextDefinition document (its first "releaseVersion" direct child of the
// root, in the Metadata API namespace), its parsing into numeric parts, and its rewrite down to a
// lower target value by one text edit of the element's content; every other byte stays as it was.
//
// Failures (ContextReleaseVersionError, whose message is the whole text): the pull reader's own text
// for malformed XML, or "the context definition document has no closing root element". A DOCTYPE is
// never expanded. Pure functions; safe from any thread.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ambrel::metadata::context_release_version {

inline constexpr std::string_view kNoClosingRoot = "the context definition document has no closing root element";

struct ReleaseVersionTag {
    // The element's text, trimmed.
    std::string value;
    // The element's content in the whole document (leading byte-order marks included): just after
    // its start tag, and where its end tag begins.
    std::size_t start = 0;
    std::size_t end = 0;

    bool operator==(const ReleaseVersionTag&) const = default;
};

class ContextReleaseVersionError {
public:
    explicit ContextReleaseVersionError(std::string message) : message_(std::move(message)) {}
    const std::string& message() const noexcept { return message_; }
    bool operator==(const ContextReleaseVersionError&) const = default;

private:
    std::string message_;
};

struct ReleaseVersionRewrite {
    std::string document;
    std::string previous;
    std::string value;

    bool operator==(const ReleaseVersionRewrite&) const = default;
};

std::expected<std::optional<ReleaseVersionTag>, ContextReleaseVersionError> release_version(std::string_view document);

// Dot-separated runs of ASCII digits, each within 64 bits, after trimming; none otherwise.
std::optional<std::vector<std::uint64_t>> parse_release_version(std::string_view text);

// Rewritten only when the document's version is higher than the target value (a missing part
// counts as 0); none when equal, lower, absent or either is not a version.
std::expected<std::optional<ReleaseVersionRewrite>, ContextReleaseVersionError> rewrite_release_version(
    std::string_view document, std::string_view target_value);

}  // namespace ambrel::metadata::context_release_version
