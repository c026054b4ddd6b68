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

// Versions are written "v:N" in these test documents.
void versioned_documents(testing::RecordingDeployAdaptation& adaptation) {
    adaptation.on_release_version = [](std::string_view document) {
        if (!document.starts_with("v:")) return std::expected<std::optional<std::string>, std::string>(std::nullopt);
        return std::expected<std::optional<std::string>, std::string>(std::string(document));
    };
    adaptation.on_parse_release_version = [](std::string_view text) {
        if (!text.starts_with("v:"))
            return std::expected<app::ports::ReleaseVersion, std::string>(std::unexpected(std::string("no version")));
        return std::expected<app::ports::ReleaseVersion, std::string>(
            app::ports::ReleaseVersion{{std::stoull(std::string(text.substr(2)))}});
    };
    adaptation.on_rewrite_release_version = [](std::string_view document, std::string_view version) {
        using Answer = std::expected<std::optional<app::ports::ReleaseRewrite>, std::string>;
        if (document == "broken") return Answer(std::unexpected(std::string("bad document")));
        if (document == version) return Answer(std::nullopt);
        return Answer(app::ports::ReleaseRewrite{std::string(version), std::string(document), std::string(version)});
    };
}

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
    write_target("Known", "v:7");
    write_target("Low", "v:3");
    write_target("Garbled", "no version here");
    std::filesystem::create_directories(target_path("Folder"));
    std::filesystem::create_symlink(target_path("Known"), target_path("Linked"));
    ASSERT_EQ(::mkfifo(target_path("Piped").c_str(), 0600), 0);

    struct Case {
        std::string name;
        std::string document;
        std::optional<std::string> note;
        std::optional<std::string> failure;
    };
    const std::vector<Case> cases{
        {"Known", "v:5", "Release version v:5 rewritten to the target's v:7.", std::nullopt},
        {"Low", "v:5", "Release version v:5 rewritten to the target's v:3.", std::nullopt},
        {"Absent", "v:1", "Release version v:1 rewritten to the target's v:7.", std::nullopt},
        {"Garbled", "v:1", std::nullopt, std::nullopt},
        {"Folder", "v:1", std::nullopt, std::nullopt},
        {"Linked", "v:1", std::nullopt, std::nullopt},
        {"Piped", "v:1", std::nullopt, std::nullopt},
        {"Same", "v:7", std::nullopt, std::nullopt},
        {"Broken", "broken", std::nullopt, "Could not parse the context definition document: bad document"},
    };
    std::vector<ComponentDifference> rows;
    for (const auto& c : cases) rows.push_back(row(context, c.name, ChangeKind::Update, MetadataDeployScope::Full, c.document));
    auto edited = row(context, "Edited", ChangeKind::Update, MetadataDeployScope::Full, "v:1");
    edited.edited = true;
    rows.push_back(edited);

    DeployFixture fixture;
    versioned_documents(*fixture.adaptation);
    auto session = session_of({.rows = rows, .workspace = workspace.workspace()});
    app::ContextReleaseVersionFiltering record;
    auto working = rows;
    ASSERT_TRUE(fixture.service().filter_context_release_versions(*session, working, record, fixture.never));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const ComponentKey key{context, c.name};
        if (c.note) {
            EXPECT_EQ(record.notes.at(key), *c.note);
        } else {
            EXPECT_FALSE(record.notes.contains(key));
        }
        const bool kept = std::any_of(working.begin(), working.end(), [&](const auto& r) { return r.key() == key; });
        EXPECT_EQ(kept, !c.failure.has_value());
    }
    ASSERT_EQ(record.failed.size(), 1u);
    EXPECT_EQ(record.failed[0].message, "Could not parse the context definition document: bad document");
    EXPECT_EQ(working.back().source.document, "v:1");  // the edited row is left alone
    EXPECT_FALSE(record.notes.contains(edited.key()));
}

