#include "app/permission_retries.hpp"

#include <optional>
#include <set>

#include <fmt/format.h>

#include "app/failure_text_parsers.hpp"
#include "app/row_notes.hpp"
#include "metadata/profile_reference_filter/profile_reference_filter.hpp"
#include "metadata/user_permission_filter/user_permission_filter.hpp"

namespace ambrel::app {
namespace {

namespace prf = metadata::profile_reference_filter;
namespace upf = metadata::user_permission_filter;
using domain::ComponentDeploymentStatus;
using domain::ComponentKey;

constexpr std::string_view kRetryNote = "{}: left out after the target named them: {}.";
constexpr std::string_view kProfileItemPrefix = "userPermissions ";

struct RetryKind {
    std::string_view wire_id;
    std::size_t passes;
    bool profiles;
    std::string_view phrase;
};

constexpr RetryKind kPermissionSetRetry{"PermissionSet", kPermissionSetRetryPasses, false, kPermissionSetRetryPhrase};
constexpr RetryKind kProfileRetry{"Profile", kProfileRetryPasses, true, kProfileRetryPhrase};

void retry_rejected(const RetryKind& kind, const QuillaryApplicationService& service, const ComparisonSession& session,
                    const std::vector<domain::ComponentDifference>& rows, deployment::DeploymentSummary& summary,
                    domain::DeployMode mode, const std::map<ComponentKey, std::string>& pre_deploy_notes,
                    const std::map<ComponentKey, std::string>& failure_texts, UserPermissionCatalogs& catalogs,
                    RetriedRows& retried, const domain::CancellationToken& token) {
    if (!retry_gate_open(session, summary, mode)) return;
    const auto type = metadata_types::metadata_type_by_wire_id(kind.wire_id);
    if (!type) return;

    std::vector<const domain::ComponentDifference*> candidates;
    std::map<ComponentKey, std::string> documents;
    for (const auto& row : rows) {
        if (!takes_part(row, *type)) continue;
        candidates.push_back(&row);
        documents.insert_or_assign(row.key(), row.source.document);
    }
    std::map<ComponentKey, std::string> messages = failure_texts;
    std::map<ComponentKey, std::set<std::string>> removed_permissions;
    std::map<ComponentKey, prf::ReferencesByKind> removed_references;
    std::optional<upf::UserPermissionCatalog> catalog;
    bool catalog_failed = false;

    for (std::size_t pass = 1; pass <= kind.passes; ++pass) {
        std::vector<domain::ComponentDifference> retry_rows;
        for (const domain::ComponentDifference* row : candidates) {
            const ComponentKey& key = row->key();
            if (first_result(summary, key, ComponentDeploymentStatus::Failed) == nullptr) continue;
            const auto message = messages.find(key);
            if (message == messages.end()) continue;
            const std::string& text = message->second;

            const auto dependent = dependent_permissions_in(text);
            const auto labels = kind.profiles ? standard_profile_labels_in(text) : std::set<std::string>{};
            if ((!dependent.empty() || !labels.empty()) && !catalog && !catalog_failed) {
                auto fetched = catalogs.catalog(service.schema(), session.target_username(), token);
                if (fetched) {
                    catalog = std::move(*fetched);
                } else {
                    catalog_failed = true;
                }
            }
            std::set<std::string> named = unknown_user_permissions_in(text);
            if (catalog) {
                for (const std::string& label : labels) {
                    if (const auto found = catalog->labels.find(label); found != catalog->labels.end()) {
                        named.insert(found->second);
                    }
                }
                for (const std::string& name : dependent) {
                    if (catalog->knows(name)) {
                        named.insert(name);
                    } else if (const auto found = catalog->labels.find(name); found != catalog->labels.end()) {
                        named.insert(found->second);
                    }
                }
            }
            const auto references = named_missing_references_in(text);
            if (named.empty() && references.empty()) continue;

            auto& row_permissions = removed_permissions[key];
            auto& row_references = removed_references[key];
            bool something_new = false;
            for (const std::string& name : named) something_new = something_new || !row_permissions.contains(name);
            for (const auto& [reference_kind, names] : references) {
                const auto known = row_references.find(reference_kind);
                for (const std::string& name : names) {
                    something_new = something_new || known == row_references.end() || !known->second.contains(name);
                }
            }
            if (!something_new) continue;
            const auto document = documents.find(key);
            if (document == documents.end()) continue;

            std::set<std::string> leave_permissions = row_permissions;
            leave_permissions.insert(named.begin(), named.end());
            prf::ReferencesByKind leave_references = row_references;
            for (const auto& [reference_kind, names] : references) {
                leave_references[reference_kind].insert(names.begin(), names.end());
            }
            auto filtered = upf::filter_user_permissions(document->second, leave_permissions);
            if (!filtered) continue;
            std::string trimmed = std::move(filtered->document);
            std::set<std::pair<prf::ReferenceKind, std::string>> cut_references;
            if (!leave_references.empty()) {
                auto trim = prf::filter_profile_references(trimmed, leave_references);
                if (!trim) continue;
                trimmed = std::move(trim->document);
                cut_references = std::move(trim->removed);
            }
            if (filtered->left_out.empty() && cut_references.empty()) continue;
            row_permissions.insert(filtered->left_out.begin(), filtered->left_out.end());
            for (auto& [reference_kind, name] : cut_references) row_references[reference_kind].insert(name);
            document->second = trimmed;
            domain::ComponentDifference retry_row = *row;
            retry_row.source.document = std::move(trimmed);
            retry_rows.push_back(std::move(retry_row));
        }
        if (retry_rows.empty()) return;

        auto package = send_retry_package(service, session, retry_rows, token);
        if (!package || !package->package_completed) return;
        const auto results = results_by_key(package->component_results);
        for (const auto& retry_row : retry_rows) {
            const ComponentKey& key = retry_row.key();
            const auto result = results.find(key);
            if (result == results.end()) continue;
            const std::string cleaned = service.sanitize_diagnostic(result->second->message);
            messages.insert_or_assign(key, cleaned);
            std::string notes;
            if (const auto note = pre_deploy_notes.find(key); note != pre_deploy_notes.end()) {
                append_row_note(notes, note->second);
            }
            std::set<std::string> items;
            for (const std::string& name : removed_permissions[key]) {
                items.insert(kind.profiles ? std::string(kProfileItemPrefix) + name : name);
            }
            for (const auto& [reference_kind, names] : removed_references[key]) {
                for (const std::string& name : names) {
                    items.insert(fmt::format("{} {}", prf::metadata_type_name(reference_kind), name));
                }
            }
            if (!items.empty()) {
                append_row_note(notes, fmt::format(fmt::runtime(kRetryNote), kind.phrase, upf::listed_names(items)));
            }
            std::string merged = cleaned;
            if (!notes.empty()) append_row_note(merged, notes);
            // The FAILED result chose the row, so it is the one the retry's outcome replaces.
            if (auto* target = first_result(summary, key, ComponentDeploymentStatus::Failed)) {
                *target = domain::ComponentDeploymentResult{key, std::move(merged), result->second->operation,
                                                            result->second->status};
                retried.record(key, retry_row.source.document, std::move(notes));
            }
        }
    }
}

}  // namespace

bool retry_gate_open(const ComparisonSession& session, const deployment::DeploymentSummary& summary,
                     domain::DeployMode mode) {
    return mode == domain::DeployMode::BestEffort && session.target().is_org() && summary.package_completed;
}

ports::PortResult<deployment::single_package::SinglePackageSummary> send_retry_package(
    const QuillaryApplicationService& service, const ComparisonSession& session,
    const std::vector<domain::ComponentDifference>& rows, const domain::CancellationToken& token) {
    return service.core().single_package_deployment(rows, domain::SelectedPermissions{}, domain::FlsMode::None,
                                                    std::nullopt, domain::DeployMode::BestEffort, std::nullopt,
                                                    session.source(), session.target_username(),
                                                    session.api_version(), token);
}

void retry_rejected_permission_sets(const QuillaryApplicationService& service, const ComparisonSession& session,
                                    const std::vector<domain::ComponentDifference>& rows,
                                    deployment::DeploymentSummary& summary, domain::DeployMode mode,
                                    const std::map<ComponentKey, std::string>& pre_deploy_notes,
                                    const std::map<ComponentKey, std::string>& failure_texts,
                                    UserPermissionCatalogs& catalogs, RetriedRows& retried,
                                    const domain::CancellationToken& token) {
    retry_rejected(kPermissionSetRetry, service, session, rows, summary, mode, pre_deploy_notes, failure_texts,
                   catalogs, retried, token);
}

void retry_rejected_profiles(const QuillaryApplicationService& service, const ComparisonSession& session,
                             const std::vector<domain::ComponentDifference>& rows,
                             deployment::DeploymentSummary& summary, domain::DeployMode mode,
                             const std::map<ComponentKey, std::string>& pre_deploy_notes,
                             const std::map<ComponentKey, std::string>& failure_texts,
                             UserPermissionCatalogs& catalogs, RetriedRows& retried,
                             const domain::CancellationToken& token) {
    retry_rejected(kProfileRetry, service, session, rows, summary, mode, pre_deploy_notes, failure_texts, catalogs,
                   retried, token);
}

}  // namespace ambrel::app
