#pragma once

// The three JSON-RPC 2.0 envelopes the server writes (success response, error response,
// notification), the failure of handling one request (`RpcError`) and the error codes.
//
// Member order is fixed: "jsonrpc" first, then "id" or "method", then "result", "error" or "params".
// An error object has "code" and "message", and "data" only when the error carries one (no error of
// this server does). The builders only build values; they cannot fail.
//
// Thread-safety: pure functions.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "json/json.hpp"

namespace ambrel::protocol {

inline constexpr std::string_view kJsonRpcVersion = "2.0";

inline constexpr std::int64_t kParseError = -32700;
inline constexpr std::int64_t kInvalidRequest = -32600;
inline constexpr std::int64_t kMethodNotFound = -32601;
inline constexpr std::int64_t kInvalidParams = -32602;
inline constexpr std::int64_t kInternalError = -32603;
inline constexpr std::int64_t kServerError = -32000;

inline constexpr std::string_view kParseErrorMessage = "Could not parse the JSON-RPC message.";
inline constexpr std::string_view kMissingMethodMessage = "The request is missing the method field.";
inline constexpr std::string_view kInternalErrorMessage = "The server encountered an internal error.";
inline constexpr std::string_view kOutOfMemoryMessage = "The server ran out of memory handling the request.";

inline constexpr std::string_view kStateChangedMethod = "workflow/stateChanged";
inline constexpr std::string_view kProgressMethod = "workflow/progress";

struct RpcError {
    std::int64_t code = kInternalError;
    std::string message;
    std::optional<json::Value> data;

    bool operator==(const RpcError&) const = default;
};

RpcError invalid_params(std::string message);
RpcError server_error(std::string message);

json::Value success_response(json::Value id, json::Value result);
json::Value error_response(json::Value id, std::int64_t code, std::string_view message,
                           std::optional<json::Value> data = std::nullopt);
json::Value error_response(json::Value id, const RpcError& error);
json::Value notification(std::string_view method, json::Value params);

}  // namespace ambrel::protocol
