#include <gtest/gtest.h>

#include <fmt/format.h>

#include "data/bundles/model_transfer/model_tags.hpp"
#include "support/doubles.hpp"
#include "support/programming_error.hpp"
#include "support/fake_record_channels.hpp"

namespace ambrel::data::bundles::model_transfer {
namespace {

using document::ModelTag;
using identity::ComponentChildKind;
using synthesis::ChannelError;
using synthesis::CompositeError;
using synthesis::CompositeOutcome;
using testing::FakeRecordChannels;

using Call = FakeRecordChannels::Call;
using Pairs = std::vector<std::pair<std::string, std::string>>;

std::string product_query(std::string_view list) {
    return fmt::format("SELECT Id, Name FROM Product2 WHERE Name IN ({})", list);
}
std::string classification_query(std::string_view list) {
    return fmt::format("SELECT Id, Code FROM ProductClassification WHERE Code IN ({})", list);
}
std::string group_query(std::string_view list) {
    return fmt::format("SELECT Id, Name, ParentProduct.Name FROM ProductComponentGroup WHERE ParentProduct.Name IN ({})",
                       list);
}
std::string component_query(std::string_view list) {
    return fmt::format(
        "SELECT Id, ParentProduct.Name, ProductComponentGroup.Name, ChildProduct.Name, "
        "ChildProductClassification.Code FROM ProductRelatedComponent WHERE ParentProduct.Name IN ({})",
        list);
}
const std::string kExisting =
    "SELECT ReferenceObjectId, ConstraintModelTag, ConstraintModelTagType FROM ExpressionSetConstraintObj WHERE "
    "ExpressionSetId = '0ES'";

ModelTag product_tag(std::string tag, std::string product) {
    return ModelTag{"Product", std::move(tag), {{"product", std::move(product)}}, std::nullopt};
}

std::string tag_body(std::string_view reference, std::string_view tag, std::string_view type = "Product") {
    return fmt::format(
        R"({{"attributes":{{"type":"ExpressionSetConstraintObj"}},"ExpressionSetId":"0ES","ReferenceObjectId":"{}",)"
        R"("ConstraintModelTag":"{}","ConstraintModelTagType":"{}"}})",
        reference, tag, type);
}

struct Run {
    std::expected<TagsSummary, std::string> result;
    Channel channel;
};

Run run(FakeRecordChannels& channels, const std::vector<ModelTag>& tags,
        const domain::CancellationToken& token = domain::NeverCancelled{}) {
    Channel channel;
    auto result = transfer_tags(channels, "tgt", "0ES", tags, channel, token);
    return Run{std::move(result), std::move(channel)};
}

TEST(AddresseeOf, Cases) {
    struct Case {
        std::string name;
        ModelTag tag;
        std::optional<Addressee> expected;
    };
    using A = Addressee;
    const std::vector<Case> cases{
        {"both children cancel out", {"T", "t", {{"productBundle", "B"}, {"group", "G"}, {"childProduct", "X"},
                                                 {"childClassification", "K"}}, std::nullopt},
         A(A::Group{"B", "G"})},
        {"bundle only", {"T", "t", {{"productBundle", "B"}}, std::nullopt}, A(A::Product{"B"})},
        {"classification before product", {"T", "t", {{"product", "P"}, {"classification", "C"}}, std::nullopt},
         A(A::Classification{"C"})},
        {"component with group", {"T", "t", {{"productBundle", "B"}, {"group", "G"}, {"childProduct", "X"}},
                                  std::nullopt},
         A(A::Component{"B", "G", {ComponentChildKind::Product, "X"}})},
        {"component without group", {"T", "t", {{"childClassification", "K"}, {"productBundle", "B"}}, std::nullopt},
         A(A::Component{"B", std::nullopt, {ComponentChildKind::Classification, "K"}})},
        {"first attribute of a key counts", {"T", "t", {{"product", "P1"}, {"product", "P2"}}, std::nullopt},
         A(A::Product{"P1"})},
        {"child without bundle", {"T", "t", {{"childProduct", "X"}}, std::nullopt}, std::nullopt},
        {"nothing", {"T", "t", {{"colour", "red"}}, std::nullopt}, std::nullopt},
        {"unresolved", {"T", "t", {{"product", "P"}}, "01tX"}, std::nullopt},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.name);
        EXPECT_EQ(addressee_of(test.tag), test.expected);
    }
}

TEST(Addressee, OrderKindWordsAndIdentities) {
    using A = Addressee;
    const A product(A::Product{"P"});
    const A group(A::Group{"P", "G"});
    const A component(A::Component{"P", std::nullopt, {ComponentChildKind::Product, "X"}});
    const A grouped(A::Component{"P", "G", {ComponentChildKind::Classification, "K"}});
    const std::set<A> ordered{grouped, component, group, product};
    EXPECT_EQ(std::vector<A>(ordered.begin(), ordered.end()), (std::vector<A>{product, group, component, grouped}));
    const A z(A::Component{"P", "G", {ComponentChildKind::Product, "Z"}});
    const A a(A::Component{"P", "G", {ComponentChildKind::Classification, "A"}});
    EXPECT_LT(z, a);
    EXPECT_LT(A(A::Classification{"Z"}), A(A::Group{"A", "A"}));

    const std::vector<std::tuple<A, std::string, std::string>> cases{
        {product, "product", "P"},
        {A(A::Classification{"C"}), "classification", "C"},
        {group, "group", "P / G"},
        {component, "component", "P / X"},
        {grouped, "component", "P / G / K"},
    };
    for (const auto& [addressee, word, identity] : cases) {
        SCOPED_TRACE(identity);
        EXPECT_EQ(addressee.kind_word(), word);
        EXPECT_EQ(addressee.identity(), identity);
        EXPECT_EQ(addressee.look_up_name(), addressee.kind_word() == "classification" ? "C" : "P");
    }
}

TEST(TransferTags, NoTagsSendNothing) {
    FakeRecordChannels channels;
    const auto result = run(channels, {});
    ASSERT_TRUE(result.result.has_value());
    EXPECT_EQ(*result.result, TagsSummary{});
    EXPECT_EQ(result.channel.rest_calls, 0U);
    EXPECT_TRUE(channels.calls().empty());
}

TEST(TransferTags, UnresolvedTagsStillReadTheExistingTags) {
    FakeRecordChannels channels;
    channels.answer_query_json("tgt", kExisting, "[]");
    const auto result = run(channels, {{"Product", "a", {}, "01tA"}, {"Group", "b", {{"x", "y"}}, "01tB"},
                                       {"Product", "c", {{"colour", "red"}}, std::nullopt}});
    ASSERT_TRUE(result.result.has_value());
    EXPECT_EQ(result.result->skipped, (Pairs{{"Product a", "unresolved in the source"},
                                             {"Group b", "unresolved in the source"},
                                             {"Product c", "unrecognized addressee"}}));
    EXPECT_EQ(result.channel.rest_calls, 1U);
    EXPECT_EQ(channels.calls(), (std::vector<Call>{{"query", "tgt", kExisting, {}}}));
}

TEST(TransferTags, ResolvesEveryKindAndCreatesTheMissingTags) {
    FakeRecordChannels channels;
    channels.answer_query_json("tgt", product_query("'Lone', 'O\\'Hara'"),
                               R"([{"Id":"p1","Name":"O'Hara"},{"Id":"p2","Name":" Lone "},
                                   {"Id":"p3","Name":"Unasked"},{"Id":["p4"],"Name":"Lone"},{"Id":"p5","Name":7}])");
    channels.answer_query_json("tgt", classification_query("'HW'"), R"([{"Id":"c1","Code":"HW"}])");
    // Two group addressees of one product: the product is named once.
    channels.answer_query_json("tgt", group_query("'Kit'"),
                               R"([{"Id":"g1","Name":"G1","ParentProduct":{"Name":"Kit"}},
                                   {"Id":"g2","Name":"G2","ParentProduct":null},
                                   {"Id":"g3","Name":"G2","ParentProduct":{"Name":"Kit"}}])");
    // A row with both children has a product child, so the classification addressee stays unmatched.
    channels.answer_query_json("tgt", component_query("'Kit'"),
                               R"([{"Id":"r1","ParentProduct":{"Name":"Kit"},"ProductComponentGroup":null,
                                    "ChildProduct":{"Name":"Mouse"},"ChildProductClassification":{"Code":"HW"}}])");
    channels.answer_query_json("tgt", kExisting,
                               R"([{"ReferenceObjectId":" c1 ","ConstraintModelTag":"cls","ConstraintModelTagType":"Classification"},
                                   {"ReferenceObjectId":"g1","ConstraintModelTag":true,"ConstraintModelTagType":"Group"}])");
    const std::vector<ModelTag> tags{
        product_tag("quote", "O'Hara"),
        {"Classification", "cls", {{"classification", "HW"}}, std::nullopt},
        {"Group", "g1", {{"productBundle", "Kit"}, {"group", "G1"}}, std::nullopt},
        {"Group", "g2", {{"productBundle", "Kit"}, {"group", "G2"}}, std::nullopt},
        {"Component", "mouse", {{"productBundle", "Kit"}, {"childProduct", "Mouse"}}, std::nullopt},
        {"Component", "hw", {{"productBundle", "Kit"}, {"childClassification", "HW"}}, std::nullopt},
        product_tag("lone", "Lone"),
        // The same record under the same tag and type: planned once.
        {"Product", "lone", {{"product", "Lone"}, {"colour", "red"}}, std::nullopt},
    };
    const auto result = run(channels, tags);
    ASSERT_TRUE(result.result.has_value());
    EXPECT_EQ(result.result->created, 5U);
    EXPECT_EQ(result.result->already_present, 1U);
    EXPECT_EQ(result.result->without_addressee, (Pairs{{"Component hw", "component Kit / HW"}}));
    EXPECT_EQ(result.result->skipped, (Pairs{}));
    EXPECT_EQ(result.channel.rest_calls, 6U);
    EXPECT_TRUE(result.channel.notes.empty());
    const auto composites = channels.calls_of("composite");
    ASSERT_EQ(composites.size(), 1U);
    EXPECT_EQ(composites[0].detail, "POST");
    EXPECT_EQ(composites[0].items,
              (std::vector<std::string>{tag_body("p1", "quote"), tag_body("g1", "g1", "Group"),
                                        tag_body("g3", "g2", "Group"), tag_body("r1", "mouse", "Component"),
                                        tag_body("p2", "lone")}));
}

