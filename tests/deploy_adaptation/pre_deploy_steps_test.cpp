// The pre-deploy steps over recording fakes: which ports they ask, how often, what they change in
// the rows, and which rows they fail with which sentences.

#include <fstream>

#include <gtest/gtest.h>

#include "adaptation_test_support.hpp"
#include "app/context_definition_adaptation.hpp"
#include "app/context_release_versions.hpp"
#include "app/expression_set_adaptation.hpp"
#include "app/permission_set_group_adaptation.hpp"
#include "app/profile_adaptation.hpp"
#include "metadata/workspace/workspace.hpp"
#include "support/doubles.hpp"
#include "support/test_paths.hpp"

namespace ambrel::adaptation_tests {
namespace {

using Status = ComponentDeploymentStatus;
using domain::SalesforceObject;
using metadata::profile_reference_filter::ReferenceKind;

SalesforceObject listed(std::string name) {
    SalesforceObject object;
    object.api_name = std::move(name);
    object.label = object.api_name;
    return object;
}

metadata::user_permission_filter::UserPermissionCatalog catalog(std::set<std::string, std::less<>> names) {
    metadata::user_permission_filter::UserPermissionCatalog c;
    c.names = std::move(names);
    return c;
}

const std::string kProfileBody =
    "    <classAccesses>\n        <apexClass>Foo</apexClass>\n        <enabled>true</enabled>\n    </classAccesses>\n"
    "    <classAccesses>\n        <apexClass>Bar</apexClass>\n        <enabled>true</enabled>\n    </classAccesses>\n"
    "    <fieldPermissions>\n        <field>Account.Foo__c</field>\n    </fieldPermissions>\n"
    "    <objectPermissions>\n        <object>Account</object>\n    </objectPermissions>\n";

TEST(ProfileAdaptation, RemovesAClassTheTargetDoesNotListAndNotesIt) {
    Harness h;
    const auto s = session();
    std::vector<ComponentDifference> rows = {row("Profile", "Admin", document("Profile", kProfileBody))};
    h.ports.schema->script.object_field_listing.answer(
        cli::SchemaListing{{"account"}, {{"ACCOUNT", "foo__c"}}});
    h.ports.core->script.metadata_listing.answer(std::vector<SalesforceObject>{listed("Bar")});
    app::UserPermissionCatalogs catalogs;
    domain::NeverCancelled token;
    auto filtering = app::filter_profiles(h.service, *s, rows, catalogs, token);
    ASSERT_TRUE(filtering.has_value());
    EXPECT_TRUE(filtering->failed.empty());
    EXPECT_EQ(filtering->notes.at(key("Profile", "Admin")),
              "Kept 3 of 4 component references; left out (not among the components the target org lists): ApexClass Foo.");
    EXPECT_EQ(rows[0].source.document.find("<apexClass>Foo</apexClass>"), std::string::npos);
    EXPECT_NE(rows[0].source.document.find("<apexClass>Bar</apexClass>"), std::string::npos);
    const auto listings = h.ports.core->script.metadata_listing.calls();
    ASSERT_EQ(listings.size(), 1u);
    EXPECT_EQ(std::get<0>(listings[0]), "ApexClass");
    // The target's listings are asked by its endpoint's alias, not by its username.
    EXPECT_EQ(std::get<1>(listings[0]), "tgt");
    const auto schema_calls = h.ports.schema->script.object_field_listing.calls();
    ASSERT_EQ(schema_calls.size(), 1u);
    EXPECT_EQ(std::get<0>(schema_calls[0]), "tgt");
}

TEST(ProfileAdaptation, AClassThePackageBringsStays) {
    Harness h;
    const auto s = session();
    std::vector<ComponentDifference> rows = {row("Profile", "Admin", document("Profile", kProfileBody)),
                                             row("ApexClass", "Foo", "class", ChangeKind::Add)};
    h.ports.schema->script.object_field_listing.answer(cli::SchemaListing{{"Account"}, {{"Account", "Foo__c"}}});
    h.ports.core->script.metadata_listing.answer(std::vector<SalesforceObject>{listed("Bar")});
    app::UserPermissionCatalogs catalogs;
    domain::NeverCancelled token;
    auto filtering = app::filter_profiles(h.service, *s, rows, catalogs, token);
    ASSERT_TRUE(filtering.has_value());
    EXPECT_TRUE(filtering->notes.empty());
    EXPECT_EQ(rows[0].source.document, document("Profile", kProfileBody));
}

TEST(ProfileAdaptation, UserPermissionsTheTargetLacksLeaveAndTheCatalogueIsAskedOncePerOrg) {
    Harness h;
    const auto s = session();
    const std::string body = "    <userPermissions>\n        <name>ViewSetup</name>\n    </userPermissions>\n"
                             "    <userPermissions>\n        <name>Mystery</name>\n    </userPermissions>\n";
    std::vector<ComponentDifference> rows = {row("PermissionSet", "A", document("PermissionSet", body)),
                                             row("PermissionSet", "B", document("PermissionSet", body))};
    h.ports.schema->script.user_permission_listing.answer(catalog({"PermissionsViewSetup"}));
    h.ports.schema->script.user_permission_listing.answer(catalog({"PermissionsOther"}));
    app::UserPermissionCatalogs catalogs;
    domain::NeverCancelled token;
    auto filtering = app::filter_permission_sets(h.service, *s, rows, catalogs, token);
    ASSERT_TRUE(filtering.has_value());
    const auto calls = h.ports.schema->script.user_permission_listing.calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(std::get<0>(calls[0]), "src@example.com");
    EXPECT_EQ(std::get<0>(calls[1]), "tgt@example.com");
    for (const auto& r : rows) {
        EXPECT_EQ(r.source.document.find("ViewSetup"), std::string::npos);
        EXPECT_NE(r.source.document.find("Mystery"), std::string::npos);
    }
    EXPECT_EQ(filtering->notes.at(key("PermissionSet", "A")),
              "Kept 1 of 2 user permissions; left out (not among the user permissions the target org reports): ViewSetup.");
    // A second filter in the same deploy takes both catalogues from the cache.
    std::vector<ComponentDifference> profiles = {row("Profile", "P", document("Profile", body))};
    ASSERT_TRUE(app::filter_profiles(h.service, *s, profiles, catalogs, token).has_value());
    EXPECT_EQ(h.ports.schema->script.user_permission_listing.count(), 2u);
}

TEST(ProfileAdaptation, FailuresFailOnlyTheirRows) {
    Harness h;
    const auto s = session();
    std::vector<ComponentDifference> rows = {
        row("PermissionSet", "Broken", "<PermissionSet xmlns=\"" + std::string(kNs) + "\"><fieldPermissions/></PermissionSet>"),
        row("PermissionSet", "Flows", document("PermissionSet", "<flowAccesses><flow>F</flow></flowAccesses>\n")),
        row("PermissionSet", "Perms", document("PermissionSet", "<userPermissions><name>X</name></userPermissions>\n")),
        row("PermissionSet", "Plain", document("PermissionSet", "<label>x</label>\n"))};
    h.ports.schema->script.user_permission_listing.answer(std::unexpected(app::WorkflowFailure::operation("no describe")));
    h.ports.core->script.metadata_listing.answer(std::unexpected(app::WorkflowFailure::operation("list failed")));
    app::UserPermissionCatalogs catalogs;
    domain::NeverCancelled token;
    auto filtering = app::filter_permission_sets(h.service, *s, rows, catalogs, token);
    ASSERT_TRUE(filtering.has_value());
    ASSERT_EQ(filtering->failed.size(), 3u);
    EXPECT_EQ(filtering->failed[0].message,
              "Could not parse the permission set document: a block does not carry exactly one non-empty reference");
    EXPECT_EQ(filtering->failed[1], result(key("PermissionSet", "Perms"), Status::Failed,
                                           "The org's user permissions could not be listed: no describe"));
    EXPECT_EQ(filtering->failed[2], result(key("PermissionSet", "Flows"), Status::Failed,
                                           "The target org's Flow components could not be listed: list failed"));
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].key().name, "Plain");
}

