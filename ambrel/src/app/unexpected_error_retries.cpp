#include "app/unexpected_error_retries.hpp"

#include <set>

#include "app/permission_retries.hpp"
#include "app/row_notes.hpp"
#include "metadata_types/name_rules.hpp"
#include "text/text.hpp"

namespace ambrel::app {
namespace {

using domain::ComponentDeploymentStatus;

// Deployable, changed, scope FULL; edited rows count too. A tracking-only row would send the source's
// whole field document over the target's own field, and a layout element row is no component of its
// own, so both keep the results the package gave them.
bool is_candidate(const domain::ComponentDifference& row) {
    if (!deploys_metadata(row, true) || row.deploy_scope != domain::MetadataDeployScope::Full) return false;
    return !(row.key().metadata_type == metadata_types::MetadataType::Layout &&
             metadata_types::parse_layout_element_name(row.key().name).has_value());
}

bool fails_unexpectedly(const domain::ComponentDeploymentResult& result) {
    return result.status == ComponentDeploymentStatus::Failed &&
           result.message.find(kUnexpectedErrorMarker) != std::string::npos;
}

// The result that selected the row: its first FAILED result carrying the marker.
domain::ComponentDeploymentResult* selecting_result(deployment::DeploymentSummary& summary,
                                                    const domain::ComponentKey& key) {
    for (auto& result : summary.component_results) {
        if (result.key == key && fails_unexpectedly(result)) return &result;
    }
    return nullptr;
}

// The row as it last went out: with the document of its own earlier retry, when it had one.
domain::ComponentDifference latest(const domain::ComponentDifference& row, const RetriedRows& retried) {
    domain::ComponentDifference sent = row;
    if (const auto document = retried.documents.find(row.key()); document != retried.documents.end()) {
        sent.source.document = document->second;
    }
    return sent;
}

// Replaces `target` (the result that selected the row) by the package's result for the key, with a
// new message that keeps the row's notes; a row without a result in the package keeps its result.
void merge_retry_result(const QuillaryApplicationService& service, domain::ComponentDeploymentResult* target,
                        const deployment::single_package::SinglePackageSummary& package,
                        const domain::ComponentKey& key, const RetriedRows& retried, std::string_view outcome) {
    const auto results = results_by_key(package.component_results);
    const auto result = results.find(key);
    if (result == results.end() || target == nullptr) return;
    std::string message = service.sanitize_diagnostic(result->second->message);
    if (const auto notes = retried.notes.find(key); notes != retried.notes.end() && !text::is_blank(notes->second)) {
        append_row_note(message, notes->second);
    }
    *target = domain::ComponentDeploymentResult{key, suffixed_retry_outcome(message, outcome),
                                                result->second->operation, result->second->status};
}

}  // namespace

std::string suffixed_retry_outcome(std::string_view text, std::string_view outcome) {
    const std::string_view trimmed = text::trim_end(text);
    if (trimmed.empty()) return std::string(outcome);
    std::string out(trimmed);
    const char last = trimmed.back();
    if (last != '.' && last != '!' && last != '?') out += '.';
    out += ' ';
    out += outcome;
    return out;
}

std::size_t retry_unexpected_errors(const QuillaryApplicationService& service, const ComparisonSession& session,
                                    const std::vector<domain::ComponentDifference>& rows,
                                    deployment::DeploymentSummary& summary, domain::DeployMode mode,
                                    const std::map<domain::ComponentKey, std::string>& messages,
                                    const RetriedRows& retried, const domain::CancellationToken& token) {
    if (!retry_gate_open(session, summary, mode)) return 0;
    std::vector<domain::ComponentDifference> selected;
    for (const auto& row : rows) {
        if (!is_candidate(row)) continue;
        if (first_result(summary, row.key(), ComponentDeploymentStatus::Failed) == nullptr) continue;
        const auto message = messages.find(row.key());
        if (message == messages.end() || message->second.find(kUnexpectedErrorMarker) == std::string::npos) continue;
        selected.push_back(latest(row, retried));
    }
    if (selected.empty()) return 0;
    auto package = send_retry_package(service, session, selected, token);
    if (package && package->package_completed) {
        for (const auto& row : selected) {
            merge_retry_result(service, first_result(summary, row.key(), ComponentDeploymentStatus::Failed), *package,
                               row.key(), retried, kGroupRetryOutcome);
        }
    }
    return selected.size();
}

void retry_unexpected_errors_isolated(const QuillaryApplicationService& service, const ComparisonSession& session,
                                      const std::vector<domain::ComponentDifference>& rows,
                                      deployment::DeploymentSummary& summary, domain::DeployMode mode,
                                      std::size_t group_count, const RetriedRows& retried,
                                      const domain::CancellationToken& token) {
    if (!retry_gate_open(session, summary, mode)) return;
    std::vector<const domain::ComponentDifference*> selected;
    for (const auto& row : rows) {
        if (!is_candidate(row)) continue;
        if (selecting_result(summary, row.key()) != nullptr) selected.push_back(&row);
    }
    if (group_count < 2 || selected.empty()) return;
    if (session.retry_unexpected_errors_alone()) {
        for (const auto* row : selected) {
            if (token.is_cancelled()) return;
            auto package = send_retry_package(service, session, {latest(*row, retried)}, token);
            if (!package || !package->package_completed) continue;
            merge_retry_result(service, selecting_result(summary, row->key()), *package, row->key(), retried,
                               kAloneRetryOutcome);
        }
        return;
    }
    if (token.is_cancelled()) return;
    for (const auto* row : selected) {
        if (auto* result = selecting_result(summary, row->key())) {
            result->message = suffixed_retry_outcome(result->message, kRetryAloneAdvice);
        }
    }
}

}  // namespace ambrel::app
