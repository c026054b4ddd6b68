#include "data/schema.hpp"

#include <fmt/format.h>

namespace ambrel::data::schema {
namespace {

bool flag(const json::Object& object, std::string_view key) { return json::get_bool(object, key) == true; }

std::expected<FieldSchema, std::string> parse_field(const json::Value& element) {
    FieldSchema field;
    auto name = text(element, "name");
    if (!name) return std::unexpected(std::move(name.error()));
    field.name = std::move(*name);
    // `text` has accepted the element, so it is an object.
    const json::Object& object = element.as_object();
    if (auto label = json::get_string(object, "label")) field.label = std::string(*label);
    auto type = text(element, "type");
    if (!type) return std::unexpected(std::move(type.error()));
    field.type = std::move(*type);
    field.createable = flag(object, "createable");
    field.updateable = flag(object, "updateable");
    field.nillable = flag(object, "nillable");
    field.calculated = flag(object, "calculated");
    field.unique = flag(object, "unique");
    field.external_id = flag(object, "externalId");
    field.custom = flag(object, "custom");
    field.auto_number = flag(object, "autoNumber");
    field.defaulted_on_create = flag(object, "defaultedOnCreate");
    if (const json::Array* targets = json::get_array(object, "referenceTo")) {
        for (const json::Value& target : *targets) {
            if (auto name_text = json::as_string(target)) field.reference_to.emplace_back(*name_text);
        }
    }
    if (auto relationship = json::get_string(object, "relationshipName")) {
        field.relationship_name = std::string(*relationship);
    }
    field.length = json::get_int64(object, "length").value_or(0);
    return field;
}

}  // namespace

std::expected<std::string, std::string> text(const json::Value& value, std::string_view key) {
    if (const json::Value* member = json::find(value, key)) {
        if (auto string = json::as_string(*member)) return std::string(*string);
    }
    return std::unexpected(fmt::format("field is missing a string '{}'", key));
}

std::expected<ObjectSchema, std::string> ObjectSchema::parse(const json::Value& value) {
    ObjectSchema schema;
    auto name = text(value, "name");
    if (!name) return std::unexpected(std::move(name.error()));
    schema.name = std::move(*name);

    const json::Value* fields = json::find(value, "fields");
    const json::Array* elements = fields ? json::as_array(*fields) : nullptr;
    if (elements == nullptr) return std::unexpected(std::string("'fields' is missing or is not an array"));
    if (elements->empty()) return std::unexpected(std::string("'fields' is empty"));
    for (const json::Value& element : *elements) {
        auto field = parse_field(element);
        if (!field) return std::unexpected(std::move(field.error()));
        std::string key = field->name;
        schema.fields.insert_or_assign(std::move(key), std::move(*field));
    }
    return schema;
}

std::vector<const FieldSchema*> ObjectSchema::external_id_fields() const {
    std::vector<const FieldSchema*> result;
    for (const auto& [name, field] : fields) {
        if (field.external_id) result.push_back(&field);
    }
    return result;
}

}  // namespace ambrel::data::schema
