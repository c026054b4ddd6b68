#include "dispatch/dispatcher.hpp"

#include <cerrno>
#include <chrono>
#include <exception>
#include <new>
#include <system_error>
#include <utility>

#include <fmt/format.h>
#include <unistd.h>

#include "logging/log_writer.hpp"
#include "platform_fs/unix.hpp"
#include "protocol/records.hpp"
#include "protocol/state.hpp"
#include "text/text.hpp"

namespace ambrel::dispatch {
namespace {

using protocol::RpcError;

std::uint64_t millis_since_epoch() {
    const auto since = std::chrono::system_clock::now().time_since_epoch();
    if (since.count() < 0) return 0;
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(since).count());
}

// Joins whatever part of a session has been built, in the shutdown order.
void stop_session_parts(const std::optional<workflow::WorkflowController>& controller,
                        const std::shared_ptr<workflow::QueueExecutor>& background,
                        const std::shared_ptr<workflow::QueueExecutor>& external_keys,
                        const std::shared_ptr<workflow::QueueExecutor>& ui,
                        const std::shared_ptr<workflow::QueueExecutor>& cleanup,
                        const std::shared_ptr<workflow::QueueExecutor>& git_requests) {
    if (controller) controller->close();
    // A git request still running is answered before the session ends; git's own time-out bounds it.
    for (const auto* executor : {&git_requests, &background, &external_keys, &ui, &cleanup}) {
        if (*executor) (*executor)->shutdown_and_join();
    }
}

// A failure's text as the session's controller cleans it, or the generic sentence when cleaning fails.
std::string sanitized_failure_text(const Session& session, const std::string& text) {
    try {
        return session.controller.sanitize_diagnostic(text);
    } catch (...) {
        return std::string(protocol::kInternalErrorMessage);
    }
}

// Runs a request's handling so that nothing escapes it: running out of memory says so, and any other
// failure answers -32603 with its text as `clean` gives it.
template <class Handle, class Clean>
RpcResult guarded(Handle&& handle, Clean&& clean) {
    try {
        return handle();
    } catch (const std::bad_alloc&) {
        return std::unexpected(RpcError{protocol::kInternalError, std::string(protocol::kOutOfMemoryMessage), {}});
    } catch (const std::exception& failure) {
        return std::unexpected(RpcError{protocol::kInternalError, clean(failure.what()), {}});
    } catch (...) {
        return std::unexpected(RpcError{protocol::kInternalError, clean(std::string(protocol::kInternalErrorMessage)), {}});
    }
}

// The answer to a request with that id; none for a notification.
std::optional<json::Value> response_to(std::optional<json::Value> id, RpcResult outcome) {
    if (!id) return std::nullopt;
    if (outcome) return protocol::success_response(std::move(*id), std::move(*outcome));
    return protocol::error_response(std::move(*id), outcome.error());
}

}  // namespace

void NotificationProgressReporter::report(progress::ProgressEvent event) {
    (void)outgoing_->send(protocol::notification(protocol::kProgressMethod, protocol::progress_to_value(event)));
}

std::optional<std::string> session_log_refusal(const std::filesystem::path& workspace_root) {
    const auto directory = workspace_root / kLogFolder / kLogSubfolder;
    const auto refusal = [&directory](const std::string& reason) {
        return fmt::format("The session log cannot be kept in {}: {}.", text::decode_lossy(directory.string()), reason);
    };
    std::error_code error;
    std::filesystem::create_directories(directory, error);
    if (error) return refusal(error.message());
    // The application folder and its logs folder belong to the user alone, as the log writer makes them.
    (void)platform_fs::unix::create_private_directory(directory.parent_path());
    (void)platform_fs::unix::create_private_directory(directory);
    if (::access(directory.c_str(), W_OK | X_OK) != 0) return refusal(std::generic_category().message(errno));
    return std::nullopt;
}

std::shared_ptr<logging::LogSink> open_session_log(const std::filesystem::path& workspace_root,
                                                   logging::LogLevel level) {
    const auto directory = workspace_root / kLogFolder / kLogSubfolder;
    auto writer = logging::JsonlFileWriter::open(directory, millis_since_epoch(), static_cast<std::int64_t>(::getpid()));
    return logging::LogSink::create(std::move(writer), level);
}

Dispatcher::Dispatcher(std::shared_ptr<server::OutgoingChannel> outgoing, ServiceFactory factory)
    : outgoing_(std::move(outgoing)), factory_(std::move(factory)), lifecycle_(Uninitialized{}) {}

Dispatcher::~Dispatcher() { (void)shutdown(); }

bool Dispatcher::is_shut_down() const {
    std::lock_guard guard(mutex_);
    return std::holds_alternative<ShutDown>(lifecycle_);
}

std::size_t value_bound(std::size_t body_size) noexcept { return kMinValueBound + body_size / kBytesPerValue; }

