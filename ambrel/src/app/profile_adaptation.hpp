#pragma once

// The pre-deploy adaptation of PermissionSet and Profile documents in a Best Effort deploy between
// two orgs: user permissions that the source org reports and the target does not, and references to
// components that neither the target lists nor the package brings, leave the documents. A row whose
// document cannot be adapted fails alone and leaves the package; a changed row carries a note that
// `ProfileFiltering::apply` adds to its result after the deploy.
//
// The target is asked only through the service's ports: one object-field listing for the objects
// all rows name, and one metadata listing per listed kind that a row still needs (at most 1 + 8
// listings per filter). Listings are indexed once, ASCII-lower-cased, so that checking a document's
// references costs time linear in the document and the listing.
//
// Row failures ("Could not parse the permission set document: {}", "Could not parse the profile
// document: {}", "The org's user permissions could not be listed: {}", "The target org's object
// fields could not be listed: {}", "The target org's {} components could not be listed: {}") carry
// sanitised details. A cancellation (the token, or a port failure of kind Cancelled) ends the deploy
// with that failure.
//
// Runs on the deploy's thread; the catalogue cache belongs to that deploy.

#include <map>
#include <optional>
#include <set>
#include <string>
#include <unordered_set>
#include <vector>

#include "app/application_service.hpp"
#include "app/comparison_session.hpp"
#include "app/deploy_passes.hpp"
#include "app/user_permission_catalogs.hpp"
#include "cli/schema_catalog.hpp"
#include "deployment/deployment_summary.hpp"
#include "metadata/profile_reference_filter/profile_reference_filter.hpp"

namespace ambrel::app {

using metadata::profile_reference_filter::ProfileReferences;
using metadata::profile_reference_filter::ReferenceKind;
using metadata::profile_reference_filter::ReferencesByKind;

inline constexpr std::string_view kProfileParseMessage = "Could not parse the profile document: {}";
inline constexpr std::string_view kUserPermissionsUnlisted = "The org's user permissions could not be listed: {}";
inline constexpr std::string_view kUserPermissionsEmpty =
    "The org's user permissions could not be listed: the PermissionSet describe reported no user permission fields.";
inline constexpr std::string_view kObjectFieldsUnlisted = "The target org's object fields could not be listed: {}";
inline constexpr std::string_view kComponentsUnlisted = "The target org's {} components could not be listed: {}";


struct ReferenceKnowledge {
    cli::SchemaListing schema;
    // One entry per listed kind whose listing succeeded.
    std::map<ReferenceKind, std::set<std::string>> listed;
    // Rows whose references could not be checked, with the first failed listing's message.
    std::map<domain::ComponentKey, std::string> failures;
};

// A listing's objects and (object, field) pairs, ASCII-lower-cased once for lookups.
class SchemaIndex {
public:
    explicit SchemaIndex(const cli::SchemaListing& listing);
    bool knows_object(std::string_view object) const;
    bool knows_field(std::string_view object, std::string_view field) const;

private:
    std::unordered_set<std::string> objects_;
    std::unordered_set<std::string> fields_;
};

using ReferencesPerRow = std::map<domain::ComponentKey, ProfileReferences>;

std::vector<ReferenceKind> listed_reference_kinds(const ReferencesPerRow& references);
std::set<std::string> schema_objects_of_document(const ProfileReferences& references);
ReferencesByKind unknown_references(const ProfileReferences& references, const cli::SchemaListing& schema,
                                    const std::map<ReferenceKind, std::set<std::string>>& listed,
                                    const ReferencesByKind& package_names);
ReferencesByKind unknown_references(const ProfileReferences& references, const SchemaIndex& schema,
                                    const std::map<ReferenceKind, std::set<std::string>>& listed,
                                    const ReferencesByKind& package_names);
ReferencesByKind references_known_to_package(const std::vector<domain::ComponentDifference>& rows);
std::optional<std::string> profile_reference_note(const metadata::profile_reference_filter::ProfileTrim& trim);
std::string permission_set_reference_error(const metadata::profile_reference_filter::ProfileFilterError& error);

UseCaseResult<ReferenceKnowledge> gather_reference_knowledge(const QuillaryApplicationService& service,
                                                             const ComparisonSession& session,
                                                             const std::string& target_org,
                                                             ReferencesPerRow& references,
                                                             const domain::CancellationToken& token);

UseCaseResult<ProfileFiltering> filter_permission_sets(const QuillaryApplicationService& service,
                                                       const ComparisonSession& session,
                                                       std::vector<domain::ComponentDifference>& rows,
                                                       UserPermissionCatalogs& catalogs,
                                                       const domain::CancellationToken& token);
UseCaseResult<ProfileFiltering> filter_profiles(const QuillaryApplicationService& service,
                                                const ComparisonSession& session,
                                                std::vector<domain::ComponentDifference>& rows,
                                                UserPermissionCatalogs& catalogs, const domain::CancellationToken& token);

}  // namespace ambrel::app
