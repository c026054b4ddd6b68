#pragma once

// WorkflowFailure: the error of every use case and of every port of the application service. It
// carries the user-facing sentences (the main one first, then suppressed details), a kind that says
// how the workflow presents it, and optionally the org alias it concerns.
//
// Only messages that are not blank (nothing but Unicode white space) are stored, and they are stored
// untrimmed. `detail_text` joins the distinct messages with line feeds, or gives the kind's name
// ("Cancelled", "Prerequisite", "Validation", "Operation") when there are none. Every cancellation of
// the application says "Salesforce field workflow was cancelled" (without a final period). A plain
// value: copy it freely; no shared state.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ambrel::metadata::workspace {
class WorkspaceError;
}

namespace ambrel::app {

// The message of every cancellation.
inline constexpr std::string_view kCancelledMessage = "Salesforce field workflow was cancelled";

// In this order.
enum class FailureKind : std::uint8_t {
    Cancelled,     // the user cancelled the operation
    Prerequisite,  // the Salesforce CLI is missing or unusable
    Validation,    // the request cannot be served; refused before any work
    Operation,     // the work was attempted and failed
};

// "Cancelled", "Prerequisite", "Validation" or "Operation".
std::string_view name(FailureKind kind) noexcept;

struct WorkflowFailure {
    // Non-blank messages in the order added.
    std::vector<std::string> messages;
    std::optional<std::string> org_alias;
    FailureKind kind = FailureKind::Operation;

    // The message is kept only when it is not blank; no org alias.
    static WorkflowFailure single(FailureKind kind, std::string_view message);
    static WorkflowFailure cancelled();
    static WorkflowFailure operation(std::string_view message);
    // The failure with the alias set (replacing an earlier one; an empty alias is stored too).
    static WorkflowFailure with_org_alias(WorkflowFailure failure, std::string_view alias);
    // An Operation failure with the workspace error's display text.
    static WorkflowFailure from_workspace_error(const metadata::workspace::WorkspaceError& error);

    // Appends the message when it is not blank.
    void add_suppressed(std::string_view message);
    // The messages without repetitions (first occurrence wins), joined with "\n"; the kind's name
    // when that is empty.
    std::string detail_text() const;
    // The first message, or the empty text.
    std::string first_message() const { return messages.empty() ? std::string() : messages.front(); }

    bool operator==(const WorkflowFailure&) const = default;
};

}  // namespace ambrel::app
