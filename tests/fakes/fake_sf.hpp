#pragma once

// Test helper for the fake `sf` (tests/fakes/fake_sf.cpp; the scenario format is in README.md beside
// this file): build a scenario, point the fake at it, and read back the calls it recorded.
//
//   FakeSf fake;
//   fake.write(Scenario()
//                  .orgs({"dh"})
//                  .on_exact({"version", "--json"}, Answer::capture("version"))
//                  .on_prefix({"data", "query"}, Answer().out(R"({"status":0,"result":{}})")));
//   ScopedFakeSf installed(fake);  // sets the variables (and PATH) for the children of this process
//   ... run the code under test ...
//   EXPECT_EQ(fake.calls().at(0).args, (std::vector<std::string>{"version", "--json"}));

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <boost/json.hpp>

#include "support/test_paths.hpp"

namespace ambrel::testing::fake_sf {

inline constexpr const char* kScenarioVariable = "AMBREL_FAKE_SF_SCENARIO";
inline constexpr const char* kRecordVariable = "AMBREL_FAKE_SF_RECORD";

// The fake executable, named `sf`.
inline std::filesystem::path executable() { return fake_bin_dir() / "sf"; }

// A capture of the real CLI kept as a fixture: tests/fixtures/sf-cli/<file>.
inline std::filesystem::path capture_path(std::string_view file) {
    return tests_dir() / "fixtures" / "sf-cli" / std::string(file);
}

// What the fake does when a rule picks it. Setters return the answer, so they chain.
class Answer {
public:
    // Standard output / standard error, inline (${cwd}, ${pid} and ${arg:FLAG} are replaced) or
    // copied from a file.
    Answer& out(std::string text) { return set("stdout", std::move(text)); }
    Answer& out_file(const std::filesystem::path& file) { return set("stdoutFile", file.string()); }
    Answer& err(std::string text) { return set("stderr", std::move(text)); }
    Answer& err_file(const std::filesystem::path& file) { return set("stderrFile", file.string()); }
    // Writes the stream text this many times (both streams interleaved in slices).
    Answer& out_repeat(std::int64_t times) { return set("stdoutRepeat", times); }
    Answer& err_repeat(std::int64_t times) { return set("stderrRepeat", times); }
    Answer& exit_code(std::int64_t code) { return set("exitCode", code); }
    // Ends by this signal (after output and sleep) instead of exiting.
    Answer& signal(int number) { return set("signal", std::int64_t{number}); }
    // Sleeps after writing its output.
    Answer& sleep_ms(std::int64_t milliseconds) { return set("sleepMs", milliseconds); }
    Answer& ignore_sigterm() { return set("ignoreSigterm", true); }
    // Writes a file (a path relative to the working directory of the call).
    Answer& file(std::string path, std::string content) {
        files_.push_back(boost::json::object{{"path", std::move(path)}, {"content", std::move(content)}});
        return *this;
    }
    // Copies a directory tree to a path relative to the working directory.
    Answer& tree(std::string path, const std::filesystem::path& from) {
        files_.push_back(boost::json::object{{"path", std::move(path)}, {"tree", from.string()}});
        return *this;
    }
    // Answers `project retrieve start` from fixture orgs: each member of the --manifest file is copied
    // from <orgs>/<alias>/<package.xml type>/<member>/ into force-app/main/default of the working
    // directory; a member without files becomes a "cannot be found" problem.
    Answer& retrieve_from(const std::filesystem::path& orgs) { return set("retrieveFrom", orgs.string()); }
    // Answers a composite REST request (--body @FILE, --include form) with one success per record sent:
    // an update keeps its id, a create gets "a0N", the pid in ten digits and its index in five.
    Answer& composite_outcomes() { return set("compositeOutcomes", true); }
    // Leaves a process in its group that holds standard output open for `sleep_ms`; its pid goes to
    // `pid_file` when given.
    Answer& grandchild(std::int64_t sleep_ms, std::optional<std::filesystem::path> pid_file = {},
                       bool ignore_sigterm = false) {
        boost::json::object spec{{"sleepMs", sleep_ms}, {"ignoreSigterm", ignore_sigterm}};
        if (pid_file) spec["pidFile"] = pid_file->string();
        return set("grandchild", std::move(spec));
    }

