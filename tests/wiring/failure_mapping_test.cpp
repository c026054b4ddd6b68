// The translations of the gateways' and services' errors into workflow failures, the cleaning of
// catalogue errors, the way back to a record channel's error, and where ports make their workspaces.

#include "wiring/failure_mapping.hpp"

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "process/process_runner.hpp"
#include "support/test_paths.hpp"

namespace ambrel::server::wiring {
namespace {

using app::FailureKind;
using app::WorkflowFailure;
using cli::CatalogError;
using cli::CliError;
using cli::SchemaCatalogError;
using deployment::fls_catalog::FlsCatalogError;
using deployment::fls_synchronizer::FlsSyncError;
using metadata::retrieve::MetadataRetrieveError;
using metadata::retrieve::RetrieveFailure;
using metadata::workspace::WorkspaceError;

constexpr std::string_view kCancelled = "Salesforce field workflow was cancelled";

WorkspaceError io_error(std::string text) {
    return WorkspaceError::io(std::make_error_code(std::errc::permission_denied), text);
}

MetadataRetrieveError failed_retrieve() {
    MetadataRetrieveError::Failed failed;
    failed.status = 1;
    failed.alias = "dev";
    failed.exit_code = 1;
    return failed;
}

struct MappingCase {
    std::string name;
    std::function<WorkflowFailure()> map;
    FailureKind kind;
    std::vector<std::string> messages;
};

TEST(FailureMapping, EverySourceFormMapsToItsKindAndTexts) {
    const std::string failed_retrieve_text = failed_retrieve().message();
    const std::vector<MappingCase> cases = {
        {"catalogue: cancelled CLI run",
         [] { return catalog_to_failure(CliError::cancelled(cli::kCommandCancelled)); },
         FailureKind::Cancelled,
         {std::string(kCancelled)}},
        {"catalogue: CLI could not start",
         [] { return catalog_to_failure(CliError::process("Could not start Salesforce CLI process: gone", {})); },
         FailureKind::Operation,
         {"Could not start Salesforce CLI process: gone"}},
        {"catalogue: finished message",
         [] { return catalog_to_failure(CatalogError::Message{"Salesforce org list failed."}); },
         FailureKind::Operation,
         {"Salesforce org list failed."}},
        {"catalogue: prerequisite with a cause",
         [] {
             return catalog_to_failure(CatalogError::prerequisite(
                 "Salesforce CLI could not be started or did not return a valid version response.",
                 CliError::process("Could not start Salesforce CLI process: No such file or directory", {})));
         },
         FailureKind::Prerequisite,
         {"Salesforce CLI could not be started or did not return a valid version response."}},
        {"catalogue: prerequisite with a white-space message",
         [] { return catalog_to_failure(CatalogError::prerequisite(" \t\n")); },
         FailureKind::Prerequisite,
         {}},
        {"schema: cancelled", [] { return schema_to_failure(SchemaCatalogError::Cancelled{}); },
         FailureKind::Cancelled, {std::string(kCancelled)}},
        {"schema: failed listing",
         [] { return schema_to_failure(SchemaCatalogError::FailedListing{"Field listing failed"}); },
         FailureKind::Operation,
         {"Field listing failed"}},
        {"schema: invalid response",
         [] { return schema_to_failure(SchemaCatalogError::InvalidResponse{"Not a listing"}); },
         FailureKind::Operation,
         {"Not a listing"}},
        {"schema: incomplete response",
         [] { return schema_to_failure(SchemaCatalogError::IncompleteResponse{"Only part of it"}); },
         FailureKind::Operation,
         {"Only part of it"}},
        {"git: any error",
         [] { return git_to_failure(git::GitError(git::GitError::Kind::NotARepository, "The selected path is not a git repository.")); },
         FailureKind::Operation,
         {"The selected path is not a git repository."}},
        {"retrieve: failed with two clean-up errors",
         [] {
             return retrieve_failure_to_workflow(
                 RetrieveFailure{failed_retrieve(), {io_error("first clean-up"), io_error("second clean-up")}});
         },
         FailureKind::Operation,
         {failed_retrieve_text, "first clean-up", "second clean-up"}},
        {"retrieve: cancelled keeps its clean-up text",
         [] {
             return retrieve_failure_to_workflow(
                 RetrieveFailure{MetadataRetrieveError::Cancelled{}, {io_error("could not remove")}});
         },
         FailureKind::Cancelled,
         {std::string(kCancelled), "could not remove"}},
        {"retrieve: workspace could not be prepared",
         [] {
             return retrieve_failure_to_workflow(
                 RetrieveFailure{MetadataRetrieveError::Workspace{io_error("Could not create workspace root")}, {}});
         },
         FailureKind::Operation,
         {MetadataRetrieveError(MetadataRetrieveError::Workspace{io_error("Could not create workspace root")})
              .message()}},
        {"permissions: cancelled", [] { return fls_to_failure(FlsSyncError::cancelled()); }, FailureKind::Cancelled,
         {std::string(kCancelled)}},
        {"permissions: cancelled, and the workspace could not be closed",
         [] { return fls_to_failure(FlsSyncError::cancelled(), io_error("could not close")); },
         FailureKind::Cancelled,
         {std::string(kCancelled), "could not close"}},
        {"permissions: cancelled container catalogue",
         [] { return fls_to_failure(FlsSyncError(FlsSyncError::Catalog{FlsCatalogError::cancelled()})); },
         FailureKind::Cancelled,
         {std::string(kCancelled)}},
        {"permissions: failed container catalogue",
         [] {
             return fls_to_failure(FlsSyncError(
                 FlsSyncError::Catalog{FlsCatalogError::query_failed("Salesforce license query failed.")}));
         },
         FailureKind::Operation,
         {"Salesforce license query failed."}},
        {"permissions: message",
         [] { return fls_to_failure(FlsSyncError::message("Permission metadata full name must not be blank")); },
         FailureKind::Operation,
         {"Permission metadata full name must not be blank"}},
        {"permissions: cancelled retrieve with a clean-up error, then a close error",
         [] {
             return fls_to_failure(FlsSyncError(FlsSyncError::Retrieve{RetrieveFailure{
                                       MetadataRetrieveError::Cancelled{}, {io_error("retrieve clean-up")}}}),
                                   io_error("close"));
         },
         FailureKind::Cancelled,
         {std::string(kCancelled), "retrieve clean-up", "close"}},
        {"permissions: failed retrieve",
         [] { return fls_to_failure(FlsSyncError(FlsSyncError::Retrieve{RetrieveFailure{failed_retrieve(), {}}})); },
         FailureKind::Operation,
         {failed_retrieve_text}},
        {"permissions: workspace failure",
         [] { return fls_to_failure(FlsSyncError(FlsSyncError::Workspace{io_error("Could not create workspace root")})); },
         FailureKind::Operation,
         {"Could not create workspace root"}},
    };
    for (const MappingCase& c : cases) {
        SCOPED_TRACE(c.name);
        const WorkflowFailure failure = c.map();
        EXPECT_EQ(failure.kind, c.kind);
        EXPECT_EQ(failure.messages, c.messages);
        EXPECT_FALSE(failure.org_alias.has_value());
    }
}

TEST(FailureMapping, PrerequisiteWithoutMessageShowsTheKindName) {
    EXPECT_EQ(catalog_to_failure(CatalogError::prerequisite("   ")).detail_text(), "Prerequisite");
}

cli::SfCliGateway unused_gateway() { return cli::SfCliGateway("sf", std::make_unique<process::DefaultProcessRunner>()); }

TEST(FailureMapping, SanitizedCatalogueErrorsAreFinishedMessagesWithoutSecrets) {
    const cli::SfCliGateway gateway = unused_gateway();
    const CatalogError cleaned = sanitized_catalog_error(
        gateway, CatalogError::Message{R"({"name":"Failed","accessToken":"00Dxx!secret-token"})"});
    ASSERT_NE(cleaned.get_if<CatalogError::Message>(), nullptr);
    EXPECT_THAT(cleaned.message(), ::testing::HasSubstr("[REDACTED]"));
    EXPECT_THAT(cleaned.message(), ::testing::Not(::testing::HasSubstr("secret-token")));

    // A cancellation passing through here is a finished message afterwards, so it maps to Operation.
    const CatalogError cancelled = sanitized_catalog_error(gateway, CliError::cancelled(cli::kCommandCancelled));
    ASSERT_NE(cancelled.get_if<CatalogError::Message>(), nullptr);
    const WorkflowFailure failure = catalog_to_failure(cancelled);
    EXPECT_EQ(failure.kind, FailureKind::Operation);
    EXPECT_EQ(failure.messages, std::vector<std::string>{std::string(cli::kCommandCancelled)});

    const CatalogError prerequisite = sanitized_catalog_error(gateway, CatalogError::prerequisite("No CLI"));
    EXPECT_EQ(catalog_to_failure(prerequisite).kind, FailureKind::Operation);
}

TEST(FailureMapping, WorkflowFailuresBecomeChannelErrors) {
    struct Case {
        std::string name;
        WorkflowFailure failure;
        data::bundles::synthesis::ChannelError expected;
    };
    WorkflowFailure validation = WorkflowFailure::single(FailureKind::Validation, "first");
    validation.add_suppressed("second");
    validation = WorkflowFailure::with_org_alias(validation, "dev");
    WorkflowFailure cancelled_with_more = WorkflowFailure::cancelled();
    cancelled_with_more.add_suppressed("clean-up");
    const std::vector<Case> cases = {
        {"cancelled", WorkflowFailure::cancelled(), data::bundles::synthesis::ChannelError::cancelled()},
        {"cancelled with a clean-up text", cancelled_with_more, data::bundles::synthesis::ChannelError::cancelled()},
        {"validation with two messages", validation, data::bundles::synthesis::ChannelError::failure("first")},
        {"operation without messages", WorkflowFailure::operation("  "),
         data::bundles::synthesis::ChannelError::failure("")},
        {"prerequisite", WorkflowFailure::single(FailureKind::Prerequisite, "No CLI"),
         data::bundles::synthesis::ChannelError::failure("No CLI")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto channel = workflow_failure_to_channel_error(c.failure);
        EXPECT_EQ(channel, c.expected);
    }
    EXPECT_FALSE(workflow_failure_to_channel_error(WorkflowFailure::operation("")).is_cancelled());
}

TEST(WorkspaceLocation, IsTheQuillaryFolderDirectlyBelowTheRoot) {
    const auto first = workspace_location("/tmp/some-root");
    ASSERT_TRUE(first.has_value()) << first.error();
    EXPECT_EQ(first->trust_anchor(), std::filesystem::path("/tmp/some-root"));
    EXPECT_EQ(first->plugin_temp_parent(), std::filesystem::path("/tmp/some-root/quillary"));

    // Computed from the root it is given each time, nothing remembered.
    const auto second = workspace_location("/var/other");
    ASSERT_TRUE(second.has_value()) << second.error();
    EXPECT_EQ(second->plugin_temp_parent(), std::filesystem::path("/var/other/quillary"));
}

TEST(WorkspaceLocation, NeedsNoFolderToExistAndTouchesNone) {
    const std::filesystem::path root = std::filesystem::temp_directory_path() / "ambrel-wiring-absent-root";
    std::filesystem::remove_all(root);
    const auto location = workspace_location(root);
    ASSERT_TRUE(location.has_value()) << location.error();
    EXPECT_FALSE(std::filesystem::exists(root));
}

}  // namespace
}  // namespace ambrel::server::wiring
