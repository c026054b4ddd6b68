// The deploy with the standard adaptation bound and every port faked: the passes before the package
// in their order, the refusal of modes that cannot leave rows behind, the steps after the package
// with the messages each retry is given, and no retry after a package the target refused as a whole.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>

#include "app/app_test_rows.hpp"
#include "deploy_fixture.hpp"
#include "metadata_types/type_descriptor.hpp"

namespace ambrel::deploy_tests {
namespace {

using Package = deployment::single_package::SinglePackageSummary;
using SalesforceObject = cli::catalogs::SalesforceObject;

constexpr std::string_view kNamespace = "http://soap.sforce.com/2006/04/metadata";

std::string document(std::string_view root, std::string_view body) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<" + std::string(root) + " xmlns=\"" + std::string(kNamespace) +
           "\">\n" + std::string(body) + "</" + std::string(root) + ">\n";
}

const std::string kGroup = document("PermissionSetGroup", "    <permissionSets>Audit</permissionSets>\n"
                                                          "    <permissionSets>Gone</permissionSets>\n");
const std::string kContext = document("ContextDefinition",
                                      "    <contextNodeMappings>\n        <object>Invoice__c</object>\n"
                                      "    </contextNodeMappings>\n"
                                      "    <contextNodeMappings>\n        <object>Gone__c</object>\n"
                                      "    </contextNodeMappings>\n"
                                      "    <releaseVersion>66.0</releaseVersion>\n");
const std::string kPermissionSet = document("PermissionSet",
                                            "    <userPermissions>\n        <enabled>true</enabled>\n"
                                            "        <name>ViewSetup</name>\n    </userPermissions>\n"
                                            "    <userPermissions>\n        <enabled>true</enabled>\n"
                                            "        <name>Mystery</name>\n    </userPermissions>\n");
const std::string kProfile = document("Profile",
                                      "    <classAccesses>\n        <apexClass>Foo</apexClass>\n"
                                      "        <enabled>true</enabled>\n    </classAccesses>\n"
                                      "    <classAccesses>\n        <apexClass>Bar</apexClass>\n"
                                      "        <enabled>true</enabled>\n    </classAccesses>\n");
const std::string kVersion = document("ExpressionSetDefinitionVersion",
                                      "    <expressionSetDefinition>Def</expressionSetDefinition>\n"
                                      "    <status>Active</status>\n");
const std::string kDefinition = document("ExpressionSetDefinition", "    <usageSubtype>RevenueCloud</usageSubtype>\n");

const std::string kGroupNote = "Kept 1 of 2 permission sets in this group; 1 left out: Gone.";
const std::string kReleaseNote = "Release version 66.0 rewritten to the target's 64.5.";
const std::string kContextNote =
    "Kept 0 of 0 field references and 1 of 2 object mappings in this context; 1 left out: Gone__c.";
const std::string kPermissionNote =
    "Kept 1 of 2 user permissions; left out (not among the user permissions the target org reports): ViewSetup.";
const std::string kProfileNote =
    "Kept 1 of 2 component references; left out (not among the components the target org lists): ApexClass Foo.";
const std::string kStatusNote = "Status Active rewritten to Inactive: the target runs V1 as active.";
const std::string kGatedNote =
    "usageSubtype RevenueCloud left out: the comparison's API version 65.0 is below 68.0, the lowest measured to "
    "accept it.";

SalesforceObject listed_object(std::string name) {
    SalesforceObject object;
    object.api_name = std::move(name);
    object.label = object.api_name;
    return object;
}

metadata::user_permission_filter::UserPermissionCatalog catalog_of(std::set<std::string, std::less<>> names) {
    metadata::user_permission_filter::UserPermissionCatalog catalog;
    catalog.names = std::move(names);
    return catalog;
}

// The order in which the ports were asked, across every port group.
class PortJournal {
public:
    void add(std::string entry) {
        std::lock_guard lock(mutex_);
        entries_.push_back(std::move(entry));
    }
    std::vector<std::string> entries() const {
        std::lock_guard lock(mutex_);
        return entries_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> entries_;
};

// A service over the fixture's ports and either the standard group itself (`recording` null) or a
// recording group around it.
QuillaryApplicationService real_service(const testing::RecordingPorts& ports,
                                        std::shared_ptr<testing::RecordingDeployAdaptation> recording) {
    auto service = QuillaryApplicationService::with_git_and_layouts(ports.core, ports.git, ports.target_layout_reading,
                                                                    ports.permission_set_name_listing, ports.schema,
                                                                    ports.bundle);
    service = QuillaryApplicationService::with_tracking(std::move(service), ports.tracking);
    service = QuillaryApplicationService::with_procedure_versions(std::move(service), ports.procedure_versions);
    if (recording) service = QuillaryApplicationService::with_deploy_adaptation(std::move(service), std::move(recording));
    return service;
}

class RealAdaptation : public ::testing::Test {
protected:
    RealAdaptation() {
        const auto context = wire("ContextDefinition");
        auto relative = context.descriptor().content_format.edited_document_path("Ctx");
        EXPECT_TRUE(relative.has_value());
        const auto path =
            workspace.workspace()->target_project() / "force-app/main/default" / relative.value_or("Ctx");
        std::filesystem::create_directories(path.parent_path());
        std::ofstream(path) << document("ContextDefinition", "    <releaseVersion>64.5</releaseVersion>\n");

        rows = {row(wire("PermissionSetGroup"), "Ops", ChangeKind::Update, MetadataDeployScope::Full, kGroup),
                row(context, "Ctx", ChangeKind::Update, MetadataDeployScope::Full, kContext),
                row(wire("PermissionSet"), "Sales", ChangeKind::Update, MetadataDeployScope::Full, kPermissionSet),
                row(wire("Profile"), "Admin", ChangeKind::Update, MetadataDeployScope::Full, kProfile),
                row(wire("ExpressionSetDefinitionVersion"), "V2", ChangeKind::Update, MetadataDeployScope::Full, kVersion),
                row(wire("ExpressionSetDefinition"), "Def", ChangeKind::Update, MetadataDeployScope::Full, kDefinition),
                row(MetadataType::CustomObject, "Invoice__c", ChangeKind::Add),
                row(MetadataType::ApexClass, "A", ChangeKind::Update),
                row(MetadataType::ApexClass, "B", ChangeKind::Update)};
        for (const auto& r : rows) selected.insert(r.key());
        script_listings();
    }

