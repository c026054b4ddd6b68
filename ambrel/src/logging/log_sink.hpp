#pragma once

// The session log as the rest of the system sees it: one shared sink per session with a level, the
// operation in progress, and one operation per event.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "json/json.hpp"
#include "logging/log_writer.hpp"

namespace ambrel::logging {

// The version written as "coreVersion" in "sessionStarted".
inline constexpr std::string_view kCoreVersion = "0.1.4";
// Failed rows of a deploy outcome written at level Detailed; the rest are only counted.
inline constexpr std::size_t kMaxLoggedFailureRows = 50;

// What a gateway reports about one finished external command (`sf` or `git`).
struct CliCallRecord {
    // The words that name the command, as the gateway chose them.
    std::string command{};
    std::optional<std::string> org{};
    std::chrono::nanoseconds duration{0};
    // Absent when the process produced no exit code.
    std::optional<std::int32_t> exit_code{};
    std::uint64_t stdout_bytes = 0;
    std::uint64_t stderr_bytes = 0;
    bool timed_out = false;
    // Present when the call failed.
    std::optional<std::string> error{};
    // The full argument list; logged only at level Detailed.
    std::vector<std::string> argv{};
};

struct FailedComponentRow {
    std::string type{};
    std::string name{};
    std::string operation{};
    std::string status{};
    std::string message{};
};

struct FailedFlsRow {
    std::string container_api_name{};
    std::string subject{};
    std::string status{};
    std::string message{};
};

// What the workflow reports about one finished deploy.
struct DeployOutcomeRecord {
    // "BestEffort", "ValidateOnly" or "AllOrNothing".
    std::string deploy_mode{};
    std::uint64_t total = 0;
    std::uint64_t succeeded = 0;
    std::uint64_t failed = 0;
    std::uint64_t not_attempted = 0;
    std::uint64_t fls_total = 0;
    std::uint64_t fls_failed = 0;
    std::optional<std::uint32_t> tests_run{};
    std::optional<std::uint32_t> tests_failed{};
    bool quick_deploy_performed = false;
    std::vector<std::string> retried_permission_set_groups{};
    std::vector<std::string> retried_context_definitions{};
    std::vector<std::string> retried_permission_sets{};
    std::vector<std::string> retried_profiles{};
    std::optional<std::uint64_t> deployed_by_target{};
    std::vector<FailedComponentRow> failed_components{};
    std::vector<FailedFlsRow> failed_fls{};
};

// The operation in progress, as the sink tracks it.
struct OpenOperation {
    std::chrono::steady_clock::time_point start{};
    std::string kind{};
    std::uint64_t id = 0;
    std::uint64_t cli_millis = 0;
    std::uint32_t cli_calls = 0;
};

// {"type", "name", "operation", "status", "message"}; only the message is cut to 2,048 characters.
json::Object component_row_to_json(const FailedComponentRow& row);
// {"containerApiName", "subject", "status", "message"}; only the message is cut.
json::Object fls_row_to_json(const FailedFlsRow& row);

// Shared by the whole session (server, workflow controller, gateways). Every operation may be called
// from any thread. A sink without a writer ignores everything; at level Off lines are dropped, but
// the open operation is still tracked so that a level switched on midway gives a correct closing
// line.
class LogSink {
public:
    LogSink(std::shared_ptr<LogWriter> writer, LogLevel level);
    LogSink(const LogSink&) = delete;
    LogSink& operator=(const LogSink&) = delete;

    static std::shared_ptr<LogSink> create(std::shared_ptr<LogWriter> writer, LogLevel level);
    // A sink without a writer at level Off: every event on it is a no-op.
    static std::shared_ptr<LogSink> disabled();

    // Stores the level; switching away from Off writes a held-back "sessionStarted" line.
    void set_level(LogLevel level);
    LogLevel level() const noexcept { return level_.load(std::memory_order_relaxed); }
    // The writer's file, or none without a writer.
    std::optional<std::filesystem::path> path() const;

    // A new line object holding "localTime", "ts", "event" and "op" for now.
    json::Object base(std::string_view event, std::uint64_t operation_id) const;
    // Writes the object as one line when there is a writer and the level is Standard or Detailed.
    void emit(const json::Object& line) const;

    // Events. The "op" of each line is the open operation's id, or 0 when none is open.

    // "sessionStarted"; held back while the level is Off and written when it is switched on.
    void session_started(std::uint32_t protocol_version);
    // "operationStarted"; an operation still open is first closed as "operationFinished".
    void begin_operation(std::uint64_t id, std::string kind);
    // "operationFinished" for the open operation; nothing when none is open.
    void finish_operation();
    // "operationCancelled" for the open operation; nothing when none is open.
    void cancel_operation();
    // "failure" with the message cut to 2,048 characters.
    void failure(std::string_view message);
    // Counts the command into the open operation (at every level) and writes a "cli" line.
    void cli_call(const CliCallRecord& record);
    void deploy_outcome(const DeployOutcomeRecord& record);
    void target_health_check(std::uint64_t unfixable, std::uint64_t duplicates, std::uint64_t missing_catalogs,
                             std::uint64_t dependents, std::uint64_t fixable);
    // "deleted" becomes an object in the given order; a name given twice keeps its first position
    // and takes the later count.
    void target_health_fix(const std::vector<std::pair<std::string, std::uint64_t>>& deleted, std::uint64_t refused);
    // "action" ("deploy", "fix" or "recheck") and "findings" when given.
    void target_health_decision(std::string_view action, std::optional<std::uint64_t> findings);

private:
    bool writes_lines() const noexcept;
    std::uint64_t open_operation_id() const;
    void write_session_started(std::uint32_t protocol_version, LogLevel level) const;
    void write_operation_end(std::string_view event, const OpenOperation& operation) const;
    void close_operation(std::string_view event);

    const std::shared_ptr<LogWriter> writer_;
    mutable std::mutex operation_mutex_;
    std::optional<OpenOperation> open_operation_;
    std::mutex session_start_mutex_;
    std::optional<std::uint32_t> held_back_session_start_;
    std::atomic<LogLevel> level_;
};

}  // namespace ambrel::logging
