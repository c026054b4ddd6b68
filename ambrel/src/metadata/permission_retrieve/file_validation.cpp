#include "metadata/permission_retrieve/file_validation.hpp"

#include <sys/stat.h>

#include <cerrno>

#include <fmt/format.h>

#include "metadata/manifest/api_versions.hpp"
#include "text/text.hpp"

namespace ambrel::metadata::permission_retrieve {
namespace {

namespace fs = std::filesystem;
using domain::FlsContainerKind;

constexpr std::string_view kMetadataFolder[] = {"force-app", "main", "default"};

constexpr std::string_view kProjectRootMissing = "project root is missing";
constexpr std::string_view kProjectRootNotDirectory = "project root is not a regular directory";
constexpr std::string_view kProjectRootDisappeared = "project root disappeared";
constexpr std::string_view kProjectRootReplaced = "project root was replaced by a non-directory or symbolic link";
constexpr std::string_view kProjectRootIdentityChanged = "project root identity changed";
constexpr std::string_view kDirectoryMissing = "expected metadata directory is missing";
constexpr std::string_view kDirectoryNotDirectory = "expected metadata directory is not a regular directory";
constexpr std::string_view kCouldNotEnumerate = "could not enumerate the expected metadata directory";
constexpr std::string_view kFileMissing = "expected metadata file is missing";
constexpr std::string_view kDuplicateFiles = "duplicate case-folded metadata file identities were retrieved";
constexpr std::string_view kWrongCase = "retrieved metadata filename does not use the exact requested case";
constexpr std::string_view kFileDisappeared = "enumerated metadata file disappeared before validation";
constexpr std::string_view kFileIsLink = "expected metadata file is a symbolic link";
constexpr std::string_view kFileNotRegular = "expected metadata path is not a regular file";

// The entry's own status (a link is not followed), or the errno of the failure.
std::expected<struct stat, std::error_code> entry_status(const fs::path& path) {
    struct stat status {};
    if (::lstat(path.c_str(), &status) != 0) return std::unexpected(std::error_code(errno, std::generic_category()));
    return status;
}

bool is_missing(const std::error_code& error) { return error == std::errc::no_such_file_or_directory; }

std::expected<void, MetadataRetrieveError> check_directory_on_the_way(std::string_view alias, const fs::path& path,
                                                                      const PermissionComponentKey& first) {
    const auto status = entry_status(path);
    if (!status) {
        if (is_missing(status.error())) return std::unexpected(invalid_output(alias, first, kDirectoryMissing));
        return std::unexpected(execution_stat_error(alias, status.error().message()));
    }
    if (!S_ISDIR(status->st_mode)) return std::unexpected(invalid_output(alias, first, kDirectoryNotDirectory));
    return {};
}

std::expected<void, MetadataRetrieveError> check_file(std::string_view alias, const fs::path& path,
                                                      const PermissionComponentKey& key) {
    const auto status = entry_status(path);
    if (!status) {
        if (is_missing(status.error())) return std::unexpected(invalid_output(alias, key, kFileDisappeared));
        return std::unexpected(execution_stat_error(alias, status.error().message()));
    }
    if (S_ISLNK(status->st_mode)) return std::unexpected(invalid_output(alias, key, kFileIsLink));
    if (!S_ISREG(status->st_mode)) return std::unexpected(invalid_output(alias, key, kFileNotRegular));
    return {};
}

// The listed paths by their lower-cased last name, in listing order.
std::map<std::string, std::vector<fs::path>> index_listing(const std::vector<fs::path>& listing) {
    std::map<std::string, std::vector<fs::path>> index;
    for (const fs::path& path : listing) {
        index[text::to_lower(text::decode_lossy(path.filename().native()))].push_back(path);
    }
    return index;
}

std::expected<void, MetadataRetrieveError> validate_kind(std::string_view alias, const fs::path& project_root,
                                                         FlsContainerKind kind,
                                                         const std::vector<const PermissionComponentKey*>& keys,
                                                         const ProjectRootIdentity& identity,
                                                         const DirectoryLister& lister, PermissionFiles& files) {
    const PermissionComponentKey& first = *keys.front();
    if (auto verified = identity.verify(alias, first); !verified) return verified;
    fs::path expected = project_root;
    for (std::string_view part : kMetadataFolder) expected /= part;
    expected /= expected_folder_name(kind);
    if (auto verified = identity.verify(alias, first); !verified) return verified;

    fs::path step = project_root;
    for (std::string_view part : kMetadataFolder) {
        step /= part;
        if (auto checked = check_directory_on_the_way(alias, step, first); !checked) return checked;
    }
    step /= expected_folder_name(kind);
    if (auto checked = check_directory_on_the_way(alias, step, first); !checked) return checked;
    if (auto verified = identity.verify(alias, first); !verified) return verified;

    const DirectoryListing listing = lister(expected);
    if (!listing) return std::unexpected(invalid_output(alias, first, kCouldNotEnumerate));
    const auto index = index_listing(*listing);

    for (const PermissionComponentKey* key : keys) {
        const std::string file_name = expected_file_name(*key);
        const auto found = index.find(text::to_lower(file_name));
        if (found == index.end()) return std::unexpected(invalid_output(alias, *key, kFileMissing));
        if (found->second.size() > 1) return std::unexpected(invalid_output(alias, *key, kDuplicateFiles));
        const fs::path path = manifest::absolute_normalized(found->second.front());
        if (!path.has_parent_path() || path.parent_path() != expected || path.filename().native() != file_name) {
            return std::unexpected(invalid_output(alias, *key, kWrongCase));
        }
        if (auto checked = check_file(alias, path, *key); !checked) return checked;
        files.emplace(*key, path);
    }
    return identity.verify(alias, first);
}

}  // namespace

std::shared_ptr<const DirectoryLister> default_directory_lister() {
    static const auto lister = std::make_shared<const DirectoryLister>([](const fs::path& folder) -> DirectoryListing {
        std::vector<fs::path> entries;
        std::error_code error;
        fs::directory_iterator it(folder, error);
        if (error) return std::unexpected(error);
        for (; it != fs::directory_iterator(); it.increment(error)) {
            if (error) return std::unexpected(error);
            entries.push_back(it->path());
        }
        if (error) return std::unexpected(error);
        return entries;
    });
    return lister;
}

MetadataRetrieveError invalid_output(std::string_view alias, const PermissionComponentKey& key,
                                     std::string_view reason) {
    return MetadataRetrieveError::InvalidPermissionMetadata{std::string(alias), key.full_name(), std::string(reason),
                                                            key.kind()};
}

MetadataRetrieveError execution_stat_error(std::string_view alias, std::string_view error_text) {
    return MetadataRetrieveError::CouldNotRun{std::string(alias), std::string(error_text)};
}

std::string expected_file_name(const PermissionComponentKey& key) {
    return key.full_name() +
           (key.kind() == FlsContainerKind::PermissionSet ? ".permissionset-meta.xml" : ".profile-meta.xml");
}

std::string_view expected_folder_name(FlsContainerKind kind) noexcept {
    return kind == FlsContainerKind::PermissionSet ? "permissionsets" : "profiles";
}

std::expected<ProjectRootIdentity, MetadataRetrieveError> ProjectRootIdentity::capture(
    std::string_view alias, const fs::path& project, const PermissionKeys& keys) {
    const PermissionComponentKey& first = *keys.begin();
    fs::path root = manifest::absolute_normalized(project);
    const auto status = entry_status(root);
    if (!status) {
        if (is_missing(status.error())) return std::unexpected(invalid_output(alias, first, kProjectRootMissing));
        return std::unexpected(execution_stat_error(alias, status.error().message()));
    }
    if (!S_ISDIR(status->st_mode)) return std::unexpected(invalid_output(alias, first, kProjectRootNotDirectory));
    const auto identity = platform_fs::unix::identity_of(root);
    if (!identity) return std::unexpected(execution_stat_error(alias, identity.error().message()));
    return ProjectRootIdentity(std::move(root), *identity);
}

std::expected<void, MetadataRetrieveError> ProjectRootIdentity::verify(std::string_view alias,
                                                                       const PermissionComponentKey& key) const {
    const auto status = entry_status(root_);
    if (!status) {
        if (is_missing(status.error())) return std::unexpected(invalid_output(alias, key, kProjectRootDisappeared));
        return std::unexpected(execution_stat_error(alias, status.error().message()));
    }
    if (!S_ISDIR(status->st_mode)) return std::unexpected(invalid_output(alias, key, kProjectRootReplaced));
    const auto identity = platform_fs::unix::identity_of(root_);
    if (!identity) return std::unexpected(execution_stat_error(alias, identity.error().message()));
    if (*identity != identity_) return std::unexpected(invalid_output(alias, key, kProjectRootIdentityChanged));
    return {};
}

std::expected<PermissionFiles, MetadataRetrieveError> validate_retrieved_files(std::string_view alias,
                                                                               const fs::path& project,
                                                                               const PermissionKeys& keys,
                                                                               const ProjectRootIdentity& identity,
                                                                               const DirectoryLister& lister) {
    const fs::path project_root = manifest::absolute_normalized(project);
    std::vector<const PermissionComponentKey*> permission_sets;
    std::vector<const PermissionComponentKey*> profiles;
    for (const PermissionComponentKey& key : keys) {
        (key.kind() == FlsContainerKind::PermissionSet ? permission_sets : profiles).push_back(&key);
    }
    PermissionFiles files;
    for (const auto& [kind, list] : {std::pair{FlsContainerKind::PermissionSet, &permission_sets},
                                     std::pair{FlsContainerKind::Profile, &profiles}}) {
        if (list->empty()) continue;
        if (auto done = validate_kind(alias, project_root, kind, *list, identity, lister, files); !done) {
            return std::unexpected(std::move(done.error()));
        }
    }
    if (auto verified = identity.verify(alias, *keys.begin()); !verified) return std::unexpected(std::move(verified.error()));
    return files;
}

}  // namespace ambrel::metadata::permission_retrieve
