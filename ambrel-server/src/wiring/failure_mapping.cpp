#include "wiring/failure_mapping.hpp"

#include <type_traits>
#include <utility>
#include <variant>

namespace ambrel::server::wiring {

using app::FailureKind;
using app::WorkflowFailure;

WorkflowFailure catalog_to_failure(cli::CatalogError error) {
    if (error.is_cancelled()) return WorkflowFailure::cancelled();
    if (const auto* prerequisite = error.get_if<cli::CatalogError::Prerequisite>()) {
        return WorkflowFailure::single(FailureKind::Prerequisite, prerequisite->message);
    }
    return WorkflowFailure::operation(error.message());
}

WorkflowFailure schema_to_failure(cli::SchemaCatalogError error) {
    if (error.is_cancelled()) return WorkflowFailure::cancelled();
    return WorkflowFailure::operation(error.message());
}

WorkflowFailure git_to_failure(git::GitError error) { return WorkflowFailure::operation(error.message()); }

WorkflowFailure retrieve_failure_to_workflow(metadata::retrieve::RetrieveFailure failure) {
    WorkflowFailure mapped = failure.error.is_cancelled() ? WorkflowFailure::cancelled()
                                                          : WorkflowFailure::operation(failure.error.message());
    for (const auto& cleanup : failure.cleanup_errors) mapped.add_suppressed(cleanup.message());
    return mapped;
}

WorkflowFailure fls_to_failure(deployment::fls_synchronizer::FlsSyncError error,
                               std::optional<metadata::workspace::WorkspaceError> close_error) {
    using deployment::fls_synchronizer::FlsSyncError;
    WorkflowFailure mapped = std::visit(
        [](auto&& form) -> WorkflowFailure {
            using Form = std::decay_t<decltype(form)>;
            if constexpr (std::is_same_v<Form, FlsSyncError::Cancelled>) {
                return WorkflowFailure::cancelled();
            } else if constexpr (std::is_same_v<Form, FlsSyncError::Catalog>) {
                if (form.error.is_cancelled()) return WorkflowFailure::cancelled();
                return WorkflowFailure::operation(form.error.message());
            } else if constexpr (std::is_same_v<Form, FlsSyncError::Message>) {
                return WorkflowFailure::operation(form.text);
            } else if constexpr (std::is_same_v<Form, FlsSyncError::Retrieve>) {
                return retrieve_failure_to_workflow(std::move(form.failure));
            } else {
                return WorkflowFailure::operation(form.error.message());
            }
        },
        FlsSyncError::Variant(error.variant()));
    if (close_error) mapped.add_suppressed(close_error->message());
    return mapped;
}

cli::CatalogError sanitized_catalog_error(const cli::SfCliGateway& gateway, cli::CatalogError error) {
    return cli::CatalogError::Message{gateway.sanitize(error.message())};
}

data::bundles::synthesis::ChannelError workflow_failure_to_channel_error(WorkflowFailure failure) {
    using data::bundles::synthesis::ChannelError;
    if (failure.kind == FailureKind::Cancelled) return ChannelError::cancelled();
    return ChannelError::failure(failure.first_message());
}

std::expected<metadata::workspace::WorkspaceLocation, std::string> workspace_location(
    const std::filesystem::path& workspace_root) {
    const auto anchor = metadata::workspace::WorkspaceTrustAnchor::at(workspace_root);
    auto location = anchor.workspace_at(workspace_root / kPortTempFolder);
    if (!location) return std::unexpected(location.error().message());
    return std::move(*location);
}

}  // namespace ambrel::server::wiring
