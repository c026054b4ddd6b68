#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <thread>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "json/json.hpp"
#include "logging/log_sink.hpp"
#include "support/doubles.hpp"
#include "support/test_paths.hpp"

namespace ambrel::logging {
namespace {

using CapturingWriter = ambrel::testing::CapturingLogWriter;

std::vector<std::string> keys_of(const json::Object& object) {
    std::vector<std::string> keys;
    for (const auto& member : object) keys.emplace_back(member.key());
    return keys;
}

std::string event_of(const json::Object& object) { return std::string(*json::get_string(object, "event")); }
std::uint64_t op_of(const json::Object& object) { return *json::get_uint64(object, "op"); }

struct Fixture {
    std::shared_ptr<CapturingWriter> writer = std::make_shared<CapturingWriter>(std::filesystem::path("/logs/x.jsonl"));
    std::shared_ptr<LogSink> sink;
    explicit Fixture(LogLevel level = LogLevel::Standard) : sink(LogSink::create(writer, level)) {}
};

TEST(LogSink, BaseHoldsTheFourCommonMembers) {
    Fixture f;
    const json::Object line = f.sink->base("something", 9);
    EXPECT_EQ(keys_of(line), (std::vector<std::string>{"localTime", "ts", "event", "op"}));
    EXPECT_EQ(event_of(line), "something");
    EXPECT_EQ(op_of(line), 9u);
    EXPECT_EQ(json::get_string(line, "localTime")->size(), 23u);
}

TEST(LogSink, SessionStartedLine) {
    Fixture f(LogLevel::Detailed);
    f.sink->session_started(41);
    const auto lines = f.writer->lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(keys_of(lines[0]), (std::vector<std::string>{"localTime", "ts", "event", "op", "pid",
                                                           "protocolVersion", "level", "coreVersion"}));
    EXPECT_EQ(event_of(lines[0]), "sessionStarted");
    EXPECT_EQ(op_of(lines[0]), 0u);
    EXPECT_EQ(*json::get_int64(lines[0], "pid"), ::getpid());
    EXPECT_EQ(*json::get_uint64(lines[0], "protocolVersion"), 41u);
    EXPECT_EQ(*json::get_string(lines[0], "level"), "detailed");
    EXPECT_EQ(*json::get_string(lines[0], "coreVersion"), "0.1.4");
}

TEST(LogSink, OffWritesNothingAndCreatesNoFileUntilSwitchedOn) {
    testing::TempDir dir;
    const auto writer = JsonlFileWriter::open(dir.path() / "quillary" / "logs", 1, 2);
    const auto sink = LogSink::create(writer, LogLevel::Off);
    sink->session_started(40);
    sink->session_started(41);  // a second start replaces the first
    sink->begin_operation(1, "compare");
    sink->failure("nothing");
    sink->cli_call({.command = "sf org list"});
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "quillary"));

    sink->set_level(LogLevel::Standard);
    sink->finish_operation();
    sink->set_level(LogLevel::Detailed);  // nothing is held back any more

    std::ifstream in(*writer->path());
    std::vector<json::Object> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(json::parse(line)->as_object());
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(event_of(lines[0]), "sessionStarted");
    EXPECT_EQ(*json::get_uint64(lines[0], "protocolVersion"), 41u);
    EXPECT_EQ(*json::get_string(lines[0], "level"), "standard");
    EXPECT_EQ(event_of(lines[1]), "operationFinished");
    EXPECT_EQ(op_of(lines[1]), 1u);
    // Commands run at level Off still count into the operation.
    EXPECT_EQ(*json::get_uint64(lines[1], "cliCalls"), 1u);
}

TEST(LogSink, DisabledSinkDoesNothing) {
    const auto sink = LogSink::disabled();
    EXPECT_EQ(sink->level(), LogLevel::Off);
    EXPECT_EQ(sink->path(), std::nullopt);
    sink->session_started(41);
    sink->set_level(LogLevel::Detailed);
    sink->begin_operation(1, "deploy");
    sink->cli_call({.command = "sf"});
    sink->failure("x");
    sink->deploy_outcome({});
    sink->target_health_decision("fix", 1);
    sink->finish_operation();
    SUCCEED();
}

