#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "deploy_fixtures.hpp"
#include "selection_support.hpp"
#include "session_export/session_scenario.hpp"
#include "support/test_paths.hpp"

namespace ambrel::workflow {
namespace {

namespace fs = std::filesystem;
using namespace testing;
using metadata_types::LayoutComparisonMode;

using Names = std::vector<std::string>;

fs::path write_file(const fs::path& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
    return path;
}

// The source lists the same members for every type.
void source_lists(Harness& h, const std::vector<std::string>& names) {
    h.use_cases->script.list_source_objects.answer_with(
        [names](const endpoint::DeployEndpoint&, MetadataType, const domain::CancellationToken&)
            -> app::UseCaseResult<std::vector<cli::catalogs::SalesforceObject>> { return members(names); });
}

std::optional<PendingScenario> pending_of(Harness& h) {
    return with_state(h, [](State& state) { return state.pending_scenario; });
}

const std::vector<domain::ComponentDifference> kRows = {row(MetadataType::ApexClass, "Svc"),
                                                         row(MetadataType::Flow, "Go"),
                                                         row(MetadataType::Layout, "Account-Layout")};

// ---- Export ----

TEST(SessionExport, ScreensThatCannotBeExportedRefuseAndWriteNothing) {
    struct Case {
        std::string name;
        WorkflowState screen;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"loading orgs", LoadingOrgsState{}, "The session cannot be exported while the screen is still loading. Wait for it to finish."},
        {"returning", ReturningToSelectionState{}, "The session cannot be exported while the screen is still loading. Wait for it to finish."},
        {"comparing", ComparingState{org("a"), org("b"), {}}, "The session cannot be exported while the comparison is running. Wait for the differences."},
        {"target health", TargetHealthState{}, "The target health check is waiting for a decision."},
        {"deploying", DeployingState{}, "The session cannot be exported while a deployment is running. Wait for the results screen."},
        {"quick deploying", QuickDeployingState{}, "The session cannot be exported while a deployment is running. Wait for the results screen."},
        {"error", error_state("boom"), "The session cannot be exported from the error screen: no session content is left to write."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ambrel::testing::TempDir temp;
        Harness h;
        show_selecting(h, [](State& state) { state.manifest[MetadataType::Flow] = {"Go"}; });
        h.inner().transition(c.screen);
        h.settle();
        const auto answer = h.controller->export_session(temp.path() / "s.json", {});
        ASSERT_FALSE(answer);
        EXPECT_EQ(answer.error(), c.message);
        EXPECT_FALSE(fs::exists(temp.path() / "s.json"));
    }
    Harness h;
    h.controller->close();
    EXPECT_EQ(h.controller->export_session("/nonexistent/s.json", {}).error(),
              "The session cannot be exported: the panel has been closed.");
}

TEST(SessionExport, TheSelectionScreenCommitsTheLiveSelection) {
    ambrel::testing::TempDir temp;
    Harness h;
    show_selecting(h, [](State& state) {
        state.orgs = listed_orgs({"dev", "qa"});
        state.source = org("dev");
        state.target = git_endpoint("/work/repos/app", "origin/main");
        state.current_type = MetadataType::ApexClass;
    });
    h.seen->clear();
    LiveScreenSelection live;
    live.current_selection = std::set<std::string>{"Svc"};
    ASSERT_TRUE(h.controller->export_session(temp.path() / "s.json", live));
    h.settle();
    ASSERT_EQ(h.seen->size(), 1U);
    EXPECT_EQ(as_selecting(*h.state()).manifest, (ManifestSelection{{MetadataType::ApexClass, {"Svc"}}}));
    const std::string text = ambrel::testing::read_file(temp.path() / "s.json");
    auto read = session_export::SessionScenario::from_json(text);
    ASSERT_TRUE(read) << read.error().message();
    EXPECT_EQ(read->screen, session_export::Screen::Selecting);
    EXPECT_FALSE(read->deploy_selection);
    EXPECT_EQ(read->source, (session_export::ScenarioEndpoint{session_export::ScenarioEndpoint::Org{"dev"}}));
    EXPECT_EQ(read->target,
              (session_export::ScenarioEndpoint{session_export::ScenarioEndpoint::Git{"app", "origin/main"}}));
    EXPECT_EQ(text.find("/work/repos"), std::string::npos);
    EXPECT_GT(read->captured_at, 0U);
}

TEST(SessionExport, AnEmptySelectionIsRefusedAndItsRemovalStays) {
    ambrel::testing::TempDir temp;
    Harness h;
    show_selecting(h, [](State& state) {
        state.current_type = MetadataType::ApexClass;
        state.manifest[MetadataType::ApexClass] = {"Svc"};
    });
    LiveScreenSelection live;
    live.current_selection = std::set<std::string>{};
    const auto answer = h.controller->export_session(temp.path() / "s.json", live);
    ASSERT_FALSE(answer);
    EXPECT_EQ(answer.error(), "Select at least one component before exporting the session.");
    EXPECT_FALSE(fs::exists(temp.path() / "s.json"));
    h.settle();
    EXPECT_TRUE(as_selecting(*h.state()).manifest.empty());
}

TEST(SessionExport, TheReviewWritesTheLiveKeysAndLeavesRecordDataOut) {
    ambrel::testing::TempDir temp;
    DeployRoad road({kRows});
    {
        auto guard = road.h.inner().lock();
        road.h.inner().state(guard).manifest = {{MetadataType::ApexClass, {"Svc"}}};
    }
    const auto path = temp.path() / "s.json";
    ASSERT_TRUE(road.h.controller->export_session(path, {}));
    auto read = session_export::read_session_scenario_file(path);
    ASSERT_TRUE(read) << read.error().message();
    EXPECT_EQ(read->deploy_selection, app::SelectedKeys{});
    EXPECT_EQ(read->permissions_mode, domain::FlsMode::None);
    EXPECT_EQ(read->screen, session_export::Screen::Reviewing);

    LiveScreenSelection live;
    live.selected_keys = app::SelectedKeys{key(MetadataType::Flow, "Go"), key(MetadataType::DataRecord(0), "R1")};
    live.fls_mode = domain::FlsMode::All;
    ASSERT_TRUE(road.h.controller->export_session(path, live));
    read = session_export::read_session_scenario_file(path);
    ASSERT_TRUE(read) << read.error().message();
    EXPECT_EQ(read->deploy_selection, (app::SelectedKeys{key(MetadataType::Flow, "Go")}));
    EXPECT_EQ(read->permissions_mode, domain::FlsMode::All);
}

TEST(SessionExport, DeployScreensTakeTheSnapshotAndTheLiveChoice) {
    ambrel::testing::TempDir temp;
    const auto path = temp.path() / "s.json";
    DeployRoad road({kRows});
    DeploySnapshot snapshot;
    snapshot.selected = {key(MetadataType::ApexClass, "Svc")};
    snapshot.fls_mode = domain::FlsMode::Additive;
    snapshot.deploy_mode = domain::DeployMode::ValidateOnly;
    snapshot.test_names = std::vector<std::string>{"OldTest"};
    snapshot.decision = DeployWithoutFixing{};
    {
        auto guard = road.h.inner().lock();
        State& state = road.h.inner().state(guard);
        state.manifest = {{MetadataType::ApexClass, {"Svc"}}};
        state.deploy_snapshot = snapshot;
    }
    road.h.inner().transition(SelectingTestsState{road.session(), kRows, {}, snapshot.selected, snapshot.fls_mode,
                                                  snapshot.deploy_mode, std::nullopt});
    ASSERT_TRUE(road.h.controller->export_session(path, {}));
    const std::string tests_text = ambrel::testing::read_file(path);
    EXPECT_NE(tests_text.find("\"apexTests\": []"), std::string::npos);
    auto read = session_export::SessionScenario::from_json(tests_text);
    ASSERT_TRUE(read);
    EXPECT_EQ(read->deploy_selection, snapshot.selected);
    EXPECT_EQ(read->deploy_mode, domain::DeployMode::ValidateOnly);
    EXPECT_FALSE(read->deploy_mode_is_final);
    EXPECT_EQ(read->target_health, session_export::TargetHealthChoice::DeployWithoutFixing);

    deployment::DeploymentSummary summary;
    summary.deploy_mode = domain::DeployMode::AllOrNothing;
    road.h.inner().transition(ResultsState{summary});
    ASSERT_TRUE(road.h.controller->export_session(path, {}));
    read = session_export::read_session_scenario_file(path);
    ASSERT_TRUE(read);
    EXPECT_EQ(read->screen, session_export::Screen::Results);
    EXPECT_EQ(read->deploy_mode, domain::DeployMode::AllOrNothing);
    EXPECT_TRUE(read->deploy_mode_is_final);
    EXPECT_EQ(read->apex_tests, (std::vector<std::string>{"OldTest"}));
}

TEST(SessionExport, AFailedWriteAnswersWithTheSanitisedReasonAndAnExistingFileIsReplaced) {
    ambrel::testing::TempDir temp;
    Harness h;
    show_selecting(h, [](State& state) { state.manifest[MetadataType::Flow] = {"Go"}; });
    const auto answer = h.controller->export_session(temp.path() / "missing" / "s.json", {});
    ASSERT_FALSE(answer);
    EXPECT_EQ(answer.error(), "Could not write the session file: No such file or directory");
    const auto path = write_file(temp.path() / "s.json", "old content that is longer than nothing");
    ASSERT_TRUE(h.controller->export_session(path, {}));
    EXPECT_TRUE(session_export::read_session_scenario_file(path));
    EXPECT_EQ(fs::directory_entry(temp.path()).exists(), true);
    std::size_t entries = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator(temp.path())) ++entries;
    EXPECT_EQ(entries, 1U);
}

// ---- Import ----

TEST(SessionImport, ExportThenImportThenCompareReachesTheSameReview) {
    ambrel::testing::TempDir temp;
    const auto path = temp.path() / "release.json";
    // The original session: reviewing a comparison of dev against qa with two keys chosen.
    Harness original;
    show_selecting(original, [](State& state) {
        state.orgs = listed_orgs({"dev", "qa"});
        state.source = org("dev");
        state.target = org("qa");
        state.current_type = MetadataType::ApexClass;
        state.manifest = {{MetadataType::Flow, {"Go"}}};
    });
    RowSession first({kRows});
    original.use_cases->script.compare_endpoints_with_settings.answer(first.session);
    ASSERT_TRUE(original.controller->compare_with_options({"Svc"}, LayoutComparisonMode::Elements, false, false));
    original.settle();
    ASSERT_EQ(original.kind(), "reviewing");
    LiveScreenSelection live;
    live.selected_keys = app::SelectedKeys{key(MetadataType::ApexClass, "Svc"), key(MetadataType::Flow, "Go")};
    live.fls_mode = domain::FlsMode::Additive;
    ASSERT_TRUE(original.controller->export_session(path, live));

    // A fresh controller on another workstation with the same aliases.
    Harness replay;
    show_selecting(replay, [](State& state) { state.orgs = listed_orgs({"dev", "qa"}); });
    source_lists(replay, {"Svc", "Go"});
    const auto id = replay.controller->import_session(path);
    ASSERT_TRUE(id);
    EXPECT_EQ(replay.controller->state_snapshot().active_operation, "importSession");
    replay.settle();
    const auto& selecting = as_selecting(*replay.state());
    ASSERT_TRUE(selecting.import_summary);
    EXPECT_EQ(selecting.import_summary->warnings, Names{});
    EXPECT_EQ(selecting.import_summary->imported, 2U);
    EXPECT_EQ(selecting.source, org("dev"));
    EXPECT_EQ(selecting.target, org("qa"));
    EXPECT_EQ(selecting.manifest, (ManifestSelection{{MetadataType::ApexClass, {"Svc"}}, {MetadataType::Flow, {"Go"}}}));
    EXPECT_EQ(selecting.current_type, MetadataType::ApexClass);

    RowSession second({kRows});
    replay.use_cases->script.compare_endpoints_with_settings.answer(second.session);
    ASSERT_TRUE(replay.controller->compare_with_options({"Svc"}, LayoutComparisonMode::Elements, false, false));
    replay.settle();
    ASSERT_EQ(replay.kind(), "reviewing");
    // The same comparison was asked for, and the review preselects what the original user chose.
    EXPECT_EQ(std::get<2>(replay.use_cases->script.compare_endpoints_with_settings.calls()[0]),
              std::get<2>(original.use_cases->script.compare_endpoints_with_settings.calls()[0]));
    const auto& before = std::get<ReviewingState>(*original.state());
    const auto& after = std::get<ReviewingState>(*replay.state());
    EXPECT_EQ(after.rows, before.rows);
    ASSERT_TRUE(after.scenario);
    EXPECT_EQ(after.scenario->selected, *live.selected_keys);
    EXPECT_EQ(after.scenario->fls_mode, live.fls_mode);
    EXPECT_TRUE(after.scenario->unmatched.empty());
    EXPECT_FALSE(after.scenario->deploy_mode);
}

TEST(SessionImport, DamagedFilesShowTheirMessageAndChangeNothing) {
    struct Case {
        std::string name;
        std::string text;
        std::string message;
    };
    std::string huge = R"({"version": 4, "capturedAt": 1, "comparisonManifest": {"Flow": [)";
    while (huge.size() <= session_export::kMaxScenarioFileBytes) huge += "\"AFlowName\",";
    huge += "\"Z\"]}}";
    const std::vector<Case> cases = {
        {"truncated", R"({"version": 4, "capturedAt": 1, "comparisonManifest": {"Flow": ["Go")",
         "Could not parse the session scenario file: unexpected end of input at line 1 column 69"},
        {"wrong version", R"({"version": 7, "capturedAt": 1})",
         "Unsupported session scenario format version 7 (supported versions: 1, 2, 3 and 4)."},
        {"wrong member type", R"({"version": 4, "capturedAt": 1, "apexTests": {"a": 1}})",
         "The session scenario file has an invalid \"apexTests\" field."},
        {"unknown type id", R"({"version": 4, "capturedAt": 1, "comparisonManifest": {"Gadget": ["x"]}})",
         "Unknown metadata type \"Gadget\" in the session scenario file."},
        {"duplicate keys, the broken one last", R"({"version": 4, "capturedAt": 1, "screen": "RESULTS", "screen": 3})",
         "The session scenario file has an invalid \"screen\" field."},
        {"invalid UTF-8", "{\"version\": 4, \"capturedAt\": 1, \"source\": {\"kind\": \"org\", \"alias\": \"\xFF\"}}",
         "Could not read the session scenario file: invalid UTF-8 sequence of 1 byte at byte offset 68"},
        {"huge member list", huge, "The session scenario file is too large (limit 5 MB)."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ambrel::testing::TempDir temp;
        const auto path = write_file(temp.path() / "s.json", c.text);
        Harness h;
        const ManifestSelection kept = {{MetadataType::Layout, {"Kept"}}};
        PendingScenario earlier;
        earlier.deploy_mode = domain::DeployMode::ValidateOnly;
        show_selecting(h, [&](State& state) {
            state.orgs = listed_orgs({"dev"});
            state.source = org("dev");
            state.manifest = kept;
            state.pending_scenario = earlier;
        });
        const State before = h.copy_of_state();
        EXPECT_FALSE(h.controller->import_session(path));
        h.settle();
        const auto& screen = as_selecting(*h.state());
        EXPECT_EQ(screen.error_message, c.message);
        const State after = h.copy_of_state();
        EXPECT_EQ(after.manifest, before.manifest);
        EXPECT_EQ(after.source, before.source);
        EXPECT_EQ(after.target, before.target);
        EXPECT_EQ(after.pending_scenario, before.pending_scenario);
        EXPECT_EQ(after.operation_id, before.operation_id);
        EXPECT_EQ(h.use_cases->script.list_source_objects.count(), 0U);
    }
}

TEST(SessionImport, OnlyTheSelectionScreenImports) {
    ambrel::testing::TempDir temp;
    const auto path = write_file(temp.path() / "s.json", R"({"version": 4, "capturedAt": 1})");
    DeployRoad road({kRows});
    EXPECT_FALSE(road.h.controller->import_session(path));
    road.h.settle();
    EXPECT_EQ(road.h.kind(), "reviewing");
    EXPECT_FALSE(pending_of(road.h));
}

TEST(SessionImport, EndpointsThatCannotBeRestoredBecomeWarnings) {
    ambrel::testing::TempDir temp;
    const auto path = write_file(temp.path() / "s.json", R"({"version": 4, "capturedAt": 1,
        "source": {"kind": "org", "alias": "Dev"}, "target": {"kind": "git", "repository": "app", "branch": "main"},
        "comparisonManifest": {"Flow": ["Go"]}})");
    Harness h;
    show_selecting(h, [](State& state) {
        state.orgs = listed_orgs({"dev"});
        state.manifest = {{MetadataType::Layout, {"Kept"}}};
    });
    ASSERT_TRUE(h.controller->import_session(path));
    h.settle();
    const auto& screen = as_selecting(*h.state());
    ASSERT_TRUE(screen.import_summary);
    EXPECT_EQ(screen.import_summary->warnings,
              (Names{"The source org alias 'Dev' from the session file is not configured locally and was not applied.",
                     "The target git endpoint 'app@main' from the session file cannot be restored and was not applied.",
                     "The comparison manifest was not applied because no source endpoint is available to validate it "
                     "against."}));
    EXPECT_EQ(screen.import_summary->imported, 0U);
    EXPECT_EQ(screen.manifest, (ManifestSelection{{MetadataType::Layout, {"Kept"}}}));
    EXPECT_FALSE(screen.source);
    EXPECT_TRUE(pending_of(h));
}

TEST(SessionImport, AnAliasListedTwiceIsNotApplied) {
    const auto orgs = listed_orgs({"dev", "dev"});
    const auto resolved = resolve_scenario_endpoint(orgs, kSourceSide,
                                                    {session_export::ScenarioEndpoint::Org{"dev"}});
    ASSERT_TRUE(std::holds_alternative<std::string>(resolved));
    EXPECT_EQ(std::get<std::string>(resolved),
              "The source org alias 'dev' from the session file is not configured locally and was not applied.");
}

TEST(SessionImport, MissingMembersAreSkippedAndAnEmptyManifestEmptiesTheSelection) {
    ambrel::testing::TempDir temp;
    Harness h;
    show_selecting(h, [](State& state) {
        state.orgs = listed_orgs({"dev"});
        state.source = org("dev");
        state.manifest = {{MetadataType::Layout, {"Kept"}}};
    });
    source_lists(h, {"Go"});
    const auto missing = write_file(temp.path() / "a.json", R"({"version": 3, "capturedAt": 1,
        "comparisonManifest": {"Flow": ["Go", "Gone"]}})");
    ASSERT_TRUE(h.controller->import_session(missing));
    h.settle();
    {
        const auto& screen = as_selecting(*h.state());
        ASSERT_TRUE(screen.import_summary);
        EXPECT_EQ(screen.import_summary->warnings,
                  (Names{"Member 'Gone' of type Flows was not found in the source org and was skipped."}));
        EXPECT_EQ(screen.import_summary->imported, 1U);
        EXPECT_EQ(screen.manifest, (ManifestSelection{{MetadataType::Flow, {"Go"}}}));
    }
    const auto empty = write_file(temp.path() / "b.json", R"({"version": 1, "capturedAt": 1})");
    ASSERT_TRUE(h.controller->import_session(empty));
    h.settle();
    const auto& screen = as_selecting(*h.state());
    ASSERT_TRUE(screen.import_summary);
    EXPECT_EQ(screen.import_summary->imported, 0U);
    EXPECT_TRUE(screen.manifest.empty());
}

