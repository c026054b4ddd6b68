// The selection screen and what feeds it: the org load, the member listing of the current type, the
// choice of metadata type, and the helpers every selection-side command shares.

#include <algorithm>
#include <utility>

#include "metadata_types/name_rules.hpp"
#include "workflow/controller.hpp"

namespace ambrel::workflow {

namespace {

bool equal_ignoring_ascii_case(std::string_view a, std::string_view b) {
    return std::ranges::equal(a, b, [](char x, char y) {
        auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; };
        return lower(x) == lower(y);
    });
}

// A listed org matches a stored org endpoint when the alias is the same and the login is the same.
bool same_login(const endpoint::OrgAlias& listed, const endpoint::OrgAlias& stored) {
    return listed.alias == stored.alias && equal_ignoring_ascii_case(listed.username, stored.username) &&
           equal_ignoring_ascii_case(listed.org_id, stored.org_id);
}

std::optional<metadata_types::ListingStrategy> strategy_of(metadata_types::MetadataType type) {
    // Record-data types have no descriptor and no listing.
    if (type.is_data_record()) return std::nullopt;
    return type.descriptor().listing_strategy;
}

}  // namespace

std::vector<cli::catalogs::SalesforceObject> components_locked(const State& state) {
    std::vector<cli::catalogs::SalesforceObject> shown;
    const auto strategy = strategy_of(state.current_type);
    if (!strategy) return shown;
    const auto entry = state.listing_cache.find(*strategy);
    if (entry == state.listing_cache.end()) return shown;
    for (const auto& object : entry->second) {
        if (state.current_type.object_listing_admits(object.api_name)) shown.push_back(object);
    }
    return shown;
}

WorkflowState selecting_state(const State& state, std::optional<std::string> error_message,
                              std::optional<ImportSummary> import_summary,
                              std::shared_ptr<const data::preparation::OrgPreparationReport> org_preparation) {
    SelectingState selecting;
    selecting.orgs = state.orgs;
    selecting.components = components_locked(state);
    selecting.error_message = std::move(error_message);
    selecting.import_summary = std::move(import_summary);
    selecting.source = state.source;
    selecting.target = state.target;
    selecting.manifest = state.manifest;
    selecting.org_preparation = std::move(org_preparation);
    selecting.current_type = state.current_type;
    selecting.external_keys = state.external_key_status;
    return selecting;
}

Publication selecting_publication(State& state, std::optional<std::string> error_message) {
    return state_publication_locked(state, selecting_state(state, std::move(error_message), std::nullopt, nullptr));
}

std::optional<Publication> selecting_republication_locked(State& state) {
    const auto* shown = std::get_if<SelectingState>(state.current.get());
    if (shown == nullptr) return std::nullopt;
    return state_publication_locked(
        state, selecting_state(state, shown->error_message, shown->import_summary, shown->org_preparation));
}

void commit_selection(ManifestSelection& selection, metadata_types::MetadataType type, std::set<std::string> names) {
    if (type.is_data_record()) {
        selection.erase(type);
        return;
    }
    if (names.empty()) {
        selection.erase(type);
    } else {
        selection[type] = std::move(names);
    }
    metadata_types::apply_derived_members(selection, type);
}

std::optional<endpoint::DeployEndpoint> retain_org(const std::vector<endpoint::OrgAlias>& orgs,
                                                   const std::optional<endpoint::DeployEndpoint>& endpoint) {
    if (!endpoint) return std::nullopt;
    const auto* stored = endpoint->org();
    if (stored == nullptr) return endpoint;
    const endpoint::OrgAlias* match = nullptr;
    for (const auto& listed : orgs) {
        if (!same_login(listed, stored->org)) continue;
        if (match != nullptr) return std::nullopt;
        match = &listed;
    }
    if (match == nullptr) return std::nullopt;
    return endpoint::DeployEndpoint{endpoint::DeployEndpoint::Org{*match}};
}

void retain_manifest_for_strategy_locked(State& state, metadata_types::MetadataType type,
                                         const std::vector<cli::catalogs::SalesforceObject>& objects,
                                         bool source_is_org) {
    const auto strategy = strategy_of(type);
    if (!strategy) return;
    std::set<std::string_view> listed;
    for (const auto& object : objects) listed.insert(object.api_name);
    for (auto entry = state.manifest.begin(); entry != state.manifest.end();) {
        if (strategy_of(entry->first) != strategy) {
            ++entry;
            continue;
        }
        std::erase_if(entry->second, [&](const std::string& name) {
            return !listed.contains(name) && (source_is_org || type.object_listing_admits(name));
        });
        entry = entry->second.empty() ? state.manifest.erase(entry) : std::next(entry);
    }
}

