#pragma once

// Reading an ExpressionSetDefinitionVersion document: the text of one direct child of its root
// element (the definition the version belongs to, for example), and the API-name rule for
// definition names. Reads nothing but its arguments; never expands or fetches a DTD.
//
// Failures (ExpressionSetVersionError, whose message is the whole text):
// - the XML reader's description of a malformed document;
// - "the root element is `{local name}`, not `ExpressionSetDefinitionVersion`", with "outside the
//   metadata namespace" in place of the local name when the root is not in the Metadata API
//   namespace;
// - "the document has no closing root element".
//
// Thread-safety: pure functions; safe from any number of threads at once.

#include <cstddef>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

namespace ambrel::metadata::expression_set_version_status {

inline constexpr std::string_view kVersionRootElement = "ExpressionSetDefinitionVersion";
// The child of a version that names its definition.
inline constexpr std::string_view kDefinitionElement = "expressionSetDefinition";

class ExpressionSetVersionError {
public:
    explicit ExpressionSetVersionError(std::string message) : message_(std::move(message)) {}

    const std::string& message() const noexcept { return message_; }
    explicit operator std::string() const { return message_; }

    bool operator==(const ExpressionSetVersionError&) const = default;

private:
    std::string message_;
};

// A direct child of the root: its text (references decoded, not trimmed) and the byte offsets of
// its content in the whole document, leading byte-order marks included.
struct RootChild {
    std::string text;
    // Just after the child's start tag.
    std::size_t content_begin = 0;
    // Where the child's end tag begins.
    std::size_t content_end = 0;

    bool operator==(const RootChild&) const = default;
};

// The first direct child of an ExpressionSetDefinitionVersion root that is named `name` in the
// Metadata API namespace; none when the root has no such child (an empty-element child captures
// nothing). Leading byte-order marks are skipped and counted in the offsets. Only text directly
// inside the child counts; a run of text whose references cannot be decoded counts as empty.
std::expected<std::optional<RootChild>, ExpressionSetVersionError> root_child(std::string_view document,
                                                                              std::string_view name);

// The text of the version's "expressionSetDefinition" child (not trimmed); none without one.
std::expected<std::optional<std::string>, ExpressionSetVersionError> definition_name(std::string_view document);

// What rewriting an Active status leaves: the new document and the status it replaced.
struct StatusRewrite {
    std::string document;
    std::string previous;

    bool operator==(const StatusRewrite&) const = default;
};

inline constexpr std::string_view kActiveStatus = "Active";
inline constexpr std::string_view kInactiveStatus = "Inactive";

// The "status" child's content replaced by "Inactive" when it is exactly "Active" (letter case and
// white space count); none for any other status or without one.
std::expected<std::optional<StatusRewrite>, ExpressionSetVersionError> rewrite_status_inactive(
    std::string_view document);

// An ASCII letter, then ASCII letters, digits or "_" only; no length limit.
bool is_valid_definition_name(std::string_view name) noexcept;

}  // namespace ambrel::metadata::expression_set_version_status
