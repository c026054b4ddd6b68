#include "app/compare_steps.hpp"

#include <utility>
#include <vector>

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
    // Filtered in place, so that the kept components move only to close the gaps left by dropped ones.
    // The names are looked up by std::string; one buffer serves every lookup without a new string each.
    std::string probe;
    std::erase_if(components, [&](const domain::MetadataComponent& component) {
        probe.assign(comparison::container_name(descriptor, component.key.name));
        return names.find(probe) == names.end();
    });
    return components;
}

}  // namespace ambrel::app
