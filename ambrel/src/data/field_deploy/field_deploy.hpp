#pragma once

// Creates the own external-id field `QuillaryExternalId__c` on a list of objects of one org and grants
// one profile read and edit access to it: writes a small SFDX source package into a project folder
// ("sfdx-project.json", "force-app/objects/{object}/fields/QuillaryExternalId__c.field-meta.xml" per
// object, "force-app/profiles/{profile}.profile-meta.xml") and deploys it through the metadata deploy
// gateway. Every package path is checked before anything is written; a force-app folder left by an
// earlier run is removed first.
//
// Failures (texts):
// - "Salesforce metadata deployment was cancelled." (before writing, and before deploying)
// - "Could not resolve the profile of the signed-in user, so the external ID field would have been
//   created without access to it. Nothing was changed in this org."
// - "Preparation package destination path is not a safe relative path. Offending path: {}" (the path
//   with control characters shown as blanks)
// - "The external ID field package could not be written on this machine." (the system error is not
//   shown)
// - "The external ID field could not be created in this org. {}" with the gateway's detail (control
//   characters shown as blanks, trimmed), or without it when the detail is blank.
//
// Thread-safety: one deploy at a time per deployer (the gateway records per-deploy values).

#include <expected>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "deployment/deploy_gateway/gateway.hpp"
#include "domain/cancellation.hpp"

namespace ambrel::data::field_deploy {

inline constexpr std::string_view kMissingProfile =
    "Could not resolve the profile of the signed-in user, so the external ID field would have been created without "
    "access to it. Nothing was changed in this org.";
inline constexpr std::string_view kUnsafePath = "Preparation package destination path is not a safe relative path.";
inline constexpr std::string_view kPackagingFailure = "The external ID field package could not be written on this machine.";
inline constexpr std::string_view kCreationFailure = "The external ID field could not be created in this org.";
inline constexpr std::string_view kPackageFolder = "force-app";
inline constexpr std::string_view kCustomFieldType = "CustomField";
inline constexpr std::string_view kProfileType = "Profile";

// The path when it is a safe relative path, else "{kUnsafePath} Offending path: {path shown}".
std::expected<std::string, std::string> checked_relative_path(std::string_view path);

// "The external ID field package could not be written on this machine."
std::string packaging_failure();

// "The external ID field could not be created in this org. {detail}" (the detail trimmed), or the
// sentence alone when the detail is blank.
std::string preparation_failure(std::string_view detail);

// Every control character (U+0000–U+001F, U+007F–U+009F) shown as one blank.
std::string sanitize_for_display(std::string_view text);

// Writes the package below `project_root` (absolute and normalised): the project manifest, a fresh
// force-app folder, one CustomField file per object and the Profile file. The relative paths (below
// force-app) must have been checked.
std::expected<void, std::string> write_package(const std::filesystem::path& project_root,
                                               const std::vector<std::string>& object_paths,
                                               const std::vector<std::string>& objects, std::string_view profile_path,
                                               std::string_view api_version);

// Borrows the deploy gateway, which must outlive it.
class PreparationFieldDeployer {
public:
    explicit PreparationFieldDeployer(deployment::deploy_gateway::MetadataDeployGateway& gateway) noexcept
        : gateway_(&gateway) {}

    std::expected<void, std::string> deploy(const std::filesystem::path& project_root, std::string_view alias,
                                            const std::vector<std::string>& objects,
                                            const std::optional<std::string>& profile, std::string_view api_version,
                                            const domain::CancellationToken& cancel);

private:
    deployment::deploy_gateway::MetadataDeployGateway* gateway_;
};

}  // namespace ambrel::data::field_deploy
