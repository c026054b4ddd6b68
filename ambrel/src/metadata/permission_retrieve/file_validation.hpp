#pragma once

// Proofs over the Profile and PermissionSet files that the CLI retrieved into a temporary project:
// the project folder is still the directory that existed before the run (same device, inode and
// creation time), every folder on the way to "force-app/main/default/permissionsets" or ".../profiles"
// is a real directory, and each requested document exists there as a regular file under exactly the
// requested name, once after case folding. Nothing is followed through a symbolic link, repaired or
// skipped; a proof stops at its first failure and returns no partial map.
//
// Failures are `InvalidPermissionMetadata` (the side's alias, the key named, a reason):
//   "project root is missing", "project root is not a regular directory", "project root disappeared",
//   "project root was replaced by a non-directory or symbolic link", "project root identity changed",
//   "expected metadata directory is missing", "expected metadata directory is not a regular directory",
//   "could not enumerate the expected metadata directory", "expected metadata file is missing",
//   "duplicate case-folded metadata file identities were retrieved",
//   "retrieved metadata filename does not use the exact requested case",
//   "enumerated metadata file disappeared before validation", "expected metadata file is a symbolic
//   link", "expected metadata path is not a regular file";
// any other operating-system error is `CouldNotRun` with the error's text as its detail.
//
// The directory lister is shared by both sides of a retrieve and must be safe for concurrent calls;
// nothing here takes a lock.

#include <expected>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "metadata/permission_models/permission_component_key.hpp"
#include "metadata/retrieve/retrieve_error.hpp"
#include "platform_fs/unix.hpp"

namespace ambrel::metadata::permission_retrieve {

using permission_models::PermissionComponentKey;
using retrieve::MetadataRetrieveError;

using PermissionKeys = std::set<PermissionComponentKey>;
using PermissionFiles = std::map<PermissionComponentKey, std::filesystem::path>;

// The paths of a directory's entries, or the operating system's error.
using DirectoryListing = std::expected<std::vector<std::filesystem::path>, std::error_code>;
using DirectoryLister = std::function<DirectoryListing(const std::filesystem::path&)>;

// Every entry's full path in the order the system delivers them ("." and ".." left out); an error
// while opening or reading fails the whole listing.
std::shared_ptr<const DirectoryLister> default_directory_lister();

// "InvalidPermissionMetadata" for the key.
MetadataRetrieveError invalid_output(std::string_view alias, const PermissionComponentKey& key,
                                     std::string_view reason);
// "CouldNotRun" with the error's text.
MetadataRetrieveError execution_stat_error(std::string_view alias, std::string_view error_text);

// The file name of a key's document: "{name}.permissionset-meta.xml" or "{name}.profile-meta.xml".
std::string expected_file_name(const PermissionComponentKey& key);
// "permissionsets" or "profiles".
std::string_view expected_folder_name(domain::FlsContainerKind kind) noexcept;

class ProjectRootIdentity {
public:
    // Records the project folder (absolute, normalised) and its identity; `keys` is never empty and
    // its first key is named in errors.
    static std::expected<ProjectRootIdentity, MetadataRetrieveError> capture(std::string_view alias,
                                                                             const std::filesystem::path& project,
                                                                             const PermissionKeys& keys);

    // The folder is still a directory with the recorded identity.
    std::expected<void, MetadataRetrieveError> verify(std::string_view alias, const PermissionComponentKey& key) const;

    const std::filesystem::path& root() const noexcept { return root_; }
    const platform_fs::unix::FileIdentity& identity() const noexcept { return identity_; }

private:
    ProjectRootIdentity(std::filesystem::path root, platform_fs::unix::FileIdentity identity)
        : root_(std::move(root)), identity_(identity) {}

    std::filesystem::path root_;
    platform_fs::unix::FileIdentity identity_;
};

// The proofs of one side after a successful run; `keys` is not empty.
std::expected<PermissionFiles, MetadataRetrieveError> validate_retrieved_files(std::string_view alias,
                                                                               const std::filesystem::path& project,
                                                                               const PermissionKeys& keys,
                                                                               const ProjectRootIdentity& identity,
                                                                               const DirectoryLister& lister);

}  // namespace ambrel::metadata::permission_retrieve
