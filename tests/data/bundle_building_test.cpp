#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "data/bundles/document/build.hpp"
#include "data/bundles/document/field_plan.hpp"
#include "data/bundles/identity/identity.hpp"
#include "json/json.hpp"

namespace ambrel::data::bundles {
namespace {

using document::BundleLayers;
using document::FieldSet;
using document::ObjectFieldPlan;
using identity::ComponentChildKind;
using identity::ComponentIdentity;
using identity::PriceBookEntryIdentity;
using identity::SellingModelOptionIdentity;

json::Object object(std::string_view text) {
    auto value = json::parse(text);
    EXPECT_TRUE(value) << text;
    return value && value->is_object() ? value->as_object() : json::Object();
}

std::vector<json::Object> objects(std::initializer_list<std::string_view> texts) {
    std::vector<json::Object> records;
    for (const std::string_view text : texts) records.push_back(object(text));
    return records;
}

TEST(Identity, LookupNormalisesRelationshipValues) {
    const json::Object record = object(
        R"({"Null": null, "Empty": {}, "Number": {"Name": 5}, "Flag": {"Name": true}, "Blank": {"Name": "  "},
            "Padded": {"Name": "  Two  spaces  "}, "Plain": "text", "Id": " 01t000000000001AAA "})");
    EXPECT_EQ(identity::lookup(record, "Null", "Name"), std::nullopt);
    EXPECT_EQ(identity::lookup(record, "Missing", "Name"), std::nullopt);
    EXPECT_EQ(identity::lookup(record, "Empty", "Name"), std::nullopt);
    EXPECT_EQ(identity::lookup(record, "Number", "Name"), std::nullopt);
    EXPECT_EQ(identity::lookup(record, "Flag", "Name"), std::nullopt);
    EXPECT_EQ(identity::lookup(record, "Blank", "Name"), std::nullopt);
    EXPECT_EQ(identity::lookup(record, "Plain", "Name"), std::nullopt);
    EXPECT_EQ(identity::lookup(record, "Padded", "Name"), "Two  spaces");
    EXPECT_EQ(identity::record_id(record), "01t000000000001AAA");
}

TEST(Identity, ComponentIdentitiesAndLabels) {
    const auto both = ComponentIdentity::of(
        object(R"({"ChildProduct": {"Name": "Wheel"}, "ChildProductClassification": {"Code": "C"}})"));
    ASSERT_TRUE(both);
    EXPECT_EQ(*both, (ComponentIdentity{ComponentChildKind::Product, "Wheel", std::nullopt}));
    EXPECT_EQ(both->label(), "product Wheel");
    const auto classified = ComponentIdentity::of(
        object(R"({"ChildProduct": null, "ChildProductClassification": {"Code": "C"}, "ProductComponentGroup": {"Name": "G"}})"));
    ASSERT_TRUE(classified);
    EXPECT_EQ(classified->label(), "classification C in group G");
    EXPECT_FALSE(ComponentIdentity::of(object(R"({"ProductComponentGroup": {"Name": "G"}})")));

    const ComponentIdentity outside{ComponentChildKind::Product, "Z", std::nullopt};
    const ComponentIdentity inside{ComponentChildKind::Product, "Z", "A"};
    const ComponentIdentity classification{ComponentChildKind::Classification, "A", std::nullopt};
    EXPECT_LT(outside, inside);
    EXPECT_LT(inside, classification);
}

TEST(Identity, PriceBookEntriesAndOptions) {
    const auto entry = PriceBookEntryIdentity::of(object(R"({"Product2": {"Name": "P"}, "Pricebook2": {"Name": "B"}})"));
    ASSERT_TRUE(entry);
    EXPECT_EQ(*entry, (PriceBookEntryIdentity{"P", "B", std::nullopt, std::nullopt}));
    EXPECT_FALSE(PriceBookEntryIdentity::of(object(R"({"Product2": {"Name": "P"}})")));
    const auto with_currency = PriceBookEntryIdentity::of(
        object(R"({"Product2": {"Name": "P"}, "Pricebook2": {"Name": "B"}, "CurrencyIsoCode": " EUR "})"));
    ASSERT_TRUE(with_currency);
    EXPECT_EQ(with_currency->currency, "EUR");
    const PriceBookEntryIdentity with_model{"P", "B", "M", std::nullopt};
    EXPECT_LT(*entry, *with_currency);
    EXPECT_LT(*with_currency, with_model);
    EXPECT_FALSE(SellingModelOptionIdentity::of(object(R"({"Product2": {"Name": "P"}})")));
}

TEST(Identity, DuplicatesAndCollisions) {
    const std::vector<std::string> texts{"a", "A", "a b", "a  b", "x", "x", "x", "a"};
    EXPECT_EQ(identity::duplicate_identities(texts), (std::vector<std::string>{"a", "x"}));

    const std::pair<std::vector<std::string>, std::vector<std::string>> cases[] = {
        {{"Bike", "bike", "Car"}, {"Bike", "bike"}},
        {{"Bike", "Car"}, {}},
        {{"ΟΔΟΣ", "οδος", "Οδοσ"}, {"ΟΔΟΣ", "οδος"}},
        {{"İ", "i\xCC\x87", "i"}, {"i\xCC\x87", "İ"}},
        {{"ß", "SS", "ss"}, {"SS", "ss"}},
        {{"B", "b", "A", "a"}, {"A", "B", "a", "b"}},
    };
    for (const auto& [names, expected] : cases) {
        SCOPED_TRACE(names.front());
        EXPECT_EQ(identity::case_insensitive_collisions(names), expected);
    }
}

TEST(Identity, AmbiguousReason) {
    std::vector<std::string> ten;
    for (int index = 0; index < 10; ++index) ten.push_back("n" + std::to_string(index));
    EXPECT_EQ(identity::ambiguous_reason("product bundle name", ten),
              "Ambiguous product bundle name: n0, n1, n2, n3, n4, n5, n6, n7, n8, n9");
    ten.push_back("n10");
    EXPECT_EQ(identity::ambiguous_reason("k", ten), "Ambiguous k: n0, n1, n2, n3, n4, n5, n6, n7, n8, n9 (and 1 more)");
    EXPECT_EQ(identity::ambiguous_reason("k", std::vector<std::string>{"one"}), "Ambiguous k: one");
}

schema::FieldSchema field(std::string name, std::string type, bool createable, bool calculated = false,
                          bool auto_number = false, bool external_id = false) {
    schema::FieldSchema result;
    result.name = std::move(name);
    result.type = std::move(type);
    result.createable = createable;
    result.calculated = calculated;
    result.auto_number = auto_number;
    result.external_id = external_id;
    return result;
}

schema::ObjectSchema schema_of(std::vector<schema::FieldSchema> fields) {
    schema::ObjectSchema result;
    result.name = "Product2";
    for (auto& item : fields) result.fields.emplace(item.name, std::move(item));
    return result;
}

TEST(ObjectFieldPlan, IntersectsComparableFields) {
    const auto source = schema_of({field("Name", "string", true), field("Code", "string", true),
                                   field("Lookup", "reference", true), field("Upper", "Reference", true),
                                   field("Calc", "double", true, true), field("Auto", "string", true, false, true),
                                   field("Key", "string", true, false, false, true), field("ReadOnly", "string", false),
                                   field("Mixed", "string", true), field("Src", "string", true)});
    const auto target = schema_of({field("Name", "string", true), field("code", "string", true),
                                   field("Lookup", "reference", true), field("Upper", "Reference", true),
                                   field("Mixed", "string", false), field("Tgt", "string", true)});
    const ObjectFieldPlan plan = ObjectFieldPlan::intersect("Product2", source, target);
    EXPECT_EQ(plan.object, "Product2");
    EXPECT_EQ(plan.compared, (std::vector<std::string>{"Name", "Upper"}));
    EXPECT_EQ(plan.source_only, (std::vector<std::string>{"Code", "Mixed", "Src"}));
    EXPECT_EQ(plan.target_only, (std::vector<std::string>{"Tgt", "code"}));

    const ObjectFieldPlan empty = ObjectFieldPlan::intersect("X", schema_of({field("R", "string", false)}), target);
    EXPECT_TRUE(empty.compared.empty());
    EXPECT_TRUE(empty.source_only.empty());
    EXPECT_EQ(empty.target_only, (std::vector<std::string>{"Name", "Tgt", "Upper", "code"}));
}

BundleLayers layers_as_the_cli_returns_them() {
    BundleLayers layers;
    layers.bundle = object(R"({"attributes": {"type": "Product2"}, "Id": "01tB", "Name": " Bike ", "Description": "d",
                              "BasedOn": {"Code": "C1"}, "Type": "Bundle"})");
    layers.classifications = objects({R"({"Code": "C1", "ParentProductClassification": {"Code": "C2"}})",
                                      R"({"Code": "C2", "ParentProductClassification": {"Code": "C1"}})",
                                      R"({"Code": "C3", "Name": "first"})", R"({"Code": "C3", "Name": "later"})",
                                      R"({"Code": "Unused"})", R"({"Code": "  "})"});
    layers.groups = objects({R"({"Name": "Wheels", "ParentGroup": null, "Sequence": 2})",
                             R"({"Name": "Frame", "ParentGroup": {"Name": "Wheels"}})", R"({"Name": ""})",
                             R"({"Name": "Wheels", "Sequence": 1})"});
    layers.components = objects(
        {R"({"ChildProductClassification": {"Code": "C3"}, "ChildProduct": null, "Quantity": 1.0})",
         R"({"ChildProduct": {"Name": "Wheel"}, "ProductComponentGroup": {"Name": "Wheels"},
             "ProductRelationshipType": {"Name": "Bundle to Bundle Component"}, "ChildSellingModel": {"Name": "One"}})",
         R"({"ChildProduct": {"Name": "Wheel"}, "ProductComponentGroup": null})", R"({"ChildProduct": null})"});
    layers.child_products = objects({R"({"Name": "Wheel", "Type": " Bundle ", "BasedOn": {"Code": "Missing"}})",
                                     R"({"Name": "Bolt", "Type": "bundle"})", R"({"Type": "Bundle"})"});
    layers.selling_model_options =
        objects({R"({"Product2": {"Name": "Bike"}, "ProductSellingModel": {"Name": "Term"}, "IsDefault": true})"});
    layers.price_book_entries = objects(
        {R"({"Product2": {"Name": "Bike"}, "Pricebook2": {"Name": "Std", "IsStandard": true}, "UnitPrice": 10})",
         R"({"Product2": {"Name": "Bike"}, "Pricebook2": {"Name": "Std", "IsStandard": "true"},
             "ProductSellingModel": {"Name": "Term"}, "CurrencyIsoCode": "EUR"})",
         R"({"Product2": {"Name": "Bike"}, "Pricebook2": null})"});
    layers.constraint_objects = objects({R"({"ExpressionSetId": " 9QM1 "})", R"({"ExpressionSetId": "9QM1"})",
                                         R"({"ExpressionSetId": "9QM2"})", R"({"ExpressionSetId": null})"});
    layers.expression_set_names = {{"9QM1", "Bike Rules"}};
    return layers;
}