TEST(LogSink, PathComesFromTheWriter) {
    Fixture f;
    EXPECT_EQ(f.sink->path(), std::filesystem::path("/logs/x.jsonl"));
}

TEST(LogSink, BeginningAnOperationClosesTheOpenOne) {
    Fixture f;
    f.sink->begin_operation(6, "compare");
    f.sink->begin_operation(7, "deploy");
    f.sink->finish_operation();
    f.sink->finish_operation();
    f.sink->cancel_operation();
    const auto lines = f.writer->lines();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(event_of(lines[0]), "operationStarted");
    EXPECT_EQ(keys_of(lines[0]), (std::vector<std::string>{"localTime", "ts", "event", "op", "kind"}));
    EXPECT_EQ(event_of(lines[1]), "operationFinished");
    EXPECT_EQ(op_of(lines[1]), 6u);
    EXPECT_EQ(*json::get_string(lines[1], "kind"), "compare");
    EXPECT_EQ(keys_of(lines[1]),
              (std::vector<std::string>{"localTime", "ts", "event", "op", "kind", "durationMs", "cliCalls", "cliMs"}));
    EXPECT_EQ(event_of(lines[2]), "operationStarted");
    EXPECT_EQ(op_of(lines[2]), 7u);
    EXPECT_EQ(event_of(lines[3]), "operationFinished");
    EXPECT_EQ(op_of(lines[3]), 7u);
}

TEST(LogSink, CancelClosesWithItsOwnEvent) {
    Fixture f;
    f.sink->begin_operation(3, "retrieve");
    f.sink->cancel_operation();
    const auto lines = f.writer->lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(event_of(lines[1]), "operationCancelled");
    EXPECT_EQ(op_of(lines[1]), 3u);
}

TEST(LogSink, CliLineOfASuccessfulCommand) {
    Fixture f;
    f.sink->cli_call({.command = "sf org list",
                      .org = std::nullopt,
                      .duration = std::chrono::milliseconds(1500) + std::chrono::microseconds(999),
                      .exit_code = 0,
                      .stdout_bytes = 10,
                      .stderr_bytes = 0,
                      .argv = {"org", "list", "--json"}});
    const auto lines = f.writer->lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(keys_of(lines[0]), (std::vector<std::string>{"localTime", "ts", "event", "op", "command", "durationMs",
                                                           "exitCode", "stdoutBytes", "stderrBytes", "outcome"}));
    EXPECT_EQ(event_of(lines[0]), "cli");
    EXPECT_EQ(*json::get_uint64(lines[0], "durationMs"), 1500u);
    EXPECT_EQ(*json::get_string(lines[0], "outcome"), "ok");
}

TEST(LogSink, CliLineOfAFailedCommandAtDetailedLevel) {
    Fixture f(LogLevel::Detailed);
    f.sink->cli_call({.command = "sf project deploy start",
                      .org = "dev",
                      .duration = std::chrono::seconds(2),
                      .exit_code = -1,
                      .stdout_bytes = 1,
                      .stderr_bytes = 2,
                      .timed_out = true,
                      .error = std::string(3000, 'e'),
                      .argv = {"project", "deploy"}});
    const auto lines = f.writer->lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(keys_of(lines[0]),
              (std::vector<std::string>{"localTime", "ts", "event", "op", "command", "org", "durationMs", "exitCode",
                                        "stdoutBytes", "stderrBytes", "timedOut", "outcome", "error", "argv"}));
    EXPECT_EQ(*json::get_int64(lines[0], "exitCode"), -1);
    EXPECT_EQ(*json::get_bool(lines[0], "timedOut"), true);
    EXPECT_EQ(*json::get_string(lines[0], "outcome"), "error");
    EXPECT_EQ(json::get_string(lines[0], "error")->size(), 2048u);
    EXPECT_EQ(json::get_array(lines[0], "argv")->size(), 2u);
}

