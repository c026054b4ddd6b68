#include <string>
#include <vector>

#include <fmt/format.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "cli/catalog_test_support.hpp"
#include "cli/catalogs/metadata_listing.hpp"
#include "cli/catalogs/object_catalog.hpp"
#include "cli/catalogs/organization_catalog.hpp"
#include "cli/catalogs/revenue_cloud_catalog.hpp"
#include "metadata/layout_model.hpp"
#include "support/programming_error.hpp"

namespace ambrel::catalogs_test {
namespace {

using cli::catalogs::ListingOrigin;
using cli::catalogs::SalesforceObject;

std::vector<std::pair<std::string, ListingOrigin>> names_of(const std::vector<SalesforceObject>& rows) {
    std::vector<std::pair<std::string, ListingOrigin>> out;
    for (const auto& row : rows) out.emplace_back(row.api_name, row.origin);
    return out;
}

std::string invalid(std::string_view label, std::string_view detail, std::string_view guidance) {
    return fmt::format("Salesforce CLI {} returned an invalid response: {}. {}", label, detail, guidance);
}

// ---- Objects -----------------------------------------------------------------------------------

constexpr std::string_view kObjectLabel = "object catalog command";
constexpr std::string_view kObjectGuidance = "Verify the selected Salesforce org is authenticated and retry object loading.";

class ObjectCatalogTest : public FakeCliTest {
protected:
    auto list(const fake::Answer& answer) {
        scenario(fake::Scenario().on_prefix({"data", "query"}, answer));
        return cli::catalogs::ObjectCatalog(gateway_, kTimeout).list_objects("dh", token_);
    }
};

TEST_F(ObjectCatalogTest, RowsLabelsAndOrigins) {
    auto rows = list(query_answer(
        R"([{"attributes":{"type":"EntityDefinition"},"QualifiedApiName":"Account","Label":"Account","NamespacePrefix":null,"IsCustomizable":true},
            {"QualifiedApiName":"Thing__c","Label":null,"NamespacePrefix":null,"IsCustomizable":true},
            {"QualifiedApiName":"ns__Thing__c","Label":"  ","NamespacePrefix":"ns","IsCustomizable":true},
            {"QualifiedApiName":"xyz__Thing__c","Label":"X","NamespacePrefix":"","IsCustomizable":true},
            {"QualifiedApiName":"Hidden","Label":"H","NamespacePrefix":null,"IsCustomizable":false}])",
        5));
    ASSERT_TRUE(rows) << rows.error().message();
    EXPECT_EQ(names_of(*rows), (std::vector<std::pair<std::string, ListingOrigin>>{
                                   {"Account", ListingOrigin::Unpackaged},
                                   {"Thing__c", ListingOrigin::Unpackaged},
                                   {"ns__Thing__c", ListingOrigin::Packaged},
                                   {"xyz__Thing__c", ListingOrigin::Packaged}}));
    EXPECT_EQ((*rows)[1].label, "Thing__c");
    EXPECT_EQ((*rows)[2].label, "ns__Thing__c");
    const auto call = calls().at(0);
    EXPECT_EQ(call.args, (std::vector<std::string>{"data", "query", "--query", std::string(cli::catalogs::kObjectListingQuery),
                                                   "--target-org", "dh", "--json"}));
}

