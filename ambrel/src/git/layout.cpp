#include "git/layout.hpp"

#include <algorithm>

#include <variant>

#include <fmt/format.h>

#include "json/json.hpp"
#include "metadata/layout_model.hpp"
#include "metadata/namespace_policy.hpp"
#include "metadata_types/name_rules.hpp"
#include "metadata_types/type_descriptor.hpp"
#include "git/sanitize.hpp"
#include "platform_fs/below.hpp"
#include "text/text.hpp"

namespace ambrel::git {
namespace {

using metadata_types::ContentFormat;
using metadata_types::ListingStrategy;
using metadata_types::MetadataType;
using metadata_types::PathTemplate;
using metadata_types::TypeDescriptor;

constexpr std::string_view kPackageDirectoriesKey = "packageDirectories";
constexpr std::string_view kPathKey = "path";
constexpr std::string_view kObjectsFolder = "objects/";
constexpr std::string_view kMetaSuffix = "-meta.xml";
constexpr std::string_view kCreateDirectoryStep = "Could not create the metadata directory";
constexpr std::string_view kWriteFileStep = "Could not write the metadata file";
// How many components' documents are read from git in one exchange before they are copied.
constexpr std::size_t kReadAheadComponents = 256;

bool has(std::string_view text, char c) { return text.find(c) != std::string_view::npos; }

// "{folder}/{stem}.{suffix}-meta.xml" gives the stem; none for another path.
std::optional<std::string_view> stem_of(std::string_view relative, std::string_view folder, std::string_view suffix) {
    if (!relative.starts_with(folder) || relative.size() <= folder.size() || relative[folder.size()] != '/') {
        return std::nullopt;
    }
    std::string_view rest = relative.substr(folder.size() + 1);
    // ".{suffix}-meta.xml" at the end, checked piece by piece.
    if (!rest.ends_with(kMetaSuffix)) return std::nullopt;
    rest.remove_suffix(kMetaSuffix.size());
    if (!rest.ends_with(suffix)) return std::nullopt;
    rest.remove_suffix(suffix.size());
    if (!rest.ends_with('.')) return std::nullopt;
    rest.remove_suffix(1);
    if (rest.empty() || has(rest, '/')) return std::nullopt;
    return rest;
}

// "objects/{object}/" and the rest after it.
std::optional<std::pair<std::string_view, std::string_view>> object_and_rest(std::string_view relative) {
    if (!relative.starts_with(kObjectsFolder)) return std::nullopt;
    const std::string_view after = relative.substr(kObjectsFolder.size());
    const std::size_t slash = after.find('/');
    if (slash == std::string_view::npos || slash == 0) return std::nullopt;
    return std::pair{after.substr(0, slash), after.substr(slash + 1)};
}

// Names a relative path gives for a type whose members are files (every format but container
// children).
void names_of_file(std::string_view relative, const TypeDescriptor& descriptor, std::set<std::string>& names) {
    const ContentFormat& format = descriptor.content_format;
    if (std::holds_alternative<ListingStrategy::RevenueCloud>(descriptor.listing_strategy.value)) return;
    const PathTemplate* path_template = format.decomposed_template();
    if (std::holds_alternative<ListingStrategy::Objects>(descriptor.listing_strategy.value)) {
        const auto parts = object_and_rest(relative);
        if (!parts) return;
        const auto [object, rest] = *parts;
        if (path_template != nullptr && std::holds_alternative<PathTemplate::ObjectDefinition>(path_template->value)) {
            if (rest == fmt::format("{}.object-meta.xml", object)) names.emplace(object);
        } else if (!rest.empty()) {
            names.emplace(object);
        }
        return;
    }
    if (path_template != nullptr) {
        std::visit(
            [&](const auto& t) {
                using T = std::decay_t<decltype(t)>;
                if constexpr (std::is_same_v<T, PathTemplate::Layout>) {
                    if (auto stem = stem_of(relative, "layouts", "layout")) names.emplace(*stem);
                } else if constexpr (std::is_same_v<T, PathTemplate::Flow>) {
                    if (auto stem = stem_of(relative, "flows", "flow")) names.emplace(*stem);
                } else if constexpr (std::is_same_v<T, PathTemplate::DirectorySuffix>) {
                    if (auto stem = stem_of(relative, t.directory, t.suffix)) names.emplace(*stem);
                } else if constexpr (std::is_same_v<T, PathTemplate::ObjectChild>) {
                    const auto parts = object_and_rest(relative);
                    if (!parts || has(parts->first, '.')) return;
                    auto child = stem_of(parts->second, t.directory, t.suffix);
                    if (!child || has(*child, '.')) return;
                    names.emplace(fmt::format("{}.{}", parts->first, *child));
                }
            },
            path_template->value);
        return;
    }
    if (const auto* source = std::get_if<ContentFormat::SourceFile>(&format.value)) {
        if (!relative.starts_with(source->directory) || relative.size() <= source->directory.size() ||
            relative[source->directory.size()] != '/') {
            return;
        }
        std::string_view rest = relative.substr(source->directory.size() + 1);
        const std::string ending = fmt::format(".{}", source->suffix);
        if (!rest.ends_with(ending)) return;
        rest.remove_suffix(ending.size());
        if (!rest.empty() && !has(rest, '/')) names.emplace(rest);
        return;
    }
    if (const auto* bundle = std::get_if<ContentFormat::Bundle>(&format.value)) {
        if (!relative.starts_with(bundle->directory) || relative.size() <= bundle->directory.size() ||
            relative[bundle->directory.size()] != '/') {
            return;
        }
        const std::string_view rest = relative.substr(bundle->directory.size() + 1);
        const std::size_t slash = rest.find('/');
        if (slash == std::string_view::npos || slash == 0 || slash + 1 == rest.size()) return;
        names.emplace(rest.substr(0, slash));
    }
}

// The folder below a package prefix where every file of the type lies; none for a type that a
// repository never lists.
std::optional<std::string_view> folder_of(const TypeDescriptor& descriptor) {
    const ContentFormat& format = descriptor.content_format;
    if (const auto* container = std::get_if<ContentFormat::ContainerDocument>(&format.value)) {
        return container->container.directory;
    }
    if (std::holds_alternative<ListingStrategy::RevenueCloud>(descriptor.listing_strategy.value)) return std::nullopt;
    if (std::holds_alternative<ListingStrategy::Objects>(descriptor.listing_strategy.value)) return "objects";
    if (const PathTemplate* path_template = format.decomposed_template()) {
        return std::visit(
            [](const auto& t) -> std::optional<std::string_view> {
                using T = std::decay_t<decltype(t)>;
                if constexpr (std::is_same_v<T, PathTemplate::Layout>) return "layouts";
                if constexpr (std::is_same_v<T, PathTemplate::Flow>) return "flows";
                if constexpr (std::is_same_v<T, PathTemplate::DirectorySuffix>) return t.directory;
                if constexpr (std::is_same_v<T, PathTemplate::ObjectChild>) return "objects";
                return std::nullopt;
            },
            path_template->value);
    }
    if (const auto* source = std::get_if<ContentFormat::SourceFile>(&format.value)) return source->directory;
    if (const auto* bundle = std::get_if<ContentFormat::Bundle>(&format.value)) return bundle->directory;
    return std::nullopt;
}

bool is_packaged(MetadataType type, const TypeDescriptor& descriptor, std::string_view name) {
    if (!std::holds_alternative<ListingStrategy::MetadataApi>(descriptor.listing_strategy.value)) return false;
    if (type == MetadataType::Layout) return metadata::layout_reader::is_packaged_layout(name);
    const PathTemplate* path_template = descriptor.content_format.decomposed_template();
    if (path_template != nullptr && std::holds_alternative<PathTemplate::ObjectChild>(path_template->value)) {
        return metadata::NamespacePolicy::is_packaged_object_child(name);
    }
    if (type.is_generic()) return metadata::NamespacePolicy::is_packaged_generic_component(name);
    return metadata::NamespacePolicy::is_packaged_code_component(name);
}

GitError write_failure(std::string_view relative, std::string_view step, std::error_code error) {
    // A link or a file where a folder must be: the path would lead outside the target.
    if (error == std::errc::not_a_directory || error == std::errc::too_many_symbolic_link_levels) {
        return GitError::unsafe_path_at(relative);
    }
    return GitError::file_system(step, error);
}

}  // namespace

ParsedSfdxProject SfdxLayout::from_text(std::string_view text) {
    auto parsed = json::parse(text);
    if (!parsed) return {};
    const json::Object* top = json::as_object(*parsed);
    if (top == nullptr) return {};
    const json::Value* directories = json::find(*top, kPackageDirectoriesKey);
    const json::Array* entries = directories == nullptr ? nullptr : json::as_array(*directories);
    if (entries == nullptr) return {};
    std::vector<std::string> accepted;
    std::vector<std::string> refused;
    for (const json::Value& entry : *entries) {
        const json::Object* object = json::as_object(entry);
        if (object == nullptr) continue;
        const auto path = json::get_string(*object, kPathKey);
        if (!path) continue;
        std::string_view normalised = text::trim(*path);
        while (normalised.ends_with('/')) normalised.remove_suffix(1);
        if (normalised.empty()) continue;
        std::vector<std::string>& list =
            metadata_types::is_safe_relative_path_for(normalised, false) ? accepted : refused;
        if (std::ranges::find(list, normalised) == list.end()) list.emplace_back(normalised);
    }
    if (accepted.empty()) return ParsedSfdxProject{std::nullopt, std::move(refused)};
    return ParsedSfdxProject{SfdxLayout{std::move(accepted), std::move(refused)}, {}};
}

std::expected<SfdxLayout, GitError> SfdxLayout::read(const GitContentReader& reader) {
    auto text = reader.read_file(kSfdxProjectFile);
    if (!text) return std::unexpected(GitError::not_an_sfdx_project_unsafe_paths({}));
    ParsedSfdxProject parsed = from_text(*text);
    if (parsed.layout) return std::move(*parsed.layout);
    return std::unexpected(GitError::not_an_sfdx_project_unsafe_paths(parsed.refused));
}

std::vector<std::string> SfdxLayout::prefixes() const {
    std::vector<std::string> out;
    out.reserve(package_directories.size());
    for (const std::string& directory : package_directories) out.push_back(fmt::format("{}/{}", directory, kMainDefault));
    return out;
}

namespace {

// The names of the type found below the layout's prefixes, before any rule on names is applied. A
// container document that is no usable text fails the call, or gives no names when `skip_unreadable`.
std::expected<std::set<std::string>, GitError> listed_names(const GitContentReader& reader,
                                                            const SfdxLayout& sfdx_layout, MetadataType type,
                                                            const ContainerDocuments& documents,
                                                            bool skip_unreadable) {
    const TypeDescriptor& descriptor = type.descriptor();
    const auto* container = std::get_if<ContentFormat::ContainerDocument>(&descriptor.content_format.value);
    std::set<std::string> names;
    const std::optional<std::string_view> folder = folder_of(descriptor);
    const std::vector<std::string> prefixes = sfdx_layout.prefixes();
    // Every package directory is listed once, in one git run; the type's own folder is then answered
    // from the reader's index.
    if (auto listed = reader.ensure_listed_all(prefixes); !listed) return std::unexpected(listed.error());
    for (const std::string& prefix : prefixes) {
        if (!folder) continue;
        auto files = reader.list_files(fmt::format("{}/{}", prefix, *folder));
        if (!files) return std::unexpected(files.error());
        for (const std::string& path : *files) {
            if (!path.starts_with(prefix) || path.size() <= prefix.size() + 1 || path[prefix.size()] != '/') continue;
            const std::string_view relative = std::string_view(path).substr(prefix.size() + 1);
            if (container == nullptr) {
                names_of_file(relative, descriptor, names);
                continue;
            }
            const auto stem = stem_of(relative, container->container.directory, container->container.suffix);
            if (!stem || has(*stem, '.')) continue;
            const auto& fixed = container->container.fixed_container;
            if (fixed && *stem != *fixed) continue;
            auto document = reader.read_file(path);
            if (!document && skip_unreadable && document.error().kind() == GitError::Kind::UnreadableDocument) continue;
            if (!document) return std::unexpected(document.error());
            if (!documents.parse) continue;
            auto children = documents.parse(*document, relative, container->container_type);
            if (!children) continue;
            for (const ContainerChild& child : *children) {
                if (child.element != container->child_element) continue;
                names.insert(fixed ? child.full_name : fmt::format("{}.{}", *stem, child.full_name));
            }
        }
    }
    return names;
}

}  // namespace

std::expected<std::vector<domain::SalesforceObject>, GitError> layout::list_components(
    const GitContentReader& reader, const SfdxLayout& sfdx_layout, MetadataType type,
    const ContainerDocuments& documents) {
    auto names = listed_names(reader, sfdx_layout, type, documents, false);
    if (!names) return std::unexpected(std::move(names.error()));
    const TypeDescriptor& descriptor = type.descriptor();
    std::vector<domain::SalesforceObject> rows;
    for (const std::string& name : *names) {
        if (!metadata_types::is_valid_member_name(type, name)) continue;
        if (!type.object_listing_admits(name) || is_packaged(type, descriptor, name)) continue;
        rows.push_back({name, name, domain::ListingOrigin::Unpackaged});
    }
    return rows;
}

std::expected<std::vector<std::string>, GitError> layout::refused_member_names(const GitContentReader& reader,
                                                                              const SfdxLayout& sfdx_layout,
                                                                              MetadataType type,
                                                                              const ContainerDocuments& documents) {
    // A container that cannot be read is the compare's own row to show, never a failure here.
    auto names = listed_names(reader, sfdx_layout, type, documents, true);
    if (!names) return std::unexpected(std::move(names.error()));
    std::vector<std::string> refused;
    for (const std::string& name : *names) {
        if (!metadata_types::is_valid_member_name(type, name)) refused.push_back(name);
    }
    return refused;
}

namespace {

std::vector<std::string> component_paths(const TypeDescriptor& descriptor, std::string_view name) {
    std::vector<std::string> paths;
    const ContentFormat& format = descriptor.content_format;
    if (const PathTemplate* path_template = format.decomposed_template()) {
        if (std::holds_alternative<PathTemplate::CustomField>(path_template->value) ||
            std::holds_alternative<PathTemplate::ObjectDefinition>(path_template->value)) {
            paths.push_back(fmt::format("objects/{}", name));
        } else if (auto path = path_template->render(name)) {
            paths.push_back(std::move(*path));
        }
    } else if (const auto* container = std::get_if<ContentFormat::ContainerDocument>(&format.value)) {
        if (auto path = PathTemplate{container->container}.render(name)) paths.push_back(std::move(*path));
    } else if (const auto* source = std::get_if<ContentFormat::SourceFile>(&format.value)) {
        paths.push_back(fmt::format("{}/{}.{}", source->directory, name, source->suffix));
        paths.push_back(fmt::format("{}/{}.{}{}", source->directory, name, source->suffix, kMetaSuffix));
    } else if (const auto* bundle = std::get_if<ContentFormat::Bundle>(&format.value)) {
        paths.push_back(fmt::format("{}/{}", bundle->directory, name));
    }
    return paths;
}

}  // namespace

std::string layout::refused_member_warning(MetadataType type, std::string_view name) {
    return fmt::format("{} ({}) was skipped: its name is not a valid member name of its type.",
                       sanitize::replace_control_characters(name), type.wire_id());
}

namespace {

// Copies the files of one selection at a time into the target; remembers which file came from which
// component, so a component that cannot be compared is taken out again whole.
class Materializer {
public:
    Materializer(const GitContentReader& reader, std::vector<std::string> prefixes,
                 const std::filesystem::path& target_directory, const domain::CancellationToken& token)
        : reader_(reader),
          prefixes_(std::move(prefixes)),
          target_directory_(target_directory),
          token_(token),
          target_(target_directory) {}

