#include "app/ports/deploy_adaptation.hpp"

#include <memory>
#include <utility>

#include "app/context_definition_adaptation.hpp"
#include "app/context_release_versions.hpp"
#include "app/expression_set_adaptation.hpp"
#include "app/permission_retries.hpp"
#include "app/permission_set_group_adaptation.hpp"
#include "app/profile_adaptation.hpp"
#include "app/unexpected_error_retries.hpp"
#include "metadata/tracking_merger/tracking_merger.hpp"

namespace ambrel::app::ports {

namespace {

// Each operation is the adaptation function of the same name.
class StandardAdaptation final : public DeployAdaptation {
public:
    PortResult<PermissionSetGroupFiltering> filter_permission_set_groups(
        const QuillaryApplicationService& service, const ComparisonSession& session, Rows& rows,
        const domain::CancellationToken& token) const override {
        return app::filter_permission_set_groups(service, session, rows, token);
    }
    PortResult<ContextReleaseVersionFiltering> filter_context_release_versions(
        const QuillaryApplicationService& service, const ComparisonSession& session, Rows& rows,
        const domain::CancellationToken& token) const override {
        return app::filter_context_release_versions(service, session, rows, token);
    }
    PortResult<ContextDefinitionFiltering> filter_context_definitions(const QuillaryApplicationService& service,
                                                                      const ComparisonSession& session, Rows& rows,
                                                                      const domain::CancellationToken& token) const override {
        return app::filter_context_definitions(service, session, rows, token);
    }
    PortResult<ProfileFiltering> filter_permission_sets(const QuillaryApplicationService& service,
                                                        const ComparisonSession& session, Rows& rows,
                                                        UserPermissionCatalogs& catalogs,
                                                        const domain::CancellationToken& token) const override {
        return app::filter_permission_sets(service, session, rows, catalogs, token);
    }
    PortResult<ProfileFiltering> filter_profiles(const QuillaryApplicationService& service,
                                                 const ComparisonSession& session, Rows& rows,
                                                 UserPermissionCatalogs& catalogs,
                                                 const domain::CancellationToken& token) const override {
        return app::filter_profiles(service, session, rows, catalogs, token);
    }
    PortResult<ExpressionSetVersionStatusFiltering> filter_expression_set_version_status(
        const QuillaryApplicationService& service, const ComparisonSession& session, Rows& rows,
        domain::DeployMode mode, const domain::CancellationToken& token) const override {
        return app::filter_expression_set_version_status(service, session, rows, mode, token);
    }
    ExpressionSetDefinitionFiltering filter_expression_set_definitions(const CorePorts& sanitizer,
                                                                      const ComparisonSession& session,
                                                                      Rows& rows) const override {
        return app::filter_expression_set_definitions(sanitizer, session, rows);
    }

    void retry_rejected_permission_sets(const QuillaryApplicationService& service, const ComparisonSession& session,
                                        const Rows& rows, deployment::DeploymentSummary& summary,
                                        domain::DeployMode mode, const RowNotes& pre_deploy_notes,
                                        const MessageSnapshot& failure_texts, UserPermissionCatalogs& catalogs,
                                        RetriedRows& retried, const domain::CancellationToken& token) const override {
        app::retry_rejected_permission_sets(service, session, rows, summary, mode, pre_deploy_notes, failure_texts,
                                            catalogs, retried, token);
    }
    void retry_rejected_profiles(const QuillaryApplicationService& service, const ComparisonSession& session,
                                 const Rows& rows, deployment::DeploymentSummary& summary, domain::DeployMode mode,
                                 const RowNotes& pre_deploy_notes, const MessageSnapshot& failure_texts,
                                 UserPermissionCatalogs& catalogs, RetriedRows& retried,
                                 const domain::CancellationToken& token) const override {
        app::retry_rejected_profiles(service, session, rows, summary, mode, pre_deploy_notes, failure_texts, catalogs,
                                     retried, token);
    }
    void retry_rejected_permission_set_groups(const QuillaryApplicationService& service,
                                              const ComparisonSession& session, const Rows& rows,
                                              deployment::DeploymentSummary& summary, domain::DeployMode mode,
                                              const std::set<std::string>& target_names, RetriedRows& retried,
                                              const domain::CancellationToken& token) const override {
        app::retry_rejected_permission_set_groups(service, session, rows, summary, mode, target_names, retried, token);
    }
    void retry_rejected_context_definitions(const QuillaryApplicationService& service,
                                            const ComparisonSession& session, const Rows& rows,
                                            deployment::DeploymentSummary& summary, domain::DeployMode mode,
                                            const cli::SchemaListing& source_listing,
                                            const cli::SchemaListing& target_listing,
                                            const std::map<domain::ComponentKey, std::string>& documents,
                                            const MessageSnapshot& messages, const RowNotes& release_notes,
                                            RetriedRows& retried, const domain::CancellationToken& token) const override {
        app::retry_rejected_context_definitions(service, session, rows, summary, mode, source_listing, target_listing,
                                                documents, messages, release_notes, retried, token);
    }
    std::size_t retry_unexpected_errors(const QuillaryApplicationService& service, const ComparisonSession& session,
                                        const Rows& rows, deployment::DeploymentSummary& summary,
                                        domain::DeployMode mode, const MessageSnapshot& messages,
                                        const RetriedRows& retried, const domain::CancellationToken& token) const override {
        return app::retry_unexpected_errors(service, session, rows, summary, mode, messages, retried, token);
    }
    void retry_unexpected_errors_isolated(const QuillaryApplicationService& service, const ComparisonSession& session,
                                          const Rows& rows, deployment::DeploymentSummary& summary,
                                          domain::DeployMode mode, std::size_t group_count, const RetriedRows& retried,
                                          const domain::CancellationToken& token) const override {
        app::retry_unexpected_errors_isolated(service, session, rows, summary, mode, group_count, retried, token);
    }

    std::expected<metadata::expression_set_definition_versions::PlannedVersions, std::string> plan_package_versions(
        std::string_view document, const std::set<std::string>& active_names) const override {
        return metadata::expression_set_definition_versions::plan_package_versions(document, active_names);
    }
    std::expected<std::string, std::string> splice_tracking(std::string_view document, bool track_history,
                                                            bool track_feed_history) const override {
        return metadata::tracking_merger::splice_tracking(document, track_history, track_feed_history);
    }
    std::expected<data::bundles::document::ModelDocument, std::string> parse_model_document(
        std::string_view document) const override {
        auto parsed = data::bundles::document::parse_model_document(document);
        if (!parsed) return std::unexpected(parsed.error().message());
        return std::move(*parsed);
    }
};

}  // namespace

std::shared_ptr<const DeployAdaptation> DeployAdaptation::standard() {
    static const auto instance = std::make_shared<const StandardAdaptation>();
    return instance;
}

}  // namespace ambrel::app::ports
