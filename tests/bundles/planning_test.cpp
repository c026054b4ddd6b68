#include <gtest/gtest.h>

#include "data/bundles/document/bundle_document.hpp"
#include "data/bundles/transfer/planning.hpp"

namespace ambrel::data::bundles::transfer {
namespace {

using document::BundleDocument;
using K = RecordKey;
using C = CatalogRef;

const PlannedRecord* find(const TransferPlan& plan, const RecordKey& key) {
    for (const auto& record : plan.records) {
        if (record.key == key) {
            return &record;
        }
    }
    return nullptr;
}

BundleDocument bundle_with_child(const std::string& child, const std::string& code, const std::string& value) {
    BundleDocument doc;
    doc.product = {{"Description", "root"}};
    doc.child_products.push_back({child, code, {{"Description", value}}, false});
    return doc;
}

TEST(PlanTransfer, SharedChildKeepsFirstDocumentAndNamesBoth) {
    const auto plan = plan_transfer({{"A", document::write_bundle_document(bundle_with_child("X", "CA", "from A"))},
                                     {"B", document::write_bundle_document(bundle_with_child("X", "CB", "from B"))}});
    EXPECT_TRUE(plan.errors.empty());
    const auto* x = find(plan, K::Product2{"X"});
    ASSERT_NE(x, nullptr);
    EXPECT_EQ(x->fields.at("Description"), "from A");
    ASSERT_EQ(x->links.size(), 1U);
    EXPECT_EQ(x->links[0], (std::pair<std::string, RecordKey>{"BasedOnId", K::ProductClassification{"CA"}}));
    EXPECT_EQ(x->bundles, (std::set<std::string>{"A", "B"}));
}

TEST(PlanTransfer, RootProductWinsOverChildInEitherOrder) {
    BundleDocument root;
    root.product = {{"Description", "as root"}};
    root.based_on = "RC";
    for (const std::string other : {"A", "Z"}) {
        SCOPED_TRACE(other);
        const auto plan = plan_transfer({{other, document::write_bundle_document(bundle_with_child("X", "CC", "child"))},
                                         {"X", document::write_bundle_document(root)}});
        const auto* x = find(plan, K::Product2{"X"});
        ASSERT_NE(x, nullptr);
        EXPECT_EQ(x->fields.at("Description"), "as root");
        ASSERT_EQ(x->links.size(), 1U);
        EXPECT_EQ(x->links[0].second, RecordKey(K::ProductClassification{"RC"}));
        EXPECT_EQ(x->bundles, (std::set<std::string>{other, "X"}));
    }
}

TEST(PlanTransfer, ClassificationChainSortsParentsFirst) {
    BundleDocument doc;
    doc.classifications.push_back({"C1", "C2", {}});
    doc.classifications.push_back({"C2", "C3", {}});
    doc.classifications.push_back({"C3", std::nullopt, {}});
    const auto plan = plan_transfer({{"Zeta", document::write_bundle_document(doc)}});
    ASSERT_EQ(plan.records.size(), 4U);
    EXPECT_EQ(plan.records[0].key, RecordKey(K::ProductClassification{"C3"}));
    EXPECT_EQ(plan.records[1].key, RecordKey(K::ProductClassification{"C2"}));
    EXPECT_EQ(plan.records[1].depth, 1U);
    EXPECT_EQ(plan.records[2].key, RecordKey(K::ProductClassification{"C1"}));
    EXPECT_EQ(plan.records[2].depth, 2U);
    EXPECT_EQ(plan.records[2].links[0],
              (std::pair<std::string, RecordKey>{"ParentProductClassificationId", K::ProductClassification{"C2"}}));
    EXPECT_EQ(plan.records[3].key, RecordKey(K::Product2{"Zeta"}));
    EXPECT_EQ(plan.sublayers().size(), 4U);
}

TEST(PlanTransfer, LinksOfGroupsComponentsOptionsAndEntries) {
    BundleDocument doc;
    doc.groups.push_back({"G", "Outer", {{"Name", "G"}}});
    doc.components.push_back({{identity::ComponentChildKind::Classification, "CL", std::nullopt},
                              "Bundle", std::nullopt, "Monthly", {}});
    doc.components.push_back({{identity::ComponentChildKind::Product, "P", "G"}, std::nullopt, "Yearly", std::nullopt, {}});
    doc.selling_model_options.push_back({{"B", "Monthly"}, {}});
    doc.price_book_entries.push_back({{"B", "Standard Price Book", std::nullopt, "EUR"}, {{"UnitPrice", "10"}}, true});
    doc.price_book_entries.push_back({{"B", "EU", "Monthly", std::nullopt}, {}, false});
    const auto plan = plan_transfer({{"B", document::write_bundle_document(doc)}});
    ASSERT_TRUE(plan.errors.empty());

    const auto* group = find(plan, K::ProductComponentGroup{"B", "G"});
    ASSERT_NE(group, nullptr);
    EXPECT_EQ(group->depth, 1U);
    EXPECT_EQ(group->links, (std::vector<std::pair<std::string, RecordKey>>{
                                {"ParentProductId", K::Product2{"B"}},
                                {"ParentGroupId", K::ProductComponentGroup{"B", "Outer"}}}));

    const auto* by_class = find(plan, K::ProductRelatedComponent{"B", "CL", std::nullopt});
    ASSERT_NE(by_class, nullptr);
    EXPECT_EQ(by_class->links, (std::vector<std::pair<std::string, RecordKey>>{
                                   {"ParentProductId", K::Product2{"B"}},
                                   {"ChildProductClassificationId", K::ProductClassification{"CL"}}}));
    EXPECT_EQ(by_class->catalog_links, (std::vector<std::pair<std::string, CatalogRef>>{
                                           {"ProductRelationshipTypeId", C::RelationshipType{"Bundle"}},
                                           {"ChildSellingModelId", C::SellingModel{"Monthly"}}}));

    const auto* in_group = find(plan, K::ProductRelatedComponent{"B", "P", "G"});
    ASSERT_NE(in_group, nullptr);
    EXPECT_EQ(in_group->links.back(),
              (std::pair<std::string, RecordKey>{"ProductComponentGroupId", K::ProductComponentGroup{"B", "G"}}));
    EXPECT_EQ(in_group->catalog_links, (std::vector<std::pair<std::string, CatalogRef>>{
                                           {"ParentSellingModelId", C::SellingModel{"Yearly"}}}));

    const auto* option = find(plan, K::ProductSellingModelOption{"B", "Monthly"});
    ASSERT_NE(option, nullptr);
    EXPECT_EQ(option->catalog_links[0].first, "ProductSellingModelId");

    const auto* standard = find(plan, K::PricebookEntry{"B", "Standard Price Book", std::nullopt, "EUR"});
    ASSERT_NE(standard, nullptr);
    EXPECT_EQ(standard->links, (std::vector<std::pair<std::string, RecordKey>>{{"Product2Id", K::Product2{"B"}}}));
    EXPECT_EQ(standard->catalog_links, (std::vector<std::pair<std::string, CatalogRef>>{
                                           {"Pricebook2Id", C::PriceBook{"Standard Price Book", true}}}));
    const auto* eu = find(plan, K::PricebookEntry{"B", "EU", "Monthly", std::nullopt});
    ASSERT_NE(eu, nullptr);
    EXPECT_EQ(eu->catalog_links, (std::vector<std::pair<std::string, CatalogRef>>{
                                     {"Pricebook2Id", C::PriceBook{"EU", false}},
                                     {"ProductSellingModelId", C::SellingModel{"Monthly"}}}));

    // Send order: by layer, products after classifications whatever the names.
    for (std::size_t i = 0; i + 1 < plan.records.size(); ++i) {
        EXPECT_LE(plan.records[i].layer(), plan.records[i + 1].layer());
    }
}

TEST(PlanTransfer, UnreadableDocumentBesideReadableOne) {
    BundleDocument empty;
    const auto plan = plan_transfer({{"Bad", "<not a bundle"}, {"Good", document::write_bundle_document(empty)}});
    ASSERT_EQ(plan.errors.size(), 1U);
    EXPECT_EQ(plan.errors[0].name, "Bad");
    EXPECT_FALSE(plan.errors[0].message.empty());
    ASSERT_EQ(plan.records.size(), 1U);
    EXPECT_EQ(plan.records[0].key, RecordKey(K::Product2{"Good"}));
    EXPECT_TRUE(plan.records[0].fields.empty());
    EXPECT_TRUE(plan.records[0].links.empty());
    EXPECT_TRUE(plan_transfer({}).records.empty());
}

TEST(ChildBundleNames, OnlyBundlesInDocumentOrder) {
    BundleDocument doc;
    doc.child_products.push_back({"Z", std::nullopt, {}, true});
    doc.child_products.push_back({"A", std::nullopt, {}, false});
    doc.child_products.push_back({"M", std::nullopt, {}, true});
    EXPECT_EQ(child_bundle_names(doc), (std::vector<std::string>{"Z", "M"}));
}

}  // namespace
}  // namespace ambrel::data::bundles::transfer
