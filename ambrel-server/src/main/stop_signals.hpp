#pragma once

// The signals that end the server the way the end of its input does: SIGTERM (a front end closing
// it), SIGHUP (its terminal gone) and SIGINT (an interrupt). Without this, their default action would
// kill the process at once, leaving the CLI it started running and the compare's workspace, with the
// org's metadata, on disk.
//
// The signals are never handled asynchronously: `install` blocks them in the calling thread, so every
// thread started afterwards inherits the blocked mask, and one thread of its own takes them with
// sigwait. On the first one it writes "ambrel-server: stopping on signal {name}" to standard error and
// makes the wake descriptor readable; the reader loop watches that descriptor beside its input and
// then stops as at the end of the input (the session's operation is cancelled, its processes
// stopped with their groups and its workspace removed before the process exits). Later signals are
// taken and dropped while the server stops. Children never inherit the blocked mask: the process
// runner starts them with an empty mask and default dispositions.
//
// Failures: `install` reports the system's reason when the mask, the pipe or the thread cannot be
// set up; the server then runs without it. Thread-safety: `wake_fd` and `received` may be read from any
// thread; one object per process.

#include <atomic>
#include <expected>
#include <memory>
#include <string>
#include <thread>

#include "platform_fs/files.hpp"

namespace ambrel::server {

class StopSignals {
public:
    // Blocks the signals in the calling thread and starts the waiting thread. Call it before any
    // other thread of the process exists, so that none of them can take a signal.
    static std::expected<std::unique_ptr<StopSignals>, std::string> install();

    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;
    // Ends the waiting thread; the signals stay blocked.
    ~StopSignals();

    // Readable once a signal has arrived (it stays readable).
    int wake_fd() const noexcept { return wake_.read_end.get(); }
    // The first signal taken, or 0.
    int received() const noexcept { return received_.load(); }

private:
    struct Wake {
        platform_fs::files::UniqueFd read_end;
        platform_fs::files::UniqueFd write_end;
    };
    explicit StopSignals(Wake wake) noexcept;
    void wait_loop() noexcept;

    Wake wake_;
    std::atomic<int> received_{0};
    std::atomic<bool> closing_{false};
    std::thread waiter_;
};

// "SIGTERM", "SIGHUP" or "SIGINT"; "signal {n}" for any other number.
std::string signal_name(int signal_number);

}  // namespace ambrel::server
