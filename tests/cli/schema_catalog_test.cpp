#include <set>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "cli/catalog_test_support.hpp"
#include "cli/schema_catalog.hpp"

namespace ambrel::catalogs_test {
namespace {

using cli::SchemaCatalogError;
using cli::SfSchemaCatalog;
namespace schema_catalog = cli::schema_catalog;

constexpr std::string_view kFieldPrefix =
    "SELECT EntityDefinition.QualifiedApiName, QualifiedApiName FROM FieldDefinition WHERE "
    "EntityDefinition.QualifiedApiName IN (";

std::string field_record(std::string_view object, std::string_view field, std::string_view type = "Text(80)") {
    return fmt::format(
        R"({{"attributes":{{"type":"FieldDefinition"}},"EntityDefinition":{{"attributes":{{"type":"EntityDefinition"}},"QualifiedApiName":"{}"}},"QualifiedApiName":"{}","DataType":"{}"}})",
        object, field, type);
}

std::string records_of(const std::vector<std::string>& records) { return "[" + fmt::format("{}", fmt::join(records, ",")) + "]"; }

std::string many_records(std::size_t count) {
    std::vector<std::string> records;
    for (std::size_t i = 0; i < count; ++i) records.push_back(field_record("Big__c", fmt::format("F{}__c", i)));
    return records_of(records);
}

class SchemaCatalogTest : public FakeCliTest {
protected:
    SfSchemaCatalog catalog() const { return {gateway_, kTimeout}; }
    std::vector<std::string> queries() const {
        std::vector<std::string> out;
        for (const auto& call : calls()) out.push_back(call.args.at(3));
        return out;
    }
};

TEST_F(SchemaCatalogTest, ListsFieldsByQualifiedNameOfTheRealCliAnswer) {
    scenario(fake::Scenario().on_prefix({"data", "query"}, capture("qt_fielddef_qn")));
    auto listing = catalog().object_fields("dh", {"Broker__c", "Property__c"}, token_);
    ASSERT_TRUE(listing) << listing.error().message();
    EXPECT_TRUE(listing->knows_object("broker__c"));
    EXPECT_TRUE(listing->knows_field("BROKER__C", "ownerid"));
    EXPECT_FALSE(listing->knows_field("Broker__c", "Nope"));
    EXPECT_EQ(queries(), (std::vector<std::string>{std::string(kFieldPrefix) + "'Broker__c', 'Property__c') LIMIT 2000"}));
}

TEST_F(SchemaCatalogTest, UnsafeNamesNeverReachTheQuery) {
    scenario(fake::Scenario().on_prefix({"data", "query"}, query_answer("[]", 0)));
    const std::set<std::string> unsafe = {"", "1Obj", "_Obj", "Obj.Field", "Obj-x", "Has Space", "O'Brien__c", "Caf\u00e9__c"};
    auto empty = catalog().object_fields("dh", unsafe, token_);
    ASSERT_TRUE(empty);
    EXPECT_TRUE(empty->objects.empty());
    EXPECT_TRUE(calls().empty());

    std::set<std::string> mixed = unsafe;
    mixed.insert("Account");
    ASSERT_TRUE(catalog().external_key_fields("dh", mixed, token_));
    EXPECT_EQ(queries(), (std::vector<std::string>{"SELECT EntityDefinition.QualifiedApiName, QualifiedApiName, DataType FROM "
                                                   "FieldDefinition WHERE EntityDefinition.QualifiedApiName IN "
                                                   "('Account') LIMIT 2000"}));
}

TEST_F(SchemaCatalogTest, BatchesOfTenAndCachedWithinAnOperation) {
    scenario(fake::Scenario().on_prefix({"data", "query"}, query_answer("[]", 0)));
    std::set<std::string> names;
    for (int i = 1; i <= 25; ++i) names.insert(fmt::format("Obj{:02}__c", i));
    gateway_.cache()->begin_operation(true);
    ASSERT_TRUE(catalog().object_fields("dh", names, token_));
    ASSERT_TRUE(catalog().object_fields("dh", names, token_));
    const auto sent = queries();
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_THAT(sent[0], ::testing::HasSubstr("'Obj01__c', 'Obj02__c'"));
    EXPECT_THAT(sent[0], ::testing::HasSubstr("'Obj10__c')"));
    EXPECT_THAT(sent[1], ::testing::HasSubstr("('Obj11__c'"));
    EXPECT_THAT(sent[2], ::testing::HasSubstr("('Obj21__c', 'Obj22__c', 'Obj23__c', 'Obj24__c', 'Obj25__c')"));
}

TEST_F(SchemaCatalogTest, FullAnswersAreSplitInHalves) {
    // Any batch holding Big__c reaches the row limit; the others answer with nothing.
    scenario(fake::Scenario()
                 .on_contains({std::string(kFieldPrefix) + "'A__c', 'B__c', 'Big__c') LIMIT 2000"}, query_answer(many_records(2000), 2000))
                 .on_contains({std::string(kFieldPrefix) + "'B__c', 'Big__c') LIMIT 2000"}, query_answer(many_records(2000), 2000))
                 .on_contains({std::string(kFieldPrefix) + "'Big__c') LIMIT 2000"}, query_answer(many_records(1999), 1999))
                 .otherwise(query_answer("[]", 0)));
    auto listing = catalog().object_fields("dh", {"A__c", "B__c", "Big__c"}, token_);
    ASSERT_TRUE(listing) << listing.error().message();
    EXPECT_EQ(listing->fields.size(), 1999u);
    EXPECT_EQ(queries().size(), 5u);  // 3 → 1 + 2 → 2 splits into 1 + 1

    scenario(fake::Scenario().on_prefix({"data", "query"}, query_answer(many_records(2000), 2000)));
    auto single = catalog().object_fields("dh", {"Big__c"}, token_);
    ASSERT_FALSE(single);
    EXPECT_EQ(single.error().message(),
              "The object-field listing of 'Big__c' does not fit one batch of 2000 rows, so it cannot be complete.");
}

TEST_F(SchemaCatalogTest, ExternalKeys) {
    scenario(fake::Scenario().on_prefix(
        {"data", "query"},
        query_answer(records_of({field_record("Product2", "Key__c", "Text(20) (External ID)"),
                                 field_record("Product2", "StockKeepingUnit", "Text(180) (External ID)"),
                                 field_record("Product2", "Upper__C", "Text(20) (External ID)"),
                                 field_record("Product2", "QuillaryExternalId__c", "Text(18)"),
                                 field_record("Account", "Name")}),
                     5)));
    auto keys = catalog().external_key_fields("u@x", {"Account", "Product2"}, token_);
    ASSERT_TRUE(keys) << keys.error().message();
    EXPECT_EQ(keys->external_ids_of("product2"), (std::set<std::string>{"Key__c", "QuillaryExternalId__c"}));
    EXPECT_TRUE(keys->has_external_id("PRODUCT2", "QuillaryExternalId__c"));
    EXPECT_FALSE(keys->has_external_id("Product2", "quillaryexternalid__c"));
    EXPECT_TRUE(keys->knows_object("account"));
    EXPECT_TRUE(keys->external_ids_of("Account").empty());
}

TEST_F(SchemaCatalogTest, IncompleteAnswersFail) {
    struct Case {
        std::string stdout_text;
        std::string message;
    };
    const std::string one = field_record("A__c", "Id");
    const std::vector<Case> cases = {
        {R"({"status":0})", "Salesforce query response has no result object"},
        {R"({"status":0,"result":{"done":true}})", "Salesforce query response has no result.records"},
        {R"({"status":0,"result":{"records":5}})", "Salesforce query returned invalid result.records"},
        {R"({"status":0,"result":{"records":[1]}})", "Salesforce query returned a non-object record"},
        {fmt::format(R"({{"status":0,"result":{{"records":[{}],"totalSize":1}}}})", one), "Salesforce query response has no valid result.done"},
        {fmt::format(R"({{"status":0,"result":{{"records":[{}],"done":true,"totalSize":1.0}}}})", one),
         "Salesforce query response has no valid result.totalSize"},
        {fmt::format(R"({{"status":0,"warnings":{{}},"result":{{"records":[{}],"done":true,"totalSize":1}}}})", one),
         "Salesforce query response has malformed warnings"},
        {fmt::format(R"({{"status":0,"result":{{"records":[{}],"done":false,"totalSize":1}}}})", one),
         "Salesforce object-field query result is incomplete or truncated"},
        {fmt::format(R"({{"status":0,"result":{{"records":[{}],"done":true,"totalSize":2}}}})", one),
         "Salesforce object-field query result is incomplete or truncated"},
        {fmt::format(R"({{"status":0,"warnings":["cut"],"result":{{"records":[{}],"done":true,"totalSize":1}}}})", one),
         "Salesforce object-field query result is incomplete or truncated"},
        {R"({"status":0,"result":{"records":[{"QualifiedApiName":"Id"}],"done":true,"totalSize":1}})",
         "Salesforce field listing record has no EntityDefinition.QualifiedApiName"},
        {R"({"status":0,"result":{"records":[{"EntityDefinition":{"QualifiedApiName":"A__c"}}],"done":true,"totalSize":1}})",
         "Salesforce field listing record has no QualifiedApiName"},
    };
    for (const Case& c : cases) {
        scenario(fake::Scenario().on_prefix({"data", "query"}, fake::Answer().out(c.stdout_text)));
        auto listing = catalog().object_fields("dh", {"A__c"}, token_);
        ASSERT_FALSE(listing) << c.stdout_text;
        EXPECT_EQ(listing.error().message(), c.message);
    }
    // A single record object counts as one record.
    scenario(fake::Scenario().on_prefix(
        {"data", "query"}, fake::Answer().out(fmt::format(R"({{"status":0,"result":{{"records":{},"done":true,"totalSize":1}}}})", one))));
    auto single = catalog().object_fields("dh", {"A__c"}, token_);
    ASSERT_TRUE(single) << single.error().message();
    EXPECT_TRUE(single->knows_field("A__c", "Id"));
}

TEST_F(SchemaCatalogTest, FailedQueriesAreRetriedOnceWithSafeDetails) {
    // Without a JSON error answer on standard output, standard error explains the failure.
    scenario(fake::Scenario().on_prefix(
        {"data", "query"},
        fake::Answer().out(R"({"status":1})").err("line one\n  refreshToken: zzz, rest\n").exit_code(1)));
    auto failed = catalog().object_fields("dh", {"A__c"}, token_);
    ASSERT_FALSE(failed);
    EXPECT_THAT(failed.error().message(), ::testing::StartsWith("The object-field query failed. line one refreshToken: "));
    EXPECT_THAT(failed.error().message(), ::testing::HasSubstr("[REDACTED]"));
    EXPECT_THAT(failed.error().message(), ::testing::Not(::testing::HasSubstr("zzz")));
    EXPECT_EQ(calls().size(), 2u);

    scenario(fake::Scenario().on_prefix({"data", "query"}, fake::Answer().out("not json").exit_code(1)));
    auto malformed = catalog().object_fields("dh", {"A__c"}, token_);
    ASSERT_FALSE(malformed);
    EXPECT_EQ(malformed.error().message(), "Salesforce CLI returned an invalid object-field query response. not json");

    EXPECT_EQ(schema_catalog::safe_text(R"({"m":"accessToken=abc123,next"})"), R"({"m":"accessToken=[REDACTED],next"})");
    // The gateway's redaction drops the rest of the line; the marker it leaves stays whole.
    EXPECT_EQ(schema_catalog::safe_text(R"(refused: accessToken="abc def" at x)"), "refused: accessToken=[REDACTED]");
    EXPECT_EQ(schema_catalog::safe_text(R"(refused: accessToken: "x", more)"), "refused: accessToken: [REDACTED]");
    EXPECT_EQ(schema_catalog::safe_text(std::string(3000, 'x')).size(), 2000u);
}

TEST_F(SchemaCatalogTest, ACliErrorAnswerIsShownByItsNameAndMessage) {
    struct Case {
        std::string name;
        fake::Answer answer;
        std::string message;
    };
    const std::vector<Case> cases = {
        // The real CLI's answer for an unknown org: its stack of local install paths stays out.
        {"unknown org", fake::Answer::capture("query_noorg"),
         "The object-field query failed. NamedOrgNotFoundError: Parsing --target-org No authorization information "
         "found for nosuch. See more help with --help"},
        {"a plain message",
         fake::Answer()
             .out(R"({"status":1,"name":"Boom","message":"bad\n\n  thing","stack":"Boom: at /usr/local/lib/sf/x.js:1:1"})")
             .err("line one\n")
             .exit_code(1),
         "The object-field query failed. Boom: bad thing"},
        {"message begins with the name's tail",
         fake::Answer().out(R"({"status":1,"name":"sf:NOT_ALLOWED","message":"NOT_ALLOWED here"})").exit_code(1),
         "The object-field query failed. NOT_ALLOWED here"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        scenario(fake::Scenario().on_prefix({"data", "query"}, c.answer));
        const std::size_t before = calls().size();
        auto failed = catalog().object_fields("nosuch", {"Account"}, token_);
        ASSERT_FALSE(failed);
        EXPECT_EQ(failed.error().message(), c.message);
        EXPECT_EQ(calls().size() - before, 2u) << "still retried once";
    }
}

TEST_F(SchemaCatalogTest, SecretsInACliErrorAnswerStayHidden) {
    scenario(fake::Scenario().on_prefix(
        {"data", "query"},
        fake::Answer()
            .out(R"({"status":1,"name":"Boom","message":"bad\n\n  thing {\"x\":\"accessToken=abc123,\"}","stack":"Boom: at /usr/local/lib/sf/x.js:1:1"})")
            .err("line one\n")
            .exit_code(1)));
    auto failed = catalog().object_fields("dh", {"A__c"}, token_);
    ASSERT_FALSE(failed);
    const std::string message = failed.error().message();
    EXPECT_THAT(message, ::testing::StartsWith(R"(The object-field query failed. Boom: bad thing {"x":"accessToken=)"));
    EXPECT_THAT(message, ::testing::HasSubstr("[REDACTED]"));
    for (std::string_view hidden : {"abc123", "/usr/local/lib", "line one"}) {
        EXPECT_THAT(message, ::testing::Not(::testing::HasSubstr(std::string(hidden))));
    }
}

TEST_F(SchemaCatalogTest, BlankUserAndCancellation) {
    scenario(fake::Scenario());
    EXPECT_EQ(catalog().object_fields(" ", {"A__c"}, token_).error().message(),
              "The org username is empty, so its object fields cannot be listed.");
    EXPECT_EQ(catalog().external_key_fields("", {"A__c"}, token_).error().message(),
              "The org username is empty, so its external key fields cannot be listed.");
    token_.cancel();
    EXPECT_TRUE(catalog().object_fields("dh", {"A__c"}, token_).error().is_cancelled());
    EXPECT_TRUE(calls().empty());
}

TEST(SchemaNames, SafeNamesAndQuotedList) {
    EXPECT_TRUE(schema_catalog::is_safe_object_name("ns__Thing__c"));
    EXPECT_TRUE(schema_catalog::is_safe_object_name("Product2"));
    for (std::string_view bad : {"", "2x", "_x", "a.b", "a-b", "a b", "a'b", "\u00e9t\u00e9"}) {
        EXPECT_FALSE(schema_catalog::is_safe_object_name(bad)) << bad;
    }
    EXPECT_EQ(schema_catalog::quoted_list({"A", "B"}), "'A', 'B'");
}

}  // namespace
}  // namespace ambrel::catalogs_test
