#pragma once

// The controller's side of session scenario files: what an imported scenario leaves behind to be
// replayed after the next comparison (`PendingScenario`), what the front end still shows when it
// exports (`LiveScreenSelection`), and the pure helpers that turn a pending scenario into the
// preselections of the review, Apex test and container screens, resolve a scenario's endpoint
// against the org list, and copy the deploy request into a scenario being exported.
//
// Texts: "Component '{}' of type {} from the scenario file was not found in this comparison and was
// skipped.", "{} '{}' from the scenario file was not found among the target's containers and was
// skipped.", "The {} org alias '{}' from the session file is not configured locally and was not
// applied." and "The {} git endpoint '{}@{}' from the session file cannot be restored and was not
// applied.".
//
// Thread-safety: plain values and pure functions.

#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "app/compare_selection.hpp"
#include "domain/deployment.hpp"
#include "domain/fls.hpp"
#include "domain/permission.hpp"
#include "endpoint/org_alias.hpp"
#include "session_export/session_scenario.hpp"
#include "workflow/deploy_road.hpp"
#include "workflow/workflow_state.hpp"

namespace ambrel::workflow {

inline constexpr std::string_view kScenarioComponentSkipped =
    "Component '{}' of type {} from the scenario file was not found in this comparison and was skipped.";
inline constexpr std::string_view kScenarioContainerSkipped =
    "{} '{}' from the scenario file was not found among the target's containers and was skipped.";
inline constexpr std::string_view kScenarioOrgNotConfigured =
    "The {} org alias '{}' from the session file is not configured locally and was not applied.";
inline constexpr std::string_view kScenarioGitNotRestored =
    "The {} git endpoint '{}@{}' from the session file cannot be restored and was not applied.";
inline constexpr std::string_view kSourceSide = "source";
inline constexpr std::string_view kTargetSide = "target";

// The parts of an imported scenario replayed after the comparison; it lives until the next import
// replaces it or a new comparison is started.
struct PendingScenario {
    std::optional<app::SelectedKeys> deploy_selection;
    std::optional<ContainerChoice> permission_containers;
    std::optional<std::vector<std::string>> apex_tests;
    // Kept as read; nothing replays it.
    bool deploy_mode_is_final = false;
    std::optional<domain::FlsMode> permissions_mode;
    std::optional<domain::DeployMode> deploy_mode;

    bool operator==(const PendingScenario&) const = default;
};

// What the current screen shows but the controller does not hold yet; the client sends the fields
// of its screen only.
struct LiveScreenSelection {
    // Selection screen: the names chosen for the current type.
    std::optional<std::set<std::string>> current_selection;
    // Review screen: the chosen keys and FLS mode.
    std::optional<app::SelectedKeys> selected_keys;
    std::optional<domain::FlsMode> fls_mode;
    // Apex test screen.
    std::optional<std::vector<std::string>> tests;
    // Container screen.
    std::optional<ContainerChoice> containers;

    bool operator==(const LiveScreenSelection&) const = default;
};

// The replayed parts of a scenario.
PendingScenario pending_scenario_of(const session_export::SessionScenario& scenario);

// The one listed org whose alias is the scenario's (byte for byte), or the sentence of why the
// endpoint was not applied. A git endpoint is never restored.
std::variant<endpoint::OrgAlias, std::string> resolve_scenario_endpoint(const std::vector<endpoint::OrgAlias>& orgs,
                                                                        std::string_view side,
                                                                        const session_export::ScenarioEndpoint& endpoint);

// The review screen's preselection: none without a pending scenario or one with neither deploy
// selection nor modes.
std::optional<ReviewingScenario> reviewing_scenario(const std::optional<PendingScenario>& pending, const Rows& rows);

// One sentence per scenario container that no choice offers, in set order.
std::vector<std::string> scenario_unmatched_containers(const ContainerChoice& scenario,
                                                       const std::vector<domain::FlsContainerChoice>& choices);

// The pending scenario's tests replace the candidates' preselection (exact names); without a test
// list the candidates stay as collected.
void preselect_scenario_tests(const std::optional<PendingScenario>& pending,
                              std::vector<domain::ApexTestCandidate>& candidates);

// Copies the deploy request into a scenario under construction; without a snapshot nothing changes.
void apply_deploy_snapshot(session_export::SessionScenario& scenario, const std::optional<DeploySnapshot>& snapshot);

}  // namespace ambrel::workflow
