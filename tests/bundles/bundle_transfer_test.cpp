#include <gtest/gtest.h>

#include <fmt/format.h>

#include "data/bundles/document/bundle_document.hpp"
#include "data/bundles/transfer/bundle_transfer.hpp"
#include "support/doubles.hpp"
#include "support/fake_record_channels.hpp"

namespace ambrel::data::bundles::transfer {
namespace {

using document::BundleDocument;
using synthesis::ChannelError;
using synthesis::CompositeError;
using synthesis::CompositeOutcome;
using testing::FakeRecordChannels;
using testing::json_object;
using testing::make_schema;

const std::string kOwn = "QuillaryExternalId__c";
const std::string kNoKeys =
    "keys not stamped: QuillaryExternalId__c is absent on ProductClassification, Product2, ProductComponentGroup, "
    "ProductRelatedComponent, PricebookEntry";

std::string quoted(const std::vector<std::string>& values, std::size_t from, std::size_t to) {
    std::string text;
    for (std::size_t i = from; i < to; ++i) {
        text += fmt::format("{}'{}'", i == from ? "" : ", ", values[i]);
    }
    return text;
}

// An 18-character Id whose reversal is easy to read in a test.
std::string source_id(const std::string& tail) { return fmt::format("01t{:0>15}", tail); }
std::string reversed(std::string id) { return {id.rbegin(), id.rend()}; }

struct World {
    FakeRecordChannels channels;
    testing::TestToken token;
    std::vector<std::string> progress;
    app::ports::RecordDeployRequest request{"src", "tgt", "Source", "Target", {}, "66.0"};

    World() {
        for (const auto layer : kLayers) {
            const std::string object(layer_object(layer));
            describe(object, {"Name"});
        }
        channels.answer_query("tgt", "SELECT Id, Name FROM ProductRelationshipType", {});
        channels.answer_query("tgt", "SELECT Id, Name FROM ProductSellingModel", {});
        channels.answer_query_json("tgt", "SELECT Id, Name, IsStandard FROM Pricebook2",
                                   R"([{"Id":"STD1","Name":"Standard","IsStandard":true}])");
    }

    void describe(const std::string& object, const std::vector<std::string>& fields) {
        channels.add_describe("src", make_schema(object, fields));
        channels.add_describe("tgt", make_schema(object, fields));
    }

    synthesis::ChannelResult<std::vector<RowOutcome>> run() {
        return transfer_bundles(channels, request, [this](std::string_view label) { progress.emplace_back(label); },
                                token);
    }

    // The token reads of the transfer itself: the fake reads it once per call it logs.
    int transfer_polls() const { return token.polls() - static_cast<int>(channels.calls().size()); }

    std::vector<std::string> composite_calls() const {
        std::vector<std::string> texts;
        for (const auto& call : channels.calls_of("composite")) {
            std::string text = call.detail;
            for (const auto& item : call.items) {
                text += " " + item;
            }
            texts.push_back(text);
        }
        return texts;
    }
};

TEST(TransferBundles, DocumentsThatDoNotParseReadNoOrg) {
    World world;
    world.request.documents = {{"A", "<nope"}, {"B", ""}};
    const auto rows = world.run();
    ASSERT_TRUE(rows.has_value());
    ASSERT_EQ(rows->size(), 2U);
    EXPECT_EQ((*rows)[0].name, "A");
    EXPECT_TRUE((*rows)[0].message.starts_with("The bundle document could not be read: "));
    EXPECT_TRUE((*rows)[0].message.ends_with("."));
    EXPECT_FALSE((*rows)[0].success);
    EXPECT_EQ((*rows)[1].name, "B");
    EXPECT_TRUE(world.channels.calls().empty());
    EXPECT_TRUE(world.progress.empty());
}

// A bundle "B" with `children` plain child products, all new to the target.
struct ManyProducts {
    World world;
    std::vector<std::string> names;

