#include <memory>
#include <utility>

#include "app/ports/deploy_adaptation.hpp"
#include "data/bundles/document/model_document.hpp"

namespace ambrel::app::ports {

namespace {

// Leaves every document as it is: a build without the adaptation deploys what the user reviewed.
class StandInAdaptation final : public DeployAdaptation {
public:
    std::expected<FilteredPermissionSetGroup, std::string> filter_permission_set_group(
        std::string_view document, const std::set<std::string>&, bool, bool) const override {
        return FilteredPermissionSetGroup{std::string(document), std::nullopt};
    }
    std::expected<std::optional<std::string>, std::string> release_version(std::string_view) const override {
        return std::optional<std::string>();
    }
    std::expected<ReleaseVersion, std::string> parse_release_version(std::string_view) const override {
        return ReleaseVersion{};
    }
    std::expected<std::optional<ReleaseRewrite>, std::string> rewrite_release_version(std::string_view,
                                                                                      std::string_view) const override {
        return std::optional<ReleaseRewrite>();
    }
    std::expected<std::set<std::string>, std::string> referenced_object_names(std::string_view) const override {
        return std::set<std::string>();
    }
    PackageSchema schema_known_to_package(const Rows&) const override { return {}; }
    ContextDefinitionRows filter_context_definition_rows(Rows&, metadata_types::MetadataType, const cli::SchemaListing&,
                                                         const cli::SchemaListing&, const std::set<domain::ComponentKey>&,
                                                         const Sanitizer&) const override {
        return {};
    }
    PortResult<ExpressionSetVersionStatusFiltering> filter_expression_set_version_status(
        const QuillaryApplicationService&, const ComparisonSession&, Rows&, domain::DeployMode,
        const domain::CancellationToken&) const override {
        return ExpressionSetVersionStatusFiltering{};
    }
    ExpressionSetDefinitionFiltering filter_expression_set_definitions(const Sanitizer&, const ComparisonSession&,
                                                                      Rows&) const override {
        return {};
    }
    std::expected<PlannedVersions, std::string> plan_package_versions(std::string_view,
                                                                      const std::set<std::string>&) const override {
        return std::unexpected(std::string(kVersionPlanningUnavailable));
    }
    std::expected<std::string, std::string> splice_tracking(std::string_view, bool, bool) const override {
        return std::unexpected(std::string(kTrackingSpliceUnavailable));
    }
    // The model documents have their real reader already; only the definition reaches the expansion.
    std::expected<ModelDocument, std::string> parse_model_document(std::string_view document) const override {
        auto parsed = data::bundles::document::parse_model_document(document);
        if (!parsed) return std::unexpected(parsed.error().message());
        return ModelDocument{std::move(parsed->definition)};
    }
    std::expected<std::set<std::string>, std::string> user_permission_names(std::string_view) const override {
        return std::set<std::string>();
    }
    std::expected<ProfileReferences, std::string> profile_references(std::string_view) const override {
        return ProfileReferences{};
    }
    std::expected<FilteredDocument, std::string> filter_user_permissions(std::string_view document,
                                                                         const std::set<std::string>&) const override {
        return FilteredDocument{std::string(document), std::nullopt};
    }
    std::expected<FilteredDocument, std::string> filter_profile_references(std::string_view document,
                                                                           const ReferencesByKind&) const override {
        return FilteredDocument{std::string(document), std::nullopt};
    }
    PortResult<ReferenceKnowledge> gather_reference_knowledge(const QuillaryApplicationService&,
                                                              const ComparisonSession&, const std::string&,
                                                              const std::map<domain::ComponentKey, ProfileReferences>&,
                                                              const domain::CancellationToken&) const override {
        return ReferenceKnowledge{};
    }
    ReferencesByKind references_known_to_package(const Rows&) const override { return {}; }
    ReferencesByKind unknown_references(const ProfileReferences&, const ReferenceKnowledge&,
                                        const ReferencesByKind&) const override {
        return {};
    }
    void retry_rejected_permission_sets(const QuillaryApplicationService&, const ComparisonSession&, const Rows&,
                                        deployment::DeploymentSummary&, domain::DeployMode, const RowNotes&,
                                        const MessageSnapshot&, UserPermissionCatalogs&,
                                        const domain::CancellationToken&) const override {}
    void retry_rejected_profiles(const QuillaryApplicationService&, const ComparisonSession&, const Rows&,
                                 deployment::DeploymentSummary&, domain::DeployMode, const RowNotes&,
                                 const MessageSnapshot&, UserPermissionCatalogs&,
                                 const domain::CancellationToken&) const override {}
    void retry_rejected_permission_set_groups(const QuillaryApplicationService&, const ComparisonSession&, const Rows&,
                                              deployment::DeploymentSummary&, domain::DeployMode, std::set<std::string>,
                                              const domain::CancellationToken&) const override {}
    void retry_rejected_context_definitions(const QuillaryApplicationService&, const ComparisonSession&, const Rows&,
                                            deployment::DeploymentSummary&, domain::DeployMode,
                                            const cli::SchemaListing&, const cli::SchemaListing&,
                                            const std::map<domain::ComponentKey, std::string>&,
                                            const MessageSnapshot&, const RowNotes&,
                                            const domain::CancellationToken&) const override {}
    std::size_t retry_unexpected_errors(const QuillaryApplicationService&, const ComparisonSession&, const Rows&,
                                        deployment::DeploymentSummary&, domain::DeployMode, const MessageSnapshot&,
                                        const domain::CancellationToken&) const override {
        return 0;
    }
    void retry_unexpected_errors_isolated(const QuillaryApplicationService&, const ComparisonSession&, const Rows&,
                                          deployment::DeploymentSummary&, domain::DeployMode, std::size_t,
                                          const domain::CancellationToken&) const override {}
};

}  // namespace

std::shared_ptr<const DeployAdaptation> DeployAdaptation::stand_in() {
    static const auto instance = std::make_shared<const StandInAdaptation>();
    return instance;
}

}  // namespace ambrel::app::ports
