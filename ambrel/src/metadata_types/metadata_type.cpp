#include "metadata_types/metadata_type.hpp"

#include <algorithm>
#include <array>
#include <string>
#include <unordered_map>

#include "data/registry.hpp"
#include "metadata/namespace_policy.hpp"
#include "metadata_types/catalogue_tables.hpp"
#include "metadata_types/type_descriptor.hpp"
#include "support/programming_error.hpp"

namespace ambrel::metadata_types {

namespace {

struct CategoryRow {
    std::string_view id;
    std::string_view label;
};

constexpr std::array<CategoryRow, kMetadataCategoryCount> kCategories{{
    {"Core", "Core"},
    {"ObjectsAndFields", "Objects & Fields"},
    {"Code", "Code"},
    {"UiAndNavigation", "UI & Navigation"},
    {"Automation", "Automation"},
    {"SecurityAndSharing", "Security & Sharing"},
    {"IntegrationAndAuth", "Integration & Auth"},
    {"ServiceCloud", "Service Cloud"},
    {"ExperienceCloud", "Experience Cloud"},
    {"Analytics", "Analytics"},
    {"SalesCloud", "Sales Cloud"},
    {"EmailAndTemplates", "Email & Templates"},
    {"Localization", "Localization"},
    {"Mobile", "Mobile"},
    {"MarketingAndDataCloud", "Marketing & Data Cloud"},
    {"RevenueCloud", "Revenue Cloud"},
    {"Legacy", "Legacy"},
}};

}  // namespace

std::string_view wire_id(MetadataCategory category) noexcept {
    return kCategories[static_cast<std::size_t>(category)].id;
}

std::string_view label(MetadataCategory category) noexcept {
    return kCategories[static_cast<std::size_t>(category)].label;
}

std::optional<MetadataCategory> metadata_category_from_wire_id(std::string_view id) noexcept {
    for (std::size_t i = 0; i < kCategories.size(); ++i) {
        if (kCategories[i].id == id) return static_cast<MetadataCategory>(i);
    }
    return std::nullopt;
}

namespace {

static_assert(data::registry::kDataObjectCount == kDataRecordTypeCount);

constexpr std::size_t kFixedKindCount = 13;

// The wire ids of the fixed kinds, in kind order.
constexpr std::array<std::string_view, kFixedKindCount> kFixedWireIds{
    "CustomField", "CustomObject", "CustomMetadataType", "PlatformEvent", "ApexClass",
    "ApexTrigger", "LightningComponentBundle", "AuraDefinitionBundle", "ApexPage", "Layout",
    "Flow", "ProductBundle", "ConstraintModel",
};

// Built once: every wire id to its type. Fixed ids win over generic API names, which win over
// record-data object names, as the lookup order requires.
const std::unordered_map<std::string_view, MetadataType>& wire_id_index() {
    static const auto index = [] {
        std::unordered_map<std::string_view, MetadataType> map;
        for (const auto& type : all_metadata_types()) map.emplace(type.wire_id(), type);
        for (std::size_t i = 0; i < data::registry::DATA_OBJECTS.size(); ++i) {
            map.emplace(data::registry::DATA_OBJECTS[i].api_name, MetadataType::DataRecord(i));
        }
        return map;
    }();
    return index;
}

}  // namespace

void MetadataType::fail_generic_index() {
    support::fail_precondition("Generic index is produced only by registry lookups");
}

void MetadataType::fail_data_record_index() {
    support::fail_precondition("DataRecord index is produced only by registry lookups");
}

std::string_view MetadataType::wire_id() const {
    switch (kind_) {
        case Kind::Generic:
            return descriptor().api_name;
        case Kind::DataRecord:
            if (index_ >= data::registry::DATA_OBJECTS.size()) fail_data_record_index();
            return data::registry::DATA_OBJECTS[index_].api_name;
        default:
            return kFixedWireIds[static_cast<std::size_t>(kind_)];
    }
}

const TypeDescriptor& MetadataType::descriptor() const {
    switch (kind_) {
        case Kind::Generic: {
            const auto table = detail::generic_descriptors();
            if (index_ >= table.size()) fail_generic_index();
            return table[index_];
        }
        case Kind::DataRecord:
            support::fail_precondition("MetadataType::DataRecord has no TypeDescriptor; see data::registry");
        default:
            return detail::fixed_descriptors()[static_cast<std::size_t>(kind_)];
    }
}

std::optional<MetadataType> MetadataType::from_wire_id(std::string_view id) {
    const auto& index = wire_id_index();
    const auto found = index.find(id);
    if (found == index.end()) return std::nullopt;
    return found->second;
}

std::optional<MetadataType> MetadataType::from_api_name(std::string_view api_name) {
    static const auto index = [] {
        // Only these fixed kinds own their Metadata API name: the object-definition kinds that share
        // "CustomObject" with CustomObject and the Revenue Cloud kinds are never found by name.
        std::unordered_map<std::string_view, MetadataType> map;
        for (const auto type : {MetadataType::CustomField, MetadataType::CustomObject, MetadataType::ApexClass,
                                MetadataType::ApexTrigger, MetadataType::LightningComponentBundle,
                                MetadataType::AuraDefinitionBundle, MetadataType::ApexPage, MetadataType::Layout,
                                MetadataType::Flow}) {
            map.emplace(type.descriptor().api_name, type);
        }
        for (std::size_t i = 0; i < kGenericTypeCount; ++i) {
            const auto type = MetadataType::Generic(i);
            map.emplace(type.descriptor().api_name, type);
        }
        return map;
    }();
    const auto found = index.find(api_name);
    if (found == index.end()) return std::nullopt;
    return found->second;
}

bool MetadataType::is_selectable() const {
    if (is_data_record()) return true;
    return descriptor().selectable;
}

std::string_view MetadataType::selection_label() const {
    if (is_data_record()) {
        if (index_ >= data::registry::DATA_OBJECTS.size()) fail_data_record_index();
        return data::registry::DATA_OBJECTS[index_].plural_label;
    }
    const auto& row = descriptor();
    return row.group_label.value_or(row.plural_label);
}

bool MetadataType::opens_test_screen() const { return descriptor().opens_test_screen; }

MetadataCategory MetadataType::category() const {
    if (is_data_record()) return MetadataCategory::RevenueCloud;
    return descriptor().category;
}

bool MetadataType::is_object_definition() const {
    const auto* path_template = descriptor().content_format.decomposed_template();
    return path_template != nullptr && std::holds_alternative<PathTemplate::ObjectDefinition>(path_template->value);
}

bool MetadataType::is_object_child_or_field() const {
    const auto* path_template = descriptor().content_format.decomposed_template();
    return path_template != nullptr && (std::holds_alternative<PathTemplate::CustomField>(path_template->value) ||
                                        std::holds_alternative<PathTemplate::ObjectChild>(path_template->value));
}

bool MetadataType::object_listing_admits(std::string_view member_name) const {
    if (!descriptor().name_filter.admits(member_name)) return false;
    if (!is_object_definition()) return true;
    if (kind_ != Kind::CustomMetadataType) return true;
    // Packaged custom metadata types cannot be deployed from one org to another.
    return !metadata::PACKAGED_FIELD_PATTERN.matches(member_name);
}

std::optional<MetadataType> generic_type_by_api_name(std::string_view api_name) {
    const auto table = detail::generic_descriptors();
    const auto found = std::ranges::lower_bound(table, api_name, {}, &TypeDescriptor::api_name);
    if (found == table.end() || found->api_name != api_name) return std::nullopt;
    return MetadataType::Generic(static_cast<std::size_t>(found - table.begin()));
}

std::optional<MetadataType> metadata_type_by_wire_id(std::string_view id) { return MetadataType::from_wire_id(id); }

const std::vector<MetadataType>& all_metadata_types() {
    static const auto types = [] {
        std::vector<MetadataType> list{
            MetadataType::CustomField, MetadataType::CustomObject, MetadataType::CustomMetadataType,
            MetadataType::PlatformEvent, MetadataType::ApexClass, MetadataType::ApexTrigger,
            MetadataType::LightningComponentBundle, MetadataType::AuraDefinitionBundle, MetadataType::ApexPage,
            MetadataType::Layout, MetadataType::Flow, MetadataType::ProductBundle, MetadataType::ConstraintModel,
        };
        for (std::size_t i = 0; i < kGenericTypeCount; ++i) list.push_back(MetadataType::Generic(i));
        return list;
    }();
    return types;
}

}  // namespace ambrel::metadata_types
