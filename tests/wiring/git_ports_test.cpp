// The git ports against real temporary repositories: which side of a repository each reads, the root
// rule, the tolerance for branches that are not SFDX projects, the three answers of the target check,
// and the commit of a deploy through a worktree below the workspace root.

#include "wiring/git_ports.hpp"

#include <gtest/gtest.h>

#include <fstream>

#include "adapter_context.hpp"
#include "domain/cancellation.hpp"
#include "support/git_repo.hpp"
#include "support/test_paths.hpp"
#include "text/text.hpp"

namespace ambrel::server::wiring {
namespace {

using app::FailureKind;
using endpoint::DeployEndpoint;
using endpoint::GitBranchRef;
using metadata_types::MetadataType;
using testing::GitRepo;
using Names = std::vector<std::string>;

constexpr std::string_view kProject = R"({"packageDirectories":[{"path":"force-app","default":true}]})";
constexpr std::string_view kClasses = "force-app/main/default/classes/";

DeployEndpoint git_endpoint(const std::filesystem::path& path, GitBranchRef branch) {
    return DeployEndpoint{DeployEndpoint::Git{path, std::move(branch)}};
}

DeployEndpoint org_endpoint(std::string alias = "dev", std::string username = "dev@example.com") {
    endpoint::OrgAlias org;
    org.alias = std::move(alias);
    org.username = std::move(username);
    return DeployEndpoint{DeployEndpoint::Org{std::move(org)}};
}

GitBranchRef local(std::string name, bool current = false) { return GitBranchRef{std::move(name), {}, {}, current, false}; }

void write_class(const GitRepo& repo, std::string_view name) {
    repo.write(std::string(kClasses) + std::string(name) + ".cls", "class " + std::string(name) + " {}");
    repo.write(std::string(kClasses) + std::string(name) + ".cls-meta.xml", "<ApexClass/>");
}

class GitPortsTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!testing::isolate_git_environment()) AMBREL_SKIP_UNLESS_CI("git is not installed");
        ports_ = make_git_dependencies(adapter_.context);
    }

    // A project with class A committed on the checked-out branch and on "other".
    std::unique_ptr<GitRepo> project(std::string_view name = "repo") {
        auto repo = std::make_unique<GitRepo>(adapter_.dir.path(), name);
        repo->write("sfdx-project.json", kProject);
        write_class(*repo, "A");
        repo->commit_all("initial");
        repo->git({"branch", "other"});
        return repo;
    }

    Names listed(const DeployEndpoint& endpoint) {
        auto objects = ports_->git_component_listing(endpoint, MetadataType::ApexClass, never_);
        EXPECT_TRUE(objects) << (objects ? "" : objects.error().detail_text());
        Names names;
        if (objects) {
            for (const auto& object : *objects) names.push_back(object.api_name);
        }
        return names;
    }

    server::wiring::test::AdapterContext adapter_;
    std::shared_ptr<const app::ports::GitDependencies> ports_;
    domain::NeverCancelled never_;
};

TEST_F(GitPortsTest, TheCheckedOutBranchIsReadFromTheWorkingTreeAndOtherBranchesFromTheirCommits) {
    auto repo = project();
    write_class(*repo, "B");  // not committed
    repo->write("force-app/main/default/classes/deep/ignored.txt", "x");
    EXPECT_EQ(listed(git_endpoint(repo->path(), local(repo->branch(), true))), (Names{"A", "B"}));
    EXPECT_EQ(listed(git_endpoint(repo->path(), local("other"))), (Names{"A"}));
    // A path inside the working tree reads the same repository from its top.
    EXPECT_EQ(listed(git_endpoint(repo->path() / "force-app" / "main", local(repo->branch(), true))),
              (Names{"A", "B"}));
    const auto events = adapter_.reporter->events();
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(progress::wire_id(events[0].stage), "listingObjects");
    EXPECT_EQ(events[0].detail, "repo@" + repo->branch());
    EXPECT_FALSE(events[0].current);
}

TEST_F(GitPortsTest, TheRepositoryNotTheRequestSaysWhichBranchIsReadFromTheWorkingTree) {
    auto repo = project();
    const std::string first = repo->branch();
    // The user switched branches in a terminal after choosing: the flags are stale.
    repo->git({"checkout", "-q", "other"});
    write_class(*repo, "Switched");  // not committed, on "other"
    EXPECT_EQ(listed(git_endpoint(repo->path(), local(first, true))), (Names{"A"}));
    EXPECT_EQ(listed(git_endpoint(repo->path(), local("other", false))), (Names{"A", "Switched"}));
    // Names that are not branch names are refused before anything is read.
    auto refused = ports_->git_component_listing(git_endpoint(repo->path(), local("other~0")), MetadataType::ApexClass,
                                                 never_);
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().first_message(), "The branch name is not a valid git branch name.");
}

