#pragma once

// A long-lived child that answers requests on its standard input (such as `git cat-file --batch`).
// It is started like every child of the runner (same environment rules, its own process group,
// close-on-exec descriptors) and stopped with its whole group when the object goes away. Its standard
// input is one end of a socket pair written with MSG_NOSIGNAL, so a child that died never raises
// SIGPIPE in the server: the write fails with EPIPE instead. Standard output and standard error are
// read under poll on the caller's thread; standard error is counted and dropped.
//
// Every read and write takes a deadline; when it passes, the group is stopped and the call fails with
// `TimedOut`. After any failure the child is unusable (its output stream may be mid-answer) and every
// later call fails with `Ended`.
//
// Failures: `InteractiveError` of kind TimedOut (the deadline passed; the group was stopped), Ended
// (the child closed its output or exited, or an earlier failure ended it) or Io (a read or write
// failed; the error code tells which). Not thread-safe: callers serialise requests themselves.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "process/process_runner.hpp"

namespace ambrel::process {

struct InteractiveError {
    enum class Kind { TimedOut, Ended, Io };
    Kind kind = Kind::Ended;
    std::error_code error;

    friend bool operator==(const InteractiveError&, const InteractiveError&) = default;
};

// How a child ended, for the caller's log.
struct InteractiveEnd {
    // Absent when the child had to be stopped or could not be collected.
    std::optional<std::int32_t> exit_code;
    std::uint64_t stdout_bytes = 0;
    std::uint64_t stderr_bytes = 0;
    bool timed_out = false;
};

class ChildProcess;

class InteractiveChild {
public:
    using Clock = std::chrono::steady_clock;

    // Starts the program with the inherited environment plus the pairs. StartFailed when the socket
    // pair, the pipes or the spawn fail.
    static std::expected<std::unique_ptr<InteractiveChild>, ProcessError> start(
        const std::vector<std::string>& arguments, const std::vector<EnvironmentPair>& environment);

    InteractiveChild(const InteractiveChild&) = delete;
    InteractiveChild& operator=(const InteractiveChild&) = delete;
    // Closes standard input, gives the child a moment to exit by itself, then stops the group.
    ~InteractiveChild();

    // Writes all bytes to the child's standard input.
    std::expected<void, InteractiveError> send(std::string_view bytes, Clock::time_point deadline);
    // The next line of standard output, without its line feed.
    std::expected<std::string, InteractiveError> read_line(Clock::time_point deadline);
    // The next `count` bytes of standard output.
    std::expected<std::string, InteractiveError> read_exact(std::size_t count, Clock::time_point deadline);

    // Ends the child (standard input closed, up to `grace` for it to exit, then the group stopped)
    // and reports how it ended. Later calls report the same end.
    InteractiveEnd finish(std::chrono::milliseconds grace);

private:
    struct Impl;
    explicit InteractiveChild(std::unique_ptr<Impl> impl);

    std::unique_ptr<Impl> impl_;
};

}  // namespace ambrel::process
