// The server driven by an independent JSON-RPC client: the pinned npm package vscode-jsonrpc, installed
// by scripts/test into tools/jsonrpc-client. The client script checks initialize, getState, a state
// notification, a refused method, a parse error, cancel, shutdown and the exit status.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "support/node.hpp"
#include "support/test_paths.hpp"

extern char** environ;

namespace ambrel::server {
namespace {

using ambrel::testing::TempDir;

TEST(EndToEnd, AnIndependentJsonRpcClientDrivesTheServer) {
    const auto node = ambrel::testing::node_executable();
    const auto modules = ambrel::testing::real_sf_dir().parent_path() / "jsonrpc-client" / "node_modules";
    if (!node || !std::filesystem::exists(modules / "vscode-jsonrpc")) {
        AMBREL_SKIP_UNLESS_CI("node or the pinned vscode-jsonrpc client is missing (run scripts/install-jsonrpc-client)");
    }
    TempDir root;
    const std::string script = (ambrel::testing::tests_dir() / "server" / "client" / "end_to_end.js").string();
    std::vector<std::string> args = {node->string(), script, AMBREL_SERVER_EXE, root.path().string()};
    std::vector<char*> argv;
    for (auto& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    std::vector<std::string> env_texts = {"NODE_PATH=" + modules.string()};
    for (char** entry = environ; *entry != nullptr; ++entry) {
        if (!std::string_view(*entry).starts_with("NODE_PATH=")) env_texts.emplace_back(*entry);
    }
    std::vector<char*> envp;
    for (auto& text : env_texts) envp.push_back(text.data());
    envp.push_back(nullptr);

    int out[2];
    ASSERT_EQ(::pipe2(out, O_CLOEXEC), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    pid_t pid = 0;
    const int spawned = ::posix_spawn(&pid, node->c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    ASSERT_EQ(spawned, 0);
    std::string output;
    char buffer[4096];
    for (ssize_t got; (got = ::read(out[0], buffer, sizeof buffer)) > 0;) output.append(buffer, static_cast<std::size_t>(got));
    ::close(out[0]);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << output;
    EXPECT_NE(output.find("ok the server exits with status 0"), std::string::npos) << output;
    EXPECT_EQ(output.find("FAIL"), std::string::npos) << output;
}

}  // namespace
}  // namespace ambrel::server
