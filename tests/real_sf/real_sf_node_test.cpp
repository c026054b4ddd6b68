// The Node.js under the pinned real Salesforce CLI: at least the version that the engines of the
// packages in its lock file ask for, and able to run a command that loads the CLI's plugins. Under
// too old a Node.js `sf version` still answers while every other command fails, so the check runs
// `sf org list` (offline) as well.

#include <array>
#include <charconv>
#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "domain/cancellation.hpp"
#include "json/json.hpp"
#include "process/process_runner.hpp"
#include "real_sf/real_sf_fixture.hpp"
#include "support/node.hpp"
#include "support/test_paths.hpp"

namespace ambrel::testing {
namespace {

using namespace std::chrono_literals;

using Version = std::array<int, 3>;

std::string text_of(const Version& version) {
    return std::to_string(version[0]) + "." + std::to_string(version[1]) + "." + std::to_string(version[2]);
}

// "v22.1.0", "20", "0.8.x" or "12.*" as a version whose missing or wild parts are 0; nothing for other text.
std::optional<Version> parse_version(std::string_view text) {
    if (text.starts_with('v')) text.remove_prefix(1);
    Version version{0, 0, 0};
    for (int& part : version) {
        if (text.empty() || text.front() == 'x' || text.front() == 'X' || text.front() == '*') break;
        const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), part);
        if (error != std::errc()) return std::nullopt;
        text.remove_prefix(static_cast<std::size_t>(end - text.data()));
        if (text.empty() || text.front() != '.') break;
        text.remove_prefix(1);
    }
    return version;
}

std::vector<std::string_view> split(std::string_view text, std::string_view separator) {
    std::vector<std::string_view> parts;
    for (std::size_t at; (at = text.find(separator)) != std::string_view::npos;) {
        parts.push_back(text.substr(0, at));
        text.remove_prefix(at + separator.size());
    }
    parts.push_back(text);
    return parts;
}

// The least version that one alternative of a range ("^18.17.0", ">=16 <20", "1.2.3 - 2.0.0") admits:
// the greatest of its lower bounds, 0.0.0 when it has none.
Version lower_bound_of_alternative(std::string_view alternative) {
    Version least{0, 0, 0};
    std::string_view pending_operator;
    for (std::string_view word : split(alternative, " ")) {
        if (word.empty() || word == "-") continue;
        const std::size_t digits = word.find_first_not_of("<>=^~");
        const std::string_view op = pending_operator.empty() ? word.substr(0, digits) : pending_operator;
        if (digits == std::string_view::npos) {  // an operator apart from its version: ">= 14"
            pending_operator = word;
            continue;
        }
        pending_operator = {};
        if (op.starts_with('<')) continue;
        if (const auto version = parse_version(word.substr(digits)); version && *version > least) least = *version;
    }
    return least;
}

// The least version a whole range admits: the least over its alternatives.
Version lower_bound_of_range(std::string_view range) {
    std::optional<Version> least;
    for (const std::string_view alternative : split(range, "||")) {
        const Version bound = lower_bound_of_alternative(alternative);
        if (!least || bound < *least) least = bound;
    }
    return *least;
}

struct Requirement {
    Version version{0, 0, 0};
    std::string package;
    std::string range;
};

// The least Node.js version that every package of an npm lock file admits by its "engines".
std::optional<Requirement> engines_requirement(const std::filesystem::path& lock_file) {
    const auto lock = json::parse(read_file(lock_file));
    if (!lock || !lock->is_object()) return std::nullopt;
    const json::Object* packages = json::get_object(lock->as_object(), "packages");
    if (packages == nullptr) return std::nullopt;
    Requirement requirement;
    for (const auto& [name, entry] : *packages) {
        const json::Value* engines = json::find(entry, "engines");
        if (engines == nullptr) continue;
        std::vector<std::string> ranges;
        if (const auto node = engines->is_object() ? json::get_string(engines->as_object(), "node") : std::nullopt) {
            ranges.emplace_back(*node);
        } else if (engines->is_array()) {  // the old form: ["node >= 0.2.0"]
            for (const auto& item : engines->as_array()) {
                if (item.is_string() && item.as_string().starts_with("node ")) ranges.emplace_back(item.as_string().subview(5));
            }
        }
        for (const auto& range : ranges) {
            if (const Version bound = lower_bound_of_range(range); bound > requirement.version) {
                requirement = {bound, std::string(name), range};
            }
        }
    }
    return requirement;
}

