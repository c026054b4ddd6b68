#include "app/deploy_passes.hpp"

#include "app/deploy_details.hpp"

namespace ambrel::app {

void apply_pass(const RowNotes& notes, const FailedResults& failed, deployment::DeploymentSummary& summary) {
    if (!notes.empty()) {
        for (auto& result : summary.component_results) {
            if (auto note = notes.find(result.key); note != notes.end()) append_row_note(result.message, note->second);
        }
    }
    summary.component_results.insert(summary.component_results.end(), failed.begin(), failed.end());
}

MessageSnapshot message_snapshot(const std::vector<domain::ComponentDeploymentResult>& results) {
    MessageSnapshot snapshot;
    for (const auto& result : results) snapshot.insert_or_assign(result.key, result.message);
    return snapshot;
}

}  // namespace ambrel::app
