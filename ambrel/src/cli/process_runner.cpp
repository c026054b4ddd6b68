#include "cli/process_runner.hpp"

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
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <unordered_map>

#include "support/programming_error.hpp"
#include "support/thread.hpp"
#include "text/text.hpp"

extern char** environ;

namespace ambrel::cli {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// How often a waiting run looks at the cancellation token.
constexpr milliseconds kCancellationPollInterval{50};
// How long a stopped run waits for the capture threads once the child has ended.
constexpr milliseconds kCaptureDeadline{500};
// How long each signal of a group termination is given before the next step.
constexpr milliseconds kTerminationWait{500};
// How often a terminating run probes whether anything of the group is left.
constexpr milliseconds kGroupProbeInterval{10};
constexpr std::size_t kReadChunk = 8192;
constexpr std::string_view kStreamThreadName = "quillary-process-stream";

std::error_code last_error() { return {errno, std::system_category()}; }

// A file descriptor that is closed when it goes away.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) {
            reset();
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() { reset(); }

    int get() const noexcept { return fd_; }
    explicit operator bool() const noexcept { return fd_ >= 0; }
    void reset() noexcept {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_ = -1;
};

struct Pipe {
    UniqueFd read_end;
    UniqueFd write_end;
};

std::expected<Pipe, std::error_code> make_pipe() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return std::unexpected(last_error());
    return Pipe{UniqueFd(fds[0]), UniqueFd(fds[1])};
}

// The state one capture thread shares with the run. The thread owns the read end of its pipe and
// closes it when it ends, so a run that stops waiting simply lets go of this object.
struct StreamCapture {
    std::mutex mutex;
    std::condition_variable finished_changed;
    std::string buffer;                      // guarded by mutex
    bool finished = false;                   // guarded by mutex
    std::optional<std::error_code> failure;  // guarded by mutex
    // Set by the run when nobody wants the data any more: the thread drops what it reads from then on.
    std::atomic<bool> stop{false};
    std::optional<std::size_t> limit;

    void append(const char* data, std::size_t size) {
        std::lock_guard lock(mutex);
        if (limit) {
            if (buffer.size() >= *limit) return;
            size = std::min(size, *limit - buffer.size());
        }
        buffer.append(data, size);
    }

    std::string content() {
        std::lock_guard lock(mutex);
        return text::decode_lossy(buffer);
    }
};

// The body of a capture thread. After `stop` it goes on reading and dropping until end of stream,
// so that a process the child left running never dies of a closed pipe.
void drain(StreamCapture& capture, int fd) {
    char chunk[kReadChunk];
    for (;;) {
        const ssize_t count = ::read(fd, chunk, sizeof chunk);
        if (count < 0) {
            if (errno == EINTR) continue;
            if (!capture.stop.load(std::memory_order_acquire)) {
                std::lock_guard lock(capture.mutex);
                capture.failure = last_error();
            }
            return;
        }
        if (count == 0) return;
        if (capture.stop.load(std::memory_order_acquire)) continue;
        capture.append(chunk, static_cast<std::size_t>(count));
    }
}

// Starts the capture thread of one pipe; the thread takes the read end.
std::shared_ptr<StreamCapture> spawn_capture(UniqueFd read_end, std::optional<std::size_t> limit,
                                             std::string& start_failure) {
    auto capture = std::make_shared<StreamCapture>();
    capture->limit = limit;
    auto thread = support::start_named_thread(
        kStreamThreadName, [capture, fd = std::move(read_end)]() mutable {
            struct MarkFinished {
                StreamCapture& capture;
                UniqueFd& fd;
                ~MarkFinished() {
                    fd.reset();
                    {
                        std::lock_guard lock(capture.mutex);
                        capture.finished = true;
                    }
                    capture.finished_changed.notify_all();
                }
            } mark{*capture, fd};
            drain(*capture, fd.get());
        });
    if (!thread) {
        start_failure = thread.error();
        return nullptr;
    }
    thread->detach();
    return capture;
}

