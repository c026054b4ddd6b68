#include "git/inspector.hpp"

#include <gtest/gtest.h>

#include <unistd.h>

#include <fstream>

#include "git/branch_name.hpp"
#include "git_helpers.hpp"
#include "support/git_repo.hpp"
#include "support/test_paths.hpp"

namespace ambrel::git {
namespace {

using testing::GitRepo;

class GitInspectorTest : public ::testing::Test {
protected:
    void SetUp() override { AMBREL_REQUIRE_GIT(); }

    testing::TempDir dir_;
    test::LoggedGateway logged_;
    GitRepoInspector inspector_{logged_.gateway};
};

TEST_F(GitInspectorTest, RequireRepositoryRefusesWhatIsNotOne) {
    { std::ofstream(dir_.path() / "file") << "x"; }
    std::filesystem::create_directories(dir_.path() / "plain");
    struct Case {
        std::filesystem::path path;
        std::string starts_with;
    };
    const Case cases[] = {
        {dir_.path() / "missing", "The selected path is not a git repository. The path does not exist."},
        {dir_.path() / "file", "The selected path is not a git repository. The path is a file, not a folder."},
        {dir_.path() / "plain", "The selected path is not a git repository. fatal: not a git repository"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path.string());
        auto result = inspector_.require_repository(c.path);
        ASSERT_FALSE(result);
        EXPECT_EQ(result.error().kind(), GitError::Kind::NotARepository);
        EXPECT_TRUE(result.error().message().starts_with(c.starts_with)) << result.error().message();
    }
}

TEST_F(GitInspectorTest, AnUnreadableFolderSaysSo) {
    if (::geteuid() == 0) GTEST_SKIP() << "permissions do not bind root";
    const auto locked = dir_.path() / "locked";
    std::filesystem::create_directories(locked);
    std::filesystem::permissions(locked, std::filesystem::perms::none);
    auto result = inspector_.require_repository(locked);
    std::filesystem::permissions(locked, std::filesystem::perms::owner_all);
    ASSERT_FALSE(result);
    EXPECT_TRUE(result.error().message().starts_with(
        "The selected path is not a git repository. The folder cannot be read: permission denied."))
        << result.error().message();
}

TEST_F(GitInspectorTest, SubFolderBareRepositoryAndTopLevel) {
    GitRepo repo(dir_.path(), "repo");
    repo.write("a/b/c.txt", "x");
    repo.commit_all("one");
    ASSERT_TRUE(inspector_.require_repository(repo.path() / "a/b"));
    auto root = inspector_.resolve_repo_root(repo.path() / "a/b");
    ASSERT_TRUE(root);
    EXPECT_EQ(std::filesystem::canonical(*root), std::filesystem::canonical(repo.path()));
    EXPECT_EQ(inspector_.is_bare(repo.path()), false);

    GitRepo bare(dir_.path(), "bare.git", true);
    ASSERT_TRUE(inspector_.require_repository(bare.path()));
    EXPECT_EQ(inspector_.is_bare(bare.path()), true);
    auto bare_root = inspector_.resolve_repo_root(bare.path());
    ASSERT_FALSE(bare_root);
    EXPECT_EQ(bare_root.error().kind(), GitError::Kind::NotARepository);
    EXPECT_TRUE(bare_root.error().message().starts_with("The selected path is not a git repository. fatal:"));
}

TEST_F(GitInspectorTest, ABrokenToolchainIsGitUnusableWithoutAVersionProbe) {
    test::LoggedGateway broken(std::make_unique<test::FailingRunner>(
        std::vector<test::FailingRunner::Rule>{{"rev-parse", test::Failure::Xcrun}}));
    const GitRepoInspector inspector(broken.gateway);
    auto result = inspector.require_repository(dir_.path());
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().kind(), GitError::Kind::GitUnusable);
    EXPECT_EQ(result.error().message(),
              "Git is not usable on this machine. Run 'git version' in a terminal and install or repair git until "
              "it prints a version. xcrun: error: invalid active developer path");
    EXPECT_EQ(broken.count("git version"), 0u);
}

TEST_F(GitInspectorTest, BranchesOfARepositoryWithARemote) {
    GitRepo origin(dir_.path(), "origin");
    origin.write("f.txt", "1");
    origin.commit_all("one");
    origin.git({"branch", "feature/x"});
    GitRepo repo(dir_.path(), "repo");
    repo.write("g.txt", "1");
    repo.commit_all("one");
    repo.git({"remote", "add", "origin", origin.path().string()});
    repo.git({"fetch", "-q", "origin"});
    repo.git({"remote", "set-head", "origin", origin.branch()});
    repo.git({"branch", "feature/x"});
    auto inspection = inspector_.inspect(repo.path());
    ASSERT_TRUE(inspection) << inspection.error().message();
    const std::string current = repo.branch();
    EXPECT_EQ(inspection->current_branch, current);
    EXPECT_FALSE(inspection->has_sfdx_project);
    std::vector<GitBranchInfo> expected{{"feature/x", std::nullopt, false}, {current, std::nullopt, true}};
    std::ranges::sort(expected, {}, &GitBranchInfo::name);
    expected.push_back({"origin/feature/x", "origin", false});
    expected.push_back({"origin/" + origin.branch(), "origin", false});
    std::sort(expected.begin() + 2, expected.end(), [](auto& a, auto& b) { return a.name < b.name; });
    EXPECT_EQ(inspection->branches, expected);
}

TEST(GitInspectorParse, BranchLines) {
    const auto branches = inspector::parse_branches(
        "refs/heads/main\r\nrefs/heads/a/b\nrefs/heads/\nrefs/remotes/origin/HEAD\nrefs/remotes/origin/a/b\n"
        "refs/remotes/noslash\nrefs/remotes//x\nrefs/remotes/o/\nrefs/tags/v1\n",
        std::string("a/b"));
    const std::vector<GitBranchInfo> expected{
        {"main", std::nullopt, false}, {"a/b", std::nullopt, true}, {"origin/a/b", "origin", false}};
    EXPECT_EQ(branches, expected);
}

TEST_F(GitInspectorTest, SfdxFlagFollowsTheWorkingTreeOnABranchAndHeadWhenDetached) {
    GitRepo repo(dir_.path(), "repo");
    repo.write("sfdx-project.json", "{}");
    repo.commit_all("one");
    std::filesystem::remove(repo.path() / "sfdx-project.json");
    auto on_branch = inspector_.inspect(repo.path());
    ASSERT_TRUE(on_branch);
    EXPECT_FALSE(on_branch->has_sfdx_project);
    repo.git({"checkout", "-q", "--detach", "HEAD"});
    auto detached = inspector_.inspect(repo.path());
    ASSERT_TRUE(detached);
    EXPECT_FALSE(detached->current_branch);
    EXPECT_TRUE(detached->has_sfdx_project);
    for (const auto& branch : detached->branches) EXPECT_FALSE(branch.is_current);
}

TEST_F(GitInspectorTest, BranchNameValidity) {
    GitRepo repo(dir_.path(), "repo");
    EXPECT_EQ(inspector_.is_valid_branch_name(repo.path(), "   "), false);
    EXPECT_EQ(logged_.count("git check-ref-format"), 0u);
    EXPECT_EQ(inspector_.is_valid_branch_name(repo.path(), "feature/ok"), true);
    EXPECT_EQ(inspector_.is_valid_branch_name(repo.path(), "bad..name"), false);
}

TEST_F(GitInspectorTest, TheBranchNameRuleAgreesWithGitAndRefusesRevisionSyntax) {
    GitRepo repo(dir_.path(), "repo");
    const struct Case {
        std::string name;
        bool valid;
    } cases[] = {
        {"main", true}, {"feature/ok", true}, {"release-1.2", true}, {"caf\xC3\xA9", true}, {"a@b", true},
        {"main~0", false}, {"main^0", false}, {"main@{0}", false}, {"@{-1}", false}, {"@", false},
        {"HEAD", false}, {"-x", false}, {"--output=x", false}, {"a..b", false}, {"a:b", false},
        {"a?b", false}, {"a*b", false}, {"a[b", false}, {"a\\b", false}, {"a b", false},
        {"a\tb", false}, {"a\x7F" "b", false}, {".hidden", false}, {"a/.b", false}, {"a.lock", false},
        {"a/b.lock/c", false}, {"a/", false}, {"/a", false}, {"a//b", false}, {"a.", false}, {"", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(branch_name::is_branch_name(c.name), c.valid);
        // git's own answer: it must accept the name and print it unchanged.
        // "@" passes git's check but names HEAD wherever git reads a revision: the rule refuses it too.
        if (!c.name.empty() && !c.name.starts_with('-') && c.name != "@") {
            const auto run = testing::try_git(repo.path(), {"check-ref-format", "--branch", c.name});
            const bool git_accepts = run.exit_code == 0 && run.out == c.name + "\n";
            EXPECT_EQ(git_accepts, c.valid);
        }
        auto verified = inspector_.verify_branch(repo.path(), c.name, BranchRole::New);
        EXPECT_EQ(verified.has_value(), c.valid);
        if (!c.valid) {
            EXPECT_EQ(verified.error().message(), kInvalidNewBranchSentence);
        }
    }
}

TEST_F(GitInspectorTest, AnExistingBranchMustBeARefOfItsSide) {
    GitRepo repo(dir_.path(), "repo");
    repo.write("a.txt", "a");
    repo.commit_all("one");
    repo.git({"branch", "feature"});
    repo.git({"tag", "v1"});
    repo.git({"update-ref", "refs/remotes/origin/main", "HEAD"});
    const struct Case {
        std::string name;
        BranchRole role;
        std::string answer;
    } cases[] = {
        {"feature", BranchRole::Local, "refs/heads/feature"},
        {"feature", BranchRole::Base, "refs/heads/feature"},
        {"origin/main", BranchRole::Base, "refs/remotes/origin/main"},
        {"origin/main", BranchRole::Remote, "refs/remotes/origin/main"},
        {"origin/main", BranchRole::Local, "The branch origin/main does not exist in the repository."},
        {"feature", BranchRole::Remote, "The branch feature does not exist in the repository."},
        {"v1", BranchRole::Local, "The branch v1 does not exist in the repository."},
        {"v1", BranchRole::Base, "The branch v1 does not exist in the repository."},
        {"feature~0", BranchRole::Local, "The branch name is not a valid git branch name."},
        {"--output=x", BranchRole::Base, "The base branch name is not a valid git branch name."},
        {"feature", BranchRole::New, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto verified = inspector_.verify_branch(repo.path(), c.name, c.role);
        EXPECT_EQ(verified ? *verified : verified.error().message(), c.answer);
    }
}

TEST_F(GitInspectorTest, InitialisationOnlyOutsideRepositories) {
    GitRepo repo(dir_.path(), "repo");
    std::filesystem::create_directories(repo.path() / "sub");
    std::filesystem::create_directories(dir_.path() / "holder");
    { std::ofstream(dir_.path() / "holder/.git") << "gitdir: x"; }
    std::filesystem::create_directories(dir_.path() / "fresh");
    EXPECT_FALSE(inspector::can_initialize_repository(repo.path() / "sub"));
    EXPECT_FALSE(inspector::can_initialize_repository(repo.path() / ".git"));
    EXPECT_FALSE(inspector::can_initialize_repository(dir_.path() / "holder"));
    EXPECT_TRUE(inspector::can_initialize_repository(dir_.path() / "fresh"));
    EXPECT_TRUE(inspector_.can_initialize(dir_.path() / "fresh"));

    auto refused = inspector_.initialize_repository(repo.path() / "sub");
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().message(), "This location cannot be initialized as a git repository.");
    EXPECT_EQ(logged_.count("git init"), 0u);
    ASSERT_TRUE(inspector_.initialize_repository(dir_.path() / "fresh"));
    EXPECT_TRUE(std::filesystem::exists(dir_.path() / "fresh/.git"));
}

}  // namespace
}  // namespace ambrel::git
