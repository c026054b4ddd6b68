#include "process/process_runner.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <system_error>
#include <thread>
#include <unordered_map>

#include "platform_fs/files.hpp"
#include "process/child_process.hpp"
#include "process/interactive_child.hpp"
#include "support/programming_error.hpp"
#include "support/thread.hpp"
#include "text/text.hpp"

namespace ambrel::process {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// How often a waiting run looks at the cancellation token.
constexpr milliseconds kCancellationPollInterval{50};
// How long a run goes on reading the pipes once the child has ended (a process the child left
// running may hold them open).
constexpr milliseconds kCaptureDeadline{500};
constexpr std::size_t kReadChunk = 65536;
// The thread that drains pipes a run let go of while they were still open.
constexpr std::string_view kStreamThreadName = "quillary-process-stream";

using platform_fs::files::UniqueFd;

// The caller's end of both pipes. The calling thread reads them while it waits for the child (poll
// on the pipes and the child's process descriptor), so a short child costs no thread start and no
// sleep.
class Captures final : public OutputPump {
public:
    Captures(UniqueFd out, UniqueFd err, std::optional<std::size_t> limit)
        : limit_(limit), chunk_(kReadChunk) {
        streams_[0].fd = std::move(out);
        streams_[1].fd = std::move(err);
    }
    Captures(const Captures&) = delete;
    Captures& operator=(const Captures&) = delete;
    // Pipes still open when the run lets go of them go to a drain thread.
    ~Captures() { hand_off(); }

    bool all_closed() const noexcept override { return !streams_[0].fd && !streams_[1].fd; }

    // Waits at most `limit` for data or end of stream on a pipe, or for `wake_fd` (the child's
    // process descriptor; -1 for none) to become readable, and reads what is ready.
    void wait(int wake_fd, milliseconds limit) override {
        pollfd entries[3];
        Stream* owners[3] = {nullptr, nullptr, nullptr};
        nfds_t count = 0;
        if (wake_fd >= 0) entries[count++] = pollfd{wake_fd, POLLIN, 0};
        for (Stream& stream : streams_) {
            if (!stream.fd) continue;
            owners[count] = &stream;
            entries[count++] = pollfd{stream.fd.get(), POLLIN, 0};
        }
        const int timeout = static_cast<int>(std::max(limit, milliseconds::zero()).count());
        if (::poll(entries, count, timeout) <= 0) return;
        for (nfds_t i = 0; i < count; ++i) {
            if (owners[i] != nullptr && entries[i].revents != 0) read_once(*owners[i]);
        }
    }

    // The text of one stream (0: standard output, 1: standard error), or the read error when one was
    // stored and the run is not abandoning the output. A stream still open was cut at the deadline:
    // what was read is the result and no error is reported.
    std::expected<std::string, ProcessError> take(std::size_t index, bool abandoning) {
        Stream& stream = streams_[index];
        if (!stream.fd && !abandoning && stream.failure) {
            return std::unexpected(ProcessError{ProcessError::Kind::ReadFailed, *stream.failure});
        }
        return text::decode_lossy(stream.buffer);
    }

private:
    struct Stream {
        UniqueFd fd;
        std::string buffer;
        std::optional<std::error_code> failure;
    };

    void read_once(Stream& stream) {
        const ssize_t count = ::read(stream.fd.get(), chunk_.data(), chunk_.size());
        if (count < 0) {
            if (errno == EINTR || errno == EAGAIN) return;
            stream.failure = last_os_error();
            stream.fd.reset();
            return;
        }
        if (count == 0) {
            stream.fd.reset();
            return;
        }
        std::size_t size = static_cast<std::size_t>(count);
        if (limit_) {
            // Past the limit the bytes are read and dropped, so the child never stalls on a full pipe.
            if (stream.buffer.size() >= *limit_) return;
            size = std::min(size, *limit_ - stream.buffer.size());
        }
        stream.buffer.append(chunk_.data(), size);
    }

    // A process the child left running may hold a pipe open for a long time. Closing our end would
    // kill it with SIGPIPE on its next write, so a thread reads and drops until end of stream.
    void hand_off() {
        std::vector<UniqueFd> open;
        for (Stream& stream : streams_) {
            if (stream.fd) open.push_back(std::move(stream.fd));
        }
        if (open.empty()) return;
        auto thread = support::start_named_thread(kStreamThreadName, [fds = std::move(open)]() mutable {
            drain_until_closed(fds);
        });
        // Without a thread the pipes are closed here, which is all that is left to do.
        if (thread) thread->detach();
    }

    static void drain_until_closed(std::vector<UniqueFd>& fds) {
        char chunk[kReadChunk];
        for (;;) {
            pollfd entries[2];
            nfds_t count = 0;
            for (const UniqueFd& fd : fds) {
                if (fd) entries[count++] = pollfd{fd.get(), POLLIN, 0};
            }
            if (count == 0) return;
            if (::poll(entries, count, -1) < 0) {
                if (errno == EINTR) continue;
                return;
            }
            for (nfds_t i = 0; i < count; ++i) {
                if (entries[i].revents == 0) continue;
                const ssize_t read = ::read(entries[i].fd, chunk, sizeof chunk);
                if (read > 0 || (read < 0 && errno == EINTR)) continue;
                for (UniqueFd& fd : fds) {
                    if (fd.get() == entries[i].fd) fd.reset();
                }
            }
        }
    }

