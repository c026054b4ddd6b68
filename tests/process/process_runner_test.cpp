#include "process/process_runner.hpp"

#include <signal.h>
#include <sys/types.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "fakes/fake_sf.hpp"
#include "support/programming_error.hpp"
#include "support/doubles.hpp"
#include "support/test_paths.hpp"

namespace ambrel::process {
namespace {

using ambrel::testing::ScopedVariable;
using ambrel::testing::TestToken;

using namespace std::chrono_literals;
using ::testing::HasSubstr;
using ::testing::StartsWith;
using testing::TempDir;
using testing::fake_sf::Answer;
using testing::fake_sf::FakeSf;
using testing::fake_sf::RecordedCall;
using testing::fake_sf::Scenario;

using Clock = std::chrono::steady_clock;

// A generous bound: long enough for a slow sanitized build, far shorter than the children's sleeps.
constexpr auto kPrompt = 5s;

// Running, not a zombie: an orphaned zombie waits for an init process that may never collect it.
bool is_running(pid_t pid) {
    if (::kill(pid, 0) != 0) return false;
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line)) return false;
    const auto after_name = line.rfind(')');
    return after_name == std::string::npos || line.at(after_name + 2) != 'Z';
}

// Linux keeps 15 bytes of a thread name.
bool has_thread_named(const std::string& name) {
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream comm(task.path() / "comm");
        std::string line;
        if (std::getline(comm, line) && line == name) return true;
    }
    return false;
}

pid_t read_pid(const std::filesystem::path& file) {
    std::ifstream in(file);
    pid_t pid = 0;
    in >> pid;
    return pid;
}

class ProcessRunnerTest : public ::testing::Test {
protected:
    // Runs the fake sf with the given answer for every call.
    std::expected<ProcessOutput, ProcessError> run_fake(
        const Answer& answer, std::vector<std::string> args = {"probe"},
        std::chrono::milliseconds timeout = 30s, const domain::CancellationToken* token = nullptr,
        std::vector<EnvironmentPair> extra = {},
        std::optional<std::filesystem::path> working_directory = {},
        const DefaultProcessRunner* with_runner = nullptr) {
        fake_.write(Scenario().otherwise(answer));
        std::vector<std::string> argv{testing::fake_sf::executable().string()};
        argv.insert(argv.end(), args.begin(), args.end());
        auto environment = fake_.environment();
        environment.insert(environment.end(), extra.begin(), extra.end());
        return (with_runner ? *with_runner : runner_)
            .run_with_env(argv, working_directory, timeout, token ? *token : never_, environment);
    }

    RecordedCall only_call() const {
        const auto calls = fake_.calls();
        EXPECT_EQ(calls.size(), 1u);
        return calls.empty() ? RecordedCall{} : calls.front();
    }

    DefaultProcessRunner runner_;
    domain::NeverCancelled never_;
    FakeSf fake_;
    TempDir scratch_;
};

TEST_F(ProcessRunnerTest, ReportsExitStatusOrMinusOneForASignal) {
    struct Case {
        Answer answer;
        std::int32_t expected;
    };
    const std::vector<Case> cases = {
        {Answer(), 0},
        {Answer().exit_code(3), 3},
        {Answer().exit_code(255), 255},
        {Answer().signal(SIGTERM), -1},
        {Answer().signal(SIGKILL), -1},
    };
    for (const auto& [answer, expected] : cases) {
        const auto output = run_fake(answer);
        ASSERT_TRUE(output.has_value()) << output.error().message();
        EXPECT_EQ(output->exit_code, expected);
        EXPECT_FALSE(output->timed_out);
    }
}

TEST_F(ProcessRunnerTest, CapturesLargeOutputOnBothStreamsAtOnce) {
    // Far beyond a pipe's capacity on each stream, written in alternating slices: a runner that
    // drained one stream before the other would deadlock here.
    const std::string out_unit(1000, 'o');
    const std::string err_unit = std::string(999, 'e') + "\n";
    const auto output = run_fake(Answer().out(out_unit).out_repeat(2048).err(err_unit).err_repeat(1024));
    ASSERT_TRUE(output.has_value()) << output.error().message();
    EXPECT_EQ(output->stdout_text.size(), 2048u * 1000u);
    EXPECT_EQ(output->stderr_text.size(), 1024u * 1000u);
    EXPECT_EQ(output->stdout_text.find_first_not_of('o'), std::string::npos);
    EXPECT_EQ(output->stderr_text.substr(0, 1000), err_unit);
}

