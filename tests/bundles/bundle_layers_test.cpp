#include <gtest/gtest.h>

#include <fmt/format.h>

#include "data/bundles/synthesis/bundle_layers.hpp"
#include "support/doubles.hpp"
#include "support/fake_record_channels.hpp"

namespace ambrel::data::bundles::synthesis {
namespace {

using testing::FakeRecordChannels;

const std::string kOrg = "src";
const std::string kLabel = "Source org";

// The query texts without field plans: "Id", then the fixed extra columns.
constexpr std::string_view kBundlesQ =
    "SELECT Id, BasedOn.Code FROM Product2 WHERE Type = 'Bundle' AND Name IN ({}) ORDER BY Id";
constexpr std::string_view kGroupsQ =
    "SELECT Id, ParentProduct.Name, ParentGroup.Name, ParentProductId FROM ProductComponentGroup "
    "WHERE ParentProductId IN ({})";
constexpr std::string_view kComponentsQ =
    "SELECT Id, ParentProduct.Name, ParentProductId, ChildProductId, ChildProduct.Name, ChildProduct.Type, "
    "ChildProductClassification.Code, ProductComponentGroup.Name, ProductRelationshipType.Name, "
    "ParentSellingModel.Name, ChildSellingModel.Name FROM ProductRelatedComponent WHERE ParentProductId IN ({})";
constexpr std::string_view kChildrenQ = "SELECT Id, BasedOn.Code FROM Product2 WHERE Id IN ({})";
constexpr std::string_view kOptionsQ =
    "SELECT Id, Product2.Name, ProductSellingModel.Name, Product2Id FROM ProductSellingModelOption "
    "WHERE Product2Id IN ({})";
constexpr std::string_view kEntriesQ =
    "SELECT Id, Product2.Name, Pricebook2.Name, Pricebook2.IsStandard, ProductSellingModel.Name, Product2Id "
    "FROM PricebookEntry WHERE Product2Id IN ({})";
constexpr std::string_view kTagsQ =
    "SELECT Id, ConstraintModelTag, ConstraintModelTagType, ReferenceObjectId, ExpressionSetId "
    "FROM ExpressionSetConstraintObj WHERE ReferenceObjectId IN ({})";

// Plain values in single quotes, joined as the IN lists are (no value here needs escaping).
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

std::vector<std::string> queries(const FakeRecordChannels& channels) {
    std::vector<std::string> texts;
    for (const auto& call : channels.calls()) texts.push_back(call.operation + " " + call.detail);
    return texts;
}

std::string id_of(const json::Object& record) { return std::string(json::get_string(record, "Id").value_or("")); }

std::vector<std::string> ids_of(const std::vector<json::Object>& records) {
    std::vector<std::string> ids;
    for (const auto& record : records) ids.push_back(id_of(record));
    return ids;
}

struct Read {
    FakeRecordChannels channels;
    testing::TestToken token;
    std::map<std::string, std::string> models{{"ES1", "Model"}};
    std::vector<json::Object> classifications;

