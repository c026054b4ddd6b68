#include "metadata/object_child_reader.hpp"

#include <iterator>

#include <fmt/format.h>

#include "metadata/generic_reader.hpp"
#include "metadata/namespace_policy.hpp"
#include "metadata/source_folder.hpp"
#include "metadata_types/type_descriptor.hpp"

namespace ambrel::metadata {

namespace {

source_folder::ListingMessages messages_for(std::string_view label) {
    return {fmt::format("Could not list {} directory", label), fmt::format("Could not read {} directory entry", label)};
}

}  // namespace

std::expected<std::vector<std::filesystem::path>, FieldReadError> object_child_reader::list_entries(
    const std::filesystem::path& folder, std::string_view label) {
    return source_folder::list_entries(folder, messages_for(label));
}

std::expected<std::vector<domain::MetadataComponent>, FieldReadError> ObjectChildMetadataReader::read(
    metadata_types::MetadataType type, const std::filesystem::path& source_root) {
    const metadata_types::TypeDescriptor& descriptor = type.descriptor();
    const auto* format = std::get_if<metadata_types::ContentFormat::DecomposedXml>(&descriptor.content_format.value);
    const auto* layout =
        format ? std::get_if<metadata_types::PathTemplate::ObjectChild>(&format->path_template.value) : nullptr;
    if (layout == nullptr) {
        return std::unexpected(
            FieldReadError::invalid({}, fmt::format("metadata type {} is not an object-child type", type.wire_id())));
    }
    const std::string ending = generic_reader::file_ending(layout->suffix);
    const source_folder::ListingMessages child_messages = messages_for(layout->directory);
    auto objects = source_folder::collect(source_root / "objects", messages_for("objects"),
                                          source_folder::EntryKind::Directory,
                                          [](std::string_view name) -> std::optional<std::string> {
                                              if (name.empty() || name.find('.') != std::string_view::npos) {
                                                  return std::nullopt;
                                              }
                                              return std::string(name);
                                          });
    if (!objects) return std::unexpected(std::move(objects.error()));

    std::vector<source_folder::Candidate> children;
    for (const source_folder::Candidate& object : *objects) {
        auto found = source_folder::collect(
            object.path / layout->directory, child_messages, source_folder::EntryKind::RegularFile,
            [&](std::string_view name) -> std::optional<std::string> {
                auto stem = source_folder::stem_before(name, ending);
                if (!stem || stem->find('.') != std::string::npos) return std::nullopt;
                std::string full_name = fmt::format("{}.{}", object.name, *stem);
                if (NamespacePolicy::is_packaged_object_child(full_name)) return std::nullopt;
                return full_name;
            });
        if (!found) return std::unexpected(std::move(found.error()));
        std::move(found->begin(), found->end(), std::back_inserter(children));
    }
    source_folder::sort_candidates(children);

    std::vector<domain::MetadataComponent> components;
    components.reserve(children.size());
    for (source_folder::Candidate& child : children) {
        auto component =
            generic_reader::parse_generic_document(type, std::move(child.name), child.path, format->root_element);
        if (!component) return std::unexpected(std::move(component.error()));
        components.push_back(std::move(*component));
    }
    return components;
}

}  // namespace ambrel::metadata
