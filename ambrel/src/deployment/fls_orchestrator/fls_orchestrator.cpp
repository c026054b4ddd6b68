#include "deployment/fls_orchestrator/fls_orchestrator.hpp"

#include <algorithm>
#include <set>
#include <vector>

#include "deployment/permission_batch/permission_batch.hpp"
#include "support/programming_error.hpp"
#include "text/text.hpp"

namespace ambrel::deployment::fls_orchestrator {
namespace {

using deploy_gateway::MetadataDeployResult;

class Run {
public:
    Run(permission_batch::PermissionComponentBatchDeployer& deployer, const std::string& alias,
        const domain::CancellationToken& token)
        : deployer_(deployer), alias_(alias), token_(token) {}

    void process(std::span<const PreparedPermissionComponent> all, std::span<const PreparedPermissionComponent> batch) {
        if (batch.empty() || stopped_) return;
        if (token_.is_cancelled()) {
            mark_unsettled(all, kCancelledBeforeBatch);
            stopped_ = true;
            return;
        }
        MetadataDeployResult result = deployer_.deploy(batch, alias_, token_);
        if (std::holds_alternative<MetadataDeployResult::Succeeded>(result.value)) {
            for (const auto& component : batch) {
                states_.insert_or_assign(component.key, FlsComponentDeployState{FlsComponentDeployStatus::Deployed,
                                                                                std::string(kDeployedMessage)});
            }
            return;
        }
        if (const auto* failures = std::get_if<MetadataDeployResult::ComponentFailures>(&result.value)) {
            if (batch.size() == 1) {
                const auto wanted = permission_batch::to_metadata_component_key(batch.front().key);
                std::string message = failures->message;
                for (const auto& [key, text] : failures->failures) {
                    if (key.type_name == wanted.type_name && key.full_name == wanted.full_name) {
                        message = text;
                        break;
                    }
                }
                states_.insert_or_assign(batch.front().key,
                                         FlsComponentDeployState{FlsComponentDeployStatus::Failed, std::move(message)});
                return;
            }
            const std::size_t half = batch.size() / 2;
            process(all, batch.first(half));
            process(all, batch.subspan(half));
            return;
        }
        const std::string message = std::visit(
            [](const auto& value) -> std::string {
                using T = std::decay_t<decltype(value)>;
                if constexpr (std::is_same_v<T, MetadataDeployResult::Succeeded>) {
                    return {};
                } else {
                    return value.message;
                }
            },
            result.value);
        for (const auto& component : batch) {
            states_.insert_or_assign(component.key, FlsComponentDeployState{FlsComponentDeployStatus::Failed, message});
        }
        mark_unsettled(all, kStoppedAfterFatal);
        stopped_ = true;
    }

    void mark_unsettled(std::span<const PreparedPermissionComponent> all, std::string_view message) {
        for (const auto& component : all) {
            states_.try_emplace(component.key,
                                FlsComponentDeployState{FlsComponentDeployStatus::NotAttempted, std::string(message)});
        }
    }

    DeployStates take() && { return std::move(states_); }

private:
    permission_batch::PermissionComponentBatchDeployer& deployer_;
    const std::string& alias_;
    const domain::CancellationToken& token_;
    DeployStates states_;
    bool stopped_ = false;
};

}  // namespace

DeployStates FlsDeploymentOrchestrator::deploy(std::span<const PreparedPermissionComponent> components,
                                               const std::string& target_alias,
                                               const domain::CancellationToken& token) const {
    support::require(!text::is_blank(target_alias), kBlankTargetAliasPrecondition);
    std::set<PermissionComponentKey> keys;
    for (const auto& component : components) support::require(keys.insert(component.key).second, kDuplicateKeys);

    std::vector<PreparedPermissionComponent> sorted(components.begin(), components.end());
    std::sort(sorted.begin(), sorted.end(), [](const auto& a, const auto& b) { return a.key < b.key; });
    if (sorted.empty()) return {};

    Run run(*deployer_, target_alias, token);
    run.process(sorted, sorted);
    run.mark_unsettled(sorted, kNeverReached);
    return std::move(run).take();
}

}  // namespace ambrel::deployment::fls_orchestrator