    ChannelResult<SideBundleReads> run(const std::set<std::string>& names) {
        return read_bundle_layers_for_side(channels, kOrg, kLabel, names, {}, classifications, models, token);
    }
    void answer(std::string_view format, const std::vector<std::string>& values, std::string_view rows) {
        channels.answer_query_json(kOrg, q(format, values), rows);
    }
};

TEST(BundleLayers, NoNamesSendNothing) {
    Read read;
    const auto result = read.run({});
    ASSERT_TRUE(result.has_value());
    EXPECT_TRUE(result->layers.empty());
    EXPECT_TRUE(result->ambiguity_messages.empty());
    EXPECT_TRUE(read.channels.calls().empty());
}

TEST(BundleLayers, NoBundleFoundSendsOnlyTheBundleQuery) {
    Read read;
    read.answer(kBundlesQ, {"Kit"}, "[]");
    const auto result = read.run({"Kit"});
    ASSERT_TRUE(result.has_value());
    EXPECT_TRUE(result->layers.empty());
    EXPECT_EQ(queries(read.channels), std::vector<std::string>{"query " + q(kBundlesQ, {"Kit"})});
}

// The whole road of one bundle: groups and components by parent, child products, pricing, tags.
TEST(BundleLayers, ReadsEveryLayerInOrderAndAttachesRows) {
    Read read;
    read.classifications = {testing::json_object(R"({"Id":"C1","Code":"CL"})")};
    read.answer(kBundlesQ, {"Kit"}, R"([{"Id":"P1","Name":" Kit "}])");
    read.answer(kGroupsQ, {"P1"}, R"([{"Id":"G1","Name":"Main","ParentProductId":"P1"},
                                      {"Id":"G2","Name":"Other","ParentProductId":"PX"}])");
    read.answer(kComponentsQ, {"P1"}, R"([{"Id":"R1","ParentProductId":"P1","ChildProductId":"X1"},
                                          {"Id":"R2","ParentProductId":"P1","ChildProductId":"X1"},
                                          {"Id":"R3","ParentProductId":"P1"}])");
    read.answer(kChildrenQ, {"X1"}, R"([{"Id":"X1","Name":"Mouse"}])");
    read.answer(kOptionsQ, {"P1", "X1"}, R"([{"Id":"O1","Product2Id":"X1"},{"Id":"O2","Product2Id":"ZZ"}])");
    read.answer(kEntriesQ, {"P1", "X1"}, R"([{"Id":"E1","Product2Id":"P1"},{"Id":"E2","Product2Id":"X1"}])");
    read.answer(kTagsQ, {"G1", "P1", "R1", "R2", "R3", "X1"},
                R"([{"Id":"T1","ReferenceObjectId":"R3","ExpressionSetId":"ES1"},
                    {"Id":"T2","ReferenceObjectId":"E1","ExpressionSetId":"ES1"}])");
    const auto result = read.run({"Kit"});
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(queries(read.channels),
              (std::vector<std::string>{"query " + q(kBundlesQ, {"Kit"}), "query " + q(kGroupsQ, {"P1"}),
                                        "query " + q(kComponentsQ, {"P1"}), "query " + q(kChildrenQ, {"X1"}),
                                        "query " + q(kOptionsQ, {"P1", "X1"}), "query " + q(kEntriesQ, {"P1", "X1"}),
                                        "query " + q(kTagsQ, {"G1", "P1", "R1", "R2", "R3", "X1"})}));
    ASSERT_EQ(result->layers.size(), 1U);
    const auto& layers = result->layers.at("Kit");
    ASSERT_TRUE(layers.bundle.has_value());
    EXPECT_EQ(id_of(*layers.bundle), "P1");
    EXPECT_EQ(ids_of(layers.classifications), std::vector<std::string>{"C1"});
    EXPECT_EQ(ids_of(layers.groups), std::vector<std::string>{"G1"});
    EXPECT_EQ(ids_of(layers.components), (std::vector<std::string>{"R1", "R2", "R3"}));
    // The child named twice is read once and appears once.
    EXPECT_EQ(ids_of(layers.child_products), std::vector<std::string>{"X1"});
    EXPECT_EQ(ids_of(layers.selling_model_options), std::vector<std::string>{"O1"});
    EXPECT_EQ(ids_of(layers.price_book_entries), (std::vector<std::string>{"E1", "E2"}));
    // Price book entries never join the index, so a tag on one is not read into the bundle.
    EXPECT_EQ(ids_of(layers.constraint_objects), std::vector<std::string>{"T1"});
    EXPECT_EQ(layers.expression_set_names, read.models);
    EXPECT_TRUE(result->ambiguity_messages.empty());
}

