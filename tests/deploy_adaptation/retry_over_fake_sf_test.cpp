// The permission set retry with its package port bound to the single package deployer and the deploy
// gateway over the fake `sf`: a Best Effort answer rejects the permission set for a user permission
// the target does not know, and the retry's own project no longer holds that block.

#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "adaptation_test_support.hpp"
#include "app/permission_retries.hpp"
#include "cli/gateway.hpp"
#include "cli/resolver.hpp"
#include "deployment/deploy_gateway/gateway.hpp"
#include "deployment/single_package/deployer.hpp"
#include "fakes/fake_sf.hpp"
#include "process/process_runner.hpp"

namespace ambrel::adaptation_tests {
namespace {

using testing::fake_sf::Answer;
using testing::fake_sf::FakeSf;
using testing::fake_sf::Scenario;
using testing::fake_sf::ScopedFakeSf;

constexpr const char* kOrg = "dana.admin@dreamhouse.standin";

std::string read_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream buffer;
    buffer << in.rdbuf();
    return buffer.str();
}

// A Best Effort answer shaped like the CLI's partial success (status and exit code 68).
std::string rejected_permission_set_answer() {
    return R"({"status":68,"result":{"checkOnly":false,"done":true,"id":"0Af000FJoRC6D7nCWF","ignoreWarnings":false,)"
           R"("numberComponentErrors":1,"numberComponentsDeployed":0,"numberComponentsTotal":1,"numberTestErrors":0,)"
           R"("numberTestsCompleted":0,"numberTestsTotal":0,"rollbackOnError":false,"runTestsEnabled":false,)"
           R"("status":"SucceededPartial","success":true,"details":{"componentSuccesses":[{"componentType":"",)"
           R"("fullName":"package.xml","fileName":"package.xml","changed":true,"created":false,"deleted":false,"success":true}],)"
           R"("componentFailures":[{"componentType":"PermissionSet","fullName":"Sales","deleted":false,)"
           R"("fileName":"permissionsets/Sales.permissionset-meta.xml","changed":false,"created":false,"success":false,)"
           R"("problemType":"Error","problem":"Unknown user permission: ViewSetup"}],)"
           R"("runTestResult":{"numFailures":0,"numTestsRun":0,"totalTime":0,"codeCoverage":[],"codeCoverageWarnings":[],)"
           R"("failures":[],"flowCoverage":[],"flowCoverageWarnings":[],"successes":[]}},"files":[]},"warnings":[]})";
}

TEST(PermissionRetryOverFakeSf, TheSecondProjectLacksTheRejectedBlock) {
    FakeSf fake;
    const std::filesystem::path first = fake.dir() / "package-1";
    const std::filesystem::path second = fake.dir() / "package-2";
    fake.write(Scenario()
                   .on_contains({(first / "force-app").string()}, Answer().out(rejected_permission_set_answer()).exit_code(68))
                   .on_prefix({"project", "deploy", "start"}, Answer::capture("deploy_start_ok")));
    ScopedFakeSf installed(fake);
    auto cli = std::make_shared<cli::SfCliGateway>(cli::SfCliExecutableResolver::for_this_process().resolve(),
                                                   std::make_unique<process::DefaultProcessRunner>());
    deployment::deploy_gateway::DeployOptions options;
    options.ignore_errors = true;
    deployment::deploy_gateway::SfCliMetadataDeployGateway gateway(options, cli);

    Harness h;
    int packages = 0;
    h.ports.core->script.single_package_deployment.answer_with(
        [&](const std::vector<ComponentDifference>& rows, const domain::SelectedPermissions&, domain::FlsMode,
            const app::ports::ContainerSelection&, domain::DeployMode mode, const std::optional<domain::ApexTestConfig>&,
            const endpoint::DeployEndpoint&, const std::string& target, const std::string& api_version,
            const domain::CancellationToken& token) -> app::ports::PortResult<deployment::single_package::SinglePackageSummary> {
            const std::filesystem::path root = ++packages == 1 ? first : second;
            deployment::single_package::SinglePackageRun run;
            run.rows = rows;
            run.project_root = root;
            run.package_dir = root / "force-app";
            run.target_org = target;
            run.mode = mode;
            run.api_version = api_version;
            auto summary = deployment::single_package::SinglePackageDeployer(gateway).run(run, token);
            if (!summary) return std::unexpected(app::WorkflowFailure::operation(summary.error()));
            return *summary;
        });

    const std::string document_text = document(
        "PermissionSet", "    <label>Sales</label>\n"
                         "    <userPermissions>\n        <enabled>true</enabled>\n        <name>ApiEnabled</name>\n    </userPermissions>\n"
                         "    <userPermissions>\n        <enabled>true</enabled>\n        <name>ViewSetup</name>\n    </userPermissions>\n");
    std::vector<ComponentDifference> rows = {row("PermissionSet", "Sales", document_text)};
    rows[0].source.source_path = fake.dir() / "source/force-app/main/default/permissionsets/Sales.permissionset-meta.xml";
    std::filesystem::create_directories(rows[0].source.source_path.parent_path());
    std::ofstream(rows[0].source.source_path) << document_text;
    endpoint::OrgAlias target;
    target.alias = "dh";
    target.username = kOrg;
    SessionOptions session_options;
    session_options.target = endpoint::DeployEndpoint{endpoint::DeployEndpoint::Org{target}};
    const auto s = session(std::move(session_options));
    domain::NeverCancelled token;

    // The package run itself.
    auto first_package = h.service.core().single_package_deployment(rows, {}, domain::FlsMode::None, std::nullopt,
                                                                    domain::DeployMode::BestEffort, std::nullopt,
                                                                    s->source(), kOrg, "66.0", token);
    ASSERT_TRUE(first_package.has_value()) << first_package.error().detail_text();
    ASSERT_TRUE(first_package->package_completed);
    deployment::DeploymentSummary summary;
    summary.component_results = first_package->component_results;
    summary.package_completed = true;
    ASSERT_EQ(summary.component_results.size(), 1u);
    ASSERT_EQ(summary.component_results[0].status, ComponentDeploymentStatus::Failed);
    std::map<ComponentKey, std::string> failure_texts;
    for (const auto& r : summary.component_results) failure_texts.emplace(r.key, r.message);

    app::UserPermissionCatalogs catalogs;
    app::retry_rejected_permission_sets(h.service, *s, rows, summary, domain::DeployMode::BestEffort, {}, failure_texts,
                                        catalogs, h.retried, token);
    ASSERT_EQ(packages, 2);
    const std::string sent = read_file(second / "force-app/main/default/permissionsets/Sales.permissionset-meta.xml");
    EXPECT_EQ(sent.find("ViewSetup"), std::string::npos);
    EXPECT_NE(sent.find("ApiEnabled"), std::string::npos);
    EXPECT_NE(read_file(first / "force-app/main/default/permissionsets/Sales.permissionset-meta.xml").find("ViewSetup"),
              std::string::npos);
    EXPECT_EQ(summary.component_results[0].status, ComponentDeploymentStatus::Succeeded);
    EXPECT_NE(summary.component_results[0].message.find(
                  "Retry of this Permission Set without the reference(s) the target named: left out after the target "
                  "named them: ViewSetup."),
              std::string::npos);
}

}  // namespace
}  // namespace ambrel::adaptation_tests
