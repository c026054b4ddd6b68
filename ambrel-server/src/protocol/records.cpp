#include "protocol/records.hpp"

#include <algorithm>

#include "data/registry.hpp"
#include "metadata_types/metadata_type.hpp"
#include "text/text.hpp"

namespace ambrel::protocol {
namespace {

using data::preparation::KeyState;
using data::preparation::PreparationSide;
using metadata_types::MetadataType;

json::Value optional_text(const std::optional<std::string>& text) {
    return text ? json::Value(*text) : json::Value(nullptr);
}

json::Array keys_of(const KeyMap& map, const domain::ComponentKey& key) {
    const auto found = map.find(key);
    return found == map.end() ? json::Array{} : component_keys_to_value(found->second);
}

std::string_view status_wire_id(data::preparation::PreparationStatus status) {
    switch (status) {
        case data::preparation::PreparationStatus::Succeeded: return "succeeded";
        case data::preparation::PreparationStatus::Skipped: return "skipped";
        case data::preparation::PreparationStatus::Failed: return "failed";
    }
    return "skipped";
}

std::string_view key_state_wire_id(const KeyState& state) {
    static constexpr std::string_view kIds[] = {"objectAbsent", "notCustomizable", "ownFieldPresent",
                                                "foreignFieldAccepted", "fieldMissing"};
    return kIds[state.value.index()];
}

// The fixed and generic types of the catalogue, then the record-data types: the order both catalogue
// arrays walk.
std::vector<MetadataType> selectable_types() {
    std::vector<MetadataType> types;
    for (const MetadataType& type : metadata_types::all_metadata_types()) {
        if (type.is_selectable()) types.push_back(type);
    }
    for (std::size_t index = 0; index < data::registry::kDataObjectCount; ++index) {
        const MetadataType type = MetadataType::DataRecord(index);
        if (type.is_selectable()) types.push_back(type);
    }
    return types;
}

bool carries_records(const MetadataType& type) {
    return type == MetadataType::ProductBundle || type == MetadataType::ConstraintModel || type.is_data_record();
}

}  // namespace

json::Value component_key_to_value(const domain::ComponentKey& key) {
    json::Object object;
    object["metadataType"] = key.metadata_type.wire_id();
    object["name"] = key.name;
    return object;
}

json::Array component_keys_to_value(const std::set<domain::ComponentKey>& keys) {
    json::Array array;
    array.reserve(keys.size());
    for (const auto& key : keys) array.push_back(component_key_to_value(key));
    return array;
}

json::Value component_difference_to_value(const domain::ComponentDifference& row, const KeyMap& edges,
                                          const UnresolvedMap& unresolved, const KeyMap& cascades,
                                          bool target_is_org) {
    const auto& key = row.key();
    const bool changed = row.change != domain::ChangeKind::NoChange;
    const auto scope = row.deploy_scope;
    json::Object object;
    object["metadataType"] = key.metadata_type.wire_id();
    object["name"] = key.name;
    object["change"] = domain::wire_id(row.change);
    object["deployable"] = row.deployable;
    object["blockReason"] = optional_text(row.block_reason);
    object["canDeployMetadata"] = row.deployable && changed &&
                                  (scope == domain::MetadataDeployScope::Full ||
                                   scope == domain::MetadataDeployScope::TrackingOnly);
    object["canDeploy"] = row.deployable && changed && scope != domain::MetadataDeployScope::PermissionsOnly;
    object["canSyncPermissions"] = row.can_sync_permissions();
    object["metadataDeploy"] = domain::wire_id(scope);
    object["summary"] = row.summary();
    json::Array attributes;
    for (const auto& attribute : row.attribute_differences) {
        json::Object entry;
        entry["displayName"] = attribute.label;
        entry["sourceValue"] = optional_text(attribute.source_value);
        entry["targetValue"] = optional_text(attribute.target_value);
        attributes.push_back(std::move(entry));
    }
    object["attributeDifferences"] = std::move(attributes);
    object["dependencies"] = keys_of(edges, key);
    object["cascadeSelects"] = keys_of(cascades, key);
    object["opensTestScreen"] = target_is_org && !key.metadata_type.is_data_record() &&
                                key.metadata_type.opens_test_screen();
    object["edited"] = row.edited;
    object["editable"] = row.source_is_editable();
    object["bodyChanged"] = row.body_changed;
    json::Array unresolved_entries;
    if (const auto found = unresolved.find(key); found != unresolved.end()) {
        for (const auto& entry : found->second) {
            json::Object item;
            item["reference"] = entry.reference;
            item["message"] = entry.message;
            unresolved_entries.push_back(std::move(item));
        }
    }
    object["unresolvedDependencies"] = std::move(unresolved_entries);
    return object;
}

json::Value differences_to_value(std::span<const domain::ComponentDifference> rows, const KeyMap& edges,
                                 const UnresolvedMap& unresolved, const KeyMap& cascades, bool target_is_org) {
    json::Array array;
    array.reserve(rows.size());
    for (const auto& row : rows) {
        array.push_back(component_difference_to_value(row, edges, unresolved, cascades, target_is_org));
    }
    return array;
}

json::Value org_to_value(const endpoint::OrgAlias& org) {
    json::Object object;
    object["alias"] = org.alias;
    object["username"] = org.username;
    object["orgId"] = org.org_id;
    return object;
}

json::Value endpoint_to_value(const endpoint::DeployEndpoint& endpoint) {
    if (const auto* org = std::get_if<endpoint::DeployEndpoint::Org>(&endpoint.value)) {
        json::Value value = org_to_value(org->org);
        value.as_object()["kind"] = kOrgEndpointKind;
        return value;
    }
    const auto& git = std::get<endpoint::DeployEndpoint::Git>(endpoint.value);
    json::Object branch;
    branch["name"] = git.branch.name;
    branch["kind"] = git.branch.remote ? kRemoteBranchKind : kLocalBranchKind;
    branch["isCurrent"] = git.branch.is_current;
    branch["create"] = git.branch.create;
    branch["base"] = optional_text(git.branch.base);
    if (git.branch.remote) branch["remote"] = *git.branch.remote;
    json::Object object;
    object["kind"] = kGitEndpointKind;
    object["path"] = text::decode_lossy(git.repository.native());
    object["branch"] = std::move(branch);
    return object;
}

json::Value object_to_value(const cli::catalogs::SalesforceObject& object) {
    json::Object value;
    value["apiName"] = object.api_name;
    value["label"] = object.label;
    return value;
}

json::Value manifest_to_value(const workflow::ManifestSelection& selection) {
    json::Object object;
    for (const auto& [type, names] : selection) {
        json::Array members;
        members.reserve(names.size());
        for (const auto& name : names) members.emplace_back(name);
        object[type.wire_id()] = std::move(members);
    }
    return object;
}

json::Value metadata_types_to_value() {
    json::Array array;
    for (const MetadataType& type : selectable_types()) {
        json::Object object;
        object["id"] = type.wire_id();
        object["label"] = type.selection_label();
        object["category"] = metadata_types::wire_id(type.category());
        array.push_back(std::move(object));
    }
    return array;
}

json::Value metadata_categories_to_value() {
    std::set<metadata_types::MetadataCategory> used;
    std::set<metadata_types::MetadataCategory> with_records;
    for (const MetadataType& type : selectable_types()) {
        used.insert(type.category());
        if (carries_records(type)) with_records.insert(type.category());
    }
    json::Array array;
    for (std::size_t index = 0; index < metadata_types::kMetadataCategoryCount; ++index) {
        const auto category = static_cast<metadata_types::MetadataCategory>(index);
        if (!used.contains(category)) continue;
        json::Object object;
        object["id"] = metadata_types::wire_id(category);
        object["label"] = metadata_types::label(category);
        object["records"] = with_records.contains(category);
        array.push_back(std::move(object));
    }
    return array;
}

json::Value progress_to_value(const progress::ProgressEvent& event) {
    json::Object object;
    object["operationId"] = event.operation_id;
    object["stage"] = progress::wire_id(event.stage);
    if (event.current) object["current"] = *event.current;
    if (event.total) object["total"] = *event.total;
    if (event.detail) object["detail"] = *event.detail;
    object["message"] = event.message;
    return object;
}

json::Value log_to_value(const logging::LogSink& log) {
    json::Object object;
    object["level"] = logging::log_level_wire_id(log.level());
    const auto path = log.path();
    object["path"] = path ? json::Value(text::decode_lossy(path->native())) : json::Value(nullptr);
    return object;
}

json::Value component_source_to_value(const component_source::ComponentSource& source) {
    json::Object object;
    object["sourceText"] = optional_text(source.source_text);
    object["targetText"] = optional_text(source.target_text);
    object["sourceMetadataText"] = optional_text(source.source_metadata_text);
    object["targetMetadataText"] = optional_text(source.target_metadata_text);
    object["sourceLabel"] = source.source_label;
    object["targetLabel"] = source.target_label;
    return object;
}

json::Value component_result_to_value(const domain::ComponentDeploymentResult& result) {
    json::Object object;
    object["metadataType"] = result.key.metadata_type.wire_id();
    object["name"] = result.key.name;
    object["operation"] = domain::wire_id(result.operation);
    object["status"] = domain::wire_id(result.status);
    object["message"] = result.message;
    return object;
}

json::Value fls_result_to_value(const domain::FlsResult& result) {
    json::Object object;
    object["kind"] = domain::wire_id(result.container_kind);
    object["container"] = result.container;
    object["containerLabel"] = result.container_label;
    object["permission"] = result.subject.wire_kind();
    object["name"] = result.subject.api_name();
    object["grant"] = result.grant.describe();
    object["status"] = domain::wire_id(result.status);
    object["message"] = result.message;
    return object;
}

json::Value preparation_side_to_value(const data::preparation::OrgPreparationReport& report,
                                      const data::preparation::ObjectPreparation& object,
                                      PreparationSide side) {
    const auto* outcome = report.outcome(object.object_api_name, side);
    const KeyState& state = side == PreparationSide::Source ? object.source_state : object.target_state;
    const auto& unkeyed = side == PreparationSide::Source ? object.source_unkeyed : object.target_unkeyed;
    json::Object value;
    value["keyState"] = key_state_wire_id(state);
    value["keyStateLabel"] = data::preparation::key_state_label(state);
    if (std::holds_alternative<KeyState::OwnFieldPresent>(state.value)) {
        value["keyField"] = data::preparation::kOwnField;
    } else if (const auto* foreign = std::get_if<KeyState::ForeignFieldAccepted>(&state.value)) {
        value["keyField"] = foreign->field;
    } else {
        value["keyField"] = nullptr;
    }
    value["recordsAwaitingKey"] = unkeyed ? json::Value(*unkeyed) : json::Value(nullptr);
    value["outcome"] = outcome ? json::Value(status_wire_id(outcome->status)) : json::Value(nullptr);
    value["recordsKeyed"] = outcome ? json::Value(outcome->records_keyed) : json::Value(nullptr);
    value["message"] = outcome ? optional_text(outcome->message) : json::Value(nullptr);
    return value;
}

json::Value org_preparation_to_value(const data::preparation::OrgPreparationReport& report) {
    json::Object value;
    value["sourceAlias"] = report.plan.source_alias;
    value["targetAlias"] = report.plan.target_alias;
    value["applied"] = report.applied;
    value["hasWork"] = report.plan.has_work();
    value["summary"] = report.summary();
    json::Array objects;
    for (const auto& object : report.plan.objects) {
        json::Object entry;
        entry["apiName"] = object.object_api_name;
        entry["displayName"] = object.display_name;
        entry["loadOrder"] = static_cast<std::uint64_t>(object.load_order);
        entry["source"] = preparation_side_to_value(report, object, PreparationSide::Source);
        entry["target"] = preparation_side_to_value(report, object, PreparationSide::Target);
        objects.push_back(std::move(entry));
    }
    value["objects"] = std::move(objects);
    return value;
}

}  // namespace ambrel::protocol
