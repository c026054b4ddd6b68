#include "dependency/id_index.hpp"

#include <fmt/format.h>

#include "dependency/warnings.hpp"
#include "metadata/namespace_policy.hpp"
#include "support/programming_error.hpp"
#include "text/text.hpp"

namespace ambrel::dependency {

namespace {

// The key prefix of custom object ids, and the two lengths a Salesforce id comes in.
constexpr std::string_view kCustomObjectIdPrefix = "01I";
constexpr std::size_t kLongIdLength = 18;

}  // namespace

std::string short_id(std::string_view id) { return std::string{text::first_chars(text::trim(id), kShortIdLength)}; }

bool is_custom_object_id(std::string_view table_enum_or_id) {
    return table_enum_or_id.starts_with(kCustomObjectIdPrefix) &&
           (table_enum_or_id.size() == kShortIdLength || table_enum_or_id.size() == kLongIdLength);
}

void IdIndex::register_key(const domain::ComponentKey& key, std::string_view id) {
    const std::string cut = short_id(id);
    key_by_id_.insert_or_assign(cut, key);
    id_by_key_.insert_or_assign(key, cut);
}

void IdIndex::register_object(std::string_view object_id, std::string_view object_name) {
    const std::string cut = short_id(object_id);
    object_name_by_id_.insert_or_assign(cut, std::string{object_name});
    object_id_by_name_.insert_or_assign(std::string{object_name}, cut);
    if (const auto type = object_definition_type(object_name)) {
        register_key(domain::ComponentKey{*type, std::string{object_name}}, cut);
    }
}

std::string IdIndex::table_token(std::string_view object_name) const {
    const auto found = object_id_by_name_.find(object_name);
    return found == object_id_by_name_.end() ? std::string{object_name} : found->second;
}

std::optional<std::string> required_text(const json::Object& object, std::string_view key) {
    const auto* value = object.if_contains(key);
    if (value == nullptr || !value->is_string()) return std::nullopt;
    const std::string_view trimmed = text::trim(std::string_view{value->get_string()});
    if (trimmed.empty()) return std::nullopt;
    return std::string{trimmed};
}

void register_fields(IdIndex& index, std::span<const json::Value> records) {
    for (const json::Value& record : records) {
        const auto* object = record.if_object();
        if (object == nullptr) continue;
        const auto id = required_text(*object, "Id");
        const auto developer_name = required_text(*object, "DeveloperName");
        const auto table = required_text(*object, "TableEnumOrId");
        if (!id || !developer_name || !table) continue;
        if (required_text(*object, "NamespacePrefix")) continue;  // a packaged field
        std::string object_name = *table;
        if (is_custom_object_id(*table)) {
            const auto found = index.object_name_by_id().find(short_id(*table));
            if (found == index.object_name_by_id().end()) continue;
            object_name = found->second;
        }
        index.register_key(
            domain::ComponentKey{metadata_types::MetadataType::CustomField,
                                 fmt::format("{}.{}__c", object_name, *developer_name)},
            *id);
    }
}

std::string quoted_list(std::span<const std::string> values) {
    std::string out;
    for (const std::string& value : values) {
        // A quote ends the literal early; a backslash escapes the closing quote. Either would change
        // the query's text.
        if (value.find('\'') != std::string::npos) {
            support::fail_precondition(fmt::format("SOQL literal must not contain a quote: {}", value));
        }
        if (value.find('\\') != std::string::npos) {
            support::fail_precondition(fmt::format("SOQL literal must not contain a backslash: {}", value));
        }
        if (!out.empty()) out += ", ";
        out += fmt::format("'{}'", value);
    }
    return out;
}

}  // namespace ambrel::dependency
