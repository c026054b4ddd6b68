#pragma once

// Deploys every prepared permission document of one field-level-security transfer and reports one
// outcome per document. Everything is tried as one batch first; a batch whose deploy reports
// failures of single components is split in two halves that are deployed again, recursively, until
// each rejected document stands alone with Salesforce's own message while all others deploy. Any
// other failure (the batch deployer's or the gateway's own, a cancellation) stops the run: that
// batch's documents fail with its message and every document not yet settled is reported as not
// attempted. A transfer whose documents are all accepted costs one deploy; n documents cost at most
// 2n - 1 deploys.
//
// Messages: "Permission metadata deployed successfully.", "Not attempted because permission
// deployment was cancelled before this batch started.", "Not attempted because permission
// deployment stopped after a fatal failure.", "Permission metadata component was not attempted.".
// A blank alias ("Target Salesforce alias must not be blank") and two documents with one key
// ("Duplicate permission metadata component keys cannot be deployed") are caller faults that throw
// support::ProgrammingError.
//
// Borrows the batch deployer, which must outlive it. Runs on the calling thread.

#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <string_view>

#include "deployment/permission_batch/batch_deployer.hpp"

namespace ambrel::deployment::fls_orchestrator {

using metadata::permission_models::PermissionComponentKey;
using metadata::permission_models::PreparedPermissionComponent;

inline constexpr std::string_view kDeployedMessage = "Permission metadata deployed successfully.";
inline constexpr std::string_view kCancelledBeforeBatch =
    "Not attempted because permission deployment was cancelled before this batch started.";
inline constexpr std::string_view kStoppedAfterFatal =
    "Not attempted because permission deployment stopped after a fatal failure.";
inline constexpr std::string_view kNeverReached = "Permission metadata component was not attempted.";
inline constexpr std::string_view kBlankTargetAliasPrecondition = "Target Salesforce alias must not be blank";
inline constexpr std::string_view kDuplicateKeys = "Duplicate permission metadata component keys cannot be deployed";

enum class FlsComponentDeployStatus : std::uint8_t { Deployed, Failed, NotAttempted };

struct FlsComponentDeployState {
    FlsComponentDeployStatus status = FlsComponentDeployStatus::NotAttempted;
    std::string message;
    friend bool operator==(const FlsComponentDeployState&, const FlsComponentDeployState&) = default;
};

using DeployStates = std::map<PermissionComponentKey, FlsComponentDeployState>;

class FlsDeploymentOrchestrator {
public:
    explicit FlsDeploymentOrchestrator(permission_batch::PermissionComponentBatchDeployer& deployer)
        : deployer_(&deployer) {}

    // One state per component, ordered by key.
    DeployStates deploy(std::span<const PreparedPermissionComponent> components, const std::string& target_alias,
                        const domain::CancellationToken& token) const;

private:
    permission_batch::PermissionComponentBatchDeployer* deployer_;
};

}  // namespace ambrel::deployment::fls_orchestrator
