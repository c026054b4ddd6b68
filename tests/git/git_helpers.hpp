#pragma once

// Helpers of the git tests: a runner decorator that fails chosen git commands and a log that counts
// "cli" lines by command.

#include <algorithm>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "git/gateway.hpp"
#include "logging/log_sink.hpp"
#include "process/interactive_child.hpp"
#include "support/doubles.hpp"
#include "support/git_repo.hpp"
#include "support/test_paths.hpp"

namespace ambrel::git::test {

// How a chosen command fails.
enum class Failure { Exit128, SilentExit1, Xcrun, TimedOut, StartFailed };

// Runs everything through the real runner, except commands whose git sub-command (the word after
// "--literal-pathspecs" and the "-c" settings) is the chosen one: those get the chosen failure without running.
class FailingRunner final : public process::ProcessRunner {
public:
    struct Rule {
        std::string command;
        Failure failure;
        // Fail only the n-th matching command (0: every one).
        int occurrence = 0;
    };

    explicit FailingRunner(std::vector<Rule> rules) : rules_(std::move(rules)) {}

    std::expected<process::ProcessOutput, process::ProcessError> run(
        const std::vector<std::string>& arguments, const std::optional<std::filesystem::path>& working_directory,
        std::chrono::milliseconds timeout, const domain::CancellationToken& token) const override {
        return run_with_env(arguments, working_directory, timeout, token, {});
    }

    std::expected<process::ProcessOutput, process::ProcessError> run_with_env(
        const std::vector<std::string>& arguments, const std::optional<std::filesystem::path>& working_directory,
        std::chrono::milliseconds timeout, const domain::CancellationToken& token,
        const std::vector<process::EnvironmentPair>& environment) const override {
        if (auto failure = chosen(arguments)) {
            switch (*failure) {
                case Failure::Exit128:
                    return process::ProcessOutput{"", "fatal: chosen failure\n", 128, false};
                case Failure::SilentExit1:
                    return process::ProcessOutput{"", "", 1, false};
                case Failure::Xcrun:
                    return process::ProcessOutput{"", "xcrun: error: invalid active developer path\n", 1, false};
                case Failure::TimedOut:
                    return process::ProcessOutput{"partial", "", -1, true};
                case Failure::StartFailed:
                    return std::unexpected(process::ProcessError{process::ProcessError::Kind::StartFailed,
                                                                 std::make_error_code(std::errc::no_such_file_or_directory)});
            }
        }
        return real_.run_with_env(arguments, working_directory, timeout, token, environment);
    }

    std::expected<std::unique_ptr<process::InteractiveChild>, process::ProcessError> start_interactive(
        const std::vector<std::string>& arguments) const override {
        if (auto failure = chosen(arguments); failure == Failure::StartFailed) {
            return std::unexpected(process::ProcessError{process::ProcessError::Kind::StartFailed, {}});
        }
        return real_.start_interactive(arguments);
    }

    std::vector<std::vector<std::string>> calls() const {
        std::lock_guard lock(mutex_);
        return calls_;
    }

private:
    std::optional<Failure> chosen(const std::vector<std::string>& arguments) const {
        std::lock_guard lock(mutex_);
        calls_.push_back(arguments);
        auto word = std::find(arguments.begin(), arguments.end(), "--literal-pathspecs");
        if (word != arguments.end()) ++word;
        // Configuration given on the command line ("-c key=value") comes before the sub-command.
        while (word != arguments.end() && *word == "-c" && word + 1 != arguments.end()) word += 2;
        const std::string command = word != arguments.end() ? *word
                                    : arguments.size() > 1  ? arguments[1]
                                                            : std::string();
        for (const Rule& rule : rules_) {
            if (rule.command != command) continue;
            const int seen = ++seen_[command];
            if (rule.occurrence == 0 || rule.occurrence == seen) return rule.failure;
        }
        return std::nullopt;
    }

    process::DefaultProcessRunner real_;
    std::vector<Rule> rules_;
    mutable std::mutex mutex_;
    mutable std::map<std::string, int> seen_;
    mutable std::vector<std::vector<std::string>> calls_;
};

// A gateway over a runner with a capturing log at level Detailed.
struct LoggedGateway {
    std::shared_ptr<testing::CapturingLogWriter> writer = std::make_shared<testing::CapturingLogWriter>();
    std::shared_ptr<logging::LogSink> sink = logging::LogSink::create(writer, logging::LogLevel::Detailed);
    GitGateway gateway;

    explicit LoggedGateway(std::unique_ptr<process::ProcessRunner> runner,
                           std::chrono::milliseconds timeout = kGitCommandTimeout)
        : gateway(GitGateway(std::move(runner), std::string(kGitProgram), timeout).with_log(sink)) {}
    LoggedGateway() : LoggedGateway(std::make_unique<process::DefaultProcessRunner>()) {}

    // The "cli" lines' commands, in order.
    std::vector<std::string> commands() const {
        std::vector<std::string> out;
        for (const auto& line : writer->lines()) {
            const auto* event = line.if_contains("event");
            if (event == nullptr || !event->is_string() || event->as_string() != "cli") continue;
            const auto* command = line.if_contains("command");
            out.push_back(command != nullptr && command->is_string() ? std::string(command->as_string()) : "?");
        }
        return out;
    }
    std::size_t count(std::string_view command) const {
        const auto all = commands();
        return static_cast<std::size_t>(std::count(all.begin(), all.end(), command));
    }
};

#define AMBREL_REQUIRE_GIT()                                                  \
    do {                                                                      \
        if (!::ambrel::testing::isolate_git_environment()) {                  \
            AMBREL_SKIP_UNLESS_CI("git is not installed");                    \
        }                                                                     \
    } while (false)

}  // namespace ambrel::git::test
