// The small list rules that the record reads and writes share: select lists, IN lists, the field
// maps of a read record and the errors of a per-record outcome.

#include <gtest/gtest.h>

#include "data/bundles/synthesis/query_text.hpp"
#include "data/bundles/synthesis/record_channels.hpp"
#include "data/bundles/transfer/record_views.hpp"
#include "data/bundles/transfer/side_reads.hpp"
#include "support/doubles.hpp"
#include "support/fake_record_channels.hpp"

namespace ambrel::data::bundles {
namespace {

TEST(RecordLists, SelectListKeepsRepeatedColumns) {
    const std::vector<std::string> extra = {"Id", "Name", "Name"};
    EXPECT_EQ(synthesis::select_list({}, "Product2", extra), "Id, Id, Name, Name");
}

TEST(RecordLists, InListsKeepInputOrderAndEscapeEveryValue) {
    const std::vector<std::string> values = {"z", "O'Hara", R"(trailing\)", "a"};
    EXPECT_EQ(synthesis::id_list(values), R"('z', 'O\'Hara', 'trailing\\', 'a')");
    EXPECT_EQ(synthesis::id_list(values), transfer::quoted_list(values));
}

TEST(RecordLists, ErrorsOfAnOutcomeWithMissingMembers) {
    const auto body = json::parse(R"([{"success":false},{"success":false,"errors":[{"message":"m"}]},
                                      {"success":false,"errors":[{"statusCode":"X","fields":"Name"}]}])");
    ASSERT_TRUE(body.has_value());
    const auto outcomes = synthesis::parse_composite_outcomes(*body, 3);
    ASSERT_TRUE(outcomes.has_value());
    EXPECT_TRUE((*outcomes)[0].errors.empty());
    EXPECT_EQ((*outcomes)[1].errors, (std::vector<synthesis::CompositeError>{{"", "m", {}}}));
    EXPECT_EQ((*outcomes)[2].errors, (std::vector<synthesis::CompositeError>{{"X", "", {}}}));
}

TEST(RecordLists, FieldMapsOfAReadRecordHoldOnlyValues) {
    using transfer::RecordKey;
    transfer::TransferPlan plan;
    plan.records.push_back(transfer::PlannedRecord{
        {}, {}, RecordKey::Product2{"P"}, 0, {{"A", "1"}, {"B", "2"}, {"C", "3"}, {"D", "4"}, {"E", "5"}}, {"P"}});
    transfer::TransferSchemas schemas;
    schemas.source["Product2"] = testing::make_schema("Product2", {"Name", "A", "B", "C", "D", "E"});
    testing::FakeRecordChannels channels;
    channels.answer_query_json("src", "SELECT Id, A, B, C, D, E, Name FROM Product2 WHERE Name IN ('P')",
                               R"([{"Id":"1","Name":"P","E":-0.5,"D":{"x":1},"C":[1],"B":null,"A":false}])");
    testing::TestToken token;
    const auto records = transfer::read_side(channels, "src", "Source", transfer::Side::Source, plan, schemas,
                                             [](std::string_view) {}, token);
    ASSERT_TRUE(records.has_value());
    const auto& record = records->at(RecordKey::Product2{"P"}).at(0);
    EXPECT_EQ(record.values, (std::map<std::string, std::string, std::less<>>{{"A", "false"}, {"E", "-0.5"}}));
}

}  // namespace
}  // namespace ambrel::data::bundles