TEST_F(GitPortsTest, ARemoteTrackingBranchIsReadAtItsListedName) {
    auto repo = project();
    GitRepo origin(adapter_.dir.path(), "origin.git", true);
    repo->git({"remote", "add", "origin", origin.path().string()});
    repo->git({"push", "-q", "origin", repo->branch()});
    repo->git({"fetch", "-q", "origin"});
    write_class(*repo, "Local");
    repo->commit_all("local only");
    const std::string remote_name = "origin/" + repo->branch();
    EXPECT_EQ(listed(git_endpoint(repo->path(), GitBranchRef{remote_name, "origin", {}, false, false})), (Names{"A"}));
    // The checked-out branch named through its remote is the remote's commit, not the working tree.
    EXPECT_EQ(listed(git_endpoint(repo->path(), GitBranchRef{remote_name, "origin", {}, true, false})), (Names{"A"}));
    EXPECT_EQ(listed(git_endpoint(repo->path(), local(repo->branch(), true))), (Names{"A", "Local"}));
}

TEST_F(GitPortsTest, ABranchToBeCreatedIsReadAtItsBaseOrAtHead) {
    auto repo = project();
    write_class(*repo, "Head");
    repo->commit_all("head");
    write_class(*repo, "Uncommitted");
    EXPECT_EQ(listed(git_endpoint(repo->path(), GitBranchRef{"new", {}, "other", false, true})), (Names{"A"}));
    EXPECT_EQ(listed(git_endpoint(repo->path(), GitBranchRef{"new", {}, {}, true, true})), (Names{"A", "Head"}));
}

TEST_F(GitPortsTest, ABareRepositoryIsReadAtThePathGivenAndRefusedAsATarget) {
    auto repo = project();
    GitRepo bare(adapter_.dir.path(), "bare.git", true);
    repo->git({"push", "-q", bare.path().string(), repo->branch()});
    const DeployEndpoint endpoint = git_endpoint(bare.path(), local(repo->branch()));
    EXPECT_EQ(listed(endpoint), (Names{"A"}));
    auto check = ports_->git_target_validation(endpoint);
    ASSERT_TRUE(check);
    EXPECT_EQ(check->refusal, "A bare repository cannot be a deployment target.");
}

TEST_F(GitPortsTest, TheTargetCheckKeepsAcceptanceRefusalAndFailureApart) {
    auto repo = project();
    struct Case {
        std::string name;
        DeployEndpoint endpoint;
        std::optional<std::string> refusal;
    };
    const std::vector<Case> cases{
        {"org endpoint", org_endpoint(), std::nullopt},
        {"existing branch", git_endpoint(repo->path(), local("other")), std::nullopt},
        {"revision syntax", git_endpoint(repo->path(), local(repo->branch() + "~0")),
         "The branch name is not a valid git branch name."},
        {"not a branch name at all", git_endpoint(repo->path(), local("weird..existing")),
         "The branch name is not a valid git branch name."},
        {"missing branch", git_endpoint(repo->path(), local("nosuch")),
         "The branch nosuch does not exist in the repository."},
        {"missing remote branch", git_endpoint(repo->path(), GitBranchRef{"origin/main", "origin", {}, false, false}),
         "The branch origin/main does not exist in the repository."},
        {"option as base", git_endpoint(repo->path(), GitBranchRef{"feature/y", {}, "--output=x", false, true}),
         "The base branch name is not a valid git branch name."},
        {"existing base", git_endpoint(repo->path(), GitBranchRef{"feature/y", {}, "other", false, true}), std::nullopt},
        {"valid new branch", git_endpoint(repo->path(), GitBranchRef{"feature/x", {}, {}, false, true}), std::nullopt},
        {"invalid new branch", git_endpoint(repo->path(), GitBranchRef{"bad..name", {}, {}, false, true}),
         "The new branch name is not a valid git branch name."},
        {"invalid new remote branch from a sub-folder",
         git_endpoint(repo->path() / "force-app", GitBranchRef{"origin/bad..name", "origin", {}, false, true}),
         "The new branch name is not a valid git branch name."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto check = ports_->git_target_validation(c.endpoint);
        ASSERT_TRUE(check) << check.error().detail_text();
        EXPECT_EQ(check->refusal, c.refusal);
    }
    const std::filesystem::path plain = adapter_.dir.path() / "plain";
    std::filesystem::create_directories(plain);
    auto failed = ports_->git_target_validation(git_endpoint(plain, local("main")));
    ASSERT_FALSE(failed);
    EXPECT_EQ(failed.error().kind, FailureKind::Operation);
    EXPECT_TRUE(failed.error().first_message().starts_with("The selected path is not a git repository."))
        << failed.error().first_message();
    auto missing = ports_->git_target_validation(git_endpoint(adapter_.dir.path() / "absent", local("main")));
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().first_message(), "The selected path is not a git repository. The path does not exist.");
}

