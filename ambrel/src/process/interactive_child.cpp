#include "process/interactive_child.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "process/child_process.hpp"

namespace ambrel::process {
namespace {

using platform_fs::files::UniqueFd;
using std::chrono::milliseconds;

constexpr std::size_t kReadChunk = 65536;

int poll_timeout(InteractiveChild::Clock::time_point deadline) {
    const auto left = std::chrono::ceil<milliseconds>(deadline - InteractiveChild::Clock::now());
    return static_cast<int>(std::clamp<std::int64_t>(left.count(), 0, 60'000));
}

}  // namespace

struct InteractiveChild::Impl final : public OutputPump {
    UniqueFd input;
    UniqueFd output;
    UniqueFd errors;
    std::unique_ptr<ChildProcess> child;
    std::string buffer;
    std::size_t consumed = 0;
    std::uint64_t stdout_bytes = 0;
    std::uint64_t stderr_bytes = 0;
    bool failed = false;
    std::optional<InteractiveEnd> end;
    std::vector<char> chunk = std::vector<char>(kReadChunk);

    bool all_closed() const noexcept override { return !output && !errors; }

    // Reads whatever is ready on both output streams within `limit`; standard error is dropped.
    void wait(int wake_fd, milliseconds limit) override { (void)pump(wake_fd, static_cast<int>(limit.count())); }

    // One poll round. Returns an error code for a failed poll or read of standard output.
    std::error_code pump(int wake_fd, int timeout_ms) {
        pollfd entries[3];
        UniqueFd* owners[3] = {nullptr, nullptr, nullptr};
        nfds_t count = 0;
        if (wake_fd >= 0) entries[count++] = pollfd{wake_fd, POLLIN, 0};
        for (UniqueFd* fd : {&output, &errors}) {
            if (!*fd) continue;
            owners[count] = fd;
            entries[count++] = pollfd{fd->get(), POLLIN, 0};
        }
        const int ready = ::poll(entries, count, timeout_ms);
        if (ready < 0) return errno == EINTR ? std::error_code() : last_os_error();
        for (nfds_t i = 0; i < count; ++i) {
            if (owners[i] == nullptr || entries[i].revents == 0) continue;
            const ssize_t read = ::read(owners[i]->get(), chunk.data(), chunk.size());
            if (read < 0) {
                if (errno == EINTR || errno == EAGAIN) continue;
                const std::error_code error = last_os_error();
                owners[i]->reset();
                if (owners[i] == &output) return error;
                continue;
            }
            if (read == 0) {
                owners[i]->reset();
                continue;
            }
            if (owners[i] == &output) {
                // Drop what was handed out before growing the buffer, so it never holds old answers.
                if (consumed > 0 && consumed == buffer.size()) {
                    buffer.clear();
                    consumed = 0;
                } else if (consumed > kReadChunk) {
                    buffer.erase(0, consumed);
                    consumed = 0;
                }
                buffer.append(chunk.data(), static_cast<std::size_t>(read));
                stdout_bytes += static_cast<std::uint64_t>(read);
            } else {
                stderr_bytes += static_cast<std::uint64_t>(read);
            }
        }
        return {};
    }

    std::unexpected<InteractiveError> fail(InteractiveError::Kind kind, std::error_code error = {}) {
        failed = true;
        if (kind == InteractiveError::Kind::TimedOut) {
            input.reset();
            child->terminate_tree(this);
            const std::optional<int> status = child->wait_blocking();
            end = InteractiveEnd{status ? std::optional<std::int32_t>(exit_code_of(*status)) : std::nullopt,
                                 stdout_bytes, stderr_bytes, true};
        }
        return std::unexpected(InteractiveError{kind, error});
    }

    // Waits until at least `count` unread bytes are buffered.
    std::expected<void, InteractiveError> fill(std::size_t count, Clock::time_point deadline) {
        while (buffer.size() - consumed < count) {
            if (!output) return fail(InteractiveError::Kind::Ended);
            if (Clock::now() >= deadline) return fail(InteractiveError::Kind::TimedOut);
            if (std::error_code error = pump(-1, poll_timeout(deadline))) {
                return fail(InteractiveError::Kind::Io, error);
            }
        }
        return {};
    }
};

InteractiveChild::InteractiveChild(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

InteractiveChild::~InteractiveChild() { (void)finish(milliseconds{500}); }

std::expected<std::unique_ptr<InteractiveChild>, ProcessError> InteractiveChild::start(
    const std::vector<std::string>& arguments, const std::vector<EnvironmentPair>& environment) {
    check_spawn_inputs(arguments, environment);
    int sockets[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sockets) != 0) {
        return std::unexpected(ProcessError{ProcessError::Kind::StartFailed, last_os_error()});
    }
    UniqueFd ours(sockets[0]);
    UniqueFd theirs(sockets[1]);
    auto out_pipe = make_pipe();
    if (!out_pipe) return std::unexpected(ProcessError{ProcessError::Kind::StartFailed, out_pipe.error()});
    auto err_pipe = make_pipe();
    if (!err_pipe) return std::unexpected(ProcessError{ProcessError::Kind::StartFailed, err_pipe.error()});
    auto pid = spawn_child(arguments, std::nullopt, environment,
                           ChildStreams{theirs.get(), out_pipe->write_end.get(), err_pipe->write_end.get()});
    // The child holds its own copies now; ours must go, or the streams never reach their end.
    theirs.reset();
    out_pipe->write_end.reset();
    err_pipe->write_end.reset();
    if (!pid) return std::unexpected(ProcessError{ProcessError::Kind::StartFailed, pid.error()});
    auto impl = std::make_unique<Impl>();
    impl->child = std::make_unique<ChildProcess>(*pid);
    impl->input = std::move(ours);
    impl->output = std::move(out_pipe->read_end);
    impl->errors = std::move(err_pipe->read_end);
    return std::unique_ptr<InteractiveChild>(new InteractiveChild(std::move(impl)));
}

std::expected<void, InteractiveError> InteractiveChild::send(std::string_view bytes, Clock::time_point deadline) {
    Impl& impl = *impl_;
    if (impl.failed || !impl.input) return std::unexpected(InteractiveError{InteractiveError::Kind::Ended, {}});
    while (!bytes.empty()) {
        const ssize_t written = ::send(impl.input.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (written > 0) {
            bytes.remove_prefix(static_cast<std::size_t>(written));
            continue;
        }
        if (written < 0 && errno == EINTR) continue;
        if (written < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            if (errno == EPIPE || errno == ECONNRESET) return impl.fail(InteractiveError::Kind::Ended);
            return impl.fail(InteractiveError::Kind::Io, last_os_error());
        }
        if (Clock::now() >= deadline) return impl.fail(InteractiveError::Kind::TimedOut);
        // The child's input is full: read its output meanwhile, or both sides would wait forever.
        pollfd entry{impl.input.get(), POLLOUT, 0};
        (void)::poll(&entry, 1, 0);
        if ((entry.revents & POLLOUT) == 0) {
            if (std::error_code error = impl.pump(-1, std::min(poll_timeout(deadline), 10))) {
                return impl.fail(InteractiveError::Kind::Io, error);
            }
        }
    }
    return {};
}

std::expected<std::string, InteractiveError> InteractiveChild::read_line(Clock::time_point deadline) {
    Impl& impl = *impl_;
    if (impl.failed) return std::unexpected(InteractiveError{InteractiveError::Kind::Ended, {}});
    std::size_t searched = impl.consumed;
    for (;;) {
        const std::size_t found = impl.buffer.find('\n', searched);
        if (found != std::string::npos) {
            std::string line = impl.buffer.substr(impl.consumed, found - impl.consumed);
            impl.consumed = found + 1;
            return line;
        }
        searched = impl.buffer.size();
        const std::size_t offset = searched - impl.consumed;
        if (auto filled = impl.fill(impl.buffer.size() - impl.consumed + 1, deadline); !filled) {
            return std::unexpected(filled.error());
        }
        // A fill may have compacted the buffer; search on from the same unread offset.
        searched = impl.consumed + offset;
    }
}

std::expected<std::string, InteractiveError> InteractiveChild::read_exact(std::size_t count,
                                                                         Clock::time_point deadline) {
    Impl& impl = *impl_;
    if (impl.failed) return std::unexpected(InteractiveError{InteractiveError::Kind::Ended, {}});
    if (auto filled = impl.fill(count, deadline); !filled) return std::unexpected(filled.error());
    std::string bytes = impl.buffer.substr(impl.consumed, count);
    impl.consumed += count;
    return bytes;
}

InteractiveEnd InteractiveChild::finish(milliseconds grace) {
    Impl& impl = *impl_;
    if (impl.end) return *impl.end;
    impl.input.reset();
    const Clock::time_point deadline = Clock::now() + grace;
    bool exited = false;
    while (!exited) {
        auto state = impl.child->try_wait();
        if (!state) break;
        exited = *state;
        if (exited || Clock::now() >= deadline) break;
        impl.child->wait_for_exit(&impl, std::min(std::chrono::ceil<milliseconds>(deadline - Clock::now()),
                                                  milliseconds{50}));
    }
    bool stopped = false;
    if (!exited) {
        impl.child->terminate_tree(&impl);
        stopped = true;
    }
    const std::optional<int> status = impl.child->wait_blocking();
    // What is still in the pipes is counted, never waited for.
    while (!impl.all_closed()) {
        const std::uint64_t before = impl.stdout_bytes + impl.stderr_bytes;
        (void)impl.pump(-1, 0);
        if (impl.stdout_bytes + impl.stderr_bytes == before) break;
    }
    impl.output.reset();
    impl.errors.reset();
    impl.end = InteractiveEnd{status && !stopped ? std::optional<std::int32_t>(exit_code_of(*status)) : std::nullopt,
                              impl.stdout_bytes, impl.stderr_bytes, false};
    impl.failed = true;
    return *impl.end;
}

}  // namespace ambrel::process
