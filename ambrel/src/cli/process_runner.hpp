#pragma once

// The only place where the system starts child processes (`sf` and `git`). A run starts one program
// in a process group of its own, captures its standard output and standard error, and ends when the
// program exits, when the time-out elapses (the whole group is stopped and the output so far comes
// back with `timed_out` set) or when the token reports cancellation (the group is stopped and the run
// fails). The runner does not parse, log or retry.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "cli/cli_error.hpp"
#include "domain/cancellation.hpp"

namespace ambrel::cli {

// The result of a run that reached an end. Captured bytes are decoded as lossy UTF-8 (each invalid
// sequence becomes U+FFFD).
struct ProcessOutput {
    std::string stdout_text;
    std::string stderr_text;
    // The exit status (0 to 255) of a normal exit; -1 when the child was ended by a signal or the
    // final wait after a time-out failed.
    std::int32_t exit_code = 0;
    // True when the run was stopped because its time-out elapsed.
    bool timed_out = false;

    friend bool operator==(const ProcessOutput&, const ProcessOutput&) = default;
};

// One extra environment variable of a child: (name, value).
using EnvironmentPair = std::pair<std::string, std::string>;

// Variables every child gets on top of the inherited environment, before the caller's pairs (which
// win on a clash): no self-update, no version nag, and no colour in output that must parse.
inline constexpr std::pair<std::string_view, std::string_view> kFixedEnvironment[] = {
    {"SF_DISABLE_AUTOUPDATE", "1"},
    {"SF_SKIP_NEW_VERSION_CHECK", "true"},
    {"FORCE_COLOR", "0"},
};

// Runs one program to completion. Implementations are immutable and safe to use from several threads
// at once.
//
// `arguments` holds the program first, then its arguments (an argv vector: no shell; a program
// without '/' is looked up in PATH). An empty vector is a programming error. `working_directory`
// absent means the server's own. The time-out is measured from the start of the child. Standard
// input is the null device.
//
// Failures: `CliError::Cancelled` ("Salesforce CLI process was cancelled before start" when the token
// is already cancelled, nothing started; "Salesforce CLI process was cancelled" when it was cancelled
// while the child ran, the group stopped) and `CliError::Process` ("Could not start Salesforce CLI
// process: {}" with the system's text, or "Could not read Salesforce CLI process output").
class ProcessRunner {
public:
    virtual ~ProcessRunner() = default;

    virtual std::expected<ProcessOutput, CliError> run(
        const std::vector<std::string>& arguments,
        const std::optional<std::filesystem::path>& working_directory,
        std::chrono::milliseconds timeout, const domain::CancellationToken& token) const = 0;

    // As `run`, with extra environment variables set after the fixed ones, in their order.
    virtual std::expected<ProcessOutput, CliError> run_with_env(
        const std::vector<std::string>& arguments,
        const std::optional<std::filesystem::path>& working_directory,
        std::chrono::milliseconds timeout, const domain::CancellationToken& token,
        const std::vector<EnvironmentPair>& environment) const = 0;

protected:
    ProcessRunner() = default;
    ProcessRunner(const ProcessRunner&) = default;
    ProcessRunner& operator=(const ProcessRunner&) = default;
};

// The runner over posix_spawn. The child leads a new process group; a time-out or a cancellation
// sends SIGTERM to the group, waits up to 500 ms for it to vanish, then sends SIGKILL and waits up to
// 500 ms more. The calling thread reads both pipes while it waits and wakes as soon as the child
// exits. Once the child has ended it reads on for at most 500 ms (a process left behind may hold a
// pipe open) and returns what was read by then; a pipe still open is then drained and dropped by a
// thread named "quillary-process-stream", so that process keeps running.
class DefaultProcessRunner final : public ProcessRunner {
public:
    // Without a capture limit every byte is retained.
    DefaultProcessRunner() = default;
    // Retains at most `capture_limit` bytes of each stream (the child still runs to completion and
    // the rest of its output is read and dropped).
    explicit DefaultProcessRunner(std::optional<std::size_t> capture_limit)
        : capture_limit_(capture_limit) {}

    std::optional<std::size_t> capture_limit() const noexcept { return capture_limit_; }

    std::expected<ProcessOutput, CliError> run(
        const std::vector<std::string>& arguments,
        const std::optional<std::filesystem::path>& working_directory,
        std::chrono::milliseconds timeout, const domain::CancellationToken& token) const override;

    std::expected<ProcessOutput, CliError> run_with_env(
        const std::vector<std::string>& arguments,
        const std::optional<std::filesystem::path>& working_directory,
        std::chrono::milliseconds timeout, const domain::CancellationToken& token,
        const std::vector<EnvironmentPair>& environment) const override;

private:
    std::expected<ProcessOutput, CliError> run_inner(
        const std::vector<std::string>& arguments,
        const std::optional<std::filesystem::path>& working_directory,
        std::chrono::milliseconds timeout, const domain::CancellationToken& token,
        const std::vector<EnvironmentPair>& environment) const;

    std::optional<std::size_t> capture_limit_;
};

}  // namespace ambrel::cli
