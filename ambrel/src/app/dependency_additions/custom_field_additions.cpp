#include "app/dependency_additions/custom_field_additions.hpp"

#include <map>
#include <set>
#include <string>
#include <string_view>

#include <fmt/format.h>

#include "metadata/namespace_policy.hpp"
#include "metadata/readers/custom_metadata_reader.hpp"
#include "metadata/readers/lookup_reader.hpp"
#include "metadata/readers/rollup_reader.hpp"
#include "metadata/readers/value_set_reader.hpp"
#include "metadata_types/name_rules.hpp"

namespace ambrel::app {

namespace {

using domain::ComponentKey;
using domain::MetadataComponent;
using metadata_types::MetadataType;

constexpr std::string_view kGlobalValueSetWireId = "GlobalValueSet";
// What the record reader's refusal of a name without "Type.Record" form contains.
constexpr std::string_view kRecordNameRefusal = "must be Type.Record";
constexpr std::string_view kCustomMetadataSuffix = "__mdt";

void warn_unparsed_field(dependency::WarningList& warnings, const MetadataComponent& field) {
    dependency::push_warning(warnings, fmt::format("Could not parse custom field '{}'; its dependencies were not "
                                                   "followed.",
                                                   field.key.name));
}

void warn_field_object(dependency::WarningList& warnings, std::string_view object, const MetadataComponent& field) {
    dependency::push_warning(warnings, fmt::format("Object name '{}' referenced by custom field '{}' {}", object,
                                                   field.key.name, kNotFollowedEnding));
}

// The part of a field path before its first "."; none without a ".".
std::optional<std::string_view> object_of_path(std::string_view path) {
    const auto parts = metadata_types::split_once_dot(path);
    if (!parts) return std::nullopt;
    return parts->first;
}

}  // namespace

std::vector<ComponentKey> global_value_set_additions(std::span<const MetadataComponent> fields,
                                                     const CompareSelection& selection,
                                                     dependency::WarningList& warnings, TypeLookup lookup) {
    const auto value_set_type = lookup(kGlobalValueSetWireId);
    if (!value_set_type) return {};
    KeyCollector keys(selection);
    for (const MetadataComponent& field : fields) {
        const auto reference =
            metadata::value_set_reader::parse_global_value_set_reference(field.key.name, field.document);
        if (!reference) {
            warn_unparsed_field(warnings, field);
            continue;
        }
        if (!*reference) continue;
        const std::string& name = **reference;
        if (metadata::NamespacePolicy::is_packaged_generic_component(name)) continue;
        if (!is_member_name(name)) {
            dependency::push_warning(warnings, fmt::format("Global value set name '{}' referenced by '{}' {}", name,
                                                           field.key.name, kNotFollowedEnding));
            continue;
        }
        keys.add(*value_set_type, name);
    }
    return std::move(keys).take();
}

std::vector<ComponentKey> lookup_field_additions(std::span<const MetadataComponent> fields,
                                                 const CompareSelection& selection,
                                                 dependency::WarningList& warnings) {
    KeyCollector keys(selection);
    for (const MetadataComponent& field : fields) {
        const auto references = metadata::lookup_reader::parse_lookup_references(field.key.name, field.document);
        if (!references) {
            warn_unparsed_field(warnings, field);
            continue;
        }
        // Object name -> its definition type when it came through referenceTo. Objects named only
        // by a lookup filter path get no definition and no suffix test.
        std::map<std::string_view, std::optional<MetadataType>> objects;
        for (const std::string& object : references->referenced_objects) {
            if (const auto definition = dependency::object_definition_type(object)) objects[object] = definition;
        }
        for (const std::string& path : references->filter_fields) {
            if (const auto object = object_of_path(path)) objects.try_emplace(*object, std::nullopt);
        }
        for (const auto& [object, definition] : objects) {
            if (!is_member_name(object)) {
                warn_field_object(warnings, object, field);
                continue;
            }
            if (definition) keys.add(*definition, object);
            keys.add(MetadataType::CustomField, object);
        }
    }
    return std::move(keys).take();
}

std::vector<ComponentKey> rollup_field_additions(std::span<const MetadataComponent> fields,
                                                 const CompareSelection& selection,
                                                 dependency::WarningList& warnings) {
    KeyCollector keys(selection);
    for (const MetadataComponent& field : fields) {
        const auto references = metadata::rollup_reader::parse_rollup_references(field.key.name, field.document);
        if (!references) {
            warn_unparsed_field(warnings, field);
            continue;
        }
        std::set<std::string_view> objects;
        const auto collect = [&objects](std::string_view path) {
            if (const auto object = object_of_path(path)) objects.insert(*object);
        };
        if (references->summary_foreign_key) collect(*references->summary_foreign_key);
        if (references->summarized_field) collect(*references->summarized_field);
        for (const std::string& path : references->filter_fields) collect(path);
        for (const std::string_view object : objects) {
            if (!is_member_name(object)) {
                warn_field_object(warnings, object, field);
                continue;
            }
            if (const auto definition = dependency::object_definition_type(object)) keys.add(*definition, object);
            keys.add(MetadataType::CustomField, object);
        }
    }
    return std::move(keys).take();
}

std::vector<ComponentKey> custom_metadata_record_additions(std::span<const MetadataComponent> records,
                                                           const CompareSelection& selection,
                                                           dependency::WarningList& warnings) {
    KeyCollector keys(selection);
    for (const MetadataComponent& record : records) {
        const auto references =
            metadata::custom_metadata_reader::parse_custom_metadata_references(record.key.name, record.document);
        if (!references) {
            if (references.error().message().find(kRecordNameRefusal) != std::string::npos) {
                dependency::push_warning(warnings, fmt::format("Custom Metadata record name '{}' is not of the form "
                                                               "Type.Record; its dependencies were not followed.",
                                                               record.key.name));
            } else {
                dependency::push_warning(warnings, fmt::format("Could not parse Custom Metadata record '{}'; its "
                                                               "dependencies were not followed.",
                                                               record.key.name));
            }
            continue;
        }
        const std::string& type_object = references->type_object_name;
        if (!is_member_name(type_object)) {
            dependency::push_warning(warnings,
                                     fmt::format("Object name '{}' referenced by Custom Metadata record '{}' {}",
                                                 type_object, record.key.name, kNotFollowedEnding));
            continue;
        }
        keys.add(MetadataType::CustomField, type_object);
        if (type_object.ends_with(kCustomMetadataSuffix) && !metadata::PACKAGED_FIELD_PATTERN.matches(type_object)) {
            keys.add(MetadataType::CustomMetadataType, type_object);
        }
    }
    return std::move(keys).take();
}

}  // namespace ambrel::app