TEST(SessionImport, AFailingResolutionKeepsTheEarlierPendingScenario) {
    ambrel::testing::TempDir temp;
    Harness h;
    PendingScenario earlier;
    earlier.deploy_mode = domain::DeployMode::AllOrNothing;
    show_selecting(h, [&](State& state) {
        state.orgs = listed_orgs({"dev"});
        state.source = org("dev");
        state.pending_scenario = earlier;
    });
    const auto path = write_file(temp.path() / "s.json", R"({"version": 4, "capturedAt": 1,
        "comparisonManifest": {"Flow": ["Go"]}, "deployMode": "BEST_EFFORT"})");
    ASSERT_TRUE(h.controller->import_session(path));
    h.settle();
    EXPECT_EQ(as_selecting(*h.state()).error_message, "Salesforce operation failed.");
    EXPECT_EQ(pending_of(h), earlier);
    EXPECT_TRUE(with_state(h, [](State& state) { return state.listing_incomplete; }));
}

TEST(SessionImport, ANewComparisonDropsThePendingScenario) {
    ambrel::testing::TempDir temp;
    Harness h;
    show_selecting(h, [](State& state) { state.orgs = listed_orgs({"dev"}); });
    const auto path =
        write_file(temp.path() / "s.json", R"({"version": 4, "capturedAt": 1, "deployMode": "VALIDATE_ONLY"})");
    ASSERT_TRUE(h.controller->import_session(path));
    h.settle();
    ASSERT_TRUE(pending_of(h));
    ASSERT_TRUE(h.controller->restart());
    EXPECT_FALSE(pending_of(h));
}

