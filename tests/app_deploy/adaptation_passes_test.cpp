// The passes a deploy runs before its package, reached the way the deploy reaches them: through the
// service's standard adaptation group, over recording fakes of the ports and real documents.

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "app/app_test_rows.hpp"
#include "deploy_fixture.hpp"
#include "metadata_types/type_descriptor.hpp"

namespace ambrel::deploy_tests {
namespace {

constexpr std::string_view kNamespace = "http://soap.sforce.com/2006/04/metadata";

std::string document(std::string_view root, std::string_view body) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<" + std::string(root) + " xmlns=\"" + std::string(kNamespace) +
           "\">\n" + std::string(body) + "</" + std::string(root) + ">\n";
}

std::string context_document(std::string_view version) {
    return document("ContextDefinition", "    <releaseVersion>" + std::string(version) + "</releaseVersion>\n");
}

const app::ports::DeployAdaptation& standard() { return *app::ports::DeployAdaptation::standard(); }

class ReleaseVersions : public ::testing::Test {
protected:
    void write_target(const std::string& name, const std::string& text) {
        const auto path = target_path(name);
        std::filesystem::create_directories(path.parent_path());
        std::ofstream(path) << text;
    }
    std::filesystem::path target_path(const std::string& name) {
        auto relative = context.descriptor().content_format.edited_document_path(name);
        EXPECT_TRUE(relative.has_value());
        return workspace.workspace()->target_project() / "force-app/main/default" / relative.value_or("x");
    }

    const MetadataType context = wire("ContextDefinition");
    app_tests::WorkspaceFixture workspace;
};

TEST_F(ReleaseVersions, TargetCopiesDecideTheVersion) {
    write_target("Known", context_document("7"));
    write_target("Low", context_document("3"));
    write_target("Garbled", "no version here");
    std::filesystem::create_directories(target_path("Folder"));
    std::filesystem::create_symlink(target_path("Low"), target_path("Linked"));
    ASSERT_EQ(::mkfifo(target_path("Piped").c_str(), 0600), 0);

    struct Case {
        std::string name;
        std::string document;
        std::optional<std::string> note;
        bool fails = false;
    };
    // The rewrite only lowers a version: a target copy above the document leaves it as it is.
    const std::vector<Case> cases{
        {"Known", context_document("5"), std::nullopt},
        {"Low", context_document("5"), "Release version 5 rewritten to the target's 3."},
        {"Absent", context_document("9"), "Release version 9 rewritten to the target's 7."},
        {"Garbled", context_document("9"), std::nullopt},
        {"Folder", context_document("9"), std::nullopt},
        {"Linked", context_document("9"), std::nullopt},
        {"Piped", context_document("9"), std::nullopt},
        {"Same", context_document("7"), std::nullopt},
        {"Broken", "<ContextDefinition", std::nullopt, true},
    };
    std::vector<ComponentDifference> rows;
    for (const auto& c : cases) rows.push_back(row(context, c.name, ChangeKind::Update, MetadataDeployScope::Full, c.document));
    auto edited = row(context, "Edited", ChangeKind::Update, MetadataDeployScope::Full, context_document("9"));
    edited.edited = true;
    rows.push_back(edited);

    DeployFixture fixture;
    auto session = session_of({.rows = rows, .workspace = workspace.workspace()});
    auto working = rows;
    auto record = standard().filter_context_release_versions(fixture.service(), *session, working, fixture.never);
    ASSERT_TRUE(record);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const ComponentKey key{context, c.name};
        if (c.note) {
            EXPECT_EQ(record->notes.at(key), *c.note);
        } else {
            EXPECT_FALSE(record->notes.contains(key));
        }
        const bool kept = std::any_of(working.begin(), working.end(), [&](const auto& r) { return r.key() == key; });
        EXPECT_EQ(kept, !c.fails);
    }
    ASSERT_EQ(record->failed.size(), 1u);
    EXPECT_TRUE(record->failed[0].message.starts_with("Could not parse the context definition document: "))
        << record->failed[0].message;
    EXPECT_EQ(working.back().source.document, context_document("9"));  // the edited row is left alone
    EXPECT_FALSE(record->notes.contains(edited.key()));
}

