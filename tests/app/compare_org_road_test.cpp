// The compare between two orgs, end to end through the recording fakes.

#include <gtest/gtest.h>

#include "app/session_assembly.hpp"
#include "compare_world.hpp"

namespace ambrel::app_tests {
namespace {

using app::CompareSelection;
using app::FailureKind;
using app::WorkflowFailure;
using metadata::retrieve::RetrieveScope;
using Strings = std::vector<std::string>;

WorkflowFailure validation(std::string_view message) { return WorkflowFailure::single(FailureKind::Validation, message); }

const CompareSelection kOneClass{{MetadataType::ApexClass, {"A"}}};

TEST(CompareOrgRoad, AskesEachPortInOrderAndBuildsTheSession) {
    CompareWorld world;
    world.source[MetadataType::ApexClass] = {component(MetadataType::ApexClass, "A"),
                                             component(MetadataType::ApexClass, "Unselected")};
    const auto service = world.service();
    testing::TestToken token;

    auto session = compare_orgs(service, kOneClass, token);
    ASSERT_TRUE(session) << session.error().detail_text();

    EXPECT_EQ(world.calls(), (Strings{"org_alias_listing", "object_listing", "retrieve source", "read source ApexClass",
                                      "discovery", "retrieve target", "read source ApexClass", "read target ApexClass",
                                      "compare"}));
    const auto& core = world.ports.core->script;
    const auto listing = core.object_listing.calls().at(0);
    EXPECT_EQ(std::get<0>(listing), kTargetUser);
    EXPECT_EQ(std::get<1>(listing), "tgt");

    const auto retrieves = core.metadata_retrieval.calls();
    ASSERT_EQ(retrieves.size(), 2U);
    EXPECT_EQ(std::get<0>(retrieves[0]), kSourceUser);
    EXPECT_EQ(std::get<1>(retrieves[0]), kTargetUser);
    EXPECT_EQ(std::get<2>(retrieves[0]), kOneClass);
    EXPECT_FALSE(std::get<4>(retrieves[0]).has_value());
    EXPECT_EQ(std::get<5>(retrieves[0]), RetrieveScope::Source);
    EXPECT_EQ(std::get<6>(retrieves[0]), "65.0");
    ASSERT_TRUE(std::get<4>(retrieves[1]).has_value());
    EXPECT_EQ(std::get<4>(retrieves[1])->workspace, world.fixture.workspace());
    EXPECT_EQ(std::get<4>(retrieves[1])->retrieved, kOneClass);
    EXPECT_EQ(std::get<5>(retrieves[1]), RetrieveScope::Target);

    const auto discovery = core.dependency_discovery.calls().at(0);
    EXPECT_EQ(std::get<0>(discovery), kSourceUser);
    EXPECT_EQ(std::get<1>(discovery), (std::vector<ComponentKey>{key(MetadataType::ApexClass, "A")}));

    const app::ComparisonSession& result = **session;
    ASSERT_EQ(result.rows().size(), 1U);
    EXPECT_EQ(result.rows()[0].key(), key(MetadataType::ApexClass, "A"));
    EXPECT_EQ(result.rows()[0].change, ChangeKind::Add);
    EXPECT_EQ(result.source_label(), "src");
    EXPECT_EQ(result.source_username(), kSourceUser);
    EXPECT_EQ(result.target_org_id(), "00DTGT");
    EXPECT_EQ(result.target_org_class(), app::TargetOrgClass::NonProduction);
    EXPECT_EQ(result.api_version(), "65.0");
    EXPECT_EQ(result.workspace(), world.fixture.workspace());
    EXPECT_TRUE(result.warnings().empty());
    EXPECT_FALSE(world.workspace_removed());
    // A sandbox target is classed without asking the org.
    EXPECT_EQ(core.org_description.count(), 0U);
}

TEST(CompareOrgRoad, RefusesBadRequestsBeforeAnyPort) {
    struct Case {
        const char* name;
        std::string source;
        std::string target;
        CompareSelection selection;
        WorkflowFailure expected;
    };
    const std::vector<Case> cases{
        {"blank source", "  ", "tgt", kOneClass, validation("Select a source org or git repository.")},
        {"blank target", "src", "", kOneClass, validation("Select a target org or git repository.")},
        {"nothing selected", "src", "tgt", {{MetadataType::ApexClass, {}}}, validation("Select at least one component.")},
        {"blank member", "src", "tgt", {{MetadataType::ApexClass, {"A", " "}}},
         validation("Selected source object API names must not be blank.")},
        {"record data", "src", "tgt", {{MetadataType::DataRecord(0), {"x"}}},
         WorkflowFailure::operation("Revenue Cloud records are not retrieved as metadata.")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CompareWorld world;
        testing::TestToken token;
        auto result = world.service().compare_endpoints(org_endpoint(c.source), org_endpoint(c.target), c.selection,
                                                        metadata_types::LayoutComparisonMode::Whole, token);
        ASSERT_FALSE(result);
        EXPECT_EQ(result.error(), c.expected);
        EXPECT_TRUE(world.calls().empty());
    }
}

TEST(CompareOrgRoad, ResolvesBothOrgsFromOneListing) {
    struct Case {
        const char* name;
        std::vector<endpoint::OrgAlias> orgs;
        std::string source_alias;
        WorkflowFailure expected;
    };
    const auto src = listed_org("src", kSourceUser, "00DSRC");
    const auto tgt = listed_org("tgt", kTargetUser, "00DTGT");
    const std::vector<Case> cases{
        {"source missing", {tgt}, "src", validation("The selected source Salesforce alias is no longer available.")},
        {"source listed twice", {src, src, tgt}, "src",
         validation("The selected source Salesforce alias is no longer available.")},
        {"aliases match untrimmed", {src, tgt}, " src",
         validation("The selected source Salesforce alias is no longer available.")},
        {"target missing", {src}, "src", validation("The selected target Salesforce alias is no longer available.")},
        {"blank username", {listed_org("src", " ", "00DSRC"), tgt}, "src",
         validation("Could not resolve the selected Salesforce org identities.")},
        {"blank org id", {src, listed_org("tgt", kTargetUser, "")}, "src",
         validation("Could not resolve the selected Salesforce org identities.")},
        {"same org in other letter case", {src, listed_org("tgt", kTargetUser, " 00dsrc ")}, "src",
         validation("Source and target must be different Salesforce orgs.")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CompareWorld world;
        world.orgs = c.orgs;
        testing::TestToken token;
        auto result = world.service().compare_endpoints(org_endpoint(c.source_alias), org_endpoint("tgt"), kOneClass,
                                                        metadata_types::LayoutComparisonMode::Whole, token);
        ASSERT_FALSE(result);
        EXPECT_EQ(result.error(), c.expected);
        EXPECT_EQ(world.calls(), (Strings{"org_alias_listing"}));
    }
}

TEST(CompareOrgRoad, APortFailureIsPassedOnUnchanged) {
    CompareWorld world;
    auto failure = WorkflowFailure::single(FailureKind::Prerequisite, "sf is missing");
    world.ports.core->script.org_alias_listing.answer(std::unexpected(failure));
    testing::TestToken token;
    auto result = compare_orgs(world.service(), kOneClass, token);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error(), failure);
}

TEST(CompareOrgRoad, AFailedTargetRetrieveRemovesTheWorkspace) {
    CompareWorld world;
    const auto failure = WorkflowFailure::operation("retrieve failed");
    auto& retrieval = world.ports.core->script.metadata_retrieval;
    retrieval.answer(app::RetrievedWorkspace{world.fixture.workspace(), {}});
    retrieval.answer(std::unexpected(failure));
    testing::TestToken token;
    auto result = compare_orgs(world.service(), kOneClass, token);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error(), failure);
    EXPECT_TRUE(world.workspace_removed());
}

TEST(CompareOrgRoad, AFailedSourceReadInAssemblyRemovesTheWorkspace) {
    CompareWorld world;
    const auto failure = WorkflowFailure::operation("unreadable");
    auto& reading = world.ports.core->script.component_reading;
    reading.answer(std::vector<domain::MetadataComponent>{});  // the widening pass
    reading.answer(std::unexpected(failure));                  // assembly, source side
    testing::TestToken token;
    auto result = compare_orgs(world.service(), kOneClass, token);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error(), failure);
    EXPECT_TRUE(world.workspace_removed());
}

// Cancels the token when the named port is called; the port still answers.
TEST(CompareOrgRoad, CancellationAtEachAwaitPointEndsTheCompareAndRemovesTheWorkspace) {
    struct Case {
        const char* port;
        bool workspace_exists;
    };
    const std::vector<Case> cases{
        {"org_alias_listing", false}, {"object_listing", false}, {"retrieve source", true},
        {"read source ApexClass", true}, {"discovery", true}, {"retrieve target", true},
        {"read target ApexClass", true}, {"compare", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.port);
        CompareWorld world;
        world.source[MetadataType::ApexClass] = {component(MetadataType::ApexClass, "A")};
        testing::TestToken token([&world, port = std::string(c.port)] {
            const Strings calls = world.calls();
            return std::find(calls.begin(), calls.end(), port) != calls.end();
        });
        auto result = compare_orgs(world.service(), kOneClass, token);
        ASSERT_FALSE(result);
        EXPECT_EQ(result.error(), WorkflowFailure::cancelled());
        EXPECT_EQ(world.workspace_removed(), c.workspace_exists);
    }
}

TEST(CompareOrgRoad, WideningFollowsDiscoveryAndRetrievesOnlyWhatWasAdded) {
    CompareWorld world;
    world.source[MetadataType::ApexClass] = {component(MetadataType::ApexClass, "A"),
                                             component(MetadataType::ApexClass, "B")};
    auto& discovery = world.ports.core->script.dependency_discovery;
    dependency::DependencyGraph first;
    first.edges[key(MetadataType::ApexClass, "A")] = {key(MetadataType::ApexClass, "B")};
    first.warnings = {"w1"};
    discovery.answer(app::ports::DependencyDiscovery(first));
    dependency::DependencyGraph second;
    second.warnings = {"w1", "w2"};
    discovery.answer(app::ports::DependencyDiscovery(second));
    testing::TestToken token;

    auto session = compare_orgs(world.service(), kOneClass, token);
    ASSERT_TRUE(session) << session.error().detail_text();

    const auto retrieves = world.ports.core->script.metadata_retrieval.calls();
    ASSERT_EQ(retrieves.size(), 3U);
    const CompareSelection widened{{MetadataType::ApexClass, {"A", "B"}}};
    EXPECT_EQ(std::get<2>(retrieves[1]), widened);
    ASSERT_TRUE(std::get<4>(retrieves[1]).has_value());
    EXPECT_EQ(std::get<4>(retrieves[1])->retrieved, kOneClass);  // the port fetches only B
    EXPECT_EQ(std::get<5>(retrieves[2]), RetrieveScope::Target);
    EXPECT_EQ(std::get<2>(retrieves[2]), widened);

    // The second pass asks discovery only about what it read for the first time.
    const auto discoveries = discovery.calls();
    ASSERT_EQ(discoveries.size(), 2U);
    EXPECT_EQ(std::get<1>(discoveries[1]), (std::vector<ComponentKey>{key(MetadataType::ApexClass, "B")}));

    const app::ComparisonSession& result = **session;
    ASSERT_EQ(result.rows().size(), 2U);
    EXPECT_EQ(result.rows()[1].key(), key(MetadataType::ApexClass, "B"));
    EXPECT_EQ(result.rows()[1].required_by, "A");
    EXPECT_EQ(result.dependency_edges().at(key(MetadataType::ApexClass, "A")),
              (std::set<ComponentKey>{key(MetadataType::ApexClass, "B")}));
    EXPECT_EQ(result.warnings(), (Strings{"w1", "w2"}));
}

TEST(CompareOrgRoad, ADisabledDiscoveryBecomesAWarning) {
    CompareWorld world;
    world.source[MetadataType::ApexClass] = {component(MetadataType::ApexClass, "A")};
    world.ports.core->script.dependency_discovery.answer(
        app::ports::DependencyDiscovery(app::ports::DiscoveryDisabled{"Dependency auto-selection is disabled: no access"}));
    testing::TestToken token;
    auto session = compare_orgs(world.service(), kOneClass, token);
    ASSERT_TRUE(session);
    EXPECT_EQ((*session)->warnings(), (Strings{"Dependency auto-selection is disabled: no access"}));
}

TEST(CompareOrgRoad, ATargetWithoutASelectedObjectReportsItMissing) {
    CompareWorld world;
    world.source[MetadataType::CustomField] = {component(MetadataType::CustomField, "Gadget__c.Size__c")};
    const CompareSelection selection{{MetadataType::CustomField, {"Account", "Gadget__c"}}};
    testing::TestToken token;
    auto session = compare_orgs(world.service(), selection, token);
    ASSERT_TRUE(session) << session.error().detail_text();
    const auto retrieves = world.ports.core->script.metadata_retrieval.calls();
    // Only objects that the target has are named to a retrieve.
    EXPECT_EQ(std::get<3>(retrieves.front()), (std::set<std::string>{"Account"}));
    EXPECT_EQ(std::get<3>(retrieves.back()), (std::set<std::string>{"Account"}));
    // The comparison of fields hears of the object the target lacks.
    const auto compared = world.ports.core->script.component_comparison.calls();
    ASSERT_EQ(compared.size(), 1U);
    EXPECT_EQ(std::get<3>(compared[0]), (std::set<std::string>{"Gadget__c"}));
}

TEST(CompareOrgRoad, ProductionTargetsAreAskedAndBlockRecordRows) {
    struct Case {
        const char* name;
        std::optional<cli::catalogs::OrganizationDescription> description;
        bool allow;
        app::TargetOrgClass expected_class;
        std::optional<std::string> reason;
    };
    const std::string production_reason(app::kProductionRecordsReason);
    const std::string unconfirmed_reason(app::kUnconfirmedRecordsReason);
    const std::vector<Case> cases{
        {"production", cli::catalogs::OrganizationDescription{"Enterprise Edition", false}, false,
         app::TargetOrgClass::Production, production_reason},
        {"production allowed", cli::catalogs::OrganizationDescription{"Enterprise Edition", false}, true,
         app::TargetOrgClass::Production, std::nullopt},
        {"developer edition", cli::catalogs::OrganizationDescription{" developer edition ", false}, false,
         app::TargetOrgClass::NonProduction, std::nullopt},
        {"sandbox flag", cli::catalogs::OrganizationDescription{"Enterprise Edition", true}, false,
         app::TargetOrgClass::NonProduction, std::nullopt},
        {"description fails", std::nullopt, false, app::TargetOrgClass::Unconfirmed, unconfirmed_reason},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CompareWorld world;
        world.orgs[1].kind = endpoint::OrgKind::NonScratch;
        for (auto& org : world.orgs) org.instance_api_version = "67.0";
        if (c.description) {
            world.ports.core->script.org_description.answer(*c.description);
        } else {
            world.ports.core->script.org_description.answer(std::unexpected(WorkflowFailure::operation("no")));
        }
        world.ports.bundle->script.tagging_model_listing.answer(std::map<std::string, std::set<std::string>>{});
        world.ports.bundle->script.bundle_document_synthesis.answer(app::RecordSynthesis{});
        world.source[MetadataType::ProductBundle] = {component(MetadataType::ProductBundle, "Kit")};
        testing::TestToken token;
        auto session = world.service().compare_endpoints_allowing_production(
            org_endpoint("src"), org_endpoint("tgt"), {{MetadataType::ProductBundle, {"Kit"}}},
            metadata_types::LayoutComparisonMode::Whole, c.allow, token);
        ASSERT_TRUE(session) << session.error().detail_text();
        EXPECT_EQ((*session)->target_org_class(), c.expected_class);
        ASSERT_EQ((*session)->rows().size(), 1U);
        const ComponentDifference& bundle = (*session)->rows()[0];
        EXPECT_EQ(bundle.block_reason, c.reason);
        EXPECT_EQ(bundle.deployable, !c.reason.has_value());
        if (!c.reason) {
            EXPECT_EQ(bundle.deploy_scope, domain::MetadataDeployScope::Records);
        }
        EXPECT_EQ(std::get<0>(world.ports.core->script.org_description.calls().at(0)), kTargetUser);
    }
}

TEST(CompareOrgRoad, BundlesBringTheirTaggingModelsWithShellsAndRecordDocuments) {
    CompareWorld world;
    for (auto& org : world.orgs) org.instance_api_version = "67.0";
    world.ports.bundle->script.tagging_model_listing.answer(
        std::map<std::string, std::set<std::string>>{{"M1", {"B2"}}, {"M2", {"Other"}}, {"bad-name", {"B1"}}});
    app::RecordSynthesis synthesis;
    synthesis.warnings = {"synthesis note"};
    synthesis.row_reasons[key(MetadataType::ProductBundle, "B1")] = "B1 cannot be read";
    world.ports.bundle->script.bundle_document_synthesis.answer(synthesis);
    world.source[MetadataType::ProductBundle] = {component(MetadataType::ProductBundle, "B1"),
                                                 component(MetadataType::ProductBundle, "B2", "<model>M1</model>")};
    world.source[MetadataType::ConstraintModel] = {component(MetadataType::ConstraintModel, "M1")};
    testing::TestToken token;

    auto session = compare_orgs(world.service(), {{MetadataType::ProductBundle, {"B1", "B2"}}}, token);
    ASSERT_TRUE(session) << session.error().detail_text();

    const auto tagging = world.ports.bundle->script.tagging_model_listing.calls().at(0);
    EXPECT_EQ(std::get<0>(tagging), kSourceUser);
    EXPECT_EQ(std::get<1>(tagging), (std::set<std::string>{"B1", "B2"}));

    const auto definition = *metadata_types::metadata_type_by_wire_id("ExpressionSetDefinition");
    const CompareSelection manifest{{MetadataType::ProductBundle, {"B1", "B2"}},
                                    {MetadataType::ConstraintModel, {"M1", "bad-name"}},
                                    {definition, {"M1"}}};
    EXPECT_EQ(std::get<2>(world.ports.core->script.metadata_retrieval.calls().at(0)), manifest);

    const auto request = std::get<0>(world.ports.bundle->script.bundle_document_synthesis.calls().at(0));
    EXPECT_EQ(request.source_username, kSourceUser);
    EXPECT_EQ(request.target_alias, "tgt");
    EXPECT_EQ(request.bundle_names, (std::set<std::string>{"B1", "B2"}));
    EXPECT_EQ(request.model_names, (std::set<std::string>{"M1", "bad-name"}));
    EXPECT_EQ(request.api_version, "67.0");
    EXPECT_EQ(request.source_documents_folder, world.source_folder());
    EXPECT_EQ(request.target_documents_folder, world.target_folder());

    const app::ComparisonSession& result = **session;
    // The fake documents are no product bundle documents, so the real bundle reader says so.
    EXPECT_EQ(result.warnings(),
              (Strings{"synthesis note", "Could not parse Product Bundle 'B1'; its dependencies were not followed.",
                       "Could not parse Product Bundle 'B2'; its dependencies were not followed."}));
    const auto bundle = std::find_if(result.rows().begin(), result.rows().end(),
                                     [](const auto& row) { return row.key().name == "B1"; });
    ASSERT_NE(bundle, result.rows().end());
    EXPECT_EQ(bundle->block_reason, "B1 cannot be read");
    // The tagged model is kept with its bundle; its document holds no active version.
    const auto model = std::find_if(result.rows().begin(), result.rows().end(),
                                    [](const auto& row) { return row.key().name == "M1"; });
    ASSERT_NE(model, result.rows().end());
    EXPECT_EQ(model->required_by, "B2; not auto-checked: no active version in the source");
}

TEST(CompareOrgRoad, AFailedTaggingListingIsAWarningAndACancelledOneEndsTheCompare) {
    for (FailureKind kind : {FailureKind::Operation, FailureKind::Cancelled}) {
        SCOPED_TRACE(app::name(kind));
        CompareWorld world;
        for (auto& org : world.orgs) org.instance_api_version = "67.0";
        world.ports.bundle->script.tagging_model_listing.answer(
            std::unexpected(WorkflowFailure::single(kind, "listing broke")));
        world.ports.bundle->script.bundle_document_synthesis.answer(app::RecordSynthesis{});
        testing::TestToken token;
        auto session = compare_orgs(world.service(), {{MetadataType::ProductBundle, {"B1"}}}, token);
        if (kind == FailureKind::Cancelled) {
            ASSERT_FALSE(session);
            EXPECT_EQ(session.error(), WorkflowFailure::single(kind, "listing broke"));
            EXPECT_EQ(world.ports.core->script.metadata_retrieval.count(), 0U);
            continue;
        }
        ASSERT_TRUE(session) << session.error().detail_text();
        EXPECT_EQ((*session)->warnings(),
                  (Strings{"Constraint models tagging the selected product bundles could not be listed in src: "
                           "listing broke"}));
    }
}

TEST(CompareOrgRoad, AnUnsupportedApiVersionListsNoTaggingModels) {
    CompareWorld world;
    world.ports.bundle->script.bundle_document_synthesis.answer(app::RecordSynthesis{});
    testing::TestToken token;
    auto session = compare_orgs(world.service(), {{MetadataType::ProductBundle, {"B1"}}}, token);
    ASSERT_TRUE(session) << session.error().detail_text();
    EXPECT_EQ(world.ports.bundle->script.tagging_model_listing.count(), 0U);
}

TEST(CompareOrgRoad, ASelectionWithoutRecordsCallsNoRecordPort) {
    CompareWorld world;
    testing::TestToken token;
    ASSERT_TRUE(compare_orgs(world.service(), kOneClass, token));
    EXPECT_EQ(world.ports.bundle->script.bundle_document_synthesis.count(), 0U);
    EXPECT_EQ(world.ports.bundle->script.tagging_model_listing.count(), 0U);
}

TEST(CompareOrgRoad, CompareByAliasesUsesWholeLayouts) {
    CompareWorld world;
    world.source[MetadataType::Layout] = {component(MetadataType::Layout, "Account-Main")};
    testing::TestToken token;
    auto session = world.service().compare("src", "tgt", {{MetadataType::Layout, {"Account-Main"}}}, token);
    ASSERT_TRUE(session) << session.error().detail_text();
    EXPECT_EQ(world.ports.core->script.component_comparison.count(), 1U);
    EXPECT_FALSE((*session)->allow_best_effort_on_production());
}

TEST(CompareOrgRoad, StandardObjectsWithoutRowsBecomePermissionOnlyRows) {
    CompareWorld world;
    world.source[MetadataType::ApexClass] = {component(MetadataType::ApexClass, "Z")};
    testing::TestToken token;
    auto session = compare_orgs(world.service(),
                                {{MetadataType::CustomObject, {"Account"}},
                                 {MetadataType::CustomMetadataType, {"Setting__mdt"}},
                                 {MetadataType::ApexClass, {"Z"}}},
                                token);
    ASSERT_TRUE(session) << session.error().detail_text();
    const auto& rows = (*session)->rows();
    ASSERT_EQ(rows.size(), 2U);
    EXPECT_EQ(rows[0].key(), key(MetadataType::CustomObject, "Account"));
    EXPECT_EQ(rows[0].deploy_scope, domain::MetadataDeployScope::PermissionsOnly);
    EXPECT_EQ(rows[0].change, ChangeKind::NoChange);
    EXPECT_TRUE(rows[0].deployable);
    EXPECT_EQ(rows[1].key(), key(MetadataType::ApexClass, "Z"));
}

}  // namespace
}  // namespace ambrel::app_tests