TEST_F(ProcessRunnerTest, DecodesInvalidUtf8Lossily) {
    const auto bytes = scratch_.path() / "bytes.out";
    std::ofstream(bytes, std::ios::binary) << "ok \xff\xfe end\n";
    const auto output = run_fake(Answer().out_file(bytes).err("caf\xc3\xa9\n"));
    ASSERT_TRUE(output.has_value()) << output.error().message();
    EXPECT_EQ(output->stdout_text, "ok \xEF\xBF\xBD\xEF\xBF\xBD end\n");
    EXPECT_EQ(output->stderr_text, "caf\xc3\xa9\n");
}

TEST_F(ProcessRunnerTest, CaptureLimitKeepsTheFirstBytesAndLetsTheChildFinish) {
    const DefaultProcessRunner limited(10);
    const auto output = run_fake(Answer().out("0123456789abcdef").out_repeat(10000).err("e").exit_code(4),
                                 {"probe"}, 30s, nullptr, {}, {}, &limited);
    ASSERT_TRUE(output.has_value()) << output.error().message();
    EXPECT_EQ(output->stdout_text, "0123456789");
    EXPECT_EQ(output->stderr_text, "e");
    EXPECT_EQ(output->exit_code, 4);
}

TEST_F(ProcessRunnerTest, ChildGetsTheNullDeviceAsStandardInputAndTheGivenDirectory) {
    const auto output = run_fake(Answer(), {"probe"}, 30s, nullptr, {}, scratch_.path());
    ASSERT_TRUE(output.has_value()) << output.error().message();
    const RecordedCall call = only_call();
    EXPECT_EQ(call.fds.at(0), "/dev/null");
    EXPECT_THAT(call.fds.at(1), StartsWith("pipe:"));
    EXPECT_THAT(call.fds.at(2), StartsWith("pipe:"));
    EXPECT_NE(call.fds.at(1), call.fds.at(2));
    EXPECT_EQ(std::filesystem::path(call.cwd), std::filesystem::canonical(scratch_.path()));
    EXPECT_EQ(call.args, (std::vector<std::string>{"probe"}));
}

TEST_F(ProcessRunnerTest, ChildLeadsItsOwnProcessGroup) {
    ASSERT_TRUE(run_fake(Answer()).has_value());
    const RecordedCall call = only_call();
    EXPECT_EQ(call.pgid, call.pid);
    EXPECT_NE(call.pgid, static_cast<std::int64_t>(::getpgrp()));
}

TEST_F(ProcessRunnerTest, ArgumentsPassUnchangedWithoutAShell) {
    const std::vector<std::string> args = {"data", "query", "--query", "SELECT Id FROM X WHERE a = 'b c'",
                                           "$HOME", "*", "", "a;b|c"};
    ASSERT_TRUE(run_fake(Answer(), args).has_value());
    EXPECT_EQ(only_call().args, args);
}

TEST_F(ProcessRunnerTest, TheInheritedEnvironmentPassesUnchanged) {
    const ScopedVariable force_color("FORCE_COLOR", "1");
    const ScopedVariable inherited("SF_INHERITED_MARK", "kept");
    ASSERT_TRUE(run_fake(Answer()).has_value());
    const auto env = only_call().env;
    // The runner adds nothing of its own: the gateways choose their children's variables.
    EXPECT_EQ(env.at("FORCE_COLOR"), "1");
    EXPECT_EQ(env.at("SF_INHERITED_MARK"), "kept");
    EXPECT_EQ(env.count("SF_DISABLE_AUTOUPDATE"), 0u);
}

TEST_F(ProcessRunnerTest, CallersPairsWinInTheirOrder) {
    ASSERT_TRUE(run_fake(Answer(), {"probe"}, 30s, nullptr,
                         {{"FORCE_COLOR", "1"},
                          {"SF_WEB_OAUTH_SERVER_TIMEOUT", "600000"},
                          {"SF_TEMP_SHOW_SECRETS", "true"},
                          {"SF_TEMP_SHOW_SECRETS", "false"}})
                    .has_value());
    const auto env = only_call().env;
    EXPECT_EQ(env.at("FORCE_COLOR"), "1");
    EXPECT_EQ(env.at("SF_WEB_OAUTH_SERVER_TIMEOUT"), "600000");
    EXPECT_EQ(env.at("SF_TEMP_SHOW_SECRETS"), "false");
}

