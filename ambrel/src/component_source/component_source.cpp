#include "component_source/component_source.hpp"

#include <algorithm>
#include <cerrno>
#include <system_error>
#include <vector>

#include <fmt/format.h>

#include "metadata_types/name_rules.hpp"
#include "metadata_types/type_descriptor.hpp"
#include "platform_fs/files.hpp"
#include "text/text.hpp"

namespace ambrel::component_source {
namespace {

namespace fs = std::filesystem;
using metadata_types::ContentFormat;

constexpr std::string_view kLayoutElementSeparator = "::";

ComponentSourceError not_in_comparison() { return {ComponentSourceError::Kind::NotInComparison}; }
ComponentSourceError unsupported_type() { return {ComponentSourceError::Kind::UnsupportedType}; }

bool is_safe(std::string_view path) { return metadata_types::is_safe_relative_path_for(path, false); }

// Reads a whole regular file as UTF-8 text. Opened without blocking so that a FIFO planted in a
// project cannot stall the request; `follow_links` is false for files inside the projects, whose
// links must not lead the viewer out of them.
std::optional<std::string> read_text_file(const fs::path& path, bool follow_links) {
    // A file above the document limit is never read whole, so it is never sent.
    auto bytes = platform_fs::files::read_regular_file(
        path, metadata_types::kMaxComponentDocumentBytes,
        follow_links ? platform_fs::files::LinkPolicy::Followed : platform_fs::files::LinkPolicy::NotFollowed);
    if (!bytes || !text::is_valid_utf8(*bytes)) return std::nullopt;
    return std::move(*bytes);
}

fs::path source_folder_of(const fs::path& project_root) { return project_root / kProjectSourceFolder; }

// The relative paths of the document (and sidecar) to show for one component.
struct DerivedPaths {
    std::string document;
    std::optional<std::string> metadata;
};

}  // namespace

std::string ComponentSourceError::message() const {
    switch (kind) {
        case Kind::NotInComparison:
            return "The requested component is not part of the active comparison.";
        case Kind::UnsupportedType:
            return "Viewing this metadata type is not supported yet.";
    }
    return "The requested component is not part of the active comparison.";
}

std::optional<std::string> read_component(const fs::path& project_root, std::string_view relative_path) {
    return read_text_file(source_folder_of(project_root) / relative_path, false);
}

void collect_bundle_texts(const fs::path& folder, std::string_view prefix, std::map<std::string, std::string>& texts) {
    std::error_code error;
    fs::directory_iterator entries(folder, error);
    if (error) return;
    std::vector<fs::path> paths;
    for (const fs::directory_iterator end; entries != end; entries.increment(error)) {
        if (error) break;
        paths.push_back(entries->path());
    }
    std::sort(paths.begin(), paths.end());

    for (const fs::path& path : paths) {
        const std::string file_name = text::decode_lossy(path.filename().string());
        const std::string relative = prefix.empty() ? file_name : fmt::format("{}/{}", prefix, file_name);
        if (!is_safe(relative)) continue;
        std::error_code status_error;
        const fs::file_status status = fs::symlink_status(path, status_error);
        if (status_error) continue;
        if (fs::is_regular_file(status)) {
            if (auto content = read_text_file(path, false)) texts.insert_or_assign(relative, std::move(*content));
        } else if (fs::is_directory(status)) {
            collect_bundle_texts(path, relative, texts);
        }
    }
}

std::optional<std::string> read_bundle(const fs::path& project_root, std::string_view folder) {
    const fs::path bundle = source_folder_of(project_root) / folder;
    std::error_code error;
    const fs::file_status status = fs::symlink_status(bundle, error);
    if (error || !fs::is_directory(status)) return std::nullopt;

    std::map<std::string, std::string> texts;
    collect_bundle_texts(bundle, "", texts);
    if (texts.empty()) return std::nullopt;

    std::string joined;
    for (const auto& [relative, content] : texts) {
        joined += fmt::format("=== {} ===\n", relative);
        joined += content;
        if (content.empty() || content.back() != '\n') joined += '\n';
        joined += '\n';
    }
    return joined;
}

std::expected<ComponentSource, ComponentSourceError> resolve_component_source(
    std::span<const domain::ComponentDifference> rows, std::string_view source_label, std::string_view target_label,
    const fs::path& source_project_root, const fs::path& target_project_root,
    metadata_types::MetadataType metadata_type, std::string_view name,
    const std::optional<fs::path>& source_override) {
    const auto row = std::find_if(rows.begin(), rows.end(), [&](const domain::ComponentDifference& candidate) {
        return candidate.key().metadata_type == metadata_type && candidate.key().name == name;
    });
    if (row == rows.end()) return std::unexpected(not_in_comparison());
    // Record-data rows have no type descriptor and no file in the projects.
    if (metadata_type.is_data_record()) return std::unexpected(unsupported_type());

    const std::string_view cut_name = name.substr(0, name.find(kLayoutElementSeparator));
    const ContentFormat& format = metadata_type.descriptor().content_format;

    ComponentSource result{.source_label = std::string(source_label), .target_label = std::string(target_label)};

    if (const auto* bundle = std::get_if<ContentFormat::Bundle>(&format.value)) {
        if (cut_name.empty()) return std::unexpected(not_in_comparison());
        const std::string folder = fmt::format("{}/{}", bundle->directory, cut_name);
        if (!is_safe(folder)) return std::unexpected(not_in_comparison());
        result.source_text = read_bundle(source_project_root, folder);
        result.target_text = read_bundle(target_project_root, folder);
        return result;
    }

    DerivedPaths paths;
    const auto* source_file = std::get_if<ContentFormat::SourceFile>(&format.value);
    if (source_file != nullptr && !cut_name.empty()) {
        paths.document = fmt::format("{}/{}.{}", source_file->directory, cut_name, source_file->suffix);
        paths.metadata = fmt::format("{}/{}.{}-meta.xml", source_file->directory, cut_name, source_file->suffix);
    } else {
        const auto decomposed = format.decomposed_path(cut_name);
        if (!decomposed) return std::unexpected(unsupported_type());
        if (!decomposed->has_value()) return std::unexpected(not_in_comparison());
        paths.document = std::move(**decomposed);
    }
    if (!is_safe(paths.document) || (paths.metadata && !is_safe(*paths.metadata))) {
        return std::unexpected(not_in_comparison());
    }

    result.source_text = source_override ? read_text_file(*source_override, true)
                                         : read_component(source_project_root, paths.document);
    result.target_text = read_component(target_project_root, paths.document);
    if (paths.metadata) {
        result.source_metadata_text = read_component(source_project_root, *paths.metadata);
        result.target_metadata_text = read_component(target_project_root, *paths.metadata);
    }
    return result;
}

}  // namespace ambrel::component_source
