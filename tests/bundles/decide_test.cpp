#include <gtest/gtest.h>

#include <algorithm>

#include "data/bundles/transfer/decide.hpp"
#include "support/fake_record_channels.hpp"

namespace ambrel::data::bundles::transfer {
namespace {

using K = RecordKey;
using testing::make_schema;

constexpr std::string_view kOwnKey = "QuillaryExternalId__c";
const std::string kSourceId = "01t000000000001AAA";
const std::string kReversed = "AAA100000000000t10";

PlannedRecord product(std::map<std::string, std::string> fields = {{"Description", "d"}}) {
    return PlannedRecord{{}, {}, K::Product2{"P"}, 0, std::move(fields), {"B"}};
}

TransferSchemas product_schemas(bool with_key = true) {
    TransferSchemas schemas;
    schemas.target["Product2"] = make_schema("Product2", {"Name", "Description", std::string(kOwnKey)});
    if (with_key) {
        schemas.keys["Product2"] = KeyField{std::string(kOwnKey), true};
    }
    return schemas;
}

ExistingRecord existing(std::string id, std::optional<std::string> key_value = std::nullopt,
                        std::map<std::string, std::string, std::less<>> values = {{"Description", "d"}}) {
    return ExistingRecord{std::move(id), {}, std::move(key_value), std::move(values), {}};
}

SideRecords one_source(std::string id = kSourceId, std::optional<std::string> key_value = std::nullopt) {
    SideRecords source;
    source[K::Product2{"P"}].push_back(existing(std::move(id), std::move(key_value)));
    return source;
}

struct World {
    PlannedRecord record = product();
    TransferSchemas schemas = product_schemas();
    SideRecords source = one_source();
    SideRecords target;
    KeyIndex index;
    TargetIds ids;
    TargetCatalogs catalogs;

