#include <gtest/gtest.h>

#include <limits>
#include <map>
#include <set>
#include <unordered_set>

#include <boost/json/parse.hpp>

#include "domain/domain_test_support.hpp"
#include "domain/component.hpp"
#include "domain/component_key_json.hpp"

namespace ambrel::domain {
namespace {

using metadata_types::MetadataType;

using testing::generic;

TEST(ComponentKey, OrdersByTypeThenNameByteWise) {
    const std::vector<ComponentKey> expected = {
        {MetadataType::CustomField, "Account.B__c"},
        {MetadataType::CustomField, "Account.a__c"},
        {MetadataType::CustomObject, ""},
        {MetadataType::CustomObject, "A"},
        {MetadataType::CustomObject, "AB"},
        {MetadataType::CustomObject, "Z"},
        {MetadataType::CustomObject, "a"},
        {MetadataType::CustomObject, "\xC3\xA9"},
        {MetadataType::ConstraintModel, "A"},
        {MetadataType::Generic(0), "Z"},
        {MetadataType::Generic(1), "A"},
        {MetadataType::DataRecord(0), "A"},
        {MetadataType::DataRecord(32), "A"},
    };
    const std::set<ComponentKey> sorted(expected.rbegin(), expected.rend());
    EXPECT_EQ(std::vector<ComponentKey>(sorted.begin(), sorted.end()), expected);
}

TEST(ComponentKey, EqualityAndHashTakeTheIndexAndEveryByte) {
    const ComponentKey key{MetadataType::Generic(5), "Name"};
    EXPECT_EQ(key, (ComponentKey{MetadataType::Generic(5), "Name"}));
    EXPECT_NE(key, (ComponentKey{MetadataType::Generic(6), "Name"}));
    EXPECT_NE(key, (ComponentKey{MetadataType::DataRecord(5), "Name"}));
    EXPECT_NE(key, (ComponentKey{MetadataType::Generic(5), "name"}));
    EXPECT_NE(key, (ComponentKey{MetadataType::Generic(5), std::string("Name\0", 5)}));

    const std::unordered_set<ComponentKey> set{key, {MetadataType::Generic(6), "Name"},
                                               {MetadataType::DataRecord(5), "Name"}};
    EXPECT_EQ(set.size(), 3u);
    EXPECT_TRUE(set.contains(ComponentKey{MetadataType::Generic(5), "Name"}));
    EXPECT_EQ(std::hash<ComponentKey>{}(key), std::hash<ComponentKey>{}(ComponentKey(key)));
}

TEST(ComponentKey, ToFieldKeySplitsAtTheFirstDot) {
    struct Case {
        std::string name;
        FieldKey field;
    };
    const std::vector<Case> cases = {
        {"Account.Tier__c", {"Account", "Tier__c"}},
        {"NoDot", {"", ""}},
        {"A.b.c", {"A", "b.c"}},
        {".f", {"", "f"}},
        {"o.", {"o", ""}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ((ComponentKey{MetadataType::CustomField, c.name}.to_field_key()), c.field) << c.name;
    }
}

TEST(FieldKey, OrdersByObjectThenField) {
    EXPECT_LT((FieldKey{"A", "z"}), (FieldKey{"B", "a"}));
    EXPECT_LT((FieldKey{"A", "B"}), (FieldKey{"A", "a"}));
}

TEST(ComponentKeyJson, WireForm) {
    const ComponentKey key{generic("CustomTab"), "Invoice__c"};
    const boost::json::value json = to_json(key);
    ASSERT_TRUE(json.is_object());
    const auto& object = json.as_object();
    ASSERT_EQ(object.size(), 2u);
    EXPECT_EQ(object.begin()->key(), "metadataType");
    EXPECT_EQ(object.at("metadataType"), "CustomTab");
    EXPECT_EQ(object.at("name"), "Invoice__c");
    EXPECT_EQ(component_key_from_json(json), key);

    EXPECT_EQ(component_key_from_json(boost::json::parse(
                  R"({"name":"A","metadataType":"CustomMetadataType","extra":1})")),
              (ComponentKey{MetadataType::CustomMetadataType, "A"}));
    for (const char* text : {R"({"metadataType":"customfield","name":"A.b"})",
                             R"({"metadataType":"ApexClass"})", R"({"metadataType":"ApexClass","name":3})",
                             R"({"metadataType":1,"name":"x"})", R"(["ApexClass","x"])", "null"}) {
        EXPECT_EQ(component_key_from_json(boost::json::parse(text)), std::nullopt) << text;
    }
}

TEST(CustomFieldDefinition, FromComponentReadsEachAttributeByItsKind) {
    MetadataComponent component;
    component.key = {MetadataType::CustomField, "Account.Tier__c"};
    component.attributes = {
        AttributeValue::text("Text"),
        AttributeValue::number(7),  // a text attribute given as a number is absent
        AttributeValue::text(std::nullopt),
        AttributeValue::text("Account"),
        AttributeValue::number(std::int64_t{std::numeric_limits<std::int32_t>::max()} + 1),
        AttributeValue::number(std::numeric_limits<std::int32_t>::min()),
        AttributeValue::text("2"),  // a numeric attribute given as a text is absent
        AttributeValue::text("Tier"),
    };
    component.source_path = "objects/Account/fields/Tier__c.field-meta.xml";
    component.document = "<CustomField/>";
    component.required = true;

    const CustomFieldDefinition definition = component.to_custom_field_definition();
    EXPECT_EQ(definition.key, (FieldKey{"Account", "Tier__c"}));
    EXPECT_EQ(definition.attributes.field_type, "Text");
    EXPECT_EQ(definition.attributes.formula, std::nullopt);
    EXPECT_EQ(definition.attributes.default_value, std::nullopt);
    EXPECT_EQ(definition.attributes.reference_to, "Account");
    EXPECT_EQ(definition.attributes.length, std::nullopt);
    EXPECT_EQ(definition.attributes.precision, std::numeric_limits<std::int32_t>::min());
    EXPECT_EQ(definition.attributes.scale, std::nullopt);
    EXPECT_EQ(definition.attributes.label, "Tier");
    EXPECT_EQ(definition.source_path, component.source_path);
    EXPECT_EQ(definition.document, component.document);
    EXPECT_TRUE(definition.required);
}

TEST(CustomFieldDefinition, MissingPositionsAreAbsent) {
    MetadataComponent component;
    component.key = {MetadataType::CustomField, "Account.Tier__c"};
    component.attributes = {AttributeValue::text("Number")};
    const FieldAttributes attributes = component.to_custom_field_definition().attributes;
    EXPECT_EQ(attributes.field_type, "Number");
    EXPECT_EQ(attributes.length, std::nullopt);
    EXPECT_EQ(attributes.label, std::nullopt);
}

TEST(CustomFieldDefinition, ToComponentAndBack) {
    CustomFieldDefinition definition;
    definition.key = {"Invoice__c", "Amount__c"};
    definition.attributes.field_type = "Currency";
    definition.attributes.precision = 18;
    definition.attributes.scale = -2;
    definition.attributes.label = "Amount";
    definition.source_path = "objects/Invoice__c/fields/Amount__c.field-meta.xml";
    definition.document = "<CustomField/>";
    definition.required = true;

    const MetadataComponent component = definition.to_component();
    EXPECT_EQ(component.key, (ComponentKey{MetadataType::CustomField, "Invoice__c.Amount__c"}));
    const std::vector<AttributeValue> expected = {
        AttributeValue::text("Currency"), AttributeValue::text(std::nullopt),
        AttributeValue::text(std::nullopt), AttributeValue::text(std::nullopt),
        AttributeValue::number(std::nullopt), AttributeValue::number(18),
        AttributeValue::number(-2), AttributeValue::text("Amount"),
    };
    EXPECT_EQ(component.attributes, expected);
    EXPECT_FALSE(component.body.has_value());
    EXPECT_TRUE(component.bundle_files.empty());
    EXPECT_TRUE(component.required);
    EXPECT_EQ(component.to_custom_field_definition(), definition);
}

}  // namespace
}  // namespace ambrel::domain
