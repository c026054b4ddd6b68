// The field-level-security ports and their helpers: which endpoints they accept, what they read from
// a repository or retrieve from an org (over the fake `sf`), the licence channel, and that nothing is
// left inside "quillary" after any call.

#include "wiring/fls_ports.hpp"

#include <gtest/gtest.h>

#include "adapter_context.hpp"
#include "domain/cancellation.hpp"
#include "support/doubles.hpp"
#include "support/git_repo.hpp"
#include "support/test_paths.hpp"

namespace ambrel::server::wiring {
namespace {

namespace fs = std::filesystem;
using app::FailureKind;
using app::WorkflowFailure;
using domain::FlsContainerKind;
using endpoint::DeployEndpoint;
using endpoint::GitBranchRef;
using testing::fake_sf::Answer;
using testing::fake_sf::FakeSf;
using testing::fake_sf::Scenario;
using testing::fake_sf::ScopedFakeSf;
using Names = std::vector<std::string>;

constexpr std::string_view kOrgRequired = "This operation requires a Salesforce org endpoint.";
constexpr std::string_view kProject = R"({"packageDirectories":[{"path":"force-app","default":true}]})";

DeployEndpoint org_endpoint(std::string username, std::string alias = "org") {
    endpoint::OrgAlias org;
    org.alias = std::move(alias);
    org.username = std::move(username);
    return DeployEndpoint{DeployEndpoint::Org{std::move(org)}};
}

DeployEndpoint git_endpoint(const fs::path& path, std::string branch) {
    return DeployEndpoint{DeployEndpoint::Git{path, GitBranchRef{std::move(branch), {}, {}, false, false}}};
}

WorkflowFailure org_required() { return WorkflowFailure::single(FailureKind::Validation, kOrgRequired); }

TEST(FlsHelpers, AnOrgUsernameIsRequiredAndKeptAsStored) {
    EXPECT_EQ(require_org_username(org_endpoint("dev@example.com")), "dev@example.com");
    EXPECT_EQ(require_org_username(org_endpoint(" dev@example.com ")), " dev@example.com ");
    EXPECT_EQ(require_org_username(org_endpoint(" \t ")).error(), org_required());
    EXPECT_EQ(require_org_username(org_endpoint("")).error(), org_required());
    EXPECT_EQ(require_org_username(git_endpoint("/repo", "main")).error(), org_required());
}

TEST(FlsHelpers, RepositoryContainersGetTheirIdAndNamespaceFromTheName) {
    struct Case {
        git::FlsContainerFile file;
        std::string id;
        std::optional<std::string> prefix;
    };
    const std::vector<Case> cases{
        {{FlsContainerKind::PermissionSet, "ns__Sales"}, "git:PermissionSet:ns__Sales", "ns"},
        {{FlsContainerKind::PermissionSet, "__Odd"}, "git:PermissionSet:__Odd", ""},
        {{FlsContainerKind::Profile, "Admin"}, "git:Profile:Admin", std::nullopt},
        {{FlsContainerKind::Profile, "a__b__c"}, "git:Profile:a__b__c", "a"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file.name);
        const domain::FlsContainer container = git_container(c.file);
        EXPECT_EQ(container.id, c.id);
        EXPECT_EQ(container.api_name, c.file.name);
        EXPECT_EQ(container.label, c.file.name);
        EXPECT_EQ(container.namespace_prefix, c.prefix);
        EXPECT_EQ(container.kind, c.file.kind);
        EXPECT_FALSE(container.license_name);
        EXPECT_TRUE(container.retrievable);
    }
}

class FlsPortsTest : public ::testing::Test {
protected:
    void SetUp() override {
        fake_.write(Scenario()
                        .orgs({"src@example.com", "tgt@example.com"})
                        .on_prefix({"project", "retrieve", "start"},
                                   Answer().retrieve_from(testing::tests_dir() / "fixtures" / "retrieve" / "orgs")));
        git_ok_ = testing::isolate_git_environment();
    }

