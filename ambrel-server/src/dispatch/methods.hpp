#pragma once

// The workflow method table: every "workflow/…" method that the server answers once initialised, each
// bound to a handler that parses its parameters and calls one controller command (or the session log).
// Method names are compared exactly; any other name is -32601 "Unknown method: {}".
//
// Thread-safety: the table is immutable; handlers run on the reader thread under the dispatcher's
// lifecycle lock.

#include <span>
#include <string_view>

#include "dispatch/dispatcher.hpp"

namespace ambrel::dispatch {

inline constexpr std::string_view kNoActiveSession = "There is no active comparison session for this request.";
inline constexpr std::string_view kAllowBestEffortOnProductionKey = "allowBestEffortOnProduction";
inline constexpr std::string_view kRetryUnexpectedErrorsAloneKey = "retryUnexpectedErrorsAlone";
inline constexpr std::string_view kAliasKey = "alias";
inline constexpr std::string_view kInstanceUrlKey = "instanceUrl";
inline constexpr std::string_view kPathKey = "path";

using MethodHandler = RpcResult (*)(Session& session, const json::Value& params);

struct MethodEntry {
    std::string_view name;
    MethodHandler handler;
};

// The bound methods, sorted by name.
std::span<const MethodEntry> method_table();

// {"operationId": n} when the command started operation n, {"operationId": null} otherwise.
json::Value operation_result(std::optional<std::uint64_t> operation_id);

}  // namespace ambrel::dispatch
