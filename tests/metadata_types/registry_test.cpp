// The record-data object registry: its rows, their order and the lookups over them.

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "data/registry.hpp"

namespace ambrel::data::registry {
namespace {

TEST(DataObjects, SortedByteWiseSoTheIndexIsStable) {
    const std::vector<std::string_view> names = [] {
        std::vector<std::string_view> out;
        for (const auto& row : DATA_OBJECTS) out.push_back(row.api_name);
        return out;
    }();
    EXPECT_TRUE(std::ranges::is_sorted(names));
    EXPECT_EQ(std::set<std::string_view>(names.begin(), names.end()).size(), kDataObjectCount);
    EXPECT_EQ(names.front(), "AttributeBasedAdjRule");
    EXPECT_EQ(names[15], "Product2");
    EXPECT_EQ(names.back(), "UsageResource");
}

TEST(DataObjects, IndexOfEveryRowLeadsBack) {
    for (std::size_t i = 0; i < DATA_OBJECTS.size(); ++i) {
        EXPECT_EQ(data_object_index(DATA_OBJECTS[i].api_name), i) << DATA_OBJECTS[i].api_name;
    }
    EXPECT_EQ(data_object_index("Product2"), 15U);
    for (const std::string_view miss : {"product2", "Product2 ", " Product2", "Product", "Product3", "", "A",
                                        "Zzz", "PRODUCT2"}) {
        EXPECT_EQ(data_object_index(miss), std::nullopt) << miss;
    }
}

TEST(DataObjects, ColumnsThatTheTableTies) {
    std::size_t natural = 0;
    for (const auto& row : DATA_OBJECTS) {
        SCOPED_TRACE(row.api_name);
        EXPECT_EQ(row.customizable, !row.key.is_composite());
        EXPECT_LE(row.family, 4);
        EXPECT_FALSE(row.plural_label.empty());
        EXPECT_FALSE(row.singular_label.empty());
        if (row.key.is_composite()) {
            EXPECT_FALSE(row.key.composite_fields().empty());
        } else {
            ++natural;
            EXPECT_TRUE(row.key.composite_fields().empty());
            EXPECT_EQ(row.key.composite_label(), "");
        }
    }
    EXPECT_EQ(natural, 30U);

    const auto& option = DATA_OBJECTS[*data_object_index("ProductSellingModelOption")];
    EXPECT_EQ(option.key.composite_label(), "Product2Id + ProductSellingModelId");
    const auto& record_type_row = DATA_OBJECTS[*data_object_index("ProductSpecificationRecType")];
    EXPECT_EQ(record_type_row.key.composite_label(), "ProductSpecificationType + RecordTypeId");
    EXPECT_EQ(record_type_row.plural_label, "Product Specification Record Types");
    const auto& product_type_row = DATA_OBJECTS[*data_object_index("ProductSpecificationType")];
    EXPECT_EQ(product_type_row.key.composite_label(), "DeveloperName");

    const auto& category = DATA_OBJECTS[*data_object_index("AttributeCategory")];
    EXPECT_EQ(std::get<KeyStrategy::Natural>(category.key.value).key_field, std::optional<std::string_view>("Code"));
    const auto& product = DATA_OBJECTS[*data_object_index("Product2")];
    EXPECT_EQ(std::get<KeyStrategy::Natural>(product.key.value).key_field, std::nullopt);
    EXPECT_EQ(product.plural_label, "Products");
    ASSERT_EQ(product.deferred_reference_fields.size(), 1U);
    EXPECT_EQ(product.deferred_reference_fields[0], "TaxPolicyId");
    const auto& cat_attr = DATA_OBJECTS[*data_object_index("AttributeCategoryAttribute")];
    EXPECT_EQ(std::vector<std::string_view>(cat_attr.excluded_fields.begin(), cat_attr.excluded_fields.end()),
              (std::vector<std::string_view>{"Name", "OwnerId"}));
    EXPECT_EQ(DATA_OBJECTS[*data_object_index("UsageResource")].family, 4);
    EXPECT_EQ(DATA_OBJECTS[*data_object_index("RateCard")].family, 2);
}

TEST(LoadOrder, EveryObjectOnceInPreparationOrder) {
    const std::vector<std::string_view> expected{
        "AttributeBasedAdjRule",     "AttributeCategory",          "AttributePicklist",
        "AttributeDefinition",       "AttributeCategoryAttribute", "AttributePicklistValue",
        "CostBook",                  "LegalEntity",                "Pricebook2",
        "PriceAdjustmentSchedule",   "ProductCatalog",             "ProductCategory",
        "ProductClassification",     "Product2",                   "CostBookEntry",
        "ProductCategoryProduct",    "ProductClassificationAttr",  "ProductAttributeDefinition",
        "ProductComponentGroup",     "ProductSellingModel",        "AttributeBasedAdjustment",
        "BundleBasedAdjustment",     "PriceAdjustmentTier",        "PricebookEntry",
        "ProductRelatedComponent",   "ProductSellingModelOption",  "ProductSpecificationRecType",
        "ProductSpecificationType",  "RateCard",                   "TaxPolicy",
        "TaxTreatment",              "UsageResource",              "RateCardEntry",
    };
    const auto rows = data_objects_in_load_order();
    ASSERT_EQ(rows.size(), expected.size());
    for (std::size_t i = 0; i < rows.size(); ++i) {
        EXPECT_EQ(rows[i]->api_name, expected[i]);
        EXPECT_EQ(rows[i]->load_order, i + 1);
        EXPECT_GE(rows[i], DATA_OBJECTS.data());
        EXPECT_LT(rows[i], DATA_OBJECTS.data() + DATA_OBJECTS.size());
    }
}

TEST(ExternalIdObjects, TheNaturalKeyObjectsInByteOrder) {
    const auto names = external_id_objects();
    EXPECT_EQ(names.size(), 30U);
    EXPECT_EQ(*names.begin(), "AttributeBasedAdjRule");
    EXPECT_EQ(*names.rbegin(), "UsageResource");
    for (const std::string_view composite :
         {"ProductSellingModelOption", "ProductSpecificationRecType", "ProductSpecificationType"}) {
        EXPECT_FALSE(names.contains(std::string(composite))) << composite;
    }
    EXPECT_TRUE(names.contains("Product2"));
}

}  // namespace
}  // namespace ambrel::data::registry