TEST(LogSink, CommandsOutsideAnOperationCountNowhere) {
    Fixture f;
    f.sink->cli_call({.command = "sf version", .duration = std::chrono::seconds(1)});
    f.sink->begin_operation(2, "loadOrgs");
    f.sink->cli_call({.command = "sf org list", .duration = std::chrono::milliseconds(250)});
    f.sink->cli_call({.command = "sf org list", .duration = std::chrono::milliseconds(250)});
    f.sink->finish_operation();
    const auto lines = f.writer->lines();
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(op_of(lines[0]), 0u);
    EXPECT_EQ(op_of(lines[2]), 2u);
    EXPECT_EQ(*json::get_uint64(lines[4], "cliCalls"), 2u);
    EXPECT_EQ(*json::get_uint64(lines[4], "cliMs"), 500u);
}

TEST(LogSink, FailureIsCutAndCarriesTheOperation) {
    Fixture f;
    f.sink->begin_operation(5, "deploy");
    f.sink->failure(std::string(5000, 'f'));
    const auto lines = f.writer->lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(op_of(lines[1]), 5u);
    EXPECT_EQ(json::get_string(lines[1], "message")->size(), 2048u);
}

DeployOutcomeRecord outcome_with_failures(std::size_t components, std::size_t fls) {
    DeployOutcomeRecord record{.deploy_mode = "BestEffort", .total = 70, .succeeded = 10, .failed = 60};
    for (std::size_t i = 0; i < components; ++i) {
        record.failed_components.push_back({"ApexClass", "C" + std::to_string(i), "ADD", "FAILED", "boom"});
    }
    for (std::size_t i = 0; i < fls; ++i) record.failed_fls.push_back({"Admin", "A.f", "FAILED", "no"});
    record.fls_total = fls;
    record.fls_failed = fls;
    return record;
}

TEST(LogSink, DeployOutcomeAtDetailedLevelShowsFiftyFailedRows) {
    Fixture f(LogLevel::Detailed);
    f.sink->deploy_outcome(outcome_with_failures(60, 51));
    const auto lines = f.writer->lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(json::get_array(lines[0], "failures")->size(), 50u);
    EXPECT_EQ(*json::get_uint64(lines[0], "omittedFailures"), 10u);
    EXPECT_EQ(json::get_array(lines[0], "flsFailures")->size(), 50u);
    EXPECT_EQ(*json::get_uint64(lines[0], "omittedFlsFailures"), 1u);
    const json::Object& row = json::get_array(lines[0], "failures")->at(0).as_object();
    EXPECT_EQ(keys_of(row), (std::vector<std::string>{"type", "name", "operation", "status", "message"}));
    const json::Object& fls_row = json::get_array(lines[0], "flsFailures")->at(0).as_object();
    EXPECT_EQ(keys_of(fls_row), (std::vector<std::string>{"containerApiName", "subject", "status", "message"}));
}

TEST(LogSink, DeployOutcomeAtStandardLevelHasNoRows) {
    Fixture f;
    f.sink->deploy_outcome(outcome_with_failures(60, 0));
    const auto lines = f.writer->lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(keys_of(lines[0]), (std::vector<std::string>{"localTime", "ts", "event", "op", "deployMode", "total",
                                                           "succeeded", "failed", "notAttempted"}));
}

