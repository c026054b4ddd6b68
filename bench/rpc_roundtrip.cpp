// The cost of the server's request road: 10,000 "workflow/getState" requests (after "initialize",
// before "shutdown") sent over pipes through the real ambrel-server executable, each answered in a
// frame of its own, measured against the same input bytes echoed by `cat` in the same run.
// Target: the server takes at most 3 times as long as the echo.

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <thread>

#include <benchmark/benchmark.h>

extern char** environ;

namespace {

constexpr int kRequests = 10'000;

std::string framed(std::string_view body) {
    return "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + std::string(body);
}

const std::string& session_input() {
    static const std::string input = [] {
        const auto root = std::filesystem::temp_directory_path() / "ambrel-rpc-roundtrip";
        std::filesystem::create_directories(root);
        std::string text = framed(R"({"jsonrpc":"2.0","id":0,"method":"initialize","params":{"protocolVersion":41,"workspaceRoot":")" +
                                  root.string() + R"(","capabilities":{"log":"off"}}})");
        for (int id = 1; id <= kRequests; ++id) {
            text += framed(R"({"jsonrpc":"2.0","id":)" + std::to_string(id) + R"(,"method":"workflow/getState"})");
        }
        text += framed(R"({"jsonrpc":"2.0","id":"end","method":"shutdown"})");
        return text;
    }();
    return input;
}

// Runs the program with the input on its standard input and returns how many bytes it wrote.
std::size_t round_trip(const char* program, const std::string& input) {
    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    char* argv[] = {const_cast<char*>(program), nullptr};
    pid_t pid = 0;
    const int spawned = ::posix_spawnp(&pid, program, &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    if (spawned != 0) throw std::runtime_error("could not start the program");
    std::thread feeder([fd = in[1], &input] {
        std::string_view rest = input;
        while (!rest.empty()) {
            const ssize_t put = ::write(fd, rest.data(), rest.size());
            if (put <= 0) break;
            rest.remove_prefix(static_cast<std::size_t>(put));
        }
        ::close(fd);
    });
    std::size_t total = 0;
    char buffer[1 << 16];
    for (ssize_t got; (got = ::read(out[0], buffer, sizeof buffer)) > 0;) total += static_cast<std::size_t>(got);
    ::close(out[0]);
    feeder.join();
    int status = 0;
    ::waitpid(pid, &status, 0);
    return total;
}

void run(benchmark::State& state, const char* program) {
    std::signal(SIGPIPE, SIG_IGN);
    const std::string& input = session_input();
    for (auto _ : state) benchmark::DoNotOptimize(round_trip(program, input));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(input.size()));
}

void BM_GetStateRoundTripThroughServer(benchmark::State& state) { run(state, AMBREL_SERVER_EXE); }
void BM_GetStateRoundTripReferenceCat(benchmark::State& state) { run(state, "cat"); }

BENCHMARK(BM_GetStateRoundTripThroughServer)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_GetStateRoundTripReferenceCat)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
