#pragma once

// Fetching exactly the requested Profile and PermissionSet documents of a source and a target org, in
// parallel, into a fresh temporary workspace, with the components that the selected permissions are
// about named in the same manifest; every retrieved document is then proven (file_validation.hpp).
// The result maps each requested key to the path of its proven file; the workspace goes to the caller.
//
// Checks before anything exists, with `InvalidInput` and these messages:
//   "Source alias must not be blank", "Target alias must not be blank" (only Unicode white space)
//   "At least one source or target permission component must be selected"
//   "Invalid permission metadata full name" (empty, NUL, "/", "\", "." or "..")
//   "Duplicate {} permission metadata component identity" ("source" or "target": two keys of one kind
//   whose names are equal once lower-cased)
// then the caller's token (`Cancelled`). Then the workspace (`Workspace`), the manifest writer
// (`Workspace` with `InvalidApiVersion`), both manifests (`Workspace` with `Io` and the writer's
// message), the identities of the project folders, and both sides on two unnamed worker threads,
// source first. A side without keys runs nothing. A side's run is judged as the metadata retrieve
// judges it (retrieve_command.hpp); the first failure stops the other side's run, and an exception
// escaping a worker, or a worker that cannot start, is `CouldNotRun` ("permission metadata retrieve
// worker panicked"). After any failure once the workspace exists, the workspace is removed before the
// failure returns, with a closing error in `cleanup_errors`.
//
// The service holds configuration only. Borrows the gateway, which must outlive it. The lister is
// shared and called from both workers at once.

#include <chrono>
#include <expected>
#include <memory>
#include <set>
#include <string>
#include <string_view>

#include "cli/gateway.hpp"
#include "domain/cancellation.hpp"
#include "domain/permission.hpp"
#include "metadata/permission_retrieve/file_validation.hpp"
#include "metadata/retrieve/retrieve_error.hpp"
#include "metadata/retrieve/retrieve_pair.hpp"
#include "metadata/workspace/workspace.hpp"

namespace ambrel::metadata::permission_retrieve {

using retrieve::RetrieveFailure;

inline constexpr std::string_view kPermissionWorkerPanicked = "permission metadata retrieve worker panicked";
inline constexpr std::string_view kNoPermissionComponent =
    "At least one source or target permission component must be selected";
inline constexpr std::string_view kInvalidFullName = "Invalid permission metadata full name";
inline constexpr std::string_view kDefaultPermissionApiVersion = "65.0";
inline constexpr std::chrono::milliseconds kDefaultPermissionTimeout{600'000};

struct RetrievedPermissionMetadata {
    std::shared_ptr<workspace::MetadataWorkspace> workspace;
    PermissionFiles source_files;
    PermissionFiles target_files;
};

// Keys of one side must differ in more than letter case within a kind; `side` names the side in the
// message.
std::expected<void, MetadataRetrieveError> validate_unique_keys(const PermissionKeys& keys, std::string_view side);

using PermissionWorkerStarter = retrieve::WorkerStarter;

class PermissionMetadataRetrieveService {
public:
    // Version "65.0", time-out 600 seconds, the default lister.
    static PermissionMetadataRetrieveService create(const cli::SfCliGateway& gateway,
                                                    workspace::WorkspaceLocation location);
    // The given time-out and version (checked only when a retrieve starts), the default lister.
    static PermissionMetadataRetrieveService with_settings(const cli::SfCliGateway& gateway,
                                                           workspace::WorkspaceLocation location,
                                                           std::chrono::milliseconds timeout,
                                                           std::string api_version);

    // The same service listing folders through `lister`.
    PermissionMetadataRetrieveService with_lister(std::shared_ptr<const DirectoryLister> lister) &&;
    // The same service starting its workers through `starter`.
    PermissionMetadataRetrieveService with_worker_starter(PermissionWorkerStarter starter) &&;

    std::expected<RetrievedPermissionMetadata, RetrieveFailure> retrieve(
        std::string_view source_alias, std::string_view target_alias, const PermissionKeys& source_keys,
        const PermissionKeys& target_keys, const std::set<domain::PermissionSubject>& subjects,
        const domain::CancellationToken& cancellation) const;

    const workspace::WorkspaceLocation& location() const noexcept { return location_; }
    const std::string& api_version() const noexcept { return api_version_; }
    std::chrono::milliseconds timeout() const noexcept { return timeout_; }

private:
    PermissionMetadataRetrieveService(const cli::SfCliGateway& gateway, workspace::WorkspaceLocation location,
                                      std::chrono::milliseconds timeout, std::string api_version);

    workspace::WorkspaceLocation location_;
    std::string api_version_;
    std::chrono::milliseconds timeout_;
    const cli::SfCliGateway* gateway_;
    std::shared_ptr<const DirectoryLister> lister_;
    PermissionWorkerStarter starter_;
};

}  // namespace ambrel::metadata::permission_retrieve
