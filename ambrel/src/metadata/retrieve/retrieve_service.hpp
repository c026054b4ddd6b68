#pragma once

// Fetching a selection of metadata for one side of a comparison into a private temporary workspace.
// A first retrieve (`retrieve`) creates the workspace and hands it to the caller; a delta retrieve
// (`retrieve_delta`) adds members to the caller's workspace. Each call writes the side's
// "manifest/package.xml" and runs the CLI's project retrieve once for that side on a worker thread
// (none when the side has nothing to fetch), and reports the selected objects that the target lacks.
//
// Order of checks: a selection without members ("At least one source object must be selected"), then
// the names (selection.hpp), then the caller's token (`Cancelled`); none of them touches the disk.
// A workspace that cannot be made is `Workspace`; a manifest that cannot be written is `Workspace`
// holding `Io` "Could not write retrieve manifest"; a failed run is the side's error
// (retrieve_command.hpp). A first retrieve that fails after its workspace exists closes it before it
// returns, and reports a closing error in `cleanup_errors`; a delta retrieve never closes the
// caller's workspace.
//
// The service holds configuration only and may serve several calls at once. Borrows the gateway,
// which must outlive it.

#include <chrono>
#include <expected>
#include <memory>
#include <string>
#include <string_view>
#include <system_error>

#include "cli/gateway.hpp"
#include "domain/cancellation.hpp"
#include "metadata/retrieve/retrieve_error.hpp"
#include "metadata/retrieve/scope.hpp"
#include "metadata/retrieve/selection.hpp"
#include "metadata/workspace/workspace.hpp"

namespace ambrel::metadata::retrieve {

inline constexpr std::chrono::milliseconds kDefaultRetrieveTimeout{600'000};
inline constexpr std::string_view kCouldNotWriteRetrieveManifest = "Could not write retrieve manifest";

// The result of a first retrieve.
struct RetrievedMetadata {
    std::shared_ptr<workspace::MetadataWorkspace> workspace;
    // Selected object names that are not in the present-object set.
    ObjectNames missing_objects;
};

// Writes the package.xml of the selection at the absolute, normalised path (creating missing parent
// folders, replacing an existing file) and returns that path.
std::expected<std::filesystem::path, std::error_code> write_manifest(std::string_view api_version,
                                                                     const std::filesystem::path& manifest_path,
                                                                     const Selection& selection);

// Closes the workspace and returns the failure with the closing error, if any; the workspace is
// released by the caller dropping its last reference.
RetrieveFailure fail_after_cleanup(MetadataRetrieveError error, const workspace::MetadataWorkspace& workspace);

struct MetadataRetrieveService {
    workspace::WorkspaceLocation location;
    std::string api_version;
    std::chrono::milliseconds timeout = kDefaultRetrieveTimeout;
    const cli::SfCliGateway& gateway;

    std::expected<RetrievedMetadata, RetrieveFailure> retrieve(std::string_view source_alias,
                                                               std::string_view target_alias,
                                                               const Selection& selection,
                                                               const ObjectNames& present, RetrieveScope scope,
                                                               const domain::CancellationToken& token) const;

    // Returns the missing objects; its failures never carry cleanup errors.
    std::expected<ObjectNames, RetrieveFailure> retrieve_delta(std::string_view source_alias,
                                                              std::string_view target_alias,
                                                              const workspace::MetadataWorkspace& workspace,
                                                              const Selection& already_retrieved,
                                                              const Selection& selection, const ObjectNames& present,
                                                              RetrieveScope scope,
                                                              const domain::CancellationToken& token) const;

    static std::expected<void, MetadataRetrieveError> validate_inputs(std::string_view source_alias,
                                                                      std::string_view target_alias,
                                                                      const Selection& selection,
                                                                      const ObjectNames& present) {
        return retrieve::validate_inputs(source_alias, target_alias, selection, present);
    }
};

}  // namespace ambrel::metadata::retrieve
