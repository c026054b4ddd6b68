// A stand-in for the Salesforce CLI `sf` in tests. It reads a scenario (a JSON file named by
// AMBREL_FAKE_SF_SCENARIO), records the call (AMBREL_FAKE_SF_RECORD), picks the first rule that
// matches its arguments and answers as the rule says. README.md beside this file describes the
// scenario format.

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <boost/json.hpp>

extern char** environ;

namespace {

namespace fs = std::filesystem;
namespace json = boost::json;

constexpr int kScenarioFault = 99;
constexpr std::string_view kBetaWarning =
    "Warning: This command is currently in beta. Any aspect of this command can change without "
    "advanced notice. Don't use beta commands in your scripts.\n";

[[noreturn]] void fault(const std::string& message) {
    std::string line = "fake sf: " + message + "\n";
    (void)!::write(STDERR_FILENO, line.data(), line.size());
    std::_Exit(kScenarioFault);
}

std::optional<std::string> environment(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr) return std::nullopt;
    return std::string(value);
}

std::string read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) fault("cannot read " + path.string());
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

void write_all(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written < 0) {
            if (errno == EINTR) continue;
            return;
        }
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
}

void sleep_ms(std::int64_t milliseconds) {
    if (milliseconds > 0) std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

struct Call {
    std::vector<std::string> args;  // without the program
    std::string cwd;
    fs::path scenario_dir;

    bool has(std::string_view word) const {
        for (const auto& arg : args) {
            if (arg == word) return true;
        }
        return false;
    }
    // The argument after the first occurrence of `flag`.
    std::optional<std::string> after(std::string_view flag) const {
        for (std::size_t i = 0; i + 1 < args.size(); ++i) {
            if (args[i] == flag) return args[i + 1];
        }
        return std::nullopt;
    }
    bool starts_with(std::initializer_list<std::string_view> words) const {
        if (args.size() < words.size()) return false;
        std::size_t i = 0;
        for (std::string_view word : words) {
            if (args[i++] != word) return false;
        }
        return true;
    }
};

// ${cwd}, ${pid} and ${arg:FLAG} (the argument after FLAG, empty when there is none).
std::string expand(std::string_view text, const Call& call) {
    std::string out;
    std::size_t position = 0;
    while (position < text.size()) {
        const std::size_t open = text.find("${", position);
        if (open == std::string_view::npos) break;
        const std::size_t close = text.find('}', open + 2);
        if (close == std::string_view::npos) break;
        out.append(text.substr(position, open - position));
        const std::string_view name = text.substr(open + 2, close - open - 2);
        if (name == "cwd") {
            out += call.cwd;
        } else if (name == "pid") {
            out += std::to_string(::getpid());
        } else if (name.starts_with("arg:")) {
            out += call.after(name.substr(4)).value_or("");
        } else {
            out.append(text.substr(open, close + 1 - open));
        }
        position = close + 1;
    }
    out.append(text.substr(position));
    return out;
}

fs::path scenario_relative(const Call& call, std::string_view path) {
    fs::path result(expand(path, call));
    return result.is_absolute() ? result : call.scenario_dir / result;
}

fs::path cwd_relative(const Call& call, std::string_view path) {
    fs::path result(expand(path, call));
    return result.is_absolute() ? result : fs::path(call.cwd) / result;
}

// The regular files below the folder after --source-dir (relative to the call's working directory),
// by their path below it, with their content; links are listed, never followed. Read while the call
// runs, since the caller removes the folder afterwards.
json::object source_dir_files(const Call& call) {
    json::object files;
    const auto folder = call.after("--source-dir");
    if (!folder) return files;
    const fs::path root = cwd_relative(call, *folder);
    std::error_code error;
    for (fs::recursive_directory_iterator it(root, error), end; !error && it != end; it.increment(error)) {
        std::error_code status_error;
        const fs::file_status status = it->symlink_status(status_error);
        if (status_error || !fs::is_regular_file(status)) continue;
        files[it->path().lexically_relative(root).generic_string()] = read_file(it->path());
    }
    return files;
}

// Appends one JSON line describing this call to the record file.
void record(const Call& call, const std::string& program, const std::string& path) {
    json::object line;
    json::array args;
    for (const auto& arg : call.args) args.emplace_back(arg);
    line["program"] = program;
    line["args"] = std::move(args);
    line["cwd"] = call.cwd;
    // The request body of a REST call exists only while the call runs: keep what it held.
    if (const auto body = call.after("--body"); body && body->starts_with("@")) {
        std::ifstream in(fs::path(body->substr(1)), std::ios::binary);
        if (in) {
            std::ostringstream content;
            content << in.rdbuf();
            line["bodyFileContent"] = content.str();
        } else {
            line["bodyFileContent"] = nullptr;
        }
    }
    // Likewise the data file of a bulk command (`--file FILE`), which the caller removes afterwards.
    if (const auto data_file = call.after("--file")) {
        std::ifstream in(fs::path(*data_file), std::ios::binary);
        if (in) {
            std::ostringstream content;
            content << in.rdbuf();
            line["dataFileContent"] = content.str();
        } else {
            line["dataFileContent"] = nullptr;
        }
    }
    json::object env;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        std::string_view text(*entry);
        const std::size_t equals = text.find('=');
        if (equals == std::string_view::npos) continue;
        const std::string_view name = text.substr(0, equals);
        if (name.starts_with("SF_") || name == "FORCE_COLOR" || name == "NO_COLOR") {
            env[name] = text.substr(equals + 1);
        }
    }
    line["env"] = std::move(env);
    // What this process inherited, so tests can tell that no other child's pipe leaked into it.
    json::object fds;
    std::error_code listing_error;
    for (const auto& entry : fs::directory_iterator("/proc/self/fd", listing_error)) {
        std::error_code link_error;
        const fs::path target = fs::read_symlink(entry.path(), link_error);
        fds[entry.path().filename().string()] = link_error ? std::string() : target.string();
    }
    line["fds"] = std::move(fds);
    line["pid"] = static_cast<std::int64_t>(::getpid());
    line["pgid"] = static_cast<std::int64_t>(::getpgrp());
    if (call.after("--source-dir")) line["sourceDirFiles"] = source_dir_files(call);
    std::string text = json::serialize(line) + "\n";
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd < 0) fault("cannot open the record file " + path);
    (void)::flock(fd, LOCK_EX);
    write_all(fd, text);
    ::close(fd);
}

