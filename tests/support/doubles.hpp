#pragma once

// The shared test doubles: one cancellation token, one capturing log writer and one scripted process
// runner. Every test folder uses these instead of writing its own.

#include <atomic>
#include <chrono>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "domain/cancellation.hpp"
#include "json/json.hpp"
#include "logging/log_writer.hpp"
#include "process/process_runner.hpp"

namespace ambrel::testing {

// A token that the test cancels by hand, or that is cancelled as soon as a condition holds (for
// example once a child has started). It counts how often it was asked.
class TestToken final : public domain::CancellationToken {
public:
    TestToken() = default;
    explicit TestToken(std::function<bool()> condition) : condition_(std::move(condition)) {}

    bool is_cancelled() const override {
        polls_.fetch_add(1);
        return cancelled_.load() || (condition_ && condition_());
    }
    void cancel() { cancelled_.store(true); }
    void set(bool cancelled) { cancelled_.store(cancelled); }
    int polls() const { return polls_.load(); }

private:
    std::atomic<bool> cancelled_{false};
    mutable std::atomic<int> polls_{0};
    std::function<bool()> condition_;
};

// Keeps every line written to it; safe to write from several threads.
class CapturingLogWriter final : public logging::LogWriter {
public:
    explicit CapturingLogWriter(std::optional<std::filesystem::path> path = std::nullopt) : path_(std::move(path)) {}

    void write_line(std::string_view line) override {
        std::lock_guard lock(mutex_);
        lines_.emplace_back(line);
    }
    std::optional<std::filesystem::path> path() const override { return path_; }

    std::vector<std::string> raw_lines() const {
        std::lock_guard lock(mutex_);
        return lines_;
    }
    std::size_t count() const {
        std::lock_guard lock(mutex_);
        return lines_.size();
    }
    // Every line parsed as one JSON object; a line that is not one fails the test.
    std::vector<json::Object> lines() const {
        std::vector<json::Object> result;
        for (const std::string& line : raw_lines()) {
            EXPECT_EQ(line.find('\n'), std::string::npos);
            auto parsed = json::parse(line);
            EXPECT_TRUE(parsed && parsed->is_object()) << line;
            if (parsed && parsed->is_object()) result.push_back(parsed->as_object());
        }
        return result;
    }

private:
    std::optional<std::filesystem::path> path_;
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
};

// One call a scripted runner received.
struct RunnerCall {
    std::vector<std::string> arguments;
    std::optional<std::filesystem::path> working_directory;
    std::chrono::milliseconds timeout{0};
    std::vector<process::EnvironmentPair> environment;
};

// Answers each run with the next scripted outcome (the last one repeats) and records what it was
// asked; an optional hook runs before the answer is returned (to cancel a token "while the child
// runs"). The state is shared so that the test keeps it after the runner moved into a gateway.
class ScriptedRunner final : public process::ProcessRunner {
public:
    using Outcome = std::expected<process::ProcessOutput, process::ProcessError>;

    struct State {
        std::mutex mutex;
        std::deque<Outcome> outcomes;
        std::vector<RunnerCall> calls;
        std::function<void()> during_run;
    };

    explicit ScriptedRunner(std::shared_ptr<State> state) : state_(std::move(state)) {}

    static process::ProcessOutput output(std::string stdout_text, std::int32_t exit_code = 0,
                                         std::string stderr_text = {}, bool timed_out = false) {
        return process::ProcessOutput{std::move(stdout_text), std::move(stderr_text), exit_code, timed_out};
    }

    Outcome run(const std::vector<std::string>& arguments,
                const std::optional<std::filesystem::path>& working_directory, std::chrono::milliseconds timeout,
                const domain::CancellationToken& token) const override {
        return run_with_env(arguments, working_directory, timeout, token, {});
    }

    Outcome run_with_env(const std::vector<std::string>& arguments,
                         const std::optional<std::filesystem::path>& working_directory,
                         std::chrono::milliseconds timeout, const domain::CancellationToken&,
                         const std::vector<process::EnvironmentPair>& environment) const override {
        std::function<void()> hook;
        Outcome outcome = std::unexpected(process::ProcessError{process::ProcessError::Kind::Cancelled, {}});
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

}  // namespace ambrel::testing
