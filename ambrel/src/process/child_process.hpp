#pragma once

// The parts of starting and stopping a child that the one-shot runner and the long-lived child
// share, so both start children the same way: close-on-exec pipes, posix_spawn with the inherited
// environment plus the caller's pairs, a process group of the child's own, default signal handling,
// and termination of the whole group (SIGTERM, then SIGKILL). Only the process module uses this
// header; everything else goes through `ProcessRunner` or `InteractiveChild`.
//
// Failures are `std::error_code` values of the operating system. A `ChildProcess` belongs to one
// thread at a time.

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "platform_fs/files.hpp"
#include "process/process_runner.hpp"

namespace ambrel::process {

// The errno of the last failed call.
std::error_code last_os_error();

struct Pipe {
    platform_fs::files::UniqueFd read_end;
    platform_fs::files::UniqueFd write_end;
};

// A pipe whose both ends are close-on-exec.
std::expected<Pipe, std::error_code> make_pipe();

// Whoever reads a child's output while the child is waited for or stopped: it waits at most
// `limit` for output or for `wake_fd` (-1 for none) and reads what is ready.
class OutputPump {
public:
    virtual ~OutputPump() = default;
    virtual bool all_closed() const noexcept = 0;
    virtual void wait(int wake_fd, std::chrono::milliseconds limit) = 0;

protected:
    OutputPump() = default;
    OutputPump(const OutputPump&) = default;
    OutputPump& operator=(const OutputPump&) = default;
};

// What a child gets on its three standard descriptors; -1 for standard input means the null device.
struct ChildStreams {
    int stdin_fd = -1;
    int stdout_fd = -1;
    int stderr_fd = -1;
};

// Checks the argument vector and the environment pairs; a NUL byte or an empty command is a
// programming error.
void check_spawn_inputs(const std::vector<std::string>& arguments, const std::vector<EnvironmentPair>& environment);

// Starts the program (looked up in PATH when it has no '/') as the leader of a new process group.
std::expected<pid_t, std::error_code> spawn_child(std::vector<std::string> arguments,
                                                  const std::optional<std::filesystem::path>& working_directory,
                                                  const std::vector<EnvironmentPair>& environment,
                                                  const ChildStreams& streams);

// The exit status of a wait status; -1 for a child ended by a signal.
int exit_code_of(int status);

// The direct child: its id (also its process group's) and, once collected, its wait status. A child
// still running when the object goes away is stopped with its group and collected.
class ChildProcess {
public:
    explicit ChildProcess(pid_t pid);
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    ~ChildProcess();

    pid_t pid() const noexcept { return pid_; }
    std::optional<int> status() const noexcept { return status_; }
    // The process descriptor (readable once the child exits), or -1 on kernels without one.
    int wake_fd() const noexcept { return reaped_ ? -1 : pidfd_.get(); }

    // Collects the child's status without blocking: true once it has exited.
    std::expected<bool, std::error_code> try_wait();
    // Waits at most `limit` for the child to exit, reading output through the pump meanwhile.
    void wait_for_exit(OutputPump* pump, std::chrono::milliseconds limit);
    // Collects the child, blocking. The wait status, or nothing when the wait fails.
    std::optional<int> wait_blocking();
    // Stops the whole process group: SIGTERM, up to 500 ms for the group to vanish, SIGKILL, up to
    // 500 ms more, reading output through the pump meanwhile.
    void terminate_tree(OutputPump* pump);

private:
    bool group_is_gone();
    void signal_group_and_wait(int signal_number, OutputPump* pump);

    pid_t pid_;
    platform_fs::files::UniqueFd pidfd_;
    bool reaped_ = false;
    std::optional<int> status_;
    std::chrono::microseconds fallback_step_{100};
};

}  // namespace ambrel::process