TEST(BundleBuilding, BuildsRowsInKeyOrderFromCliRecords) {
    const std::vector<ObjectFieldPlan> plans = {
        ObjectFieldPlan{"Product2", {"Description", "Type"}, {}, {}},
        ObjectFieldPlan{"ProductComponentGroup", {"Sequence"}, {}, {}},
        ObjectFieldPlan{"ProductRelatedComponent", {"Quantity"}, {}, {}},
        ObjectFieldPlan{"ProductSellingModelOption", {"IsDefault"}, {}, {}},
        ObjectFieldPlan{"PricebookEntry", {"UnitPrice"}, {}, {}},
    };
    const auto document = document::build_bundle_document(layers_as_the_cli_returns_them(), plans);
    ASSERT_TRUE(document);
    EXPECT_EQ(document->objects, plans);
    EXPECT_EQ(document->product, (FieldSet{{"Description", "d"}, {"Type", "Bundle"}}));
    EXPECT_EQ(document->based_on, "C1");
    EXPECT_EQ(document->unresolved, (std::vector<std::pair<std::string, std::uint64_t>>{
                                        {"ProductComponentGroup", 1},
                                        {"ProductRelatedComponent", 1},
                                        {"Product2", 1},
                                        {"PricebookEntry", 1}}));
    ASSERT_EQ(document->classifications.size(), 3U);
    EXPECT_EQ(document->classifications[0].code, "C1");
    EXPECT_EQ(document->classifications[0].parent, "C2");
    EXPECT_EQ(document->classifications[1].code, "C2");
    EXPECT_EQ(document->classifications[2].code, "C3");
    EXPECT_TRUE(document->classifications[2].fields.empty());

    ASSERT_EQ(document->groups.size(), 3U);
    EXPECT_EQ(document->groups[0].name, "Frame");
    EXPECT_EQ(document->groups[0].parent, "Wheels");
    EXPECT_EQ(document->groups[1].fields, (FieldSet{{"Sequence", "2"}}));
    EXPECT_EQ(document->groups[2].fields, (FieldSet{{"Sequence", "1"}}));

    ASSERT_EQ(document->components.size(), 3U);
    EXPECT_EQ(document->components[0].identity, (ComponentIdentity{ComponentChildKind::Product, "Wheel", std::nullopt}));
    EXPECT_EQ(document->components[1].identity.group, "Wheels");
    EXPECT_EQ(document->components[1].relationship_type, "Bundle to Bundle Component");
    EXPECT_EQ(document->components[1].child_selling_model, "One");
    EXPECT_EQ(document->components[2].identity.kind, ComponentChildKind::Classification);
    EXPECT_EQ(document->components[2].fields, (FieldSet{{"Quantity", "1.0"}}));

    ASSERT_EQ(document->child_products.size(), 2U);
    EXPECT_EQ(document->child_products[0].name, "Bolt");
    EXPECT_FALSE(document->child_products[0].bundle);
    EXPECT_EQ(document->child_products[1].name, "Wheel");
    EXPECT_TRUE(document->child_products[1].bundle);
    EXPECT_EQ(document->child_products[1].based_on, "Missing");

    ASSERT_EQ(document->selling_model_options.size(), 1U);
    EXPECT_EQ(document->selling_model_options[0].fields, (FieldSet{{"IsDefault", "true"}}));
    ASSERT_EQ(document->price_book_entries.size(), 2U);
    EXPECT_TRUE(document->price_book_entries[0].standard);
    EXPECT_EQ(document->price_book_entries[0].fields, (FieldSet{{"UnitPrice", "10"}}));
    EXPECT_FALSE(document->price_book_entries[1].standard);
    EXPECT_EQ(document->tagged_by, (std::vector<std::string>{"Bike Rules"}));

    const auto reread = document::parse_bundle_document(document::write_bundle_document(*document));
    ASSERT_TRUE(reread) << reread.error().message();
    EXPECT_EQ(*reread, *document);
}

TEST(BundleBuilding, NoDocumentWithoutANamedBundle) {
    BundleLayers layers = layers_as_the_cli_returns_them();
    layers.bundle = object(R"({"Name": "   "})");
    EXPECT_FALSE(document::build_bundle_document(layers, {}));
    layers.bundle.reset();
    EXPECT_FALSE(document::build_bundle_document(layers, {}));
}

TEST(BundleBuilding, NeededClassificationsFollowParentsOnce) {
    BundleLayers layers;
    layers.bundle = object(R"({"Name": "B"})");
    layers.child_products = objects({R"({"Name": "K", "BasedOn": {"Code": "A"}})"});
    layers.classifications = objects({R"({"Code": "A", "ParentProductClassification": {"Code": "B"}})",
                                      R"({"Code": "B", "ParentProductClassification": {"Code": "A"}})",
                                      R"({"Code": "C"})"});
    const auto needed = document::needed_classifications(layers);
    ASSERT_EQ(needed.size(), 2U);
    EXPECT_EQ(identity::normalized_member(needed[0], "Code"), "A");
    EXPECT_EQ(identity::normalized_member(needed[1], "Code"), "B");
}

}  // namespace
}  // namespace ambrel::data::bundles
