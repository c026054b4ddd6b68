#include "deployment/permission_batch/batch_deployer.hpp"

#include <fcntl.h>
#include <sys/stat.h>

#include <re2/re2.h>

#include <algorithm>
#include <set>
#include <utility>

#include "deployment/permission_batch/permission_batch.hpp"
#include "metadata/manifest/api_versions.hpp"
#include "platform_fs/files.hpp"
#include "platform_fs/unix.hpp"
#include "support/programming_error.hpp"
#include "text/text.hpp"

namespace ambrel::deployment::permission_batch {
namespace {

namespace fs = std::filesystem;
using metadata::manifest::absolute_normalized;
using metadata::workspace::WorkspaceError;

constexpr mode_t kDirectoryMode = 0777;
constexpr mode_t kFileMode = 0666;
constexpr std::string_view kProfileSuffix = ".profile-meta.xml";
constexpr std::string_view kPermissionSetSuffix = ".permissionset-meta.xml";

PermissionInternalError illegal() { return PermissionInternalError::of(kIllegalArgument); }

const re2::RE2& control_characters() {
    static const re2::RE2 compiled{re2::StringPiece(kControlCharactersPattern.data(), kControlCharactersPattern.size())};
    return compiled;
}

enum class EntryType { Directory, Regular };

std::expected<EntryIdentity, PermissionInternalError> capture_entry(const fs::path& path, EntryType type) {
    const fs::path absolute = absolute_normalized(path);
    struct stat info {};
    if (::lstat(absolute.c_str(), &info) != 0) return std::unexpected(illegal());
    const bool fits = type == EntryType::Directory ? S_ISDIR(info.st_mode) : S_ISREG(info.st_mode);
    if (!fits) return std::unexpected(illegal());
    const auto identity = platform_fs::unix::identity_of(absolute);
    if (!identity) return std::unexpected(illegal());
    struct stat again {};
    if (::lstat(absolute.c_str(), &again) != 0) return std::unexpected(illegal());
    EntryIdentity out;
    out.path = absolute;
    out.device = identity->device;
    out.inode = identity->inode;
    out.created_nanos = identity->creation_time_ns;
    out.owner_uid = again.st_uid;
    return out;
}

bool exists_without_following(const fs::path& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0;
}

std::expected<void, PermissionInternalError> write_new_file(const fs::path& path, std::string_view bytes) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kFileMode);
    if (fd < 0) return std::unexpected(PermissionInternalError::of(kIoFailure));
    platform_fs::files::UniqueFd file(fd);
    if (platform_fs::files::write_all(file.get(), bytes)) return std::unexpected(PermissionInternalError::of(kIoFailure));
    if (file.close()) return std::unexpected(PermissionInternalError::of(kIoFailure));
    return {};
}

MetadataDeployResult error(std::string message) { return {MetadataDeployResult::Error{std::move(message)}}; }

MetadataDeployResult packaging_failure(const PermissionInternalError& failure) {
    if (failure.cancelled) return error(std::string(kDeployCancelled));
    return error(append_kind(kPackagingFailed, failure.kind));
}

}  // namespace

std::expected<DirectoryIdentity, PermissionInternalError> DirectoryIdentity::capture(const fs::path& path) {
    auto entry = capture_entry(path, EntryType::Directory);
    if (!entry) return std::unexpected(entry.error());
    return DirectoryIdentity{std::move(*entry)};
}

std::expected<PackagedFileIdentity, PermissionInternalError> PackagedFileIdentity::capture(const fs::path& path) {
    auto entry = capture_entry(path, EntryType::Regular);
    if (!entry) return std::unexpected(entry.error());
    return PackagedFileIdentity{std::move(*entry)};
}

std::expected<void, PermissionInternalError> PackagedFileIdentity::verify() const {
    auto again = capture(path);
    if (!again) return std::unexpected(again.error());
    if (!same_entry(*again)) return std::unexpected(illegal());
    return {};
}

std::expected<void, PermissionInternalError> PermissionPackageIdentity::verify() const {
    if (directories.size() != 7) return std::unexpected(illegal());
    for (std::size_t i = 1; i < 5; ++i) {
        if (directories[i].path.parent_path() != directories[i - 1].path) return std::unexpected(illegal());
    }
    if (permission_sets.path.parent_path() != directories[4].path || profiles.path.parent_path() != directories[4].path) {
        return std::unexpected(illegal());
    }
    for (const auto& directory : directories) {
        auto again = DirectoryIdentity::capture(directory.path);
        if (!again) return std::unexpected(again.error());
        if (!directory.same_entry(*again)) return std::unexpected(illegal());
    }
    for (const auto& directory : directories) {
        if (directory.owner_uid != directories.front().owner_uid) return std::unexpected(illegal());
    }
    return {};
}