TEST(TransferTags, AmbiguousAndRefusedRecords) {
    FakeRecordChannels channels;
    channels.answer_query_json("tgt", product_query("'A', 'B', 'C', 'Twin'"),
                               R"([{"Id":"t1","Name":"Twin"},{"Id":"t2","Name":"Twin"},{"Id":"a","Name":"A"},
                                   {"Id":"b","Name":"B"},{"Id":"c","Name":"C"}])");
    channels.answer_query_json("tgt", kExisting, "[]");
    channels.script_composite(std::vector<CompositeOutcome>{
        CompositeOutcome{{CompositeError{"DUPLICATE_VALUE", "dup", {}}, CompositeError{"OTHER", "hidden", {}}},
                         std::nullopt, false},
        CompositeOutcome{{}, std::nullopt, false},
        CompositeOutcome{{}, "x", true},
    });
    const auto result = run(channels, {product_tag("t", "Twin"), product_tag("a", "A"), product_tag("b", "B"),
                                       product_tag("c", "C")});
    ASSERT_TRUE(result.result.has_value());
    EXPECT_EQ(result.result->created, 1U);
    EXPECT_EQ(result.result->skipped, (Pairs{{"Product t", "ambiguous product Twin in the target"},
                                             {"Product a", "DUPLICATE_VALUE: dup"},
                                             {"Product b", "the target refused the record without naming a reason"}}));
    EXPECT_TRUE(result.channel.notes.empty());
}