    // Every listing the passes ask, answered as a target that lacks Gone, Gone__c, ViewSetup and the
    // class Foo, and runs V1 as the active version of Def.
    void script_listings() {
        ports.core->script.diagnostic_sanitizer.answer_with([](const std::string& text) { return text; });
        ports.core->script.org_alias_listing.answer_with([this](const domain::CancellationToken&) {
            journal.add("org_alias_listing");
            return app::ports::PortResult<std::vector<endpoint::OrgAlias>>(std::vector<endpoint::OrgAlias>{
                listed("src", "src@example.com", "00Dsrc"), listed("tgt", "tgt@example.com", "00Dtgt")});
        });
        ports.permission_set_name_listing->script.permission_set_name_listing.answer_with(
            [this](const std::string& org, const domain::CancellationToken&) {
                journal.add("permission_set_name_listing " + org);
                return app::ports::PortResult<std::set<std::string>>(std::set<std::string>{"Audit"});
            });
        ports.schema->script.object_field_listing.answer_with(
            [this](const std::string& org, const std::set<std::string>&, const domain::CancellationToken&) {
                journal.add("object_field_listing " + org);
                if (org == "src@example.com")
                    return app::ports::PortResult<cli::SchemaListing>(cli::SchemaListing{{"Invoice__c", "Gone__c"}, {}});
                return app::ports::PortResult<cli::SchemaListing>(cli::SchemaListing{{"Account"}, {}});
            });
        ports.schema->script.user_permission_listing.answer_with([this](const std::string& org,
                                                                        const domain::CancellationToken&) {
            journal.add("user_permission_listing " + org);
            return app::ports::PortResult<metadata::user_permission_filter::UserPermissionCatalog>(
                org == "src@example.com" ? catalog_of({"PermissionsViewSetup"}) : catalog_of({"PermissionsOther"}));
        });
        ports.core->script.metadata_listing.answer_with(
            [this](const std::string& type, const std::string& org, const domain::CancellationToken&) {
                journal.add("metadata_listing " + type + " " + org);
                return app::ports::PortResult<std::vector<SalesforceObject>>(
                    std::vector<SalesforceObject>{listed_object("Bar")});
            });
        ports.procedure_versions->script.expression_set_version_listing.answer_with(
            [this](const std::string& org, const std::string& definition, const domain::CancellationToken&) {
                journal.add("expression_set_version_listing " + org + " " + definition);
                return app::ports::PortResult<std::vector<app::ports::ExpressionSetVersionRecord>>(
                    std::vector<app::ports::ExpressionSetVersionRecord>{{"0x1", "V1", true}, {"0x2", "V2", false}});
            });
        ports.procedure_versions->script.expression_set_version_activation.answer_with(
            [this](const std::string&, const std::string&, const std::string& id, bool active,
                   const domain::CancellationToken&) {
                journal.add("expression_set_version_activation " + id + (active ? " on" : " off"));
                return app::ports::PortResult<void>();
            });
    }

