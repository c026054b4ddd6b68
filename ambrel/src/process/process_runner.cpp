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
#include "support/programming_error.hpp"
#include "support/thread.hpp"
#include "text/text.hpp"

extern char** environ;

namespace ambrel::process {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// How often a waiting run looks at the cancellation token.
constexpr milliseconds kCancellationPollInterval{50};
// How long a run goes on reading the pipes once the child has ended (a process the child left
// running may hold them open).
constexpr milliseconds kCaptureDeadline{500};
// How long each signal of a group termination is given before the next step.
constexpr milliseconds kTerminationWait{500};
// How often a terminating run probes whether anything of the group is left.
constexpr milliseconds kGroupProbeInterval{10};
constexpr std::size_t kReadChunk = 65536;
// The thread that drains pipes a run let go of while they were still open.
constexpr std::string_view kStreamThreadName = "quillary-process-stream";

std::error_code last_error() { return {errno, std::system_category()}; }

using platform_fs::files::UniqueFd;

struct Pipe {
    UniqueFd read_end;
    UniqueFd write_end;
};

std::expected<Pipe, std::error_code> make_pipe() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return std::unexpected(last_error());
    return Pipe{UniqueFd(fds[0]), UniqueFd(fds[1])};
}

// The caller's end of both pipes. The calling thread reads them while it waits for the child (poll
// on the pipes and the child's process descriptor), so a short child costs no thread start and no
// sleep.
class Captures {
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

    bool all_closed() const noexcept { return !streams_[0].fd && !streams_[1].fd; }

