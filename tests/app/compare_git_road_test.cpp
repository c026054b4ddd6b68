// The compare with a git branch on a side, end to end through the recording fakes.

#include <gtest/gtest.h>

#include "app/object_scope.hpp"
#include "compare_world.hpp"

namespace ambrel::app_tests {
namespace {

using app::CompareSelection;
using app::FailureKind;
using app::WorkflowFailure;
using metadata::retrieve::RetrieveScope;
using Strings = std::vector<std::string>;

const CompareSelection kOneClass{{MetadataType::ApexClass, {"A"}}};

app::SessionResult compare(const CompareWorld& world, const endpoint::DeployEndpoint& source,
                           const endpoint::DeployEndpoint& target, const CompareSelection& selection,
                           const domain::CancellationToken& token) {
    return world.service().compare_endpoints(source, target, selection, metadata_types::LayoutComparisonMode::Whole,
                                             token);
}

TEST(CompareGitRoad, BranchAgainstBranchWritesBothSidesIntoANewWorkspace) {
    CompareWorld world;
    world.source[MetadataType::ApexClass] = {component(MetadataType::ApexClass, "A")};
    const auto source = git_endpoint("/repo", "feature");
    const auto target = git_endpoint("/repo", "main");
    testing::TestToken token;
    auto session = compare(world, source, target, kOneClass, token);
    ASSERT_TRUE(session) << session.error().detail_text();
    EXPECT_EQ(world.calls(), (Strings{"workspace_creation", "materialize source", "materialize target",
                                      "read source ApexClass", "read target ApexClass", "compare"}));
    const auto writes = world.ports.git->script.git_materialization.calls();
    ASSERT_EQ(writes.size(), 2U);
    EXPECT_EQ(std::get<0>(writes[0]), source);
    EXPECT_EQ(std::get<1>(writes[0]), kOneClass);
    EXPECT_EQ(std::get<2>(writes[0]), world.source_folder());
    EXPECT_FALSE(std::get<3>(writes[0]));
    EXPECT_EQ(std::get<0>(writes[1]), target);
    EXPECT_EQ(std::get<2>(writes[1]), world.target_folder());
    EXPECT_TRUE(std::get<3>(writes[1]));

    const app::ComparisonSession& result = **session;
    EXPECT_EQ(result.api_version(), "65.0");
    EXPECT_EQ(result.warnings(), (Strings{"Dependency discovery is unavailable for a git source."}));
    EXPECT_EQ(result.target_org_class(), app::TargetOrgClass::Unconfirmed);
    EXPECT_EQ(result.source(), source);
    EXPECT_EQ(result.target(), target);
    EXPECT_TRUE(result.source_username().empty());
    ASSERT_EQ(result.rows().size(), 1U);
    EXPECT_EQ(world.ports.core->script.org_alias_listing.count(), 0U);
}

// A component that either branch cannot give whole is left out of the compare on both sides (never
// shown as added, changed or equal) with that side's warning; names that are not UTF-8 are counted
// over both branches in one warning.
TEST(CompareGitRoad, ComponentsABranchCannotGiveAreLeftOutWithTheirWarnings) {
    CompareWorld world;
    world.source[MetadataType::ApexClass] = {component(MetadataType::ApexClass, "A"),
                                             component(MetadataType::ApexClass, "B"),
                                             component(MetadataType::ApexClass, "C")};
    int side = 0;
    world.ports.git->script.git_materialization.answer_with(
        [&side](const endpoint::DeployEndpoint&, const app::CompareSelection&, const std::filesystem::path&, bool,
                const domain::CancellationToken&) {
            app::ports::GitMaterialization written;
            const std::string name = side++ == 0 ? "B" : "C";
            written.warnings = {name + ".cls in branch is not UTF-8 text."};
            written.skipped = {{MetadataType::ApexClass, {name}}};
            written.names_not_utf8 = side == 1 ? 2 : 1;
            return app::ports::PortResult<app::ports::GitMaterialization>(std::move(written));
        });
    testing::TestToken token;
    auto session = compare(world, git_endpoint("/repo", "feature"), git_endpoint("/repo", "main"),
                           {{MetadataType::ApexClass, {"A", "B", "C"}}}, token);
    ASSERT_TRUE(session) << session.error().detail_text();
    EXPECT_EQ((*session)->warnings(), (Strings{"Dependency discovery is unavailable for a git source.",
                                               "B.cls in branch is not UTF-8 text.", "C.cls in branch is not UTF-8 text.",
                                               "3 file(s) with names that are not UTF-8 were skipped."}));
    // The target is materialised without what the source could not give.
    const auto writes = world.ports.git->script.git_materialization.calls();
    ASSERT_EQ(writes.size(), 2U);
    EXPECT_EQ(std::get<1>(writes[1]), (CompareSelection{{MetadataType::ApexClass, {"A", "C"}}}));
    Strings rows;
    for (const auto& row : (*session)->rows()) rows.push_back(row.key().name);
    EXPECT_EQ(rows, Strings{"A"});
}

TEST(CompareGitRoad, BranchAgainstOrgRetrievesOnlyObjectsTheTargetHas) {
    CompareWorld world;
    world.source[MetadataType::CustomField] = {component(MetadataType::CustomField, "Gadget__c.Size__c")};
    world.orgs[1].instance_api_version = "62.0";
    const CompareSelection selection{{MetadataType::CustomField, {"Account", "Gadget__c"}},
                                     {MetadataType::ApexClass, {"A"}}};
    testing::TestToken token;
    auto session = compare(world, git_endpoint("/repo", "feature"), org_endpoint("tgt"), selection, token);
    ASSERT_TRUE(session) << session.error().detail_text();

    const auto listing = world.ports.core->script.object_listing.calls().at(0);
    EXPECT_EQ(std::get<0>(listing), kTargetUser);
    EXPECT_EQ(std::get<1>(listing), "tgt");
    const auto retrieve = world.ports.core->script.metadata_retrieval.calls().at(0);
    EXPECT_EQ(std::get<0>(retrieve), kTargetUser);
    EXPECT_EQ(std::get<1>(retrieve), kTargetUser);
    EXPECT_EQ(std::get<2>(retrieve), selection);
    EXPECT_EQ(std::get<3>(retrieve), (std::set<std::string>{"Account"}));
    EXPECT_FALSE(std::get<4>(retrieve));
    EXPECT_EQ(std::get<5>(retrieve), RetrieveScope::Target);
    EXPECT_EQ(std::get<6>(retrieve), "62.0");
    EXPECT_EQ(world.ports.core->script.dependency_discovery.count(), 0U);
    // The comparison of fields hears of the object the target lacks.
    const auto compared = world.ports.core->script.component_comparison.calls();
    ASSERT_FALSE(compared.empty());
    EXPECT_EQ(std::get<3>(compared.front()), (std::set<std::string>{"Gadget__c"}));
    // The session carries the listed identity of the target.
    EXPECT_EQ((*session)->target_username(), kTargetUser);
    EXPECT_EQ((*session)->target_org_id(), "00DTGT");
    EXPECT_EQ((*session)->target_org_class(), app::TargetOrgClass::NonProduction);
    const Strings calls = world.calls();
    ASSERT_GE(calls.size(), 4U);
    EXPECT_EQ((Strings{calls.begin(), calls.begin() + 4}),
              (Strings{"org_alias_listing", "object_listing", "retrieve target", "materialize source"}));
}

TEST(CompareGitRoad, BranchAgainstOrgWithoutObjectsListsNoObjects) {
    CompareWorld world;
    testing::TestToken token;
    auto session = compare(world, git_endpoint("/repo", "feature"), org_endpoint("tgt"), kOneClass, token);
    ASSERT_TRUE(session) << session.error().detail_text();
    EXPECT_EQ(world.ports.core->script.object_listing.count(), 0U);
}

TEST(CompareGitRoad, OrgAgainstBranchWidensTheSelectionButNeverMissesObjects) {
    CompareWorld world;
    world.source[MetadataType::ApexClass] = {component(MetadataType::ApexClass, "A"),
                                             component(MetadataType::ApexClass, "B")};
    dependency::DependencyGraph graph;
    graph.edges[key(MetadataType::ApexClass, "A")] = {key(MetadataType::ApexClass, "B")};
    world.ports.core->script.dependency_discovery.answer(app::ports::DependencyDiscovery(graph));
    world.ports.core->script.metadata_retrieval.answer_with(
        [&world](const std::string&, const std::string&, const CompareSelection&, const std::set<std::string>&,
                 const app::RetrieveContinuation*, RetrieveScope, const std::string&, const domain::CancellationToken&) {
            world.log("retrieve source");
            return app::ports::PortResult<app::RetrievedWorkspace>(
                app::RetrievedWorkspace{world.fixture.workspace(), {"Ghost__c"}});
        });
    testing::TestToken token;
    auto session = compare(world, org_endpoint("src"), git_endpoint("/repo", "main"), kOneClass, token);
    ASSERT_TRUE(session) << session.error().detail_text();

    const auto retrieves = world.ports.core->script.metadata_retrieval.calls();
    ASSERT_EQ(retrieves.size(), 2U);
    for (const auto& retrieve : retrieves) {
        EXPECT_EQ(std::get<0>(retrieve), kSourceUser);
        EXPECT_EQ(std::get<1>(retrieve), kSourceUser);
        EXPECT_TRUE(std::get<3>(retrieve).empty());
        EXPECT_EQ(std::get<5>(retrieve), RetrieveScope::Source);
    }
    EXPECT_EQ(std::get<2>(retrieves[1]), (CompareSelection{{MetadataType::ApexClass, {"A", "B"}}}));
    EXPECT_EQ(world.calls().back(), "compare");
    const Strings calls = world.calls();
    EXPECT_NE(std::find(calls.begin(), calls.end(), "materialize target"), calls.end());
    EXPECT_EQ(std::find(calls.begin(), calls.end(), "materialize source"), calls.end());
    EXPECT_TRUE((*session)->warnings().empty());
    EXPECT_EQ((*session)->rows().size(), 2U);
    EXPECT_EQ((*session)->source_username(), kSourceUser);
    EXPECT_EQ((*session)->target_org_class(), app::TargetOrgClass::Unconfirmed);
}

TEST(CompareGitRoad, RefusesBadRequestsBeforeAnyPort) {
    struct Case {
        const char* name;
        CompareSelection selection;
        WorkflowFailure expected;
    };
    const std::vector<Case> cases{
        {"nothing selected", {}, WorkflowFailure::single(FailureKind::Validation, "Select at least one component to compare.")},
        {"empty bundle entry", {{MetadataType::ApexClass, {"A"}}, {MetadataType::ProductBundle, {}}},
         WorkflowFailure::operation("Product bundles and constraint models are compared between two orgs only.")},
        {"a model", {{MetadataType::ConstraintModel, {"M"}}},
         WorkflowFailure::operation("Product bundles and constraint models are compared between two orgs only.")},
        {"record data", {{MetadataType::DataRecord(1), {"x"}}},
         WorkflowFailure::operation("Revenue Cloud records are not retrieved as metadata.")},
        {"blank member", {{MetadataType::ApexClass, {""}}},
         WorkflowFailure::single(FailureKind::Validation, "Selected source object API names must not be blank.")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CompareWorld world;
        testing::TestToken token;
        auto result = compare(world, org_endpoint("src"), git_endpoint("/repo", "main"), c.selection, token);
        ASSERT_FALSE(result);
        EXPECT_EQ(result.error(), c.expected);
        EXPECT_TRUE(world.calls().empty());
    }
}

TEST(CompareGitRoad, OrgSidesAreResolvedByAliasWithTheirSideWord) {
    struct Case {
        const char* name;
        endpoint::DeployEndpoint source;
        endpoint::DeployEndpoint target;
        std::string expected;
    };
    const std::vector<Case> cases{
        {"blank source alias", org_endpoint(""), git_endpoint("/r", "main"),
         "The selected source Salesforce alias is no longer available."},
        {"unknown target alias", git_endpoint("/r", "main"), org_endpoint("gone"),
         "The selected target Salesforce alias is no longer available."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CompareWorld world;
        testing::TestToken token;
        auto result = compare(world, c.source, c.target, kOneClass, token);
        ASSERT_FALSE(result);
        EXPECT_EQ(result.error(), WorkflowFailure::single(FailureKind::Validation, c.expected));
        EXPECT_EQ(world.calls(), (Strings{"org_alias_listing"}));
    }
}

TEST(CompareGitRoad, FailuresAfterTheWorkspaceExistsRemoveIt) {
    struct Case {
        const char* name;
        bool fail_write;
        bool cancel_at_write;
        bool fail_read;
    };
    const std::vector<Case> cases{
        {"materialization fails", true, false, false},
        {"cancelled before a side is written", false, true, false},
        {"assembly fails", false, false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CompareWorld world;
        testing::TestToken token;
        const auto failure = WorkflowFailure::operation("broken");
        if (c.fail_write) world.ports.git->script.git_materialization.answer(std::unexpected(failure));
        if (c.fail_read) world.ports.core->script.component_reading.answer(std::unexpected(failure));
        if (c.cancel_at_write) {
            world.ports.git->script.workspace_creation.answer_with([&world, &token] {
                token.cancel();
                return app::ports::PortResult<std::shared_ptr<metadata::workspace::MetadataWorkspace>>(
                    world.fixture.workspace());
            });
        }
        auto result = compare(world, git_endpoint("/r", "a"), git_endpoint("/r", "b"), kOneClass, token);
        ASSERT_FALSE(result);
        EXPECT_EQ(result.error(), c.cancel_at_write ? WorkflowFailure::cancelled() : failure);
        EXPECT_TRUE(world.workspace_removed());
        if (c.cancel_at_write) {
            EXPECT_EQ(world.ports.git->script.git_materialization.count(), 0U);
        }
    }
}

TEST(CompareGitRoad, FailuresBeforeTheWorkspaceExistsArePassedOn) {
    CompareWorld world;
    const auto failure = WorkflowFailure::operation("no workspace");
    world.ports.git->script.workspace_creation.answer(std::unexpected(failure));
    testing::TestToken token;
    auto result = compare(world, git_endpoint("/r", "a"), git_endpoint("/r", "b"), kOneClass, token);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error(), failure);
    EXPECT_EQ(world.ports.git->script.git_materialization.count(), 0U);
}

TEST(ObjectScope, ExistingTargetObjectsAreListedOnlyForObjectScopedMembers) {
    CompareWorld world;
    testing::TestToken token;
    const CompareSelection selection{{MetadataType::CustomObject, {"Account", "Gadget__c"}},
                                     {MetadataType::PlatformEvent, {"Widget__c"}},
                                     {MetadataType::ApexClass, {"Account2"}}};
    EXPECT_EQ(app::object_scoped_members(selection), (std::set<std::string>{"Account", "Gadget__c", "Widget__c"}));
    auto existing = app::existing_target_objects(*world.ports.core, "org", "label", selection, token);
    ASSERT_TRUE(existing);
    EXPECT_EQ(*existing, (std::set<std::string>{"Account", "Widget__c"}));
    auto none = app::existing_target_objects(*world.ports.core, "org", "label", kOneClass, token);
    ASSERT_TRUE(none);
    EXPECT_TRUE(none->empty());
    EXPECT_EQ(world.ports.core->script.object_listing.count(), 1U);
}

}  // namespace
}  // namespace ambrel::app_tests