    std::shared_ptr<ComparisonSession> session(app::SessionCloser closer = {}) {
        return session_of({.rows = rows, .closer = std::move(closer), .workspace = workspace.workspace()});
    }

    app_tests::WorkspaceFixture workspace;
    testing::RecordingPorts ports;
    PortJournal journal;
    std::vector<ComponentDifference> rows;
    app::SelectedKeys selected;
    domain::NeverCancelled never;
};

const ComponentDeploymentResult& result_of(const deployment::DeploymentSummary& summary, const ComponentKey& key) {
    for (const auto& result : summary.component_results)
        if (result.key == key) return result;
    static const ComponentDeploymentResult missing{};
    ADD_FAILURE() << "no result for " << key.name;
    return missing;
}

TEST_F(RealAdaptation, TheSevenPassesRunInOrderAndTheirNotesReachTheResults) {
    auto recording = std::make_shared<testing::RecordingDeployAdaptation>(app::ports::DeployAdaptation::standard());
    const auto service = real_service(ports, recording);
    ports.core->script.single_package_deployment.answer_with(
        [this](const std::vector<ComponentDifference>& sent, const domain::SelectedPermissions&, FlsMode,
               const app::ports::ContainerSelection&, DeployMode, const std::optional<domain::ApexTestConfig>&,
               const endpoint::DeployEndpoint&, const std::string&, const std::string&, const domain::CancellationToken&) {
            journal.add("single_package_deployment " + std::to_string(sent.size()));
            return app::ports::PortResult<Package>(succeeded_package(sent));
        });
    auto result = service.deploy(*session(), selected, FlsMode::None, std::nullopt, DeployMode::BestEffort, std::nullopt,
                                 never);
    ASSERT_TRUE(result) << result.error().detail_text();

    auto passes = recording->log();
    std::erase_if(passes, [](const std::string& call) { return !call.starts_with("filter_"); });
    EXPECT_EQ(passes, (std::vector<std::string>{"filter_permission_set_groups", "filter_context_release_versions",
                                                "filter_context_definitions", "filter_permission_sets",
                                                "filter_profiles", "filter_expression_set_version_status",
                                                "filter_expression_set_definitions"}));
    // Each pass asks the target (and, between orgs, the source) only for what it adapts, in pass order;
    // the bindings are checked before the expansion and again by the package run; the activation
    // after the package names the target by its alias.
    EXPECT_EQ(journal.entries(), (std::vector<std::string>{
                                     "permission_set_name_listing tgt@example.com",
                                     "object_field_listing src@example.com",
                                     "object_field_listing tgt@example.com",
                                     "user_permission_listing src@example.com",
                                     "user_permission_listing tgt@example.com",
                                     "metadata_listing ApexClass tgt",
                                     "expression_set_version_listing tgt@example.com Def",
                                     "org_alias_listing",
                                     "org_alias_listing",
                                     "single_package_deployment 9",
                                     "expression_set_version_listing tgt Def",
                                     "expression_set_version_activation 0x1 off",
                                     "expression_set_version_activation 0x2 on",
                                 }));

    // The package carried the adapted documents.
    const auto package = ports.core->script.single_package_deployment.calls();
    ASSERT_EQ(package.size(), 1u);
    for (const auto& sent : std::get<0>(package[0])) {
        SCOPED_TRACE(sent.key().name);
        const auto& text = sent.source.document;
        EXPECT_EQ(text.find("<permissionSets>Gone</permissionSets>"), std::string::npos);
        EXPECT_EQ(text.find("<object>Gone__c</object>"), std::string::npos);
        EXPECT_EQ(text.find("<name>ViewSetup</name>"), std::string::npos);
        EXPECT_EQ(text.find("<apexClass>Foo</apexClass>"), std::string::npos);
        EXPECT_EQ(text.find("<status>Active</status>"), std::string::npos);
        EXPECT_EQ(text.find("<usageSubtype>"), std::string::npos);
        EXPECT_EQ(text.find("<releaseVersion>66.0</releaseVersion>"), std::string::npos);
    }

    EXPECT_EQ(result_of(*result, rows[0].key()).message, "deployed " + kGroupNote);
    EXPECT_EQ(result_of(*result, rows[1].key()).message, "deployed " + kReleaseNote + " " + kContextNote);
    EXPECT_EQ(result_of(*result, rows[2].key()).message, "deployed " + kPermissionNote);
    EXPECT_EQ(result_of(*result, rows[3].key()).message, "deployed " + kProfileNote);
    EXPECT_TRUE(result_of(*result, rows[4].key()).message.starts_with("deployed " + kStatusNote))
        << result_of(*result, rows[4].key()).message;
    EXPECT_EQ(result_of(*result, rows[5].key()).message, "deployed " + kGatedNote);
}

TEST_F(RealAdaptation, ModesThatCannotLeaveRowsBehindStopOnTheFirstPassFailureInPassOrder) {
    const std::string group_failure = "The target's Permission Sets could not be listed: listing broke";
    const std::string field_failure = "The org's object fields could not be listed: describe broke";
    const std::string definition_failure =
        "The Pricing Recipe document of Recipe could not be read: root element must be PricingRecipe.";
    struct Case {
        std::string name;
        bool group_fails;
        bool release_fails;
        bool fields_fail;
        bool definition_fails;
        std::optional<std::string> first;  // a prefix of the failed row's message; none: the package runs
    };
    const std::string release_prefix = "Could not parse the context definition document: ";
    const std::vector<Case> cases{
        {"every pass fails", true, true, true, true, group_failure},
        {"release versions first", false, true, true, true, release_prefix},
        {"context fields first", false, false, true, true, field_failure},
        {"definitions alone", false, false, false, true, definition_failure},
        {"nothing fails", false, false, false, false, std::nullopt},
    };
    for (DeployMode mode : {DeployMode::ValidateOnly, DeployMode::AllOrNothing}) {
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(domain::wire_id(mode)) + " " + c.name);
            testing::RecordingPorts fresh;
            ports.permission_set_name_listing = fresh.permission_set_name_listing;
            ports.schema = fresh.schema;
            ports.core = fresh.core;
            script_listings();
            if (c.group_fails)
                ports.permission_set_name_listing->script.permission_set_name_listing.answer(
                    std::unexpected(WorkflowFailure::operation("listing broke")));
            if (c.fields_fail)
                ports.schema->script.object_field_listing.answer(
                    std::unexpected(WorkflowFailure::operation("describe broke")));
            ports.core->script.single_package_deployment.answer_with(
                [](const std::vector<ComponentDifference>& sent, auto&&...) {
                    return app::ports::PortResult<Package>(succeeded_package(sent));
                });
            std::vector<ComponentDifference> chosen{rows[0], rows[1], rows[6]};
            if (c.release_fails)
                chosen.push_back(row(wire("ContextDefinition"), "Broken", ChangeKind::Update, MetadataDeployScope::Full,
                                     "<ContextDefinition"));
            if (c.definition_fails)
                chosen.push_back(row(wire("PricingRecipe"), "Recipe", ChangeKind::Update, MetadataDeployScope::Full,
                                     document("Flow", "")));
            app::SelectedKeys keys;
            for (const auto& r : chosen) keys.insert(r.key());
            auto chosen_session = session_of({.rows = chosen, .workspace = workspace.workspace()});
            const auto service = real_service(ports, nullptr);
            auto result = service.deploy(*chosen_session, keys, FlsMode::None, std::nullopt, mode, std::nullopt, never);
            if (!c.first) {
                ASSERT_TRUE(result) << result.error().detail_text();
                EXPECT_EQ(ports.core->script.single_package_deployment.count(), 1u);
                continue;
            }
            ASSERT_FALSE(result);
            EXPECT_EQ(result.error().kind, FailureKind::Operation);
            ASSERT_EQ(result.error().messages.size(), 1u);
            EXPECT_TRUE(result.error().messages[0].starts_with("The package was not deployed: " + *c.first))
                << result.error().messages[0];
            EXPECT_EQ(ports.core->script.single_package_deployment.count(), 0u);
        }
    }
}