// ---- Replay ----

TEST(ScenarioReplay, TheReviewPreselectsTheKeysAmongTheRows) {
    PendingScenario pending;
    pending.deploy_selection = app::SelectedKeys{key(MetadataType::Flow, "Go"), key(MetadataType::ApexClass, "Gone")};
    pending.deploy_mode = domain::DeployMode::ValidateOnly;
    const auto scenario = reviewing_scenario(pending, kRows);
    ASSERT_TRUE(scenario);
    EXPECT_EQ(scenario->selected, (app::SelectedKeys{key(MetadataType::Flow, "Go")}));
    EXPECT_EQ(scenario->unmatched,
              (Names{"Component 'Gone' of type Apex Classes from the scenario file was not found in this comparison "
                     "and was skipped."}));
    EXPECT_EQ(scenario->deploy_mode, domain::DeployMode::ValidateOnly);

    PendingScenario mode_only;
    mode_only.permissions_mode = domain::FlsMode::None;
    const auto only = reviewing_scenario(mode_only, kRows);
    ASSERT_TRUE(only);
    EXPECT_TRUE(only->selected.empty());
    EXPECT_TRUE(only->unmatched.empty());
    EXPECT_FALSE(reviewing_scenario(PendingScenario{}, kRows));
    EXPECT_FALSE(reviewing_scenario(std::nullopt, kRows));
}

