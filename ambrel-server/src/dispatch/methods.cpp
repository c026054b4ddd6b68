#include "dispatch/methods.hpp"

#include <algorithm>
#include <array>
#include <filesystem>
#include <variant>

#include <fmt/format.h>

#include "component_source/component_source.hpp"
#include "dispatch/params.hpp"
#include "git/repo_path.hpp"
#include "protocol/records.hpp"
#include "protocol/state.hpp"

namespace ambrel::dispatch {
namespace {

RpcResult get_state(Session& session, const json::Value&) {
    const auto snapshot = session.controller.state_snapshot();
    std::optional<protocol::ActiveOperation> active;
    if (snapshot.active_operation) active = protocol::ActiveOperation{*snapshot.active_operation, snapshot.operation_id};
    json::Object result;
    result["state"] = protocol::state_to_value(*snapshot.state, active);
    return result;
}

RpcResult cancel(Session& session, const json::Value& params) {
    json::Object result;
    result["cancelled"] = session.controller.cancel_operation(parse_operation_id(params));
    return result;
}

RpcResult set_log_level(Session& session, const json::Value& params) {
    auto level = parse_log_level(params);
    if (!level) return std::unexpected(std::move(level.error()));
    session.log->set_level(*level);
    return protocol::log_to_value(*session.log);
}

// The comparison session of the screens that show component texts.
workflow::SessionRef viewable_session(const workflow::WorkflowState& state) {
    if (const auto* s = std::get_if<workflow::ReviewingState>(&state)) return s->session;
    if (const auto* s = std::get_if<workflow::SelectingFlsContainersState>(&state)) return s->session;
    if (const auto* s = std::get_if<workflow::DeployingState>(&state)) return s->session;
    return nullptr;
}

RpcResult component_source_texts(Session& session, const json::Value& params) {
    auto request = parse_component_source(params);
    if (!request) return std::unexpected(std::move(request.error()));
    const auto state = session.controller.state();
    const auto comparison = state ? viewable_session(*state) : nullptr;
    if (!comparison || comparison->id() != request->session_id) {
        return std::unexpected(protocol::server_error(std::string(kNoActiveSession)));
    }
    const domain::ComponentKey key{request->metadata_type, request->name};
    const auto& workspace = comparison->workspace();
    const std::filesystem::path source_root = workspace ? workspace->source_project() : std::filesystem::path{};
    const std::filesystem::path target_root = workspace ? workspace->target_project() : std::filesystem::path{};
    auto texts = component_source::resolve_component_source(
        comparison->rows(), comparison->source_label(), comparison->target_label(), source_root, target_root,
        request->metadata_type, request->name, comparison->source_override_path(key));
    if (!texts) return std::unexpected(protocol::server_error(texts.error().message()));
    return protocol::component_source_to_value(*texts);
}

// Each handler parses its parameters in the order the request lists them; the first refusal answers
// and no command is called.
template <class T>
using Parsed = ParamResult<T>;

#define AMBREL_TAKE(name, expression)                                  \
    auto name = (expression);                                          \
    if (!name) return std::unexpected(std::move(name.error()))

RpcResult load_orgs(Session& session, const json::Value&) {
    return operation_result(session.controller.load_orgs());
}

RpcResult select_source(Session& session, const json::Value& params) {
    AMBREL_TAKE(endpoint, parse_endpoint_param(params));
    return operation_result(session.controller.select_source_endpoint(std::move(*endpoint)));
}

RpcResult select_target(Session& session, const json::Value& params) {
    AMBREL_TAKE(endpoint, parse_endpoint_param(params));
    return operation_result(session.controller.select_target_endpoint(std::move(*endpoint)));
}

RpcResult select_metadata_type(Session& session, const json::Value& params) {
    AMBREL_TAKE(type, parse_selectable_metadata_type(params));
    AMBREL_TAKE(names, string_set_param(params));
    return operation_result(session.controller.select_metadata_type(*type, std::move(*names)));
}

RpcResult compare(Session& session, const json::Value& params) {
    AMBREL_TAKE(names, string_set_param(params));
    AMBREL_TAKE(layout, parse_layout_mode(params));
    AMBREL_TAKE(allow, parse_flag(params, kAllowBestEffortOnProductionKey));
    AMBREL_TAKE(retry, parse_flag(params, kRetryUnexpectedErrorsAloneKey));
    return operation_result(session.controller.compare_with_options(std::move(*names), *layout, *allow, *retry));
}

RpcResult back(Session& session, const json::Value&) {
    return operation_result(session.controller.back_to_selection());
}

RpcResult back_to_review(Session& session, const json::Value&) {
    return operation_result(session.controller.back_to_review());
}

RpcResult new_comparison(Session& session, const json::Value&) {
    return operation_result(session.controller.restart());
}

RpcResult deploy(Session& session, const json::Value& params) {
    AMBREL_TAKE(keys, parse_component_keys(params));
    AMBREL_TAKE(fls_mode, parse_fls_mode(params));
    AMBREL_TAKE(deploy_mode, parse_optional_deploy_mode(params));
    return operation_result(session.controller.deploy(std::move(*keys), *fls_mode,
                                                      deploy_mode->value_or(domain::DeployMode::BestEffort)));
}

RpcResult confirm_tests(Session& session, const json::Value& params) {
    AMBREL_TAKE(request, parse_confirm_tests(params));
    return operation_result(session.controller.confirm_tests(std::move(request->tests), request->deploy_mode));
}

RpcResult confirm_fls_containers(Session& session, const json::Value& params) {
    AMBREL_TAKE(containers, parse_container_pairs(params));
    AMBREL_TAKE(deploy_mode, parse_optional_deploy_mode(params));
    return operation_result(session.controller.confirm_fls_containers(std::move(*containers), *deploy_mode));
}

RpcResult confirm_target_health(Session& session, const json::Value& params) {
    AMBREL_TAKE(action, parse_confirm_target_health(params));
    return operation_result(session.controller.confirm_target_health(std::move(*action)));
}

RpcResult quick_deploy(Session& session, const json::Value&) {
    return operation_result(session.controller.quick_deploy());
}

RpcResult create_org_alias(Session& session, const json::Value& params) {
    AMBREL_TAKE(side, parse_side(params));
    AMBREL_TAKE(alias, string_param(params, kAliasKey));
    AMBREL_TAKE(instance_url, string_param(params, kInstanceUrlKey));
    return operation_result(session.controller.create_org_alias(*side, std::move(*alias), std::move(*instance_url)));
}

// The typed repository text as the path it names ("~" expands to the home directory when known).
Parsed<std::filesystem::path> repository_path(const json::Value& params) {
    AMBREL_TAKE(typed, string_param(params, kPathKey));
    return git::repo_path::resolve_repo_path_input(*typed, git::repo_path::home_directory());
}

RpcResult inspect_git_repo(Session& session, const json::Value& params) {
    AMBREL_TAKE(path, repository_path(params));
    return session.controller.inspect_git_repo(*path);
}

RpcResult init_git_repo(Session& session, const json::Value& params) {
    AMBREL_TAKE(path, repository_path(params));
    return session.controller.init_git_repo(*path);
}

RpcResult inspect_org_preparation(Session& session, const json::Value&) {
    return operation_result(session.controller.inspect_org_preparation());
}

RpcResult apply_org_preparation(Session& session, const json::Value&) {
    return operation_result(session.controller.apply_org_preparation());
}

RpcResult set_component_body(Session& session, const json::Value& params) {
    AMBREL_TAKE(request, parse_component_source(params));
    AMBREL_TAKE(body, parse_body(params));
    auto outcome =
        session.controller.set_component_body(request->session_id, request->metadata_type, request->name, *body);
    if (!outcome) return std::unexpected(protocol::server_error(std::string(kNoActiveSession)));
    if (!*outcome) return std::unexpected(source_override_refusal(outcome->error()));
    json::Object result;
    result["edited"] = **outcome;
    return result;
}

RpcResult export_manifest(Session& session, const json::Value& params) {
    AMBREL_TAKE(request, parse_export_manifest(params));
    auto written = session.controller.export_manifest(request->path, std::move(request->current_selection));
    if (!written) return std::unexpected(protocol::server_error(std::move(written.error())));
    json::Object result;
    result["written"] = true;
    return result;
}

RpcResult import_manifest(Session& session, const json::Value& params) {
    AMBREL_TAKE(path, string_param(params, kPathKey));
    return operation_result(session.controller.import_manifest(std::filesystem::path(*path)));
}

RpcResult export_session(Session& session, const json::Value& params) {
    AMBREL_TAKE(request, parse_export_session(params));
    auto written = session.controller.export_session(std::filesystem::path(request->path), std::move(request->selection));
    if (!written) return std::unexpected(protocol::server_error(std::move(written.error())));
    json::Object result;
    result["written"] = true;
    return result;
}

RpcResult import_session(Session& session, const json::Value& params) {
    AMBREL_TAKE(path, string_param(params, kPathKey));
    return operation_result(session.controller.import_session(std::filesystem::path(*path)));
}

RpcResult clear_manifest(Session& session, const json::Value&) {
    auto cleared = session.controller.clear_manifest();
    if (!cleared) return std::unexpected(protocol::server_error(std::move(cleared.error())));
    json::Object result;
    result["cleared"] = true;
    return result;
}

#undef AMBREL_TAKE

// Sorted by name.
constexpr std::array kMethods{
    MethodEntry{"workflow/applyOrgPreparation", &apply_org_preparation},
    MethodEntry{"workflow/back", &back},
    MethodEntry{"workflow/backToReview", &back_to_review},
    MethodEntry{"workflow/cancel", &cancel},
    MethodEntry{"workflow/clearManifest", &clear_manifest},
    MethodEntry{"workflow/compare", &compare},
    MethodEntry{"workflow/componentSource", &component_source_texts},
    MethodEntry{"workflow/confirmFlsContainers", &confirm_fls_containers},
    MethodEntry{"workflow/confirmTargetHealth", &confirm_target_health},
    MethodEntry{"workflow/confirmTests", &confirm_tests},
    MethodEntry{"workflow/createOrgAlias", &create_org_alias},
    MethodEntry{"workflow/deploy", &deploy},
    MethodEntry{"workflow/exportManifest", &export_manifest},
    MethodEntry{"workflow/exportSession", &export_session},
    MethodEntry{"workflow/getState", &get_state},
    MethodEntry{"workflow/importManifest", &import_manifest},
    MethodEntry{"workflow/importSession", &import_session},
    MethodEntry{"workflow/initGitRepo", &init_git_repo},
    MethodEntry{"workflow/inspectGitRepo", &inspect_git_repo},
    MethodEntry{"workflow/inspectOrgPreparation", &inspect_org_preparation},
    MethodEntry{"workflow/loadOrgs", &load_orgs},
    MethodEntry{"workflow/newComparison", &new_comparison},
    MethodEntry{"workflow/quickDeploy", &quick_deploy},
    MethodEntry{"workflow/selectMetadataType", &select_metadata_type},
    MethodEntry{"workflow/selectSource", &select_source},
    MethodEntry{"workflow/selectTarget", &select_target},
    MethodEntry{"workflow/setComponentBody", &set_component_body},
    MethodEntry{"workflow/setLogLevel", &set_log_level},
};

static_assert(std::ranges::is_sorted(kMethods, {}, &MethodEntry::name), "the method table must stay sorted by name");

}  // namespace

std::span<const MethodEntry> method_table() { return kMethods; }

protocol::RpcError source_override_refusal(const app::SourceOverrideError& error) {
    using Error = app::SourceOverrideError;
    const bool request_fault = error.get_if<Error::NotOwnDocument>() != nullptr ||
                               error.get_if<Error::NotDeployable>() != nullptr ||
                               error.get_if<Error::TooLong>() != nullptr || error.get_if<Error::HoldsNul>() != nullptr ||
                               error.get_if<Error::UnsafePath>() != nullptr;
    return request_fault ? protocol::invalid_params(error.message()) : protocol::server_error(error.message());
}

json::Value operation_result(std::optional<std::uint64_t> operation_id) {
    json::Object result;
    result["operationId"] = operation_id ? json::Value(*operation_id) : json::Value(nullptr);
    return result;
}

RpcResult Dispatcher::route_ready(Session& session, std::string_view method, const json::Value& params) {
    const auto table = method_table();
    const auto found = std::ranges::lower_bound(table, method, {}, &MethodEntry::name);
    if (found == table.end() || found->name != method) {
        return std::unexpected(protocol::RpcError{protocol::kMethodNotFound, fmt::format("Unknown method: {}", method), {}});
    }
    return found->handler(session, params);
}

}  // namespace ambrel::dispatch
