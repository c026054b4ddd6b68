#pragma once

// DeployAdaptation: the one replaceable group through which the deploy reaches the adaptation of its
// documents to the target, pass by pass, the retries of rejected rows after the package, and the three
// document helpers of the package run and the model expansion (the version plan of an expression set
// definition, the tracking splice of a target field document, the constraint model reader). Each pass
// works over the whole selection: it rewrites the documents it adapts, removes the rows it fails and
// returns its record; the deploy use case decides only when a pass runs and what follows from its
// record.
//
// `standard()` binds the adaptation functions of this folder and the bundle document reader; a
// service without a group of its own uses it. A pass fails only with a cancellation or with what the
// port it asked returned (see the adaptation headers for their row failures and notes); the retries
// report nothing; the document helpers fail with their reader's text.
//
// Stateless: every operation may be called from several threads at once.

#include <cstddef>
#include <expected>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "app/deploy_passes.hpp"
#include "app/ports/core_ports.hpp"
#include "app/ports/port_result.hpp"
#include "app/user_permission_catalogs.hpp"
#include "cli/schema_catalog.hpp"
#include "data/bundles/document/model_document.hpp"
#include "deployment/deployment_summary.hpp"
#include "domain/cancellation.hpp"
#include "domain/deployment.hpp"
#include "domain/difference.hpp"
#include "metadata/expression_set_definition_versions/expression_set_definition_versions.hpp"

namespace ambrel::app {
class ComparisonSession;
class QuillaryApplicationService;
}  // namespace ambrel::app

namespace ambrel::app::ports {

using Rows = std::vector<domain::ComponentDifference>;

class DeployAdaptation {
public:
    virtual ~DeployAdaptation() = default;

    // Passes before the package, in the order the deploy runs them.
    virtual PortResult<PermissionSetGroupFiltering> filter_permission_set_groups(
        const QuillaryApplicationService& service, const ComparisonSession& session, Rows& rows,
        const domain::CancellationToken& token) const = 0;
    virtual PortResult<ContextReleaseVersionFiltering> filter_context_release_versions(
        const QuillaryApplicationService& service, const ComparisonSession& session, Rows& rows,
        const domain::CancellationToken& token) const = 0;
    virtual PortResult<ContextDefinitionFiltering> filter_context_definitions(
        const QuillaryApplicationService& service, const ComparisonSession& session, Rows& rows,
        const domain::CancellationToken& token) const = 0;
    virtual PortResult<ProfileFiltering> filter_permission_sets(const QuillaryApplicationService& service,
                                                                const ComparisonSession& session, Rows& rows,
                                                                UserPermissionCatalogs& catalogs,
                                                                const domain::CancellationToken& token) const = 0;
    virtual PortResult<ProfileFiltering> filter_profiles(const QuillaryApplicationService& service,
                                                         const ComparisonSession& session, Rows& rows,
                                                         UserPermissionCatalogs& catalogs,
                                                         const domain::CancellationToken& token) const = 0;
    virtual PortResult<ExpressionSetVersionStatusFiltering> filter_expression_set_version_status(
        const QuillaryApplicationService& service, const ComparisonSession& session, Rows& rows,
        domain::DeployMode mode, const domain::CancellationToken& token) const = 0;
    virtual ExpressionSetDefinitionFiltering filter_expression_set_definitions(const CorePorts& sanitizer,
                                                                              const ComparisonSession& session,
                                                                              Rows& rows) const = 0;

    // Retries after the package; each returns at once unless the mode is Best Effort, the target an
    // org and the package completed. The retries of rejected rows record in `retried` what each row
    // went out with and the notes it carries; the unexpected-error retries send and keep those.
    virtual void retry_rejected_permission_sets(const QuillaryApplicationService& service,
                                                const ComparisonSession& session, const Rows& rows,
                                                deployment::DeploymentSummary& summary, domain::DeployMode mode,
                                                const RowNotes& pre_deploy_notes, const MessageSnapshot& failure_texts,
                                                UserPermissionCatalogs& catalogs, RetriedRows& retried,
                                                const domain::CancellationToken& token) const = 0;
    virtual void retry_rejected_profiles(const QuillaryApplicationService& service, const ComparisonSession& session,
                                         const Rows& rows, deployment::DeploymentSummary& summary,
                                         domain::DeployMode mode, const RowNotes& pre_deploy_notes,
                                         const MessageSnapshot& failure_texts, UserPermissionCatalogs& catalogs,
                                         RetriedRows& retried, const domain::CancellationToken& token) const = 0;
    // `target_names` are the names the target listed before the package.
    virtual void retry_rejected_permission_set_groups(const QuillaryApplicationService& service,
                                                      const ComparisonSession& session, const Rows& rows,
                                                      deployment::DeploymentSummary& summary, domain::DeployMode mode,
                                                      const std::set<std::string>& target_names, RetriedRows& retried,
                                                      const domain::CancellationToken& token) const = 0;
    virtual void retry_rejected_context_definitions(
        const QuillaryApplicationService& service, const ComparisonSession& session, const Rows& rows,
        deployment::DeploymentSummary& summary, domain::DeployMode mode, const cli::SchemaListing& source_listing,
        const cli::SchemaListing& target_listing, const std::map<domain::ComponentKey, std::string>& documents,
        const MessageSnapshot& messages, const RowNotes& release_notes, RetriedRows& retried,
        const domain::CancellationToken& token) const = 0;
    // The number of rows sent again (0 when nothing was sent).
    virtual std::size_t retry_unexpected_errors(const QuillaryApplicationService& service,
                                                const ComparisonSession& session, const Rows& rows,
                                                deployment::DeploymentSummary& summary, domain::DeployMode mode,
                                                const MessageSnapshot& messages, const RetriedRows& retried,
                                                const domain::CancellationToken& token) const = 0;
    virtual void retry_unexpected_errors_isolated(const QuillaryApplicationService& service,
                                                  const ComparisonSession& session, const Rows& rows,
                                                  deployment::DeploymentSummary& summary, domain::DeployMode mode,
                                                  std::size_t group_count, const RetriedRows& retried,
                                                  const domain::CancellationToken& token) const = 0;

    // Document helpers.
    virtual std::expected<metadata::expression_set_definition_versions::PlannedVersions, std::string>
    plan_package_versions(std::string_view document, const std::set<std::string>& active_names) const = 0;
    virtual std::expected<std::string, std::string> splice_tracking(std::string_view document, bool track_history,
                                                                    bool track_feed_history) const = 0;
    virtual std::expected<data::bundles::document::ModelDocument, std::string> parse_model_document(
        std::string_view document) const = 0;

    static std::shared_ptr<const DeployAdaptation> standard();
};

}  // namespace ambrel::app::ports
