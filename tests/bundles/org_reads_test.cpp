#include <gtest/gtest.h>

#include <fmt/format.h>

#include "data/bundles/transfer/org_reads.hpp"
#include "data/bundles/transfer/record_views.hpp"
#include "support/doubles.hpp"
#include "support/fake_record_channels.hpp"

namespace ambrel::data::bundles::transfer {
namespace {

using K = RecordKey;
using testing::FakeRecordChannels;
using testing::make_schema;

const std::string kOwn = "QuillaryExternalId__c";

struct Labels {
    std::vector<std::string> seen;
    Progress progress() {
        return [this](std::string_view label) { seen.emplace_back(label); };
    }
};

TEST(ReadSchemas, DescribesTargetThenSourcePerObjectAndNamesKeys) {
    FakeRecordChannels channels;
    for (const auto layer : kLayers) {
        const std::string object(layer_object(layer));
        channels.add_describe("tgt", make_schema(object, {"Name", kOwn}));
        if (layer != Layer::PricebookEntry) {
            channels.add_describe("src", make_schema(object, {"Name"}));
        }
    }
    Labels labels;
    testing::TestToken token;
    const auto schemas = read_schemas(channels, "src", "Source", "tgt", "Target", labels.progress(), token);
    ASSERT_TRUE(schemas.has_value());
    ASSERT_EQ(labels.seen.size(), 12U);
    EXPECT_EQ(labels.seen[0], "the ProductClassification schema of Target");
    EXPECT_EQ(labels.seen[1], "the ProductClassification schema of Source");
    EXPECT_EQ(schemas->target.size(), 6U);
    EXPECT_EQ(schemas->source.size(), 5U);
    EXPECT_FALSE(schemas->keys.contains("PricebookEntry"));
    EXPECT_EQ(schemas->keys.at("Product2"), (KeyField{kOwn, true}));
    // ProductSellingModelOption has a composite natural key: no key field.
    EXPECT_FALSE(schemas->keys.contains("ProductSellingModelOption"));
}

TEST(ReadSchemas, MissingTargetObjectEndsTheRead) {
    FakeRecordChannels channels;
    for (const std::string object : {"ProductClassification", "Product2"}) {
        channels.add_describe("tgt", make_schema(object, {"Name"}));
        channels.add_describe("src", make_schema(object, {"Name"}));
    }
    Labels labels;
    testing::TestToken token;
    const auto schemas = read_schemas(channels, "src", "Source", "tgt", "Target", labels.progress(), token);
    ASSERT_FALSE(schemas.has_value());
    EXPECT_EQ(schemas.error().message, "The object ProductComponentGroup does not exist in Target.");
    EXPECT_EQ(channels.calls_of("describe").size(), 5U);
}

TEST(ReadSchemas, CancelledDescribeIsReturnedUnchanged) {
    FakeRecordChannels channels;
    channels.fail_call(1, synthesis::ChannelError::cancelled());
    channels.add_describe("tgt", make_schema("ProductClassification", {"Name"}));
    Labels labels;
    testing::TestToken token;
    const auto schemas = read_schemas(channels, "src", "Source", "tgt", "Target", labels.progress(), token);
    ASSERT_FALSE(schemas.has_value());
    EXPECT_TRUE(schemas.error().is_cancelled());
}

TEST(ReadCatalogs, NamesAndFirstStandardPriceBook) {
    FakeRecordChannels channels;
    channels.answer_query_json("tgt", "SELECT Id, Name FROM ProductRelationshipType",
                               R"([{"attributes":{"type":"ProductRelationshipType"},"Id":" R1 ","Name":"Bundle"},
                                   {"Id":"R2","Name":"  "},{"Id":5,"Name":"Bad"}])");
    channels.answer_query_json("tgt", "SELECT Id, Name FROM ProductSellingModel",
                               R"([{"Id":"M1","Name":"Monthly"},{"Id":"M2","Name":"Monthly"}])");
    channels.answer_query_json("tgt", "SELECT Id, Name, IsStandard FROM Pricebook2",
                               R"([{"Id":"S1","Name":"Standard","IsStandard":true},
                                   {"Id":"S2","Name":"Other Standard","IsStandard":true},
                                   {"Id":"","Name":"NoId","IsStandard":true},
                                   {"Id":"E1","Name":"EU","IsStandard":"true"}])");
    Labels labels;
    testing::TestToken token;
    const auto catalogs = read_catalogs(channels, "tgt", "Target", labels.progress(), token);
    ASSERT_TRUE(catalogs.has_value());
    EXPECT_EQ(catalogs->relationship_types, (std::map<std::string, std::string, std::less<>>{{"Bundle", "R1"}}));
    EXPECT_EQ(catalogs->selling_models.at("Monthly"), "M2");
    EXPECT_EQ(catalogs->standard_price_book, "S1");
    EXPECT_EQ(catalogs->price_books.size(), 3U);
    EXPECT_EQ(labels.seen, (std::vector<std::string>{"ProductRelationshipType records of Target",
                                                     "ProductSellingModel records of Target",
                                                     "Pricebook2 records of Target"}));
}

TransferSchemas product_schemas() {
    TransferSchemas schemas;
    schemas.target["Product2"] = make_schema("Product2", {"Name", "Family", kOwn}, {{"BasedOnId", "BasedOn"}});
    schemas.source["Product2"] = schemas.target["Product2"];
    schemas.keys["Product2"] = KeyField{kOwn, true};
    return schemas;
}

