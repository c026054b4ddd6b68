#include "git/gateway.hpp"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <fstream>
#include <thread>

#include "git/git_error.hpp"
#include "git/repo_path.hpp"
#include "git_helpers.hpp"
#include "support/doubles.hpp"
#include "support/test_paths.hpp"

namespace ambrel::git {
namespace {

using testing::ScriptedRunner;

struct Scripted {
    std::shared_ptr<ScriptedRunner::State> state = std::make_shared<ScriptedRunner::State>();
    test::LoggedGateway logged{std::make_unique<ScriptedRunner>(state)};

    void answer(ScriptedRunner::Outcome outcome) { state->outcomes.push_back(std::move(outcome)); }
    const testing::RunnerCall& call(std::size_t index) const { return state->calls.at(index); }
    json::Object last_line() const { return logged.writer->lines().back(); }
};

TEST(GitGateway, PutsTheLeadingWordsBeforeTheArgumentsAndRunsWithoutDirectory) {
    Scripted s;
    s.answer(ScriptedRunner::output("ok\n"));
    auto output = s.logged.gateway.execute("/repos/work", {"rev-parse", "--show-toplevel"});
    ASSERT_TRUE(output);
    EXPECT_EQ(output->stdout_text, "ok\n");
    EXPECT_EQ(s.call(0).arguments,
              (std::vector<std::string>{"git", "-C", "/repos/work", "--literal-pathspecs", "-c", "core.fsmonitor=false",
                                        "rev-parse", "--show-toplevel"}));
    EXPECT_FALSE(s.call(0).working_directory);
    EXPECT_EQ(s.call(0).timeout, kGitCommandTimeout);
    EXPECT_TRUE(s.call(0).environment.empty());
    const auto line = s.last_line();
    EXPECT_EQ(line.at("command").as_string(), "git rev-parse");
    EXPECT_EQ(line.at("outcome").as_string(), "ok");
}

TEST(GitGateway, EmptyArgumentsLogTheProgramAlone) {
    Scripted s;
    s.answer(ScriptedRunner::output(""));
    ASSERT_TRUE(s.logged.gateway.execute("/r", {}));
    EXPECT_EQ(s.call(0).arguments,
              (std::vector<std::string>{"git", "-C", "/r", "--literal-pathspecs", "-c", "core.fsmonitor=false"}));
    EXPECT_EQ(s.last_line().at("command").as_string(), "git");
}

TEST(GitGateway, InvalidUtf8RepositoryPathReachesGitWithReplacementCharacters) {
    Scripted s;
    s.answer(ScriptedRunner::output(""));
    ASSERT_TRUE(s.logged.gateway.execute(std::filesystem::path("/r/\xff" "x"), {"status"}));
    EXPECT_EQ(s.call(0).arguments.at(2), "/r/\xEF\xBF\xBDx");
}

TEST(GitGateway, NonZeroExitIsOutputAndLoggedAsErrorWithTheDiagnostic) {
    struct Case {
        std::string name;
        process::ProcessOutput output;
        std::string error;
    };
    const Case cases[] = {
        {"exit 128", ScriptedRunner::output("", 128, "fatal: not a git repository: /repos/work/.git\n"),
         "fatal: not a git repository: work/.git"},
        {"silent exit 1", ScriptedRunner::output("", 1), ""},
        {"credentials", ScriptedRunner::output("", 128, "fatal: https://u:p@ss@host/r failed"),
         "fatal: https://host/r failed"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Scripted s;
        s.answer(c.output);
        auto output = s.logged.gateway.execute("/repos/work", {"status"});
        ASSERT_TRUE(output);
        EXPECT_EQ(output->exit_code, c.output.exit_code);
        const auto line = s.last_line();
        EXPECT_EQ(line.at("outcome").as_string(), "error");
        EXPECT_EQ(line.at("error").as_string(), c.error);
    }
}

TEST(GitGateway, ProcessFailuresBecomeTheFixedSentences) {
    struct Case {
        std::string name;
        ScriptedRunner::Outcome outcome;
        GitGatewayError::Kind kind;
        std::string_view message;
    };
    const Case cases[] = {
        {"time-out", ScriptedRunner::output("partial", -1, "", true), GitGatewayError::Kind::TimedOut,
         "The git command timed out."},
        {"start", std::unexpected(process::ProcessError{process::ProcessError::Kind::StartFailed, {}}),
         GitGatewayError::Kind::StartFailed, "Could not start the git process."},
        {"read", std::unexpected(process::ProcessError{process::ProcessError::Kind::ReadFailed, {}}),
         GitGatewayError::Kind::StartFailed, "Could not start the git process."},
        {"cancel", std::unexpected(process::ProcessError{process::ProcessError::Kind::Cancelled, {}}),
         GitGatewayError::Kind::Cancelled, "The git command was cancelled."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Scripted s;
        s.answer(c.outcome);
        auto output = s.logged.gateway.execute("/r", {"status"});
        ASSERT_FALSE(output);
        EXPECT_EQ(output.error().kind, c.kind);
        EXPECT_EQ(output.error().message(), c.message);
        const auto line = s.last_line();
        EXPECT_EQ(line.at("error").as_string(), c.message);
    }
}

TEST(GitGateway, DetailedLogScrubsCredentialsAndTheRepositoryFromArguments) {
    Scripted s;
    s.answer(ScriptedRunner::output(""));
    ASSERT_TRUE(s.logged.gateway.execute("/home/dana/repo", {"fetch", "https://u:pw@host/x", "/home/dana/repo/a"}));
    const json::Object line = s.last_line();
    const auto& argv = line.at("argv").as_array();
    ASSERT_EQ(argv.size(), 3u);
    EXPECT_EQ(argv[1].as_string(), "https://host/x");
    EXPECT_EQ(argv[2].as_string(), "repo/a");
}

TEST(GitGateway, VersionProbe) {
    struct Case {
        std::string name;
        ScriptedRunner::Outcome outcome;
        bool usable;
        std::optional<std::string> error;
    };
    const Case cases[] = {
        {"any output", ScriptedRunner::output("whatever"), true, std::nullopt},
        {"timed out", ScriptedRunner::output("", 0, "", true), false, "The git command timed out."},
        // What a stopped probe printed is its diagnostic.
        {"timed out with output", ScriptedRunner::output("git version 2", 0, "", true), false, "git version 2"},
        {"exit silently", ScriptedRunner::output("", 3), false,
         "The git version probe exited with code 3 and no output."},
        {"start", std::unexpected(process::ProcessError{process::ProcessError::Kind::StartFailed, {}}), false,
         "Could not start the git process."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Scripted s;
        s.answer(c.outcome);
        EXPECT_EQ(s.logged.gateway.is_usable(), c.usable);
        EXPECT_EQ(s.call(0).arguments, (std::vector<std::string>{"git", "version"}));
        EXPECT_EQ(s.call(0).timeout, kGitProbeTimeout);
        const auto line = s.last_line();
        EXPECT_EQ(line.at("command").as_string(), "git version");
        if (c.error) {
            EXPECT_EQ(line.at("error").as_string(), *c.error);
        } else {
            EXPECT_FALSE(line.contains("error"));
        }
    }
}

TEST(GitCommandOutput, DiagnosticCleansCredentialsPathsAndControlCharacters) {
    const GitCommandOutput output{
        "ignored because stderr has text",
        "  fatal: could not read https://user:p@ss@host.example/repo.git\tfrom /home/dana/work/repo/force-app and "
        "'/etc/secret/file': no\x01way\n",
        128};
    const std::filesystem::path paths[] = {"/home/dana/work/repo"};
    EXPECT_EQ(output.diagnostic_for(paths),
              "fatal: could not read https://host.example/repo.git from repo/force-app and 'file': no way");
    const GitCommandOutput only_stdout{"message on stdout", " \n\t ", 1};
    EXPECT_EQ(only_stdout.diagnostic_for({}), "message on stdout");
}

TEST(GitGatewayLogCommand, StopsAtTheFirstOption) {
    const std::vector<std::string> worktree{"worktree", "add", "-b", "x"};
    const std::vector<std::string> with_empty{"show", "", "HEAD:a b"};
    EXPECT_EQ(gateway::log_command("git", worktree), "git worktree add");
    EXPECT_EQ(gateway::log_command("git", with_empty), "git show  HEAD:a b");
    EXPECT_EQ(gateway::log_command("git", {}), "git");
}

TEST(GitError, MessagesOfTheConstructors) {
    const std::vector<std::string> five{"/a/b", "c", "d", "e", "f"};
    struct Case {
        GitError error;
        GitError::Kind kind;
        std::string message;
    };
    const Case cases[] = {
        {GitError::unsafe_path_at("a\nb"), GitError::Kind::UnsafePath,
         "The repository contains an unsafe metadata path. Offending path: a b"},
        {GitError::not_a_regular_file("classes/x"), GitError::Kind::UnsafePath,
         "The repository entry at this metadata path is not a regular file: classes/x"},
        {GitError::aliased_destination("Foo.cls"), GitError::Kind::UnsafePath,
         "The repository already contains this file under a different spelling that this filesystem treats as "
         "the same name: Foo.cls"},
        {GitError::undeliverable_component("X"), GitError::Kind::UnsafePath,
         "The plugin could not derive a repository path for this component: X"},
        {GitError::unparsable_manifest_paths({}), GitError::Kind::NotAnSfdxProject,
         "The repository's sfdx-project.json could not be parsed."},
        {GitError::unparsable_manifest_paths(std::vector<std::string>{"../x"}), GitError::Kind::NotAnSfdxProject,
         "The repository's sfdx-project.json could not be parsed. Refused package directories: ../x"},
        {GitError::not_an_sfdx_project_unsafe_paths({}), GitError::Kind::NotAnSfdxProject,
         "The source repository is not an SFDX project (missing sfdx-project.json)."},
        {GitError::not_an_sfdx_project_unsafe_paths(five), GitError::Kind::NotAnSfdxProject,
         "The source repository lists package directories, but none of them is a safe relative path: b, c, d, "
         "\xE2\x80\xA6"},
        {GitError::from_gateway({GitGatewayError::Kind::StartFailed}), GitError::Kind::GitUnusable,
         "Git is not usable on this machine. Run 'git version' in a terminal and install or repair git until it "
         "prints a version. Could not start the git process."},
        {GitError::from_gateway({GitGatewayError::Kind::TimedOut}), GitError::Kind::CommandFailed,
         "The git command timed out."},
        {GitError::file_system("Could not write the metadata file", std::make_error_code(std::errc::permission_denied)),
         GitError::Kind::FileSystem, "Could not write the metadata file: permission denied"},
        {GitError::file_system("Could not write the metadata file", std::make_error_code(std::errc::io_error)),
         GitError::Kind::FileSystem, "Could not write the metadata file: Input/output error"},
        {GitError::file_system("Could not read the metadata file", std::make_error_code(std::errc::bad_file_descriptor)),
         GitError::Kind::FileSystem, "Could not read the metadata file: Bad file descriptor"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        EXPECT_EQ(c.error.kind(), c.kind);
        EXPECT_EQ(c.error.message(), c.message);
    }
}

TEST(RepoPathInput, ResolvesTypedPaths) {
    testing::TempDir dir;
    const auto spaced = dir.path() / "ends with space ";
    std::filesystem::create_directories(spaced);
    const std::filesystem::path home = "/home/dana";
    struct Case {
        std::string typed;
        std::optional<std::filesystem::path> home;
        std::filesystem::path expected;
    };
    const Case cases[] = {
        {"\xE2\x80\x9C/work/repo\xE2\x80\x9D\n", home, "/work/repo"},
        {"\xE2\x80\x8B/work/repo", home, "/work/repo"},
        {"\xEF\xBB\xBF/work/repo", home, "/work/repo"},
        {spaced.string(), home, spaced},
        {"~", std::nullopt, "~"},
        {"~", home, home},
        {"'~/code'", home, home / "code"},
        {"\"/a'", home, "\"/a'"},
        {"~other/x", home, "~other/x"},
        {"  ", home, ""},
        {"\xC2\xAB/x\xC2\xBB", home, "/x"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.typed);
        EXPECT_EQ(repo_path::resolve_repo_path_input(c.typed, c.home), c.expected);
    }
}

// An executable shell script.
void write_script(const std::filesystem::path& path, std::string_view body) {
    std::ofstream(path) << fmt::format("#!/bin/sh\n{}\n", body);
    std::filesystem::permissions(path, std::filesystem::perms::owner_all);
}

TEST(GitGateway, ARepositorysFsmonitorCommandNeverRuns) {
    AMBREL_REQUIRE_GIT();
    testing::TempDir dir;
    const testing::GitRepo repo(dir.path(), "received");
    repo.write("a.txt", "a");
    repo.commit_all("one");
    const auto marker = dir.path() / "fsmonitor-ran";
    const auto monitor = dir.path() / "monitor.sh";
    write_script(monitor, fmt::format("touch '{}'", marker.string()));
    repo.git({"config", "core.fsmonitor", monitor.string()});
    repo.write("a.txt", "changed");
    test::LoggedGateway logged;
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"status", "--porcelain=v1", "-z", "--untracked-files=all", "--ignored=matching"},
             {"ls-files", "--cached", "--others", "--exclude-standard", "-z"},
             {"add", "--", "a.txt"},
             {"commit", "--no-gpg-sign", "-m", "two", "--", "a.txt"}}) {
        SCOPED_TRACE(args.front());
        auto output = logged.gateway.execute(repo.path(), args);
        ASSERT_TRUE(output);
        EXPECT_EQ(output->exit_code, 0) << output->stderr_text;
        EXPECT_FALSE(std::filesystem::exists(marker));
    }
    // The user's own git does run it: the marker shows that the check above can see a run.
    repo.git({"status"});
    EXPECT_TRUE(std::filesystem::exists(marker));
}

TEST(GitGateway, ACancelStopsARunningGitAndTheObjectReader) {
    AMBREL_REQUIRE_GIT();
    testing::TempDir dir;
    const auto program = dir.path() / "slow-git";
    write_script(program, "sleep 30");
    const GitGateway slow(std::make_unique<process::DefaultProcessRunner>(), program.string());
    testing::TestToken token;
    std::thread canceller([&token] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        token.cancel();
    });
    const auto started = std::chrono::steady_clock::now();
    auto output = slow.with_token(token).execute(dir.path(), {"status"});
    canceller.join();
    ASSERT_FALSE(output);
    EXPECT_EQ(output.error().kind, GitGatewayError::Kind::Cancelled);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));

