#include "domain/component.hpp"

#include <limits>
#include <utility>

#include <fmt/format.h>

namespace ambrel::domain {

namespace {

// Positions of the custom field attributes in the CustomField attribute list.
enum FieldPosition : std::size_t {
    kType = 0,
    kFormula = 1,
    kDefaultValue = 2,
    kReferenceTo = 3,
    kLength = 4,
    kPrecision = 5,
    kScale = 6,
    kLabel = 7,
};

std::optional<std::string> text_at(const std::vector<AttributeValue>& values, std::size_t position) {
    if (position >= values.size()) return std::nullopt;
    const std::string* text = values[position].text_value();
    return text ? std::optional<std::string>(*text) : std::nullopt;
}

std::optional<std::int32_t> int32_at(const std::vector<AttributeValue>& values,
                                     std::size_t position) {
    if (position >= values.size()) return std::nullopt;
    const auto number = values[position].number_value();
    if (!number || *number < std::numeric_limits<std::int32_t>::min() ||
        *number > std::numeric_limits<std::int32_t>::max()) {
        return std::nullopt;
    }
    return static_cast<std::int32_t>(*number);
}

std::optional<std::int64_t> widen(std::optional<std::int32_t> value) {
    return value ? std::optional<std::int64_t>(*value) : std::nullopt;
}

}  // namespace

const std::string* AttributeValue::text_value() const noexcept {
    const Text* text = std::get_if<Text>(&value);
    return text && text->value ? &*text->value : nullptr;
}

std::optional<std::int64_t> AttributeValue::number_value() const noexcept {
    const Number* number = std::get_if<Number>(&value);
    return number ? number->value : std::nullopt;
}

CustomFieldDefinition MetadataComponent::to_custom_field_definition() const {
    CustomFieldDefinition definition;
    definition.key = key.to_field_key();
    definition.attributes.field_type = text_at(attributes, kType);
    definition.attributes.formula = text_at(attributes, kFormula);
    definition.attributes.default_value = text_at(attributes, kDefaultValue);
    definition.attributes.reference_to = text_at(attributes, kReferenceTo);
    definition.attributes.length = int32_at(attributes, kLength);
    definition.attributes.precision = int32_at(attributes, kPrecision);
    definition.attributes.scale = int32_at(attributes, kScale);
    definition.attributes.label = text_at(attributes, kLabel);
    definition.source_path = source_path;
    definition.document = document;
    definition.required = required;
    return definition;
}

MetadataComponent CustomFieldDefinition::to_component() const {
    MetadataComponent component;
    component.key = ComponentKey{metadata_types::MetadataType::CustomField,
                                 fmt::format("{}.{}", key.object_api_name, key.field_api_name)};
    component.attributes = {
        AttributeValue::text(attributes.field_type),
        AttributeValue::text(attributes.formula),
        AttributeValue::text(attributes.default_value),
        AttributeValue::text(attributes.reference_to),
        AttributeValue::number(widen(attributes.length)),
        AttributeValue::number(widen(attributes.precision)),
        AttributeValue::number(widen(attributes.scale)),
        AttributeValue::text(attributes.label),
    };
    component.source_path = source_path;
    component.document = document;
    component.required = required;
    return component;
}

}  // namespace ambrel::domain
