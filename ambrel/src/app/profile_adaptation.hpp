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
// references costs time linear in the document and the listing. Each document is read once: the
// one pass feeds both the user permission and the reference reading, and the cuts work from what it
// found.
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
#include <string_view>
#include <vector>

#include "app/application_service.hpp"
#include "app/comparison_session.hpp"
#include "app/deploy_passes.hpp"
#include "app/user_permission_catalogs.hpp"
#include "cli/schema_catalog.hpp"
#include "deployment/deployment_summary.hpp"
#include "metadata/document_edits/name_set.hpp"
#include "metadata/profile_reference_filter/profile_reference_filter.hpp"
#include "metadata/user_permission_filter/user_permission_filter.hpp"

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

// A listing's objects and (object, field) pairs, ASCII-lower-cased once for lookups. The keys live
// back to back in one buffer, so that indexing a large listing allocates little, and lookups lower
// the asked name without allocating when it is short.
class SchemaIndex {
public:
    explicit SchemaIndex(const cli::SchemaListing& listing);
    SchemaIndex(const SchemaIndex&) = delete;
    SchemaIndex& operator=(const SchemaIndex&) = delete;
    bool knows_object(std::string_view object) const;
    bool knows_field(std::string_view object, std::string_view field) const;

private:
    // Every key, lower-cased; a field key is "{object}\0{field}". Complete before the tables take
    // views into it, and never changed after.
    std::string keys_;
    metadata::document_edits::NameSet objects_;
    metadata::document_edits::NameSet fields_;
};

using ReferencesPerRow = std::map<domain::ComponentKey, ProfileReferences>;

// A PermissionSet or Profile document read once for both filters; each reading keeps its own
// outcome, as if each had read the document alone.
struct PermissionDocument {
    std::expected<metadata::user_permission_filter::PermissionBlocks,
                  metadata::user_permission_filter::UserPermissionFilterError>
        permissions;
    std::expected<metadata::profile_reference_filter::ReferenceSections,
                  metadata::profile_reference_filter::ProfileFilterError>
        sections;
};
PermissionDocument read_permission_document(std::string_view document);

struct AdaptedDocument {
    // True when something was to be left out (the document was rewritten).
    bool changed = false;
    // The user permission note, then the reference note (each when something left).
    std::optional<std::string> permission_note;
    std::optional<std::string> reference_note;
};
// Leaves out, where the document stands, the blocks of the user permissions in `leave`, then the
// sections that hold a reference in `unknown`, from a document whose two readings both succeeded:
// the same bytes as filtering the document for user permissions and filtering the result for
// references, without reading again or writing a second copy.
AdaptedDocument adapt_permission_document(std::string& document,
                                          const metadata::user_permission_filter::PermissionBlocks& permissions,
                                          const metadata::profile_reference_filter::ReferenceSections& sections,
                                          const std::set<std::string>& leave, const ReferencesByKind& unknown);

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