TEST(BundleLayers, TheSharedVariantLeavesClassificationsToTheCaller) {
    FakeRecordChannels channels;
    testing::TestToken token;
    channels.answer_query_json(kOrg, q(kBundlesQ, {"Kit"}), R"([{"Id":"P1","Name":"Kit"}])");
    channels.answer_query_json(kOrg, q(kGroupsQ, {"P1"}), "[]");
    channels.answer_query_json(kOrg, q(kComponentsQ, {"P1"}), "[]");
    channels.answer_query_json(kOrg, q(kOptionsQ, {"P1"}), "[]");
    channels.answer_query_json(kOrg, q(kEntriesQ, {"P1"}), "[]");
    const auto result = read_bundle_layers_without_classifications(channels, kOrg, kLabel, {"Kit"}, {}, {}, token);
    ASSERT_TRUE(result.has_value());
    ASSERT_TRUE(result->layers.contains("Kit"));
    EXPECT_TRUE(result->layers.at("Kit").classifications.empty());
    // No model names: no tag query.
    EXPECT_EQ(channels.calls().size(), 5U);
}

TEST(BundleLayers, NoComponentsMeansNoChildQueryButBundlePricingIsRead) {
    Read read;
    read.models.clear();
    read.answer(kBundlesQ, {"Kit"}, R"([{"Id":"P1","Name":"Kit"}])");
    read.answer(kGroupsQ, {"P1"}, "[]");
    read.answer(kComponentsQ, {"P1"}, "[]");
    read.answer(kOptionsQ, {"P1"}, R"([{"Id":"O1","Product2Id":"P1"}])");
    read.answer(kEntriesQ, {"P1"}, R"([{"Id":"E1","Product2Id":" P1 "}])");
    const auto result = read.run({"Kit"});
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(queries(read.channels),
              (std::vector<std::string>{"query " + q(kBundlesQ, {"Kit"}), "query " + q(kGroupsQ, {"P1"}),
                                        "query " + q(kComponentsQ, {"P1"}), "query " + q(kOptionsQ, {"P1"}),
                                        "query " + q(kEntriesQ, {"P1"})}));
    const auto& layers = result->layers.at("Kit");
    EXPECT_TRUE(layers.child_products.empty());
    EXPECT_EQ(ids_of(layers.selling_model_options), std::vector<std::string>{"O1"});
    EXPECT_EQ(ids_of(layers.price_book_entries), std::vector<std::string>{"E1"});
    EXPECT_TRUE(layers.constraint_objects.empty());
    EXPECT_TRUE(layers.expression_set_names.empty());
}

// A child shared by A and B lands in both; B is also a child of A, so B's own rows belong to A too.
TEST(BundleLayers, SharedChildAndNestedBundleAreCopiedIntoEveryOwner) {
    Read read;
    read.answer(kBundlesQ, {"A", "B"}, R"([{"Id":"PA","Name":"A"},{"Id":"PB","Name":"B"}])");
    read.answer(kGroupsQ, {"PA", "PB"}, R"([{"Id":"GB","ParentProductId":"PB"}])");
    read.answer(kComponentsQ, {"PA", "PB"}, R"([{"Id":"RA1","ParentProductId":"PA","ChildProductId":"X"},
                                                {"Id":"RA2","ParentProductId":"PA","ChildProductId":"PB"},
                                                {"Id":"RB1","ParentProductId":"PB","ChildProductId":"X"},
                                                {"Id":"RB2","ParentProductId":"PB","ChildProductId":"Y"}])");
    read.answer(kChildrenQ, {"PB", "X", "Y"}, R"([{"Id":"X","Name":"Shared"},{"Id":"PB","Name":"B"}])");
    read.answer(kOptionsQ, {"PA", "PB", "X", "Y"},
                R"([{"Id":"OX","Product2Id":"X"},{"Id":"OY","Product2Id":"Y"},{"Id":"OB","Product2Id":"PB"}])");
    read.answer(kEntriesQ, {"PA", "PB", "X", "Y"}, "[]");
    read.answer(kTagsQ, {"GB", "PA", "PB", "RA1", "RA2", "RB1", "RB2", "X", "Y"},
                R"([{"Id":"T1","ReferenceObjectId":"X"},{"Id":"T2","ReferenceObjectId":"GB"}])");
    const auto result = read.run({"A", "B"});
    ASSERT_TRUE(result.has_value());
    const auto& a = result->layers.at("A");
    const auto& b = result->layers.at("B");
    EXPECT_EQ(ids_of(a.components), (std::vector<std::string>{"RA1", "RA2"}));
    EXPECT_EQ(ids_of(b.components), (std::vector<std::string>{"RB1", "RB2"}));
    EXPECT_TRUE(a.groups.empty());
    EXPECT_EQ(ids_of(b.groups), std::vector<std::string>{"GB"});
    // In the order of each bundle's own child list; Y has no Product2 row.
    EXPECT_EQ(ids_of(a.child_products), (std::vector<std::string>{"X", "PB"}));
    EXPECT_EQ(ids_of(b.child_products), std::vector<std::string>{"X"});
    EXPECT_EQ(ids_of(a.selling_model_options), (std::vector<std::string>{"OX", "OB"}));
    EXPECT_EQ(ids_of(b.selling_model_options), (std::vector<std::string>{"OX", "OY", "OB"}));
    EXPECT_EQ(ids_of(a.constraint_objects), std::vector<std::string>{"T1"});
    EXPECT_EQ(ids_of(b.constraint_objects), (std::vector<std::string>{"T1", "T2"}));
}

