#include <algorithm>
#include <memory>
#include <utility>

#include "support/programming_error.hpp"
#include "workflow/controller.hpp"

namespace ambrel::workflow {

namespace {

bool holds(const SessionList& sessions, const SessionRef& session) {
    return std::find(sessions.begin(), sessions.end(), session) != sessions.end();
}

bool is_blank(std::string_view text) {
    return text.find_first_not_of(" \t\n\r\f\v") == std::string_view::npos;
}

// The non-blank messages of `from` appended, as they are, to `to`.
void append_messages(app::WorkflowFailure& to, const app::WorkflowFailure& from) {
    for (const auto& message : from.messages) {
        if (!is_blank(message)) to.messages.push_back(message);
    }
}

}  // namespace

void Inner::run_next_step(std::uint64_t id, Task& next_step) {
    // A next step that throws must still end its operation, with the error screen of its failure.
    try {
        next_step();
    } catch (...) {
        complete_failure(id, panic_to_failure(std::current_exception()));
    }
}

SessionList identity_distinct(SessionList sessions) {
    SessionList distinct;
    distinct.reserve(sessions.size());
    for (auto& session : sessions) {
        if (session && !holds(distinct, session)) distinct.push_back(std::move(session));
    }
    return distinct;
}

SessionList detach_sessions_locked(State& state, bool force) {
    SessionList detached;
    if (state.pending_session) detached.push_back(std::exchange(state.pending_session, nullptr));
    if (SessionRef current = std::exchange(state.current_session, nullptr)) {
        const bool owned_by_running_deploy =
            state.active_operation == OperationKind::Deploy && !force && state.deployment_started;
        if (!owned_by_running_deploy) detached.push_back(std::move(current));
        // The recorded target fixes belong to the session the controller lets go of.
        state.accumulated_target_fix.reset();
    }
    return identity_distinct(std::move(detached));
}

SessionCleanupResult close_all(const SessionList& sessions) {
    SessionCleanupResult result;
    for (const auto& session : identity_distinct(sessions)) {
        std::expected<void, app::WorkflowFailure> closed;
        try {
            closed = session->close();
        } catch (...) {
            closed = std::unexpected(panic_to_failure(std::current_exception()));
        }
        if (closed) continue;
        result.failed.push_back(session);
        if (!result.failure) {
            result.failure = std::move(closed.error());
        } else {
            append_messages(*result.failure, closed.error());
        }
    }
    return result;
}

void Inner::execute_non_project_cleanup(const std::shared_ptr<TaskExecutor>& executor, Task task) {
    Task wrapper = [self = shared_from_this(), task = std::move(task)]() mutable {
        if (self->parts_.is_ui_thread()) {
            // The UI thread must stay free for completions while another thread can be had.
            if (auto back = self->parts_.fallback->execute(std::move(task))) (*back)();
            return;
        }
        task();
    };
    auto back = executor->execute(std::move(wrapper));
    if (!back) return;
    back = parts_.fallback->execute(std::move(*back));
    if (back) (*back)();
}

void Inner::retain_cleanup_failures_or_retry(SessionList failed) {
    if (failed.empty()) return;
    {
        auto guard = lock();
        if (!state_.closed) {
            for (auto& session : failed) {
                if (!holds(state_.awaiting_disposal, session)) state_.awaiting_disposal.push_back(std::move(session));
            }
            return;
        }
    }
    // After closing nothing is kept for later: one more try, and a second failure is dropped.
    (void)close_all(failed);
}

void Inner::schedule_after_cleanup(StartedOperation started, Task next_step) {
    if (started.sessions.empty()) {
        {
            auto guard = lock();
            if (state_.closed || state_.operation_id != started.id) return;
        }
        run_next_step(started.id, next_step);
        return;
    }
    execute_non_project_cleanup(parts_.cleanup, [self = shared_from_this(), sessions = std::move(started.sessions),
                                                 id = started.id, next_step = std::move(next_step)]() mutable {
        SessionCleanupResult result = close_all(sessions);
        std::optional<app::WorkflowFailure> failure = std::move(result.failure);
        self->retain_cleanup_failures_or_retry(std::move(result.failed));
        if (!failure) {
            {
                auto guard = self->lock();
                if (self->state_.closed || self->state_.operation_id != id) return;
            }
            self->run_next_step(id, next_step);
            return;
        }
        app::WorkflowFailure cleanup = app::WorkflowFailure::single(app::FailureKind::Validation, kCleanupFailed);
        append_messages(cleanup, *failure);
        self->complete_failure(id, std::move(cleanup));
    });
}

void Inner::surface_cleanup_failure(SessionCleanupResult result, std::uint64_t id) {
    retain_cleanup_failures_or_retry(result.failed);
    if (!result.failure) support::fail_precondition(std::string(kSurfaceNeedsFailure));
    auto delivered = std::make_shared<bool>(true);
    Task report = [self = shared_from_this(), delivered, failed = std::move(result.failed),
                   failure = std::move(*result.failure), id]() mutable {
        SessionList dispose;
        std::optional<Publication> publication;
        {
            auto guard = self->lock();
            State& state = self->state_;
            if (state.closed || state.operation_id != id) return;
            ++state.operation_id;
            if (state.operation_token) state.operation_token->cancel();
            state.operation_token = nullptr;
            dispose = failed;
            for (auto& session : detach_sessions_locked(state, true)) dispose.push_back(std::move(session));
            dispose = identity_distinct(std::move(dispose));
            state.active_operation.reset();
            state.deployment_started = false;
            std::string details = self->sanitized_failure(failure);
            self->parts_.log->cancel_operation();
            publication = state_publication_locked(state, error_state(std::string(kCleanupFailed), std::move(details)));
        }
        if (*delivered) self->deliver(std::move(*publication));
        if (dispose.empty()) return;
        self->execute_non_project_cleanup(self->parts_.cleanup, [self, dispose]() {
            SessionCleanupResult again = close_all(dispose);
            {
                auto guard = self->lock();
                auto& awaiting = self->state_.awaiting_disposal;
                std::erase_if(awaiting, [&](const SessionRef& session) {
                    return holds(dispose, session) && !holds(again.failed, session);
                });
            }
            self->retain_cleanup_failures_or_retry(std::move(again.failed));
        });
    };
    auto back = parts_.ui->execute(std::move(report));
    if (back) {
        *delivered = false;
        (*back)();
    }
}

void Inner::close_and_surface(SessionRef session, std::uint64_t id) {
    SessionCleanupResult result = close_all({std::move(session)});
    if (result.failure) surface_cleanup_failure(std::move(result), id);
}

void Inner::schedule_close_and_surface(SessionRef session, std::uint64_t id) {
    execute_non_project_cleanup(parts_.cleanup, [self = shared_from_this(), session = std::move(session), id]() mutable {
        self->close_and_surface(std::move(session), id);
    });
}

void Inner::close_and_surface_after_reject(std::uint64_t id, SessionRef session) {
    app::WorkflowFailure failure = app::WorkflowFailure::single(app::FailureKind::Operation, kBackgroundRejectedDeployment);
    SessionCleanupResult result = close_all({session});
    if (result.failure) append_messages(failure, *result.failure);
    retain_cleanup_failures_or_retry(std::move(result.failed));
    complete_failure(id, std::move(failure), std::move(session));
}

bool Inner::match_session_still_owned_elsewhere(std::uint64_t id, const SessionRef& session) {
    auto guard = lock();
    if (!state_.closed && state_.operation_id == id) return false;
    return state_.current_session == session;
}

std::optional<SessionList> Inner::detach_for_disposal() {
    auto guard = lock();
    if (state_.closed) return std::nullopt;
    state_.closed = true;
    ++state_.operation_id;
    ++state_.publication_generation;
    if (state_.operation_token) state_.operation_token->cancel();
    state_.operation_token = nullptr;
    if (state_.external_key_token) state_.external_key_token->cancel();
    state_.external_key_token = nullptr;
    SessionList sessions = detach_sessions_locked(state_, false);
    for (auto& session : state_.awaiting_disposal) sessions.push_back(std::move(session));
    state_.awaiting_disposal.clear();
    state_.listeners.clear();
    state_.active_operation.reset();
    parts_.log->cancel_operation();
    state_.deployment_started = false;
    return identity_distinct(std::move(sessions));
}

void WorkflowController::close() const {
    std::optional<SessionList> sessions = inner_->detach_for_disposal();
    if (!sessions || sessions->empty()) return;
    auto dispose = [inner = inner_, sessions = std::move(*sessions)]() {
        SessionCleanupResult result = close_all(sessions);
        inner->retain_cleanup_failures_or_retry(std::move(result.failed));
    };
    if (inner_->parts().is_ui_thread()) {
        inner_->execute_non_project_cleanup(inner_->parts().cleanup, std::move(dispose));
        return;
    }
    dispose();
}

}  // namespace ambrel::workflow
