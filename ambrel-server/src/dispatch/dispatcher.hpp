#pragma once

// Dispatcher: turns one frame body into at most one response. It parses the JSON-RPC message, tells
// requests (with an "id") from notifications, answers "initialize" and "shutdown" itself, and hands
// every other method to the method table (`route_ready`) once the server is initialised.
//
// "initialize" builds the session: the session log under "{workspaceRoot}/quillary/logs", the
// application service through the service factory, four queue executors (UI, background, cleanup,
// external keys) and the workflow controller, whose states become "workflow/stateChanged"
// notifications and whose progress becomes "workflow/progress" when the client asked for it. Should
// anything fail after the executors were started, the controller is closed and every executor
// already started is joined before the failure is answered, so no thread outlives a failed start.
// "shutdown" closes the controller and joins the executors in the order background, external keys,
// UI, cleanup.
//
// Failures are answers, never exits: -32700 "Could not parse the JSON-RPC message.", -32600 "The
// request is missing the method field.", -32000 "The server has not been initialized.", "The server
// has shut down.", "The server is already initialized.", "Incompatible protocol version {}; server
// speaks {}.", -32602 "initialize requires a numeric protocolVersion.", "initialize requires a
// workspaceRoot string.", "capabilities.log must be one of off, standard, detailed.", "The session log
// cannot be kept in {folder}: {reason}.", the method table's answers, and -32603 for an exception
// escaping the handling of a request (its text cleaned by the controller while a session is ready,
// else "The server encountered an internal error.").
//
// A frame cannot end the server: a body holding more JSON values than `value_bound` allows for its size
// is refused with -32600 before it is built, an id that would be written back other than as its source
// text (an integer beyond 64 bits, 1e400) with -32600 and id null, and running out of memory anywhere in
// a frame's handling answers -32603 "The server ran out of memory handling the request." (-32700 with id
// null when no id could be read).
//
// Thread-safety: `process_frame`, `handle_initialize` and `shutdown` run on the reader thread, one frame
// at a time; "workflow/inspectGitRepo" is answered from the session's git executor, outside the
// lifecycle lock, so its answer may follow answers to later requests. `mutex_` guards the lifecycle; it is held for the whole of a workflow method and of
// `shutdown` (executor joins included), but not while "initialize" opens the log, calls the factory
// and builds the controller. Borrows nothing: the outgoing channel and the factory are shared.

#include <cstdint>
#include <expected>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <variant>

#include "app/use_cases.hpp"
#include "cli/cache.hpp"
#include "endpoint_memory/endpoint_memory.hpp"
#include "json/bounded_parse.hpp"
#include "json/json.hpp"
#include "logging/log_sink.hpp"
#include "main/outgoing.hpp"
#include "progress/progress.hpp"
#include "protocol/messages.hpp"
#include "workflow/controller.hpp"
#include "workflow/queue_executor.hpp"

