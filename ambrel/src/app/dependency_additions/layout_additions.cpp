#include "app/dependency_additions/layout_additions.hpp"

#include <set>
#include <string>
#include <string_view>
#include <variant>

#include <fmt/format.h>

#include "metadata/layout_model.hpp"
#include "metadata/namespace_policy.hpp"
#include "metadata/readers/permission_set_group_reader.hpp"

namespace ambrel::app {

namespace {

using domain::ComponentKey;
using domain::MetadataComponent;

constexpr std::string_view kPermissionSetWireId = "PermissionSet";
constexpr std::string_view kCustomFieldSuffix = "__c";

// An unpackaged custom field name: at least 3 characters, ending in "__c", not namespaced.
bool is_own_custom_field(std::string_view name) {
    return name.size() >= kCustomFieldSuffix.size() && name.ends_with(kCustomFieldSuffix) &&
           !metadata::PACKAGED_FIELD_PATTERN.matches(name);
}

bool places_own_custom_field(const metadata::LayoutModel& model) {
    for (const metadata::LayoutSection& section : model.sections) {
        for (const auto& column : section.columns) {
            for (const metadata::LayoutItem& item : column) {
                const auto* field = std::get_if<metadata::LayoutItem::Field>(&item.value);
                if (field != nullptr && is_own_custom_field(field->field)) return true;
            }
        }
    }
    return false;
}

// The related list shows an unpackaged custom field: among the part of its name after the first
// ".", its columns and its sort field, counting only dot-free "__c" names of 3 characters or more.
bool shows_own_custom_field(std::string_view field_of_name, const metadata::RelatedListItem& list) {
    const auto counts = [](std::string_view candidate) {
        return candidate.size() >= kCustomFieldSuffix.size() && candidate.find('.') == std::string_view::npos &&
               candidate.ends_with(kCustomFieldSuffix);
    };
    const auto own = [&counts](std::string_view candidate) {
        return counts(candidate) && !metadata::PACKAGED_FIELD_PATTERN.matches(candidate);
    };
    if (own(field_of_name)) return true;
    for (const std::string& column : list.fields) {
        if (own(column)) return true;
    }
    return list.sort_field && own(*list.sort_field);
}

}  // namespace

std::vector<ComponentKey> layout_field_additions(std::span<const MetadataComponent> layouts,
                                                 const CompareSelection& selection) {
    KeyCollector keys(selection);
    for (const MetadataComponent& layout : layouts) {
        const std::string_view full_name = layout.key.name;
        const auto hyphen = full_name.find('-');
        if (hyphen == std::string_view::npos) continue;
        const std::string_view object = full_name.substr(0, hyphen);
        const auto model = metadata::layout_reader::parse_layout_model(full_name, layout.document, layout.source_path);
        if (!model) continue;

        // A layout name that starts with "-" names no object; an empty member would select nothing.
        if (!object.empty() && places_own_custom_field(*model)) keys.add_object_with_definition(object);

        for (const metadata::RelatedListItem& list : model->related_lists) {
            const std::string_view name = list.related_list;
            const auto dot = name.find('.');
            if (dot == std::string_view::npos) continue;
            const std::string_view child = name.substr(0, dot);
            if (child.empty()) continue;
            if (shows_own_custom_field(name.substr(dot + 1), list)) keys.add_object_with_definition(child);
        }
    }
    return std::move(keys).take();
}

std::vector<ComponentKey> permission_set_group_additions(std::span<const MetadataComponent> groups,
                                                         const CompareSelection& selection,
                                                         dependency::WarningList& warnings, TypeLookup lookup) {
    const auto permission_set_type = lookup(kPermissionSetWireId);
    if (!permission_set_type) return {};
    KeyCollector keys(selection);
    for (const MetadataComponent& group : groups) {
        namespace group_reader = metadata::permission_set_group_reader;
        const auto names = group_reader::parse_permission_set_group_references(group.key.name, group.document);
        if (!names) {
            dependency::push_warning(
                warnings, fmt::format("Could not parse Permission Set Group '{}'; its dependencies were not followed.",
                                      group.key.name));
            continue;
        }
        for (const std::string& name : *names) {
            if (metadata::NamespacePolicy::is_packaged_generic_component(name)) continue;
            keys.add(*permission_set_type, name);
        }
    }
    return std::move(keys).take();
}

}  // namespace ambrel::app
