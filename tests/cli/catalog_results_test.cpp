#include "cli/catalog_results.hpp"

#include <fmt/format.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "cli/gateway.hpp"
#include "support/credentials.hpp"
#include "text/text.hpp"

namespace ambrel::cli::catalogs {
namespace {

using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::Not;

constexpr std::string_view kLabel = "org catalog command";
constexpr std::string_view kGuidance = "Verify the selected Salesforce org is authenticated and retry component loading.";

// A result as the gateway builds it: the document parsed from the raw output, the texts sanitized.
CliJsonResult result_of(std::string_view raw_stdout, std::int32_t exit_code, std::string_view raw_stderr = "",
                        bool timed_out = false) {
    CliJsonResult result;
    if (auto parsed = json::parse(raw_stdout)) result.json = *parsed;
    result.stdout_text = SfCliGateway::sanitize(raw_stdout);
    result.stderr_text = SfCliGateway::sanitize(raw_stderr);
    result.exit_code = exit_code;
    result.timed_out = timed_out;
    return result;
}

std::string failure_of(const CliJsonResult& result) {
    auto outcome = require_successful_catalog_command(result, kLabel, kGuidance);
    EXPECT_FALSE(outcome);
    if (outcome) return {};
    EXPECT_NE(outcome.error().get_if<CatalogError::Message>(), nullptr);
    return outcome.error().message();
}

TEST(RequireSuccessfulCatalogCommand, SucceedsOnIntegerStatusZeroExitZeroAndNoTimeOut) {
    const auto result = result_of(R"({"status":0,"result":[]})", 0, "Warning: update available");
    auto outcome = require_successful_catalog_command(result, kLabel, kGuidance);
    ASSERT_TRUE(outcome);
    EXPECT_EQ(&outcome->get(), &result.json);
}

TEST(RequireSuccessfulCatalogCommand, NamesTheStatusAsItIs) {
    struct Case {
        std::string_view stdout_text;
        std::int32_t exit_code;
        bool timed_out;
        std::string_view head;
    };
    const Case cases[] = {
        {R"({"status":0.0})", 0, false, "(exit code 0, status invalid number, timed out: false)"},
        {R"({"result":1})", 0, false, "(exit code 0, status missing, timed out: false)"},
        {R"({"status":null})", 0, false, "(exit code 0, status missing, timed out: false)"},
        {R"({"status":"0"})", 0, false, "(exit code 0, status invalid string, timed out: false)"},
        {R"({"status":true})", 0, false, "(exit code 0, status invalid boolean, timed out: false)"},
        {R"({"status":[]})", 0, false, "(exit code 0, status invalid array, timed out: false)"},
        {R"({"status":{}})", 0, false, "(exit code 0, status invalid object, timed out: false)"},
        {R"({"status":0})", 0, true, "(exit code 0, status 0, timed out: true)"},
        {R"({"status":0})", -1, false, "(exit code -1, status 0, timed out: false)"},
        {R"([1])", 2, false, "(exit code 2, status missing, timed out: false)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.stdout_text));
        const std::string sentence = failure_of(result_of(c.stdout_text, c.exit_code, "", c.timed_out));
        EXPECT_EQ(sentence.substr(0, sentence.find(". ") + 2 + kGuidance.size()),
                  fmt::format("Salesforce CLI org catalog command failed {}. {}", c.head, kGuidance));
    }
}

TEST(RequireSuccessfulCatalogCommand, TakesTheDetailFromTheJsonNameAndMessage) {
    EXPECT_THAT(failure_of(result_of(R"({"status":1,"name":"NamedOrgNotFoundError","message":" No org dh. "})", 1)),
                EndsWith(" CLI details: NamedOrgNotFoundError: No org dh."));
    // The message already begins with the part of the name after its last colon.
    EXPECT_THAT(failure_of(result_of(R"({"status":1,"name":"sf:NoOrg","message":"NoOrg: missing"})", 1)),
                EndsWith(" CLI details: NoOrg: missing"));
    EXPECT_THAT(failure_of(result_of(R"({"status":1,"name":"x:","message":"plain"})", 1)),
                EndsWith(" CLI details: plain"));
    EXPECT_THAT(failure_of(result_of(R"({"status":1,"name":"  ","message":"only message"})", 1)),
                EndsWith(" CLI details: only message"));
}

TEST(RequireSuccessfulCatalogCommand, FallsBackToStandardErrorThenStandardOutput) {
    const std::string warnings =
        "\x1b[33mWarning:\x1b[0m @salesforce/cli update available from 2.1 to 2.2.\n"
        "\xC2\xBB   Run npm install\r\n";
    EXPECT_THAT(failure_of(result_of(" ", 1, warnings + "Error: boom")), EndsWith(" CLI details: Error: boom"));
    // Nothing but warnings and a blank standard output: the whole standard error.
    EXPECT_THAT(failure_of(result_of("", 1, warnings)),
                HasSubstr(" CLI details: \x1b[33mWarning:"));
    // A JSON answer without a message: its standard output.
    EXPECT_THAT(failure_of(result_of(R"({"status":1,"message":""})", 1)),
                EndsWith(R"( CLI details: {"status":1,"message":""})"));
    // Nothing at all: no detail.
    EXPECT_THAT(failure_of(result_of("", 1, " \n")), Not(HasSubstr("CLI details")));
}

TEST(RequireSuccessfulCatalogCommand, DetailsNeverCarrySecretsAndAreCut) {
    const std::vector<std::string> keys = {"accessToken", "refreshToken", "authorization",
                                           "clientSecret", "sfdxAuthUrl", "set-cookie"};
    for (const auto& key : keys) {
        SCOPED_TRACE(key);
        // A JSON message that quotes a secret assignment, and plain text on standard error.
        const std::string json_answer =
            R"({"status":1,"name":"AuthError","message":"bad )" + key + R"(: v4lue https://user:pw@host/x"})";
        const std::string from_json = failure_of(result_of(json_answer, 1));
        EXPECT_THAT(from_json, HasSubstr("[REDACTED]"));
        EXPECT_THAT(from_json, Not(HasSubstr("v4lue")));

        const std::string from_text =
            failure_of(result_of("", 1, "Error: git https://user:pw@example.com/r.git\n" + key + "=v4lue"));
        EXPECT_THAT(from_text, HasSubstr(key + "=\"[REDACTED]\""));
        EXPECT_THAT(from_text, HasSubstr("https://example.com/r.git"));
        EXPECT_THAT(from_text, Not(HasSubstr("v4lue")));
        EXPECT_THAT(from_text, Not(HasSubstr("pw@")));
    }
    // A JSON answer's secret members are redacted before the detail is taken from standard output.
    const std::string whole = failure_of(result_of(R"({"status":1,"result":{"accessToken":"v4lue"}})", 1));
    EXPECT_THAT(whole, HasSubstr(R"("accessToken":"[REDACTED]")"));
    EXPECT_THAT(whole, Not(HasSubstr("v4lue")));

    // An auth URL and an access token, in a JSON message and in plain text, lose their secrets.
    EXPECT_THAT(failure_of(result_of(R"({"status":1,"name":"RefreshTokenAuthError","message":")" +
                                         std::string(ambrel::testing::kCredentialFailure) + R"("})",
                                     1)),
                EndsWith(" CLI details: RefreshTokenAuthError: " +
                         std::string(ambrel::testing::kScrubbedCredentialFailure)));
    EXPECT_THAT(failure_of(result_of("", 1, std::string(ambrel::testing::kCredentialFailure))),
                EndsWith(" CLI details: " + std::string(ambrel::testing::kScrubbedCredentialFailure)));

