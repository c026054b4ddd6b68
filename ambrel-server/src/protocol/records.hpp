#pragma once

// The JSON of the records the server sends: component keys and difference rows, orgs, endpoints,
// listed objects and manifests, the metadata type catalogue and its categories, progress events, the
// session log's description, a component's texts, deploy result rows and the org preparation report.
//
// Every object keeps the insertion order of its members, and the order written here is the order on
// the wire. Every listed member is always written (an absent value is null) except the optional
// counts and detail of a progress event and the "remote" of a local branch, which are left out.
// Texts made from paths are converted with invalid byte sequences replaced by U+FFFD.
//
// Thread-safety: pure functions of their arguments; none fails.

#include <map>
#include <set>
#include <span>
#include <vector>

#include "app/comparison_session.hpp"
#include "cli/catalogs/salesforce_object.hpp"
#include "component_source/component_source.hpp"
#include "data/preparation/org_preparation_report.hpp"
#include "dependency/unresolved_dependency.hpp"
#include "domain/component_key.hpp"
#include "domain/deployment.hpp"
#include "domain/difference.hpp"
#include "domain/fls.hpp"
#include "endpoint/deploy_endpoint.hpp"
#include "endpoint/org_alias.hpp"
#include "json/json.hpp"
#include "logging/log_sink.hpp"
#include "progress/progress.hpp"
#include "workflow/workflow_state.hpp"

namespace ambrel::protocol {

using KeyMap = app::RowKeyMap;
using UnresolvedMap = std::map<domain::ComponentKey, std::vector<dependency::UnresolvedDependency>>;

inline constexpr std::string_view kOrgEndpointKind = "org";
inline constexpr std::string_view kGitEndpointKind = "git";
inline constexpr std::string_view kLocalBranchKind = "local";
inline constexpr std::string_view kRemoteBranchKind = "remote";

json::Value component_key_to_value(const domain::ComponentKey& key);
json::Array component_keys_to_value(const std::set<domain::ComponentKey>& keys);

json::Value component_difference_to_value(const domain::ComponentDifference& row, const KeyMap& edges,
                                          const UnresolvedMap& unresolved, const KeyMap& cascades,
                                          bool target_is_org);
json::Value differences_to_value(std::span<const domain::ComponentDifference> rows, const KeyMap& edges,
                                 const UnresolvedMap& unresolved, const KeyMap& cascades, bool target_is_org);

json::Value org_to_value(const endpoint::OrgAlias& org);
json::Value endpoint_to_value(const endpoint::DeployEndpoint& endpoint);
json::Value object_to_value(const cli::catalogs::SalesforceObject& object);
json::Value manifest_to_value(const workflow::ManifestSelection& selection);

// The selectable types: the fixed and generic types of the catalogue, then the record-data types.
json::Value metadata_types_to_value();
// The categories of the selectable types, in category order.
json::Value metadata_categories_to_value();

json::Value progress_to_value(const progress::ProgressEvent& event);
json::Value log_to_value(const logging::LogSink& log);
json::Value component_source_to_value(const component_source::ComponentSource& source);

json::Value component_result_to_value(const domain::ComponentDeploymentResult& result);
json::Value fls_result_to_value(const domain::FlsResult& result);

json::Value org_preparation_to_value(const data::preparation::OrgPreparationReport& report);
json::Value preparation_side_to_value(const data::preparation::OrgPreparationReport& report,
                                      const data::preparation::ObjectPreparation& object,
                                      data::preparation::PreparationSide side);

}  // namespace ambrel::protocol
