#pragma once

// In-process doubles for the gateway's collaborators: a process runner that answers from a script and
// records what it was asked, a log writer that keeps its lines, and a token that a test can set.

#include <atomic>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <boost/json.hpp>

#include "cli/process_runner.hpp"
#include "domain/cancellation.hpp"
#include "logging/log_sink.hpp"

namespace ambrel::cli::testing {

struct RunnerCall {
    std::vector<std::string> arguments;
    std::optional<std::filesystem::path> working_directory;
    std::chrono::milliseconds timeout{0};
    std::vector<EnvironmentPair> environment;
};

// Answers each run with the next scripted outcome (the last one repeats); an optional hook runs
// before the answer is returned (to cancel a token "while the child runs").
class ScriptedRunner final : public ProcessRunner {
public:
    using Outcome = std::expected<ProcessOutput, CliError>;

    struct State {
        std::mutex mutex;
        std::deque<Outcome> outcomes;
        std::vector<RunnerCall> calls;
        std::function<void()> during_run;
    };

    explicit ScriptedRunner(std::shared_ptr<State> state) : state_(std::move(state)) {}

    static ProcessOutput output(std::string stdout_text, std::int32_t exit_code = 0, std::string stderr_text = {},
                                bool timed_out = false) {
        return ProcessOutput{std::move(stdout_text), std::move(stderr_text), exit_code, timed_out};
    }

    std::expected<ProcessOutput, CliError> run(const std::vector<std::string>& arguments,
                                               const std::optional<std::filesystem::path>& working_directory,
                                               std::chrono::milliseconds timeout,
                                               const domain::CancellationToken& token) const override {
        return run_with_env(arguments, working_directory, timeout, token, {});
    }

    std::expected<ProcessOutput, CliError> run_with_env(const std::vector<std::string>& arguments,
                                                        const std::optional<std::filesystem::path>& working_directory,
                                                        std::chrono::milliseconds timeout,
                                                        const domain::CancellationToken&,
                                                        const std::vector<EnvironmentPair>& environment) const override {
        std::function<void()> hook;
        Outcome outcome = std::unexpected(CliError::cancelled("no scripted outcome"));
        {
            std::lock_guard lock(state_->mutex);
            state_->calls.push_back(RunnerCall{arguments, working_directory, timeout, environment});
            if (!state_->outcomes.empty()) {
                outcome = state_->outcomes.front();
                if (state_->outcomes.size() > 1) state_->outcomes.pop_front();
            }
            hook = state_->during_run;
        }
        if (hook) hook();
        return outcome;
    }

private:
    std::shared_ptr<State> state_;
};

// Keeps every line; `lines()` parses them.
class CapturingWriter final : public logging::LogWriter {
public:
    void write_line(std::string_view line) override {
        std::lock_guard lock(mutex_);
        lines_.emplace_back(line);
    }
    std::optional<std::filesystem::path> path() const override { return std::nullopt; }

    std::vector<std::string> raw_lines() const {
        std::lock_guard lock(mutex_);
        return lines_;
    }
    std::vector<boost::json::object> lines() const {
        std::vector<boost::json::object> out;
        for (const auto& line : raw_lines()) out.push_back(boost::json::parse(line).as_object());
        return out;
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
};

class SettableToken final : public domain::CancellationToken {
public:
    bool is_cancelled() const override { return cancelled_.load(); }
    void cancel() { cancelled_.store(true); }

private:
    std::atomic<bool> cancelled_{false};
};

}  // namespace ambrel::cli::testing
