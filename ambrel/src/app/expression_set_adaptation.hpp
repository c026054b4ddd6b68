#pragma once

// The expression set steps of a deploy to an org, the last two before the package:
// - the version status rewrite (Best Effort only, to a non-production target or a production one
//   that allows Best Effort): an ExpressionSetDefinitionVersion sent as Active while the target runs
//   another version of its definition as active goes as Inactive, and a pending activation tells the
//   deploy to switch the active version afterwards; each definition is listed at most once per
//   deploy (a failed listing is remembered as a note, not asked again);
// - the definition shells and release-gated tags: an added ExpressionSetDefinition whose versions
//   travel as rows of their own goes without its nested versions, and elements the org accepts only
//   from API version 68.0 on are cut when the comparison's API version is lower.
//
// Row failures: "The Expression Set Definition Version document could not be read: {}." and "The {}
// document of {} could not be read: {}.", details sanitised. A cancellation, seen before a listing
// or reported by the port, ends the deploy. Runs on the deploy's thread.

#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "app/application_service.hpp"
#include "app/comparison_session.hpp"
#include "app/deploy_passes.hpp"
#include "deployment/deployment_summary.hpp"

namespace ambrel::app {

inline constexpr std::string_view kVersionUnreadable = "The Expression Set Definition Version document could not be read: {}.";
inline constexpr std::string_view kStatusRewritten = "Status Active rewritten to Inactive: the target runs {} as active.";
inline constexpr std::string_view kStatusNoDefinition = "Status left as it is: the document names no expression set definition.";
inline constexpr std::string_view kStatusInvalidName = "Status left as it is: the definition name is not a valid API name.";
inline constexpr std::string_view kStatusListingFailed =
    "Status left as it is: the target's active version could not be read ({}).";
inline constexpr std::string_view kStatusSeveralActive = "Status left as it is: the target lists {} active versions of {}.";
inline constexpr std::string_view kShellNote = "Sent as a shell without its {} nested version(s); version rows in this package: {}";
inline constexpr std::string_view kShellOthers = "; {} nested version(s) not in this package: {}.";
inline constexpr std::string_view kGatedTagNote =
    "{} {} left out: the comparison's API version {} is below {}.{}, the lowest measured to accept it.";
inline constexpr std::string_view kGatedFailure = "The {} document of {} could not be read: {}.";
// The first API version known to accept the release-gated tags.
inline constexpr unsigned kReleaseGateMajor = 68;
inline constexpr unsigned kReleaseGateMinor = 0;




UseCaseResult<ExpressionSetVersionStatusFiltering> filter_expression_set_version_status(
    const QuillaryApplicationService& service, const ComparisonSession& session,
    std::vector<domain::ComponentDifference>& rows, domain::DeployMode mode, const domain::CancellationToken& token);

ExpressionSetDefinitionFiltering filter_expression_set_definitions(const ports::CorePorts& sanitizer,
                                                                   const ComparisonSession& session,
                                                                   std::vector<domain::ComponentDifference>& rows);

std::string release_gated_failure_text(const ports::CorePorts& sanitizer, const domain::ComponentKey& key,
                                       std::string_view error);

}  // namespace ambrel::app
