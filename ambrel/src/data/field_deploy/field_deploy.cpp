#include "data/field_deploy/field_deploy.hpp"

#include <system_error>

#include <fmt/format.h>

#include "data/field_package/field_package.hpp"
#include "data/preparation/key_state.hpp"
#include "metadata/manifest/api_versions.hpp"
#include "metadata/workspace/workspace.hpp"
#include "metadata_types/name_rules.hpp"
#include "platform_fs/files.hpp"
#include "text/text.hpp"

namespace ambrel::data::field_deploy {

namespace {

namespace gateway = deployment::deploy_gateway;

std::expected<void, std::string> write_file(const std::filesystem::path& package, std::string_view relative,
                                            std::string_view content) {
    const std::filesystem::path relative_path(relative);
    if (!relative_path.has_parent_path()) return std::unexpected(packaging_failure());
    if (platform_fs::files::create_directories_below(package, relative_path.parent_path())) {
        return std::unexpected(packaging_failure());
    }
    if (platform_fs::files::replace_durably(package / relative_path, content)) return std::unexpected(packaging_failure());
    return {};
}

// The gateway's answer as the deployer reports it.
std::expected<void, std::string> map_result(const gateway::MetadataDeployResult& result) {
    using Result = gateway::MetadataDeployResult;
    auto failure = [](std::string_view detail) { return std::unexpected(preparation_failure(sanitize_for_display(detail))); };
    if (std::holds_alternative<Result::Succeeded>(result.value)) return {};
    if (const auto* components = std::get_if<Result::ComponentFailures>(&result.value)) {
        if (!components->failures.empty()) return failure(components->failures.front().second);
        return failure(components->message);
    }
    if (const auto* failed = std::get_if<Result::Failed>(&result.value)) {
        if (!failed->failures.empty()) return failure(failed->failures.front().second);
        return failure(failed->message);
    }
    return failure(std::get<Result::Error>(result.value).message);
}

}  // namespace

std::string sanitize_for_display(std::string_view text) { return text::replace_control_characters(text); }

std::expected<std::string, std::string> checked_relative_path(std::string_view path) {
    if (metadata_types::is_safe_relative_path_for(path, false)) return std::string(path);
    return std::unexpected(fmt::format("{} Offending path: {}", kUnsafePath, sanitize_for_display(path)));
}

std::string packaging_failure() { return std::string(kPackagingFailure); }

std::string preparation_failure(std::string_view detail) {
    const std::string_view trimmed = text::trim(detail);
    if (trimmed.empty()) return std::string(kCreationFailure);
    return fmt::format("{} {}", kCreationFailure, trimmed);
}

std::expected<void, std::string> write_package(const std::filesystem::path& project_root,
                                               const std::vector<std::string>& object_paths,
                                               const std::vector<std::string>& objects, std::string_view profile_path,
                                               std::string_view api_version) {
    if (!metadata::workspace::write_project_manifest(project_root, api_version)) return std::unexpected(packaging_failure());
    const std::filesystem::path package = project_root / kPackageFolder;
    std::error_code error;
    const auto status = std::filesystem::symlink_status(package, error);
    if (error && error != std::errc::no_such_file_or_directory) return std::unexpected(packaging_failure());
    if (!error && std::filesystem::exists(status)) {
        // remove_all removes a link as a link and never follows links below the folder.
        std::filesystem::remove_all(package, error);
        if (error) return std::unexpected(packaging_failure());
    }
    std::filesystem::create_directories(package, error);
    if (error) return std::unexpected(packaging_failure());

    const std::string field_document = field_package::external_id_field_document();
    for (const std::string& path : object_paths) {
        if (auto written = write_file(package, path, field_document); !written) return written;
    }
    return write_file(package, profile_path, field_package::profile_field_permissions_document(objects));
}

std::expected<void, std::string> PreparationFieldDeployer::deploy(const std::filesystem::path& project_root,
                                                                  std::string_view alias,
                                                                  const std::vector<std::string>& objects,
                                                                  const std::optional<std::string>& profile,
                                                                  std::string_view api_version,
                                                                  const domain::CancellationToken& cancel) {
    if (objects.empty()) return {};
    if (cancel.is_cancelled()) return std::unexpected(std::string(gateway::kCancelled));
    if (!profile) return std::unexpected(std::string(kMissingProfile));

    // Every path is checked before anything is written, so a refused name leaves the folder untouched.
    std::vector<std::string> object_paths;
    object_paths.reserve(objects.size());
    for (const std::string& object : objects) {
        auto path = checked_relative_path(fmt::format("objects/{}/fields/{}.field-meta.xml", object, preparation::kOwnField));
        if (!path) return std::unexpected(std::move(path.error()));
        object_paths.push_back(std::move(*path));
    }
    auto profile_path = checked_relative_path(fmt::format("profiles/{}.profile-meta.xml", *profile));
    if (!profile_path) return std::unexpected(std::move(profile_path.error()));

    const std::filesystem::path root = metadata::manifest::absolute_normalized(project_root);
    if (auto written = write_package(root, object_paths, objects, *profile_path, api_version); !written) return written;

    if (cancel.is_cancelled()) return std::unexpected(std::string(gateway::kCancelled));

    gateway::RequestedComponents requested;
    for (const std::string& object : objects) {
        requested.insert({std::string(kCustomFieldType), fmt::format("{}.{}", object, preparation::kOwnField)});
    }
    requested.insert({std::string(kProfileType), *profile});
    const std::string target(alias);
    return map_result(gateway_->deploy(root / kPackageFolder, root, target, requested, cancel));
}

}  // namespace ambrel::data::field_deploy
