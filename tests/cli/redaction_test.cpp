#include "cli/redaction.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "cli/gateway.hpp"
#include "support/credentials.hpp"

namespace ambrel::cli {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

// Every secret key of the table, in several letter cases, in JSON and in plain text.
TEST(Sanitize, RedactsEverySecretKeyInJsonWhateverItsCaseAndValue) {
    for (std::string key : {"accessToken", "REFRESHTOKEN", "Authorization", "clientsecret", "SfdxAuthUrl", "Set-Cookie"}) {
        SCOPED_TRACE(key);
        const std::string input = R"({"a":[{")" + key + R"(":"s3cr3t"}],")" + key + R"(":{"n":["s3cr3t"]}})";
        EXPECT_EQ(SfCliGateway::sanitize(input),
                  R"({"a":[{")" + key + R"(":"[REDACTED]"}],")" + key + R"(":"[REDACTED]"})");
    }
}

TEST(Sanitize, LeavesOtherMembersAndWritesJsonCompactly) {
    EXPECT_EQ(SfCliGateway::sanitize("{\n  \"accessTokenX\": \"keep\",\n  \"token\": 1.50,\n  \"n\": null\n}\n"),
              R"({"accessTokenX":"keep","token":1.5,"n":null})");
    EXPECT_EQ(SfCliGateway::sanitize(" [1, 2] "), "[1,2]");
    EXPECT_EQ(SfCliGateway::sanitize(""), "");
}

TEST(Sanitize, RedactsAssignmentsInPlainTextToTheEndOfTheLine) {
    struct Case {
        std::string input;
        std::string output;
    };
    const std::vector<Case> cases = {
        {"clientSecret=abc def\nnext", "clientSecret=\"[REDACTED]\"\nnext"},
        {"Authorization: Bearer 00D!x\r\n", "Authorization: \"[REDACTED]\"\r\n"},
        {"x \"accessToken\" : \"t\", \"other\": 1", "x \"accessToken\" : \"[REDACTED]\""},
        {"'refreshToken'='r'", "'refreshToken'=\"[REDACTED]\""},
        {"SFDXAUTHURL=force://id:secret:token@host", "SFDXAUTHURL=\"[REDACTED]\""},
        {"set-cookie: sid=1; Path=/", "set-cookie: \"[REDACTED]\""},
        // White space after the separator may span a line break: the next line is the value.
        {"authorization:\n  Bearer xyz\nafter", "authorization:\n  \"[REDACTED]\"\nafter"},
        {"nothing secret here", "nothing secret here"},
        {"accessToken without separator", "accessToken without separator"},
    };
    for (const auto& c : cases) EXPECT_EQ(SfCliGateway::sanitize(c.input), c.output) << c.input;
}

TEST(Sanitize, AnAccessTokenInAnInvalidJsonLineLosesItsValue) {
    const std::string pretty_but_broken = "{\n  \"accessToken\": \"00D!abc\",\n  \"x\": \n";
    const std::string out = SfCliGateway::sanitize(pretty_but_broken);
    EXPECT_THAT(out, Not(HasSubstr("00D!abc")));
    EXPECT_THAT(out, HasSubstr("\"accessToken\": \"[REDACTED]\""));
}

// Credentials printed outside an assignment: an auth URL keeps its scheme and host, an access token
// is replaced whole; in plain text and inside any string of a JSON answer.
TEST(Sanitize, RedactsAuthUrlsAndAccessTokensAnywhere) {
    using namespace ambrel::testing;
    struct Case {
        std::string name;
        std::string input;
        std::string output;
    };
    const std::string url(kAuthUrl);
    const std::string token(kAccessToken);
    const std::vector<Case> cases = {
        {"a sentence with both", std::string(kCredentialFailure), std::string(kScrubbedCredentialFailure)},
        {"an auth URL in upper case", "FORCE://PlatformCLI::abc@h.example.com/x", "FORCE://h.example.com/x"},
        {"a token of an 18-character org id", "sid=00D5g000004BHZRAAW!AQ.b_c&x=1", "sid=[REDACTED]&x=1"},
        {"a token in quotes", "'" + token + "'", "'[REDACTED]'"},
        {"two tokens on two lines", token + "\n" + token, "[REDACTED]\n[REDACTED]"},
        {"JSON strings at any depth",
         R"({"name":"AuthError","message":")" + std::string(kCredentialFailure) + R"(","data":[{"url":")" + url +
             R"("}],"status":1})",
         R"({"name":"AuthError","message":")" + std::string(kScrubbedCredentialFailure) +
             R"(","data":[{"url":"force://acme.my.salesforce.com"}],"status":1})"},
        // An org id alone, a record id and a word that merely begins like a token stay.
        {"an org id without a token", "org 00D5g000004BHZR and 00D5g000004BHZRAAW!", "org 00D5g000004BHZR and 00D5g000004BHZRAAW!"},
        {"a prefix inside a word", "x00D5g000004BHZR!abc", "x00D5g000004BHZR!abc"},
        {"a URL without user information", "see https://acme.my.salesforce.com/x", "see https://acme.my.salesforce.com/x"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(SfCliGateway::sanitize(c.input), c.output);
        EXPECT_THAT(SfCliGateway::sanitize(c.input), Not(HasSubstr(std::string(kAuthUrlSecret))));
        EXPECT_THAT(SfCliGateway::sanitize(c.input), Not(HasSubstr(std::string(kAccessTokenBody))));
    }
    EXPECT_EQ(gateway::redact_credentials(kCredentialFailure), kScrubbedCredentialFailure);
}

TEST(SecretKeys, MatchIgnoringAsciiCaseOnly) {
    EXPECT_TRUE(gateway::is_secret_key("ACCESSTOKEN"));
    EXPECT_TRUE(gateway::is_secret_key("set-COOKIE"));
    EXPECT_FALSE(gateway::is_secret_key("set_cookie"));
    EXPECT_FALSE(gateway::is_secret_key("accessTokens"));
    EXPECT_FALSE(gateway::is_secret_key("token"));
}

}  // namespace
}  // namespace ambrel::cli
