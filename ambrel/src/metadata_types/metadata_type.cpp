#include "metadata_types/metadata_type.hpp"

#include <array>

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

void MetadataType::fail_generic_index() {
    support::fail_precondition("Generic index is produced only by registry lookups");
}

void MetadataType::fail_data_record_index() {
    support::fail_precondition("DataRecord index is produced only by registry lookups");
}

}  // namespace ambrel::metadata_types
