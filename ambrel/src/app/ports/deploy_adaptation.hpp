#pragma once

// DeployAdaptation: the one replaceable group through which the deploy reaches the document filters
// and retries of the deploy adaptation and the constraint model document parser. The deploy use case
// decides when each runs and what is done with its answer; what a filter removes and how a note reads
// belong to the functions behind this group.
//
// `stand_in()` is the group of a build without those functions: every filter leaves its document as
// it is and gives no note, no retry re-deploys anything, and the three functions without a neutral
// answer fail with a text: "Expression set definition versions cannot be planned in this build." and
// "Tracking toggles cannot be spliced in this build."; constraint model documents are read by the real
// reader, whose failure text it passes on. Every operation may be called from several threads at once.

#include <cstddef>
#include <expected>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "app/deploy_passes.hpp"
#include "app/ports/port_result.hpp"
#include "cli/schema_catalog.hpp"
#include "deployment/deployment_summary.hpp"
#include "domain/cancellation.hpp"
#include "domain/deployment.hpp"
#include "domain/difference.hpp"
#include "metadata_types/metadata_type.hpp"

namespace ambrel::app {
class ComparisonSession;
class QuillaryApplicationService;
}  // namespace ambrel::app

namespace ambrel::app::ports {

inline constexpr std::string_view kVersionPlanningUnavailable =
    "Expression set definition versions cannot be planned in this build.";
inline constexpr std::string_view kTrackingSpliceUnavailable = "Tracking toggles cannot be spliced in this build.";

using Rows = std::vector<domain::ComponentDifference>;
using Sanitizer = std::function<std::string(const std::string&)>;

// A permission set group without its references to permission sets outside the allowed names.
struct FilteredPermissionSetGroup {
    std::string document;
    std::optional<std::string> message;
    bool operator==(const FilteredPermissionSetGroup&) const = default;
};

// A release version, compared part by part.
struct ReleaseVersion {
    std::vector<std::uint64_t> parts;
    auto operator<=>(const ReleaseVersion&) const = default;
};

// A document whose release version was rewritten.
struct ReleaseRewrite {
    std::string document;
    std::string former_version;
    std::string new_version;
    bool operator==(const ReleaseRewrite&) const = default;
};

// The objects and (object, field) pairs that the package's own rows bring.
struct PackageSchema {
    std::set<std::string> objects;
    std::set<std::pair<std::string, std::string>> fields;
    bool operator==(const PackageSchema&) const = default;
};

// What the context definition field filter gives.
struct ContextDefinitionRows {
    FailedResults failed;
    RowNotes notes;
    std::map<domain::ComponentKey, std::string> documents_before_filter;
    bool operator==(const ContextDefinitionRows&) const = default;
};

// The versions an ExpressionSetDefinition document takes into a package.
struct PlannedVersions {
    std::string document;
    std::vector<std::string> kept;
    std::vector<std::string> left_out;
    std::size_t unnamed_kept = 0;
    bool operator==(const PlannedVersions&) const = default;
};

// What the expansion reads of a constraint model document.
struct ModelDocument {
    std::string definition;
    bool operator==(const ModelDocument&) const = default;
};

// Names per reference kind (the kind's name as key).
using ReferencesByKind = std::map<std::string, std::set<std::string>>;

struct ProfileReferences {
    ReferencesByKind by_kind;
    bool is_empty() const {
        for (const auto& [kind, names] : by_kind)
            if (!names.empty()) return false;
        return true;
    }
    bool operator==(const ProfileReferences&) const = default;
};

// What the target lists per reference kind, and why some rows could not be checked.
struct ReferenceKnowledge {
    ReferencesByKind listed;
    std::map<domain::ComponentKey, std::string> unchecked;
    bool operator==(const ReferenceKnowledge&) const = default;
};

// A document with user permissions or references removed, and the note that says so.
struct FilteredDocument {
    std::string document;
    std::optional<std::string> note;
    bool operator==(const FilteredDocument&) const = default;
};

class DeployAdaptation {
public:
    virtual ~DeployAdaptation() = default;

    // Permission set groups: both switches are on exactly when the target is an org.
    virtual std::expected<FilteredPermissionSetGroup, std::string> filter_permission_set_group(
        std::string_view document, const std::set<std::string>& allowed_names, bool drop_unknown,
        bool org_target) const = 0;

    // Context definitions.
    virtual std::expected<std::optional<std::string>, std::string> release_version(std::string_view document) const = 0;
    virtual std::expected<ReleaseVersion, std::string> parse_release_version(std::string_view text) const = 0;
    // None when the document already carries the version.
    virtual std::expected<std::optional<ReleaseRewrite>, std::string> rewrite_release_version(
        std::string_view document, std::string_view version) const = 0;
    virtual std::expected<std::set<std::string>, std::string> referenced_object_names(
        std::string_view document) const = 0;
    virtual PackageSchema schema_known_to_package(const Rows& rows) const = 0;
    // Filters the adaptable rows of `type` in place and removes the rows it fails.
    virtual ContextDefinitionRows filter_context_definition_rows(Rows& rows, metadata_types::MetadataType type,
                                                                 const cli::SchemaListing& source,
                                                                 const cli::SchemaListing& target,
                                                                 const std::set<domain::ComponentKey>& omissions,
                                                                 const Sanitizer& sanitizer) const = 0;

