#include "app/org_bindings.hpp"

#include <optional>
#include <string_view>

namespace ambrel::app {

namespace {

constexpr std::string_view kPermissionSetWireId = "PermissionSet";
constexpr std::string_view kProfileWireId = "Profile";

bool is_deployable_metadata_row(const domain::ComponentDifference& row) {
    return row.deployable && row.change != domain::ChangeKind::NoChange &&
           (row.deploy_scope == domain::MetadataDeployScope::Full ||
            row.deploy_scope == domain::MetadataDeployScope::TrackingOnly);
}

}  // namespace

std::vector<ports::ContainerKey> deploying_container_names(const std::vector<domain::ComponentDifference>& rows,
                                                           metadata_types::MetadataType type,
                                                           domain::FlsContainerKind kind,
                                                           const SelectedKeys& selected) {
    std::vector<ports::ContainerKey> pairs;
    for (const domain::ComponentDifference& row : rows) {
        if (row.key().metadata_type != type || !selected.contains(row.key())) continue;
        if (!is_deployable_metadata_row(row)) continue;
        pairs.emplace_back(kind, row.key().name);
    }
    return pairs;
}

std::set<ports::ContainerKey> deploying_container_pairs(const ComparisonSession& session,
                                                        const SelectedKeys& selected) {
    std::set<ports::ContainerKey> pairs;
    const auto gather = [&](std::string_view wire_id, domain::FlsContainerKind kind) {
        const std::optional<metadata_types::MetadataType> type = metadata_types::metadata_type_by_wire_id(wire_id);
        if (!type) return;
        for (ports::ContainerKey& pair : deploying_container_names(session.rows(), *type, kind, selected)) {
            pairs.insert(std::move(pair));
        }
    };
    gather(kPermissionSetWireId, domain::FlsContainerKind::PermissionSet);
    gather(kProfileWireId, domain::FlsContainerKind::Profile);
    return pairs;
}

}  // namespace ambrel::app