// The text collected by one capture thread, waiting for the thread until the shared deadline.
std::expected<std::string, CliError> await_capture(StreamCapture& capture, Clock::time_point deadline,
                                                   bool abandoning) {
    std::unique_lock lock(capture.mutex);
    const bool finished =
        capture.finished_changed.wait_until(lock, deadline, [&] { return capture.finished; });
    if (!finished) {
        capture.stop.store(true, std::memory_order_release);
    } else if (!abandoning && capture.failure) {
        const std::error_code error = *std::exchange(capture.failure, std::nullopt);
        return std::unexpected(CliError::process(kCouldNotReadProcessOutput, error));
    }
    lock.unlock();
    return capture.content();
}

struct CapturedTexts {
    std::string stdout_text;
    std::string stderr_text;
};

std::expected<CapturedTexts, CliError> await_captures(StreamCapture& out, StreamCapture& err,
                                                      bool abandoning) {
    const Clock::time_point deadline = Clock::now() + kCaptureDeadline;
    auto stdout_text = await_capture(out, deadline, abandoning);
    if (!stdout_text) return std::unexpected(std::move(stdout_text.error()));
    auto stderr_text = await_capture(err, deadline, abandoning);
    if (!stderr_text) return std::unexpected(std::move(stderr_text.error()));
    return CapturedTexts{std::move(*stdout_text), std::move(*stderr_text)};
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
            terminate_tree();
            wait_blocking();
        }
    }

    pid_t pid() const noexcept { return pid_; }
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

    // Waits for the child to exit, at most `limit`. Wakes as soon as it exits when the kernel offers
    // process descriptors; otherwise it sleeps in steps that grow from 1 ms, so short children stay
    // cheap.
    void wait_for_exit(milliseconds limit) {
        if (limit <= milliseconds::zero()) return;
        if (pidfd_) {
            pollfd entry{pidfd_.get(), POLLIN, 0};
            const int result = ::poll(&entry, 1, static_cast<int>(limit.count()));
            if (result >= 0 || errno == EINTR) return;
            pidfd_.reset();  // unusable descriptor: fall back to sleeping
        }
        const milliseconds step = std::min(limit, fallback_step_);
        fallback_step_ = std::min(fallback_step_ * 2, kCancellationPollInterval);
        std::this_thread::sleep_for(step);
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
    // up to 500 ms more. The child itself is collected as soon as it exits, because a group whose
    // leader is an uncollected zombie never looks empty.
    void terminate_tree() {
        signal_group_and_wait(SIGTERM);
        signal_group_and_wait(SIGKILL);
    }

private:
    bool group_is_gone() {
        if (!reaped_) (void)try_wait();
        if (!reaped_) return false;
        if (::kill(-pid_, 0) != 0 && errno == ESRCH) return true;
        return !group_has_running_member(pid_);
    }

    void signal_group_and_wait(int signal_number) {
        (void)::kill(-pid_, signal_number);
        const Clock::time_point deadline = Clock::now() + kTerminationWait;
        while (!group_is_gone()) {
            const auto left = std::chrono::ceil<milliseconds>(deadline - Clock::now());
            if (left <= milliseconds::zero()) return;
            const milliseconds step = std::min(left, kGroupProbeInterval);
            if (!reaped_ && pidfd_) {
                pollfd entry{pidfd_.get(), POLLIN, 0};
                (void)::poll(&entry, 1, static_cast<int>(step.count()));
            } else {
                std::this_thread::sleep_for(step);
            }
        }
    }

    pid_t pid_;
    UniqueFd pidfd_;
    bool reaped_ = false;
    std::optional<int> status_;
    milliseconds fallback_step_{1};
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

// The inherited environment, then the fixed pairs, then the caller's; a later pair replaces an earlier
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
    for (const auto& [name, value] : kFixedEnvironment) set(name, value);
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

// Tells both capture threads that nobody wants their data any more, on every way out of a run.
struct StopCaptures {
    std::shared_ptr<StreamCapture> out;
    std::shared_ptr<StreamCapture> err;
    ~StopCaptures() {
        if (out) out->stop.store(true, std::memory_order_release);
        if (err) err->stop.store(true, std::memory_order_release);
    }
};

}  // namespace

