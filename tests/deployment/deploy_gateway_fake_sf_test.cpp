// The deploy gateway end to end over the real process runner and the fake `sf` replaying answers of
// the real CLI byte for byte: command lines, working folder, outcomes and recorded values.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>

#include <fmt/format.h>

#include "cli/gateway.hpp"
#include "cli/resolver.hpp"
#include "deployment/deploy_gateway/gateway.hpp"
#include "fakes/fake_sf.hpp"
#include "process/process_runner.hpp"
#include "support/credentials.hpp"
#include "support/doubles.hpp"
#include "support/test_paths.hpp"

namespace ambrel::deployment::deploy_gateway {
namespace {

using ambrel::testing::fake_sf::Answer;
using ambrel::testing::fake_sf::FakeSf;
using ambrel::testing::fake_sf::Scenario;
using ambrel::testing::fake_sf::ScopedFakeSf;
using Result = MetadataDeployResult;

constexpr const char* kOrg = "dana.admin@dreamhouse.standin";

struct Harness {
    Harness(const Scenario& scenario, DeployOptions options = {}) {
        fake.write(scenario);
        installed.emplace(fake);
        cli = std::make_shared<cli::SfCliGateway>(cli::SfCliExecutableResolver::for_this_process().resolve(),
                                                  std::make_unique<process::DefaultProcessRunner>());
        gateway.emplace(std::move(options), cli);
        std::filesystem::create_directories(project() / "force-app");
    }
    std::filesystem::path project() const { return fake.dir() / "project"; }
    Result deploy(const RequestedComponents& requested = {{"ApexClass", "PropertyController"}},
                  const std::string& org = kOrg) {
        return gateway->deploy(project() / "force-app", project(), org, requested, never);
    }
    FakeSf fake;
    std::optional<ScopedFakeSf> installed;
    std::shared_ptr<cli::SfCliGateway> cli;
    std::optional<SfCliMetadataDeployGateway> gateway;
    domain::NeverCancelled never;
};

std::vector<std::string> start_line(const std::string& source, std::vector<std::string> extra = {}) {
    std::vector<std::string> args{"project", "deploy", "start", "--source-dir", source, "--target-org", kOrg,
                                  "--wait", "30", "--json", "--ignore-conflicts"};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
}

TEST(DeployGatewayOverFakeSf, ASuccessfulStartSucceedsWithItsJobAndCounts) {
    Harness h(Scenario().on_prefix({"project", "deploy", "start"}, Answer::capture("deploy_start_ok")));
    EXPECT_EQ(h.deploy(), (Result{Result::Succeeded{"0Af000gTHfPUbD9CML", false}}));
    const auto calls = h.fake.calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].args, start_line((h.project() / "force-app").string()));
    EXPECT_EQ(std::filesystem::path(calls[0].cwd), h.project());
    EXPECT_EQ(h.gateway->recorded_tests(), (std::pair<std::uint32_t, std::uint32_t>{0, 0}));
    EXPECT_EQ(h.gateway->recorded_deployed_count(), 1u);
    EXPECT_EQ(h.gateway->recorded_test_failures(), std::nullopt);
}

TEST(DeployGatewayOverFakeSf, FlagsComeInTheirOrderAndTheSourceFolderIsNormalised) {
    DeployOptions options;
    options.check_only = true;
    options.ignore_errors = true;
    options.tests = std::vector<std::string>{"TestA", "TestB"};
    Harness h(Scenario().on_prefix({"project", "deploy", "start"}, Answer::capture("deploy_start_ok")), options);
    h.gateway->deploy(h.project() / "force-app" / ".." / "force-app", h.project(), kOrg,
                      {{"ApexClass", "PropertyController"}}, h.never);
    const auto calls = h.fake.calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].args, start_line((h.project() / "force-app").string(),
                                        {"--dry-run", "--ignore-errors", "--test-level", "RunSpecifiedTests",
                                         "--tests", "TestA", "--tests", "TestB"}));
}

TEST(DeployGatewayOverFakeSf, AnEmptyTestListSendsNoTestFlags) {
    DeployOptions options;
    options.tests = std::vector<std::string>{};
    Harness h(Scenario()
                  .on_contains({"--test-level"}, Answer::capture("deploy_start_runspecified_notests"))
                  .on_prefix({"project", "deploy", "start"}, Answer::capture("deploy_start_ok")),
              options);
    EXPECT_EQ(h.deploy(), (Result{Result::Succeeded{"0Af000gTHfPUbD9CML", false}}));
    EXPECT_EQ(h.fake.calls().at(0).args, start_line((h.project() / "force-app").string()));
}