// A package whose results reject the permission set for a user permission the target named, and the
// two classes with the target's unexpected error; the retries answer as `retry` says.
std::function<app::ports::PortResult<Package>(const std::vector<ComponentDifference>&)> rejecting_package(
    bool completed, std::size_t& packages) {
    return [completed, &packages](const std::vector<ComponentDifference>& sent) {
        Package package = succeeded_package(sent);
        const bool first = packages++ == 0;
        for (auto& result : package.component_results) {
            if (!first) {
                result.message = result.key.metadata_type == MetadataType::ApexClass ? "An unexpected error occurred."
                                                                                     : "retried";
                result.status = result.key.metadata_type == MetadataType::ApexClass
                                    ? ComponentDeploymentStatus::Failed
                                    : ComponentDeploymentStatus::Succeeded;
                continue;
            }
            if (result.key.name == "Sales") {
                result.status = ComponentDeploymentStatus::Failed;
                result.message = "Unknown user permission: Mystery";
            } else if (result.key.metadata_type == MetadataType::ApexClass) {
                result.status = ComponentDeploymentStatus::Failed;
                result.message = "An unexpected error occurred.";
            } else if (!completed) {
                result.status = ComponentDeploymentStatus::Failed;
                result.message = "The deploy failed.";
            }
        }
        package.package_completed = completed;
        return package;
    };
}

