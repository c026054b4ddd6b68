#pragma once

// The real ambrel-server executable driven one request at a time, as a front end does: requests are
// written when the test chooses and frames are read as they arrive, so a test can wait for a
// notification before it sends the next request. The server's environment is the test's with HOME and
// XDG_DATA_HOME moved to a folder of the caller, so a run never touches the user's remembered
// endpoints. A wait that passes its bound kills the server and fails instead of blocking the suite.
//
// Given a service factory, the same server loop runs inside the test process on a thread of its own,
// over the same pipes, with that factory (its endpoint memory moved below the caller's folder): for
// tests that need services other than the executable's.
//
// Thread-safety: one test thread at a time.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "dispatch/dispatcher.hpp"
#include "endpoint_memory/endpoint_memory.hpp"
#include "main/io.hpp"
#include "main/server.hpp"
#include "pipe_feed.hpp"

extern char** environ;

namespace ambrel::testing {

class LiveServer {
public:
    static constexpr std::chrono::seconds kWaitBound{120};

    explicit LiveServer(const std::filesystem::path& home) {
        std::signal(SIGPIPE, SIG_IGN);
        int in[2], out[2];
        if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
        std::vector<std::string> variables;
        for (char** entry = environ; *entry != nullptr; ++entry) {
            const std::string_view text(*entry);
            if (!text.starts_with("HOME=") && !text.starts_with("XDG_DATA_HOME=")) variables.emplace_back(text);
        }
        variables.push_back("HOME=" + home.string());
        variables.push_back("XDG_DATA_HOME=" + (home / "data").string());
        std::vector<char*> env;
        for (auto& variable : variables) env.push_back(variable.data());
        env.push_back(nullptr);

        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        char* argv[] = {const_cast<char*>(AMBREL_SERVER_EXE), nullptr};
        const int spawned = ::posix_spawn(&pid_, AMBREL_SERVER_EXE, &actions, nullptr, argv, env.data());
        posix_spawn_file_actions_destroy(&actions);
        ::close(in[0]);
        ::close(out[1]);
        in_ = in[1];
        out_ = out[0];
        if (spawned != 0) {
            close_input();
            ::close(out_);
            throw std::runtime_error("could not start the server");
        }
    }

    LiveServer(const std::filesystem::path& home, dispatch::ServiceFactory factory) {
        std::signal(SIGPIPE, SIG_IGN);
        int in[2], out[2];
        if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
        in_ = in[1];
        out_ = out[0];
        const std::filesystem::path data = home / "data";
        in_process_ = std::thread([read_end = in[0], write_end = out[1], data, factory = std::move(factory)] {
            {
                server::BufferedReader reader(read_end);
                server::FdOutput output(write_end);
                server::run(reader, output,
                            [data, factory](const std::filesystem::path& root,
                                            std::shared_ptr<progress::ProgressSink> progress,
                                            std::shared_ptr<logging::LogSink> log) {
                                auto parts = factory(root, std::move(progress), std::move(log));
                                parts.endpoint_memory = std::make_shared<endpoint_memory::FileEndpointMemory>(data);
                                return parts;
                            });
            }
            ::close(read_end);
            ::close(write_end);
        });
    }

    LiveServer(const LiveServer&) = delete;
    LiveServer& operator=(const LiveServer&) = delete;

    ~LiveServer() {
        close_input();
        if (in_process_.joinable()) {
            in_process_.join();
        } else if (exit_code_ == kRunning) {
            ::kill(pid_, SIGKILL);
            int status = 0;
            ::waitpid(pid_, &status, 0);
        }
        ::close(out_);
    }

    // Writes one framed message; false when the server no longer reads.
    bool send(std::string_view body) {
        const std::string bytes = framed(body);
        std::string_view rest = bytes;
        while (!rest.empty()) {
            const ssize_t put = ::write(in_, rest.data(), rest.size());
            if (put <= 0) return false;
            rest.remove_prefix(static_cast<std::size_t>(put));
        }
        return true;
    }

    // The bodies read until one satisfies the predicate (that one included), or none when the output
    // ends or the bound passes first.
    std::optional<std::vector<std::string>> read_until(const std::function<bool(const std::string&)>& wanted) {
        std::vector<std::string> seen;
        const auto deadline = std::chrono::steady_clock::now() + kWaitBound;
        while (true) {
            while (auto body = take_frame()) {
                seen.push_back(*body);
                if (wanted(*body)) return seen;
            }
            if (std::chrono::steady_clock::now() > deadline || !fill(deadline)) return std::nullopt;
        }
    }

    // Closes the input and waits for the exit; the exit code, or -1 for a signal or a hang.
    int finish() {
        close_input();
        const auto deadline = std::chrono::steady_clock::now() + kWaitBound;
        while (fill(deadline)) {
        }
        if (in_process_.joinable()) {
            in_process_.join();
            exit_code_ = 0;
            return exit_code_;
        }
        int status = 0;
        if (std::chrono::steady_clock::now() > deadline) ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &status, 0);
        exit_code_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return exit_code_;
    }

private:
    static constexpr int kRunning = -2;

    void close_input() {
        if (in_ >= 0) ::close(in_);
        in_ = -1;
    }

    // Reads what the server wrote; false at the end of its output or past the deadline.
    bool fill(std::chrono::steady_clock::time_point deadline) {
        while (std::chrono::steady_clock::now() <= deadline) {
            pollfd fd{out_, POLLIN, 0};
            if (::poll(&fd, 1, 200) <= 0) continue;
            char buffer[65536];
            const ssize_t got = ::read(out_, buffer, sizeof buffer);
            if (got <= 0) return false;
            pending_.append(buffer, static_cast<std::size_t>(got));
            return true;
        }
        return false;
    }

    std::optional<std::string> take_frame() {
        constexpr std::string_view kPrefix = "Content-Length: ";
        const std::size_t end = pending_.find("\r\n\r\n");
        if (end == std::string::npos || !pending_.starts_with(kPrefix)) return std::nullopt;
        const std::size_t length = std::stoul(pending_.substr(kPrefix.size(), end - kPrefix.size()));
        if (pending_.size() < end + 4 + length) return std::nullopt;
        std::string body = pending_.substr(end + 4, length);
        pending_.erase(0, end + 4 + length);
        return body;
    }

    pid_t pid_ = 0;
    int in_ = -1;
    int out_ = -1;
    int exit_code_ = kRunning;
    std::string pending_;
    // Runs the server loop when the server lives in this process.
    std::thread in_process_;
};

}  // namespace ambrel::testing