std::vector<std::string> words_of(const json::value& value, std::string_view what) {
    std::vector<std::string> words;
    if (!value.is_array()) fault(std::string(what) + " must be an array of texts");
    for (const auto& word : value.as_array()) {
        if (!word.is_string()) fault(std::string(what) + " must be an array of texts");
        words.emplace_back(word.as_string());
    }
    return words;
}

bool matches(const json::object& rule, const Call& call) {
    if (const auto* exact = rule.if_contains("exact")) {
        if (words_of(*exact, "exact") != call.args) return false;
    }
    if (const auto* prefix = rule.if_contains("prefix")) {
        const auto words = words_of(*prefix, "prefix");
        if (words.size() > call.args.size()) return false;
        for (std::size_t i = 0; i < words.size(); ++i) {
            if (words[i] != call.args[i]) return false;
        }
    }
    if (const auto* contains = rule.if_contains("contains")) {
        for (const auto& word : words_of(*contains, "contains")) {
            if (!call.has(word)) return false;
        }
    }
    if (const auto* env = rule.if_contains("env")) {
        if (!env->is_object()) fault("env must be an object");
        for (const auto& [name, wanted] : env->as_object()) {
            const auto actual = environment(std::string(name).c_str());
            if (wanted.is_null()) {
                if (actual) return false;
            } else if (!wanted.is_string() || actual != std::string(wanted.as_string())) {
                return false;
            }
        }
    }
    return true;
}

std::int64_t integer(const json::object& answer, std::string_view key, std::int64_t fallback) {
    const auto* value = answer.if_contains(key);
    if (value == nullptr) return fallback;
    if (!value->is_int64()) fault(std::string(key) + " must be an integer");
    return value->as_int64();
}

bool flag(const json::object& answer, std::string_view key) {
    const auto* value = answer.if_contains(key);
    if (value == nullptr) return false;
    if (!value->is_bool()) fault(std::string(key) + " must be true or false");
    return value->as_bool();
}

std::optional<std::string> text_or_file(const json::object& answer, std::string_view key,
                                        const Call& call) {
    if (const auto* inline_text = answer.if_contains(key)) {
        if (!inline_text->is_string()) fault(std::string(key) + " must be a text");
        return expand(inline_text->as_string(), call);
    }
    const std::string file_key = std::string(key) + "File";
    if (const auto* file = answer.if_contains(file_key)) {
        if (!file->is_string()) fault(file_key + " must be a text");
        return read_file(scenario_relative(call, file->as_string()));
    }
    return std::nullopt;
}

