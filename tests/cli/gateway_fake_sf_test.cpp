// The gateway end to end over the real process runner and the fake `sf`, found through PATH as the
// real CLI would be.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "cli/catalog_results.hpp"
#include "logging/log_sink.hpp"
#include "support/doubles.hpp"
#include "cli/gateway.hpp"
#include "cli/prerequisite.hpp"
#include "cli/resolver.hpp"
#include "fakes/fake_sf.hpp"
#include "support/test_paths.hpp"

namespace ambrel::cli {
namespace {

using ambrel::testing::ScopedVariable;

using namespace std::chrono_literals;
using ambrel::testing::fake_sf::Answer;
using ambrel::testing::fake_sf::FakeSf;
using ambrel::testing::fake_sf::Scenario;
using ambrel::testing::fake_sf::ScopedFakeSf;
using ::testing::HasSubstr;
using ::testing::Not;

struct FakeHarness {
    explicit FakeHarness(const Scenario& scenario) {
        fake.write(scenario);
        installed.emplace(fake);
        gateway.emplace(SfCliExecutableResolver::for_this_process().resolve(),
                        std::make_unique<DefaultProcessRunner>(),
                        logging::LogSink::create(writer, logging::LogLevel::Detailed), CliCommandCache::create());
    }
    FakeSf fake;
    std::optional<ScopedFakeSf> installed;
    std::shared_ptr<ambrel::testing::CapturingLogWriter> writer = std::make_shared<ambrel::testing::CapturingLogWriter>();
    std::optional<SfCliGateway> gateway;
    domain::NeverCancelled never;
};

TEST(GatewayOverFakeSf, FindsTheCliThroughPathAndPassesItsVersionCheck) {
    FakeHarness h(Scenario().on_exact({"version", "--json"}, Answer::capture("version")));
    EXPECT_EQ(h.gateway->executable(), ambrel::testing::fake_sf::executable().string());
    ASSERT_TRUE(SfCliPrerequisiteChecker(*h.gateway, 120s).check(h.never));

    const auto calls = h.fake.calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].args, (std::vector<std::string>{"version", "--json"}));
    EXPECT_EQ(calls[0].env.at("SF_DISABLE_AUTOUPDATE"), "1");
    EXPECT_EQ(calls[0].env.at("SF_SKIP_NEW_VERSION_CHECK"), "true");
    EXPECT_EQ(h.writer->lines().at(0).at("command"), "version");
}

TEST(GatewayOverFakeSf, AnUnknownAliasFailsWithTheClisOwnMessage) {
    FakeHarness h(Scenario().orgs({"dh"}));
    auto result = h.gateway->execute_inner(
        {"data", "query", "--query", "SELECT Id FROM Account", "--target-org", "nosuch"}, std::nullopt, 120s, h.never);
    ASSERT_TRUE(result);
    EXPECT_EQ(result->exit_code, 2);
    auto failure = catalogs::require_successful_catalog_command(
        *result, "object catalog command",
        "Verify the selected Salesforce org is authenticated and retry object loading.");
    ASSERT_FALSE(failure);
    EXPECT_EQ(failure.error().message(),
              "Salesforce CLI object catalog command failed (exit code 2, status 2, timed out: false). Verify the "
              "selected Salesforce org is authenticated and retry object loading. CLI details: "
              "NamedOrgNotFoundError: Parsing --target-org \n\tNo authorization information found for nosuch.\n"
              "See more help with --help");
    EXPECT_EQ(h.writer->lines().at(0).at("org"), "nosuch");
}

TEST(GatewayOverFakeSf, AnInheritedForceColourDoesNotBreakParsing) {
    ScopedVariable colour("FORCE_COLOR", "1");
    FakeHarness h(Scenario().honour_force_color(true).on_prefix({"org", "list"}, Answer::capture("orglist")));
    auto result = h.gateway->execute_inner({"org", "list", "--skip-connection-status"}, std::nullopt, 120s, h.never);
    ASSERT_TRUE(result) << result.error().message();
    EXPECT_EQ(*json::find(result->json, "status"), json::Value(0));
    EXPECT_EQ(h.fake.calls().at(0).env.at("FORCE_COLOR"), "0");
}

TEST(GatewayOverFakeSf, RawModeReadsARestAnswerWithHeadersAndRedactsItsTexts) {
    const std::string answer =
        "HTTP/1.1 200 OK\nset-cookie: sid=00Dxx!secret; Path=/\ncontent-type: application/json\n"
        "{\n  \"accessToken\": \"00Dxx!token\",\n  \"id\": \"001000000000001AAA\"\n}\n";
    FakeHarness h(Scenario().orgs({"dh"}).on_prefix({"api", "request", "rest"}, Answer().out(answer)));
    const std::vector<std::string> arguments{"api", "request", "rest",
                                             "/services/data/v65.0/sobjects/Account/001000000000001AAA",
                                             "--method", "GET", "--include", "--target-org", "dh"};
    auto result = h.gateway->execute_raw(arguments, std::nullopt, 120s, h.never);
    ASSERT_TRUE(result) << result.error().message();
    EXPECT_EQ(result->raw_stdout, answer);
    EXPECT_THAT(result->stdout_text, Not(HasSubstr("secret")));
    EXPECT_THAT(result->stdout_text, Not(HasSubstr("00Dxx!token")));
    EXPECT_EQ(h.fake.calls().at(0).args, arguments);

    const std::string line = h.writer->raw_lines().at(0);
    EXPECT_THAT(line, HasSubstr(R"("command":"api request rest /services/data/v65.0/sobjects/Account/<id>")"));
    EXPECT_THAT(line, Not(HasSubstr("001000000000001AAA")));
    EXPECT_THAT(line, Not(HasSubstr("argv")));

    // An unknown alias: the CLI's error on standard error, nothing on standard output, exit code 2.
    auto unknown = h.gateway->execute_raw({"api", "request", "rest", "/services/data/v65.0", "--target-org", "x"},
                                          std::nullopt, 120s, h.never);
    ASSERT_TRUE(unknown);
    EXPECT_EQ(unknown->exit_code, 2);
    EXPECT_EQ(unknown->raw_stdout, "");
    EXPECT_THAT(unknown->stderr_text, HasSubstr("NamedOrgNotFoundError"));
}

TEST(GatewayOverFakeSf, AProgramThatCannotStartIsLoggedAndReported) {
    ambrel::testing::TempDir empty;
    SfCliGateway gateway((empty.path() / "sf").string(), std::make_unique<DefaultProcessRunner>());
    domain::NeverCancelled never;
    auto result = gateway.execute_inner({"version"}, std::nullopt, 5s, never);
    ASSERT_FALSE(result);
    EXPECT_THAT(result.error().message(), HasSubstr("Could not start Salesforce CLI process: "));
    auto check = SfCliPrerequisiteChecker(gateway, 5s).check(never);
    ASSERT_FALSE(check);
    EXPECT_EQ(check.error().message(),
              "Salesforce CLI could not be started or did not return a valid version response.");
}

}  // namespace
}  // namespace ambrel::cli
