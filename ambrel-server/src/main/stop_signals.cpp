#include "main/stop_signals.hpp"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include <fmt/format.h>

#include "main/io.hpp"
#include "support/thread.hpp"

namespace ambrel::server {
namespace {

constexpr std::string_view kWaiterThreadName = "quillary-signals";

sigset_t stop_signal_set() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    sigaddset(&set, SIGINT);
    return set;
}

}  // namespace

std::string signal_name(int signal_number) {
    switch (signal_number) {
        case SIGTERM: return "SIGTERM";
        case SIGHUP: return "SIGHUP";
        case SIGINT: return "SIGINT";
        default: return fmt::format("signal {}", signal_number);
    }
}

StopSignals::StopSignals(Wake wake) noexcept : wake_(std::move(wake)) {}

std::expected<std::unique_ptr<StopSignals>, std::string> StopSignals::install() {
    const sigset_t set = stop_signal_set();
    if (const int rc = ::pthread_sigmask(SIG_BLOCK, &set, nullptr); rc != 0) return std::unexpected(std::strerror(rc));
    // Without the waiting thread nobody would take them: they get their default action back.
    const auto give_up = [&set](std::string reason) {
        (void)::pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
        return std::unexpected(std::move(reason));
    };
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return give_up(std::strerror(errno));
    std::unique_ptr<StopSignals> signals(
        new StopSignals(Wake{platform_fs::files::UniqueFd(fds[0]), platform_fs::files::UniqueFd(fds[1])}));
    auto waiter = support::start_named_thread(kWaiterThreadName, [raw = signals.get()] { raw->wait_loop(); });
    if (!waiter) return give_up(std::move(waiter.error()));
    signals->waiter_ = std::move(*waiter);
    return signals;
}

StopSignals::~StopSignals() {
    if (!waiter_.joinable()) return;
    // The waiting thread takes this one as any other and sees that it is to end.
    closing_.store(true);
    (void)::pthread_kill(waiter_.native_handle(), SIGTERM);
    waiter_.join();
}

void StopSignals::wait_loop() noexcept {
    const sigset_t set = stop_signal_set();
    for (;;) {
        int signal_number = 0;
        if (::sigwait(&set, &signal_number) != 0) continue;
        if (closing_.load()) return;
        int none = 0;
        if (!received_.compare_exchange_strong(none, signal_number)) continue;
        write_diagnostic("stopping on signal " + signal_name(signal_number));
        const char byte = 1;
        while (::write(wake_.write_end.get(), &byte, 1) < 0 && errno == EINTR) {
        }
    }
}

}  // namespace ambrel::server