    const std::string long_detail(5000, 'x');
    const std::string cut = failure_of(result_of("", 1, "é" + long_detail));
    const std::string detail = cut.substr(cut.find(" CLI details: ") + 14);
    EXPECT_EQ(text::count_chars(detail), kMaxDetailChars);
}

TEST(StripCliUpdateWarnings, DropsWarningsAndTheirContinuationLines) {
    struct Case {
        std::string input;
        std::string output;
    };
    const std::vector<Case> cases = {
        {"", ""},
        {"Warning: update\n\xC2\xBB more\n\xE2\x80\xBA and more\nreal error", "real error"},
        // A kept line, an empty one too, ends the warning block.
        {"Warning: a\n\n\xC2\xBB kept", "\n\xC2\xBB kept"},
        {"\x1b[1m\xE2\x80\xBA  \x1b[33mWarning:\x1b[0m marked warning\nafter", "after"},
        {"warning: lower case stays\r\nline two\r\n", "warning: lower case stays\nline two"},
        {"  Warning: indented\nx", "x"},
        {"\x1b[31", "\x1b[31"},
        {"\x1b" "Warning: after a lone escape", "\x1b" "Warning: after a lone escape"},
    };
    for (const auto& c : cases) EXPECT_EQ(strip_cli_update_warnings(c.input), c.output) << c.input;
}

