#pragma once

// How the port adapters turn the errors of the gateways, catalogues and services they call into the
// application's WorkflowFailure, how a catalogue error's text is cleaned of secrets, how a failure
// becomes a record channel's error, and where a port makes its private temporary workspaces.
//
// The rule of every mapping: a cancellation stays a cancellation (kind Cancelled, "Salesforce field
// workflow was cancelled"); a failed `sf` prerequisite check is kind Prerequisite with the checker's
// own message; everything else is kind Operation carrying the source error's own text. No mapping
// invents a sentence, produces kind Validation or attaches an org alias (the adapters do that). Blank
// texts are dropped, as WorkflowFailure drops them. Clean-up errors of temporary workspaces follow the
// main message, in the order they occurred, also after a cancellation.
//
// `workspace_location` answers the folder "quillary" directly below the workspace root, checked
// against the root as trust anchor, or the display text of the check's failure (for instance "Plugin
// temp parent {} must be a direct child of trust anchor {}"). It is computed anew on every call.
//
// Every function is total and keeps no state; any thread.

#include <expected>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "app/workflow_failure.hpp"
#include "cli/catalog_error.hpp"
#include "cli/gateway.hpp"
#include "cli/schema_catalog.hpp"
#include "data/bundles/synthesis/record_channels.hpp"
#include "deployment/fls_synchronizer/classification.hpp"
#include "git/git_error.hpp"
#include "metadata/retrieve/retrieve_error.hpp"
#include "metadata/workspace/workspace.hpp"

namespace ambrel::server::wiring {

// The folder below the workspace root that holds every temporary workspace, package folder and worktree.
inline constexpr std::string_view kPortTempFolder = "quillary";

// Cancelled CLI run: Cancelled; prerequisite failure: Prerequisite with its message (the cause is
// dropped); else Operation with the error's display text.
app::WorkflowFailure catalog_to_failure(cli::CatalogError error);
// Cancelled: Cancelled; else Operation with the form's message.
app::WorkflowFailure schema_to_failure(cli::SchemaCatalogError error);
// Always Operation with the error's message.
app::WorkflowFailure git_to_failure(git::GitError error);
// The retrieve's text (or the cancellation), then each clean-up error's text.
app::WorkflowFailure retrieve_failure_to_workflow(metadata::retrieve::RetrieveFailure failure);
// By the form of the error; then the close error's text, when given, whatever the form.
app::WorkflowFailure fls_to_failure(deployment::fls_synchronizer::FlsSyncError error,
                                    std::optional<metadata::workspace::WorkspaceError> close_error = std::nullopt);
// The error's display text with secrets replaced by "[REDACTED]", always as a finished message (a
// cancelled run or a prerequisite failure passing through here becomes an Operation failure later).
cli::CatalogError sanitized_catalog_error(const cli::SfCliGateway& gateway, cli::CatalogError error);
// Cancelled: the cancelled channel error; else the first message (the empty text when none). The
// later messages and the org alias are not carried over.
data::bundles::synthesis::ChannelError workflow_failure_to_channel_error(app::WorkflowFailure failure);

// Where a port creates its private temporary workspaces: "{root}/quillary", or the failure's text.
std::expected<metadata::workspace::WorkspaceLocation, std::string> workspace_location(
    const std::filesystem::path& workspace_root);

}  // namespace ambrel::server::wiring
