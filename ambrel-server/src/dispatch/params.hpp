#pragma once

// The parsers of request parameters: each reads one or more members of a request's "params" and
// yields the domain value a controller command takes, or an RpcError with code -32602 and the
// parameter's fixed sentence. When "params" is missing, null or not an object, every member lookup
// finds nothing. Arrays are validated whole, in order, before anything is yielded.
//
// A "deployMode" that is present and not null must be one of the three mode texts: anything else (a
// number, an object) is refused with the deployMode sentence, so that a malformed request never runs
// a Best Effort deploy it did not ask for. Absent or null means no mode.
//
// Thread-safety: pure functions.

#include <cstdint>
#include <expected>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "app/compare_selection.hpp"
#include "domain/component_key.hpp"
#include "domain/deployment.hpp"
#include "domain/fls.hpp"
#include "domain/permission.hpp"
#include "endpoint/deploy_endpoint.hpp"
#include "json/json.hpp"
#include "logging/log_writer.hpp"
#include "metadata_types/metadata_type.hpp"
#include "metadata_types/type_descriptor.hpp"
#include "protocol/messages.hpp"
#include "workflow/controller.hpp"
#include "workflow/deploy_road.hpp"
#include "workflow/scenario.hpp"
#include "workflow/workflow_state.hpp"

namespace ambrel::dispatch {

template <class T>
using ParamResult = std::expected<T, protocol::RpcError>;

using StringSet = std::set<std::string>;
// The selected component keys, as the deploy commands take them.
using KeySet = app::SelectedKeys;

inline constexpr std::string_view kCurrentSelectionKey = "currentSelection";
inline constexpr std::string_view kDeployModeMessage =
    "Parameter 'deployMode' must be one of BEST_EFFORT, VALIDATE_ONLY, ALL_OR_NOTHING.";
inline constexpr std::string_view kDefaultRemote = "origin";

// What the front end still shows when it exports a session; every part is optional.
using ScreenSelection = workflow::LiveScreenSelection;

struct ConfirmTests {
    std::vector<std::string> tests;
    std::optional<domain::DeployMode> deploy_mode;
};

struct ComponentSourceRequest {
    std::uint64_t session_id = 0;
    metadata_types::MetadataType metadata_type = metadata_types::MetadataType::CustomField;
    std::string name;
};

struct ExportSession {
    std::string path;
    ScreenSelection selection;
};

struct ExportManifest {
    std::string path;
    StringSet current_selection;
};

ParamResult<std::string> string_param(const json::Value& params, std::string_view key);
ParamResult<StringSet> string_set_param(const json::Value& params);
ParamResult<std::vector<std::string>> parse_test_names(const json::Value& params);
ParamResult<domain::FlsMode> parse_fls_mode(const json::Value& params);
ParamResult<std::optional<domain::DeployMode>> parse_optional_deploy_mode(const json::Value& params);
ParamResult<KeySet> parse_component_keys(const json::Value& params);
ParamResult<workflow::ContainerSet> parse_container_pairs(const json::Value& params);
ParamResult<ConfirmTests> parse_confirm_tests(const json::Value& params);
ParamResult<ComponentSourceRequest> parse_component_source(const json::Value& params);
ParamResult<endpoint::DeployEndpoint> parse_endpoint_param(const json::Value& params);
ParamResult<ExportSession> parse_export_session(const json::Value& params);
ParamResult<ExportManifest> parse_export_manifest(const json::Value& params);
ParamResult<workflow::TargetHealthAction> parse_confirm_target_health(const json::Value& params);
protocol::RpcError invalid_target_health_findings();

// The parameters the method table reads itself.
ParamResult<metadata_types::MetadataType> parse_selectable_metadata_type(const json::Value& params);
ParamResult<metadata_types::LayoutComparisonMode> parse_layout_mode(const json::Value& params);
// "allowBestEffortOnProduction" and "retryUnexpectedErrorsAlone": false when absent or null.
ParamResult<bool> parse_flag(const json::Value& params, std::string_view key);
// A non-negative integer, else none (never an error).
std::optional<std::uint64_t> parse_operation_id(const json::Value& params);
ParamResult<logging::LogLevel> parse_log_level(const json::Value& params);
ParamResult<workflow::EndpointSide> parse_side(const json::Value& params);
// The new body of "workflow/setComponentBody": a text, or none for null.
ParamResult<std::optional<std::string>> parse_body(const json::Value& params);

}  // namespace ambrel::dispatch
