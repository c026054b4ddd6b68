// The git ports against real temporary repositories: which side of a repository each reads, the root
// rule, the tolerance for branches that are not SFDX projects, the three answers of the target check,
// and the commit of a deploy through a worktree below the workspace root.

#include "wiring/git_ports.hpp"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>

#include "adapter_context.hpp"
#include "domain/cancellation.hpp"
#include "metadata_types/metadata_type.hpp"
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

// Every git process this test process starts, one line each ("<subcommand> <args...>"), through a
// `git` first on PATH that logs its call and runs the real one.
class CountedGit {
public:
    explicit CountedGit(const std::filesystem::path& folder) : folder_(folder), log_(folder / "git-calls.log") {
        std::filesystem::create_directories(folder_);
        const char* path = std::getenv("PATH");
        old_path_ = path != nullptr ? path : "";
        std::string real;
        std::size_t start = 0;
        while (real.empty() && start <= old_path_.size()) {
            std::size_t end = old_path_.find(':', start);
            if (end == std::string::npos) end = old_path_.size();
            const std::filesystem::path candidate = std::filesystem::path(old_path_.substr(start, end - start)) / "git";
            if (::access(candidate.c_str(), X_OK) == 0) real = candidate.string();
            start = end + 1;
        }
        std::ofstream(folder_ / "git") << "#!/bin/sh\n"
                                       << "echo \"$*\" >> '" << log_.string() << "'\n"
                                       << "exec '" << real << "' \"$@\"\n";
        std::filesystem::permissions(folder_ / "git", std::filesystem::perms::owner_all);
        ::setenv("PATH", (folder_.string() + ":" + old_path_).c_str(), 1);
    }
    CountedGit(const CountedGit&) = delete;
    CountedGit& operator=(const CountedGit&) = delete;
    ~CountedGit() { ::setenv("PATH", old_path_.c_str(), 1); }

    Names calls() const {
        Names lines;
        std::ifstream in(log_);
        // The words after the gateway's fixed options ("-C <repository> --literal-pathspecs -c
        // core.fsmonitor=false").
        constexpr std::string_view kFixed = "core.fsmonitor=false ";
        for (std::string line; std::getline(in, line);) {
            const std::size_t at = line.find(kFixed);
            lines.push_back(at == std::string::npos ? line : line.substr(at + kFixed.size()));
        }
        return lines;
    }
    void clear() const { std::filesystem::remove(log_); }

private:
    std::filesystem::path folder_;
    std::filesystem::path log_;
    std::string old_path_;
};

std::size_t starting_with(const Names& calls, std::string_view words) {
    return static_cast<std::size_t>(std::ranges::count_if(calls, [&](const std::string& call) { return call.starts_with(words); }));
}

