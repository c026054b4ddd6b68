#pragma once

// A recording fake of the deploy adaptation group: every operation appends its name to `calls` (the
// isolated retry with the count it was given) and answers through a replaceable handler. Without a
// handler an operation answers through `inner` when one is given (the standard group, to record the
// real adaptation at work), else neutrally: a pass changes nothing and gives an empty record, a retry
// sends nothing (the unexpected-error retry reports `redeployed`), and the document helpers are the
// standard ones. The log, the snapshots and the group retry's names are guarded by `mutex`.

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "app/ports/deploy_adaptation.hpp"

namespace ambrel::testing {

class RecordingDeployAdaptation final : public app::ports::DeployAdaptation {
public:
    using Rows = app::ports::Rows;
    using Service = app::QuillaryApplicationService;
    using Session = app::ComparisonSession;
    using Token = const domain::CancellationToken&;
    template <class T>
    using Result = app::ports::PortResult<T>;
    using Planned = std::expected<metadata::expression_set_definition_versions::PlannedVersions, std::string>;
    using Model = std::expected<data::bundles::document::ModelDocument, std::string>;

    RecordingDeployAdaptation() = default;
    explicit RecordingDeployAdaptation(std::shared_ptr<const app::ports::DeployAdaptation> inner)
        : inner_(std::move(inner)) {}

    std::function<Result<app::PermissionSetGroupFiltering>(Rows&)> on_permission_set_groups;
    std::function<Result<app::ContextReleaseVersionFiltering>(Rows&)> on_release_versions;
    std::function<Result<app::ContextDefinitionFiltering>(Rows&)> on_context_definitions;
    std::function<Result<app::ProfileFiltering>(Rows&, app::UserPermissionCatalogs&)> on_permission_sets;
    std::function<Result<app::ProfileFiltering>(Rows&, app::UserPermissionCatalogs&)> on_profiles;
    std::function<Result<app::ExpressionSetVersionStatusFiltering>(Rows&)> on_version_status;
    std::function<app::ExpressionSetDefinitionFiltering(Rows&)> on_definitions;
    std::function<Planned(std::string_view, const std::set<std::string>&)> on_plan_package_versions;
    std::function<std::expected<std::string, std::string>(std::string_view, bool, bool)> on_splice_tracking;
    std::function<Model(std::string_view)> on_parse_model_document;
    // Runs after every retry is recorded, with the summary it was given.
    std::function<void(deployment::DeploymentSummary&)> on_retry;

    // What the unexpected-error retry reports as re-deployed when it answers neutrally.
    std::size_t redeployed = 0;
    // The snapshots the retries received, in call order (kept only while `keep_snapshots`), and the
    // group retry's names.
    bool keep_snapshots = true;
    mutable std::mutex mutex;
    mutable std::vector<std::string> calls;
    mutable std::vector<app::MessageSnapshot> snapshots;
    mutable std::set<std::string> group_retry_names;

    std::vector<std::string> log() const {
        std::lock_guard lock(mutex);
        return calls;
    }

    Result<app::PermissionSetGroupFiltering> filter_permission_set_groups(const Service& service,
                                                                          const Session& session, Rows& rows,
                                                                          Token token) const override {
        note("filter_permission_set_groups");
        if (on_permission_set_groups) return on_permission_set_groups(rows);
        if (inner_) return inner_->filter_permission_set_groups(service, session, rows, token);
        return app::PermissionSetGroupFiltering{};
    }
    Result<app::ContextReleaseVersionFiltering> filter_context_release_versions(const Service& service,
                                                                                const Session& session, Rows& rows,
                                                                                Token token) const override {
        note("filter_context_release_versions");
        if (on_release_versions) return on_release_versions(rows);
        if (inner_) return inner_->filter_context_release_versions(service, session, rows, token);
        return app::ContextReleaseVersionFiltering{};
    }
    Result<app::ContextDefinitionFiltering> filter_context_definitions(const Service& service, const Session& session,
                                                                       Rows& rows, Token token) const override {
        note("filter_context_definitions");
        if (on_context_definitions) return on_context_definitions(rows);
        if (inner_) return inner_->filter_context_definitions(service, session, rows, token);
        return app::ContextDefinitionFiltering{};
    }
    Result<app::ProfileFiltering> filter_permission_sets(const Service& service, const Session& session, Rows& rows,
                                                         app::UserPermissionCatalogs& catalogs,
                                                         Token token) const override {
        note("filter_permission_sets");
        if (on_permission_sets) return on_permission_sets(rows, catalogs);
        if (inner_) return inner_->filter_permission_sets(service, session, rows, catalogs, token);
        return app::ProfileFiltering{};
    }
    Result<app::ProfileFiltering> filter_profiles(const Service& service, const Session& session, Rows& rows,
                                                  app::UserPermissionCatalogs& catalogs, Token token) const override {
        note("filter_profiles");
        if (on_profiles) return on_profiles(rows, catalogs);
        if (inner_) return inner_->filter_profiles(service, session, rows, catalogs, token);
        return app::ProfileFiltering{};
    }
    Result<app::ExpressionSetVersionStatusFiltering> filter_expression_set_version_status(
        const Service& service, const Session& session, Rows& rows, domain::DeployMode mode, Token token) const override {
        note("filter_expression_set_version_status");
        if (on_version_status) return on_version_status(rows);
        if (inner_) return inner_->filter_expression_set_version_status(service, session, rows, mode, token);
        return app::ExpressionSetVersionStatusFiltering{};
    }
    app::ExpressionSetDefinitionFiltering filter_expression_set_definitions(const app::ports::CorePorts& sanitizer,
                                                                           const Session& session,
                                                                           Rows& rows) const override {
        note("filter_expression_set_definitions");
        if (on_definitions) return on_definitions(rows);
        if (inner_) return inner_->filter_expression_set_definitions(sanitizer, session, rows);
        return {};
    }