TEST_F(GitPortsTest, ABranchThatIsNotAnSfdxProjectIsEmptyOnlyWhereTolerated) {
    GitRepo repo(adapter_.dir.path(), "plain-repo");
    write_class(repo, "A");
    repo.commit_all("no project file");
    const DeployEndpoint endpoint = git_endpoint(repo.path(), local(repo.branch(), true));
    const std::string kNotSfdx = "The source repository is not an SFDX project (missing sfdx-project.json).";
    const std::filesystem::path destination = adapter_.dir.path() / "out";
    const app::CompareSelection selection{{MetadataType::ApexClass, {"A"}}};

    ASSERT_TRUE(ports_->git_materialization(endpoint, selection, destination, false, never_));
    EXPECT_FALSE(std::filesystem::exists(destination));
    auto as_source = ports_->git_materialization(endpoint, selection, destination, true, never_);
    ASSERT_FALSE(as_source);
    EXPECT_EQ(as_source.error(), app::WorkflowFailure::operation(kNotSfdx));
    auto listing = ports_->git_component_listing(endpoint, MetadataType::ApexClass, never_);
    ASSERT_FALSE(listing);
    EXPECT_EQ(listing.error(), app::WorkflowFailure::operation(kNotSfdx));
    auto containers = ports_->git_container_listing(endpoint, never_);
    ASSERT_TRUE(containers);
    EXPECT_TRUE(containers->empty());
    auto documents = ports_->git_container_reading(endpoint, {{domain::FlsContainerKind::Profile, "Admin"}}, never_);
    ASSERT_TRUE(documents);
    EXPECT_TRUE(documents->empty());
    EXPECT_EQ(adapter_.reporter->stages(), (Names{"retrievingMetadata", "retrievingMetadata", "listingObjects"}));
}

TEST_F(GitPortsTest, MaterialisingWritesTheSelectedFilesOfTheBranch) {
    auto repo = project();
    const std::filesystem::path destination = adapter_.dir.path() / "out";
    std::filesystem::create_directories(destination);
    auto written = ports_->git_materialization(git_endpoint(repo->path(), local("other")),
                                               {{MetadataType::ApexClass, {"A"}}}, destination, true, never_);
    ASSERT_TRUE(written) << written.error().detail_text();
    EXPECT_EQ(testing::read_file(destination / "classes/A.cls"), "class A {}");
}

TEST_F(GitPortsTest, AnOrgEndpointIsRefusedWithTheSideNamed) {
    const DeployEndpoint org = org_endpoint();
    const auto validation = [](std::string_view text) {
        return app::WorkflowFailure::single(FailureKind::Validation, text);
    };
    auto listing = ports_->git_component_listing(org, MetadataType::ApexClass, never_);
    EXPECT_EQ(listing.error(), validation("The selected source is not a git repository."));
    auto materialised = ports_->git_materialization(org, {}, adapter_.dir.path(), true, never_);
    EXPECT_EQ(materialised.error(), validation("The selected side is not a git repository."));
    auto containers = ports_->git_container_listing(org, never_);
    EXPECT_EQ(containers.error(), validation("The selected side is not a git repository."));
    auto documents = ports_->git_container_reading(org, {}, never_);
    EXPECT_EQ(documents.error(), validation("The selected side is not a git repository."));
    auto commit = ports_->git_commit(org, {}, {}, "dev", never_);
    EXPECT_EQ(commit.error(), validation("The selected target is not a git repository."));
    EXPECT_TRUE(adapter_.reporter->events().empty());
}