TEST_F(ReleaseVersions, GitTargetsAndGitSourcesSkipTheContextPasses) {
    DeployFixture fixture;
    write_target("Known", context_document("1"));
    auto rows = std::vector<ComponentDifference>{
        row(context, "Known", ChangeKind::Update, MetadataDeployScope::Full, context_document("5"))};
    const auto before = rows;
    auto git_target =
        session_of({.rows = rows, .target = repository("/repos/app", "main"), .workspace = workspace.workspace()});
    auto versions = standard().filter_context_release_versions(fixture.service(), *git_target, rows, fixture.never);
    ASSERT_TRUE(versions);
    EXPECT_EQ(*versions, app::ContextReleaseVersionFiltering{});
    auto git_source = session_of({.rows = rows, .source = repository("/repos/app", "main")});
    auto fields = standard().filter_context_definitions(fixture.service(), *git_source, rows, fixture.never);
    ASSERT_TRUE(fields);
    EXPECT_EQ(*fields, app::ContextDefinitionFiltering{});
    EXPECT_EQ(rows, before);
    EXPECT_EQ(fixture.ports.schema->script.object_field_listing.count(), 0u);
}

TEST(ContextDefinitions, ListingFailuresFailTheRowsAndCancellationEndsTheDeploy) {
    const auto context = wire("ContextDefinition");
    const auto body = document("ContextDefinition",
                               "    <contextNodeMappings>\n        <object>Invoice__c</object>\n    </contextNodeMappings>\n");
    auto rows = std::vector<ComponentDifference>{row(context, "Ctx", ChangeKind::Update, MetadataDeployScope::Full, body)};
    for (bool cancelled : {false, true}) {
        SCOPED_TRACE(cancelled);
        DeployFixture fixture;
        fixture.ports.schema->script.object_field_listing.answer(cli::SchemaListing{});
        fixture.ports.schema->script.object_field_listing.answer(std::unexpected(
            cancelled ? WorkflowFailure::cancelled() : WorkflowFailure::operation("describe failed")));
        auto session = session_of({.rows = rows});
        auto working = rows;
        auto done = standard().filter_context_definitions(fixture.service(), *session, working, fixture.never);
        const auto calls = fixture.ports.schema->script.object_field_listing.calls();
        ASSERT_EQ(calls.size(), 2u);
        EXPECT_EQ(std::get<0>(calls[0]), "src@example.com");
        EXPECT_EQ(std::get<0>(calls[1]), "tgt@example.com");
        if (cancelled) {
            ASSERT_FALSE(done);
            EXPECT_EQ(done.error(), WorkflowFailure::cancelled());
            continue;
        }
        ASSERT_TRUE(done);
        EXPECT_TRUE(working.empty());
        ASSERT_EQ(done->failed.size(), 1u);
        EXPECT_EQ(done->failed[0].message, "The org's object fields could not be listed: describe failed");
    }
}

