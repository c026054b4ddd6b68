#pragma once

// The single road to the Salesforce CLI. Every `sf` command of the system runs through
// `SfCliGateway`: read-only commands may be answered from the per-operation command cache; otherwise
// the executable runs through the process runner with "--json" appended, the call is recorded in the
// session log, secrets are redacted from what the CLI printed, and standard output is parsed as one
// JSON document. Whether the answer is a success (status, exit code, time-out) is the caller's
// judgement.

#include <chrono>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "cli/cache.hpp"
#include "cli/cli_error.hpp"
#include "cli/cli_result.hpp"
#include "cli/redaction.hpp"
#include "domain/cancellation.hpp"
#include "process/process_runner.hpp"

namespace ambrel::logging {
class LogSink;
}

namespace ambrel::cli {

using process::DefaultProcessRunner;
using process::EnvironmentPair;
using process::ProcessOutput;
using process::ProcessRunner;

// Variables every `sf` child gets on top of the inherited environment, before the caller's pairs
// (which win on a clash): no self-update, no version nag, and no colour in output that must parse.
inline constexpr std::pair<std::string_view, std::string_view> kFixedEnvironment[] = {
    {"SF_DISABLE_AUTOUPDATE", "1"},
    {"SF_SKIP_NEW_VERSION_CHECK", "true"},
    {"FORCE_COLOR", "0"},
};

class SfCliGateway {
public:
    // A gateway over `executable` (the resolver's answer, or plain "sf") and its own runner, with a
    // disabled log and a fresh cache of its own (caching off).
    SfCliGateway(std::string executable, std::unique_ptr<ProcessRunner> runner);
    SfCliGateway(std::string executable, std::unique_ptr<ProcessRunner> runner,
                 std::shared_ptr<logging::LogSink> log, std::shared_ptr<CliCommandCache> cache);

    SfCliGateway(SfCliGateway&&) noexcept = default;
    SfCliGateway& operator=(SfCliGateway&&) noexcept = default;
    SfCliGateway(const SfCliGateway&) = delete;
    SfCliGateway& operator=(const SfCliGateway&) = delete;
    ~SfCliGateway();

    // The gateway with the session's log in place of the previous one.
    SfCliGateway with_log(std::shared_ptr<logging::LogSink> log) &&;
    // The gateway with the given (process-wide) cache in place of the previous one.
    SfCliGateway with_cache(std::shared_ptr<CliCommandCache> cache) &&;

    // Runs `sf` with the arguments (the executable is not among them; "--json" is appended unless an
    // argument is exactly "--json") and returns the parsed answer.
    //
    // Without extra environment, a read-only command ("version", "org list", "data query") may be
    // answered from the cache, and a successful answer (status the integer 0, exit code 0, no
    // time-out) is offered to it.
    //
    // Failures: "Salesforce CLI command was cancelled before start" when the token is already
    // cancelled (nothing runs or is logged); the runner's own failure; for a read-only command whose
    // run ended after the token was cancelled, "Salesforce CLI command was cancelled" (a command that
    // changed the org keeps its answer so that the caller can record what was done); blank standard
    // output (NoJson) or output that is not one JSON document (MalformedJson).
    std::expected<CliJsonResult, CliError> execute_inner(
        const std::vector<std::string>& arguments, const std::optional<std::filesystem::path>& working_directory,
        std::chrono::milliseconds timeout, const domain::CancellationToken& token,
        const std::vector<EnvironmentPair>& environment = {}) const;

    // Raw-output mode, for commands whose output is not a JSON envelope (a REST request with
    // "--include"): the arguments run exactly as given (no "--json"), standard output is not parsed,
    // nothing is cached or answered from the cache. The call is logged, the texts are redacted, and
    // the time-out and the token apply as in `execute_inner` (including the read-only rule for a
    // cancellation noticed after the run). Blank output is not a failure here.
    std::expected<CliRawOutput, CliError> execute_raw(
        const std::vector<std::string>& arguments, const std::optional<std::filesystem::path>& working_directory,
        std::chrono::milliseconds timeout, const domain::CancellationToken& token,
        const std::vector<EnvironmentPair>& environment = {}) const;

    // The text with secrets replaced by "[REDACTED]" (JSON: by key, written back compactly; other
    // text: by assignment up to the end of the line), URLs without their user information and access
    // tokens replaced, also inside JSON strings. Apply to any text taken from the CLI before it
    // reaches a message or a log.
    static std::string sanitize(std::string_view text) { return gateway::sanitize(text); }

    const std::string& executable() const noexcept { return executable_; }
    const std::shared_ptr<logging::LogSink>& log() const noexcept { return log_; }
    const std::shared_ptr<CliCommandCache>& cache() const noexcept { return cache_; }

private:
    struct Finished;
    std::expected<Finished, CliError> run_logged(const std::vector<std::string>& arguments, bool json_mode,
                                                 const std::optional<std::filesystem::path>& working_directory,
                                                 std::chrono::milliseconds timeout,
                                                 const domain::CancellationToken& token,
                                                 const std::vector<EnvironmentPair>& environment) const;
    void log_call(const std::vector<std::string>& arguments, const std::vector<std::string>& logged_arguments,
                  std::chrono::nanoseconds duration, const ProcessOutput* output,
                  const std::optional<std::string>& error) const;

    std::string executable_;
    std::unique_ptr<ProcessRunner> runner_;
    std::shared_ptr<logging::LogSink> log_;
    std::shared_ptr<CliCommandCache> cache_;
};

namespace gateway {

// The words that name a command in the session log: the leading arguments up to, not including, the
// first one that begins with "-" (an empty argument counts as a word), joined with one space. For a
// REST request ("api" "request" "rest" ...) every leading word that begins with "/" is shown as its
// redacted path.
std::string log_command(std::span<const std::string> arguments);

// The org a command names: the argument after the first "--target-org", unless there is none or it
// begins with "-".
std::optional<std::string> log_org(std::span<const std::string> arguments);

// True for a REST request: the arguments begin with "api", "request", "rest".
bool is_rest_request(std::span<const std::string> arguments) noexcept;

}  // namespace gateway

namespace auth_failure {

// The text itself when it has at most 64 characters, else its first 64 characters followed by "…".
std::string shortened(std::string_view text);

}  // namespace auth_failure

}  // namespace ambrel::cli