    // A repository whose checked-out branch holds a project (when asked) with a profile and a
    // permission set naming a licence.
    std::unique_ptr<testing::GitRepo> repository(std::string_view name, bool sfdx) {
        auto repo = std::make_unique<testing::GitRepo>(adapter_.dir.path(), name);
        if (sfdx) repo->write("sfdx-project.json", kProject);
        repo->write("force-app/main/default/profiles/Admin.profile-meta.xml",
                    "<Profile xmlns=\"http://soap.sforce.com/2006/04/metadata\"><custom>false</custom></Profile>");
        repo->write("force-app/main/default/permissionsets/Sales.permissionset-meta.xml",
                    "<PermissionSet xmlns=\"http://soap.sforce.com/2006/04/metadata\"><label>Sales</label>"
                    "<license>Salesforce</license></PermissionSet>");
        repo->commit_all("containers");
        return repo;
    }

    test::AdapterContext adapter_;
    FakeSf fake_;
    ScopedFakeSf installed_{fake_};
    domain::NeverCancelled never_;
    bool git_ok_ = false;
};

TEST_F(FlsPortsTest, SynchronisingTowardsABranchIsRefusedAfterItsProgress) {
    const auto sync = build_sync_fls(adapter_.context);
    domain::SelectedPermissions permissions;
    permissions.subjects.insert(domain::PermissionSubject{domain::PermissionSubject::Object{"Account"}});
    auto result = sync(org_endpoint("src@example.com"), git_endpoint(adapter_.dir.path(), "main"), permissions,
                       domain::FlsMode::Additive, std::nullopt, never_);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error(), org_required());
    auto blank = sync(org_endpoint("   "), org_endpoint("tgt@example.com"), permissions, domain::FlsMode::Additive,
                      std::nullopt, never_);
    ASSERT_FALSE(blank);
    EXPECT_EQ(blank.error(), org_required());
    EXPECT_EQ(adapter_.reporter->stages(), (Names{"synchronizingFls", "synchronizingFls"}));
    EXPECT_TRUE(fake_.calls().empty());
    EXPECT_TRUE(adapter_.leftovers().empty());
}

TEST_F(FlsPortsTest, SynchronisingFromABranchWithoutAProjectFailsWithTheGitText) {
    if (!git_ok_) AMBREL_SKIP_UNLESS_CI("git is not installed");
    auto repo = repository("plain", false);
    const auto sync = build_sync_fls(adapter_.context);
    domain::SelectedPermissions permissions;
    permissions.subjects.insert(domain::PermissionSubject{domain::PermissionSubject::Object{"Account"}});
    auto result = sync(git_endpoint(repo->path(), repo->branch()), org_endpoint("tgt@example.com"), permissions,
                       domain::FlsMode::Additive, std::nullopt, never_);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error(),
              WorkflowFailure::operation("The source repository is not an SFDX project (missing sfdx-project.json)."));
    EXPECT_TRUE(fake_.calls().empty());
}

// A no-break space is white space, so such a file names no container.
TEST_F(FlsPortsTest, ASourceContainerNamedOnlyByWhiteSpaceIsRefused) {
    if (!git_ok_) AMBREL_SKIP_UNLESS_CI("git is not installed");
    auto repo = repository("blank", true);
    repo->write("force-app/main/default/profiles/\xC2\xA0.profile-meta.xml",
                "<Profile xmlns=\"http://soap.sforce.com/2006/04/metadata\"><custom>false</custom></Profile>");
    repo->commit_all("blank name");
    const auto sync = build_sync_fls(adapter_.context);
    domain::SelectedPermissions permissions;
    permissions.subjects.insert(domain::PermissionSubject{domain::PermissionSubject::Object{"Account"}});
    auto result = sync(git_endpoint(repo->path(), repo->branch()), org_endpoint("tgt@example.com"), permissions,
                       domain::FlsMode::Additive, std::nullopt, never_);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error(), WorkflowFailure::operation("Permission metadata full name must not be blank"));
    EXPECT_TRUE(fake_.calls().empty());
}

