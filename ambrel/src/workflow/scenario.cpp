// Replaying an imported session scenario, and capturing the deploy request into an exported one.

#include "workflow/scenario.hpp"

#include <algorithm>
#include <unordered_set>

#include <fmt/format.h>

#include "metadata_types/type_descriptor.hpp"

namespace ambrel::workflow {

namespace {

constexpr std::string_view kPermissionSetLabel = "Permission Set";
constexpr std::string_view kProfileLabel = "Profile";

std::string_view container_label(domain::FlsContainerKind kind) noexcept {
    return kind == domain::FlsContainerKind::Profile ? kProfileLabel : kPermissionSetLabel;
}

// A record-data type has no descriptor; the reader never lets one into a selection, but the label
// must not fail if one does.
std::string_view plural_label(metadata_types::MetadataType type) {
    if (type.is_data_record()) return type.selection_label();
    return type.descriptor().plural_label;
}

session_export::TargetHealthChoice choice_of(const TargetHealthDecision& decision) {
    if (std::holds_alternative<FixAndDeploy>(decision)) return session_export::TargetHealthChoice::FixAndDeploy;
    if (std::holds_alternative<DeployWithoutFixing>(decision)) {
        return session_export::TargetHealthChoice::DeployWithoutFixing;
    }
    return session_export::TargetHealthChoice::DeployAfterRecheck;
}

}  // namespace

PendingScenario pending_scenario_of(const session_export::SessionScenario& scenario) {
    PendingScenario pending;
    pending.deploy_selection = scenario.deploy_selection;
    pending.permission_containers = scenario.permission_containers;
    pending.apex_tests = scenario.apex_tests;
    pending.deploy_mode_is_final = scenario.deploy_mode_is_final;
    pending.permissions_mode = scenario.permissions_mode;
    pending.deploy_mode = scenario.deploy_mode;
    return pending;
}

std::variant<endpoint::OrgAlias, std::string> resolve_scenario_endpoint(const std::vector<endpoint::OrgAlias>& orgs,
                                                                        std::string_view side,
                                                                        const session_export::ScenarioEndpoint& endpoint) {
    if (const auto* git = std::get_if<session_export::ScenarioEndpoint::Git>(&endpoint.value)) {
        return fmt::format(fmt::runtime(kScenarioGitNotRestored), side, git->repository, git->branch);
    }
    const auto& alias = std::get<session_export::ScenarioEndpoint::Org>(endpoint.value).alias;
    const endpoint::OrgAlias* match = nullptr;
    std::size_t matches = 0;
    for (const auto& org : orgs) {
        if (org.alias != alias) continue;
        match = &org;
        ++matches;
    }
    if (matches != 1) return fmt::format(fmt::runtime(kScenarioOrgNotConfigured), side, alias);
    return *match;
}

std::optional<ReviewingScenario> reviewing_scenario(const std::optional<PendingScenario>& pending, const Rows& rows) {
    if (!pending) return std::nullopt;
    if (!pending->deploy_selection && !pending->permissions_mode && !pending->deploy_mode) return std::nullopt;
    ReviewingScenario scenario;
    scenario.fls_mode = pending->permissions_mode;
    scenario.deploy_mode = pending->deploy_mode;
    if (!pending->deploy_selection) return scenario;
    std::set<domain::ComponentKey> row_keys;
    for (const auto& row : rows) row_keys.insert(row.key());
    for (const auto& key : *pending->deploy_selection) {
        if (row_keys.contains(key)) {
            scenario.selected.insert(key);
        } else {
            scenario.unmatched.push_back(
                fmt::format(fmt::runtime(kScenarioComponentSkipped), key.name, plural_label(key.metadata_type)));
        }
    }
    return scenario;
}

std::vector<std::string> scenario_unmatched_containers(const ContainerChoice& scenario,
                                                       const std::vector<domain::FlsContainerChoice>& choices) {
    std::set<std::pair<domain::FlsContainerKind, std::string_view>> offered;
    for (const auto& choice : choices) offered.emplace(choice.kind, choice.api_name);
    std::vector<std::string> unmatched;
    for (const auto& [kind, api_name] : scenario) {
        if (offered.contains({kind, api_name})) continue;
        unmatched.push_back(fmt::format(fmt::runtime(kScenarioContainerSkipped), container_label(kind), api_name));
    }
    return unmatched;
}

void preselect_scenario_tests(const std::optional<PendingScenario>& pending,
                              std::vector<domain::ApexTestCandidate>& candidates) {
    if (!pending || !pending->apex_tests) return;
    const std::set<std::string_view> named(pending->apex_tests->begin(), pending->apex_tests->end());
    for (auto& candidate : candidates) candidate.preselected = named.contains(candidate.name);
}

void apply_deploy_snapshot(session_export::SessionScenario& scenario, const std::optional<DeploySnapshot>& snapshot) {
    if (!snapshot) return;
    scenario.deploy_selection = snapshot->selected;
    scenario.permissions_mode = snapshot->fls_mode;
    if (snapshot->test_names) scenario.apex_tests = snapshot->test_names;
    if (snapshot->containers) scenario.permission_containers = snapshot->containers;
    scenario.deploy_mode = snapshot->deploy_mode;
    if (snapshot->decision) scenario.target_health = choice_of(*snapshot->decision);
}

}  // namespace ambrel::workflow
