#include "deployment/git_deploy/git_deploy.hpp"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <fstream>

#include "git_helpers.hpp"
#include "support/git_repo.hpp"
#include "support/test_paths.hpp"
#include "text/text.hpp"

namespace ambrel::deployment::git_deploy {
namespace {

using domain::ChangeKind;
using domain::ComponentDifference;
using metadata_types::MetadataType;
using testing::GitRepo;
using Texts = std::vector<std::string>;
namespace test = git::test;

constexpr std::string_view kClasses = "force-app/main/default/classes/";
constexpr std::string_view kDirtySentenceStart =
    "The checked-out branch has uncommitted changes in files this deploy would change; commit or stash them and "
    "deploy again. Changed files: ";

ComponentDifference apex_class(std::string name, std::string body) {
    ComponentDifference row;
    row.source.key = {MetadataType::ApexClass, std::move(name)};
    row.source.document = "<ApexClass/>";
    row.source.body = domain::ComponentBody{{}, std::move(body)};
    row.change = ChangeKind::Add;
    return row;
}

ComponentDifference bundle(std::string name, std::map<std::string, std::string> files) {
    ComponentDifference row;
    row.source.key = {MetadataType::LightningComponentBundle, std::move(name)};
    row.source.bundle_files = std::move(files);
    row.change = ChangeKind::Update;
    return row;
}

ComponentDifference label(std::string name, std::string value) {
    ComponentDifference row;
    row.source.key = {*metadata_types::generic_type_by_api_name("CustomLabel"), name};
    row.source.document = fmt::format(
        "<CustomLabels xmlns=\"http://soap.sforce.com/2006/04/metadata\">\n    <labels><fullName>{}</fullName><value>{}</value></labels>\n</CustomLabels>\n", name, value);
    row.change = ChangeKind::Update;
    return row;
}

class GitDeployTest : public ::testing::Test {
protected:
    void SetUp() override {
        AMBREL_REQUIRE_GIT();
        base_ = dir_.path() / "workspace/quillary";
    }

    // A repository with one commit holding a project, a class and a labels document.
    std::unique_ptr<GitRepo> project(std::string_view name = "repo") {
        auto repo = std::make_unique<GitRepo>(dir_.path(), name);
        repo->write("sfdx-project.json", R"({"packageDirectories":[{"path":"force-app","default":true}]})");
        repo->write(std::string(kClasses) + "Old.cls", "old");
        repo->write(std::string(kClasses) + "Old.cls-meta.xml", "<ApexClass/>");
        repo->write("force-app/main/default/labels/CustomLabels.labels-meta.xml",
                    "<CustomLabels xmlns=\"http://soap.sforce.com/2006/04/metadata\">\n    <labels><fullName>Zeta</fullName><value>z</value></labels>\n</CustomLabels>\n");
        repo->write("force-app/main/default/lwc/comp/comp.js", "js");
        repo->write("force-app/main/default/lwc/comp/comp.html", "html");
        repo->write("force-app/main/default/lwc/comp/old.css", "css");
        repo->commit_all("initial");
        return repo;
    }

    GitDeployOrchestrator orchestrator(std::size_t budget = kDefaultArgumentBudget) const {
        return GitDeployOrchestrator(logged_.gateway, base_, documents_, budget);
    }

    static endpoint::GitBranchRef branch(std::string name, bool current = false, bool create = false,
                                         std::optional<std::string> base = std::nullopt,
                                         std::optional<std::string> remote = std::nullopt) {
        return endpoint::GitBranchRef{std::move(name), std::move(remote), std::move(base), current, create};
    }

    std::expected<GitDeploySummary, git::GitError> deploy(const GitRepo& repo, const endpoint::GitBranchRef& ref,
                                                          const std::vector<ComponentDifference>& rows,
                                                          const FlsDocuments& fls = {}, std::size_t budget = kDefaultArgumentBudget) {
        return orchestrator(budget).deploy_with_fls(repo.path(), ref, rows, fls, "dev", never_);
    }

    static Texts committed_paths(const GitRepo& repo, const std::string& commit) {
        const std::string out = repo.git({"show", "--name-only", "--format=", "-z", commit});
        Texts paths;
        std::size_t start = 0;
        while (start < out.size()) {
            std::size_t end = out.find('\0', start);
            if (end == std::string::npos) end = out.size();
            if (end > start) paths.push_back(out.substr(start, end - start));
            start = end + 1;
        }
        std::ranges::sort(paths);
        return paths;
    }

    void expect_no_worktree_left(const GitRepo& repo) const {
        std::error_code ignored;
        if (std::filesystem::exists(base_)) {
            EXPECT_TRUE(std::filesystem::is_empty(base_, ignored));
        }
        // Only the main worktree is listed.
        const std::string list = repo.git({"worktree", "list", "--porcelain"});
        EXPECT_EQ(list.find("\nworktree "), std::string::npos) << list;
    }