std::optional<json::Value> Dispatcher::process_frame(std::string_view body) {
    json::WatchedMember id_seen{"id", std::nullopt, {}};
    try {
        return answer_frame(body, id_seen);
    } catch (const std::bad_alloc&) {
        // Whatever was built for the request is released by now; answer with the id when it was read, so
        // the client learns which request failed, and keep serving.
        if (id_seen.value && echoes_exactly(*id_seen.value, id_seen.number_text)) {
            return protocol::error_response(std::move(*id_seen.value), protocol::kInternalError,
                                            protocol::kOutOfMemoryMessage);
        }
        return protocol::error_response(nullptr, protocol::kParseError, protocol::kOutOfMemoryMessage);
    }
}

bool Dispatcher::echoes_exactly(const json::Value& id, std::string_view number_text) {
    const auto written = json::number_text(id);
    return !written || *written == number_text;
}

std::optional<json::Value> Dispatcher::answer_frame(std::string_view body, json::WatchedMember& id_seen) {
    const std::size_t bound = value_bound(body.size());
    auto parsed = json::parse_bounded(body, json::ParseOptions{bound, &id_seen});
    if (!parsed) {
        if (!parsed.error().too_many_values) {
            return protocol::error_response(nullptr, protocol::kParseError, protocol::kParseErrorMessage);
        }
        json::Value id = nullptr;
        if (id_seen.value && echoes_exactly(*id_seen.value, id_seen.number_text)) id = std::move(*id_seen.value);
        return protocol::error_response(
            std::move(id), protocol::kInvalidRequest,
            fmt::format("The request holds more JSON values than a body of {} bytes may hold ({}).", body.size(), bound));
    }
    const json::Value& message = *parsed;
    std::optional<json::Value> id;
    if (const auto* object = json::as_object(message)) {
        if (const auto* found = json::find(*object, "id")) id = *found;
    }
    // A number the client wrote in a way this server would write differently (an integer beyond 64 bits,
    // 1e400, -0) would come back changed, and the client could not match the answer to its request.
    if (id && !echoes_exactly(*id, id_seen.number_text)) {
        return protocol::error_response(
            nullptr, protocol::kInvalidRequest,
            fmt::format("The request id {} cannot be answered exactly; use a string or an integer of at most 64 bits.",
                        text::shorten_with_ellipsis(id_seen.number_text, kShownIdLength)));
    }
    const auto* method_value = json::find(message, "method");
    const auto method = method_value == nullptr ? std::nullopt : json::as_string(*method_value);
    if (!method) {
        return protocol::error_response(id ? *id : json::Value(nullptr), protocol::kInvalidRequest,
                                        protocol::kMissingMethodMessage);
    }
    static const json::Value kNoParams;
    const auto* params_value = json::find(message, "params");
    const json::Value& params = params_value == nullptr ? kNoParams : *params_value;
    if (*method == kInspectGitRepoMethod && answer_off_reader_thread(*method, id, params)) return std::nullopt;

    RpcResult outcome = guarded([&] { return handle(*method, params); },
                                [this](std::string text) { return internal_error_text(std::move(text)); });
    return response_to(std::move(id), std::move(outcome));
}

bool Dispatcher::answer_off_reader_thread(std::string_view method, const std::optional<json::Value>& id,
                                          const json::Value& params) {
    std::shared_ptr<Session> session;
    {
        std::lock_guard guard(mutex_);
        const auto* ready = std::get_if<Ready>(&lifecycle_);
        if (ready == nullptr) return false;
        session = ready->session;
    }
    auto task = [session, outgoing = outgoing_, method = std::string(method), id, params = json::Value(params)]() {
        // The session's own cleaning, not the dispatcher's: shutdown holds the lifecycle lock while it
        // waits for this task.
        RpcResult outcome = guarded([&] { return route_ready(*session, method, params); },
                                    [&](const std::string& text) { return sanitized_failure_text(*session, text); });
        if (auto response = response_to(id, std::move(outcome))) (void)outgoing->send(std::move(*response));
    };
    // An executor that has shut down hands the task back: the session is ending, so answer at once.
    if (auto refused = session->git_requests->execute(std::move(task))) (*refused)();
    return true;
}

std::string Dispatcher::internal_error_text(std::string text) {
    std::lock_guard guard(mutex_);
    if (const auto* ready = std::get_if<Ready>(&lifecycle_)) return sanitized_failure_text(*ready->session, text);
    return std::string(protocol::kInternalErrorMessage);
}

RpcResult Dispatcher::handle(std::string_view method, const json::Value& params) {
    if (method == "shutdown") return shutdown();
    if (method == "initialize") return handle_initialize(params);
    std::lock_guard guard(mutex_);
    if (std::holds_alternative<Uninitialized>(lifecycle_)) {
        return std::unexpected(protocol::server_error("The server has not been initialized."));
    }
    if (std::holds_alternative<ShutDown>(lifecycle_)) {
        return std::unexpected(protocol::server_error("The server has shut down."));
    }
    return route_ready(*std::get<Ready>(lifecycle_).session, method, params);
}