    explicit ManyProducts(std::size_t children) {
        BundleDocument doc;
        doc.product = {{"Name", "B"}};
        names.push_back("B");
        for (std::size_t i = 0; i < children; ++i) {
            names.push_back(fmt::format("C{:03}", i));
            doc.child_products.push_back({names.back(), std::nullopt, {{"Name", names.back()}}, false});
        }
        world.request.documents = {{"B", document::write_bundle_document(doc)}};
        std::string source_rows = "[";
        for (std::size_t i = 0; i < names.size(); ++i) {
            source_rows += fmt::format(R"({}{{"attributes":{{"type":"Product2"}},"Id":"S{}","Name":"{}"}})",
                                       i == 0 ? "" : ",", i, names[i]);
        }
        source_rows += "]";
        for (std::size_t start = 0; start < names.size(); start += 200) {
            const auto end = std::min(names.size(), start + 200);
            const auto soql = "SELECT Id, Name FROM Product2 WHERE Name IN (" + quoted(names, start, end) + ")";
            // Every chunk's answer may hold all the rows: a whole answer per chunk.
            world.channels.answer_query_json("src", soql, start == 0 ? source_rows : "[]");
            world.channels.answer_query("tgt", soql, {});
        }
    }
};

TEST(TransferBundles, FourHundredFiftyCreatesGoOutAs200And200And50InKeyOrder) {
    ManyProducts many(449);
    auto& world = many.world;
    const auto rows = world.run();
    ASSERT_TRUE(rows.has_value());
    const auto composites = world.channels.calls_of("composite");
    ASSERT_EQ(composites.size(), 3U);
    const std::vector<std::size_t> sizes = {200, 200, 50};
    std::size_t next = 0;
    for (std::size_t i = 0; i < composites.size(); ++i) {
        EXPECT_EQ(composites[i].detail, "POST");
        EXPECT_EQ(composites[i].org, "tgt");
        ASSERT_EQ(composites[i].items.size(), sizes[i]);
        for (const auto& body : composites[i].items) {
            EXPECT_EQ(body, fmt::format(R"({{"attributes":{{"type":"Product2"}},"Name":"{}"}})", many.names[next++]));
        }
    }
    // The flag is read before each of the three requests and nowhere else.
    EXPECT_EQ(world.transfer_polls(), 3);
    EXPECT_EQ(world.progress, std::vector<std::string>{"Product2"});
    ASSERT_EQ(rows->size(), 1U);
    EXPECT_EQ((*rows)[0], (RowOutcome{"B", "Product2: 450 created · REST calls in this transfer: 3 · " + kNoKeys,
                                      true}));
}

TEST(TransferBundles, CancelledBeforeASecondRequestSendsNoMore) {
    struct Case {
        std::string name;
        bool answered;
    };
    for (const auto& c : {Case{"pending request cancelled", false}, Case{"pending request answered", true}}) {
        SCOPED_TRACE(c.name);
        ManyProducts many(249);
        auto& world = many.world;
        if (c.answered) {
            world.channels.after_composite([&](std::size_t) { world.token.cancel(); });
        } else {
            // Calls 0-18 are the reads (12 describes, 3 catalogues, 2 chunks per side); 19 is the first write.
            world.channels.on_call([&](std::size_t position) {
                if (position == 19) {
                    world.token.cancel();
                }
            });
        }
        const auto rows = world.run();
        ASSERT_FALSE(rows.has_value());
        EXPECT_TRUE(rows.error().is_cancelled());
        EXPECT_EQ(world.channels.calls_of("composite").size(), 1U);
        EXPECT_EQ(world.channels.calls()[19].operation, "composite");
        EXPECT_EQ(world.channels.calls().size(), 20U);
    }
}

TEST(TransferBundles, CancelledDuringTheLastRequestStillReports) {
    ManyProducts many(249);
    auto& world = many.world;
    world.channels.after_composite([&](std::size_t) {
        if (world.channels.calls_of("composite").size() == 2) {
            world.token.cancel();
        }
    });
    const auto rows = world.run();
    ASSERT_TRUE(rows.has_value());
    EXPECT_EQ(world.channels.calls_of("composite").size(), 2U);
    EXPECT_EQ((*rows)[0].message, "Product2: 250 created · REST calls in this transfer: 2 · " + kNoKeys);
}

TEST(TransferBundles, ReadFailureEndsBeforeAnyWrite) {
    for (const auto& error : {ChannelError::failure("no session"), ChannelError::cancelled()}) {
        ManyProducts many(1);
        // Calls 0-11 describe, 12-14 read catalogues, 15 reads the source.
        many.world.channels.fail_call(15, error);
        const auto rows = many.world.run();
        ASSERT_FALSE(rows.has_value());
        EXPECT_EQ(rows.error(), error);
        EXPECT_TRUE(many.world.channels.calls_of("composite").empty());
        EXPECT_EQ(many.world.channels.calls().size(), 16U);
    }
}

CompositeOutcome refused(std::string code, std::string message) {
    return CompositeOutcome{{CompositeError{std::move(code), std::move(message), {}}}, std::nullopt, false};
}

TEST(TransferBundles, RefusalsAndTheRollbackNote) {
    const std::string note =
        "; the target rolled the whole batch of 3 records back over this code, so the missing reference may belong "
        "to another record of the batch";
    struct Case {
        std::string name;
        synthesis::ChannelResult<std::vector<CompositeOutcome>> answer;
        std::vector<std::string> failures;
    };
    const auto cross = [](std::string m) { return refused("INVALID_CROSS_REFERENCE_KEY", std::move(m)); };
    const std::vector<Case> cases = {
        {"all rolled back",
         std::vector<CompositeOutcome>{cross("a"), cross("b"), cross("c")},
         {"Product2 B (INVALID_CROSS_REFERENCE_KEY: a" + note + ")",
          "Product2 C000 (INVALID_CROSS_REFERENCE_KEY: b" + note + ")",
          "Product2 C001 (INVALID_CROSS_REFERENCE_KEY: c" + note + ")"}},
        {"mixed codes",
         std::vector<CompositeOutcome>{cross("a"), refused("REQUIRED_FIELD_MISSING", "b"), cross("c")},
         {"Product2 B (INVALID_CROSS_REFERENCE_KEY: a)", "Product2 C000 (REQUIRED_FIELD_MISSING: b)",
          "Product2 C001 (INVALID_CROSS_REFERENCE_KEY: c)"}},
        {"no reason and no id",
         std::vector<CompositeOutcome>{CompositeOutcome{}, CompositeOutcome{{}, std::nullopt, true},
                                       CompositeOutcome{{}, std::string(" "), true}},
         {"Product2 B (the target refused the record without naming a reason)",
          "Product2 C000 (the target accepted the record without returning its id)",
          "Product2 C001 (the target accepted the record without returning its id)"}},
        {"request failed",
         std::unexpected(ChannelError::failure("The sf command failed.")),
         {"Product2 B (The sf command failed.)", "Product2 C000 (The sf command failed.)",
          "Product2 C001 (The sf command failed.)"}},
        {"unexpected outcome count",
         std::vector<CompositeOutcome>{CompositeOutcome{{}, std::string("X"), true}},
         {"Product2 B (The record request was answered with an unexpected body: the response carries 1 outcomes "
          "for 3 records.)",
          "Product2 C000 (The record request was answered with an unexpected body: the response carries 1 outcomes "
          "for 3 records.)",
          "Product2 C001 (The record request was answered with an unexpected body: the response carries 1 outcomes "
          "for 3 records.)"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ManyProducts many(2);
        many.world.channels.script_composite(c.answer);
        const auto rows = many.world.run();
        ASSERT_TRUE(rows.has_value());
        std::string failed;
        for (const auto& failure : c.failures) {
            failed += (failed.empty() ? "" : ", ") + failure;
        }
        EXPECT_EQ((*rows)[0], (RowOutcome{"B",
                                          fmt::format("failed {}: {} · REST calls in this transfer: 1 · {}",
                                                      c.failures.size(), failed, kNoKeys),
                                          false}));
    }
}

TEST(TransferBundles, OneRecordCrossReferenceGetsNoNote) {
    ManyProducts many(0);
    many.world.channels.script_composite(std::vector<CompositeOutcome>{refused("INVALID_CROSS_REFERENCE_KEY", "a")});
    const auto rows = many.world.run();
    ASSERT_TRUE(rows.has_value());
    EXPECT_EQ((*rows)[0].message,
              "failed 1: Product2 B (INVALID_CROSS_REFERENCE_KEY: a) · REST calls in this transfer: 1 · " + kNoKeys);
}

// Bundle B based on classification K, with child product X that the target already has, a price
// book entry of B in the standard price book and one of X; the own key field on products.
struct Layered {
    World world;
    std::string id_b = source_id("B");
    std::string id_x = source_id("X");

    Layered() {
        BundleDocument doc;
        doc.product = {{"Description", "root"}, {"Name", "B"}};
        doc.based_on = "K";
        doc.classifications.push_back({"K", std::nullopt, {{"Name", "Kay"}}});
        doc.child_products.push_back({"X", std::nullopt, {{"Description", "new"}, {"Name", "X"}}, false});
        doc.price_book_entries.push_back({{"B", "Standard", std::nullopt, std::nullopt}, {{"UnitPrice", "10"}}, true});
        doc.price_book_entries.push_back({{"X", "Standard", std::nullopt, std::nullopt}, {{"UnitPrice", "5"}}, true});
        world.request.documents = {{"B", document::write_bundle_document(doc)}};
        world.describe("ProductClassification", {"Code", "Name"});
        world.describe("Product2", {"Name", "Description", kOwn});
        world.describe("PricebookEntry", {"UnitPrice"});

        auto& channels = world.channels;
        channels.answer_query_json("src", "SELECT Id, Name, Code FROM ProductClassification WHERE Code IN ('K')",
                                   R"([{"Id":"SK","Name":"Kay","Code":"K"}])");
        channels.answer_query_json(
            "src", "SELECT Id, QuillaryExternalId__c, Description, Name FROM Product2 WHERE Name IN ('B', 'X')",
            fmt::format(R"([{{"Id":"{}","Name":"B"}},{{"Id":"{}","Name":"X","QuillaryExternalId__c":null}}])", id_b,
                        id_x));
        const std::string entries =
            "SELECT Id, UnitPrice, Product2.Name, Pricebook2.Name, ProductSellingModel.Name FROM PricebookEntry WHERE "
            "Product2.Name IN ('B', 'X')";
        channels.answer_query_json("src", entries,
                                   R"([{"Id":"E1","UnitPrice":10,"Product2":{"Name":"B"},"Pricebook2":{"Name":"Standard"}},
                                       {"Id":"E2","UnitPrice":5,"Product2":{"Name":"X"},"Pricebook2":{"Name":"Standard"}}])");
        channels.answer_query("tgt", "SELECT Id, Name, Code FROM ProductClassification WHERE Code IN ('K')", {});
        channels.answer_query_json(
            "tgt", "SELECT Id, QuillaryExternalId__c, Description, Name FROM Product2 WHERE Name IN ('B', 'X')",
            R"([{"Id":"TX","Name":"X","Description":"old"}])");
        channels.answer_query("tgt", entries, {});
        channels.answer_query(
            "tgt",
            fmt::format("SELECT Id, QuillaryExternalId__c, Description, Name FROM Product2 WHERE QuillaryExternalId__c "
                        "IN ('{}', '{}')",
                        reversed(id_b), reversed(id_x)),
            {});
    }
};

TEST(TransferBundles, BatchesInOrderCreatesBeforeUpdatesAndNewIdsFeedLaterBatches) {
    Layered layered;
    auto& world = layered.world;
    const auto rows = world.run();
    ASSERT_TRUE(rows.has_value());
    EXPECT_EQ(world.progress, (std::vector<std::string>{"ProductClassification", "Product2", "PricebookEntry"}));
    EXPECT_EQ(world.composite_calls(),
              (std::vector<std::string>{
                  R"(POST {"attributes":{"type":"ProductClassification"},"Name":"Kay"})",
                  R"(POST {"attributes":{"type":"Product2"},"Description":"root","Name":"B","BasedOnId":"NEW1",)"
                  R"("QuillaryExternalId__c":")" + reversed(layered.id_b) + R"("})",
                  R"(PATCH {"attributes":{"type":"Product2"},"id":"TX","Description":"new","QuillaryExternalId__c":")" +
                      reversed(layered.id_x) + R"("})",
                  R"(POST {"attributes":{"type":"PricebookEntry"},"UnitPrice":"10","Product2Id":"NEW2",)"
                  R"("Pricebook2Id":"STD1"} {"attributes":{"type":"PricebookEntry"},"UnitPrice":"5",)"
                  R"("Product2Id":"TX","Pricebook2Id":"STD1"})",
              }));
    EXPECT_EQ(world.transfer_polls(), 4);
    ASSERT_EQ(rows->size(), 1U);
    EXPECT_EQ((*rows)[0].message,
              "ProductClassification: 1 created · Product2: 1 created, 1 updated · PricebookEntry: 2 created · "
              "REST calls in this transfer: 4 · keys not stamped: QuillaryExternalId__c is absent on "
              "ProductClassification, ProductComponentGroup, ProductRelatedComponent, PricebookEntry");
    EXPECT_TRUE((*rows)[0].success);
}