void Inner::selection_error(std::string message) {
    std::optional<Publication> publication;
    {
        auto guard = lock();
        if (state_.closed) return;
        if (const auto* reviewing = std::get_if<ReviewingState>(state_.current.get())) {
            ReviewingState next = *reviewing;
            next.error_message = std::move(message);
            publication = state_publication_locked(state_, std::move(next));
        } else {
            publication = selecting_publication(state_, std::move(message));
        }
    }
    publish(std::move(*publication));
}

void Inner::end_with_selection_screen(std::uint64_t id) {
    std::optional<Publication> publication;
    {
        auto guard = lock();
        if (state_.closed || state_.operation_id != id) return;
        end_operation_locked(state_);
        publication = selecting_publication(state_, std::nullopt);
    }
    publish(std::move(*publication));
}

// ---- Org load ----

std::optional<std::uint64_t> WorkflowController::load_orgs() const {
    auto started = inner_->begin_operation_if(OperationKind::LoadOrgs, true, false, std::nullopt);
    if (!started) return std::nullopt;
    const std::uint64_t id = started->id;
    inner_->transition(LoadingOrgsState{});
    inner_->schedule_after_cleanup(std::move(*started), [self = inner_, id] { self->schedule_org_load(id, true); });
    return id;
}

std::optional<std::uint64_t> WorkflowController::restart() const {
    auto started = inner_->begin_operation_if(OperationKind::LoadOrgs, true, true, std::nullopt);
    if (!started) return std::nullopt;
    const std::uint64_t id = started->id;
    {
        // A new comparison starts from scratch: an imported scenario is not replayed into it.
        auto guard = inner_->lock();
        inner_->state(guard).pending_scenario.reset();
    }
    inner_->transition(LoadingOrgsState{});
    inner_->schedule_after_cleanup(std::move(*started), [self = inner_, id] { self->schedule_org_load(id, false); });
    return id;
}

void Inner::schedule_org_load(std::uint64_t id, bool relist) {
    execute_background(id, [self = shared_from_this(), id, relist]() {
        app::UseCaseResult<std::vector<endpoint::OrgAlias>> listed = [&]() -> decltype(listed) {
            try {
                auto token = self->require_token(id);
                return self->parts_.use_cases->list_orgs(*token);
            } catch (...) {
                return std::unexpected(panic_to_failure(std::current_exception()));
            }
        }();
        if (!listed) {
            self->complete_failure(id, std::move(listed.error()));
            return;
        }
        self->dispatch_completion(id, [orgs = std::move(*listed)](State& state) mutable {
            state.orgs = std::move(orgs);
            state.source = retain_org(state.orgs, state.source);
            state.target = retain_org(state.orgs, state.target);
            if (state.listing_incomplete && state.listing_cache.empty() && state.manifest.empty()) {
                if (state.source) state.source_dropped = true;
                state.source.reset();
            }
            if (!state.source) {
                state.listing_cache.clear();
                state.manifest.clear();
            }
            std::optional<std::string> message;
            if (state.orgs.empty()) message = std::string(kNoOrgAliases);
            return selecting_state(state, std::move(message), std::nullopt, nullptr);
        });
        // The follow-up steps run after the completion; one the UI executor refuses is dropped.
        auto& ui = *self->parts_.ui;
        if (relist) (void)ui.execute([self, id] { self->reload_current_listing(id); });
        (void)ui.execute([self, id] { self->restore_remembered_endpoints(id); });
        (void)ui.execute([self] { self->refresh_external_keys(); });
    });
}