TEST(ScenarioReplay, ContainersTheTargetLacksAreReported) {
    const ContainerChoice named = {{domain::FlsContainerKind::Profile, "Admin"},
                                   {domain::FlsContainerKind::PermissionSet, "Ops"},
                                   {domain::FlsContainerKind::Profile, "Sales"}};
    domain::FlsContainerChoice admin;
    admin.kind = domain::FlsContainerKind::Profile;
    admin.api_name = "Admin";
    domain::FlsContainerChoice sales_set;
    sales_set.kind = domain::FlsContainerKind::PermissionSet;
    sales_set.api_name = "Sales";
    EXPECT_EQ(scenario_unmatched_containers(named, {admin, sales_set}),
              (Names{"Permission Set 'Ops' from the scenario file was not found among the target's containers and was "
                     "skipped.",
                     "Profile 'Sales' from the scenario file was not found among the target's containers and was "
                     "skipped."}));
}

TEST(ScenarioReplay, TestsArePreselectedByExactName) {
    std::vector<domain::ApexTestCandidate> candidates(3);
    candidates[0].name = "MyTest";
    candidates[0].preselected = true;
    candidates[1].name = "mytest2";
    candidates[2].name = "Other";
    candidates[2].preselected = true;
    PendingScenario pending;
    preselect_scenario_tests(pending, candidates);
    EXPECT_TRUE(candidates[0].preselected);
    pending.apex_tests = std::vector<std::string>{"mytest", "mytest2"};
    preselect_scenario_tests(pending, candidates);
    EXPECT_FALSE(candidates[0].preselected);
    EXPECT_TRUE(candidates[1].preselected);
    EXPECT_FALSE(candidates[2].preselected);
    pending.apex_tests = std::vector<std::string>{};
    preselect_scenario_tests(pending, candidates);
    for (const auto& candidate : candidates) EXPECT_FALSE(candidate.preselected);
}

