#include <gtest/gtest.h>

#include <fmt/format.h>

#include "data/bundles/transfer/side_reads.hpp"
#include "support/doubles.hpp"
#include "support/fake_record_channels.hpp"

namespace ambrel::data::bundles::transfer {
namespace {

using K = RecordKey;
using C = CatalogRef;
using testing::FakeRecordChannels;
using testing::make_schema;

struct Notes {
    std::vector<std::string> seen;
    Progress callback() {
        return [this](std::string_view text) { seen.emplace_back(text); };
    }
};

PlannedRecord planned(RecordKey key, std::map<std::string, std::string> fields = {},
                      std::vector<std::pair<std::string, RecordKey>> links = {}) {
    return PlannedRecord{std::move(links), {}, std::move(key), 0, std::move(fields), {"B"}};
}

ChannelResult<SideRecords> read(FakeRecordChannels& channels, Side side, const TransferPlan& plan,
                                const TransferSchemas& schemas, Notes& notes) {
    testing::TestToken token;
    return read_side(channels, side == Side::Target ? "tgt" : "src", side == Side::Target ? "Target" : "Source",
                     side, plan, schemas, notes.callback(), token);
}

TEST(ReadSide, EmptyPlanReadsNothing) {
    FakeRecordChannels channels;
    Notes notes;
    const auto records = read(channels, Side::Target, TransferPlan{}, TransferSchemas{}, notes);
    ASSERT_TRUE(records.has_value());
    EXPECT_TRUE(records->empty());
    EXPECT_TRUE(notes.seen.empty());
    EXPECT_TRUE(channels.calls().empty());
}

TEST(ReadSide, TargetGroupsSelectLinksAndRelationshipIds) {
    TransferPlan plan;
    plan.records.push_back(planned(K::ProductComponentGroup{"A", "G1"}, {{"Name", "G1"}},
                                   {{"ParentGroupId", K::ProductComponentGroup{"A", "G0"}}}));
    plan.records.push_back(planned(K::ProductComponentGroup{"B", "G2"}, {{"Name", "G2"}}));
    TransferSchemas schemas;
    schemas.target["ProductComponentGroup"] =
        make_schema("ProductComponentGroup", {"Name"}, {{"ParentGroupId", "ParentGroup"}});
    FakeRecordChannels channels;
    channels.answer_query_json(
        "tgt",
        "SELECT Id, Name, ParentProduct.Name, ParentGroupId, ParentGroup.Id FROM ProductComponentGroup WHERE "
        "ParentProduct.Name IN ('A', 'B')",
        R"([{"attributes":{"type":"ProductComponentGroup","url":"/x"},"Id":" 0G1 ","Name":"G1",
             "ParentProduct":{"attributes":{"type":"Product2"},"Name":"A"},"ParentGroupId":"0G0","ParentGroup":null},
            {"Id":"0G2","Name":"G2","ParentProduct":{"Name":" B "},"ParentGroupId":"0G9"},
            {"Id":"0G3","Name":"G3","ParentProduct":null},
            {"Id":"0G4","Name":7,"ParentProduct":{"Name":"B"}},
            {"Id":"  ","Name":"G5","ParentProduct":{"Name":"B"}}])");
    Notes notes;
    const auto records = read(channels, Side::Target, plan, schemas, notes);
    ASSERT_TRUE(records.has_value());
    EXPECT_EQ(notes.seen, std::vector<std::string>{"ProductComponentGroup records of Target"});
    ASSERT_EQ(records->size(), 2U);
    const auto& first = records->at(K::ProductComponentGroup{"A", "G1"});
    ASSERT_EQ(first.size(), 1U);
    EXPECT_EQ(first[0], (ExistingRecord{"0G1", {"ParentGroupId"}, std::nullopt, {{"Name", "G1"}},
                                        {{"ParentGroupId", "0G0"}}}));
    // The relationship member is missing, not null: not dangling.
    const auto& second = records->at(K::ProductComponentGroup{"B", "G2"});
    ASSERT_EQ(second.size(), 1U);
    EXPECT_TRUE(second[0].dangling.empty());
    EXPECT_EQ(second[0].links.at("ParentGroupId"), "0G9");
}