TEST_F(ObjectCatalogTest, InvalidOrShortenedAnswers) {
    struct Case {
        fake::Answer answer;
        std::string detail;
    };
    std::vector<Case> cases = {
        {fake::Answer().out(R"({"status":0,"result":{"records":{}}})"), "result.records is missing or is not an array"},
        {query_answer(R"([{"QualifiedApiName":"A","NamespacePrefix":null,"IsCustomizable":true}])", 1),
         "result.records[0].Label value must be present as text or null"},
        {query_answer(R"([{"QualifiedApiName":"A","Label":1,"NamespacePrefix":null,"IsCustomizable":true}])", 1),
         "result.records[0].Label value must be text or null"},
        {query_answer(R"([{"QualifiedApiName":"A","Label":null,"NamespacePrefix":null,"IsCustomizable":"true"}])", 1),
         "result.records[0].IsCustomizable value must be boolean"},
        {query_answer(R"([7])", 1), "result.records[0] entry is not an object"},
        // The CLI's own row limit: "done" false and a larger total.
        {query_answer(R"([{"QualifiedApiName":"A","Label":null,"NamespacePrefix":null,"IsCustomizable":true}])", 50001, false),
         "result is a truncated listing (done is false or totalSize does not match the returned records)"},
    };
    for (const Case& c : cases) {
        auto rows = list(c.answer);
        ASSERT_FALSE(rows) << c.detail;
        EXPECT_EQ(rows.error().message(), invalid(kObjectLabel, c.detail, kObjectGuidance));
    }
    EXPECT_THROW((void)cli::catalogs::ObjectCatalog(gateway_, kTimeout).list_objects("  ", token_), support::ProgrammingError);
}

TEST_F(ObjectCatalogTest, UnknownAliasIsTheCliFailureWithItsMessage) {
    scenario(fake::Scenario().orgs({"dh"}));
    auto rows = cli::catalogs::ObjectCatalog(gateway_, kTimeout).list_objects("nosuch", token_);
    ASSERT_FALSE(rows);
    EXPECT_THAT(rows.error().message(),
                ::testing::StartsWith("Salesforce CLI object catalog command failed (exit code 2, status 2, timed out: false). "));
    EXPECT_THAT(rows.error().message(), ::testing::HasSubstr("No authorization information found for nosuch."));
}

// ---- Metadata listings ---------------------------------------------------------------------------

class MetadataListingTest : public FakeCliTest {
protected:
    auto list(std::string_view type, std::string_view entries) {
        scenario(fake::Scenario().on_prefix({"org", "list", "metadata"},
                                            fake::Answer().out(fmt::format(R"({{"status":0,"result":{}}})", entries))));
        return cli::catalogs::MetadataListingCatalog(gateway_, kTimeout).list_metadata(type, "dh", token_);
    }
};

TEST_F(MetadataListingTest, PackagedComponentsAreDroppedOrKeptByType) {
    const std::string apex = R"([
        {"fullName":"b","manageableState":"unmanaged"},
        {"fullName":"ns__Util","namespacePrefix":"ns","manageableState":"installed"},
        {"fullName":"Helper","namespacePrefix":"ns","manageableState":"installed"},
        {"fullName":"B","manageableState":"UNMANAGED"},
        {"fullName":"a","manageableState":""},
        {"fullName":"c"}])";
    auto classes = list("ApexClass", apex);
    ASSERT_TRUE(classes) << classes.error().message();
    EXPECT_EQ(names_of(*classes), (std::vector<std::pair<std::string, ListingOrigin>>{
                                      {"B", ListingOrigin::Unpackaged},
                                      {"b", ListingOrigin::Unpackaged},
                                      {"c", ListingOrigin::Unpackaged},
                                      {"ns__Util", ListingOrigin::Packaged}}));
    EXPECT_EQ(calls().at(0).args, (std::vector<std::string>{"org", "list", "metadata", "--metadata-type", "ApexClass",
                                                            "--target-org", "dh", "--json"}));

    auto flows = list("Flow", R"([{"fullName":"ns__Flow","namespacePrefix":"ns"},{"fullName":"Mine"}])");
    ASSERT_TRUE(flows);
    EXPECT_EQ(names_of(*flows), (std::vector<std::pair<std::string, ListingOrigin>>{{"Mine", ListingOrigin::Unpackaged}}));

    auto layouts = list("Layout", R"([{"fullName":"Account-ns__Special Layout"},{"fullName":"Account-Account Layout"}])");
    ASSERT_TRUE(layouts);
    EXPECT_EQ(names_of(*layouts),
              (std::vector<std::pair<std::string, ListingOrigin>>{{"Account-Account Layout", ListingOrigin::Unpackaged}}));

    // Record types are object children: the child part decides, and packaged ones stay, marked.
    auto record_types = list("RecordType", R"([{"fullName":"Account.ns__Partner","namespacePrefix":"ns"},
                                               {"fullName":"ns__Obj__c.Plain","namespacePrefix":"ns"},
                                               {"fullName":"Account.Business"}])");
    ASSERT_TRUE(record_types);
    EXPECT_EQ(names_of(*record_types), (std::vector<std::pair<std::string, ListingOrigin>>{
                                           {"Account.Business", ListingOrigin::Unpackaged},
                                           {"Account.ns__Partner", ListingOrigin::Packaged}}));
    auto validation_rules = list("ValidationRule", R"([{"fullName":"Account.ns__Rule"},{"fullName":"Account.Rule"}])");
    ASSERT_TRUE(validation_rules);
    EXPECT_EQ(names_of(*validation_rules),
              (std::vector<std::pair<std::string, ListingOrigin>>{{"Account.Rule", ListingOrigin::Unpackaged}}));

    auto unknown = list("NoSuchType", R"([{"fullName":"x__y"},{"fullName":"z"}])");
    ASSERT_TRUE(unknown);
    EXPECT_EQ(names_of(*unknown), (std::vector<std::pair<std::string, ListingOrigin>>{{"z", ListingOrigin::Unpackaged}}));
}