TEST(DeployGatewayOverFakeSf, TheClisRefusalOfATestLevelWithoutTestsIsAnError) {
    Harness h(Scenario().on_prefix({"project", "deploy", "start"},
                                   Answer::capture("deploy_start_runspecified_notests")));
    EXPECT_EQ(h.deploy(), (Result{Result::Error{
                              "NoTestsSpecifiedError: You must specify tests using the --tests flag if the "
                              "--test-level flag is set to RunSpecifiedTests."}}));
}

TEST(DeployGatewayOverFakeSf, AComponentFailureTiesToItsClassByTypeNameAndFile) {
    Harness h(Scenario().on_prefix({"project", "deploy", "start"}, Answer::capture("deploy_start_compfail")));
    const auto result = h.deploy({{"ApexClass", "BrokenOnPurpose"}, {"ApexClass", "PropertyController"}});
    // The job failed: nothing deployed, though only one component failed.
    EXPECT_EQ(result, (Result{Result::ComponentFailures{
                          {{{"ApexClass", "BrokenOnPurpose"}, "Variable does not exist: undefinedThing"}},
                          "Variable does not exist: undefinedThing",
                          false,
                          "Variable does not exist: undefinedThing"}}));
}

TEST(DeployGatewayOverFakeSf, IgnoreErrorsWithItsStatus68StillTiesTheFailure) {
    DeployOptions options;
    options.ignore_errors = true;
    Harness h(Scenario().on_prefix({"project", "deploy", "start"}, Answer::capture("deploy_start_ignore_errors")),
              options);
    const auto result = h.deploy({{"ApexClass", "BrokenOnPurpose"}, {"ApexClass", "PropertyController"}});
    const auto* failures = std::get_if<Result::ComponentFailures>(&result.value);
    ASSERT_NE(failures, nullptr);
    ASSERT_EQ(failures->failures.size(), 1u);
    EXPECT_EQ(failures->failures[0].first, (MetadataComponentKey{"ApexClass", "BrokenOnPurpose"}));
    EXPECT_FALSE(failures->has_unmatched);
    // A partial success deployed the rest.
    EXPECT_EQ(failures->rejection, std::nullopt);
}

TEST(DeployGatewayOverFakeSf, AFailedApexTestIsAWholeRejectionAndIsRecorded) {
    Harness h(Scenario().on_prefix({"project", "deploy", "start"}, Answer::capture("deploy_testfail")));
    const auto result = h.deploy();
    const auto* failed = std::get_if<Result::Failed>(&result.value);
    ASSERT_NE(failed, nullptr);
    EXPECT_THAT(failed->message,
                ::testing::HasSubstr("Apex test failures: TestPropertyController.getPagedPropertyList: "
                                     "System.AssertException: Assertion Failed"));
    EXPECT_EQ(h.gateway->recorded_tests(), (std::pair<std::uint32_t, std::uint32_t>{3, 1}));
    EXPECT_EQ(h.gateway->recorded_test_failures(),
              "Apex test failures: TestPropertyController.getPagedPropertyList: System.AssertException: "
              "Assertion Failed");
}

TEST(DeployGatewayOverFakeSf, AValidationWithTestsLeavesItsJob) {
    DeployOptions options;
    options.check_only = true;
    Harness h(Scenario().on_prefix({"project", "deploy", "start"}, Answer::capture("deploy_dryrun_tests")), options);
    EXPECT_EQ(h.deploy(), (Result{Result::Succeeded{"0Af000PspBlSzT5CSK", true}}));
}

TEST(DeployGatewayOverFakeSf, AFailedValidationTiesItsFailure) {
    DeployOptions options;
    options.check_only = true;
    Harness h(Scenario().on_prefix({"project", "deploy", "start"}, Answer::capture("deploy_dryrun_compfail")),
              options);
    const auto result = h.deploy({{"ApexClass", "BrokenOnPurpose"}, {"ApexClass", "PropertyController"}});
    EXPECT_TRUE(std::holds_alternative<Result::ComponentFailures>(result.value));
}

