// The single-package deployment port over the fake `sf`: the deploy command line of each mode, what
// the package folder held while the deploy ran, its name per call, its removal after every call, and
// the removal of a folder that an earlier process left at the same place.

#include "wiring/single_package_port.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <algorithm>

#include "adapter_context.hpp"
#include "domain/cancellation.hpp"
#include "support/programming_error.hpp"
#include "support/git_repo.hpp"
#include "support/source_tree.hpp"

namespace ambrel::server::wiring {
namespace {

namespace fs = std::filesystem;
using app::FailureKind;
using domain::DeployMode;
using endpoint::DeployEndpoint;
using metadata_types::MetadataType;
using testing::fake_sf::Answer;
using testing::fake_sf::FakeSf;
using testing::fake_sf::RecordedCall;
using testing::fake_sf::Scenario;
using testing::fake_sf::ScopedFakeSf;
using Names = std::vector<std::string>;

constexpr std::string_view kClassMeta = "<ApexClass xmlns=\"http://soap.sforce.com/2006/04/metadata\"/>";

DeployEndpoint org_endpoint(std::string username) {
    endpoint::OrgAlias org;
    org.alias = "src";
    org.username = std::move(username);
    return DeployEndpoint{DeployEndpoint::Org{std::move(org)}};
}

class SinglePackagePortTest : public ::testing::Test {
protected:
    void SetUp() override {
        fake_.write(Scenario()
                        .orgs({"tgt@example.com"})
                        .on_prefix({"project", "deploy", "start"}, Answer::capture("deploy_start_ok")));
        port_ = build_deploy_single_package(adapter_.context);
    }

    domain::ComponentDifference apex_row(std::string name = "PropertyController") const {
        domain::ComponentDifference row;
        row.source.key = {MetadataType::ApexClass, name};
        row.source.document = std::string(kClassMeta);
        const std::string body = "public class " + name + " {}";
        row.source.source_path = source_.file("force-app/main/default/classes/" + name + ".cls-meta.xml", kClassMeta);
        row.source.body = domain::ComponentBody{"classes/" + name + ".cls", body};
        row.change = domain::ChangeKind::Update;
        row.deployable = true;
        return row;
    }

    app::ports::PortResult<deployment::single_package::SinglePackageSummary> deploy(
        DeployMode mode, std::optional<domain::ApexTestConfig> tests = std::nullopt,
        const domain::SelectedPermissions& permissions = {}, domain::FlsMode fls = domain::FlsMode::None,
        const DeployEndpoint& source = org_endpoint("src@example.com"),
        std::vector<domain::ComponentDifference> rows = {}) {
        if (rows.empty()) rows.push_back(apex_row());
        return port_(rows, permissions, fls, std::nullopt, mode, tests, source, "tgt@example.com", "62.0", never_);
    }

    std::vector<RecordedCall> deploy_calls() const {
        std::vector<RecordedCall> calls;
        for (auto& call : fake_.calls()) {
            if (call.args.size() > 2 && call.args[1] == "deploy") calls.push_back(std::move(call));
        }
        return calls;
    }

    // The counter value of a package folder "single-package-{pid}-{n}".
    static std::uint64_t counter_of(const fs::path& folder) {
        const std::string name = folder.filename().string();
        return std::stoull(name.substr(name.rfind('-') + 1));
    }

    fs::path package_folder(std::uint64_t counter) const {
        return adapter_.root / "quillary" / fmt::format("single-package-{}-{}", ::getpid(), counter);
    }