    // Adds the listed files of one component to `paths` (to be read ahead).
    std::expected<void, GitError> add_paths(const TypeDescriptor& descriptor, std::string_view name,
                                            std::vector<std::string>& paths) const {
        for (const std::string& component_path : component_paths(descriptor, name)) {
            for (const std::string& prefix : prefixes_) {
                const std::string full = fmt::format("{}/{}", prefix, component_path);
                auto files = reader_.list_files(full);
                if (!files) return std::unexpected(files.error());
                for (std::string& path : *files) {
                    if (path != full && !(path.starts_with(full) && path[full.size()] == '/')) continue;
                    paths.push_back(std::move(path));
                }
            }
        }
        return {};
    }

    // Copies one component. A failure of the component's own (its path or document) is the value of
    // the inner expected; another failure ends the call.
    std::expected<std::optional<GitError>, GitError> copy_component(const TypeDescriptor& descriptor,
                                                                    std::string_view name) {
        std::vector<std::string> own;
        for (const std::string& component_path : component_paths(descriptor, name)) {
            for (const std::string& prefix : prefixes_) {
                const std::string full = fmt::format("{}/{}", prefix, component_path);
                auto files = reader_.list_files(full);
                if (!files) return std::unexpected(files.error());
                for (const std::string& path : *files) {
                    if (path != full && !(path.starts_with(full) && path[full.size()] == '/')) continue;
                    const std::string relative = path.substr(prefix.size() + 1);
                    auto outcome = copy_file(path, relative, own);
                    if (!outcome) return std::unexpected(outcome.error());
                    if (*outcome) {
                        take_out(own);
                        return outcome;
                    }
                }
            }
        }
        return std::optional<GitError>();
    }

private:
    std::expected<std::optional<GitError>, GitError> copy_file(const std::string& path, const std::string& relative,
                                                               std::vector<std::string>& own) {
        if (!metadata_types::is_safe_relative_path_for(relative, false)) return GitError::unsafe_path_at(relative);
        if (written_.contains(relative)) return std::optional<GitError>();
        if (token_.is_cancelled()) return std::unexpected(GitError::from_gateway({GitGatewayError::Kind::Cancelled}));
        auto text = reader_.read_file(path);
        if (!text) {
            if (text.error().kind() == GitError::Kind::UnreadableDocument) return std::move(text.error());
            return std::unexpected(text.error());
        }
        if (!target_ready_) {
            // The metadata folder of a new project may not exist yet.
            std::error_code error;
            std::filesystem::create_directories(target_directory_, error);
            if (error) return std::unexpected(GitError::file_system(kCreateDirectoryStep, error));
            target_ready_ = true;
        }
        const std::size_t slash = relative.rfind('/');
        const std::string_view parent =
            slash == std::string::npos ? std::string_view() : std::string_view(relative).substr(0, slash);
        const std::string_view file_name =
            slash == std::string::npos ? std::string_view(relative) : std::string_view(relative).substr(slash + 1);
        auto directory = target_.folder(parent, true);
        if (!directory) return std::unexpected(write_failure(relative, kCreateDirectoryStep, directory.error()));
        const std::error_code error =
            platform_fs::below::write_file_at(*directory, file_name, *text, platform_fs::below::WriteMode::Exclusive);
        if (error == std::errc::file_exists) return std::unexpected(GitError::unsafe_path_at(relative));
        if (error) return std::unexpected(write_failure(relative, kWriteFileStep, error));
        written_.insert(relative);
        own.push_back(relative);
        return std::optional<GitError>();
    }