    // Waits at most `limit` for data or end of stream on a pipe, or for `wake_fd` (the child's
    // process descriptor; -1 for none) to become readable, and reads what is ready.
    void wait(int wake_fd, milliseconds limit) {
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
            stream.failure = last_error();
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

int exit_code_of(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : -1; }

UniqueFd open_pidfd(pid_t pid) {
#ifdef SYS_pidfd_open
    // pidfd_open always makes the descriptor close-on-exec.
    const long fd = ::syscall(SYS_pidfd_open, pid, 0);
    if (fd >= 0) return UniqueFd(static_cast<int>(fd));
#else
    (void)pid;
#endif
    return UniqueFd();
}

// True unless /proc shows that every process left in the group is a zombie. An orphaned zombie is
// collected by the init process, which in some containers never happens; it no longer runs, so it
// must not hold up a termination. Without a readable /proc the answer stays "still running".
bool group_has_running_member(pid_t group) {
    DIR* proc = ::opendir("/proc");
    if (proc == nullptr) return true;
    bool running = false;
    char path[300];
    char stat[512];
    while (!running) {
        const dirent* entry = ::readdir(proc);
        if (entry == nullptr) break;
        if (entry->d_name[0] < '1' || entry->d_name[0] > '9') continue;
        std::snprintf(path, sizeof path, "/proc/%s/stat", entry->d_name);
        const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
        if (fd < 0) continue;
        const ssize_t size = ::read(fd, stat, sizeof stat - 1);
        ::close(fd);
        if (size <= 0) continue;
        stat[size] = '\0';
        // "pid (comm) state ppid pgrp ...": comm may hold spaces and parentheses, so parse from the
        // last ')'.
        const char* after_name = std::strrchr(stat, ')');
        if (after_name == nullptr) continue;
        char state = 0;
        long parent = 0;
        long process_group = 0;
        if (std::sscanf(after_name + 1, " %c %ld %ld", &state, &parent, &process_group) != 3) continue;
        if (process_group == group && state != 'Z' && state != 'X') running = true;
    }
    ::closedir(proc);
    return running;
}

// The direct child: its id (also its process group's) and, once collected, its wait status.
class Child {
public:
    explicit Child(pid_t pid) : pid_(pid), pidfd_(open_pidfd(pid)) {}
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    // A child that a failure left behind is stopped and collected, never left as a zombie.
    ~Child() {
        if (!reaped_) {
            terminate_tree(nullptr);
            (void)wait_blocking();
        }
    }

    std::optional<int> status() const noexcept { return status_; }

    // Collects the child's status without blocking. True once it has exited; an error when asking
    // fails.
    std::expected<bool, std::error_code> try_wait() {
        if (reaped_) return true;
        for (;;) {
            int status = 0;
            const pid_t result = ::waitpid(pid_, &status, WNOHANG);
            if (result == pid_) {
                reaped_ = true;
                status_ = status;
                return true;
            }
            if (result == 0) return false;
            if (errno == EINTR) continue;
            return std::unexpected(last_error());
        }
    }

    // Waits at most `limit` for the child to exit, reading the pipes meanwhile; returns early on
    // output. With a process descriptor the exit wakes it at once. Without one (old kernels) the end
    // of the pipes, which comes with the exit, wakes it; once they are closed it sleeps in steps
    // that grow from 0.1 ms, so short children stay cheap.
    void wait_for_exit(Captures* captures, milliseconds limit) {
        if (limit <= milliseconds::zero()) return;
        if (!pidfd_ && (captures == nullptr || captures->all_closed())) {
            const std::chrono::microseconds step = std::min<std::chrono::microseconds>(limit, fallback_step_);
            fallback_step_ = std::min<std::chrono::microseconds>(fallback_step_ * 2, kCancellationPollInterval);
            std::this_thread::sleep_for(step);
            return;
        }
        const int wake_fd = reaped_ ? -1 : pidfd_.get();
        if (captures != nullptr) {
            captures->wait(wake_fd, limit);
        } else {
            pollfd entry{wake_fd, POLLIN, 0};
            (void)::poll(&entry, 1, static_cast<int>(limit.count()));
        }
    }

    // Collects the child, blocking. The wait status, or nothing when the wait fails.
    std::optional<int> wait_blocking() {
        if (reaped_) return status_;
        for (;;) {
            int status = 0;
            const pid_t result = ::waitpid(pid_, &status, 0);
            if (result == pid_) {
                reaped_ = true;
                status_ = status;
                return status_;
            }
            if (result < 0 && errno == EINTR) continue;
            reaped_ = true;  // nothing left to collect
            return std::nullopt;
        }
    }

    // Stops the child's whole process group: SIGTERM, up to 500 ms for the group to vanish, SIGKILL,
    // up to 500 ms more, reading the pipes meanwhile. The child itself is collected as soon as it
    // exits, because a group whose leader is an uncollected zombie never looks empty.
    void terminate_tree(Captures* captures) {
        signal_group_and_wait(SIGTERM, captures);
        signal_group_and_wait(SIGKILL, captures);
    }

private:
    bool group_is_gone() {
        if (!reaped_) (void)try_wait();
        if (!reaped_) return false;
        if (::kill(-pid_, 0) != 0 && errno == ESRCH) return true;
        return !group_has_running_member(pid_);
    }

    void signal_group_and_wait(int signal_number, Captures* captures) {
        (void)::kill(-pid_, signal_number);
        const Clock::time_point deadline = Clock::now() + kTerminationWait;
        while (!group_is_gone()) {
            // Output wakes the wait early; the group is probed at most once per interval all the same.
            const Clock::time_point next_probe = std::min(deadline, Clock::now() + kGroupProbeInterval);
            for (;;) {
                const auto left = std::chrono::ceil<milliseconds>(next_probe - Clock::now());
                if (left <= milliseconds::zero()) break;
                wait_for_exit(captures, left);
                if (!reaped_ && try_wait().value_or(false)) break;
            }
            if (Clock::now() >= deadline) return;
        }
    }

    pid_t pid_;
    UniqueFd pidfd_;
    bool reaped_ = false;
    std::optional<int> status_;
    std::chrono::microseconds fallback_step_{100};
};

// posix_spawn's C objects, destroyed on every way out.
struct SpawnSetup {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    bool actions_ready = false;
    bool attributes_ready = false;

    SpawnSetup() = default;
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;
    ~SpawnSetup() {
        if (actions_ready) posix_spawn_file_actions_destroy(&actions);
        if (attributes_ready) posix_spawnattr_destroy(&attributes);
    }
};

std::string_view name_of(std::string_view entry) {
    return entry.substr(0, std::min(entry.find('='), entry.size()));
}

// The inherited environment, then the caller's pairs; a later pair replaces an earlier
// variable of the same name in place.
std::vector<std::string> build_environment(const std::vector<EnvironmentPair>& extra) {
    std::vector<std::string> entries;
    std::unordered_map<std::string, std::size_t> index;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        std::string text(*entry);
        std::string name(name_of(text));
        if (auto found = index.find(name); found != index.end()) {
            entries[found->second] = std::move(text);
        } else {
            index.emplace(std::move(name), entries.size());
            entries.push_back(std::move(text));
        }
    }
    auto set = [&](std::string_view name, std::string_view value) {
        std::string text;
        text.reserve(name.size() + 1 + value.size());
        text.append(name).append("=").append(value);
        if (auto found = index.find(std::string(name)); found != index.end()) {
            entries[found->second] = std::move(text);
        } else {
            index.emplace(std::string(name), entries.size());
            entries.push_back(std::move(text));
        }
    };
    for (const auto& [name, value] : extra) set(name, value);
    return entries;
}

std::vector<char*> c_strings(std::vector<std::string>& texts) {
    std::vector<char*> pointers;
    pointers.reserve(texts.size() + 1);
    for (std::string& text : texts) pointers.push_back(text.data());
    pointers.push_back(nullptr);
    return pointers;
}

void check_inputs(const std::vector<std::string>& arguments,
                  const std::vector<EnvironmentPair>& environment) {
    support::require(!arguments.empty(), "Process command must not be empty");
    // A NUL byte would silently cut an argument or a variable short, and an '=' in a name would
    // set another variable than the caller meant.
    for (const std::string& argument : arguments) {
        support::require(argument.find('\0') == std::string::npos,
                         "Process arguments must not contain NUL bytes");
    }
    for (const auto& [name, value] : environment) {
        support::require(!name.empty() && name.find('=') == std::string::npos &&
                             name.find('\0') == std::string::npos,
                         "Environment variable names must be non-empty and hold no '=' or NUL");
        support::require(value.find('\0') == std::string::npos,
                         "Environment variable values must not contain NUL bytes");
    }
}

// Starts the child: stdin from the null device, stdout and stderr into the pipes' write ends, a new
// process group, default signal handling and an empty signal mask (whatever the server ignores or
// blocks is not the child's business).
std::expected<pid_t, std::error_code> spawn_child(
    std::vector<std::string> arguments, const std::optional<std::filesystem::path>& working_directory,
    const std::vector<EnvironmentPair>& environment, int stdout_fd, int stderr_fd) {
    SpawnSetup setup;
    int rc = posix_spawn_file_actions_init(&setup.actions);
    if (rc != 0) return std::unexpected(std::error_code(rc, std::system_category()));
    setup.actions_ready = true;
    rc = posix_spawnattr_init(&setup.attributes);
    if (rc != 0) return std::unexpected(std::error_code(rc, std::system_category()));
    setup.attributes_ready = true;

    if (rc == 0) rc = posix_spawn_file_actions_addopen(&setup.actions, STDIN_FILENO, "/dev/null",
                                                        O_RDONLY, 0);
    if (rc == 0) rc = posix_spawn_file_actions_adddup2(&setup.actions, stdout_fd, STDOUT_FILENO);
    if (rc == 0) rc = posix_spawn_file_actions_adddup2(&setup.actions, stderr_fd, STDERR_FILENO);
    if (rc == 0 && working_directory) {
        rc = posix_spawn_file_actions_addchdir_np(&setup.actions, working_directory->c_str());
    }
    sigset_t empty_mask;
    sigset_t all_signals;
    sigemptyset(&empty_mask);
    sigfillset(&all_signals);
    if (rc == 0) {
        rc = posix_spawnattr_setflags(&setup.attributes, POSIX_SPAWN_SETPGROUP |
                                                             POSIX_SPAWN_SETSIGMASK |
                                                             POSIX_SPAWN_SETSIGDEF);
    }
    if (rc == 0) rc = posix_spawnattr_setpgroup(&setup.attributes, 0);
    if (rc == 0) rc = posix_spawnattr_setsigmask(&setup.attributes, &empty_mask);
    if (rc == 0) rc = posix_spawnattr_setsigdefault(&setup.attributes, &all_signals);
    if (rc != 0) return std::unexpected(std::error_code(rc, std::system_category()));

    std::vector<std::string> environment_entries = build_environment(environment);
    std::vector<char*> argv = c_strings(arguments);
    std::vector<char*> envp = c_strings(environment_entries);
    pid_t pid = 0;
    rc = ::posix_spawnp(&pid, argv[0], &setup.actions, &setup.attributes, argv.data(), envp.data());
    if (rc != 0) return std::unexpected(std::error_code(rc, std::system_category()));
    return pid;
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
    check_inputs(arguments, environment);
    if (token.is_cancelled()) return std::unexpected(ProcessError{ProcessError::Kind::CancelledBeforeStart, {}});

    auto out_pipe = make_pipe();
    if (!out_pipe) return std::unexpected(ProcessError{ProcessError::Kind::StartFailed, out_pipe.error()});
    auto err_pipe = make_pipe();
    if (!err_pipe) return std::unexpected(ProcessError{ProcessError::Kind::StartFailed, err_pipe.error()});

    auto pid = spawn_child(arguments, working_directory, environment, out_pipe->write_end.get(),
                           err_pipe->write_end.get());
    // The child holds its own copies now; ours must go, or the pipes never reach end of stream.
    out_pipe->write_end.reset();
    err_pipe->write_end.reset();
    if (!pid) return std::unexpected(ProcessError{ProcessError::Kind::StartFailed, pid.error()});
    // Declared after the child: on every way out the pipes still open are handed to a drain thread
    // first, then a child that is still running is stopped.
    Child child(*pid);
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
