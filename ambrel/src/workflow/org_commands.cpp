// Git repository inspection, org alias creation, org preparation and the external-key check.

#include <utility>

#include "workflow/controller.hpp"

namespace ambrel::workflow {

namespace {

constexpr std::string_view kValidKey = "valid";
constexpr std::string_view kReasonKey = "reason";
constexpr std::string_view kSfdxProjectKey = "sfdxProject";
constexpr std::string_view kCurrentBranchKey = "currentBranch";
constexpr std::string_view kCanInitializeKey = "canInitialize";
constexpr std::string_view kBranchesKey = "branches";
constexpr std::string_view kNameKey = "name";
constexpr std::string_view kKindKey = "kind";
constexpr std::string_view kIsCurrentKey = "isCurrent";
constexpr std::string_view kRemoteKey = "remote";
constexpr std::string_view kRemoteKind = "remote";
constexpr std::string_view kLocalKind = "local";

template <class T>
app::UseCaseResult<T> caught(const std::function<app::UseCaseResult<T>()>& call) {
    try {
        return call();
    } catch (...) {
        return std::unexpected(panic_to_failure(std::current_exception()));
    }
}

std::optional<std::pair<std::string, std::string>> org_pair(const State& state) {
    if (!state.source || !state.target || !state.source->is_org() || !state.target->is_org()) return std::nullopt;
    return std::pair(state.source->org()->org.alias, state.target->org()->org.alias);
}

}  // namespace

// ---- Git repositories ----

json::Value git_inspection_value(const git::GitRepoInspection& inspection) {
    json::Object value;
    value[kValidKey] = true;
    value[kSfdxProjectKey] = inspection.has_sfdx_project;
    value[kCurrentBranchKey] = inspection.current_branch ? json::Value(*inspection.current_branch) : json::Value(nullptr);
    value[kCanInitializeKey] = false;
    json::Array branches;
    for (const auto& branch : inspection.branches) {
        json::Object entry;
        entry[kNameKey] = branch.name;
        entry[kKindKey] = branch.remote ? kRemoteKind : kLocalKind;
        entry[kIsCurrentKey] = branch.is_current;
        if (branch.remote) entry[kRemoteKey] = *branch.remote;
        branches.push_back(std::move(entry));
    }
    value[kBranchesKey] = std::move(branches);
    return value;
}

json::Value Inner::git_inspection_failure_value(const std::filesystem::path& path, const app::WorkflowFailure& failure) {
    json::Object value;
    value[kValidKey] = false;
    value[kReasonKey] = sanitized_failure(failure);
    value[kSfdxProjectKey] = false;
    value[kCurrentBranchKey] = nullptr;
    value[kBranchesKey] = json::Array();
    // Asked only now: the failed attempt may have changed what the folder holds.
    value[kCanInitializeKey] = parts_.use_cases->can_initialize_git_repo(path);
    return value;
}

json::Value WorkflowController::inspect_git_repo(const std::filesystem::path& path) const {
    auto inspection = caught<git::GitRepoInspection>([&] { return inner_->parts().use_cases->inspect_git_repo(path); });
    if (!inspection) return inner_->git_inspection_failure_value(path, inspection.error());
    return git_inspection_value(*inspection);
}

json::Value WorkflowController::init_git_repo(const std::filesystem::path& path) const {
    auto inspection = caught<git::GitRepoInspection>([&] { return inner_->parts().use_cases->init_git_repo(path); });
    if (!inspection) return inner_->git_inspection_failure_value(path, inspection.error());
    return git_inspection_value(*inspection);
}

// ---- Org alias creation ----

std::optional<std::uint64_t> WorkflowController::create_org_alias(EndpointSide side, std::string alias,
                                                                   std::string instance_url) const {
    std::vector<endpoint::OrgAlias> known;
    {
        auto guard = inner_->lock();
        const State& state = inner_->state(guard);
        if (state.closed || !std::holds_alternative<SelectingState>(*state.current)) return std::nullopt;
        known = state.orgs;
    }
    auto started = inner_->begin_operation_if(OperationKind::CreateOrgAlias, true, false, std::nullopt);
    if (!started) return std::nullopt;
    const std::uint64_t id = started->id;
    std::shared_ptr<Inner> self = inner_;
    self->schedule_after_cleanup(std::move(*started), [self, id, side, alias = std::move(alias),
                                                       instance_url = std::move(instance_url),
                                                       known = std::move(known)]() mutable {
        self->execute_background(id, [self, id, side, alias = std::move(alias), instance_url = std::move(instance_url),
                                      known = std::move(known)]() {
            const auto& use_cases = *self->parts().use_cases;
            std::unique_ptr<domain::CancellationToken> token;
            auto created = caught<cli::CreatedOrgAlias>([&] {
                token = self->require_token(id);
                return use_cases.create_org_alias(alias, instance_url, known, *token);
            });
            if (!created) {
                self->complete_org_alias_failure(id, created.error());
                return;
            }
            auto orgs = caught<std::vector<endpoint::OrgAlias>>([&] { return use_cases.list_orgs(*token); });
            if (!orgs) {
                self->complete_org_alias_failure(id, orgs.error());
                return;
            }
            auto refused = self->parts().ui->execute(
                [self, id, side, created_alias = created->alias, orgs = std::move(*orgs)]() mutable {
                    self->complete_org_alias(id, std::move(orgs), std::move(created_alias), side);
                });
            if (refused) self->record_ui_dispatcher_failure(id);
        });
    });
    return id;
}

void Inner::complete_org_alias(std::uint64_t id, std::vector<endpoint::OrgAlias> orgs, std::string created_alias,
                               EndpointSide side) {
    std::optional<Publication> publication;
    {
        auto guard = lock();
        if (state_.closed || state_.operation_id != id) return;
        state_.orgs = std::move(orgs);
        end_operation_locked(state_);
        publication = selecting_publication(state_, std::nullopt);
    }
    deliver(std::move(*publication));
    endpoint::OrgAlias chosen;
    chosen.alias = std::move(created_alias);
    endpoint::DeployEndpoint endpoint{endpoint::DeployEndpoint::Org{std::move(chosen)}};
    if (side == EndpointSide::Target) {
        select_target_endpoint_with(std::move(endpoint), false, 0);
    } else {
        (void)select_source_endpoint_with(std::move(endpoint), false, 0);
    }
}

void Inner::complete_org_alias_failure(std::uint64_t id, const app::WorkflowFailure& failure) {
    std::string message = sanitized_failure(failure);
    auto refused = parts_.ui->execute([self = shared_from_this(), id, message = std::move(message)]() mutable {
        std::optional<Publication> publication;
        {
            auto guard = self->lock();
            if (self->state_.closed || self->state_.operation_id != id) return;
            self->end_operation_locked(self->state_);
            publication = selecting_publication(self->state_, std::move(message));
        }
        self->deliver(std::move(*publication));
    });
    if (refused) record_ui_dispatcher_failure(id);
}

// ---- Org preparation ----

std::optional<std::uint64_t> WorkflowController::inspect_org_preparation() const {
    return inner_->run_org_preparation(false);
}

std::optional<std::uint64_t> WorkflowController::apply_org_preparation() const {
    return inner_->run_org_preparation(true);
}

std::optional<std::uint64_t> Inner::run_org_preparation(bool apply) {
    std::pair<std::string, std::string> pair;
    {
        auto guard = lock();
        if (state_.closed || !std::holds_alternative<SelectingState>(*state_.current)) return std::nullopt;
        auto found = org_pair(state_);
        if (!found) return std::nullopt;
        pair = std::move(*found);
    }
    auto started = begin_operation_if(OperationKind::PrepareOrgs, true, false, std::nullopt);
    if (!started) return std::nullopt;
    const std::uint64_t id = started->id;
    schedule_after_cleanup(std::move(*started), [self = shared_from_this(), id, apply, pair]() {
        self->execute_background(id, [self, id, apply, pair]() {
            auto report = caught<data::preparation::OrgPreparationReport>([&] {
                auto token = self->require_token(id);
                const auto& use_cases = *self->parts_.use_cases;
                return apply ? use_cases.apply_org_preparation(pair.first, pair.second, *token)
                             : use_cases.inspect_org_preparation(pair.first, pair.second, *token);
            });
            if (!report) {
                self->complete_org_alias_failure(id, report.error());
                return;
            }
            auto shared = std::make_shared<const data::preparation::OrgPreparationReport>(std::move(*report));
            auto refused = self->parts_.ui->execute([self, id, shared]() {
                std::optional<Publication> publication;
                {
                    auto guard = self->lock();
                    if (self->state_.closed || self->state_.operation_id != id) return;
                    self->end_operation_locked(self->state_);
                    publication = state_publication_locked(
                        self->state_, selecting_state(self->state_, std::nullopt, std::nullopt, shared));
                }
                self->deliver(std::move(*publication));
                if (!shared->applied) return;
                {
                    // The fields and keys may have changed: the same pair is checked again.
                    auto guard = self->lock();
                    self->state_.external_key_pair.reset();
                }
                self->refresh_external_keys();
            });
            if (refused) self->record_ui_dispatcher_failure(id);
        });
    });
    return id;
}

// ---- External keys ----

void Inner::refresh_external_keys() {
    if (!parts_.use_cases->supports_external_keys()) return;
    std::optional<Publication> publication;
    std::shared_ptr<MutableCancellationToken> token;
    std::optional<std::pair<std::string, std::string>> pair;
    std::uint64_t check_id = 0;
    {
        auto guard = lock();
        if (state_.closed) return;
        pair = org_pair(state_);
        if (pair) {
            if (state_.external_key_pair == pair) return;
            if (state_.external_key_token) state_.external_key_token->cancel();
            check_id = ++state_.external_key_check_id;
            token = std::make_shared<MutableCancellationToken>();
            state_.external_key_token = token;
            state_.external_key_status = ExternalKeyStatus::Checking;
            state_.external_key_pair = pair;
        } else {
            if (!state_.external_key_status && !state_.external_key_pair) return;
            if (state_.external_key_token) state_.external_key_token->cancel();
            state_.external_key_token = nullptr;
            ++state_.external_key_check_id;
            state_.external_key_status.reset();
            state_.external_key_pair.reset();
        }
        publication = selecting_republication_locked(state_);
    }
    if (publication) publish(std::move(*publication));
    if (!pair) return;
    auto refused = parts_.external_keys->execute([self = shared_from_this(), pair = *pair, token, check_id]() {
        ExternalKeyStatus status = ExternalKeyStatus::Unavailable;
        try {
            auto readiness = self->parts_.use_cases->check_external_keys(pair.first, pair.second, *token);
            if (readiness == data::key_readiness::ExternalKeysState::Present) status = ExternalKeyStatus::Present;
            if (readiness == data::key_readiness::ExternalKeysState::Missing) status = ExternalKeyStatus::Missing;
        } catch (...) {
            status = ExternalKeyStatus::Unavailable;
        }
        self->complete_external_keys(check_id, status);
    });
    if (refused) complete_external_keys(check_id, ExternalKeyStatus::Unavailable);
}

std::optional<Publication> Inner::apply_external_keys_locked(std::uint64_t check_id, ExternalKeyStatus status) {
    if (state_.closed || state_.external_key_check_id != check_id) return std::nullopt;
    state_.external_key_token = nullptr;
    state_.external_key_status = status;
    return selecting_republication_locked(state_);
}

void Inner::complete_external_keys(std::uint64_t check_id, ExternalKeyStatus status) {
    auto refused = parts_.ui->execute([self = shared_from_this(), check_id, status]() {
        std::optional<Publication> publication;
        {
            auto guard = self->lock();
            publication = self->apply_external_keys_locked(check_id, status);
        }
        if (publication) self->deliver(std::move(*publication));
    });
    if (!refused) return;
    auto guard = lock();
    // Without a UI executor nothing is published; the selection screen shows the status when rebuilt.
    if (state_.closed || state_.external_key_check_id != check_id) return;
    state_.external_key_token = nullptr;
    state_.external_key_status = status;
}

}  // namespace ambrel::workflow
