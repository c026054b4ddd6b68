#include "metadata/apex_reader.hpp"

#include <fmt/format.h>

#include "metadata/metadata_namespace.hpp"
#include "metadata/namespace_policy.hpp"
#include "metadata/object_reader.hpp"
#include "metadata/source_folder.hpp"
#include "metadata_types/type_descriptor.hpp"

namespace ambrel::metadata {

std::expected<std::string, FieldReadError> apex_reader::read_text(const std::filesystem::path& path,
                                                                  std::string_view message) {
    return source_folder::read_text(path, message);
}

std::expected<std::vector<domain::MetadataComponent>, FieldReadError> ApexBodyReader::read(
    metadata_types::MetadataType type, const std::filesystem::path& source_root) {
    std::vector<domain::MetadataComponent> components;
    const metadata_types::TypeDescriptor& descriptor = type.descriptor();
    const auto* format = std::get_if<metadata_types::ContentFormat::SourceFile>(&descriptor.content_format.value);
    if (format == nullptr) return components;

    const std::filesystem::path folder = source_root / format->directory;
    const std::string ending = fmt::format(".{}", format->suffix);
    static const source_folder::ListingMessages kMessages{"Could not list Apex source directory",
                                                          "Could not read Apex directory entry"};
    auto stems = source_folder::collect(folder, kMessages, source_folder::EntryKind::RegularFile,
                                        [&](std::string_view name) -> std::optional<std::string> {
                                            auto stem = source_folder::stem_before(name, ending);
                                            if (!stem || NamespacePolicy::is_packaged_code_component(*stem)) {
                                                return std::nullopt;
                                            }
                                            return stem;
                                        });
    if (!stems) return std::unexpected(std::move(stems.error()));

    const std::vector<std::string_view> wanted = object_reader::wanted_elements(type);
    for (source_folder::Candidate& stem : *stems) {
        std::filesystem::path sidecar = stem.path;
        sidecar += "-meta.xml";
        if (source_folder::entry_kind(sidecar) != source_folder::EntryKind::RegularFile) continue;
        auto body = apex_reader::read_text(stem.path, "Could not read Apex source body");
        if (!body) return std::unexpected(std::move(body.error()).of_kind(document_kind(type)));
        auto document = apex_reader::read_text(sidecar, "Could not read Apex metadata sidecar");
        if (!document) return std::unexpected(std::move(document.error()).of_kind(document_kind(type)));
        auto texts = object_reader::parse_child_texts_in_namespace(*document, sidecar, format->root_type,
                                                                   kMetadataNamespaceUri, wanted);
        if (!texts) return std::unexpected(std::move(texts.error()).of_kind(document_kind(type)));

        domain::MetadataComponent component;
        component.attributes = object_reader::attribute_values(type, *texts);
        component.source_path = sidecar;
        component.document = std::move(*document);
        // Always "/"-separated, whatever the platform: the path is compared and shown as text.
        component.body = domain::ComponentBody{fmt::format("{}/{}{}", format->directory, stem.name, ending),
                                               std::move(*body)};
        component.key = {type, std::move(stem.name)};
        components.push_back(std::move(component));
    }
    return components;
}

}  // namespace ambrel::metadata
