#pragma once

// Deploys one batch of prepared Profile and PermissionSet documents to an org. Every batch gets a
// fresh private SFDX project inside a temporary metadata workspace; each document is written there
// as a new file ("force-app/main/default/permissionsets/{}.permissionset-meta.xml" and
// ".../profiles/{}.profile-meta.xml"), the project's "force-app" is deployed through the deploy
// gateway, and the workspace is removed again before `deploy` returns. Every directory and file of
// the project is pinned by its identity (device, inode, creation time, owner) when created and
// checked again before each step: an entry replaced, moved or re-owned in between stops the batch.
//
// `deploy` never throws for bad input: its own failures are `MetadataDeployResult::Error` values:
//   "Target Salesforce alias is blank."
//   "Salesforce permission metadata deployment was cancelled."
//   "Temporary permission deployment workspace, packaging, or deployment failed. {kind}"
//   "Temporary permission deployment workspace could not be created. {kind}"
// with the kinds "IllegalArgumentException", "IOException", "InvalidApiVersion", "NotDirectChild",
// "IdentityMismatch" and "InsecureParent". A workspace that cannot be removed never changes the
// outcome's kind: after a success the success stands and "Temporary permission deployment workspace
// cleanup failed." is reported as a diagnostic line; after any other outcome its message becomes the
// outcome's cleaned message (at most 1,942 characters), one space and that sentence.
//
// Borrows the deploy gateway, which must outlive the deployer. A deployer keeps no state between
// batches; it is used by one operation at a time on the calling thread.

#include <cstdint>
#include <expected>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "deployment/deploy_gateway/gateway.hpp"
#include "domain/cancellation.hpp"
#include "metadata/permission_models/permission_models.hpp"
#include "metadata/workspace/workspace.hpp"

namespace ambrel::deployment::permission_batch {

using deploy_gateway::MetadataDeployResult;
using metadata::permission_models::PreparedPermissionComponent;

inline constexpr std::string_view kIoFailure = "IOException";
inline constexpr std::string_view kInvalidApiVersionKind = "InvalidApiVersion";
inline constexpr std::string_view kNotDirectChildKind = "NotDirectChild";
inline constexpr std::string_view kIdentityMismatchKind = "IdentityMismatch";
inline constexpr std::string_view kInsecureParentKind = "InsecureParent";
inline constexpr std::string_view kPackagingFailed = "Temporary permission deployment workspace, packaging, or deployment failed.";
inline constexpr std::string_view kWorkspaceNotCreated = "Temporary permission deployment workspace could not be created.";
inline constexpr std::string_view kCleanupFailed = "Temporary permission deployment workspace cleanup failed.";
inline constexpr std::string_view kBlankTargetAlias = "Target Salesforce alias is blank.";
inline constexpr std::string_view kDeployCancelled = "Salesforce permission metadata deployment was cancelled.";
inline constexpr std::string_view kDefaultApiVersion = "65.0";
inline constexpr std::string_view kProjectRootHasParent = "permission deployment project root has a parent";
inline constexpr std::string_view kControlCharactersPattern = "[\r\n\t]+";
// 2,000 less the cleanup sentence and the space before it.
inline constexpr std::size_t kMessageCharsBeforeCleanup = 1942;
inline constexpr std::string_view kForceApp = "force-app";
inline constexpr std::string_view kPermissionSetsDir = "permissionsets";
inline constexpr std::string_view kProfilesDir = "profiles";

// A failure of the deployer's own steps: a short kind, or a cancellation.
struct PermissionInternalError {
    std::string kind;
    bool cancelled = false;

    static PermissionInternalError of(std::string_view kind) { return {std::string(kind), false}; }
    friend bool operator==(const PermissionInternalError&, const PermissionInternalError&) = default;
};

// The identity of one directory or regular file, examined without following links.
struct EntryIdentity {
    std::filesystem::path path;
    std::int64_t device = 0;
    std::uint64_t inode = 0;
    std::uint64_t created_nanos = 0;
    std::uint32_t owner_uid = 0;

    bool same_entry(const EntryIdentity& other) const noexcept {
        return device == other.device && inode == other.inode && created_nanos == other.created_nanos &&
               owner_uid == other.owner_uid;
    }
    friend bool operator==(const EntryIdentity&, const EntryIdentity&) = default;
};

struct DirectoryIdentity : EntryIdentity {
    static std::expected<DirectoryIdentity, PermissionInternalError> capture(const std::filesystem::path& path);
};

struct PackagedFileIdentity : EntryIdentity {
    static std::expected<PackagedFileIdentity, PermissionInternalError> capture(const std::filesystem::path& path);
    std::expected<void, PermissionInternalError> verify() const;
};

// The seven directories of a project: the root's parent, the root, "force-app", "main", "default",
// "permissionsets" and "profiles".
struct PermissionPackageIdentity {
    std::vector<DirectoryIdentity> directories;
    DirectoryIdentity force_app;
    DirectoryIdentity permission_sets;
    DirectoryIdentity profiles;

