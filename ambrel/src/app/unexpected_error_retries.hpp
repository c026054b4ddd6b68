#pragma once

// The last retries of a Best Effort deploy to an org: rows rejected only with "An unexpected error
// occurred." are sent again together, without the rows the target rejected for a named reason, and
// then, when the session's retry-rows-alone setting is on, each one that still fails that way alone;
// with the setting off such a row's message tells the user how to turn it on.
//
// A row goes out with the document it last went out with (the trimmed one of its own earlier retry,
// never the one the target refused) and its new message keeps the notes the row carried (`retried`).
// A failed port call or a package without a verdict is reported nowhere: the rows keep their
// results. The isolated retry checks the token before each single-row package.
// Runs on the deploy's thread; everything it changes is in the summary passed to it.

#include <cstddef>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "app/application_service.hpp"
#include "app/comparison_session.hpp"
#include "app/deploy_passes.hpp"
#include "deployment/deployment_summary.hpp"

namespace ambrel::app {

inline constexpr std::string_view kUnexpectedErrorMarker = "An unexpected error occurred.";
inline constexpr std::string_view kGroupRetryOutcome =
    "Retried without the components the target gave a specific reason for, after Salesforce unexpected error.";
inline constexpr std::string_view kAloneRetryOutcome = "Retried alone, after Salesforce unexpected error.";
inline constexpr std::string_view kRetryAloneAdvice =
    "Turn on Retry rows alone after a Salesforce unexpected error in the Quillary settings and compare again to "
    "send such a row on its own.";

// The text without trailing white space, a "." unless it ends with ".", "!" or "?", one blank and
// the outcome; the outcome alone for a blank text.
std::string suffixed_retry_outcome(std::string_view text, std::string_view outcome);

// Returns the number of rows sent in the group retry (0 when nothing was sent).
std::size_t retry_unexpected_errors(const QuillaryApplicationService& service, const ComparisonSession& session,
                                    const std::vector<domain::ComponentDifference>& rows,
                                    deployment::DeploymentSummary& summary, domain::DeployMode mode,
                                    const std::map<domain::ComponentKey, std::string>& messages,
                                    const RetriedRows& retried, const domain::CancellationToken& token);

void retry_unexpected_errors_isolated(const QuillaryApplicationService& service, const ComparisonSession& session,
                                      const std::vector<domain::ComponentDifference>& rows,
                                      deployment::DeploymentSummary& summary, domain::DeployMode mode,
                                      std::size_t group_count, const RetriedRows& retried,
                                      const domain::CancellationToken& token);

}  // namespace ambrel::app
