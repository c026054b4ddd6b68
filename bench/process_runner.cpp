// What the process runner adds to one short child: git runs through it once per file on the
// repository roads, so a fixed cost per run (a sleeping poll, slow capture hand-off) would dominate.
// Reference: the same command with a bare posix_spawn, its output read from a pipe, and waitpid.

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "process/process_runner.hpp"

extern char** environ;

namespace {

constexpr int kRuns = 200;

const std::vector<std::string>& git_version() {
    static const std::vector<std::string> argv{"git", "--version"};
    return argv;
}

void BM_ProcessRunnerGitVersion(benchmark::State& state) {
    const ambrel::process::DefaultProcessRunner runner;
    const ambrel::domain::NeverCancelled never;
    for (auto _ : state) {
        auto output = runner.run(git_version(), std::nullopt, std::chrono::seconds(60), never);
        if (!output || output->exit_code != 0 || output->stdout_text.empty()) {
            state.SkipWithError("git --version failed through the runner");
            return;
        }
        benchmark::DoNotOptimize(output->stdout_text.data());
    }
}

void BM_ReferencePlainSpawn(benchmark::State& state) {
    char* argv[] = {const_cast<char*>("git"), const_cast<char*>("--version"), nullptr};
    for (auto _ : state) {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) {
            state.SkipWithError("pipe2 failed");
            return;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
        pid_t pid = 0;
        const int rc = ::posix_spawnp(&pid, "git", &actions, nullptr, argv, environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(fds[1]);
        if (rc != 0) {
            ::close(fds[0]);
            state.SkipWithError("posix_spawnp failed");
            return;
        }
        std::string out;
        char chunk[8192];
        for (ssize_t n; (n = ::read(fds[0], chunk, sizeof chunk)) != 0;) {
            if (n > 0) out.append(chunk, static_cast<std::size_t>(n));
            else if (errno != EINTR) break;
        }
        ::close(fds[0]);
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        benchmark::DoNotOptimize(out.data());
    }
}

}  // namespace

BENCHMARK(BM_ReferencePlainSpawn)->Iterations(kRuns)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ProcessRunnerGitVersion)->Iterations(kRuns)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
