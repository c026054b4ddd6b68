#include <filesystem>
#include <functional>
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
#include "cli/describe.hpp"
#include "cli/login.hpp"
#include "cli/record_keys.hpp"
#include "cli/rest.hpp"
#include "cli/schema_catalog.hpp"
#include "support/programming_error.hpp"

namespace ambrel::catalogs_test {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

// ---- Describe ----------------------------------------------------------------------------------

class DescribeTest : public FakeCliTest {
protected:
    auto describe(std::string_view object) {
        return cli::SObjectDescribeCatalog(gateway_, kTimeout).describe("dh", object, token_);
    }
};

TEST_F(DescribeTest, ReadsTheSchemaAndIsNeverCached) {
    scenario(fake::Scenario().on_prefix({"sobject", "describe"}, capture("describe_property")));
    gateway_.cache()->begin_operation(true);
    auto schema = describe("Property__c");
    ASSERT_TRUE(schema) << schema.error().message();
    ASSERT_TRUE(schema->has_value());
    EXPECT_EQ((*schema)->name, "Property__c");
    EXPECT_TRUE((*schema)->fields.contains("Id"));
    ASSERT_TRUE(describe("Property__c"));
    const auto recorded = calls();
    ASSERT_EQ(recorded.size(), 2u);
    EXPECT_EQ(recorded[0].args, (std::vector<std::string>{"sobject", "describe", "--sobject", "Property__c", "--target-org",
                                                          "dh", "--json"}));
}

TEST_F(DescribeTest, NotFoundIsNone) {
    scenario(fake::Scenario().on_prefix({"sobject", "describe"}, capture("describe_notfound")));
    auto schema = describe("NoSuch__c");
    ASSERT_TRUE(schema) << schema.error().message();
    EXPECT_FALSE(schema->has_value());

    scenario(fake::Scenario().on_prefix({"sobject", "describe"},
                                        fake::Answer().out(R"({"status":1,"name":"Other","data":{"errorCode":"NOT_FOUND"}})").exit_code(1)));
    ASSERT_TRUE(describe("NoSuch__c"));
    EXPECT_FALSE(describe("NoSuch__c")->has_value());
}

TEST_F(DescribeTest, Failures) {
    constexpr std::string_view kInvalid =
        "Salesforce CLI sobject describe command returned an invalid response: {}. Check that the org is reachable and retry.";
    const std::vector<std::pair<std::string, std::string>> cases = {
        {R"({"status":0,"result":[]})", "result is missing or is not an object"},
        {R"({"status":0,"result":{"name":"Account","fields":[]}})", "'fields' is empty"},
        {R"({"status":0,"result":{"name":"account","fields":[{"name":"Id","type":"id"}]}})", "result describes a different object"},
        // A NOT_FOUND in a successful answer means nothing.
        {R"({"status":0,"name":"NOT_FOUND","result":{"name":"account","fields":[{"name":"Id","type":"id"}]}})",
         "result describes a different object"},
    };
    for (const auto& [stdout_text, detail] : cases) {
        scenario(fake::Scenario().on_prefix({"sobject", "describe"}, fake::Answer().out(stdout_text)));
        auto schema = describe("Account");
        ASSERT_FALSE(schema) << stdout_text;
        EXPECT_EQ(schema.error().message(), fmt::format(fmt::runtime(kInvalid), detail));
    }
    scenario(fake::Scenario().orgs({"dh"}));
    auto unknown = cli::SObjectDescribeCatalog(gateway_, kTimeout).describe("nosuch", "Account", token_);
    ASSERT_FALSE(unknown);
    EXPECT_THAT(unknown.error().message(), HasSubstr("sobject describe command failed (exit code 2, status 2"));
    EXPECT_THROW((void)cli::SObjectDescribeCatalog(gateway_, kTimeout).describe("   ", "", token_), support::ProgrammingError);
    try {
        (void)cli::SObjectDescribeCatalog(gateway_, kTimeout).describe("dh", " ", token_);
        FAIL();
    } catch (const support::ProgrammingError& error) {
        EXPECT_STREQ(error.what(), "Object name must not be blank");
    }
}

// ---- Login -------------------------------------------------------------------------------------

constexpr std::string_view kUrl = "https://acme.my.salesforce.com";
constexpr std::string_view kTimedOut =
    "The browser sign-in was not completed within 10 minutes. Retry when you are ready to finish it in the browser.";

class LoginTest : public FakeCliTest {
protected:
    auto login(std::string_view alias, std::string_view url = kUrl) {
        return cli::OrgLoginService(gateway_, kTimeout).create_alias(alias, url, known_, token_);
    }
    std::vector<endpoint::OrgAlias> known_ = {endpoint::OrgAlias{"Prod", "u@x", "00D1", {}, {}, {}, {}}};
};

TEST_F(LoginTest, SignsInAndReadsTheNewOrg) {
    scenario(fake::Scenario().on_prefix({"org", "login", "web"}, capture("login")));
    auto created = login("  newone ", "  https://acme.my.salesforce.com/path ");
    ASSERT_TRUE(created) << created.error().message();
    EXPECT_EQ(*created, (cli::CreatedOrgAlias{"newone", "dana.admin@dreamhouse.standin", "00D5g00000DHOUSEEAA"}));
    const auto call = calls().at(0);
    EXPECT_EQ(call.args, (std::vector<std::string>{"org", "login", "web", "--alias", "newone", "--instance-url",
                                                   "https://acme.my.salesforce.com/path", "--no-prompt", "--json"}));
    EXPECT_EQ(call.env.at("SF_WEB_OAUTH_SERVER_TIMEOUT"), "600000");
    EXPECT_EQ(call.env.at("SF_TEMP_SHOW_SECRETS"), "false");
    EXPECT_THAT(all_log(), Not(HasSubstr("00D5g00000DHOUS!standin")));
}

TEST_F(LoginTest, RefusedBeforeAnythingRuns) {
    scenario(fake::Scenario());
    const std::vector<std::pair<std::string, std::string>> alias_cases = {
        {"   ", "Enter a name for the new org alias."},
        {"new one", "An org alias must not contain spaces or tabs."},
        {"new\tone", "An org alias must not contain spaces or tabs."},
        {"new\u00a0one", "An org alias must not contain spaces or tabs."},
        {"new\x01one", "An org alias must not contain control characters."},
        {std::string("new\0one", 7), "An org alias must not contain control characters."},
        {std::string(256, 'a'), "An org alias must be 255 characters or shorter."},
        {" PROD ", "Alias \"PROD\" already exists. Choose another name, or reload orgs."},
        {"-o", "An org alias must not start with a hyphen."},
        {"--target-org", "An org alias must not start with a hyphen."},
    };
    for (const auto& [alias, message] : alias_cases) {
        auto created = login(alias);
        ASSERT_FALSE(created) << alias;
        EXPECT_EQ(created.error().message(), message);
    }
    const std::vector<std::pair<std::string, std::string>> url_cases = {
        {"http://acme.my.salesforce.com", "The instance URL must start with https://."},
        {"https://", "The instance URL must contain a host name."},
        {"https:///path", "The instance URL must contain a host name."},
        {"https://user:pw@acme.my.salesforce.com",
         "The instance URL must not carry a user name or a password. Enter the host alone, for example "
         "https://acme.my.salesforce.com."},
        {"https://ACME.LIGHTNING.FORCE.COM/one",
         "Enter the My Domain URL of the org (\u2026.my.salesforce.com), not its Lightning URL."},
        // A typing slip must not reach the login command as an argument it cannot carry.
        {std::string("https://acme.my.salesforce.com\0", 31), "The instance URL must not contain control characters."},
        {std::string("https://acme\0.my.salesforce.com/", 32), "The instance URL must not contain control characters."},
        {"https://acme.my.salesforce.com/a\x1b" "b", "The instance URL must not contain control characters."},
        {"https://acme.my.salesforce.com/a\u0085b", "The instance URL must not contain control characters."},
        {"https://user@acme\x7f.my.salesforce.com", "The instance URL must not contain control characters."},
        {std::string("http://acme\0", 12), "The instance URL must start with https://."},
    };
    for (const auto& [url, message] : url_cases) {
        auto created = login("fresh", url);
        ASSERT_FALSE(created) << url;
        EXPECT_EQ(created.error().message(), message);
    }
    EXPECT_TRUE(calls().empty());

    scenario(fake::Scenario().on_prefix({"org", "login", "web"}, capture("login")));
    EXPECT_TRUE(login(std::string(255, 'a')));
}

TEST_F(LoginTest, FailuresOfTheSignIn) {
    struct Case {
        fake::Answer answer;
        std::string message;
    };
    std::vector<Case> cases = {
        {capture("login_web_headless"),
         "A browser login is not available in this environment. Authenticate the org in a terminal instead."},
        {capture("login_web_portinuse"),
         "Another Salesforce login is already running on the local OAuth port. Wait for it to finish, then retry."},
        {fake::Answer()
             .out(R"({"name":"AuthTimeoutError","message":"The authentication session timed out. Try again.","status":1,"exitCode":1})")
             .exit_code(1),
         std::string(kTimedOut)},
        {fake::Answer().out(R"({"name":"PortInUseError","message":"AUTH_TIMEOUT while the OAuth redirect server was busy","status":1})").exit_code(1),
         "Another Salesforce login is already running on the local OAuth port. Wait for it to finish, then retry."},
        {fake::Answer().out(R"({"status":0,"result":{"username":"","orgId":"00D"}})"),
         "Salesforce CLI org login command returned an invalid response: result.username must be non-blank text. Retry "
         "the login from the selection screen."},
        {fake::Answer().out(R"({"status":0,"result":null})"),
         "Salesforce CLI org login command returned an invalid response: result is missing or is not an object. Retry "
         "the login from the selection screen."},
    };
    for (const Case& c : cases) {
        scenario(fake::Scenario().on_prefix({"org", "login", "web"}, c.answer));
        auto created = login("fresh");
        ASSERT_FALSE(created) << c.message;
        EXPECT_EQ(created.error().message(), c.message);
    }
}

TEST_F(LoginTest, TokensInAFailedAnswerAreRedacted) {
    scenario(fake::Scenario().on_prefix(
        {"org", "login", "web"},
        fake::Answer()
            .out(R"({"name":"SfError","message":"refused accessToken: 00Dxx!secret","status":1,"result":{"accessToken":"00Dxx!secret"}})")
            .exit_code(1)));
    auto created = login("fresh");
    ASSERT_FALSE(created);
    EXPECT_THAT(created.error().message(), HasSubstr("[REDACTED]"));
    EXPECT_THAT(created.error().message(), Not(HasSubstr("00Dxx!secret")));
    EXPECT_THAT(all_log(), Not(HasSubstr("00Dxx!secret")));
}

TEST_F(LoginTest, ProcessTimeoutAndCancellation) {
    scenario(fake::Scenario().on_prefix({"org", "login", "web"}, fake::Answer().sleep_ms(5000)));
    auto slow = cli::OrgLoginService(gateway_, std::chrono::milliseconds(200)).create_alias("fresh", kUrl, known_, token_);
    ASSERT_FALSE(slow);
    EXPECT_EQ(slow.error().message(), kTimedOut);

    token_.cancel();
    auto cancelled = login("fresh");
    ASSERT_FALSE(cancelled);
    EXPECT_EQ(cancelled.error().message(), "The org login was cancelled. You can close the browser tab it opened.");
}

// ---- Texts that cannot be arguments -------------------------------------------------------------

using ControlCharacterTest = FakeCliTest;

TEST_F(ControlCharacterTest, AnAliasWithAControlCharacterIsRefusedBeforeAnythingRuns) {
    scenario(fake::Scenario().otherwise(fake::Answer().out(R"({"status":0,"result":{}})")));
    constexpr std::string_view kRefusal = "An org alias must not contain control characters.";
    const std::vector<std::string> aliases = {std::string("dh\0x", 4), "dh\x1f", "dh\u0085"};
    const std::vector<std::string> ids = {"001000000000001AAA"};
    const ambrel::testing::TempDir work;
    struct Case {
        std::string name;
        std::function<std::string(const std::string&)> failure;
    };
    const cli::catalogs::MetadataListingCatalog listing(gateway_, kTimeout);
    const cli::RecordKeyCatalog keys(gateway_, kTimeout, kTimeout);
    const cli::SfRestChannel rest(gateway_, kTimeout);
    const cli::SfSchemaCatalog schema(gateway_, kTimeout);
    constexpr std::string_view kPath = "/services/data/v65.0/sobjects/Account";
    auto message = [](const auto& outcome) { return outcome ? std::string("no failure") : outcome.error().message(); };
    const std::vector<Case> cases = {
        {"objects",
         [&](const std::string& a) {
             return message(cli::catalogs::ObjectCatalog(gateway_, kTimeout).list_objects(a, token_));
         }},
        {"metadata", [&](const std::string& a) { return message(listing.list_metadata("ApexClass", a, token_)); }},
        {"standard tabs", [&](const std::string& a) { return message(listing.list_standard_tabs(a, token_)); }},
        {"organization",
         [&](const std::string& a) {
             return message(cli::catalogs::OrganizationCatalog(gateway_, kTimeout).describe(a, token_));
         }},
        {"product bundles",
         [&](const std::string& a) {
             const cli::catalogs::RevenueCloudRecordCatalog records(gateway_, kTimeout);
             return message(records.list_product_bundles(a, token_));
         }},
        {"describe",
         [&](const std::string& a) {
             return message(cli::SObjectDescribeCatalog(gateway_, kTimeout).describe(a, "Account", token_));
         }},
        {"record count", [&](const std::string& a) { return message(keys.count(a, "Account", std::nullopt, token_)); }},
        {"profile id", [&](const std::string& a) { return message(keys.running_user_profile_id(a, "u@x", token_)); }},
        {"key fill",
         [&](const std::string& a) {
             const auto result = keys.fill_keys(a, "Account", "Key__c", ids, work.path() / "fill", token_);
             const auto* failed = std::get_if<cli::KeyFillResult::Failed>(&result.value);
             return failed != nullptr ? failed->message : std::string("not a failure");
         }},
        {"rest get", [&](const std::string& a) { return message(rest.get(a, kPath, token_)); }},
        {"rest post", [&](const std::string& a) { return message(rest.post(a, kPath, "{}", token_)); }},
        {"rest delete", [&](const std::string& a) { return message(rest.delete_composite(a, "65.0", ids, token_)); }},
        {"field listing", [&](const std::string& a) { return message(schema.object_fields(a, {"Account"}, token_)); }},
        {"external keys",
         [&](const std::string& a) { return message(schema.external_key_fields(a, {"Account"}, token_)); }},
    };
    for (const std::string& alias : aliases) {
        for (const Case& c : cases) {
            SCOPED_TRACE(c.name);
            const std::string failure = c.failure(alias);
            if (c.name == "key fill") {
                EXPECT_EQ(failure, fmt::format("The external ID could not be filled in for Account. {}", kRefusal));
            } else {
                EXPECT_EQ(failure, kRefusal);
            }
        }
    }
    EXPECT_TRUE(calls().empty());
    EXPECT_FALSE(std::filesystem::exists(work.path() / "fill"));
}

TEST_F(ControlCharacterTest, ObjectAndUserNamesWithAControlCharacterNameNothingAndNeverRun) {
    scenario(fake::Scenario().otherwise(fake::Answer().out(R"({"status":0,"result":{}})")));
    for (const std::string& name : {std::string("Acc\0ount", 8), std::string("Account\n")}) {
        auto schema = cli::SObjectDescribeCatalog(gateway_, kTimeout).describe("dh", name, token_);
        ASSERT_TRUE(schema) << schema.error().message();
        EXPECT_FALSE(schema->has_value());
        auto profile =
            cli::RecordKeyCatalog(gateway_, kTimeout, kTimeout).running_user_profile_id("dh", name, token_);
        ASSERT_TRUE(profile) << profile.error().message();
        EXPECT_FALSE(profile->has_value());
        // Field and record-key names are API names or nothing at all.
        auto fields = cli::SfSchemaCatalog(gateway_, kTimeout).object_fields("dh", {name}, token_);
        ASSERT_TRUE(fields);
        EXPECT_TRUE(fields->objects.empty());
        auto count = cli::RecordKeyCatalog(gateway_, kTimeout, kTimeout).count("dh", "Account", name, token_);
        ASSERT_FALSE(count);
        EXPECT_EQ(count.error().message(),
                  "An object or field name is not a valid Salesforce API name, so no record query was run.");
    }
    EXPECT_TRUE(calls().empty());
}

}  // namespace
}  // namespace ambrel::catalogs_test