TEST(BundleLayers, SameNameTwiceIsAmbiguousAndReadFromTheFirstRow) {
    Read read;
    read.models.clear();
    read.answer(kBundlesQ, {"Kit"}, R"([{"Id":"P1","Name":"Kit"},{"Id":"P2","Name":"Kit "}])");
    read.answer(kGroupsQ, {"P1"}, "[]");
    read.answer(kComponentsQ, {"P1"}, "[]");
    read.answer(kOptionsQ, {"P1"}, "[]");
    read.answer(kEntriesQ, {"P1"}, "[]");
    const auto result = read.run({"Kit"});
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(result->ambiguity_messages,
              (std::map<std::string, std::string>{{"Kit", "Ambiguous product bundle name: Kit (2 records in Source org)."}}));
    EXPECT_EQ(id_of(*result->layers.at("Kit").bundle), "P1");
}

TEST(BundleLayers, RowsAreKeyedByTheNameTheOrgReturned) {
    Read read;
    read.models.clear();
    // Blank, numeric and missing names are dropped; the other letter case stays as returned.
    read.answer(kBundlesQ, {"kit"}, R"([{"Id":"P0","Name":"  "},{"Id":"P9","Name":7},{"Id":"P8"},
                                         {"Id":"P1","Name":" KIT\t"}])");
    read.answer(kGroupsQ, {"P1"}, "[]");
    read.answer(kComponentsQ, {"P1"}, "[]");
    read.answer(kOptionsQ, {"P1"}, "[]");
    read.answer(kEntriesQ, {"P1"}, "[]");
    const auto result = read.run({"kit"});
    ASSERT_TRUE(result.has_value());
    ASSERT_EQ(result->layers.size(), 1U);
    EXPECT_TRUE(result->layers.contains("KIT"));
    EXPECT_TRUE(result->ambiguity_messages.empty());
}

// 201 names go in two queries of 200 and 1, ascending. "ALPHA" and "Alpha" land in different chunks
// and both match the one product "Alpha": the row of the second chunk is the same record and must not
// make the name ambiguous.
TEST(BundleLayers, TwoHundredAndOneNamesAndTheSameRecordInTwoChunks) {
    Read read;
    read.models.clear();
    std::set<std::string> names{"ALPHA", "Alpha"};
    for (int i = 0; i < 199; ++i) names.insert(fmt::format("AM{:03}", i));
    std::vector<std::string> first(names.begin(), std::next(names.begin(), 200));
    ASSERT_EQ(first.front(), "ALPHA");
    read.answer(kBundlesQ, first, R"([{"Id":"P1","Name":"Alpha"}])");
    read.answer(kBundlesQ, {"Alpha"}, R"([{"Id":"P1","Name":"Alpha"}])");
    read.answer(kGroupsQ, {"P1"}, "[]");
    read.answer(kComponentsQ, {"P1"}, "[]");
    read.answer(kOptionsQ, {"P1"}, "[]");
    read.answer(kEntriesQ, {"P1"}, "[]");
    const auto result = read.run(names);
    ASSERT_TRUE(result.has_value());
    ASSERT_GE(read.channels.calls().size(), 2U);
    EXPECT_EQ(read.channels.calls()[0].detail, q(kBundlesQ, first));
    EXPECT_EQ(read.channels.calls()[1].detail, q(kBundlesQ, {"Alpha"}));
    EXPECT_TRUE(result->ambiguity_messages.empty());
    EXPECT_EQ(result->layers.size(), 1U);
}

