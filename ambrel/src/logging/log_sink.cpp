#include "logging/log_sink.hpp"

#include <unistd.h>

#include <limits>

namespace ambrel::logging {
namespace {

constexpr std::uint64_t kMaxU64 = std::numeric_limits<std::uint64_t>::max();
constexpr std::uint32_t kMaxU32 = std::numeric_limits<std::uint32_t>::max();

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) { return a > kMaxU64 - b ? kMaxU64 : a + b; }

std::uint64_t whole_millis(std::chrono::nanoseconds span) {
    const auto count = span.count();
    if (count <= 0) return 0;
    return static_cast<std::uint64_t>(count) / 1'000'000;
}

json::Array string_array(const std::vector<std::string>& texts) {
    json::Array array;
    array.reserve(texts.size());
    for (const std::string& text : texts) array.emplace_back(json::String(text));
    return array;
}

void put_names_unless_empty(json::Object& line, std::string_view key, const std::vector<std::string>& names) {
    if (!names.empty()) line[key] = string_array(names);
}

}  // namespace

json::Object component_row_to_json(const FailedComponentRow& row) {
    json::Object object;
    object["type"] = row.type;
    object["name"] = row.name;
    object["operation"] = row.operation;
    object["status"] = row.status;
    object["message"] = truncate_chars(row.message);
    return object;
}

json::Object fls_row_to_json(const FailedFlsRow& row) {
    json::Object object;
    object["containerApiName"] = row.container_api_name;
    object["subject"] = row.subject;
    object["status"] = row.status;
    object["message"] = truncate_chars(row.message);
    return object;
}

LogSink::LogSink(std::shared_ptr<LogWriter> writer, LogLevel level) : writer_(std::move(writer)), level_(level) {}

std::shared_ptr<LogSink> LogSink::create(std::shared_ptr<LogWriter> writer, LogLevel level) {
    return std::make_shared<LogSink>(std::move(writer), level);
}

std::shared_ptr<LogSink> LogSink::disabled() { return std::make_shared<LogSink>(nullptr, LogLevel::Off); }

void LogSink::set_level(LogLevel level) {
    level_.store(level, std::memory_order_relaxed);
    if (level == LogLevel::Off) return;
    std::optional<std::uint32_t> held_back;
    {
        std::lock_guard lock(session_start_mutex_);
        held_back.swap(held_back_session_start_);
    }
    if (held_back) write_session_started(*held_back, level);
}

std::optional<std::filesystem::path> LogSink::path() const {
    if (!writer_) return std::nullopt;
    return writer_->path();
}

json::Object LogSink::base(std::string_view event, std::uint64_t operation_id) const {
    const std::uint64_t now = now_millis_since_epoch();
    json::Object line;
    line["localTime"] = local_timestamp(now);
    line["ts"] = now;
    line["event"] = event;
    line["op"] = operation_id;
    return line;
}

bool LogSink::writes_lines() const noexcept { return writer_ && level() != LogLevel::Off; }

void LogSink::emit(const json::Object& line) const {
    if (!writes_lines()) return;
    std::string text;
    json::write_compact(json::Value(line), text);
    writer_->write_line(text);
}

std::uint64_t LogSink::open_operation_id() const {
    std::lock_guard lock(operation_mutex_);
    return open_operation_ ? open_operation_->id : 0;
}

void LogSink::session_started(std::uint32_t protocol_version) {
    if (!writer_) return;
    {
        // Read under the mutex that set_level takes after storing a level, so a start that races
        // with switching the log on is either written here or found held back there.
        std::lock_guard lock(session_start_mutex_);
        if (level() == LogLevel::Off) {
            held_back_session_start_ = protocol_version;
            return;
        }
    }
    write_session_started(protocol_version, level());
}

void LogSink::write_session_started(std::uint32_t protocol_version, LogLevel level) const {
    json::Object line = base("sessionStarted", 0);
    line["pid"] = static_cast<std::int64_t>(::getpid());
    line["protocolVersion"] = protocol_version;
    line["level"] = level == LogLevel::Detailed ? "detailed" : "standard";
    line["coreVersion"] = kCoreVersion;
    emit(line);
}

void LogSink::write_operation_end(std::string_view event, const OpenOperation& operation) const {
    json::Object line = base(event, operation.id);
    line["kind"] = operation.kind;
    const auto elapsed = std::chrono::steady_clock::now() - operation.start;
    line["durationMs"] = whole_millis(std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed));
    line["cliCalls"] = operation.cli_calls;
    line["cliMs"] = operation.cli_millis;
    emit(line);
}

void LogSink::begin_operation(std::uint64_t id, std::string kind) {
    if (!writer_) return;
    // Held while both lines are written, so a command counted meanwhile lands in the new operation.
    std::lock_guard lock(operation_mutex_);
    if (open_operation_) {
        const OpenOperation previous = std::move(*open_operation_);
        open_operation_.reset();
        write_operation_end("operationFinished", previous);
    }
    open_operation_ = OpenOperation{
        .start = std::chrono::steady_clock::now(),
        .kind = std::move(kind),
        .id = id,
        .cli_millis = 0,
        .cli_calls = 0,
    };
    json::Object line = base("operationStarted", id);
    line["kind"] = open_operation_->kind;
    emit(line);
}

void LogSink::close_operation(std::string_view event) {
    if (!writer_) return;
    std::optional<OpenOperation> closed;
    {
        std::lock_guard lock(operation_mutex_);
        closed.swap(open_operation_);
    }
    if (closed) write_operation_end(event, *closed);
}

