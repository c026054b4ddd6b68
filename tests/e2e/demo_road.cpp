#include "e2e/demo_road.hpp"

#include <unistd.h>

#include <chrono>
#include <cstdlib>

#include "domain/cancellation.hpp"
#include "process/process_runner.hpp"
#include "support/test_paths.hpp"

namespace ambrel::testing::e2e {
namespace {

constexpr std::chrono::minutes kRunTimeout{10};

std::filesystem::path source_dir() { return AMBREL_SOURCE_DIR; }

RunOutput run(const std::vector<std::string>& argv, const std::vector<process::EnvironmentPair>& environment) {
    const process::DefaultProcessRunner runner;
    const domain::NeverCancelled never;
    auto result = runner.run_with_env(argv, std::nullopt, kRunTimeout, never, environment);
    if (!result) return RunOutput{-1, result.error().message()};
    return RunOutput{result->exit_code, result->stdout_text + result->stderr_text};
}

}  // namespace

std::optional<std::filesystem::path> find_on_path(std::string_view name) {
    const char* path = std::getenv("PATH");
    if (path == nullptr) return std::nullopt;
    std::string_view rest = path;
    while (!rest.empty()) {
        const std::size_t colon = rest.find(':');
        const std::filesystem::path candidate = std::filesystem::path(rest.substr(0, colon)) / name;
        if (::access(candidate.c_str(), X_OK) == 0) return candidate;
        if (colon == std::string_view::npos) break;
        rest.remove_prefix(colon + 1);
    }
    return std::nullopt;
}

std::filesystem::path client_modules() { return source_dir() / "tools" / "jsonrpc-client" / "node_modules"; }

bool client_installed() {
    return find_on_path("node").has_value() && std::filesystem::exists(client_modules() / "vscode-jsonrpc");
}

RunOutput make_demo_repo(const std::filesystem::path& repo, std::string_view checkout) {
    return run({(source_dir() / "scripts" / "make-demo-repo").string(), repo.string(), std::string(checkout)}, {});
}

RunOutput run_demo(const std::filesystem::path& root, const std::filesystem::path& repo,
                   const std::vector<std::string>& extra) {
    std::filesystem::create_directories(root / "home");
    std::filesystem::create_directories(root / "data");
    std::vector<std::string> argv{find_on_path("node")->string(),
                                  (source_dir() / "tools" / "jsonrpc-client" / "demo.js").string(),
                                  "--server", AMBREL_SERVER_EXE,
                                  "--root", root.string(),
                                  "--repo", repo.string(),
                                  "--source", std::string(kSourceBranch),
                                  "--target", std::string(kTargetBranch)};
    argv.insert(argv.end(), extra.begin(), extra.end());
    return run(argv, {{"HOME", (root / "home").string()},
                      {"XDG_DATA_HOME", (root / "data").string()},
                      {"NODE_PATH", client_modules().string()},
                      {"GIT_AUTHOR_NAME", "Ambrel Test"},
                      {"GIT_AUTHOR_EMAIL", "test@ambrel.invalid"},
                      {"GIT_COMMITTER_NAME", "Ambrel Test"},
                      {"GIT_COMMITTER_EMAIL", "test@ambrel.invalid"}});
}

RunOutput run_load_orgs(const std::filesystem::path& root, const std::string& path) {
    std::filesystem::create_directories(root / "home");
    std::filesystem::create_directories(root / "data");
    return run({find_on_path("node")->string(),
                (source_dir() / "tools" / "jsonrpc-client" / "load_orgs.js").string(), AMBREL_SERVER_EXE,
                root.string()},
               {{"HOME", (root / "home").string()},
                {"XDG_DATA_HOME", (root / "data").string()},
                {"NODE_PATH", client_modules().string()},
                {"PATH", path}});
}

}  // namespace ambrel::testing::e2e
