#include "app/permission_set_group_adaptation.hpp"

#include <fmt/format.h>

#include "app/compare_steps.hpp"
#include "app/permission_retries.hpp"
#include "app/row_notes.hpp"
#include "metadata/permission_set_group_filter/permission_set_group_filter.hpp"
#include "metadata/readers/permission_set_group_reader.hpp"
#include "metadata/user_permission_filter/user_permission_filter.hpp"

namespace ambrel::app {
namespace {

using domain::ChangeKind;
using domain::ComponentDeploymentStatus;
namespace psg = metadata::permission_set_group_filter;

constexpr std::string_view kGroupWireId = "PermissionSetGroup";
constexpr std::string_view kPermissionSetWireId = "PermissionSet";

ports::PortResult<std::set<std::string>> target_permission_sets(const QuillaryApplicationService& service,
                                                                const ComparisonSession& session,
                                                                const domain::CancellationToken& token) {
    if (session.target().is_org()) {
        return service.permission_set_name_listing().permission_set_name_listing(session.target_username(), token);
    }
    auto files = service.git().git_container_listing(session.target(), token);
    if (!files) return std::unexpected(std::move(files.error()));
    std::set<std::string> names;
    for (const auto& file : *files) {
        if (file.kind == domain::FlsContainerKind::PermissionSet) names.insert(file.name);
    }
    return names;
}

}  // namespace

UseCaseResult<PermissionSetGroupFiltering> filter_permission_set_groups(const QuillaryApplicationService& service,
                                                                        const ComparisonSession& session,
                                                                        std::vector<domain::ComponentDifference>& rows,
                                                                        const domain::CancellationToken& token) {
    PermissionSetGroupFiltering filtering;
    const auto group_type = metadata_types::metadata_type_by_wire_id(kGroupWireId);
    const auto set_type = metadata_types::metadata_type_by_wire_id(kPermissionSetWireId);
    if (!group_type || !set_type) return filtering;
    std::set<domain::ComponentKey> eligible;
    for (const auto& row : rows) {
        if (takes_part(row, *group_type)) eligible.insert(row.key());
    }
    if (eligible.empty()) return filtering;
    if (auto cancelled = throw_if_cancelled(token); !cancelled) return std::unexpected(cancelled.error());

    auto listed = target_permission_sets(service, session, token);
    if (!listed) {
        if (listed.error().kind == FailureKind::Cancelled) return std::unexpected(std::move(listed.error()));
        fail_profile_rows(filtering.failed, rows, eligible,
                          fmt::format(fmt::runtime(kPermissionSetsUnlisted),
                                      service.sanitize_diagnostic(listed.error().first_message())));
        return filtering;
    }
    filtering.target_names = std::move(*listed);
    std::set<std::string> allowed = filtering.target_names;
    for (const auto& row : rows) {
        if (row.key().metadata_type == *set_type && row.change == ChangeKind::Add && deploys_metadata(row, true)) {
            allowed.insert(row.key().name);
        }
    }
    const bool org_target = session.target().is_org();
    std::set<domain::ComponentKey> failed_keys;
    for (auto& row : rows) {
        if (!eligible.contains(row.key())) continue;
        auto filtered = psg::filter_permission_set_group(row.source.document, allowed, org_target, org_target);
        if (!filtered) {
            filtering.failed.push_back(profile_failure(
                row, service.sanitize_diagnostic(fmt::format(fmt::runtime(kGroupParseMessage), filtered.error()))));
            failed_keys.insert(row.key());
            continue;
        }
        if (auto note = filtered->message()) filtering.notes.insert_or_assign(row.key(), std::move(*note));
        row.source.document = std::move(filtered->document);
    }
    remove_rows(rows, failed_keys);
    return filtering;
}

void retry_rejected_permission_set_groups(const QuillaryApplicationService& service, const ComparisonSession& session,
                                          const std::vector<domain::ComponentDifference>& rows,
                                          deployment::DeploymentSummary& summary, domain::DeployMode mode,
                                          const std::set<std::string>& target_names, RetriedRows& retried,
                                          const domain::CancellationToken& token) {
    if (!retry_gate_open(session, summary, mode)) return;
    const auto group_type = metadata_types::metadata_type_by_wire_id(kGroupWireId);
    const auto set_type = metadata_types::metadata_type_by_wire_id(kPermissionSetWireId);
    if (!group_type || !set_type) return;

    std::set<std::string> failed_names;
    std::set<std::string> created_on_retry;
    std::set<std::string> existing = target_names;
    for (const auto& result : summary.component_results) {
        if (result.key.metadata_type != *set_type) continue;
        if (result.status != ComponentDeploymentStatus::Succeeded) failed_names.insert(result.key.name);
        if (result.operation == ChangeKind::Add && result.status == ComponentDeploymentStatus::Succeeded) {
            existing.insert(result.key.name);
            if (result.message.find(kPermissionSetRetryPhrase) != std::string::npos) {
                created_on_retry.insert(result.key.name);
            }
        }
    }
    if (failed_names.empty() && created_on_retry.empty()) return;

    std::vector<domain::ComponentDifference> retry_rows;
    std::map<domain::ComponentKey, std::string> retry_notes;
    for (const auto& row : rows) {
        if (row.key().metadata_type != *group_type) continue;
        if (first_result(summary, row.key(), ComponentDeploymentStatus::Failed) == nullptr) continue;
        auto referenced = metadata::permission_set_group_reader::parse_permission_set_group_references(
            row.key().name, row.source.document);
        if (!referenced) continue;
        std::vector<std::string> retried_members;
        bool qualifies = false;
        for (const std::string& name : *referenced) {
            if (created_on_retry.contains(name)) retried_members.push_back(name);
            qualifies = qualifies || failed_names.contains(name) || created_on_retry.contains(name);
        }
        if (!qualifies) continue;
        auto filtered = psg::filter_permission_set_group(row.source.document, existing, true, true);
        if (!filtered) continue;
        std::string reason;
        if (auto note = filtered->message()) {
            reason = std::move(*note);
        } else if (!retried_members.empty()) {
            reason = fmt::format(fmt::runtime(kGroupRetriedAlone),
                                 metadata::user_permission_filter::listed_names(retried_members));
        } else {
            reason = std::string(kGroupMembersAllFailed);
        }
        retry_notes.insert_or_assign(row.key(), fmt::format("{}: {}", kPermissionSetGroupRetryPhrase, reason));
        domain::ComponentDifference retry_row = row;
        retry_row.source.document = std::move(filtered->document);
        retry_rows.push_back(std::move(retry_row));
    }
    if (retry_rows.empty()) return;
    auto package = send_retry_package(service, session, retry_rows, token);
    if (!package || !package->package_completed) return;
    const auto results = results_by_key(package->component_results);
    for (const auto& retry_row : retry_rows) {
        const auto result = results.find(retry_row.key());
        if (result == results.end()) continue;
        // The FAILED result chose the group, so it is the one the retry's outcome replaces.
        auto* target = first_result(summary, retry_row.key(), ComponentDeploymentStatus::Failed);
        if (target == nullptr) continue;
        std::string message = service.sanitize_diagnostic(result->second->message);
        const std::string& note = retry_notes.at(retry_row.key());
        append_row_note(message, note);
        *target = domain::ComponentDeploymentResult{retry_row.key(), std::move(message), result->second->operation,
                                                    result->second->status};
        retried.record(retry_row.key(), retry_row.source.document, note);
    }
}

}  // namespace ambrel::app
