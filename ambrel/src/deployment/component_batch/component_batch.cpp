#include "deployment/component_batch/component_batch.hpp"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <map>
#include <variant>

#include <fmt/format.h>
#include <re2/re2.h>

#include "metadata/container_child_reader.hpp"
#include "metadata/manifest/api_versions.hpp"
#include "metadata_types/name_rules.hpp"
#include "platform_fs/files.hpp"
#include "text/text.hpp"

namespace ambrel::deployment::component_batch {
namespace {

using metadata_types::ContentFormat;
using metadata_types::PathTemplate;
using Outcome = std::expected<void, std::string>;

// The children collected for one container document.
struct ContainerPackage {
    std::string root;
    // (child element, component full name, child XML), in insertion order until rendered.
    std::vector<std::tuple<std::string, std::string, std::string>> children;
};

std::string unsafe_path(std::string_view path) { return fmt::format("{}: {}", kUnsafePath, path); }

bool is_directory_no_follow(const std::filesystem::path& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

std::vector<std::string_view> split_path(std::string_view path) {
    std::vector<std::string_view> parts;
    for (std::size_t start = 0;;) {
        const auto slash = path.find('/', start);
        parts.push_back(path.substr(start, slash == std::string_view::npos ? slash : slash - start));
        if (slash == std::string_view::npos) break;
        start = slash + 1;
    }
    return parts;
}

// Creates the parent folders and the file, and checks what was written is a regular file.
Outcome write_destination(const std::filesystem::path& package_dir, std::string_view relative, std::string_view bytes,
                          std::string_view no_parent, std::string_view not_regular) {
    const std::filesystem::path destination = package_dir / kMainDefault / std::filesystem::path(std::string(relative));
    if (!destination.has_parent_path()) return std::unexpected(std::string(no_parent));
    std::error_code error;
    std::filesystem::create_directories(destination.parent_path(), error);
    if (error) return std::unexpected(error.message());
    if (auto written = write_new_file(destination, bytes)) return std::unexpected(written.message());
    if (!component_batch::is_regular_file(destination)) return std::unexpected(std::string(not_regular));
    return {};
}

Outcome package_container_child(const ContentFormat::ContainerDocument& format,
                                const metadata_types::TypeDescriptor& descriptor,
                                const domain::MetadataComponent& component,
                                std::map<std::string, ContainerPackage>& containers) {
    auto relative = verify_component_destination(descriptor, component);
    if (!relative) return std::unexpected(std::move(relative.error()));
    if (text::trim(component.document).empty()) return std::unexpected(std::string(kSnapshotEmpty));
    auto split = metadata::container_child_reader::split_container_document_reporting_root(
        component.document, component.source_path.string());
    if (!split) return std::unexpected(std::string(kSnapshotUnparsed));
    const std::string& full_name = component.key.name;
    const auto dot = full_name.find('.');
    const std::string_view member =
        dot == std::string::npos ? std::string_view(full_name) : std::string_view(full_name).substr(dot + 1);
    const auto& children = split->second;
    const auto child = std::find_if(children.begin(), children.end(), [&](const auto& candidate) {
        return candidate.element == format.child_element && candidate.full_name == member;
    });
    if (child == children.end()) return std::unexpected(std::string(kNoMatchingElement));
    auto [entry, created] = containers.try_emplace(*relative);
    if (created) entry->second.root = std::string(format.container_type);
    entry->second.children.emplace_back(std::string(format.child_element), full_name, child->xml);
    return {};
}

Outcome package_bundle(const ContentFormat& format, const domain::MetadataComponent& component,
                       const std::filesystem::path& package_dir) {
    if (!re2::RE2::FullMatch(component.key.name, api_name())) return std::unexpected(std::string(kInvalidName));
    if (component.bundle_files.empty()) return std::unexpected(std::string(kBundleEmpty));
    for (const auto& [file_name, content] : component.bundle_files) {
        auto relative = format.bundle_file_path(component.key.name, file_name);
        if (!relative) return std::unexpected(std::string(kNoBundlePath));
        if (!metadata_types::is_safe_relative_path_for(*relative, false)) return std::unexpected(unsafe_path(*relative));
        if (auto written = write_destination(package_dir, *relative, content, kBundleNoParent, kBundleNotRegular);
            !written) {
            return written;
        }
    }
    return {};
}

Outcome package_document(const metadata_types::TypeDescriptor& descriptor, const domain::MetadataComponent& component,
                         const std::filesystem::path& package_dir) {
    auto relative = verify_component_destination(descriptor, component);
    if (!relative) return std::unexpected(std::move(relative.error()));
    if (auto written = write_destination(package_dir, *relative, component.document, kDocumentNoParent,
                                         kDocumentNotRegular);
        !written) {
        return written;
    }
    if (!component.body) return {};
    auto body_path = descriptor.content_format.body_path(component.key.name);
    if (!body_path) return std::unexpected(std::string(kNoBodyPath));
    const std::string recorded = component.body->path.generic_string();
    if (!text::is_valid_utf8(recorded) || recorded != *body_path) return std::unexpected(std::string(kBodyMismatch));
    return write_destination(package_dir, *body_path, component.body->text, kBodyNoParent, kBodyNotRegular);
}

Outcome package_metadata_component(const domain::MetadataComponent& component, const std::filesystem::path& package_dir,
                                   std::map<std::string, ContainerPackage>& containers) {
    const auto& descriptor = component.key.metadata_type.descriptor();
    const auto& format = descriptor.content_format;
    if (const auto* container = std::get_if<ContentFormat::ContainerDocument>(&format.value)) {
        return package_container_child(*container, descriptor, component, containers);
    }
    if (std::holds_alternative<ContentFormat::Bundle>(format.value)) {
        return package_bundle(format, component, package_dir);
    }
    return package_document(descriptor, component, package_dir);
}

}  // namespace

const re2::RE2& api_name() {
    static const re2::RE2 compiled{re2::StringPiece(kApiNamePattern.data(), kApiNamePattern.size())};
    return compiled;
}

std::error_code write_new_file(const std::filesystem::path& path, std::string_view bytes) {
    platform_fs::files::UniqueFd fd(
        ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, static_cast<mode_t>(kNewFileMode)));
    if (!fd) return platform_fs::files::last_error();
    if (auto error = platform_fs::files::write_all(fd.get(), bytes)) return error;
    return fd.close();
}

bool is_regular_file(const std::filesystem::path& path) noexcept {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

bool valid_component_full_name(const metadata_types::TypeDescriptor& descriptor, std::string_view full_name) {
    const auto& format = descriptor.content_format.value;
    if (const auto* xml = std::get_if<ContentFormat::DecomposedXml>(&format);
        xml != nullptr && std::holds_alternative<PathTemplate::Layout>(xml->path_template.value)) {
        return metadata_types::is_valid_layout_full_name(full_name);
    }
    if (descriptor.api_name == "Profile") return metadata_types::is_valid_profile_full_name(full_name);
    if (const auto* container = std::get_if<ContentFormat::ContainerDocument>(&format)) {
        return metadata_types::is_valid_container_child_full_name(full_name,
                                                                  container->container.fixed_container.has_value());
    }
    std::size_t start = 0;
    while (true) {
        const auto dot = full_name.find('.', start);
        const auto part = full_name.substr(start, dot == std::string_view::npos ? dot : dot - start);
        if (!re2::RE2::FullMatch(re2::StringPiece(part.data(), part.size()), api_name())) return false;
        if (dot == std::string_view::npos) return true;
        start = dot + 1;
    }
}

std::expected<std::string, std::string> verify_component_destination(const metadata_types::TypeDescriptor& descriptor,
                                                                      const domain::MetadataComponent& component) {
    const std::string& full_name = component.key.name;
    std::optional<std::string> relative;
    const auto& format = descriptor.content_format.value;
    if (const auto* xml = std::get_if<ContentFormat::DecomposedXml>(&format)) {
        relative = xml->path_template.render(full_name);
    } else if (const auto* source = std::get_if<ContentFormat::SourceFile>(&format)) {
        if (!full_name.empty()) relative = fmt::format("{}/{}.{}-meta.xml", source->directory, full_name, source->suffix);
    } else if (const auto* container = std::get_if<ContentFormat::ContainerDocument>(&format)) {
        relative = PathTemplate{container->container}.render(full_name);
    } else {
        return std::unexpected(std::string(kBundleUnsupported));
    }
    if (!relative) return std::unexpected(std::string(kNoDestination));
    if (!metadata_types::is_safe_relative_path_for(*relative, false)) return std::unexpected(unsafe_path(*relative));
    if (!valid_component_full_name(descriptor, full_name)) return std::unexpected(std::string(kInvalidName));

    const auto parts = split_path(*relative);
    const std::filesystem::path source = metadata::manifest::absolute_normalized(component.source_path);
    if (!source.has_filename() || text::decode_lossy(source.filename().string()) != parts.back()) {
        return std::unexpected(std::string(kSourceNameMismatch));
    }
    std::filesystem::path ancestor = source.parent_path();
    for (auto part = parts.rbegin() + 1; part != parts.rend(); ++part) {
        if (!ancestor.has_filename() || ancestor.filename().string() != *part) {
            return std::unexpected(std::string(kSourcePathMismatch));
        }
        if (!is_directory_no_follow(ancestor)) return std::unexpected(std::string(kSourceAncestry));
        ancestor = ancestor.parent_path();
    }
    if (!component_batch::is_regular_file(source)) return std::unexpected(std::string(kSourceNotRegular));
    if (text::trim(component.document).empty()) return std::unexpected(std::string(kSnapshotEmpty));
    return std::move(*relative);
}

std::expected<void, std::string> package_metadata_components(const std::vector<domain::MetadataComponent>& components,
                                                             const std::filesystem::path& package_dir) {
    std::map<std::string, ContainerPackage> containers;
    for (const auto& component : components) {
        if (auto packaged = package_metadata_component(component, package_dir, containers); !packaged) return packaged;
    }
    // Container documents go last, once every child of the package is known.
    for (auto& [relative, container] : containers) {
        std::stable_sort(container.children.begin(), container.children.end(), [](const auto& a, const auto& b) {
            return std::tie(std::get<0>(a), std::get<1>(a)) < std::tie(std::get<0>(b), std::get<1>(b));
        });
        std::vector<std::string> xml;
        xml.reserve(container.children.size());
        for (auto& child : container.children) xml.push_back(std::move(std::get<2>(child)));
        const std::string document = metadata::container_child_reader::render_container_document(container.root, xml);
        if (auto written = write_destination(package_dir, relative, document, kDocumentNoParent, kDocumentNotRegular);
            !written) {
            return written;
        }
    }
    return {};
}

}  // namespace ambrel::deployment::component_batch
