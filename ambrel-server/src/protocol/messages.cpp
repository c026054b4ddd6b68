#include "protocol/messages.hpp"

#include <utility>

namespace ambrel::protocol {

RpcError invalid_params(std::string message) { return RpcError{kInvalidParams, std::move(message), std::nullopt}; }

RpcError server_error(std::string message) { return RpcError{kServerError, std::move(message), std::nullopt}; }

// Every envelope has three members; reserving them spares the object its growth steps.
constexpr std::size_t kEnvelopeMembers = 3;

json::Value success_response(json::Value id, json::Value result) {
    json::Object envelope;
    envelope.reserve(kEnvelopeMembers);
    envelope["jsonrpc"] = kJsonRpcVersion;
    envelope["id"] = std::move(id);
    envelope["result"] = std::move(result);
    return envelope;
}

json::Value error_response(json::Value id, std::int64_t code, std::string_view message,
                           std::optional<json::Value> data) {
    json::Object error;
    error.reserve(kEnvelopeMembers);
    error["code"] = code;
    error["message"] = message;
    if (data) error["data"] = std::move(*data);
    json::Object envelope;
    envelope.reserve(kEnvelopeMembers);
    envelope["jsonrpc"] = kJsonRpcVersion;
    envelope["id"] = std::move(id);
    envelope["error"] = std::move(error);
    return envelope;
}

json::Value error_response(json::Value id, const RpcError& error) {
    return error_response(std::move(id), error.code, error.message, error.data);
}

json::Value notification(std::string_view method, json::Value params) {
    json::Object envelope;
    envelope.reserve(kEnvelopeMembers);
    envelope["jsonrpc"] = kJsonRpcVersion;
    envelope["method"] = method;
    envelope["params"] = std::move(params);
    return envelope;
}

}  // namespace ambrel::protocol