    Decision run() const { return decide(record, schemas, source, target, index, ids, catalogs); }
};

Decision skip(std::string reason, SkipKind kind, std::vector<std::string> ids = {}) {
    return Decision{Decision::Skip{std::move(reason), std::move(ids), kind}};
}

TEST(Decide, TargetFieldMissingComesFirst) {
    World world;
    world.record = product({{"Zeta__c", "1"}, {"Alpha__c", "2"}, {"Description", "d"}});
    world.source.clear();
    EXPECT_EQ(world.run(), skip("the target no longer has the field Product2.Alpha__c", SkipKind::FieldMissing));
    // Without any describe of the object, the first field in name order is named.
    world.schemas.target.clear();
    EXPECT_EQ(world.run(), skip("the target no longer has the field Product2.Alpha__c", SkipKind::FieldMissing));
}

TEST(Decide, RecordWithoutFieldsIsNeverBlockedForFields) {
    World world;
    world.record = product({});
    world.schemas.target.clear();
    world.schemas.keys.clear();
    EXPECT_EQ(world.run(), Decision{Decision::Create{}});
}

TEST(Decide, SourceRecordMustBeOne) {
    struct Case {
        std::string name;
        SideRecords source;
        Decision expected;
    };
    SideRecords empty_list;
    empty_list[K::Product2{"P"}];
    SideRecords two;
    two[K::Product2{"P"}] = {existing("S1"), existing("S2")};
    const std::vector<Case> cases = {
        {"no entry", {}, skip("it no longer exists in the source", SkipKind::Unavailable)},
        {"empty list", empty_list, skip("it no longer exists in the source", SkipKind::Unavailable)},
        {"two records", two, skip("Product2 P matches 2 records in the source", SkipKind::Ambiguous)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        World world;
        world.source = c.source;
        // A single target copy does not help an ambiguous source.
        world.target[K::Product2{"P"}].push_back(existing("T1"));
        EXPECT_EQ(world.run(), c.expected);
    }
}

TEST(Decide, CreateWhenTheTargetHasNoCopy) {
    World world;
    EXPECT_EQ(world.run(), Decision{Decision::Create{}});
}

TEST(Decide, KeyValueThatIsTheReversedIdCountsOnce) {
    World world;
    world.source = one_source(kSourceId, kReversed);
    world.index[{"Product2", std::string(kOwnKey), kReversed}].push_back(existing("T1", kReversed));
    EXPECT_EQ(world.run(), (Decision{Decision::Unchanged{"T1", {}, {}}}));
}

TEST(Decide, ExternalKeyMatchWinsOverNaturalKey) {
    World world;
    world.source = one_source(kSourceId, "K9");
    world.index[{"Product2", std::string(kOwnKey), "K9"}].push_back(existing("T1", "K9"));
    world.target[K::Product2{"P"}].push_back(existing("T2", std::nullopt, {{"Description", "other"}}));
    EXPECT_EQ(world.run(), (Decision{Decision::Update{"T1", {}, {}, {{std::string(kOwnKey), kReversed}}}}));
}

TEST(Decide, SeveralKeyMatchesAreAmbiguousInCandidateOrder) {
    World world;
    world.source = one_source(kSourceId, "ZZ");
    world.index[{"Product2", std::string(kOwnKey), "ZZ"}].push_back(existing("T3", "ZZ"));
    world.index[{"Product2", std::string(kOwnKey), kReversed}].push_back(existing("T1", kReversed));
    world.index[{"Product2", std::string(kOwnKey), kReversed}].push_back(existing("T2", kReversed));
    EXPECT_EQ(world.run(),
              skip("Product2 P matches 3 records in the target", SkipKind::Ambiguous, {"T1", "T2", "T3"}));
}

TEST(Decide, ShortIdAndBlankKeyMatchByNaturalKeyOnly) {
    World world;
    world.source = one_source("01t000000000001", "  ");
    // An index entry under the blank value or the 15-character Id reversed is never looked at.
    world.index[{"Product2", std::string(kOwnKey), "  "}].push_back(existing("T9", "  "));
    world.index[{"Product2", std::string(kOwnKey), "100000000000t10"}].push_back(existing("T8"));
    EXPECT_EQ(world.run(), Decision{Decision::Create{}});
    world.target[K::Product2{"P"}].push_back(existing("T1", std::nullopt, {{"Description", "old"}}));
    EXPECT_EQ(world.run(), (Decision{Decision::Update{"T1", {}, {}, {{"Description", "d"}}}}));
}

TEST(Decide, NaturalKeyMatches) {
    World world;
    world.schemas.keys.clear();
    world.target[K::Product2{"P"}].push_back(existing("T1"));
    EXPECT_EQ(world.run(), (Decision{Decision::Unchanged{"T1", {}, {}}}));
    world.target[K::Product2{"P"}].push_back(existing("T2"));
    world.target[K::Product2{"P"}].push_back(existing("T0"));
    EXPECT_EQ(world.run(),
              skip("Product2 P matches 3 records in the target", SkipKind::Ambiguous, {"T1", "T2", "T0"}));
}

TEST(Decide, DanglingLinkNotOverwrittenIsNamedAlone) {
    World world;
    world.schemas.keys.clear();
    world.schemas.target["Product2"] =
        make_schema("Product2", {"Description"}, {{"BasedOnId", "BasedOn"}, {"Other__c", "Other__r"}});
    world.record.links = {{"BasedOnId", K::ProductClassification{"C"}}};
    world.ids = {{K::ProductClassification{"C"}, "C1"}};
    auto copy = existing("T1");
    copy.links = {{"BasedOnId", "GONE"}, {"Other__c", "GONE2"}};
    copy.dangling = {"BasedOnId", "Other__c"};
    world.target[K::Product2{"P"}].push_back(copy);
    const std::string problem =
        "the target's copy points at a record the target does not have in Other__c, and this update would not "
        "replace it; the target refuses every save of such a record";
    EXPECT_EQ(world.run(), (Decision{Decision::NotSent{
                               "T1", problem, "not sent: " + problem + " — fix or delete it in the target by hand"}}));
}

TEST(PlanOrder, LayerThenDepthThenKey) {
    const auto rec = [](K key, std::uint64_t depth) { return PlannedRecord{{}, {}, std::move(key), depth, {}, {}}; };
    std::vector<PlannedRecord> records = {
        rec(K::PricebookEntry{"P", "Std", std::string("M"), std::nullopt}, 0),
        rec(K::PricebookEntry{"P", "Std", std::nullopt, std::nullopt}, 0),
        rec(K::ProductComponentGroup{"B", "A"}, 1),
        rec(K::ProductComponentGroup{"B", "Z"}, 0),
        rec(K::Product2{"Pb"}, 0),
        rec(K::Product2{"P"}, 0),
        rec(K::ProductClassification{"Z"}, 0),
    };
    std::stable_sort(records.begin(), records.end(), plan_order_before);
    std::vector<std::string> labels;
    for (const auto& record : records) {
        labels.push_back(record.key.label() + "/" + std::to_string(record.depth));
    }
    EXPECT_EQ(labels, (std::vector<std::string>{"ProductClassification Z/0", "Product2 P/0", "Product2 Pb/0",
                                                "ProductComponentGroup Z of B/0", "ProductComponentGroup A of B/1",
                                                "PricebookEntry P in Std/0", "PricebookEntry P in Std/0"}));
    EXPECT_FALSE(std::get<K::PricebookEntry>(records[5].key.value()).selling_model.has_value());
    EXPECT_TRUE(std::get<K::PricebookEntry>(records[6].key.value()).selling_model.has_value());
    EXPECT_EQ(plan_layers(records), (std::set<Layer>{Layer::ProductClassification, Layer::Product2,
                                                     Layer::ProductComponentGroup, Layer::PricebookEntry}));
    EXPECT_TRUE(plan_layers({}).empty());
}

}  // namespace
}  // namespace ambrel::data::bundles::transfer
