#include "cli/redaction.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "cli/gateway.hpp"

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

TEST(SecretKeys, MatchIgnoringAsciiCaseOnly) {
    EXPECT_TRUE(gateway::is_secret_key("ACCESSTOKEN"));
    EXPECT_TRUE(gateway::is_secret_key("set-COOKIE"));
    EXPECT_FALSE(gateway::is_secret_key("set_cookie"));
    EXPECT_FALSE(gateway::is_secret_key("accessTokens"));
    EXPECT_FALSE(gateway::is_secret_key("token"));
}

}  // namespace
}  // namespace ambrel::cli
