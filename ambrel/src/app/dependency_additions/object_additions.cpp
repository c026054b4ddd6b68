#include "app/dependency_additions/object_additions.hpp"

#include <string_view>
#include <variant>

#include "app/dependency_additions/addition_rules.hpp"
#include "dependency/warnings.hpp"
#include "metadata_types/name_rules.hpp"
#include "metadata_types/type_descriptor.hpp"

namespace ambrel::app {

namespace {

using domain::ComponentKey;
using metadata_types::MetadataType;

// Members are "{object}.{child}": the type's document lies below its object's folder.
bool is_object_child_type(MetadataType type) {
    if (type.is_data_record()) return false;
    const auto* path_template = type.descriptor().content_format.decomposed_template();
    return path_template != nullptr &&
           std::holds_alternative<metadata_types::PathTemplate::ObjectChild>(path_template->value);
}

// Members are object API names: the org lists the type by object.
bool is_object_scoped_type(MetadataType type) {
    return !type.is_data_record() &&
           std::holds_alternative<metadata_types::ListingStrategy::Objects>(type.descriptor().listing_strategy.value);
}

}  // namespace

std::vector<ComponentKey> object_child_additions(const CompareSelection& requested, const CompareSelection& selection,
                                                 const std::optional<std::set<std::string>>& target_objects) {
    KeyCollector keys(selection);
    for (const auto& [type, members] : requested) {
        if (!is_object_child_type(type)) continue;
        for (const std::string& member : members) {
            const auto parts = metadata_types::split_once_dot(member);
            if (!parts) continue;
            const std::string_view parent = parts->first;
            const auto definition = dependency::object_definition_type(parent);
            if (!definition) continue;
            keys.add(*definition, parent);
            if (target_objects && target_objects->contains(std::string(parent))) continue;
            keys.add(MetadataType::CustomField, parent);
        }
    }
    return std::move(keys).take();
}

std::vector<ComponentKey> dependency_additions(const dependency::DependencyGraph& graph,
                                               const CompareSelection& selection) {
    KeyCollector keys(selection);
    for (const auto& [component, required] : graph.edges) {
        for (const ComponentKey& key : required) {
            if (key.metadata_type != MetadataType::CustomField) {
                keys.add(key.metadata_type, key.name);
                continue;
            }
            const auto parts = metadata_types::split_once_dot(key.name);
            // A field without its object names nothing that could be selected.
            if (!parts || parts->first.empty()) continue;
            keys.add_object_with_definition(parts->first);
        }
    }
    return std::move(keys).take();
}

std::set<std::string> missing_object_members(const CompareSelection& selection,
                                             const std::set<std::string>& existing_objects) {
    std::set<std::string> missing;
    for (const auto& [type, members] : selection) {
        if (!is_object_scoped_type(type)) continue;
        for (const std::string& member : members) {
            if (!existing_objects.contains(member)) missing.insert(member);
        }
    }
    return missing;
}

}  // namespace ambrel::app
