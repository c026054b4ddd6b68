#include "cli/prerequisite.hpp"

#include <gtest/gtest.h>

#include "support/doubles.hpp"
#include "cli/gateway.hpp"

namespace ambrel::cli {
namespace {

using namespace std::chrono_literals;
using ambrel::testing::ScriptedRunner;

constexpr std::string_view kNotStarted =
    "Salesforce CLI could not be started or did not return a valid version response.";
constexpr std::string_view kIncompatible =
    "Salesforce CLI returned an incompatible version response without cliVersion or version.";

struct Probe {
    std::expected<void, CatalogError> check(ScriptedRunner::Outcome outcome) {
        state->outcomes.push_back(std::move(outcome));
        SfCliGateway gateway("sf", std::make_unique<ScriptedRunner>(state));
        return SfCliPrerequisiteChecker(gateway, 120s).check(never);
    }
    std::shared_ptr<ScriptedRunner::State> state = std::make_shared<ScriptedRunner::State>();
    domain::NeverCancelled never;
};

TEST(SfCliPrerequisiteChecker, RunsTheVersionCommandWithItsTimeOut) {
    Probe probe;
    ASSERT_TRUE(probe.check(ScriptedRunner::output(R"({"cliVersion":"@salesforce/cli/2.116.6"})")));
    ASSERT_EQ(probe.state->calls.size(), 1u);
    EXPECT_EQ(probe.state->calls[0].arguments, (std::vector<std::string>{"sf", "version", "--json"}));
    EXPECT_EQ(probe.state->calls[0].timeout, 120s);
}

TEST(SfCliPrerequisiteChecker, JudgesTheAnswer) {
    struct Case {
        std::string name;
        ProcessOutput output;
        std::optional<std::string> failure;  // none: passes
    };
    const std::vector<Case> cases = {
        {"package and dotted version", ScriptedRunner::output(R"({"result":{"cliVersion":"@salesforce/cli/2.116.6"}})"),
         std::nullopt},
        {"top-level version when result is text",
         ScriptedRunner::output(R"({"status":0,"result":"x","version":"sf 2.1"})"), std::nullopt},
        {"result.version before top level",
         ScriptedRunner::output(R"({"result":{"version":"  "},"cliVersion":"2.0"})"), std::nullopt},
        {"digits without a dot", ScriptedRunner::output(R"({"result":{"cliVersion":"2116"}})"),
         std::string(kIncompatible)},
        {"no version at all", ScriptedRunner::output(R"({"status":0})"), std::string(kIncompatible)},
        {"version not a text", ScriptedRunner::output(R"({"cliVersion":2.1})"), std::string(kIncompatible)},
        {"status 1 with exit code 0", ScriptedRunner::output(R"({"status":1,"cliVersion":"2.1"})"),
         "Salesforce CLI version check failed (exit code 0, status 1, timed out: false)."},
        {"missing status with exit code 2", ScriptedRunner::output(R"({"cliVersion":"2.1"})", 2),
         "Salesforce CLI version check failed (exit code 2, status missing, timed out: false)."},
        {"fractional status counts as missing", ScriptedRunner::output(R"({"status":1.0,"cliVersion":"2.1"})"),
         std::nullopt},
        {"status 0 but timed out", ScriptedRunner::output(R"({"status":0,"cliVersion":"2.1"})", -1, "", true),
         "Salesforce CLI version check failed (exit code -1, status 0, timed out: true)."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Probe probe;
        auto outcome = probe.check(c.output);
        if (!c.failure) {
            EXPECT_TRUE(outcome) << outcome.error().message();
            continue;
        }
        ASSERT_FALSE(outcome);
        const auto* prerequisite = outcome.error().get_if<CatalogError::Prerequisite>();
        ASSERT_NE(prerequisite, nullptr);
        EXPECT_EQ(prerequisite->message, *c.failure);
        EXPECT_FALSE(prerequisite->cause);
    }
}

TEST(SfCliPrerequisiteChecker, ACliThatCannotRunIsAPrerequisiteFailureWithItsCause) {
    Probe probe;
    const auto not_found = CliError::could_not_start(std::make_error_code(std::errc::no_such_file_or_directory));
    auto outcome = probe.check(std::unexpected(process::ProcessError{
        process::ProcessError::Kind::StartFailed, std::make_error_code(std::errc::no_such_file_or_directory)}));
    ASSERT_FALSE(outcome);
    EXPECT_EQ(outcome.error(), CatalogError::prerequisite(std::string(kNotStarted), not_found));

    Probe blank;
    auto no_json = blank.check(ScriptedRunner::output("", 127));
    ASSERT_FALSE(no_json);
    const auto* prerequisite = no_json.error().get_if<CatalogError::Prerequisite>();
    ASSERT_NE(prerequisite, nullptr);
    EXPECT_EQ(prerequisite->message, kNotStarted);
    ASSERT_TRUE(prerequisite->cause);
    EXPECT_NE(prerequisite->cause->get_if<CliError::NoJson>(), nullptr);
}

TEST(SfCliPrerequisiteChecker, ACancellationStaysACancellation) {
    Probe probe;
    auto outcome = probe.check(std::unexpected(process::ProcessError{process::ProcessError::Kind::Cancelled, {}}));
    ASSERT_FALSE(outcome);
    EXPECT_TRUE(outcome.error().is_cancelled());
    EXPECT_EQ(outcome.error().message(), "Salesforce CLI process was cancelled");
}

TEST(VersionNumber, NeedsTwoDotSeparatedRunsOfDigits) {
    EXPECT_TRUE(prerequisite::contains_version_number("@salesforce/cli/2.116.6"));
    EXPECT_TRUE(prerequisite::contains_version_number("v1.0-beta"));
    EXPECT_FALSE(prerequisite::contains_version_number("2116"));
    EXPECT_FALSE(prerequisite::contains_version_number("1."));
    EXPECT_FALSE(prerequisite::contains_version_number(".5"));
}

}  // namespace
}  // namespace ambrel::cli