// Within one operation a side is looked at once, whatever the number of types listed: the repository
// inspected once, the package directories listed in one run, the documents read through one reader.
// The next operation looks again and sees a commit made in between.
TEST_F(GitPortsTest, AnOperationLooksAtASideOnceAndTheNextOneLooksAgain) {
    auto repo = project();
    const std::string working = repo->branch();
    repo->git({"checkout", "-q", "other"});
    repo->write("force-app/main/default/labels/CustomLabels.labels-meta.xml",
                "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<CustomLabels "
                "xmlns=\"http://soap.sforce.com/2006/04/metadata\"><labels><fullName>Hello</fullName></labels>"
                "</CustomLabels>\n");
    repo->write("force-app/main/default/objects/Broker__c/Broker__c.object-meta.xml", "<CustomObject/>");
    repo->write("force-app/main/default/objects/Broker__c/fields/Phone__c.field-meta.xml", "<CustomField/>");
    repo->commit_all("more");
    repo->git({"checkout", "-q", working});
    const std::vector<MetadataType> types = [] {
        std::vector<MetadataType> all;
        for (const MetadataType type : metadata_types::all_metadata_types()) {
            if (!type.is_data_record()) all.push_back(type);
        }
        return all;
    }();
    ASSERT_GT(types.size(), 100u);
    const CountedGit git(adapter_.dir.path() / "counted-git");
    struct Case {
        std::string name;
        DeployEndpoint endpoint;
        std::string listing;
        // sfdx-project.json is listed at a commit (and read from disk in the working tree); every package
        // directory is listed in one run.
        std::size_t listings;
        std::size_t rows;
    };
    const std::vector<Case> cases = {
        {"a branch read at its commit", git_endpoint(repo->path(), local("other")), "ls-tree", 2, 4},
        {"the working tree", git_endpoint(repo->path(), local(repo->branch(), true)), "ls-files", 1, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        adapter_.context.git_snapshots->operation_boundary(true);
        git.clear();
        std::size_t rows = 0;
        for (const MetadataType type : types) {
            auto objects = ports_->git_component_listing(c.endpoint, type, never_);
            ASSERT_TRUE(objects) << type.wire_id() << ": " << objects.error().detail_text();
            rows += objects->size();
        }
        EXPECT_EQ(rows, c.rows);
        auto materialized = ports_->git_materialization(c.endpoint, {{MetadataType::ApexClass, {"A"}}},
                                                        adapter_.dir.path() / ("out-" + c.listing), true, never_);
        ASSERT_TRUE(materialized) << materialized.error().detail_text();
        adapter_.context.git_snapshots->operation_boundary(false);
        const Names calls = git.calls();
        std::string all;
        for (const auto& call : calls) all += call + "\n";
        EXPECT_LE(calls.size(), 12u) << all;
        EXPECT_EQ(starting_with(calls, c.listing), c.listings) << all;
        EXPECT_LE(starting_with(calls, "cat-file"), 1u) << all;
    }

    // A commit between two operations: the next one reads it.
    repo->git({"checkout", "-q", "other"});
    write_class(*repo, "Later");
    repo->commit_all("later");
    repo->git({"checkout", "-q", working});
    adapter_.context.git_snapshots->operation_boundary(true);
    EXPECT_EQ(listed(git_endpoint(repo->path(), local("other"))), (Names{"A", "Later"}));
    adapter_.context.git_snapshots->operation_boundary(false);
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

// What the branch cannot give comes back apart: a class that is not UTF-8 with its sentence, and each
// name of a selected type that the listing refused as one warning (once, even when it is selected).
TEST_F(GitPortsTest, MaterialisingGivesUnreadableComponentsApartAndNamesRefusedNames) {
    auto repo = project();
    repo->write(std::string(kClasses) + "Latin.cls", "class Latin { String s = 'caf\xe9'; }");
    repo->write(std::string(kClasses) + "Latin.cls-meta.xml", "<ApexClass/>");
    write_class(*repo, "Bad\"Quote");
    write_class(*repo, "Line\nFeed");
    repo->commit_all("unusable");
    const std::filesystem::path destination = adapter_.dir.path() / "out";
    auto written = ports_->git_materialization(git_endpoint(repo->path(), local(repo->branch(), true)),
                                               {{MetadataType::ApexClass, {"A", "Latin", "Line\nFeed"}}}, destination,
                                               false, never_);
    ASSERT_TRUE(written) << written.error().detail_text();
    EXPECT_EQ(written->warnings,
              (Names{"Line Feed (ApexClass) was skipped: its name is not a valid member name of its type.",
                     "Bad\"Quote (ApexClass) was skipped: its name is not a valid member name of its type."}));
    EXPECT_EQ(written->not_comparable,
              (std::map<MetadataType, std::map<std::string, std::string>>{
                  {MetadataType::ApexClass,
                   {{"Latin", "force-app/main/default/classes/Latin.cls in " + repo->branch() + " is not UTF-8 text."}}}}));
    EXPECT_EQ(written->skipped, (app::CompareSelection{{MetadataType::ApexClass, {"Latin", "Line\nFeed"}}}));
    EXPECT_EQ(testing::read_file(destination / "classes/A.cls"), "class A {}");
    EXPECT_FALSE(std::filesystem::exists(destination / "classes/Latin.cls"));
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
