#include "dispatch/params.hpp"

#include <fmt/format.h>

#include "git/repo_path.hpp"

namespace ambrel::dispatch {
namespace {

using protocol::invalid_params;

const json::Value* member(const json::Value& params, std::string_view key) { return json::find(params, key); }

// Present for the optional parts of an export: the member exists and is not null.
bool present(const json::Value& params, std::string_view key) {
    const auto* value = member(params, key);
    return value != nullptr && !value->is_null();
}

std::unexpected<protocol::RpcError> refuse(std::string message) {
    return std::unexpected(invalid_params(std::move(message)));
}

std::optional<std::string_view> text_member(const json::Value* value) {
    return value == nullptr ? std::nullopt : json::as_string(*value);
}

bool non_empty_text(const json::Value* value) {
    const auto text = text_member(value);
    return text && !text->empty();
}

ParamResult<std::uint64_t> session_id(const json::Value& params) {
    const auto* value = member(params, "sessionId");
    const auto id = value == nullptr ? std::nullopt : json::as_uint64(*value);
    if (!id) return refuse("Parameter 'sessionId' must be a number.");
    return *id;
}

ParamResult<metadata_types::MetadataType> known_metadata_type(const json::Value& params) {
    const auto text = text_member(member(params, "metadataType"));
    const auto type = text ? metadata_types::MetadataType::from_wire_id(*text) : std::nullopt;
    if (!type) return refuse("Parameter 'metadataType' must be a known metadata type id.");
    return *type;
}

ParamResult<endpoint::DeployEndpoint> git_endpoint(const json::Value& endpoint_value) {
    const auto path = text_member(json::find(endpoint_value, "path"));
    if (!path || path->empty()) return refuse("A git endpoint must carry a non-empty 'path'.");
    const auto* branch = json::find(endpoint_value, "branch");
    if (branch == nullptr) return refuse("A git endpoint must carry a 'branch' object.");
    const auto name = text_member(json::find(*branch, "name"));
    if (!name || name->empty()) return refuse("A git branch must carry a non-empty 'name'.");
    endpoint::GitBranchRef ref;
    ref.name = std::string(*name);
    const auto kind = text_member(json::find(*branch, "kind"));
    if (kind && *kind == "remote") {
        const auto remote = text_member(json::find(*branch, "remote"));
        ref.remote = std::string(remote ? *remote : kDefaultRemote);
    } else if (kind && *kind != "local") {
        return refuse("A git branch 'kind' must be local or remote.");
    }
    const auto* is_current = json::find(*branch, "isCurrent");
    ref.is_current = is_current != nullptr && json::as_bool(*is_current).value_or(false);
    const auto* create = json::find(*branch, "create");
    ref.create = create != nullptr && json::as_bool(*create).value_or(false);
    if (const auto base = text_member(json::find(*branch, "base"))) ref.base = std::string(*base);
    const auto repository = git::repo_path::resolve_repo_path_input(*path, git::repo_path::home_directory());
    return endpoint::DeployEndpoint{endpoint::DeployEndpoint::Git{repository, std::move(ref)}};
}

}  // namespace

ParamResult<std::string> string_param(const json::Value& params, std::string_view key) {
    const auto text = text_member(member(params, key));
    if (!text) return refuse(fmt::format("Parameter '{}' must be a string.", key));
    return std::string(*text);
}

ParamResult<StringSet> string_set_param(const json::Value& params) {
    const auto* value = member(params, kCurrentSelectionKey);
    const auto* array = value == nullptr ? nullptr : json::as_array(*value);
    if (array == nullptr) return refuse(fmt::format("Parameter '{}' must be an array of strings.", kCurrentSelectionKey));
    StringSet set;
    for (const auto& element : *array) {
        const auto text = json::as_string(element);
        if (!text) return refuse(fmt::format("Parameter '{}' must contain only strings.", kCurrentSelectionKey));
        set.emplace(*text);
    }
    return set;
}

ParamResult<std::vector<std::string>> parse_test_names(const json::Value& params) {
    const auto* value = member(params, "tests");
    const auto* array = value == nullptr ? nullptr : json::as_array(*value);
    if (array == nullptr) return refuse("Parameter 'tests' must be an array of strings.");
    std::vector<std::string> names;
    names.reserve(array->size());
    for (const auto& element : *array) {
        const auto text = json::as_string(element);
        if (!text) return refuse("Parameter 'tests' must contain only strings.");
        names.emplace_back(*text);
    }
    return names;
}

ParamResult<domain::FlsMode> parse_fls_mode(const json::Value& params) {
    const auto text = text_member(member(params, "flsMode"));
    const auto mode = text ? domain::fls_mode_from_wire_id(*text) : std::nullopt;
    if (!mode) return refuse("Parameter 'flsMode' must be one of NONE, ADDITIVE, ALL.");
    return *mode;
}

ParamResult<std::optional<domain::DeployMode>> parse_optional_deploy_mode(const json::Value& params) {
    const auto* value = member(params, "deployMode");
    if (value == nullptr || value->is_null()) return std::optional<domain::DeployMode>{};
    const auto text = json::as_string(*value);
    const auto mode = text ? domain::deploy_mode_from_wire_id(*text) : std::nullopt;
    if (!mode) return refuse(std::string(kDeployModeMessage));
    return mode;
}

ParamResult<KeySet> parse_component_keys(const json::Value& params) {
    const auto* value = member(params, "selected");
    const auto* array = value == nullptr ? nullptr : json::as_array(*value);
    if (array == nullptr) return refuse("Parameter 'selected' must be an array of component keys.");
    KeySet keys;
    for (const auto& entry : *array) {
        const auto type_text = text_member(json::find(entry, "metadataType"));
        const auto type = type_text ? metadata_types::MetadataType::from_wire_id(*type_text) : std::nullopt;
        const auto name = text_member(json::find(entry, "name"));
        if (!type || !name) return refuse("Each 'selected' entry must have a known 'metadataType' and a 'name' string.");
        keys.insert(domain::ComponentKey{*type, std::string(*name)});
    }
    return keys;
}

ParamResult<workflow::ContainerSet> parse_container_pairs(const json::Value& params) {
    const auto* value = member(params, "containers");
    const auto* array = value == nullptr ? nullptr : json::as_array(*value);
    if (array == nullptr) return refuse("Parameter 'containers' must be an array.");
    workflow::ContainerSet containers;
    for (const auto& entry : *array) {
        const auto kind_text = text_member(json::find(entry, "kind"));
        const auto kind = kind_text ? domain::fls_container_kind_from_wire_id(*kind_text) : std::nullopt;
        if (!kind) return refuse("Each container 'kind' must be PERMISSION_SET or PROFILE.");
        const auto api_name = text_member(json::find(entry, "apiName"));
        if (!api_name) return refuse("Each container must have an 'apiName' string.");
        containers.emplace(*kind, std::string(*api_name));
    }
    return containers;
}

ParamResult<ConfirmTests> parse_confirm_tests(const json::Value& params) {
    if (auto id = session_id(params); !id) return std::unexpected(std::move(id.error()));
    auto tests = parse_test_names(params);
    if (!tests) return std::unexpected(std::move(tests.error()));
    auto mode = parse_optional_deploy_mode(params);
    if (!mode) return std::unexpected(std::move(mode.error()));
    return ConfirmTests{std::move(*tests), *mode};
}

ParamResult<ComponentSourceRequest> parse_component_source(const json::Value& params) {
    auto id = session_id(params);
    if (!id) return std::unexpected(std::move(id.error()));
    auto type = known_metadata_type(params);
    if (!type) return std::unexpected(std::move(type.error()));
    auto name = string_param(params, "name");
    if (!name) return std::unexpected(std::move(name.error()));
    return ComponentSourceRequest{*id, *type, std::move(*name)};
}

ParamResult<endpoint::DeployEndpoint> parse_endpoint_param(const json::Value& params) {
    const auto* value = member(params, "endpoint");
    if (value == nullptr) return refuse("Parameter 'endpoint' must be an object.");
    const auto kind = text_member(json::find(*value, "kind"));
    if (!kind || (*kind != "org" && *kind != "git" && *kind != "github")) {
        return refuse("Parameter 'endpoint.kind' must be org, git or github.");
    }
    if (*kind == "github") return refuse("GitHub endpoints are not yet supported.");
    if (*kind == "org") {
        const auto* alias = json::find(*value, "alias");
        if (!non_empty_text(alias)) return refuse("An org endpoint must carry a non-empty 'alias'.");
        endpoint::OrgAlias org;
        org.alias = std::string(*json::as_string(*alias));
        return endpoint::DeployEndpoint{endpoint::DeployEndpoint::Org{std::move(org)}};
    }
    return git_endpoint(*value);
}

ParamResult<ExportSession> parse_export_session(const json::Value& params) {
    auto path = string_param(params, "path");
    if (!path) return std::unexpected(std::move(path.error()));
    ExportSession result{std::move(*path), {}};
    auto& selection = result.selection;
    if (present(params, kCurrentSelectionKey)) {
        auto set = string_set_param(params);
        if (!set) return std::unexpected(std::move(set.error()));
        selection.current_selection = std::move(*set);
    }
    const bool has_selected = present(params, "selected");
    const bool has_fls_mode = present(params, "flsMode");
    if (has_selected != has_fls_mode) {
        return refuse("Parameters 'selected' and 'flsMode' must be sent together or not at all.");
    }
    if (has_selected) {
        auto keys = parse_component_keys(params);
        if (!keys) return std::unexpected(std::move(keys.error()));
        selection.selected_keys = std::move(*keys);
        auto mode = parse_fls_mode(params);
        if (!mode) return std::unexpected(std::move(mode.error()));
        selection.fls_mode = *mode;
    }
    if (present(params, "tests")) {
        auto tests = parse_test_names(params);
        if (!tests) return std::unexpected(std::move(tests.error()));
        selection.tests = std::move(*tests);
    }
    if (present(params, "containers")) {
        auto containers = parse_container_pairs(params);
        if (!containers) return std::unexpected(std::move(containers.error()));
        selection.containers = std::move(*containers);
    }
    return result;
}

ParamResult<ExportManifest> parse_export_manifest(const json::Value& params) {
    auto path = string_param(params, "path");
    if (!path) return std::unexpected(std::move(path.error()));
    auto set = string_set_param(params);
    if (!set) return std::unexpected(std::move(set.error()));
    return ExportManifest{std::move(*path), std::move(*set)};
}

// Finding positions are read as 64-bit integers and kept as sizes.
static_assert(sizeof(std::size_t) >= sizeof(std::uint64_t));

protocol::RpcError invalid_target_health_findings() {
    return invalid_params("Parameter 'findings' must be a non-empty array of non-negative integers.");
}

ParamResult<workflow::TargetHealthAction> parse_confirm_target_health(const json::Value& params) {
    const auto action = text_member(member(params, "action"));
    if (action && *action == "recheck") return workflow::TargetHealthAction{workflow::TargetHealthAction::Recheck{}};
    if (action && *action == "deploy") return workflow::TargetHealthAction{workflow::TargetHealthAction::Deploy{}};
    if (!action || *action != "fix") return refuse("Parameter 'action' must be one of fix, recheck, deploy.");
    const auto* value = member(params, "findings");
    const auto* array = value == nullptr ? nullptr : json::as_array(*value);
    if (array == nullptr || array->empty()) return std::unexpected(invalid_target_health_findings());
    workflow::TargetHealthAction::Fix fix;
    for (const auto& element : *array) {
        const auto index = json::as_uint64(element);
        if (!index) return std::unexpected(invalid_target_health_findings());
        fix.findings.insert(static_cast<std::size_t>(*index));
    }
    return workflow::TargetHealthAction{std::move(fix)};
}

ParamResult<metadata_types::MetadataType> parse_selectable_metadata_type(const json::Value& params) {
    const auto text = text_member(member(params, "metadataType"));
    const auto type = text ? metadata_types::MetadataType::from_wire_id(*text) : std::nullopt;
    if (!type || !type->is_selectable()) return refuse("Parameter 'metadataType' must be a selectable metadata type id.");
    return *type;
}

ParamResult<metadata_types::LayoutComparisonMode> parse_layout_mode(const json::Value& params) {
    const auto* value = member(params, "layoutMode");
    if (value == nullptr || value->is_null()) return metadata_types::LayoutComparisonMode{metadata_types::LayoutComparisonMode::Whole};
    const auto text = json::as_string(*value);
    const auto mode = text ? metadata_types::LayoutComparisonMode::from_wire_id(*text) : std::nullopt;
    if (!mode) return refuse("Parameter 'layoutMode' must be one of whole, elements.");
    return *mode;
}

ParamResult<bool> parse_flag(const json::Value& params, std::string_view key) {
    const auto* value = member(params, key);
    if (value == nullptr || value->is_null()) return false;
    const auto flag = json::as_bool(*value);
    if (!flag) return refuse(fmt::format("Parameter '{}' must be a boolean.", key));
    return *flag;
}

std::optional<std::uint64_t> parse_operation_id(const json::Value& params) {
    const auto* value = member(params, "operationId");
    return value == nullptr ? std::nullopt : json::as_uint64(*value);
}

ParamResult<logging::LogLevel> parse_log_level(const json::Value& params) {
    const auto text = text_member(member(params, "level"));
    const auto level = text ? logging::log_level_from_wire_id(*text) : std::nullopt;
    if (!level) return refuse("Parameter 'level' must be one of off, standard, detailed.");
    return *level;
}

ParamResult<workflow::EndpointSide> parse_side(const json::Value& params) {
    const auto text = text_member(member(params, "side"));
    if (text && *text == "source") return workflow::EndpointSide::Source;
    if (text && *text == "target") return workflow::EndpointSide::Target;
    return refuse("Parameter 'side' must be source or target.");
}

ParamResult<std::optional<std::string>> parse_body(const json::Value& params) {
    const auto* value = member(params, "body");
    if (value != nullptr && value->is_null()) return std::optional<std::string>{};
    const auto text = text_member(value);
    if (!text) return refuse("Parameter 'body' must be a string or null.");
    return std::optional<std::string>{std::string(*text)};
}

}  // namespace ambrel::dispatch