    // The answer of a capture of the real CLI: NAME.out, NAME.err and the exit code in NAME.rc.
    static Answer capture(std::string_view name) {
        Answer answer;
        answer.out_file(capture_path(std::string(name) + ".out"));
        answer.err_file(capture_path(std::string(name) + ".err"));
        std::ifstream rc(capture_path(std::string(name) + ".rc"));
        std::int64_t code = 0;
        if (!(rc >> code)) throw std::runtime_error("no exit code in capture " + std::string(name));
        answer.exit_code(code);
        return answer;
    }

    boost::json::object to_json() const {
        boost::json::object json = fields_;
        if (!files_.empty()) json["files"] = files_;
        return json;
    }

private:
    Answer& set(std::string_view key, boost::json::value value) {
        fields_[key] = std::move(value);
        return *this;
    }
    Answer& set(std::string_view key, std::string_view text) {
        fields_[key] = text;
        return *this;
    }

    boost::json::object fields_;
    boost::json::array files_;
};

// Rules are tried in order; the first that matches answers.
class Scenario {
public:
    // When set, a --target-org outside this list gets the CLI's NamedOrgNotFoundError (exit 2).
    Scenario& orgs(std::vector<std::string> known) {
        json_["orgs"] = to_array(known);
        return *this;
    }
    // The arguments (without the program) equal these words.
    Scenario& on_exact(std::vector<std::string> words, const Answer& answer,
                       std::map<std::string, std::optional<std::string>> env = {}) {
        return add("exact", words, answer, env);
    }
    // The arguments begin with these words.
    Scenario& on_prefix(std::vector<std::string> words, const Answer& answer,
                        std::map<std::string, std::optional<std::string>> env = {}) {
        return add("prefix", words, answer, env);
    }
    // Every one of these words is among the arguments.
    Scenario& on_contains(std::vector<std::string> words, const Answer& answer,
                          std::map<std::string, std::optional<std::string>> env = {}) {
        return add("contains", words, answer, env);
    }
    // The answer when no rule matches (without one the fake fails with exit code 99).
    Scenario& otherwise(const Answer& answer) {
        json_["default"] = answer.to_json();
        return *this;
    }
    // Off: FORCE_COLOR in the environment no longer colours --json output.
    Scenario& honour_force_color(bool on) {
        json_["honourForceColor"] = on;
        return *this;
    }

    boost::json::object to_json() const {
        boost::json::object json = json_;
        json["rules"] = rules_;
        return json;
    }

private:
    static boost::json::array to_array(const std::vector<std::string>& words) {
        boost::json::array array;
        for (const auto& word : words) array.emplace_back(word);
        return array;
    }

    Scenario& add(std::string_view kind, const std::vector<std::string>& words, const Answer& answer,
                  const std::map<std::string, std::optional<std::string>>& env) {
        boost::json::object rule = answer.to_json();
        rule[kind] = to_array(words);
        if (!env.empty()) {
            boost::json::object condition;
            for (const auto& [name, value] : env) {
                if (value) {
                    condition[name] = *value;
                } else {
                    condition[name] = nullptr;
                }
            }
            rule["env"] = std::move(condition);
        }
        rules_.push_back(std::move(rule));
        return *this;
    }

    boost::json::object json_;
    boost::json::array rules_;
};

// One call the fake recorded.
struct RecordedCall {
    std::string program;
    std::vector<std::string> args;
    std::string cwd;
    // For `--body @FILE`: the file's content while the call ran (none when it could not be read);
    // absent for calls without such an argument.
    std::optional<std::optional<std::string>> body_file_content;
    // For `--file FILE` (the bulk commands' data file): likewise.
    std::optional<std::optional<std::string>> data_file_content;
    // SF_*, FORCE_COLOR and NO_COLOR as the fake saw them.
    std::map<std::string, std::string> env;
    // The open file descriptors at start: number → link target ("pipe:[123]", "/dev/null", …).
    std::map<int, std::string> fds;
    std::int64_t pid = 0;
    std::int64_t pgid = 0;
    // For a call with --source-dir: the regular files below that folder as the call saw them, by path
    // below it ("/"-separated), with their content.
    std::map<std::string, std::string> source_dir_files;
};

// A private folder with the scenario file and the record file of one test.
class FakeSf {
public:
    FakeSf() = default;

