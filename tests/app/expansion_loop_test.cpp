// The widening loop on its own, through the recording fakes.

#include "app/expansion_loop.hpp"

#include <gtest/gtest.h>

#include "compare_world.hpp"

namespace ambrel::app_tests {
namespace {

using app::CompareSelection;
using app::ExpansionSettings;
using app::WorkflowFailure;
using Strings = std::vector<std::string>;

ExpansionSettings plain_settings() {
    return ExpansionSettings{
        .source_org = kSourceUser,
        .target_org = kTargetUser,
        .manifest_of = [](const CompareSelection& current) { return current; },
        .object_names_of = [](const CompareSelection&) { return std::set<std::string>(); },
        .api_version = "65.0",
        .discovery_org = kSourceUser,
        .target_object_names = {},
    };
}

std::string class_name(int n) { return "C" + std::to_string(n); }

// Every class Cn requires C(n+1): each pass discovers one new class.
void chain_classes(CompareWorld& world, int count) {
    for (int n = 0; n <= count; ++n) {
        world.source[MetadataType::ApexClass].push_back(component(MetadataType::ApexClass, class_name(n)));
    }
    world.ports.core->script.dependency_discovery.answer_with(
        [](const std::string&, const std::vector<ComponentKey>& keys, const domain::CancellationToken&) {
            dependency::DependencyGraph graph;
            for (const ComponentKey& read : keys) {
                const int n = std::stoi(read.name.substr(1));
                graph.edges[read] = {key(MetadataType::ApexClass, class_name(n + 1))};
            }
            return app::ports::PortResult<app::ports::DependencyDiscovery>(graph);
        });
}

struct Expansion {
    std::expected<app::ExpansionOutcome, WorkflowFailure> outcome;
    CompareSelection working;
    dependency::WarningList warnings;
    std::optional<dependency::DependencyGraph> graph;
};

Expansion expand(CompareWorld& world, const CompareSelection& requested, const domain::CancellationToken& token,
           const ExpansionSettings& settings = plain_settings()) {
    Expansion run{.outcome = {}, .working = requested, .warnings = {}, .graph = {}};
    run.outcome = app::run_dependency_expansion(*world.ports.core, settings, requested, run.working, run.warnings,
                                                run.graph, token);
    return run;
}

TEST(ExpansionLoop, NothingToFollowEndsAfterOnePassWithOneRetrieve) {
    CompareWorld world;
    world.source[MetadataType::ApexClass] = {component(MetadataType::ApexClass, "A")};
    testing::TestToken token;
    const Expansion run = expand(world, {{MetadataType::ApexClass, {"A"}}}, token);
    ASSERT_TRUE(run.outcome);
    EXPECT_EQ(run.outcome->widenings, 0U);
    EXPECT_EQ(run.outcome->stop, app::ExpansionStop::NothingNew);
    EXPECT_EQ(world.ports.core->script.metadata_retrieval.count(), 1U);
    EXPECT_EQ(run.outcome->retrieved.workspace, world.fixture.workspace());
    EXPECT_TRUE(run.warnings.empty());
    EXPECT_EQ(run.graph, dependency::DependencyGraph{});
}

TEST(ExpansionLoop, StopsAfterTenWideningsWithOneWarning) {
    CompareWorld world;
    chain_classes(world, 20);
    testing::TestToken token;
    const Expansion run = expand(world, {{MetadataType::ApexClass, {"C0"}}}, token);
    ASSERT_TRUE(run.outcome) << run.outcome.error().detail_text();
    EXPECT_EQ(run.outcome->widenings, 10U);
    EXPECT_EQ(run.outcome->stop, app::ExpansionStop::WideningLimit);
    // A first retrieve and one per widening.
    EXPECT_EQ(world.ports.core->script.metadata_retrieval.count(), 11U);
    std::set<std::string> expected;
    for (int n = 0; n <= 10; ++n) expected.insert(class_name(n));
    EXPECT_EQ(run.working.at(MetadataType::ApexClass), expected);
    EXPECT_EQ(run.warnings,
              (Strings{"Dependency expansion stopped after 10 iterations; remaining dependencies were not followed."}));
    // Every pass asked discovery only about the class it read for the first time.
    const auto discoveries = world.ports.core->script.dependency_discovery.calls();
    ASSERT_EQ(discoveries.size(), 11U);
    EXPECT_EQ(std::get<1>(discoveries[10]), (std::vector<ComponentKey>{key(MetadataType::ApexClass, "C10")}));
    ASSERT_TRUE(run.graph);
    EXPECT_EQ(run.graph->edges.size(), 11U);
}

TEST(ExpansionLoop, LaterRetrievesCarryWhatWasRetrievedBefore) {
    CompareWorld world;
    chain_classes(world, 2);
    world.ports.core->script.dependency_discovery.answer(app::ports::DependencyDiscovery(dependency::DependencyGraph{
        .warnings = {}, .edges = {{key(MetadataType::ApexClass, "C0"), {key(MetadataType::ApexClass, "C1")}}},
        .unresolved = {}}));
    world.ports.core->script.dependency_discovery.answer(app::ports::DependencyDiscovery(dependency::DependencyGraph{}));
    testing::TestToken token;
    const Expansion run = expand(world, {{MetadataType::ApexClass, {"C0"}}}, token);
    ASSERT_TRUE(run.outcome);
    EXPECT_EQ(run.outcome->widenings, 1U);
    const auto retrieves = world.ports.core->script.metadata_retrieval.calls();
    ASSERT_EQ(retrieves.size(), 2U);
    EXPECT_FALSE(std::get<4>(retrieves[0]));
    ASSERT_TRUE(std::get<4>(retrieves[1]));
    EXPECT_EQ(std::get<4>(retrieves[1])->retrieved, (CompareSelection{{MetadataType::ApexClass, {"C0"}}}));
    EXPECT_EQ(std::get<2>(retrieves[1]), (CompareSelection{{MetadataType::ApexClass, {"C0", "C1"}}}));
}

TEST(ExpansionLoop, AComponentLostByALaterRetrieveEndsTheCompare) {
    CompareWorld world;
    chain_classes(world, 3);
    auto& reading = world.ports.core->script.component_reading;
    reading.answer(std::vector<domain::MetadataComponent>{component(MetadataType::ApexClass, "C0")});
    reading.answer(std::vector<domain::MetadataComponent>{component(MetadataType::ApexClass, "C1")});
    testing::TestToken token;
    const Expansion run = expand(world, {{MetadataType::ApexClass, {"C0"}}}, token);
    ASSERT_FALSE(run.outcome);
    EXPECT_EQ(run.outcome.error(), WorkflowFailure::operation(
                                       "Incremental retrieve lost previously downloaded metadata; re-run the comparison."));
    EXPECT_TRUE(world.workspace_removed());
}

TEST(ExpansionLoop, ACancellationBeforeTheFirstRetrieveLeavesNothingBehind) {
    CompareWorld world;
    testing::TestToken token;
    token.cancel();
    const Expansion run = expand(world, {{MetadataType::ApexClass, {"C0"}}}, token);
    ASSERT_FALSE(run.outcome);
    EXPECT_EQ(run.outcome.error(), WorkflowFailure::cancelled());
    EXPECT_EQ(world.ports.core->script.metadata_retrieval.count(), 0U);
    EXPECT_FALSE(world.workspace_removed());
}

TEST(ExpansionLoop, FailuresAfterTheFirstRetrieveRemoveTheWorkspace) {
    struct Case {
        const char* name;
        int failing_retrieve;  // 0: none
        bool failing_read;
        bool failing_discovery;
        bool cancel_in_discovery;
        bool removed;
    };
    const std::vector<Case> cases{
        {"first retrieve fails", 1, false, false, false, false},
        {"second retrieve fails", 2, false, false, false, true},
        {"reading fails", 0, true, false, false, true},
        {"discovery fails", 0, false, true, false, true},
        {"cancelled after a widening", 0, false, false, true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CompareWorld world;
        chain_classes(world, 3);
        testing::TestToken token;
        auto& core = world.ports.core->script;
        const auto failure = WorkflowFailure::operation("port failed");
        if (c.failing_retrieve == 1) core.metadata_retrieval.answer(std::unexpected(failure));
        if (c.failing_retrieve == 2) {
            core.metadata_retrieval.answer(app::RetrievedWorkspace{world.fixture.workspace(), {}});
            core.metadata_retrieval.answer(std::unexpected(failure));
        }
        if (c.failing_read) core.component_reading.answer(std::unexpected(failure));
        if (c.failing_discovery) core.dependency_discovery.answer(std::unexpected(failure));
        if (c.cancel_in_discovery) {
            core.dependency_discovery.answer_with(
                [&token](const std::string&, const std::vector<ComponentKey>&, const domain::CancellationToken&) {
                    token.cancel();
                    dependency::DependencyGraph graph;
                    graph.edges[key(MetadataType::ApexClass, "C0")] = {key(MetadataType::ApexClass, "C1")};
                    return app::ports::PortResult<app::ports::DependencyDiscovery>(graph);
                });
        }
        const Expansion run = expand(world, {{MetadataType::ApexClass, {"C0"}}}, token);
        ASSERT_FALSE(run.outcome);
        EXPECT_EQ(run.outcome.error(), c.cancel_in_discovery ? WorkflowFailure::cancelled() : failure);
        EXPECT_EQ(world.workspace_removed(), c.removed);
    }
}

TEST(ExpansionLoop, AnEmptyTypeIsReadButKeepsNothing) {
    CompareWorld world;
    world.source[MetadataType::ApexPage] = {component(MetadataType::ApexPage, "Stray")};
    world.source[MetadataType::ApexClass] = {component(MetadataType::ApexClass, "A")};
    testing::TestToken token;
    const Expansion run = expand(world, {{MetadataType::ApexClass, {"A"}}, {MetadataType::ApexPage, {}}}, token);
    ASSERT_TRUE(run.outcome) << run.outcome.error().detail_text();
    const Strings calls = world.calls();
    EXPECT_NE(std::find(calls.begin(), calls.end(), "read source ApexPage"), calls.end());
    EXPECT_EQ(std::get<1>(world.ports.core->script.dependency_discovery.calls().at(0)),
              (std::vector<ComponentKey>{key(MetadataType::ApexClass, "A")}));
}

TEST(ExpansionLoop, ObjectChildrenBringTheirObjectUnlessTheTargetHasIt) {
    CompareWorld world;
    const auto record_type = *metadata_types::metadata_type_by_wire_id("RecordType");
    world.source[record_type] = {component(record_type, "Widget__c.Big"), component(record_type, "Gizmo__c.Small")};
    ExpansionSettings settings = plain_settings();
    settings.target_object_names = {"Widget__c"};
    testing::TestToken token;
    const Expansion run = expand(world, {{record_type, {"Widget__c.Big", "Gizmo__c.Small"}}}, token, settings);
    ASSERT_TRUE(run.outcome) << run.outcome.error().detail_text();
    EXPECT_EQ(run.outcome->widenings, 1U);
    EXPECT_EQ(run.working.at(MetadataType::CustomObject), (std::set<std::string>{"Gizmo__c", "Widget__c"}));
    EXPECT_EQ(run.working.at(MetadataType::CustomField), (std::set<std::string>{"Gizmo__c"}));
}

// A discovery that answered "disabled" for a passing reason (a time-out) answered for none of the
// keys it was asked about: the next pass asks about them again, with what it read for the first time,
// and what they require is selected; keys a discovery answered for are never asked about twice.
TEST(ExpansionLoop, KeysADisabledDiscoveryLeftUnansweredAreAskedAgainInTheNextPass) {
    CompareWorld world;
    const auto record_type = *metadata_types::metadata_type_by_wire_id("RecordType");
    world.source[record_type] = {component(record_type, "Widget__c.Big")};
    world.source[MetadataType::CustomObject] = {component(MetadataType::CustomObject, "Widget__c")};
    world.source[MetadataType::ApexClass] = {component(MetadataType::ApexClass, "A"),
                                             component(MetadataType::ApexClass, "C")};
    const std::string disabled = "Dependency auto-selection is disabled: the dependency query timed out.";
    auto& discovery = world.ports.core->script.dependency_discovery;
    discovery.answer(app::ports::DependencyDiscovery(app::ports::DiscoveryDisabled{disabled}));
    discovery.answer(app::ports::DependencyDiscovery(dependency::DependencyGraph{
        .warnings = {}, .edges = {{key(MetadataType::ApexClass, "A"), {key(MetadataType::ApexClass, "C")}}},
        .unresolved = {}}));
    discovery.answer(app::ports::DependencyDiscovery(dependency::DependencyGraph{}));
    testing::TestToken token;
    const Expansion run = expand(world, {{record_type, {"Widget__c.Big"}}, {MetadataType::ApexClass, {"A"}}}, token);
    ASSERT_TRUE(run.outcome) << run.outcome.error().detail_text();

    // The first pass widens by the record type's object alone; the second, once discovery answers,
    // by the class that A requires.
    EXPECT_EQ(run.outcome->widenings, 2U);
    EXPECT_EQ(run.working.at(MetadataType::ApexClass), (std::set<std::string>{"A", "C"}));
    const auto calls = discovery.calls();
    ASSERT_EQ(calls.size(), 3U);
    const auto& first_keys = std::get<1>(calls[0]);
    EXPECT_EQ(std::set<ComponentKey>(first_keys.begin(), first_keys.end()),
              (std::set<ComponentKey>{key(MetadataType::ApexClass, "A"), key(record_type, "Widget__c.Big")}));
    const auto& second_keys = std::get<1>(calls[1]);
    EXPECT_EQ(std::set<ComponentKey>(second_keys.begin(), second_keys.end()),
              (std::set<ComponentKey>{key(MetadataType::ApexClass, "A"), key(MetadataType::CustomObject, "Widget__c"),
                                      key(record_type, "Widget__c.Big")}));
    EXPECT_EQ(second_keys.size(), 3U);
    EXPECT_EQ(std::get<1>(calls[2]), (std::vector<ComponentKey>{key(MetadataType::ApexClass, "C")}));
    EXPECT_EQ(run.warnings, (Strings{disabled}));
    ASSERT_TRUE(run.graph);
    EXPECT_EQ(run.graph->edges.at(key(MetadataType::ApexClass, "A")),
              (std::set<ComponentKey>{key(MetadataType::ApexClass, "C")}));
}

// A discovery that stays disabled is asked about the unanswered keys once per pass, and the loop still
// ends when the document rules add nothing.
TEST(ExpansionLoop, ADiscoveryThatStaysDisabledIsAskedOncePerPass) {
    CompareWorld world;
    const auto record_type = *metadata_types::metadata_type_by_wire_id("RecordType");
    world.source[record_type] = {component(record_type, "Widget__c.Big")};
    world.source[MetadataType::CustomObject] = {component(MetadataType::CustomObject, "Widget__c")};
    const std::string disabled = "Dependency auto-selection is disabled: the org refused the Tooling API.";
    world.ports.core->script.dependency_discovery.answer_with(
        [&disabled](const std::string&, const std::vector<ComponentKey>&, const domain::CancellationToken&) {
            return app::ports::PortResult<app::ports::DependencyDiscovery>(app::ports::DiscoveryDisabled{disabled});
        });
    testing::TestToken token;
    const Expansion run = expand(world, {{record_type, {"Widget__c.Big"}}}, token);
    ASSERT_TRUE(run.outcome) << run.outcome.error().detail_text();
    EXPECT_EQ(run.outcome->widenings, 1U);
    const auto calls = world.ports.core->script.dependency_discovery.calls();
    ASSERT_EQ(calls.size(), 2U);
    EXPECT_EQ(std::get<1>(calls[0]), (std::vector<ComponentKey>{key(record_type, "Widget__c.Big")}));
    const auto& second_keys = std::get<1>(calls[1]);
    EXPECT_EQ(std::set<ComponentKey>(second_keys.begin(), second_keys.end()),
              (std::set<ComponentKey>{key(MetadataType::CustomObject, "Widget__c"), key(record_type, "Widget__c.Big")}));
    EXPECT_EQ(run.warnings, (Strings{disabled}));
    EXPECT_FALSE(run.graph);
}

TEST(ExpansionLoop, ExpressionSetTypesAreTheDefinitionThenTheVersion) {
    const auto types = app::expression_set_types();
    ASSERT_EQ(types.size(), 2U);
    EXPECT_EQ(types[0].wire_id(), "ExpressionSetDefinition");
    EXPECT_EQ(types[1].wire_id(), "ExpressionSetDefinitionVersion");
}

TEST(MergeAnalysis, UnitesEdgesAndKeepsDistinctUnresolvedReferences) {
    const ComponentKey a = key(MetadataType::ApexClass, "A");
    const ComponentKey b = key(MetadataType::ApexClass, "B");
    const ComponentKey c = key(MetadataType::ApexClass, "C");
    std::optional<dependency::DependencyGraph> accumulated;
    dependency::DependencyGraph first;
    first.warnings = {"kept out"};
    first.edges[a] = {b};
    first.unresolved[a] = {dependency::UnresolvedDependency{"X", "missing"}};
    app::merge_analysis(accumulated, first);
    ASSERT_TRUE(accumulated);
    EXPECT_EQ(*accumulated, first);  // the first graph is taken as it is

    accumulated->warnings.clear();
    dependency::DependencyGraph second;
    second.warnings = {"not merged"};
    second.edges[a] = {c};
    second.edges[b] = {c};
    second.unresolved[a] = {dependency::UnresolvedDependency{"X", "missing"},
                            dependency::UnresolvedDependency{"X", "other message"}};
    app::merge_analysis(accumulated, second);
    EXPECT_TRUE(accumulated->warnings.empty());
    EXPECT_EQ(accumulated->edges.at(a), (std::set<ComponentKey>{b, c}));
    EXPECT_EQ(accumulated->edges.at(b), (std::set<ComponentKey>{c}));
    EXPECT_EQ(accumulated->unresolved.at(a),
              (std::vector<dependency::UnresolvedDependency>{{"X", "missing"}, {"X", "other message"}}));
}

}  // namespace
}  // namespace ambrel::app_tests