TEST(ReadSide, SourceNeverSelectsLinks) {
    TransferPlan plan;
    plan.records.push_back(planned(K::ProductComponentGroup{"A", "G1"}, {{"Name", "G1"}},
                                   {{"ParentGroupId", K::ProductComponentGroup{"A", "G0"}}}));
    TransferSchemas schemas;
    schemas.source["ProductComponentGroup"] =
        make_schema("ProductComponentGroup", {"Name"}, {{"ParentGroupId", "ParentGroup"}});
    FakeRecordChannels channels;
    channels.answer_query_json(
        "src", "SELECT Id, Name, ParentProduct.Name FROM ProductComponentGroup WHERE ParentProduct.Name IN ('A')",
        R"([{"Id":"0G1","Name":"G1","ParentProduct":{"Name":"A"},"ParentGroupId":"0G0","ParentGroup":null}])");
    Notes notes;
    const auto records = read(channels, Side::Source, plan, schemas, notes);
    ASSERT_TRUE(records.has_value());
    EXPECT_EQ(notes.seen, std::vector<std::string>{"ProductComponentGroup records of Source"});
    const auto& record = records->at(K::ProductComponentGroup{"A", "G1"}).at(0);
    EXPECT_TRUE(record.links.empty());
    EXPECT_TRUE(record.dangling.empty());
}

TEST(ReadSide, ChunksOf200AndQuotedValues) {
    TransferPlan plan;
    for (int i = 0; i < 201; ++i) {
        plan.records.push_back(planned(K::Product2{fmt::format("P{:03}", i)}));
    }
    plan.records.push_back(planned(K::Product2{"Q'Hara\\x"}));
    // A repeated identity is read once.
    plan.records.push_back(planned(K::ProductSellingModelOption{"P000", "Monthly"}));
    plan.records.push_back(planned(K::ProductSellingModelOption{"P000", "Yearly"}));
    TransferSchemas schemas;
    schemas.target["Product2"] = make_schema("Product2", {"Name"});
    FakeRecordChannels channels;
    std::vector<std::string> names;
    for (int i = 0; i < 201; ++i) {
        names.push_back(fmt::format("'P{:03}'", i));
    }
    names.push_back(R"('Q\'Hara\\x')");
    std::string first;
    for (std::size_t i = 0; i < 200; ++i) {
        first += (i == 0 ? "" : ", ") + names[i];
    }
    const auto first_query = "SELECT Id, Name FROM Product2 WHERE Name IN (" + first + ")";
    const auto second_query = "SELECT Id, Name FROM Product2 WHERE Name IN (" + names[200] + ", " + names[201] + ")";
    const std::string option_query =
        "SELECT Id, Product2.Name, ProductSellingModel.Name FROM ProductSellingModelOption WHERE Product2.Name IN "
        "('P000')";
    channels.answer_query("tgt", first_query, {});
    channels.answer_query_json("tgt", second_query, R"([{"Id":"01","Name":"Q'Hara\\x"}])");
    channels.answer_query_json("tgt", option_query,
                               R"([{"Id":"0o1","Product2":{"Name":"P000"},"ProductSellingModel":{"Name":"Monthly"}},
                                   {"Id":"0o2","Product2":{"Name":"P000"},"ProductSellingModel":null}])");
    Notes notes;
    const auto records = read(channels, Side::Target, plan, schemas, notes);
    ASSERT_TRUE(records.has_value());
    const auto queries = channels.calls_of("query");
    ASSERT_EQ(queries.size(), 3U);
    EXPECT_EQ(queries[0].detail, first_query);
    EXPECT_EQ(queries[1].detail, second_query);
    EXPECT_EQ(queries[2].detail, option_query);
    EXPECT_EQ(notes.seen, (std::vector<std::string>{"Product2 records of Target",
                                                     "ProductSellingModelOption records of Target"}));
    ASSERT_EQ(records->size(), 2U);
    EXPECT_EQ(records->at(K::Product2{"Q'Hara\\x"}).at(0).id, "01");
    EXPECT_EQ(records->at(K::ProductSellingModelOption{"P000", "Monthly"}).at(0).id, "0o1");
}

