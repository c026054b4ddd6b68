#pragma once

// The deploy road's records and rules, apart from the controller's commands: the record of the current
// deploy request (`DeploySnapshot`), what was decided on the target health screen
// (`TargetHealthDecision`) and how the user answered it (`TargetHealthAction`), the fixes accumulated
// over one comparison session (`AccumulatedTargetFix`), which keys of a review can be deployed, when a
// deploy goes through the Apex test screen, whether the user's test names are offered candidates, the
// detail texts of target-health decisions and the session-log records of a deploy and of a target fix.
//
// Never runs a use case and never touches the controller's state: every function here is a pure rule
// (the log functions only write one line through the sink they are given).
//
// Texts: "Target fix: {}{}." with "{}: {} deleted" parts (or "nothing deleted") and ", {} refused ({})";
// "Target health check: deployed without fixing {} findings."; "Target health check: no findings
// remained after the re-check."; "{} records were deleted in the target before the check failed.";
// the refusal-line label "a record of this fix".
//
// Thread-safety: plain data and pure functions; safe from any thread.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "app/compare_selection.hpp"
#include "app/comparison_session.hpp"
#include "data/bundles/transfer/fix_outcome.hpp"
#include "data/bundles/transfer/health_report.hpp"
#include "deployment/deployment_summary.hpp"
#include "domain/deployment.hpp"
#include "domain/fls.hpp"
#include "logging/log_sink.hpp"

namespace ambrel::workflow {

inline constexpr std::string_view kNoSessionForDeployment = "No comparison session is available for deployment.";
inline constexpr std::string_view kSelectDeployableComponent = "Select at least one deployable component.";
inline constexpr std::string_view kBackgroundRejectedQuickDeployment =
    "Background executor rejected the quick deployment.";
inline constexpr std::string_view kUiDispatcherRejectedCompletion = "UI dispatcher rejected completion.";
inline constexpr std::string_view kUnknownRefusedRecordLabel = "a record of this fix";
inline constexpr std::string_view kDeletedBeforeCheckFailed =
    "{} records were deleted in the target before the check failed.";
inline constexpr std::string_view kDeployedWithoutFixing = "Target health check: deployed without fixing {} findings.";
inline constexpr std::string_view kNoFindingsAfterRecheck =
    "Target health check: no findings remained after the re-check.";

// The session-log actions of the target health screen.
inline constexpr std::string_view kHealthActionDeploy = "deploy";
inline constexpr std::string_view kHealthActionFix = "fix";
inline constexpr std::string_view kHealthActionRecheck = "recheck";

using ContainerChoice = std::set<std::pair<domain::FlsContainerKind, std::string>>;

// The fixes of this comparison session were made and the deploy goes on.
struct FixAndDeploy {
    // The refusal lines of all fixes of the session.
    std::vector<std::string> refusal_lines;
    // Deleted records by object.
    std::map<std::string, std::uint64_t> deleted;
    // Record id to message: what the latest fix could not delete.
    std::map<std::string, std::string> refused;

    bool operator==(const FixAndDeploy&) const = default;
};

// The deploy goes on with findings left on the screen.
struct DeployWithoutFixing {
    // The detail text of earlier fixes (one element when present).
    std::optional<std::vector<std::string>> earlier_details;
    std::uint64_t findings = 0;

    bool operator==(const DeployWithoutFixing&) const = default;
};

// A check found nothing (any more) and the deploy goes on.
struct DeployAfterRecheck {
    bool operator==(const DeployAfterRecheck&) const = default;
};

using TargetHealthDecision = std::variant<FixAndDeploy, DeployWithoutFixing, DeployAfterRecheck>;

// "fixAndDeploy", "deployWithoutFixing" or "deployAfterRecheck".
std::string_view scenario_label(const TargetHealthDecision& decision) noexcept;

// The answer of the target health screen.
struct TargetHealthAction {
    // Delete the records behind the chosen findings (positions in the screen's list), then check again.
    struct Fix {
        std::set<std::size_t> findings;
        bool operator==(const Fix&) const = default;
    };
    struct Recheck {
        bool operator==(const Recheck&) const = default;
    };
    struct Deploy {
        bool operator==(const Deploy&) const = default;
    };

