// Choosing the source and the target, and remembering them across runs.

#include <utility>

#include "git/branch_name.hpp"
#include "text/text.hpp"
#include "workflow/controller.hpp"

namespace ambrel::workflow {

namespace {

std::optional<std::string> remembered_alias(const std::optional<endpoint::DeployEndpoint>& endpoint) {
    if (!endpoint || !endpoint->is_org()) return std::nullopt;
    return endpoint->org()->org.alias;
}

// The org endpoint of the one listed org with exactly this alias; nothing when none or several.
std::optional<endpoint::DeployEndpoint> org_endpoint_for(const std::vector<endpoint::OrgAlias>& orgs,
                                                         const std::optional<std::string>& alias) {
    if (!alias) return std::nullopt;
    endpoint::OrgAlias wanted;
    wanted.alias = *alias;
    return resolve_endpoint(orgs, endpoint::DeployEndpoint{endpoint::DeployEndpoint::Org{std::move(wanted)}});
}

// The sentence refusing a git side whose branch, base or new branch name is not a git branch name;
// none for an org side or sound names. Such a name never reaches git, not even to be checked.
std::optional<std::string> branch_name_refusal(const endpoint::DeployEndpoint& endpoint) {
    const auto* side = endpoint.git();
    if (side == nullptr) return std::nullopt;
    const endpoint::GitBranchRef& branch = side->branch;
    using git::branch_name::is_branch_name;
    if (branch.create) {
        if (!is_branch_name(branch.local_name())) return std::string(git::kInvalidNewBranchSentence);
        if (branch.base && !is_branch_name(*branch.base)) return std::string(git::kInvalidBaseSentence);
        return std::nullopt;
    }
    if (!is_branch_name(branch.name) || !is_branch_name(branch.local_name())) {
        return std::string(git::kInvalidBranchSentence);
    }
    return std::nullopt;
}

}  // namespace

std::optional<endpoint::DeployEndpoint> resolve_endpoint(const std::vector<endpoint::OrgAlias>& orgs,
                                                         endpoint::DeployEndpoint endpoint) {
    const auto* chosen = endpoint.org();
    if (chosen == nullptr) return endpoint;
    const endpoint::OrgAlias* match = nullptr;
    for (const auto& listed : orgs) {
        if (listed.alias != chosen->org.alias) continue;
        if (match != nullptr) return std::nullopt;
        match = &listed;
    }
    if (match == nullptr) return std::nullopt;
    return endpoint::DeployEndpoint{endpoint::DeployEndpoint::Org{*match}};
}

std::optional<std::uint64_t> WorkflowController::select_source_endpoint(endpoint::DeployEndpoint endpoint) const {
    return inner_->select_source_endpoint_with(std::move(endpoint), false, 0);
}

std::optional<std::uint64_t> WorkflowController::select_target_endpoint(endpoint::DeployEndpoint endpoint) const {
    inner_->select_target_endpoint_with(std::move(endpoint), false, 0);
    return std::nullopt;
}

std::optional<std::uint64_t> Inner::select_source_endpoint_with(endpoint::DeployEndpoint endpoint, bool restore_mode,
                                                                std::uint64_t expected_id) {
    if (auto refusal = branch_name_refusal(endpoint)) {
        selection_error(std::move(*refusal));
        return std::nullopt;
    }
    std::optional<endpoint::DeployEndpoint> resolved;
    {
        auto guard = lock();
        if (state_.closed) return std::nullopt;
        resolved = resolve_endpoint(state_.orgs, std::move(endpoint));
    }
    if (!resolved) {
        selection_error(std::string(kSelectSource));
        return std::nullopt;
    }
    std::optional<std::uint64_t> result;
    auto started = begin_operation_if(OperationKind::LoadComponents, true, false,
                                      restore_mode ? std::optional<std::uint64_t>(expected_id) : std::nullopt);
    if (started) {
        const std::uint64_t id = started->id;
        std::vector<endpoint::OrgAlias> orgs;
        std::optional<endpoint::DeployEndpoint> target;
        metadata_types::MetadataType type = metadata_types::MetadataType::CustomField;
        {
            auto guard = lock();
            state_.source = *resolved;
            state_.listing_incomplete = false;
            state_.listing_cache.clear();
            state_.manifest.clear();
            orgs = state_.orgs;
            target = state_.target;
            type = state_.current_type;
        }
        if (type.is_data_record()) {
            end_with_selection_screen(id);
        } else {
            transition(LoadingComponentsState{std::move(orgs), *resolved, std::move(target)});
            schedule_member_listing(std::move(*started), std::move(*resolved), type);
            result = id;
        }
    }
    refresh_external_keys();
    remember_endpoints(restore_mode);
    return result;
}

void Inner::select_target_endpoint_with(endpoint::DeployEndpoint endpoint, bool restore_mode,
                                        std::uint64_t expected_id) {
    auto accepts = [](const State& state) {
        return std::holds_alternative<SelectingState>(*state.current) ||
               std::holds_alternative<LoadingComponentsState>(*state.current);
    };
    {
        auto guard = lock();
        if (state_.closed || !accepts(state_)) return;
    }
    std::optional<std::string> message = branch_name_refusal(endpoint);
    if (endpoint.is_git() && !message) {
        app::UseCaseResult<app::ports::GitTargetCheck> check = [&]() -> decltype(check) {
            try {
                return parts_.use_cases->validate_git_target(endpoint);
            } catch (...) {
                return std::unexpected(panic_to_failure(std::current_exception()));
            }
        }();
        if (!check) {
            message = sanitized_failure(check.error());
        } else if (!check->is_valid()) {
            message = check->refusal;
        }
    }
    std::optional<Publication> publication;
    {
        auto guard = lock();
        if (state_.closed) return;
        const bool stale = restore_mode && (state_.operation_id != expected_id || state_.target.has_value());
        if (!accepts(state_) || stale) {
            guard.unlock();
            refresh_external_keys();
            return;
        }
        if (message) {
            publication = selecting_publication(state_, std::move(message));
        } else if (auto resolved = resolve_endpoint(state_.orgs, std::move(endpoint))) {
            state_.target = std::move(resolved);
            if (const auto* loading = std::get_if<LoadingComponentsState>(state_.current.get())) {
                publication =
                    state_publication_locked(state_, LoadingComponentsState{loading->orgs, loading->source, state_.target});
            } else {
                publication = selecting_publication(state_, std::nullopt);
            }
        } else {
            publication = selecting_publication(state_, std::string(kSelectTarget));
            message = std::string(kSelectTarget);
        }
    }
    publish(std::move(*publication));
    refresh_external_keys();
    if (!message) remember_endpoints(restore_mode);
}

void Inner::remember_endpoints(bool restore_mode) {
    if (restore_mode) return;
    auto memory_guard = lock_endpoints();
    endpoint_memory::RememberedEndpoints remembered;
    {
        auto guard = lock();
        remembered.source = remembered_alias(state_.source);
        remembered.target = remembered_alias(state_.target);
    }
    // A memory that cannot be written only means the next run preselects less.
    const endpoint_memory::RememberOutcome outcome = parts_.endpoint_memory->remember(remembered);
    if (outcome.kept_aside) {
        // Said once: the document written in its place is readable, so the next write keeps nothing.
        json::Object line = parts_.log->base("endpointMemoryKeptAside", 0);
        line["path"] = text::decode_lossy(outcome.kept_aside->string());
        parts_.log->emit(line);
    }
}

void Inner::restore_remembered_endpoints(std::uint64_t org_load_id) {
    bool consulted = false;
    bool dropped = false;
    {
        auto guard = lock();
        consulted = state_.remembered_endpoints_consulted;
        dropped = state_.source_dropped;
        state_.source_dropped = false;
    }
    if (dropped) remember_endpoints(false);
    if (consulted) return;
    const endpoint_memory::RememberedEndpoints remembered = parts_.endpoint_memory->recall();
    std::optional<endpoint::DeployEndpoint> source;
    std::optional<endpoint::DeployEndpoint> target;
    {
        auto guard = lock();
        if (state_.source || state_.target) {
            state_.remembered_endpoints_consulted = true;
            return;
        }
        if (state_.orgs.empty() || state_.closed || state_.operation_id != org_load_id ||
            !std::holds_alternative<SelectingState>(*state_.current)) {
            return;
        }
        state_.remembered_endpoints_consulted = true;
        source = org_endpoint_for(state_.orgs, remembered.source);
        target = org_endpoint_for(state_.orgs, remembered.target);
    }
    if (target) select_target_endpoint_with(std::move(*target), true, org_load_id);
    if (source) (void)select_source_endpoint_with(std::move(*source), true, org_load_id);
}

}  // namespace ambrel::workflow