TEST(ReadSide, SameKeyTwiceKeepsReturnedOrder) {
    TransferPlan plan;
    plan.records.push_back(planned(K::ProductClassification{"C1"}, {{"Status", "Active"}}));
    TransferSchemas schemas;
    schemas.target["ProductClassification"] = make_schema("ProductClassification", {"Code", "Status"});
    FakeRecordChannels channels;
    channels.answer_query_json(
        "tgt", "SELECT Id, Status, Code FROM ProductClassification WHERE Code IN ('C1')",
        R"([{"Id":"B","Code":"C1","Status":"Draft"},{"Id":"A","Code":" C1","Status":true},{"Id":"X","Code":""}])");
    Notes notes;
    const auto records = read(channels, Side::Target, plan, schemas, notes);
    ASSERT_TRUE(records.has_value());
    ASSERT_EQ(records->size(), 1U);
    const auto& list = records->at(K::ProductClassification{"C1"});
    ASSERT_EQ(list.size(), 2U);
    EXPECT_EQ(list[0].id, "B");
    EXPECT_EQ(list[0].values.at("Status"), "Draft");
    EXPECT_EQ(list[1].id, "A");
    EXPECT_EQ(list[1].values.at("Status"), "true");
}

TEST(ReadSide, ComponentKeysAndChildlessComponentSkipped) {
    TransferPlan plan;
    plan.records.push_back(planned(K::ProductRelatedComponent{"B", "P", std::string("G")}, {{"Quantity", "1"}}));
    TransferSchemas schemas;
    schemas.source["ProductRelatedComponent"] = make_schema("ProductRelatedComponent", {"Quantity"});
    FakeRecordChannels channels;
    channels.answer_query_json(
        "src",
        "SELECT Id, Quantity, ParentProduct.Name, ChildProduct.Name, ChildProductClassification.Code, "
        "ProductComponentGroup.Name FROM ProductRelatedComponent WHERE ParentProduct.Name IN ('B')",
        R"([{"Id":"1","Quantity":1.5,"ParentProduct":{"Name":"B"},"ChildProduct":{"Name":"P"},
             "ProductComponentGroup":{"Name":"G"}},
            {"Id":"2","Quantity":2,"ParentProduct":{"Name":"B"},"ChildProduct":null,
             "ChildProductClassification":{"Code":"K"},"ProductComponentGroup":null},
            {"Id":"3","ParentProduct":{"Name":"B"},"ChildProduct":null,"ChildProductClassification":null},
            {"Id":"4","ParentProduct":{"Name":"B"},"ChildProduct":{"Name":["P"]}}])");
    Notes notes;
    const auto records = read(channels, Side::Source, plan, schemas, notes);
    ASSERT_TRUE(records.has_value());
    ASSERT_EQ(records->size(), 2U);
    EXPECT_EQ(records->at(K::ProductRelatedComponent{"B", "P", std::string("G")}).at(0).values.at("Quantity"), "1.5");
    EXPECT_EQ(records->at(K::ProductRelatedComponent{"B", "K", std::nullopt}).at(0).values.at("Quantity"), "2");
}

TEST(ReadSide, PriceBookEntriesWithAndWithoutCurrencyColumn) {
    TransferPlan plan;
    plan.records.push_back(planned(K::PricebookEntry{"P", "Std", std::nullopt, std::string("EUR")},
                                   {{"UnitPrice", "10"}}));
    struct Case {
        std::string name;
        std::vector<std::string> fields;
        std::string soql;
        K expected;
    };
    const std::vector<Case> cases = {
        {"multi-currency", {"UnitPrice", "CurrencyIsoCode"},
         "SELECT Id, UnitPrice, Product2.Name, Pricebook2.Name, ProductSellingModel.Name, CurrencyIsoCode FROM "
         "PricebookEntry WHERE Product2.Name IN ('P')",
         K::PricebookEntry{"P", "Std", std::string("M"), std::string("EUR")}},
        {"single currency", {"UnitPrice"},
         "SELECT Id, UnitPrice, Product2.Name, Pricebook2.Name, ProductSellingModel.Name FROM PricebookEntry WHERE "
         "Product2.Name IN ('P')",
         K::PricebookEntry{"P", "Std", std::string("M"), std::nullopt}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TransferSchemas schemas;
        schemas.target["PricebookEntry"] = make_schema("PricebookEntry", c.fields);
        FakeRecordChannels channels;
        channels.answer_query_json("tgt", c.soql,
                                   R"([{"Id":"E1","UnitPrice":10,"Product2":{"Name":"P"},"Pricebook2":{"Name":"Std"},
                                        "ProductSellingModel":{"Name":"M"},
                                        "CurrencyIsoCode":)" +
                                       std::string(c.fields.size() == 2 ? "\"EUR\"" : "null") + "}]");
        Notes notes;
        const auto records = read(channels, Side::Target, plan, schemas, notes);
        ASSERT_TRUE(records.has_value());
        ASSERT_EQ(records->size(), 1U);
        EXPECT_EQ(records->begin()->first, c.expected);
        EXPECT_EQ(records->begin()->second.at(0).values.at("UnitPrice"), "10");
    }
}

