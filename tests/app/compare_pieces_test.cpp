// The pure pieces of the compare roads and of the deploy details.

#include <gtest/gtest.h>

#include "app/deploy_details.hpp"
#include "app/model_shells.hpp"
#include "app/session_assembly.hpp"
#include "compare_world.hpp"

namespace ambrel::app_tests {
namespace {

using app::CompareSelection;
using Strings = std::vector<std::string>;

TEST(ModelShells, ValidModelNamesBringTheirExpressionSetDefinition) {
    const auto definition = *metadata_types::metadata_type_by_wire_id("ExpressionSetDefinition");
    const CompareSelection selection{{MetadataType::ConstraintModel, {"Good_Model", "bad-model", "9Lives"}},
                                     {definition, {"Existing"}}};
    const CompareSelection expected{{MetadataType::ConstraintModel, {"Good_Model", "bad-model", "9Lives"}},
                                    {definition, {"Existing", "Good_Model"}}};
    EXPECT_EQ(app::retrieve_manifest_with_model_shells(selection), expected);
    const CompareSelection plain{{MetadataType::ApexClass, {"A"}}};
    EXPECT_EQ(app::retrieve_manifest_with_model_shells(plain), plain);
}

TEST(ModelShells, TaggingAdditionsSkipSelectedAndUnrelatedModels) {
    const std::map<std::string, std::set<std::string>> tagging{
        {"M1", {"B2"}}, {"M2", {"Other"}}, {"M3", {"B1", "B2"}}, {"M0", {"B1"}}};
    EXPECT_EQ(app::constraint_model_additions(tagging, {"B1", "B2"}, {"M3"}), (Strings{"M0", "M1"}));
}

TEST(SessionAssemblyPieces, OrgEndpointCarriesOnlyTheIdentity) {
    const endpoint::DeployEndpoint result = app::org_endpoint("alias", "user@x", "00D");
    ASSERT_TRUE(result.is_org());
    const endpoint::OrgAlias& org = result.org()->org;
    EXPECT_EQ(org.alias, "alias");
    EXPECT_EQ(org.username, "user@x");
    EXPECT_EQ(org.org_id, "00D");
    EXPECT_EQ(org.kind, endpoint::OrgKind::Other);
    EXPECT_FALSE(org.instance_url || org.connected_status || org.instance_api_version);
}

TEST(SessionAssemblyPieces, PermissionOnlyRowsAreAddedAndTheRowsSorted) {
    const auto tab = *metadata_types::metadata_type_by_wire_id("CustomTab");
    std::vector<ComponentDifference> rows{row(MetadataType::ApexClass, "B"), row(MetadataType::CustomObject, "Z__c")};
    app::synthesize_permission_only_rows(rows, {{MetadataType::ApexClass, {"A", "B"}},
                                                {MetadataType::CustomObject, {"Account", "Z__c"}},
                                                {MetadataType::CustomField, {"Account"}},
                                                {tab, {"Home"}}});
    std::vector<ComponentKey> keys;
    for (const auto& item : rows) keys.push_back(item.key());
    EXPECT_EQ(keys, (std::vector<ComponentKey>{key(MetadataType::CustomObject, "Account"),
                                               key(MetadataType::CustomObject, "Z__c"), key(MetadataType::ApexClass, "A"),
                                               key(MetadataType::ApexClass, "B"), key(tab, "Home")}));
    EXPECT_EQ(rows[0].deploy_scope, domain::MetadataDeployScope::PermissionsOnly);
    EXPECT_TRUE(rows[0].source.document.empty());

    // Without an addition the order stays as it was.
    std::vector<ComponentDifference> unsorted{row(MetadataType::ApexClass, "B"), row(MetadataType::ApexClass, "A")};
    app::synthesize_permission_only_rows(unsorted, {{MetadataType::ApexClass, {"A", "B"}}});
    EXPECT_EQ(unsorted[0].key().name, "B");
}

TEST(SessionAssemblyPieces, TaggedByWarningsNameEveryMissingModelOnce) {
    const std::vector<ComponentDifference> rows{
        row(MetadataType::ProductBundle, "Kit", ChangeKind::Add, true, "<model>Gone</model><model>Gone</model><model>Here</model>"),
        row(MetadataType::ProductBundle, "Box", ChangeKind::Add, true, "<model>Gone</model>"),
        row(MetadataType::ConstraintModel, "Here")};
    dependency::WarningList warnings;
    app::tagged_by_warnings(rows, warnings);
    EXPECT_EQ(warnings, (Strings{"Product bundle Kit is tagged by constraint model Gone, which is not in this comparison.",
                                 "Product bundle Box is tagged by constraint model Gone, which is not in this comparison."}));
}

TEST(SessionAssembly, ConstraintModelsBlockTheExpressionSetsTheyDeploy) {
    CompareWorld world;
    const auto definition = *metadata_types::metadata_type_by_wire_id("ExpressionSetDefinition");
    const auto version = *metadata_types::metadata_type_by_wire_id("ExpressionSetDefinitionVersion");
    world.source[MetadataType::ConstraintModel] = {
        component(MetadataType::ConstraintModel, "Model", R"(<version name="Model_V1"/>)"),
        component(MetadataType::ConstraintModel, "Refused")};
    world.source[definition] = {component(definition, "Model"), component(definition, "Refused"),
                                component(definition, "Alone")};
    world.source[version] = {component(version, "Model_V1")};
    app::RecordSynthesis synthesis;
    synthesis.row_reasons[key(MetadataType::ConstraintModel, "Refused")] = "cannot read";
    const CompareSelection selection{{MetadataType::ConstraintModel, {"Model", "Refused"}},
                                     {definition, {"Model", "Refused", "Alone"}},
                                     {version, {"Model_V1"}}};
    testing::TestToken token;
    auto session = world.service().build_session(
        "src", "tgt", world.orgs[0], world.orgs[1], selection, selection, app::RetrievedWorkspace{world.fixture.workspace(), {}},
        std::nullopt, {}, metadata_types::LayoutComparisonMode::Whole, "67.0", synthesis, false, false, token);
    ASSERT_TRUE(session) << session.error().detail_text();
    std::map<std::string, std::optional<std::string>> reasons;
    for (const auto& item : (*session)->rows()) {
        reasons[std::string(item.key().metadata_type.wire_id()) + ":" + item.key().name] = item.block_reason;
    }
    const std::optional<std::string> deployed_by_model = "Deployed by the Constraint Model row of the same name.";
    EXPECT_EQ(reasons.at("ExpressionSetDefinition:Model"), deployed_by_model);
    EXPECT_EQ(reasons.at("ExpressionSetDefinitionVersion:Model_V1"), deployed_by_model);
    EXPECT_EQ(reasons.at("ExpressionSetDefinition:Refused"), std::nullopt);
    EXPECT_EQ(reasons.at("ExpressionSetDefinition:Alone"), std::nullopt);
    EXPECT_EQ(reasons.at("ConstraintModel:Refused"), "cannot read");
    // A sandbox is known without asking the org.
    EXPECT_EQ(world.ports.core->script.org_description.count(), 0U);
}

TEST(SessionAssembly, ElementWiseLayoutsSkipTheComparisonPort) {
    CompareWorld world;
    world.source[MetadataType::Layout] = {component(MetadataType::Layout, "Account-Main", "not xml")};
    world.target[MetadataType::Layout] = {component(MetadataType::Layout, "Account-Main", "not xml either")};
    const CompareSelection selection{{MetadataType::Layout, {"Account-Main"}}};
    testing::TestToken token;
    const std::string excluded = "Layout 'Account-Main' was excluded from the comparison: its metadata could not be parsed.";
    // The layout comparison's warnings are appended as they are, repeats included.
    dependency::WarningList warnings{excluded};
    auto session = world.service().build_session_from_endpoints(
        git_endpoint("/r", "a"), git_endpoint("/r", "b"), selection, selection,
        app::RetrievedWorkspace{world.fixture.workspace(), {}}, std::nullopt, warnings,
        metadata_types::LayoutComparisonMode::Elements, "65.0", false, false, token);
    ASSERT_TRUE(session) << session.error().detail_text();
    EXPECT_EQ(world.ports.core->script.component_comparison.count(), 0U);
    EXPECT_EQ((*session)->warnings(), (Strings{excluded, excluded}));
}

TEST(SessionAssembly, AnEmptyWorkingSelectionGivesASessionWithoutRows) {
    CompareWorld world;
    testing::TestToken token;
    auto session = world.service().build_session_from_endpoints(
        git_endpoint("/r", "a"), org_endpoint("tgt", kTargetUser, "00D"), {}, {},
        app::RetrievedWorkspace{world.fixture.workspace(), {}}, std::nullopt, {},
        metadata_types::LayoutComparisonMode::Whole, "65.0", false, false, token);
    ASSERT_TRUE(session);
    EXPECT_TRUE((*session)->rows().empty());
    EXPECT_TRUE(world.calls().empty());
    // A listed target that is neither scratch nor sandbox is asked; its failure leaves it unconfirmed.
    EXPECT_EQ((*session)->target_org_class(), app::TargetOrgClass::Unconfirmed);
    EXPECT_EQ(std::get<0>(world.ports.core->script.org_description.calls().at(0)), kTargetUser);
}

TEST(SessionAssembly, GitSideRecordRowsStayBlocked) {
    CompareWorld world;
    world.source[MetadataType::ProductBundle] = {component(MetadataType::ProductBundle, "Kit")};
    const CompareSelection selection{{MetadataType::ProductBundle, {"Kit"}}};
    testing::TestToken token;
    auto session = world.service().build_session_from_endpoints(
        org_endpoint("src", kSourceUser, "00D1"), git_endpoint("/r", "b"), selection, selection,
        app::RetrievedWorkspace{world.fixture.workspace(), {}}, std::nullopt, {},
        metadata_types::LayoutComparisonMode::Whole, "67.0", true, false, token);
    ASSERT_TRUE(session);
    ASSERT_EQ((*session)->rows().size(), 1U);
    EXPECT_FALSE((*session)->rows()[0].deployable);
    EXPECT_EQ((*session)->rows()[0].block_reason, "ProductBundle deployment is not supported yet.");
}

TEST(DeployDetails, LinesNotesSanitizerAndLimit) {
    const auto core = [](const std::string& text) { return text; };
    deployment::DeploymentSummary summary;
    summary.component_results = {
        {key(MetadataType::CustomField, "Account.X__c"), "ok", ChangeKind::Add, domain::ComponentDeploymentStatus::Succeeded},
        {key(MetadataType::ApexClass, "A"), "bad", ChangeKind::Update, domain::ComponentDeploymentStatus::Failed}};
    summary.detail_notes.leading_notes = {"A", "B"};
    summary.detail_notes.trailing_notes = {"T"};
    app::build_details(core, summary);
    EXPECT_EQ(summary.details, "B\nA\nCustom Field Account.X__c [SUCCEEDED]: ok\nApex Class A [FAILED]: bad\nT");
    EXPECT_TRUE(summary.detail_notes.leading_notes.empty());

    deployment::DeploymentSummary only_note;
    only_note.detail_notes.trailing_notes = {"alone"};
    app::build_details(core, only_note);
    EXPECT_EQ(only_note.details, "alone");

    deployment::DeploymentSummary empty;
    app::build_details(core, empty);
    EXPECT_EQ(empty.details, "");

    deployment::DeploymentSummary long_one;
    long_one.detail_notes.trailing_notes = {std::string(app::kDiagnosticCharacterLimit + 5, 'x')};
    app::build_details(core, long_one);
    EXPECT_EQ(long_one.details.size(), app::kDiagnosticCharacterLimit);
}

}  // namespace
}  // namespace ambrel::app_tests
