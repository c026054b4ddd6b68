#pragma once

// The only place that starts `git`. Every repository command runs as "git -C <repository>
// --literal-pathspecs -c core.fsmonitor=false <args...>" with no working directory, no environment of
// its own, a fixed time-out (60 seconds; the "git version" probe 5 seconds) and the token the gateway
// is bound to (`with_token`; none by default). The repository's own fsmonitor command never runs:
// comparing a repository received from someone else must not execute what it names. A command
// that runs to its end comes back as a `GitCommandOutput` whatever its exit code: the caller decides
// what a non-zero code means. Only a process failure is an error of the gateway:
//   StartFailed "Could not start the git process."  (git missing, not startable, output unreadable)
//   TimedOut    "The git command timed out."        (the whole process group was stopped)
//   Cancelled   "The git command was cancelled."    (a runner that reports a cancellation)
// Each run is one "cli" line of the session log; at level "detailed" the line carries the caller's
// arguments with credentials and the repository path scrubbed.
//
// The gateway also starts the long-lived `git ... cat-file --batch` child of a content reader
// (`start_object_reader`), whose answers have the same 60-second bound, which refuses a request once
// the token is cancelled and whose end is logged as one "cli" line "git cat-file".
//
// Immutable after construction; several threads may run commands through one gateway at once. A
// gateway bound to a token borrows it: it must not outlive the token.

#include <chrono>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "domain/cancellation.hpp"
#include "logging/log_sink.hpp"
#include "process/process_runner.hpp"

namespace ambrel::process {
class InteractiveChild;
}

namespace ambrel::git {

inline constexpr std::string_view kGitProgram = "git";
inline constexpr std::chrono::milliseconds kGitCommandTimeout{60'000};
inline constexpr std::chrono::milliseconds kGitProbeTimeout{5'000};
inline constexpr std::string_view kStartFailedMessage = "Could not start the git process.";
inline constexpr std::string_view kTimedOutMessage = "The git command timed out.";
inline constexpr std::string_view kCancelledMessage = "The git command was cancelled.";

struct GitCommandOutput {
    std::string stdout_text;
    std::string stderr_text;
    // -1 when git was ended by a signal.
    std::int32_t exit_code = 0;

    // The cleaned message detail of a failed run (see git::sanitize::diagnostic).
    std::string diagnostic_for(std::span<const std::filesystem::path> repository_paths) const;

    friend bool operator==(const GitCommandOutput&, const GitCommandOutput&) = default;
};

struct GitGatewayError {
    enum class Kind : std::uint8_t { StartFailed, TimedOut, Cancelled };
    Kind kind = Kind::StartFailed;

    std::string_view message() const noexcept;
    friend bool operator==(const GitGatewayError&, const GitGatewayError&) = default;
};

// The objects of a repository read through one long-lived "cat-file --batch" child.
class ObjectReader;

class GitGateway {
public:
    // A gateway over the runner that logs nothing. The program and the time-outs may be changed for
    // tests; the defaults are "git", 60 seconds and 5 seconds.
    explicit GitGateway(std::unique_ptr<process::ProcessRunner> runner, std::string program = std::string(kGitProgram),
                        std::chrono::milliseconds timeout = kGitCommandTimeout,
                        std::chrono::milliseconds probe_timeout = kGitProbeTimeout);

    // Replaces the log sink.
    GitGateway with_log(std::shared_ptr<logging::LogSink> log) &&;

    // A gateway over the same runner and log whose commands stop (their process group with them) once
    // the token is cancelled. Borrows the token.
    GitGateway with_token(const domain::CancellationToken& token) const;
    // A gateway over the same runner and log bound to no token: for the clean-up after a cancelled
    // operation, which must run to its end.
    GitGateway without_token() const;

    std::expected<GitCommandOutput, GitGatewayError> execute(const std::filesystem::path& repository,
                                                             const std::vector<std::string>& args) const;

    // True when "git version" exits with 0 within its time-out.
    bool is_usable() const;

    // Starts a "cat-file --batch" child in the repository.
    std::expected<std::unique_ptr<ObjectReader>, GitGatewayError> start_object_reader(
        const std::filesystem::path& repository) const;

    const std::string& program() const noexcept { return program_; }
    // The token the gateway is bound to; null when none.
    const domain::CancellationToken* bound_token() const noexcept { return token_; }
    std::chrono::milliseconds timeout() const noexcept { return timeout_; }

private:
    friend class ObjectReader;
    void log_run(const std::vector<std::string>& args, const std::filesystem::path* repository,
                 std::chrono::nanoseconds duration, std::optional<std::int32_t> exit_code, std::uint64_t stdout_bytes,
                 std::uint64_t stderr_bytes, bool timed_out, std::optional<std::string> error) const;

    const domain::CancellationToken& token() const noexcept;

    std::shared_ptr<const process::ProcessRunner> runner_;
    std::string program_;
    std::chrono::milliseconds timeout_;
    std::chrono::milliseconds probe_timeout_;
    std::shared_ptr<logging::LogSink> log_;
    // Null: commands run to their end or their time-out.
    const domain::CancellationToken* token_ = nullptr;
};

// One answer of the object reader.
struct GitObject {
    enum class Kind : std::uint8_t { Blob, Missing, Other };
    Kind kind = Kind::Missing;
    // The object's bytes for a blob.
    std::string bytes;
};

// Not thread-safe: the content reader serialises its requests.
class ObjectReader {
public:
    ObjectReader(const GitGateway& gateway, std::filesystem::path repository,
                 std::unique_ptr<process::InteractiveChild> child);
    ObjectReader(const ObjectReader&) = delete;
    ObjectReader& operator=(const ObjectReader&) = delete;
    // Ends the child and writes its log line.
    ~ObjectReader();

    // The object named by `name` (an object id or "<rev>:<path>"; a name holding a line feed or a
    // carriage return is Missing without asking). TimedOut when git did not answer within the time-out; StartFailed
    // when the child ended or its output could not be read.
    std::expected<GitObject, GitGatewayError> read(std::string_view name);
    // The objects named, in order, with the requests pipelined (written a window at a time, then the
    // window's answers read). A name that cannot be asked for is Missing. The first failure ends the
    // call (and the reader, as for `read`).
    std::expected<std::vector<GitObject>, GitGatewayError> read_all(std::span<const std::string_view> names);

private:
    const GitGateway& gateway_;
    std::filesystem::path repository_;
    std::unique_ptr<process::InteractiveChild> child_;
    std::chrono::steady_clock::time_point started_;
    std::optional<GitGatewayError> failure_;
};

namespace gateway {

// The words the log shows: the program and the leading arguments up to the first one starting with
// "-".
std::string log_command(std::string_view program, std::span<const std::string> args);

GitGatewayError map_runner_error(const process::ProcessError& error);

}  // namespace gateway

}  // namespace ambrel::git
