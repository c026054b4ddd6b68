#include "metadata/object_reader.hpp"

#include <algorithm>

#include <fmt/format.h>

#include "metadata/metadata_namespace.hpp"
#include "metadata/namespace_policy.hpp"
#include "metadata/source_folder.hpp"
#include "metadata_types/type_descriptor.hpp"
#include "text/text.hpp"

namespace ambrel::metadata {

namespace object_reader {

namespace {

constexpr std::string_view kDefinitionEnding = ".object-meta.xml";

}  // namespace

std::string normalize_text(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r') {
            out.push_back('\n');
            if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
        } else {
            out.push_back(text[i]);
        }
    }
    const std::string_view trimmed = text::trim(out);
    if (trimmed.size() == out.size()) return out;
    return std::string(trimmed);
}

FieldReadError parse_error(const std::filesystem::path& path, std::string_view reason) {
    return FieldReadError::invalid(path, std::string(reason));
}

std::expected<void, FieldReadError> validate_root(const xml::Namespace& ns, std::string_view local_name,
                                                  std::string_view root_name, std::string_view namespace_uri,
                                                  const std::filesystem::path& path) {
    if (in_namespace(ns, namespace_uri) && local_name == root_name) return {};
    return std::unexpected(parse_error(path, fmt::format("root element must be {}", root_name)));
}

std::optional<std::string> wanted_local_name(const xml::Namespace& ns, std::string_view local_name,
                                             std::string_view namespace_uri, std::span<const std::string_view> wanted) {
    if (!in_namespace(ns, namespace_uri)) return std::nullopt;
    if (std::find(wanted.begin(), wanted.end(), local_name) == wanted.end()) return std::nullopt;
    return std::string(local_name);
}

std::expected<ChildTexts, FieldReadError> parse_child_texts_in_namespace(std::string_view text,
                                                                         const std::filesystem::path& path,
                                                                         std::string_view root_name,
                                                                         std::string_view namespace_uri,
                                                                         std::span<const std::string_view> wanted) {
    ChildTexts texts;
    xml::Reader reader(text);
    std::size_t depth = 0;
    std::optional<std::string> capture_name;
    std::string buffer;
    xml::DocumentShape shape;
    while (true) {
        auto event = reader.next();
        if (!event) return std::unexpected(parse_error(path, event.error().message()));
        if (auto fault = shape.observe(*event, reader)) return std::unexpected(parse_error(path, fault->message()));
        switch (event->kind) {
            case xml::EventKind::Start: {
                if (depth == 0) {
                    const xml::Namespace ns = reader.resolve_element(*event);
                    if (auto valid = validate_root(ns, event->local_name(), root_name, namespace_uri, path); !valid) {
                        return std::unexpected(std::move(valid.error()));
                    }
                } else if (depth == 1 && !capture_name && !wanted.empty()) {
                    const xml::Namespace ns = reader.resolve_element(*event);
                    auto name = wanted_local_name(ns, event->local_name(), namespace_uri, wanted);
                    if (name && !texts.contains(*name)) {
                        capture_name = std::move(name);
                        buffer.clear();
                    }
                }
                ++depth;
                break;
            }
            case xml::EventKind::End:
                if (depth > 0) --depth;
                if (depth == 1 && capture_name) {
                    texts.emplace(std::move(*capture_name), normalize_text(buffer));
                    capture_name.reset();
                }
                break;
            case xml::EventKind::Empty: {
                if (depth == 0) {
                    const xml::Namespace ns = reader.resolve_element(*event);
                    if (auto valid = validate_root(ns, event->local_name(), root_name, namespace_uri, path); !valid) {
                        return std::unexpected(std::move(valid.error()));
                    }
                } else if (depth == 1 && !wanted.empty()) {
                    const xml::Namespace ns = reader.resolve_element(*event);
                    auto name = wanted_local_name(ns, event->local_name(), namespace_uri, wanted);
                    if (name && !texts.contains(*name)) texts.emplace(std::move(*name), std::string());
                }
                break;
            }
            case xml::EventKind::Text:
                if (capture_name) buffer.append(event->raw);
                break;
            case xml::EventKind::CData:
                if (capture_name) buffer.append(event->content);
                break;
            case xml::EventKind::GeneralRef:
            case xml::EventKind::CharRef:
                if (capture_name) {
                    if (auto pushed = push_reference(buffer, *event, path); !pushed) {
                        return std::unexpected(std::move(pushed.error()));
                    }
                }
                break;
            case xml::EventKind::DocType:
                return std::unexpected(parse_error(path, "doctype is not allowed"));
            case xml::EventKind::Eof:
                return texts;
            case xml::EventKind::Comment:
            case xml::EventKind::Decl:
            case xml::EventKind::PI:
                break;
        }
    }
}

