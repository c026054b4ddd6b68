// A git↔git compare through the real ambrel-server, driven over pipes with the project's framing as
// the front end drives it. A generator makes, once per run, an SFDX project of 300 custom objects with
// 20 fields and a layout each (6,600 components, the corpus documents as templates) over 300 commits,
// and a source branch one commit ahead that changes, adds and deletes about a tenth of the components.
// Endpoints, types and components are selected beforehand; the timed span runs from the compare
// request to the "reviewing" notification (then "workflow/back" for the next round, untimed). The
// server's peak resident memory is reported beside the times. Reference in the same run:
// `git diff --name-status` of the same two refs.
//
// Target: the compare takes at most 20 times the reference.
//
// The selection step is measured too: importing a manifest that names "*" for every type (see
// BM_GitImportStarManifestThroughServer), beside `git ls-tree -r -z` of the source branch.

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "domain/cancellation.hpp"
#include "metadata_types/metadata_type.hpp"
#include "platform_fs/files.hpp"
#include "process/process_runner.hpp"

extern char** environ;

namespace {

namespace fs = std::filesystem;

constexpr int kObjects = 300;
constexpr int kFieldsPerObject = 20;
// Of every object's fields on the source branch: one changed, and on every third object one added
// and one deleted (together about a tenth of all components).
constexpr int kDeleteEvery = 3;
constexpr std::string_view kTargetBranch = "target";
constexpr std::string_view kSourceBranch = "source";
constexpr std::chrono::minutes kStepTimeout{10};

std::string read_text(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path.string());
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string replaced(std::string text, std::string_view from, std::string_view to) {
    for (std::size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size()) {
        text.replace(at, from.size(), to);
    }
    return text;
}

std::string object_name(int i) { return fmt::format("Obj{:03}__c", i); }
std::string field_name(int j) { return fmt::format("Field{:02}__c", j); }

// The corpus documents the generated components are made from.
struct Templates {
    std::string object;
    std::string field;
    std::string layout;

    Templates() {
        const fs::path product = fs::path(AMBREL_CORPUS_DIR) / "ebikes-lwc/force-app/main/default";
        object = read_text(product / "objects/Product__c/Product__c.object-meta.xml");
        field = read_text(product / "objects/Product__c/fields/Material__c.field-meta.xml");
        layout = read_text(product / "layouts/Product__c-Product Layout.layout-meta.xml");
    }