TEST(DeployGatewayOverFakeSf, APendingStartIsReportedOnce) {
    struct Case {
        const char* report;
        Result expected;
    };
    const Case cases[] = {
        {"deploy_report_done",
         Result{Result::ComponentFailures{
             {{{"ApexClass", "BrokenOnPurpose"}, "Variable does not exist: undefinedThing"}},
             "Variable does not exist: undefinedThing",
             false,
             "Variable does not exist: undefinedThing"}}},
        {"deploy_report_pending",
         Result{Result::Error{"Salesforce deployment job did not reach a terminal state. Job 0Af000Ylw3hUchVCCS "
                              "may still complete in the target."}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.report);
        Harness h(Scenario()
                      .on_prefix({"project", "deploy", "start"}, Answer::capture("deploy_start_async"))
                      .on_prefix({"project", "deploy", "report"}, Answer::capture(c.report)));
        EXPECT_EQ(h.deploy({{"ApexClass", "BrokenOnPurpose"}, {"ApexClass", "PropertyController"}}), c.expected);
        const auto calls = h.fake.calls();
        ASSERT_EQ(calls.size(), 2u);
        EXPECT_EQ(calls[1].args, (std::vector<std::string>{"project", "deploy", "report", "--job-id",
                                                           "0Af000Ylw3hUchVCCS", "--target-org", kOrg, "--wait",
                                                           "30", "--json"}));
        EXPECT_EQ(std::filesystem::path(calls[1].cwd), h.project());
    }
}

// A cancel once the start command was launched stops the command, not the job in the org: the outcome
// says so and names the job when the CLI printed its id. A cancel before that sends nothing.
TEST(DeployGatewayOverFakeSf, ACancelWhileTheOrgDeploysSaysTheJobMayStillApply) {
    const std::string kStillApplies =
        "Cancelled while the org was deploying; the org may still apply this deployment{}. Check the deployment "
        "status in the org before deploying again.";
    struct Case {
        const char* name;
        bool pending_start;
        std::string expected;
    };
    const Case cases[] = {
        {"during the start", false, fmt::format(fmt::runtime(kStillApplies), "")},
        {"during the report of a pending job", true, fmt::format(fmt::runtime(kStillApplies), " (job 0Af000Ylw3hUchVCCS)")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ambrel::testing::TempDir dir;
        const auto running = dir.path() / "running";
        Answer slow;
        slow.file(running.string(), "").sleep_ms(60'000);
        Scenario scenario;
        if (c.pending_start) {
            scenario.on_prefix({"project", "deploy", "start"}, Answer::capture("deploy_start_async"))
                .on_prefix({"project", "deploy", "report"}, slow);
        } else {
            scenario.on_prefix({"project", "deploy", "start"}, slow);
        }
        Harness h(scenario);
        const ambrel::testing::TestToken token([&] { return std::filesystem::exists(running); });
        const auto started = std::chrono::steady_clock::now();
        EXPECT_EQ(h.gateway->deploy(h.project() / "force-app", h.project(), kOrg, {{"ApexClass", "PropertyController"}},
                                    token),
                  (Result{Result::Error{c.expected}}));
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(30));
    }

    Harness h(Scenario().otherwise(Answer::capture("deploy_start_ok")));
    ambrel::testing::TestToken cancelled;
    cancelled.cancel();
    EXPECT_EQ(h.gateway->deploy(h.project() / "force-app", h.project(), kOrg, {{"ApexClass", "PropertyController"}},
                                cancelled),
              (Result{Result::Error{"Salesforce metadata deployment was cancelled."}}));
    EXPECT_TRUE(h.fake.calls().empty());
}

TEST(DeployGatewayOverFakeSf, AnExpiredWaitFollowsTheJobThatGoesOn) {
    Harness h(Scenario()
                  .on_prefix({"project", "deploy", "start"}, Answer::capture("deploy_start_clienttimeout"))
                  .on_prefix({"project", "deploy", "report"}, Answer::capture("deploy_report_after_timeout")));
    EXPECT_EQ(h.deploy(), (Result{Result::Succeeded{"0Af000djxqBuhqACAR", false}}));
    EXPECT_EQ(h.fake.calls().at(1).args.at(4), "0Af000djxqBuhqACAR");
}

TEST(DeployGatewayOverFakeSf, ASourceConflictIsNeverReachedAndStillReadsAsAnError) {
    // The conflict answer only comes without --ignore-conflicts, which every start carries.
    Harness h(Scenario()
                  .on_contains({"--ignore-conflicts"}, Answer::capture("deploy_tracked_ignore_conflicts"))
                  .otherwise(Answer::capture("deploy_tracked_conflict")));
    EXPECT_TRUE(std::holds_alternative<Result::Succeeded>(h.deploy().value));

    cli::CliJsonResult conflict;
    conflict.json = *json::parse(R"({"name":"SourceConflictError","message":"2 conflicts detected","exitCode":1,
        "data":[{"state":"Conflict"}],"status":1})");
    conflict.exit_code = 1;
    EXPECT_EQ(h.gateway->classify(conflict, {{"ApexClass", "A"}}),
              (DeployResponse{Result{Result::Error{"SourceConflictError: 2 conflicts detected"}}}));
}

TEST(DeployGatewayOverFakeSf, BlankAliasAndEmptySetStartNothing) {
    Harness h{Scenario()};
    EXPECT_EQ(h.deploy({{"ApexClass", "A"}}, "   "), (Result{Result::Error{"Target Salesforce alias is blank."}}));
    EXPECT_EQ(h.deploy({}), (Result{Result::Error{
                                "No Salesforce metadata components were requested for deployment."}}));
    EXPECT_TRUE(h.fake.calls().empty());
}

TEST(DeployGatewayOverFakeSf, AnAliasWithSpacesIsPassedAsGiven) {
    Harness h(Scenario().otherwise(Answer::capture("deploy_start_ok")));
    h.deploy({{"ApexClass", "PropertyController"}}, " dh ");
    EXPECT_EQ(h.fake.calls().at(0).args.at(6), " dh ");
}

TEST(DeployGatewayOverFakeSf, AnUnknownOrgIsTheClisOwnError) {
    Harness h(Scenario().orgs({"dh"}));
    const auto result = h.deploy({{"ApexClass", "A"}}, "nosuch");
    const auto* error = std::get_if<Result::Error>(&result.value);
    ASSERT_NE(error, nullptr);
    EXPECT_THAT(error->message, ::testing::StartsWith("NamedOrgNotFoundError: Parsing --target-org  No authorization "
                                                      "information found for nosuch."));
}

TEST(DeployGatewayOverFakeSf, OutputThatIsNoJsonNamesTheDetail) {
    Harness h(Scenario().otherwise(Answer().out("oops\n").err("broken\tpipe\n").exit_code(1)));
    EXPECT_EQ(h.deploy(), (Result{Result::Error{"Salesforce CLI returned malformed or missing JSON. broken pipe"}}));
}

// A failing start, report or quick deploy whose answer holds an auth URL and an access token: the
// error names the CLI's reason with both scrubbed.
TEST(DeployGatewayOverFakeSf, CredentialsInAFailingAnswerNeverReachTheError) {
    using ambrel::testing::kAccessTokenBody;
    using ambrel::testing::kAuthUrlSecret;
    const Answer refused = Answer()
                               .out(fmt::format(R"({{"status":1,"name":"RefreshTokenAuthError","message":"{}","exitCode":1}})",
                                                ambrel::testing::kCredentialFailure))
                               .err(std::string(ambrel::testing::kCredentialFailure))
                               .exit_code(1);
    // A start and a report name the error; a quick deploy gives the CLI's message alone.
    const std::string scrubbed(ambrel::testing::kScrubbedCredentialFailure);
    struct Case {
        const char* road;
        Scenario scenario;
    };
    const std::vector<Case> cases = {
        {"deploy start", Scenario().on_prefix({"project", "deploy", "start"}, refused)},
        {"deploy report", Scenario()
                              .on_prefix({"project", "deploy", "start"}, Answer::capture("deploy_start_async"))
                              .on_prefix({"project", "deploy", "report"}, refused)},
        {"quick deploy", Scenario().on_prefix({"project", "deploy", "quick"}, refused)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.road);
        Harness h(c.scenario);
        std::string message;
        std::string expected = "RefreshTokenAuthError: " + scrubbed;
        if (std::string_view(c.road) == "quick deploy") {
            expected = scrubbed;
            auto answer = h.gateway->quick_deploy(h.project(), kOrg, "0Af000PspBlSzT5CSK", h.never);
            ASSERT_FALSE(answer);
            message = answer.error();
        } else {
            const auto result = h.deploy();
            const auto* error = std::get_if<Result::Error>(&result.value);
            ASSERT_NE(error, nullptr);
            message = error->message;
        }
        EXPECT_THAT(message, ::testing::HasSubstr(expected));
        EXPECT_THAT(message, ::testing::Not(::testing::HasSubstr(std::string(kAuthUrlSecret))));
        EXPECT_THAT(message, ::testing::Not(::testing::HasSubstr(std::string(kAccessTokenBody))));
    }
}

TEST(DeployGatewayOverFakeSf, QuickDeploySkipsTheManifestRowAndRunsItsLine) {
    Harness h(Scenario().on_prefix({"project", "deploy", "quick"}, Answer::capture("deploy_quick")));
    auto answer = h.gateway->quick_deploy(h.project(), kOrg, "0Af000PspBlSzT5CSK", h.never);
    ASSERT_TRUE(answer) << answer.error();
    EXPECT_TRUE(answer->succeeded);
    EXPECT_EQ(answer->components, (std::vector<app::ports::QuickDeployComponent>{
                                      {"ApexClass", "PropertyController", "Component deployed successfully.", true,
                                       false}}));
    const auto calls = h.fake.calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].args, (std::vector<std::string>{"project", "deploy", "quick", "--job-id",
                                                       "0Af000PspBlSzT5CSK", "--target-org", kOrg, "--wait", "30",
                                                       "--json"}));
    EXPECT_EQ(std::filesystem::path(calls[0].cwd), h.project());
}

