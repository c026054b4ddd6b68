#include <string>
#include <utility>

#include <fmt/format.h>

#include "cli/cache.hpp"
#include "cli/gateway.hpp"
#include "support/programming_error.hpp"
#include "workflow/controller.hpp"

namespace ambrel::workflow {

namespace {

constexpr std::string_view kRefreshMarkers[] = {"Unable to refresh session", "Error authenticating with the refresh token",
                                                "RefreshTokenAuthError"};
constexpr std::string_view kMissingAuthorizationMarkers[] = {"No authorization information found for",
                                                             "NamedOrgNotFoundError"};

constexpr std::string_view kRefreshWithoutAlias =
    "The Salesforce session for an org used by this operation could not be refreshed: its stored authorization may "
    "no longer be valid. Use the + button next to the Source or Target dropdown to sign in again, then retry.";
constexpr std::string_view kRefreshWithAlias =
    "The Salesforce session for the org '{}' could not be refreshed: its stored authorization may no longer be "
    "valid. Use the + button next to the Source or Target dropdown to sign in again, then retry.";
constexpr std::string_view kMissingWithoutAlias =
    "No local authorization was found for the Salesforce org used by this operation. Use the + button next to the "
    "Source or Target dropdown to sign in again, then retry.";
constexpr std::string_view kMissingWithAlias =
    "No local authorization was found for the org '{}'. Use the + button next to the Source or Target dropdown to "
    "sign in again, then retry.";

template <std::size_t N>
bool contains_any(std::string_view text, const std::string_view (&markers)[N]) {
    for (std::string_view marker : markers) {
        if (text.find(marker) != std::string_view::npos) return true;
    }
    return false;
}

std::string trimmed(std::string_view text) {
    constexpr std::string_view kSpace = " \t\n\r\f\v";
    const auto first = text.find_first_not_of(kSpace);
    if (first == std::string_view::npos) return {};
    const auto last = text.find_last_not_of(kSpace);
    return std::string(text.substr(first, last - first + 1));
}

// A compare keeps every read-only answer; a deploy changes the org, so it keeps only what the CLI and
// the org list say, which each of its steps asks again.
cli::CacheScope cache_scope(OperationKind kind) noexcept {
    switch (kind) {
        case OperationKind::Compare:
            return cli::CacheScope::ReadOnlyCommands;
        case OperationKind::Deploy:
        case OperationKind::QuickDeploy:
        case OperationKind::MatchFls:
            return cli::CacheScope::OrgFacts;
        default:
            return cli::CacheScope::Off;
    }
}

}  // namespace

app::WorkflowFailure panic_to_failure(std::exception_ptr payload) {
    try {
        if (payload) std::rethrow_exception(payload);
    } catch (const app::WorkflowFailure& failure) {
        return failure;
    } catch (const std::exception& error) {
        return app::WorkflowFailure::single(app::FailureKind::Operation, error.what());
    } catch (const std::string& text) {
        return app::WorkflowFailure::single(app::FailureKind::Operation, text);
    } catch (const char* text) {
        return app::WorkflowFailure::single(app::FailureKind::Operation, text != nullptr ? text : "");
    } catch (...) {
    }
    return app::WorkflowFailure::single(app::FailureKind::Operation, kOperationFailed);
}

std::optional<StartedOperation> Inner::begin_operation_if(OperationKind kind, bool detach_sessions,
                                                          bool take_awaiting_disposal,
                                                          std::optional<std::uint64_t> expected_id) {
    StartedOperation started;
    std::optional<Publication> publication;
    {
        auto guard = lock();
        if (state_.closed) return std::nullopt;
        if (expected_id && *expected_id != state_.operation_id) return std::nullopt;
        // A commit being written to a branch is never superseded: the command is refused as any other
        // is while the deploy runs, and the deploy ends on its results.
        if (state_.operation_token && state_.operation_token->cancel_unless_unstoppable() ==
                                          MutableCancellationToken::CancelOutcome::Refused) {
            return std::nullopt;
        }
        started.id = ++state_.operation_id;
        parts_.progress->set_operation_id(started.id);
        parts_.log->begin_operation(started.id, std::string(wire_name(kind)));
        parts_.cli_cache->start_operation(cache_scope(kind));
        if (state_.operation_token) state_.operation_token->cancel();
        if (take_awaiting_disposal) {
            started.sessions = std::move(state_.awaiting_disposal);
            state_.awaiting_disposal.clear();
        }
        if (detach_sessions) {
            for (auto& session : detach_sessions_locked(state_, false)) started.sessions.push_back(std::move(session));
        } else if (state_.pending_session) {
            started.sessions.push_back(std::move(state_.pending_session));
            state_.pending_session = nullptr;
        }
        started.sessions = identity_distinct(std::move(started.sessions));
        state_.operation_token = std::make_shared<MutableCancellationToken>();
        state_.active_operation = kind;
        state_.deployment_started = false;
        publication = republish_current_locked(state_);
    }
    publish(std::move(*publication));
    return started;
}

std::unique_ptr<domain::CancellationToken> Inner::require_token(std::uint64_t id) {
    std::shared_ptr<const MutableCancellationToken> token;
    {
        auto guard = lock();
        if (state_.closed || id != state_.operation_id) return std::make_unique<AlwaysCancelled>();
        if (!state_.operation_token) support::fail_precondition(std::string(kMissingToken));
        token = state_.operation_token;
    }
    return std::make_unique<CombinedToken>(std::move(token), parts_.outer_tokens());
}

void Inner::execute_background(std::uint64_t id, Task job) {
    auto refused = parts_.background->execute([self = shared_from_this(), id, job = std::move(job)]() mutable {
        try {
            job();
        } catch (...) {
            self->complete_failure(id, panic_to_failure(std::current_exception()));
        }
    });
    if (refused) complete_failure(id, app::WorkflowFailure::single(app::FailureKind::Operation, kBackgroundRejectedTask));
}

void Inner::end_operation_locked(State& state) {
    state.operation_token = nullptr;
    state.active_operation.reset();
    state.deployment_started = false;
    parts_.log->finish_operation();
    parts_.cli_cache->end_operation();
}

void Inner::dispatch_completion(std::uint64_t id, Completion completion) {
    auto refused = parts_.ui->execute([self = shared_from_this(), id, completion = std::move(completion)]() mutable {
        std::optional<Publication> publication;
        {
            auto guard = self->lock();
            State& state = self->state_;
            if (state.closed || id != state.operation_id) return;
            self->end_operation_locked(state);
            // A completion that throws still ends its operation, with the error screen of its failure.
            std::optional<WorkflowState> next;
            try {
                next.emplace(completion(state));
            } catch (...) {
                const app::WorkflowFailure failure = panic_to_failure(std::current_exception());
                try {
                    next.emplace(self->failure_screen(failure));
                } catch (...) {
                    next.emplace(error_state(std::string(kOperationFailed)));
                }
            }
            publication = state_publication_locked(state, std::move(*next));
        }
        self->deliver(std::move(*publication));
    });
    if (refused) record_ui_dispatcher_failure(id);
}

void Inner::complete_failure(std::uint64_t id, app::WorkflowFailure failure, SessionRef session) {
    auto refused = parts_.ui->execute([self = shared_from_this(), id, failure, session]() {
        self->apply_failure_report(id, failure, session);
    });
    if (!refused) return;
    if (session) schedule_close_and_surface(std::move(session), id);
    record_ui_dispatcher_failure(id);
}

void Inner::apply_failure_report(std::uint64_t id, const app::WorkflowFailure& failure, const SessionRef& session) {
    std::optional<Publication> publication;
    {
        auto guard = lock();
        if (state_.closed || id != state_.operation_id) return;
        if (session) {
            if (state_.current_session == session) state_.current_session = nullptr;
            if (state_.pending_session == session) state_.pending_session = nullptr;
        }
        // The report must end its operation even when building its texts fails.
        std::optional<WorkflowState> screen;
        try {
            screen.emplace(failure_screen(failure));
        } catch (...) {
            screen.emplace(error_state(std::string(kOperationFailed)));
        }
        if (state_.active_operation == OperationKind::LoadComponents) state_.listing_incomplete = true;
        end_operation_locked(state_);
        publication = state_publication_locked(state_, std::move(*screen));
    }
    deliver(std::move(*publication));
}

WorkflowState Inner::failure_screen(const app::WorkflowFailure& failure) const {
    switch (failure.kind) {
        case app::FailureKind::Cancelled:
            if (failure.messages.size() >= 2) return error_state(std::string(kOperationCancelled), sanitized_failure(failure));
            return error_state(std::string(kOperationCancelled));
        case app::FailureKind::Prerequisite:
            return error_state(std::string(kPrerequisiteMessage), sanitized_failure(failure));
        case app::FailureKind::Validation: {
            std::string message =
                failure.messages.empty() ? std::string() : parts_.use_cases->sanitize_diagnostic(failure.first_message());
            return error_state(std::move(message), sanitized_failure(failure));
        }
        case app::FailureKind::Operation: {
            std::string details = sanitized_failure(failure);
            std::string message = error_message_for(failure, details).value_or(std::string(kOperationFailed));
            return error_state(std::move(message), std::move(details));
        }
    }
    return error_state(std::string(kOperationFailed));
}

std::string Inner::failure_message(const app::WorkflowFailure& failure) const {
    switch (failure.kind) {
        case app::FailureKind::Cancelled: return std::string(kOperationCancelled);
        case app::FailureKind::Prerequisite: return std::string(kPrerequisiteMessage);
        case app::FailureKind::Validation:
            return failure.messages.empty() ? std::string()
                                            : parts_.use_cases->sanitize_diagnostic(failure.first_message());
        case app::FailureKind::Operation: {
            const std::string details = parts_.use_cases->sanitize_diagnostic(failure.detail_text());
            return error_message_for(failure, details).value_or(std::string(kOperationFailed));
        }
    }
    return std::string(kOperationFailed);
}

std::optional<std::string> Inner::error_message_for(const app::WorkflowFailure& failure, std::string_view text) {
    const bool refresh = contains_any(text, kRefreshMarkers);
    if (!refresh && !contains_any(text, kMissingAuthorizationMarkers)) return std::nullopt;
    std::optional<std::string> alias;
    if (failure.org_alias) {
        std::string clean = trimmed(*failure.org_alias);
        if (!clean.empty()) alias = cli::auth_failure::shortened(clean);
    }
    if (refresh) {
        return alias ? fmt::format(fmt::runtime(kRefreshWithAlias), *alias) : std::string(kRefreshWithoutAlias);
    }
    return alias ? fmt::format(fmt::runtime(kMissingWithAlias), *alias) : std::string(kMissingWithoutAlias);
}

std::string Inner::sanitized_failure(const app::WorkflowFailure& failure) const {
    std::string text = parts_.use_cases->sanitize_diagnostic(failure.detail_text());
    parts_.log->failure(text);
    return text;
}

void Inner::record_ui_dispatcher_failure(std::uint64_t id) {
    auto guard = lock();
    if (state_.closed || id != state_.operation_id) return;
    if (state_.operation_token) state_.operation_token->cancel();
    end_operation_locked(state_);
    // The UI executor refuses tasks, so the screen is not published; getState shows it.
    (void)state_publication_locked(state_, error_state(std::string(kUiDispatcherRejected)));
}

bool Inner::cancel_internal(std::optional<std::uint64_t> expected_id) {
    SessionList detached;
    std::uint64_t cancel_id = 0;
    std::optional<Publication> publication;
    {
        auto guard = lock();
        if (state_.closed) return false;
        if (expected_id && *expected_id != state_.operation_id) return false;
        // With nothing running there is nothing to cancel: a cancel that arrives as the work finishes,
        // named or not, must not throw away the result the user is now looking at.
        if (!state_.active_operation) return false;
        // Once a deploy has changed its target, a cancel no longer undoes it. A commit being written
        // to a branch goes on (the cancel is refused); a deploy job already sent to an org is left to
        // the org, its command stopped, and the deploy ends on its results, which say so.
        if (state_.active_operation == OperationKind::Deploy && state_.operation_token) {
            switch (state_.operation_token->cancel_unless_unstoppable()) {
                case MutableCancellationToken::CancelOutcome::Refused: return false;
                case MutableCancellationToken::CancelOutcome::AfterSend: return true;
                case MutableCancellationToken::CancelOutcome::BeforeTargetChange: break;
            }
        }
        cancel_id = ++state_.operation_id;
        const std::optional<OperationKind> active = state_.active_operation;
        if (active == OperationKind::LoadComponents || active == OperationKind::ImportManifest ||
            active == OperationKind::ImportSession) {
            state_.listing_incomplete = true;
        }
        parts_.progress->set_operation_id(0);
        parts_.cli_cache->end_operation();
        parts_.log->cancel_operation();
        if (state_.operation_token) state_.operation_token->cancel();
        state_.operation_token = nullptr;
        detached = detach_sessions_locked(state_, false);
        state_.active_operation.reset();
        state_.deployment_started = false;
        WorkflowState screen = error_state(std::string(kOperationCancelled));
        if (active == OperationKind::CreateOrgAlias || active == OperationKind::PrepareOrgs) {
            screen = selecting_state(
                state_, std::string(active == OperationKind::CreateOrgAlias ? kOrgLoginCancelled : kPreparationCancelled),
                std::nullopt, nullptr);
        }
        publication = state_publication_locked(state_, std::move(screen));
    }
    publish(std::move(*publication));
    if (!detached.empty()) {
        execute_non_project_cleanup(parts_.cleanup, [self = shared_from_this(), detached, cancel_id]() {
            SessionCleanupResult result = close_all(detached);
            std::optional<app::WorkflowFailure> failure = std::move(result.failure);
            self->retain_cleanup_failures_or_retry(std::move(result.failed));
            if (!failure) return;
            std::optional<Publication> report;
            {
                auto guard = self->lock();
                if (self->state_.closed || self->state_.operation_id != cancel_id) return;
                report = state_publication_locked(
                    self->state_, error_state(std::string(kCancelledCleanupFailed), self->sanitized_failure(*failure)));
            }
            self->publish(std::move(*report));
        });
    }
    return true;
}

}  // namespace ambrel::workflow