    std::string field_document(const std::string& name, std::string_view label) const {
        return replaced(replaced(field, "<fullName>Material__c</fullName>", "<fullName>" + name + "</fullName>"),
                        "<label>Material</label>", fmt::format("<label>{}</label>", label));
    }
};

// One `git fast-import` stream: inline file modifications, commits on a branch.
class ImportStream {
public:
    void commit(std::string_view branch, std::string_view message, const std::vector<std::pair<std::string, std::string>>& files,
                const std::vector<std::string>& deleted = {}, std::string_view from = {}) {
        ++time_;
        out_ << "commit refs/heads/" << branch << "\n";
        out_ << "committer Bench <bench@ambrel.invalid> " << time_ << " +0000\n";
        out_ << "data " << message.size() << "\n" << message << "\n";
        if (!from.empty()) out_ << "from " << from << "\n";
        for (const auto& path : deleted) out_ << "D " << path << "\n";
        for (const auto& [path, content] : files) {
            out_ << "M 100644 inline " << path << "\n";
            out_ << "data " << content.size() << "\n" << content << "\n";
        }
        out_ << "\n";
    }
    std::string text() const { return out_.str(); }

private:
    std::ostringstream out_;
    std::int64_t time_ = 1'700'000'000;
};

pid_t spawn(const std::vector<std::string>& words, int in, int out) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (in >= 0) posix_spawn_file_actions_adddup2(&actions, in, STDIN_FILENO);
    if (out >= 0) posix_spawn_file_actions_adddup2(&actions, out, STDOUT_FILENO);
    std::vector<char*> argv;
    for (const auto& word : words) argv.push_back(const_cast<char*>(word.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int spawned = ::posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) throw std::runtime_error("could not start " + words.front());
    return pid;
}

int wait_for(pid_t pid) {
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

struct Fixture {
    ambrel::platform_fs::files::PrivateTempDir root;
    fs::path repo;
    std::vector<std::string> fields;
    std::vector<std::string> objects;
    std::vector<std::string> layouts;

    Fixture() : root(*ambrel::platform_fs::files::PrivateTempDir::create("ambrel-bench-compare-")) {
        for (const char* folder : {"home", "data"}) fs::create_directories(root.path() / folder);
        std::ofstream(root.path() / "home" / "gitconfig").flush();
        ::setenv("HOME", (root.path() / "home").c_str(), 1);
        ::setenv("XDG_DATA_HOME", (root.path() / "data").c_str(), 1);
        ::setenv("GIT_CONFIG_GLOBAL", (root.path() / "home" / "gitconfig").c_str(), 1);
        ::setenv("GIT_CONFIG_NOSYSTEM", "1", 1);
        for (const char* name : {"GIT_DIR", "GIT_WORK_TREE", "GIT_INDEX_FILE", "GIT_OBJECT_DIRECTORY", "GIT_COMMON_DIR"}) {
            ::unsetenv(name);
        }
        repo = root.path() / "repo";
        fs::create_directories(repo);
        if (wait_for(spawn({"git", "init", "-q", "-b", std::string(kTargetBranch), repo.string()}, -1, -1)) != 0) {
            throw std::runtime_error("git init failed");
        }
        const Templates templates;
        const std::string base = "force-app/main/default/";
        ImportStream stream;
        stream.commit(kTargetBranch, "project",
                      {{"sfdx-project.json",
                        R"({"packageDirectories":[{"path":"force-app","default":true}],"sourceApiVersion":"67.0"})"}});
        // One commit per object: the object, its fields and its layout.
        for (int i = 0; i < kObjects; ++i) {
            const std::string object = object_name(i);
            std::vector<std::pair<std::string, std::string>> files;
            files.emplace_back(fmt::format("{}objects/{}/{}.object-meta.xml", base, object, object),
                               replaced(templates.object, "<label>Product</label>", fmt::format("<label>Object {}</label>", i)));
            for (int j = 0; j < kFieldsPerObject; ++j) {
                files.emplace_back(fmt::format("{}objects/{}/fields/{}.field-meta.xml", base, object, field_name(j)),
                                   templates.field_document(field_name(j), fmt::format("Field {}", j)));
            }
            const std::string layout = fmt::format("{}-Object {} Layout", object, i);
            files.emplace_back(fmt::format("{}layouts/{}.layout-meta.xml", base, layout), templates.layout);
            stream.commit(kTargetBranch, fmt::format("object {}", i), files);
        }
        // The source branch: one commit ahead of the target.
        std::vector<std::pair<std::string, std::string>> changed;
        std::vector<std::string> deleted;
        for (int i = 0; i < kObjects; ++i) {
            const std::string object = object_name(i);
            objects.push_back(object);
            layouts.push_back(fmt::format("{}-Object {} Layout", object, i));
            for (int j = 0; j < kFieldsPerObject; ++j) {
                const bool gone = i % kDeleteEvery == 0 && j == kFieldsPerObject - 1;
                if (gone) {
                    deleted.push_back(fmt::format("{}objects/{}/fields/{}.field-meta.xml", base, object, field_name(j)));
                } else {
                    fields.push_back(object + "." + field_name(j));
                }
            }
            changed.emplace_back(fmt::format("{}objects/{}/fields/{}.field-meta.xml", base, object, field_name(0)),
                                 templates.field_document(field_name(0), "Changed label"));
            if (i % kDeleteEvery == 0) {
                const std::string added = fmt::format("Added{:03}__c", i);
                changed.emplace_back(fmt::format("{}objects/{}/fields/{}.field-meta.xml", base, object, added),
                                     templates.field_document(added, "Added"));
                fields.push_back(object + "." + added);
            }
        }
        stream.commit(kSourceBranch, "source changes", changed, deleted, fmt::format("refs/heads/{}", kTargetBranch));
        const fs::path stream_file = root.path() / "import.stream";
        std::ofstream(stream_file, std::ios::binary) << stream.text();
        const int in = ::open(stream_file.c_str(), O_RDONLY | O_CLOEXEC);
        if (in < 0) throw std::runtime_error("cannot open the import stream");
        const pid_t importer = spawn({"git", "-C", repo.string(), "fast-import", "--quiet"}, in, -1);
        ::close(in);
        if (wait_for(importer) != 0) throw std::runtime_error("git fast-import failed");
        // A working tree on the target, as a user's clone has.
        if (wait_for(spawn({"git", "-C", repo.string(), "checkout", "-q", "-f", std::string(kTargetBranch)}, -1, -1)) != 0) {
            throw std::runtime_error("git checkout failed");
        }
    }
};

Fixture& fixture() {
    static Fixture instance;
    return instance;
}

std::string json_string(std::string_view text) {
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out + "\"";
}

std::string json_strings(const std::vector<std::string>& names) {
    std::string out = "[";
    for (std::size_t k = 0; k < names.size(); ++k) {
        if (k > 0) out += ',';
        out += json_string(names[k]);
    }
    return out + "]";
}

// The server over two pipes: framed requests out, framed messages in.
class ServerPipe {
public:
    explicit ServerPipe(const std::string& executable) {
        int in[2], out[2];
        if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
        pid_ = spawn({executable}, in[0], out[1]);
        ::close(in[0]);
        ::close(out[1]);
        to_ = in[1];
        from_ = out[0];
    }
    ~ServerPipe() {
        if (to_ >= 0) ::close(to_);
        if (from_ >= 0) ::close(from_);
        if (pid_ > 0) wait_for(pid_);
    }
    ServerPipe(const ServerPipe&) = delete;
    ServerPipe& operator=(const ServerPipe&) = delete;

    pid_t pid() const { return pid_; }

    void send(const std::string& method, const std::string& params) {
        const std::string body = fmt::format(R"({{"jsonrpc":"2.0","id":{},"method":"{}"{}}})", ++id_, method,
                                             params.empty() ? "" : ",\"params\":" + params);
        const std::string frame = fmt::format("Content-Length: {}\r\n\r\n{}", body.size(), body);
        for (std::string_view rest = frame; !rest.empty();) {
            const ssize_t wrote = ::write(to_, rest.data(), rest.size());
            if (wrote <= 0) throw std::runtime_error("the server stopped reading");
            rest.remove_prefix(static_cast<std::size_t>(wrote));
        }
    }

    // Reads messages until a state notification of `kind` with no operation running; an error
    // state throws with its text.
    void wait_for_state(std::string_view kind) {
        const std::string wanted = fmt::format(R"("params":{{"state":{{"kind":"{}")", kind);
        for (;;) {
            const std::string message = next();
            // A refused request answers with an error and changes no state: waiting on would hang.
            if (message.find(R"("error":{"code")") != std::string::npos) {
                throw std::runtime_error("the server refused a request: " + message.substr(0, 2000));
            }
            if (message.find(R"("params":{"state":{"kind":"error")") != std::string::npos) {
                throw std::runtime_error("the server showed an error: " + message.substr(0, 2000));
            }
            if (message.find(wanted) != std::string::npos && message.find("\"activeOperation\"") == std::string::npos) {
                return;
            }
        }
    }

    // Ends the session: no more requests, and everything the server still writes (the answer to
    // "shutdown") is read, so it never writes into a closed pipe.
    void close_input() {
        ::close(to_);
        to_ = -1;
        char chunk[65536];
        while (::read(from_, chunk, sizeof chunk) > 0) {
        }
    }

private:
    std::string next() {
        for (;;) {
            const std::size_t header_end = buffer_.find("\r\n\r\n");
            if (header_end != std::string::npos) {
                const std::size_t at = buffer_.find("Content-Length: ");
                const std::size_t length = std::stoul(buffer_.substr(at + 16, header_end - at - 16));
                if (buffer_.size() >= header_end + 4 + length) {
                    std::string body = buffer_.substr(header_end + 4, length);
                    buffer_.erase(0, header_end + 4 + length);
                    return body;
                }
            }
            char chunk[65536];
            const ssize_t got = ::read(from_, chunk, sizeof chunk);
            if (got <= 0) throw std::runtime_error("the server closed its output");
            buffer_.append(chunk, static_cast<std::size_t>(got));
        }
    }

    pid_t pid_ = -1;
    int to_ = -1;
    int from_ = -1;
    std::uint64_t id_ = 0;
    std::string buffer_;
};

// The peak resident set of a live process in MiB (VmHWM), or 0 when it cannot be read.
double peak_rss_mib(pid_t pid) {
    std::ifstream status(fmt::format("/proc/{}/status", pid));
    for (std::string line; std::getline(status, line);) {
        if (line.starts_with("VmHWM:")) return std::stod(line.substr(6)) / 1024.0;
    }
    return 0.0;
}

std::string git_endpoint(const fs::path& repo, std::string_view branch, bool current) {
    return fmt::format(R"({{"endpoint":{{"kind":"git","path":{},"branch":{{"name":"{}","kind":"local","isCurrent":{}}}}}}})",
                       json_string(repo.string()), branch, current ? "true" : "false");
}

// Initialises the server on the fixture's workspace and chooses its source and target branches.
void choose_branches(ServerPipe& server, const Fixture& f) {
    server.send("initialize", fmt::format(R"({{"protocolVersion":41,"workspaceRoot":{},"capabilities":{{"log":"off"}}}})",
                                          json_string(f.root.path().string())));
    server.send("workflow/selectSource", git_endpoint(f.repo, kSourceBranch, false));
    server.wait_for_state("selecting");
    server.send("workflow/selectTarget", git_endpoint(f.repo, kTargetBranch, true));
    server.wait_for_state("selecting");
}

void BM_GitCompareThroughServer(benchmark::State& state) {
    Fixture& f = fixture();
    ServerPipe server(AMBREL_SERVER_EXE);
    choose_branches(server, f);
    // The screen opens on "Objects & Custom Fields", whose names are object names (each brings the
    // object and its fields); moving on to layouts hands that choice over.
    server.send("workflow/selectMetadataType",
                fmt::format(R"({{"metadataType":"Layout","currentSelection":{}}})", json_strings(f.objects)));
    server.wait_for_state("selecting");
    const std::string compare = fmt::format(R"({{"currentSelection":{}}})", json_strings(f.layouts));
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        server.send("workflow/compare", compare);
        server.wait_for_state("reviewing");
        state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        server.send("workflow/back", "");
        server.wait_for_state("selecting");
    }
    state.counters["components"] = static_cast<double>(f.fields.size() + f.objects.size() + f.layouts.size());
    state.counters["server_peak_rss_MiB"] = peak_rss_mib(server.pid());
    server.send("shutdown", "");
    server.close_input();
}
BENCHMARK(BM_GitCompareThroughServer)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);