TEST(EnginesRequirement, ReadsTheLeastVersionEachRangeAdmits) {
    struct Case {
        std::string_view range;
        Version least;
    };
    for (const Case& c : std::initializer_list<Case>{{">=22", {22, 0, 0}},
                                                     {"20 || >=22", {20, 0, 0}},
                                                     {"^18.17.0 || >=20.5.0", {18, 17, 0}},
                                                     {">= 0.4", {0, 4, 0}},
                                                     {"10.* || >= 12.*", {10, 0, 0}},
                                                     {">=16 || 14 >=14.17", {14, 17, 0}},
                                                     {">=9.3.0 || >=8.10.0 <9.0.0", {8, 10, 0}},
                                                     {"<=0.11.8 || >0.11.10", {0, 0, 0}},
                                                     {"1.2.3 - 2.3.4", {2, 3, 4}},
                                                     {"*", {0, 0, 0}}}) {
        SCOPED_TRACE(c.range);
        EXPECT_EQ(text_of(lower_bound_of_range(c.range)), text_of(c.least));
    }
}

using RealSfNode = RealSfTest;

TEST_F(RealSfNode, RunsUnderANodeJsThatTheEnginesOfTheCliAdmit) {
    const auto node = node_executable();
    ASSERT_TRUE(node) << "no node: neither the pinned one (" << pinned_node_bin_dir().string()
                      << ") nor one on PATH; run scripts/setup";
    const process::DefaultProcessRunner runner;
    const auto version_run = runner.run({node->string(), "--version"}, std::nullopt, 60s, never_);
    ASSERT_TRUE(version_run) << version_run.error().message();
    ASSERT_EQ(version_run->exit_code, 0) << version_run->stderr_text;
    std::string version_text = version_run->stdout_text;
    while (!version_text.empty() && (version_text.back() == '\n' || version_text.back() == '\r')) version_text.pop_back();
    const auto version = parse_version(version_text);
    ASSERT_TRUE(version) << version_text;

    const auto lock_file = real_sf_dir() / "package-lock.json";
    const auto requirement = engines_requirement(lock_file);
    ASSERT_TRUE(requirement) << "unreadable lock file " << lock_file.string();
    EXPECT_GE(*version, requirement->version)
        << "node " << version_text << " (" << node->string() << ") is older than " << text_of(requirement->version)
        << ", which " << requirement->package << " asks for (\"" << requirement->range << "\") in "
        << lock_file.string();

    // The CLI runs on that same Node.js.
    auto reported = gateway_->execute_inner({"version"}, std::nullopt, 120s, never_);
    ASSERT_TRUE(reported) << reported.error().message();
    const auto node_version = json::find(reported->json, "nodeVersion");
    ASSERT_NE(node_version, nullptr) << reported->stdout_text;
    EXPECT_EQ(json::as_string(*node_version).value_or(""), "node-" + version_text);

    const auto listed =
        runner.run({(real_sf_bin() / "sf").string(), "org", "list", "--json"}, std::nullopt, 120s, never_);
    ASSERT_TRUE(listed) << listed.error().message();
    EXPECT_EQ(listed->exit_code, 0) << listed->stdout_text << listed->stderr_text;
    const auto answer = json::parse(listed->stdout_text);
    ASSERT_TRUE(answer && answer->is_object()) << listed->stdout_text << listed->stderr_text;
    EXPECT_EQ(json::get_int64(answer->as_object(), "status"), 0) << listed->stdout_text;
}

}  // namespace
}  // namespace ambrel::testing