TEST_F(MetadataListingTest, TheOrgsOwnObjectsAndFieldsAreUnpackaged) {
    // As the CLI lists them: the org's own rows are "unmanaged" without a prefix, installed ones carry both.
    struct Case {
        std::string type;
        std::string entries;
        std::vector<std::pair<std::string, ListingOrigin>> rows;
    };
    const std::vector<Case> cases = {
        {"CustomObject",
         R"([{"fullName":"Broker__c","manageableState":"unmanaged","type":"CustomObject"},
             {"fullName":"ns__Thing__c","namespacePrefix":"ns","manageableState":"installed","type":"CustomObject"},
             {"fullName":"Account","manageableState":"unmanaged","type":"CustomObject"}])",
         {{"Account", ListingOrigin::Unpackaged},
          {"Broker__c", ListingOrigin::Unpackaged},
          {"ns__Thing__c", ListingOrigin::Packaged}}},
        {"CustomField",
         R"([{"fullName":"Broker__c.Title__c","manageableState":"unmanaged","type":"CustomField"},
             {"fullName":"Account.ns__Score__c","namespacePrefix":"ns","manageableState":"installed","type":"CustomField"},
             {"fullName":"Broker__c.ns__Score__c","namespacePrefix":"ns","manageableState":"installed","type":"CustomField"}])",
         {{"Account.ns__Score__c", ListingOrigin::Packaged},
          {"Broker__c.Title__c", ListingOrigin::Unpackaged},
          {"Broker__c.ns__Score__c", ListingOrigin::Packaged}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.type);
        auto rows = list(c.type, c.entries);
        ASSERT_TRUE(rows) << rows.error().message();
        EXPECT_EQ(names_of(*rows), c.rows);
    }
}

TEST_F(MetadataListingTest, TabsCarryTheStandardTabs) {
    scenario(fake::Scenario()
                 .on_prefix({"org", "list", "metadata"}, capture("listmeta_customtab"))
                 .on_prefix({"data", "query"},
                            query_answer(R"([{"DurableId":"1","Name":"standard-Account","SobjectName":"Account","IsCustom":false},
                                             {"IsCustom":true},
                                             {"Name":"standard-Chatter-Feed","IsCustom":false},
                                             {"Name":"Broker__c","IsCustom":false}])",
                                         4)));
    auto tabs = cli::catalogs::MetadataListingCatalog(gateway_, kTimeout).list_metadata("CustomTab", "dh", token_);
    ASSERT_TRUE(tabs) << tabs.error().message();
    EXPECT_EQ(names_of(*tabs), (std::vector<std::pair<std::string, ListingOrigin>>{
                                   {"Broker__c", ListingOrigin::Unpackaged},
                                   {"Property_Explorer", ListingOrigin::Unpackaged},
                                   {"Property_Finder", ListingOrigin::Unpackaged},
                                   {"Property__c", ListingOrigin::Unpackaged},
                                   {"Settings", ListingOrigin::Unpackaged},
                                   {"standard-Account", ListingOrigin::StandardTab}}));
    const auto recorded = calls();
    ASSERT_EQ(recorded.size(), 2u);
    EXPECT_EQ(recorded[1].args.at(3), std::string(cli::catalogs::kStandardTabQuery));
}