TEST_F(GitPortsTest, InspectionAndInitialisation) {
    auto repo = project();
    auto inspection = ports_->repo_inspection(repo->path() / "force-app");
    ASSERT_TRUE(inspection) << inspection.error().detail_text();
    EXPECT_EQ(inspection->current_branch, repo->branch());
    EXPECT_TRUE(inspection->has_sfdx_project);

    EXPECT_FALSE(ports_->repo_init_check(repo->path() / "force-app"));
    auto inside = ports_->repo_initialization(repo->path() / "force-app");
    ASSERT_FALSE(inside);
    EXPECT_EQ(inside.error().kind, FailureKind::Operation);

    const std::filesystem::path fresh = adapter_.dir.path() / "fresh";
    std::filesystem::create_directories(fresh);
    EXPECT_TRUE(ports_->repo_init_check(fresh));
    auto created = ports_->repo_initialization(fresh);
    ASSERT_TRUE(created) << created.error().detail_text();
    EXPECT_FALSE(created->has_sfdx_project);
    EXPECT_TRUE(std::filesystem::exists(fresh / ".git"));
}

TEST_F(GitPortsTest, ContainersOfABranch) {
    auto repo = project();
    repo->write("force-app/main/default/profiles/Admin.profile-meta.xml", "<Profile/>");
    repo->write("force-app/main/default/permissionsets/ns__Sales.permissionset-meta.xml", "<PermissionSet/>");
    repo->commit_all("containers");
    const DeployEndpoint endpoint = git_endpoint(repo->path(), local(repo->branch()));
    auto files = ports_->git_container_listing(endpoint, never_);
    ASSERT_TRUE(files);
    EXPECT_EQ(*files, (std::vector<app::ports::FlsContainerFile>{{domain::FlsContainerKind::PermissionSet, "ns__Sales"},
                                                                  {domain::FlsContainerKind::Profile, "Admin"}}));
    auto documents = ports_->git_container_reading(
        endpoint, {{domain::FlsContainerKind::Profile, "Admin"}, {domain::FlsContainerKind::Profile, "Missing"}}, never_);
    ASSERT_TRUE(documents);
    EXPECT_EQ(*documents, (app::ports::ContainerDocuments{{{domain::FlsContainerKind::Profile, "Admin"}, "<Profile/>"}}));
}

TEST_F(GitPortsTest, TheWorkspaceOfAGitCompareLiesBelowTheWorkspaceRoot) {
    auto workspace = ports_->workspace_creation();
    ASSERT_TRUE(workspace) << workspace.error().detail_text();
    EXPECT_EQ((*workspace)->root().parent_path(), adapter_.root / "quillary");
    EXPECT_TRUE(std::filesystem::exists((*workspace)->source_project() / "sfdx-project.json"));
    ASSERT_TRUE((*workspace)->close());
    EXPECT_TRUE(adapter_.leftovers().empty());
}

TEST_F(GitPortsTest, ACommitGoesThroughAWorktreeThatIsGoneAfterwards) {
    auto repo = project();
    domain::ComponentDifference row;
    row.source.key = {MetadataType::ApexClass, "New"};
    row.source.document = "<ApexClass/>";
    row.source.body = domain::ComponentBody{{}, "class New {}"};
    row.change = domain::ChangeKind::Add;
    const std::string before = repo->head();
    const DeployEndpoint target = git_endpoint(repo->path() / "force-app", local("other"));
    auto summary = ports_->git_commit(target, {row}, {}, "dev", never_);
    ASSERT_TRUE(summary) << summary.error().detail_text();
    EXPECT_EQ(text::trim(repo->git({"rev-parse", "other"})), summary->commit);
    EXPECT_EQ(repo->git({"show", "other:force-app/main/default/classes/New.cls"}), "class New {}");
    EXPECT_EQ(repo->head(), before);
    EXPECT_TRUE(std::filesystem::is_directory(adapter_.root / "quillary"));
    EXPECT_TRUE(adapter_.leftovers().empty());
    EXPECT_EQ(adapter_.reporter->stages(), (Names{"deployingPackage"}));
    EXPECT_EQ(adapter_.reporter->events()[0].detail, "force-app@other");
}

TEST_F(GitPortsTest, ACommitFailsWhenTheWorktreeFolderCannotBeMade) {
    auto repo = project();
    std::filesystem::create_directories(adapter_.root);
    std::ofstream(adapter_.root / "quillary") << "a file in the way";
    auto summary = ports_->git_commit(git_endpoint(repo->path(), local("other")), {}, {}, "dev", never_);
    ASSERT_FALSE(summary);
    EXPECT_EQ(summary.error().kind, FailureKind::Operation);
    EXPECT_EQ(summary.error().first_message(), std::make_error_code(std::errc::not_a_directory).message());
}

}  // namespace
}  // namespace ambrel::server::wiring