TEST_F(ReleaseVersions, GitTargetsAndGitSourcesSkipTheContextPasses) {
    DeployFixture fixture;
    versioned_documents(*fixture.adaptation);
    auto rows = std::vector<ComponentDifference>{row(context, "Known", ChangeKind::Update, MetadataDeployScope::Full, "v:1")};
    auto git_target = session_of({.rows = rows, .target = repository("/repos/app", "main")});
    app::ContextReleaseVersionFiltering record;
    app::ContextDefinitionFiltering fields;
    ASSERT_TRUE(fixture.service().filter_context_release_versions(*git_target, rows, record, fixture.never));
    auto git_source = session_of({.rows = rows, .source = repository("/repos/app", "main")});
    ASSERT_TRUE(fixture.service().filter_context_definitions(*git_source, rows, fields, fixture.never));
    EXPECT_TRUE(fixture.adaptation->log().empty());
    EXPECT_EQ(fixture.ports.schema->script.object_field_listing.count(), 0u);
}

TEST(ContextDefinitions, ListingFailuresFailTheRowsAndCancellationEndsTheDeploy) {
    const auto context = wire("ContextDefinition");
    auto rows = std::vector<ComponentDifference>{row(context, "Ctx")};
    for (bool cancelled : {false, true}) {
        SCOPED_TRACE(cancelled);
        DeployFixture fixture;
        fixture.ports.schema->script.object_field_listing.answer(cli::SchemaListing{});
        fixture.ports.schema->script.object_field_listing.answer(std::unexpected(
            cancelled ? WorkflowFailure::cancelled() : WorkflowFailure::operation("describe failed")));
        auto session = session_of({.rows = rows});
        auto working = rows;
        app::ContextDefinitionFiltering record;
        auto done = fixture.service().filter_context_definitions(*session, working, record, fixture.never);
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
        ASSERT_EQ(record.failed.size(), 1u);
        EXPECT_EQ(record.failed[0].message, "The org's object fields could not be listed: describe failed");
    }
}

TEST(PermissionSetGroups, GitTargetsListTheirPermissionSetFiles) {
    DeployFixture fixture;
    const auto group = wire("PermissionSetGroup");
    const auto set = wire("PermissionSet");
    fixture.ports.git->script.git_container_listing.answer(std::vector<app::ports::FlsContainerFile>{
        {domain::FlsContainerKind::PermissionSet, "Repo"}, {domain::FlsContainerKind::Profile, "Admin"}});
    std::set<std::string> allowed_seen;
    bool switches = true;
    fixture.adaptation->on_filter_permission_set_group = [&](std::string_view document, const std::set<std::string>& allowed,
                                                             bool drop, bool org) {
        allowed_seen = allowed;
        switches = drop || org;
        return std::expected<app::ports::FilteredPermissionSetGroup, std::string>(
            app::ports::FilteredPermissionSetGroup{std::string(document) + "!", std::nullopt});
    };
    auto rows = std::vector<ComponentDifference>{row(group, "Ops"), row(set, "Packaged", ChangeKind::NoChange)};
    auto session = session_of({.rows = rows, .target = repository("/repos/app", "main")});
    app::PermissionSetGroupFiltering record;
    ASSERT_TRUE(fixture.service().filter_permission_set_groups(*session, rows, record, fixture.never));
    EXPECT_EQ(allowed_seen, (std::set<std::string>{"Packaged", "Repo"}));
    EXPECT_FALSE(switches);
    EXPECT_EQ(record.target_names, (std::set<std::string>{"Repo"}));
    EXPECT_EQ(rows[0].source.document, "<doc/>!");
    EXPECT_TRUE(record.notes.empty());

    fixture.adaptation->on_filter_permission_set_group = [](std::string_view, const std::set<std::string>&, bool, bool) {
        return std::expected<app::ports::FilteredPermissionSetGroup, std::string>(std::unexpected(std::string("bad group")));
    };
    fixture.ports.git->script.git_container_listing.answer(std::vector<app::ports::FlsContainerFile>{});
    app::PermissionSetGroupFiltering failed;
    ASSERT_TRUE(fixture.service().filter_permission_set_groups(*session, rows, failed, fixture.never));
    ASSERT_EQ(failed.failed.size(), 1u);
    EXPECT_EQ(failed.failed[0].message, "Could not parse the permission set group document: bad group");
    EXPECT_EQ(rows.size(), 1u);
}

