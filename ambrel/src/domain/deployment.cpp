#include "domain/deployment.hpp"

namespace ambrel::domain {

std::string_view wire_id(DeployMode mode) noexcept {
    switch (mode) {
        case DeployMode::BestEffort: return "BEST_EFFORT";
        case DeployMode::ValidateOnly: return "VALIDATE_ONLY";
        case DeployMode::AllOrNothing: return "ALL_OR_NOTHING";
    }
    return "BEST_EFFORT";
}

std::optional<DeployMode> deploy_mode_from_wire_id(std::string_view text) noexcept {
    for (DeployMode mode : {DeployMode::BestEffort, DeployMode::ValidateOnly, DeployMode::AllOrNothing}) {
        if (wire_id(mode) == text) return mode;
    }
    return std::nullopt;
}

std::string_view wire_id(ComponentDeploymentStatus status) noexcept {
    switch (status) {
        case ComponentDeploymentStatus::Succeeded: return "SUCCEEDED";
        case ComponentDeploymentStatus::Failed: return "FAILED";
        case ComponentDeploymentStatus::NotAttempted: return "NOT_ATTEMPTED";
    }
    return "NOT_ATTEMPTED";
}

std::string_view name(ComponentDeploymentStatus status) noexcept {
    switch (status) {
        case ComponentDeploymentStatus::Succeeded: return "Succeeded";
        case ComponentDeploymentStatus::Failed: return "Failed";
        case ComponentDeploymentStatus::NotAttempted: return "NotAttempted";
    }
    return "NotAttempted";
}

std::string_view wire_id(TestCandidateOrigin origin) noexcept {
    return origin == TestCandidateOrigin::Target ? "TARGET" : "SESSION";
}

}  // namespace ambrel::domain
