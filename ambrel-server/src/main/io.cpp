#include "main/io.hpp"

#include <cerrno>
#include <cstring>

#include <poll.h>
#include <unistd.h>

#include <utility>

namespace ambrel::server {

IoError last_io_error() {
    const int error = errno;
    return IoError{std::strerror(error)};
}

BufferedReader::BufferedReader(int fd, std::size_t capacity) : buffer_(capacity == 0 ? 1 : capacity, '\0'), fd_(fd) {}

std::expected<bool, IoError> BufferedReader::stop_requested() {
    for (;;) {
        pollfd fds[2] = {{stop_fd_, POLLIN, 0}, {fd_, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return std::unexpected(last_io_error());
        }
        if (fds[0].revents != 0) return true;
        // Input, its end or an error: the read tells which.
        if (fds[1].revents != 0) return false;
    }
}

std::expected<std::string_view, IoError> BufferedReader::fill() {
    if (begin_ < end_) return std::string_view(buffer_).substr(begin_, end_ - begin_);
    begin_ = 0;
    end_ = 0;
    if (stop_fd_ >= 0) {
        auto stop = stop_requested();
        if (!stop) return std::unexpected(std::move(stop.error()));
        if (*stop) return std::string_view();
    }
    for (;;) {
        const ssize_t got = ::read(fd_, buffer_.data(), buffer_.size());
        if (got >= 0) {
            end_ = static_cast<std::size_t>(got);
            return std::string_view(buffer_).substr(0, end_);
        }
        if (errno == EINTR) continue;
        return std::unexpected(last_io_error());
    }
}

void BufferedReader::consume(std::size_t count) noexcept {
    begin_ += count < end_ - begin_ ? count : end_ - begin_;
}

std::expected<void, IoError> FdOutput::write_all(std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t put = ::write(fd_, bytes.data(), bytes.size());
        if (put < 0) {
            if (errno == EINTR) continue;
            return std::unexpected(last_io_error());
        }
        bytes.remove_prefix(static_cast<std::size_t>(put));
    }
    return {};
}

void write_diagnostic(std::string_view line) {
    std::string text;
    text.reserve(kDiagnosticPrefix.size() + line.size() + 1);
    text.append(kDiagnosticPrefix).append(line).push_back('\n');
    std::string_view rest = text;
    while (!rest.empty()) {
        const ssize_t put = ::write(STDERR_FILENO, rest.data(), rest.size());
        if (put <= 0) return;
        rest.remove_prefix(static_cast<std::size_t>(put));
    }
}

}  // namespace ambrel::server
