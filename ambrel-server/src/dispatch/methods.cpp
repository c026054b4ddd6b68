#include "dispatch/methods.hpp"

#include <algorithm>
#include <array>

#include <fmt/format.h>

#include "component_source/component_source.hpp"
#include "dispatch/params.hpp"
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

// Sorted by name.
constexpr std::array kMethods{
    MethodEntry{"workflow/cancel", &cancel},
    MethodEntry{"workflow/componentSource", &component_source_texts},
    MethodEntry{"workflow/getState", &get_state},
    MethodEntry{"workflow/setLogLevel", &set_log_level},
};

}  // namespace

std::span<const MethodEntry> method_table() { return kMethods; }

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
