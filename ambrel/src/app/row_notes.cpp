#include "app/row_notes.hpp"

#include <algorithm>

#include "metadata/user_permission_filter/user_permission_filter.hpp"
#include "text/text.hpp"

namespace ambrel::app {

bool deploys_metadata(const domain::ComponentDifference& row, bool include_edited) {
    using domain::MetadataDeployScope;
    return row.deployable && row.change != domain::ChangeKind::NoChange &&
           (row.deploy_scope == MetadataDeployScope::Full || row.deploy_scope == MetadataDeployScope::TrackingOnly) &&
           (include_edited || !row.edited);
}

bool takes_part(const domain::ComponentDifference& row, metadata_types::MetadataType type) {
    return row.key().metadata_type == type && deploys_metadata(row, false);
}

domain::ComponentDeploymentResult profile_failure(const domain::ComponentDifference& row, std::string message) {
    return domain::ComponentDeploymentResult{row.key(), std::move(message), row.change,
                                             domain::ComponentDeploymentStatus::Failed};
}

void fail_profile_rows(std::vector<domain::ComponentDeploymentResult>& failed,
                       std::vector<domain::ComponentDifference>& rows, const std::set<domain::ComponentKey>& keys,
                       std::string message) {
    for (const auto& row : rows) {
        if (keys.contains(row.key())) failed.push_back(profile_failure(row, message));
    }
    remove_rows(rows, keys);
}

void fail_permission_set_rows(std::vector<domain::ComponentDeploymentResult>& failed,
                              std::vector<domain::ComponentDifference>& rows,
                              const std::set<domain::ComponentKey>& keys, std::string message) {
    fail_profile_rows(failed, rows, keys, std::move(message));
}

void remove_rows(std::vector<domain::ComponentDifference>& rows, const std::set<domain::ComponentKey>& keys) {
    if (keys.empty()) return;
    std::erase_if(rows, [&](const domain::ComponentDifference& row) { return keys.contains(row.key()); });
}

std::string capped_names(const std::vector<std::string>& names) {
    return metadata::user_permission_filter::listed_names(names);
}

domain::ComponentDeploymentResult* first_result(deployment::DeploymentSummary& summary, const domain::ComponentKey& key,
                                                std::optional<domain::ComponentDeploymentStatus> status) {
    for (auto& result : summary.component_results) {
        if (result.key == key && (!status || result.status == *status)) return &result;
    }
    return nullptr;
}

std::map<domain::ComponentKey, const domain::ComponentDeploymentResult*> results_by_key(
    const std::vector<domain::ComponentDeploymentResult>& results) {
    std::map<domain::ComponentKey, const domain::ComponentDeploymentResult*> index;
    for (const auto& result : results) index.insert_or_assign(result.key, &result);
    return index;
}

}  // namespace ambrel::app
