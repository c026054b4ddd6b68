#include "app/compare_steps.hpp"

#include <utility>

#include "comparison/engine.hpp"
#include "text/text.hpp"

namespace ambrel::app {

std::expected<void, WorkflowFailure> validate_manifest_members(const CompareSelection& selection) {
    for (const auto& [type, names] : selection) {
        for (const std::string& name : names) {
            if (text::trim(name).empty()) {
                return std::unexpected(WorkflowFailure::single(FailureKind::Validation, kBlankMemberMessage));
            }
        }
    }
    return {};
}

std::expected<void, WorkflowFailure> refuse_record_data_types(const CompareSelection& selection) {
    for (const auto& entry : selection) {
        if (entry.first.is_data_record()) return std::unexpected(WorkflowFailure::operation(kRecordDataSelectedMessage));
    }
    return {};
}

std::expected<void, WorkflowFailure> throw_if_cancelled(const domain::CancellationToken& token) {
    if (token.is_cancelled()) return std::unexpected(WorkflowFailure::cancelled());
    return {};
}

WorkflowFailure close_preserving_workspace(const std::shared_ptr<metadata::workspace::MetadataWorkspace>& workspace,
                                           WorkflowFailure failure) {
    if (!workspace) return failure;
    if (auto closed = workspace->close(); !closed) failure.add_suppressed(closed.error().message());
    return failure;
}

WorkflowFailure close_continuation(const std::optional<RetrieveContinuation>& continuation, WorkflowFailure failure) {
    if (!continuation) return failure;
    return close_preserving_workspace(continuation->workspace, std::move(failure));
}

std::vector<domain::MetadataComponent> read_selected(std::vector<domain::MetadataComponent> components,
                                                     const metadata_types::TypeDescriptor& descriptor,
                                                     const std::set<std::string>& names) {
    std::vector<domain::MetadataComponent> kept;
    kept.reserve(components.size());
    for (domain::MetadataComponent& component : components) {
        const std::string_view container = comparison::container_name(descriptor, component.key.name);
        if (names.find(std::string(container)) != names.end()) kept.push_back(std::move(component));
    }
    return kept;
}

}  // namespace ambrel::app
