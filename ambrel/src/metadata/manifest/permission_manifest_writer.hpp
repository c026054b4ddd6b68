#pragma once

// The package.xml of a Profile and PermissionSet retrieve: the components that the selected
// permissions are about (fields, objects, Apex classes, pages, tabs, record types), so that the
// retrieved documents carry their permissions, and then the containers themselves. The format is that
// of package_manifest_writer.hpp, except that the "PermissionSet" and then the "Profile" element
// always come last, after every subject type, and only when some container of that kind is asked for.
//
// A writer exists only for a version that matches `API_VERSION` (`create` gives none otherwise).
// Writing fails with `PermissionManifestError`, whose message is one of
//   "Could not create permission manifest parent directory"
//   "Could not write permission manifest"
// and which keeps the operating system's error. Rendering is pure; the writer holds only its version.

#include <expected>
#include <filesystem>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <system_error>

#include "domain/permission.hpp"
#include "metadata/permission_models/permission_component_key.hpp"

namespace ambrel::metadata::manifest {

inline constexpr std::string_view kCouldNotCreatePermissionManifestParent =
    "Could not create permission manifest parent directory";
inline constexpr std::string_view kCouldNotWritePermissionManifest = "Could not write permission manifest";

struct PermissionManifestError {
    std::string message;
    std::error_code error;

    friend bool operator==(const PermissionManifestError&, const PermissionManifestError&) = default;
};

// The package.xml type name of a permission subject: "CustomField", "CustomObject", "ApexClass",
// "ApexPage", "CustomTab" or "RecordType".
std::string_view subject_type_name(const domain::PermissionSubject& subject) noexcept;

class PermissionManifestWriter {
public:
    // A writer for the version, or none when the whole text is not an API version.
    static std::optional<PermissionManifestWriter> create(std::string api_version);

    const std::string& api_version() const noexcept { return api_version_; }

    std::string render_with_subjects(std::span<const permission_models::PermissionComponentKey> containers,
                                     const std::set<domain::PermissionSubject>& subjects) const;

    // Renders and writes the manifest at the absolute, normalised form of `path` (creating missing
    // parent folders, replacing an existing file) and returns that path.
    std::expected<std::filesystem::path, PermissionManifestError> write_with_subjects(
        const std::filesystem::path& path, std::span<const permission_models::PermissionComponentKey> containers,
        const std::set<domain::PermissionSubject>& subjects) const;

private:
    explicit PermissionManifestWriter(std::string api_version) : api_version_(std::move(api_version)) {}

    std::string api_version_;
};

}  // namespace ambrel::metadata::manifest
