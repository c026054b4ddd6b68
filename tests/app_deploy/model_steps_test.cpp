#include <gtest/gtest.h>

#include <atomic>
#include <string>

#include "deploy_fixture.hpp"

namespace ambrel::deploy_tests {
namespace {

using Records = std::vector<app::ports::ExpressionSetVersionRecord>;

ComponentDifference model_row(std::string name, std::string path = "force-app/main/default/models/M/M.json") {
    auto model = row(MetadataType::ConstraintModel, std::move(name), ChangeKind::Add, MetadataDeployScope::Records, "<model/>");
    model.source.source_path = std::move(path);
    return model;
}

using Model = testing::RecordingDeployAdaptation::Model;

Model model_with(std::string definition) {
    data::bundles::document::ModelDocument model;
    model.definition = std::move(definition);
    return model;
}

void readable_models(DeployFixture& fixture) {
    fixture.adaptation->on_parse_model_document = [](std::string_view) { return model_with("<definition/>"); };
    fixture.adaptation->on_plan_package_versions = [](std::string_view, const std::set<std::string>& active) {
        metadata::expression_set_definition_versions::PlannedVersions plan{
            "<planned/>", {}, {active.begin(), active.end()}, 0};
        return testing::RecordingDeployAdaptation::Planned(plan);
    };
}

TEST(ExpandModelRows, EachProblemFailsItsRowOnly) {
    DeployFixture fixture;
    readable_models(fixture);
    fixture.adaptation->on_parse_model_document = [](std::string_view document) {
        if (document == "<broken/>") return Model(std::unexpected(std::string("bad model")));
        if (document == "<empty/>") return model_with(" \n");
        return model_with("<definition/>");
    };
    auto broken = model_row("Broken");
    broken.source.document = "<broken/>";
    auto empty = model_row("Empty");
    empty.source.document = "<empty/>";
    auto hyphen = model_row("Bad-Name");
    auto listed_fail = model_row("Unlisted");
    auto both = model_row("Both", "a/b/c/d.json");
    auto selected = model_row("Selected");
    fixture.ports.procedure_versions->script.expression_set_version_listing.answer(
        std::unexpected(WorkflowFailure::operation("query broke")));
    fixture.ports.procedure_versions->script.expression_set_version_listing.answer(
        Records{{"1", "V1", true}, {"2", "V2", true}});
    const auto definition = wire("ExpressionSetDefinition");
    auto session = session_of({.rows = {}});
    auto expansion = fixture.service().expand_model_rows(*session, {broken, empty, hyphen, listed_fail, both, selected},
                                                         {ComponentKey{definition, "Selected"}}, fixture.never);
    ASSERT_TRUE(expansion) << expansion.error().detail_text();
    ASSERT_EQ(expansion->failed.size(), 5u);
    const std::vector<std::string> messages{
        "The Constraint Model document could not be read: bad model.",
        "The comparison carries no definition document for Empty; nothing was deployed.",
        "The Constraint Model name Bad-Name is not a valid API name; nothing was deployed.",
        "The target's versions of Unlisted could not be listed: query broke.",
        "The Expression Set Definition Selected is also selected as its own row; deploy only one of them.",
    };
    for (std::size_t i = 0; i < messages.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(expansion->failed[i].message, messages[i]);
        EXPECT_EQ(expansion->failed[i].status, ComponentDeploymentStatus::Failed);
    }
    ASSERT_EQ(expansion->rows.size(), 1u);
    const auto& built = expansion->rows[0];
    EXPECT_EQ(built.key(), (ComponentKey{definition, "Both"}));
    EXPECT_EQ(built.source.document, "<planned/>");
    EXPECT_EQ(built.source.source_path, "a/b/expressionSetDefinition/Both.expressionSetDefinition-meta.xml");
    EXPECT_EQ(built.deploy_scope, MetadataDeployScope::Full);
    EXPECT_TRUE(built.definition_changed);
    const auto& entry = expansion->models.at(built.key());
    EXPECT_EQ(entry.note, "All 2 versions are active in the target and were left out of the package: V1, V2.");
    EXPECT_EQ(entry.document, "<model/>");
    // Only the two rows that reached their listing asked the target, by its alias.
    EXPECT_EQ(fixture.ports.procedure_versions->script.expression_set_version_listing.count(), 2u);
}

TEST(ExpandModelRows, GitTargetAndCancellation) {
    DeployFixture fixture;
    readable_models(fixture);
    auto git_session = session_of({.rows = {}, .target = repository("/repos/app", "main")});
    auto git = fixture.service().expand_model_rows(*git_session, {model_row("A"), model_row("B")}, {}, fixture.never);
    ASSERT_TRUE(git);
    ASSERT_EQ(git->failed.size(), 2u);
    EXPECT_EQ(git->failed[1].message, "Constraint models are transferred to an org target only.");
    EXPECT_EQ(fixture.ports.procedure_versions->script.expression_set_version_listing.count(), 0u);

    auto none = fixture.service().expand_model_rows(*git_session, {}, {}, fixture.never);
    ASSERT_TRUE(none);
    EXPECT_EQ(*none, app::ModelExpansion{});

    // The token turns cancelled once the first listing was answered (read outside the fake's lock).
    std::atomic<bool> listed{false};
    fixture.ports.procedure_versions->script.expression_set_version_listing.answer_with(
        [&](const std::string&, const std::string&, const domain::CancellationToken&) {
            listed.store(true);
            return app::ports::PortResult<Records>(Records{});
        });
    testing::TestToken token([&] { return listed.load(); });
    auto session = session_of({.rows = {}});
    auto cancelled = fixture.service().expand_model_rows(*session, {model_row("A"), model_row("B")}, {}, token);
    ASSERT_FALSE(cancelled);
    EXPECT_EQ(cancelled.error(), WorkflowFailure::cancelled());
}

struct ActivationFixture : DeployFixture {
    ActivationFixture() {
        fixture_session = session_of({.rows = {}});
        ports.procedure_versions->script.expression_set_version_activation.answer_with(
            [this](const std::string&, const std::string&, const std::string& id, bool active,
                   const domain::CancellationToken&) -> app::ports::PortResult<void> {
                requests.push_back(id + (active ? "+" : "-"));
                return {};
            });
    }
    std::shared_ptr<ComparisonSession> fixture_session;
    std::vector<std::string> requests;
};

app::PendingActivation pending(std::string version) {
    return app::PendingActivation{ComponentKey{wire("ExpressionSetDefinitionVersion"), version}, "Def", version, "0old",
                                  "Old"};
}

std::vector<ComponentDeploymentResult> deployed(const std::vector<app::PendingActivation>& all) {
    std::vector<ComponentDeploymentResult> results;
    for (const auto& p : all) results.push_back({p.key, "ok", ChangeKind::Add, ComponentDeploymentStatus::Succeeded});
    return results;
}

TEST(ActivateDeployedVersions, NotesPerOutcome) {
    struct Case {
        std::string name;
        app::ports::PortResult<Records> listing;
        std::vector<app::ports::PortResult<void>> changes;
        std::string note;
        std::vector<std::string> requests;
    };
    const std::vector<Case> cases{
        {"deactivates the first active", Records{{"0a", "Old", true}, {"0b", "Other", true}, {"0v", "V2", false}}, {},
         "ok Activated in the target; Old deactivated.", {"0a-", "0v+"}},
        {"nothing active", Records{{"0v", "V2", false}}, {}, "ok Activated in the target.", {"0v+"}},
        {"already active", Records{{"0v", "V2", true}}, {}, "ok Already active in the target.", {}},
        {"version missing", Records{{"0a", "Cur", true}}, {},
         "ok Activation skipped: the target lists no V2 after the deploy; Cur is still active.", {}},
        {"listing failed", std::unexpected(WorkflowFailure::operation("down")), {},
         "ok Activation skipped: the target's versions could not be read (down); Old is still active.", {}},
        {"deactivation failed", Records{{"0a", "Cur", true}, {"0v", "V2", false}},
         {std::unexpected(WorkflowFailure::operation("locked"))},
         "ok Activation failed: Cur could not be deactivated (locked); Cur is still active.", {}},
        {"activation failed", Records{{"0a", "Cur", true}, {"0v", "V2", false}},
         {{}, std::unexpected(WorkflowFailure::operation("invalid"))},
         "ok Activation failed: V2 could not be activated (invalid); no version of Def is active now — activate one in "
         "Setup.",
         {}},
        {"activation cancelled", Records{{"0a", "Cur", true}, {"0v", "V2", false}},
         {{}, std::unexpected(WorkflowFailure::cancelled())},
         "ok Activation cancelled after Cur was deactivated; no version of Def is active now — activate one in Setup.", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ActivationFixture fixture;
        fixture.ports.procedure_versions->script.expression_set_version_listing.answer(c.listing);
        for (const auto& change : c.changes) fixture.ports.procedure_versions->script.expression_set_version_activation.answer(change);
        const std::vector<app::PendingActivation> all{pending("V2")};
        auto results = deployed(all);
        fixture.service().activate_deployed_expression_set_versions(*fixture.fixture_session, all, results,
                                                                    DeployMode::BestEffort, fixture.never);
        EXPECT_EQ(results[0].message, c.note);
        EXPECT_EQ(results[0].status, ComponentDeploymentStatus::Succeeded);
        if (c.changes.empty()) {
            EXPECT_EQ(fixture.requests, c.requests);
        }
    }
}

TEST(ActivateDeployedVersions, GatesAndCancellationStopTheRest) {
    const std::vector<app::PendingActivation> all{pending("V1"), pending("V2"), pending("V3")};
    {
        ActivationFixture fixture;
        auto results = deployed(all);
        fixture.service().activate_deployed_expression_set_versions(*fixture.fixture_session, all, results,
                                                                    DeployMode::ValidateOnly, fixture.never);
        EXPECT_EQ(results, deployed(all));
        auto unconfirmed = session_of({.rows = {}, .target_class = app::TargetOrgClass::Unconfirmed});
        fixture.service().activate_deployed_expression_set_versions(*unconfirmed, all, results, DeployMode::BestEffort,
                                                                    fixture.never);
        EXPECT_EQ(results, deployed(all));
        EXPECT_EQ(fixture.ports.procedure_versions->script.expression_set_version_listing.count(), 0u);
    }
    ActivationFixture fixture;
    fixture.ports.procedure_versions->script.expression_set_version_listing.answer(Records{{"0v1", "V1", false}});
    testing::TestToken token([&] { return !fixture.requests.empty(); });
    auto results = deployed(all);
    results[0].status = ComponentDeploymentStatus::Failed;
    const std::vector<app::PendingActivation> ordered{pending("V0"), pending("V1"), pending("V2"), pending("V3")};
    std::vector<ComponentDeploymentResult> with_failed{{ordered[0].key, "bad", ChangeKind::Add, ComponentDeploymentStatus::Failed}};
    for (const auto& r : deployed(all)) with_failed.push_back(r);
    fixture.service().activate_deployed_expression_set_versions(*fixture.fixture_session, ordered, with_failed,
                                                                DeployMode::BestEffort, token);
    EXPECT_EQ(with_failed[0].message, "bad");
    EXPECT_EQ(with_failed[1].message, "ok Activated in the target.");
    EXPECT_EQ(with_failed[2].message, "ok Activation cancelled: Old is still active.");
    EXPECT_EQ(with_failed[3].message, "ok");
}

TEST(TransferDeployedModels, OnlyDeployedModelsTravelAndReportBack) {
    const auto definition = wire("ExpressionSetDefinition");
    app::ModelExpansion expansion;
    for (std::string name : {"A", "B", "C", "D"})
        expansion.models.emplace(ComponentKey{definition, name},
                                 app::ExpandedModel{{MetadataType::ConstraintModel, name}, "", "<" + name + "/>", ChangeKind::Add});
    auto results = std::vector<ComponentDeploymentResult>{
        {{MetadataType::ConstraintModel, "A"}, "Definition A deployed.", ChangeKind::Add, ComponentDeploymentStatus::Succeeded},
        {{MetadataType::ConstraintModel, "B"}, "Definition B deployed.", ChangeKind::Add, ComponentDeploymentStatus::Succeeded},
        {{MetadataType::ConstraintModel, "C"}, "bad", ChangeKind::Add, ComponentDeploymentStatus::Failed},
        {{MetadataType::ConstraintModel, "D"}, "Definition D deployed.", ChangeKind::Add, ComponentDeploymentStatus::Succeeded},
    };
    DeployFixture fixture;
    fixture.ports.bundle->script.constraint_model_transfer.answer(
        std::vector<deployment::ModelRowOutcome>{{"A", "done", true}, {"D", "refused", false}});
    auto session = session_of({.rows = {}});
    auto answered = results;
    fixture.service().transfer_deployed_models(*session, expansion, answered, fixture.never);
    const auto requests = fixture.ports.bundle->script.constraint_model_transfer.calls();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(std::get<0>(requests[0]),
              (deployment::ModelDeployRequest{"tgt@example.com", {{"A", "<A/>"}, {"B", "<B/>"}, {"D", "<D/>"}}, "65.0"}));
    EXPECT_EQ(answered[0].message, "Definition A deployed. done");
    EXPECT_EQ(answered[1], (ComponentDeploymentResult{{MetadataType::ConstraintModel, "B"},
                                                      "Definition B deployed. The model transfer did not report this model.",
                                                      ChangeKind::Add, ComponentDeploymentStatus::Failed}));
    EXPECT_EQ(answered[2], results[2]);
    EXPECT_EQ(answered[3].status, ComponentDeploymentStatus::Failed);

    DeployFixture failing;
    failing.ports.bundle->script.constraint_model_transfer.answer(
        std::unexpected(WorkflowFailure::single(FailureKind::Cancelled, "The transfer was cancelled.")));
    auto failed = results;
    failing.service().transfer_deployed_models(*session, expansion, failed, failing.never);
    EXPECT_EQ(failed[0].status, ComponentDeploymentStatus::Failed);
    EXPECT_EQ(failed[0].message, "Definition A deployed. The transfer was cancelled.");

    DeployFixture idle;
    auto none = std::vector<ComponentDeploymentResult>{results[2]};
    idle.service().transfer_deployed_models(*session, expansion, none, idle.never);
    EXPECT_EQ(idle.ports.bundle->script.constraint_model_transfer.count(), 0u);
}

}  // namespace
}  // namespace ambrel::deploy_tests