TEST(KeyCandidates, KeyValuesAndReversedLongIds) {
    SideRecords source;
    source[K::Product2{"A"}] = {ExistingRecord{"01t000000000001", {}, "k1", {}, {}},
                                ExistingRecord{"01t000000000002AAA", {}, std::nullopt, {}, {}},
                                ExistingRecord{"01t000000000003", {}, "  ", {}, {}}};
    source[K::ProductClassification{"C"}] = {ExistingRecord{"11B000000000003AAA", {}, "c", {}, {}}};
    const auto candidates = key_candidates_by_layer(product_schemas().keys, source);
    EXPECT_EQ(candidates, (KeyCandidates{{Layer::Product2, {"k1", "AAA200000000000t10"}}}));
}

TEST(KeyIndex, IndexesTargetRecordsAndMergesWithoutRepeats) {
    SideRecords target;
    target[K::Product2{"A"}] = {ExistingRecord{"T1", {}, "k1", {}, {}}, ExistingRecord{"T2", {}, std::nullopt, {}, {}}};
    auto index = index_by_key_value(target, product_schemas());
    ASSERT_EQ(index.size(), 1U);
    KeyIndex second;
    second[{"Product2", kOwn, "k1"}] = {ExistingRecord{"T1", {}, "k1", {}, {}}, ExistingRecord{"T3", {}, "k1", {}, {}}};
    merge_key_index(index, std::move(second));
    const auto& listed = index.at({"Product2", kOwn, "k1"});
    ASSERT_EQ(listed.size(), 2U);
    EXPECT_EQ(listed[1].id, "T3");
}

TEST(ReadTargetByKey, ChunksOfTwoHundredInAscendingOrder) {
    std::vector<PlannedRecord> records;
    PlannedRecord product{{{"BasedOnId", K::ProductClassification{"C"}}}, {}, K::Product2{"A"}, 0,
                          {{"Family", "F"}, {"Unknown__c", "u"}}, {"A"}};
    records.push_back(product);
    PlannedRecord group{{}, {}, K::ProductComponentGroup{"A", "G"}, 0, {}, {"A"}};
    records.push_back(group);

    std::set<std::string> values;
    for (int i = 0; i < 450; ++i) {
        values.insert(fmt::format("v{:03}", i));
    }
    values.insert("O'Brien");
    const KeyCandidates candidates = {{Layer::Product2, values}};
    const std::vector<std::string> ascending(values.begin(), values.end());
    FakeRecordChannels channels;
    const std::string select = "SELECT Id, QuillaryExternalId__c, Family, BasedOnId, BasedOn.Id FROM Product2 WHERE "
                               "QuillaryExternalId__c IN (";
    const std::vector<std::size_t> sizes = {200, 200, 51};
    std::size_t start = 0;
    for (const auto size : sizes) {
        const std::span<const std::string> chunk(ascending.data() + start, size);
        std::vector<json::Object> rows;
        if (start == 0) {
            rows.push_back(testing::json_object(
                R"({"attributes":{"type":"Product2"},"Id":"T1","QuillaryExternalId__c":"O'Brien","Family":"F",)"
                R"("BasedOnId":"X1","BasedOn":null})"));
            rows.push_back(testing::json_object(R"({"Id":"T2","QuillaryExternalId__c":null})"));
            rows.push_back(testing::json_object(R"({"Id":" ","QuillaryExternalId__c":"v001"})"));
        }
        channels.answer_query("tgt", select + quoted_list(chunk) + ")", std::move(rows));
        start += size;
    }
    EXPECT_NE(quoted_list(std::vector<std::string>{"O'Brien"}).find(R"(\')"), std::string::npos);
    Labels labels;
    testing::TestToken token;
    const auto index = read_target_by_key(channels, "tgt", "Target", records, product_schemas(), candidates,
                                          labels.progress(), token);
    ASSERT_TRUE(index.has_value());
    EXPECT_EQ(channels.calls_of("query").size(), 3U);
    EXPECT_EQ(labels.seen, (std::vector<std::string>{"Product2 records of Target by key",
                                                     "ProductComponentGroup records of Target by key"}));
    ASSERT_EQ(index->size(), 1U);
    const auto& record = index->at({"Product2", kOwn, "O'Brien"}).front();
    EXPECT_EQ(record, (ExistingRecord{"T1", {"BasedOnId"}, "O'Brien", {{"Family", "F"}}, {{"BasedOnId", "X1"}}}));
}

TEST(FieldFunctions, KnownFieldsPathsDanglingAndColumns) {
    const auto schemas = product_schemas();
    EXPECT_EQ(known_fields({"Zed", "Family", "BasedOnId"}, schemas, Side::Target, "Product2"),
              (std::vector<std::string>{"Family", "BasedOnId"}));
    EXPECT_TRUE(known_fields({"Family"}, schemas, Side::Source, "PricebookEntry").empty());
    const auto paths = target_reference_paths({"Family", "BasedOnId"}, schemas.target.at("Product2"));
    EXPECT_EQ(paths, (std::vector<std::pair<std::string, std::string>>{{"BasedOnId", "BasedOn"}}));
    const std::vector<std::pair<std::string, std::string>> pairs = {{"A", "Ar"}, {"B", "Br"}, {"C", "Cr"}};
    const auto record = testing::json_object(R"({"A":"x","Ar":null,"B":"","Br":null,"C":"y","Cr":{"Id":"y"}})");
    EXPECT_EQ(dangling_references(record, pairs), (std::vector<std::string>{"A"}));
    std::vector<std::string> columns = {"Id", "ParentProductId"};
    push_reference_columns(columns, {{"ParentProductId", "ParentProduct"}});
    EXPECT_EQ(columns, (std::vector<std::string>{"Id", "ParentProductId", "ParentProduct.Id"}));
}

}  // namespace
}  // namespace ambrel::data::bundles::transfer