std::expected<PermissionDeploymentWorkspace, PermissionInternalError> PermissionDeploymentWorkspace::create(
    fs::path project_root, WorkspaceCleanup cleanup) {
    support::require(project_root.has_parent_path(), kProjectRootHasParent);
    const fs::path root = absolute_normalized(project_root);
    const fs::path parent = absolute_normalized(project_root.parent_path());
    if (root.parent_path() != parent) return std::unexpected(illegal());

    const std::vector<fs::path> paths{parent,
                                      root,
                                      root / kForceApp,
                                      root / kForceApp / "main",
                                      root / kForceApp / "main" / "default",
                                      root / kForceApp / "main" / "default" / kPermissionSetsDir,
                                      root / kForceApp / "main" / "default" / kProfilesDir};
    PermissionPackageIdentity identity;
    for (const auto& path : paths) {
        auto captured = DirectoryIdentity::capture(path);
        if (!captured) return std::unexpected(captured.error());
        identity.directories.push_back(std::move(*captured));
    }
    identity.force_app = identity.directories[2];
    identity.permission_sets = identity.directories[5];
    identity.profiles = identity.directories[6];
    if (auto verified = identity.verify(); !verified) return std::unexpected(verified.error());
    return PermissionDeploymentWorkspace(std::move(project_root), std::move(identity), std::move(cleanup));
}

std::expected<void, WorkspaceError> PermissionDeploymentWorkspace::cleanup() {
    if (!cleanup_) return {};
    auto run = std::exchange(cleanup_, nullptr);
    return run();
}