TEST(ProfileAdaptation, CancellationAndGitEndpoints) {
    Harness h;
    std::vector<ComponentDifference> rows = {row("Profile", "P", document("Profile", kProfileBody))};
    app::UserPermissionCatalogs catalogs;
    testing::TestToken cancelled;
    cancelled.cancel();
    auto ended = app::filter_profiles(h.service, *session(), rows, catalogs, cancelled);
    ASSERT_FALSE(ended.has_value());
    EXPECT_EQ(ended.error(), app::WorkflowFailure::cancelled());
    SessionOptions options;
    options.target = git("/repo");
    domain::NeverCancelled token;
    auto skipped = app::filter_profiles(h.service, *session(std::move(options)), rows, catalogs, token);
    ASSERT_TRUE(skipped.has_value());
    EXPECT_TRUE(skipped->notes.empty() && skipped->failed.empty());
}

TEST(ProfileAdaptation, StandardTabsComeWithTheTabListing) {
    Harness h;
    const auto s = session();
    std::vector<ComponentDifference> rows = {row(
        "Profile", "P",
        document("Profile", "<tabVisibilities><tab>standard-Account</tab></tabVisibilities>\n"
                            "<tabVisibilities><tab>Gone__c</tab></tabVisibilities>\n"))};
    SalesforceObject standard = listed("standard-Account");
    standard.origin = domain::ListingOrigin::StandardTab;
    h.ports.core->script.metadata_listing.answer(std::vector<SalesforceObject>{standard, listed("Kept__c")});
    app::UserPermissionCatalogs catalogs;
    domain::NeverCancelled token;
    auto filtering = app::filter_profiles(h.service, *s, rows, catalogs, token);
    ASSERT_TRUE(filtering.has_value());
    EXPECT_EQ(std::get<0>(h.ports.core->script.metadata_listing.calls()[0]), "CustomTab");
    EXPECT_NE(rows[0].source.document.find("standard-Account"), std::string::npos);
    EXPECT_EQ(rows[0].source.document.find("Gone__c"), std::string::npos);
}

