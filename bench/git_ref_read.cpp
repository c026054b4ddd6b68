// Reading a branch of a repository: one content reader at the branch reads sfdx-project.json, lists the
// components of every catalogue type and materialises everything listed into a fresh folder. The
// repository is built in a temporary folder from the metadata corpus: the projects' force-app trees
// copied into 16 package directories (about 3,000 files, all listed in sfdx-project.json) and 200
// commits with a repack halfway, so objects lie both packed and loose. The reference is
// "git archive <branch> | tar -x" into a fresh folder, the cheapest way git offers to get the same
// files out.
//
// Target: the reader's run takes at most 1.5 times the reference.

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "domain/cancellation.hpp"
#include "git/gateway.hpp"
#include "git/layout.hpp"
#include "git/reader.hpp"
#include "metadata_types/metadata_type.hpp"
#include "platform_fs/files.hpp"
#include "process/process_runner.hpp"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using ambrel::git::GitContentReader;
using ambrel::git::SfdxLayout;

constexpr int kPackageDirectories = 16;
constexpr int kCommits = 200;

void git(const fs::path& repo, std::vector<std::string> args) {
    std::vector<std::string> argv{"git", "-C", repo.string()};
    argv.insert(argv.end(), args.begin(), args.end());
    const ambrel::process::DefaultProcessRunner runner;
    const ambrel::domain::NeverCancelled never;
    auto result = runner.run(argv, std::nullopt, std::chrono::minutes(5), never);
    if (!result || result->exit_code != 0) {
        throw std::runtime_error("git " + args.front() + " failed: " + (result ? result->stderr_text : std::string()));
    }
}

// Runs `left | right` without a shell; true when both exit with 0.
bool pipeline(std::vector<std::string> left, std::vector<std::string> right) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return false;
    auto spawn = [](std::vector<std::string>& words, int in, int out) {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        if (in >= 0) posix_spawn_file_actions_adddup2(&actions, in, STDIN_FILENO);
        if (out >= 0) posix_spawn_file_actions_adddup2(&actions, out, STDOUT_FILENO);
        std::vector<char*> argv;
        for (auto& word : words) argv.push_back(word.data());
        argv.push_back(nullptr);
        pid_t pid = -1;
        if (::posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
        posix_spawn_file_actions_destroy(&actions);
        return pid;
    };
    const pid_t writer = spawn(left, -1, fds[1]);
    const pid_t reader = spawn(right, fds[0], -1);
    ::close(fds[0]);
    ::close(fds[1]);
    int status_left = 1;
    int status_right = 1;
    if (writer > 0) ::waitpid(writer, &status_left, 0);
    if (reader > 0) ::waitpid(reader, &status_right, 0);
    return writer > 0 && reader > 0 && status_left == 0 && status_right == 0;
}

// Copies the tree with every component of package directory i renamed (its name gets the tag), so
// that the package directories hold different components rather than copies of the same ones.
void copy_tagged(const fs::path& from, const fs::path& to, const std::string& tag) {
    for (const auto& entry : fs::recursive_directory_iterator(from)) {
        if (!entry.is_regular_file()) continue;
        std::vector<std::string> parts;
        for (const auto& part : entry.path().lexically_relative(from)) parts.push_back(part.string());
        // main/default/<type folder>/<component>...: the component's name and the files named after it.
        if (!tag.empty() && parts.size() > 3) {
            const std::string stem = parts[3].substr(0, parts[3].find('.'));
            for (std::size_t k = 3; k < parts.size(); ++k) {
                if (parts[k] == stem || parts[k].starts_with(stem + ".")) parts[k].insert(stem.size(), tag);
            }
        }
        fs::path destination = to;
        for (const auto& part : parts) destination /= part;
        fs::create_directories(destination.parent_path());
        fs::copy_file(entry.path(), destination, fs::copy_options::overwrite_existing);
    }
}

struct Fixture {
    ambrel::platform_fs::files::PrivateTempDir root;
    fs::path repo;
    std::string branch;