// Roughly what the real CLI prints when FORCE_COLOR asks for colour: escape sequences around the
// tokens of its JSON, which then no longer parses.
std::string colourise(std::string_view text) {
    std::string out;
    for (char c : text) {
        if (c == '{' || c == '}' || c == '[' || c == ']') {
            out += "\x1b[97m";
            out += c;
            out += "\x1b[39m";
        } else {
            out += c;
        }
    }
    return out;
}

bool colour_forced() {
    const auto force = environment("FORCE_COLOR");
    if (!force || *force == "0" || *force == "false") return false;
    return !environment("NO_COLOR").has_value();
}

void write_files(const json::object& answer, const Call& call) {
    const auto* files = answer.if_contains("files");
    if (files == nullptr) return;
    if (!files->is_array()) fault("files must be an array");
    for (const auto& entry : files->as_array()) {
        if (!entry.is_object() || !entry.as_object().contains("path")) {
            fault("each entry of files needs a path");
        }
        const auto& file = entry.as_object();
        const fs::path target = cwd_relative(call, file.at("path").as_string());
        std::error_code error;
        if (const auto* tree = file.if_contains("tree")) {
            fs::create_directories(target, error);
            fs::copy(scenario_relative(call, tree->as_string()), target,
                     fs::copy_options::recursive | fs::copy_options::overwrite_existing, error);
            if (error) fault("cannot copy a tree to " + target.string() + ": " + error.message());
            continue;
        }
        const auto content = text_or_file(file, "content", call).value_or("");
        if (target.has_parent_path()) fs::create_directories(target.parent_path(), error);
        std::ofstream out(target, std::ios::binary | std::ios::trunc);
        out << content;
        if (!out) fault("cannot write " + target.string());
    }
}

// Writes both streams in alternating slices, so that a reader that drains only one pipe at a time
// stalls on large outputs.
void write_streams(const std::string& out_unit, std::int64_t out_repeat, const std::string& err_unit,
                   std::int64_t err_repeat) {
    auto expand_units = [](const std::string& unit, std::int64_t repeat) {
        std::string all;
        if (repeat > 0) all.reserve(unit.size() * static_cast<std::size_t>(repeat));
        for (std::int64_t i = 0; i < repeat; ++i) all += unit;
        return all;
    };
    const std::string out = expand_units(out_unit, out_repeat);
    const std::string err = expand_units(err_unit, err_repeat);
    constexpr std::size_t kSlice = 16384;
    std::size_t out_at = 0;
    std::size_t err_at = 0;
    while (out_at < out.size() || err_at < err.size()) {
        if (out_at < out.size()) {
            const std::size_t size = std::min(kSlice, out.size() - out_at);
            write_all(STDOUT_FILENO, std::string_view(out).substr(out_at, size));
            out_at += size;
        }
        if (err_at < err.size()) {
            const std::size_t size = std::min(kSlice, err.size() - err_at);
            write_all(STDERR_FILENO, std::string_view(err).substr(err_at, size));
            err_at += size;
        }
    }
}

int signal_number(const json::value& value) {
    if (value.is_int64()) return static_cast<int>(value.as_int64());
    if (!value.is_string()) fault("signal must be a number or a name");
    std::string_view name = value.as_string();
    if (name.starts_with("SIG")) name.remove_prefix(3);
    if (name == "TERM") return SIGTERM;
    if (name == "KILL") return SIGKILL;
    if (name == "INT") return SIGINT;
    if (name == "HUP") return SIGHUP;
    if (name == "SEGV") return SIGSEGV;
    if (name == "ABRT") return SIGABRT;
    fault("unknown signal " + std::string(name));
}

// Starts a process in this one's group that keeps standard output and standard error open.
void start_grandchild(const json::object& spec, const Call& call) {
    const std::int64_t sleep = integer(spec, "sleepMs", 10000);
    const bool ignore_sigterm = flag(spec, "ignoreSigterm");
    const auto output = text_or_file(spec, "stdout", call);
    const pid_t pid = ::fork();
    if (pid < 0) fault("fork failed");
    if (pid == 0) {
        if (ignore_sigterm) ::signal(SIGTERM, SIG_IGN);
        if (output) write_all(STDOUT_FILENO, *output);
        sleep_ms(sleep);
        std::_Exit(0);
    }
    if (const auto* pid_file = spec.if_contains("pidFile")) {
        std::ofstream out(cwd_relative(call, pid_file->as_string()), std::ios::trunc);
        out << pid << "\n";
    }
}