    void retry_rejected_permission_sets(const Service& service, const Session& session, const Rows& rows,
                                        deployment::DeploymentSummary& summary, domain::DeployMode mode,
                                        const app::RowNotes& notes, const app::MessageSnapshot& snapshot,
                                        app::UserPermissionCatalogs& catalogs, app::RetriedRows& rows_retried,
                                        Token token) const override {
        retried("retry_rejected_permission_sets", &snapshot);
        if (inner_) inner_->retry_rejected_permission_sets(service, session, rows, summary, mode, notes, snapshot,
                                                           catalogs, rows_retried, token);
        if (on_retry) on_retry(summary);
    }
    void retry_rejected_profiles(const Service& service, const Session& session, const Rows& rows,
                                 deployment::DeploymentSummary& summary, domain::DeployMode mode,
                                 const app::RowNotes& notes, const app::MessageSnapshot& snapshot,
                                 app::UserPermissionCatalogs& catalogs, app::RetriedRows& rows_retried,
                                 Token token) const override {
        retried("retry_rejected_profiles", &snapshot);
        if (inner_)
            inner_->retry_rejected_profiles(service, session, rows, summary, mode, notes, snapshot, catalogs,
                                            rows_retried, token);
        if (on_retry) on_retry(summary);
    }
    void retry_rejected_permission_set_groups(const Service& service, const Session& session, const Rows& rows,
                                              deployment::DeploymentSummary& summary, domain::DeployMode mode,
                                              const std::set<std::string>& names, app::RetriedRows& rows_retried,
                                              Token token) const override {
        retried("retry_rejected_permission_set_groups", nullptr);
        {
            std::lock_guard lock(mutex);
            group_retry_names = names;
        }
        if (inner_)
            inner_->retry_rejected_permission_set_groups(service, session, rows, summary, mode, names, rows_retried, token);
        if (on_retry) on_retry(summary);
    }
    void retry_rejected_context_definitions(const Service& service, const Session& session, const Rows& rows,
                                            deployment::DeploymentSummary& summary, domain::DeployMode mode,
                                            const cli::SchemaListing& source, const cli::SchemaListing& target,
                                            const std::map<domain::ComponentKey, std::string>& documents,
                                            const app::MessageSnapshot& snapshot, const app::RowNotes& release_notes,
                                            app::RetriedRows& rows_retried, Token token) const override {
        retried("retry_rejected_context_definitions", &snapshot);
        if (inner_)
            inner_->retry_rejected_context_definitions(service, session, rows, summary, mode, source, target, documents,
                                                       snapshot, release_notes, rows_retried, token);
        if (on_retry) on_retry(summary);
    }
    std::size_t retry_unexpected_errors(const Service& service, const Session& session, const Rows& rows,
                                        deployment::DeploymentSummary& summary, domain::DeployMode mode,
                                        const app::MessageSnapshot& snapshot, const app::RetriedRows& rows_retried,
                                        Token token) const override {
        retried("retry_unexpected_errors", &snapshot);
        const std::size_t sent =
            inner_ ? inner_->retry_unexpected_errors(service, session, rows, summary, mode, snapshot, rows_retried, token)
                   : redeployed;
        if (on_retry) on_retry(summary);
        return sent;
    }
    void retry_unexpected_errors_isolated(const Service& service, const Session& session, const Rows& rows,
                                          deployment::DeploymentSummary& summary, domain::DeployMode mode,
                                          std::size_t count, const app::RetriedRows& rows_retried,
                                          Token token) const override {
        retried("retry_unexpected_errors_isolated:" + std::to_string(count), nullptr);
        if (inner_)
            inner_->retry_unexpected_errors_isolated(service, session, rows, summary, mode, count, rows_retried, token);
        if (on_retry) on_retry(summary);
    }

    Planned plan_package_versions(std::string_view document, const std::set<std::string>& active) const override {
        note("plan_package_versions");
        if (on_plan_package_versions) return on_plan_package_versions(document, active);
        return helpers().plan_package_versions(document, active);
    }
    std::expected<std::string, std::string> splice_tracking(std::string_view document, bool history,
                                                            bool feed) const override {
        note("splice_tracking");
        if (on_splice_tracking) return on_splice_tracking(document, history, feed);
        return helpers().splice_tracking(document, history, feed);
    }
    Model parse_model_document(std::string_view document) const override {
        note("parse_model_document");
        if (on_parse_model_document) return on_parse_model_document(document);
        return helpers().parse_model_document(document);
    }

private:
    const app::ports::DeployAdaptation& helpers() const { return inner_ ? *inner_ : *standard(); }
    void note(std::string what) const {
        std::lock_guard lock(mutex);
        calls.push_back(std::move(what));
    }
    void retried(std::string what, const app::MessageSnapshot* snapshot) const {
        std::lock_guard lock(mutex);
        calls.push_back(std::move(what));
        if (snapshot != nullptr && keep_snapshots) snapshots.push_back(*snapshot);
    }

    std::shared_ptr<const app::ports::DeployAdaptation> inner_;
};

}  // namespace ambrel::testing