void Inner::reload_current_listing(std::uint64_t org_load_id) {
    std::optional<endpoint::DeployEndpoint> source;
    {
        auto guard = lock();
        if (state_.closed || state_.operation_id != org_load_id) return;
        if (!std::holds_alternative<SelectingState>(*state_.current)) return;
        if (!state_.source) return;
        source = state_.source;
    }
    auto started = begin_operation_if(OperationKind::LoadComponents, true, false, org_load_id);
    if (!started) return;
    const std::uint64_t id = started->id;
    std::vector<endpoint::OrgAlias> orgs;
    std::optional<endpoint::DeployEndpoint> target;
    metadata_types::MetadataType type = metadata_types::MetadataType::CustomField;
    {
        auto guard = lock();
        state_.listing_cache.clear();
        orgs = state_.orgs;
        target = state_.target;
        type = state_.current_type;
    }
    if (type.is_data_record()) {
        end_with_selection_screen(id);
        return;
    }
    transition(LoadingComponentsState{std::move(orgs), *source, std::move(target)});
    schedule_member_listing(std::move(*started), std::move(*source), type);
}

// ---- Member listing ----

std::optional<std::uint64_t> WorkflowController::select_metadata_type(metadata_types::MetadataType type,
                                                                       std::set<std::string> names) const {
    if (!type.is_selectable()) return std::nullopt;
    Inner& inner = *inner_;
    {
        auto guard = inner.lock();
        State& state = inner.state(guard);
        if (state.closed || !std::holds_alternative<SelectingState>(*state.current)) return std::nullopt;
        commit_selection(state.manifest, state.current_type, std::move(names));
        state.current_type = type;
        const auto strategy = strategy_of(type);
        if (!strategy || state.listing_cache.contains(*strategy)) {
            Publication publication = selecting_publication(state, std::nullopt);
            guard.unlock();
            inner.publish(std::move(publication));
            return std::nullopt;
        }
    }
    std::optional<endpoint::DeployEndpoint> source;
    {
        auto guard = inner.lock();
        source = inner.state(guard).source;
    }
    if (source) return inner.schedule_component_load(std::move(*source));
    std::optional<Publication> publication;
    {
        auto guard = inner.lock();
        State& state = inner.state(guard);
        if (state.closed) return std::nullopt;
        publication = selecting_publication(state, std::nullopt);
    }
    inner.publish(std::move(*publication));
    return std::nullopt;
}

std::optional<std::uint64_t> Inner::schedule_component_load(endpoint::DeployEndpoint source) {
    auto started = begin_operation_if(OperationKind::LoadComponents, true, false, std::nullopt);
    if (!started) return std::nullopt;
    const std::uint64_t id = started->id;
    std::vector<endpoint::OrgAlias> orgs;
    std::optional<endpoint::DeployEndpoint> target;
    metadata_types::MetadataType type = metadata_types::MetadataType::CustomField;
    {
        auto guard = lock();
        orgs = state_.orgs;
        target = state_.target;
        type = state_.current_type;
    }
    if (type.is_data_record()) {
        end_with_selection_screen(id);
        return std::nullopt;
    }
    transition(LoadingComponentsState{std::move(orgs), source, std::move(target)});
    schedule_member_listing(std::move(*started), std::move(source), type);
    return id;
}

void Inner::schedule_member_listing(StartedOperation started, endpoint::DeployEndpoint source,
                                    metadata_types::MetadataType type) {
    const std::uint64_t id = started.id;
    schedule_after_cleanup(std::move(started), [self = shared_from_this(), id, source = std::move(source), type]() {
        self->execute_background(id, [self, id, source, type]() {
            app::UseCaseResult<std::vector<cli::catalogs::SalesforceObject>> listed = [&]() -> decltype(listed) {
                try {
                    auto token = self->require_token(id);
                    return self->parts_.use_cases->list_source_objects(source, type, *token);
                } catch (...) {
                    return std::unexpected(panic_to_failure(std::current_exception()));
                }
            }();
            if (!listed) {
                self->complete_failure(id, std::move(listed.error()));
                return;
            }
            self->dispatch_completion(id, [label = source.label(), source_is_org = source.is_org(), type,
                                           objects = std::move(*listed)](State& state) mutable {
                // A source changed meanwhile: the listing is not its own, so only the screen returns.
                if (!state.source || state.source->label() != label) {
                    return selecting_state(state, std::nullopt, std::nullopt, nullptr);
                }
                retain_manifest_for_strategy_locked(state, type, objects, source_is_org);
                if (const auto strategy = strategy_of(type)) state.listing_cache[*strategy] = std::move(objects);
                state.listing_incomplete = false;
                return selecting_state(state, std::nullopt, std::nullopt, nullptr);
            });
        });
    });
}

}  // namespace ambrel::workflow
