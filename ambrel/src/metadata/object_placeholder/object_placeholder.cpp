#include "metadata/object_placeholder/object_placeholder.hpp"

#include <algorithm>
#include <array>
#include <set>
#include <utility>
#include <variant>
#include <vector>

#include <fmt/format.h>

#include "metadata/metadata_namespace.hpp"
#include "text/text.hpp"
#include "xml/xml.hpp"

namespace ambrel::metadata::object_placeholder {
namespace {

constexpr std::string_view kCustomSettingsType = "customSettingsType";
constexpr std::string_view kNameField = "nameField";
// A custom setting's placeholder carries only these elements.
constexpr std::array<std::string_view, 4> kCustomSettingElements = {"label", "description", "visibility",
                                                                    "customSettingsType"};

std::optional<std::string_view> root_element(const metadata_types::ContentFormat& format) {
    using metadata_types::ContentFormat;
    if (const auto* xml = std::get_if<ContentFormat::DecomposedXml>(&format.value)) return xml->root_element;
    if (const auto* source = std::get_if<ContentFormat::SourceFile>(&format.value)) return source->root_type;
    if (const auto* container = std::get_if<ContentFormat::ContainerDocument>(&format.value)) {
        return container->container_type;
    }
    return std::nullopt;
}

// The first nameField directly under the root, in the metadata namespace: its bytes, and the
// prefix declarations of the source root (each `xmlns:p="uri"` as written) for the prefixes it uses,
// so that it stays bound under the placeholder's own root.
struct NameField {
    std::string_view bytes;
    std::vector<std::string_view> declarations;
};

// Adds the prefixes a tag uses: its own and its attributes' (namespace declarations aside).
void add_used_prefixes(const xml::Event& event, std::set<std::string_view>& used) {
    if (!event.prefix().empty()) used.insert(event.prefix());
    auto attributes = event.attributes();
    while (true) {
        auto attribute = attributes.next();
        if (!attribute || !*attribute) return;
        if (!(*attribute)->is_namespace_declaration() && !(*attribute)->prefix().empty()) {
            used.insert((*attribute)->prefix());
        }
    }
}

std::optional<NameField> name_field_of(std::string_view document) {
    xml::Reader reader(document);
    // The source root's prefix declarations: prefix, then the declaration as written.
    std::vector<std::pair<std::string_view, std::string_view>> root_declarations;
    std::set<std::string_view> used;
    std::optional<std::size_t> start;
    std::size_t start_depth = 0;
    const auto found = [&](std::string_view bytes) {
        NameField field{bytes, {}};
        for (const auto& [prefix, declaration] : root_declarations) {
            if (used.contains(prefix)) field.declarations.push_back(declaration);
        }
        return field;
    };
    while (true) {
        auto event = reader.next();
        if (!event || event->kind == xml::EventKind::Eof) return std::nullopt;
        const bool element = event->kind == xml::EventKind::Start || event->kind == xml::EventKind::Empty;
        if (start) {
            if (element) add_used_prefixes(*event, used);
            if (event->kind == xml::EventKind::End && reader.depth() == start_depth) {
                return found(document.substr(*start, event->end - *start));
            }
            continue;
        }
        if (event->kind == xml::EventKind::Start && reader.depth() == 1) {
            auto attributes = event->attributes();
            while (true) {
                auto attribute = attributes.next();
                if (!attribute || !*attribute) break;
                if ((*attribute)->is_namespace_declaration() && (*attribute)->prefix() == "xmlns") {
                    root_declarations.emplace_back(
                        (*attribute)->local_name(),
                        document.substr((*attribute)->begin, (*attribute)->end - (*attribute)->begin));
                }
            }
            continue;
        }
        if (!element || event->local_name() != kNameField) continue;
        const std::size_t depth_after = reader.depth();
        const std::size_t own_depth = event->kind == xml::EventKind::Start ? depth_after : depth_after + 1;
        if (own_depth != 2 || !in_metadata_namespace(reader.resolve_element(*event))) continue;
        add_used_prefixes(*event, used);
        if (event->kind == xml::EventKind::Empty) return found(event->raw);
        start = event->begin;
        start_depth = depth_after - 1;
    }
}

}  // namespace

std::optional<std::string> attribute_text(const domain::AttributeValue& value) {
    std::optional<std::string> out;
    if (const auto* textual = std::get_if<domain::AttributeValue::Text>(&value.value)) {
        out = textual->value;
    } else if (const auto* number = std::get_if<domain::AttributeValue::Number>(&value.value)) {
        if (number->value) out = std::to_string(*number->value);
    }
    if (!out || text::is_blank(*out)) return std::nullopt;
    return out;
}

std::expected<std::string, std::string> placeholder_object_xml(const metadata_types::TypeDescriptor& descriptor,
                                                               const domain::MetadataComponent& component) {
    const auto root = root_element(descriptor.content_format);
    if (!root) {
        return std::unexpected(fmt::format(fmt::runtime(kNoXmlDocument), descriptor.api_name, component.key.name));
    }
    // Custom metadata types and platform events share the CustomObject API name; only the custom
    // object type itself carries a nameField or can be a custom setting.
    const bool custom_object = component.key.metadata_type == metadata_types::MetadataType::CustomObject;
    bool custom_setting = false;
    const std::size_t pairs = std::min(descriptor.attributes.size(), component.attributes.size());
    for (std::size_t i = 0; i < pairs; ++i) {
        if (custom_object && descriptor.attributes[i].element == kCustomSettingsType &&
            attribute_text(component.attributes[i])) {
            custom_setting = true;
        }
    }
    std::optional<NameField> name_field;
    if (custom_object && !custom_setting) {
        name_field = name_field_of(component.document);
        if (!name_field) {
            return std::unexpected(fmt::format(fmt::runtime(kNoNameField), descriptor.api_name, component.key.name));
        }
    }
    std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    out += fmt::format("<{} xmlns=\"{}\"", *root, kMetadataNamespaceUri);
    // A nameField written with a prefix keeps it bound, as the source root bound it.
    if (name_field) {
        for (const std::string_view declaration : name_field->declarations) {
            out += ' ';
            out += declaration;
        }
    }
    out += ">\n";
    for (std::size_t i = 0; i < pairs; ++i) {
        const std::string_view element = descriptor.attributes[i].element;
        if (custom_setting && std::find(kCustomSettingElements.begin(), kCustomSettingElements.end(), element) ==
                                  kCustomSettingElements.end()) {
            continue;
        }
        auto value = attribute_text(component.attributes[i]);
        if (!value) continue;
        out += fmt::format("    <{0}>{1}</{0}>\n", element, xml::escape_five_entities(*value));
    }
    if (name_field) {
        out += "    ";
        out += name_field->bytes;
        out += '\n';
    }
    out += fmt::format("</{}>\n", *root);
    return out;
}

}  // namespace ambrel::metadata::object_placeholder
