#pragma once

// The retries of rejected Profile and PermissionSet rows after a Best Effort deploy to an org. Each
// reads the target's failure text of every rejected row of its type, cuts the user permissions and
// component references the text names out of the row's document, sends the trimmed rows again as one
// package, and merges the outcome into the row's result with a note that lists everything cut: at
// most 3 passes for permission sets and 5 for profiles, each pass only for rows whose text names
// something new.
//
// Nothing is reported from these operations: a failed catalogue fetch, a document that cannot be
// filtered, a failed port call or a package that reached no verdict leave the rows with the results
// they already had. A failed catalogue fetch is not repeated within the call, so a target that cannot
// be described costs one describe per call, not one per row.
//
// Each retried row whose result the retry replaced is recorded in `retried` with the trimmed
// document it sent and the notes its message carries.
//
// The gate: only in a BEST_EFFORT deploy to an org whose summary has `package_completed` set.
// Runs on the deploy's thread; the summary and the catalogue cache belong to that deploy.

#include <map>
#include <string>
#include <vector>

#include "app/application_service.hpp"
#include "app/comparison_session.hpp"
#include "app/deploy_passes.hpp"
#include "app/user_permission_catalogs.hpp"
#include "deployment/deployment_summary.hpp"

namespace ambrel::app {

inline constexpr std::size_t kPermissionSetRetryPasses = 3;
inline constexpr std::size_t kProfileRetryPasses = 5;

// The gate every post-deploy retry tests first.
bool retry_gate_open(const ComparisonSession& session, const deployment::DeploymentSummary& summary,
                     domain::DeployMode mode);

void retry_rejected_permission_sets(const QuillaryApplicationService& service, const ComparisonSession& session,
                                    const std::vector<domain::ComponentDifference>& rows,
                                    deployment::DeploymentSummary& summary, domain::DeployMode mode,
                                    const std::map<domain::ComponentKey, std::string>& pre_deploy_notes,
                                    const std::map<domain::ComponentKey, std::string>& failure_texts,
                                    UserPermissionCatalogs& catalogs, RetriedRows& retried,
                                    const domain::CancellationToken& token);

void retry_rejected_profiles(const QuillaryApplicationService& service, const ComparisonSession& session,
                             const std::vector<domain::ComponentDifference>& rows,
                             deployment::DeploymentSummary& summary, domain::DeployMode mode,
                             const std::map<domain::ComponentKey, std::string>& pre_deploy_notes,
                             const std::map<domain::ComponentKey, std::string>& failure_texts,
                             UserPermissionCatalogs& catalogs, RetriedRows& retried,
                             const domain::CancellationToken& token);

// Sends rows as one retry package: no permissions, no containers, BEST_EFFORT, no tests, the
// session's source endpoint, target org text and API version.
ports::PortResult<deployment::single_package::SinglePackageSummary> send_retry_package(
    const QuillaryApplicationService& service, const ComparisonSession& session,
    const std::vector<domain::ComponentDifference>& rows, const domain::CancellationToken& token);

}  // namespace ambrel::app