TEST(PermissionSetPasses, RunOnlyInBestEffortBetweenOrgs) {
    const auto set = wire("PermissionSet");
    auto rows = std::vector<ComponentDifference>{row(set, "Sales")};
    DeployFixture fixture;
    auto session = session_of({.rows = rows});
    app::ProfileFiltering record;
    app::UserPermissionCatalogs catalogs;
    testing::TestToken token;
    ASSERT_TRUE(fixture.service().filter_permission_sets(*session, rows, DeployMode::ValidateOnly, record, catalogs, token));
    ASSERT_TRUE(fixture.service().filter_profiles(*session, rows, DeployMode::BestEffort, record, catalogs, token));
    // The stand-in documents grant nothing and reference nothing: no org is asked.
    ASSERT_TRUE(fixture.service().filter_permission_sets(*session, rows, DeployMode::BestEffort, record, catalogs, token));
    EXPECT_EQ(token.polls(), 0);
    EXPECT_EQ(fixture.ports.schema->script.user_permission_listing.count(), 0u);
    EXPECT_EQ(record, app::ProfileFiltering{});
}

}  // namespace
}  // namespace ambrel::deploy_tests

namespace ambrel::deploy_tests {
namespace {

metadata::user_permission_filter::UserPermissionCatalog catalog_of(std::set<std::string> names) {
    metadata::user_permission_filter::UserPermissionCatalog catalog;
    for (const auto& name : names) catalog.names.insert("Permissions" + name);
    return catalog;
}

// Documents name their user permissions after "grants:" and their references after "refs:".
void permission_documents(testing::RecordingDeployAdaptation& adaptation) {
    adaptation.on_user_permission_names = [](std::string_view document) {
        std::set<std::string> names;
        if (document.find("grants") != std::string_view::npos) names = {"ApiEnabled", "Legacy", "Unknown"};
        return std::expected<std::set<std::string>, std::string>(names);
    };
    adaptation.on_profile_references = [](std::string_view document) {
        app::ports::ProfileReferences references;
        if (document.find("refs") != std::string_view::npos) references.by_kind["ApexClass"] = {"Missing", "Shipped"};
        return std::expected<app::ports::ProfileReferences, std::string>(references);
    };
    adaptation.on_filter_user_permissions = [](std::string_view document, const std::set<std::string>& names) {
        std::string note = "Removed";
        for (const auto& name : names) note += " " + name;
        return std::expected<app::ports::FilteredDocument, std::string>(
            app::ports::FilteredDocument{std::string(document) + "-perms", note + "."});
    };
    adaptation.on_unknown_references = [](const app::ports::ProfileReferences&) {
        return app::ports::ReferencesByKind{{"ApexClass", {"Missing"}}};
    };
    adaptation.on_filter_profile_references = [](std::string_view document, const app::ports::ReferencesByKind&) {
        if (document.find("badref") != std::string_view::npos)
            return std::expected<app::ports::FilteredDocument, std::string>(std::unexpected(std::string("bad refs")));
        return std::expected<app::ports::FilteredDocument, std::string>(
            app::ports::FilteredDocument{std::string(document) + "-refs", "Left out Missing."});
    };
}

TEST(PermissionSetPasses, TrimUserPermissionsAndReferencesTheTargetLacks) {
    DeployFixture fixture;
    permission_documents(*fixture.adaptation);
    fixture.ports.schema->script.user_permission_listing.answer(catalog_of({"ApiEnabled", "Legacy"}));
    fixture.ports.schema->script.user_permission_listing.answer(catalog_of({"ApiEnabled"}));
    const auto set = wire("PermissionSet");
    auto rows = std::vector<ComponentDifference>{
        row(set, "Both", ChangeKind::Update, MetadataDeployScope::Full, "grants refs"),
        row(set, "RefsOnly", ChangeKind::Update, MetadataDeployScope::Full, "refs"),
        row(set, "BadRefs", ChangeKind::Update, MetadataDeployScope::Full, "refs badref"),
    };
    auto session = session_of({.rows = rows});
    app::ProfileFiltering record;
    app::UserPermissionCatalogs catalogs;
    ASSERT_TRUE(fixture.service().filter_permission_sets(*session, rows, DeployMode::BestEffort, record, catalogs,
                                                         fixture.never));
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].source.document, "grants refs-perms-refs");
    EXPECT_EQ(record.notes.at(rows[0].key()), "Removed Legacy. Left out Missing.");
    EXPECT_EQ(rows[1].source.document, "refs-refs");
    ASSERT_EQ(record.failed.size(), 1u);
    EXPECT_EQ(record.failed[0].message, "Could not parse the permission set document: bad refs");
    EXPECT_EQ(catalogs.by_org.size(), 2u);

