#pragma once

// The only place where the system starts child processes (`sf` and `git`). A run starts one program
// in a process group of its own, captures its standard output and standard error, and ends when the
// program exits, when the time-out elapses (the whole group is stopped and the output so far comes
// back with `timed_out` set) or when the token reports cancellation (the group is stopped and the run
// fails). The runner does not parse, log or retry, and knows nothing of the programs it runs: the
// gateways add their own environment pairs and turn a `ProcessError` into their own sentences.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "domain/cancellation.hpp"

namespace ambrel::process {

class InteractiveChild;

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

// Why a run gave no output.
struct ProcessError {
    enum class Kind {
        // The token was cancelled before anything started.
        CancelledBeforeStart,
        // The token was cancelled while the child ran; its group was stopped.
        Cancelled,
        // The pipes could not be made or the program could not be started.
        StartFailed,
        // The child's state or output could not be read.
        ReadFailed,
    };
    Kind kind = Kind::StartFailed;
    // The operating system's error for StartFailed and ReadFailed.
    std::error_code error;

    bool is_cancelled() const noexcept { return kind == Kind::CancelledBeforeStart || kind == Kind::Cancelled; }
    // A plain description for diagnostics; gateways show their own sentences.
    std::string message() const;

    friend bool operator==(const ProcessError&, const ProcessError&) = default;
};

// Runs one program to completion. Implementations are immutable and safe to use from several threads
// at once.
//
// `arguments` holds the program first, then its arguments (an argv vector: no shell; a program
// without '/' is looked up in PATH). An empty vector is a programming error. `working_directory`
// absent means the server's own. The time-out is measured from the start of the child. Standard
// input is the null device. The child inherits the server's environment with the caller's pairs set
// on top, in their order (a later pair wins).
//
// Failures: a `ProcessError` of kind CancelledBeforeStart (the token was already cancelled, nothing
// started), Cancelled (cancelled while the child ran, the group stopped), StartFailed or ReadFailed.
class ProcessRunner {
public:
    virtual ~ProcessRunner() = default;

    virtual std::expected<ProcessOutput, ProcessError> run(
        const std::vector<std::string>& arguments,
        const std::optional<std::filesystem::path>& working_directory,
        std::chrono::milliseconds timeout, const domain::CancellationToken& token) const = 0;

    // As `run`, with extra environment variables set on top of the inherited ones, in their order.
    virtual std::expected<ProcessOutput, ProcessError> run_with_env(
        const std::vector<std::string>& arguments,
        const std::optional<std::filesystem::path>& working_directory,
        std::chrono::milliseconds timeout, const domain::CancellationToken& token,
        const std::vector<EnvironmentPair>& environment) const = 0;

    // Starts a long-lived child that answers requests on its standard input (see InteractiveChild).
    // A runner that cannot keep children fails with StartFailed (operation_not_supported).
    virtual std::expected<std::unique_ptr<InteractiveChild>, ProcessError> start_interactive(
        const std::vector<std::string>& arguments) const;

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

    std::expected<ProcessOutput, ProcessError> run(
        const std::vector<std::string>& arguments,
        const std::optional<std::filesystem::path>& working_directory,
        std::chrono::milliseconds timeout, const domain::CancellationToken& token) const override;

    std::expected<ProcessOutput, ProcessError> run_with_env(
        const std::vector<std::string>& arguments,
        const std::optional<std::filesystem::path>& working_directory,
        std::chrono::milliseconds timeout, const domain::CancellationToken& token,
        const std::vector<EnvironmentPair>& environment) const override;

    std::expected<std::unique_ptr<InteractiveChild>, ProcessError> start_interactive(
        const std::vector<std::string>& arguments) const override;

private:
    std::expected<ProcessOutput, ProcessError> run_inner(
        const std::vector<std::string>& arguments,
        const std::optional<std::filesystem::path>& working_directory,
        std::chrono::milliseconds timeout, const domain::CancellationToken& token,
        const std::vector<EnvironmentPair>& environment) const;

    std::optional<std::size_t> capture_limit_;
};

}  // namespace ambrel::process
