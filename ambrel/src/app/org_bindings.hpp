#pragma once

// What a deploy checks and gathers about the session's orgs and permissions.
//
// `validate_session_org_binding` holds when exactly one listed alias equals the recorded alias byte for
// byte and it carries the recorded org id and username (each compared without surrounding white space
// and ignoring ASCII letter case, the org id first); otherwise it fails with kind Validation and "{side}
// Salesforce alias no longer resolves to the reviewed org. Run Compare Fields again.".
// `associate_selected_permissions` gathers the permission subjects of rows: a duplicate field key
// ("Duplicate selected field key: {object}.{field}") or subject ("Duplicate selected permission subject:
// {name}") is a programming error. `deploying_container_pairs` gives the permission sets, then the
// profiles, that the selection deploys as metadata rows. `fls_result_order` orders permission results
// by container kind word, lower-cased name, name, then subject. Pure functions.

#include <compare>
#include <expected>
#include <set>
#include <string_view>
#include <vector>

#include "app/compare_selection.hpp"
#include "app/ports/port_result.hpp"
#include "app/workflow_failure.hpp"
#include "domain/difference.hpp"
#include "domain/fls.hpp"
#include "endpoint/org_alias.hpp"

namespace ambrel::app {

class ComparisonSession;

inline constexpr std::string_view kSourceSideLabel = "Source";
inline constexpr std::string_view kTargetSideLabel = "Target";
// The assertion texts of `associate_selected_permissions` for rows that share a subject.
inline constexpr std::string_view kDuplicateSelectedField = "Duplicate selected field key: {}.{}";
inline constexpr std::string_view kDuplicateSelectedSubject = "Duplicate selected permission subject: {}";

std::expected<void, WorkflowFailure> validate_session_org_binding(std::string_view side_label,
                                                                  std::string_view recorded_alias,
                                                                  std::string_view recorded_username,
                                                                  std::string_view recorded_org_id,
                                                                  const std::vector<endpoint::OrgAlias>& aliases);

domain::SelectedPermissions associate_selected_permissions(const std::vector<domain::ComponentDifference>& rows);

std::vector<ports::ContainerKey> deploying_container_names(const std::vector<domain::ComponentDifference>& rows,
                                                           metadata_types::MetadataType type,
                                                           domain::FlsContainerKind kind,
                                                           const SelectedKeys& selected);

std::set<ports::ContainerKey> deploying_container_pairs(const ComparisonSession& session, const SelectedKeys& selected);

std::weak_ordering fls_result_order(const domain::FlsResult& left, const domain::FlsResult& right);
// A stable sort by `fls_result_order`, each result's keys computed once.
void sort_fls_results(std::vector<domain::FlsResult>& results);

}  // namespace ambrel::app