    // The profile pass reuses the catalogues: no further listing.
    const auto profile = wire("Profile");
    auto profiles = std::vector<ComponentDifference>{row(profile, "Admin", ChangeKind::Update, MetadataDeployScope::Full, "grants")};
    app::ProfileFiltering profile_record;
    ASSERT_TRUE(fixture.service().filter_profiles(*session, profiles, DeployMode::BestEffort, profile_record, catalogs,
                                                  fixture.never));
    EXPECT_EQ(fixture.ports.schema->script.user_permission_listing.count(), 2u);
    EXPECT_EQ(profile_record.notes.at(profiles[0].key()), "Removed Legacy.");
}

TEST(PermissionSetPasses, CatalogueProblemsFailOnlyTheGrantingRows) {
    const auto set = wire("PermissionSet");
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
        permission_documents(*fixture.adaptation);
        for (const auto& answer : c.answers) fixture.ports.schema->script.user_permission_listing.answer(answer);
        auto rows = std::vector<ComponentDifference>{
            row(set, "Grants", ChangeKind::Update, MetadataDeployScope::Full, "grants refs"),
            row(set, "RefsOnly", ChangeKind::Update, MetadataDeployScope::Full, "refs")};
        auto session = session_of({.rows = rows});
        app::ProfileFiltering record;
        app::UserPermissionCatalogs catalogs;
        ASSERT_TRUE(fixture.service().filter_permission_sets(*session, rows, DeployMode::BestEffort, record, catalogs,
                                                             fixture.never));
        ASSERT_EQ(record.failed.size(), 1u);
        EXPECT_EQ(record.failed[0].key.name, "Grants");
        EXPECT_EQ(record.failed[0].message, c.message);
        ASSERT_EQ(rows.size(), 1u);
        EXPECT_EQ(rows[0].source.document, "refs-refs");
    }

    DeployFixture cancelled;
    permission_documents(*cancelled.adaptation);
    cancelled.ports.schema->script.user_permission_listing.answer(std::unexpected(WorkflowFailure::cancelled()));
    auto rows = std::vector<ComponentDifference>{row(set, "Grants", ChangeKind::Update, MetadataDeployScope::Full, "grants")};
    auto session = session_of({.rows = rows});
    app::ProfileFiltering record;
    app::UserPermissionCatalogs catalogs;
    auto done = cancelled.service().filter_permission_sets(*session, rows, DeployMode::BestEffort, record, catalogs,
                                                           cancelled.never);
    ASSERT_FALSE(done);
    EXPECT_EQ(done.error(), WorkflowFailure::cancelled());
}

}  // namespace
}  // namespace ambrel::deploy_tests
