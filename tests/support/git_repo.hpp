#pragma once

// Real git repositories for tests. `isolate_git_environment` gives this process (and so every git
// child) a private HOME, an empty global configuration, no system configuration and none of the
// GIT_DIR-style variables, so a test run from a git hook never touches the project's own repository.
// Each `GitRepo` gets its own identity; no test assumes the initial branch name.

#include <filesystem>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

namespace ambrel::testing {

// Once per process; true when git can be run.
bool isolate_git_environment();

// Runs git with the arguments in `directory` and returns its standard output; a failure fails the
// test (and returns what was printed).
std::string run_git(const std::filesystem::path& directory, const std::vector<std::string>& args);
// Exit code, standard output and standard error of one git run.
struct GitRun {
    int exit_code = 0;
    std::string out;
    std::string err;
};
GitRun try_git(const std::filesystem::path& directory, const std::vector<std::string>& args);

class GitRepo {
public:
    // `git init` (optionally bare) in a new folder `name` below `parent`, with its own identity.
    GitRepo(const std::filesystem::path& parent, std::string_view name, bool bare = false);

    const std::filesystem::path& path() const { return path_; }
    std::string git(const std::vector<std::string>& args) const { return run_git(path_, args); }
    // Writes a file (folders made as needed).
    void write(std::string_view relative, std::string_view content) const;
    // Stages everything and commits; returns the commit id.
    std::string commit_all(std::string_view message) const;
    std::string head() const;
    // The checked-out branch.
    std::string branch() const;

private:
    std::filesystem::path path_;
};

}  // namespace ambrel::testing