    std::variant<Fix, Recheck, Deploy> value;
    bool operator==(const TargetHealthAction&) const = default;
};

// The controller's record of the current deploy request.
struct DeploySnapshot {
    // Absent until containers are confirmed.
    std::optional<ContainerChoice> containers;
    // Absent until tests are confirmed.
    std::optional<std::vector<std::string>> test_names;
    std::optional<TargetHealthDecision> decision;
    app::SelectedKeys selected;
    domain::FlsMode fls_mode = domain::FlsMode::None;
    domain::DeployMode deploy_mode = domain::DeployMode::BestEffort;

    bool operator==(const DeploySnapshot&) const = default;
};

// The fixes made in one comparison session so far.
struct AccumulatedTargetFix {
    std::vector<std::string> refusal_lines;
    // The `ComparisonSession::id` of the session the fixes belong to.
    std::uint64_t session_id = 0;
    std::map<std::string, std::uint64_t> deleted;

    std::uint64_t total_deleted() const noexcept;
    bool operator==(const AccumulatedTargetFix&) const = default;
};

// The request's keys that the session can deploy with this FLS mode, in set order: rows whose scope is
// not PERMISSIONS_ONLY that are deployable and changed, and with an FLS mode other than NONE also
// unchanged rows that carry a permission subject.
app::SelectedKeys deployable_selection(const app::ComparisonSession& session, const app::SelectedKeys& requested,
                                       domain::FlsMode fls_mode);

// Whether a deploy of the selection goes through the Apex test screen: never for a git target; else
// when a selected, deployable, changed row of scope FULL or TRACKING_ONLY has a type whose descriptor
// opens the screen. Record-data types have no descriptor and never do.
bool opens_test_screen(const app::ComparisonSession& session, const app::SelectedKeys& selected);

// Whether every requested name equals, ignoring ASCII case, the name of an offered candidate.
bool candidates_cover(const std::vector<domain::ApexTestCandidate>& candidates, const std::vector<std::string>& names);

// Whether the selection deploys a changed, deployable product-bundle record row (the health check runs
// first then).
bool needs_target_health_check(const app::ComparisonSession& session, const app::SelectedKeys& selected);

// The detail text of a decision, as the deploy's details begin with it.
std::string target_health_details(const TargetHealthDecision& decision);

// None for 0, else "{} records were deleted in the target before the check failed.".
std::optional<std::string> deleted_before_recheck_message(std::uint64_t count);

// The decision after the user chose to deploy with `findings` findings on the screen.
TargetHealthDecision decision_after_deploy(const std::optional<TargetHealthDecision>& current, std::uint64_t findings);

// One "{label}: {message}" line per refused record, in map order; the label is that of the first
// finding whose deletable record is the refused one, and each message goes through `clean`.
std::vector<std::string> refusal_lines(const data::bundles::transfer::HealthReport& report,
                                       const data::bundles::transfer::FixOutcome& outcome,
                                       const std::function<std::string(const std::string&)>& clean);

// Whether the chosen findings are a valid fix: not empty, each a position of a fixable finding.
bool valid_fix_choice(const data::bundles::transfer::HealthReport& report, const std::set<std::size_t>& chosen);

// The deployOutcome record of a summary (counts, failed rows, retried names, modes).
logging::DeployOutcomeRecord deploy_outcome_record(const deployment::DeploymentSummary& summary);
// Writes the deployOutcome line of the summary.
void log_deployment_outcome(logging::LogSink& log, const deployment::DeploymentSummary& summary);
// Writes the targetHealthFix line of a fix: deleted counts in map order and the refused count.
void log_target_health_fix(logging::LogSink& log, const data::bundles::transfer::FixOutcome& outcome);
// Writes the targetHealthCheck line of a report.
void log_target_health_check(logging::LogSink& log, const data::bundles::transfer::HealthReport& report);

}  // namespace ambrel::workflow
