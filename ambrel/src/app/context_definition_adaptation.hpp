#pragma once

// ContextDefinition documents in a deploy between two orgs. Before the package, each selected
// definition loses the node mappings and hydration chains whose object or field the source org lists
// and the target does not (the package's own objects and fields count as listed by the target); the
// object-field listing is asked once per org for the union of the rows' objects. After a Best Effort
// deploy, a definition is filtered again from its unfiltered document, now also without the objects
// and fields that failed to be created in this run or that the target's rejection names, and sent
// again, for at most three passes.
//
// Row failures before the package: "Could not parse the context definition document: {}" and "The
// org's object fields could not be listed: {}", details sanitised; a cancellation ends the deploy.
// The retry reports nothing as a failure: a rejected retry of a row that had succeeded is noted in
// its message, with its status kept. Runs on the deploy's thread.

#include <cstddef>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "app/application_service.hpp"
#include "app/comparison_session.hpp"
#include "app/deploy_passes.hpp"
#include "cli/schema_catalog.hpp"
#include "deployment/deployment_summary.hpp"
#include "metadata/context_definition_filter/context_definition_filter.hpp"

namespace ambrel::app {

inline constexpr std::string_view kContextParseMessage = "Could not parse the context definition document: {}";
inline constexpr std::string_view kOrgObjectFieldsUnlisted = "The org's object fields could not be listed: {}";
inline constexpr std::string_view kRetryWasRejected = "was rejected";
inline constexpr std::string_view kRetryUnreachable = "could not reach the target";
inline constexpr std::string_view kNothingMoreLeftOut =
    "Every reference that did not deploy in this run or that the target named was already absent from this document.";
inline constexpr std::size_t kContextRetryPasses = 3;


// The objects and (object, field) pairs that the package's own FULL, changed, deployable rows bring.
cli::SchemaListing schema_known_to_package(const std::vector<domain::ComponentDifference>& rows);

ContextDefinitionFiltering filter_context_definition_rows(
    std::vector<domain::ComponentDifference>& rows, metadata_types::MetadataType context_definition_type,
    const cli::SchemaListing& source, const cli::SchemaListing& target,
    const metadata::context_definition_filter::ExplicitOmissions& omissions, const ports::CorePorts& sanitizer);

UseCaseResult<ContextDefinitionFiltering> filter_context_definitions(const QuillaryApplicationService& service,
                                                                     const ComparisonSession& session,
                                                                     std::vector<domain::ComponentDifference>& rows,
                                                                     const domain::CancellationToken& token);

// Whether `word` occurs in `text` as a whole word (not inside a longer name); with `not_member` not
// as the object of "object.member", with `not_qualified` not as the member of "object.member".
bool matches_as_word(std::string_view text, std::string_view word, bool not_member, bool not_qualified);

// Appends "{retry note} {outcome}: {detail}" to the result's message; status and operation stay.
void note_a_rejected_retry_of_a_succeeded_row(domain::ComponentDeploymentResult& result, std::string_view outcome,
                                              std::string_view detail);

void retry_rejected_context_definitions(const QuillaryApplicationService& service, const ComparisonSession& session,
                                        const std::vector<domain::ComponentDifference>& rows,
                                        deployment::DeploymentSummary& summary, domain::DeployMode mode,
                                        const cli::SchemaListing& source, const cli::SchemaListing& target,
                                        const std::map<domain::ComponentKey, std::string>& previous_documents,
                                        const std::map<domain::ComponentKey, std::string>& messages,
                                        const std::map<domain::ComponentKey, std::string>& release_notes,
                                        RetriedRows& retried_rows, const domain::CancellationToken& token);

}  // namespace ambrel::app