TEST(TransferBundles, DependantsOfAFailedCreateAreBlocked) {
    Layered layered;
    auto& world = layered.world;
    world.channels.script_composite(std::vector<CompositeOutcome>{CompositeOutcome{{}, std::string("NEWK"), true}});
    world.channels.script_composite(std::vector<CompositeOutcome>{refused("DUPLICATE_VALUE", "dup")});
    // The update of X fails as a whole: its Id stays known, so its entry is still sent.
    world.channels.script_composite(std::unexpected(ChannelError::failure("timeout")));
    const auto rows = world.run();
    ASSERT_TRUE(rows.has_value());
    const auto calls = world.composite_calls();
    ASSERT_EQ(calls.size(), 4U);
    EXPECT_EQ(calls[3], R"(POST {"attributes":{"type":"PricebookEntry"},"UnitPrice":"5","Product2Id":"TX",)"
                        R"("Pricebook2Id":"STD1"})");
    EXPECT_EQ((*rows)[0].message,
              "ProductClassification: 1 created · PricebookEntry: 1 created · failed 3: "
              "Product2 B (DUPLICATE_VALUE: dup), Product2 X (timeout), "
              "PricebookEntry B in Standard (Product2 B was not created) · REST calls in this transfer: 4 · "
              "keys not stamped: QuillaryExternalId__c is absent on ProductClassification, ProductComponentGroup, "
              "ProductRelatedComponent, PricebookEntry");
    EXPECT_FALSE((*rows)[0].success);
}

}  // namespace
}  // namespace ambrel::data::bundles::transfer