std::expected<void, PermissionInternalError> prepare_permission_directories(const fs::path& project_root) {
    const fs::path default_dir = absolute_normalized(project_root / kForceApp / "main" / "default");
    struct stat info {};
    if (::lstat(default_dir.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) return std::unexpected(illegal());
    for (const std::string_view name : {kPermissionSetsDir, kProfilesDir}) {
        const fs::path directory = default_dir / name;
        if (::mkdir(directory.c_str(), kDirectoryMode) != 0) return std::unexpected(PermissionInternalError::of(kIoFailure));
        struct stat made {};
        if (::lstat(directory.c_str(), &made) != 0 || !S_ISDIR(made.st_mode)) return std::unexpected(illegal());
    }
    return {};
}

std::string_view workspace_failure_kind(const WorkspaceError& error) noexcept {
    return std::visit(
        [](const auto& value) -> std::string_view {
            using T = std::decay_t<decltype(value)>;
            if constexpr (std::is_same_v<T, WorkspaceError::InvalidApiVersion>) {
                return kInvalidApiVersionKind;
            } else if constexpr (std::is_same_v<T, WorkspaceError::NotDirectChild>) {
                return kNotDirectChildKind;
            } else if constexpr (std::is_same_v<T, WorkspaceError::ReplacedPath>) {
                return kIdentityMismatchKind;
            } else if constexpr (std::is_same_v<T, WorkspaceError::InsecureParent>) {
                return kInsecureParentKind;
            } else {
                return kIoFailure;
            }
        },
        error.variant());
}

WorkspaceFactory metadata_workspace_factory(metadata::workspace::WorkspaceLocation location, std::string api_version) {
    return [location = std::move(location),
            api_version = std::move(api_version)]() -> std::expected<PermissionDeploymentWorkspace, PermissionInternalError> {
        auto workspace = metadata::workspace::MetadataWorkspace::create(location, api_version);
        if (!workspace) return std::unexpected(PermissionInternalError::of(workspace_failure_kind(workspace.error())));
        const fs::path root = (*workspace)->source_project();
        if (auto prepared = prepare_permission_directories(root); !prepared) {
            (void)(*workspace)->close();
            return std::unexpected(prepared.error());
        }
        std::shared_ptr<metadata::workspace::MetadataWorkspace> owned = std::move(*workspace);
        return PermissionDeploymentWorkspace::create(root, [owned]() { return owned->close(); });
    };
}

std::expected<std::vector<PreparedPermissionComponent>, PermissionInternalError> validate_and_order(
    std::span<const PreparedPermissionComponent> components) {
    std::set<metadata::permission_models::PermissionComponentKey> seen;
    for (const auto& component : components) {
        if (!seen.insert(component.key).second) return std::unexpected(illegal());
    }
    for (const auto& component : components) {
        if (validate_full_name(component.key.full_name())) return std::unexpected(illegal());
        if (text::is_blank(component.xml)) return std::unexpected(illegal());
    }
    std::vector<PreparedPermissionComponent> sorted(components.begin(), components.end());
    std::stable_sort(sorted.begin(), sorted.end(), [](const auto& a, const auto& b) { return a.key < b.key; });
    return sorted;
}

MetadataDeployResult with_cleanup_failure(MetadataDeployResult result) {
    if (std::holds_alternative<MetadataDeployResult::Succeeded>(result.value)) {
        // The org accepted the deploy: a leftover folder must not turn it into a failure, so it is
        // only reported.
        support::report_diagnostic(kCleanupFailed);
        return result;
    }
    const auto compose = [](std::string& message) {
        std::string flat = message;
        re2::RE2::GlobalReplace(&flat, control_characters(), " ");
        const std::string cut(text::first_chars(text::trim(flat), kMessageCharsBeforeCleanup));
        const std::string joined = cut + " " + std::string(kCleanupFailed);
        message = std::string(text::first_chars(text::trim(joined), kMaxMessageChars));
    };
    std::visit(
        [&](auto& value) {
            using T = std::decay_t<decltype(value)>;
            if constexpr (!std::is_same_v<T, MetadataDeployResult::Succeeded>) compose(value.message);
        },
        result.value);
    return result;
}

SfCliPermissionComponentBatchDeployer SfCliPermissionComponentBatchDeployer::create(
    deploy_gateway::MetadataDeployGateway& gateway, metadata::workspace::WorkspaceLocation location) {
    return with_api_version(gateway, std::move(location), std::string(kDefaultApiVersion));
}

SfCliPermissionComponentBatchDeployer SfCliPermissionComponentBatchDeployer::with_api_version(
    deploy_gateway::MetadataDeployGateway& gateway, metadata::workspace::WorkspaceLocation location,
    std::string api_version) {
    return SfCliPermissionComponentBatchDeployer(gateway,
                                                 metadata_workspace_factory(std::move(location), std::move(api_version)));
}

SfCliPermissionComponentBatchDeployer SfCliPermissionComponentBatchDeployer::with_workspace_factory(
    WorkspaceFactory factory) && {
    workspace_factory_ = std::move(factory);
    return std::move(*this);
}

SfCliPermissionComponentBatchDeployer SfCliPermissionComponentBatchDeployer::with_before_write_hook(BeforeWriteHook hook) && {
    before_write_hook_ = std::move(hook);
    return std::move(*this);
}

MetadataDeployResult SfCliPermissionComponentBatchDeployer::deploy(std::span<const PreparedPermissionComponent> components,
                                                                   const std::string& target_alias,
                                                                   const domain::CancellationToken& token) {
    if (text::is_blank(target_alias)) return error(std::string(kBlankTargetAlias));
    if (components.empty()) return {MetadataDeployResult::Succeeded{}};
    if (token.is_cancelled()) return error(std::string(kDeployCancelled));
    auto sorted = validate_and_order(components);
    if (!sorted) return packaging_failure(sorted.error());

    auto workspace = workspace_factory_();
    if (!workspace) {
        if (workspace.error().cancelled) return error(std::string(kDeployCancelled));
        return error(append_kind(kWorkspaceNotCreated, workspace.error().kind));
    }
    MetadataDeployResult result = run_primary(*sorted, *workspace, target_alias, token);
    if (!workspace->cleanup()) return with_cleanup_failure(std::move(result));
    return result;
}

MetadataDeployResult SfCliPermissionComponentBatchDeployer::run_primary(
    const std::vector<PreparedPermissionComponent>& sorted, const PermissionDeploymentWorkspace& workspace,
    const std::string& target_alias, const domain::CancellationToken& token) {
    if (token.is_cancelled()) return error(std::string(kDeployCancelled));
    const auto& identity = workspace.identity();
    const fs::path root = absolute_normalized(workspace.project_root());
    const fs::path source_dir = absolute_normalized(root / kForceApp);
    if (source_dir.parent_path() != root || source_dir != identity.force_app.path) return packaging_failure(illegal());
    if (auto verified = identity.verify(); !verified) return packaging_failure(verified.error());

    std::vector<PackagedFileIdentity> written;
    for (const auto& component : sorted) {
        const bool profile = component.key.kind() == domain::FlsContainerKind::Profile;
        const fs::path& directory = profile ? identity.profiles.path : identity.permission_sets.path;
        const fs::path target = absolute_normalized(
            directory / (component.key.full_name() + std::string(profile ? kProfileSuffix : kPermissionSetSuffix)));
        if (target.parent_path() != directory) return packaging_failure(illegal());
        if (exists_without_following(target)) return packaging_failure(illegal());
        before_write_hook_();
        if (auto verified = identity.verify(); !verified) return packaging_failure(verified.error());
        if (auto made = write_new_file(target, component.xml); !made) return packaging_failure(made.error());
        if (auto verified = identity.verify(); !verified) return packaging_failure(verified.error());
        auto file = PackagedFileIdentity::capture(target);
        if (!file) return packaging_failure(file.error());
        if (auto verified = file->verify(); !verified) return packaging_failure(verified.error());
        written.push_back(std::move(*file));
    }

    if (token.is_cancelled()) return error(std::string(kDeployCancelled));
    if (auto verified = identity.verify(); !verified) return packaging_failure(verified.error());
    for (const auto& file : written) {
        if (auto verified = file.verify(); !verified) return packaging_failure(verified.error());
    }

    deploy_gateway::RequestedComponents requested;
    for (const auto& component : sorted) requested.insert(to_metadata_component_key(component.key));
    return gateway_->deploy(source_dir, root, target_alias, requested, token);
}

}  // namespace ambrel::deployment::permission_batch