TEST(ProfileAdaptation, UnknownReferenceRules) {
    app::ProfileReferences references;
    references.names = {{ReferenceKind::Field, {"Account.Foo__c", "Bad-Object.X", "NoDot"}},
                        {ReferenceKind::Layout, {"Account-ns__Packaged", "Account-Local"}},
                        {ReferenceKind::Flow, {"ns__Flow", "Local"}},
                        {ReferenceKind::ApexPage, {"Page"}}};
    const cli::SchemaListing schema{{"Account"}, {}};
    const std::map<ReferenceKind, std::set<std::string>> listed = {{ReferenceKind::Layout, {}}, {ReferenceKind::Flow, {}}};
    const auto unknown = app::unknown_references(references, schema, listed, {});
    const metadata::profile_reference_filter::ReferencesByKind expected = {
        {ReferenceKind::Field, {"Account.Foo__c"}},
        {ReferenceKind::Layout, {"Account-Local"}},
        {ReferenceKind::Flow, {"Local"}}};
    EXPECT_EQ(unknown, expected);
}

TEST(PermissionSetGroupStep, FiltersAgainstTheTargetAndThePackage) {
    Harness h;
    const auto s = session();
    const std::string doc = document("PermissionSetGroup", "    <permissionSets>Audit</permissionSets>\n"
                                                           "    <permissionSets>New</permissionSets>\n"
                                                           "    <permissionSets>Gone</permissionSets>\n");
    std::vector<ComponentDifference> rows = {row("PermissionSetGroup", "G", doc), row("PermissionSet", "New", "x", ChangeKind::Add)};
    h.ports.permission_set_name_listing->script.permission_set_name_listing.answer(std::set<std::string>{"Audit"});
    domain::NeverCancelled token;
    auto filtering = app::filter_permission_set_groups(h.service, *s, rows, token);
    ASSERT_TRUE(filtering.has_value());
    EXPECT_EQ(filtering->target_names, std::set<std::string>{"Audit"});
    EXPECT_EQ(filtering->notes.at(key("PermissionSetGroup", "G")), "Kept 2 of 3 permission sets in this group; 1 left out: Gone.");
    EXPECT_EQ(rows[0].source.document.find("Gone"), std::string::npos);

    Harness failing;
    std::vector<ComponentDifference> again = {row("PermissionSetGroup", "G", doc)};
    failing.ports.permission_set_name_listing->script.permission_set_name_listing.answer(
        std::unexpected(app::WorkflowFailure::operation("denied")));
    auto failed = app::filter_permission_set_groups(failing.service, *s, again, token);
    ASSERT_TRUE(failed.has_value());
    ASSERT_EQ(failed->failed.size(), 1u);
    EXPECT_EQ(failed->failed[0].message, "The target's Permission Sets could not be listed: denied");
    EXPECT_TRUE(again.empty());
}

