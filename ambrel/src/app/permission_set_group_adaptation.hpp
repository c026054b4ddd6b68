#pragma once

// Permission set groups in a deploy. Before the package, every selected group document loses its
// references to permission sets that neither the target has (listed once through the
// `permission_set_name_listing` port, or the git target's documents) nor the package creates. After
// a Best Effort deploy to an org, a group that the target rejected while member permission sets
// failed in this run is sent once more with only the members that exist (the target's listed names
// before the package and those created in this run).
//
// Row failures before the package: "The target's Permission Sets could not be listed: {}" and "Could
// not parse the permission set group document: {}", details sanitised. A cancellation ends the deploy.
// The retry reports nothing: a failed package or one without a verdict leaves the results as they
// were. Runs on the deploy's thread.

#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "app/application_service.hpp"
#include "app/comparison_session.hpp"
#include "app/deploy_passes.hpp"
#include "deployment/deployment_summary.hpp"

namespace ambrel::app {

inline constexpr std::string_view kPermissionSetsUnlisted = "The target's Permission Sets could not be listed: {}";
inline constexpr std::string_view kGroupParseMessage = "Could not parse the permission set group document: {}";
inline constexpr std::string_view kGroupRetriedAlone = "no reference was left out; {} deployed on its own retry in this run.";
inline constexpr std::string_view kGroupMembersAllFailed = "Every referenced Permission Set failed in this deployment.";


UseCaseResult<PermissionSetGroupFiltering> filter_permission_set_groups(const QuillaryApplicationService& service,
                                                                        const ComparisonSession& session,
                                                                        std::vector<domain::ComponentDifference>& rows,
                                                                        const domain::CancellationToken& token);

void retry_rejected_permission_set_groups(const QuillaryApplicationService& service, const ComparisonSession& session,
                                          const std::vector<domain::ComponentDifference>& rows,
                                          deployment::DeploymentSummary& summary, domain::DeployMode mode,
                                          const std::set<std::string>& target_names, RetriedRows& retried,
                                          const domain::CancellationToken& token);

}  // namespace ambrel::app
