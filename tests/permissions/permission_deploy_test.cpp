// The permission batch deployer (workspace, identities, files, gateway call) and the orchestrator
// that halves rejected batches.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "deployment/fls_orchestrator/fls_orchestrator.hpp"
#include "deployment/permission_batch/batch_deployer.hpp"
#include "deployment/permission_batch/permission_batch.hpp"
#include "fakes/fake_sf.hpp"
#include "cli/gateway.hpp"
#include "cli/resolver.hpp"
#include "support/doubles.hpp"
#include "support/programming_error.hpp"
#include "support/test_paths.hpp"

namespace ambrel {
namespace {

namespace fs = std::filesystem;
using deployment::deploy_gateway::MetadataComponentKey;
using deployment::deploy_gateway::MetadataDeployResult;
using deployment::deploy_gateway::RequestedComponents;
using deployment::fls_orchestrator::FlsComponentDeployState;
using deployment::fls_orchestrator::FlsComponentDeployStatus;
using deployment::fls_orchestrator::FlsDeploymentOrchestrator;
using deployment::permission_batch::PermissionComponentBatchDeployer;
using deployment::permission_batch::SfCliPermissionComponentBatchDeployer;
using domain::FlsContainerKind;
using metadata::permission_models::PermissionComponentKey;
using metadata::permission_models::PreparedPermissionComponent;

PreparedPermissionComponent prepared(FlsContainerKind kind, std::string name, std::string xml = "<x/>") {
    return {PermissionComponentKey::create(kind, std::move(name)), std::move(xml), {}};
}

// ---- orchestrator ----

// Answers each batch from a rule; records the batches it saw.
class ScriptedBatchDeployer final : public PermissionComponentBatchDeployer {
public:
    std::function<MetadataDeployResult(const std::vector<std::string>&)> answer;
    std::vector<std::vector<std::string>> batches;
    std::function<void()> after;

