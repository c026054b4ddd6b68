#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>

#include "deployment/git_deploy/git_deploy.hpp"
#include "json/json.hpp"
#include "metadata_types/name_rules.hpp"
#include "text/text.hpp"

namespace ambrel::deployment::git_deploy {
namespace {

using git::GitError;
using platform_fs::below::EntryKind;

constexpr std::string_view kCheckFileStep = "Could not check the metadata file";
constexpr std::string_view kReadDirectoryStep = "Could not read the metadata directory";
constexpr std::string_view kCreateDirectoryStep = "Could not create the metadata directory";
constexpr std::string_view kWriteFileStep = "Could not write the metadata file";

std::pair<std::string_view, std::string_view> split_last(std::string_view relative) {
    const std::size_t slash = relative.rfind('/');
    if (slash == std::string_view::npos) return {std::string_view(), relative};
    return {relative.substr(0, slash), relative.substr(slash + 1)};
}

bool is_ascii(std::string_view text) {
    return std::ranges::all_of(text, [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

bool leads_outside(std::error_code error) {
    return error == std::errc::not_a_directory || error == std::errc::too_many_symbolic_link_levels;
}

}  // namespace

std::expected<EntryKind, std::error_code> RealDeployFileSystem::entry_kind(const std::filesystem::path& root,
                                                                           std::string_view relative) const {
    return platform_fs::below::entry_kind(root, relative);
}

std::expected<std::vector<std::string>, std::error_code> RealDeployFileSystem::list_directory(
    const std::filesystem::path& root, std::string_view relative) const {
    auto directory = platform_fs::below::open_directory(root, relative, false);
    if (!directory) return std::unexpected(directory.error());
    DIR* stream = ::fdopendir(directory->get());
    if (stream == nullptr) return std::unexpected(platform_fs::files::last_error());
    (void)directory->release();  // the stream owns it now
    std::vector<std::string> names;
    errno = 0;
    while (const dirent* entry = ::readdir(stream)) {
        const std::string_view name = entry->d_name;
        if (name != "." && name != "..") names.emplace_back(name);
        errno = 0;
    }
    const std::error_code error = errno != 0 ? platform_fs::files::last_error() : std::error_code();
    ::closedir(stream);
    if (error) return std::unexpected(error);
    return names;
}

GitError not_a_regular_file_refusal(std::string_view relative) {
    const std::string_view name = split_last(relative).second;
    if (name.empty()) return {GitError::Kind::UnsafePath, std::string(git::kUnsafePathSentence)};
    return GitError::not_a_regular_file(name);
}

// Steps of the guarded write that only look: the spelling check and the kind of the destination.
std::expected<void, GitError> check_destination(const DeployFileSystem& file_system, const std::filesystem::path& root,
                                                std::string_view relative,
                                                std::map<std::string, std::set<std::string>>& folder_cache) {
    const auto [folder, name] = split_last(relative);
    if (name.empty()) return std::unexpected(GitError(GitError::Kind::UnsafePath, std::string(git::kUnsafePathSentence)));
    auto kind = file_system.entry_kind(root, relative);
    if (!kind) {
        if (leads_outside(kind.error())) return std::unexpected(GitError::unsafe_path_at(relative));
        return std::unexpected(GitError::file_system(kCheckFileStep, kind.error()));
    }
    if (is_ascii(name) && *kind != EntryKind::Missing) {
        auto cached = folder_cache.find(std::string(folder));
        if (cached == folder_cache.end()) {
            auto names = file_system.list_directory(root, folder);
            if (!names) return std::unexpected(GitError::file_system(kReadDirectoryStep, names.error()));
            cached = folder_cache.emplace(std::string(folder), std::set<std::string>(names->begin(), names->end())).first;
        }
        if (!cached->second.contains(std::string(name))) {
            return std::unexpected(GitError::aliased_destination(text::decode_lossy(name)));
        }
    }
    if (*kind != EntryKind::Missing && *kind != EntryKind::Regular) {
        return std::unexpected(not_a_regular_file_refusal(relative));
    }
    return {};
}

std::expected<void, GitError> write_regular_file(const DeployFileSystem& file_system, const std::filesystem::path& root,
                                                 std::string_view relative, std::string_view content,
                                                 std::map<std::string, std::set<std::string>>& folder_cache) {
    if (auto checked = check_destination(file_system, root, relative, folder_cache); !checked) {
        return std::unexpected(checked.error());
    }
    const auto [folder, name] = split_last(relative);
    auto directory = platform_fs::below::open_directory(root, folder, true);
    if (!directory) {
        if (leads_outside(directory.error())) return std::unexpected(GitError::unsafe_path_at(relative));
        return std::unexpected(GitError::file_system(kCreateDirectoryStep, directory.error()));
    }
    const std::error_code error =
        platform_fs::below::write_file_at(directory->get(), name, content, platform_fs::below::WriteMode::Replace);
    if (error) {
        if (leads_outside(error) || error == std::errc::invalid_argument) {
            return std::unexpected(not_a_regular_file_refusal(relative));
        }
        return std::unexpected(GitError::file_system(kWriteFileStep, error));
    }
    if (auto cached = folder_cache.find(std::string(folder)); cached != folder_cache.end()) {
        cached->second.insert(std::string(name));
    }
    return {};
}

DefaultPackageDirectory default_package_directory(std::string_view project_text) {
    DefaultPackageDirectory result;
    auto parsed = json::parse(project_text);
    if (!parsed) return result;
    const json::Value* directories = json::find(*parsed, "packageDirectories");
    const json::Array* entries = directories == nullptr ? nullptr : json::as_array(*directories);
    if (entries == nullptr) return result;
    std::optional<std::string> candidate;
    for (const json::Value& entry : *entries) {
        const json::Object* object = json::as_object(entry);
        if (object == nullptr) continue;
        const auto path = json::get_string(*object, "path");
        if (!path) continue;
        const std::string_view trimmed = text::trim(*path);
        if (trimmed.empty()) continue;
        if (!metadata_types::is_safe_relative_path_for(trimmed, false)) {
            if (std::ranges::find(result.refused, trimmed) == result.refused.end()) result.refused.emplace_back(trimmed);
            continue;
        }
        const json::Value* flag = json::find(*object, "default");
        if (flag != nullptr && json::as_bool(*flag) == true) {
            result.directory = std::string(trimmed);
            return result;
        }
        if (!candidate) candidate = std::string(trimmed);
    }
    result.directory = std::move(candidate);
    return result;
}

}  // namespace ambrel::deployment::git_deploy