    const testing::GitRepo repo(dir.path(), "repo");
    repo.write("a.txt", "a");
    repo.commit_all("one");
    test::LoggedGateway logged;
    testing::TestToken reading;
    const GitGateway bound = logged.gateway.with_token(reading);
    auto reader = bound.start_object_reader(repo.path());
    ASSERT_TRUE(reader);
    auto first = (*reader)->read("HEAD:a.txt");
    ASSERT_TRUE(first);
    EXPECT_EQ(first->bytes, "a");
    reading.cancel();
    auto second = (*reader)->read("HEAD:a.txt");
    ASSERT_FALSE(second);
    EXPECT_EQ(second.error().kind, GitGatewayError::Kind::Cancelled);
    // The gateway itself is not bound: its commands still run.
    auto unbound = logged.gateway.execute(repo.path(), {"rev-parse", "HEAD"});
    ASSERT_TRUE(unbound);
    EXPECT_EQ(unbound->exit_code, 0);
}

// Many objects asked at once (more than one window of requests) come back in the order asked, each
// as a single read would give it: a missing one and a name that cannot travel on a request line are
// Missing, a tree is Other, and the child goes on answering afterwards.
TEST(GitGateway, ObjectsAskedTogetherComeBackInOrderAsSingleReadsGiveThem) {
    AMBREL_REQUIRE_GIT();
    testing::TempDir dir;
    const testing::GitRepo repo(dir.path(), "repo");
    constexpr int kFiles = 150;
    for (int k = 0; k < kFiles; ++k) repo.write("f/" + std::to_string(k) + ".txt", std::string(static_cast<std::size_t>(k), 'x'));
    repo.commit_all("many");
    test::LoggedGateway logged;
    auto reader = logged.gateway.start_object_reader(repo.path());
    ASSERT_TRUE(reader);
    std::vector<std::string> names;
    for (int k = 0; k < kFiles; ++k) names.push_back("HEAD:f/" + std::to_string(k) + ".txt");
    names.insert(names.begin() + 70, "HEAD:f/none.txt");
    names.insert(names.begin() + 3, "HEAD:f/1.txt\nHEAD:f/2.txt");
    names.push_back("HEAD:f");
    const std::vector<std::string_view> asked(names.begin(), names.end());
    auto objects = (*reader)->read_all(asked);
    ASSERT_TRUE(objects);
    ASSERT_EQ(objects->size(), names.size());
    for (std::size_t k = 0; k < names.size(); ++k) {
        SCOPED_TRACE(names[k]);
        auto single = (*reader)->read(names[k]);
        ASSERT_TRUE(single);
        EXPECT_EQ((*objects)[k].kind, single->kind);
        EXPECT_EQ((*objects)[k].bytes, single->bytes);
    }
    EXPECT_EQ((*objects)[3].kind, GitObject::Kind::Missing);
    EXPECT_EQ((*objects)[71].kind, GitObject::Kind::Missing);
    EXPECT_EQ(objects->back().kind, GitObject::Kind::Other);
    EXPECT_EQ((*objects)[0].bytes, "");
    EXPECT_EQ((*objects)[kFiles + 1].bytes, std::string(kFiles - 1, 'x'));
}

TEST(RepoPathInput, HomeDirectoryFallsBackToUserProfile) {
    {
        testing::ScopedVariable home("HOME", "");
        testing::ScopedVariable profile("USERPROFILE", "/profile");
        EXPECT_EQ(repo_path::home_directory(), std::filesystem::path("/profile"));
    }
    testing::ScopedVariable home("HOME", "/h");
    EXPECT_EQ(repo_path::home_directory(), std::filesystem::path("/h"));
}

}  // namespace
}  // namespace ambrel::git