TEST(ContextDefinitionStep, ListsBothOrgsOnceAndKeepsWhatThePackageBrings) {
    Harness h;
    const auto s = session();
    const std::string doc = document("ContextDefinition",
                                     "    <contextNodeMappings>\n        <object>Invoice__c</object>\n    </contextNodeMappings>\n"
                                     "    <contextNodeMappings>\n        <object>Gone__c</object>\n    </contextNodeMappings>\n");
    std::vector<ComponentDifference> rows = {row("ContextDefinition", "A", doc), row("ContextDefinition", "B", doc),
                                             row("CustomObject", "Invoice__c", "o", ChangeKind::Add),
                                             row("ContextDefinition", "Broken", "<x")};
    h.ports.schema->script.object_field_listing.answer(cli::SchemaListing{{"Invoice__c", "Gone__c"}, {}});
    h.ports.schema->script.object_field_listing.answer(cli::SchemaListing{});
    domain::NeverCancelled token;
    auto filtering = app::filter_context_definitions(h.service, *s, rows, token);
    ASSERT_TRUE(filtering.has_value());
    EXPECT_EQ(h.ports.schema->script.object_field_listing.count(), 2u);
    ASSERT_EQ(filtering->failed.size(), 1u);
    EXPECT_EQ(filtering->failed[0].message.rfind("Could not parse the context definition document: ", 0), 0u);
    EXPECT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0].source.document.find("Gone__c"), std::string::npos);
    EXPECT_NE(rows[0].source.document.find("Invoice__c"), std::string::npos);
    EXPECT_EQ(filtering->documents_before_filter.at(key("ContextDefinition", "A")), doc);
    EXPECT_EQ(filtering->notes.at(key("ContextDefinition", "A")),
              "Kept 0 of 0 field references and 1 of 2 object mappings in this context; 1 left out: Gone__c.");
    EXPECT_TRUE(filtering->target_listing.knows_object("Invoice__c"));
}

TEST(ReleaseVersionStep, RewritesToTheTargetCopyOrTheHighest) {
    testing::TempDir anchor;
    auto location = metadata::workspace::WorkspaceTrustAnchor::at(anchor.path()).workspace_at(anchor.path() / "quillary");
    ASSERT_TRUE(location.has_value());
    auto created = metadata::workspace::MetadataWorkspace::create(*location, "66.0");
    ASSERT_TRUE(created.has_value());
    std::shared_ptr<metadata::workspace::MetadataWorkspace> workspace = std::move(*created);
    const auto type = type_of("ContextDefinition");
    const auto write_target = [&](const std::string& name, const std::string& version) {
        const auto relative = type.descriptor().content_format.edited_document_path(name);
        ASSERT_TRUE(relative.has_value());
        const auto path = workspace->target_project() / "force-app/main/default" / *relative;
        std::filesystem::create_directories(path.parent_path());
        std::ofstream(path) << document("ContextDefinition", "<releaseVersion>" + version + "</releaseVersion>\n");
    };
    write_target("Own", "64.5");
    write_target("Other", "64.1");
    write_target("Third", "65");
    write_target("Fourth", "65.0");
    const auto doc = document("ContextDefinition", "<releaseVersion>66.0</releaseVersion>\n");
    std::vector<ComponentDifference> all = {row("ContextDefinition", "Own", doc), row("ContextDefinition", "New", doc),
                                            row("ContextDefinition", "Other", doc), row("ContextDefinition", "Third", doc),
                                            row("ContextDefinition", "Fourth", doc)};
    SessionOptions options;
    options.rows = all;
    options.workspace = workspace;
    const auto s = session(std::move(options));
    std::vector<ComponentDifference> rows = {all[0], all[1]};
    Harness h;
    domain::NeverCancelled token;
    auto filtering = app::filter_context_release_versions(h.service, *s, rows, token);
    ASSERT_TRUE(filtering.has_value());
    EXPECT_EQ(filtering->notes.at(key("ContextDefinition", "Own")), "Release version 66.0 rewritten to the target's 64.5.");
    // Without a copy of its own, the highest copy applies; 65.0 outranks 65.
    EXPECT_EQ(filtering->notes.at(key("ContextDefinition", "New")), "Release version 66.0 rewritten to the target's 65.0.");
    EXPECT_NE(rows[1].source.document.find("<releaseVersion>65.0</releaseVersion>"), std::string::npos);
}

