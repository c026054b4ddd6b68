#include "data/registry.hpp"

#include <algorithm>

#include "fmt/format.h"
#include "fmt/ranges.h"

namespace ambrel::data::registry {

namespace {

// Field lists of the table below.
constexpr std::array<std::string_view, 1> kOwnerId{"OwnerId"};
constexpr std::array<std::string_view, 1> kName{"Name"};
constexpr std::array<std::string_view, 2> kNameAndOwnerId{"Name", "OwnerId"};
constexpr std::array<std::string_view, 1> kTaxPolicyId{"TaxPolicyId"};
constexpr std::array<std::string_view, 1> kOverriddenProductAttributeDefinitionId{"OverriddenProductAttributeDefinitionId"};
constexpr std::array<std::string_view, 1> kParentCategoryId{"ParentCategoryId"};
constexpr std::array<std::string_view, 1> kParentProductClassificationId{"ParentProductClassificationId"};
constexpr std::array<std::string_view, 1> kOverriddenInheritedAttributeId{"OverriddenInheritedAttributeId"};
constexpr std::array<std::string_view, 1> kParentGroupId{"ParentGroupId"};
constexpr std::array<std::string_view, 2> kProductSellingModelOptionKey{"Product2Id", "ProductSellingModelId"};
constexpr std::array<std::string_view, 2> kProductSpecificationRecTypeKey{"ProductSpecificationType", "RecordTypeId"};
constexpr std::array<std::string_view, 1> kProductSpecificationTypeKey{"DeveloperName"};
constexpr std::array<std::string_view, 1> kDefaultTaxTreatmentId{"DefaultTaxTreatmentId"};
constexpr std::array<std::string_view, 1> kTokenResourceId{"TokenResourceId"};

constexpr KeyStrategy natural() { return KeyStrategy{KeyStrategy::Natural{std::nullopt}}; }

constexpr KeyStrategy natural(std::string_view key_field) { return KeyStrategy{KeyStrategy::Natural{key_field}}; }

constexpr KeyStrategy composite(std::span<const std::string_view> fields) {
    return KeyStrategy{KeyStrategy::Composite{fields}};
}

}  // namespace

// Columns: key, API name, plural label, singular label, deferred reference fields, excluded fields,
// customizable, family, load order. Sorted by API name in byte order (the lookup relies on it).
constinit const std::array<DataObjectDescriptor, kDataObjectCount> DATA_OBJECTS{{
    {natural(), "AttributeBasedAdjRule", "Attribute Based Adjustment Rules", "Attribute Based Adjustment Rule", {}, kOwnerId, true, 1, 1},
    {natural(), "AttributeBasedAdjustment", "Attribute Based Adjustments", "Attribute Based Adjustment", {}, kName, true, 1, 21},
    {natural("Code"), "AttributeCategory", "Attribute Categories", "Attribute Category", {}, kOwnerId, true, 0, 2},
    {natural(), "AttributeCategoryAttribute", "Attribute Category Attributes", "Attribute Category Attribute", {}, kNameAndOwnerId, true, 0, 5},
    {natural("Code"), "AttributeDefinition", "Attribute Definitions", "Attribute Definition", {}, kOwnerId, true, 0, 4},
    {natural(), "AttributePicklist", "Attribute Picklists", "Attribute Picklist", {}, kOwnerId, true, 0, 3},
    {natural("Code"), "AttributePicklistValue", "Attribute Picklist Values", "Attribute Picklist Value", {}, {}, true, 0, 6},
    {natural(), "BundleBasedAdjustment", "Bundle Based Adjustments", "Bundle Based Adjustment", {}, kName, true, 1, 22},
    {natural(), "CostBook", "Cost Books", "Cost Book", {}, kOwnerId, true, 1, 7},
    {natural(), "CostBookEntry", "Cost Book Entries", "Cost Book Entry", {}, kName, true, 1, 15},
    {natural(), "LegalEntity", "Legal Entities", "Legal Entity", {}, kOwnerId, true, 3, 8},
    {natural(), "PriceAdjustmentSchedule", "Price Adjustment Schedules", "Price Adjustment Schedule", {}, kOwnerId, true, 1, 10},
    {natural(), "PriceAdjustmentTier", "Price Adjustment Tiers", "Price Adjustment Tier", {}, kName, true, 1, 23},
    {natural(), "Pricebook2", "Price Books", "Price Book", {}, {}, true, 1, 9},
    {natural(), "PricebookEntry", "Price Book Entries", "Price Book Entry", {}, {}, true, 1, 24},
    {natural(), "Product2", "Products", "Product", kTaxPolicyId, {}, true, 0, 14},
    {natural(), "ProductAttributeDefinition", "Product Attributes", "Product Attribute", kOverriddenProductAttributeDefinitionId, kOwnerId, true, 0, 18},
    {natural("Code"), "ProductCatalog", "Product Catalogs", "Product Catalog", {}, kOwnerId, true, 0, 11},
    {natural("Code"), "ProductCategory", "Product Categories", "Product Category", kParentCategoryId, {}, true, 0, 12},
    {natural(), "ProductCategoryProduct", "Product Category Products", "Product Category Product", {}, kName, true, 0, 16},
    {natural("Code"), "ProductClassification", "Product Classifications", "Product Classification", kParentProductClassificationId, kOwnerId, true, 0, 13},
    {natural(), "ProductClassificationAttr", "Product Classification Attributes", "Product Classification Attribute", kOverriddenInheritedAttributeId, kOwnerId, true, 0, 17},
    {natural("Code"), "ProductComponentGroup", "Product Component Groups", "Product Component Group", kParentGroupId, kOwnerId, true, 0, 19},
    {natural(), "ProductRelatedComponent", "Product Related Components", "Product Related Component", {}, kName, true, 0, 25},
    {natural(), "ProductSellingModel", "Product Selling Models", "Product Selling Model", {}, {}, true, 0, 20},
    {composite(kProductSellingModelOptionKey), "ProductSellingModelOption", "Product Selling Model Options", "Product Selling Model Option", {}, kName, false, 0, 26},
    {composite(kProductSpecificationRecTypeKey), "ProductSpecificationRecType", "Product Specification Record Types", "Product Specification Record Type", {}, {}, false, 0, 27},
    {composite(kProductSpecificationTypeKey), "ProductSpecificationType", "Product Specification Types", "Product Specification Type", {}, {}, false, 0, 28},
    {natural(), "RateCard", "Rate Cards", "Rate Card", {}, kOwnerId, true, 2, 29},
    {natural(), "RateCardEntry", "Rate Card Entries", "Rate Card Entry", {}, kName, true, 2, 33},
    {natural(), "TaxPolicy", "Tax Policies", "Tax Policy", kDefaultTaxTreatmentId, {}, true, 3, 30},
    {natural(), "TaxTreatment", "Tax Treatments", "Tax Treatment", {}, {}, true, 3, 31},
    {natural("Code"), "UsageResource", "Usage Resources", "Usage Resource", kTokenResourceId, kOwnerId, true, 4, 32},
}};

std::span<const std::string_view> KeyStrategy::composite_fields() const noexcept {
    if (const auto* composite = std::get_if<Composite>(&value)) return composite->fields;
    return {};
}

std::string KeyStrategy::composite_label() const { return fmt::format("{}", fmt::join(composite_fields(), " + ")); }

std::optional<std::size_t> data_object_index(std::string_view api_name) noexcept {
    const auto* found = std::lower_bound(DATA_OBJECTS.begin(), DATA_OBJECTS.end(), api_name,
                                         [](const DataObjectDescriptor& row, std::string_view name) {
                                             return row.api_name < name;
                                         });
    if (found == DATA_OBJECTS.end() || found->api_name != api_name) return std::nullopt;
    return static_cast<std::size_t>(found - DATA_OBJECTS.begin());
}

std::vector<const DataObjectDescriptor*> data_objects_in_load_order() {
    std::vector<const DataObjectDescriptor*> rows;
    rows.reserve(DATA_OBJECTS.size());
    for (const auto& row : DATA_OBJECTS) rows.push_back(&row);
    std::ranges::stable_sort(rows, {}, &DataObjectDescriptor::load_order);
    return rows;
}

std::set<std::string> external_id_objects() {
    std::set<std::string> names;
    for (const auto& row : DATA_OBJECTS) {
        if (!row.key.is_composite()) names.emplace(row.api_name);
    }
    return names;
}

}  // namespace ambrel::data::registry
