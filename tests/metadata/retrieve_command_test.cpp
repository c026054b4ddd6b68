// One side's project retrieve through the real gateway and process runner and the fake `sf`.

#include "metadata/retrieve/retrieve_command.hpp"

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "fakes/fake_sf.hpp"
#include "metadata/manifest/package_manifest_writer.hpp"
#include "support/credentials.hpp"
#include "support/doubles.hpp"
#include "support/test_paths.hpp"

namespace ambrel::metadata::retrieve {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using ambrel::testing::TempDir;
using ambrel::testing::fake_sf::Answer;
using ambrel::testing::fake_sf::FakeSf;
using ambrel::testing::fake_sf::Scenario;
using ambrel::testing::fake_sf::ScopedFakeSf;
using metadata_types::MetadataType;
using ::testing::HasSubstr;
using ::testing::StartsWith;

fs::path fixture_orgs() { return ambrel::testing::tests_dir() / "fixtures" / "retrieve" / "orgs"; }

std::string envelope(std::string_view result, int status = 0) {
    return fmt::format(R"({{"status": {}, "result": {}, "warnings": []}})", status, result);
}

std::string with_problems(const std::vector<std::string>& problems) {
    std::string messages = "[";
    for (std::size_t i = 0; i < problems.size(); ++i) {
        if (i > 0) messages += ",";
        messages += fmt::format(R"({{"fileName": "unpackaged/package.xml", "problem": "{}"}})", problems[i]);
    }
    messages += "]";
    return envelope(fmt::format(R"({{"status": "Succeeded", "success": true, "messages": {}, "files": []}})", messages));
}

// A project folder with its manifest, the fake `sf` and a gateway over the real runner.
struct Harness {
    explicit Harness(const Scenario& scenario, std::string executable = ambrel::testing::fake_sf::executable().string()) {
        fake.write(scenario);
        installed.emplace(fake);
        fs::create_directories(project / "force-app" / "main" / "default");
        fs::create_directories(project / "manifest");
        std::ofstream(project / "manifest" / "package.xml")
            << manifest::PackageManifestWriter("65.0").render_types({{MetadataType::ApexClass, {"Util"}}});
        gateway.emplace(std::move(executable), std::make_unique<process::DefaultProcessRunner>());
    }
    std::expected<void, MetadataRetrieveError> run(std::string_view alias, bool output_required,
                                                   std::chrono::milliseconds timeout = 60s) {
        return retrieve_one(*gateway, alias, project, timeout, token, output_required);
    }

    FakeSf fake;
    std::optional<ScopedFakeSf> installed;
    TempDir dir;
    fs::path project = dir.path() / "proj";
    std::optional<cli::SfCliGateway> gateway;
    ambrel::testing::TestToken token;
};

TEST(RetrieveOne, RunsTheEightArgumentsInTheProjectFolder) {
    Harness h(Scenario().orgs({"src"}).on_prefix({"project", "retrieve", "start"}, Answer().retrieve_from(fixture_orgs())));
    ASSERT_TRUE(h.run("src", true));
    const auto calls = h.fake.calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].args,
              (std::vector<std::string>{"project", "retrieve", "start", "--manifest",
                                        (fs::canonical(h.project) / "manifest" / "package.xml").string(),
                                        "--target-org", "src", "--json"}));
    EXPECT_EQ(fs::canonical(calls[0].cwd), fs::canonical(h.project));
    EXPECT_TRUE(fs::is_regular_file(h.project / "force-app/main/default/classes/Util.cls"));
    EXPECT_TRUE(fs::is_regular_file(h.project / "force-app/main/default/classes/Util.cls-meta.xml"));
}