TEST(BundleLayers, HostileNamesReachTheQueryOnlyQuoted) {
    Read read;
    const std::set<std::string> names{"O'Hara", "back\\slash", "say \"hi\" 100%", "line\nbreak", "Ünïcødé"};
    const std::string soql =
        "SELECT Id, BasedOn.Code FROM Product2 WHERE Type = 'Bundle' AND Name IN ('O\\'Hara', 'back\\\\slash', "
        "'line\nbreak', 'say \"hi\" 100%', 'Ünïcødé') ORDER BY Id";
    read.channels.answer_query_json(kOrg, soql, "[]");
    const auto result = read.run(names);
    ASSERT_TRUE(result.has_value());
    ASSERT_EQ(read.channels.calls().size(), 1U);
    EXPECT_EQ(read.channels.calls()[0].detail, soql);
}

// 450 pricing ids: both pricing queries per chunk, chunk after chunk.
TEST(BundleLayers, FourHundredFiftyPricingIdsAlternateByChunk) {
    Read read;
    read.models.clear();
    read.answer(kBundlesQ, {"Kit"}, R"([{"Id":"P000","Name":"Kit"}])");
    read.answer(kGroupsQ, {"P000"}, "[]");
    std::vector<std::string> ids{"P000"};
    std::string components = "[";
    for (int i = 1; i < 450; ++i) {
        ids.push_back(fmt::format("X{:03}", i));
        components += fmt::format(R"({}{{"Id":"R{:03}","ParentProductId":"P000","ChildProductId":"X{:03}"}})",
                                  i == 1 ? "" : ",", i, i);
    }
    components += "]";
    read.answer(kComponentsQ, {"P000"}, components);
    const std::vector<std::string> children(ids.begin() + 1, ids.end());
    const std::vector<std::vector<std::string>> child_chunks{{children.begin(), children.begin() + 200},
                                                             {children.begin() + 200, children.begin() + 400},
                                                             {children.begin() + 400, children.end()}};
    for (const auto& chunk : child_chunks) read.answer(kChildrenQ, chunk, "[]");
    const std::vector<std::vector<std::string>> chunks{
        {ids.begin(), ids.begin() + 200}, {ids.begin() + 200, ids.begin() + 400}, {ids.begin() + 400, ids.end()}};
    for (const auto& chunk : chunks) {
        read.answer(kOptionsQ, chunk, "[]");
        read.answer(kEntriesQ, chunk, "[]");
    }
    const auto result = read.run({"Kit"});
    ASSERT_TRUE(result.has_value());
    std::vector<std::string> expected{"query " + q(kBundlesQ, {"Kit"}), "query " + q(kGroupsQ, {"P000"}),
                                      "query " + q(kComponentsQ, {"P000"})};
    for (const auto& chunk : child_chunks) expected.push_back("query " + q(kChildrenQ, chunk));
    for (const auto& chunk : chunks) {
        expected.push_back("query " + q(kOptionsQ, chunk));
        expected.push_back("query " + q(kEntriesQ, chunk));
    }
    EXPECT_EQ(queries(read.channels), expected);
    EXPECT_EQ(chunks[2].size(), 50U);
}