TEST(ReadSide, KeyFieldSelectedOnlyWhereDescribed) {
    TransferPlan plan;
    plan.records.push_back(planned(K::Product2{"P"}, {{"Description", "d"}}));
    struct Case {
        std::string name;
        std::string key_field;
        std::vector<std::string> described;
        std::string soql;
        std::optional<std::string> key_value;
    };
    const std::vector<Case> cases = {
        {"own field described", "QuillaryExternalId__c", {"Name", "QuillaryExternalId__c", "Description"},
         "SELECT Id, QuillaryExternalId__c, Description, Name FROM Product2 WHERE Name IN ('P')", "K1"},
        {"key field not described", "QuillaryExternalId__c", {"Name", "Description"},
         "SELECT Id, Description, Name FROM Product2 WHERE Name IN ('P')", std::nullopt},
        {"key field Id", "Id", {"Name", "Description"},
         "SELECT Id, Description, Name FROM Product2 WHERE Name IN ('P')", "01"},
        {"planned field not described", "QuillaryExternalId__c", {"Name"},
         "SELECT Id, Name FROM Product2 WHERE Name IN ('P')", std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TransferSchemas schemas;
        schemas.target["Product2"] = make_schema("Product2", c.described);
        schemas.keys["Product2"] = KeyField{c.key_field, c.key_field != "Id"};
        FakeRecordChannels channels;
        const bool key_selected = c.soql.find("QuillaryExternalId__c") != std::string::npos;
        channels.answer_query_json(
            "tgt", c.soql,
            key_selected ? R"([{"Id":"01","Name":"P","QuillaryExternalId__c":"K1","Description":"d"}])"
                         : R"([{"Id":"01","Name":"P","Description":"d"}])");
        Notes notes;
        const auto records = read(channels, Side::Target, plan, schemas, notes);
        ASSERT_TRUE(records.has_value());
        const auto& record = records->at(K::Product2{"P"}).at(0);
        EXPECT_EQ(record.key_value, c.key_value);
        EXPECT_EQ(record.values.at("Description"), "d");
    }
}

TEST(ReadSide, FailedQueryEndsTheRead) {
    TransferPlan plan;
    plan.records.push_back(planned(K::ProductClassification{"C"}));
    plan.records.push_back(planned(K::Product2{"P"}));
    plan.records.push_back(planned(K::PricebookEntry{"P", "Std", std::nullopt, std::nullopt}));
    TransferSchemas schemas;
    const std::vector<std::pair<std::string, FakeRecordChannels::ChannelError>> cases = {
        {"failure", synthesis::ChannelError::failure("boom")},
        {"cancelled", synthesis::ChannelError::cancelled()},
        {"empty failure", synthesis::ChannelError::failure("")},
    };
    for (const auto& [name, error] : cases) {
        SCOPED_TRACE(name);
        FakeRecordChannels channels;
        channels.answer_query("src", "SELECT Id FROM ProductClassification WHERE Code IN ('C')", {});
        channels.fail_call(1, error);
        Notes notes;
        const auto records = read(channels, Side::Source, plan, schemas, notes);
        ASSERT_FALSE(records.has_value());
        EXPECT_EQ(records.error(), error);
        EXPECT_EQ(channels.calls().size(), 2U);
        EXPECT_EQ(channels.calls()[1].detail, "SELECT Id FROM Product2 WHERE Name IN ('P')");
        EXPECT_EQ(notes.seen.size(), 2U);
    }
}

}  // namespace
}  // namespace ambrel::data::bundles::transfer