TEST_F(MetadataListingTest, InvalidAnswers) {
    constexpr std::string_view kLabel = "metadata listing command";
    constexpr std::string_view kGuidance = "Verify the selected Salesforce org is authenticated and retry component loading.";
    EXPECT_EQ(list("ApexClass", "{}").error().message(),
              invalid(kLabel, "result is missing or is not an array of metadata entries", kGuidance));
    EXPECT_EQ(list("ApexClass", R"([{"fullName":""}])").error().message(),
              invalid(kLabel, "result[0].fullName value must be non-blank text", kGuidance));
    EXPECT_EQ(list("ApexClass", R"([{"fullName":"a","namespacePrefix":1}])").error().message(),
              invalid(kLabel, "result[0].namespacePrefix value must be text or null", kGuidance));

    scenario(fake::Scenario()
                 .on_prefix({"org", "list", "metadata"}, capture("listmeta_empty"))
                 .on_prefix({"data", "query"}, query_answer(R"([{"Name":"standard-Account","IsCustom":"false"}])", 1)));
    auto tabs = cli::catalogs::MetadataListingCatalog(gateway_, kTimeout).list_metadata("CustomTab", "dh", token_);
    ASSERT_FALSE(tabs);
    EXPECT_EQ(tabs.error().message(), invalid("standard tab query command", "result.records[0].IsCustom must be a boolean", kGuidance));
}

TEST(PackagedLayoutName, Rule) {
    EXPECT_TRUE(metadata::layout_reader::is_packaged_layout("Account-ns__Special"));
    EXPECT_TRUE(metadata::layout_reader::is_packaged_layout("Account-abcdefghijklmno__X"));
    EXPECT_FALSE(metadata::layout_reader::is_packaged_layout("Account-abcdefghijklmnop__X"));
    EXPECT_FALSE(metadata::layout_reader::is_packaged_layout("Account-Account Layout"));
    EXPECT_FALSE(metadata::layout_reader::is_packaged_layout("Account-1a__X"));
    EXPECT_TRUE(metadata::layout_reader::is_packaged_layout("ns__Obj__c"));
}

// ---- Organization ------------------------------------------------------------------------------

class OrganizationCatalogTest : public FakeCliTest {};

TEST_F(OrganizationCatalogTest, ReadsTheFirstRecord) {
    scenario(fake::Scenario().on_prefix({"data", "query"}, capture("q_org")));
    auto org = cli::catalogs::OrganizationCatalog(gateway_, kTimeout).describe("dana.admin@dreamhouse.standin", token_);
    ASSERT_TRUE(org) << org.error().message();
    EXPECT_EQ(*org, (cli::catalogs::OrganizationDescription{"Developer Edition", false}));

    constexpr std::string_view kLabel = "organization query command";
    constexpr std::string_view kGuidance = "Verify the selected Salesforce org is authenticated and retry the comparison.";
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"[]", "result.records is missing, not an array, or empty"},
        {R"([{"OrganizationType":"Developer Edition","IsSandbox":"false"}])", "result.records[0].IsSandbox must be boolean"},
        {R"([{"OrganizationType":" ","IsSandbox":false}])", "result.records[0].OrganizationType must be text"},
    };
    for (const auto& [records, detail] : cases) {
        scenario(fake::Scenario().on_prefix({"data", "query"}, query_answer(records, 1)));
        auto failed = cli::catalogs::OrganizationCatalog(gateway_, kTimeout).describe("dh", token_);
        ASSERT_FALSE(failed) << records;
        EXPECT_EQ(failed.error().message(), invalid(kLabel, detail, kGuidance));
    }
}

// ---- Revenue Cloud -------------------------------------------------------------------------------

class RevenueCloudTest : public FakeCliTest {
protected:
    cli::catalogs::RevenueCloudRecordCatalog catalog() const { return {gateway_, kTimeout}; }
};