TEST_F(RealAdaptation, AfterThePackageEachRetryGetsItsSnapshotAndSendsInOrder) {
    auto recording = std::make_shared<testing::RecordingDeployAdaptation>(app::ports::DeployAdaptation::standard());
    const auto service = real_service(ports, recording);
    std::size_t packages = 0;
    auto answer = rejecting_package(true, packages);
    ports.core->script.single_package_deployment.answer_with(
        [&](const std::vector<ComponentDifference>& sent, auto&&...) { return answer(sent); });
    auto result = service.deploy(*session(), selected, FlsMode::None, std::nullopt, DeployMode::BestEffort, std::nullopt,
                                 never);
    ASSERT_TRUE(result) << result.error().detail_text();

    auto retries = recording->log();
    std::erase_if(retries, [](const std::string& call) { return !call.starts_with("retry_"); });
    EXPECT_EQ(retries, (std::vector<std::string>{"retry_rejected_permission_sets", "retry_rejected_profiles",
                                                 "retry_rejected_permission_set_groups",
                                                 "retry_rejected_context_definitions", "retry_unexpected_errors",
                                                 "retry_unexpected_errors_isolated:2"}));
    EXPECT_EQ(recording->group_retry_names, (std::set<std::string>{"Audit"}));

    // Snapshot 1 (permission sets and profiles): the package's own messages. Snapshot 2 (context
    // definitions): with the permission set, profile and group notes. Snapshot 3 (unexpected errors):
    // with every note.
    const auto snapshots = recording->snapshots;
    ASSERT_EQ(snapshots.size(), 4u);
    const auto& [group, context, permission_set, profile] = std::tie(rows[0], rows[1], rows[2], rows[3]);
    EXPECT_EQ(snapshots[0].at(permission_set.key()), "Unknown user permission: Mystery");
    EXPECT_EQ(snapshots[0].at(group.key()), "deployed");
    EXPECT_EQ(snapshots[1], snapshots[0]);
    EXPECT_EQ(snapshots[2].at(group.key()), "deployed " + kGroupNote);
    EXPECT_EQ(snapshots[2].at(profile.key()), "deployed " + kProfileNote);
    EXPECT_TRUE(snapshots[2].at(permission_set.key()).starts_with("retried")) << snapshots[2].at(permission_set.key());
    EXPECT_EQ(snapshots[2].at(context.key()), "deployed");
    EXPECT_EQ(snapshots[3].at(context.key()), "deployed " + kReleaseNote + " " + kContextNote);
    EXPECT_EQ(snapshots[3].at(rows[5].key()), "deployed " + kGatedNote);

    // The permission set went again without the user permission the target named, then the two
    // classes together; with the session's retry-alone setting off they are not sent one by one.
    const auto sent = ports.core->script.single_package_deployment.calls();
    ASSERT_EQ(sent.size(), 3u);
    ASSERT_EQ(std::get<0>(sent[1]).size(), 1u);
    EXPECT_EQ(std::get<0>(sent[1])[0].key(), permission_set.key());
    EXPECT_EQ(std::get<0>(sent[1])[0].source.document.find("Mystery"), std::string::npos);
    ASSERT_EQ(std::get<0>(sent[2]).size(), 2u);
    EXPECT_EQ(std::get<0>(sent[2])[0].key(), rows[7].key());
    EXPECT_EQ(std::get<0>(sent[2])[1].key(), rows[8].key());
    EXPECT_EQ(result_of(*result, rows[7].key()).status, ComponentDeploymentStatus::Failed);
    EXPECT_NE(result_of(*result, rows[7].key()).message.find("Turn on Retry rows alone"), std::string::npos);
}

