#include "app/workflow_failure.hpp"

#include <unordered_set>

#include "metadata/workspace/workspace.hpp"
#include "text/text.hpp"

namespace ambrel::app {

std::string_view name(FailureKind kind) noexcept {
    switch (kind) {
        case FailureKind::Cancelled:
            return "Cancelled";
        case FailureKind::Prerequisite:
            return "Prerequisite";
        case FailureKind::Validation:
            return "Validation";
        case FailureKind::Operation:
            return "Operation";
    }
    return "Operation";
}

WorkflowFailure WorkflowFailure::single(FailureKind kind, std::string_view message) {
    WorkflowFailure failure;
    failure.kind = kind;
    failure.add_suppressed(message);
    return failure;
}

WorkflowFailure WorkflowFailure::cancelled() { return single(FailureKind::Cancelled, kCancelledMessage); }

WorkflowFailure WorkflowFailure::operation(std::string_view message) { return single(FailureKind::Operation, message); }

WorkflowFailure WorkflowFailure::with_org_alias(WorkflowFailure failure, std::string_view alias) {
    failure.org_alias = std::string(alias);
    return failure;
}

WorkflowFailure WorkflowFailure::from_workspace_error(const metadata::workspace::WorkspaceError& error) {
    return operation(error.message());
}

void WorkflowFailure::add_suppressed(std::string_view message) {
    if (!text::is_blank(message)) messages.emplace_back(message);
}

std::string WorkflowFailure::detail_text() const {
    std::unordered_set<std::string_view> seen;
    std::string joined;
    bool first = true;
    for (const std::string& message : messages) {
        if (!seen.insert(message).second) continue;
        if (!first) joined.push_back('\n');
        joined.append(message);
        first = false;
    }
    if (joined.empty()) return std::string(name(kind));
    return joined;
}

}  // namespace ambrel::app