    testing::TempDir dir_;
    std::filesystem::path base_;
    test::LoggedGateway logged_;
    git::ContainerDocuments documents_ = git::metadata_container_documents();
    domain::NeverCancelled never_;
};

TEST_F(GitDeployTest, ARepositoryWithoutCommitsGetsItsFirstCommitOnTheRequestedBranch) {
    GitRepo repo(dir_.path(), "empty");
    auto summary = deploy(repo, branch("release"), {apex_class("Foo", "class Foo {}")});
    ASSERT_TRUE(summary) << summary.error().message();
    EXPECT_EQ(repo.branch(), "release");
    EXPECT_EQ(repo.head(), summary->commit);
    EXPECT_EQ(committed_paths(repo, summary->commit),
              (Texts{"force-app/main/default/classes/Foo.cls", "force-app/main/default/classes/Foo.cls-meta.xml",
                     "sfdx-project.json"}));
    EXPECT_EQ(testing::read_file(repo.path() / "sfdx-project.json"),
              "{\n  \"packageDirectories\": [\n    { \"path\": \"force-app\", \"default\": true }\n  ],\n"
              "  \"sourceApiVersion\": \"65.0\"\n}\n");
    EXPECT_EQ(text::trim(repo.git({"log", "-1", "--format=%s"})), "Quillary: 1 component(s) from dev");
    ASSERT_EQ(summary->results.size(), 1u);
    EXPECT_EQ(summary->results[0].status, domain::ComponentDeploymentStatus::Succeeded);
    EXPECT_FALSE(std::filesystem::exists(base_));
}

TEST_F(GitDeployTest, ARefusedFirstDeployLeavesHeadWhereItWas) {
    GitRepo repo(dir_.path(), "empty");
    const std::string before(text::trim(repo.git({"symbolic-ref", "HEAD"})));
    // An untracked file where the deploy would write makes it refuse before any write.
    repo.write("force-app/main/default/classes/Foo.cls", "mine");
    auto summary = deploy(repo, branch("release"), {apex_class("Foo", "class Foo {}")});
    ASSERT_FALSE(summary);
    EXPECT_EQ(text::trim(repo.git({"symbolic-ref", "HEAD"})), before);
    EXPECT_EQ(testing::read_file(repo.path() / "force-app/main/default/classes/Foo.cls"), "mine");
}

TEST_F(GitDeployTest, TheCheckedOutBranchIsWrittenInPlaceAndOtherChangesStayOutOfTheCommit) {
    auto repo = project();
    repo->write("force-app/main/default/classes/Old.cls", "edited but not deployed");
    repo->write("notes.txt", "untracked");
    auto summary = deploy(*repo, branch(repo->branch(), true), {apex_class("Foo", "foo")});
    ASSERT_TRUE(summary) << summary.error().message();
    EXPECT_EQ(committed_paths(*repo, summary->commit),
              (Texts{"force-app/main/default/classes/Foo.cls", "force-app/main/default/classes/Foo.cls-meta.xml"}));
    // The edit the deploy did not touch is still there and still uncommitted.
    EXPECT_EQ(testing::read_file(repo->path() / "force-app/main/default/classes/Old.cls"), "edited but not deployed");
    EXPECT_NE(repo->git({"status", "--porcelain"}).find("Old.cls"), std::string::npos);
    expect_no_worktree_left(*repo);
}

TEST_F(GitDeployTest, DirtyDestinationsAreRefusedBeforeAnythingIsWritten) {
    auto repo = project();
    const std::string before = repo->head();
    struct Case {
        std::string name;
        std::function<void()> dirty;
        std::string listed;
    };
    const Case cases[] = {
        {"modified", [&] { repo->write("force-app/main/default/classes/Old.cls", "mine"); },
         "force-app/main/default/classes/Old.cls"},
        {"staged", [&] {
             repo->write("force-app/main/default/classes/Old.cls", "staged");
             repo->git({"add", "--", "force-app/main/default/classes/Old.cls"});
         },
         "force-app/main/default/classes/Old.cls"},
        {"deleted", [&] { std::filesystem::remove(repo->path() / "force-app/main/default/classes/Old.cls"); },
         "force-app/main/default/classes/Old.cls"},
        {"untracked", [&] { repo->write("force-app/main/default/classes/Foo.cls", "untracked"); },
         "force-app/main/default/classes/Foo.cls"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        repo->git({"reset", "-q", "--hard", before});
        repo->git({"clean", "-q", "-fd"});
        c.dirty();
        const std::string status_before = repo->git({"status", "--porcelain"});
        auto summary = deploy(*repo, branch(repo->branch(), true), {apex_class("Old", "deploy"), apex_class("Foo", "deploy")});
        ASSERT_FALSE(summary);
        EXPECT_EQ(summary.error().kind(), git::GitError::Kind::CommandFailed);
        EXPECT_EQ(summary.error().message(), std::string(kDirtySentenceStart) + c.listed);
        EXPECT_EQ(repo->head(), before);
        EXPECT_EQ(repo->git({"status", "--porcelain"}), status_before);
    }
}

TEST_F(GitDeployTest, ABranchSwitchedSinceInspectionGoesThroughAWorktree) {
    auto repo = project();
    const std::string main_branch = repo->branch();
    repo->git({"branch", "feature"});
    const std::string main_head = repo->head();
    // "feature" was checked out when the user picked it; main is checked out now.
    auto summary = deploy(*repo, branch("feature", true), {apex_class("Foo", "foo")});
    ASSERT_TRUE(summary) << summary.error().message();
    EXPECT_EQ(repo->branch(), main_branch);
    EXPECT_EQ(repo->head(), main_head);
    EXPECT_EQ(text::trim(repo->git({"rev-parse", "feature"})), summary->commit);
    EXPECT_FALSE(std::filesystem::exists(repo->path() / "force-app/main/default/classes/Foo.cls"));
    expect_no_worktree_left(*repo);
}

TEST_F(GitDeployTest, ANewBranchFromABase) {
    auto repo = project();
    const std::string first = repo->head();
    repo->git({"branch", "release/1"});
    repo->write("later.txt", "x");
    repo->commit_all("later");
    auto summary = deploy(*repo, branch("topic/new", false, true, "release/1"), {apex_class("Foo", "foo")});
    ASSERT_TRUE(summary) << summary.error().message();
    EXPECT_EQ(text::trim(repo->git({"rev-parse", "topic/new~1"})), first);
    expect_no_worktree_left(*repo);
}

TEST_F(GitDeployTest, ARemoteTrackingBranchMakesItsLocalBranch) {
    auto upstream = project("upstream");
    upstream->git({"branch", "feature"});
    GitRepo repo(dir_.path(), "clone");
    repo.write("x.txt", "x");
    repo.commit_all("own");
    repo.git({"remote", "add", "origin", upstream->path().string()});
    repo.git({"fetch", "-q", "origin"});
    auto summary = deploy(repo, branch("origin/feature", false, false, std::nullopt, "origin"), {apex_class("Foo", "f")});
    ASSERT_TRUE(summary) << summary.error().message();
    EXPECT_EQ(text::trim(repo.git({"rev-parse", "feature"})), summary->commit);
    EXPECT_EQ(text::trim(repo.git({"rev-parse", "feature~1"})), text::trim(repo.git({"rev-parse", "origin/feature"})));
    expect_no_worktree_left(repo);
}

TEST_F(GitDeployTest, AFailedCommitLeavesNoWorktreeAndNoCreatedBranch) {
    auto repo = project();
    test::LoggedGateway failing(std::make_unique<test::FailingRunner>(
        std::vector<test::FailingRunner::Rule>{{"commit", test::Failure::Exit128}}));
    const GitDeployOrchestrator deployer(failing.gateway, base_, documents_);
    auto summary = deployer.deploy_with_fls(repo->path(), branch("doomed", false, true), {apex_class("Foo", "f")}, {},
                                            "dev", never_);
    ASSERT_FALSE(summary);
    EXPECT_EQ(summary.error().message(), "fatal: chosen failure");
    EXPECT_NE(testing::try_git(repo->path(), {"rev-parse", "--verify", "--quiet", "refs/heads/doomed"}).exit_code, 0);
    expect_no_worktree_left(*repo);
}

TEST_F(GitDeployTest, AFailingWorktreeCommandIsCleanedUp) {
    auto repo = project();
    for (const auto failure : {test::Failure::TimedOut, test::Failure::Exit128}) {
        test::LoggedGateway failing(std::make_unique<test::FailingRunner>(
            std::vector<test::FailingRunner::Rule>{{"worktree", failure, 1}}));
        const GitDeployOrchestrator deployer(failing.gateway, base_, documents_);
        auto summary = deployer.deploy_with_fls(repo->path(), branch("slow", false, true), {apex_class("Foo", "f")}, {},
                                                "dev", never_);
        ASSERT_FALSE(summary);
        if (failure == test::Failure::TimedOut) {
            EXPECT_EQ(summary.error().message(), "The git command timed out.");
            EXPECT_EQ(failing.count("git worktree remove"), 1u);
            EXPECT_EQ(failing.count("git worktree prune"), 1u);
            EXPECT_EQ(failing.count("git branch"), 1u);
        }
        expect_no_worktree_left(*repo);
    }
}

TEST_F(GitDeployTest, OptionsRevisionSyntaxAndMissingBranchesNeverReachTheWorktree) {
    auto repo = project();
    const std::string main_branch = repo->branch();
    const std::string before = repo->head();
    repo->git({"branch", "feature"});
    constexpr std::string_view kBranch = "The branch name is not a valid git branch name.";
    constexpr std::string_view kBase = "The base branch name is not a valid git branch name.";
    constexpr std::string_view kNew = "The new branch name is not a valid git branch name.";
    const struct Case {
        endpoint::GitBranchRef ref;
        std::string message;
    } cases[] = {
        {branch(main_branch + "~0"), std::string(kBranch)},
        {branch(main_branch + "^0", true), std::string(kBranch)},
        {branch(main_branch + "@{0}"), std::string(kBranch)},
        {branch("feature~0"), std::string(kBranch)},
        {branch("origin/" + main_branch + "~0", false, false, std::nullopt, "origin"), std::string(kBranch)},
        {branch("-x"), std::string(kBranch)},
        {branch("origin/", false, false, std::nullopt, "origin"), std::string(kBranch)},
        {branch("HEAD"), std::string(kBranch)},
        {branch("@{-1}"), std::string(kBranch)},
        {branch("x", false, true, "--output=x"), std::string(kBase)},
        {branch("x", false, true, ""), std::string(kBase)},
        {branch("x", false, true, main_branch + "~1"), std::string(kBase)},
        {branch("x", false, true, before), "The branch " + before + " does not exist in the repository."},
        {branch("bad..name", false, true), std::string(kNew)},
        {branch("-b", false, true), std::string(kNew)},
        {branch("missing"), "The branch missing does not exist in the repository."},
        {branch("origin/missing", false, false, std::nullopt, "origin"),
         "The branch origin/missing does not exist in the repository."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.ref.name + " / " + c.ref.base.value_or("-"));
        auto summary = deploy(*repo, c.ref, {apex_class("Foo", "f")});
        ASSERT_FALSE(summary);
        EXPECT_EQ(summary.error().message(), c.message);
        EXPECT_EQ(repo->head(), before);
        EXPECT_EQ(repo->git({"status", "--porcelain"}), "");
    }
    EXPECT_EQ(logged_.count("git worktree add"), 0u);
    EXPECT_EQ(logged_.count("git commit"), 0u);
    EXPECT_EQ(text::trim(repo->git({"rev-parse", "feature"})), before);
    expect_no_worktree_left(*repo);
}

TEST_F(GitDeployTest, TheRepositoryNotTheRequestDecidesWhetherTheWorkingTreeIsWritten) {
    auto repo = project();
    const std::string main_branch = repo->branch();
    // Picked while another branch was checked out: the flag says "not current", the repository says current.
    auto summary = deploy(*repo, branch(main_branch, false), {apex_class("Foo", "foo")});
    ASSERT_TRUE(summary) << summary.error().message();
    EXPECT_EQ(repo->head(), summary->commit);
    EXPECT_EQ(testing::read_file(repo->path() / "force-app/main/default/classes/Foo.cls"), "foo");
    EXPECT_EQ(logged_.count("git worktree add"), 0u);
    expect_no_worktree_left(*repo);
}

TEST_F(GitDeployTest, ABranchCheckedOutInAnotherWorktreeIsNamedWithItsFolder) {
    auto repo = project();
    const std::filesystem::path other = dir_.path() / "other";
    repo->git({"worktree", "add", "-q", "-b", "feature", other.string()});
    const std::string before = repo->head();
    auto summary = deploy(*repo, branch("feature"), {apex_class("Foo", "foo")});
    ASSERT_FALSE(summary);
    EXPECT_EQ(summary.error().message(),
              "feature is checked out in " + std::filesystem::canonical(other).string() +
                  "; switch that folder to another branch, or deploy to the repository at that folder.");
    EXPECT_EQ(text::trim(repo->git({"rev-parse", "feature"})), before);
    EXPECT_EQ(logged_.count("git worktree add"), 0u);
}

TEST_F(GitDeployTest, ACommitThatNoBranchHoldsIsAFailureThatSaysWhereTheCommitIs) {
    auto repo = project();
    repo->git({"branch", "feature"});
    const std::string before = repo->head();
    // A hook that detaches HEAD at the new commit and moves the branch back leaves the commit on no
    // branch, as a checkout of a revision ("feature~0") would.
    const auto hook = repo->path() / ".git/hooks/post-commit";
    std::filesystem::create_directories(hook.parent_path());
    std::ofstream(hook) << "#!/bin/sh\ngit update-ref --no-deref HEAD HEAD\ngit update-ref refs/heads/feature HEAD~1\n";
    std::filesystem::permissions(hook, std::filesystem::perms::owner_all);
    auto summary = deploy(*repo, branch("feature"), {apex_class("Foo", "foo")});
    ASSERT_FALSE(summary);
    const std::string& message = summary.error().message();
    EXPECT_TRUE(message.starts_with("The commit ")) << message;
    EXPECT_NE(message.find(", but the branch feature does not point at it; the commit is on no branch (keep it with "
                           "'git branch <name> "),
              std::string::npos)
        << message;
    EXPECT_EQ(text::trim(repo->git({"rev-parse", "feature"})), before);
    expect_no_worktree_left(*repo);
}

TEST_F(GitDeployTest, IgnoredDestinationsAreRefusedBeforeAnythingIsWritten) {
    auto repo = project();
    const struct Case {
        std::string pattern;
        std::string file;
        ComponentDifference row;
    } cases[] = {
        {"force-app/main/default/classes/Foo.cls", "force-app/main/default/classes/Foo.cls", apex_class("Foo", "deploy")},
        {"*.cls", "force-app/main/default/classes/Foo.cls", apex_class("Foo", "deploy")},
        {"force-app/main/default/lwc/fresh/", "force-app/main/default/lwc/fresh/fresh.js",
         bundle("fresh", {{"fresh.js", "deploy"}})},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.pattern);
        repo->write(".git/info/exclude", c.pattern + "\n");
        repo->write(c.file, "local build output");
        const std::string before = repo->head();
        auto summary = deploy(*repo, branch(repo->branch(), true), {apex_class("Old", "deploy"), c.row});
        ASSERT_FALSE(summary);
        EXPECT_EQ(summary.error().message(), c.file + " is ignored by git in repo; this deploy would overwrite it.");
        EXPECT_EQ(testing::read_file(repo->path() / c.file), "local build output");
        EXPECT_EQ(testing::read_file(repo->path() / "force-app/main/default/classes/Old.cls"), "old");
        EXPECT_EQ(repo->git({"status", "--porcelain"}), "");
        EXPECT_EQ(repo->git({"diff", "--cached", "--name-only"}), "");
        EXPECT_EQ(repo->head(), before);
        std::filesystem::remove(repo->path() / c.file);
    }
}

TEST_F(GitDeployTest, AFailureAfterTheFirstWriteLeavesTheWorkingTreeAndTheIndexAsTheyWere) {
    auto repo = project();
    const std::string before = repo->head();
    const std::vector<ComponentDifference> rows{apex_class("Old", "deployed"), apex_class("Foo", "deployed"),
                                                bundle("fresh", {{"fresh.js", "js"}}),
                                                bundle("comp", {{"comp.js", "new js"}})};
    const auto expect_as_found = [&] {
        EXPECT_EQ(testing::read_file(repo->path() / "force-app/main/default/classes/Old.cls"), "old");
        EXPECT_EQ(testing::read_file(repo->path() / "force-app/main/default/lwc/comp/comp.js"), "js");
        EXPECT_EQ(testing::read_file(repo->path() / "force-app/main/default/lwc/comp/old.css"), "css");
        EXPECT_FALSE(std::filesystem::exists(repo->path() / "force-app/main/default/classes/Foo.cls"));
        EXPECT_FALSE(std::filesystem::exists(repo->path() / "force-app/main/default/lwc/fresh"));
        EXPECT_EQ(repo->git({"status", "--porcelain", "--ignored"}), "");
        EXPECT_EQ(repo->head(), before);
    };
    for (const std::string command : {"add", "commit"}) {
        SCOPED_TRACE(command);
        test::LoggedGateway failing(std::make_unique<test::FailingRunner>(
            std::vector<test::FailingRunner::Rule>{{command, test::Failure::Exit128}}));
        const GitDeployOrchestrator deployer(failing.gateway, base_, documents_);
        auto summary = deployer.deploy_with_fls(repo->path(), branch(repo->branch(), true), rows, {}, "dev", never_);
        ASSERT_FALSE(summary);
        EXPECT_EQ(summary.error().message(), "fatal: chosen failure");
        expect_as_found();
    }
    // git itself refuses to stage a new file that a pattern ignores: the written files go again.
    repo->write(".git/info/exclude", "Foo.cls\n");
    auto refused = deploy(*repo, branch(repo->branch(), true), rows);
    ASSERT_FALSE(refused);
    EXPECT_NE(refused.error().message().find("ignored"), std::string::npos) << refused.error().message();
    expect_as_found();
}

TEST_F(GitDeployTest, ARepositoryWithoutAuthorIdentityIsRefusedBeforeAnythingIsWritten) {
    auto repo = project();
    const std::string before = repo->head();
    repo->git({"config", "--unset", "user.name"});
    repo->git({"config", "--unset", "user.email"});
    repo->git({"config", "user.useConfigOnly", "true"});
    for (const auto& ref : {branch(repo->branch(), true), branch("fresh", false, true)}) {
        SCOPED_TRACE(ref.name);
        auto summary = deploy(*repo, ref, {apex_class("Foo", "f")});
        ASSERT_FALSE(summary);
        EXPECT_EQ(summary.error().message(), "git has no author identity for repo: set user.name and user.email.");
        EXPECT_EQ(repo->git({"status", "--porcelain"}), "");
        EXPECT_EQ(repo->head(), before);
    }
    EXPECT_EQ(logged_.count("git worktree add"), 0u);
    expect_no_worktree_left(*repo);
}

TEST_F(GitDeployTest, AFailingPostCheckoutHookLeavesNoBranchNoWorktreeAndNoStaleEntry) {
    auto repo = project();
    const auto hook = repo->path() / ".git/hooks/post-checkout";
    std::filesystem::create_directories(hook.parent_path());
    std::ofstream(hook) << "#!/bin/sh\nexit 1\n";
    std::filesystem::permissions(hook, std::filesystem::perms::owner_all);
    auto summary = deploy(*repo, branch("hooked", false, true), {apex_class("Foo", "f")});
    ASSERT_FALSE(summary);
    EXPECT_NE(testing::try_git(repo->path(), {"rev-parse", "--verify", "--quiet", "refs/heads/hooked"}).exit_code, 0);
    expect_no_worktree_left(*repo);
    // The retry is not blocked by anything the failed attempt left.
    std::filesystem::remove(hook);
    auto retried = deploy(*repo, branch("hooked", false, true), {apex_class("Foo", "f")});
    ASSERT_TRUE(retried) << retried.error().message();
    EXPECT_EQ(text::trim(repo->git({"rev-parse", "hooked"})), retried->commit);
}

TEST_F(GitDeployTest, BareRepositoriesAndCancellationAreRefused) {
    GitRepo bare(dir_.path(), "bare.git", true);
    auto refused = deploy(bare, branch("main"), {apex_class("Foo", "f")});
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().message(), "A bare repository cannot be a deployment target.");
    auto repo = project();
    testing::TestToken cancelled;
    cancelled.cancel();
    auto summary = orchestrator().deploy_with_fls(repo->path(), branch("x"), {apex_class("Foo", "f")}, {}, "dev", cancelled);
    ASSERT_FALSE(summary);
    EXPECT_EQ(summary.error().message(), "The deployment was cancelled.");
    auto invalid = deploy(*repo, branch("bad..name", false, true), {apex_class("Foo", "f")});
    ASSERT_FALSE(invalid);
    EXPECT_EQ(invalid.error().message(), "The new branch name is not a valid git branch name.");
}

TEST_F(GitDeployTest, StagingGoesInBatchesAndALargeCommitReadsItsPathsFromAFile) {
    auto repo = project();
    std::vector<ComponentDifference> rows;
    for (int i = 0; i < 12; ++i) rows.push_back(apex_class(fmt::format("Class{:02}", i), "c"));
    auto summary = deploy(*repo, branch(repo->branch(), true), rows, {}, 200);
    ASSERT_TRUE(summary) << summary.error().message();
    EXPECT_EQ(committed_paths(*repo, summary->commit).size(), 24u);
    EXPECT_GT(logged_.count("git add"), 3u);
    EXPECT_EQ(logged_.count("git commit"), 1u);
    EXPECT_TRUE(repo->git({"status", "--porcelain"}).empty());
}

TEST_F(GitDeployTest, GitCommandsDoNotGrowWithTheNumberOfFiles) {
    auto count_for = [&](int classes) {
        auto repo = project(fmt::format("repo{}", classes));
        const std::size_t before = logged_.commands().size();
        std::vector<ComponentDifference> rows;
        for (int i = 0; i < classes; ++i) rows.push_back(apex_class(fmt::format("C{}", i), "c"));
        EXPECT_TRUE(deploy(*repo, branch("target", false, true), rows));
        return logged_.commands().size() - before;
    };
    EXPECT_EQ(count_for(2), count_for(40));
}

TEST_F(GitDeployTest, BundleFilesTheNewBundleLacksAreRemovedAndStaged) {
    auto repo = project();
    repo->write("force-app/main/default/lwc/comp/sub/tracked.js", "t");
    repo->commit_all("sub");
    repo->write("force-app/main/default/lwc/comp/mine.txt", "untracked");
    auto summary = deploy(*repo, branch(repo->branch(), true),
                          {bundle("comp", {{"comp.js", "new js"}, {"comp.html", "new html"}})});
    ASSERT_TRUE(summary) << summary.error().message();
    EXPECT_EQ(committed_paths(*repo, summary->commit),
              (Texts{"force-app/main/default/lwc/comp/comp.html", "force-app/main/default/lwc/comp/comp.js",
                     "force-app/main/default/lwc/comp/old.css", "force-app/main/default/lwc/comp/sub/tracked.js"}));
    EXPECT_FALSE(std::filesystem::exists(repo->path() / "force-app/main/default/lwc/comp/old.css"));
    EXPECT_TRUE(std::filesystem::exists(repo->path() / "force-app/main/default/lwc/comp/mine.txt"));
    EXPECT_TRUE(std::filesystem::is_directory(repo->path() / "force-app/main/default/lwc/comp/sub"));
}

TEST_F(GitDeployTest, LabelsAreMergedIntoTheBranchDocument) {
    auto repo = project();
    auto summary = deploy(*repo, branch(repo->branch(), true),
                          {label("Zeta", "z2"), apex_class("Foo", "f"), label("Beta", "b")});
    ASSERT_TRUE(summary) << summary.error().message();
    const std::string merged =
        testing::read_file(repo->path() / "force-app/main/default/labels/CustomLabels.labels-meta.xml");
    EXPECT_NE(merged.find("<fullName>Zeta</fullName><value>z2</value>"), std::string::npos);
    EXPECT_NE(merged.find("<fullName>Beta</fullName><value>b</value>"), std::string::npos);
    ASSERT_EQ(summary->results.size(), 3u);
    EXPECT_EQ(summary->results[0].key.name, "Foo");
    EXPECT_EQ(summary->results[1].key.name, "Zeta");
    EXPECT_EQ(summary->results[2].key.name, "Beta");
    EXPECT_EQ(text::trim(repo->git({"log", "-1", "--format=%s"})), "Quillary: 3 component(s) from dev");
}

TEST_F(GitDeployTest, ContainerDocumentsAndPermissionsAreRenderedOrSkipped) {
    auto repo = project();
    std::filesystem::remove(repo->path() / "force-app/main/default/labels/CustomLabels.labels-meta.xml");
    repo->commit_all("no labels");
    ComponentDifference missing = label("Alpha", "a");
    missing.source.key.name = "Other";
    const FlsDocuments fls{{{domain::FlsContainerKind::Profile, "Admin"}, "profile"},
                           {{domain::FlsContainerKind::PermissionSet, "Ops"}, "permset"}};
    auto summary = deploy(*repo, branch(repo->branch(), true), {label("Zed", "z"), label("Alpha", "a")}, fls);
    ASSERT_TRUE(summary) << summary.error().message();
    const std::string rendered =
        testing::read_file(repo->path() / "force-app/main/default/labels/CustomLabels.labels-meta.xml");
    EXPECT_LT(rendered.find("Alpha"), rendered.find("Zed"));
    EXPECT_EQ(testing::read_file(repo->path() / "force-app/main/default/permissionsets/Ops.permissionset-meta.xml"),
              "permset");
    EXPECT_FALSE(std::filesystem::exists(repo->path() / "force-app/main/default/profiles"));
    auto unmatched = deploy(*repo, branch(repo->branch(), true), {missing});
    ASSERT_FALSE(unmatched);
    EXPECT_EQ(unmatched.error().message(), "The source document of a container component has no matching element.");
}

TEST_F(GitDeployTest, LinksOnTheWayAreRefusedAndNothingIsWrittenOutside) {
    auto repo = project();
    testing::TempDir outside;
    std::filesystem::remove_all(repo->path() / "force-app/main/default/classes");
    std::filesystem::create_directory_symlink(outside.path(), repo->path() / "force-app/main/default/classes");
    repo->commit_all("linked classes");
    auto summary = deploy(*repo, branch(repo->branch(), true), {apex_class("Foo", "f")});
    ASSERT_FALSE(summary);
    EXPECT_EQ(summary.error().message(),
              "The repository contains an unsafe metadata path. Offending path: "
              "force-app/main/default/classes/Foo.cls-meta.xml");
    EXPECT_TRUE(std::filesystem::is_empty(outside.path()));

    // A link where the labels document lies is not followed either.
    std::filesystem::remove(repo->path() / "force-app/main/default/labels/CustomLabels.labels-meta.xml");
    { std::ofstream(outside.path() / "target.xml") << "<CustomLabels xmlns=\"http://soap.sforce.com/2006/04/metadata\">\n</CustomLabels>\n"; }
    std::filesystem::create_symlink(outside.path() / "target.xml",
                                    repo->path() / "force-app/main/default/labels/CustomLabels.labels-meta.xml");
    repo->commit_all("linked labels");
    auto labels = deploy(*repo, branch(repo->branch(), true), {label("Zeta", "z")});
    ASSERT_FALSE(labels);
    EXPECT_EQ(labels.error().message(),
              "The repository entry at this metadata path is not a regular file: CustomLabels.labels-meta.xml");
    EXPECT_EQ(testing::read_file(outside.path() / "target.xml"), "<CustomLabels xmlns=\"http://soap.sforce.com/2006/04/metadata\">\n</CustomLabels>\n");
}

// A file system that ignores letter case, over a real folder.
class CaseInsensitiveFileSystem final : public DeployFileSystem {
public:
    std::expected<platform_fs::below::EntryKind, std::error_code> entry_kind(const std::filesystem::path& root,
                                                                             std::string_view relative) const override {
        const std::size_t slash = relative.rfind('/');
        const std::string folder(slash == std::string_view::npos ? "" : relative.substr(0, slash));
        const std::string name(relative.substr(slash + 1));
        auto names = real_.list_directory(root, folder);
        if (!names) return real_.entry_kind(root, relative);
        for (const std::string& entry : *names) {
            if (text::equals_ascii_case_insensitive(entry, name)) return real_.entry_kind(root, folder + "/" + entry);
        }
        return platform_fs::below::EntryKind::Missing;
    }
    std::expected<std::vector<std::string>, std::error_code> list_directory(const std::filesystem::path& root,
                                                                            std::string_view relative) const override {
        return real_.list_directory(root, relative);
    }

private:
    RealDeployFileSystem real_;
};

TEST_F(GitDeployTest, AnotherSpellingOfAnExistingFileIsRefused) {
    auto repo = project();
    const GitDeployOrchestrator deployer(logged_.gateway, base_, documents_, kDefaultArgumentBudget,
                                         std::make_shared<CaseInsensitiveFileSystem>());
    auto summary = deployer.deploy_with_fls(repo->path(), branch(repo->branch(), true), {apex_class("OLD", "x")}, {},
                                            "dev", never_);
    ASSERT_FALSE(summary);
    EXPECT_EQ(summary.error().message(),
              "The repository already contains this file under a different spelling that this filesystem treats as "
              "the same name: OLD.cls-meta.xml");
    EXPECT_FALSE(std::filesystem::exists(repo->path() / "force-app/main/default/classes/OLD.cls"));
}

TEST(DefaultPackageDirectory, FirstDefaultThenFirstSafe) {
    struct Case {
        std::string text;
        std::optional<std::string> directory;
        Texts refused;
    };
    const Case cases[] = {
        {R"({"packageDirectories":[{"path":"a"},{"path":"b","default":true}]})", "b", {}},
        {R"({"packageDirectories":[{"path":" app "}]})", "app", {}},
        {R"({"packageDirectories":[{"path":"force-app/"},{"path":"../x"}]})", std::nullopt, {"force-app/", "../x"}},
        {R"({"packageDirectories":[{"path":"a"},{"path":"b","default":"true"}]})", "a", {}},
        {"nope", std::nullopt, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const auto result = default_package_directory(c.text);
        EXPECT_EQ(result.directory, c.directory);
        EXPECT_EQ(result.refused, c.refused);
    }
}

TEST_F(GitDeployTest, AComponentKeptOutsideMainDefaultIsNotWrittenAgain) {
    struct Case {
        std::string name;
        bool current;
    };
    for (const Case& c : {Case{"worktree", false}, Case{"in-place", true}}) {
        SCOPED_TRACE(c.name);
        auto repo = project(c.name);
        repo->write("sfdx-project.json",
                    R"({"packageDirectories":[{"path":"force-app","default":true},{"path":"extra"}]})");
        repo->write("force-app/main/tdtm/classes/Dup.cls", "dup");
        repo->write("force-app/main/tdtm/classes/Dup.cls-meta.xml", "<ApexClass/>");
        repo->write("force-app/main/tdtm/lwc/widget/widget.js", "widget");
        // Another package directory's copy is that directory's business, not this deploy's.
        repo->write("extra/main/tdtm/classes/Other.cls", "other");
        repo->commit_all("outside");
        const std::string before = repo->head();
        auto summary = deploy(*repo, c.current ? branch(repo->branch(), true) : branch("target", false, true),
                              {apex_class("Dup", "new dup"), apex_class("Other", "other"),
                               bundle("widget", {{"widget.js", "new widget"}})});
        ASSERT_TRUE(summary) << summary.error().message();
        ASSERT_EQ(summary->results.size(), 3u);
        EXPECT_EQ(summary->results[0].status, domain::ComponentDeploymentStatus::Failed);
        EXPECT_EQ(summary->results[0].message,
                  "Dup already exists at force-app/main/tdtm/classes/Dup.cls-meta.xml outside main/default; this "
                  "deploy writes only below main/default.");
        EXPECT_EQ(summary->results[1].status, domain::ComponentDeploymentStatus::Succeeded);
        EXPECT_EQ(summary->results[2].status, domain::ComponentDeploymentStatus::Failed);
        EXPECT_EQ(summary->results[2].message,
                  "widget already exists at force-app/main/tdtm/lwc/widget/widget.js outside main/default; this "
                  "deploy writes only below main/default.");
        EXPECT_EQ(committed_paths(*repo, summary->commit),
                  (Texts{"force-app/main/default/classes/Other.cls", "force-app/main/default/classes/Other.cls-meta.xml"}));
        EXPECT_EQ(text::trim(repo->git({"log", "-1", "--format=%s", summary->commit})),
                  "Quillary: 1 component(s) from dev");
        EXPECT_EQ(text::trim(repo->git({"rev-parse", summary->commit + "^"})), before);
        if (c.current) {
            EXPECT_FALSE(std::filesystem::exists(repo->path() / "force-app/main/default/classes/Dup.cls"));
            EXPECT_FALSE(std::filesystem::exists(repo->path() / "force-app/main/default/lwc/widget"));
        }
        expect_no_worktree_left(*repo);
    }
}

TEST_F(GitDeployTest, OnlyRowsKeptOutsideMainDefaultLeaveNothingToCommit) {
    auto repo = project();
    repo->write("force-app/classes/Dup.cls-meta.xml", "<ApexClass/>");
    repo->commit_all("outside");
    auto summary = deploy(*repo, branch("target", false, true), {apex_class("Dup", "new dup")});
    ASSERT_FALSE(summary);
    EXPECT_EQ(summary.error().message(), "The deployment produced no files to commit.");
    expect_no_worktree_left(*repo);
}

}  // namespace
}  // namespace ambrel::deployment::git_deploy
