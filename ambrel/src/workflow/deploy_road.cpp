#include "workflow/deploy_road.hpp"

#include <algorithm>
#include <numeric>
#include <string>
#include <unordered_set>
#include <utility>

#include <fmt/format.h>

#include "metadata_types/type_descriptor.hpp"
#include "text/text.hpp"

namespace ambrel::workflow {

namespace {

using domain::ChangeKind;
using domain::ComponentDeploymentStatus;
using domain::MetadataDeployScope;

constexpr std::string_view kFixAndDeployText = "Target fix: {}{}.";
constexpr std::string_view kDeletedPart = "{}: {} deleted";
constexpr std::string_view kNothingDeleted = "nothing deleted";
constexpr std::string_view kRefusedPart = ", {} refused ({})";
constexpr std::string_view kRefusalLine = "{}: {}";

// The notes that the deploy retries put into a retried row's message.
constexpr std::string_view kRetriedGroupNote =
    "Retried this Permission Set Group without the Permission Set(s) that did not deploy in this run";
constexpr std::string_view kRetriedContextNote =
    "Retry of this Context Definition without the references that did not deploy in this run or that the target "
    "named";
constexpr std::string_view kRetriedPermissionSetNote = "Retry of this Permission Set without the reference(s) the target named";
constexpr std::string_view kRetriedProfileNote = "Retry of this Profile without the reference(s) the target named";

bool changed_deployable(const domain::ComponentDifference& row) {
    return row.deployable && row.change != ChangeKind::NoChange;
}

std::string type_name(metadata_types::MetadataType type) {
    // Record-data types have no descriptor; their wire name is their object's API name.
    if (type.is_data_record()) return std::string(type.wire_id());
    return std::string(type.descriptor().api_name);
}

std::string_view operation_label(ChangeKind change) {
    switch (change) {
        case ChangeKind::Add: return "Add";
        case ChangeKind::Update: return "Update";
        case ChangeKind::NoChange: return "NoChange";
        case ChangeKind::NotComparable: return "NotComparable";
    }
    return "NoChange";
}

std::string_view status_label(ComponentDeploymentStatus status) {
    switch (status) {
        case ComponentDeploymentStatus::Succeeded: return "Succeeded";
        case ComponentDeploymentStatus::Failed: return "Failed";
        case ComponentDeploymentStatus::NotAttempted: return "NotAttempted";
    }
    return "NotAttempted";
}

std::string_view fls_status_label(domain::FlsResultStatus status) {
    switch (status) {
        case domain::FlsResultStatus::Updated: return "Updated";
        case domain::FlsResultStatus::Skipped: return "Skipped";
        case domain::FlsResultStatus::Failed: return "Failed";
        case domain::FlsResultStatus::NotAttempted: return "NotAttempted";
    }
    return "NotAttempted";
}

std::string_view mode_label(domain::DeployMode mode) {
    switch (mode) {
        case domain::DeployMode::BestEffort: return "BestEffort";
        case domain::DeployMode::ValidateOnly: return "ValidateOnly";
        case domain::DeployMode::AllOrNothing: return "AllOrNothing";
    }
    return "BestEffort";
}

bool contains(std::string_view text, std::string_view part) { return text.find(part) != std::string_view::npos; }

}  // namespace

std::string_view scenario_label(const TargetHealthDecision& decision) noexcept {
    switch (decision.index()) {
        case 0: return "fixAndDeploy";
        case 1: return "deployWithoutFixing";
        default: return "deployAfterRecheck";
    }
}

std::uint64_t AccumulatedTargetFix::total_deleted() const noexcept {
    std::uint64_t total = 0;
    for (const auto& [object, count] : deleted) total += count;
    return total;
}

app::SelectedKeys deployable_selection(const app::ComparisonSession& session, const app::SelectedKeys& requested,
                                       domain::FlsMode fls_mode) {
    app::SelectedKeys deployable;
    for (const auto& row : session.rows()) {
        const bool metadata = row.deploy_scope != MetadataDeployScope::PermissionsOnly && changed_deployable(row);
        const bool permissions_only = fls_mode != domain::FlsMode::None && row.change == ChangeKind::NoChange &&
                                      row.permission_subject().has_value();
        if ((metadata || permissions_only) && requested.contains(row.key())) deployable.insert(row.key());
    }
    return deployable;
}

bool opens_test_screen(const app::ComparisonSession& session, const app::SelectedKeys& selected) {
    if (session.target().is_git()) return false;
    for (const auto& row : session.rows()) {
        if (!changed_deployable(row)) continue;
        if (row.deploy_scope != MetadataDeployScope::Full && row.deploy_scope != MetadataDeployScope::TrackingOnly) {
            continue;
        }
        const auto type = row.key().metadata_type;
        // Asked before the descriptor: a record-data type has none and never opens the screen.
        if (type.is_data_record()) continue;
        if (selected.contains(row.key()) && type.opens_test_screen()) return true;
    }
    return false;
}

bool candidates_cover(const std::vector<domain::ApexTestCandidate>& candidates, const std::vector<std::string>& names) {
    std::unordered_set<std::string> offered;
    for (const auto& candidate : candidates) offered.insert(text::to_lower(candidate.name));
    return std::ranges::all_of(names, [&](const std::string& name) { return offered.contains(text::to_lower(name)); });
}

bool needs_target_health_check(const app::ComparisonSession& session, const app::SelectedKeys& selected) {
    return std::ranges::any_of(session.rows(), [&](const domain::ComponentDifference& row) {
        return row.key().metadata_type == metadata_types::MetadataType::ProductBundle &&
               row.deploy_scope == MetadataDeployScope::Records && changed_deployable(row) &&
               selected.contains(row.key());
    });
}

std::string target_health_details(const TargetHealthDecision& decision) {
    if (const auto* fix = std::get_if<FixAndDeploy>(&decision)) {
        std::vector<std::string> parts;
        for (const auto& [object, count] : fix->deleted) {
            parts.push_back(fmt::format(fmt::runtime(kDeletedPart), object, count));
        }
        if (parts.empty()) parts.emplace_back(kNothingDeleted);
        std::string refused;
        if (!fix->refusal_lines.empty()) {
            refused = fmt::format(fmt::runtime(kRefusedPart), fix->refusal_lines.size(),
                                  fmt::join(fix->refusal_lines, "; "));
        }
        return fmt::format(fmt::runtime(kFixAndDeployText), fmt::join(parts, ", "), refused);
    }
    if (const auto* without = std::get_if<DeployWithoutFixing>(&decision)) {
        std::string line = fmt::format(fmt::runtime(kDeployedWithoutFixing), without->findings);
        if (without->earlier_details && !without->earlier_details->empty()) {
            return fmt::format("{}\n{}", fmt::join(*without->earlier_details, "\n"), line);
        }
        return line;
    }
    return std::string(kNoFindingsAfterRecheck);
}

std::optional<std::string> deleted_before_recheck_message(std::uint64_t count) {
    if (count == 0) return std::nullopt;
    return fmt::format(fmt::runtime(kDeletedBeforeCheckFailed), count);
}

TargetHealthDecision decision_after_deploy(const std::optional<TargetHealthDecision>& current, std::uint64_t findings) {
    if (findings == 0) {
        if (current && std::holds_alternative<FixAndDeploy>(*current)) return *current;
        return DeployAfterRecheck{};
    }
    DeployWithoutFixing without;
    without.findings = findings;
    if (current && std::holds_alternative<FixAndDeploy>(*current)) {
        without.earlier_details = std::vector<std::string>{target_health_details(*current)};
    }
    return without;
}

std::vector<std::string> refusal_lines(const data::bundles::transfer::HealthReport& report,
                                       const data::bundles::transfer::FixOutcome& outcome,
                                       const std::function<std::string(const std::string&)>& clean) {
    std::vector<std::string> lines;
    lines.reserve(outcome.refused.size());
    for (const auto& [record_id, message] : outcome.refused) {
        std::string_view label = kUnknownRefusedRecordLabel;
        for (const auto& finding : report.findings) {
            if (finding.delete_id == record_id) {
                label = finding.label;
                break;
            }
        }
        lines.push_back(fmt::format(fmt::runtime(kRefusalLine), label, clean(message)));
    }
    return lines;
}

bool valid_fix_choice(const data::bundles::transfer::HealthReport& report, const std::set<std::size_t>& chosen) {
    if (chosen.empty()) return false;
    return std::ranges::all_of(chosen, [&](std::size_t index) {
        return index < report.findings.size() && report.findings[index].fixable;
    });
}

logging::DeployOutcomeRecord deploy_outcome_record(const deployment::DeploymentSummary& summary) {
    logging::DeployOutcomeRecord record;
    record.deploy_mode = std::string(mode_label(summary.deploy_mode));
    record.total = summary.component_results.size();
    for (const auto& result : summary.component_results) {
        switch (result.status) {
            case ComponentDeploymentStatus::Succeeded: ++record.succeeded; break;
            case ComponentDeploymentStatus::Failed: ++record.failed; break;
            case ComponentDeploymentStatus::NotAttempted: ++record.not_attempted; break;
        }
        if (result.status != ComponentDeploymentStatus::Succeeded) {
            record.failed_components.push_back(logging::FailedComponentRow{
                .type = type_name(result.key.metadata_type),
                .name = result.key.name,
                .operation = std::string(operation_label(result.operation)),
                .status = std::string(status_label(result.status)),
                .message = result.message,
            });
        }
        if (contains(result.message, kRetriedGroupNote)) record.retried_permission_set_groups.push_back(result.key.name);
        if (contains(result.message, kRetriedContextNote)) record.retried_context_definitions.push_back(result.key.name);
        if (contains(result.message, kRetriedPermissionSetNote)) record.retried_permission_sets.push_back(result.key.name);
        if (contains(result.message, kRetriedProfileNote)) record.retried_profiles.push_back(result.key.name);
    }
    record.fls_total = summary.fls_results.size();
    for (const auto& result : summary.fls_results) {
        if (result.status == domain::FlsResultStatus::Updated) continue;
        ++record.fls_failed;
        record.failed_fls.push_back(logging::FailedFlsRow{
            .container_api_name = result.container,
            .subject = result.subject.api_name(),
            .status = std::string(fls_status_label(result.status)),
            .message = result.message,
        });
    }
    if (summary.tests) {
        record.tests_run = summary.tests->first;
        record.tests_failed = summary.tests->second;
    }
    record.quick_deploy_performed = summary.quick_deploy_performed;
    record.deployed_by_target = summary.deployed_count;
    return record;
}

void log_deployment_outcome(logging::LogSink& log, const deployment::DeploymentSummary& summary) {
    log.deploy_outcome(deploy_outcome_record(summary));
}

void log_target_health_fix(logging::LogSink& log, const data::bundles::transfer::FixOutcome& outcome) {
    std::vector<std::pair<std::string, std::uint64_t>> deleted(outcome.deleted.begin(), outcome.deleted.end());
    log.target_health_fix(deleted, outcome.refused.size());
}

void log_target_health_check(logging::LogSink& log, const data::bundles::transfer::HealthReport& report) {
    std::uint64_t unfixable = 0;
    std::uint64_t duplicates = 0;
    std::uint64_t missing = 0;
    std::uint64_t fixable = 0;
    for (const auto& finding : report.findings) {
        switch (finding.kind) {
            case data::bundles::transfer::FindingKind::Unfixable: ++unfixable; break;
            case data::bundles::transfer::FindingKind::Duplicate: ++duplicates; break;
            case data::bundles::transfer::FindingKind::MissingCatalog: ++missing; break;
        }
        if (finding.fixable) ++fixable;
    }
    log.target_health_check(unfixable, duplicates, missing, report.dependents, fixable);
}

}  // namespace ambrel::workflow
