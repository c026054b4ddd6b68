#pragma once

// Deploys a selection of comparison rows to a target org as one metadata package: checks the rows,
// writes one temporary SFDX project (the rows' snapshots, placeholders for added objects, the
// prepared permission containers), runs exactly one deploy through the gateway and maps the outcome
// to one result per row and one FLS result per pending grant. It never writes into a project folder
// that already exists, and never removes the project: the caller does.
//
// Messages returned (nothing deployed): "The temporary package folder {} already exists; nothing was
// deployed.", "Component API names must not be blank: {}", "Component API names are invalid: {}",
// "Namespaced components cannot be deployed: {}" (each with the row's full name), the project file's
// errors ("Could not create project root", "Could not write sfdx-project.json"), a placeholder's
// message outside Best Effort, any message of the package writer, "Permission container destination
// path is not a safe relative path", "Permission destination has no parent", "Permission container
// destination already exists in the package workspace", the refusal of a container name and the
// operating system's text of an I/O error. Broken caller guarantees (blank target org, a row that
// cannot deploy as metadata, duplicate keys) throw `support::ProgrammingError`.
//
// Borrows the gateway, which must outlive it. Runs on the caller's thread and blocks for the deploy.

#include <expected>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "deployment/deploy_gateway/gateway.hpp"
#include "deployment/single_package/prepared_container.hpp"
#include "deployment/single_package/summary.hpp"
#include "domain/cancellation.hpp"
#include "domain/deployment.hpp"
#include "domain/difference.hpp"

namespace ambrel::deployment::single_package {

inline constexpr std::string_view kApiNamePattern = "^[A-Za-z][A-Za-z0-9_]*$";
inline constexpr std::string_view kFolderExists = "The temporary package folder {} already exists; nothing was deployed.";
inline constexpr std::string_view kBlankNames = "Component API names must not be blank";
inline constexpr std::string_view kInvalidNames = "Component API names are invalid";
inline constexpr std::string_view kNamespaced = "Namespaced components cannot be deployed";
inline constexpr std::string_view kBlankTarget = "Target Salesforce alias must not be blank";
inline constexpr std::string_view kCannotDeploy = "{} cannot be deployed as metadata: {}";
inline constexpr std::string_view kDuplicateKeys = "Duplicate component keys cannot be deployed";
inline constexpr std::string_view kContainerFailed =
    "Temporary permission deployment workspace, packaging, or deployment failed.";
inline constexpr std::string_view kContainerUnsafe = "Permission container destination path is not a safe relative path";
inline constexpr std::string_view kContainerNoParent = "Permission destination has no parent";
inline constexpr std::string_view kContainerExists =
    "Permission container destination already exists in the package workspace";

struct SinglePackageRun {
    std::vector<domain::ComponentDifference> rows;
    std::vector<PreparedFlsContainer> containers;
    // Decided before the deploy; they lead the summary's FLS results.
    std::vector<domain::FlsResult> fls_results;
    // The project's "force-app" folder.
    std::filesystem::path package_dir;
    std::filesystem::path project_root;
    // Passed to "--target-org" as given.
    std::string target_org;
    domain::DeployMode mode = domain::DeployMode::BestEffort;
    std::string api_version;
};

class SinglePackageDeployer {
public:
    explicit SinglePackageDeployer(deploy_gateway::MetadataDeployGateway& gateway) : gateway_(gateway) {}

    std::expected<SinglePackageSummary, std::string> run(const SinglePackageRun& request,
                                                         const domain::CancellationToken& token);

private:
    deploy_gateway::MetadataDeployGateway& gateway_;
};

}  // namespace ambrel::deployment::single_package
