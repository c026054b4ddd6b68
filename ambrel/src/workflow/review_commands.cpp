// Compare and review: the compare command with its background job and completion, the edit of one
// row's document on the review screen, and the two ways back (to the review, to the selection).

#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "metadata_types/name_rules.hpp"
#include "metadata_types/type_descriptor.hpp"
#include "text/text.hpp"
#include "workflow/controller.hpp"

namespace ambrel::workflow {

namespace {

using metadata_types::MetadataType;

constexpr std::string_view kSelectComponent = "Select at least one component.";
constexpr std::string_view kUnresolvedOrgIds = "Could not resolve the selected Salesforce org IDs.";
constexpr std::string_view kSameOrgs = "Source and target must be different Salesforce orgs.";

std::string trimmed(std::string_view text) {
    constexpr std::string_view kSpace = " \t\n\r\f\v";
    const auto first = text.find_first_not_of(kSpace);
    if (first == std::string_view::npos) return {};
    const auto last = text.find_last_not_of(kSpace);
    return std::string(text.substr(first, last - first + 1));
}

bool has_members(const ManifestSelection& manifest) {
    for (const auto& [type, names] : manifest) {
        if (!names.empty()) return true;
    }
    return false;
}

// The first refusal of the compare's choice, if any.
std::optional<std::string_view> compare_refusal(const State& state, const ManifestSelection& trial) {
    if (!state.source) return kSelectSource;
    if (!state.target) return kSelectTarget;
    if (!has_members(trial)) return kSelectComponent;
    const auto* source = state.source->org();
    const auto* target = state.target->org();
    if (source != nullptr && target != nullptr) {
        const std::string source_id = trimmed(source->org.org_id);
        const std::string target_id = trimmed(target->org.org_id);
        if (source_id.empty() || target_id.empty()) return kUnresolvedOrgIds;
        if (text::equals_ascii_case_insensitive(source_id, target_id)) return kSameOrgs;
    }
    return std::nullopt;
}

}  // namespace

std::optional<std::uint64_t> WorkflowController::compare_with_options(std::set<std::string> current_selection,
                                                                      metadata_types::LayoutComparisonMode layout_mode,
                                                                      bool allow_best_effort_on_production,
                                                                      bool retry_unexpected_errors_alone) const {
    Inner& inner = *inner_;
    endpoint::DeployEndpoint source;
    endpoint::DeployEndpoint target;
    ManifestSelection manifest;
    {
        auto guard = inner.lock();
        State& state = inner.state(guard);
        if (state.closed) return std::nullopt;
        ManifestSelection trial = state.manifest;
        commit_selection(trial, state.current_type, current_selection);
        if (auto refusal = compare_refusal(state, trial)) {
            guard.unlock();
            inner.selection_error(std::string(*refusal));
            return std::nullopt;
        }
        commit_selection(state.manifest, state.current_type, std::move(current_selection));
        source = *state.source;
        target = *state.target;
        manifest = state.manifest;
    }
    auto started = inner.begin_operation_if(OperationKind::Compare, true, false, std::nullopt);
    if (!started) return std::nullopt;
    const std::uint64_t id = started->id;
    inner.transition(ComparingState{source, target, manifest});
    inner.schedule_after_cleanup(std::move(*started), [self = inner_, id, source = std::move(source),
                                                       target = std::move(target), manifest = std::move(manifest),
                                                       layout_mode, allow_best_effort_on_production,
                                                       retry_unexpected_errors_alone]() mutable {
        self->execute_background(id, [self, id, source = std::move(source), target = std::move(target),
                                      manifest = std::move(manifest), layout_mode, allow_best_effort_on_production,
                                      retry_unexpected_errors_alone]() {
            auto token = self->require_token(id);
            app::SessionResult result = [&]() -> app::SessionResult {
                try {
                    return self->parts().use_cases->compare_endpoints_with_settings(
                        source, target, manifest, layout_mode, allow_best_effort_on_production,
                        retry_unexpected_errors_alone, *token);
                } catch (...) {
                    return std::unexpected(panic_to_failure(std::current_exception()));
                }
            }();
            if (!result) {
                self->complete_failure(id, std::move(result.error()));
                return;
            }
            SessionRef session = std::move(*result);
            {
                auto guard = self->lock();
                State& state = self->state(guard);
                if (state.closed || state.operation_id != id) {
                    guard.unlock();
                    self->close_and_surface(std::move(session), id);
                    return;
                }
                state.pending_session = session;
            }
            self->complete_comparison(id, std::move(session));
        });
    });
    return id;
}

void Inner::complete_comparison(std::uint64_t id, SessionRef session) {
    auto refused = parts_.ui->execute([self = shared_from_this(), id, session]() mutable {
        std::optional<Publication> publication;
        bool close_stale = false;
        {
            auto guard = self->lock();
            State& state = self->state_;
            if (state.closed || state.operation_id != id) {
                if (state.pending_session == session) {
                    state.pending_session = nullptr;
                    close_stale = true;
                }
            } else {
                if (state.pending_session == session) state.pending_session = nullptr;
                state.current_session = session;
                state.accumulated_target_fix.reset();
                self->end_operation_locked(state);
                Rows rows = session->ui_differences();
                auto scenario = reviewing_scenario(state.pending_scenario, rows);
                publication = state_publication_locked(
                    state, ReviewingState{session, std::move(rows), std::nullopt, std::move(scenario)});
            }
        }
        if (close_stale) self->schedule_close_and_surface(std::move(session), id);
        if (publication) self->deliver(std::move(*publication));
    });
    if (!refused) return;
    {
        auto guard = lock();
        if (state_.pending_session == session) state_.pending_session = nullptr;
    }
    close_and_surface(session, id);
    complete_failure(id, app::WorkflowFailure::single(app::FailureKind::Operation, kUiDispatcherRejectedCompletion));
}

std::optional<std::expected<bool, app::SourceOverrideError>> WorkflowController::set_component_body(
    std::uint64_t session_id, metadata_types::MetadataType type, const std::string& name,
    const std::optional<std::string>& body) const {
    Inner& inner = *inner_;
    SessionRef session;
    {
        auto guard = inner.lock();
        const State& state = inner.state(guard);
        const auto* reviewing = std::get_if<ReviewingState>(state.current.get());
        if (state.closed || reviewing == nullptr || !reviewing->session || reviewing->session->id() != session_id) {
            return std::nullopt;
        }
        session = reviewing->session;
    }
    std::expected<bool, app::SourceOverrideError> edited = session->set_source_override(type, name, body);
    if (!edited) return edited;
    std::optional<Publication> publication;
    {
        auto guard = inner.lock();
        State& state = inner.state(guard);
        const auto* reviewing = std::get_if<ReviewingState>(state.current.get());
        if (!state.closed && reviewing != nullptr && reviewing->session == session) {
            publication = state_publication_locked(
                state, ReviewingState{session, session->ui_differences(), reviewing->error_message, reviewing->scenario});
        }
    }
    if (publication) inner.publish(std::move(*publication));
    return edited;
}

std::optional<std::uint64_t> WorkflowController::back_to_review() const {
    Inner& inner = *inner_;
    std::optional<Publication> publication;
    {
        auto guard = inner.lock();
        State& state = inner.state(guard);
        if (state.closed) return std::nullopt;
        const WorkflowState& current = *state.current;
        if (std::holds_alternative<TargetHealthState>(current) && state.active_operation) return std::nullopt;
        std::optional<ReviewingState> reviewing;
        if (const auto* tests = std::get_if<SelectingTestsState>(&current)) {
            reviewing = ReviewingState{tests->session, tests->rows, std::nullopt,
                                       reviewing_scenario(state.pending_scenario, tests->rows)};
        } else if (const auto* fls = std::get_if<SelectingFlsContainersState>(&current)) {
            reviewing = ReviewingState{fls->session, fls->rows, std::nullopt,
                                       reviewing_scenario(state.pending_scenario, fls->rows)};
        } else if (const auto* health = std::get_if<TargetHealthState>(&current)) {
            reviewing = ReviewingState{health->session, health->rows, std::nullopt,
                                       reviewing_scenario(state.pending_scenario, health->rows)};
        }
        if (!reviewing) return std::nullopt;
        publication = state_publication_locked(state, std::move(*reviewing));
    }
    inner.publish(std::move(*publication));
    return std::nullopt;
}

std::optional<std::uint64_t> WorkflowController::back_to_selection() const {
    Inner& inner = *inner_;
    {
        auto guard = inner.lock();
        const State& state = inner.state(guard);
        if (state.closed || state.active_operation) return std::nullopt;
        if (!std::holds_alternative<ReviewingState>(*state.current)) return std::nullopt;
    }
    auto started = inner.begin_operation_if(OperationKind::Back, true, false, std::nullopt);
    if (!started) return std::nullopt;
    const std::uint64_t id = started->id;
    ReturningToSelectionState returning;
    {
        auto guard = inner.lock();
        const State& state = inner.state(guard);
        returning.orgs = state.orgs;
        returning.source = state.source;
        returning.target = state.target;
        returning.current_type = state.current_type;
        returning.components = components_locked(state);
        returning.manifest = state.manifest;
    }
    inner.transition(std::move(returning));
    inner.schedule_after_cleanup(std::move(*started), [self = inner_, id]() {
        self->dispatch_completion(id, [](State& state) { return selecting_state(state, std::nullopt, std::nullopt, nullptr); });
    });
    return id;
}

}  // namespace ambrel::workflow
