#include <gtest/gtest.h>

#include "data/bundles/transfer/decision.hpp"
#include "support/fake_record_channels.hpp"

namespace ambrel::data::bundles::transfer {
namespace {

using K = RecordKey;
using C = CatalogRef;
using testing::make_schema;

constexpr std::string_view kSourceId = "01t000000000001AAA";
const std::string kStamp = "AAA100000000000t10";
constexpr std::string_view kOwnKey = "QuillaryExternalId__c";

TransferSchemas component_schemas(bool with_key = true) {
    TransferSchemas schemas;
    schemas.target["ProductRelatedComponent"] = make_schema(
        "ProductRelatedComponent", {"Quantity", "Sequence", "QuillaryExternalId__c"},
        {{"ParentProductId", "ParentProduct"}, {"ProductComponentGroupId", "ProductComponentGroup"},
         {"ChildProductId", "ChildProduct"}, {"ProductRelationshipTypeId", "ProductRelationshipType"}},
        {"Sequence"});
    if (with_key) {
        schemas.keys["ProductRelatedComponent"] = KeyField{std::string(kOwnKey), true};
    }
    return schemas;
}

PlannedRecord component() {
    PlannedRecord record{{}, {}, K::ProductRelatedComponent{"B", "P", "G"}, 0, {{"Quantity", "10"}}, {"B"}};
    record.links = {{"ParentProductId", K::Product2{"B"}},
                    {"ChildProductId", K::Product2{"P"}},
                    {"ProductComponentGroupId", K::ProductComponentGroup{"B", "G"}}};
    record.catalog_links = {{"ProductRelationshipTypeId", C::RelationshipType{"Bundle"}}};
    return record;
}

TargetIds all_ids() {
    return {{K::Product2{"B"}, "B1"}, {K::Product2{"P"}, "P1"}, {K::ProductComponentGroup{"B", "G"}, "G1"}};
}

TargetCatalogs catalogs() {
    TargetCatalogs c;
    c.relationship_types = {{"Bundle", "R1"}};
    return c;
}

ExistingRecord matching_copy() {
    ExistingRecord target;
    target.id = "T1";
    target.key_value = kStamp;
    target.values = {{"Quantity", "10"}};
    target.links = {{"ParentProductId", "B1"}, {"ChildProductId", "P1"}, {"ProductComponentGroupId", "G1"},
                    {"ProductRelationshipTypeId", "R1"}};
    return target;
}

Decision decide_one(const ExistingRecord& target, const TargetIds& ids = all_ids(), bool with_key = true,
                    const PlannedRecord& record = component(), std::string_view source_id = kSourceId) {
    return update_or_unchanged(record, component_schemas(with_key), source_id, target, ids, catalogs());
}

TEST(UpdateOrUnchanged, IdenticalCopyWithStampIsUnchanged) {
    EXPECT_EQ(decide_one(matching_copy()), (Decision{Decision::Unchanged{"T1", {}, {}}}));
}

TEST(UpdateOrUnchanged, NumberTextsThatDifferAreWritten) {
    auto target = matching_copy();
    target.values["Quantity"] = "10.0";
    EXPECT_EQ(decide_one(target), (Decision{Decision::Update{"T1", {}, {}, {{"Quantity", "10"}}}}));
    target.values.erase("Quantity");
    EXPECT_EQ(decide_one(target), (Decision{Decision::Update{"T1", {}, {}, {{"Quantity", "10"}}}}));
}

TEST(UpdateOrUnchanged, NotUpdateableFieldIsLeftOutAlone) {
    auto record = component();
    record.fields["Sequence"] = "2";
    record.fields["Unknown__c"] = "x";
    auto target = matching_copy();
    target.values["Sequence"] = "1";
    EXPECT_EQ(decide_one(target, all_ids(), true, record), (Decision{Decision::Unchanged{"T1", {"Sequence"}, {}}}));
}

TEST(UpdateOrUnchanged, LinksRepointedAndLeftOut) {
    auto target = matching_copy();
    target.links["ChildProductId"] = "OLD";
    auto ids = all_ids();
    ids.erase(K::Product2{"B"});
    const auto decision = decide_one(target, ids);
    EXPECT_EQ(decision,
              (Decision{Decision::Update{"T1", {}, LinkNotes{{"ChildProductId"}, {"ParentProductId"}},
                                         {{"ChildProductId", "P1"}}}}));
}

TEST(UpdateOrUnchanged, DanglingReferenceReplacedByTheUpdate) {
    auto target = matching_copy();
    target.links["ProductComponentGroupId"] = "GONE";
    target.dangling = {"ProductComponentGroupId"};
    EXPECT_EQ(decide_one(target), (Decision{Decision::Update{"T1", {}, LinkNotes{{"ProductComponentGroupId"}, {}},
                                                             {{"ProductComponentGroupId", "G1"}}}}));
}

TEST(UpdateOrUnchanged, DanglingReferenceThatCannotBeReplaced) {
    const std::string unresolved_problem =
        "the target's copy points at a record the target does not have in ProductComponentGroupId, and the "
        "reference did not resolve in the target, so this update could not replace it; the target refuses every "
        "save of such a record";
    const std::string untouched_problem =
        "the target's copy points at a record the target does not have in OtherId__c, and this update would not "
        "replace it; the target refuses every save of such a record";
    auto target = matching_copy();
    target.links["ProductComponentGroupId"] = "GONE";
    target.dangling = {"ProductComponentGroupId"};
    auto ids = all_ids();
    ids.erase(K::ProductComponentGroup{"B", "G"});
    EXPECT_EQ(decide_one(target, ids),
              (Decision{Decision::NotSent{"T1", unresolved_problem,
                                          "not sent: " + unresolved_problem +
                                              " — fix the reference's own row in this result, or the record in the "
                                              "target by hand"}}));

    target.dangling = {"ProductComponentGroupId", "OtherId__c"};
    EXPECT_EQ(decide_one(target, ids),
              (Decision{Decision::NotSent{
                  "T1", untouched_problem + "; " + unresolved_problem,
                  "not sent: " + untouched_problem + " — fix or delete it in the target by hand; not sent: " +
                      unresolved_problem +
                      " — fix the reference's own row in this result, or the record in the target by hand"}}));
}

TEST(UpdateOrUnchanged, KeyStampFollowsTheSourceId) {
    auto target = matching_copy();
    target.key_value.reset();
    EXPECT_EQ(decide_one(target), (Decision{Decision::Update{"T1", {}, {}, {{std::string(kOwnKey), kStamp}}}}));
    // A 15-character source Id stamps nothing.
    EXPECT_EQ(decide_one(target, all_ids(), true, component(), "01t000000000001"),
              (Decision{Decision::Unchanged{"T1", {}, {}}}));
    EXPECT_EQ(decide_one(target, all_ids(), false), (Decision{Decision::Unchanged{"T1", {}, {}}}));
}

SideRecords source_with(std::string id) {
    SideRecords source;
    source[K::ProductRelatedComponent{"B", "P", "G"}].push_back(ExistingRecord{std::move(id), {}, {}, {}, {}});
    return source;
}

TEST(CompositeBody, CreateCarriesResolvedReferencesThenTheKey) {
    const auto record = component();
    const auto body = composite_body(record, record.fields, std::nullopt, all_ids(), catalogs(), component_schemas(),
                                     source_with(std::string(kSourceId)));
    EXPECT_EQ(json::write_compact(body),
              R"({"attributes":{"type":"ProductRelatedComponent"},"Quantity":"10","ParentProductId":"B1",)"
              R"("ChildProductId":"P1","ProductComponentGroupId":"G1","ProductRelationshipTypeId":"R1",)"
              R"("QuillaryExternalId__c":"AAA100000000000t10"})");
}

TEST(CompositeBody, UpdateHasLowerCaseIdAndKeepsAChangedKeyInPlace) {
    const auto record = component();
    const std::map<std::string, std::string> changes = {{"QuillaryExternalId__c", kStamp}, {"Sequence", "3"}};
    const auto body = composite_body(record, changes, "T1", all_ids(), catalogs(), component_schemas(),
                                     source_with(std::string(kSourceId)));
    EXPECT_EQ(json::write_compact(body),
              R"({"attributes":{"type":"ProductRelatedComponent"},"id":"T1","QuillaryExternalId__c":"AAA100000000000t10",)"
              R"("Sequence":"3"})");
    const std::map<std::string, std::string> one = {{"Quantity", "11"}};
    EXPECT_EQ(json::write_compact(composite_body(record, one, "T1", all_ids(), catalogs(), component_schemas(),
                                                 source_with(std::string(kSourceId)))),
              R"({"attributes":{"type":"ProductRelatedComponent"},"id":"T1","Quantity":"11",)"
              R"("QuillaryExternalId__c":"AAA100000000000t10"})");
    // A 15-character source Id: no key member.
    EXPECT_EQ(json::write_compact(composite_body(record, one, "T1", all_ids(), catalogs(), component_schemas(),
                                                 source_with("01t000000000001"))),
              R"({"attributes":{"type":"ProductRelatedComponent"},"id":"T1","Quantity":"11"})");
}

TEST(Blocking, LinksBeforeCatalogues) {
    PlannedRecord entry{{{"Product2Id", K::Product2{"P"}}},
                        {{"Pricebook2Id", C::PriceBook{"EU", false}}},
                        K::PricebookEntry{"P", "EU", std::nullopt, std::nullopt},
                        0,
                        {},
                        {"B"}};
    const TargetCatalogs none;
    auto blocker = blocked_by_predecessor(entry, {}, none);
    ASSERT_TRUE(blocker.has_value());
    EXPECT_EQ(blocker->reason(), "Product2 P was not created");
    blocker = blocked_by_predecessor(entry, {{K::Product2{"P"}, "P1"}}, none);
    ASSERT_TRUE(blocker.has_value());
    EXPECT_EQ(blocker->reason(), "no price book named EU in the target");

    PlannedRecord standard{{}, {{"Pricebook2Id", C::PriceBook{"Std", true}}}, K::PricebookEntry{"P", "Std", {}, {}},
                           0, {}, {"B"}};
    blocker = blocked_by_predecessor(standard, {}, none);
    ASSERT_TRUE(blocker.has_value());
    EXPECT_EQ(blocker->reason(), "the target has no standard price book");
    TargetCatalogs with_standard;
    with_standard.standard_price_book = "S1";
    EXPECT_FALSE(blocked_by_predecessor(standard, {}, with_standard).has_value());
}

TEST(Blocking, AmbiguityAndCountPhrases) {
    EXPECT_EQ(ambiguous_match_reason(K::Product2{"X"}, "source", 2), "Product2 X matches 2 records in the source");
    EXPECT_EQ(ambiguous_match_reason(K::ProductComponentGroup{"B", "G"}, "target", 3),
              "ProductComponentGroup G of B matches 3 records in the target");
    EXPECT_EQ(count_phrases({{"ParentProductId", 1}, {"BasedOnId", 2}}),
              (std::vector<std::string>{"BasedOnId on 2 records", "ParentProductId on 1 record"}));
}

}  // namespace
}  // namespace ambrel::data::bundles::transfer