TEST_F(ProcessRunnerTest, StartFailuresAreValues) {
    const std::vector<std::pair<std::vector<std::string>, std::optional<std::filesystem::path>>> cases = {
        {{"/nonexistent/ambrel/sf", "version"}, std::nullopt},
        {{"ambrel-no-such-program-anywhere"}, std::nullopt},
        {{testing::fake_sf::executable().string()}, scratch_.path() / "missing-directory"},
    };
    for (const auto& [argv, directory] : cases) {
        const auto output = runner_.run(argv, directory, 30s, never_);
        ASSERT_FALSE(output.has_value());
        EXPECT_EQ(output.error().kind, ProcessError::Kind::StartFailed);
        EXPECT_FALSE(output.error().is_cancelled());
        EXPECT_EQ(output.error().error, std::errc::no_such_file_or_directory);
    }
}

TEST_F(ProcessRunnerTest, EmptyCommandIsAProgrammingError) {
    try {
        (void)runner_.run({}, std::nullopt, 1s, never_);
        FAIL() << "no programming error";
    } catch (const support::ProgrammingError& error) {
        EXPECT_STREQ(error.what(), "Process command must not be empty");
    }
}

TEST_F(ProcessRunnerTest, TokenCancelledBeforeStartStartsNothing) {
    TestToken token;
    token.cancel();
    const auto output = run_fake(Answer(), {"probe"}, 30s, &token);
    ASSERT_FALSE(output.has_value());
    EXPECT_TRUE(output.error().is_cancelled());
    EXPECT_EQ(output.error().kind, ProcessError::Kind::CancelledBeforeStart);
    EXPECT_FALSE(std::filesystem::exists(fake_.record_file()));
}

TEST_F(ProcessRunnerTest, CancellationStopsTheWholeGroupPromptly) {
    const auto grandchild_pid = scratch_.path() / "grandchild.pid";
    // Cancelled once the child has written the grandchild's pid, i.e. while both are running.
    const TestToken token([&] { return std::filesystem::exists(grandchild_pid) && read_pid(grandchild_pid) > 0; });
    const auto started = Clock::now();
    const auto output = run_fake(Answer().out("before\n").grandchild(20000, grandchild_pid).sleep_ms(20000),
                                 {"probe"}, 60s, &token);
    EXPECT_LT(Clock::now() - started, kPrompt);
    ASSERT_FALSE(output.has_value());
    EXPECT_TRUE(output.error().is_cancelled());
    EXPECT_EQ(output.error().kind, ProcessError::Kind::Cancelled);
    EXPECT_FALSE(is_running(only_call().pid));
    EXPECT_FALSE(is_running(read_pid(grandchild_pid)));
}

TEST_F(ProcessRunnerTest, TimeOutKillsAGroupThatIgnoresSigtermAndKeepsTheOutput) {
    const auto grandchild_pid = scratch_.path() / "grandchild.pid";
    const auto started = Clock::now();
    const auto output = run_fake(
        Answer().out("partial\n").err("warn\n").ignore_sigterm().grandchild(20000, grandchild_pid, true).sleep_ms(20000),
        // Long enough for a sanitized child on a loaded machine to print before the time-out.
        {"probe"}, 2s);
    EXPECT_LT(Clock::now() - started, 2s + kPrompt);
    ASSERT_TRUE(output.has_value()) << output.error().message();
    EXPECT_TRUE(output->timed_out);
    EXPECT_EQ(output->exit_code, -1);
    EXPECT_EQ(output->stdout_text, "partial\n");
    EXPECT_EQ(output->stderr_text, "warn\n");
    EXPECT_FALSE(is_running(only_call().pid));
    EXPECT_FALSE(is_running(read_pid(grandchild_pid)));
}

