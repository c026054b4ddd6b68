#pragma once

// Runs the real ambrel-server executable with piped standard input, output and error: the input is
// fed by a thread of its own (a fixed byte string, optionally followed by an endless stream of one
// byte until the server stops reading), and the run ends when the process exits. A run that does not
// exit within the bound is killed and reported as hung, so a hang fails the test instead of blocking
// the suite.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <thread>

extern char** environ;

namespace ambrel::testing {

struct ServerRun {
    std::string out;
    std::string err;
    int exit_code = -1;
    bool hung = false;
    // Peak resident size of the server itself, in KiB (0 when it could not be read).
    long max_rss_kib = 0;
};

struct ServerInput {
    std::string bytes;
    // After `bytes`, keep writing this byte until the server stops reading (0: close at once).
    char endless = 0;
    // Close the server's standard output right away, as a client that went away.
    bool close_output = false;
    // After `bytes`, keep the input open and send this signal to the server once it has written
    // `signal_after_bytes` bytes of output (0: no signal).
    int signal = 0;
    std::size_t signal_after_bytes = 1;
};

inline ServerRun run_server(const ServerInput& input, std::chrono::seconds bound = std::chrono::seconds(120)) {
    std::signal(SIGPIPE, SIG_IGN);
    int in[2], out[2], err[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe2 failed");
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    // The server runs under a small helper that reports the server's own peak resident size: started
    // straight from this (possibly large) process, the server would inherit this process's peak.
    char report_path[] = "/tmp/ambrel-peak-rss-XXXXXX";
    const int report_fd = ::mkstemp(report_path);
    if (report_fd < 0) throw std::runtime_error("mkstemp failed");
    ::close(report_fd);
    char* argv[] = {const_cast<char*>(AMBREL_PEAK_RSS_EXE), report_path, const_cast<char*>(AMBREL_SERVER_EXE),
                    nullptr};
    pid_t pid = 0;
    const int spawned = ::posix_spawn(&pid, AMBREL_PEAK_RSS_EXE, &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    if (spawned != 0) throw std::runtime_error("could not start the server");
    if (input.close_output) {
        ::close(out[0]);
        out[0] = -1;
    }

    std::thread feeder([fd = in[1], &input] {
        auto put_all = [fd](std::string_view bytes) {
            while (!bytes.empty()) {
                const ssize_t put = ::write(fd, bytes.data(), bytes.size());
                if (put <= 0) return false;
                bytes.remove_prefix(static_cast<std::size_t>(put));
            }
            return true;
        };
        bool open = put_all(input.bytes);
        if (open && input.endless != 0) {
            const std::string chunk(64 * 1024, input.endless);
            while (put_all(chunk)) {
            }
        }
        // With a signal to send, the input stays open until the server has exited.
        if (input.signal == 0) ::close(fd);
    });

    ServerRun run;
    const auto deadline = std::chrono::steady_clock::now() + bound;
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    std::string* sinks[2] = {&run.out, &run.err};
    int open_streams = (out[0] >= 0 ? 1 : 0) + 1;
    char buffer[65536];
    bool signalled = false;
    while (open_streams > 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            run.hung = true;
            ::kill(pid, SIGKILL);
            break;
        }
        if (input.signal != 0 && !signalled && run.out.size() >= input.signal_after_bytes) {
            ::kill(pid, input.signal);
            signalled = true;
        }
        if (::poll(fds, 2, 200) < 0) continue;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            const ssize_t got = ::read(fds[i].fd, buffer, sizeof buffer);
            if (got > 0) {
                sinks[i]->append(buffer, static_cast<std::size_t>(got));
            } else {
                ::close(fds[i].fd);
                fds[i].fd = -1;
                --open_streams;
            }
        }
    }
    for (auto& fd : fds) {
        if (fd.fd >= 0) ::close(fd.fd);
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
    }
    feeder.join();
    if (input.signal != 0) ::close(in[1]);
    // The helper exits as the server did (128 plus the signal number for a server ended by a signal).
    if (WIFEXITED(status)) run.exit_code = WEXITSTATUS(status);
    if (std::FILE* report = std::fopen(report_path, "r")) {
        if (std::fscanf(report, "%ld", &run.max_rss_kib) != 1) run.max_rss_kib = 0;
        std::fclose(report);
    }
    ::unlink(report_path);
    return run;
}

// The bodies of the frames in a server's output, in order; a malformed output gives a last entry
// starting with "malformed:".
inline std::vector<std::string> frame_bodies(std::string_view output) {
    std::vector<std::string> bodies;
    while (!output.empty()) {
        constexpr std::string_view kPrefix = "Content-Length: ";
        const std::size_t end = output.find("\r\n\r\n");
        if (!output.starts_with(kPrefix) || end == std::string_view::npos) {
            bodies.push_back("malformed:" + std::string(output.substr(0, 80)));
            return bodies;
        }
        const std::size_t length = std::stoul(std::string(output.substr(kPrefix.size(), end - kPrefix.size())));
        bodies.emplace_back(output.substr(end + 4, length));
        output.remove_prefix(std::min(output.size(), end + 4 + length));
    }
    return bodies;
}

}  // namespace ambrel::testing