std::vector<ModelTag> many_products(std::size_t count) {
    std::vector<ModelTag> tags;
    for (std::size_t i = 0; i < count; ++i) tags.push_back(product_tag("t", fmt::format("P{:03}", i)));
    return tags;
}

std::string quoted_names(std::size_t from, std::size_t to) {
    std::string list;
    for (std::size_t i = from; i < to; ++i) list += fmt::format("{}'P{:03}'", i == from ? "" : ", ", i);
    return list;
}

std::string product_rows(std::size_t from, std::size_t to) {
    std::string rows = "[";
    for (std::size_t i = from; i < to; ++i) rows += fmt::format("{}{{\"Id\":\"id{:03}\",\"Name\":\"P{:03}\"}}", i == from ? "" : ",", i, i);
    return rows + "]";
}

TEST(TransferTags, NamesAreQueriedInChunksOf200InByteOrder) {
    FakeRecordChannels channels;
    auto tags = many_products(201);
    std::reverse(tags.begin(), tags.end());
    channels.answer_query_json("tgt", product_query(quoted_names(0, 200)), "[]");
    channels.answer_query_json("tgt", product_query(quoted_names(200, 201)), "[]");
    channels.answer_query_json("tgt", kExisting, "[]");
    const auto result = run(channels, tags);
    ASSERT_TRUE(result.result.has_value());
    EXPECT_EQ(result.result->without_addressee.size(), 201U);
    EXPECT_EQ(result.result->without_addressee.front(), (std::pair<std::string, std::string>{"Product t", "product P200"}));
    EXPECT_EQ(result.channel.rest_calls, 3U);
    EXPECT_EQ(channels.calls(), (std::vector<Call>{{"query", "tgt", product_query(quoted_names(0, 200)), {}},
                                                   {"query", "tgt", product_query(quoted_names(200, 201)), {}},
                                                   {"query", "tgt", kExisting, {}}}));
}