TEST(PermissionSetGroups, GitTargetsListTheirPermissionSetFiles) {
    DeployFixture fixture;
    const auto group = wire("PermissionSetGroup");
    const auto set = wire("PermissionSet");
    fixture.ports.git->script.git_container_listing.answer(std::vector<app::ports::FlsContainerFile>{
        {domain::FlsContainerKind::PermissionSet, "Repo"}, {domain::FlsContainerKind::Profile, "Admin"}});
    const auto body = document("PermissionSetGroup", "    <permissionSets>Repo</permissionSets>\n"
                                                     "    <permissionSets>Packaged</permissionSets>\n"
                                                     "    <permissionSets>Admin</permissionSets>\n");
    auto rows = std::vector<ComponentDifference>{row(group, "Ops", ChangeKind::Update, MetadataDeployScope::Full, body),
                                                 row(set, "Packaged", ChangeKind::Add)};
    auto session = session_of({.rows = rows, .target = repository("/repos/app", "main")});
    auto record = standard().filter_permission_set_groups(fixture.service(), *session, rows, fixture.never);
    ASSERT_TRUE(record);
    EXPECT_EQ(record->target_names, (std::set<std::string>{"Repo"}));
    EXPECT_EQ(fixture.ports.permission_set_name_listing->script.permission_set_name_listing.count(), 0u);
    // The profile file is no permission set: the group loses that reference only.
    EXPECT_EQ(rows[0].source.document.find("<permissionSets>Admin</permissionSets>"), std::string::npos);
    EXPECT_NE(rows[0].source.document.find("<permissionSets>Repo</permissionSets>"), std::string::npos);
    EXPECT_NE(rows[0].source.document.find("<permissionSets>Packaged</permissionSets>"), std::string::npos);

    fixture.ports.git->script.git_container_listing.answer(std::vector<app::ports::FlsContainerFile>{});
    auto broken = std::vector<ComponentDifference>{
        row(group, "Ops", ChangeKind::Update, MetadataDeployScope::Full, "<PermissionSetGroup")};
    auto failed = standard().filter_permission_set_groups(fixture.service(), *session, broken, fixture.never);
    ASSERT_TRUE(failed);
    ASSERT_EQ(failed->failed.size(), 1u);
    EXPECT_TRUE(failed->failed[0].message.starts_with("Could not parse the permission set group document: "))
        << failed->failed[0].message;
    EXPECT_TRUE(broken.empty());
}

metadata::user_permission_filter::UserPermissionCatalog catalog_of(std::set<std::string> names) {
    metadata::user_permission_filter::UserPermissionCatalog catalog;
    for (const auto& name : names) catalog.names.insert("Permissions" + name);
    return catalog;
}

TEST(PermissionSetPasses, CatalogueProblemsFailOnlyTheGrantingRows) {
    const auto set = wire("PermissionSet");
    const auto grants = document("PermissionSet", "    <userPermissions>\n        <name>ApiEnabled</name>\n"
                                                  "    </userPermissions>\n");
    struct Case {
        std::string name;
        std::vector<app::ports::PortResult<metadata::user_permission_filter::UserPermissionCatalog>> answers;
        std::string message;
    };
    const std::vector<Case> cases{
        {"listing failed", {std::unexpected(WorkflowFailure::operation("describe broke"))},
         "The org's user permissions could not be listed: describe broke"},
        {"empty catalogue", {catalog_of({"ApiEnabled"}), catalog_of({})},
         "The org's user permissions could not be listed: the PermissionSet describe reported no user permission fields."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        DeployFixture fixture;
        for (const auto& answer : c.answers) fixture.ports.schema->script.user_permission_listing.answer(answer);
        auto rows = std::vector<ComponentDifference>{
            row(set, "Grants", ChangeKind::Update, MetadataDeployScope::Full, grants),
            row(set, "Plain", ChangeKind::Update, MetadataDeployScope::Full, document("PermissionSet", ""))};
        auto session = session_of({.rows = rows});
        app::UserPermissionCatalogs catalogs;
        auto record = standard().filter_permission_sets(fixture.service(), *session, rows, catalogs, fixture.never);
        ASSERT_TRUE(record);
        ASSERT_EQ(record->failed.size(), 1u);
        EXPECT_EQ(record->failed[0].key.name, "Grants");
        EXPECT_EQ(record->failed[0].message, c.message);
        ASSERT_EQ(rows.size(), 1u);
        EXPECT_EQ(rows[0].key().name, "Plain");
    }

    DeployFixture cancelled;
    cancelled.ports.schema->script.user_permission_listing.answer(std::unexpected(WorkflowFailure::cancelled()));
    auto rows = std::vector<ComponentDifference>{row(set, "Grants", ChangeKind::Update, MetadataDeployScope::Full, grants)};
    auto session = session_of({.rows = rows});
    app::UserPermissionCatalogs catalogs;
    auto done = standard().filter_permission_sets(cancelled.service(), *session, rows, catalogs, cancelled.never);
    ASSERT_FALSE(done);
    EXPECT_EQ(done.error(), WorkflowFailure::cancelled());
}

}  // namespace
}  // namespace ambrel::deploy_tests
