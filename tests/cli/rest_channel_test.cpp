#include <filesystem>
#include <fmt/format.h>
#include <map>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "cli/catalog_test_support.hpp"
#include "cli/rest.hpp"
#include "support/credentials.hpp"
#include "support/programming_error.hpp"

namespace ambrel::catalogs_test {
namespace {

using cli::RestResponse;
using cli::SfRestChannel;
using ::testing::HasSubstr;
using ::testing::Not;

constexpr std::string_view kHint = "Verify the selected Salesforce org is authenticated and retry.";
constexpr std::string_view kRecordPath = "/services/data/v65.0/sobjects/Property__c/a01000000000001AAA";

// ---- Reading the --include output -------------------------------------------------------------

TEST(IncludedResponse, ReadsStatusHeadersAndJsonBodyOfTheRealCli) {
    auto response = cli::rest::parse_included_response(read_fixture("rest_get_include.out"));
    ASSERT_TRUE(response);
    EXPECT_EQ(response->status_code, 200);
    EXPECT_EQ(response->headers.at("content-type"), "application/json;charset=UTF-8");
    EXPECT_EQ(response->headers.at("sforce-limit-info"), "api-usage=12/15000");
    ASSERT_TRUE(response->body.is_object());
    EXPECT_EQ(response->body.as_object().at("Name"), "Stunning Victorian");
}

TEST(IncludedResponse, BodyForms) {
    struct Case {
        std::string stdout_text;
        std::int64_t code;
        json::Value body;
    };
    const std::vector<Case> cases = {
        // 204: the CLI prints an empty line after the headers.
        {"HTTP/1.1 204\ncontent-length: 0\n\n", 204, nullptr},
        {"HTTP/1.1 204", 204, nullptr},
        // A body that is not JSON stays text; only one trailing line feed goes.
        {"HTTP/1.1 200\ncontent-type: text/plain\nconstraint model text\n\n", 200, json::String("constraint model text\n")},
        {"HTTP/2 201\r\nlocation: /x\r\n\"quoted\"\n", 201, json::String("quoted")},
        {"HTTP/1.1 200\n[1,2]\n", 200, json::Array{1, 2}},
        {"HTTP/1.1 404 Not Found\n{\"message\":\"gone\"}\n", 404, json::Object{{"message", "gone"}}},
    };
    for (const Case& c : cases) {
        auto response = cli::rest::parse_included_response(c.stdout_text);
        ASSERT_TRUE(response) << c.stdout_text;
        EXPECT_EQ(response->status_code, c.code) << c.stdout_text;
        EXPECT_EQ(response->body, c.body) << c.stdout_text;
    }
}

TEST(IncludedResponse, ARawBodyIsFoundByItsLengthEvenWhenItsLinesLookLikeHeaders) {
    struct Case {
        std::string name;
        std::string stdout_text;
        std::string raw_body;
        std::map<std::string, std::string> headers;
    };
    const std::vector<Case> cases = {
        {"a first line like a header", "HTTP/1.1 200\ncontent-length: 27\ndate: today\nseats: 4\nconstraint Car {}\n\n",
         "seats: 4\nconstraint Car {}\n", {{"content-length", "27"}, {"date", "today"}}},
        {"every line like a header", "HTTP/1.1 200\ncontent-length: 4\na: b\n", "a: b", {{"content-length", "4"}}},
        {"a body line naming a length", "HTTP/1.1 200\ncontent-length: 19\ncontent-length: 999\n",
         "content-length: 999", {{"content-length", "19"}}},
        // The length of a JSON body as sent is shorter than the CLI's pretty print: the headers stay.
        {"a pretty JSON body", "HTTP/1.1 200\ncontent-length: 8\nx: y\n{\n  \"a\": 1\n}\n", "{\n  \"a\": 1\n}",
         {{"content-length", "8"}, {"x", "y"}}},
        // A JSON body printed shorter than it was sent (its escapes written out) keeps the headers.
        {"a JSON body printed shorter", "HTTP/1.1 200\ncontent-length: 20\nx: y\n{\n  \"a\": \"\xc3\xa9\"\n}\n",
         "{\n  \"a\": \"\xc3\xa9\"\n}", {{"content-length", "20"}, {"x", "y"}}},
        // A compressed body's length is of the bytes as sent, not as printed.
        {"a compressed body", "HTTP/1.1 200\ncontent-encoding: gzip\ncontent-length: 10\nx: y\nmodel\n", "model",
         {{"content-encoding", "gzip"}, {"content-length", "10"}, {"x", "y"}}},
        // Without a usable length the header lines are read as headers.
        {"no length", "HTTP/1.1 200\nx: y\nmodel\n", "model", {{"x", "y"}}},
        {"a length beyond the output", "HTTP/1.1 200\ncontent-length: 900\nx: y\nmodel\n", "model",
         {{"content-length", "900"}, {"x", "y"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto response = cli::rest::parse_included_response(c.stdout_text);
        ASSERT_TRUE(response);
        EXPECT_EQ(response->raw_body, c.raw_body);
        EXPECT_EQ(response->headers, c.headers);
    }
}

TEST(IncludedResponse, RefusesOutputWithoutStatusLine) {
    using Fault = cli::rest::IncludedResponseFault;
    EXPECT_EQ(cli::rest::parse_included_response("").error(), Fault::NoStatusLine);
    EXPECT_EQ(cli::rest::parse_included_response("{\"status\":0}").error(), Fault::NoStatusLine);
    EXPECT_EQ(cli::rest::parse_included_response("HTTP/1.1 20\n").error(), Fault::NoStatusCode);
    EXPECT_EQ(cli::rest::parse_included_response("HTTP/1.1 2000\n").error(), Fault::NoStatusCode);
    EXPECT_EQ(cli::rest::parse_included_response("HTTP/x 200\n").error(), Fault::NoStatusCode);
}

TEST(IncludedResponse, CliErrorTextDropsWarningsAndRedacts) {
    const std::string text = cli::rest::cli_error_text("You acknowledge and agree that the CLI tool may collect usage.\n\n" +
                                                       read_fixture("rest_get_include_forcecolor.err") +
                                                       "Error (SfError): refused\n\tauthorization: Bearer 00Dxx!secret\n");
    EXPECT_EQ(text, "Error (SfError): refused authorization: \"[REDACTED]\"");
}

TEST(RestChecks, PathsAndReasons) {
    EXPECT_TRUE(cli::rest::is_valid_rest_path("/services/data/v"));
    EXPECT_TRUE(cli::rest::is_valid_rest_path(kRecordPath));
    for (std::string_view bad : {"/services/data/v65.0/query?q=x", "/services/data/v65.0/a%20b", "/services/data/v65.0/a b",
                                 "/services/data/v65.0/../x", "/services/data/v65.0/é", "/services/data", "/other/v65"}) {
        EXPECT_FALSE(cli::rest::is_valid_rest_path(bad)) << bad;
    }
    const json::Value array = json::parse(R"([{"errorCode":"NOT_FOUND","message":"gone"},{"errorCode":"X","message":"y"}])").value();
    EXPECT_EQ(cli::rest::refusal_reason_from_body(&array), "NOT_FOUND: gone");
    const json::Value half = json::parse(R"([{"message":"gone"}])").value();
    EXPECT_EQ(cli::rest::refusal_reason_from_body(&half), std::nullopt);
    const json::Value object = json::parse(R"({"message":"bad"})").value();
    EXPECT_EQ(cli::rest::refusal_reason_from_body(&object), "bad");
    const json::Value html = json::String("<html>");
    EXPECT_EQ(cli::rest::refusal_reason_from_body(&html), std::nullopt);
    EXPECT_EQ(cli::rest::refusal_reason_from_body(nullptr), std::nullopt);
}

// ---- Requests through the fake CLI ------------------------------------------------------------

class RestChannelTest : public FakeCliTest {
protected:
    SfRestChannel channel() const { return SfRestChannel(gateway_, kTimeout); }
};

TEST_F(RestChannelTest, GetSendsIncludeWithoutJsonAndReturnsTheBody) {
    scenario(fake::Scenario().orgs({"dh"}).on_prefix({"api", "request", "rest"}, capture("rest_get_include")));
    auto response = channel().get("dh", kRecordPath, token_);
    ASSERT_TRUE(response) << response.error().message();
    EXPECT_EQ(response->status_code, 200);
    EXPECT_EQ(response->body.as_object().at("Id"), "a01000000000001AAA");

    const auto recorded = calls();
    ASSERT_EQ(recorded.size(), 1u);
    EXPECT_EQ(recorded[0].args, (std::vector<std::string>{"api", "request", "rest", std::string(kRecordPath), "--method",
                                                          "GET", "--include", "--target-org", "dh"}));
    // The REST command logs no arguments and hides the record id.
    EXPECT_THAT(all_log(), HasSubstr("api request rest /services/data/v65.0/sobjects/Property__c/<id>"));
    EXPECT_THAT(all_log(), Not(HasSubstr("a01000000000001AAA")));
}

TEST_F(RestChannelTest, HttpErrorNamesTheCodeAndTheReason) {
    scenario(fake::Scenario().orgs({"dh"}).on_prefix({"api", "request", "rest"}, capture("rest_get_404_include")));
    auto response = channel().get("dh", kRecordPath, token_);
    ASSERT_FALSE(response);
    EXPECT_EQ(response.error().message(),
              fmt::format("Salesforce REST request failed with HTTP 404 on /services/data/v65.0/sobjects/Property__c/<id> "
                          "(NOT_FOUND: The requested resource does not exist). {}",
                          kHint));
}

TEST_F(RestChannelTest, UnknownAliasGivesTheCliErrorAsReason) {
    scenario(fake::Scenario().orgs({"dh"}));
    auto response = channel().get("nosuch", kRecordPath, token_);
    ASSERT_FALSE(response);
    EXPECT_EQ(response.error().message(),
              fmt::format("Salesforce REST request failed on /services/data/v65.0/sobjects/Property__c/<id> (Error "
                          "(NamedOrgNotFoundError): Parsing --target-org No authorization information found for "
                          "nosuch. See more help with --help). {}",
                          kHint));
}

TEST_F(RestChannelTest, OutcomesOfOddAnswers) {
    struct Case {
        fake::Answer answer;
        std::string expected;
    };
    const std::string path = "/services/data/v65.0/sobjects/Account";
    std::vector<Case> cases = {
        {fake::Answer().out("HTTP/1.1 302\nlocation: /x\n\n"),
         fmt::format("Salesforce REST request failed with HTTP 302 on {}. {}", path, kHint)},
        {fake::Answer().out("HTTP/1.1 200\n{\"message\":\"half\"}\n").exit_code(1),
         fmt::format("Salesforce REST request failed on {} (half). {}", path, kHint)},
        {fake::Answer().out("HTTP/1.1 abc\n"),
         fmt::format("Salesforce REST request failed without an HTTP status code on {}. {}", path, kHint)},
        {fake::Answer().exit_code(1), fmt::format("Salesforce REST request failed on {}. {}", path, kHint)},
        {fake::Answer().out("HTTP/1.1 500\n<html>oops</html>\n").exit_code(1),
         fmt::format("Salesforce REST request failed with HTTP 500 on {}. {}", path, kHint)},
        // An empty reason is still a reason: the body said something, if only nothing.
        {fake::Answer().out("HTTP/1.1 400\n{\"message\":\"\"}\n").exit_code(1),
         fmt::format("Salesforce REST request failed with HTTP 400 on {} (). {}", path, kHint)},
        {fake::Answer().out("HTTP/1.1 200\n{\"message\":\"\"}\n").exit_code(1),
         fmt::format("Salesforce REST request failed on {} (). {}", path, kHint)},
        // Credentials in a refusal's body or in the CLI's own error are scrubbed from the reason.
        {fake::Answer().out(fmt::format("HTTP/1.1 401\n[{{\"errorCode\":\"INVALID_SESSION_ID\",\"message\":\"{}\"}}]\n",
                                        ambrel::testing::kCredentialFailure))
             .exit_code(1),
         fmt::format("Salesforce REST request failed with HTTP 401 on {} (INVALID_SESSION_ID: {}). {}", path,
                     ambrel::testing::kScrubbedCredentialFailure, kHint)},
        {fake::Answer().err(fmt::format("Error (RefreshTokenAuthError): {}\n", ambrel::testing::kCredentialFailure)).exit_code(1),
         fmt::format("Salesforce REST request failed on {} (Error (RefreshTokenAuthError): {}). {}", path,
                     ambrel::testing::kScrubbedCredentialFailure, kHint)},
    };
    for (const Case& c : cases) {
        scenario(fake::Scenario().on_prefix({"api", "request", "rest"}, c.answer));
        auto response = channel().get("dh", path, token_);
        ASSERT_FALSE(response) << c.expected;
        EXPECT_EQ(response.error().message(), c.expected);
    }
}

TEST_F(RestChannelTest, BodyTravelsInAPrivateFileThatIsRemovedAfterwards) {
    scenario(fake::Scenario().orgs({"dh"}).on_prefix({"api", "request", "rest"}, capture("rest_post_composite_include")));
    auto response = channel().post("dh", "/services/data/v65.0/composite/sobjects", R"({"allOrNone":false,"records":[]})",
                                   token_);
    ASSERT_TRUE(response) << response.error().message();
    ASSERT_TRUE(response->body.is_array());
    EXPECT_EQ(response->body.as_array().size(), 2u);

    const auto recorded = calls();
    ASSERT_EQ(recorded.size(), 1u);
    const auto& args = recorded[0].args;
    ASSERT_EQ(args.size(), 11u);
    EXPECT_EQ(args[5], "POST");
    EXPECT_EQ(args[6], "--body");
    EXPECT_EQ(args[8], "--include");
    ASSERT_TRUE(args[7].starts_with("@"));
    const std::filesystem::path file = args[7].substr(1);
    EXPECT_EQ(file.filename(), "body.json");
    EXPECT_TRUE(file.parent_path().filename().string().starts_with("quillary-rest-"));
    EXPECT_FALSE(std::filesystem::exists(file.parent_path()));
}

TEST_F(RestChannelTest, PatchAnsweredWith204HasANullBody) {
    scenario(fake::Scenario().on_prefix({"api", "request", "rest"}, capture("rest_patch_include")));
    auto response = channel().patch("dh", kRecordPath, R"({"Description__c":"patched"})", token_);
    ASSERT_TRUE(response) << response.error().message();
    EXPECT_EQ(response->status_code, 204);
    EXPECT_TRUE(response->body.is_null());
    EXPECT_EQ(calls().at(0).args.at(5), "PATCH");
}

TEST_F(RestChannelTest, DeleteSendsTheIdsAndAnEmptyObjectBody) {
    scenario(fake::Scenario().on_prefix({"api", "request", "rest"}, capture("rest_delete_include")));
    const std::vector<std::string> ids = {"a00000hWjN798pqAUA", "a00000000000999ZZZ"};
    auto response = channel().delete_composite("dh", "65.0", ids, token_);
    ASSERT_TRUE(response) << response.error().message();
    const auto args = calls().at(0).args;
    EXPECT_EQ(args.at(3), "/services/data/v65.0/composite/sobjects?ids=a00000hWjN798pqAUA,a00000000000999ZZZ&allOrNone=false");
    EXPECT_EQ(args.at(5), "DELETE");
    EXPECT_EQ(args.at(6), "--body");
}

TEST_F(RestChannelTest, RefusalsBeforeAnythingRuns) {
    scenario(fake::Scenario());
    const std::vector<std::string> none;
    const std::vector<std::string> too_many(201, "a00000000000999ZZZ");
    const std::vector<std::string> bad_id = {"a00000000000999ZZZ", "a0000-0000009ZZ"};
    const std::vector<std::string> one = {"a00000000000999ZZZ"};
    const std::string unsupported = "Salesforce REST request failed: the request path is not supported.";
    EXPECT_EQ(channel().get("dh", "/services/data/v65.0/query?q=SELECT", token_).error().message(), unsupported);
    EXPECT_EQ(channel().post("dh", "/services/data/v65.0/../x", "{}", token_).error().message(), unsupported);
    EXPECT_EQ(channel().delete_composite("dh", "65.0", none, token_).error().message(),
              "Salesforce REST request failed: a delete request carries from 1 to 200 record ids.");
    EXPECT_EQ(channel().delete_composite("dh", "65.0", too_many, token_).error().message(),
              "Salesforce REST request failed: a delete request carries from 1 to 200 record ids.");
    for (std::string_view version : {"", "65..0", "v65.0"}) {
        EXPECT_EQ(channel().delete_composite("dh", version, one, token_).error().message(), unsupported) << version;
    }
    EXPECT_EQ(channel().delete_composite("dh", "65.0", bad_id, token_).error().message(),
              "Salesforce REST request failed: a record id does not look like a Salesforce id.");
    EXPECT_THROW((void)channel().get(" \t", kRecordPath, token_), support::ProgrammingError);
    EXPECT_TRUE(calls().empty());
}

TEST_F(RestChannelTest, CancelledBeforeStartIsTheGatewaysCancellation) {
    scenario(fake::Scenario());
    token_.cancel();
    auto response = channel().get("dh", kRecordPath, token_);
    ASSERT_FALSE(response);
    EXPECT_TRUE(response.error().is_cancelled());
    EXPECT_TRUE(calls().empty());
}

TEST_F(RestChannelTest, FolderLeftBehindAfterSuccessKeepsTheResponseAndIsLogged) {
    const RestResponse ok{json::Object{{"id", "a00000hWjN798pqAUA"}}, 201};
    auto settled = cli::rest::settle_body_request(ok, "/tmp/quillary-rest-AbC123",
                                                  std::make_error_code(std::errc::device_or_resource_busy),
                                                  "/services/data/v65.0/sobjects/Broker__c/a00000hWjN798pqAUA", gateway_);
    ASSERT_TRUE(settled);
    EXPECT_EQ(*settled, ok);
    const std::string log = all_log();
    EXPECT_THAT(log, HasSubstr("\"event\":\"failure\""));
    EXPECT_THAT(log, HasSubstr("/tmp/quillary-rest-AbC123"));
    EXPECT_THAT(log, HasSubstr("sobjects/Broker__c/<id>"));

    // After a failed request the removal's error adds nothing.
    const cli::CatalogError failure = cli::CatalogError::Message{"failed"};
    auto failed = cli::rest::settle_body_request(std::unexpected(failure), "/tmp/quillary-rest-AbC123",
                                                 std::make_error_code(std::errc::device_or_resource_busy), "/x", gateway_);
    ASSERT_FALSE(failed);
    EXPECT_EQ(failed.error(), failure);
}

}  // namespace
}  // namespace ambrel::catalogs_test
