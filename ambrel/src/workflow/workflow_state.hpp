#pragma once

// WorkflowState: the screen of the guided workflow, one of thirteen kinds. A state is immutable once
// built: a change of screen or content builds a new state that replaces the current one as a whole,
// and publishing shares the very same object with every listener (it is never copied for publishing,
// however many rows it holds). Every field is an owned copy except the comparison session of the
// screens after a compare and the org preparation report, which are shared.
//
// Plain data: no failures; safe to read from any thread once built.

#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "app/compare_selection.hpp"
#include "app/comparison_session.hpp"
#include "cli/catalogs/salesforce_object.hpp"
#include "data/bundles/transfer/health_report.hpp"
#include "data/preparation/org_preparation_report.hpp"
#include "deployment/deployment_summary.hpp"
#include "domain/deployment.hpp"
#include "domain/difference.hpp"
#include "domain/fls.hpp"
#include "domain/permission.hpp"
#include "endpoint/deploy_endpoint.hpp"
#include "endpoint/org_alias.hpp"
#include "metadata_types/metadata_type.hpp"

namespace ambrel::workflow {

// The selection screen's choice of members: per type, a sorted set of member names.
using ManifestSelection = app::CompareSelection;

// In the order of the enumeration.
enum class StateKind : std::uint8_t {
    LoadingOrgs,
    Selecting,
    ReturningToSelection,
    LoadingComponents,
    Comparing,
    Reviewing,
    SelectingTests,
    SelectingFlsContainers,
    TargetHealth,
    Deploying,
    QuickDeploying,
    Results,
    Error,
};

// "loadingOrgs", "selecting", …, "error".
std::string_view wire_name(StateKind kind) noexcept;

// The readiness of external keys between source and target.
enum class ExternalKeyStatus : std::uint8_t { Checking, Present, Missing, Unavailable };

// The outcome of a package manifest or session scenario import.
struct ImportSummary {
    std::vector<std::string> warnings;
    std::uint64_t imported = 0;
};

// What a pending session scenario preselects on the review screen.
struct ReviewingScenario {
    std::vector<std::string> unmatched;
    app::SelectedKeys selected;
    std::optional<domain::FlsMode> fls_mode;
    std::optional<domain::DeployMode> deploy_mode;
};

using Rows = std::vector<domain::ComponentDifference>;
using SessionRef = std::shared_ptr<app::ComparisonSession>;
using ContainerSet = std::set<std::pair<domain::FlsContainerKind, std::string>>;

struct LoadingOrgsState {};

struct SelectingState {
    std::vector<endpoint::OrgAlias> orgs;
    std::optional<endpoint::DeployEndpoint> source;
    std::optional<endpoint::DeployEndpoint> target;
    metadata_types::MetadataType current_type = metadata_types::MetadataType::CustomObject;
    std::vector<cli::catalogs::SalesforceObject> components;
    ManifestSelection manifest;
    std::optional<std::string> error_message;
    std::optional<ImportSummary> import_summary;
    std::shared_ptr<const data::preparation::OrgPreparationReport> org_preparation;
    std::optional<ExternalKeyStatus> external_keys;
};

struct ReturningToSelectionState {
    std::vector<endpoint::OrgAlias> orgs;
    std::optional<endpoint::DeployEndpoint> source;
    std::optional<endpoint::DeployEndpoint> target;
    metadata_types::MetadataType current_type = metadata_types::MetadataType::CustomObject;
    std::vector<cli::catalogs::SalesforceObject> components;
    ManifestSelection manifest;
};

struct LoadingComponentsState {
    std::vector<endpoint::OrgAlias> orgs;
    endpoint::DeployEndpoint source;
    std::optional<endpoint::DeployEndpoint> target;
};

struct ComparingState {
    endpoint::DeployEndpoint source;
    endpoint::DeployEndpoint target;
    ManifestSelection manifest;
};

struct ReviewingState {
    SessionRef session;
    Rows rows;
    std::optional<std::string> error_message;
    std::optional<ReviewingScenario> scenario;
};

struct SelectingTestsState {
    SessionRef session;
    Rows rows;
    std::vector<domain::ApexTestCandidate> candidates;
    app::SelectedKeys selection;
    domain::FlsMode fls_mode{};
    domain::DeployMode deploy_mode{};
    std::optional<domain::DeployMode> scenario_deploy_mode;
};

struct SelectingFlsContainersState {
    std::optional<ContainerSet> scenario_containers;
    Rows rows;
    std::vector<domain::FlsContainerChoice> choices;
    std::vector<std::string> scenario_unmatched_containers;
    std::optional<std::vector<std::string>> test_names;
    SessionRef session;
    app::SelectedKeys selection;
    domain::FlsMode fls_mode{};
    domain::DeployMode deploy_mode{};
    std::optional<domain::DeployMode> scenario_deploy_mode;
};

struct TargetHealthState {
    Rows rows;
    data::bundles::transfer::HealthReport report;
    std::vector<std::string> fix_refusals;
    SessionRef session;
    app::SelectedKeys selection;
    domain::FlsMode fls_mode{};
    domain::DeployMode deploy_mode{};
};

struct DeployingState {
    std::optional<std::vector<std::string>> test_names;
    SessionRef session;
    app::SelectedKeys selection;
    domain::FlsMode fls_mode{};
    domain::DeployMode deploy_mode{};
};

struct QuickDeployingState {
    std::string target_alias;
};

struct ResultsState {
    deployment::DeploymentSummary summary;
};

struct ErrorState {
    std::string message;
    std::optional<std::string> details;
};

// The alternatives are in the order of StateKind.
using WorkflowState =
    std::variant<LoadingOrgsState, SelectingState, ReturningToSelectionState, LoadingComponentsState, ComparingState,
                 ReviewingState, SelectingTestsState, SelectingFlsContainersState, TargetHealthState, DeployingState,
                 QuickDeployingState, ResultsState, ErrorState>;

StateKind kind_of(const WorkflowState& state) noexcept;

// The error screen with the message and optional details.
WorkflowState error_state(std::string message, std::optional<std::string> details = std::nullopt);

// The comparison session a screen works on, or null for screens without one.
SessionRef session_of(const WorkflowState& state) noexcept;

}  // namespace ambrel::workflow
