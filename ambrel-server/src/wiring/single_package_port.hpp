#pragma once

// The single-package deployment port: a deploy to an org sends the reviewed rows as one metadata
// package. Each call reports "deployingPackage" (no counts), prepares the profile and permission-set
// documents that carry the selected permissions (only when the mode transfers something and something
// is selected; a git source's documents come from its branch, and both sides then run under the target
// name), builds the deploy gateway for the deploy mode and tests (1,860 seconds; VALIDATE_ONLY a dry
// run, BEST_EFFORT ignoring errors), runs `SinglePackageDeployer::run` in the package folder
// "{root}/quillary/single-package-{pid}-{n}" ("force-app" inside it as source folder), then closes the
// preparation's workspace and removes the package folder on every way out once the folder was cleared,
// a thrown programming error included.
//
// The counter n starts at 0 in every process, so a folder of that name may be left over from an
// earlier process with the same id (a crash, a failed removal). Such a folder is removed, without
// following links, before anything is deployed: its files would otherwise be deployed with the new
// package. A folder that cannot be removed fails the call with kind Operation and the I/O error's
// text, and nothing is deployed.
//
// Failures (WorkflowFailure): Validation "This operation requires a Salesforce org endpoint." (an org
// source with a blank username, preparation only); Operation with the workspace location's text, a
// git failure's text (a git source that cannot be read, preparation only), the removal's I/O text, or
// the deployer's text; the synchroniser's mapped failure. Rows that fail inside the deploy are rows
// of the summary, not failures. A failed closing or removal after the deploy is ignored.
//
// The package counter is the only state; it is advanced atomically, so concurrent calls get distinct
// folders. Runs on the caller's thread.

#include <string_view>

#include "wiring/core_port_set.hpp"
#include "wiring/wiring_context.hpp"

namespace ambrel::server::wiring {

inline constexpr std::string_view kPackageFolderFormat = "single-package-{}-{}";
inline constexpr std::string_view kPackageSourceFolder = "force-app";

// The `single_package_deployment` port over the context's gateways, workspace root and progress sink.
PortFunction<&app::ports::CorePorts::single_package_deployment> build_deploy_single_package(
    const WiringContext& context);

}  // namespace ambrel::server::wiring
