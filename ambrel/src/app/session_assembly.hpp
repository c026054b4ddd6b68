#pragma once

// Session assembly: the steps that turn the retrieved files of a compare into the rows of the review.
// Both assembly operations (members of the application service) read and compare every selected
// type one after the other (at most one type's components of each side are held at a time), apply
// the row policies and then differ: between two orgs they add permission-only rows, decide which
// record rows may be transferred, mark the expression sets a constraint model deploys and warn
// about bundles whose tagging models are missing; with a git side record rows stay blocked. Both
// build the dependency graph, keep the requested rows and the rows they need, and make the session.
//
// The pure steps are here; they never fail and may run on any thread. Texts they set:
//   "{type} deployment is not supported yet."
//   "The target is a production org; turn on «Allow Best Effort against production» in the plugin
//    settings to transfer records there." (one line)
//   "The target org class is not confirmed non-production; records are never transferred there."
//   "Deployed by the Constraint Model row of the same name."
//   "Product bundle {} is tagged by constraint model {}, which is not in this comparison."

#include <string>
#include <string_view>
#include <vector>

#include "app/compare_selection.hpp"
#include "dependency/warnings.hpp"
#include "domain/difference.hpp"
#include "endpoint/deploy_endpoint.hpp"

namespace ambrel::app {

inline constexpr std::string_view kNotSupportedYetFormat = "{} deployment is not supported yet.";
inline constexpr std::string_view kProductionRecordsReason =
    "The target is a production org; turn on «Allow Best Effort against production» in the plugin settings to "
    "transfer records there.";
inline constexpr std::string_view kUnconfirmedRecordsReason =
    "The target org class is not confirmed non-production; records are never transferred there.";
inline constexpr std::string_view kDeployedByModelReason = "Deployed by the Constraint Model row of the same name.";
inline constexpr std::string_view kTaggedByMissingModelFormat =
    "Product bundle {} is tagged by constraint model {}, which is not in this comparison.";
inline constexpr std::string_view kDeveloperEditionType = "Developer Edition";

// An org endpoint that carries only the alias, the username and the org id (kind Other).
endpoint::DeployEndpoint org_endpoint(const std::string& alias, const std::string& username,
                                      const std::string& org_id);

// A permission-only row for every selected name of a permission-carrying type without a parent type
// (CustomObject, PlatformEvent, ApexClass, ApexPage, CustomTab, RecordType) that has no row; when
// any is added, all rows are sorted stably by key.
void synthesize_permission_only_rows(std::vector<domain::ComponentDifference>& rows,
                                     const CompareSelection& working);

// Warns about every model that a bundle row's document names but that has no ConstraintModel row.
void tagged_by_warnings(const std::vector<domain::ComponentDifference>& rows, dependency::WarningList& warnings);

}  // namespace ambrel::app