TEST(ScenarioReplay, BackToTheReviewKeepsThePreselection) {
    DeployRoad road({kRows});
    PendingScenario pending;
    pending.deploy_selection = app::SelectedKeys{key(MetadataType::Flow, "Go")};
    {
        auto guard = road.h.inner().lock();
        road.h.inner().state(guard).pending_scenario = pending;
    }
    road.h.inner().transition(SelectingTestsState{road.session(), kRows, {}, {}, {}, {}, std::nullopt});
    road.h.controller->back_to_review();
    road.h.settle();
    const auto& reviewing = std::get<ReviewingState>(*road.h.state());
    ASSERT_TRUE(reviewing.scenario);
    EXPECT_EQ(reviewing.scenario->selected, *pending.deploy_selection);
}

}  // namespace
}  // namespace ambrel::workflow

namespace ambrel::workflow {
namespace {

using namespace testing;

void set_pending(DeployRoad& road, PendingScenario pending) {
    auto guard = road.h.inner().lock();
    road.h.inner().state(guard).pending_scenario = std::move(pending);
}

TEST(ScenarioReplay, TheTestScreenTakesTheScenarioTestsAndMode) {
    DeployRoad road({{row(MetadataType::ApexClass, "SvcTest")}});
    PendingScenario pending;
    pending.apex_tests = std::vector<std::string>{"OtherTest"};
    pending.deploy_mode = domain::DeployMode::ValidateOnly;
    set_pending(road, pending);
    road.h.use_cases->script.list_apex_tests.answer(std::vector<domain::ApexTestCandidate>{
        {"MyTest", domain::TestCandidateOrigin::Session, true}, {"OtherTest", domain::TestCandidateOrigin::Target, false}});
    ASSERT_TRUE(road.h.controller->deploy({key(MetadataType::ApexClass, "SvcTest")}, domain::FlsMode::None,
                                          domain::DeployMode::AllOrNothing));
    road.h.settle();
    const auto& screen = std::get<SelectingTestsState>(*road.h.state());
    ASSERT_EQ(screen.candidates.size(), 2U);
    EXPECT_FALSE(screen.candidates[0].preselected);
    EXPECT_TRUE(screen.candidates[1].preselected);
    EXPECT_EQ(screen.scenario_deploy_mode, domain::DeployMode::ValidateOnly);
}

TEST(ScenarioReplay, TheContainerScreenCarriesTheScenarioContainersAndWarnings) {
    DeployRoad road({{row(MetadataType::CustomField, "Account.X__c")}});
    PendingScenario pending;
    pending.permission_containers = ContainerChoice{{domain::FlsContainerKind::Profile, "Admin"},
                                                    {domain::FlsContainerKind::PermissionSet, "Ops"}};
    set_pending(road, pending);
    std::vector<domain::FlsContainerChoice> choices(1);
    choices[0].kind = domain::FlsContainerKind::Profile;
    choices[0].api_name = "Admin";
    road.h.use_cases->script.match_fls_containers.answer(choices);
    ASSERT_TRUE(road.h.controller->deploy({key(MetadataType::CustomField, "Account.X__c")}, domain::FlsMode::Additive,
                                          domain::DeployMode::AllOrNothing));
    road.h.settle();
    const auto& screen = std::get<SelectingFlsContainersState>(*road.h.state());
    EXPECT_EQ(screen.scenario_containers, pending.permission_containers);
    EXPECT_EQ(screen.scenario_unmatched_containers,
              (std::vector<std::string>{"Permission Set 'Ops' from the scenario file was not found among the target's "
                                        "containers and was skipped."}));
    EXPECT_FALSE(screen.scenario_deploy_mode);
}

TEST(ScenarioReplay, ARefusedDeployReturnsToTheReviewWithThePreselection) {
    DeployRoad road({kRows});
    PendingScenario pending;
    pending.deploy_mode = domain::DeployMode::BestEffort;
    set_pending(road, pending);
    EXPECT_FALSE(road.h.controller->deploy({}, domain::FlsMode::None, domain::DeployMode::BestEffort));
    road.h.settle();
    const auto& reviewing = std::get<ReviewingState>(*road.h.state());
    EXPECT_EQ(reviewing.error_message, "Select at least one deployable component.");
    ASSERT_TRUE(reviewing.scenario);
    EXPECT_EQ(reviewing.scenario->deploy_mode, domain::DeployMode::BestEffort);
}

}  // namespace
}  // namespace ambrel::workflow