TEST(DeployGatewayOverFakeSf, ASecondQuickDeployReportsTheClisReason) {
    Harness h(Scenario().on_prefix({"project", "deploy", "quick"}, Answer::capture("deploy_quick_again")));
    auto answer = h.gateway->quick_deploy(h.project(), kOrg, "0Af000PspBlSzT5CSK", h.never);
    ASSERT_FALSE(answer);
    EXPECT_THAT(answer.error(), ::testing::StartsWith("Job ID can't be used for quick deployment."));
}

TEST(DeployGatewayOverFakeSf, AnExpiredQuickDeployIsReportedOnceAndReadFromTheReport) {
    Harness h(Scenario()
                  .on_prefix({"project", "deploy", "quick"},
                             Answer()
                                 .out(R"({"name":"MetadataTransferError","message":"The wait ran out.","exitCode":1,)"
                                      R"("data":{"id":"0Af000djxqBuhqACAR"},"status":1})")
                                 .exit_code(1))
                  .on_prefix({"project", "deploy", "report"}, Answer::capture("deploy_report_after_timeout")));
    auto answer = h.gateway->quick_deploy(h.project(), kOrg, "0Af000PspBlSzT5CSK", h.never);
    ASSERT_TRUE(answer) << answer.error();
    EXPECT_TRUE(answer->succeeded);
    ASSERT_FALSE(answer->components.empty());
    EXPECT_EQ(answer->components[0].full_name, "PropertyController");
    EXPECT_EQ(h.fake.calls().at(1).args.at(4), "0Af000djxqBuhqACAR");
}