TEST(LogSink, DeployOutcomeWithEveryOptionalMember) {
    Fixture f(LogLevel::Detailed);
    DeployOutcomeRecord record{
        .deploy_mode = "ValidateOnly",
        .total = 2,
        .succeeded = 2,
        .fls_total = 3,
        .tests_run = 4,
        .tests_failed = 0,
        .quick_deploy_performed = true,
        .retried_permission_set_groups = {"G"},
        .retried_context_definitions = {},
        .retried_permission_sets = {"P1", "P2"},
        .retried_profiles = {"Admin"},
        .deployed_by_target = 2,
        .failed_components = {{"T", "N", "ADD", "FAILED", std::string(3000, 'm')}},
    };
    f.sink->deploy_outcome(record);
    const auto lines = f.writer->lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(keys_of(lines[0]),
              (std::vector<std::string>{"localTime", "ts", "event", "op", "deployMode", "total", "succeeded", "failed",
                                        "notAttempted", "flsTotal", "flsFailed", "testsRun", "testsFailed",
                                        "quickDeployPerformed", "retriedPermissionSetGroups", "retriedPermissionSets",
                                        "retriedProfiles", "deployedByTarget", "failures", "flsFailures"}));
    const json::Object& row = json::get_array(lines[0], "failures")->at(0).as_object();
    EXPECT_EQ(json::get_string(row, "message")->size(), 2048u);
}

TEST(LogSink, DeployOutcomeWithoutFlsResultsHasNoFlsMembers) {
    Fixture f(LogLevel::Detailed);
    f.sink->deploy_outcome({.deploy_mode = "AllOrNothing"});
    const auto lines = f.writer->lines();
    ASSERT_EQ(lines.size(), 1u);
    for (const char* key : {"flsTotal", "flsFailed", "flsFailures", "omittedFlsFailures", "omittedFailures"}) {
        EXPECT_EQ(json::find(lines[0], key), nullptr) << key;
    }
    EXPECT_TRUE(json::get_array(lines[0], "failures")->empty());
}

TEST(LogSink, TargetHealthEvents) {
    Fixture f;
    f.sink->target_health_check(1, 2, 3, 4, 5);
    f.sink->target_health_fix({{"Product2", 3}, {"PricebookEntry", 1}, {"Product2", 7}}, 2);
    f.sink->target_health_decision("recheck", std::nullopt);
    f.sink->target_health_decision("fix", 4);
    const auto lines = f.writer->lines();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(keys_of(lines[0]), (std::vector<std::string>{"localTime", "ts", "event", "op", "unfixable", "duplicates",
                                                           "missingCatalogs", "dependents", "fixable"}));
    EXPECT_EQ(*json::get_uint64(lines[0], "missingCatalogs"), 3u);
    const json::Object& deleted = *json::get_object(lines[1], "deleted");
    EXPECT_EQ(keys_of(deleted), (std::vector<std::string>{"Product2", "PricebookEntry"}));
    EXPECT_EQ(*json::get_uint64(deleted, "Product2"), 7u);
    EXPECT_EQ(*json::get_uint64(lines[1], "refused"), 2u);
    EXPECT_EQ(json::find(lines[2], "findings"), nullptr);
    EXPECT_EQ(*json::get_uint64(lines[3], "findings"), 4u);
}

TEST(LogSink, LinesFromManyThreadsAllArriveWhole) {
    testing::TempDir dir;
    const auto writer = JsonlFileWriter::open(dir.path(), 0, 1);
    const auto sink = LogSink::create(writer, LogLevel::Detailed);
    sink->begin_operation(1, "compare");
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&sink, t] {
            for (int i = 0; i < 200; ++i) {
                sink->cli_call({.command = "sf data query", .duration = std::chrono::milliseconds(1),
                                .argv = {std::string(500, char('a' + t))}});
            }
        });
    }
    for (auto& thread : threads) thread.join();
    sink->finish_operation();

    std::ifstream in(*writer->path());
    std::size_t count = 0;
    std::optional<json::Object> last;
    for (std::string line; std::getline(in, line); ++count) {
        auto parsed = json::parse(line);
        ASSERT_TRUE(parsed) << line.substr(0, 80);
        last = parsed->as_object();
    }
    EXPECT_EQ(count, 802u);
    EXPECT_EQ(*json::get_uint64(*last, "cliCalls"), 800u);
    EXPECT_EQ(*json::get_uint64(*last, "cliMs"), 800u);
}

}  // namespace
}  // namespace ambrel::logging
