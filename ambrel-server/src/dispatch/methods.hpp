#pragma once

// The workflow method table: every "workflow/…" method that the server answers once initialised, each
// bound to a handler that parses its parameters and calls one controller command (or the session log).
// Method names are compared exactly; any other name is -32601 "Unknown method: {}". Parameters are
// parsed in the order the request lists them and the first refusal answers (-32602) with no command
// called. A command that starts an operation answers {"operationId": n}, or null when the controller
// started none; a "workflow/deploy" without "deployMode" deploys BEST_EFFORT. The immediate commands
// answer their outcome: {"written": true}, {"cleared": true}, {"edited": b}, the repository inspection,
// or -32000 with the command's own sentence ("There is no active comparison session for this
// request." when no review of that session is shown). Session files are exported and imported here
// too ("workflow/exportSession", "workflow/importSession").
//
// Thread-safety: the table is immutable; handlers run on the reader thread under the dispatcher's
// lifecycle lock.

#include <span>
#include <string_view>

#include "app/source_override_error.hpp"
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

// A refused edit of a component body keeps its sentence; the code is -32602 when the request itself
// could change the outcome (a document not the row's own, a row that cannot be deployed, a body too
// long, a name without a safe path) and -32000 otherwise.
protocol::RpcError source_override_refusal(const app::SourceOverrideError& error);

}  // namespace ambrel::dispatch
