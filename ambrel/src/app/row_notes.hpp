#pragma once

// The small rules that the pre-deploy adaptation steps and the post-deploy retries share: which rows
// take part in a step, how a row that a step cannot adapt leaves the package with a failed result,
// how a note is added to a row's message, how a list of names is capped in a note, and the exact
// note phrases that other code searches for in result messages (keep them byte for byte).
//
// Pure functions over plain values; safe from any thread.

#include <cstddef>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "app/deploy_details.hpp"
#include "deployment/deployment_summary.hpp"
#include "domain/deployment.hpp"
#include "domain/difference.hpp"
#include "metadata_types/metadata_type.hpp"

namespace ambrel::app {

// Retry note phrases; the session log and the permission set group retry find them in messages.
inline constexpr std::string_view kProfileRetryPhrase = "Retry of this Profile without the reference(s) the target named";
inline constexpr std::string_view kPermissionSetRetryPhrase =
    "Retry of this Permission Set without the reference(s) the target named";
inline constexpr std::string_view kPermissionSetGroupRetryPhrase =
    "Retried this Permission Set Group without the Permission Set(s) that did not deploy in this run";
inline constexpr std::string_view kContextDefinitionRetryPhrase =
    "Retry of this Context Definition without the references that did not deploy in this run or that the target "
    "named";

// A row's key is of `type` and the row deploys metadata: deployable, changed, scope FULL or
// TRACKING_ONLY. `include_edited` lets rows whose document the user edited take part.
bool deploys_metadata(const domain::ComponentDifference& row, bool include_edited);
// A row of `type` that takes part in a pre-deploy step: deploys metadata and is not edited.
bool takes_part(const domain::ComponentDifference& row, metadata_types::MetadataType type);

// The row's failed result: its key, its change kind as the operation, FAILED and the message.
domain::ComponentDeploymentResult profile_failure(const domain::ComponentDifference& row, std::string message);

// Appends a failed result per row whose key is in `keys` (in row order) and removes those rows. The
// row's type is not checked.
void fail_profile_rows(std::vector<domain::ComponentDeploymentResult>& failed,
                       std::vector<domain::ComponentDifference>& rows, const std::set<domain::ComponentKey>& keys,
                       std::string message);
void fail_permission_set_rows(std::vector<domain::ComponentDeploymentResult>& failed,
                              std::vector<domain::ComponentDifference>& rows,
                              const std::set<domain::ComponentKey>& keys, std::string message);
// Removes the rows whose key is in `keys`, keeping the others in order.
void remove_rows(std::vector<domain::ComponentDifference>& rows, const std::set<domain::ComponentKey>& keys);

// The first ten names joined with ", ", and "... and {} more" for the rest.
std::string capped_names(const std::vector<std::string>& names);

// The first result with the key (and, when given, the status); null when none.
domain::ComponentDeploymentResult* first_result(deployment::DeploymentSummary& summary, const domain::ComponentKey& key,
                                                std::optional<domain::ComponentDeploymentStatus> status);
// Each key's result in a package's results; for a key given twice the later one counts.
std::map<domain::ComponentKey, const domain::ComponentDeploymentResult*> results_by_key(
    const std::vector<domain::ComponentDeploymentResult>& results);

}  // namespace ambrel::app