RpcResult Dispatcher::handle_initialize(const json::Value& params) {
    {
        std::lock_guard guard(mutex_);
        if (std::holds_alternative<Ready>(lifecycle_)) {
            return std::unexpected(protocol::server_error("The server is already initialized."));
        }
        if (std::holds_alternative<ShutDown>(lifecycle_)) {
            return std::unexpected(protocol::server_error("The server has shut down."));
        }
    }
    const auto* version_value = json::find(params, "protocolVersion");
    const auto version = version_value == nullptr ? std::nullopt : json::as_uint64(*version_value);
    if (!version) return std::unexpected(protocol::invalid_params("initialize requires a numeric protocolVersion."));
    if (*version != kProtocolVersion) {
        return std::unexpected(protocol::server_error(
            fmt::format("Incompatible protocol version {}; server speaks {}.", *version, kProtocolVersion)));
    }
    const auto* root_value = json::find(params, "workspaceRoot");
    const auto root = root_value == nullptr ? std::nullopt : json::as_string(*root_value);
    if (!root || root->empty()) {
        return std::unexpected(protocol::invalid_params("initialize requires a workspaceRoot string."));
    }
    const auto* capabilities = json::find(params, "capabilities");
    const json::Object* capability_object = capabilities == nullptr ? nullptr : json::as_object(*capabilities);
    const json::Value* progress_flag = capability_object ? json::find(*capability_object, "progress") : nullptr;
    const bool progress_on = progress_flag != nullptr && progress_flag->is_bool() && progress_flag->as_bool();
    auto progress = progress_on
                        ? progress::ProgressSink::create(std::make_shared<NotificationProgressReporter>(outgoing_))
                        : progress::ProgressSink::disabled();
    logging::LogLevel level = logging::LogLevel::Standard;
    if (const json::Value* log_value = capability_object ? json::find(*capability_object, "log") : nullptr) {
        const auto text = json::as_string(*log_value);
        const auto known = text ? logging::log_level_from_wire_id(*text) : std::nullopt;
        if (!known) {
            return std::unexpected(
                protocol::invalid_params("capabilities.log must be one of off, standard, detailed."));
        }
        level = *known;
    }

    if (auto refusal = session_log_refusal(std::filesystem::path(std::string(*root)))) {
        return std::unexpected(protocol::invalid_params(std::move(*refusal)));
    }
    auto log = open_session_log(std::filesystem::path(std::string(*root)), level);
    ServiceParts parts = factory_(std::filesystem::path(std::string(*root)), progress, log);
    log->session_started(kProtocolVersion);

    std::shared_ptr<workflow::QueueExecutor> ui;
    std::shared_ptr<workflow::QueueExecutor> background;
    std::shared_ptr<workflow::QueueExecutor> cleanup;
    std::shared_ptr<workflow::QueueExecutor> external_keys;
    std::shared_ptr<workflow::QueueExecutor> git_requests;
    std::optional<workflow::WorkflowController> controller;
    try {
        ui = workflow::QueueExecutor::create();
        background = workflow::QueueExecutor::create();
        cleanup = workflow::QueueExecutor::create();
        external_keys = workflow::QueueExecutor::create();
        git_requests = workflow::QueueExecutor::create();
        std::weak_ptr<workflow::QueueExecutor> ui_worker = ui;
        controller.emplace(workflow::WorkflowControllerBuilder(parts.use_cases, background, ui)
                               .cleanup(cleanup)
                               .external_keys_executor(external_keys)
                               .is_ui_thread([ui_worker] {
                                   const auto executor = ui_worker.lock();
                                   return executor != nullptr && executor->is_worker_thread();
                               })
                               .progress(progress)
                               .log(log)
                               .cli_cache(parts.cli_cache)
                               .endpoint_memory(parts.endpoint_memory)
                               .build());
        auto outgoing = outgoing_;
        auto listener = controller->add_state_listener([outgoing](const workflow::StateSnapshot& snapshot) {
            std::optional<protocol::ActiveOperation> active;
            if (snapshot.active_operation) active = protocol::ActiveOperation{*snapshot.active_operation, snapshot.operation_id};
            json::Object params;
            params["state"] = protocol::state_to_value(snapshot.state, active);
            (void)outgoing->send(protocol::notification(protocol::kStateChangedMethod, std::move(params)));
        });
        auto session = std::make_shared<Session>(Session{*controller, log, std::move(listener), ui, background,
                                                         cleanup, external_keys, git_requests});
        std::lock_guard guard(mutex_);
        lifecycle_ = Ready{session};
        json::Object result;
        result["serverVersion"] = kServerVersion;
        result["protocolVersion"] = kProtocolVersion;
        json::Object granted;
        granted["progress"] = progress_on;
        result["capabilities"] = std::move(granted);
        result["log"] = protocol::log_to_value(*log);
        return result;
    } catch (...) {
        stop_session_parts(controller, background, external_keys, ui, cleanup, git_requests);
        throw;
    }
}

json::Value Dispatcher::shutdown() {
    std::lock_guard guard(mutex_);
    Lifecycle previous = std::exchange(lifecycle_, ShutDown{});
    if (auto* ready = std::get_if<Ready>(&previous)) {
        auto& session = *ready->session;
        stop_session_parts(session.controller, session.background, session.external_keys, session.ui,
                           session.cleanup, session.git_requests);
    }
    return json::Object{};
}

}  // namespace ambrel::dispatch