std::optional<std::string> target_org(const Call& call);

// The five predefined entities of a package.xml text.
std::string unescape_xml(std::string_view text) {
    static constexpr std::pair<std::string_view, char> kEntities[] = {
        {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&apos;", '\''}, {"&amp;", '&'}};
    std::string out;
    for (std::size_t i = 0; i < text.size();) {
        bool replaced = false;
        if (text[i] == '&') {
            for (const auto& [entity, character] : kEntities) {
                if (text.substr(i).starts_with(entity)) {
                    out += character;
                    i += entity.size();
                    replaced = true;
                    break;
                }
            }
        }
        if (!replaced) out += text[i++];
    }
    return out;
}

// The texts of every <tag>…</tag> in the fragment, in order.
std::vector<std::string> element_texts(std::string_view fragment, std::string_view tag) {
    std::vector<std::string> texts;
    const std::string open = "<" + std::string(tag) + ">";
    const std::string close = "</" + std::string(tag) + ">";
    std::size_t at = 0;
    while ((at = fragment.find(open, at)) != std::string_view::npos) {
        const std::size_t begin = at + open.size();
        const std::size_t end = fragment.find(close, begin);
        if (end == std::string_view::npos) break;
        texts.push_back(unescape_xml(fragment.substr(begin, end - begin)));
        at = end + close.size();
    }
    return texts;
}

// (type, member) pairs of a package.xml, in document order: the metadata and the permission shapes
// alike (any types, containers last or not).
std::vector<std::pair<std::string, std::string>> manifest_members(std::string_view manifest, bool& has_types) {
    std::vector<std::pair<std::string, std::string>> members;
    has_types = false;
    for (const std::string& section : element_texts(manifest, "types")) {
        has_types = true;
        const auto names = element_texts(section, "name");
        if (names.empty()) continue;
        for (const std::string& member : element_texts(section, "members")) members.emplace_back(names.front(), member);
    }
    return members;
}

// The regular files below a folder, relative to it, in name order.
std::vector<fs::path> files_below(const fs::path& folder) {
    std::vector<fs::path> files;
    std::error_code error;
    for (fs::recursive_directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        if (it->is_regular_file()) files.push_back(fs::relative(it->path(), folder));
    }
    std::sort(files.begin(), files.end());
    return files;
}

// The manifest-aware retrieve: every member of the --manifest file is copied from the fixture org of
// the --target-org alias (<orgs>/<alias>/<type>/<member>/, laid out as below force-app/main/default)
// into the call's force-app/main/default; a member without files is reported as the CLI reports it.
std::string manifest_retrieve(const json::object& answer, const Call& call) {
    const fs::path orgs = scenario_relative(call, answer.at("retrieveFrom").as_string());
    const auto manifest_path = call.after("--manifest");
    if (!manifest_path) fault("retrieveFrom needs --manifest");
    const std::string alias = target_org(call).value_or("");
    bool has_types = false;
    const auto members = manifest_members(read_file(*manifest_path), has_types);
    if (!has_types) return "{\n  \"status\": 0,\n  \"result\": {\n    \"files\": []\n  },\n  \"warnings\": []\n}\n";

    const fs::path output = fs::path(call.cwd) / "force-app" / "main" / "default";
    json::array files;
    json::array messages;
    for (const auto& [type, member] : members) {
        const bool safe_name = member.find('/') == std::string::npos && member != "." && member != "..";
        const fs::path source = orgs / alias / type / member;
        const auto found = safe_name && fs::is_directory(source) ? files_below(source) : std::vector<fs::path>{};
        if (found.empty()) {
            const std::string problem = "Entity of type '" + type + "' named '" + member + "' cannot be found";
            messages.push_back(json::object{{"fileName", "unpackaged/package.xml"}, {"problem", problem}});
            files.push_back(json::object{{"fullName", member}, {"type", type}, {"state", "Failed"},
                                         {"error", problem}, {"problemType", "Error"}});
            continue;
        }
        for (const fs::path& relative : found) {
            const fs::path target = output / relative;
            std::error_code error;
            fs::create_directories(target.parent_path(), error);
            fs::copy_file(source / relative, target, fs::copy_options::overwrite_existing, error);
            if (error) fault("cannot copy " + (source / relative).string() + ": " + error.message());
            files.push_back(json::object{{"fullName", member}, {"type", type}, {"state", "Created"},
                                         {"filePath", target.string()}});
        }
    }
    json::object result{{"done", true},      {"fileProperties", json::array()},
                        {"id", "09S000T2yGk6vAOESY"}, {"status", "Succeeded"},
                        {"success", true},   {"messages", std::move(messages)},
                        {"files", std::move(files)}};
    json::object envelope{{"status", 0}, {"result", std::move(result)}, {"warnings", json::array()}};
    return json::serialize(envelope) + "\n";
}

// The "--include" answer of a composite request that succeeds for every record of the --body file:
// an update keeps its "id", a create gets "a0N", the pid in ten digits and its index in five (18
// characters, unique per call), so a test can tell which later request references which record.
std::string composite_outcomes(const Call& call) {
    const auto body = call.after("--body");
    if (!body || !body->starts_with("@")) fault("compositeOutcomes needs --body @FILE");
    boost::system::error_code error;
    const json::value parsed = json::parse(read_file(fs::path(body->substr(1))), error);
    const auto* records = error || !parsed.is_object() ? nullptr : parsed.as_object().if_contains("records");
    if (records == nullptr || !records->is_array()) fault("compositeOutcomes needs a body with \"records\"");
    json::array outcomes;
    std::size_t index = 0;
    for (const auto& record : records->as_array()) {
        // Updates name their record by "id" (any letter case works for the API).
        const json::value* id = nullptr;
        if (record.is_object()) {
            for (const auto& [key, value] : record.as_object()) {
                if (key == "id" || key == "Id") id = &value;
            }
        }
        std::string given;
        if (id != nullptr && id->is_string()) {
            given = std::string(id->as_string());
        } else {
            char created[32];
            std::snprintf(created, sizeof created, "a0N%010ld%05zu", static_cast<long>(::getpid()), index);
            given = created;
        }
        outcomes.push_back(json::object{{"id", given}, {"success", true}, {"errors", json::array()}});
        ++index;
    }
    const std::string text = json::serialize(outcomes);
    return "HTTP/1.1 200\nserver: StandinOrg/1.0\ncontent-type: application/json;charset=UTF-8\ncontent-length: " +
           std::to_string(text.size()) + "\nsforce-limit-info: api-usage=12/15000\n\n" + text + "\n";
}

int answer(const json::object& answer, const Call& call, bool honour_force_color) {
    if (flag(answer, "ignoreSigterm")) ::signal(SIGTERM, SIG_IGN);
    if (const auto* grandchild = answer.if_contains("grandchild")) {
        if (!grandchild->is_object()) fault("grandchild must be an object");
        start_grandchild(grandchild->as_object(), call);
    }
    write_files(answer, call);
    std::string out = answer.contains("retrieveFrom")       ? manifest_retrieve(answer, call)
                      : flag(answer, "compositeOutcomes") ? composite_outcomes(call)
                                                          : text_or_file(answer, "stdout", call).value_or("");
    const std::string err = text_or_file(answer, "stderr", call).value_or("");
    if (honour_force_color && call.has("--json") && colour_forced()) out = colourise(out);
    write_streams(out, integer(answer, "stdoutRepeat", 1), err, integer(answer, "stderrRepeat", 1));
    sleep_ms(integer(answer, "sleepMs", 0));
    if (const auto* signal = answer.if_contains("signal")) {
        const int number = signal_number(*signal);
        ::signal(number, SIG_DFL);
        ::raise(number);
        sleep_ms(1000);  // a blocked signal would land here; never expected
    }
    return static_cast<int>(integer(answer, "exitCode", 0));
}

// The class name the real CLI reports as "context" and "commandName" for a command.
std::string command_class(const Call& call) {
    if (call.starts_with({"data", "query"})) return "DataSoqlQueryCommand";
    if (call.starts_with({"sobject", "describe"})) return "SObjectDescribe";
    if (call.starts_with({"org", "list", "metadata"})) return "ListMetadata";
    if (call.starts_with({"org", "list"})) return "OrgListCommand";
    if (call.starts_with({"project", "deploy", "report"})) return "DeployMetadataReport";
    if (call.starts_with({"project", "deploy", "start"})) return "DeployMetadata";
    if (call.starts_with({"project", "deploy", "quick"})) return "DeployMetadataQuick";
    if (call.starts_with({"project", "retrieve", "start"})) return "RetrieveMetadata";
    if (call.starts_with({"data", "upsert", "bulk"})) return "Upsert";
    if (call.starts_with({"data", "bulk", "results"})) return "DataBulkResults";
    return "SfCommand";
}

std::string pretty(const json::object& object) {
    std::string out = "{\n";
    bool first = true;
    for (const auto& [key, value] : object) {
        if (!first) out += ",\n";
        first = false;
        out += "  " + json::serialize(json::value(key)) + ": ";
        if (value.is_array() && value.as_array().empty()) {
            out += "[]";
        } else {
            out += json::serialize(value);
        }
    }
    return out + "\n}\n";
}

// The real CLI's answer to a --target-org it has no authorization for: exit code 2, the error
// envelope on standard output with --json, a human line on standard error otherwise (always for
// `api request rest`, which has no JSON output).
int named_org_not_found(const Call& call, const std::string& alias) {
    const std::string message = "Parsing --target-org \n\tNo authorization information found for " +
                                alias + ".\nSee more help with --help";
    const bool rest = call.starts_with({"api", "request", "rest"});
    if (rest || !call.has("--json")) {
        std::string err(rest ? kBetaWarning : "");
        err += "Error (NamedOrgNotFoundError): " + message + "\n\n\n";
        write_all(STDERR_FILENO, err);
        return 2;
    }
    const std::string name = command_class(call);
    json::object envelope;
    envelope["name"] = "NamedOrgNotFoundError";
    envelope["message"] = message;
    envelope["exitCode"] = 2;
    envelope["context"] = name;
    envelope["stack"] = "NamedOrgNotFoundError: " + message;
    envelope["cause"] = "undefined";
    envelope["warnings"] = json::array();
    envelope["code"] = "NamedOrgNotFoundError";
    envelope["status"] = 2;
    envelope["commandName"] = name;
    write_all(STDOUT_FILENO, pretty(envelope));
    return 2;
}

std::optional<std::string> target_org(const Call& call) {
    for (std::size_t i = 0; i + 1 < call.args.size(); ++i) {
        if (call.args[i] == "--target-org" || call.args[i] == "-o") return call.args[i + 1];
    }
    return std::nullopt;
}

int run(const Call& call, const json::object& scenario) {
    if (const auto* orgs = scenario.if_contains("orgs")) {
        const auto known = words_of(*orgs, "orgs");
        if (const auto alias = target_org(call)) {
            if (std::find(known.begin(), known.end(), *alias) == known.end()) {
                return named_org_not_found(call, *alias);
            }
        }
    }
    // `api request rest` has no --json flag: the real CLI refuses it before sending anything.
    if (call.starts_with({"api", "request", "rest"}) && call.has("--json")) {
        std::string err(kBetaWarning);
        err += "Error (2): Nonexistent flag: --json\nSee more help with --help\n";
        write_all(STDERR_FILENO, err);
        return 2;
    }
    bool honour_force_color = true;
    if (const auto* honour = scenario.if_contains("honourForceColor")) {
        honour_force_color = honour->is_bool() && honour->as_bool();
    }
    if (const auto* rules = scenario.if_contains("rules")) {
        if (!rules->is_array()) fault("rules must be an array");
        for (const auto& rule : rules->as_array()) {
            if (!rule.is_object()) fault("each rule must be an object");
            if (matches(rule.as_object(), call)) return answer(rule.as_object(), call, honour_force_color);
        }
    }
    if (const auto* fallback = scenario.if_contains("default")) {
        if (!fallback->is_object()) fault("default must be an object");
        return answer(fallback->as_object(), call, honour_force_color);
    }
    std::string joined;
    for (const auto& arg : call.args) joined += " " + arg;
    fault("no rule answers sf" + joined);
}

}  // namespace

int main(int argc, char** argv) {
    Call call;
    for (int i = 1; i < argc; ++i) call.args.emplace_back(argv[i]);
    std::error_code error;
    call.cwd = fs::current_path(error).string();

    if (const auto record_file = environment("AMBREL_FAKE_SF_RECORD")) {
        record(call, argc > 0 ? argv[0] : "sf", *record_file);
    }
    const auto scenario_file = environment("AMBREL_FAKE_SF_SCENARIO");
    if (!scenario_file) fault("AMBREL_FAKE_SF_SCENARIO is not set");
    call.scenario_dir = fs::path(*scenario_file).parent_path();
    json::error_code parse_error;
    json::value scenario = json::parse(read_file(*scenario_file), parse_error);
    if (parse_error || !scenario.is_object()) fault("the scenario is not a JSON object");
    return run(call, scenario.as_object());
}