    const std::filesystem::path& dir() const { return dir_.path(); }
    std::filesystem::path scenario_file() const { return dir_.path() / "scenario.json"; }
    std::filesystem::path record_file() const { return dir_.path() / "calls.jsonl"; }

    void write(const Scenario& scenario) const {
        std::ofstream out(scenario_file(), std::ios::trunc);
        out << boost::json::serialize(scenario.to_json());
        if (!out) throw std::runtime_error("cannot write the fake sf scenario");
    }

    // The variables that point the fake at this scenario and record, for run_with_env callers.
    std::vector<std::pair<std::string, std::string>> environment() const {
        return {{kScenarioVariable, scenario_file().string()}, {kRecordVariable, record_file().string()}};
    }

    // Every call recorded so far, in order.
    std::vector<RecordedCall> calls() const {
        std::vector<RecordedCall> calls;
        std::ifstream in(record_file());
        std::string line;
        while (std::getline(in, line)) {
            if (line.empty()) continue;
            const boost::json::object json = boost::json::parse(line).as_object();
            RecordedCall call;
            call.program = json.at("program").as_string();
            for (const auto& arg : json.at("args").as_array()) call.args.emplace_back(arg.as_string());
            call.cwd = json.at("cwd").as_string();
            if (const auto* body = json.if_contains("bodyFileContent")) {
                call.body_file_content = body->is_string() ? std::optional<std::string>(std::string(body->as_string()))
                                                           : std::optional<std::string>();
            }
            if (const auto* data = json.if_contains("dataFileContent")) {
                call.data_file_content = data->is_string() ? std::optional<std::string>(std::string(data->as_string()))
                                                           : std::optional<std::string>();
            }
            for (const auto& [name, value] : json.at("env").as_object()) {
                call.env.emplace(name, value.as_string());
            }
            for (const auto& [fd, target] : json.at("fds").as_object()) {
                call.fds.emplace(std::stoi(std::string(fd)), target.as_string());
            }
            call.pid = json.at("pid").as_int64();
            call.pgid = json.at("pgid").as_int64();
            if (const auto* files = json.if_contains("sourceDirFiles")) {
                for (const auto& [file, content] : files->as_object()) {
                    call.source_dir_files.emplace(file, content.as_string());
                }
            }
            calls.push_back(std::move(call));
        }
        return calls;
    }

private:
    TempDir dir_;
};

// Sets the fake's variables in this process's environment (children inherit them) and, unless asked
// otherwise, puts the fake's folder first on PATH; restores everything when it goes away. Not for use
// while other threads read the environment.
class ScopedFakeSf {
public:
    explicit ScopedFakeSf(const FakeSf& fake, bool prepend_to_path = true) {
        for (const auto& [name, value] : fake.environment()) set(name, value);
        if (prepend_to_path) {
            const char* path = std::getenv("PATH");
            std::string value = fake_bin_dir().string();
            if (path != nullptr && *path != '\0') value += std::string(":") + path;
            set("PATH", value);
        }
    }
    ScopedFakeSf(const ScopedFakeSf&) = delete;
    ScopedFakeSf& operator=(const ScopedFakeSf&) = delete;
    ~ScopedFakeSf() {
        for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
            if (it->second) {
                ::setenv(it->first.c_str(), it->second->c_str(), 1);
            } else {
                ::unsetenv(it->first.c_str());
            }
        }
    }

private:
    void set(const std::string& name, const std::string& value) {
        const char* old = std::getenv(name.c_str());
        saved_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
        ::setenv(name.c_str(), value.c_str(), 1);
    }

    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

}  // namespace ambrel::testing::fake_sf