TEST_F(RevenueCloudTest, CompletenessOfAnswers) {
    constexpr std::string_view kLabel = "Revenue Cloud record listing command";
    constexpr std::string_view kGuidance = "Verify the selected Salesforce org is authenticated and retry component loading.";
    const std::string truncated = invalid(
        kLabel, "result is a truncated listing (done is false or totalSize does not match the returned records)", kGuidance);
    struct Case {
        fake::Answer answer;
        std::optional<std::string> error;
    };
    std::vector<Case> cases = {
        {query_answer(R"([{"Id":"1"},{"Id":"2"}])", 2), std::nullopt},
        {query_answer(R"([{"Id":"1"},{"Id":"2"}])", 3), truncated},
        {query_answer(R"([{"Id":"1"},{"Id":"2"}])", 2, false), truncated},
        {fake::Answer().out(R"({"status":0,"result":{"records":[{"Id":"1"}]}})"), std::nullopt},
        {fake::Answer().out(R"({"status":0,"result":{}})"), invalid(kLabel, "result.records is missing or is not an array", kGuidance)},
    };
    for (const Case& c : cases) {
        scenario(fake::Scenario().on_prefix({"data", "query"}, c.answer));
        auto records = catalog().query_records("dh", "SELECT Id FROM X", token_);
        if (c.error) {
            ASSERT_FALSE(records);
            EXPECT_EQ(records.error().message(), *c.error);
        } else {
            EXPECT_TRUE(records) << records.error().message();
        }
    }
    scenario(fake::Scenario().on_prefix({"data", "query"}, query_answer("[1,2]", 2)));
    auto values = catalog().query("SELECT Id FROM X", "dh", token_);
    ASSERT_TRUE(values);
    EXPECT_EQ(values->size(), 2u);
    EXPECT_EQ(catalog().query_records("dh", "SELECT Id FROM X", token_).error().message(),
              invalid(kLabel, "result.records[] is not an object", kGuidance));
    EXPECT_THROW((void)catalog().query("SELECT Id FROM X", "", token_), support::ProgrammingError);
}

TEST_F(RevenueCloudTest, BundlesAndConstraintModels) {
    scenario(fake::Scenario()
                 .on_contains({std::string(cli::catalogs::kProductBundleQuery)},
                              query_answer(R"([{"Id":"1","Name":"Bundle B"},{"Id":"2","Name":"Bundle A"}])", 2))
                 .on_contains({std::string(cli::catalogs::kConstraintModelQuery)},
                              query_answer(R"([
                                 {"ApiName":"M1","Name":"Model one","ExpressionSetDefinition":null},
                                 {"ApiName":"M2","Name":" ","ExpressionSetDefinition":{"NamespacePrefix":null}},
                                 {"ApiName":"M3","Name":"Packaged","ExpressionSetDefinition":{"attributes":{},"NamespacePrefix":"ns"}}])",
                                           3)));
    auto bundles = catalog().list_product_bundles("dh", token_);
    ASSERT_TRUE(bundles) << bundles.error().message();
    EXPECT_EQ(names_of(*bundles), (std::vector<std::pair<std::string, ListingOrigin>>{
                                      {"Bundle B", ListingOrigin::Unpackaged}, {"Bundle A", ListingOrigin::Unpackaged}}));
    auto models = catalog().list_constraint_models("dh", token_);
    ASSERT_TRUE(models) << models.error().message();
    ASSERT_EQ(models->size(), 2u);
    EXPECT_EQ((*models)[0], (SalesforceObject{"M1", "Model one", ListingOrigin::Unpackaged}));
    EXPECT_EQ((*models)[1], (SalesforceObject{"M2", "M2", ListingOrigin::Unpackaged}));

    scenario(fake::Scenario().on_prefix({"data", "query"}, query_answer(R"([{"Id":"1"}])", 1)));
    EXPECT_EQ(catalog().list_product_bundles("dh", token_).error().message(),
              invalid("Revenue Cloud record listing command", "result.records[].Name must be non-empty text",
                      "Verify the selected Salesforce org is authenticated and retry component loading."));
}

}  // namespace
}  // namespace ambrel::catalogs_test