TEST(RetrieveOne, OutcomeTable) {
    const std::string failed_prefix = "Salesforce metadata retrieve failed for alias 'src' ";
    const std::string no_output = "Salesforce metadata retrieve for alias 'src' produced no metadata output";
    std::vector<std::string> twelve;
    for (int i = 1; i <= 12; ++i) twelve.push_back(fmt::format("problem {}", i));
    struct Case {
        const char* what;
        Answer answer;
        bool output_required;
        std::optional<std::string> message;  // none: success
    };
    const std::vector<Case> cases{
        {"files retrieved from the fixture org", Answer().retrieve_from(fixture_orgs()), true, std::nullopt},
        {"status 0 and an empty output folder on the source side", Answer().out(with_problems({})), true, no_output},
        {"status 0 and an empty output folder on the target side", Answer().out(with_problems({})), false, std::nullopt},
        {"the empty manifest's answer passes", Answer::capture("standin/retrieve_empty_manifest"), false, std::nullopt},
        {"status 1 and exit code 1", Answer().out(envelope("{}", 1)).exit_code(1), false,
         failed_prefix + "(exit code 1, CLI status Some(1), timed out: false)"},
        {"status 0 with exit code 1", Answer().out(envelope("{}")).exit_code(1), false,
         failed_prefix + "(exit code 1, CLI status Some(0), timed out: false)"},
        {"status as text", Answer().out(R"({"status": "0", "result": {}})"), false,
         "Invalid Salesforce retrieve response for alias 'src': top-level integer status is missing"},
        {"status as 0.0", Answer().out(R"({"status": 0.0, "result": {}})"), false,
         "Invalid Salesforce retrieve response for alias 'src': top-level integer status is missing"},
        {"status missing with exit code 3", Answer().out(R"({"result": {}})").exit_code(3), false,
         failed_prefix + "(exit code 3, CLI status None, timed out: false)"},
        {"blank output", Answer().out("  \n"), false,
         "Invalid Salesforce retrieve response for alias 'src': malformed or missing JSON"},
        {"output that is not JSON, exit code 1", Answer().out("oops").exit_code(1), false,
         failed_prefix + "(exit code 1, CLI status None, timed out: false): malformed or missing JSON"},
        {"one problem as an object",
         Answer().out(envelope(R"({"success": true, "messages": {"problem": "Only one"}})")), true,
         no_output + "; Salesforce reported: Only one"},
        {"empty and non-text problems are skipped",
         Answer().out(envelope(
             R"({"messages": [{"problem": ""}, {"problem": 7}, {"fileName": "x"}, {"problem": "Kept"}]})")),
         true, no_output + "; Salesforce reported: Kept"},
        {"duplicates listed once, order of first occurrence",
         Answer().out(with_problems({"B", "A", "B", "B", "A"})), true, no_output + "; Salesforce reported: B; A"},
        {"twelve unique problems", Answer().out(with_problems(twelve)), true,
         no_output +
             "; Salesforce reported: problem 1; problem 2; problem 3; problem 4; problem 5; problem 6; problem 7; "
             "problem 8; problem 9; problem 10 (and 2 more)"},
        {"a secret and a line break in a problem",
         Answer().out(with_problems({"denied accessToken=00Dxx!secret\\nnext line"})), true,
         no_output + "; Salesforce reported: denied accessToken=\"[REDACTED]\" next line"},
        // An auth URL and an access token in a failure never reach its message.
        {"a CLI error that carries credentials",
         Answer()
             .out(fmt::format(R"({{"status": 1, "name": "RefreshTokenAuthError", "message": "{}"}})",
                              ambrel::testing::kCredentialFailure))
             .exit_code(1),
         false,
         failed_prefix + "(exit code 1, CLI status Some(1), timed out: false): RefreshTokenAuthError: " +
             std::string(ambrel::testing::kScrubbedCredentialFailure)},
        {"a failed retrieve whose message carries credentials",
         Answer().out(envelope(fmt::format(R"({{"status": "Failed", "success": false, "errorMessage": "{}"}})",
                                           ambrel::testing::kCredentialFailure))),
         false,
         failed_prefix + "(exit code 0, CLI status Some(0), timed out: false): " +
             std::string(ambrel::testing::kScrubbedCredentialFailure)},
        {"a retrieve that failed in the org (shape of retrieve_source)",
         Answer().out(envelope(R"({"done": true, "id": "09S", "status": "Failed", "success": false,
                                   "errorMessage": "INVALID_CROSS_REFERENCE_KEY: no such org\nretry",
                                   "messages": [], "files": []})")),
         false, failed_prefix + "(exit code 0, CLI status Some(0), timed out: false): INVALID_CROSS_REFERENCE_KEY: no such org retry"},
        {"a failed retrieve without a message",
         Answer().out(envelope(R"({"status": "Failed", "success": false, "errorMessage": "  "})")), true,
         failed_prefix + "(exit code 0, CLI status Some(0), timed out: false): the retrieve did not succeed"},
        {"success false alone", Answer().out(envelope(R"({"success": false})")), false,
         failed_prefix + "(exit code 0, CLI status Some(0), timed out: false): the retrieve did not succeed"},
        {"a retrieve still in progress", Answer().out(envelope(R"({"status": "InProgress"})")), false,
         failed_prefix + "(exit code 0, CLI status Some(0), timed out: false): the retrieve did not succeed"},
        {"a canceled retrieve", Answer().out(envelope(R"({"status": "Canceled"})")), false,
         failed_prefix + "(exit code 0, CLI status Some(0), timed out: false): the retrieve did not succeed"},
        {"a partial success passes on to the output test",
         Answer().out(envelope(R"({"status": "SucceededPartial", "success": true})")), false, std::nullopt},
        {"an unknown type (RegistryError)", Answer::capture("standin/retrieve_unknown_type"), false,
         failed_prefix + "(exit code 1, CLI status Some(1), timed out: false): RegistryError: Missing metadata type "
                         "definition in registry for id 'NoSuchMetadataType'."},
        {"a missing manifest (Error)", Answer::capture("retrieve"), false,
         failed_prefix + "(exit code 2, CLI status Some(2), timed out: false): Error: Parsing --manifest   No file "
                         "found at /home/user/project/manifest/package.xml See more help with --help"},
        {"an alias with spaces the CLI does not know", Answer::capture("standin/q_org_alias_spaces"), false,
         failed_prefix + "(exit code 2, CLI status Some(2), timed out: false): NamedOrgNotFoundError: Parsing "
                         "--target-org   No authorization information found for  dh . See more help with --help"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Harness h(Scenario().on_prefix({"project", "retrieve", "start"}, c.answer));
        const auto result = h.run("src", c.output_required);
        if (!c.message) {
            EXPECT_TRUE(result) << result.error().message();
        } else {
            ASSERT_FALSE(result);
            EXPECT_EQ(result.error().message(), *c.message);
        }
        EXPECT_EQ(h.fake.calls().size(), 1u);
    }
}

TEST(RetrieveOne, AnUnknownAliasShowsTheClisReason) {
    Harness h(Scenario().orgs({"src"}));
    const auto result = h.run("nosuch", false);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().message(),
              "Salesforce metadata retrieve failed for alias 'nosuch' (exit code 2, CLI status Some(2), timed out: "
              "false): NamedOrgNotFoundError: Parsing --target-org   No authorization information found for nosuch. "
              "See more help with --help");
    const auto* failed = result.error().get_if<MetadataRetrieveError::Failed>();
    ASSERT_NE(failed, nullptr);
    EXPECT_THAT(failed->stdout_text, HasSubstr("NamedOrgNotFoundError"));
}

