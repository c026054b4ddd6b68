#include "git/gateway.hpp"

#include <algorithm>
#include <charconv>

#include <fmt/format.h>

#include "domain/cancellation.hpp"
#include "git/sanitize.hpp"
#include "process/interactive_child.hpp"
#include "support/programming_error.hpp"
#include "text/text.hpp"

namespace ambrel::git {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::string_view kRepositoryFlag = "-C";
constexpr std::string_view kLiteralPathspecs = "--literal-pathspecs";
constexpr std::string_view kConfigFlag = "-c";
// A repository's fsmonitor is a command it names; git would run it on every status, add and commit.
constexpr std::string_view kNoFsmonitor = "core.fsmonitor=false";
constexpr std::string_view kVersionCommand = "version";
constexpr std::string_view kCatFileCommand = "cat-file";
constexpr std::string_view kBatchFlag = "--batch";
// How long an object reader's child is given to exit by itself once its input is closed.
constexpr std::chrono::milliseconds kObjectReaderGrace{500};
// How many object requests are written before their answers are read.
constexpr std::size_t kObjectRequestWindow = 64;

std::vector<std::string> full_arguments(const std::string& program, const std::filesystem::path& repository,
                                        const std::vector<std::string>& args) {
    std::vector<std::string> argv;
    argv.reserve(args.size() + 6);
    argv.push_back(program);
    argv.emplace_back(kRepositoryFlag);
    argv.push_back(text::decode_lossy(repository.native()));
    argv.emplace_back(kLiteralPathspecs);
    argv.emplace_back(kConfigFlag);
    argv.emplace_back(kNoFsmonitor);
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

}  // namespace

std::string GitCommandOutput::diagnostic_for(std::span<const std::filesystem::path> repository_paths) const {
    return sanitize::diagnostic(stdout_text, stderr_text, repository_paths);
}

std::string_view GitGatewayError::message() const noexcept {
    switch (kind) {
        case Kind::StartFailed:
            return kStartFailedMessage;
        case Kind::TimedOut:
            return kTimedOutMessage;
        case Kind::Cancelled:
            return kCancelledMessage;
    }
    return kStartFailedMessage;
}

namespace gateway {

std::string log_command(std::string_view program, std::span<const std::string> args) {
    std::string out(program);
    for (const std::string& arg : args) {
        if (!arg.empty() && arg.front() == '-') break;
        out += ' ';
        out += arg;
    }
    return out;
}

GitGatewayError map_runner_error(const process::ProcessError& error) {
    if (error.is_cancelled()) return GitGatewayError{GitGatewayError::Kind::Cancelled};
    return GitGatewayError{GitGatewayError::Kind::StartFailed};
}

}  // namespace gateway

GitGateway::GitGateway(std::unique_ptr<process::ProcessRunner> runner, std::string program,
                       std::chrono::milliseconds timeout, std::chrono::milliseconds probe_timeout)
    : runner_(std::move(runner)),
      program_(std::move(program)),
      timeout_(timeout),
      probe_timeout_(probe_timeout),
      log_(logging::LogSink::disabled()) {
    support::require(runner_ != nullptr, "git gateway needs a runner");
}

GitGateway GitGateway::with_log(std::shared_ptr<logging::LogSink> log) && {
    support::require(log != nullptr, "git gateway needs a log sink");
    log_ = std::move(log);
    return std::move(*this);
}

GitGateway GitGateway::with_token(const domain::CancellationToken& token) const {
    GitGateway bound(*this);
    bound.token_ = &token;
    return bound;
}

GitGateway GitGateway::without_token() const {
    GitGateway unbound(*this);
    unbound.token_ = nullptr;
    return unbound;
}

const domain::CancellationToken& GitGateway::token() const noexcept {
    static const domain::NeverCancelled never;
    return token_ == nullptr ? never : *token_;
}

void GitGateway::log_run(const std::vector<std::string>& args, const std::filesystem::path* repository,
                         std::chrono::nanoseconds duration, std::optional<std::int32_t> exit_code,
                         std::uint64_t stdout_bytes, std::uint64_t stderr_bytes, bool timed_out,
                         std::optional<std::string> error) const {
    logging::CliCallRecord record;
    record.command = gateway::log_command(program_, args);
    record.duration = duration;
    record.exit_code = exit_code;
    record.stdout_bytes = stdout_bytes;
    record.stderr_bytes = stderr_bytes;
    record.timed_out = timed_out;
    record.error = std::move(error);
    if (log_->level() == logging::LogLevel::Detailed) {
        record.argv.reserve(args.size());
        for (const std::string& arg : args) {
            std::string cleaned = sanitize::scrub_credential_urls(arg);
            if (repository != nullptr) cleaned = sanitize::scrub_repo_path(cleaned, *repository);
            record.argv.push_back(std::move(cleaned));
        }
    }
    log_->cli_call(record);
}

std::expected<GitCommandOutput, GitGatewayError> GitGateway::execute(const std::filesystem::path& repository,
                                                                     const std::vector<std::string>& args) const {
    const std::vector<std::string> argv = full_arguments(program_, repository, args);
    const Clock::time_point start = Clock::now();
    auto result = runner_->run(argv, std::nullopt, timeout_, token());
    const auto elapsed = Clock::now() - start;
    if (!result) {
        const GitGatewayError error = gateway::map_runner_error(result.error());
        log_run(args, &repository, elapsed, std::nullopt, 0, 0, false, std::string(error.message()));
        return std::unexpected(error);
    }
    if (result->timed_out) {
        const GitGatewayError error{GitGatewayError::Kind::TimedOut};
        log_run(args, &repository, elapsed, result->exit_code, result->stdout_text.size(), result->stderr_text.size(),
                true, std::string(error.message()));
        return std::unexpected(error);
    }
    GitCommandOutput output{std::move(result->stdout_text), std::move(result->stderr_text), result->exit_code};
    std::optional<std::string> error;
    if (output.exit_code != 0) {
        const std::filesystem::path paths[] = {repository};
        error = output.diagnostic_for(paths);
    }
    log_run(args, &repository, elapsed, output.exit_code, output.stdout_text.size(), output.stderr_text.size(), false,
            std::move(error));
    return output;
}

bool GitGateway::is_usable() const {
    const std::vector<std::string> args{std::string(kVersionCommand)};
    const std::vector<std::string> argv{program_, std::string(kVersionCommand)};
    const domain::NeverCancelled never;
    const Clock::time_point start = Clock::now();
    auto result = runner_->run(argv, std::nullopt, probe_timeout_, never);
    const auto elapsed = Clock::now() - start;
    if (!result) {
        const GitGatewayError error = gateway::map_runner_error(result.error());
        log_run(args, nullptr, elapsed, std::nullopt, 0, 0, false, std::string(error.message()));
        return false;
    }
    const GitCommandOutput output{result->stdout_text, result->stderr_text, result->exit_code};
    std::optional<std::string> error;
    if (result->timed_out) {
        std::string detail = output.diagnostic_for({});
        error = detail.empty() ? std::string(kTimedOutMessage) : std::move(detail);
    } else if (output.exit_code != 0) {
        std::string detail = output.diagnostic_for({});
        error = detail.empty() ? fmt::format("The git version probe exited with code {} and no output.", output.exit_code) : std::move(detail);
    }
    log_run(args, nullptr, elapsed, output.exit_code, output.stdout_text.size(), output.stderr_text.size(),
            result->timed_out, std::move(error));
    return output.exit_code == 0 && !result->timed_out;
}

std::expected<std::unique_ptr<ObjectReader>, GitGatewayError> GitGateway::start_object_reader(
    const std::filesystem::path& repository) const {
    const std::vector<std::string> args{std::string(kCatFileCommand), std::string(kBatchFlag)};
    auto child = runner_->start_interactive(full_arguments(program_, repository, args));
    if (!child) {
        const GitGatewayError error = gateway::map_runner_error(child.error());
        log_run(args, &repository, std::chrono::nanoseconds{0}, std::nullopt, 0, 0, false,
                std::string(error.message()));
        return std::unexpected(error);
    }
    return std::make_unique<ObjectReader>(*this, repository, std::move(*child));
}

ObjectReader::ObjectReader(const GitGateway& gateway, std::filesystem::path repository,
                           std::unique_ptr<process::InteractiveChild> child)
    : gateway_(gateway), repository_(std::move(repository)), child_(std::move(child)), started_(Clock::now()) {}

ObjectReader::~ObjectReader() {
    const process::InteractiveEnd end = child_->finish(kObjectReaderGrace);
    std::optional<std::string> error;
    if (failure_) error = std::string(failure_->message());
    const std::vector<std::string> args{std::string(kCatFileCommand), std::string(kBatchFlag)};
    gateway_.log_run(args, &repository_, Clock::now() - started_, end.exit_code, end.stdout_bytes, end.stderr_bytes,
                     end.timed_out, std::move(error));
}

std::expected<GitObject, GitGatewayError> ObjectReader::read(std::string_view name) {
    const std::string_view names[] = {name};
    auto objects = read_all(names);
    if (!objects) return std::unexpected(objects.error());
    return std::move(objects->front());
}

std::expected<std::vector<GitObject>, GitGatewayError> ObjectReader::read_all(std::span<const std::string_view> names) {
    if (failure_) return std::unexpected(*failure_);
    std::vector<GitObject> objects(names.size());
    const auto fail = [this](process::InteractiveError error) -> std::unexpected<GitGatewayError> {
        failure_ = GitGatewayError{error.kind == process::InteractiveError::Kind::TimedOut
                                       ? GitGatewayError::Kind::TimedOut
                                       : GitGatewayError::Kind::StartFailed};
        return std::unexpected(*failure_);
    };
    // Requests go out a window at a time and the answers are read after each window: far fewer round
    // trips than one per object, and a window's requests fit in the pipe, so neither side waits on the
    // other while both write.
    for (std::size_t first = 0; first < names.size(); first += kObjectRequestWindow) {
        // A cancelled operation reads no further object: the child is stopped when the reader goes away.
        if (gateway_.token().is_cancelled()) {
            failure_ = GitGatewayError{GitGatewayError::Kind::Cancelled};
            return std::unexpected(*failure_);
        }
        const std::size_t last = std::min(names.size(), first + kObjectRequestWindow);
        const Clock::time_point deadline = Clock::now() + gateway_.timeout();
        std::string requests;
        for (std::size_t k = first; k < last; ++k) {
            // The batch protocol reads one name per line and drops a carriage return before its end: a
            // name holding either cannot be asked for.
            if (names[k].empty() || names[k].find_first_of("\r\n") != std::string_view::npos) continue;
            requests += names[k];
            requests += '\n';
        }
        if (requests.empty()) continue;
        if (auto sent = child_->send(requests, deadline); !sent) return fail(sent.error());
        for (std::size_t k = first; k < last; ++k) {
            const std::string_view name = names[k];
            if (name.empty() || name.find_first_of("\r\n") != std::string_view::npos) continue;
            auto header = child_->read_line(deadline);
            if (!header) return fail(header.error());
            // "<name> missing" / "<name> ambiguous", else "<oid> <type> <size>".
            const std::string_view line = *header;
            if (line.starts_with(name) &&
                (line.substr(name.size()) == " missing" || line.substr(name.size()) == " ambiguous")) {
                continue;
            }
            const std::size_t last_space = line.rfind(' ');
            const std::size_t type_space =
                last_space == std::string_view::npos ? last_space : line.rfind(' ', last_space - 1);
            std::size_t size = 0;
            if (type_space == std::string_view::npos ||
                std::from_chars(line.data() + last_space + 1, line.data() + line.size(), size).ec != std::errc{}) {
                return fail(process::InteractiveError{process::InteractiveError::Kind::Io, {}});
            }
            const bool blob = line.substr(type_space + 1, last_space - type_space - 1) == "blob";
            auto bytes = child_->read_exact(size + 1, deadline);
            if (!bytes) return fail(bytes.error());
            bytes->pop_back();  // the line feed after the content
            objects[k] = blob ? GitObject{GitObject::Kind::Blob, std::move(*bytes)} : GitObject{GitObject::Kind::Other, {}};
        }
    }
    return objects;
}

}  // namespace ambrel::git