// A `git` first on PATH that appends one line per call to a log and runs the real git.
class CountedGit {
public:
    explicit CountedGit(const fs::path& folder) : log_(folder / "calls.log") {
        fs::create_directories(folder);
        const char* path = std::getenv("PATH");
        const std::string search = path != nullptr ? path : "";
        std::string real;
        for (std::size_t start = 0; real.empty() && start <= search.size();) {
            std::size_t end = search.find(':', start);
            if (end == std::string::npos) end = search.size();
            const fs::path candidate = fs::path(search.substr(start, end - start)) / "git";
            if (::access(candidate.c_str(), X_OK) == 0) real = candidate.string();
            start = end + 1;
        }
        if (real.empty()) throw std::runtime_error("git is not on PATH");
        std::ofstream(folder / "git") << "#!/bin/sh\necho \"$*\" >> '" << log_.string() << "'\nexec '" << real
                                      << "' \"$@\"\n";
        fs::permissions(folder / "git", fs::perms::owner_all);
        path_ = folder.string() + ":" + search;
    }

    // PATH with the counting git first.
    const std::string& path() const { return path_; }
    void clear() const { fs::remove(log_); }
    std::size_t calls() const {
        std::ifstream in(log_);
        std::size_t lines = 0;
        for (std::string line; std::getline(in, line);) ++lines;
        return lines;
    }

private:
    fs::path log_;
    std::string path_;
};