namespace ambrel::dispatch {

inline constexpr std::uint32_t kProtocolVersion = 41;
inline constexpr std::string_view kServerVersion = "0.1.4";
inline constexpr std::string_view kLogFolder = "quillary";
inline constexpr std::string_view kLogSubfolder = "logs";
// A body may hold one JSON value for each 8 of its bytes, and 4,096 whatever its size: a request
// keys, names and texts, which take far more than 8 bytes a value, while a body of bare numbers or empty
// brackets would otherwise unfold to some 25 times its size in memory.
inline constexpr std::size_t kBytesPerValue = 8;
inline constexpr std::size_t kMinValueBound = 4096;
// How much of a refused numeric id the refusal shows.
inline constexpr std::size_t kShownIdLength = 64;

// The most JSON values a body of that many bytes may hold.
std::size_t value_bound(std::size_t body_size) noexcept;

using RpcResult = std::expected<json::Value, protocol::RpcError>;

// What the service factory builds for a session. Without an endpoint memory the session remembers no
// endpoints.
struct ServiceParts {
    std::shared_ptr<const app::QuillaryUseCases> use_cases;
    std::shared_ptr<cli::CliCommandCache> cli_cache;
    std::shared_ptr<const endpoint_memory::EndpointMemory> endpoint_memory;
};

// Called once per successful "initialize" with the workspace root, the session's progress sink and
// its log. May throw; the dispatcher answers -32603 and stays uninitialised.
using ServiceFactory = std::function<ServiceParts(const std::filesystem::path& workspace_root,
                                                  std::shared_ptr<progress::ProgressSink> progress,
                                                  std::shared_ptr<logging::LogSink> log)>;

// What "initialize" creates.
struct Session {
    workflow::WorkflowController controller;
    std::shared_ptr<logging::LogSink> log;
    workflow::ListenerHandle listener;
    std::shared_ptr<workflow::QueueExecutor> ui;
    std::shared_ptr<workflow::QueueExecutor> background;
    std::shared_ptr<workflow::QueueExecutor> cleanup;
    std::shared_ptr<workflow::QueueExecutor> external_keys;
    // Runs the requests that wait on git off the reader thread, so a repository whose git blocks does
    // not stop the server from answering everything else.
    std::shared_ptr<workflow::QueueExecutor> git_requests;
};

// Answered on the session's git executor rather than on the reader thread.
inline constexpr std::string_view kInspectGitRepoMethod = "workflow/inspectGitRepo";

struct Uninitialized {};
struct Ready {
    std::shared_ptr<Session> session;
};
struct ShutDown {};
using Lifecycle = std::variant<Uninitialized, Ready, ShutDown>;

// Sends every progress event as a "workflow/progress" notification; a failed send is ignored.
class NotificationProgressReporter final : public progress::ProgressReporter {
public:
    explicit NotificationProgressReporter(std::shared_ptr<server::OutgoingChannel> outgoing) noexcept
        : outgoing_(std::move(outgoing)) {}
    void report(progress::ProgressEvent event) override;

private:
    std::shared_ptr<server::OutgoingChannel> outgoing_;
};

// Why the workspace root cannot hold the session log: its folder "{root}/quillary/logs" cannot be
// created (it is then created, private to the user) or written; none when it can.
std::optional<std::string> session_log_refusal(const std::filesystem::path& workspace_root);

// The session log "session-{millis}-{pid}.jsonl" under "{root}/quillary/logs"; no file is created on
// disk before the first line.
std::shared_ptr<logging::LogSink> open_session_log(const std::filesystem::path& workspace_root,
                                                   logging::LogLevel level);

class Dispatcher {
public:
    Dispatcher(std::shared_ptr<server::OutgoingChannel> outgoing, ServiceFactory factory);
    Dispatcher(const Dispatcher&) = delete;
    Dispatcher& operator=(const Dispatcher&) = delete;
    ~Dispatcher();

    // The response to send, or none for a notification.
    std::optional<json::Value> process_frame(std::string_view body);
    RpcResult handle_initialize(const json::Value& params);
    // Any number of times, in any state; always {}.
    json::Value shutdown();
    bool is_shut_down() const;

    // The workflow method table; called with the lifecycle lock held.
    static RpcResult route_ready(Session& session, std::string_view method, const json::Value& params);

private:
    std::optional<json::Value> answer_frame(std::string_view body, json::WatchedMember& id_seen);
    // Hands a git request to the ready session's git executor, which sends its answer; false when no
    // session is ready (the request is then handled as any other).
    bool answer_off_reader_thread(std::string_view method, const std::optional<json::Value>& id,
                                  const json::Value& params);
    // False when a numeric id would be written back other than as its source text.
    static bool echoes_exactly(const json::Value& id, std::string_view number_text);
    RpcResult handle(std::string_view method, const json::Value& params);
    std::string internal_error_text(std::string text);

    std::shared_ptr<server::OutgoingChannel> outgoing_;
    ServiceFactory factory_;
    // Guards lifecycle_.
    mutable std::mutex mutex_;
    Lifecycle lifecycle_;
};

}  // namespace ambrel::dispatch