TEST_F(FlsPortsTest, OrgDocumentsComeFromAPermissionRetrieveThatLeavesNothing) {
    auto none = read_container_documents(*adapter_.context.sf, *adapter_.context.git, adapter_.root,
                                         org_endpoint("src@example.com"), {}, {}, never_);
    ASSERT_TRUE(none);
    EXPECT_TRUE(none->empty());
    EXPECT_TRUE(fake_.calls().empty());

    domain::FlsContainer admin;
    admin.api_name = "Admin";
    admin.kind = FlsContainerKind::Profile;
    fake_.write(Scenario().on_prefix({"project", "retrieve", "start"},
                                     Answer().retrieve_from(testing::tests_dir() / "fixtures" / "retrieve" / "orgs")));
    auto documents = read_container_documents(*adapter_.context.sf, *adapter_.context.git, adapter_.root,
                                              org_endpoint("src"), {admin, admin}, {}, never_);
    ASSERT_TRUE(documents) << documents.error().detail_text();
    ASSERT_EQ(documents->size(), 1u);
    EXPECT_EQ(documents->at({FlsContainerKind::Profile, "Admin"}),
              testing::read_file(testing::tests_dir() / "fixtures/retrieve/orgs/src/Profile/Admin/profiles/Admin.profile-meta.xml"));
    ASSERT_EQ(fake_.calls().size(), 1u);
    EXPECT_EQ(fake_.calls()[0].args.at(6), "src");
    EXPECT_TRUE(adapter_.leftovers().empty());

    testing::TestToken cancelled;
    cancelled.cancel();
    auto stopped = read_container_documents(*adapter_.context.sf, *adapter_.context.git, adapter_.root,
                                            org_endpoint("src"), {admin}, {}, cancelled);
    ASSERT_FALSE(stopped);
    EXPECT_EQ(stopped.error(), WorkflowFailure::operation("Salesforce metadata retrieve was cancelled"));
    EXPECT_TRUE(adapter_.leftovers().empty());
}

TEST_F(FlsPortsTest, BranchDocumentsLeaveOutMissingContainers) {
    if (!git_ok_) AMBREL_SKIP_UNLESS_CI("git is not installed");
    auto repo = repository("repo", true);
    domain::FlsContainer admin;
    admin.api_name = "Admin";
    admin.kind = FlsContainerKind::Profile;
    domain::FlsContainer missing = admin;
    missing.api_name = "Missing";
    auto documents = read_container_documents(*adapter_.context.sf, *adapter_.context.git, adapter_.root,
                                              git_endpoint(repo->path(), repo->branch()), {missing, admin}, {}, never_);
    ASSERT_TRUE(documents) << documents.error().detail_text();
    ASSERT_EQ(documents->size(), 1u);
    EXPECT_TRUE(documents->contains({FlsContainerKind::Profile, "Admin"}));

    auto plain = repository("plain", false);
    auto failed = read_container_documents(*adapter_.context.sf, *adapter_.context.git, adapter_.root,
                                           git_endpoint(plain->path(), plain->branch()), {admin}, {}, never_);
    ASSERT_FALSE(failed);
    EXPECT_EQ(failed.error().kind, FailureKind::Operation);
    EXPECT_TRUE(fake_.calls().empty());
}

TEST_F(FlsPortsTest, TheLicenceChannelReadsTheSourceRepositoryAndTheTargetOrg) {
    const CliContainerLicenses without(std::string("tgt@example.com"), std::nullopt, *adapter_.context.sf);
    auto empty = without.source_licenses({{FlsContainerKind::PermissionSet, "Sales"}}, never_);
    ASSERT_TRUE(empty);
    EXPECT_TRUE(empty->empty());

    testing::TestToken cancelled;
    cancelled.cancel();
    auto stopped = without.target_licenses(cancelled);
    ASSERT_FALSE(stopped);
    EXPECT_TRUE(stopped.error().cancelled);

    const CliContainerLicenses unknown(std::string("nobody@example.com"), std::nullopt, *adapter_.context.sf);
    auto failed = unknown.target_licenses(never_);
    ASSERT_FALSE(failed);
    EXPECT_FALSE(failed.error().cancelled);
    EXPECT_FALSE(failed.error().text.empty());

    if (!git_ok_) AMBREL_SKIP_UNLESS_CI("git is not installed");
    auto repo = repository("repo", true);
    auto side = git_layout(*adapter_.context.git, repo->path(), GitBranchRef{repo->branch(), {}, {}, false, false}, false);
    ASSERT_TRUE(side && *side);
    const CliContainerLicenses with(std::string("tgt@example.com"), std::move(**side), *adapter_.context.sf);
    auto licenses = with.source_licenses(
        {{FlsContainerKind::PermissionSet, "Sales"}, {FlsContainerKind::Profile, "Admin"}, {FlsContainerKind::Profile, "None"}},
        never_);
    ASSERT_TRUE(licenses);
    EXPECT_EQ(*licenses, (deployment::fls_synchronizer::LicenseMap{{{FlsContainerKind::PermissionSet, "Sales"}, "Salesforce"}}));
}

