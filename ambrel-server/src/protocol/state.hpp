#pragma once

// The state object: the JSON from which the front end draws every screen, sent as the params
// {"state": …} of "workflow/stateChanged" and as the result of "workflow/getState".
//
// `state_body_to_value` writes the body of each of the thirteen kinds of WorkflowState, "kind" first
// and every listed key always present (an absent value is null). `state_to_value` appends
// "activeOperation" {"operationId", "kind"} after the body while an operation runs, and leaves the key
// out otherwise. Everything is rebuilt on every call; nothing is cached.
//
// Thread-safety: pure; reads the state and the comparison session it shares, takes no controller lock.

#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>

#include "domain/fls.hpp"
#include "json/json.hpp"
#include "workflow/workflow_state.hpp"

namespace ambrel::protocol {

// The kind's wire name and the operation id.
using ActiveOperation = std::pair<std::string_view, std::uint64_t>;

json::Value state_to_value(const workflow::WorkflowState& state, std::optional<ActiveOperation> active_operation);
json::Object state_body_to_value(const workflow::WorkflowState& state);

// Whether a container choice starts out chosen: without scenario containers, when it is selectable;
// with them, when it is selectable and the scenario names its kind and API name exactly.
bool container_preselected(const domain::FlsContainerChoice& choice,
                           const std::optional<workflow::ContainerSet>& scenario_containers);

}  // namespace ambrel::protocol
