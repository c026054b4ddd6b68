#pragma once

// Test drivers of the workflow controller: a manual executor that runs queued tasks only when the test
// says so (so every interleaving of a completion, a cancel and a new command can be written down),
// sessions with scripted closers, and a harness that builds a controller over the recording fake of
// QuillaryUseCases and records every state its listener is called with.

#include <deque>
#include <expected>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/comparison_session.hpp"
#include "cli/cache.hpp"
#include "endpoint/deploy_endpoint.hpp"
#include "logging/log_sink.hpp"
#include "support/doubles.hpp"
#include "support/fake_use_cases.hpp"
#include "workflow/controller.hpp"

namespace ambrel::workflow::testing {

// Queues tasks and runs them when told; can be told to refuse.
class ManualExecutor final : public TaskExecutor {
public:
    std::optional<Task> execute(Task task) override {
        std::lock_guard lock(mutex_);
        if (refusing_) return task;
        tasks_.push_back(std::move(task));
        return std::nullopt;
    }
    // Runs the oldest queued task; false when none is queued.
    bool run_one() {
        Task task;
        {
            std::lock_guard lock(mutex_);
            if (tasks_.empty()) return false;
            task = std::move(tasks_.front());
            tasks_.pop_front();
        }
        task();
        return true;
    }
    // Runs queued tasks, including those they queue, until none is left; returns how many ran.
    int run_all() {
        int ran = 0;
        while (run_one()) ++ran;
        return ran;
    }
    std::size_t pending() const {
        std::lock_guard lock(mutex_);
        return tasks_.size();
    }
    // Drops every queued task unrun (a queued task keeps the controller alive).
    void discard() {
        std::deque<Task> dropped;
        {
            std::lock_guard lock(mutex_);
            dropped.swap(tasks_);
        }
    }
    void refuse(bool refusing) {
        std::lock_guard lock(mutex_);
        refusing_ = refusing;
    }

private:
    mutable std::mutex mutex_;
    std::deque<Task> tasks_;
    bool refusing_ = false;
};

inline endpoint::DeployEndpoint org(std::string alias) {
    endpoint::OrgAlias org;
    org.alias = std::move(alias);
    org.username = org.alias + "@example.com";
    org.org_id = "00D" + org.alias;
    return endpoint::DeployEndpoint{endpoint::DeployEndpoint::Org{std::move(org)}};
}

// A session whose closer counts its calls and fails as many first calls as asked.
struct ProbeSession {
    std::shared_ptr<int> closes = std::make_shared<int>(0);
    std::shared_ptr<int> failures_left = std::make_shared<int>(0);
    SessionRef session;

    explicit ProbeSession(int failing_closes = 0, std::string failure_message = "workspace busy") {
        *failures_left = failing_closes;
        app::ComparisonSession::Parts parts;
        parts.source = org("src");
        parts.target = org("tgt");
        parts.closer = [closes = closes, failures_left = failures_left,
                        failure_message]() -> std::expected<void, app::WorkflowFailure> {
            ++*closes;
            if (*failures_left > 0) {
                --*failures_left;
                return std::unexpected(app::WorkflowFailure::operation(failure_message));
            }
            return {};
        };
        session = app::ComparisonSession::from_parts(std::move(parts));
    }
    int close_count() const { return *closes; }
};

inline std::string kind_name(const WorkflowState& state) { return std::string(wire_name(kind_of(state))); }

inline const ErrorState& as_error(const WorkflowState& state) {
    const auto* error = std::get_if<ErrorState>(&state);
    if (error == nullptr) throw std::logic_error("not the error screen: " + kind_name(state));
    return *error;
}

struct Seen {
    std::shared_ptr<const WorkflowState> state;
    std::string kind;
    std::optional<std::string> active_operation;
    std::uint64_t operation_id = 0;
};

class Harness {
public:
    std::shared_ptr<ambrel::testing::RecordingUseCases> use_cases = std::make_shared<ambrel::testing::RecordingUseCases>();
    std::shared_ptr<ManualExecutor> background = std::make_shared<ManualExecutor>();
    std::shared_ptr<ManualExecutor> ui = std::make_shared<ManualExecutor>();
    std::shared_ptr<ManualExecutor> cleanup = std::make_shared<ManualExecutor>();
    std::shared_ptr<ManualExecutor> fallback = std::make_shared<ManualExecutor>();
    std::shared_ptr<ambrel::testing::CapturingLogWriter> log_writer =
        std::make_shared<ambrel::testing::CapturingLogWriter>();
    std::shared_ptr<cli::CliCommandCache> cache = cli::CliCommandCache::create();
    std::shared_ptr<progress::ProgressSink> progress = progress::ProgressSink::disabled();
    std::shared_ptr<std::vector<Seen>> seen = std::make_shared<std::vector<Seen>>();
    std::optional<WorkflowController> controller;

