#include "data/bundles/document/conventions.hpp"

#include <fmt/format.h>

#include "text/text.hpp"

namespace ambrel::data::bundles::document {

namespace {

constexpr std::string_view kAttributePrefix = "attribute: ";
constexpr std::string_view kTextPrefix = "text: ";

BundleDocumentError attribute_error(const xml::Error& error) {
    return BundleDocumentError(fmt::format("{}{}", kAttributePrefix, text::decode_lossy(error.message())));
}

}  // namespace

std::string escape_text(std::string_view text) { return xml::escape_text(text); }

void attribute(std::string& out, std::string_view name, std::string_view value) {
    out.push_back(' ');
    out.append(name);
    out.append("=\"");
    xml::append_escaped_attribute(out, value);
    out.push_back('"');
}

void optional_attribute(std::string& out, std::string_view name, const std::optional<std::string>& value) {
    if (value) attribute(out, name, *value);
}

void indent(std::string& out, std::size_t depth) {
    for (std::size_t level = 0; level < depth; ++level) out.append(kIndent);
}

void text_element(std::string& out, std::size_t depth, std::string_view name, std::string_view text) {
    indent(out, depth);
    out.push_back('<');
    out.append(name);
    out.push_back('>');
    xml::append_escaped_text(out, text);
    out.append("</");
    out.append(name);
    out.append(">\n");
}

void write_field_set(std::string& out, const FieldSet& fields, std::size_t depth) {
    for (const auto& [name, value] : fields) text_element(out, depth, name, value);
}

std::string join_names(std::span<const std::string> names) {
    std::string joined;
    for (std::size_t index = 0; index < names.size(); ++index) {
        if (index > 0) joined.append(kNameSeparator);
        joined.append(names[index]);
    }
    return joined;
}

FieldSet field_set(const json::Object& record, std::span<const std::string> field_names) {
    FieldSet fields;
    for (const std::string& name : field_names) {
        const json::Value* value = json::find(record, name);
        if (value == nullptr) continue;
        if (const auto flag = json::as_bool(*value)) {
            fields.insert_or_assign(name, *flag ? "true" : "false");
        } else if (auto number = json::number_text(*value)) {
            fields.insert_or_assign(name, std::move(*number));
        } else if (const auto string = json::as_string(*value)) {
            fields.insert_or_assign(name, std::string(*string));
        }
    }
    return fields;
}

TagAttributes::TagAttributes(const xml::Event& tag) {
    xml::AttributeIterator walk = tag.attributes();
    while (true) {
        auto next = walk.next();
        if (!next) {
            fault_ = std::move(next.error());
            return;
        }
        if (!*next) return;
        attributes_.push_back(**next);
    }
}

std::expected<std::optional<std::string>, BundleDocumentError> TagAttributes::find(std::string_view name) const {
    for (const xml::Attribute& attribute : attributes_) {
        if (attribute.local_name() != name) continue;
        auto value = attribute.normalized_value();
        if (!value) return std::unexpected(attribute_error(value.error()));
        return std::optional<std::string>{std::move(*value)};
    }
    if (fault_) return std::unexpected(attribute_error(*fault_));
    return std::optional<std::string>{};
}

std::expected<std::string, BundleDocumentError> TagAttributes::required(std::string_view element,
                                                                        std::string_view name) const {
    auto value = find(name);
    if (!value) return std::unexpected(std::move(value.error()));
    if (!*value) return std::unexpected(BundleDocumentError(fmt::format("<{}> has no '{}' attribute", element, name)));
    return std::move(**value);
}

std::expected<std::optional<std::string>, BundleDocumentError> attribute_of(const xml::Event& tag,
                                                                            std::string_view name) {
    return TagAttributes(tag).find(name);
}

std::expected<std::string, BundleDocumentError> required_attribute(std::string_view element, const xml::Event& tag,
                                                                   std::string_view name) {
    return TagAttributes(tag).required(element, name);
}

std::expected<std::string, BundleDocumentError> decode_document_text(std::string_view raw) {
    if (auto valid = text::validate_utf8(raw); !valid) {
        return std::unexpected(BundleDocumentError(fmt::format("{}{}", kTextPrefix, valid.error().message())));
    }
    if (raw.find('&') == std::string_view::npos) return std::string(raw);
    auto decoded = xml::unescape(raw);
    if (!decoded) {
        return std::unexpected(
            BundleDocumentError(fmt::format("{}{}", kTextPrefix, text::decode_lossy(decoded.error().description))));
    }
    return std::move(*decoded);
}

std::vector<std::string> name_list(std::string_view text) {
    std::vector<std::string> names;
    if (text::is_blank(text)) return names;
    std::size_t start = 0;
    while (true) {
        const std::size_t separator = text.find(kNameSeparator, start);
        if (separator == std::string_view::npos) {
            names.emplace_back(text.substr(start));
            return names;
        }
        names.emplace_back(text.substr(start, separator - start));
        start = separator + kNameSeparator.size();
    }
}

}  // namespace ambrel::data::bundles::document
