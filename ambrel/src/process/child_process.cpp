#include "process/child_process.hpp"

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
#include <thread>
#include <unordered_map>

#include "support/programming_error.hpp"

extern char** environ;

namespace ambrel::process {
namespace {

using Clock = std::chrono::steady_clock;
using platform_fs::files::UniqueFd;
using std::chrono::milliseconds;

// How long each signal of a group termination is given before the next step.
constexpr milliseconds kTerminationWait{500};
// How often a terminating run probes whether anything of the group is left.
constexpr milliseconds kGroupProbeInterval{10};
// The longest sleep step of a wait without a process descriptor.
constexpr milliseconds kFallbackMaxStep{50};

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

}  // namespace

std::error_code last_os_error() { return {errno, std::system_category()}; }

std::expected<Pipe, std::error_code> make_pipe() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return std::unexpected(last_os_error());
    return Pipe{UniqueFd(fds[0]), UniqueFd(fds[1])};
}

int exit_code_of(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : -1; }

void check_spawn_inputs(const std::vector<std::string>& arguments,
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

// Starts the child: stdin from the caller's descriptor or the null device, stdout and stderr into the
// caller's descriptors, a new process group, default signal handling and an empty signal mask
// (whatever the server ignores or blocks is not the child's business).
std::expected<pid_t, std::error_code> spawn_child(std::vector<std::string> arguments,
                                                  const std::optional<std::filesystem::path>& working_directory,
                                                  const std::vector<EnvironmentPair>& environment,
                                                  const ChildStreams& streams) {
    SpawnSetup setup;
    int rc = posix_spawn_file_actions_init(&setup.actions);
    if (rc != 0) return std::unexpected(std::error_code(rc, std::system_category()));
    setup.actions_ready = true;
    rc = posix_spawnattr_init(&setup.attributes);
    if (rc != 0) return std::unexpected(std::error_code(rc, std::system_category()));
    setup.attributes_ready = true;

    if (streams.stdin_fd < 0) {
        rc = posix_spawn_file_actions_addopen(&setup.actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    } else {
        rc = posix_spawn_file_actions_adddup2(&setup.actions, streams.stdin_fd, STDIN_FILENO);
    }
    if (rc == 0) rc = posix_spawn_file_actions_adddup2(&setup.actions, streams.stdout_fd, STDOUT_FILENO);
    if (rc == 0) rc = posix_spawn_file_actions_adddup2(&setup.actions, streams.stderr_fd, STDERR_FILENO);
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


ChildProcess::ChildProcess(pid_t pid) : pid_(pid), pidfd_(open_pidfd(pid)) {}

ChildProcess::~ChildProcess() {
    if (!reaped_) {
        terminate_tree(nullptr);
        (void)wait_blocking();
    }
}

std::expected<bool, std::error_code> ChildProcess::try_wait() {
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
        return std::unexpected(last_os_error());
    }
}

// With a process descriptor the exit wakes the wait at once. Without one (old kernels) the end of the
// pipes, which comes with the exit, wakes it; once they are closed it sleeps in steps that grow from
// 0.1 ms, so short children stay cheap.
void ChildProcess::wait_for_exit(OutputPump* pump, milliseconds limit) {
    if (limit <= milliseconds::zero()) return;
    if (!pidfd_ && (pump == nullptr || pump->all_closed())) {
        const std::chrono::microseconds step = std::min<std::chrono::microseconds>(limit, fallback_step_);
        fallback_step_ = std::min<std::chrono::microseconds>(fallback_step_ * 2, kFallbackMaxStep);
        std::this_thread::sleep_for(step);
        return;
    }
    const int wake = wake_fd();
    if (pump != nullptr) {
        pump->wait(wake, limit);
    } else if (wake >= 0) {
        pollfd entry{wake, POLLIN, 0};
        (void)::poll(&entry, 1, static_cast<int>(limit.count()));
    } else {
        std::this_thread::sleep_for(std::min<milliseconds>(limit, kGroupProbeInterval));
    }
}

std::optional<int> ChildProcess::wait_blocking() {
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

// The child itself is collected as soon as it exits, because a group whose leader is an uncollected
// zombie never looks empty.
void ChildProcess::terminate_tree(OutputPump* pump) {
    signal_group_and_wait(SIGTERM, pump);
    signal_group_and_wait(SIGKILL, pump);
}

bool ChildProcess::group_is_gone() {
    if (!reaped_) (void)try_wait();
    if (!reaped_) return false;
    if (::kill(-pid_, 0) != 0 && errno == ESRCH) return true;
    return !group_has_running_member(pid_);
}

void ChildProcess::signal_group_and_wait(int signal_number, OutputPump* pump) {
    (void)::kill(-pid_, signal_number);
    const Clock::time_point deadline = Clock::now() + kTerminationWait;
    while (!group_is_gone()) {
        // Output wakes the wait early; the group is probed at most once per interval all the same.
        const Clock::time_point next_probe = std::min(deadline, Clock::now() + kGroupProbeInterval);
        for (;;) {
            const auto left = std::chrono::ceil<milliseconds>(next_probe - Clock::now());
            if (left <= milliseconds::zero()) break;
            wait_for_exit(pump, left);
            if (!reaped_ && try_wait().value_or(false)) break;
        }
        if (Clock::now() >= deadline) return;
    }
}

}  // namespace ambrel::process