TEST(RetrieveOne, ALongDetailIsCutTo2048Characters) {
    const std::string long_message(5000, 'x');
    Harness h(Scenario().on_prefix({"project", "retrieve", "start"},
                                   Answer()
                                       .out(fmt::format(R"({{"name": "Boom", "message": "{}", "status": 1}})", long_message))
                                       .exit_code(1)));
    const auto result = h.run("src", false);
    ASSERT_FALSE(result);
    const auto* failed = result.error().get_if<MetadataRetrieveError::Failed>();
    ASSERT_TRUE(failed && failed->detail);
    EXPECT_EQ(failed->detail->size(), 2048u);
    EXPECT_THAT(*failed->detail, StartsWith("Boom: xxx"));
}

TEST(RetrieveOne, ATimeOutIsAFailureWithTheFlagSet) {
    Harness h(Scenario().on_prefix({"project", "retrieve", "start"}, Answer().sleep_ms(20000)));
    const auto result = h.run("src", true, 300ms);
    ASSERT_FALSE(result);
    const auto* failed = result.error().get_if<MetadataRetrieveError::Failed>();
    ASSERT_NE(failed, nullptr);
    EXPECT_TRUE(failed->timed_out);
    EXPECT_FALSE(failed->status);
    EXPECT_THAT(result.error().message(), HasSubstr("CLI status None, timed out: true): malformed or missing JSON"));
}

TEST(RetrieveOne, CancellationAndAMissingExecutable) {
    {
        Harness h(Scenario().on_prefix({"project", "retrieve", "start"}, Answer().sleep_ms(20000)));
        h.token.cancel();
        const auto result = h.run("src", true);
        ASSERT_FALSE(result);
        EXPECT_EQ(result.error().message(), "Salesforce metadata retrieve was cancelled");
    }
    {
        Harness h(Scenario(), "/nonexistent/sf");
        const auto result = h.run("src", true);
        ASSERT_FALSE(result);
        EXPECT_EQ(result.error().message(), "Could not run Salesforce metadata retrieve for alias 'src'");
        const auto* could_not = result.error().get_if<MetadataRetrieveError::CouldNotRun>();
        ASSERT_NE(could_not, nullptr);
        EXPECT_THAT(could_not->detail, StartsWith("Could not start Salesforce CLI process"));
    }
}

TEST(RetrieveOne, ALinkNamedDefaultIsNoOutput) {
    Harness h(Scenario().on_prefix({"project", "retrieve", "start"}, Answer().out(with_problems({}))));
    const fs::path full = h.dir.path() / "full";
    fs::create_directories(full / "classes");
    fs::remove(h.project / "force-app/main/default");
    fs::create_directory_symlink(full, h.project / "force-app/main/default");
    const auto result = h.run("src", true);
    ASSERT_FALSE(result);
    const auto* none = result.error().get_if<MetadataRetrieveError::NoOutput>();
    ASSERT_NE(none, nullptr);
    EXPECT_EQ(none->output_path, fs::absolute(h.project / "force-app/main/default"));
}

TEST(RetrieveFailureText, CleanupErrorsNeverChangeTheText) {
    RetrieveFailure failure{MetadataRetrieveError::Workspace{workspace::WorkspaceError::io({}, "Could not create workspace root")},
                            {workspace::WorkspaceError::io({}, "Could not remove workspace root")}};
    EXPECT_EQ(failure.message(), "Could not prepare the temporary Salesforce metadata workspace");
    EXPECT_EQ(MetadataRetrieveError(MetadataRetrieveError::InvalidPermissionMetadata{
                                        "dh", "Admin", "project root disappeared", domain::FlsContainerKind::Profile})
                  .message(),
              "Invalid Salesforce permission metadata for alias 'dh', component Profile 'Admin': project root disappeared");
}

}  // namespace
}  // namespace ambrel::metadata::retrieve
