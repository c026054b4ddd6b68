#include "metadata/generic_reader.hpp"

#include <fmt/format.h>

#include "metadata/metadata_namespace.hpp"
#include "metadata/namespace_policy.hpp"
#include "metadata/object_reader.hpp"
#include "metadata/source_folder.hpp"
#include "metadata_types/type_descriptor.hpp"

namespace ambrel::metadata {

namespace generic_reader {

std::string_view root_namespace(metadata_types::MetadataType type) {
    if (type == metadata_types::MetadataType::ProductBundle) return kProductBundleNamespaceUri;
    if (type == metadata_types::MetadataType::ConstraintModel) return kConstraintModelNamespaceUri;
    return kMetadataNamespaceUri;
}

std::string file_ending(std::string_view suffix) { return fmt::format(".{}-meta.xml", suffix); }

std::expected<std::string, FieldReadError> read_and_validate_document_in_namespace(const std::filesystem::path& path,
                                                                                  std::string_view root_name,
                                                                                  std::string_view namespace_uri) {
    auto text = source_folder::read_text(path, "Could not read component metadata");
    if (!text) return std::unexpected(std::move(text.error()));
    auto valid = object_reader::parse_child_texts_in_namespace(*text, path, root_name, namespace_uri, {});
    if (!valid) return std::unexpected(std::move(valid.error()));
    return std::move(*text);
}

std::expected<domain::MetadataComponent, FieldReadError> parse_generic_document(metadata_types::MetadataType type,
                                                                               std::string name,
                                                                               const std::filesystem::path& path,
                                                                               std::string_view root_name) {
    auto text = read_and_validate_document_in_namespace(path, root_name, root_namespace(type));
    if (!text) return std::unexpected(std::move(text.error()));
    domain::MetadataComponent component;
    component.key = {type, std::move(name)};
    component.source_path = path;
    component.document = std::move(*text);
    return component;
}

}  // namespace generic_reader

std::expected<std::vector<domain::MetadataComponent>, FieldReadError> GenericMetadataReader::read(
    metadata_types::MetadataType type, const std::filesystem::path& source_root) {
    const metadata_types::TypeDescriptor& descriptor = type.descriptor();
    const auto* format = std::get_if<metadata_types::ContentFormat::DecomposedXml>(&descriptor.content_format.value);
    const auto* layout =
        format ? std::get_if<metadata_types::PathTemplate::DirectorySuffix>(&format->path_template.value) : nullptr;
    if (layout == nullptr) {
        return std::unexpected(
            FieldReadError::invalid({}, fmt::format("metadata type {} is not a single-XML-file type", type.wire_id()))
                .of_kind(document_kind(type)));
    }
    const std::string folder(layout->directory);
    const std::string ending = generic_reader::file_ending(layout->suffix);
    // Revenue Cloud records are named by the org, not by a package, so no name of theirs is skipped.
    const bool skips_packaged =
        type != metadata_types::MetadataType::ProductBundle && type != metadata_types::MetadataType::ConstraintModel;
    const source_folder::ListingMessages messages{fmt::format("Could not list {} directory", folder),
                                                  fmt::format("Could not read {} directory entry", folder)};
    auto found = source_folder::collect(source_root / folder, messages, source_folder::EntryKind::RegularFile,
                                        [&](std::string_view name) -> std::optional<std::string> {
                                            auto stem = source_folder::stem_before(name, ending);
                                            if (!stem) return std::nullopt;
                                            if (skips_packaged && NamespacePolicy::is_packaged_generic_component(*stem)) {
                                                return std::nullopt;
                                            }
                                            return stem;
                                        });
    if (!found) return std::unexpected(std::move(found.error()));
    std::vector<domain::MetadataComponent> components;
    components.reserve(found->size());
    for (source_folder::Candidate& candidate : *found) {
        auto component =
            generic_reader::parse_generic_document(type, std::move(candidate.name), candidate.path, format->root_element);
        if (!component) return std::unexpected(std::move(component.error()).of_kind(document_kind(type)));
        components.push_back(std::move(*component));
    }
    return components;
}

}  // namespace ambrel::metadata