std::vector<std::string_view> wanted_elements(metadata_types::MetadataType type) {
    std::vector<std::string_view> names;
    for (const metadata_types::AttributeSpec& spec : type.descriptor().attributes) names.push_back(spec.element);
    return names;
}

std::vector<domain::AttributeValue> attribute_values(metadata_types::MetadataType type, const ChildTexts& texts) {
    std::vector<domain::AttributeValue> values;
    for (const metadata_types::AttributeSpec& spec : type.descriptor().attributes) {
        const auto it = texts.find(std::string(spec.element));
        values.push_back(domain::AttributeValue::text(it == texts.end() ? std::nullopt
                                                                         : std::optional<std::string>(it->second)));
    }
    return values;
}

std::expected<domain::MetadataComponent, FieldReadError> parse_object(metadata_types::MetadataType type,
                                                                      std::string name,
                                                                      const std::filesystem::path& path,
                                                                      std::string text) {
    const metadata_types::TypeDescriptor& descriptor = type.descriptor();
    std::string_view root_name = "CustomObject";
    if (const auto* decomposed = std::get_if<metadata_types::ContentFormat::DecomposedXml>(&descriptor.content_format.value)) {
        root_name = decomposed->root_element;
    }
    const std::vector<std::string_view> wanted = wanted_elements(type);
    auto texts = parse_child_texts_in_namespace(text, path, root_name, kMetadataNamespaceUri, wanted);
    if (!texts) return std::unexpected(std::move(texts.error()));
    domain::MetadataComponent component;
    component.key = {type, std::move(name)};
    component.attributes = attribute_values(type, *texts);
    component.source_path = path;
    component.document = std::move(text);
    return component;
}

}  // namespace object_reader

std::expected<std::vector<domain::MetadataComponent>, FieldReadError> CustomObjectMetadataReader::read(
    metadata_types::MetadataType type, const std::filesystem::path& source_root) {
    namespace sf = source_folder;
    static const sf::ListingMessages kMessages{"Could not list metadata directory",
                                               "Could not read metadata directory entry"};
    auto folders = sf::collect(source_root / "objects", kMessages, sf::EntryKind::Directory,
                               [](std::string_view name) { return std::optional<std::string>(name); });
    if (!folders) return std::unexpected(std::move(folders.error()));

    std::vector<domain::MetadataComponent> components;
    for (sf::Candidate& folder : *folders) {
        if (PACKAGED_FIELD_PATTERN.matches(folder.name)) continue;
        std::filesystem::path definition = folder.path;
        definition /= folder.path.filename();
        definition += std::string(object_reader::kDefinitionEnding);
        if (sf::entry_kind(definition) != sf::EntryKind::RegularFile) continue;
        auto text = sf::read_text(definition, "Could not read custom object metadata");
        if (!text) return std::unexpected(std::move(text.error()));
        auto component = object_reader::parse_object(type, std::move(folder.name), definition, std::move(*text));
        if (!component) return std::unexpected(std::move(component.error()));
        components.push_back(std::move(*component));
    }
    return components;
}

}  // namespace ambrel::metadata
