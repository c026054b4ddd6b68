#pragma once

// A recording fake of the deploy adaptation group: every operation appends its name (and the row or
// model name it concerns, where it has one) to `calls` and answers through a replaceable handler whose
// default is the stand-in's answer. Tests replace the handlers they care about before the deploy runs.
// The call log is guarded by `mutex`.

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "app/ports/deploy_adaptation.hpp"

namespace ambrel::testing {

class RecordingDeployAdaptation final : public app::ports::DeployAdaptation {
public:
    using Rows = app::ports::Rows;
    using Service = app::QuillaryApplicationService;
    using Session = app::ComparisonSession;
    using Token = const domain::CancellationToken&;

    std::function<std::expected<app::ports::FilteredPermissionSetGroup, std::string>(
        std::string_view, const std::set<std::string>&, bool, bool)>
        on_filter_permission_set_group;
    std::function<std::expected<std::optional<std::string>, std::string>(std::string_view)> on_release_version;
    std::function<std::expected<app::ports::ReleaseVersion, std::string>(std::string_view)> on_parse_release_version;
    std::function<std::expected<std::optional<app::ports::ReleaseRewrite>, std::string>(std::string_view,
                                                                                       std::string_view)>
        on_rewrite_release_version;
    std::function<app::ports::PortResult<app::ExpressionSetVersionStatusFiltering>(Rows&)> on_version_status;
    std::function<app::ExpressionSetDefinitionFiltering(Rows&)> on_definitions;
    std::function<std::expected<app::ports::PlannedVersions, std::string>(std::string_view, const std::set<std::string>&)>
        on_plan_package_versions;
    std::function<std::expected<std::string, std::string>(std::string_view, bool, bool)> on_splice_tracking;
    std::function<std::expected<app::ports::ModelDocument, std::string>(std::string_view)> on_parse_model_document;
    std::function<void(deployment::DeploymentSummary&)> on_retry;
    std::function<std::expected<std::set<std::string>, std::string>(std::string_view)> on_user_permission_names;
    std::function<std::expected<app::ports::FilteredDocument, std::string>(std::string_view, const std::set<std::string>&)>
        on_filter_user_permissions;
    std::function<std::expected<app::ports::ProfileReferences, std::string>(std::string_view)> on_profile_references;
    std::function<app::ports::PortResult<app::ports::ReferenceKnowledge>()> on_gather_reference_knowledge;
    std::function<app::ports::ReferencesByKind(const app::ports::ProfileReferences&)> on_unknown_references;
    std::function<std::expected<app::ports::FilteredDocument, std::string>(std::string_view,
                                                                          const app::ports::ReferencesByKind&)>
        on_filter_profile_references;

    mutable std::mutex mutex;
    mutable std::vector<std::string> calls;

    std::vector<std::string> log() const {
        std::lock_guard lock(mutex);
        return calls;
    }

