#include "workflow/workflow_state.hpp"

namespace ambrel::workflow {

std::string_view wire_name(StateKind kind) noexcept {
    switch (kind) {
        case StateKind::LoadingOrgs: return "loadingOrgs";
        case StateKind::Selecting: return "selecting";
        case StateKind::ReturningToSelection: return "returningToSelection";
        case StateKind::LoadingComponents: return "loadingComponents";
        case StateKind::Comparing: return "comparing";
        case StateKind::Reviewing: return "reviewing";
        case StateKind::SelectingTests: return "selectingTests";
        case StateKind::SelectingFlsContainers: return "selectingFlsContainers";
        case StateKind::TargetHealth: return "targetHealth";
        case StateKind::Deploying: return "deploying";
        case StateKind::QuickDeploying: return "quickDeploying";
        case StateKind::Results: return "results";
        case StateKind::Error: return "error";
    }
    return "error";
}

StateKind kind_of(const WorkflowState& state) noexcept { return static_cast<StateKind>(state.index()); }

WorkflowState error_state(std::string message, std::optional<std::string> details) {
    return ErrorState{std::move(message), std::move(details)};
}

SessionRef session_of(const WorkflowState& state) noexcept {
    return std::visit(
        [](const auto& screen) -> SessionRef {
            if constexpr (requires { screen.session; }) {
                return screen.session;
            } else {
                return nullptr;
            }
        },
        state);
}

}  // namespace ambrel::workflow
