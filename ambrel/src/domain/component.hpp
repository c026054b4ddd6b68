#pragma once

// A component as read from a source tree, and the definition of one custom field with its
// conversions to and from a component.

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "domain/component_key.hpp"

namespace ambrel::domain {

// The value of one compared attribute. A numeric attribute is read only from a Number, a text
// attribute only from a Text; either may hold no value.
struct AttributeValue {
    struct Text {
        std::optional<std::string> value;
        bool operator==(const Text&) const = default;
    };
    struct Number {
        std::optional<std::int64_t> value;
        bool operator==(const Number&) const = default;
    };
    using Variant = std::variant<Text, Number>;

    Variant value;

    static AttributeValue text(std::optional<std::string> value) { return {Text{std::move(value)}}; }
    static AttributeValue number(std::optional<std::int64_t> value) { return {Number{value}}; }

    // The text when this is a Text holding a value, else null.
    const std::string* text_value() const noexcept;
    // The number when this is a Number holding a value, else none.
    std::optional<std::int64_t> number_value() const noexcept;

    bool operator==(const AttributeValue&) const = default;
};

// The source body kept beside a component's metadata XML (Apex class, trigger, Visualforce page).
// The comparison looks at `text` alone.
struct ComponentBody {
    std::filesystem::path path;
    std::string text;

    bool operator==(const ComponentBody&) const = default;
};

struct CustomFieldDefinition;

// A component read from a source tree.
struct MetadataComponent {
    ComponentKey key;
    // One value per AttributeSpec of the type's descriptor, in the same order; a reader may give
    // fewer, and a missing one counts as absent.
    std::vector<AttributeValue> attributes;
    // The component's main file in the tree it was read from.
    std::filesystem::path source_path;
    // The text of the component's metadata XML document as read.
    std::string document;
    std::optional<ComponentBody> body;
    // Bundle types only: file name relative to the bundle directory → file text.
    std::map<std::string, std::string> bundle_files;
    // Custom fields only: the field document says the field is required.
    bool required = false;

    // The custom field definition of a CustomField component: texts from positions 0–3 and 7 when
    // they are Texts with a value; numbers from positions 4–6 when they are Numbers whose value fits
    // a signed 32-bit integer; anything else absent.
    CustomFieldDefinition to_custom_field_definition() const;

    bool operator==(const MetadataComponent&) const = default;
};

// The compared attributes of a custom field, in the order of the CustomField attribute list:
// type, formula, defaultValue, referenceTo, length, precision, scale, label.
struct FieldAttributes {
    std::optional<std::string> field_type;
    std::optional<std::string> formula;
    std::optional<std::string> default_value;
    std::optional<std::string> reference_to;
    std::optional<std::int32_t> length;
    std::optional<std::int32_t> precision;
    std::optional<std::int32_t> scale;
    std::optional<std::string> label;

    bool operator==(const FieldAttributes&) const = default;
};

struct CustomFieldDefinition {
    FieldKey key;
    FieldAttributes attributes;
    // The path of the field document.
    std::filesystem::path source_path;
    std::string document;
    bool required = false;

    // The CustomField component "{object}.{field}" with the eight attributes in list order (the
    // numbers widened to 64 bits), no body and no bundle files.
    MetadataComponent to_component() const;

    bool operator==(const CustomFieldDefinition&) const = default;
};

}  // namespace ambrel::domain
