// The single package deployer over a scripted deploy gateway and real temporary folders: what is
// packaged and requested, the row and permission results, the ticket, the retry flag and the
// refusals that stop a run before anything is sent.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "deployment/single_package/deployer.hpp"
#include "deployment/single_package/results.hpp"
#include "metadata_types/metadata_type.hpp"
#include "support/programming_error.hpp"
#include "support/source_tree.hpp"

namespace ambrel::deployment::single_package {
namespace {

using ambrel::testing::metadata_document;
using ambrel::testing::SourceTree;
using deploy_gateway::MetadataComponentKey;
using deploy_gateway::MetadataDeployResult;
using deploy_gateway::RequestedComponents;
using domain::ComponentDeploymentStatus;
using domain::DeployMode;
using metadata_types::MetadataType;
using Result = MetadataDeployResult;

class ScriptedDeployGateway final : public deploy_gateway::MetadataDeployGateway {
public:
    MetadataDeployResult deploy(const std::filesystem::path& source_dir, const std::filesystem::path& working_dir,
                                const std::string& target_org, const RequestedComponents& requested,
                                const domain::CancellationToken&) override {
        ++calls;
        last_source = source_dir;
        last_working = working_dir;
        last_org = target_org;
        last_requested = requested;
        return result;
    }
    std::optional<std::pair<std::uint32_t, std::uint32_t>> recorded_tests() const override { return tests; }
    std::optional<std::string> recorded_test_failures() const override { return failures; }
    std::optional<std::uint64_t> recorded_deployed_count() const override { return count; }

    MetadataDeployResult result{Result::Succeeded{"", false}};
    std::optional<std::pair<std::uint32_t, std::uint32_t>> tests;
    std::optional<std::string> failures;
    std::optional<std::uint64_t> count;
    int calls = 0;
    std::filesystem::path last_source;
    std::filesystem::path last_working;
    std::string last_org;
    RequestedComponents last_requested;
};

struct SinglePackage : ::testing::Test {
    SourceTree source;
    SourceTree work;
    ScriptedDeployGateway gateway;
    domain::NeverCancelled never;

