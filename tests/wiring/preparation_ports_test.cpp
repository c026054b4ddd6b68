// Org preparation over the fake `sf`: the read operations, the two writes in private workspaces that
// never outlive the call, and the two ports over the orchestrator.

#include "wiring/preparation_ports.hpp"

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "cli/describe.hpp"
#include "cli/record_keys.hpp"
#include "data/field_deploy/field_deploy.hpp"
#include "data/orchestrator/orchestrator.hpp"
#include "wiring/failure_mapping.hpp"
#include "wiring/fake_cli_session.hpp"

namespace ambrel::server::wiring {
namespace {

namespace fake = ambrel::testing::fake_sf;
namespace fs = std::filesystem;
using app::FailureKind;
using data::preparation::KeyFillResult;
using ::testing::HasSubstr;
using testing::query_answer;

constexpr std::string_view kOrg = "dh";
constexpr std::string_view kSecretFailure =
    R"({"status":1,"name":"INVALID_SESSION_ID","message":"Session refused accessToken: 00Dxx!AQ4secret","exitCode":1})";

class PreparationPortsTest : public testing::FakeCliSession {
protected:
    std::shared_ptr<CliPreparationPorts> adapter() {
        return std::make_shared<CliPreparationPorts>(workspace_root(), gateway_, progress_);
    }
    // The entries left in the ports' folder below the workspace root.
    std::vector<fs::path> left_in_port_folder() const {
        std::vector<fs::path> left;
        std::error_code error;
        for (const auto& entry : fs::directory_iterator(workspace_root() / kPortTempFolder, error)) {
            left.push_back(entry.path());
        }
        return left;
    }
};

TEST_F(PreparationPortsTest, FieldDeployWithoutObjectsStillMakesAndRemovesItsWorkspace) {
    scenario(fake::Scenario().orgs({std::string(kOrg)}));
    auto deployed = adapter()->deploy_fields(kOrg, {}, std::string("Admin"), token_);
    ASSERT_TRUE(deployed) << deployed.error();
    EXPECT_TRUE(fs::is_directory(workspace_root() / kPortTempFolder));
    EXPECT_TRUE(left_in_port_folder().empty());
    EXPECT_TRUE(calls().empty());
}

TEST_F(PreparationPortsTest, FieldDeployFailuresKeepTheirTextAndLeaveNothing) {
    scenario(
        fake::Scenario()
            .orgs({std::string(kOrg)})
            .on_prefix(
                {"project", "deploy", "start"},
                fake::Answer()
                    .out(R"({"status":1,"name":"DeployFailed","message":"The org refused the package.","exitCode":1})")
                    .exit_code(1)));
    auto no_profile = adapter()->deploy_fields(kOrg, {"Product2"}, std::nullopt, token_);
    ASSERT_FALSE(no_profile);
    EXPECT_EQ(no_profile.error(), data::field_deploy::kMissingProfile);
    EXPECT_TRUE(left_in_port_folder().empty());

    auto refused = adapter()->deploy_fields(kOrg, {"Product2"}, std::string("Admin"), token_);
    ASSERT_FALSE(refused);
    EXPECT_THAT(refused.error(), ::testing::StartsWith(data::field_deploy::kCreationFailure));
    EXPECT_TRUE(left_in_port_folder().empty());

    const auto recorded = calls();
    ASSERT_EQ(recorded.size(), 1u);
    EXPECT_THAT(recorded[0].args, ::testing::IsSupersetOf({std::string("--target-org"), std::string(kOrg)}));
    // The deploy ran inside the call's own workspace below the ports' folder.
    EXPECT_EQ(fs::path(recorded[0].cwd).parent_path(), workspace_root() / kPortTempFolder);
}

TEST_F(PreparationPortsTest, KeyFillWithNothingToFillStillMakesAndRemovesItsWorkspace) {
    scenario(fake::Scenario().orgs({std::string(kOrg)}));
    const KeyFillResult result = adapter()->fill_keys(kOrg, "Product2", "QuillaryExternalId__c", {}, token_);
    EXPECT_EQ(result, KeyFillResult{KeyFillResult::NothingToFill{}});
    EXPECT_TRUE(fs::is_directory(workspace_root() / kPortTempFolder));
    EXPECT_TRUE(left_in_port_folder().empty());
}

TEST_F(PreparationPortsTest, FailedKeyFillIsPassedOnAndLeavesNothing) {
    scenario(fake::Scenario()
                 .orgs({std::string(kOrg)})
                 .otherwise(fake::Answer()
                                .out(R"({"status":1,"name":"BulkFailed","message":"The job failed.","exitCode":1})")
                                .exit_code(1)));
    const std::vector<std::string> ids = {"01t000000000001AAA"};
    const KeyFillResult result = adapter()->fill_keys(kOrg, "Product2", "QuillaryExternalId__c", ids, token_);
    EXPECT_TRUE(std::holds_alternative<KeyFillResult::Failed>(result.value));
    EXPECT_TRUE(left_in_port_folder().empty());
    ASSERT_FALSE(calls().empty());
    EXPECT_EQ(fs::path(calls()[0].cwd).parent_path(), workspace_root() / kPortTempFolder);
}

TEST_F(PreparationPortsTest, WorkspaceThatCannotBeMadeIsTheWriteFailure) {
    scenario(fake::Scenario().orgs({std::string(kOrg)}));
    // A file where the ports' folder belongs.
    std::ofstream(workspace_root() / kPortTempFolder) << "in the way";
    auto deployed = adapter()->deploy_fields(kOrg, {"Product2"}, std::string("Admin"), token_);
    ASSERT_FALSE(deployed);
    EXPECT_FALSE(deployed.error().empty());

    const std::vector<std::string> ids = {"01t000000000001AAA"};
    const KeyFillResult result = adapter()->fill_keys(kOrg, "Product2", "QuillaryExternalId__c", ids, token_);
    EXPECT_EQ(result, KeyFillResult{KeyFillResult::Failed{deployed.error()}});
    EXPECT_TRUE(calls().empty());
}

TEST_F(PreparationPortsTest, ReadsForwardDescribeAndCountErrorsUnchangedAndCleanTheOthers) {
    scenario(fake::Scenario()
                 .orgs({std::string(kOrg)})
                 .otherwise(fake::Answer().out(std::string(kSecretFailure)).exit_code(1)));
    const cli::SObjectDescribeCatalog describer(*gateway_, kPreparationQueryTimeout);
    const cli::RecordKeyCatalog keys(*gateway_, kPreparationQueryTimeout, kPreparationUpsertTimeout);

    auto described = adapter()->describe(kOrg, "Product2", token_);
    ASSERT_FALSE(described);
    EXPECT_EQ(described.error(), describer.describe(kOrg, "Product2", token_).error());

    auto counted = adapter()->count_records(kOrg, "Product2", std::nullopt, token_);
    ASSERT_FALSE(counted);
    EXPECT_EQ(counted.error(), keys.count(kOrg, "Product2", std::nullopt, token_).error());

    auto ids = adapter()->unkeyed_ids(kOrg, "Product2", "QuillaryExternalId__c", token_);
    ASSERT_FALSE(ids);
    ASSERT_NE(ids.error().get_if<cli::CatalogError::Message>(), nullptr);
    EXPECT_THAT(ids.error().message(), HasSubstr("[REDACTED]"));
    EXPECT_THAT(ids.error().message(), ::testing::Not(HasSubstr("AQ4secret")));

    auto profile = adapter()->running_user_profile(kOrg, token_);
    ASSERT_FALSE(profile);
    ASSERT_NE(profile.error().get_if<cli::CatalogError::Message>(), nullptr);
    EXPECT_THAT(profile.error().message(), ::testing::Not(HasSubstr("AQ4secret")));
}

TEST_F(PreparationPortsTest, ProgressGoesToTheSessionSink) {
    adapter()->report_progress(progress::ProgressStage::FillingExternalId, 2, 5, "Product2");
    const auto reported = events();
    ASSERT_EQ(reported.size(), 1u);
    EXPECT_EQ(reported[0].stage, progress::ProgressStage::FillingExternalId);
    EXPECT_EQ(reported[0].current, std::optional<std::uint32_t>(2));
    EXPECT_EQ(reported[0].total, std::optional<std::uint32_t>(5));
    EXPECT_EQ(reported[0].detail, std::optional<std::string>("Product2"));
}

TEST_F(PreparationPortsTest, PortsTurnEveryOrchestratorFailureIntoAnOperationFailure) {
    scenario(fake::Scenario()
                 .orgs({std::string(kOrg)})
                 .otherwise(fake::Answer().out(std::string(kSecretFailure)).exit_code(1)));
    const auto ports = make_preparation_ports(adapter());

    auto inspected = ports->preparation_inspection(std::string(kOrg), "other", token_);
    ASSERT_FALSE(inspected);
    EXPECT_EQ(inspected.error().kind, FailureKind::Operation);
    EXPECT_EQ(inspected.error().org_alias, std::nullopt);
    EXPECT_FALSE(inspected.error().messages.empty());

    token_.cancel();
    for (bool apply : {false, true}) {
        SCOPED_TRACE(apply);
        auto report = apply ? ports->preparation_application(std::string(kOrg), std::string(kOrg), token_)
                            : ports->preparation_inspection(std::string(kOrg), std::string(kOrg), token_);
        ASSERT_FALSE(report);
        EXPECT_EQ(report.error(), app::WorkflowFailure::operation(data::orchestrator::kCancelled));
    }
}

}  // namespace
}  // namespace ambrel::server::wiring