    test::AdapterContext adapter_;
    FakeSf fake_;
    ScopedFakeSf installed_{fake_};
    testing::SourceTree source_;
    domain::NeverCancelled never_;
    PortFunction<&app::ports::CorePorts::single_package_deployment> port_;
};

TEST_F(SinglePackagePortTest, EachModeSetsItsFlagsAndTheFolderIsGoneAfterEveryCall) {
    struct Case {
        std::string name;
        DeployMode mode;
        std::optional<domain::ApexTestConfig> tests;
        Names flags;
    };
    const std::vector<Case> cases{
        {"best effort", DeployMode::BestEffort, std::nullopt, {"--ignore-errors"}},
        {"validate only", DeployMode::ValidateOnly, std::nullopt, {"--dry-run"}},
        {"all or nothing with tests", DeployMode::AllOrNothing, domain::ApexTestConfig{{"ATest", "BTest"}},
         {"--test-level", "RunSpecifiedTests", "--tests", "ATest", "--tests", "BTest"}},
    };
    std::optional<std::uint64_t> previous;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::size_t before = deploy_calls().size();
        auto summary = deploy(c.mode, c.tests);
        ASSERT_TRUE(summary) << summary.error().detail_text();
        ASSERT_EQ(summary->component_results.size(), 1u);
        EXPECT_EQ(summary->component_results[0].status, domain::ComponentDeploymentStatus::Succeeded);
        const auto calls = deploy_calls();
        ASSERT_EQ(calls.size(), before + 1);
        const RecordedCall& call = calls.back();
        const fs::path folder = call.cwd;
        EXPECT_EQ(folder.parent_path(), adapter_.root / "quillary");
        EXPECT_TRUE(folder.filename().string().starts_with(fmt::format("single-package-{}-", ::getpid())));
        if (previous) {
            EXPECT_EQ(counter_of(folder), *previous + 1);
        }
        previous = counter_of(folder);
        Names expected{"project", "deploy", "start", "--source-dir", (folder / "force-app").string(), "--target-org",
                       "tgt@example.com", "--wait", "30", "--json", "--ignore-conflicts"};
        Names args = call.args;
        // The fixed part first, then the mode's flags in order.
        ASSERT_GE(args.size(), expected.size());
        EXPECT_EQ(Names(args.begin(), args.begin() + static_cast<std::ptrdiff_t>(expected.size())), expected);
        EXPECT_EQ(Names(args.begin() + static_cast<std::ptrdiff_t>(expected.size()), args.end()), c.flags);
        EXPECT_EQ(call.source_dir_files.at("main/default/classes/PropertyController.cls"),
                  "public class PropertyController {}");
        EXPECT_FALSE(fs::exists(folder));
        EXPECT_TRUE(adapter_.leftovers().empty());
    }
    EXPECT_EQ(adapter_.reporter->stages(), (Names{"deployingPackage", "deployingPackage", "deployingPackage"}));
    EXPECT_FALSE(adapter_.reporter->events()[0].current);
    EXPECT_FALSE(adapter_.reporter->events()[0].detail);
}

TEST_F(SinglePackagePortTest, AFolderLeftByAnEarlierProcessIsClearedBeforeTheDeploy) {
    ASSERT_TRUE(deploy(DeployMode::BestEffort));
    const std::uint64_t next = counter_of(deploy_calls().back().cwd) + 1;
    // What a crashed process with the same id left: a stale class and a link to a folder outside.
    testing::SourceTree outside;
    outside.file("keep.txt", "outside");
    const fs::path stale = package_folder(next);
    fs::create_directories(stale / "force-app/main/default/classes");
    std::ofstream(stale / "force-app/main/default/classes/Stale.cls") << "stale";
    std::ofstream(stale / "force-app/main/default/classes/Stale.cls-meta.xml") << kClassMeta;
    fs::create_directory_symlink(outside.root(), stale / "force-app/main/default/linked");

    auto summary = deploy(DeployMode::BestEffort);
    ASSERT_TRUE(summary) << summary.error().detail_text();
    const RecordedCall call = deploy_calls().back();
    EXPECT_EQ(fs::path(call.cwd), stale);
    Names files;
    for (const auto& [file, content] : call.source_dir_files) files.push_back(file);
    EXPECT_EQ(std::ranges::count_if(files, [](const std::string& f) { return f.find("Stale") != std::string::npos; }), 0);
    EXPECT_EQ(testing::read_file(outside.root() / "keep.txt"), "outside");
    EXPECT_FALSE(fs::exists(stale));
}

TEST_F(SinglePackagePortTest, AFolderThatCannotBeClearedFailsBeforeAnythingIsDeployed) {
    if (::geteuid() == 0) GTEST_SKIP() << "root removes what permissions protect";
    ASSERT_TRUE(deploy(DeployMode::BestEffort));
    const std::uint64_t next = counter_of(deploy_calls().back().cwd) + 1;
    const fs::path stuck = package_folder(next) / "force-app/locked";
    fs::create_directories(stuck);
    std::ofstream(stuck / "file") << "x";
    ASSERT_EQ(::chmod(stuck.c_str(), 0500), 0);
    const std::size_t before = deploy_calls().size();
    auto summary = deploy(DeployMode::BestEffort);
    ::chmod(stuck.c_str(), 0700);
    ASSERT_FALSE(summary);
    EXPECT_EQ(summary.error(),
              app::WorkflowFailure::operation(std::make_error_code(std::errc::permission_denied).message()));
    EXPECT_EQ(deploy_calls().size(), before);
    fs::remove_all(package_folder(next));
}

TEST_F(SinglePackagePortTest, AFailedDeployReturnsTheDeployerTextAndLeavesNothing) {
    auto row = apex_row();
    row.source.key.name = "Bad Name";
    auto summary = deploy(DeployMode::BestEffort, std::nullopt, {}, domain::FlsMode::None, org_endpoint("src@example.com"),
                          {row});
    ASSERT_FALSE(summary);
    EXPECT_EQ(summary.error().kind, FailureKind::Operation);
    EXPECT_EQ(summary.error().first_message(), "Component API names are invalid: Bad Name");
    EXPECT_TRUE(deploy_calls().empty());
    EXPECT_TRUE(adapter_.leftovers().empty());
}

// A token that fails as a programming error once the package folder exists, so that the call ends
// by an exception in the middle of the deploy.
class ThrowingOncePackaged final : public domain::CancellationToken {
public:
    explicit ThrowingOncePackaged(fs::path quillary) : quillary_(std::move(quillary)) {}
    bool is_cancelled() const override {
        std::error_code error;
        for (const auto& entry : fs::directory_iterator(quillary_, error)) {
            if (entry.path().filename().string().starts_with("single-package-")) {
                throw support::ProgrammingError("broken guarantee");
            }
        }
        return false;
    }

private:
    fs::path quillary_;
};

TEST_F(SinglePackagePortTest, AProgrammingErrorDuringTheDeployLeavesNothing) {
    const ThrowingOncePackaged token(adapter_.root / "quillary");
    const std::vector<domain::ComponentDifference> rows{apex_row()};
    EXPECT_THROW((void)port_(rows, {}, domain::FlsMode::None, std::nullopt, DeployMode::BestEffort, std::nullopt,
                             org_endpoint("src@example.com"), "tgt@example.com", "62.0", token),
                 support::ProgrammingError);
    EXPECT_TRUE(adapter_.leftovers().empty());
}

TEST_F(SinglePackagePortTest, APreparationThatCannotStartFailsBeforeAnythingExists) {
    domain::SelectedPermissions permissions;
    permissions.subjects.insert(domain::PermissionSubject{domain::PermissionSubject::Object{"Account"}});
    auto blank = deploy(DeployMode::BestEffort, std::nullopt, permissions, domain::FlsMode::Additive,
                        org_endpoint("   "));
    ASSERT_FALSE(blank);
    EXPECT_EQ(blank.error(),
              app::WorkflowFailure::single(FailureKind::Validation, "This operation requires a Salesforce org endpoint."));

    if (testing::isolate_git_environment()) {
        testing::GitRepo repo(adapter_.dir.path(), "plain");
        repo.write("README", "no project");
        repo.commit_all("plain");
        const DeployEndpoint git_source{DeployEndpoint::Git{repo.path(), endpoint::GitBranchRef{repo.branch(), {}, {}, false, false}}};
        auto unreadable = deploy(DeployMode::BestEffort, std::nullopt, permissions, domain::FlsMode::Additive, git_source);
        ASSERT_FALSE(unreadable);
        EXPECT_EQ(unreadable.error(), app::WorkflowFailure::operation(
                                          "The source repository is not an SFDX project (missing sfdx-project.json)."));
    }
    // Without a mode or a selection the source is never looked at.
    auto ignored = deploy(DeployMode::BestEffort, std::nullopt, permissions, domain::FlsMode::None, org_endpoint(" "));
    ASSERT_TRUE(ignored) << ignored.error().detail_text();
    auto unselected = deploy(DeployMode::BestEffort, std::nullopt, {}, domain::FlsMode::All, org_endpoint(" "));
    ASSERT_TRUE(unselected) << unselected.error().detail_text();
    EXPECT_EQ(deploy_calls().size(), 2u);
    EXPECT_TRUE(adapter_.leftovers().empty());
}

}  // namespace
}  // namespace ambrel::server::wiring
