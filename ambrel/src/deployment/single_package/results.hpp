#pragma once

// Turns the outcome of one single-package deploy into what the user sees: one result per packaged
// row, one FLS result per pending grant of each container, and the rule that an object and its
// children stand or fall together (the target deploys them as one component). Pure functions; safe
// from any thread.

#include <span>
#include <string_view>
#include <vector>

#include "deployment/deploy_gateway/deploy_result.hpp"
#include "deployment/single_package/prepared_container.hpp"
#include "domain/deployment.hpp"
#include "domain/difference.hpp"
#include "domain/fls.hpp"

namespace ambrel::deployment::single_package {

inline constexpr std::string_view kWouldDeploy = "Component would deploy successfully.";
inline constexpr std::string_view kDeployed = "Component deployed successfully.";
inline constexpr std::string_view kRolledBack =
    "Deployment failed; no components were deployed (transaction rolled back).";
inline constexpr std::string_view kRowUnmatched =
    "Component was not checked or deployed because the target's response included failures that could not be "
    "matched to a specific component.";
inline constexpr std::string_view kContainerUnmatched =
    "Permission container was not checked or deployed because the target's response included failures that "
    "could not be matched to a specific component.";
// A row or container without a failure of its own in a job the target rejected as a whole, followed by
// one space and the reason when there is one.
inline constexpr std::string_view kRejectedWhole = "Not deployed: the deployment failed.";
inline constexpr std::string_view kPermissionDeployed = "Permission metadata deployed successfully.";
inline constexpr std::string_view kObjectChildren =
    "{}: Salesforce deploys an object and its children as one component and rejected {}{}: {}";
inline constexpr std::string_view kMoreMembers = " (and {} more)";
inline constexpr std::string_view kWouldNotDeploy = "Would not deploy";
inline constexpr std::string_view kNotDeployed = "Not deployed";

// The row's Metadata API type name and its full name unchanged.
deploy_gateway::MetadataComponentKey expected_metadata_key(const domain::ComponentDifference& row);

// One result per packaged row, in the same order.
std::vector<domain::ComponentDeploymentResult> map_metadata_results(
    std::span<const domain::ComponentDifference* const> rows, const deploy_gateway::MetadataDeployResult& result,
    domain::DeployMode mode);

// Marks the succeeded object-scoped rows of an object that has a rejected member.
void apply_object_children_share_one_component(std::span<const domain::ComponentDifference* const> rows,
                                               std::vector<domain::ComponentDeploymentResult>& results,
                                               const deploy_gateway::KeyedFailures& failures, domain::DeployMode mode);

// One FLS result per pending grant of each container, in order.
std::vector<domain::FlsResult> map_container_results(std::span<const PreparedFlsContainer> containers,
                                                     const deploy_gateway::MetadataDeployResult& result,
                                                     domain::DeployMode mode);

}  // namespace ambrel::deployment::single_package
