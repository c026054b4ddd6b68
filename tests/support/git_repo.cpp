#include "support/git_repo.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <mutex>

#include "domain/cancellation.hpp"
#include "process/process_runner.hpp"
#include "support/test_paths.hpp"
#include "text/text.hpp"

namespace ambrel::testing {
namespace {

constexpr const char* kRemovedVariables[] = {"GIT_DIR", "GIT_WORK_TREE", "GIT_INDEX_FILE", "GIT_OBJECT_DIRECTORY",
                                             "GIT_COMMON_DIR", "GIT_ALTERNATE_OBJECT_DIRECTORIES",
                                             "GIT_CEILING_DIRECTORIES", "GIT_NAMESPACE", "GIT_PREFIX"};

}  // namespace

bool isolate_git_environment() {
    static std::once_flag once;
    static bool usable = false;
    std::call_once(once, [] {
        // Lives for the process: every git child of every test reads it.
        static TempDir home;
        const std::filesystem::path config = home.path() / "gitconfig";
        std::ofstream(config).flush();
        ::setenv("HOME", home.path().c_str(), 1);
        ::setenv("GIT_CONFIG_GLOBAL", config.c_str(), 1);
        ::setenv("GIT_CONFIG_NOSYSTEM", "1", 1);
        ::setenv("GIT_TERMINAL_PROMPT", "0", 1);
        for (const char* name : kRemovedVariables) ::unsetenv(name);
        const process::DefaultProcessRunner runner;
        const domain::NeverCancelled never;
        auto result = runner.run({"git", "version"}, std::nullopt, std::chrono::seconds(10), never);
        usable = result && result->exit_code == 0;
    });
    return usable;
}

GitRun try_git(const std::filesystem::path& directory, const std::vector<std::string>& args) {
    std::vector<std::string> argv{"git", "-C", directory.string()};
    argv.insert(argv.end(), args.begin(), args.end());
    const process::DefaultProcessRunner runner;
    const domain::NeverCancelled never;
    auto result = runner.run(argv, std::nullopt, std::chrono::seconds(60), never);
    if (!result) return GitRun{-1, {}, result.error().message()};
    return GitRun{result->exit_code, result->stdout_text, result->stderr_text};
}

std::string run_git(const std::filesystem::path& directory, const std::vector<std::string>& args) {
    GitRun run = try_git(directory, args);
    std::string words;
    for (const auto& arg : args) words += arg + " ";
    EXPECT_EQ(run.exit_code, 0) << "git " << words << ": " << run.err;
    return run.out;
}

GitRepo::GitRepo(const std::filesystem::path& parent, std::string_view name, bool bare) : path_(parent / name) {
    std::filesystem::create_directories(path_);
    if (bare) {
        run_git(path_, {"init", "-q", "--bare"});
    } else {
        run_git(path_, {"init", "-q"});
    }
    run_git(path_, {"config", "user.name", "Test Person"});
    run_git(path_, {"config", "user.email", "test@example.com"});
    run_git(path_, {"config", "commit.gpgsign", "false"});
}

void GitRepo::write(std::string_view relative, std::string_view content) const {
    const std::filesystem::path file = path_ / std::filesystem::path(relative);
    std::filesystem::create_directories(file.parent_path());
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << content;
}

std::string GitRepo::commit_all(std::string_view message) const {
    run_git(path_, {"add", "-A"});
    run_git(path_, {"commit", "-q", "-m", std::string(message)});
    return head();
}

std::string GitRepo::head() const { return std::string(text::trim(run_git(path_, {"rev-parse", "HEAD"}))); }

std::string GitRepo::branch() const {
    return std::string(text::trim(run_git(path_, {"symbolic-ref", "--short", "HEAD"})));
}

}  // namespace ambrel::testing