    domain::ComponentDifference row(MetadataType type, std::string name, std::string relative, std::string document,
                                    domain::ChangeKind change = domain::ChangeKind::Update) const {
        domain::ComponentDifference r;
        r.source.key = {type, std::move(name)};
        r.source.document = std::move(document);
        r.source.source_path = source.file("force-app/main/default/" + relative, r.source.document);
        r.change = change;
        r.deployable = true;
        return r;
    }
    domain::ComponentDifference field(std::string object, std::string name) const {
        return row(MetadataType::CustomField, object + "." + name,
                   "objects/" + object + "/fields/" + name + ".field-meta.xml",
                   metadata_document("CustomField", "<fullName>" + name + "</fullName>"));
    }
    domain::ComponentDifference object(std::string name, domain::ChangeKind change = domain::ChangeKind::Update) const {
        return row(MetadataType::CustomObject, name, "objects/" + name + "/" + name + ".object-meta.xml",
                   metadata_document("CustomObject", "<label>" + name + "</label>"), change);
    }
    SinglePackageRun request(std::vector<domain::ComponentDifference> rows, DeployMode mode = DeployMode::BestEffort) {
        SinglePackageRun run;
        run.rows = std::move(rows);
        run.project_root = work.root() / "quillary" / "single-package-1-1";
        run.package_dir = run.project_root / "force-app";
        run.target_org = "dana@example.com";
        run.mode = mode;
        run.api_version = "60.0";
        return run;
    }
    static std::vector<std::pair<ComponentDeploymentStatus, std::string>> statuses(const SinglePackageSummary& s) {
        std::vector<std::pair<ComponentDeploymentStatus, std::string>> out;
        for (const auto& r : s.component_results) out.emplace_back(r.status, r.message);
        return out;
    }
};

TEST_F(SinglePackage, AnObjectAndItsChildrenFallTogether) {
    gateway.result = {Result::ComponentFailures{{{{"CustomField", "Account.Foo__c"}, "bad field"}}, "bad field", false, std::nullopt}};
    gateway.count = 2;
    auto run = request({object("Account"), field("Account", "Foo__c"), field("Account", "Bar__c")});
    auto summary = SinglePackageDeployer(gateway).run(run, never);
    ASSERT_TRUE(summary) << summary.error();
    const std::string rejected =
        "Not deployed: Salesforce deploys an object and its children as one component and rejected Account.Foo__c: "
        "bad field";
    EXPECT_EQ(statuses(*summary), (std::vector<std::pair<ComponentDeploymentStatus, std::string>>{
                                      {ComponentDeploymentStatus::Failed, rejected},
                                      {ComponentDeploymentStatus::Failed, "bad field"},
                                      {ComponentDeploymentStatus::Failed, rejected}}));
    EXPECT_TRUE(summary->package_completed);
    EXPECT_EQ(summary->deployed_count, 2u);
    EXPECT_EQ(gateway.last_requested, (RequestedComponents{{"CustomField", "Account.Bar__c"},
                                                           {"CustomField", "Account.Foo__c"},
                                                           {"CustomObject", "Account"}}));
    EXPECT_EQ(gateway.last_source, run.package_dir);
    EXPECT_EQ(gateway.last_working, run.project_root);
    EXPECT_TRUE(std::filesystem::exists(run.project_root / "sfdx-project.json"));
    EXPECT_TRUE(std::filesystem::exists(run.package_dir / "main/default/objects/Account/fields/Bar__c.field-meta.xml"));
}

TEST_F(SinglePackage, TwoRejectedMembersNameTheSmallerAndCountTheRest) {
    gateway.result = {Result::ComponentFailures{
        {{{"CustomField", "Account.B__c"}, "b"}, {{"CustomField", "Account.A__c"}, "a"}}, "b; a", false, std::nullopt}};
    auto summary = SinglePackageDeployer(gateway).run(
        request({object("Account"), field("Account", "B__c"), field("Account", "A__c")}, DeployMode::ValidateOnly),
        never);
    ASSERT_TRUE(summary);
    EXPECT_EQ(summary->component_results[0].message,
              "Would not deploy: Salesforce deploys an object and its children as one component and rejected "
              "Account.A__c (and 1 more): a");
}

TEST_F(SinglePackage, OutcomesTable) {
    struct Case {
        const char* label;
        DeployMode mode;
        MetadataDeployResult result;
        std::vector<std::pair<ComponentDeploymentStatus, std::string>> expected;
        bool completed;
    };
    const Case cases[] = {
        {"success", DeployMode::ValidateOnly, {Result::Succeeded{"", false}},
         {{ComponentDeploymentStatus::Succeeded, "Component would deploy successfully."},
          {ComponentDeploymentStatus::Succeeded, "Component would deploy successfully."}},
         true},
        {"rollback", DeployMode::AllOrNothing,
         {Result::ComponentFailures{{{{"CustomField", "A.X__c"}, "x"}}, "x", false, std::nullopt}},
         {{ComponentDeploymentStatus::Failed, "x"},
          {ComponentDeploymentStatus::Failed,
           "Deployment failed; no components were deployed (transaction rolled back)."}},
         true},
        {"unmatched", DeployMode::BestEffort, {Result::ComponentFailures{{{{"CustomField", "A.X__c"}, "x"}}, "x; y", true, std::nullopt}},
         {{ComponentDeploymentStatus::Failed, "x"},
          {ComponentDeploymentStatus::Failed,
           "Component was not checked or deployed because the target's response included failures that could not "
           "be matched to a specific component. x; y"}},
         true},
        {"failed job with one tied failure", DeployMode::ValidateOnly,
         {Result::ComponentFailures{{{{"CustomField", "A.X__c"}, "x"}}, "x", false, "x; Apex test failures: T.m: boom"}},
         {{ComponentDeploymentStatus::Failed, "x"},
          {ComponentDeploymentStatus::Failed, "Not deployed: the deployment failed. x; Apex test failures: T.m: boom"}},
         false},
        {"failed job in best effort", DeployMode::BestEffort,
         {Result::ComponentFailures{{{{"CustomField", "A.X__c"}, "x"}}, "x", false, ""}},
         {{ComponentDeploymentStatus::Failed, "x"}, {ComponentDeploymentStatus::Failed, "Not deployed: the deployment failed."}},
         false},
        {"whole rejection", DeployMode::BestEffort, {Result::Failed{"tests failed", {}}},
         {{ComponentDeploymentStatus::Failed, "tests failed"}, {ComponentDeploymentStatus::Failed, "tests failed"}},
         false},
        {"error", DeployMode::BestEffort, {Result::Error{"Salesforce metadata deployment was cancelled."}},
         {{ComponentDeploymentStatus::Failed, "Salesforce metadata deployment was cancelled."},
          {ComponentDeploymentStatus::Failed, "Salesforce metadata deployment was cancelled."}},
         false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        std::filesystem::remove_all(work.root() / "quillary");
        gateway.result = c.result;
        auto summary = SinglePackageDeployer(gateway).run(request({field("A", "X__c"), field("B", "Y__c")}, c.mode),
                                                          never);
        ASSERT_TRUE(summary) << summary.error();
        EXPECT_EQ(statuses(*summary), c.expected);
        EXPECT_EQ(summary->package_completed, c.completed);
        EXPECT_EQ(summary->quick_deploy, std::nullopt);
    }
}

TEST_F(SinglePackage, AValidationWithTestsLeavesATrimmedTicket) {
    gateway.result = {Result::Succeeded{"  0Af000000000001AAA ", true}};
    gateway.tests = std::pair<std::uint32_t, std::uint32_t>{2, 0};
    auto summary = SinglePackageDeployer(gateway).run(request({field("A", "X__c")}, DeployMode::ValidateOnly), never);
    ASSERT_TRUE(summary);
    EXPECT_EQ(summary->quick_deploy, (domain::QuickDeployTicket{"0Af000000000001AAA", "dana@example.com", 1}));
    EXPECT_EQ(summary->tests, (std::pair<std::uint32_t, std::uint32_t>{2, 0}));
}

TEST_F(SinglePackage, NothingToSendStillWritesTheProjectFileAndCompletes) {
    auto run = request({});
    auto summary = SinglePackageDeployer(gateway).run(run, never);
    ASSERT_TRUE(summary);
    EXPECT_EQ(gateway.calls, 0);
    EXPECT_TRUE(summary->package_completed);
    EXPECT_TRUE(std::filesystem::exists(run.project_root / "sfdx-project.json"));
}

TEST_F(SinglePackage, AnExistingProjectFolderIsNeverReused) {
    auto run = request({field("A", "X__c")});
    std::filesystem::create_directories(run.package_dir / "main/default/classes");
    work.file("quillary/single-package-1-1/force-app/main/default/classes/Left.cls", "left over");
    EXPECT_EQ(SinglePackageDeployer(gateway).run(run, never).error(),
              "The temporary package folder single-package-1-1 already exists; nothing was deployed.");
    EXPECT_EQ(gateway.calls, 0);
}

TEST_F(SinglePackage, NamesThatNoPackageMayCarryStopTheRun) {
    struct Case {
        domain::ComponentDifference row;
        std::string message;
    };
    auto audience = row(*MetadataType::from_api_name("Audience"), "Default_E-Bikes", "audience/Default_E-Bikes.audience-meta.xml",
                        metadata_document("Audience", "<audienceName>x</audienceName>"));
    auto packaged = field("Account", "ns__Foo__c");
    auto tracking = packaged;
    tracking.deploy_scope = domain::MetadataDeployScope::TrackingOnly;
    const Case cases[] = {
        {audience, "Component API names are invalid: Default_E-Bikes"},
        {packaged, "Namespaced components cannot be deployed: Account.ns__Foo__c"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        EXPECT_EQ(SinglePackageDeployer(gateway).run(request({c.row}), never).error(), c.message);
    }
    EXPECT_EQ(gateway.calls, 0);
    EXPECT_TRUE(SinglePackageDeployer(gateway).run(request({tracking}), never));
}

TEST_F(SinglePackage, BrokenGuaranteesAreProgrammingErrors) {
    auto blank = request({field("A", "X__c")});
    blank.target_org = " ";
    EXPECT_THROW(SinglePackageDeployer(gateway).run(blank, never), support::ProgrammingError);
    auto unchanged = field("A", "X__c");
    unchanged.change = domain::ChangeKind::NoChange;
    EXPECT_THROW(SinglePackageDeployer(gateway).run(request({unchanged}), never), support::ProgrammingError);
    EXPECT_THROW(SinglePackageDeployer(gateway).run(request({field("A", "X__c"), field("A", "X__c")}), never),
                 support::ProgrammingError);
}

TEST_F(SinglePackage, AddedObjectsTravelAsPlaceholdersUnlessEdited) {
    auto added = row(MetadataType::CustomObject, "Invoice__c", "objects/Invoice__c/Invoice__c.object-meta.xml",
                     metadata_document("CustomObject", "<label>Invoice</label><nameField><label>N</label>"
                                                       "<type>Text</type></nameField><description>long</description>"),
                     domain::ChangeKind::Add);
    added.source.attributes = {domain::AttributeValue::text("R&D <Lab>")};
    auto run = request({added});
    ASSERT_TRUE(SinglePackageDeployer(gateway).run(run, never));
    std::ifstream in(run.package_dir / "main/default/objects/Invoice__c/Invoice__c.object-meta.xml");
    const std::string written{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    EXPECT_EQ(written,
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
              "<CustomObject xmlns=\"http://soap.sforce.com/2006/04/metadata\">\n"
              "    <label>R&amp;D &lt;Lab&gt;</label>\n"
              "    <nameField><label>N</label><type>Text</type></nameField>\n"
              "</CustomObject>\n");

    // Without a name field the placeholder fails: the row alone in Best Effort, the run otherwise.
    auto bare = row(MetadataType::CustomObject, "Bare__c", "objects/Bare__c/Bare__c.object-meta.xml",
                    metadata_document("CustomObject", "<label>Bare</label>"), domain::ChangeKind::Add);
    const std::string refusal = "Cannot create CustomObject 'Bare__c': its source metadata has no nameField element.";
    std::filesystem::remove_all(work.root() / "quillary");
    gateway.calls = 0;
    auto summary = SinglePackageDeployer(gateway).run(request({bare}), never);
    ASSERT_TRUE(summary);
    EXPECT_EQ(statuses(*summary), (std::vector<std::pair<ComponentDeploymentStatus, std::string>>{
                                      {ComponentDeploymentStatus::Failed, refusal}}));
    EXPECT_TRUE(summary->package_completed);
    EXPECT_EQ(gateway.calls, 0);
    std::filesystem::remove_all(work.root() / "quillary");
    EXPECT_EQ(SinglePackageDeployer(gateway).run(request({bare}, DeployMode::AllOrNothing), never).error(), refusal);
}

TEST_F(SinglePackage, ContainersAreWrittenRequestedAndMapped) {
    PreparedFlsContainer container{"Sales", domain::FlsContainerKind::PermissionSet, "Sales",
                                   metadata_document("PermissionSet", "<label>Sales</label>"),
                                   {{domain::PermissionSubject{domain::PermissionSubject::Object{"Account"}},
                                     domain::PermissionGrant{domain::PermissionGrant::Visible{true}}}}};
    auto run = request({field("A", "X__c")});
    run.containers = {container};
    gateway.result = {Result::ComponentFailures{{{{"PermissionSet", "Sales"}, "no such field"}}, "no such field", false, std::nullopt}};
    auto summary = SinglePackageDeployer(gateway).run(run, never);
    ASSERT_TRUE(summary) << summary.error();
    EXPECT_TRUE(gateway.last_requested.contains(MetadataComponentKey{"PermissionSet", "Sales"}));
    ASSERT_EQ(summary->fls_results.size(), 1u);
    EXPECT_EQ(summary->fls_results[0].status, domain::FlsResultStatus::Failed);
    EXPECT_EQ(summary->fls_results[0].message, "no such field");
    EXPECT_EQ(summary->component_results[0].status, ComponentDeploymentStatus::Succeeded);

    // A job rejected as a whole updated no container, though the failure names only the row.
    std::filesystem::remove_all(work.root() / "quillary");
    gateway.result = {Result::ComponentFailures{{{{"CustomField", "A.X__c"}, "bad"}}, "bad", false, "bad"}};
    summary = SinglePackageDeployer(gateway).run(run, never);
    ASSERT_TRUE(summary) << summary.error();
    ASSERT_EQ(summary->fls_results.size(), 1u);
    EXPECT_EQ(summary->fls_results[0].status, domain::FlsResultStatus::Failed);
    EXPECT_EQ(summary->fls_results[0].message, "Not deployed: the deployment failed. bad");

    std::filesystem::remove_all(work.root() / "quillary");
    run.containers = {container, container};
    EXPECT_EQ(SinglePackageDeployer(gateway).run(run, never).error(),
              "Permission container destination already exists in the package workspace");
    std::filesystem::remove_all(work.root() / "quillary");
    run.containers = {container};
    run.containers[0].full_name = "../x";
    EXPECT_EQ(SinglePackageDeployer(gateway).run(run, never).error(),
              "Temporary permission deployment workspace, packaging, or deployment failed. IllegalArgumentException");
}

}  // namespace
}  // namespace ambrel::deployment::single_package