    Fixture() : root(*ambrel::platform_fs::files::PrivateTempDir::create("ambrel-bench-git-")) {
        const fs::path home = root.path() / "home";
        fs::create_directories(home);
        std::ofstream(home / "gitconfig").flush();
        ::setenv("HOME", home.c_str(), 1);
        ::setenv("GIT_CONFIG_GLOBAL", (home / "gitconfig").c_str(), 1);
        ::setenv("GIT_CONFIG_NOSYSTEM", "1", 1);
        for (const char* name : {"GIT_DIR", "GIT_WORK_TREE", "GIT_INDEX_FILE", "GIT_OBJECT_DIRECTORY", "GIT_COMMON_DIR"}) {
            ::unsetenv(name);
        }
        repo = root.path() / "repo";
        fs::create_directories(repo);
        git(repo, {"init", "-q"});
        git(repo, {"config", "user.name", "Bench"});
        git(repo, {"config", "user.email", "bench@example.com"});
        git(repo, {"config", "gc.auto", "0"});
        std::string project = R"({"packageDirectories":[)";
        std::vector<fs::path> edited;
        const fs::path corpus = AMBREL_CORPUS_DIR;
        for (int i = 0; i < kPackageDirectories; ++i) {
            const std::string name = fmt::format("pkg{:02}", i);
            project += fmt::format(R"({}{{"path":"{}"}})", i == 0 ? "" : ",", name);
            for (const char* source : {"dreamhouse-lwc", "ebikes-lwc"}) {
                const fs::path from = corpus / source / "force-app";
                if (!fs::exists(from)) throw std::runtime_error("corpus missing: " + from.string());
                copy_tagged(from, repo / name, i == 0 ? std::string() : fmt::format("_p{:02}", i));
            }
        }
        project += "]}";
        std::ofstream(repo / "sfdx-project.json") << project;
        for (const auto& entry : fs::recursive_directory_iterator(repo / "pkg00")) {
            if (entry.is_regular_file()) edited.push_back(entry.path());
        }
        git(repo, {"add", "-A"});
        git(repo, {"commit", "-q", "-m", "corpus"});
        for (int commit = 1; commit < kCommits; ++commit) {
            std::ofstream(edited[static_cast<std::size_t>(commit) % edited.size()], std::ios::app) << "\n";
            git(repo, {"commit", "-q", "-a", "-m", fmt::format("edit {}", commit)});
            if (commit == kCommits / 2) git(repo, {"repack", "-q", "-d"});
        }
        const ambrel::process::DefaultProcessRunner runner;
        const ambrel::domain::NeverCancelled never;
        branch = runner.run({"git", "-C", repo.string(), "symbolic-ref", "--short", "HEAD"}, std::nullopt,
                            std::chrono::seconds(10), never)
                     ->stdout_text;
        while (!branch.empty() && branch.back() == '\n') branch.pop_back();
    }
};

Fixture& fixture() {
    static Fixture instance;
    return instance;
}

std::uint64_t bytes_below(const fs::path& folder) {
    std::uint64_t total = 0;
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
        if (entry.is_regular_file()) total += entry.file_size();
    }
    return total;
}

void BM_ReaderAtBranch(benchmark::State& state) {
    Fixture& f = fixture();
    ambrel::git::GitGateway gateway(std::make_unique<ambrel::process::DefaultProcessRunner>());
    const ambrel::git::ContainerDocuments documents;
    std::uint64_t bytes = 0;
    std::size_t files = 0;
    for (auto _ : state) {
        state.PauseTiming();
        auto target = *ambrel::platform_fs::files::PrivateTempDir::create("ambrel-bench-out-");
        state.ResumeTiming();
        {
            const GitContentReader reader(gateway, f.repo, f.branch);
            auto layout = SfdxLayout::read(reader);
            if (!layout) throw std::runtime_error(layout.error().message());
            ambrel::git::layout::Selection selection;
            for (auto type : ambrel::metadata_types::all_metadata_types()) {
                if (type.is_data_record()) continue;
                auto rows = ambrel::git::layout::list_components(reader, *layout, type, documents);
                if (!rows) throw std::runtime_error(rows.error().message());
                for (const auto& row : *rows) selection[type].insert(row.api_name);
            }
            auto done = ambrel::git::layout::materialize(reader, *layout, selection, target.path());
            if (!done) throw std::runtime_error(done.error().message());
        }
        state.PauseTiming();
        bytes = bytes_below(target.path());
        files = 0;
        for (const auto& entry : fs::recursive_directory_iterator(target.path())) files += entry.is_regular_file();
        (void)target.remove();
        state.ResumeTiming();
    }
    state.counters["files"] = static_cast<double>(files);
    state.SetBytesProcessed(static_cast<std::int64_t>(bytes * state.iterations()));
}
BENCHMARK(BM_ReaderAtBranch)->Unit(benchmark::kMillisecond)->Iterations(5);

void BM_GitArchiveReference(benchmark::State& state) {
    Fixture& f = fixture();
    std::uint64_t bytes = 0;
    for (auto _ : state) {
        state.PauseTiming();
        auto target = *ambrel::platform_fs::files::PrivateTempDir::create("ambrel-bench-ref-");
        state.ResumeTiming();
        if (!pipeline({"git", "-C", f.repo.string(), "archive", f.branch}, {"tar", "-x", "-C", target.path().string()})) {
            throw std::runtime_error("git archive | tar -x failed");
        }
        state.PauseTiming();
        bytes = bytes_below(target.path());
        (void)target.remove();
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(bytes * state.iterations()));
}
BENCHMARK(BM_GitArchiveReference)->Unit(benchmark::kMillisecond)->Iterations(5);

}  // namespace

BENCHMARK_MAIN();
