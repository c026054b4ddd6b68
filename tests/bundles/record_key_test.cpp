#include <gtest/gtest.h>

#include "data/bundles/transfer/record_views.hpp"
#include "support/fake_record_channels.hpp"

namespace ambrel::data::bundles::transfer {
namespace {

using K = RecordKey;

TEST(RecordKeyOrder, ByLayerThenMembersAbsentFirst) {
    const std::vector<RecordKey> ascending = {
        K::ProductClassification{"Z"},
        K::Product2{"A"},
        K::Product2{"AB"},
        K::Product2{"a"},
        K::ProductComponentGroup{"B", "G"},
        K::ProductRelatedComponent{"B", "X", std::nullopt},
        K::ProductRelatedComponent{"B", "X", "G"},
        K::ProductSellingModelOption{"P", "M"},
        K::PricebookEntry{"P", "Std", std::nullopt, std::nullopt},
        K::PricebookEntry{"P", "Std", std::nullopt, "EUR"},
        K::PricebookEntry{"P", "Std", "M", std::nullopt},
    };
    for (std::size_t i = 0; i + 1 < ascending.size(); ++i) {
        SCOPED_TRACE(ascending[i].label());
        EXPECT_EQ(ascending[i].cmp(ascending[i + 1]), std::strong_ordering::less);
        EXPECT_EQ(ascending[i + 1].cmp(ascending[i]), std::strong_ordering::greater);
        EXPECT_EQ(ascending[i].cmp(ascending[i].clone()), std::strong_ordering::equal);
    }
    EXPECT_EQ(ascending[0].layer(), Layer::ProductClassification);
    EXPECT_EQ(ascending.back().layer(), Layer::PricebookEntry);
}

TEST(RecordKeyLabel, EveryVariant) {
    const std::vector<std::pair<RecordKey, std::string>> cases = {
        {K::ProductClassification{"C1"}, "ProductClassification C1"},
        {K::Product2{"Laptop"}, "Product2 Laptop"},
        {K::ProductComponentGroup{"B", "G"}, "ProductComponentGroup G of B"},
        {K::ProductRelatedComponent{"B", "X", std::nullopt}, "ProductRelatedComponent X of B"},
        {K::ProductRelatedComponent{"B", "X", "G"}, "ProductRelatedComponent X in group G of B"},
        {K::ProductSellingModelOption{"P", "Monthly"}, "ProductSellingModelOption P / Monthly"},
        {K::PricebookEntry{"P", "Std", "M", "EUR"}, "PricebookEntry P in Std"},
    };
    for (const auto& [key, label] : cases) {
        SCOPED_TRACE(label);
        EXPECT_EQ(key.label(), label);
    }
}

TEST(CatalogRefTexts, LabelsAndMissingReasons) {
    using C = CatalogRef;
    const std::vector<std::tuple<CatalogRef, std::string, std::string>> cases = {
        {C::RelationshipType{"Bundle"}, "product relationship type Bundle",
         "no product relationship type named Bundle in the target"},
        {C::SellingModel{"Monthly"}, "product selling model Monthly",
         "no product selling model named Monthly in the target"},
        {C::PriceBook{"EU", false}, "price book EU", "no price book named EU in the target"},
        {C::PriceBook{"Standard Price Book", true}, "standard price book", "the target has no standard price book"},
        {C::PriceBook{"Anything", true}, "standard price book", "the target has no standard price book"},
    };
    for (const auto& [ref, label, reason] : cases) {
        SCOPED_TRACE(label);
        EXPECT_EQ(ref.label(), label);
        EXPECT_EQ(ref.missing_reason(), reason);
    }
    EXPECT_LT(CatalogRef(C::RelationshipType{"z"}), CatalogRef(C::SellingModel{"a"}));
    EXPECT_LT(CatalogRef(C::PriceBook{"a", false}), CatalogRef(C::PriceBook{"a", true}));
}

TEST(ChainDepth, ChainsAndCircles) {
    const std::map<std::string, std::string, std::less<>> none;
    EXPECT_EQ(chain_depth("A", none), 0U);
    const std::map<std::string, std::string, std::less<>> chain = {{"A", "B"}, {"B", "D"}};
    EXPECT_EQ(chain_depth("A", chain), 2U);
    EXPECT_EQ(chain_depth("B", chain), 1U);
    EXPECT_EQ(chain_depth("D", chain), 0U);
    const std::map<std::string, std::string, std::less<>> circle = {{"A", "B"}, {"B", "A"}};
    EXPECT_EQ(chain_depth("A", circle), 2U);
    EXPECT_EQ(chain_depth("B", circle), 2U);
    const std::map<std::string, std::string, std::less<>> self = {{"A", "A"}};
    EXPECT_EQ(chain_depth("A", self), 1U);
}

PlannedRecord planned(RecordKey key, std::uint64_t depth = 0) {
    return PlannedRecord{{}, {}, std::move(key), depth, {}, {}};
}

TEST(Sublayers, GroupsByLayerAndDepth) {
    TransferPlan plan;
    plan.records.push_back(planned(K::ProductClassification{"A"}));
    plan.records.push_back(planned(K::ProductClassification{"B"}));
    plan.records.push_back(planned(K::ProductClassification{"C"}, 1));
    plan.records.push_back(planned(K::Product2{"P"}));
    const auto batches = plan.sublayers();
    ASSERT_EQ(batches.size(), 3U);
    EXPECT_EQ(batches[0].first, std::make_pair(Layer::ProductClassification, std::uint64_t{0}));
    EXPECT_EQ(batches[0].second.size(), 2U);
    EXPECT_EQ(batches[0].second[1].get().key, RecordKey(K::ProductClassification{"B"}));
    EXPECT_EQ(batches[1].first, std::make_pair(Layer::ProductClassification, std::uint64_t{1}));
    EXPECT_EQ(batches[2].first, std::make_pair(Layer::Product2, std::uint64_t{0}));
}

TEST(LayerViews, FieldsLinksAndIdentities) {
    std::vector<PlannedRecord> records;
    auto group = planned(K::ProductComponentGroup{"B", "G"});
    group.fields = {{"Name", "G"}, {"Sequence", "1"}};
    group.links.emplace_back("ParentProductId", K::Product2{"B"});
    records.push_back(group);
    auto component = planned(K::ProductRelatedComponent{"B", "X", std::nullopt});
    component.fields = {{"Quantity", "1"}};
    component.links.emplace_back("ParentProductId", K::Product2{"B"});
    component.catalog_links.emplace_back("ProductRelationshipTypeId", CatalogRef::RelationshipType{"Bundle"});
    records.push_back(component);
    auto other = planned(K::ProductComponentGroup{"A", "G2"});
    other.fields = {{"Name", "G2"}};
    other.links.emplace_back("ParentGroupId", K::ProductComponentGroup{"A", "G"});
    records.push_back(other);

    EXPECT_EQ(layer_fields(records, Layer::ProductComponentGroup), (std::vector<std::string>{"Name", "Sequence"}));
    EXPECT_TRUE(layer_fields(records, Layer::Product2).empty());
    EXPECT_EQ(layer_link_fields(records, Layer::ProductComponentGroup),
              (std::vector<std::string>{"ParentGroupId", "ParentProductId"}));
    EXPECT_EQ(layer_link_fields(records, Layer::ProductRelatedComponent),
              (std::vector<std::string>{"ParentProductId", "ProductRelationshipTypeId"}));
    const auto identities = layer_identities(records);
    ASSERT_EQ(identities.size(), 2U);
    EXPECT_EQ(identities[0].first, Layer::ProductComponentGroup);
    EXPECT_EQ(identities[0].second, (std::vector<std::string>{"A", "B"}));
    EXPECT_EQ(identities[1].first, Layer::ProductRelatedComponent);
    EXPECT_EQ(identities[1].second, (std::vector<std::string>{"B"}));
}

TEST(ReadField, EveryJsonKind) {
    const auto record = testing::json_object(
        R"({"s":" text ","e":"","i":5,"n":-12,"d":100.0,"z":0.0,"f":1.5,"big":1e300,"t":true,"b":false,
            "null":null,"arr":[1],"obj":{"Id":"x"}})");
    const std::vector<std::pair<std::string, std::optional<std::string>>> cases = {
        {"s", " text "}, {"e", ""},          {"i", "5"},           {"n", "-12"},       {"d", "100.0"},
        {"z", "0.0"},    {"f", "1.5"},       {"big", "1e300"},     {"t", "true"},      {"b", "false"},
        {"null", std::nullopt}, {"arr", std::nullopt}, {"obj", std::nullopt}, {"missing", std::nullopt},
    };
    for (const auto& [field, text] : cases) {
        SCOPED_TRACE(field);
        EXPECT_EQ(read_field(record, field), text);
    }
}

TEST(QuotedList, EscapesQuotesAndBackslashes) {
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"O'Brien"}, R"('O\'Brien')"},
        {{R"(ends\)"}, R"('ends\\')"},
        {{R"(a\'b)", "c"}, R"('a\\\'b', 'c')"},
        {{"", "x"}, "'', 'x'"},
        {{}, ""},
    };
    for (const auto& [values, text] : cases) {
        SCOPED_TRACE(text);
        EXPECT_EQ(quoted_list(values), text);
    }
}

}  // namespace
}  // namespace ambrel::data::bundles::transfer
