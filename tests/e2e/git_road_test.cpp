// The demo's road end to end: ambrel-server driven over stdio by the pinned JSON-RPC client compares
// two branches of a real repository and deploys every deployable row to the target branch. Checked
// with real git: one new commit with the deploy's message, each deployed file byte-equal to the
// source branch's, every other file unchanged, no worktree left and the checked-out branch untouched.
// Run once with the source branch checked out (the deploy goes through a temporary worktree) and once
// with the target branch checked out (through the working tree).

#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "e2e/harness.hpp"
#include "support/git_repo.hpp"
#include "support/test_paths.hpp"

namespace ambrel::testing::e2e {
namespace {

// The files the source branch adds or changes; its one deletion is never deployed.
const std::set<std::string> kDeployedFiles = {
    "force-app/main/default/classes/WarrantyService.cls",
    "force-app/main/default/classes/WarrantyService.cls-meta.xml",
    "force-app/main/default/layouts/Product__c-Product Layout.layout-meta.xml",
    "force-app/main/default/objects/Product__c/fields/Description__c.field-meta.xml",
    "force-app/main/default/objects/Product__c/fields/Warranty__c.field-meta.xml",
    "force-app/main/default/objects/Warranty__c/Warranty__c.object-meta.xml",
};
constexpr std::string_view kDeletedOnSource = "force-app/main/default/objects/Product__c/fields/Charger__c.field-meta.xml";
constexpr std::size_t kDeployedComponents = 5;

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> result;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) {
        if (!line.empty()) result.push_back(line);
    }
    return result;
}

std::string trimmed(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    return text;
}

