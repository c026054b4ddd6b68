#include "workflow/controller.hpp"

#include <utility>

#include "support/programming_error.hpp"

namespace ambrel::workflow {

namespace {

std::optional<std::string_view> active_name(const State& state) {
    if (!state.active_operation) return std::nullopt;
    return wire_name(*state.active_operation);
}

}  // namespace

Publication republish_current_locked(State& state) {
    ++state.publication_generation;
    Publication publication;
    publication.state = state.current;
    publication.generation = state.publication_generation;
    publication.active_operation = active_name(state);
    publication.operation_id = state.operation_id;
    publication.listeners.reserve(state.listeners.size());
    for (const auto& entry : state.listeners) publication.listeners.push_back(entry.second);
    return publication;
}

Publication state_publication_locked(State& state, WorkflowState next) {
    state.current = std::make_shared<const WorkflowState>(std::move(next));
    return republish_current_locked(state);
}

Inner::Inner(Parts parts) : parts_(std::move(parts)) { state_.current = std::make_shared<const WorkflowState>(); }

State& Inner::state(const std::unique_lock<std::mutex>& guard) {
    support::require(guard.owns_lock() && guard.mutex() == &mutex_, "the state lock must be held");
    return state_;
}

void Inner::transition(WorkflowState next) {
    std::optional<Publication> publication;
    {
        auto guard = lock();
        if (state_.closed) return;
        publication = state_publication_locked(state_, std::move(next));
    }
    publish(std::move(*publication));
}

void Inner::publish(Publication publication) {
    // A refused publication is dropped: the state has changed already and getState shows it.
    (void)parts_.ui->execute([self = shared_from_this(), publication = std::move(publication)]() mutable {
        self->deliver(std::move(publication));
    });
}

void Inner::deliver(Publication publication) {
    std::vector<SharedListener> listeners;
    {
        auto guard = lock();
        const bool current = !state_.closed && publication.generation == state_.publication_generation &&
                             publication.state == state_.current;
        if (current) listeners = publication.listeners;
    }
    const StateSnapshot snapshot{*publication.state, publication.active_operation, publication.operation_id};
    for (const auto& listener : listeners) (*listener)(snapshot);
}

ListenerHandle WorkflowController::add_state_listener(StateListener listener) const {
    auto guard = inner_->lock();
    State& state = inner_->state(guard);
    const std::uint64_t id = state.next_listener_id++;
    if (!state.closed) state.listeners.emplace_back(id, std::make_shared<const StateListener>(std::move(listener)));
    return ListenerHandle{inner_, id};
}

std::shared_ptr<const WorkflowState> WorkflowController::state() const {
    auto guard = inner_->lock();
    return inner_->state(guard).current;
}

SharedStateSnapshot WorkflowController::state_snapshot() const {
    auto guard = inner_->lock();
    const State& state = inner_->state(guard);
    return SharedStateSnapshot{state.current, active_name(state), state.operation_id};
}

std::string WorkflowController::sanitize_diagnostic(const std::string& text) const {
    return inner_->parts().use_cases->sanitize_diagnostic(text);
}

bool WorkflowController::cancel_operation(std::optional<std::uint64_t> operation_id) const {
    return inner_->cancel_internal(operation_id);
}

WorkflowControllerBuilder::WorkflowControllerBuilder(std::shared_ptr<const app::QuillaryUseCases> use_cases,
                                                     std::shared_ptr<TaskExecutor> background,
                                                     std::shared_ptr<TaskExecutor> ui) {
    parts_.use_cases = std::move(use_cases);
    parts_.background = std::move(background);
    parts_.ui = std::move(ui);
}

WorkflowControllerBuilder WorkflowControllerBuilder::cleanup(std::shared_ptr<TaskExecutor> executor) && {
    parts_.cleanup = std::move(executor);
    return std::move(*this);
}
WorkflowControllerBuilder WorkflowControllerBuilder::is_ui_thread(UiThreadTest test) && {
    parts_.is_ui_thread = std::move(test);
    return std::move(*this);
}
WorkflowControllerBuilder WorkflowControllerBuilder::progress(std::shared_ptr<progress::ProgressSink> sink) && {
    parts_.progress = std::move(sink);
    return std::move(*this);
}
WorkflowControllerBuilder WorkflowControllerBuilder::log(std::shared_ptr<logging::LogSink> sink) && {
    parts_.log = std::move(sink);
    return std::move(*this);
}
WorkflowControllerBuilder WorkflowControllerBuilder::cli_cache(std::shared_ptr<cli::CliCommandCache> cache) && {
    parts_.cli_cache = std::move(cache);
    return std::move(*this);
}
WorkflowControllerBuilder WorkflowControllerBuilder::external_keys_executor(std::shared_ptr<TaskExecutor> executor) && {
    parts_.external_keys = std::move(executor);
    return std::move(*this);
}
WorkflowControllerBuilder WorkflowControllerBuilder::endpoint_memory(
    std::shared_ptr<const endpoint_memory::EndpointMemory> memory) && {
    parts_.endpoint_memory = std::move(memory);
    return std::move(*this);
}
WorkflowControllerBuilder WorkflowControllerBuilder::fallback_for_testing(std::shared_ptr<TaskExecutor> executor) && {
    parts_.fallback = std::move(executor);
    return std::move(*this);
}
WorkflowControllerBuilder WorkflowControllerBuilder::outer_tokens_for_testing(OuterTokenProvider provider) && {
    parts_.outer_tokens = std::move(provider);
    return std::move(*this);
}

WorkflowController WorkflowControllerBuilder::build() && {
    support::require(parts_.use_cases && parts_.background && parts_.ui,
                     "the workflow controller needs use cases, a background and a UI executor");
    Inner::Parts parts = std::move(parts_);
    if (!parts.cleanup) parts.cleanup = parts.background;
    if (!parts.external_keys) parts.external_keys = parts.background;
    if (!parts.fallback) parts.fallback = std::make_shared<ThreadSpawnExecutor>();
    if (!parts.outer_tokens) parts.outer_tokens = [] { return std::unique_ptr<domain::CancellationToken>(); };
    if (!parts.is_ui_thread) parts.is_ui_thread = [] { return false; };
    if (!parts.progress) parts.progress = progress::ProgressSink::disabled();
    if (!parts.log) parts.log = logging::LogSink::disabled();
    if (!parts.cli_cache) parts.cli_cache = cli::CliCommandCache::create();
    if (!parts.endpoint_memory) parts.endpoint_memory = std::make_shared<endpoint_memory::NoEndpointMemory>();
    return WorkflowController(std::make_shared<Inner>(std::move(parts)));
}

}  // namespace ambrel::workflow