TEST_F(FlsPortsTest, MatchingWithATargetBranchThatIsNoProjectOffersTheSourceContainers) {
    if (!git_ok_) AMBREL_SKIP_UNLESS_CI("git is not installed");
    auto source = repository("source", true);
    auto target = repository("target", false);
    const auto matching = build_container_matching(adapter_.context);
    auto choices = matching(git_endpoint(source->path(), source->branch()), git_endpoint(target->path(), target->branch()),
                            never_);
    ASSERT_TRUE(choices) << choices.error().detail_text();
    Names names;
    for (const auto& choice : *choices) names.push_back(choice.api_name);
    std::ranges::sort(names);
    EXPECT_EQ(names, (Names{"Admin", "Sales"}));
    auto reversed = matching(git_endpoint(target->path(), target->branch()), git_endpoint(source->path(), source->branch()),
                             never_);
    ASSERT_FALSE(reversed);
    EXPECT_EQ(reversed.error(),
              WorkflowFailure::operation("The source repository is not an SFDX project (missing sfdx-project.json)."));
    EXPECT_EQ(adapter_.reporter->stages(), (Names{"matchingFlsContainers", "matchingFlsContainers"}));
    EXPECT_TRUE(fake_.calls().empty());
}

TEST_F(FlsPortsTest, CatalogueFailuresOfOrgSidesAreMappedAndLeaveNothing) {
    domain::SelectedPermissions permissions;
    permissions.subjects.insert(domain::PermissionSubject{domain::PermissionSubject::Object{"Account"}});
    const auto sync = build_sync_fls(adapter_.context);
    auto unknown = sync(org_endpoint("nobody@example.com"), org_endpoint("tgt@example.com"), permissions,
                        domain::FlsMode::Additive, std::nullopt, never_);
    ASSERT_FALSE(unknown);
    EXPECT_EQ(unknown.error().kind, FailureKind::Operation);
    EXPECT_FALSE(unknown.error().first_message().empty());
    EXPECT_FALSE(unknown.error().org_alias);
    ASSERT_FALSE(fake_.calls().empty());
    EXPECT_EQ(fake_.calls()[0].args.at(0), "data");

    testing::TestToken cancelled;
    cancelled.cancel();
    auto stopped = sync(org_endpoint("src@example.com"), org_endpoint("tgt@example.com"), permissions,
                        domain::FlsMode::Additive, std::nullopt, cancelled);
    ASSERT_FALSE(stopped);
    EXPECT_EQ(stopped.error(), WorkflowFailure::cancelled());

    const auto matching = build_container_matching(adapter_.context);
    auto unmatched = matching(org_endpoint("nobody@example.com"), org_endpoint("tgt@example.com"), never_);
    ASSERT_FALSE(unmatched);
    EXPECT_EQ(unmatched.error().kind, FailureKind::Operation);
    auto cancelled_matching = matching(org_endpoint("src@example.com"), org_endpoint("tgt@example.com"), cancelled);
    ASSERT_FALSE(cancelled_matching);
    EXPECT_EQ(cancelled_matching.error(), WorkflowFailure::cancelled());
    EXPECT_TRUE(adapter_.leftovers().empty());
}

TEST(FlsMerge, EmptyDocumentsMergeToNothing) {
    auto merged = merge_container_documents({}, {}, {}, domain::FlsMode::Additive);
    ASSERT_TRUE(merged) << merged.error().detail_text();
    EXPECT_TRUE(merged->empty());
}

}  // namespace
}  // namespace ambrel::server::wiring
