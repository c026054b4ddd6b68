#include "metadata/manifest/permission_manifest_writer.hpp"

#include <map>
#include <variant>

#include "metadata/manifest/api_versions.hpp"
#include "metadata/manifest/package_manifest_writer.hpp"
#include "platform_fs/files.hpp"

namespace ambrel::metadata::manifest {
namespace {

using domain::FlsContainerKind;
using domain::PermissionSubject;

constexpr std::string_view kPermissionSetType = "PermissionSet";
constexpr std::string_view kProfileType = "Profile";

}  // namespace

std::string_view subject_type_name(const PermissionSubject& subject) noexcept {
    struct Names {
        std::string_view operator()(const PermissionSubject::Field&) const { return "CustomField"; }
        std::string_view operator()(const PermissionSubject::Object&) const { return "CustomObject"; }
        std::string_view operator()(const PermissionSubject::ApexClass&) const { return "ApexClass"; }
        std::string_view operator()(const PermissionSubject::ApexPage&) const { return "ApexPage"; }
        std::string_view operator()(const PermissionSubject::Tab&) const { return "CustomTab"; }
        std::string_view operator()(const PermissionSubject::RecordType&) const { return "RecordType"; }
    };
    return std::visit(Names{}, subject.value);
}

std::optional<PermissionManifestWriter> PermissionManifestWriter::create(std::string api_version) {
    if (!is_api_version(api_version)) return std::nullopt;
    return PermissionManifestWriter(std::move(api_version));
}

std::string PermissionManifestWriter::render_with_subjects(
    std::span<const permission_models::PermissionComponentKey> containers,
    const std::set<PermissionSubject>& subjects) const {
    std::set<std::string_view> permission_sets;
    std::set<std::string_view> profiles;
    for (const auto& key : containers) {
        (key.kind() == FlsContainerKind::PermissionSet ? permission_sets : profiles).insert(key.full_name());
    }
    std::map<std::string_view, std::set<std::string>> subject_types;
    for (const PermissionSubject& subject : subjects) {
        subject_types[subject_type_name(subject)].insert(subject.api_name());
    }

    std::string out(kManifestHead);
    for (const auto& [type_name, members] : subject_types) format::append_types_element(out, members, type_name);
    if (!permission_sets.empty()) format::append_types_element(out, permission_sets, kPermissionSetType);
    if (!profiles.empty()) format::append_types_element(out, profiles, kProfileType);
    format::append_tail(out, api_version_);
    return out;
}

std::expected<std::filesystem::path, PermissionManifestError> PermissionManifestWriter::write_with_subjects(
    const std::filesystem::path& path, std::span<const permission_models::PermissionComponentKey> containers,
    const std::set<PermissionSubject>& subjects) const {
    const std::filesystem::path target = absolute_normalized(path);
    if (target.has_parent_path()) {
        std::error_code error;
        std::filesystem::create_directories(target.parent_path(), error);
        if (error) return std::unexpected(PermissionManifestError{std::string(kCouldNotCreatePermissionManifestParent), error});
    }
    if (const std::error_code error =
            platform_fs::files::replace_durably(target, render_with_subjects(containers, subjects));
        error) {
        return std::unexpected(PermissionManifestError{std::string(kCouldNotWritePermissionManifest), error});
    }
    return target;
}

}  // namespace ambrel::metadata::manifest
