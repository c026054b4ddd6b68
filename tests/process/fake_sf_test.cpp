// The fake sf must answer as the real CLI does; these checks hold it to the captures of the real one.

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <boost/json.hpp>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "process/process_runner.hpp"
#include "fakes/fake_sf.hpp"
#include "support/test_paths.hpp"

namespace ambrel::process {
namespace {

using ambrel::testing::read_file;

using namespace std::chrono_literals;
using ::testing::HasSubstr;
using testing::TempDir;
using testing::fake_sf::Answer;
using testing::fake_sf::FakeSf;
using testing::fake_sf::Scenario;

class FakeSfTest : public ::testing::Test {
protected:
    ProcessOutput run(const std::vector<std::string>& args, std::vector<EnvironmentPair> extra = {},
                      std::optional<std::filesystem::path> directory = {}) {
        std::vector<std::string> argv{testing::fake_sf::executable().string()};
        argv.insert(argv.end(), args.begin(), args.end());
        auto environment = fake_.environment();
        environment.insert(environment.end(), extra.begin(), extra.end());
        auto output = runner_.run_with_env(argv, directory, 30s, never_, environment);
        EXPECT_TRUE(output.has_value()) << output.error().message();
        return output.value_or(ProcessOutput{});
    }

    DefaultProcessRunner runner_;
    domain::NeverCancelled never_;
    FakeSf fake_;
};

TEST_F(FakeSfTest, AnswersLikeEveryCaptureOfTheRealCli) {
    const std::vector<std::string> names = {"badflag",  "deployreport", "describe", "listmeta",
                                            "orglist",  "query_noorg",  "rest_inc", "rest_json",
                                            "retrieve", "tooling",      "version"};
    for (const auto& name : names) {
        fake_.write(Scenario().otherwise(Answer::capture(name)));
        const ProcessOutput output = run({"any"});
        const auto base = testing::fake_sf::capture_path(name);
        EXPECT_EQ(output.stdout_text, read_file(base.string() + ".out")) << name;
        EXPECT_EQ(output.stderr_text, read_file(base.string() + ".err")) << name;
        EXPECT_EQ(output.exit_code, std::stoi(read_file(base.string() + ".rc"))) << name;
    }
}

TEST_F(FakeSfTest, FirstMatchingRuleAnswers) {
    fake_.write(Scenario()
                    .on_exact({"org", "list"}, Answer().out("exact"))
                    .on_prefix({"org", "list"}, Answer().out("prefix"))
                    .on_contains({"--use-tooling-api", "data"}, Answer().out("contains"))
                    .on_prefix({"data"}, Answer().out("colour"), {{"FORCE_COLOR", "1"}})
                    .on_prefix({"data"}, Answer().out("no colour variable"), {{"SF_MARK", std::nullopt}})
                    .otherwise(Answer().out("default").exit_code(7)));
    EXPECT_EQ(run({"org", "list"}).stdout_text, "exact");
    EXPECT_EQ(run({"org", "list", "metadata"}).stdout_text, "prefix");
    EXPECT_EQ(run({"data", "query", "--use-tooling-api"}).stdout_text, "contains");
    EXPECT_EQ(run({"data", "query"}, {{"FORCE_COLOR", "1"}}).stdout_text, "colour");
    EXPECT_EQ(run({"data", "query"}).stdout_text, "no colour variable");
    const ProcessOutput fallback = run({"data", "query"}, {{"SF_MARK", "x"}});
    EXPECT_EQ(fallback.stdout_text, "default");
    EXPECT_EQ(fallback.exit_code, 7);
}

TEST_F(FakeSfTest, UnknownAliasIsNamedOrgNotFoundLikeTheRealCli) {
    fake_.write(Scenario().orgs({"dh"}).otherwise(Answer().out("{\"status\":0}")));
    EXPECT_EQ(run({"data", "query", "--target-org", "dh", "--json"}).stdout_text, "{\"status\":0}");

    const ProcessOutput output = run({"data", "query", "--query", "SELECT Id FROM Account",
                                      "--target-org", "nosuch", "--json"});
    EXPECT_EQ(output.exit_code, 2);
    const auto fake = boost::json::parse(output.stdout_text).as_object();
    const auto real =
        boost::json::parse(read_file(testing::fake_sf::capture_path("query_noorg.out"))).as_object();
    for (const char* key : {"name", "message", "exitCode", "context", "code", "status", "commandName"}) {
        EXPECT_EQ(fake.at(key), real.at(key)) << key;
    }
    std::vector<std::string> fake_keys;
    std::vector<std::string> real_keys;
    for (const auto& member : fake) fake_keys.emplace_back(member.key());
    for (const auto& member : real) real_keys.emplace_back(member.key());
    EXPECT_EQ(fake_keys, real_keys);

    const ProcessOutput rest = run({"api", "request", "rest", "/services/data/v65.0", "--target-org", "nosuch"});
    EXPECT_EQ(rest.exit_code, 2);
    EXPECT_EQ(rest.stdout_text, "");
    EXPECT_EQ(rest.stderr_text, read_file(testing::fake_sf::capture_path("rest_inc.err")));
}

TEST_F(FakeSfTest, RestRequestRefusesJsonFlag) {
    fake_.write(Scenario().orgs({"dh"}).otherwise(Answer().out("HTTP/1.1 200 OK\n{}\n")));
    const ProcessOutput refused =
        run({"api", "request", "rest", "/services/data/v65.0", "--target-org", "dh", "--json"});
    EXPECT_EQ(refused.exit_code, 2);
    EXPECT_EQ(refused.stdout_text, "");
    EXPECT_THAT(refused.stderr_text, HasSubstr("Nonexistent flag: --json"));
    EXPECT_EQ(run({"api", "request", "rest", "/services/data/v65.0", "--target-org", "dh"}).stdout_text,
              "HTTP/1.1 200 OK\n{}\n");
}

TEST_F(FakeSfTest, InheritedForceColourSpoilsJsonOutput) {
    fake_.write(Scenario().otherwise(Answer().out("{\"status\":0}\n")));
    EXPECT_THAT(run({"org", "list", "--json"}, {{"FORCE_COLOR", "1"}}).stdout_text, HasSubstr("\x1b["));
    EXPECT_EQ(run({"org", "list", "--json"}, {{"FORCE_COLOR", "1"}, {"NO_COLOR", "1"}}).stdout_text,
              "{\"status\":0}\n");
    // The runner's own default keeps the output clean.
    EXPECT_EQ(run({"org", "list", "--json"}).stdout_text, "{\"status\":0}\n");
}

TEST_F(FakeSfTest, WritesFilesIntoTheWorkingDirectory) {
    TempDir work;
    TempDir tree;
    std::filesystem::create_directories(tree.path() / "force-app" / "classes");
    std::ofstream(tree.path() / "force-app" / "classes" / "A.cls") << "class A {}";
    fake_.write(Scenario().otherwise(Answer()
                                         .file("${arg:--job-id}-success-records.csv", "sf__Id,Id\n")
                                         .tree("project", tree.path())
                                         .out("{\"status\":0,\"result\":{\"cwd\":\"${cwd}\"}}")));
    const ProcessOutput output =
        run({"data", "bulk", "results", "--job-id", "750abc", "--json"}, {}, work.path());
    EXPECT_EQ(read_file(work.path() / "750abc-success-records.csv"), "sf__Id,Id\n");
    EXPECT_EQ(read_file(work.path() / "project" / "force-app" / "classes" / "A.cls"), "class A {}");
    const auto cwd = std::filesystem::canonical(work.path()).string();
    EXPECT_EQ(output.stdout_text, "{\"status\":0,\"result\":{\"cwd\":\"" + cwd + "\"}}");
}

TEST_F(FakeSfTest, RecordsEveryCallInOrder) {
    fake_.write(Scenario().otherwise(Answer()));
    run({"version", "--json"});
    run({"org", "list", "--json"}, {{"SF_WEB_OAUTH_SERVER_TIMEOUT", "600000"}});
    const auto calls = fake_.calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].args, (std::vector<std::string>{"version", "--json"}));
    EXPECT_EQ(calls[1].args, (std::vector<std::string>{"org", "list", "--json"}));
    EXPECT_EQ(calls[1].env.at("SF_WEB_OAUTH_SERVER_TIMEOUT"), "600000");
    EXPECT_EQ(calls[1].program, testing::fake_sf::executable().string());
}

TEST_F(FakeSfTest, WithoutAnyMatchingAnswerTheFakeFailsLoudly) {
    fake_.write(Scenario().on_exact({"version"}, Answer()));
    const ProcessOutput output = run({"org", "list"});
    EXPECT_EQ(output.exit_code, 99);
    EXPECT_THAT(output.stderr_text, HasSubstr("no rule answers sf org list"));
}

}  // namespace
}  // namespace ambrel::process