void LogSink::finish_operation() { close_operation("operationFinished"); }

void LogSink::cancel_operation() { close_operation("operationCancelled"); }

void LogSink::failure(std::string_view message) {
    if (!writes_lines()) return;
    json::Object line = base("failure", open_operation_id());
    line["message"] = truncate_chars(message);
    emit(line);
}

void LogSink::cli_call(const CliCallRecord& record) {
    if (!writer_) return;
    const std::uint64_t duration_ms = whole_millis(record.duration);
    std::uint64_t operation_id = 0;
    {
        std::lock_guard lock(operation_mutex_);
        if (open_operation_) {
            if (open_operation_->cli_calls < kMaxU32) ++open_operation_->cli_calls;
            open_operation_->cli_millis = saturating_add(open_operation_->cli_millis, duration_ms);
            operation_id = open_operation_->id;
        }
    }
    const LogLevel current = level();
    if (current == LogLevel::Off) return;

    json::Object line = base("cli", operation_id);
    line["command"] = record.command;
    if (record.org) line["org"] = *record.org;
    line["durationMs"] = duration_ms;
    if (record.exit_code) line["exitCode"] = static_cast<std::int64_t>(*record.exit_code);
    line["stdoutBytes"] = record.stdout_bytes;
    line["stderrBytes"] = record.stderr_bytes;
    if (record.timed_out) line["timedOut"] = true;
    line["outcome"] = record.error ? "error" : "ok";
    if (record.error) line["error"] = truncate_chars(*record.error);
    if (current == LogLevel::Detailed && !record.argv.empty()) line["argv"] = string_array(record.argv);
    emit(line);
}

void LogSink::deploy_outcome(const DeployOutcomeRecord& record) {
    if (!writes_lines()) return;
    const bool detailed = level() == LogLevel::Detailed;
    json::Object line = base("deployOutcome", open_operation_id());
    line["deployMode"] = record.deploy_mode;
    line["total"] = record.total;
    line["succeeded"] = record.succeeded;
    line["failed"] = record.failed;
    line["notAttempted"] = record.not_attempted;
    const bool has_fls = record.fls_total != 0;
    if (has_fls) {
        line["flsTotal"] = record.fls_total;
        line["flsFailed"] = record.fls_failed;
    }
    if (record.tests_run) line["testsRun"] = *record.tests_run;
    if (record.tests_failed) line["testsFailed"] = *record.tests_failed;
    if (record.quick_deploy_performed) line["quickDeployPerformed"] = true;
    put_names_unless_empty(line, "retriedPermissionSetGroups", record.retried_permission_set_groups);
    put_names_unless_empty(line, "retriedContextDefinitions", record.retried_context_definitions);
    put_names_unless_empty(line, "retriedPermissionSets", record.retried_permission_sets);
    put_names_unless_empty(line, "retriedProfiles", record.retried_profiles);
    if (record.deployed_by_target) line["deployedByTarget"] = *record.deployed_by_target;
    if (detailed) {
        const std::size_t shown = std::min(record.failed_components.size(), kMaxLoggedFailureRows);
        json::Array failures;
        failures.reserve(shown);
        for (std::size_t i = 0; i < shown; ++i) failures.emplace_back(component_row_to_json(record.failed_components[i]));
        line["failures"] = std::move(failures);
        if (record.failed_components.size() > shown) {
            line["omittedFailures"] = static_cast<std::uint64_t>(record.failed_components.size() - shown);
        }
        if (has_fls) {
            const std::size_t fls_shown = std::min(record.failed_fls.size(), kMaxLoggedFailureRows);
            json::Array fls_failures;
            fls_failures.reserve(fls_shown);
            for (std::size_t i = 0; i < fls_shown; ++i) fls_failures.emplace_back(fls_row_to_json(record.failed_fls[i]));
            line["flsFailures"] = std::move(fls_failures);
            if (record.failed_fls.size() > fls_shown) {
                line["omittedFlsFailures"] = static_cast<std::uint64_t>(record.failed_fls.size() - fls_shown);
            }
        }
    }
    emit(line);
}

void LogSink::target_health_check(std::uint64_t unfixable, std::uint64_t duplicates, std::uint64_t missing_catalogs,
                                  std::uint64_t dependents, std::uint64_t fixable) {
    if (!writes_lines()) return;
    json::Object line = base("targetHealthCheck", open_operation_id());
    line["unfixable"] = unfixable;
    line["duplicates"] = duplicates;
    line["missingCatalogs"] = missing_catalogs;
    line["dependents"] = dependents;
    line["fixable"] = fixable;
    emit(line);
}

void LogSink::target_health_fix(const std::vector<std::pair<std::string, std::uint64_t>>& deleted,
                                std::uint64_t refused) {
    if (!writes_lines()) return;
    json::Object line = base("targetHealthFix", open_operation_id());
    json::Object counts;
    // Assigning through the index keeps a repeated name at its first position with the later count.
    for (const auto& [name, count] : deleted) counts[name] = count;
    line["deleted"] = std::move(counts);
    line["refused"] = refused;
    emit(line);
}

void LogSink::target_health_decision(std::string_view action, std::optional<std::uint64_t> findings) {
    if (!writes_lines()) return;
    json::Object line = base("targetHealthDecision", open_operation_id());
    line["action"] = action;
    if (findings) line["findings"] = *findings;
    emit(line);
}

}  // namespace ambrel::logging