TEST(InvalidResponses, FixedLabelsAndGuidance) {
    EXPECT_EQ(malformed_org("result.nonScratchOrgs[0].alias", "value must be non-blank text").message(),
              "Salesforce CLI org catalog command returned an invalid response: result.nonScratchOrgs[0].alias value "
              "must be non-blank text. Run 'sf org list --json' to verify local org authentication, then retry.");
    EXPECT_EQ(malformed_object("result.records[1]", "is not an object").message(),
              "Salesforce CLI object catalog command returned an invalid response: result.records[1] is not an "
              "object. Verify the selected Salesforce org is authenticated and retry object loading.");
    EXPECT_EQ(malformed_metadata_list("result[2]", "x").message(),
              "Salesforce CLI metadata listing command returned an invalid response: result[2] x. Verify the "
              "selected Salesforce org is authenticated and retry component loading.");
}

TEST(TextReaders, TableOfMembers) {
    const json::Object object = json::parse(R"({"text":"a b","blank":"   ","empty":"","null":null,"number":1})")
                                    ->as_object();
    const std::string path = "result.nonScratchOrgs[3]";

    EXPECT_EQ(*org_required_non_blank_text(object, "text", path), "a b");
    for (std::string_view key : {"missing", "null", "blank", "number"}) {
        auto error = org_required_non_blank_text(object, key, path);
        ASSERT_FALSE(error);
        EXPECT_THAT(error.error().message(),
                    HasSubstr(fmt::format(": {}.{} value must be non-blank text. ", path, key)));
    }

    EXPECT_EQ(*org_optional_text(object, "text", path), "a b");
    EXPECT_EQ(*org_optional_text(object, "blank", path), std::nullopt);
    EXPECT_EQ(*org_optional_text(object, "null", path), std::nullopt);
    EXPECT_EQ(*org_optional_text(object, "missing", path), std::nullopt);
    EXPECT_THAT(org_optional_text(object, "number", path).error().message(),
                HasSubstr(".number value must be text or null."));

    EXPECT_EQ(*object_required_nullable_text(object, "blank", path), "   ");
    EXPECT_EQ(*object_required_nullable_text(object, "null", path), std::nullopt);
    EXPECT_THAT(object_required_nullable_text(object, "missing", path).error().message(),
                HasSubstr("object catalog command returned an invalid response: result.nonScratchOrgs[3].missing "
                          "value must be present as text or null."));
    EXPECT_THAT(object_required_nullable_text(object, "number", path).error().message(),
                HasSubstr(".number value must be text or null."));

    EXPECT_EQ(*metadata_optional_text(object, "empty", path), "");
    EXPECT_EQ(*metadata_optional_text(object, "missing", path), std::nullopt);
    EXPECT_THAT(metadata_optional_text(object, "number", path).error().message(),
                HasSubstr("metadata listing command"));

    EXPECT_EQ(*required_text(object, "text"), "a b");
    EXPECT_EQ(required_text(object, "blank").error().message(),
              "Salesforce CLI Revenue Cloud record listing command returned an invalid response: "
              "result.records[].blank must be non-empty text. Verify the selected Salesforce org is authenticated "
              "and retry component loading.");
}

}  // namespace
}  // namespace ambrel::cli::catalogs
