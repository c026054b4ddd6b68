#include <string>

#include <gtest/gtest.h>

#include "data/schema.hpp"
#include "json/json.hpp"

namespace ambrel::data::schema {
namespace {

json::Value parse_json(std::string_view text) {
    auto value = json::parse(text);
    EXPECT_TRUE(value) << value.error().message();
    return value ? *value : json::Value();
}

std::expected<ObjectSchema, std::string> parse_describe(std::string_view text) {
    return ObjectSchema::parse(parse_json(text));
}

TEST(ObjectSchema, ReadsEveryFieldMember) {
    const auto schema = parse_describe(R"({
        "name": "Product2",
        "fields": [
            {"name": "Name", "label": "Product Name", "type": "string", "createable": true, "updateable": true,
             "nillable": false, "calculated": false, "unique": false, "externalId": false, "custom": false,
             "autoNumber": false, "defaultedOnCreate": false, "length": 255, "referenceTo": []},
            {"name": "TaxPolicyId", "type": "reference", "referenceTo": ["TaxPolicy", 7, null, "Other"],
             "relationshipName": "TaxPolicy", "nillable": true, "defaultedOnCreate": true},
            {"name": "Key__c", "label": null, "type": "string", "externalId": true, "unique": true, "custom": true,
             "autoNumber": true, "calculated": true, "length": -3}
        ]})");
    ASSERT_TRUE(schema) << schema.error();
    EXPECT_EQ(schema->name, "Product2");
    ASSERT_EQ(schema->fields.size(), 3u);

    const FieldSchema& name = schema->fields.at("Name");
    EXPECT_EQ(name.label, "Product Name");
    EXPECT_EQ(name.type, "string");
    EXPECT_TRUE(name.createable);
    EXPECT_TRUE(name.updateable);
    EXPECT_FALSE(name.nillable);
    EXPECT_EQ(name.length, 255);
    EXPECT_EQ(name.relationship_name, std::nullopt);

    const FieldSchema& tax = schema->fields.at("TaxPolicyId");
    EXPECT_EQ(tax.label, "");
    EXPECT_EQ(tax.reference_to, (std::vector<std::string>{"TaxPolicy", "Other"}));
    EXPECT_EQ(tax.relationship_name, "TaxPolicy");
    EXPECT_TRUE(tax.nillable);
    EXPECT_TRUE(tax.defaulted_on_create);
    EXPECT_FALSE(tax.createable);
    EXPECT_EQ(tax.length, 0);

    const FieldSchema& key = schema->fields.at("Key__c");
    EXPECT_EQ(key.label, "");
    EXPECT_TRUE(key.external_id && key.unique && key.custom && key.auto_number && key.calculated);
    EXPECT_EQ(key.length, -3);
}

TEST(ObjectSchema, FlagsAreTrueOnlyForTheJsonValueTrue) {
    const auto schema = parse_describe(R"({"name": "X", "fields": [
        {"name": "a", "type": "string", "externalId": "true", "createable": 1, "updateable": null}]})");
    ASSERT_TRUE(schema);
    const FieldSchema& field = schema->fields.at("a");
    EXPECT_FALSE(field.external_id);
    EXPECT_FALSE(field.createable);
    EXPECT_FALSE(field.updateable);
}

TEST(ObjectSchema, LengthMustBeAnIntegerThatFits) {
    struct Case {
        std::string_view length;
        std::int64_t expected;
    };
    const Case cases[] = {
        {"255", 255}, {"255.0", 0}, {"-1", -1}, {"18446744073709551615", 0}, {"\"255\"", 0}, {"1e2", 0},
    };
    for (const Case& c : cases) {
        const std::string text =
            std::string(R"({"name":"X","fields":[{"name":"a","type":"string","length":)") + std::string(c.length) + "}]}";
        const auto schema = parse_describe(text);
        ASSERT_TRUE(schema) << c.length;
        EXPECT_EQ(schema->fields.at("a").length, c.expected) << c.length;
    }
}

TEST(ObjectSchema, ALaterFieldOfTheSameNameReplacesTheEarlierOne) {
    const auto schema = parse_describe(R"({"name": "X", "fields": [
        {"name": "b", "type": "string"}, {"name": "a", "type": "string", "label": "first"},
        {"name": "a", "type": "double", "label": "second"}]})");
    ASSERT_TRUE(schema);
    ASSERT_EQ(schema->fields.size(), 2u);
    EXPECT_EQ(schema->fields.at("a").label, "second");
    EXPECT_EQ(schema->fields.at("a").type, "double");
    EXPECT_EQ(schema->fields.begin()->first, "a");
}

TEST(ObjectSchema, Failures) {
    struct Case {
        std::string_view describe;
        std::string_view message;
    };
    const Case cases[] = {
        {R"({"fields": [{"name": "a", "type": "string"}]})", "field is missing a string 'name'"},
        {R"({"name": 5, "fields": []})", "field is missing a string 'name'"},
        {R"([1, 2])", "field is missing a string 'name'"},
        {R"({"name": "X"})", "'fields' is missing or is not an array"},
        {R"({"name": "X", "fields": {}})", "'fields' is missing or is not an array"},
        {R"({"name": "X", "fields": []})", "'fields' is empty"},
        {R"({"name": "X", "fields": [{"name": "a"}]})", "field is missing a string 'type'"},
        {R"({"name": "X", "fields": [{"name": "a", "type": "string"}, {"type": "string"}]})",
         "field is missing a string 'name'"},
        {R"({"name": "X", "fields": ["a"]})", "field is missing a string 'name'"},
    };
    for (const Case& c : cases) {
        const auto schema = parse_describe(c.describe);
        ASSERT_FALSE(schema) << c.describe;
        EXPECT_EQ(schema.error(), c.message) << c.describe;
    }
}

TEST(ObjectSchema, ExternalIdFieldsComeInNameOrder) {
    const auto schema = parse_describe(R"({"name": "X", "fields": [
        {"name": "Zeta__c", "type": "string", "externalId": true},
        {"name": "Name", "type": "string"},
        {"name": "Alpha__c", "type": "string", "externalId": true},
        {"name": "beta__c", "type": "string", "externalId": true}]})");
    ASSERT_TRUE(schema);
    std::vector<std::string> names;
    for (const FieldSchema* field : schema->external_id_fields()) names.push_back(field->name);
    EXPECT_EQ(names, (std::vector<std::string>{"Alpha__c", "Zeta__c", "beta__c"}));
}

TEST(SchemaText, ReadsOnlyStringMembers) {
    EXPECT_EQ(text(parse_json(R"({"k": "v"})"), "k"), "v");
    EXPECT_EQ(text(parse_json(R"({"k": 1})"), "k").error(), "field is missing a string 'k'");
    EXPECT_EQ(text(parse_json(R"("k")"), "k").error(), "field is missing a string 'k'");
}

}  // namespace
}  // namespace ambrel::data::schema