TEST_F(ProcessRunnerTest, ProcessLeftHoldingStandardOutputDoesNotHoldTheRun) {
    const auto grandchild_pid = scratch_.path() / "grandchild.pid";
    const auto started = Clock::now();
    const auto output = run_fake(Answer().out("done\n").exit_code(5).grandchild(20000, grandchild_pid));
    EXPECT_LT(Clock::now() - started, kPrompt);
    ASSERT_TRUE(output.has_value()) << output.error().message();
    EXPECT_EQ(output->stdout_text, "done\n");
    EXPECT_EQ(output->exit_code, 5);
    EXPECT_FALSE(output->timed_out);
    // A child that exits by itself is not followed by a group termination, and the pipe it holds is
    // drained by a named thread rather than closed under it.
    const pid_t left_behind = read_pid(grandchild_pid);
    EXPECT_TRUE(is_running(left_behind));
    // The thread names itself once it runs.
    const auto named_by = Clock::now() + kPrompt;
    while (!has_thread_named("quillary-proces") && Clock::now() < named_by) std::this_thread::sleep_for(1ms);
    EXPECT_TRUE(has_thread_named("quillary-proces"));
    ::kill(left_behind, SIGKILL);
}

TEST_F(ProcessRunnerTest, ConcurrentChildrenDoNotInheritEachOthersDescriptors) {
    // A long-lived child runs while a short one starts; the short one must see none of the long
    // one's pipes, or its output would stay open until the long one ends.
    FakeSf long_fake;
    long_fake.write(Scenario().otherwise(Answer().out("long\n").sleep_ms(20000)));
    TestToken stop_long;
    std::optional<std::expected<ProcessOutput, ProcessError>> long_result;
    std::thread long_run([&] {
        long_result = runner_.run_with_env({testing::fake_sf::executable().string(), "long"}, std::nullopt,
                                           60s, stop_long, long_fake.environment());
    });
    // The record file may exist before the fake has finished writing it.
    std::vector<RecordedCall> long_calls;
    while ((long_calls = long_fake.calls()).empty()) std::this_thread::sleep_for(5ms);
    const RecordedCall long_call = long_calls.front();
    const auto long_proc = "/proc/" + std::to_string(long_call.pid) + "/fd/";
    const auto long_stdout = std::filesystem::read_symlink(long_proc + "1").string();
    const auto long_stderr = std::filesystem::read_symlink(long_proc + "2").string();

    const auto started = Clock::now();
    const auto short_output = run_fake(Answer().out("short\n"));
    const auto short_elapsed = Clock::now() - started;
    stop_long.cancel();
    long_run.join();

    ASSERT_TRUE(short_output.has_value()) << short_output.error().message();
    EXPECT_EQ(short_output->stdout_text, "short\n");
    EXPECT_LT(short_elapsed, kPrompt);
    // Descriptors the test process itself inherited may show up; none of the runner's may.
    const RecordedCall short_call = only_call();
    for (const auto& [fd, target] : short_call.fds) {
        if (fd <= 2) continue;
        EXPECT_NE(target, long_stdout) << "descriptor " << fd;
        EXPECT_NE(target, long_stderr) << "descriptor " << fd;
        EXPECT_NE(target, short_call.fds.at(1)) << "descriptor " << fd;
        EXPECT_NE(target, short_call.fds.at(2)) << "descriptor " << fd;
        EXPECT_THAT(target, ::testing::Not(HasSubstr("pidfd"))) << "descriptor " << fd;
    }
    ASSERT_TRUE(long_result.has_value());
    ASSERT_FALSE(long_result->has_value());
    EXPECT_TRUE(long_result->error().is_cancelled());
}

TEST_F(ProcessRunnerTest, ParallelRunsKeepTheirOwnOutputs) {
    std::vector<std::thread> threads;
    std::vector<std::optional<std::expected<ProcessOutput, ProcessError>>> results(4);
    fake_.write(Scenario().otherwise(Answer().out("${arg:--id}\n").out_repeat(3000)));
    for (std::size_t i = 0; i < results.size(); ++i) {
        threads.emplace_back([&, i] {
            results[i] = runner_.run_with_env(
                {testing::fake_sf::executable().string(), "--id", std::to_string(i)}, std::nullopt, 30s,
                never_, fake_.environment());
        });
    }
    for (auto& thread : threads) thread.join();
    for (std::size_t i = 0; i < results.size(); ++i) {
        ASSERT_TRUE(results[i].has_value() && results[i]->has_value());
        std::string expected;
        for (int n = 0; n < 3000; ++n) expected += std::to_string(i) + "\n";
        EXPECT_EQ((*results[i])->stdout_text, expected);
    }
}

}  // namespace
}  // namespace ambrel::process
