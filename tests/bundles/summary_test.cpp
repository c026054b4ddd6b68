#include <gtest/gtest.h>

#include <fmt/format.h>

#include "data/bundles/document/bundle_document.hpp"
#include "data/bundles/transfer/summary.hpp"
#include "support/fake_record_channels.hpp"

namespace ambrel::data::bundles::transfer {
namespace {

using K = RecordKey;
using O = RecordOutcome;
using testing::make_schema;

const std::string kOwn = "QuillaryExternalId__c";

// Every natural-key object describes and stamps the own key field: no key notes.
TransferSchemas stamped_schemas() {
    TransferSchemas schemas;
    for (const auto layer : kLayers) {
        const std::string object(layer_object(layer));
        schemas.target[object] = make_schema(object, {kOwn});
        schemas.keys[object] = KeyField{kOwn, true};
    }
    return schemas;
}

PlannedRecord rec(K key, std::set<std::string> rows = {"B"}) {
    return PlannedRecord{{}, {}, std::move(key), 0, {}, std::move(rows)};
}

std::string plain_document() {
    document::BundleDocument doc;
    doc.product = {{"Description", "d"}};
    return document::write_bundle_document(doc);
}

RowOutcome one_row(const std::vector<PlannedRecord>& records, const RecordOutcomes& outcomes,
                   const RecordNotes& notes = {}, const TransferSchemas& schemas = stamped_schemas(),
                   const std::string& text = plain_document(), std::uint64_t rest_calls = 2) {
    RowOutcomes rows;
    summarize({{"B", text}}, records, schemas, outcomes, notes, rest_calls, rows);
    EXPECT_EQ(rows.size(), 1U);
    return rows.at("B");
}

TEST(Summarize, AllCreated) {
    const std::vector<PlannedRecord> records = {rec(K::ProductClassification{"C"}), rec(K::Product2{"B"}),
                                                rec(K::Product2{"X"}),
                                                rec(K::PricebookEntry{"B", "Std", std::nullopt, std::nullopt})};
    RecordOutcomes outcomes;
    for (const auto& record : records) {
        outcomes.emplace(record.key, O{O::Created{}});
    }
    EXPECT_EQ(one_row(records, outcomes),
              (RowOutcome{"B",
                          "ProductClassification: 1 created · Product2: 2 created · PricebookEntry: 1 created · "
                          "REST calls in this transfer: 2",
                          true}));
}

TEST(Summarize, CountsPerObjectAndFailures) {
    std::vector<PlannedRecord> records;
    RecordOutcomes outcomes;
    for (int i = 0; i < 12; ++i) {
        records.push_back(rec(K::ProductClassification{fmt::format("C{:02}", i)}));
        outcomes.emplace(records.back().key, O{O::Failed{"boom"}});
    }
    records.push_back(rec(K::Product2{"B"}));
    outcomes.emplace(records.back().key, O{O::Updated{}});
    records.push_back(rec(K::Product2{"X"}));
    outcomes.emplace(records.back().key, O{O::Unchanged{}});
    records.push_back(rec(K::Product2{"Y"}));  // not attempted
    const auto row = one_row(records, outcomes);
    EXPECT_FALSE(row.success);
    std::string failed;
    for (int i = 0; i < 10; ++i) {
        failed += fmt::format("{}ProductClassification C{:02} (boom)", i == 0 ? "" : ", ", i);
    }
    EXPECT_EQ(row.message, "Product2: 1 updated, 1 unchanged · failed 13: " + failed +
                               " (and 3 more) · REST calls in this transfer: 2");
}

TEST(Summarize, FailureTexts) {
    struct Case {
        std::string name;
        std::optional<RecordOutcome> outcome;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"blocked", O{O::Failed{"Product2 P matches 2 records in the source"}},
         "failed 1: PricebookEntry P in Std (Product2 P matches 2 records in the source)"},
        {"predecessor", O{O::Failed{"Product2 P was not created"}},
         "failed 1: PricebookEntry P in Std (Product2 P was not created)"},
        {"not attempted", std::nullopt, "failed 1: PricebookEntry P in Std (not attempted)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::vector<PlannedRecord> records = {rec(K::PricebookEntry{"P", "Std", std::nullopt, std::nullopt})};
        RecordOutcomes outcomes;
        if (c.outcome) {
            outcomes.emplace(records[0].key, *c.outcome);
        }
        const auto row = one_row(records, outcomes);
        EXPECT_EQ(row.message, c.expected + " · REST calls in this transfer: 2");
        EXPECT_FALSE(row.success);
    }
}

TEST(Summarize, LinkAndFieldNotes) {
    const std::vector<PlannedRecord> records = {
        rec(K::ProductComponentGroup{"B", "G1"}), rec(K::ProductComponentGroup{"B", "G2"}),
        rec(K::ProductRelatedComponent{"B", "X", std::nullopt}), rec(K::Product2{"B"})};
    RecordOutcomes outcomes = {{records[0].key, O{O::Updated{}}},
                               {records[1].key, O{O::Updated{}}},
                               {records[2].key, O{O::Unchanged{}}},
                               {records[3].key, O{O::Updated{}}}};
    RecordNotes notes;
    notes.links[records[0].key] = LinkNotes{{"ParentGroupId"}, {}};
    notes.links[records[1].key] = LinkNotes{{"ParentGroupId", "ParentProductId"}, {"Other__c"}};
    // Repointed links of an unchanged record are not counted; its unresolved links are listed.
    notes.links[records[2].key] = LinkNotes{{"ChildProductId"}, {"ProductComponentGroupId"}};
    notes.fields_left_out[records[3].key] = {"Type", "Family"};
    notes.fields_left_out[records[2].key] = {"Quantity"};
    EXPECT_EQ(one_row(records, outcomes, notes).message,
              "Product2: 1 updated · ProductComponentGroup: 2 updated · ProductRelatedComponent: 1 unchanged · "
              "REST calls in this transfer: 2 · "
              "fields left out (not updateable): Product2.Family, Product2.Type, ProductRelatedComponent.Quantity · "
              "links repointed: ProductComponentGroup.ParentGroupId on 2 records, "
              "ProductComponentGroup.ParentProductId on 1 record · "
              "links left out (unresolved): ProductComponentGroup.Other__c, "
              "ProductRelatedComponent.ProductComponentGroupId");
}

TEST(Summarize, KeyNotes) {
    struct Case {
        std::string name;
        TransferSchemas schemas;
        std::string expected;
    };
    TransferSchemas matched = stamped_schemas();
    matched.keys["Product2"] = KeyField{"ProductCode__c", false};
    matched.target["Product2"] = make_schema("Product2", {"ProductCode__c"});
    matched.keys["ProductClassification"] = KeyField{"ProductCode__c", false};
    matched.target["ProductClassification"] = make_schema("ProductClassification", {"ProductCode__c"});
    matched.keys["PricebookEntry"] = KeyField{"Ext__c", false};
    matched.target["PricebookEntry"] = make_schema("PricebookEntry", {"Ext__c"});
    TransferSchemas missing_field = stamped_schemas();
    missing_field.target["ProductComponentGroup"] = make_schema("ProductComponentGroup", {});
    missing_field.keys.erase("Product2");
    const std::vector<Case> cases = {
        {"no describes",
         {},
         "keys not stamped: QuillaryExternalId__c is absent on ProductClassification, Product2, "
         "ProductComponentGroup, ProductRelatedComponent, PricebookEntry"},
        {"matched by other fields", matched,
         "matched by Ext__c on PricebookEntry · matched by ProductCode__c on ProductClassification, Product2"},
        {"field missing or no key", missing_field,
         "keys not stamped: QuillaryExternalId__c is absent on Product2, ProductComponentGroup"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RowOutcomes rows;
        summarize({{"B", plain_document()}}, {}, c.schemas, {}, {}, 0, rows);
        EXPECT_EQ(rows.at("B"), (RowOutcome{"B", "REST calls in this transfer: 0 · " + c.expected, true}));
    }
}

TEST(Summarize, DocumentParts) {
    document::BundleDocument doc;
    doc.product = {{"Description", "d"}};
    doc.objects.push_back(document::ObjectFieldPlan{"Product2", {"Description"}, {"S1", "S2"}, {"T1"}});
    document::ObjectFieldPlan wide{"PricebookEntry", {}, {}, {}};
    for (int i = 0; i < 9; ++i) {
        wide.source_only.push_back(fmt::format("F{}", i));
    }
    doc.objects.push_back(wide);
    doc.child_products.push_back({"Inner", std::nullopt, {}, true});
    doc.child_products.push_back({"Plain", std::nullopt, {}, false});
    doc.child_products.push_back({"Alpha", std::nullopt, {}, true});
    const auto text = document::write_bundle_document(doc);
    EXPECT_EQ(one_row({}, {}, {}, stamped_schemas(), text, 0).message,
              "REST calls in this transfer: 0 · fields left out: Product2.S1, Product2.S2, Product2.T1, "
              "PricebookEntry.F0, PricebookEntry.F1, PricebookEntry.F2, PricebookEntry.F3, PricebookEntry.F4, "
              "PricebookEntry.F5, PricebookEntry.F6 (and 2 more) · "
              "child bundles transferred as plain products: Inner, Alpha");
    // A document that no longer parses loses only those parts.
    EXPECT_EQ(one_row({}, {}, {}, stamped_schemas(), "<not a document", 0),
              (RowOutcome{"B", "REST calls in this transfer: 0", true}));
}

TEST(Summarize, RowsAlreadyThereStayAndSharedRecordsCountInEachRow) {
    const std::vector<PlannedRecord> records = {rec(K::Product2{"Shared"}, {"A", "B", "C"}),
                                                rec(K::Product2{"OnlyA"}, {"A"}),
                                                rec(K::Product2{"Prefix"}, {"AB"})};
    RecordOutcomes outcomes;
    for (const auto& record : records) {
        outcomes.emplace(record.key, O{O::Created{}});
    }
    RowOutcomes rows;
    rows.emplace("C", RowOutcome{"C", "The bundle document could not be read: x.", false});
    summarize({{"A", plain_document()}, {"B", plain_document()}, {"C", plain_document()}, {"D", plain_document()}},
              records, stamped_schemas(), outcomes, {}, 1, rows);
    ASSERT_EQ(rows.size(), 4U);
    EXPECT_EQ(rows.at("A").message, "Product2: 2 created · REST calls in this transfer: 1");
    EXPECT_EQ(rows.at("B").message, "Product2: 1 created · REST calls in this transfer: 1");
    EXPECT_EQ(rows.at("C"), (RowOutcome{"C", "The bundle document could not be read: x.", false}));
    // A row without records still reports and succeeds.
    EXPECT_EQ(rows.at("D"), (RowOutcome{"D", "REST calls in this transfer: 1", true}));
}

}  // namespace
}  // namespace ambrel::data::bundles::transfer