    std::expected<app::ports::FilteredPermissionSetGroup, std::string> filter_permission_set_group(
        std::string_view document, const std::set<std::string>& allowed, bool drop, bool org) const override {
        note("filter_permission_set_group");
        if (on_filter_permission_set_group) return on_filter_permission_set_group(document, allowed, drop, org);
        return stand_in()->filter_permission_set_group(document, allowed, drop, org);
    }
    std::expected<std::optional<std::string>, std::string> release_version(std::string_view document) const override {
        note("release_version");
        if (on_release_version) return on_release_version(document);
        return stand_in()->release_version(document);
    }
    std::expected<app::ports::ReleaseVersion, std::string> parse_release_version(std::string_view text) const override {
        if (on_parse_release_version) return on_parse_release_version(text);
        return stand_in()->parse_release_version(text);
    }
    std::expected<std::optional<app::ports::ReleaseRewrite>, std::string> rewrite_release_version(
        std::string_view document, std::string_view version) const override {
        note("rewrite_release_version");
        if (on_rewrite_release_version) return on_rewrite_release_version(document, version);
        return stand_in()->rewrite_release_version(document, version);
    }
    std::expected<std::set<std::string>, std::string> referenced_object_names(std::string_view document) const override {
        note("referenced_object_names");
        return stand_in()->referenced_object_names(document);
    }
    app::ports::PackageSchema schema_known_to_package(const Rows& rows) const override {
        return stand_in()->schema_known_to_package(rows);
    }
    app::ports::ContextDefinitionRows filter_context_definition_rows(Rows& rows, metadata_types::MetadataType type,
                                                                     const cli::SchemaListing& source,
                                                                     const cli::SchemaListing& target,
                                                                     const std::set<domain::ComponentKey>& omissions,
                                                                     const app::ports::Sanitizer& sanitizer) const override {
        note("filter_context_definition_rows");
        return stand_in()->filter_context_definition_rows(rows, type, source, target, omissions, sanitizer);
    }
    app::ports::PortResult<app::ExpressionSetVersionStatusFiltering> filter_expression_set_version_status(
        const Service& service, const Session& session, Rows& rows, domain::DeployMode mode, Token token) const override {
        note("filter_expression_set_version_status");
        if (on_version_status) return on_version_status(rows);
        return stand_in()->filter_expression_set_version_status(service, session, rows, mode, token);
    }
    app::ExpressionSetDefinitionFiltering filter_expression_set_definitions(const app::ports::Sanitizer& sanitizer,
                                                                           const Session& session,
                                                                           Rows& rows) const override {
        note("filter_expression_set_definitions");
        if (on_definitions) return on_definitions(rows);
        return stand_in()->filter_expression_set_definitions(sanitizer, session, rows);
    }
    std::expected<app::ports::PlannedVersions, std::string> plan_package_versions(
        std::string_view document, const std::set<std::string>& active) const override {
        note("plan_package_versions");
        if (on_plan_package_versions) return on_plan_package_versions(document, active);
        return stand_in()->plan_package_versions(document, active);
    }
    std::expected<std::string, std::string> splice_tracking(std::string_view document, bool history,
                                                            bool feed) const override {
        note("splice_tracking");
        if (on_splice_tracking) return on_splice_tracking(document, history, feed);
        return stand_in()->splice_tracking(document, history, feed);
    }
    std::expected<app::ports::ModelDocument, std::string> parse_model_document(std::string_view document) const override {
        note("parse_model_document");
        if (on_parse_model_document) return on_parse_model_document(document);
        return stand_in()->parse_model_document(document);
    }
    std::expected<std::set<std::string>, std::string> user_permission_names(std::string_view document) const override {
        if (on_user_permission_names) return on_user_permission_names(document);
        return stand_in()->user_permission_names(document);
    }
    std::expected<app::ports::ProfileReferences, std::string> profile_references(std::string_view document) const override {
        if (on_profile_references) return on_profile_references(document);
        return stand_in()->profile_references(document);
    }
    std::expected<app::ports::FilteredDocument, std::string> filter_user_permissions(
        std::string_view document, const std::set<std::string>& names) const override {
        note("filter_user_permissions");
        if (on_filter_user_permissions) return on_filter_user_permissions(document, names);
        return stand_in()->filter_user_permissions(document, names);
    }
    std::expected<app::ports::FilteredDocument, std::string> filter_profile_references(
        std::string_view document, const app::ports::ReferencesByKind& names) const override {
        note("filter_profile_references");
        if (on_filter_profile_references) return on_filter_profile_references(document, names);
        return stand_in()->filter_profile_references(document, names);
    }
    app::ports::PortResult<app::ports::ReferenceKnowledge> gather_reference_knowledge(
        const Service& service, const Session& session, const std::string& alias,
        const std::map<domain::ComponentKey, app::ports::ProfileReferences>& references, Token token) const override {
        note("gather_reference_knowledge");
        if (on_gather_reference_knowledge) return on_gather_reference_knowledge();
        return stand_in()->gather_reference_knowledge(service, session, alias, references, token);
    }
    app::ports::ReferencesByKind references_known_to_package(const Rows& rows) const override {
        return stand_in()->references_known_to_package(rows);
    }
    app::ports::ReferencesByKind unknown_references(const app::ports::ProfileReferences& references,
                                                    const app::ports::ReferenceKnowledge& knowledge,
                                                    const app::ports::ReferencesByKind& known) const override {
        if (on_unknown_references) return on_unknown_references(references);
        return stand_in()->unknown_references(references, knowledge, known);
    }
    void retry_rejected_permission_sets(const Service&, const Session&, const Rows&, deployment::DeploymentSummary& summary,
                                        domain::DeployMode, const app::RowNotes&, const app::MessageSnapshot& snapshot,
                                        app::UserPermissionCatalogs&, Token) const override {
        retried("retry_rejected_permission_sets", summary, &snapshot);
    }
    void retry_rejected_profiles(const Service&, const Session&, const Rows&, deployment::DeploymentSummary& summary,
                                 domain::DeployMode, const app::RowNotes&, const app::MessageSnapshot& snapshot,
                                 app::UserPermissionCatalogs&, Token) const override {
        retried("retry_rejected_profiles", summary, &snapshot);
    }
    void retry_rejected_permission_set_groups(const Service&, const Session&, const Rows&,
                                              deployment::DeploymentSummary& summary, domain::DeployMode,
                                              std::set<std::string> names, Token) const override {
        retried("retry_rejected_permission_set_groups", summary, nullptr);
        std::lock_guard lock(mutex);
        group_retry_names = std::move(names);
    }
    void retry_rejected_context_definitions(const Service&, const Session&, const Rows&,
                                            deployment::DeploymentSummary& summary, domain::DeployMode,
                                            const cli::SchemaListing&, const cli::SchemaListing&,
                                            const std::map<domain::ComponentKey, std::string>&,
                                            const app::MessageSnapshot& snapshot, const app::RowNotes&,
                                            Token) const override {
        retried("retry_rejected_context_definitions", summary, &snapshot);
    }
    std::size_t retry_unexpected_errors(const Service&, const Session&, const Rows&, deployment::DeploymentSummary& summary,
                                        domain::DeployMode, const app::MessageSnapshot& snapshot, Token) const override {
        retried("retry_unexpected_errors", summary, &snapshot);
        return redeployed;
    }
    void retry_unexpected_errors_isolated(const Service&, const Session&, const Rows&,
                                          deployment::DeploymentSummary& summary, domain::DeployMode, std::size_t count,
                                          Token) const override {
        retried("retry_unexpected_errors_isolated:" + std::to_string(count), summary, nullptr);
    }

    // What the unexpected-error retry reports as re-deployed.
    std::size_t redeployed = 0;
    // The snapshots the retries received, in call order (kept only while `keep_snapshots`), and the
    // group retry's names.
    bool keep_snapshots = true;
    mutable std::vector<app::MessageSnapshot> snapshots;
    mutable std::set<std::string> group_retry_names;

private:
    void note(std::string what) const {
        std::lock_guard lock(mutex);
        calls.push_back(std::move(what));
    }
    void retried(std::string what, deployment::DeploymentSummary& summary, const app::MessageSnapshot* snapshot) const {
        {
            std::lock_guard lock(mutex);
            calls.push_back(std::move(what));
            if (snapshot != nullptr && keep_snapshots) snapshots.push_back(*snapshot);
        }
        if (on_retry) on_retry(summary);
    }
};

}  // namespace ambrel::testing
