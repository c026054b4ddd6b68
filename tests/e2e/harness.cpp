#include "e2e/harness.hpp"

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "domain/cancellation.hpp"
#include "process/process_runner.hpp"
#include "support/node.hpp"
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

std::filesystem::path client_modules() { return source_dir() / "tools" / "jsonrpc-client" / "node_modules"; }

bool client_installed() {
    return node_executable().has_value() && std::filesystem::exists(client_modules() / "vscode-jsonrpc");
}

RunOutput make_demo_repo(const std::filesystem::path& repo, std::string_view checkout) {
    return run({(source_dir() / "scripts" / "make-demo-repo").string(), repo.string(), std::string(checkout)}, {});
}

RunOutput run_demo(const std::filesystem::path& root, const std::filesystem::path& repo,
                   const std::vector<std::string>& extra) {
    std::filesystem::create_directories(root / "home");
    std::filesystem::create_directories(root / "data");
    std::vector<std::string> argv{node_executable()->string(),
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

std::vector<boost::json::object> SessionOutput::states() const {
    std::vector<boost::json::object> states;
    for (const auto& event : events) {
        if (event.at("event") == "state") states.push_back(event.at("state").as_object());
    }
    return states;
}

std::optional<boost::json::object> SessionOutput::last_state(std::string_view kind) const {
    std::optional<boost::json::object> last;
    for (auto& state : states()) {
        const auto* active = state.if_contains("activeOperation");
        if (state.at("kind").is_string() && state.at("kind").as_string() == kind && (active == nullptr || active->is_null())) last = std::move(state);
    }
    return last;
}

std::optional<boost::json::value> SessionOutput::answer(int step) const {
    for (const auto& event : events) {
        if (event.at("event") == "answer" && event.at("step").to_number<int>() == step) return event.at("result");
    }
    return std::nullopt;
}

std::vector<std::string> SessionOutput::progress_messages() const {
    std::vector<std::string> messages;
    for (const auto& event : events) {
        if (event.at("event") != "progress") continue;
        if (const auto* message = event.at("params").as_object().if_contains("message"); message && message->is_string()) {
            messages.emplace_back(message->as_string());
        }
    }
    return messages;
}

SessionOutput run_session(const std::filesystem::path& root, boost::json::object script,
                          const std::vector<std::pair<std::string, std::string>>& environment) {
    std::filesystem::create_directories(root / "home");
    std::filesystem::create_directories(root / "data");
    std::filesystem::create_directories(root / "workspace");
    auto& initialize = script["initialize"];
    if (!initialize.is_object()) initialize = boost::json::object{};
    initialize.as_object()["workspaceRoot"] = (root / "workspace").string();
    const auto script_file = root / "session.json";
    {
        std::ofstream out(script_file, std::ios::trunc);
        out << boost::json::serialize(script);
    }
    std::vector<process::EnvironmentPair> pairs{{"HOME", (root / "home").string()},
                                                {"XDG_DATA_HOME", (root / "data").string()},
                                                {"NODE_PATH", client_modules().string()}};
    for (const auto& [name, value] : environment) pairs.emplace_back(name, value);
    const auto ran = run({node_executable()->string(),
                          (source_dir() / "tools" / "jsonrpc-client" / "session.js").string(), "--server",
                          AMBREL_SERVER_EXE, "--script", script_file.string()},
                         pairs);
    SessionOutput output{ran.exit_code, ran.out, {}};
    std::istringstream lines(ran.out);
    for (std::string line; std::getline(lines, line);) {
        if (!line.starts_with("{\"event\"")) continue;
        boost::system::error_code error;
        auto parsed = boost::json::parse(line, error);
        if (!error && parsed.is_object()) output.events.push_back(std::move(parsed.as_object()));
    }
    return output;
}

fake_sf::Answer unanswered_call() {
    return fake_sf::Answer().err("fake sf: no rule answers this call\n").exit_code(kUnansweredExitCode);
}

std::vector<std::pair<std::string, std::string>> fake_sf_environment(const fake_sf::FakeSf& sf) {
    auto environment = sf.environment();
    const char* path = std::getenv("PATH");
    environment.emplace_back("PATH", fake_bin_dir().string() + (path != nullptr ? std::string(":") + path : ""));
    return environment;
}

RunOutput run_load_orgs(const std::filesystem::path& root, const std::string& path) {
    std::filesystem::create_directories(root / "home");
    std::filesystem::create_directories(root / "data");
    return run({node_executable()->string(),
                (source_dir() / "tools" / "jsonrpc-client" / "load_orgs.js").string(), AMBREL_SERVER_EXE,
                root.string()},
               {{"HOME", (root / "home").string()},
                {"XDG_DATA_HOME", (root / "data").string()},
                {"NODE_PATH", client_modules().string()},
                {"PATH", path}});
}

}  // namespace ambrel::testing::e2e