TEST(DeployGatewayOverFakeSf, AQuickDeployWithoutRowsThatSucceededIsAnEmptySuccess) {
    Harness h(Scenario().on_prefix(
        {"project", "deploy", "quick"},
        Answer().out(R"({"status":0,"result":{"done":true,"status":"Succeeded","success":true,"id":"0Af000AfXZkcRkzC0E",)"
                     R"("details":{"componentSuccesses":[{"componentType":"","fullName":"package.xml","fileName":"package.xml"}]}}})")));
    auto answer = h.gateway->quick_deploy(h.project(), kOrg, "0Af000PspBlSzT5CSK", h.never);
    ASSERT_TRUE(answer) << answer.error();
    EXPECT_TRUE(answer->succeeded);
    EXPECT_TRUE(answer->components.empty());
}

TEST(DeployGatewayOverFakeSf, QuickDeployRowsTakeTheirFallbacks) {
    Harness h(Scenario().on_prefix(
        {"project", "deploy", "quick"},
        Answer().out(R"({"status":1,"result":{"done":true,"success":false,"details":{)"
                     R"("componentSuccesses":{"componentType":"ApexClass","fileName":"classes/Foo.cls","created":true},)"
                     R"("componentFailures":[{"fileName":"src\\x.txt","problem":"no"},7]}}})")
            .exit_code(1)));
    auto answer = h.gateway->quick_deploy(h.project(), kOrg, "0Af000PspBlSzT5CSK", h.never);
    ASSERT_TRUE(answer) << answer.error();
    EXPECT_FALSE(answer->succeeded);
    EXPECT_EQ(answer->components,
              (std::vector<app::ports::QuickDeployComponent>{
                  {"ApexClass", "Foo", "Component deployed successfully.", true, true},
                  {"(unspecified component type)", "src\\x.txt", "no", false, false},
                  {"(unspecified component type)", "(unspecified component)",
                   "Salesforce rejected this metadata component.", false, false}}));
}

TEST(DeployGatewayOverFakeSf, QuickDeployChecksTheAliasFirst) {
    Harness h{Scenario()};
    EXPECT_EQ(h.gateway->quick_deploy(h.project(), " ", " ", h.never).error(), "Target Salesforce alias is blank.");
    EXPECT_EQ(h.gateway->quick_deploy(h.project(), kOrg, "\t", h.never).error(),
              "The validated deployment job ID is blank.");
    EXPECT_TRUE(h.fake.calls().empty());
}

}  // namespace
}  // namespace ambrel::deployment::deploy_gateway