// 450 owned ids: tags are read in chunks of 200, 200 and 50 ids.
TEST(BundleLayers, FourHundredFiftyReferencedIdsReadTagsInThreeChunks) {
    Read read;
    read.answer(kBundlesQ, {"Kit"}, R"([{"Id":"P000","Name":"Kit"}])");
    std::string groups = "[";
    std::vector<std::string> owned{"P000"};
    for (int i = 1; i < 450; ++i) {
        owned.push_back(fmt::format("G{:03}", i));
        groups += fmt::format(R"({}{{"Id":"G{:03}","ParentProductId":"P000"}})", i == 1 ? "" : ",", i);
    }
    groups += "]";
    std::sort(owned.begin(), owned.end());
    read.answer(kGroupsQ, {"P000"}, groups);
    read.answer(kComponentsQ, {"P000"}, "[]");
    read.answer(kOptionsQ, {"P000"}, "[]");
    read.answer(kEntriesQ, {"P000"}, "[]");
    const std::vector<std::vector<std::string>> chunks{
        {owned.begin(), owned.begin() + 200}, {owned.begin() + 200, owned.begin() + 400}, {owned.begin() + 400, owned.end()}};
    read.answer(kTagsQ, chunks[0], R"([{"Id":"T1","ReferenceObjectId":"G001"}])");
    read.answer(kTagsQ, chunks[1], "[]");
    read.answer(kTagsQ, chunks[2], R"([{"Id":"T2","ReferenceObjectId":"P000"}])");
    const auto result = read.run({"Kit"});
    ASSERT_TRUE(result.has_value());
    const auto calls = queries(read.channels);
    ASSERT_EQ(calls.size(), 8U);
    for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(calls[5 + i], "query " + q(kTagsQ, chunks[i]));
    EXPECT_EQ(ids_of(result->layers.at("Kit").constraint_objects), (std::vector<std::string>{"T1", "T2"}));
}

TEST(BundleLayers, AFailingQueryEndsTheReadWithItsError) {
    struct Case {
        std::string name;
        synthesis::ChannelError error;
    };
    const Case cases[] = {{"message", ChannelError::failure("The org refused the query.")},
                          {"empty message", ChannelError::failure("")},
                          {"cancelled", ChannelError::cancelled()}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Read read;
        read.models.clear();
        std::vector<std::string> ids{"P000"};
        std::string components = "[";
        for (int i = 1; i < 250; ++i) {
            ids.push_back(fmt::format("X{:03}", i));
            components += fmt::format(R"({}{{"Id":"R{:03}","ParentProductId":"P000","ChildProductId":"X{:03}"}})",
                                      i == 1 ? "" : ",", i, i);
        }
        components += "]";
        read.answer(kBundlesQ, {"Kit"}, R"([{"Id":"P000","Name":"Kit"}])");
        read.answer(kGroupsQ, {"P000"}, "[]");
        read.answer(kComponentsQ, {"P000"}, components);
        read.answer(kChildrenQ, {ids.begin() + 1, ids.begin() + 201}, "[]");
        read.answer(kChildrenQ, {ids.begin() + 201, ids.end()}, "[]");
        read.answer(kOptionsQ, {ids.begin(), ids.begin() + 200}, "[]");
        read.answer(kEntriesQ, {ids.begin(), ids.begin() + 200}, "[]");
        read.answer(kOptionsQ, {ids.begin() + 200, ids.end()}, "[]");
        // Calls: bundles, groups, components, two child chunks, then options/entries twice; the
        // price book entries of the second chunk fail.
        read.channels.fail_call(8, c.error);
        const auto result = read.run({"Kit"});
        ASSERT_FALSE(result.has_value());
        EXPECT_EQ(result.error(), c.error);
        EXPECT_EQ(read.channels.calls().size(), 9U);
        EXPECT_EQ(read.channels.calls()[8].detail, q(kEntriesQ, {ids.begin() + 200, ids.end()}));
    }
}

TEST(BundleLayers, CancelledTokenFailsTheFirstQuery) {
    Read read;
    read.token.cancel();
    const auto result = read.run({"Kit"});
    ASSERT_FALSE(result.has_value());
    EXPECT_TRUE(result.error().is_cancelled());
    EXPECT_EQ(read.channels.calls().size(), 1U);
}

