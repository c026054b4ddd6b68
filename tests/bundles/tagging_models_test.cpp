#include <gtest/gtest.h>

#include <fmt/format.h>

#include "data/bundles/synthesis/tagging_models.hpp"
#include "support/doubles.hpp"
#include "support/fake_record_channels.hpp"

namespace ambrel::data::bundles::synthesis {
namespace {

using testing::FakeRecordChannels;

const std::string kOrg = "org";

constexpr std::string_view kModels =
    "SELECT Id, Name, ApiName, ExpressionSetDefinition.NamespacePrefix FROM ExpressionSet "
    "WHERE UsageType = 'Constraint' ORDER BY ApiName";
constexpr std::string_view kProducts = "SELECT Id, Name FROM Product2 WHERE Type = 'Bundle' AND Name IN ({}) ORDER BY Id";
constexpr std::string_view kGroups = "SELECT Id, ParentProductId FROM ProductComponentGroup WHERE ParentProductId IN ({})";
constexpr std::string_view kComponents =
    "SELECT Id, ParentProductId, ChildProductId FROM ProductRelatedComponent WHERE ParentProductId IN ({})";
constexpr std::string_view kTags =
    "SELECT ExpressionSetId, ReferenceObjectId FROM ExpressionSetConstraintObj WHERE ReferenceObjectId IN ({})";

std::string in_list(const std::vector<std::string>& values) {
    std::string list;
    for (const auto& value : values) {
        if (!list.empty()) list += ", ";
        list += "'" + value + "'";
    }
    return list;
}

std::string q(std::string_view format, const std::vector<std::string>& values) {
    return fmt::format(fmt::runtime(format), in_list(values));
}

std::vector<std::string> requests(const FakeRecordChannels& channels) {
    std::vector<std::string> texts;
    for (const auto& call : channels.calls()) {
        EXPECT_EQ(call.org, kOrg);
        texts.push_back(call.operation + " " + call.detail);
    }
    return texts;
}

struct Listing {
    FakeRecordChannels channels;
    testing::TestToken token;