namespace ambrel::workflow {
namespace {

using namespace testing;

TEST(SessionImport, ACancelledImportStoresNothing) {
    ambrel::testing::TempDir temp;
    std::ofstream(temp.path() / "s.json") << R"({"version": 4, "capturedAt": 1, "deployMode": "VALIDATE_ONLY"})";
    Harness h;
    show_selecting(h, [](State& state) { state.orgs = listed_orgs({"dev"}); });
    const auto id = h.controller->import_session(temp.path() / "s.json");
    ASSERT_TRUE(id);
    ASSERT_TRUE(h.controller->cancel_operation(id));
    h.settle();
    EXPECT_FALSE(with_state(h, [](State& state) { return state.pending_scenario; }));
    EXPECT_TRUE(with_state(h, [](State& state) { return state.listing_incomplete; }));
}

TEST(SessionImport, ASecondImportReplacesThePendingScenario) {
    ambrel::testing::TempDir temp;
    std::ofstream(temp.path() / "a.json") << R"({"version": 4, "capturedAt": 1, "deployMode": "VALIDATE_ONLY"})";
    std::ofstream(temp.path() / "b.json") << R"({"version": 4, "capturedAt": 2, "permissionsMode": "ALL"})";
    Harness h;
    show_selecting(h, [](State& state) { state.orgs = listed_orgs({"dev"}); });
    ASSERT_TRUE(h.controller->import_session(temp.path() / "a.json"));
    h.settle();
    ASSERT_TRUE(h.controller->import_session(temp.path() / "b.json"));
    h.settle();
    PendingScenario expected;
    expected.permissions_mode = domain::FlsMode::All;
    EXPECT_EQ(with_state(h, [](State& state) { return state.pending_scenario; }), expected);
}

}  // namespace
}  // namespace ambrel::workflow