// Members of the wrong JSON type never attach a row and never crash.
TEST(BundleLayers, WrongJsonTypesAreSkipped) {
    Read read;
    read.answer(kBundlesQ, {"Kit"}, R"([{"Id":["P1"],"Name":"Kit"},{"Id":"P2","Name":{"x":1}},{"Id":"P3","Name":"Kit"}])");
    const auto result = read.run({"Kit"});
    ASSERT_TRUE(result.has_value());
    // Two rows carry the name; the first one, whose Id is not text, is the one read, and without an
    // Id nothing can be owned through it, so no further query is sent.
    EXPECT_EQ(result->ambiguity_messages.at("Kit"), "Ambiguous product bundle name: Kit (2 records in Source org).");
    ASSERT_TRUE(result->layers.contains("Kit"));
    EXPECT_TRUE(json::get_array(*result->layers.at("Kit").bundle, "Id") != nullptr);
    EXPECT_EQ(read.channels.calls().size(), 1U);
}

TEST(BundleLayers, RowsWithWrongTypesInLaterLayersAreDropped) {
    Read read;
    read.answer(kBundlesQ, {"Kit"}, R"([{"Id":"P1","Name":"Kit"}])");
    read.answer(kGroupsQ, {"P1"}, R"([{"Id":"G1","ParentProductId":7},{"Id":"G2","ParentProductId":null},
                                      {"Id":true,"ParentProductId":"P1"}])");
    read.answer(kComponentsQ, {"P1"}, R"([{"Id":"R1","ParentProductId":"P1","ChildProductId":["X"]},
                                          {"Id":"R2","ParentProductId":"P1","ChildProductId":"  "}])");
    read.answer(kOptionsQ, {"P1"}, R"([{"Id":"O1","Product2Id":{"Id":"P1"}}])");
    read.answer(kEntriesQ, {"P1"}, R"([{"Id":"E1"}])");
    read.answer(kTagsQ, {"P1", "R1", "R2"}, R"([{"Id":"T1","ReferenceObjectId":1},{"Id":"T2","ReferenceObjectId":"R2"}])");
    const auto result = read.run({"Kit"});
    ASSERT_TRUE(result.has_value());
    const auto& layers = result->layers.at("Kit");
    // The group without a text Id is still attached; its tags cannot be found.
    ASSERT_EQ(layers.groups.size(), 1U);
    EXPECT_EQ(ids_of(layers.components), (std::vector<std::string>{"R1", "R2"}));
    EXPECT_TRUE(layers.child_products.empty());
    EXPECT_TRUE(layers.selling_model_options.empty());
    EXPECT_TRUE(layers.price_book_entries.empty());
    EXPECT_EQ(ids_of(layers.constraint_objects), std::vector<std::string>{"T2"});
}

// A bundle that names its own product as a child owns that product once, not twice.
TEST(BundleLayers, ABundleThatIsItsOwnChildGetsItsRowsOnce) {
    Read read;
    read.models.clear();
    read.answer(kBundlesQ, {"Kit"}, R"([{"Id":"P1","Name":"Kit"}])");
    read.answer(kGroupsQ, {"P1"}, "[]");
    read.answer(kComponentsQ, {"P1"}, R"([{"Id":"R1","ParentProductId":"P1","ChildProductId":"P1"}])");
    read.answer(kChildrenQ, {"P1"}, R"([{"Id":"P1","Name":"Kit"}])");
    read.answer(kOptionsQ, {"P1"}, R"([{"Id":"O1","Product2Id":"P1"}])");
    read.answer(kEntriesQ, {"P1"}, R"([{"Id":"E1","Product2Id":"P1"}])");
    const auto result = read.run({"Kit"});
    ASSERT_TRUE(result.has_value());
    const auto& layers = result->layers.at("Kit");
    EXPECT_EQ(ids_of(layers.selling_model_options), std::vector<std::string>{"O1"});
    EXPECT_EQ(ids_of(layers.price_book_entries), std::vector<std::string>{"E1"});
}

}  // namespace
}  // namespace ambrel::data::bundles::synthesis
