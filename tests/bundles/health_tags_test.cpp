#include <gtest/gtest.h>

#include <fmt/format.h>

#include "data/bundles/transfer/health_check.hpp"
#include "support/doubles.hpp"
#include "support/fake_record_channels.hpp"

namespace ambrel::data::bundles::transfer {
namespace {

using synthesis::ChannelError;
using testing::FakeRecordChannels;
using Status = ConstraintTagCounts::Status;

std::string tag_query(std::string_view list) {
    return fmt::format(
        "SELECT ReferenceObjectId, COUNT(Id) tagCount FROM ExpressionSetConstraintObj WHERE ReferenceObjectId IN "
        "({}) GROUP BY ReferenceObjectId",
        list);
}

TEST(HealthStepTotal, ThreeStepsPerLayerAndSixteen) {
    const std::vector<std::pair<std::uint64_t, std::uint32_t>> cases = {
        {0, 16},
        {1, 19},
        {2, 22},
        {6, 34},
        {1'431'655'759, 4'294'967'293},
        {1'431'655'760, 4'294'967'295},
        {std::numeric_limits<std::uint64_t>::max(), 4'294'967'295},
    };
    for (const auto& [layers, total] : cases) {
        SCOPED_TRACE(layers);
        EXPECT_EQ(health_step_total(layers), total);
    }
}

TEST(ConstraintTagCounts, NoIdsIsKnownAndEmptyWithoutQuery) {
    FakeRecordChannels channels;
    testing::TestToken token;
    EXPECT_EQ(constraint_tag_counts(channels, "tgt", {}, token), ConstraintTagCounts{});
    EXPECT_TRUE(channels.calls().empty());
}

TEST(ConstraintTagCounts, ReadsAggregateRowsAsTheCliReturnsThem) {
    FakeRecordChannels channels;
    const std::vector<std::string> ids = {"0dS000000000001AAA", "0dS000000000002AAA", "O'B\\"};
    channels.answer_query_json("tgt", tag_query(R"('0dS000000000001AAA', '0dS000000000002AAA', 'O\'B\\')"),
                               R"([{"attributes":{"type":"AggregateResult"},"ReferenceObjectId":"0dS000000000001AAA",
                                    "tagCount":3},
                                   {"attributes":{"type":"AggregateResult"},"ReferenceObjectId":"0dS000000000002AAA",
                                    "expr0":1},
                                   {"attributes":{"type":"AggregateResult"},"ReferenceObjectId":null,"tagCount":9},
                                   {"attributes":{"type":"AggregateResult"},"tagCount":9},
                                   {"attributes":{"type":"AggregateResult"},"ReferenceObjectId":"0dS000000000001AAA",
                                    "tagCount":2}])");
    testing::TestToken token;
    const auto counts = constraint_tag_counts(channels, "tgt", ids, token);
    EXPECT_EQ(counts.status, Status::Known);
    EXPECT_EQ(counts.counts,
              (std::map<std::string, std::uint64_t>{{"0dS000000000001AAA", 5}, {"0dS000000000002AAA", 1}}));
    ASSERT_EQ(channels.calls().size(), 1U);
    EXPECT_EQ(channels.calls()[0].org, "tgt");
}

TEST(ConstraintTagCounts, QueriesByTwoHundredIds) {
    FakeRecordChannels channels;
    std::vector<std::string> ids;
    for (int i = 0; i < 450; ++i) {
        ids.push_back(fmt::format("01u{:0>15}", i));
    }
    std::vector<std::string> expected;
    for (std::size_t start = 0; start < ids.size(); start += 200) {
        std::string list;
        for (std::size_t i = start; i < std::min<std::size_t>(start + 200, ids.size()); ++i) {
            list += (list.empty() ? "'" : ", '") + ids[i] + "'";
        }
        expected.push_back(tag_query(list));
        channels.answer_query_json(
            "tgt", expected.back(),
            fmt::format(R"([{{"attributes":{{"type":"AggregateResult"}},"ReferenceObjectId":"{}","tagCount":1}}])",
                        ids[start]));
    }
    testing::TestToken token;
    const auto counts = constraint_tag_counts(channels, "tgt", ids, token);
    EXPECT_EQ(counts.status, Status::Known);
    EXPECT_EQ(counts.counts, (std::map<std::string, std::uint64_t>{{ids[0], 1}, {ids[200], 1}, {ids[400], 1}}));
    std::vector<std::string> sent;
    for (const auto& call : channels.calls_of("query")) {
        sent.push_back(call.detail);
    }
    EXPECT_EQ(sent, expected);
}

TEST(ConstraintTagCounts, CountsThatAreNotWholeNumbersMakeThemUnknown) {
    const std::vector<std::string> counts = {R"(-1)", R"(1.0)", R"("2")", R"(null)", R"(true)", R"([1])"};
    for (const auto& count : counts) {
        SCOPED_TRACE(count);
        FakeRecordChannels channels;
        channels.answer_query_json("tgt", tag_query("'A', 'B'"),
                                   fmt::format(R"([{{"ReferenceObjectId":"A","tagCount":1}},
                                                   {{"ReferenceObjectId":"B","tagCount":{}}}])",
                                               count));
        testing::TestToken token;
        const std::vector<std::string> ids = {"A", "B"};
        EXPECT_EQ(constraint_tag_counts(channels, "tgt", ids, token), (ConstraintTagCounts{Status::Unknown, {}}));
    }
}

TEST(ConstraintTagCounts, RowWithoutAnyCountMakesThemUnknown) {
    FakeRecordChannels channels;
    channels.answer_query_json("tgt", tag_query("'A'"), R"([{"ReferenceObjectId":"A"}])");
    testing::TestToken token;
    const std::vector<std::string> ids = {"A"};
    EXPECT_EQ(constraint_tag_counts(channels, "tgt", ids, token).status, Status::Unknown);
}

TEST(ConstraintTagCounts, FailedQueryStopsAndIsUnknownWhileCancelledIsCancelled) {
    struct Case {
        std::string name;
        ChannelError error;
        Status status;
    };
    const std::vector<Case> cases = {
        {"message", ChannelError::failure("The query failed."), Status::Unknown},
        {"empty message", ChannelError::failure(""), Status::Unknown},
        {"cancelled", ChannelError::cancelled(), Status::Cancelled},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeRecordChannels channels;
        std::vector<std::string> ids;
        for (int i = 0; i < 201; ++i) {
            ids.push_back(fmt::format("A{}", i));
        }
        channels.fail_call(0, c.error);
        testing::TestToken token;
        const auto counts = constraint_tag_counts(channels, "tgt", ids, token);
        EXPECT_EQ(counts, (ConstraintTagCounts{c.status, {}}));
        // No further chunk is queried.
        EXPECT_EQ(channels.calls().size(), 1U);
    }
}

}  // namespace
}  // namespace ambrel::data::bundles::transfer