TEST(TransferTags, FailedCreateChunkMakesItAndLaterChunksNotSent) {
    FakeRecordChannels channels;
    const auto tags = many_products(450);
    for (std::size_t start = 0; start < 450; start += 200) {
        const std::size_t end = std::min<std::size_t>(450, start + 200);
        channels.answer_query_json("tgt", product_query(quoted_names(start, end)), product_rows(start, end));
    }
    channels.answer_query_json("tgt", kExisting, "[]");
    channels.script_composite(std::vector<CompositeOutcome>(200, CompositeOutcome{{}, "n", true}));
    channels.script_composite(std::unexpected(ChannelError::failure("The request failed.")));
    const auto result = run(channels, tags);
    ASSERT_TRUE(result.result.has_value());
    EXPECT_EQ(result.result->created, 200U);
    EXPECT_EQ(result.result->skipped.size(), 250U);
    EXPECT_EQ(result.result->skipped.front(), (std::pair<std::string, std::string>{"Product t", "not sent"}));
    EXPECT_EQ(result.channel.notes, (std::vector<std::string>{"The request failed."}));
    // Three name queries, the existing tags, two creates: the third chunk is never sent.
    EXPECT_EQ(result.channel.rest_calls, 6U);
    const auto composites = channels.calls_of("composite");
    ASSERT_EQ(composites.size(), 2U);
    EXPECT_EQ(composites[0].items.size(), 200U);
    EXPECT_EQ(composites[1].items.front(), tag_body("id200", "t"));
}

TEST(TransferTags, FailedQueriesMakeAddressedTagsNotSent) {
    // The name query (position 0) or the existing-tags query (position 1) fails.
    for (const std::size_t position : {0U, 1U}) {
        SCOPED_TRACE(position);
        FakeRecordChannels channels;
        channels.answer_query_json("tgt", product_query("'A'"), R"([{"Id":"a","Name":"A"}])");
        channels.answer_query_json("tgt", kExisting, "[]");
        channels.fail_call(position, ChannelError::failure("No such column."));
        const auto result = run(channels, {product_tag("a", "A"), {"Product", "u", {}, "01tU"}});
        ASSERT_TRUE(result.result.has_value());
        EXPECT_EQ(result.result->skipped,
                  (Pairs{{"Product u", "unresolved in the source"}, {"Product a", "not sent"}}));
        EXPECT_EQ(result.channel.notes, (std::vector<std::string>{"No such column."}));
        EXPECT_EQ(result.channel.rest_calls, position + 1);
        EXPECT_EQ(channels.calls().size(), position + 1);
    }
}

TEST(TransferTags, CancellationAtEveryPollAndRequest) {
    // The token is polled before the name query, after the kinds and before the create, and by each
    // request of the fake as it runs: allowing k polls cancels at each of these six points in turn.
    const std::vector<std::size_t> counted{0, 1, 1, 2, 2, 3};
    for (std::size_t allowed = 0; allowed < counted.size(); ++allowed) {
        SCOPED_TRACE(fmt::format("poll {}", allowed));
        FakeRecordChannels channels;
        channels.answer_query_json("tgt", product_query("'A'"), R"([{"Id":"a","Name":"A"}])");
        channels.answer_query_json("tgt", kExisting, "[]");
        testing::CountdownToken token(allowed);
        const auto result = run(channels, {product_tag("a", "A")}, token);
        ASSERT_FALSE(result.result.has_value());
        EXPECT_EQ(result.result.error(), "The transfer was cancelled during the tags; CML and activation were not attempted.");
        // A cancelled poll sends and counts nothing more; a cancelled request was counted.
        EXPECT_EQ(result.channel.rest_calls, counted[allowed]);
    }
    for (std::size_t position = 0; position < 3; ++position) {
        SCOPED_TRACE(fmt::format("request {}", position));
        FakeRecordChannels channels;
        channels.answer_query_json("tgt", product_query("'A'"), R"([{"Id":"a","Name":"A"}])");
        channels.answer_query_json("tgt", kExisting, "[]");
        channels.fail_call(position, ChannelError::cancelled());
        const auto result = run(channels, {product_tag("a", "A")});
        ASSERT_FALSE(result.result.has_value());
        EXPECT_EQ(result.channel.rest_calls, position + 1);
    }
}

TEST(TransferTags, OutcomeCountOtherThanRecordsBreaksTheContract) {
    FakeRecordChannels channels;
    channels.answer_query_json("tgt", product_query("'A'"), R"([{"Id":"a","Name":"A"}])");
    channels.answer_query_json("tgt", kExisting, "[]");
    channels.script_composite(std::vector<CompositeOutcome>{});
    Channel channel;
    EXPECT_THROW((void)transfer_tags(channels, "tgt", "0ES", {product_tag("a", "A")}, channel, domain::NeverCancelled{}),
                 support::ProgrammingError);
}

}  // namespace
}  // namespace ambrel::data::bundles::model_transfer