    // Removes what one component wrote; a removal that fails leaves a file no row reads.
    void take_out(const std::vector<std::string>& own) {
        for (const std::string& relative : own) {
            (void)platform_fs::below::remove_file(target_directory_, relative);
            written_.erase(relative);
        }
    }

    const GitContentReader& reader_;
    std::vector<std::string> prefixes_;
    const std::filesystem::path& target_directory_;
    const domain::CancellationToken& token_;
    // The files of one component lie in one folder: the cursor walks the target's folders once per run.
    platform_fs::below::FolderCursor target_;
    bool target_ready_ = false;
    std::set<std::string, std::less<>> written_;
};

}  // namespace

std::expected<layout::MaterializeReport, GitError> layout::materialize(const GitContentReader& reader,
                                                                       const SfdxLayout& sfdx_layout,
                                                                       const Selection& selection,
                                                                       const std::filesystem::path& target_directory,
                                                                       const domain::CancellationToken& token) {
    const std::vector<std::string> prefixes = sfdx_layout.prefixes();
    MaterializeReport report;
    Materializer materializer(reader, prefixes, target_directory, token);
    std::vector<std::pair<MetadataType, const std::string*>> components;
    for (const auto& [type, names] : selection) {
        for (const std::string& name : names) components.emplace_back(type, &name);
    }
    if (!components.empty() && !prefixes.empty()) {
        // One listing per package directory serves every component below it.
        if (auto listed = reader.ensure_listed_all(prefixes); !listed) return std::unexpected(listed.error());
    }
    for (std::size_t first = 0; first < components.size(); first += kReadAheadComponents) {
        const std::size_t last = std::min(components.size(), first + kReadAheadComponents);
        // The documents of a run of components are read from git in one exchange, then copied.
        std::vector<std::string> ahead;
        for (std::size_t k = first; k < last; ++k) {
            const auto& [type, name] = components[k];
            if (!metadata_types::is_valid_member_name(type, *name)) continue;
            if (auto added = materializer.add_paths(type.descriptor(), *name, ahead); !added) {
                return std::unexpected(added.error());
            }
        }
        reader.prefetch(ahead);
        for (std::size_t k = first; k < last; ++k) {
            const MetadataType type = components[k].first;
            const std::string& name = *components[k].second;
            const TypeDescriptor& descriptor = type.descriptor();
            if (!metadata_types::is_valid_member_name(type, name)) {
                report.warnings.push_back(refused_member_warning(type, name));
                report.skipped[type].insert(name);
                continue;
            }
            auto copied = materializer.copy_component(descriptor, name);
            if (!copied) return std::unexpected(copied.error());
            if (*copied) {
                report.unreadable[type].emplace(name, (*copied)->message());
                report.skipped[type].insert(name);
            }
        }
    }
    report.names_not_utf8 = reader.names_not_utf8();
    return report;
}

}  // namespace ambrel::git