    // Expression sets.
    virtual PortResult<ExpressionSetVersionStatusFiltering> filter_expression_set_version_status(
        const QuillaryApplicationService& service, const ComparisonSession& session, Rows& rows,
        domain::DeployMode mode, const domain::CancellationToken& token) const = 0;
    virtual ExpressionSetDefinitionFiltering filter_expression_set_definitions(const Sanitizer& sanitizer,
                                                                              const ComparisonSession& session,
                                                                              Rows& rows) const = 0;
    virtual std::expected<PlannedVersions, std::string> plan_package_versions(
        std::string_view document, const std::set<std::string>& active_names) const = 0;

    // Tracking toggles written into a target CustomField document.
    virtual std::expected<std::string, std::string> splice_tracking(std::string_view document, bool track_history,
                                                                    bool track_feed_history) const = 0;

    // Constraint model documents.
    virtual std::expected<ModelDocument, std::string> parse_model_document(std::string_view document) const = 0;

    // Permission sets and profiles.
    virtual std::expected<std::set<std::string>, std::string> user_permission_names(
        std::string_view document) const = 0;
    virtual std::expected<ProfileReferences, std::string> profile_references(std::string_view document) const = 0;
    virtual std::expected<FilteredDocument, std::string> filter_user_permissions(
        std::string_view document, const std::set<std::string>& names) const = 0;
    // The note is what `profile_reference_note` gives for the filter's result.
    virtual std::expected<FilteredDocument, std::string> filter_profile_references(
        std::string_view document, const ReferencesByKind& names) const = 0;
    virtual PortResult<ReferenceKnowledge> gather_reference_knowledge(
        const QuillaryApplicationService& service, const ComparisonSession& session, const std::string& target_alias,
        const std::map<domain::ComponentKey, ProfileReferences>& references,
        const domain::CancellationToken& token) const = 0;
    virtual ReferencesByKind references_known_to_package(const Rows& rows) const = 0;
    virtual ReferencesByKind unknown_references(const ProfileReferences& references,
                                                const ReferenceKnowledge& knowledge,
                                                const ReferencesByKind& known_to_package) const = 0;

    // Retries of rejected rows after the package; each returns at once unless the mode is Best
    // Effort, the target an org and the package completed.
    virtual void retry_rejected_permission_sets(const QuillaryApplicationService& service,
                                                const ComparisonSession& session, const Rows& rows,
                                                deployment::DeploymentSummary& summary, domain::DeployMode mode,
                                                const RowNotes& notes, const MessageSnapshot& snapshot,
                                                UserPermissionCatalogs& catalogs,
                                                const domain::CancellationToken& token) const = 0;
    virtual void retry_rejected_profiles(const QuillaryApplicationService& service, const ComparisonSession& session,
                                         const Rows& rows, deployment::DeploymentSummary& summary,
                                         domain::DeployMode mode, const RowNotes& notes,
                                         const MessageSnapshot& snapshot, UserPermissionCatalogs& catalogs,
                                         const domain::CancellationToken& token) const = 0;
    virtual void retry_rejected_permission_set_groups(const QuillaryApplicationService& service,
                                                      const ComparisonSession& session, const Rows& rows,
                                                      deployment::DeploymentSummary& summary, domain::DeployMode mode,
                                                      std::set<std::string> target_names,
                                                      const domain::CancellationToken& token) const = 0;
    virtual void retry_rejected_context_definitions(
        const QuillaryApplicationService& service, const ComparisonSession& session, const Rows& rows,
        deployment::DeploymentSummary& summary, domain::DeployMode mode, const cli::SchemaListing& source_listing,
        const cli::SchemaListing& target_listing, const std::map<domain::ComponentKey, std::string>& documents,
        const MessageSnapshot& snapshot, const RowNotes& release_notes,
        const domain::CancellationToken& token) const = 0;
    virtual std::size_t retry_unexpected_errors(const QuillaryApplicationService& service,
                                                const ComparisonSession& session, const Rows& rows,
                                                deployment::DeploymentSummary& summary, domain::DeployMode mode,
                                                const MessageSnapshot& snapshot,
                                                const domain::CancellationToken& token) const = 0;
    virtual void retry_unexpected_errors_isolated(const QuillaryApplicationService& service,
                                                  const ComparisonSession& session, const Rows& rows,
                                                  deployment::DeploymentSummary& summary, domain::DeployMode mode,
                                                  std::size_t redeployed,
                                                  const domain::CancellationToken& token) const = 0;

    static std::shared_ptr<const DeployAdaptation> stand_in();
};

}  // namespace ambrel::app::ports