std::expected<ProcessOutput, CliError> DefaultProcessRunner::run(
    const std::vector<std::string>& arguments,
    const std::optional<std::filesystem::path>& working_directory, std::chrono::milliseconds timeout,
    const domain::CancellationToken& token) const {
    return run_inner(arguments, working_directory, timeout, token, {});
}

std::expected<ProcessOutput, CliError> DefaultProcessRunner::run_with_env(
    const std::vector<std::string>& arguments,
    const std::optional<std::filesystem::path>& working_directory, std::chrono::milliseconds timeout,
    const domain::CancellationToken& token, const std::vector<EnvironmentPair>& environment) const {
    return run_inner(arguments, working_directory, timeout, token, environment);
}

std::expected<ProcessOutput, CliError> DefaultProcessRunner::run_inner(
    const std::vector<std::string>& arguments,
    const std::optional<std::filesystem::path>& working_directory, std::chrono::milliseconds timeout,
    const domain::CancellationToken& token, const std::vector<EnvironmentPair>& environment) const {
    check_inputs(arguments, environment);
    if (token.is_cancelled()) return std::unexpected(CliError::cancelled(kProcessCancelledBeforeStart));

    auto out_pipe = make_pipe();
    if (!out_pipe) return std::unexpected(CliError::could_not_start(out_pipe.error()));
    auto err_pipe = make_pipe();
    if (!err_pipe) return std::unexpected(CliError::could_not_start(err_pipe.error()));

    auto pid = spawn_child(arguments, working_directory, environment, out_pipe->write_end.get(),
                           err_pipe->write_end.get());
    // The child holds its own copies now; ours must go, or the pipes never reach end of stream.
    out_pipe->write_end.reset();
    err_pipe->write_end.reset();
    if (!pid) return std::unexpected(CliError::could_not_start(pid.error()));
    Child child(*pid);

    StopCaptures captures;
    std::string thread_failure;
    captures.out = spawn_capture(std::move(out_pipe->read_end), capture_limit_, thread_failure);
    if (captures.out) {
        captures.err = spawn_capture(std::move(err_pipe->read_end), capture_limit_, thread_failure);
    }
    if (!captures.out || !captures.err) {
        support::fail_precondition("spawn stream capture thread: " + thread_failure);
    }

    const Clock::time_point start = Clock::now();
    bool timed_out = false;
    int exit_code = -1;
    for (;;) {
        if (token.is_cancelled()) {
            child.terminate_tree();
            (void)child.wait_blocking();
            (void)await_captures(*captures.out, *captures.err, true);
            return std::unexpected(CliError::cancelled(kProcessCancelled));
        }
        auto exited = child.try_wait();
        if (!exited) {
            child.terminate_tree();
            (void)child.wait_blocking();
            return std::unexpected(CliError::process(kCouldNotReadProcessOutput, exited.error()));
        }
        if (*exited) {
            exit_code = exit_code_of(*child.status());
            break;
        }
        const auto elapsed = Clock::now() - start;
        if (elapsed >= timeout) {
            child.terminate_tree();
            const std::optional<int> status = child.wait_blocking();
            exit_code = status ? exit_code_of(*status) : -1;
            timed_out = true;
            break;
        }
        const auto left = std::chrono::ceil<milliseconds>(timeout - elapsed);
        child.wait_for_exit(std::min(left, kCancellationPollInterval));
    }

    auto texts = await_captures(*captures.out, *captures.err, timed_out);
    if (!texts) return std::unexpected(std::move(texts.error()));
    return ProcessOutput{std::move(texts->stdout_text), std::move(texts->stderr_text), exit_code,
                         timed_out};
}

}  // namespace ambrel::cli