TEST(VersionStatusStep, RewritesAgainstTheTargetsActiveVersionListingEachDefinitionOnce) {
    Harness h;
    const auto s = session();
    const auto version = [](std::string definition) {
        return document("ExpressionSetDefinitionVersion", "    <expressionSetDefinition>" + definition +
                                                              "</expressionSetDefinition>\n    <status>Active</status>\n");
    };
    std::vector<ComponentDifference> rows = {row("ExpressionSetDefinitionVersion", "V2", version("Def")),
                                             row("ExpressionSetDefinitionVersion", "V3", version("Def")),
                                             row("ExpressionSetDefinitionVersion", "Q", version("Bad'Name"))};
    h.ports.procedure_versions->script.expression_set_version_listing.answer(
        std::vector<app::ports::ExpressionSetVersionRecord>{{"0x1", "V1", true}, {"0x2", "V2", false}});
    domain::NeverCancelled token;
    auto filtering = app::filter_expression_set_version_status(h.service, *s, rows, domain::DeployMode::BestEffort, token);
    ASSERT_TRUE(filtering.has_value());
    EXPECT_EQ(h.ports.procedure_versions->script.expression_set_version_listing.count(), 1u);
    EXPECT_EQ(filtering->notes.at(key("ExpressionSetDefinitionVersion", "V2")),
              "Status Active rewritten to Inactive: the target runs V1 as active.");
    EXPECT_EQ(filtering->notes.at(key("ExpressionSetDefinitionVersion", "Q")),
              "Status left as it is: the definition name is not a valid API name.");
    ASSERT_EQ(filtering->pending_activations.size(), 2u);
    EXPECT_EQ(filtering->pending_activations[0],
              (app::PendingActivation{key("ExpressionSetDefinitionVersion", "V2"), "Def", "V2", "0x1", "V1"}));
    EXPECT_NE(rows[0].source.document.find("<status>Inactive</status>"), std::string::npos);

    Harness other;
    std::vector<ComponentDifference> untouched = {row("ExpressionSetDefinitionVersion", "V2", version("Def"))};
    auto none = app::filter_expression_set_version_status(other.service, *s, untouched, domain::DeployMode::ValidateOnly, token);
    ASSERT_TRUE(none.has_value());
    EXPECT_EQ(other.ports.procedure_versions->script.expression_set_version_listing.count(), 0u);
}

TEST(DefinitionStep, SendsAShellAndCutsGatedTagsBelowTheGate) {
    Harness h;
    SessionOptions options;
    options.api_version = "67.0";
    const auto s = session(std::move(options));
    const std::string definition = document(
        "ExpressionSetDefinition",
        "    <versions>\n        <fullName>V1</fullName>\n    </versions>\n"
        "    <versions>\n        <fullName>V2</fullName>\n    </versions>\n"
        "    <versions>\n        <fullName>V3</fullName>\n    </versions>\n"
        "    <usageSubtype>RevenueCloud</usageSubtype>\n");
    const auto version = [](std::string name) {
        (void)name;
        return document("ExpressionSetDefinitionVersion", "<expressionSetDefinition>Def</expressionSetDefinition>\n");
    };
    std::vector<ComponentDifference> rows = {row("ExpressionSetDefinition", "Def", definition, ChangeKind::Add),
                                             row("ExpressionSetDefinitionVersion", "V1", version("V1")),
                                             row("ExpressionSetDefinitionVersion", "V2", version("V2")),
                                             row("PricingRecipe", "R", document("Flow", ""))};
    const auto filtering = app::filter_expression_set_definitions(*h.ports.core, *s, rows);
    EXPECT_EQ(filtering.notes.at(key("ExpressionSetDefinition", "Def")),
              "Sent as a shell without its 3 nested version(s); version rows in this package: V1, V2; 1 nested "
              "version(s) not in this package: V3. usageSubtype RevenueCloud left out: the comparison's API version "
              "67.0 is below 68.0, the lowest measured to accept it.");
    EXPECT_EQ(rows[0].source.document, document("ExpressionSetDefinition", ""));
    ASSERT_EQ(filtering.failed.size(), 1u);
    EXPECT_EQ(filtering.failed[0].message, "The Pricing Recipe document of R could not be read: root element must be PricingRecipe.");
    EXPECT_EQ(rows.size(), 3u);
}

}  // namespace
}  // namespace ambrel::adaptation_tests
