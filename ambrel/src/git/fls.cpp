#include "git/fls.hpp"

#include <array>
#include <set>

#include <fmt/format.h>

#include "metadata_types/name_rules.hpp"

namespace ambrel::git::fls {
namespace {

struct Pattern {
    domain::FlsContainerKind kind;
    std::string_view directory;
    std::string_view suffix;
};

// In the order they are searched.
constexpr std::array<Pattern, 2> kPatterns{{
    {domain::FlsContainerKind::Profile, "profiles", ".profile-meta.xml"},
    {domain::FlsContainerKind::PermissionSet, "permissionsets", ".permissionset-meta.xml"},
}};

const Pattern& pattern_of(domain::FlsContainerKind kind) {
    return kind == domain::FlsContainerKind::Profile ? kPatterns[0] : kPatterns[1];
}

}  // namespace

std::optional<std::string> container_relative_path(domain::FlsContainerKind kind, std::string_view name) {
    if (name.empty() || name.find('/') != std::string_view::npos) return std::nullopt;
    const Pattern& pattern = pattern_of(kind);
    std::string path = fmt::format("{}/{}{}", pattern.directory, name, pattern.suffix);
    if (!metadata_types::is_safe_relative_path_for(path, false)) return std::nullopt;
    return path;
}

std::expected<std::vector<FlsContainerFile>, GitError> list_containers(const GitContentReader& reader,
                                                                      const SfdxLayout& layout) {
    std::set<FlsContainerId> found;
    for (const std::string& prefix : layout.prefixes()) {
        for (const Pattern& pattern : kPatterns) {
            const std::string directory = fmt::format("{}/{}", prefix, pattern.directory);
            auto files = reader.list_files(directory);
            if (!files) return std::unexpected(files.error());
            for (const std::string& file : *files) {
                if (!file.starts_with(directory) || file.size() <= directory.size() || file[directory.size()] != '/' ||
                    !file.ends_with(pattern.suffix)) {
                    continue;
                }
                const std::size_t begin = directory.size() + 1;
                if (file.size() < begin + pattern.suffix.size()) continue;
                const std::string_view name =
                    std::string_view(file).substr(begin, file.size() - begin - pattern.suffix.size());
                if (name.empty() || name.find('/') != std::string_view::npos) continue;
                found.emplace(pattern.kind, std::string(name));
            }
        }
    }
    std::vector<FlsContainerFile> out;
    out.reserve(found.size());
    for (const auto& [kind, name] : found) out.push_back({kind, name});
    return out;
}

std::expected<std::map<FlsContainerId, std::string>, GitError> read_documents(
    const GitContentReader& reader, const SfdxLayout& layout, std::span<const FlsContainerId> requested) {
    std::map<FlsContainerId, std::string> documents;
    const std::vector<std::string> prefixes = layout.prefixes();
    for (const FlsContainerId& id : requested) {
        const auto relative = container_relative_path(id.first, id.second);
        if (!relative) continue;
        for (const std::string& prefix : prefixes) {
            auto text = reader.read_file(fmt::format("{}/{}", prefix, *relative));
            if (!text) {
                if (text.error().kind() == GitError::Kind::FileNotFound) continue;
                return std::unexpected(text.error());
            }
            documents.insert_or_assign(id, std::move(*text));
            break;
        }
    }
    return documents;
}

}  // namespace ambrel::git::fls