// The git processes the import of a manifest may start, whatever the number of types it names.
constexpr std::size_t kMaxImportGitProcesses = 12;

// The selection step before the compare: a package.xml naming "*" for every type of the catalogue
// imported with the source branch chosen, so every type is listed from the branch. The timed span runs
// from the request to the "selecting" notification; the git processes the server started for it are
// counted (the benchmark fails above 12). Reference: `git ls-tree -r -z` of the source branch.
// Target: the import takes at most 5 times the reference.
void BM_GitImportStarManifestThroughServer(benchmark::State& state) {
    Fixture& f = fixture();
    const fs::path manifest = f.root.path() / "star-package.xml";
    std::size_t types = 0;
    {
        std::ofstream out(manifest);
        out << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Package xmlns=\"http://soap.sforce.com/2006/04/metadata\">\n";
        for (const auto type : ambrel::metadata_types::all_metadata_types()) {
            if (type.is_data_record()) continue;
            out << "    <types>\n        <members>*</members>\n        <name>" << type.wire_id() << "</name>\n    </types>\n";
            ++types;
        }
        out << "    <version>65.0</version>\n</Package>\n";
    }
    const CountedGit git(f.root.path() / "counted-git");
    const char* old = std::getenv("PATH");
    const std::string old_path = old != nullptr ? old : "";
    ::setenv("PATH", git.path().c_str(), 1);
    ServerPipe server(AMBREL_SERVER_EXE);
    ::setenv("PATH", old_path.c_str(), 1);
    choose_branches(server, f);
    const std::string import = fmt::format(R"({{"path":{}}})", json_string(manifest.string()));
    std::size_t most = 0;
    for (auto _ : state) {
        git.clear();
        const auto start = std::chrono::steady_clock::now();
        server.send("workflow/importManifest", import);
        server.wait_for_state("selecting");
        state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        most = std::max(most, git.calls());
    }
    state.counters["types"] = static_cast<double>(types);
    state.counters["git_processes"] = static_cast<double>(most);
    state.counters["server_peak_rss_MiB"] = peak_rss_mib(server.pid());
    server.send("shutdown", "");
    server.close_input();
    if (most > kMaxImportGitProcesses) {
        state.SkipWithError(fmt::format("the import started {} git processes (at most {})", most, kMaxImportGitProcesses).c_str());
    }
}
BENCHMARK(BM_GitImportStarManifestThroughServer)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_GitLsTreeReference(benchmark::State& state) {
    Fixture& f = fixture();
    const ambrel::process::DefaultProcessRunner runner;
    const ambrel::domain::NeverCancelled never;
    for (auto _ : state) {
        auto result = runner.run({"git", "-C", f.repo.string(), "ls-tree", "-r", "-z", std::string(kSourceBranch)},
                                 std::nullopt, kStepTimeout, never);
        if (!result || result->exit_code != 0) throw std::runtime_error("git ls-tree failed");
        benchmark::DoNotOptimize(result->stdout_text.size());
    }
}
BENCHMARK(BM_GitLsTreeReference)->Unit(benchmark::kMillisecond)->Iterations(10);

void BM_GitDiffNameStatusReference(benchmark::State& state) {
    Fixture& f = fixture();
    const ambrel::process::DefaultProcessRunner runner;
    const ambrel::domain::NeverCancelled never;
    std::size_t lines = 0;
    for (auto _ : state) {
        auto result = runner.run({"git", "-C", f.repo.string(), "diff", "--name-status", std::string(kTargetBranch),
                                  std::string(kSourceBranch)},
                                 std::nullopt, kStepTimeout, never);
        if (!result || result->exit_code != 0) throw std::runtime_error("git diff failed");
        lines = static_cast<std::size_t>(std::count(result->stdout_text.begin(), result->stdout_text.end(), '\n'));
    }
    state.counters["changed_files"] = static_cast<double>(lines);
}
BENCHMARK(BM_GitDiffNameStatusReference)->Unit(benchmark::kMillisecond)->Iterations(10);

}  // namespace

BENCHMARK_MAIN();