    MetadataDeployResult deploy(std::span<const PreparedPermissionComponent> components, const std::string&,
                                const domain::CancellationToken&) override {
        std::vector<std::string> names;
        for (const auto& c : components) names.push_back(c.key.full_name());
        batches.push_back(names);
        auto result = answer(names);
        if (after) after();
        return result;
    }
};

MetadataDeployResult reject(const std::vector<std::string>& names, const std::set<std::string>& rejected) {
    MetadataDeployResult::ComponentFailures failures;
    failures.message = "overall";
    bool any = false;
    for (const auto& name : names) {
        if (rejected.contains(name)) {
            failures.failures.emplace_back(MetadataComponentKey{"PermissionSet", name}, "bad " + name);
            any = true;
        }
    }
    if (!any) return {MetadataDeployResult::Succeeded{"0Af", false}};
    return {failures};
}

std::vector<PreparedPermissionComponent> eight() {
    std::vector<PreparedPermissionComponent> out;
    for (int i = 1; i <= 8; ++i) out.push_back(prepared(FlsContainerKind::PermissionSet, "P" + std::to_string(i)));
    return out;
}

TEST(FlsOrchestrator, HalvesUntilTheRejectedComponentStandsAlone) {
    ScriptedBatchDeployer deployer;
    deployer.answer = [](const auto& names) { return reject(names, {"P6"}); };
    FlsDeploymentOrchestrator orchestrator(deployer);
    domain::NeverCancelled never;
    const auto states = orchestrator.deploy(eight(), "org", never);
    const std::vector<std::vector<std::string>> expected{{"P1", "P2", "P3", "P4", "P5", "P6", "P7", "P8"},
                                                         {"P1", "P2", "P3", "P4"},
                                                         {"P5", "P6", "P7", "P8"},
                                                         {"P5", "P6"},
                                                         {"P5"},
                                                         {"P6"},
                                                         {"P7", "P8"}};
    EXPECT_EQ(deployer.batches, expected);
    ASSERT_EQ(states.size(), 8u);
    for (const auto& [key, state] : states) {
        SCOPED_TRACE(key.full_name());
        if (key.full_name() == "P6") {
            EXPECT_EQ(state, (FlsComponentDeployState{FlsComponentDeployStatus::Failed, "bad P6"}));
        } else {
            EXPECT_EQ(state, (FlsComponentDeployState{FlsComponentDeployStatus::Deployed,
                                                      "Permission metadata deployed successfully."}));
        }
    }
}

TEST(FlsOrchestrator, FatalFailureStopsAndCancellationMarksTheRest) {
    ScriptedBatchDeployer deployer;
    deployer.answer = [](const std::vector<std::string>& names) -> MetadataDeployResult {
        if (names.size() == 8 || names.size() == 4) return reject(names, {"P1"});
        if (names == std::vector<std::string>{"P3", "P4"}) return {MetadataDeployResult::Error{"boom"}};
        return {MetadataDeployResult::Succeeded{}};
    };
    FlsDeploymentOrchestrator orchestrator(deployer);
    domain::NeverCancelled never;
    auto states = orchestrator.deploy(eight(), "org", never);
    EXPECT_EQ(deployer.batches.size(), 4u);
    EXPECT_EQ(states.begin()->second.status, FlsComponentDeployStatus::Deployed);
    EXPECT_EQ(states.at(PermissionComponentKey::create(FlsContainerKind::PermissionSet, "P3")),
              (FlsComponentDeployState{FlsComponentDeployStatus::Failed, "boom"}));
    EXPECT_EQ(states.at(PermissionComponentKey::create(FlsContainerKind::PermissionSet, "P8")),
              (FlsComponentDeployState{FlsComponentDeployStatus::NotAttempted,
                                       "Not attempted because permission deployment stopped after a fatal failure."}));

    ScriptedBatchDeployer cancelled;
    testing::TestToken token;
    cancelled.answer = [](const auto& names) { return reject(names, {"P2"}); };
    cancelled.after = [&] { token.cancel(); };
    FlsDeploymentOrchestrator second(cancelled);
    states = second.deploy(eight(), "org", token);
    EXPECT_EQ(cancelled.batches.size(), 1u);
    for (const auto& [key, state] : states) {
        EXPECT_EQ(state, (FlsComponentDeployState{
                             FlsComponentDeployStatus::NotAttempted,
                             "Not attempted because permission deployment was cancelled before this batch started."}));
    }
}

TEST(FlsOrchestrator, OrdersPermissionSetsFirstAndChecksItsCallers) {
    ScriptedBatchDeployer deployer;
    deployer.answer = [](const auto& names) { return reject(names, {"Only"}); };
    FlsDeploymentOrchestrator orchestrator(deployer);
    domain::NeverCancelled never;
    EXPECT_TRUE(orchestrator.deploy({}, "org", never).empty());
    EXPECT_TRUE(deployer.batches.empty());
    std::vector<PreparedPermissionComponent> mixed{prepared(FlsContainerKind::Profile, "A"),
                                                   prepared(FlsContainerKind::PermissionSet, "Z")};
    orchestrator.deploy(mixed, "org", never);
    EXPECT_EQ(deployer.batches.back(), (std::vector<std::string>{"Z", "A"}));
    // A lone rejection without its own message carries the overall one.
    deployer.answer = [](const auto&) {
        MetadataDeployResult::ComponentFailures failures;
        failures.message = "overall";
        return MetadataDeployResult{failures};
    };
    auto states = orchestrator.deploy(std::vector{prepared(FlsContainerKind::Profile, "A")}, "org", never);
    EXPECT_EQ(states.begin()->second, (FlsComponentDeployState{FlsComponentDeployStatus::Failed, "overall"}));
    EXPECT_THROW(orchestrator.deploy(mixed, " ", never), support::ProgrammingError);
    mixed.push_back(mixed.front());
    EXPECT_THROW(orchestrator.deploy(mixed, "org", never), support::ProgrammingError);
}

// ---- batch deployer ----

class RecordingGateway final : public deployment::deploy_gateway::MetadataDeployGateway {
public:
    MetadataDeployResult result{MetadataDeployResult::Succeeded{"0Af1", false}};
    struct Call {
        fs::path source;
        fs::path project;
        std::string alias;
        RequestedComponents requested;
        std::vector<std::pair<std::string, std::string>> files;  // relative path, content
    };
    std::vector<Call> calls;

