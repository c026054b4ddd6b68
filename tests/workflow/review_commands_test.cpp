#include <optional>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "deploy_fixtures.hpp"
#include "metadata/workspace/workspace.hpp"
#include "support/test_paths.hpp"

namespace ambrel::workflow {
namespace {

using namespace testing;
using metadata_types::LayoutComparisonMode;

endpoint::DeployEndpoint org_with_id(std::string alias, std::string id) {
    auto endpoint = org(std::move(alias));
    std::get<endpoint::DeployEndpoint::Org>(endpoint.value).org.org_id = std::move(id);
    return endpoint;
}

struct Choice {
    std::optional<endpoint::DeployEndpoint> source;
    std::optional<endpoint::DeployEndpoint> target;
    ManifestSelection manifest;
    MetadataType current_type = MetadataType::ApexClass;
};

void choose(Harness& h, Choice choice) {
    auto guard = h.inner().lock();
    State& state = h.inner().state(guard);
    state.source = std::move(choice.source);
    state.target = std::move(choice.target);
    state.manifest = std::move(choice.manifest);
    state.current_type = choice.current_type;
}

ManifestSelection manifest_of(Harness& h) {
    auto guard = h.inner().lock();
    return h.inner().state(guard).manifest;
}

std::optional<std::uint64_t> compare(Harness& h, std::set<std::string> names) {
    return h.controller->compare_with_options(std::move(names), LayoutComparisonMode::Elements, true, false);
}

TEST(Compare, RefusalsAreShownOnTheSelectionScreen) {
    struct Case {
        std::string name;
        Choice choice;
        std::set<std::string> current;
        std::optional<std::string> refusal;
    };
    const ManifestSelection flows = {{MetadataType::Flow, {"Go"}}};
    const std::vector<Case> cases = {
        {"no source", {std::nullopt, org("b"), flows}, {}, "Select a source org or git repository."},
        {"no target", {org("a"), std::nullopt, flows}, {}, "Select a target org or git repository."},
        {"no members", {org("a"), org("b"), {}}, {}, "Select at least one component."},
        {"blank org id", {org_with_id("a", "  "), org("b"), flows}, {}, "Could not resolve the selected Salesforce org IDs."},
        {"same org in other case and spaces", {org_with_id("a", "00Dabc"), org_with_id("b", " 00DABC "), flows}, {},
         "Source and target must be different Salesforce orgs."},
        {"members of another type only", {org("a"), org("b"), flows}, {}, std::nullopt},
        {"current selection only", {org("a"), org("b"), {}}, {"Svc"}, std::nullopt},
        {"git source skips the org ids", {git_endpoint(), org_with_id("b", ""), flows}, {}, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Harness h;
        choose(h, c.choice);
        const auto id = compare(h, c.current);
        EXPECT_EQ(id.has_value(), !c.refusal.has_value());
        if (c.refusal) {
            ASSERT_EQ(h.kind(), "selecting");
            EXPECT_EQ(std::get<SelectingState>(*h.state()).error_message, c.refusal);
            // The names of a refused compare are not stored.
            EXPECT_EQ(manifest_of(h), c.choice.manifest);
        } else {
            EXPECT_EQ(h.kind(), "comparing");
            EXPECT_EQ(manifest_of(h).contains(MetadataType::ApexClass), !c.current.empty());
        }
    }
}

TEST(Compare, ARefusalWhileReviewingKeepsTheRows) {
    DeployRoad road({{row(MetadataType::ApexClass, "Svc")}});
    choose(road.h, {org("a"), std::nullopt, {}});
    EXPECT_EQ(compare(road.h, {"Svc"}), std::nullopt);
    const auto& reviewing = std::get<ReviewingState>(*road.h.state());
    EXPECT_EQ(reviewing.rows.size(), 1U);
    EXPECT_EQ(reviewing.error_message, "Select a target org or git repository.");
}

TEST(Compare, ShowsTheReviewOfTheNewSession) {
    Harness h;
    choose(h, {org("a"), org("b"), {{MetadataType::Flow, {"Go"}}}});
    RowSession probe({{row(MetadataType::ApexClass, "Svc")}});
    h.use_cases->script.compare_endpoints_with_settings.answer(probe.session);
    ASSERT_TRUE(compare(h, {"Svc"}));
    h.settle();
    ASSERT_EQ(h.kind(), "reviewing");
    EXPECT_EQ(session_of(*h.state()), probe.session);
    EXPECT_EQ(h.copy_of_state().current_session, probe.session);
    const auto calls = h.use_cases->script.compare_endpoints_with_settings.calls();
    ASSERT_EQ(calls.size(), 1U);
    const ManifestSelection expected = {{MetadataType::ApexClass, {"Svc"}}, {MetadataType::Flow, {"Go"}}};
    EXPECT_EQ(std::get<2>(calls[0]), expected);
    EXPECT_EQ(std::get<3>(calls[0]), LayoutComparisonMode::Elements);
    EXPECT_TRUE(std::get<4>(calls[0]));
    EXPECT_FALSE(std::get<5>(calls[0]));
}

TEST(Compare, OnlyTheSecondOfTwoComparesIsShownAndTheFirstSessionIsClosed) {
    Harness h;
    choose(h, {org("a"), org("b"), {{MetadataType::Flow, {"Go"}}}});
    RowSession first(SessionSpec{});
    RowSession second(SessionSpec{});
    h.use_cases->script.compare_endpoints_with_settings.answer(first.session);
    h.use_cases->script.compare_endpoints_with_settings.answer(second.session);
    ASSERT_TRUE(compare(h, {}));
    h.background->run_all();
    ASSERT_TRUE(compare(h, {}));
    h.settle();
    EXPECT_EQ(session_of(*h.state()), second.session);
    EXPECT_EQ(first.close_count(), 1);
    EXPECT_EQ(second.close_count(), 0);
    for (const auto& seen : *h.seen) {
        if (seen.kind == "reviewing") {
            EXPECT_EQ(seen.operation_id, 2U);
        }
    }
}

TEST(Compare, ANewComparisonForgetsTheTargetFixes) {
    DeployRoad road(SessionSpec{});
    {
        auto guard = road.h.inner().lock();
        road.h.inner().state(guard).accumulated_target_fix = AccumulatedTargetFix{{"x"}, road.session()->id(), {}};
    }
    choose(road.h, {org("a"), org("b"), {{MetadataType::Flow, {"Go"}}}});
    RowSession next(SessionSpec{});
    road.h.use_cases->script.compare_endpoints_with_settings.answer(next.session);
    ASSERT_TRUE(compare(road.h, {}));
    road.h.settle();
    EXPECT_FALSE(road.accumulated().has_value());
    EXPECT_EQ(road.probe.close_count(), 1);
}

TEST(Review, EditOfAnotherSessionIsRefused) {
    DeployRoad road({{row(MetadataType::ApexClass, "Svc")}});
    EXPECT_FALSE(
        road.h.controller->set_component_body(road.session()->id() + 100, MetadataType::ApexClass, "Svc", "x").has_value());
}

TEST(Review, AnEditRepublishesTheReviewWithFreshRowsAndTheSameMessage) {
    ambrel::testing::TempDir anchor;
    auto location = metadata::workspace::WorkspaceTrustAnchor::at(anchor.path()).workspace_at(anchor.path() / "quillary");
    ASSERT_TRUE(location.has_value());
    auto workspace = metadata::workspace::MetadataWorkspace::create(*location, "65.0");
    ASSERT_TRUE(workspace.has_value());
    auto apex = row(MetadataType::ApexClass, "Svc");
    apex.source.body = domain::ComponentBody{"classes/Svc.cls", "public class Svc {}"};
    app::ComparisonSession::Parts parts;
    parts.source = org("src");
    parts.target = org("tgt");
    parts.rows = {apex};
    parts.workspace = *workspace;
    const SessionRef session = app::ComparisonSession::from_parts(std::move(parts));

    Harness h;
    h.set_current_session(session);
    h.inner().transition(ReviewingState{session, session->ui_differences(), "earlier message", std::nullopt});
    h.settle();
    auto edited = h.controller->set_component_body(session->id(), MetadataType::ApexClass, "Svc", "public class Svc { }");
    ASSERT_TRUE(edited.has_value());
    ASSERT_TRUE(edited->has_value());
    EXPECT_TRUE(**edited);
    const auto& reviewing = std::get<ReviewingState>(*h.state());
    ASSERT_EQ(reviewing.rows.size(), 1U);
    EXPECT_TRUE(reviewing.rows[0].edited);
    EXPECT_EQ(reviewing.error_message, "earlier message");

    // Dropping the edit answers false and clears the flag.
    edited = h.controller->set_component_body(session->id(), MetadataType::ApexClass, "Svc", std::nullopt);
    ASSERT_TRUE(edited && edited->has_value());
    EXPECT_FALSE(**edited);
    EXPECT_FALSE(std::get<ReviewingState>(*h.state()).rows[0].edited);
    ASSERT_TRUE(session->close());
}

TEST(Review, BackToReviewShowsTheRowsOfTheScreen) {
    DeployRoad road({{row(MetadataType::ApexClass, "Svc")}});
    SelectingTestsState tests;
    tests.session = road.session();
    tests.rows = {row(MetadataType::Flow, "Shown")};
    road.h.inner().transition(tests);
    EXPECT_EQ(road.h.controller->back_to_review(), std::nullopt);
    const auto& reviewing = std::get<ReviewingState>(*road.h.state());
    EXPECT_EQ(reviewing.rows, tests.rows);
    EXPECT_EQ(reviewing.session, road.session());
    // Anywhere else it changes nothing.
    road.h.inner().transition(error_state("x"));
    EXPECT_EQ(road.h.controller->back_to_review(), std::nullopt);
    EXPECT_EQ(road.h.kind(), "error");
}

TEST(Review, BackToSelectionDisposesOfTheSession) {
    struct Case {
        std::string name;
        MetadataType current_type;
        std::size_t components;
    };
    const std::vector<Case> cases = {
        {"listed type", MetadataType::ApexClass, 1},
        // A record-data type has no listing and no descriptor: it shows no members.
        {"record-data type", MetadataType::DataRecord(0), 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        DeployRoad road(SessionSpec{});
        {
            auto guard = road.h.inner().lock();
            State& state = road.h.inner().state(guard);
            state.current_type = c.current_type;
            state.listing_cache[MetadataType::ApexClass.descriptor().listing_strategy] = {
                cli::catalogs::SalesforceObject{"Svc", "Svc"}};
        }
        ASSERT_TRUE(road.h.controller->back_to_selection());
        ASSERT_EQ(road.h.kind(), "returningToSelection");
        EXPECT_EQ(std::get<ReturningToSelectionState>(*road.h.state()).components.size(), c.components);
        road.h.settle();
        ASSERT_EQ(road.h.kind(), "selecting");
        EXPECT_EQ(std::get<SelectingState>(*road.h.state()).components.size(), c.components);
        EXPECT_EQ(road.probe.close_count(), 1);
        EXPECT_EQ(road.h.copy_of_state().current_session, nullptr);
    }
}

TEST(Review, BackToSelectionIsRefusedDuringAnOperationOrOffTheReview) {
    DeployRoad road(SessionSpec{});
    ASSERT_TRUE(road.h.start_keeping(OperationKind::MatchFls));
    EXPECT_EQ(road.h.controller->back_to_selection(), std::nullopt);
    road.h.settle();
    road.h.inner().transition(error_state("x"));
    EXPECT_EQ(road.h.controller->back_to_selection(), std::nullopt);
    EXPECT_EQ(road.h.kind(), "error");
}

}  // namespace
}  // namespace ambrel::workflow