    Listing() { channels.add_describe(kOrg, testing::make_schema("ExpressionSet", {"ApiName"})); }
    void answer(std::string_view format, const std::vector<std::string>& values, std::string_view rows) {
        channels.answer_query_json(kOrg, q(format, values), rows);
    }
    void models(std::string_view rows) { channels.answer_query_json(kOrg, std::string(kModels), rows); }
    ChannelResult<TaggingModels> run(const std::set<std::string>& names) {
        return tagging_models_for_bundles(channels, kOrg, names, token);
    }
};

TEST(TaggingModels, NoNamesSendNothing) {
    Listing listing;
    const auto result = listing.run({});
    ASSERT_TRUE(result.has_value());
    EXPECT_TRUE(result->empty());
    EXPECT_TRUE(listing.channels.calls().empty());
}

TEST(TaggingModels, NoExpressionSetObjectEndsAfterTheDescribe) {
    FakeRecordChannels channels;
    testing::TestToken token;
    const auto result = tagging_models_for_bundles(channels, kOrg, {"Kit"}, token);
    ASSERT_TRUE(result.has_value());
    EXPECT_TRUE(result->empty());
    EXPECT_EQ(requests(channels), std::vector<std::string>{"describe ExpressionSet"});
}

TEST(TaggingModels, OnlyPackagedOrInvalidModelsQueryNoProduct) {
    Listing listing;
    listing.models(R"([{"Id":"ES1","ApiName":"Vendor","ExpressionSetDefinition":{"NamespacePrefix":"vend"}},
                       {"Id":"ES2","ApiName":"bad/name"},{"Id":"ES3","ApiName":" "},{"Id":["ES4"],"ApiName":"X"},
                       {"Id":"ES5","ApiName":42}])");
    const auto result = listing.run({"Kit"});
    ASSERT_TRUE(result.has_value());
    EXPECT_TRUE(result->empty());
    EXPECT_EQ(requests(listing.channels),
              (std::vector<std::string>{"describe ExpressionSet", "query " + std::string(kModels)}));
}

TEST(TaggingModels, InvalidNamesAreNeverQueried) {
    Listing listing;
    listing.models(R"([{"Id":"ES1","ApiName":"Rules"}])");
    const auto all_invalid = listing.run({" lead", "a/b", "back\\slash", "x..y", "ctrl\x01"});
    ASSERT_TRUE(all_invalid.has_value());
    EXPECT_TRUE(all_invalid->empty());
    EXPECT_EQ(listing.channels.calls().size(), 2U);

    Listing mixed;
    mixed.models(R"([{"Id":"ES1","ApiName":"Rules"}])");
    mixed.answer(kProducts, {"Kit"}, "[]");
    const auto result = mixed.run({" lead", "Kit", "a/b"});
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(requests(mixed.channels), (std::vector<std::string>{"describe ExpressionSet", "query " + std::string(kModels),
                                                                  "query " + q(kProducts, {"Kit"})}));
}

TEST(TaggingModels, HostileNamesAreQuoted) {
    Listing listing;
    listing.models(R"([{"Id":"ES1","ApiName":"Rules"}])");
    const std::string soql = "SELECT Id, Name FROM Product2 WHERE Type = 'Bundle' AND Name IN ('O\\'Hara', "
                             "'per 100%', 'say \"hi\"', 'Ærø') ORDER BY Id";
    listing.channels.answer_query(kOrg, soql, {});
    const auto result = listing.run({"O'Hara", "say \"hi\"", "per 100%", "Ærø"});
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(listing.channels.calls().back().detail, soql);
}

// The whole road: bundle products, their groups and components, the components' child products, and
// tags on each kind of record.
TEST(TaggingModels, ModelsTagBundlesThroughEveryKindOfRecord) {
    Listing listing;
    listing.models(R"([{"Id":"ES1","ApiName":"Group_Rules"},{"Id":"ES2","ApiName":"Child_Rules"},
                       {"Id":"ES3","ApiName":"Own_Rules","ExpressionSetDefinition":null},
                       {"Id":"ES4","ApiName":"Component_Rules"},{"Id":"ES5","ApiName":"Unused"}])");
    listing.answer(kProducts, {"Alpha", "Beta", "Missing"},
                   R"([{"Id":"P1","Name":" ALPHA "},{"Id":"P2","Name":"Beta"},{"Id":"P3","Name":"Beta"}])");
    listing.answer(kGroups, {"P1", "P2"}, R"([{"Id":"G1","ParentProductId":"P1"},{"Id":"G3","ParentProductId":"P3"},
                                              {"Id":"G9","ParentProductId":7}])");
    listing.answer(kComponents, {"P1", "P2"}, R"([{"Id":"R1","ParentProductId":"P1","ChildProductId":"X1"},
                                                  {"Id":"R2","ParentProductId":"P2","ChildProductId":"P1"},
                                                  {"Id":"R3","ParentProductId":"P2","ChildProductId":null}])");
    listing.answer(kTags, {"G1", "G3", "P1", "P2", "R1", "R2", "R3", "X1"},
                   R"([{"ExpressionSetId":"ES1","ReferenceObjectId":"G1"},
                       {"ExpressionSetId":"ES1","ReferenceObjectId":"G3"},
                       {"ExpressionSetId":"ES2","ReferenceObjectId":"X1"},
                       {"ExpressionSetId":"ES3","ReferenceObjectId":"P1"},
                       {"ExpressionSetId":"ES4","ReferenceObjectId":"R3"},
                       {"ExpressionSetId":"ES9","ReferenceObjectId":"P2"},
                       {"ExpressionSetId":"ES5","ReferenceObjectId":"NOPE"},
                       {"ExpressionSetId":true,"ReferenceObjectId":"P2"},
                       {"ReferenceObjectId":"P2"}])");
    const auto result = listing.run({"Alpha", "Beta", "Missing"});
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(requests(listing.channels),
              (std::vector<std::string>{"describe ExpressionSet", "query " + std::string(kModels),
                                        "query " + q(kProducts, {"Alpha", "Beta", "Missing"}),
                                        "query " + q(kGroups, {"P1", "P2"}), "query " + q(kComponents, {"P1", "P2"}),
                                        "query " + q(kTags, {"G1", "G3", "P1", "P2", "R1", "R2", "R3", "X1"})}));
    // Names as the org spells them. P1 is also a child of Beta, so tags on it count for both; the
    // second Beta product (P3) does not count, nor its group.
    EXPECT_EQ(*result, (TaggingModels{{"Child_Rules", {"ALPHA"}},
                                      {"Component_Rules", {"Beta"}},
                                      {"Group_Rules", {"ALPHA"}},
                                      {"Own_Rules", {"ALPHA", "Beta"}}}));
}

TEST(TaggingModels, FourHundredFiftyNamesGoInThreeProductQueries) {
    Listing listing;
    listing.models(R"([{"Id":"ES1","ApiName":"Rules"}])");
    std::set<std::string> names;
    for (int i = 0; i < 450; ++i) names.insert(fmt::format("B{:03}", i));
    const std::vector<std::string> all(names.begin(), names.end());
    const std::vector<std::vector<std::string>> chunks{
        {all.begin(), all.begin() + 200}, {all.begin() + 200, all.begin() + 400}, {all.begin() + 400, all.end()}};
    for (const auto& chunk : chunks) listing.answer(kProducts, chunk, "[]");
    const auto result = listing.run(names);
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(requests(listing.channels),
              (std::vector<std::string>{"describe ExpressionSet", "query " + std::string(kModels),
                                        "query " + q(kProducts, chunks[0]), "query " + q(kProducts, chunks[1]),
                                        "query " + q(kProducts, chunks[2])}));
}

