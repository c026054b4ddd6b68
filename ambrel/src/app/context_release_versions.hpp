#pragma once

// The release version rewrite of a deploy to an org: every selected ContextDefinition document whose
// release version is higher than the target's is rewritten down to the target's value (that of the
// target's own copy of the definition, or, without one, the highest among the target's copies of
// the compared definitions), with the note "Release version {} rewritten to the target's {}.".
// The target's copies are read from the retrieve workspace only through the type's edited document
// path, refused unless it is a safe relative path, without following a link at the file and only as
// a regular file.
//
// A package document that cannot be read fails its row with "Could not parse the context definition
// document: {}" (sanitised). The token is checked once, before the target's copies are read.
// Runs on the deploy's thread.

#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "app/application_service.hpp"
#include "app/comparison_session.hpp"
#include "app/deploy_passes.hpp"
#include "deployment/deployment_summary.hpp"

namespace ambrel::app {

inline constexpr std::string_view kReleaseVersionNote = "Release version {} rewritten to the target's {}.";


UseCaseResult<ContextReleaseVersionFiltering> filter_context_release_versions(
    const QuillaryApplicationService& service, const ComparisonSession& session,
    std::vector<domain::ComponentDifference>& rows, const domain::CancellationToken& token);

}  // namespace ambrel::app
