#include "data/bundles/transfer/health_fix.hpp"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "support/doubles.hpp"
#include "support/fake_record_channels.hpp"

namespace ambrel::data::bundles::transfer {
namespace {

using synthesis::ChannelError;
using synthesis::CompositeError;
using synthesis::CompositeOutcome;
using testing::FakeRecordChannels;

const std::string kUnexpected = "the target answered the delete request with an unexpected body";

// n distinct 18-character Ids with the given prefix.
std::vector<std::string> ids_of(std::string_view prefix, std::size_t n) {
    std::vector<std::string> ids;
    for (std::size_t i = 0; i < n; ++i) {
        ids.push_back(fmt::format("{}{:0>15}", prefix, i));
    }
    return ids;
}

std::vector<std::size_t> delete_sizes(const FakeRecordChannels& channels) {
    std::vector<std::size_t> sizes;
    for (const auto& call : channels.calls_of("delete")) {
        sizes.push_back(call.items.size());
    }
    return sizes;
}

struct Run {
    std::vector<std::string> progress;
    std::expected<FixOutcome, FixCancelled> result;
};

Run run(FakeRecordChannels& channels, const std::vector<DeleteGroup>& groups, const domain::CancellationToken& token) {
    Run out{{}, FixOutcome{}};
    out.result = delete_target_records(
        channels, "tgt", groups, [&](std::string_view object) { out.progress.emplace_back(object); }, token);
    return out;
}

TEST(DeleteTargetRecords, SendsChunksOfAtMost200InOrderPerGroup) {
    struct Case {
        std::size_t count;
        std::vector<std::size_t> sizes;
    };
    const std::vector<Case> cases = {
        {1, {1}}, {199, {199}}, {200, {200}}, {201, {200, 1}}, {450, {200, 200, 50}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.count);
        FakeRecordChannels channels;
        testing::TestToken token;
        const auto ids = ids_of("0QL", c.count);
        const auto out = run(channels, {{"PricebookEntry", ids}}, token);
        ASSERT_TRUE(out.result.has_value());
        EXPECT_EQ(out.result->deleted, (std::map<std::string, std::uint64_t>{{"PricebookEntry", c.count}}));
        EXPECT_TRUE(out.result->refused.empty());
        EXPECT_EQ(delete_sizes(channels), c.sizes);
        std::vector<std::string> sent;
        for (const auto& call : channels.calls_of("delete")) {
            EXPECT_EQ(call.org, "tgt");
            sent.insert(sent.end(), call.items.begin(), call.items.end());
        }
        EXPECT_EQ(sent, ids);
        EXPECT_EQ(out.progress, (std::vector<std::string>{"PricebookEntry"}));
    }
}

TEST(DeleteTargetRecords, NoGroupsGivesAnEmptyOutcomeWithoutProgress) {
    FakeRecordChannels channels;
    testing::TestToken token;
    const auto out = run(channels, {}, token);
    ASSERT_TRUE(out.result.has_value());
    EXPECT_EQ(*out.result, FixOutcome{});
    EXPECT_TRUE(out.progress.empty());
    EXPECT_TRUE(channels.calls().empty());
}

TEST(DeleteTargetRecords, GroupWithoutIdsReportsItsObjectAndSendsNothing) {
    FakeRecordChannels channels;
    testing::TestToken token;
    const auto out =
        run(channels, {{"ProductRelatedComponent", {}}, {"PricebookEntry", {"01u000000000001AAA"}}}, token);
    ASSERT_TRUE(out.result.has_value());
    EXPECT_EQ(out.progress, (std::vector<std::string>{"ProductRelatedComponent", "PricebookEntry"}));
    EXPECT_EQ(delete_sizes(channels), (std::vector<std::size_t>{1}));
    EXPECT_EQ(out.result->deleted, (std::map<std::string, std::uint64_t>{{"PricebookEntry", 1}}));
}

TEST(DeleteTargetRecords, FailedRequestRefusesTheRestOfItsGroupAndTheNextGroupGoesOn) {
    const std::vector<ChannelError> failures = {ChannelError::failure("The org is not reachable."),
                                                ChannelError::failure("")};
    for (const auto& failure : failures) {
        SCOPED_TRACE(*failure.message);
        FakeRecordChannels channels;
        channels.fail_call(1, failure);
        testing::TestToken token;
        const auto components = ids_of("0dS", 450);
        const auto entries = ids_of("01u", 3);
        const auto out = run(channels, {{"ProductRelatedComponent", components}, {"PricebookEntry", entries}}, token);
        ASSERT_TRUE(out.result.has_value());
        // The third request of the first group is never sent.
        EXPECT_EQ(delete_sizes(channels), (std::vector<std::size_t>{200, 200, 3}));
        EXPECT_EQ(out.result->deleted,
                  (std::map<std::string, std::uint64_t>{{"PricebookEntry", 3}, {"ProductRelatedComponent", 200}}));
        ASSERT_EQ(out.result->refused.size(), 250U);
        for (std::size_t i = 200; i < 450; ++i) {
            EXPECT_EQ(out.result->refused.at(components[i]), *failure.message);
        }
        EXPECT_EQ(out.progress, (std::vector<std::string>{"ProductRelatedComponent", "PricebookEntry"}));
    }
}

TEST(DeleteTargetRecords, AnswerWithAnotherOutcomeCountRefusesOnlyThatRequest) {
    struct Case {
        std::string name;
        std::size_t outcomes;
    };
    for (const auto& c : std::vector<Case>{{"fewer", 199}, {"more", 201}, {"none", 0}}) {
        SCOPED_TRACE(c.name);
        FakeRecordChannels channels;
        channels.script_delete(std::vector<CompositeOutcome>(c.outcomes, CompositeOutcome{{}, std::nullopt, true}));
        testing::TestToken token;
        const auto ids = ids_of("01u", 250);
        const auto out = run(channels, {{"PricebookEntry", ids}}, token);
        ASSERT_TRUE(out.result.has_value());
        EXPECT_EQ(delete_sizes(channels), (std::vector<std::size_t>{200, 50}));
        ASSERT_EQ(out.result->refused.size(), 200U);
        EXPECT_EQ(out.result->refused.at(ids[0]), kUnexpected);
        EXPECT_EQ(out.result->refused.at(ids[199]), kUnexpected);
        EXPECT_EQ(out.result->deleted, (std::map<std::string, std::uint64_t>{{"PricebookEntry", 50}}));
    }
}

TEST(DeleteTargetRecords, RefusalsNameTheFirstErrorOnly) {
    FakeRecordChannels channels;
    channels.script_delete(std::vector<CompositeOutcome>{
        {{{"ENTITY_IS_DELETED", "entity is deleted", {}}, {"OTHER", "not shown", {"Id"}}}, std::nullopt, false},
        {{}, std::nullopt, false},
        {{{"", "", {}}}, std::nullopt, false},
        {{}, "01u000000000003AAA", true},
        {{{"IGNORED", "a success with errors still counts", {}}}, std::nullopt, true},
    });
    testing::TestToken token;
    const auto ids = ids_of("01u", 5);
    const auto out = run(channels, {{"PricebookEntry", ids}}, token);
    ASSERT_TRUE(out.result.has_value());
    EXPECT_EQ(out.result->refused, (std::map<std::string, std::string>{
                                       {ids[0], "ENTITY_IS_DELETED: entity is deleted"},
                                       {ids[1], "the target refused the record without naming a reason"},
                                       {ids[2], ": "},
                                   }));
    EXPECT_EQ(out.result->deleted, (std::map<std::string, std::uint64_t>{{"PricebookEntry", 2}}));
}

TEST(DeleteTargetRecords, SameIdTwiceIsSentTwiceAndKeepsItsLastReason) {
    FakeRecordChannels channels;
    channels.script_delete(std::vector<CompositeOutcome>{
        {{{"FIRST", "first reason", {}}}, std::nullopt, false},
        {{{"SECOND", "second reason", {}}}, std::nullopt, false},
    });
    testing::TestToken token;
    const std::string id = "01u000000000001AAA";
    const auto out = run(channels, {{"PricebookEntry", {id, id}}}, token);
    ASSERT_TRUE(out.result.has_value());
    ASSERT_EQ(channels.calls_of("delete").size(), 1U);
    EXPECT_EQ(channels.calls_of("delete")[0].items, (std::vector<std::string>{id, id}));
    EXPECT_EQ(out.result->refused, (std::map<std::string, std::string>{{id, "SECOND: second reason"}}));
    EXPECT_TRUE(out.result->deleted.empty());
}

TEST(DeleteTargetRecords, CancelledBeforeTheFirstRequest) {
    FakeRecordChannels channels;
    testing::TestToken token;
    token.cancel();
    const auto out =
        run(channels, {{"ProductRelatedComponent", ids_of("0dS", 3)}, {"PricebookEntry", ids_of("01u", 2)}}, token);
    ASSERT_FALSE(out.result.has_value());
    EXPECT_EQ(out.result.error(), (FixCancelled{0, 5, 0}));
    EXPECT_TRUE(channels.calls().empty());
}

TEST(DeleteTargetRecords, CancelledBetweenRequestsCountsWhatWasDeleted) {
    FakeRecordChannels channels;
    testing::TestToken token;
    std::vector<std::string> progress;
    // The cancellation arrives once the first group is done, before the second group's first request.
    const auto result = delete_target_records(
        channels, "tgt", {{"ProductRelatedComponent", ids_of("0dS", 250)}, {"PricebookEntry", ids_of("01u", 7)}},
        [&](std::string_view object) {
            progress.emplace_back(object);
            if (object == "PricebookEntry") token.cancel();
        },
        token);
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error(), (FixCancelled{250, 257, 0}));
    EXPECT_EQ(delete_sizes(channels), (std::vector<std::size_t>{200, 50}));
    EXPECT_EQ(progress, (std::vector<std::string>{"ProductRelatedComponent", "PricebookEntry"}));
}

TEST(DeleteTargetRecords, CancelledDuringARequestCountsItsIdsAsInFlight) {
    FakeRecordChannels channels;
    channels.fail_call(2, ChannelError::cancelled());
    testing::TestToken token;
    const auto out =
        run(channels, {{"ProductRelatedComponent", ids_of("0dS", 250)}, {"PricebookEntry", ids_of("01u", 7)}}, token);
    ASSERT_FALSE(out.result.has_value());
    EXPECT_EQ(out.result.error(), (FixCancelled{250, 257, 7}));
    EXPECT_EQ(delete_sizes(channels), (std::vector<std::size_t>{200, 50, 7}));
}

}  // namespace
}  // namespace ambrel::data::bundles::transfer