// 201 bundle products: group and component queries alternate per chunk; 450 tagged-record ids: three
// tag queries.
TEST(TaggingModels, ChunksOfProductsAndOfReferencedIds) {
    Listing listing;
    listing.models(R"([{"Id":"ES1","ApiName":"Rules"}])");
    std::set<std::string> names;
    std::string products = "[";
    std::vector<std::string> product_ids;
    for (int i = 0; i < 201; ++i) {
        names.insert(fmt::format("B{:03}", i));
        product_ids.push_back(fmt::format("P{:03}", i));
        products += fmt::format(R"({}{{"Id":"P{:03}","Name":"B{:03}"}})", i == 0 ? "" : ",", i, i);
    }
    products += "]";
    const std::vector<std::string> all_names(names.begin(), names.end());
    listing.answer(kProducts, {all_names.begin(), all_names.begin() + 200}, products);
    listing.answer(kProducts, {all_names.begin() + 200, all_names.end()}, "[]");
    const std::vector<std::string> first(product_ids.begin(), product_ids.begin() + 200);
    const std::vector<std::string> second(product_ids.begin() + 200, product_ids.end());
    // The first product has 249 groups, so 450 ids are tagged records.
    std::string groups = "[";
    std::vector<std::string> ids = product_ids;
    for (int i = 0; i < 249; ++i) {
        ids.push_back(fmt::format("G{:03}", i));
        groups += fmt::format(R"({}{{"Id":"G{:03}","ParentProductId":"P000"}})", i == 0 ? "" : ",", i);
    }
    groups += "]";
    std::sort(ids.begin(), ids.end());
    ASSERT_EQ(ids.size(), 450U);
    listing.answer(kGroups, first, groups);
    listing.answer(kComponents, first, "[]");
    listing.answer(kGroups, second, "[]");
    listing.answer(kComponents, second, "[]");
    const std::vector<std::vector<std::string>> tag_chunks{
        {ids.begin(), ids.begin() + 200}, {ids.begin() + 200, ids.begin() + 400}, {ids.begin() + 400, ids.end()}};
    listing.answer(kTags, tag_chunks[0], R"([{"ExpressionSetId":"ES1","ReferenceObjectId":"G248"}])");
    listing.answer(kTags, tag_chunks[1], "[]");
    listing.answer(kTags, tag_chunks[2], "[]");
    const auto result = listing.run(names);
    ASSERT_TRUE(result.has_value());
    const auto sent = requests(listing.channels);
    ASSERT_EQ(sent.size(), 11U);
    EXPECT_EQ(sent[4], "query " + q(kGroups, first));
    EXPECT_EQ(sent[5], "query " + q(kComponents, first));
    EXPECT_EQ(sent[6], "query " + q(kGroups, second));
    EXPECT_EQ(sent[7], "query " + q(kComponents, second));
    for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(sent[8 + i], "query " + q(kTags, tag_chunks[i]));
    EXPECT_EQ(*result, (TaggingModels{{"Rules", {"B000"}}}));
}

TEST(TaggingModels, TheFirstFailingRequestEndsTheCall) {
    const ChannelError errors[] = {ChannelError::failure("No such org."), ChannelError::failure(""),
                                   ChannelError::cancelled()};
    for (const auto& error : errors) {
        for (std::size_t position = 0; position < 6; ++position) {
            SCOPED_TRACE(fmt::format("{} at {}", error.message.value_or("cancelled"), position));
            Listing listing;
            listing.models(R"([{"Id":"ES1","ApiName":"Rules"}])");
            listing.answer(kProducts, {"Kit"}, R"([{"Id":"P1","Name":"Kit"}])");
            listing.answer(kGroups, {"P1"}, "[]");
            listing.answer(kComponents, {"P1"}, "[]");
            listing.answer(kTags, {"P1"}, R"([{"ExpressionSetId":"ES1","ReferenceObjectId":"P1"}])");
            listing.channels.fail_call(position, error);
            const auto result = listing.run({"Kit"});
            ASSERT_FALSE(result.has_value());
            EXPECT_EQ(result.error(), error);
            EXPECT_EQ(listing.channels.calls().size(), position + 1);
        }
    }
}

TEST(TaggingModels, ACancelledTokenFailsTheDescribe) {
    Listing listing;
    listing.token.cancel();
    const auto result = listing.run({"Kit"});
    ASSERT_FALSE(result.has_value());
    EXPECT_TRUE(result.error().is_cancelled());
    EXPECT_EQ(listing.channels.calls().size(), 1U);
}

}  // namespace
}  // namespace ambrel::data::bundles::synthesis