void put_bytes(const std::filesystem::path& path, std::string_view bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

std::string blob(const std::filesystem::path& repo, const std::string& rev, const std::string& file) {
    return run_git(repo, {"show", rev + ":" + file});
}

struct Case {
    std::string_view checkout;
};

class GitRoad : public ::testing::TestWithParam<Case> {};

TEST_P(GitRoad, DeploysTheDemoSelectionAsOneCommit) {
    if (!isolate_git_environment() || !client_installed()) {
        AMBREL_SKIP_UNLESS_CI("git, node or the pinned vscode-jsonrpc client is missing (run scripts/install-jsonrpc-client)");
    }
    TempDir root;
    const auto repo = root.path() / "ebikes";
    const auto made = make_demo_repo(repo, GetParam().checkout);
    ASSERT_EQ(made.exit_code, 0) << made.out;
    const std::string source(kSourceBranch);
    const std::string target(kTargetBranch);
    const std::string before = trimmed(run_git(repo, {"rev-parse", target}));
    const std::string current = trimmed(run_git(repo, {"branch", "--show-current"}));
    const std::string head_before = trimmed(run_git(repo, {"rev-parse", "HEAD"}));
    const std::string source_rev = trimmed(run_git(repo, {"rev-parse", source}));

    const auto demo = run_demo(root.path(), repo);
    ASSERT_EQ(demo.exit_code, 0) << demo.out;

    // One new commit on the target, its parent the old tip, with the deploy's message naming the source
    // by its label (the repository folder's name, "@", the branch).
    const std::string after = trimmed(run_git(repo, {"rev-parse", target}));
    EXPECT_EQ(lines(run_git(repo, {"rev-list", before + ".." + after})).size(), 1u);
    EXPECT_EQ(trimmed(run_git(repo, {"rev-parse", after + "^"})), before);
    EXPECT_EQ(trimmed(run_git(repo, {"log", "-1", "--format=%s", after})),
              "Quillary: " + std::to_string(kDeployedComponents) + " component(s) from ebikes@" + source);

    // Exactly the deployed files changed, each byte-equal to the source branch's.
    const auto changed = lines(run_git(repo, {"diff", "--name-only", before, after}));
    EXPECT_EQ(std::set<std::string>(changed.begin(), changed.end()), kDeployedFiles);
    for (const auto& file : kDeployedFiles) {
        SCOPED_TRACE(file);
        EXPECT_EQ(blob(repo, after, file), blob(repo, source_rev, file));
    }
    // The deletion is not deployed: the target keeps the file as it was.
    EXPECT_EQ(blob(repo, after, std::string(kDeletedOnSource)), blob(repo, before, std::string(kDeletedOnSource)));

    // No worktree left, the same branch checked out, a clean working tree, the source untouched.
    std::size_t worktrees = 0;
    for (const auto& line : lines(run_git(repo, {"worktree", "list", "--porcelain"}))) {
        if (line.starts_with("worktree ")) ++worktrees;
    }
    EXPECT_EQ(worktrees, 1u);
    EXPECT_FALSE(std::filesystem::exists(repo / ".git" / "worktrees") &&
                 !std::filesystem::is_empty(repo / ".git" / "worktrees"));
    EXPECT_EQ(trimmed(run_git(repo, {"branch", "--show-current"})), current);
    EXPECT_EQ(run_git(repo, {"status", "--porcelain", "--untracked-files=all"}), "");
    EXPECT_EQ(trimmed(run_git(repo, {"rev-parse", source})), source_rev);
    if (current == target) {
        EXPECT_EQ(trimmed(run_git(repo, {"rev-parse", "HEAD"})), after);
    } else {
        EXPECT_EQ(trimmed(run_git(repo, {"rev-parse", "HEAD"})), head_before);
    }

    // The driver printed both tables and the new commit.
    EXPECT_NE(demo.out.find("Differences between"), std::string::npos) << demo.out;
    EXPECT_NE(demo.out.find("CustomObject:Warranty__c"), std::string::npos) << demo.out;
    EXPECT_NE(demo.out.find("New commit on " + target + ": " + after), std::string::npos) << demo.out;
}

INSTANTIATE_TEST_SUITE_P(Checkouts, GitRoad, ::testing::Values(Case{"source"}, Case{"target"}),
                         [](const auto& info) { return std::string(info.param.checkout) == "source"
                                                           ? std::string("SourceCheckedOut")
                                                           : std::string("TargetCheckedOut"); });

// A class the source branch holds in Latin-1 cannot be compared or deployed without changing its
// bytes: the compare leaves it out with the reader's sentence, nothing of it is committed, and every
// other row is deployed byte for byte. Read at a ref (the target checked out) and from the working
// tree (the source checked out).
TEST(GitRoadBytes, ALatinOneClassIsRefusedAndTheOtherRowsDeployExactly) {
    if (!isolate_git_environment() || !client_installed()) {
        AMBREL_SKIP_UNLESS_CI("git, node or the pinned vscode-jsonrpc client is missing (run scripts/install-jsonrpc-client)");
    }
    const std::string latin = "force-app/main/default/classes/LatinService.cls";
    for (const std::string_view checkout : {"target", "source"}) {
        SCOPED_TRACE(checkout);
        TempDir root;
        const auto repo = root.path() / "ebikes";
        const auto made = make_demo_repo(repo, checkout);
        ASSERT_EQ(made.exit_code, 0) << made.out;
        const std::string source(kSourceBranch);
        const std::string target(kTargetBranch);
        if (checkout == "target") run_git(repo, {"checkout", "-q", source});
        put_bytes(repo / latin, "public class LatinService { String s = 'caf\xe9'; }\n");
        put_bytes(repo / (latin + "-meta.xml"),
                   "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<ApexClass xmlns=\"http://soap.sforce.com/2006/04/"
                   "metadata\">\n    <apiVersion>65.0</apiVersion>\n    <status>Active</status>\n</ApexClass>\n");
        run_git(repo, {"add", "-A"});
        run_git(repo, {"-c", "user.name=Ambrel Test", "-c", "user.email=test@ambrel.invalid", "commit", "-q", "-m",
                       "Latin-1 class"});
        if (checkout == "target") run_git(repo, {"checkout", "-q", target});
        const std::string before = trimmed(run_git(repo, {"rev-parse", target}));
        const std::string source_rev = trimmed(run_git(repo, {"rev-parse", source}));

        const auto demo = run_demo(root.path(), repo,
                                   {"--select", "CustomField=Product__c,Warranty__c", "--select",
                                    "Layout=Product__c-Product Layout", "--select",
                                    "ApexClass=WarrantyService,LatinService"});
        ASSERT_EQ(demo.exit_code, 0) << demo.out;
        EXPECT_NE(demo.out.find("warning: " + latin + " in " + source + " is not UTF-8 text."), std::string::npos)
            << demo.out;
        EXPECT_EQ(demo.out.find("LatinService ", demo.out.find("Differences between")), std::string::npos)
            << demo.out;

        const std::string after = trimmed(run_git(repo, {"rev-parse", target}));
        const auto changed = lines(run_git(repo, {"diff", "--name-only", before, after}));
        EXPECT_EQ(std::set<std::string>(changed.begin(), changed.end()), kDeployedFiles);
        for (const auto& file : kDeployedFiles) {
            SCOPED_TRACE(file);
            EXPECT_EQ(blob(repo, after, file), blob(repo, source_rev, file));
        }
        EXPECT_NE(try_git(repo, {"cat-file", "-e", after + ":" + latin}).exit_code, 0);
        EXPECT_NE(try_git(repo, {"cat-file", "-e", after + ":" + latin + "-meta.xml"}).exit_code, 0);
    }
}

}  // namespace
}  // namespace ambrel::testing::e2e