    MetadataDeployResult deploy(const fs::path& source_dir, const fs::path& working_dir, const std::string& target_org,
                                const RequestedComponents& requested, const domain::CancellationToken&) override {
        Call call{source_dir, working_dir, target_org, requested, {}};
        for (const auto& entry : fs::recursive_directory_iterator(source_dir)) {
            if (entry.is_regular_file()) {
                call.files.emplace_back(fs::relative(entry.path(), source_dir).string(), testing::read_file(entry.path()));
            }
        }
        std::sort(call.files.begin(), call.files.end());
        calls.push_back(std::move(call));
        return result;
    }
    std::optional<std::pair<std::uint32_t, std::uint32_t>> recorded_tests() const override { return std::nullopt; }
    std::optional<std::string> recorded_test_failures() const override { return std::nullopt; }
    std::optional<std::uint64_t> recorded_deployed_count() const override { return std::nullopt; }
};

struct BatchHarness {
    BatchHarness()
        : location(metadata::workspace::WorkspaceTrustAnchor::at(dir.path()).workspace_at(dir.path() / "quillary").value()) {}
    SfCliPermissionComponentBatchDeployer deployer() {
        return SfCliPermissionComponentBatchDeployer::create(gateway, location);
    }
    // No workspace is left once a batch returns.
    std::size_t leftovers() const {
        if (!fs::exists(dir.path() / "quillary")) return 0;
        return static_cast<std::size_t>(std::distance(fs::directory_iterator(dir.path() / "quillary"), fs::directory_iterator()));
    }
    testing::TempDir dir;
    metadata::workspace::WorkspaceLocation location;
    RecordingGateway gateway;
    domain::NeverCancelled never;
};

TEST(PermissionBatchDeployer, WritesEachDocumentAndDeploysForceApp) {
    BatchHarness h;
    auto deployer = h.deployer();
    const std::vector components{prepared(FlsContainerKind::Profile, "Admin", "<Profile/>"),
                                 prepared(FlsContainerKind::PermissionSet, "Sales Ops é", "<PermissionSet/>")};
    const auto result = deployer.deploy(components, "org", h.never);
    EXPECT_EQ(result, (MetadataDeployResult{MetadataDeployResult::Succeeded{"0Af1", false}}));
    ASSERT_EQ(h.gateway.calls.size(), 1u);
    const auto& call = h.gateway.calls.front();
    EXPECT_EQ(call.source.filename(), "force-app");
    EXPECT_EQ(call.source.parent_path(), call.project);
    EXPECT_EQ(call.alias, "org");
    EXPECT_EQ(call.requested, (RequestedComponents{{"PermissionSet", "Sales Ops é"}, {"Profile", "Admin"}}));
    const std::vector<std::pair<std::string, std::string>> files{
        {"main/default/permissionsets/Sales Ops é.permissionset-meta.xml", "<PermissionSet/>"},
        {"main/default/profiles/Admin.profile-meta.xml", "<Profile/>"}};
    EXPECT_EQ(call.files, files);
    EXPECT_FALSE(fs::exists(call.project));
    EXPECT_EQ(h.leftovers(), 0u);
}

TEST(PermissionBatchDeployer, RefusesBadBatchesBeforeAnyWorkspace) {
    BatchHarness h;
    auto deployer = h.deployer();
    struct Case {
        std::vector<PreparedPermissionComponent> components;
        std::string alias;
        std::string message;
    };
    const std::string packaging =
        "Temporary permission deployment workspace, packaging, or deployment failed. IllegalArgumentException";
    const std::vector<Case> cases{
        {{prepared(FlsContainerKind::Profile, "A")}, " ", "Target Salesforce alias is blank."},
        {{prepared(FlsContainerKind::Profile, "A"), prepared(FlsContainerKind::Profile, "A")}, "org", packaging},
        {{prepared(FlsContainerKind::Profile, "a/b")}, "org", packaging},
        {{prepared(FlsContainerKind::Profile, "ns__Ops")}, "org", packaging},
        {{prepared(FlsContainerKind::Profile, "A", "   ")}, "org", packaging},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        EXPECT_EQ(deployer.deploy(c.components, c.alias, h.never), (MetadataDeployResult{MetadataDeployResult::Error{c.message}}));
    }
    EXPECT_EQ(deployer.deploy({}, "org", h.never), (MetadataDeployResult{MetadataDeployResult::Succeeded{}}));
    testing::TestToken cancelled;
    cancelled.cancel();
    EXPECT_EQ(deployer.deploy(std::vector{prepared(FlsContainerKind::Profile, "A")}, "org", cancelled),
              (MetadataDeployResult{MetadataDeployResult::Error{"Salesforce permission metadata deployment was cancelled."}}));
    EXPECT_TRUE(h.gateway.calls.empty());
    EXPECT_FALSE(fs::exists(h.dir.path() / "quillary") && h.leftovers() > 0);
}

TEST(PermissionBatchDeployer, FullNameRules) {
    using deployment::permission_batch::validate_full_name;
    for (std::string refused : {" A", "A ", "a/b", "a\\b", "a:b", ".", "..", "a\tb", "a\x7f", "a\u0085b",
                                "ns__Ops", "", "a*b", "a?b", "a|b", "a\"b", "a<b"}) {
        SCOPED_TRACE(refused);
        EXPECT_EQ(validate_full_name(refused), std::optional<std::string>("IllegalArgumentException"));
    }
    for (std::string allowed : {"Sales Ops", "Vente_é", "a.b", "Admin", "_x__y"}) {
        SCOPED_TRACE(allowed);
        EXPECT_EQ(validate_full_name(allowed), std::nullopt);
    }
    EXPECT_EQ(deployment::permission_batch::append_kind("Failed.", "  "), "Failed. Unexpected failure");
}

TEST(PermissionBatchDeployer, TamperingIsRefusedAndTheWorkspaceStillGoes) {
    struct Case {
        std::string name;
        std::function<void(const fs::path& project)> tamper;
    };
    const std::vector<Case> cases{
        {"link planted at the target path",
         [](const fs::path& project) {
             fs::create_symlink("/etc/passwd", project / "force-app/main/default/profiles/Admin.profile-meta.xml");
         }},
        {"permissionsets swapped",
         [](const fs::path& project) {
             const auto dir = project / "force-app/main/default/permissionsets";
             fs::rename(dir, project / "moved");
             fs::create_directory(dir);
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        BatchHarness h;
        fs::path project;
        bool done = false;
        auto deployer = h.deployer().with_before_write_hook([&] {
            if (done) return;
            done = true;
            for (const auto& entry : fs::directory_iterator(h.dir.path() / "quillary")) project = entry.path() / "source-project";
            c.tamper(project);
        });
        const std::vector components{prepared(FlsContainerKind::Profile, "Admin"),
                                     prepared(FlsContainerKind::PermissionSet, "Ops")};
        const auto result = deployer.deploy(components, "org", h.never);
        EXPECT_EQ(result, (MetadataDeployResult{MetadataDeployResult::Error{
                              "Temporary permission deployment workspace, packaging, or deployment failed. "
                              "IllegalArgumentException"}}));
        EXPECT_TRUE(h.gateway.calls.empty());
        EXPECT_EQ(h.leftovers(), 0u);
        EXPECT_TRUE(fs::exists("/etc/passwd"));
    }
}

TEST(PermissionBatchDeployer, CleanupFailureNeverChangesTheOutcomeKind) {
    using deployment::permission_batch::with_cleanup_failure;
    const MetadataDeployResult success{MetadataDeployResult::Succeeded{"0Af", false}};
    EXPECT_EQ(with_cleanup_failure(success), success);
    MetadataDeployResult::ComponentFailures failures;
    failures.message = std::string(3000, 'x') + "\n";
    const auto composed = with_cleanup_failure({failures});
    const auto* kept = std::get_if<MetadataDeployResult::ComponentFailures>(&composed.value);
    ASSERT_NE(kept, nullptr);
    EXPECT_EQ(kept->message, std::string(1942, 'x') + " Temporary permission deployment workspace cleanup failed.");
    const auto error = with_cleanup_failure({MetadataDeployResult::Error{"a\r\n\tb"}});
    EXPECT_EQ(error, (MetadataDeployResult{
                         MetadataDeployResult::Error{"a b Temporary permission deployment workspace cleanup failed."}}));
}

TEST(PermissionBatchDeployer, AcceptedDeployStaysAcceptedWhenItsWorkspaceCannotBeRemoved) {
    using deployment::permission_batch::PermissionDeploymentWorkspace;
    using deployment::permission_batch::PermissionInternalError;
    BatchHarness h;
    const auto project = h.dir.path() / "project";
    fs::create_directories(project / "force-app/main/default/permissionsets");
    fs::create_directories(project / "force-app/main/default/profiles");
    int cleanups = 0;
    auto factory = [&]() -> std::expected<PermissionDeploymentWorkspace, PermissionInternalError> {
        return PermissionDeploymentWorkspace::create(project, [&]() -> std::expected<void, metadata::workspace::WorkspaceError> {
            ++cleanups;
            return std::unexpected(metadata::workspace::WorkspaceError::io({}, "Could not remove workspace"));
        });
    };
    auto deployer = h.deployer().with_workspace_factory(factory);
    const std::vector components{prepared(FlsContainerKind::Profile, "A")};
    EXPECT_EQ(deployer.deploy(components, "org", h.never), (MetadataDeployResult{MetadataDeployResult::Succeeded{"0Af1", false}}));
    EXPECT_EQ(cleanups, 1);
    fs::remove_all(project / "force-app/main/default/profiles");
    fs::create_directories(project / "force-app/main/default/profiles");
    MetadataDeployResult::ComponentFailures failures;
    failures.message = "rejected";
    h.gateway.result = {failures};
    const auto result = deployer.deploy(components, "org", h.never);
    const auto* kept = std::get_if<MetadataDeployResult::ComponentFailures>(&result.value);
    ASSERT_NE(kept, nullptr);
    EXPECT_EQ(kept->message, "rejected Temporary permission deployment workspace cleanup failed.");
    EXPECT_EQ(cleanups, 2);
}

TEST(PermissionBatchDeployer, WorkspaceFailuresNameTheirKind) {
    BatchHarness h;
    auto deployer = SfCliPermissionComponentBatchDeployer::with_api_version(h.gateway, h.location, "sixty");
    EXPECT_EQ(deployer.deploy(std::vector{prepared(FlsContainerKind::Profile, "A")}, "org", h.never),
              (MetadataDeployResult{MetadataDeployResult::Error{
                  "Temporary permission deployment workspace could not be created. InvalidApiVersion"}}));
}

TEST(PermissionBatchDeployer, OwnerChecksOnlyAsRoot) {
    if (::geteuid() != 0) GTEST_SKIP() << "changing an owner needs root";
    BatchHarness h;
    bool done = false;
    auto deployer = h.deployer().with_before_write_hook([&] {
        if (done) return;
        done = true;
        for (const auto& entry : fs::directory_iterator(h.dir.path() / "quillary")) {
            ASSERT_EQ(::lchown((entry.path() / "source-project/force-app/main/default/profiles").c_str(), 12345, 12345), 0);
        }
    });
    EXPECT_EQ(deployer.deploy(std::vector{prepared(FlsContainerKind::Profile, "A")}, "org", h.never),
              (MetadataDeployResult{MetadataDeployResult::Error{
                  "Temporary permission deployment workspace, packaging, or deployment failed. IllegalArgumentException"}}));
    EXPECT_EQ(h.leftovers(), 0u);
}

TEST(PermissionBatchDeployer, EndToEndOverTheFakeCli) {
    using testing::fake_sf::Answer;
    using testing::fake_sf::FakeSf;
    using testing::fake_sf::Scenario;
    using testing::fake_sf::ScopedFakeSf;
    struct Case {
        std::string capture;
        bool succeeded;
    };
    for (const Case& c : {Case{"deploy_start_ok", true}, Case{"deploy_start_compfail", false}}) {
        SCOPED_TRACE(c.capture);
        FakeSf fake;
        fake.write(Scenario().on_prefix({"project", "deploy", "start"}, Answer::capture(c.capture)));
        ScopedFakeSf installed(fake);
        auto cli = std::make_shared<cli::SfCliGateway>(cli::SfCliExecutableResolver::for_this_process().resolve(),
                                                      std::make_unique<process::DefaultProcessRunner>());
        deployment::deploy_gateway::DeployOptions options;
        deployment::deploy_gateway::SfCliMetadataDeployGateway gateway(options, cli);
        testing::TempDir dir;
        auto location = metadata::workspace::WorkspaceTrustAnchor::at(dir.path()).workspace_at(dir.path() / "quillary").value();
        auto deployer = SfCliPermissionComponentBatchDeployer::create(gateway, location);
        domain::NeverCancelled never;
        const auto result = deployer.deploy(std::vector{prepared(FlsContainerKind::PermissionSet, "dreamhouse")},
                                            "dana.admin@dreamhouse.standin", never);
        EXPECT_EQ(std::holds_alternative<MetadataDeployResult::Succeeded>(result.value), c.succeeded);
        const auto calls = fake.calls();
        ASSERT_EQ(calls.size(), 1u);
        const auto& args = calls.front().args;
        ASSERT_GE(args.size(), 5u);
        EXPECT_EQ(std::vector<std::string>(args.begin(), args.begin() + 3),
                  (std::vector<std::string>{"project", "deploy", "start"}));
        EXPECT_NE(std::find(args.begin(), args.end(), "--ignore-conflicts"), args.end());
        EXPECT_EQ(std::find(args.begin(), args.end(), "--dry-run"), args.end());
        EXPECT_EQ(std::find(args.begin(), args.end(), "--ignore-errors"), args.end());
        EXPECT_TRUE(args[4].ends_with("/source-project/force-app")) << args[4];
        EXPECT_EQ(fs::path(calls.front().cwd), fs::path(args[4]).parent_path());
        EXPECT_FALSE(fs::exists(calls.front().cwd));
    }
}

}  // namespace
}  // namespace ambrel
