#include "cli/gateway.hpp"

#include <algorithm>
#include <span>
#include <utility>

#include "cli/rest_paths.hpp"
#include "logging/log_sink.hpp"
#include "support/programming_error.hpp"
#include "text/text.hpp"

namespace ambrel::cli {

namespace gateway {

bool is_rest_request(std::span<const std::string> arguments) noexcept {
    return arguments.size() >= 3 && arguments[0] == "api" && arguments[1] == "request" && arguments[2] == "rest";
}

std::string log_command(std::span<const std::string> arguments) {
    const bool rest = is_rest_request(arguments);
    std::string out;
    bool first = true;
    for (const auto& argument : arguments) {
        if (argument.starts_with('-')) break;
        if (!first) out += ' ';
        first = false;
        out += rest && argument.starts_with('/') ? rest::redacted_path(argument) : argument;
    }
    return out;
}

std::optional<std::string> log_org(std::span<const std::string> arguments) {
    const auto flag = std::ranges::find(arguments, std::string_view("--target-org"));
    if (flag == arguments.end() || std::next(flag) == arguments.end()) return std::nullopt;
    const std::string& org = *std::next(flag);
    if (org.starts_with('-')) return std::nullopt;
    return org;
}

}  // namespace gateway

namespace auth_failure {

std::string shortened(std::string_view text) { return text::shorten_with_ellipsis(text, 64); }

}  // namespace auth_failure

namespace {

// The answer qualifies for the cache: status the integer 0 (0.0 does not count), exit code 0, no
// time-out. The CLI answers "version" without an envelope (no "status"): there an object naming the
// CLI's version qualifies.
bool is_cacheable_answer(std::span<const std::string> arguments, const json::Value& document,
                         const ProcessOutput& output) {
    if (output.exit_code != 0 || output.timed_out) return false;
    const json::Value* status = json::find(document, "status");
    if (status == nullptr && arguments.size() == 1 && arguments.front() == "version") {
        const json::Value* version = json::find(document, "cliVersion");
        return version != nullptr && json::as_string(*version).has_value();
    }
    if (status == nullptr || !json::is_integer(*status)) return false;
    const auto value = json::as_int64(*status);
    return value && *value == 0;
}

}  // namespace

struct SfCliGateway::Finished {
    ProcessOutput output;
    std::vector<std::string> logged_arguments;
    std::chrono::nanoseconds duration{0};
};

SfCliGateway::SfCliGateway(std::string executable, std::unique_ptr<ProcessRunner> runner)
    : SfCliGateway(std::move(executable), std::move(runner), logging::LogSink::disabled(),
                   CliCommandCache::create()) {}

SfCliGateway::SfCliGateway(std::string executable, std::unique_ptr<ProcessRunner> runner,
                           std::shared_ptr<logging::LogSink> log, std::shared_ptr<CliCommandCache> cache)
    : executable_(std::move(executable)),
      runner_(std::move(runner)),
      log_(std::move(log)),
      cache_(std::move(cache)) {
    support::require(runner_ != nullptr, "CLI gateway needs a process runner");
    support::require(log_ != nullptr, "CLI gateway needs a log sink");
    support::require(cache_ != nullptr, "CLI gateway needs a command cache");
}

SfCliGateway::~SfCliGateway() = default;

SfCliGateway SfCliGateway::with_log(std::shared_ptr<logging::LogSink> log) && {
    support::require(log != nullptr, "CLI gateway needs a log sink");
    log_ = std::move(log);
    return std::move(*this);
}

SfCliGateway SfCliGateway::with_cache(std::shared_ptr<CliCommandCache> cache) && {
    support::require(cache != nullptr, "CLI gateway needs a command cache");
    cache_ = std::move(cache);
    return std::move(*this);
}

void SfCliGateway::log_call(const std::vector<std::string>& arguments,
                            const std::vector<std::string>& logged_arguments, std::chrono::nanoseconds duration,
                            const ProcessOutput* output, const std::optional<std::string>& error) const {
    logging::CliCallRecord record;
    record.command = gateway::log_command(arguments);
    record.org = gateway::log_org(arguments);
    record.duration = duration;
    if (output != nullptr) {
        record.exit_code = output->exit_code;
        record.stdout_bytes = output->stdout_text.size();
        record.stderr_bytes = output->stderr_text.size();
        record.timed_out = output->timed_out;
    }
    record.error = error;
    record.argv = logged_arguments;
    log_->cli_call(record);
}

std::expected<SfCliGateway::Finished, CliError> SfCliGateway::run_logged(
    const std::vector<std::string>& arguments, bool json_mode,
    const std::optional<std::filesystem::path>& working_directory, std::chrono::milliseconds timeout,
    const domain::CancellationToken& token, const std::vector<EnvironmentPair>& environment) const {
    std::vector<std::string> argv;
    argv.reserve(arguments.size() + 2);
    argv.push_back(executable_);
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    if (json_mode && std::ranges::find(arguments, std::string_view("--json")) == arguments.end()) {
        argv.emplace_back("--json");
    }

    std::vector<EnvironmentPair> child_environment;
    child_environment.reserve(std::size(kFixedEnvironment) + environment.size());
    for (const auto& [name, value] : kFixedEnvironment) child_environment.emplace_back(name, value);
    child_environment.insert(child_environment.end(), environment.begin(), environment.end());

    const auto started = std::chrono::steady_clock::now();
    auto ran = runner_->run_with_env(argv, working_directory, timeout, token, child_environment);
    std::expected<ProcessOutput, CliError> output =
        ran ? std::expected<ProcessOutput, CliError>(std::move(*ran))
            : std::unexpected(CliError::from_process(ran.error()));
    const auto duration = std::chrono::steady_clock::now() - started;

    // REST requests log no arguments at all: their paths and bodies name records.
    std::vector<std::string> logged_arguments;
    if (!gateway::is_rest_request(arguments) && log_->level() == logging::LogLevel::Detailed) {
        logged_arguments.reserve(argv.size() - 1);
        for (auto it = std::next(argv.begin()); it != argv.end(); ++it) {
            // An argument may hold a secret assignment, a URL with a user and password, or a token.
            logged_arguments.push_back(gateway::sanitize(*it));
        }
    }

    if (!output) {
        log_call(arguments, logged_arguments, duration, nullptr, output.error().message());
        return std::unexpected(std::move(output.error()));
    }
    // A read-only command that ended after cancellation is reported as cancelled (its answer may
    // belong to a stale operation). A command that may have changed the org keeps its answer: losing
    // it would hide what was done; the caller's next cancellation check stops the work.
    if (token.is_cancelled() && cache::is_cacheable_prefix(arguments)) {
        CliError error = CliError::cancelled(kCommandCancelled);
        log_call(arguments, logged_arguments, duration, &*output, error.message());
        return std::unexpected(std::move(error));
    }
    return Finished{std::move(*output), std::move(logged_arguments),
                    std::chrono::duration_cast<std::chrono::nanoseconds>(duration)};
}

std::expected<CliJsonResult, CliError> SfCliGateway::execute_inner(
    const std::vector<std::string>& arguments, const std::optional<std::filesystem::path>& working_directory,
    std::chrono::milliseconds timeout, const domain::CancellationToken& token,
    const std::vector<EnvironmentPair>& environment) const {
    if (token.is_cancelled()) return std::unexpected(CliError::cancelled(kCommandCancelledBeforeStart));
    if (environment.empty()) {
        if (auto stored = cache_->lookup(executable_, arguments, working_directory)) return std::move(*stored);
    }

    auto finished = run_logged(arguments, true, working_directory, timeout, token, environment);
    if (!finished) return std::unexpected(std::move(finished.error()));
    const ProcessOutput& output = finished->output;

    std::string stdout_text = gateway::sanitize(output.stdout_text);
    std::string stderr_text = gateway::sanitize(output.stderr_text);

    if (text::is_blank(output.stdout_text)) {
        CliError error =
            CliError::NoJson{std::move(stdout_text), std::move(stderr_text), output.exit_code, output.timed_out};
        log_call(arguments, finished->logged_arguments, finished->duration, &output, error.message());
        return std::unexpected(std::move(error));
    }

    auto document = json::parse(output.stdout_text);
    if (!document) {
        CliError error = CliError::MalformedJson{document.error().line, document.error().column,
                                                 std::move(stdout_text), std::move(stderr_text),
                                                 output.exit_code, output.timed_out};
        log_call(arguments, finished->logged_arguments, finished->duration, &output, error.message());
        return std::unexpected(std::move(error));
    }

    log_call(arguments, finished->logged_arguments, finished->duration, &output, std::nullopt);

    CliJsonResult result{std::move(*document), std::move(stdout_text), std::move(stderr_text), output.exit_code,
                         output.timed_out};
    if (environment.empty() && is_cacheable_answer(arguments, result.json, output)) {
        cache_->store(executable_, arguments, working_directory, result);
    }
    return result;
}

std::expected<CliRawOutput, CliError> SfCliGateway::execute_raw(
    const std::vector<std::string>& arguments, const std::optional<std::filesystem::path>& working_directory,
    std::chrono::milliseconds timeout, const domain::CancellationToken& token,
    const std::vector<EnvironmentPair>& environment) const {
    if (token.is_cancelled()) return std::unexpected(CliError::cancelled(kCommandCancelledBeforeStart));

    auto finished = run_logged(arguments, false, working_directory, timeout, token, environment);
    if (!finished) return std::unexpected(std::move(finished.error()));
    ProcessOutput& output = finished->output;

    log_call(arguments, finished->logged_arguments, finished->duration, &output, std::nullopt);

    CliRawOutput result;
    result.stdout_text = gateway::sanitize(output.stdout_text);
    result.stderr_text = gateway::sanitize(output.stderr_text);
    result.raw_stdout = std::move(output.stdout_text);
    result.exit_code = output.exit_code;
    result.timed_out = output.timed_out;
    return result;
}

}  // namespace ambrel::cli