    Stream streams_[2];
    std::optional<std::size_t> limit_;
    std::vector<char> chunk_;
};

// Once the child has ended: reads both pipes to their end, at most 500 ms (shared by both), then
// standard output's text or error first, then standard error's.
std::expected<ProcessOutput, ProcessError> collect(Captures& captures, std::int32_t exit_code,
                                               bool timed_out, bool abandoning) {
    const Clock::time_point deadline = Clock::now() + kCaptureDeadline;
    while (!captures.all_closed()) {
        const auto left = std::chrono::ceil<milliseconds>(deadline - Clock::now());
        if (left <= milliseconds::zero()) break;
        captures.wait(-1, left);
    }
    auto stdout_text = captures.take(0, abandoning);
    if (!stdout_text) return std::unexpected(std::move(stdout_text.error()));
    auto stderr_text = captures.take(1, abandoning);
    if (!stderr_text) return std::unexpected(std::move(stderr_text.error()));
    return ProcessOutput{std::move(*stdout_text), std::move(*stderr_text), exit_code, timed_out};
}

}  // namespace

std::string ProcessError::message() const {
    switch (kind) {
        case Kind::CancelledBeforeStart:
            return "the process was cancelled before start";
        case Kind::Cancelled:
            return "the process was cancelled";
        case Kind::StartFailed:
            return "could not start the process: " + error.message();
        case Kind::ReadFailed:
            return "could not read the process output: " + error.message();
    }
    return "could not start the process";
}

std::expected<std::unique_ptr<InteractiveChild>, ProcessError> ProcessRunner::start_interactive(
    const std::vector<std::string>&) const {
    return std::unexpected(ProcessError{ProcessError::Kind::StartFailed,
                                        std::make_error_code(std::errc::operation_not_supported)});
}

std::expected<std::unique_ptr<InteractiveChild>, ProcessError> DefaultProcessRunner::start_interactive(
    const std::vector<std::string>& arguments) const {
    return InteractiveChild::start(arguments, {});
}

std::expected<ProcessOutput, ProcessError> DefaultProcessRunner::run(
    const std::vector<std::string>& arguments,
    const std::optional<std::filesystem::path>& working_directory, std::chrono::milliseconds timeout,
    const domain::CancellationToken& token) const {
    return run_inner(arguments, working_directory, timeout, token, {});
}

std::expected<ProcessOutput, ProcessError> DefaultProcessRunner::run_with_env(
    const std::vector<std::string>& arguments,
    const std::optional<std::filesystem::path>& working_directory, std::chrono::milliseconds timeout,
    const domain::CancellationToken& token, const std::vector<EnvironmentPair>& environment) const {
    return run_inner(arguments, working_directory, timeout, token, environment);
}

std::expected<ProcessOutput, ProcessError> DefaultProcessRunner::run_inner(
    const std::vector<std::string>& arguments,
    const std::optional<std::filesystem::path>& working_directory, std::chrono::milliseconds timeout,
    const domain::CancellationToken& token, const std::vector<EnvironmentPair>& environment) const {
    check_spawn_inputs(arguments, environment);
    if (token.is_cancelled()) return std::unexpected(ProcessError{ProcessError::Kind::CancelledBeforeStart, {}});

    auto out_pipe = make_pipe();
    if (!out_pipe) return std::unexpected(ProcessError{ProcessError::Kind::StartFailed, out_pipe.error()});
    auto err_pipe = make_pipe();
    if (!err_pipe) return std::unexpected(ProcessError{ProcessError::Kind::StartFailed, err_pipe.error()});

    auto pid = spawn_child(arguments, working_directory, environment,
                           ChildStreams{-1, out_pipe->write_end.get(), err_pipe->write_end.get()});
    // The child holds its own copies now; ours must go, or the pipes never reach end of stream.
    out_pipe->write_end.reset();
    err_pipe->write_end.reset();
    if (!pid) return std::unexpected(ProcessError{ProcessError::Kind::StartFailed, pid.error()});
    // Declared after the child: on every way out the pipes still open are handed to a drain thread
    // first, then a child that is still running is stopped.
    ChildProcess child(*pid);
    Captures captures(std::move(out_pipe->read_end), std::move(err_pipe->read_end), capture_limit_);

    const Clock::time_point start = Clock::now();
    for (;;) {
        if (token.is_cancelled()) {
            child.terminate_tree(&captures);
            (void)child.wait_blocking();
            (void)collect(captures, -1, false, true);
            return std::unexpected(ProcessError{ProcessError::Kind::Cancelled, {}});
        }
        auto exited = child.try_wait();
        if (!exited) {
            child.terminate_tree(&captures);
            (void)child.wait_blocking();
            return std::unexpected(ProcessError{ProcessError::Kind::ReadFailed, exited.error()});
        }
        if (*exited) return collect(captures, exit_code_of(*child.status()), false, false);
        const auto elapsed = Clock::now() - start;
        if (elapsed >= timeout) {
            child.terminate_tree(&captures);
            const std::optional<int> status = child.wait_blocking();
            return collect(captures, status ? exit_code_of(*status) : -1, true, true);
        }
        const auto left = std::chrono::ceil<milliseconds>(timeout - elapsed);
        child.wait_for_exit(&captures, std::min(left, kCancellationPollInterval));
    }
}

}  // namespace ambrel::process