TEST_F(RealAdaptation, APackageRefusedAsAWholeIsNotRetried) {
    for (bool completed : {true, false}) {
        SCOPED_TRACE(completed);
        testing::RecordingPorts fresh;
        ports.core = fresh.core;
        ports.schema = fresh.schema;
        ports.permission_set_name_listing = fresh.permission_set_name_listing;
        ports.procedure_versions = fresh.procedure_versions;
        script_listings();
        std::size_t packages = 0;
        auto answer = rejecting_package(completed, packages);
        ports.core->script.single_package_deployment.answer_with(
            [&](const std::vector<ComponentDifference>& sent, auto&&...) { return answer(sent); });
        const auto service = real_service(ports, nullptr);
        auto result = service.deploy(*session(), selected, FlsMode::None, std::nullopt, DeployMode::BestEffort,
                                     std::nullopt, never);
        ASSERT_TRUE(result) << result.error().detail_text();
        EXPECT_EQ(result->package_completed, completed);
        // A completed package with rejected rows is retried; a failed one keeps its results as they are.
        EXPECT_EQ(ports.core->script.single_package_deployment.count(), completed ? 3u : 1u);
        if (!completed) {
            EXPECT_EQ(result_of(*result, rows[2].key()).message, "Unknown user permission: Mystery " + kPermissionNote);
            EXPECT_EQ(result_of(*result, rows[7].key()).message, "An unexpected error occurred.");
        }
    }
}

}  // namespace
}  // namespace ambrel::deploy_tests