namespace ambrel::data::bundles::transfer {
namespace {

TEST(TransferBundles, ClassificationChainAndAnUnchangedProductFeedLaterBatches) {
    World world;
    BundleDocument doc;
    doc.product = {{"Name", "B"}};
    doc.classifications.push_back({"Ch", std::string("P"), {{"Name", "Child"}}});
    doc.classifications.push_back({"P", std::nullopt, {{"Name", "Parent"}}});
    doc.price_book_entries.push_back({{"B", "Standard", std::nullopt, std::nullopt}, {{"UnitPrice", "10"}}, true});
    world.request.documents = {{"B", document::write_bundle_document(doc)}};
    world.describe("ProductClassification", {"Code", "Name"});
    world.describe("PricebookEntry", {"UnitPrice"});
    auto& channels = world.channels;
    const std::string classifications =
        "SELECT Id, Name, Code FROM ProductClassification WHERE Code IN ('Ch', 'P')";
    channels.answer_query_json("src", classifications,
                               R"([{"Id":"S1","Code":"P","Name":"Parent"},{"Id":"S2","Code":"Ch","Name":"Child"}])");
    channels.answer_query("tgt", classifications, {});
    channels.answer_query_json("src", "SELECT Id, Name FROM Product2 WHERE Name IN ('B')", R"([{"Id":"SB","Name":"B"}])");
    channels.answer_query_json("tgt", "SELECT Id, Name FROM Product2 WHERE Name IN ('B')", R"([{"Id":"TB","Name":"B"}])");
    const std::string entries =
        "SELECT Id, UnitPrice, Product2.Name, Pricebook2.Name, ProductSellingModel.Name FROM PricebookEntry WHERE "
        "Product2.Name IN ('B')";
    channels.answer_query_json("src", entries,
                               R"([{"Id":"E1","UnitPrice":10,"Product2":{"Name":"B"},"Pricebook2":{"Name":"Standard"}}])");
    channels.answer_query("tgt", entries, {});

    const auto rows = world.run();
    ASSERT_TRUE(rows.has_value());
    EXPECT_EQ(world.progress, (std::vector<std::string>{"ProductClassification", "ProductClassification", "Product2",
                                                        "PricebookEntry"}));
    EXPECT_EQ(world.composite_calls(),
              (std::vector<std::string>{
                  R"(POST {"attributes":{"type":"ProductClassification"},"Name":"Parent"})",
                  R"(POST {"attributes":{"type":"ProductClassification"},"Name":"Child",)"
                  R"("ParentProductClassificationId":"NEW1"})",
                  R"(POST {"attributes":{"type":"PricebookEntry"},"UnitPrice":"10","Product2Id":"TB",)"
                  R"("Pricebook2Id":"STD1"})",
              }));
    EXPECT_EQ((*rows)[0], (RowOutcome{"B",
                                      "ProductClassification: 2 created · Product2: 1 unchanged · PricebookEntry: 1 "
                                      "created · REST calls in this transfer: 3 · " +
                                          kNoKeys,
                                      true}));
}

}  // namespace
}  // namespace ambrel::data::bundles::transfer
