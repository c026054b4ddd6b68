// The deploy road of the controller: the deploy request and the target health check, the answers of
// the target health screen and the fixes, the routing to the Apex test screen, the FLS container
// screen or the deploy, the deploy itself and the quick deploy. Rules without state live in
// deploy_road.cpp; the machinery of operations and disposal in operations.cpp and disposal.cpp.

#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "workflow/controller.hpp"

namespace ambrel::workflow {

namespace {

using data::bundles::transfer::FixOutcome;
using data::bundles::transfer::HealthReport;

// The state's screen of kind T when it works on the controller's current session, else null.
template <class T>
const T* screen_of_current_session(const State& state) {
    const auto* screen = std::get_if<T>(state.current.get());
    if (screen == nullptr || !state.current_session || screen->session != state.current_session) return nullptr;
    return screen;
}

// Closes the session, adds its clean-up failure's messages to `failure` and keeps a session that
// failed to close for a later retry.
void close_into(Inner& inner, app::WorkflowFailure& failure, const SessionRef& session) {
    SessionCleanupResult result = close_all({session});
    if (result.failure) {
        for (const auto& message : result.failure->messages) failure.add_suppressed(message);
    }
    inner.retain_cleanup_failures_or_retry(std::move(result.failed));
}

// Runs a use case with its exceptions turned into failures.
template <class T, class F>
app::UseCaseResult<T> guarded(F&& call) {
    try {
        return call();
    } catch (...) {
        return std::unexpected(panic_to_failure(std::current_exception()));
    }
}

// Stops a job whose operation went stale before it started: its session is closed unless the
// controller still holds it as its current session. True when the job may go on.
bool still_current_or_close(Inner& inner, std::uint64_t id, const SessionRef& session) {
    {
        auto guard = inner.lock();
        const State& state = inner.state(guard);
        if (!state.closed && state.operation_id == id) return true;
    }
    if (!inner.match_session_still_owned_elsewhere(id, session)) inner.close_and_surface(session, id);
    return false;
}

// Ends a failed job of the deploy road: dropped when the controller still holds the session for a
// newer state; otherwise the session is closed and the operation fails with it.
void fail_with_session(Inner& inner, std::uint64_t id, app::WorkflowFailure failure, const SessionRef& session) {
    if (inner.match_session_still_owned_elsewhere(id, session)) return;
    close_into(inner, failure, session);
    inner.complete_failure(id, std::move(failure), session);
}

// Posts a body that works on a session; a refusal closes the session and fails the operation, and a
// body that throws fails the operation with its session.
void post_with_session(Inner& inner, std::uint64_t id, const SessionRef& session, Task body) {
    auto refused = inner.parts().background->execute(
        [self = inner.shared_from_this(), id, session, body = std::move(body)]() mutable {
            try {
                body();
            } catch (...) {
                fail_with_session(*self, id, panic_to_failure(std::current_exception()), session);
            }
        });
    if (refused) inner.close_and_surface_after_reject(id, session);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Deploy request and target health check
// ---------------------------------------------------------------------------------------------

std::optional<std::uint64_t> WorkflowController::deploy(app::SelectedKeys selected, domain::FlsMode fls_mode,
                                                        domain::DeployMode deploy_mode) const {
    Inner& inner = *inner_;
    SessionRef session;
    std::optional<PendingScenario> pending;
    {
        auto guard = inner.lock();
        const State& state = inner.state(guard);
        if (state.closed || state.active_operation) return std::nullopt;
        if (const auto* reviewing = screen_of_current_session<ReviewingState>(state)) {
            session = reviewing->session;
            pending = state.pending_scenario;
        }
    }
    if (!session) {
        inner.transition(error_state(std::string(kNoSessionForDeployment)));
        return std::nullopt;
    }
    app::SelectedKeys keys = deployable_selection(*session, selected, fls_mode);
    if (keys.empty()) {
        Rows rows = session->ui_differences();
        auto scenario = reviewing_scenario(pending, rows);
        inner.transition(
            ReviewingState{session, std::move(rows), std::string(kSelectDeployableComponent), std::move(scenario)});
        return std::nullopt;
    }
    {
        auto guard = inner.lock();
        State& state = inner.state(guard);
        DeploySnapshot snapshot;
        snapshot.selected = keys;
        snapshot.fls_mode = fls_mode;
        snapshot.deploy_mode = deploy_mode;
        if (state.accumulated_target_fix && state.accumulated_target_fix->session_id == session->id()) {
            snapshot.decision =
                FixAndDeploy{state.accumulated_target_fix->refusal_lines, state.accumulated_target_fix->deleted, {}};
        }
        state.deploy_snapshot = std::move(snapshot);
    }
    const bool direct_route = !opens_test_screen(*session, keys) &&
                              (fls_mode == domain::FlsMode::None || !session->selection_carries_permission_subjects(&keys));
    // A validation of a git target is refused on every route, before the check and before anything runs.
    const bool git_validation = deploy_mode == domain::DeployMode::ValidateOnly && session->target().is_git();
    if (direct_route || git_validation) {
        if (auto refusal = session->refuses_deploy_mode(deploy_mode, keys)) {
            inner.transition(error_state(std::move(*refusal)));
            return std::nullopt;
        }
    }
    if (needs_target_health_check(*session, keys)) {
        auto started = inner.begin_operation_if(OperationKind::CheckTargetHealth, false, false, std::nullopt);
        if (!started) return std::nullopt;
        const std::uint64_t id = started->id;
        inner.schedule_after_cleanup(std::move(*started), [self = inner_, id, session, keys = std::move(keys), fls_mode,
                                                           deploy_mode]() mutable {
            self->execute_check_target_health(id, std::move(session), std::move(keys), fls_mode, deploy_mode, {}, false);
        });
        return id;
    }
    return inner.route_deploy(std::move(session), std::move(keys), fls_mode, deploy_mode);
}

void Inner::execute_check_target_health(std::uint64_t id, SessionRef session, app::SelectedKeys keys,
                                        domain::FlsMode fls_mode, domain::DeployMode deploy_mode,
                                        std::vector<std::string> notes, bool recheck) {
    Task body = [self = shared_from_this(), id, session, keys = std::move(keys), fls_mode, deploy_mode,
                 notes = std::move(notes), recheck]() mutable {
        if (!still_current_or_close(*self, id, session)) return;
        auto token = self->require_token(id);
        std::uint64_t earlier_deletions = 0;
        {
            auto guard = self->lock();
            const auto& fix = self->state_.accumulated_target_fix;
            if (fix && fix->session_id == session->id()) earlier_deletions = fix->total_deleted();
        }
        auto report = guarded<HealthReport>([&] { return self->parts_.use_cases->check_target_health(*session, keys, *token); });
        if (!report) {
            if (auto message = deleted_before_recheck_message(earlier_deletions)) report.error().add_suppressed(*message);
            fail_with_session(*self, id, std::move(report.error()), session);
            return;
        }
        log_target_health_check(*self->parts_.log, *report);
        if (!report->findings.empty() || recheck) {
            self->dispatch_completion(id, [report = std::move(*report), notes = std::move(notes), session,
                                           keys = std::move(keys), fls_mode, deploy_mode](State&) mutable {
                return WorkflowState(TargetHealthState{session->ui_differences(), std::move(report), std::move(notes),
                                                       session, std::move(keys), fls_mode, deploy_mode});
            });
            return;
        }
        auto refused = self->parts_.ui->execute([self, id, session, keys = std::move(keys), fls_mode, deploy_mode]() mutable {
            self->continue_after_health_check(id, std::move(session), std::move(keys), fls_mode, deploy_mode);
        });
        if (refused) self->record_ui_dispatcher_failure(id);
    };
    post_with_session(*this, id, session, std::move(body));
}

void Inner::continue_after_health_check(std::uint64_t id, SessionRef session, app::SelectedKeys keys,
                                        domain::FlsMode fls_mode, domain::DeployMode deploy_mode) {
    {
        auto guard = lock();
        if (state_.closed || state_.operation_id != id) return;
        end_operation_locked(state_);
    }
    (void)route_deploy(std::move(session), std::move(keys), fls_mode, deploy_mode);
}

// ---------------------------------------------------------------------------------------------
// Target health answers and fixes
// ---------------------------------------------------------------------------------------------

std::optional<std::uint64_t> WorkflowController::confirm_target_health(TargetHealthAction action) const {
    Inner& inner = *inner_;
    std::optional<TargetHealthState> screen;
    {
        auto guard = inner.lock();
        const State& state = inner.state(guard);
        if (state.closed || state.active_operation) return std::nullopt;
        const auto* health = screen_of_current_session<TargetHealthState>(state);
        if (health == nullptr) return std::nullopt;
        screen = *health;
    }
    SessionRef session = screen->session;
    logging::LogSink& log = *inner.parts().log;

    if (std::holds_alternative<TargetHealthAction::Recheck>(action.value)) {
        log.target_health_decision(kHealthActionRecheck, std::nullopt);
        auto started = inner.begin_operation_if(OperationKind::CheckTargetHealth, false, false, std::nullopt);
        if (!started) return std::nullopt;
        const std::uint64_t id = started->id;
        inner.schedule_after_cleanup(std::move(*started), [self = inner_, id, screen = std::move(*screen)]() mutable {
            self->execute_check_target_health(id, screen.session, std::move(screen.selection), screen.fls_mode,
                                              screen.deploy_mode, {}, true);
        });
        return id;
    }

    if (auto* fix = std::get_if<TargetHealthAction::Fix>(&action.value)) {
        if (!valid_fix_choice(screen->report, fix->findings)) {
            screen->rows = session->ui_differences();
            inner.transition(std::move(*screen));
            return std::nullopt;
        }
        log.target_health_decision(kHealthActionFix, fix->findings.size());
        auto started = inner.begin_operation_if(OperationKind::FixTargetHealth, false, false, std::nullopt);
        if (!started) return std::nullopt;
        const std::uint64_t id = started->id;
        inner.schedule_after_cleanup(std::move(*started), [self = inner_, id, screen = std::move(*screen),
                                                           chosen = std::move(fix->findings)]() mutable {
            self->execute_fix_target_health(id, screen.session, std::move(screen.report), std::move(chosen),
                                            std::move(screen.selection), screen.fls_mode, screen.deploy_mode);
        });
        return id;
    }

    const std::uint64_t findings = screen->report.findings.size();
    log.target_health_decision(kHealthActionDeploy, findings);
    {
        auto guard = inner.lock();
        State& state = inner.state(guard);
        if (state.deploy_snapshot) state.deploy_snapshot->decision = decision_after_deploy(state.deploy_snapshot->decision, findings);
    }
    return inner.route_deploy(std::move(session), std::move(screen->selection), screen->fls_mode, screen->deploy_mode);
}

void Inner::execute_fix_target_health(std::uint64_t id, SessionRef session, HealthReport report,
                                      std::set<std::size_t> chosen, app::SelectedKeys keys, domain::FlsMode fls_mode,
                                      domain::DeployMode deploy_mode) {
    Task body = [self = shared_from_this(), id, session, report = std::move(report), chosen = std::move(chosen),
                 keys = std::move(keys), fls_mode, deploy_mode]() mutable {
        if (!still_current_or_close(*self, id, session)) return;
        auto token = self->require_token(id);
        auto outcome = guarded<FixOutcome>(
            [&] { return self->parts_.use_cases->fix_target_health(*session, report, chosen, *token); });
        if (!outcome) {
            fail_with_session(*self, id, std::move(outcome.error()), session);
            return;
        }
        log_target_health_fix(*self->parts_.log, *outcome);
        std::vector<std::string> lines = refusal_lines(
            report, *outcome, [&](const std::string& text) { return self->parts_.use_cases->sanitize_diagnostic(text); });
        std::uint64_t total_deleted = 0;
        {
            auto guard = self->lock();
            State& state = self->state_;
            AccumulatedTargetFix fix;
            if (state.accumulated_target_fix && state.accumulated_target_fix->session_id == session->id()) {
                fix = std::move(*state.accumulated_target_fix);
            }
            fix.session_id = session->id();
            for (const auto& [object, count] : outcome->deleted) fix.deleted[object] += count;
            fix.refusal_lines.insert(fix.refusal_lines.end(), lines.begin(), lines.end());
            total_deleted = fix.total_deleted();
            if (state.deploy_snapshot) {
                state.deploy_snapshot->decision = FixAndDeploy{fix.refusal_lines, fix.deleted, outcome->refused};
            }
            state.accumulated_target_fix = std::move(fix);
        }
        auto checked = guarded<HealthReport>([&] { return self->parts_.use_cases->check_target_health(*session, keys, *token); });
        if (!checked) {
            if (auto message = deleted_before_recheck_message(total_deleted)) checked.error().add_suppressed(*message);
            fail_with_session(*self, id, std::move(checked.error()), session);
            return;
        }
        log_target_health_check(*self->parts_.log, *checked);
        self->dispatch_completion(id, [report = std::move(*checked), lines = std::move(lines), session,
                                       keys = std::move(keys), fls_mode, deploy_mode](State&) mutable {
            return WorkflowState(TargetHealthState{session->ui_differences(), std::move(report), std::move(lines), session,
                                                   std::move(keys), fls_mode, deploy_mode});
        });
    };
    post_with_session(*this, id, session, std::move(body));
}

// ---------------------------------------------------------------------------------------------
// Routing and the deploy
// ---------------------------------------------------------------------------------------------

std::optional<std::uint64_t> Inner::route_deploy(SessionRef session, app::SelectedKeys keys, domain::FlsMode fls_mode,
                                                 domain::DeployMode deploy_mode) {
    if (opens_test_screen(*session, keys)) {
        auto started = begin_operation_if(OperationKind::ListApexTests, false, false, std::nullopt);
        if (!started) return std::nullopt;
        const std::uint64_t id = started->id;
        schedule_after_cleanup(std::move(*started), [self = shared_from_this(), id, session, keys = std::move(keys),
                                                     fls_mode, deploy_mode]() mutable {
            post_with_session(*self, id, session, [self, id, session, keys = std::move(keys), fls_mode, deploy_mode]() mutable {
                self->execute_list_apex_tests(id, std::move(session), std::move(keys), fls_mode, deploy_mode);
            });
        });
        return id;
    }
    if (fls_mode != domain::FlsMode::None && session->selection_carries_permission_subjects(&keys)) {
        auto started = begin_operation_if(OperationKind::MatchFls, false, false, std::nullopt);
        if (!started) return std::nullopt;
        const std::uint64_t id = started->id;
        schedule_after_cleanup(std::move(*started), [self = shared_from_this(), id, session, keys = std::move(keys),
                                                     fls_mode, deploy_mode]() mutable {
            self->execute_match(id, std::move(session), std::move(keys), fls_mode, deploy_mode, std::nullopt);
        });
        return id;
    }
    if (auto refusal = session->refuses_deploy_mode(deploy_mode, keys)) {
        transition(error_state(std::move(*refusal)));
        return std::nullopt;
    }
    auto started = begin_operation_if(OperationKind::Deploy, false, false, std::nullopt);
    if (!started) return std::nullopt;
    const std::uint64_t id = started->id;
    transition(DeployingState{std::nullopt, session, keys, fls_mode, deploy_mode});
    schedule_after_cleanup(std::move(*started), [self = shared_from_this(), id, session, keys = std::move(keys), fls_mode,
                                                 deploy_mode]() mutable {
        self->execute_deploy(id, std::move(session), std::move(keys), fls_mode, deploy_mode, std::nullopt, std::nullopt);
    });
    return id;
}

void Inner::execute_deploy(std::uint64_t id, SessionRef session, app::SelectedKeys keys, domain::FlsMode fls_mode,
                           domain::DeployMode deploy_mode, std::optional<std::vector<std::string>> test_names,
                           std::optional<ContainerChoice> containers) {
    Task body = [self = shared_from_this(), id, session, keys = std::move(keys), fls_mode, deploy_mode,
                 test_names = std::move(test_names), containers = std::move(containers)]() mutable {
        bool current = false;
        {
            auto guard = self->lock();
            State& state = self->state_;
            current = !state.closed && state.operation_id == id;
            // From here on a new operation leaves this session to this task.
            if (current) state.deployment_started = true;
        }
        if (!current) {
            self->close_and_surface(session, id);
            return;
        }
        auto token = self->require_token(id);
        std::optional<domain::ApexTestConfig> tests;
        if (test_names) tests = domain::ApexTestConfig{std::move(*test_names)};
        auto summary = guarded<deployment::DeploymentSummary>([&] {
            return self->parts_.use_cases->deploy(*session, keys, fls_mode, containers, deploy_mode, tests, *token);
        });
        if (!summary) {
            close_into(*self, summary.error(), session);
            self->complete_failure(id, std::move(summary.error()), session);
            return;
        }
        {
            auto guard = self->lock();
            const auto& snapshot = self->state_.deploy_snapshot;
            if (snapshot && snapshot->decision) {
                std::string decision = target_health_details(*snapshot->decision);
                summary->details = summary->details.empty() ? std::move(decision)
                                                            : decision + "\n" + summary->details;
            }
        }
        // The target has changed: its outcome is logged and shown even when the workspace cannot be
        // removed now; that session is kept for a later clean-up and the failure goes to the log.
        SessionCleanupResult cleanup = close_all({session});
        if (cleanup.failure) (void)self->sanitized_failure(*cleanup.failure);
        self->retain_cleanup_failures_or_retry(std::move(cleanup.failed));
        log_deployment_outcome(*self->parts_.log, *summary);
        self->dispatch_completion(id, [summary = std::move(*summary), session](State& state) mutable {
            if (state.current_session == session) state.current_session = nullptr;
            return WorkflowState(ResultsState{std::move(summary)});
        });
    };
    post_with_session(*this, id, session, std::move(body));
}

// ---------------------------------------------------------------------------------------------
// Apex test screen
// ---------------------------------------------------------------------------------------------

void Inner::execute_list_apex_tests(std::uint64_t id, SessionRef session, app::SelectedKeys keys,
                                    domain::FlsMode fls_mode, domain::DeployMode deploy_mode) {
    if (!still_current_or_close(*this, id, session)) return;
    auto token = require_token(id);
    auto candidates = guarded<std::vector<domain::ApexTestCandidate>>(
        [&] { return parts_.use_cases->list_apex_tests(*session, keys, *token); });
    if (!candidates) {
        fail_with_session(*this, id, std::move(candidates.error()), session);
        return;
    }
    dispatch_completion(id, [candidates = std::move(*candidates), session, keys = std::move(keys), fls_mode,
                             deploy_mode](State& state) mutable {
        preselect_scenario_tests(state.pending_scenario, candidates);
        std::optional<domain::DeployMode> scenario_mode;
        if (state.pending_scenario) scenario_mode = state.pending_scenario->deploy_mode;
        return WorkflowState(SelectingTestsState{session, session->ui_differences(), std::move(candidates),
                                                 std::move(keys), fls_mode, deploy_mode, scenario_mode});
    });
}

std::optional<std::uint64_t> WorkflowController::confirm_tests(std::vector<std::string> tests,
                                                               std::optional<domain::DeployMode> deploy_mode) const {
    Inner& inner = *inner_;
    std::optional<SelectingTestsState> screen;
    {
        auto guard = inner.lock();
        const State& state = inner.state(guard);
        // A repeated confirmation while the first one's work runs, or once its results are shown, must
        // leave that work and its screen alone.
        if (state.closed || state.active_operation || std::holds_alternative<ResultsState>(*state.current)) {
            return std::nullopt;
        }
        if (const auto* selecting = screen_of_current_session<SelectingTestsState>(state)) screen = *selecting;
    }
    if (!screen) {
        inner.transition(error_state(std::string(kNoSessionForDeployment)));
        return std::nullopt;
    }
    const domain::DeployMode mode = deploy_mode.value_or(screen->deploy_mode);
    const SessionRef session = screen->session;
    const bool fls_route =
        screen->fls_mode != domain::FlsMode::None && session->selection_carries_permission_subjects(&screen->selection);
    if (!fls_route) {
        if (auto refusal = session->refuses_deploy_mode(mode, screen->selection)) {
            inner.transition(error_state(std::move(*refusal)));
            return std::nullopt;
        }
    }
    if (!candidates_cover(screen->candidates, tests)) return std::nullopt;
    std::optional<std::vector<std::string>> chosen;
    if (!tests.empty()) chosen = tests;
    {
        auto guard = inner.lock();
        State& state = inner.state(guard);
        if (state.deploy_snapshot) {
            state.deploy_snapshot->test_names = std::move(tests);
            state.deploy_snapshot->deploy_mode = mode;
        }
    }
    const OperationKind kind = fls_route ? OperationKind::MatchFls : OperationKind::Deploy;
    auto started = inner.begin_operation_if(kind, false, false, std::nullopt);
    if (!started) return std::nullopt;
    const std::uint64_t id = started->id;
    const domain::FlsMode fls_mode = screen->fls_mode;
    if (fls_route) {
        inner.schedule_after_cleanup(std::move(*started), [self = inner_, id, session, keys = std::move(screen->selection),
                                                           fls_mode, mode, chosen = std::move(chosen)]() mutable {
            self->execute_match(id, std::move(session), std::move(keys), fls_mode, mode, std::move(chosen));
        });
        return id;
    }
    inner.transition(DeployingState{chosen, session, screen->selection, fls_mode, mode});
    inner.schedule_after_cleanup(std::move(*started), [self = inner_, id, session, keys = std::move(screen->selection),
                                                       fls_mode, mode, chosen = std::move(chosen)]() mutable {
        self->execute_deploy(id, std::move(session), std::move(keys), fls_mode, mode, std::move(chosen), std::nullopt);
    });
    return id;
}

// ---------------------------------------------------------------------------------------------
// FLS container screen
// ---------------------------------------------------------------------------------------------

void Inner::execute_match(std::uint64_t id, SessionRef session, app::SelectedKeys keys, domain::FlsMode fls_mode,
                          domain::DeployMode deploy_mode, std::optional<std::vector<std::string>> test_names) {
    Task body = [self = shared_from_this(), id, session, keys = std::move(keys), fls_mode, deploy_mode,
                 test_names = std::move(test_names)]() mutable {
        if (!still_current_or_close(*self, id, session)) return;
        auto token = self->require_token(id);
        auto choices = guarded<std::vector<domain::FlsContainerChoice>>(
            [&] { return self->parts_.use_cases->match_fls_containers(*session, keys, *token); });
        if (!choices) {
            fail_with_session(*self, id, std::move(choices.error()), session);
            return;
        }
        self->dispatch_completion(id, [choices = std::move(*choices), session, keys = std::move(keys), fls_mode,
                                       deploy_mode, test_names = std::move(test_names)](State& state) mutable {
            SelectingFlsContainersState screen;
            if (state.pending_scenario) {
                if (const auto& named = state.pending_scenario->permission_containers) {
                    screen.scenario_unmatched_containers = scenario_unmatched_containers(*named, choices);
                    screen.scenario_containers = *named;
                }
                screen.scenario_deploy_mode = state.pending_scenario->deploy_mode;
            }
            screen.rows = session->ui_differences();
            screen.choices = std::move(choices);
            screen.test_names = std::move(test_names);
            screen.session = session;
            screen.selection = std::move(keys);
            screen.fls_mode = fls_mode;
            screen.deploy_mode = deploy_mode;
            return WorkflowState(std::move(screen));
        });
    };
    post_with_session(*this, id, session, std::move(body));
}

std::optional<std::uint64_t> WorkflowController::confirm_fls_containers(ContainerChoice containers,
                                                                        std::optional<domain::DeployMode> deploy_mode) const {
    Inner& inner = *inner_;
    std::optional<SelectingFlsContainersState> screen;
    {
        auto guard = inner.lock();
        const State& state = inner.state(guard);
        // A repeated confirmation while the first one's work runs, or once its results are shown, must
        // leave that work and its screen alone.
        if (state.closed || state.active_operation || std::holds_alternative<ResultsState>(*state.current)) {
            return std::nullopt;
        }
        if (const auto* selecting = screen_of_current_session<SelectingFlsContainersState>(state)) screen = *selecting;
    }
    if (!screen) {
        inner.transition(error_state(std::string(kNoSessionForDeployment)));
        return std::nullopt;
    }
    const domain::DeployMode mode = deploy_mode.value_or(screen->deploy_mode);
    const SessionRef session = screen->session;
    if (auto refusal = session->refuses_deploy_mode(mode, screen->selection)) {
        inner.transition(error_state(std::move(*refusal)));
        return std::nullopt;
    }
    {
        auto guard = inner.lock();
        State& state = inner.state(guard);
        if (state.deploy_snapshot) {
            state.deploy_snapshot->containers = containers;
            state.deploy_snapshot->deploy_mode = mode;
        }
    }
    auto started = inner.begin_operation_if(OperationKind::Deploy, false, false, std::nullopt);
    if (!started) return std::nullopt;
    const std::uint64_t id = started->id;
    const domain::FlsMode fls_mode = screen->fls_mode;
    inner.transition(DeployingState{screen->test_names, session, screen->selection, fls_mode, mode});
    inner.schedule_after_cleanup(std::move(*started), [self = inner_, id, session, keys = std::move(screen->selection),
                                                       fls_mode, mode, tests = std::move(screen->test_names),
                                                       containers = std::move(containers)]() mutable {
        self->execute_deploy(id, std::move(session), std::move(keys), fls_mode, mode, std::move(tests),
                             std::move(containers));
    });
    return id;
}

// ---------------------------------------------------------------------------------------------
// Quick deploy
// ---------------------------------------------------------------------------------------------

std::optional<std::uint64_t> WorkflowController::quick_deploy() const {
    Inner& inner = *inner_;
    std::optional<domain::QuickDeployTicket> ticket;
    {
        auto guard = inner.lock();
        const State& state = inner.state(guard);
        if (state.closed || state.active_operation) return std::nullopt;
        const auto* results = std::get_if<ResultsState>(state.current.get());
        if (results == nullptr || !results->summary.quick_deploy) return std::nullopt;
        ticket = results->summary.quick_deploy;
    }
    auto started = inner.begin_operation_if(OperationKind::QuickDeploy, false, false, std::nullopt);
    if (!started) return std::nullopt;
    const std::uint64_t id = started->id;
    inner.transition(QuickDeployingState{ticket->target_org_alias});
    inner.schedule_after_cleanup(std::move(*started), [self = inner_, id, ticket = std::move(*ticket)]() mutable {
        self->quick_deploy(id, std::move(ticket));
    });
    return id;
}

void Inner::quick_deploy(std::uint64_t id, domain::QuickDeployTicket ticket) {
    auto refused = parts_.background->execute([self = shared_from_this(), id, ticket = std::move(ticket)]() {
        try {
            self->execute_quick_deploy(id, ticket);
        } catch (...) {
            self->complete_failure(id, panic_to_failure(std::current_exception()));
        }
    });
    if (refused) {
        complete_failure(id, app::WorkflowFailure::single(app::FailureKind::Operation, kBackgroundRejectedQuickDeployment));
    }
}

void Inner::execute_quick_deploy(std::uint64_t id, const domain::QuickDeployTicket& ticket) {
    {
        auto guard = lock();
        if (state_.closed || state_.operation_id != id) return;
        state_.deployment_started = true;
    }
    auto token = require_token(id);
    auto summary = guarded<deployment::DeploymentSummary>([&] { return parts_.use_cases->quick_deploy(ticket, *token); });
    if (!summary) {
        complete_failure(id, std::move(summary.error()));
        return;
    }
    log_deployment_outcome(*parts_.log, *summary);
    dispatch_completion(id, [summary = std::move(*summary)](State&) mutable {
        return WorkflowState(ResultsState{std::move(summary)});
    });
}

}  // namespace ambrel::workflow
