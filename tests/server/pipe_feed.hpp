#pragma once

// A pipe whose write end is fed with fixed bytes by a thread of its own and then closed, so the read
// end behaves like a client's standard output: data, then the end of the input.

#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <string>
#include <thread>

#include <gtest/gtest.h>

namespace ambrel::testing {

class PipeFeed {
public:
    explicit PipeFeed(std::string bytes) {
        // A reader that stops early must make the feeder's write fail, not end the test process.
        std::signal(SIGPIPE, SIG_IGN);
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
        read_fd_ = fds[0];
        feeder_ = std::thread([fd = fds[1], bytes = std::move(bytes)] {
            std::string_view rest = bytes;
            while (!rest.empty()) {
                const ssize_t put = ::write(fd, rest.data(), rest.size());
                if (put <= 0) break;
                rest.remove_prefix(static_cast<std::size_t>(put));
            }
            ::close(fd);
        });
    }
    PipeFeed(const PipeFeed&) = delete;
    PipeFeed& operator=(const PipeFeed&) = delete;
    ~PipeFeed() {
        ::close(read_fd_);
        feeder_.join();
    }

    int fd() const noexcept { return read_fd_; }

private:
    int read_fd_ = -1;
    std::thread feeder_;
};

// "Content-Length: {n}\r\n\r\n{body}".
inline std::string framed(std::string_view body) {
    return "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + std::string(body);
}

}  // namespace ambrel::testing