    std::expected<void, PermissionInternalError> verify() const;
};

using WorkspaceCleanup = std::function<std::expected<void, metadata::workspace::WorkspaceError>()>;

class PermissionDeploymentWorkspace {
public:
    // Pins the project's directories. On failure the cleanup is dropped uncalled, which releases
    // (and so removes) the workspace it owns. A root without a parent is a caller fault.
    static std::expected<PermissionDeploymentWorkspace, PermissionInternalError> create(std::filesystem::path project_root,
                                                                                       WorkspaceCleanup cleanup);

    const std::filesystem::path& project_root() const noexcept { return project_root_; }
    const PermissionPackageIdentity& identity() const noexcept { return identity_; }
    // Runs the cleanup once; later calls succeed without doing anything.
    std::expected<void, metadata::workspace::WorkspaceError> cleanup();

private:
    PermissionDeploymentWorkspace(std::filesystem::path root, PermissionPackageIdentity identity, WorkspaceCleanup cleanup)
        : project_root_(std::move(root)), identity_(std::move(identity)), cleanup_(std::move(cleanup)) {}

    std::filesystem::path project_root_;
    PermissionPackageIdentity identity_;
    WorkspaceCleanup cleanup_;
};

// Creates "permissionsets" and then "profiles" inside the root's "force-app/main/default".
std::expected<void, PermissionInternalError> prepare_permission_directories(const std::filesystem::path& project_root);

// The kind of a workspace failure ("InvalidApiVersion", "NotDirectChild", "IdentityMismatch",
// "InsecureParent" or "IOException").
std::string_view workspace_failure_kind(const metadata::workspace::WorkspaceError& error) noexcept;

// Duplicate keys, refused full names or blank documents give the kind; otherwise the components
// sorted by key.
std::expected<std::vector<PreparedPermissionComponent>, PermissionInternalError> validate_and_order(
    std::span<const PreparedPermissionComponent> components);

class PermissionComponentBatchDeployer {
public:
    virtual ~PermissionComponentBatchDeployer() = default;
    virtual MetadataDeployResult deploy(std::span<const PreparedPermissionComponent> components,
                                        const std::string& target_alias, const domain::CancellationToken& token) = 0;
};

using WorkspaceFactory = std::function<std::expected<PermissionDeploymentWorkspace, PermissionInternalError>()>;
using BeforeWriteHook = std::function<void()>;

// Borrows the gateway, which must outlive it.
class SfCliPermissionComponentBatchDeployer final : public PermissionComponentBatchDeployer {
public:
    // API version "65.0".
    static SfCliPermissionComponentBatchDeployer create(deploy_gateway::MetadataDeployGateway& gateway,
                                                        metadata::workspace::WorkspaceLocation location);
    static SfCliPermissionComponentBatchDeployer with_api_version(deploy_gateway::MetadataDeployGateway& gateway,
                                                                  metadata::workspace::WorkspaceLocation location,
                                                                  std::string api_version);

    // Test seams: another workspace factory, or a hook run just before each document file is made.
    SfCliPermissionComponentBatchDeployer with_workspace_factory(WorkspaceFactory factory) &&;
    SfCliPermissionComponentBatchDeployer with_before_write_hook(BeforeWriteHook hook) &&;

    MetadataDeployResult deploy(std::span<const PreparedPermissionComponent> components, const std::string& target_alias,
                                const domain::CancellationToken& token) override;

private:
    SfCliPermissionComponentBatchDeployer(deploy_gateway::MetadataDeployGateway& gateway, WorkspaceFactory factory)
        : gateway_(&gateway), workspace_factory_(std::move(factory)), before_write_hook_([] {}) {}

    MetadataDeployResult run_primary(const std::vector<PreparedPermissionComponent>& sorted,
                                     const PermissionDeploymentWorkspace& workspace, const std::string& target_alias,
                                     const domain::CancellationToken& token);

    deploy_gateway::MetadataDeployGateway* gateway_;
    WorkspaceFactory workspace_factory_;
    BeforeWriteHook before_write_hook_;
};

// The workspace factory both constructors install.
WorkspaceFactory metadata_workspace_factory(metadata::workspace::WorkspaceLocation location, std::string api_version);

// The message of an outcome after its workspace could not be removed (see the top of this file).
MetadataDeployResult with_cleanup_failure(MetadataDeployResult result);

}  // namespace ambrel::deployment::permission_batch