    Harness() {
        use_cases->script.sanitize_diagnostic.answer_with([](const std::string& text) { return text; });
        controller.emplace(WorkflowControllerBuilder(use_cases, background, ui)
                               .cleanup(cleanup)
                               .log(logging::LogSink::create(log_writer, logging::LogLevel::Standard))
                               .cli_cache(cache)
                               .progress(progress)
                               .fallback_for_testing(fallback)
                               .build());
        (void)controller->add_state_listener([seen = seen](const StateSnapshot& snapshot) {
            Seen entry;
            entry.kind = kind_name(snapshot.state);
            if (snapshot.active_operation) entry.active_operation = std::string(*snapshot.active_operation);
            entry.operation_id = snapshot.operation_id;
            seen->push_back(std::move(entry));
        });
    }

    Harness(const Harness&) = delete;
    Harness& operator=(const Harness&) = delete;
    ~Harness() {
        for (const auto& executor : {background, ui, cleanup, fallback}) executor->discard();
    }

    Inner& inner() const { return *controller->inner(); }
    std::shared_ptr<const WorkflowState> state() const { return controller->state(); }
    std::string kind() const { return kind_name(*state()); }

    // Runs every executor until all are idle.
    void settle() {
        while (background->run_all() + ui->run_all() + cleanup->run_all() + fallback->run_all() > 0) {
        }
    }

    // A compare-shaped operation: begins (detaching sessions), disposes of them, runs the compare use
    // case in the background and shows the review screen of the session it returns.
    std::optional<std::uint64_t> start_compare(OperationKind kind = OperationKind::Compare) {
        auto started = inner().begin_operation_if(kind, true, false, std::nullopt);
        if (!started) return std::nullopt;
        const std::uint64_t id = started->id;
        std::shared_ptr<Inner> self = controller->inner();
        inner().schedule_after_cleanup(std::move(*started), [self, id, use_cases = use_cases]() {
            self->run_use_case<SessionRef>(
                id,
                [use_cases](const domain::CancellationToken& token) {
                    return use_cases->compare_endpoints_with_settings(org("src"), org("tgt"), {},
                                                                      metadata_types::LayoutComparisonMode::Whole, false,
                                                                      false, token);
                },
                [](State& state, SessionRef session) -> WorkflowState {
                    state.current_session = session;
                    return ReviewingState{session, session->ui_differences(), std::nullopt, std::nullopt};
                });
        });
        return id;
    }

    // Operations of the deploy road keep the session.
    std::optional<std::uint64_t> start_keeping(OperationKind kind) {
        auto started = inner().begin_operation_if(kind, false, false, std::nullopt);
        if (!started) return std::nullopt;
        const std::uint64_t id = started->id;
        inner().schedule_after_cleanup(std::move(*started), [] {});
        return id;
    }

    void set_current_session(const SessionRef& session) {
        auto guard = inner().lock();
        inner().state(guard).current_session = session;
    }
    State copy_of_state() {
        auto guard = inner().lock();
        State& state = inner().state(guard);
        State copy;
        copy.current_session = state.current_session;
        copy.pending_session = state.pending_session;
        copy.awaiting_disposal = state.awaiting_disposal;
        copy.operation_id = state.operation_id;
        copy.active_operation = state.active_operation;
        copy.listing_incomplete = state.listing_incomplete;
        copy.closed = state.closed;
        copy.listeners = state.listeners;
        copy.operation_token = state.operation_token;
        return copy;
    }

    std::vector<std::string> log_events() const {
        std::vector<std::string> events;
        for (const auto& line : log_writer->lines()) events.emplace_back(line.at("event").as_string());
        return events;
    }
};

}  // namespace ambrel::workflow::testing
