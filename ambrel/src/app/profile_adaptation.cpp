#include "app/profile_adaptation.hpp"

#include <array>
#include <utility>

#include <fmt/format.h>
#include <re2/re2.h>

#include "app/compare_steps.hpp"
#include "app/row_notes.hpp"
#include "metadata/layout_model.hpp"
#include "metadata/namespace_policy.hpp"
#include "metadata/retrieve/selection.hpp"
#include "metadata/user_permission_filter/user_permission_filter.hpp"
#include "metadata_types/name_rules.hpp"
#include "text/text.hpp"
#include "xml/xml.hpp"

namespace ambrel::app {
namespace {

namespace prf = metadata::profile_reference_filter;
namespace upf = metadata::user_permission_filter;

constexpr std::string_view kPermissionSetWireId = "PermissionSet";
constexpr std::string_view kProfileWireId = "Profile";
constexpr std::string_view kReferenceNote =
    "Kept {} of {} component references; left out (not among the components the target org lists): {}.";
constexpr std::string_view kLayoutAssignmentNote = " {} more removed with their layout assignment.";

bool is_listed_kind(ReferenceKind kind) noexcept {
    return kind >= ReferenceKind::ApexClass && kind <= ReferenceKind::Flow;
}

bool is_object_api_name(std::string_view name) {
    return re2::RE2::FullMatch(name, metadata::retrieve::OBJECT_API_NAME());
}

// Names up to this length are lowered on the stack for a lookup.
constexpr std::size_t kShortKey = 256;

char ascii_lower(char c) noexcept { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// Writes the lower-cased key of an object, or of an (object, field) pair, at `out`; gives its size.
std::size_t write_key(char* out, std::string_view object, const std::string_view* field) noexcept {
    std::size_t size = 0;
    for (const char c : object) out[size++] = ascii_lower(c);
    if (field != nullptr) {
        out[size++] = '\0';
        for (const char c : *field) out[size++] = ascii_lower(c);
    }
    return size;
}

std::size_t key_size(std::string_view object, const std::string_view* field) noexcept {
    return object.size() + (field != nullptr ? 1 + field->size() : 0);
}

bool contains_key(const metadata::document_edits::NameSet& keys, std::string_view object,
                  const std::string_view* field) {
    const std::size_t size = key_size(object, field);
    if (size <= kShortKey) {
        std::array<char, kShortKey> buffer;
        return keys.contains(std::string_view(buffer.data(), write_key(buffer.data(), object, field)));
    }
    std::string buffer(size, '\0');
    return keys.contains(std::string_view(buffer.data(), write_key(buffer.data(), object, field)));
}

bool holds_names(const ProfileReferences& references, ReferenceKind kind) {
    const auto found = references.names.find(kind);
    return found != references.names.end() && !found->second.empty();
}

// What differs between the two filters.
struct FilterKind {
    std::string_view wire_id;
    std::string_view parse_message;
    bool permission_sets;
};

constexpr FilterKind kPermissionSets{kPermissionSetWireId, upf::kPermissionSetParseMessage, true};
constexpr FilterKind kProfiles{kProfileWireId, kProfileParseMessage, false};

std::string filled(std::string_view pattern, std::string_view detail) {
    return fmt::format(fmt::runtime(pattern), detail);
}

UseCaseResult<ProfileFiltering> filter_documents(const FilterKind& kind, const QuillaryApplicationService& service,
                                                 const ComparisonSession& session,
                                                 std::vector<domain::ComponentDifference>& rows,
                                                 UserPermissionCatalogs& catalogs,
                                                 const domain::CancellationToken& token) {
    ProfileFiltering filtering;
    const auto type = metadata_types::metadata_type_by_wire_id(kind.wire_id);
    if (!type || !session.source().is_org() || !session.target().is_org()) return filtering;

    std::set<domain::ComponentKey> failed_keys;
    const auto fail = [&](const domain::ComponentDifference& row, std::string message) {
        filtering.failed.push_back(profile_failure(row, std::move(message)));
        failed_keys.insert(row.key());
    };

    // 1. Read every taking part row once; what the reading found serves the cuts of step 8.
    std::map<domain::ComponentKey, std::set<std::string>> permissions_per_row;
    ReferencesPerRow references_per_row;
    std::map<domain::ComponentKey, PermissionDocument> readings;
    for (const auto& row : rows) {
        if (!takes_part(row, *type)) continue;
        PermissionDocument reading = read_permission_document(row.source.document);
        if (!reading.permissions) {
            fail(row, service.sanitize_diagnostic(filled(kind.parse_message, reading.permissions.error().message())));
            continue;
        }
        if (!reading.sections) {
            fail(row, service.sanitize_diagnostic(kind.permission_sets
                                                      ? permission_set_reference_error(reading.sections.error())
                                                      : filled(kind.parse_message, reading.sections.error().message())));
            continue;
        }
        auto names = upf::names_of(*reading.permissions);
        auto references = prf::references_of(*reading.sections);
        if (!names.empty()) permissions_per_row.emplace(row.key(), std::move(names));
        if (!references.is_empty()) references_per_row.emplace(row.key(), std::move(references));
        readings.emplace(row.key(), std::move(reading));
    }
    remove_rows(rows, failed_keys);
    if (permissions_per_row.empty() && references_per_row.empty()) return filtering;
    if (auto cancelled = throw_if_cancelled(token); !cancelled) return std::unexpected(cancelled.error());

    // 4. The pair of catalogues, only when some row grants user permissions.
    std::optional<std::pair<upf::UserPermissionCatalog, upf::UserPermissionCatalog>> catalog_pair;
    if (!permissions_per_row.empty()) {
        std::optional<std::string> message;
        auto source = catalogs.catalog(service.schema(), session.source_username(), token);
        ports::PortResult<upf::UserPermissionCatalog> target = std::unexpected(WorkflowFailure{});
        if (source) target = catalogs.catalog(service.schema(), session.target_username(), token);
        const auto* failure = !source ? &source.error() : (!target ? &target.error() : nullptr);
        if (failure != nullptr) {
            if (failure->kind == FailureKind::Cancelled) return std::unexpected(*failure);
            message = filled(kUserPermissionsUnlisted, service.sanitize_diagnostic(failure->first_message()));
        } else if (source->names.empty() || target->names.empty()) {
            message = std::string(kUserPermissionsEmpty);
        } else {
            catalog_pair.emplace(std::move(*source), std::move(*target));
        }
        if (message) {
            std::set<domain::ComponentKey> keys;
            for (const auto& [key, names] : permissions_per_row) {
                keys.insert(key);
                references_per_row.erase(key);
            }
            permissions_per_row.clear();
            fail_profile_rows(filtering.failed, rows, keys, std::move(*message));
        }
    }

    // 5. What the target lists.
    // What the target lists is asked by the target endpoint's alias, the name a failure reports the org by.
    const auto* target_org = session.target().org();
    auto knowledge = gather_reference_knowledge(service, session,
                                                target_org != nullptr ? target_org->org.alias : session.target_username(),
                                                references_per_row, token);
    if (!knowledge) return std::unexpected(std::move(knowledge.error()));
    if (!knowledge->failures.empty()) {
        std::set<domain::ComponentKey> keys;
        for (const auto& row : rows) {
            const auto failure = knowledge->failures.find(row.key());
            if (failure == knowledge->failures.end()) continue;
            filtering.failed.push_back(profile_failure(row, failure->second));
            keys.insert(row.key());
            permissions_per_row.erase(row.key());
        }
        remove_rows(rows, keys);
    }
    const ReferencesByKind package_names = references_known_to_package(rows);
    const SchemaIndex schema(knowledge->schema);

    // 8. Adapt.
    for (auto& row : rows) {
        const auto reading = readings.find(row.key());
        if (reading == readings.end()) continue;
        std::set<std::string> leave;
        if (const auto names = permissions_per_row.find(row.key()); names != permissions_per_row.end() && catalog_pair) {
            for (const std::string& name : names->second) {
                if (catalog_pair->first.knows(name) && !catalog_pair->second.knows(name)) leave.insert(name);
            }
        }
        ReferencesByKind unknown;
        if (const auto references = references_per_row.find(row.key()); references != references_per_row.end()) {
            unknown = unknown_references(references->second, schema, knowledge->listed, package_names);
        }
        const AdaptedDocument adapted = adapt_permission_document(
            row.source.document, *reading->second.permissions, *reading->second.sections, leave, unknown);
        std::string note = adapted.permission_note.value_or(std::string());
        if (adapted.reference_note) append_row_note(note, *adapted.reference_note);
        if (!note.empty()) filtering.notes.emplace(row.key(), std::move(note));
    }
    remove_rows(rows, failed_keys);
    return filtering;
}

}  // namespace

PermissionDocument read_permission_document(std::string_view document) {
    xml::Reader reader(xml::strip_leading_boms(document));
    upf::PermissionReader permissions;
    prf::SectionReader sections;
    while (!permissions.finished() || !sections.finished()) {
        auto event = reader.next();
        if (!event) {
            permissions.reader_failed(event.error());
            sections.reader_failed(event.error());
            break;
        }
        permissions.take(reader, *event);
        sections.take(reader, *event);
    }
    return PermissionDocument{std::move(permissions).result(), std::move(sections).result()};
}

AdaptedDocument adapt_permission_document(std::string& document, const upf::PermissionBlocks& permissions,
                                          const prf::ReferenceSections& sections, const std::set<std::string>& leave,
                                          const ReferencesByKind& unknown) {
    AdaptedDocument adapted;
    if (leave.empty() && unknown.empty()) return adapted;
    upf::PermissionCuts cuts;
    if (!leave.empty()) {
        cuts = upf::user_permission_cuts(document, permissions, leave);
        adapted.permission_note = upf::FilteredUserPermissions{{}, cuts.left_out, cuts.total}.message();
    }
    std::vector<metadata::document_edits::Edit> removals;
    if (!unknown.empty()) {
        // Both cuts are written at once, the sections judged as they stand after the first.
        prf::ReferenceCuts reference_cuts = prf::profile_reference_cuts(document, sections, unknown, cuts.ranges);
        adapted.reference_note = profile_reference_note(reference_cuts.trim);
        removals = std::move(reference_cuts.removals);
    } else {
        removals = metadata::document_edits::merged_removals(cuts.ranges, {});
    }
    metadata::document_edits::remove_in_place(document, xml::leading_bom_length(document), std::move(removals));
    adapted.changed = true;
    return adapted;
}

SchemaIndex::SchemaIndex(const cli::SchemaListing& listing)
    : objects_(listing.objects.size()), fields_(listing.fields.size()) {
    // One walk over the listing writes the keys; the tables take views once the buffer is final.
    std::vector<std::size_t> lengths;
    lengths.reserve(listing.objects.size() + listing.fields.size());
    const auto append = [&](std::string_view object, const std::string_view* field) {
        const std::size_t at = keys_.size();
        keys_.resize(at + key_size(object, field));
        lengths.push_back(write_key(keys_.data() + at, object, field));
    };
    for (const auto& object : listing.objects) append(object, nullptr);
    for (const auto& [object, field] : listing.fields) {
        const std::string_view field_view = field;
        append(object, &field_view);
    }
    const std::string_view keys = keys_;
    std::size_t at = 0;
    for (std::size_t i = 0; i < lengths.size(); ++i) {
        const std::string_view key = keys.substr(at, lengths[i]);
        if (i < listing.objects.size()) {
            objects_.insert(key);
        } else {
            fields_.insert(key);
        }
        at += lengths[i];
    }
}

bool SchemaIndex::knows_object(std::string_view object) const { return contains_key(objects_, object, nullptr); }

bool SchemaIndex::knows_field(std::string_view object, std::string_view field) const {
    return contains_key(fields_, object, &field);
}

std::vector<ReferenceKind> listed_reference_kinds(const ReferencesPerRow& references) {
    std::vector<ReferenceKind> kinds;
    for (std::size_t value = 0; value < prf::kReferenceKindCount; ++value) {
        const auto kind = static_cast<ReferenceKind>(value);
        if (!is_listed_kind(kind)) continue;
        for (const auto& [key, row_references] : references) {
            if (holds_names(row_references, kind)) {
                kinds.push_back(kind);
                break;
            }
        }
    }
    return kinds;
}

std::set<std::string> schema_objects_of_document(const ProfileReferences& references) {
    std::set<std::string> objects;
    const auto add = [&](std::string_view name) {
        if (is_object_api_name(name)) objects.emplace(name);
    };
    for (const auto& [kind, names] : references.names) {
        for (const std::string& name : names) {
            if (kind == ReferenceKind::Field) {
                if (const auto parts = metadata_types::split_once_dot(name)) add(parts->first);
            } else if (kind == ReferenceKind::Object || kind == ReferenceKind::CustomMetadataType ||
                       kind == ReferenceKind::CustomSetting) {
                add(name);
            }
        }
    }
    return objects;
}

ReferencesByKind unknown_references(const ProfileReferences& references, const cli::SchemaListing& schema,
                                    const std::map<ReferenceKind, std::set<std::string>>& listed,
                                    const ReferencesByKind& package_names) {
    return unknown_references(references, SchemaIndex(schema), listed, package_names);
}

ReferencesByKind unknown_references(const ProfileReferences& references, const SchemaIndex& schema,
                                    const std::map<ReferenceKind, std::set<std::string>>& listed,
                                    const ReferencesByKind& package_names) {
    ReferencesByKind unknown;
    for (const auto& [kind, names] : references.names) {
        const auto package = package_names.find(kind);
        const auto listing = listed.find(kind);
        for (const std::string& name : names) {
            if (package != package_names.end() && package->second.contains(name)) continue;
            if (kind == ReferenceKind::Layout && metadata::layout_reader::is_packaged_layout(name)) continue;
            if ((kind == ReferenceKind::Application || kind == ReferenceKind::CustomPermission ||
                 kind == ReferenceKind::Flow) &&
                metadata::NamespacePolicy::is_packaged_generic_component(name)) {
                continue;
            }
            bool is_unknown = false;
            if (is_listed_kind(kind)) {
                is_unknown = listing != listed.end() && !listing->second.contains(name);
            } else if (kind == ReferenceKind::Field) {
                const auto parts = metadata_types::split_once_dot(name);
                is_unknown = parts && is_object_api_name(parts->first) && !schema.knows_field(parts->first, parts->second);
            } else {
                is_unknown = is_object_api_name(name) && !schema.knows_object(name);
            }
            if (is_unknown) unknown[kind].insert(name);
        }
    }
    return unknown;
}

ReferencesByKind references_known_to_package(const std::vector<domain::ComponentDifference>& rows) {
    struct TypeKinds {
        std::string_view type;
        std::array<std::optional<ReferenceKind>, 2> kinds;
    };
    static constexpr std::array<TypeKinds, 12> kTable = {{
        {"CustomField", {ReferenceKind::Field, std::nullopt}},
        {"CustomObject", {ReferenceKind::Object, ReferenceKind::CustomSetting}},
        {"CustomMetadataType", {ReferenceKind::Object, ReferenceKind::CustomMetadataType}},
        {"PlatformEvent", {ReferenceKind::Object, std::nullopt}},
        {"ApexClass", {ReferenceKind::ApexClass, std::nullopt}},
        {"ApexPage", {ReferenceKind::ApexPage, std::nullopt}},
        {"CustomTab", {ReferenceKind::Tab, std::nullopt}},
        {"RecordType", {ReferenceKind::RecordType, std::nullopt}},
        {"Layout", {ReferenceKind::Layout, std::nullopt}},
        {"CustomApplication", {ReferenceKind::Application, std::nullopt}},
        {"CustomPermission", {ReferenceKind::CustomPermission, std::nullopt}},
        {"Flow", {ReferenceKind::Flow, std::nullopt}},
    }};
    ReferencesByKind known;
    for (const auto& row : rows) {
        if (row.change == domain::ChangeKind::NoChange || row.deploy_scope != domain::MetadataDeployScope::Full ||
            !row.deployable || row.key().metadata_type.is_data_record()) {
            continue;
        }
        const std::string_view type = row.key().metadata_type.wire_id();
        for (const TypeKinds& entry : kTable) {
            if (entry.type != type) continue;
            for (const auto& kind : entry.kinds) {
                if (kind) known[*kind].insert(row.key().name);
            }
        }
    }
    return known;
}

std::optional<std::string> profile_reference_note(const prf::ProfileTrim& trim) {
    if (trim.removed.empty()) return std::nullopt;
    std::set<std::string> items;
    for (const auto& [kind, name] : trim.removed) items.insert(fmt::format("{} {}", prf::metadata_type_name(kind), name));
    std::string note = fmt::format(fmt::runtime(kReferenceNote), trim.kept, trim.total, upf::listed_names(items));
    const std::size_t gone = trim.total > trim.kept ? trim.total - trim.kept : 0;
    if (gone > trim.removed.size()) note += fmt::format(fmt::runtime(kLayoutAssignmentNote), gone - trim.removed.size());
    return note;
}

std::string permission_set_reference_error(const prf::ProfileFilterError& error) {
    return filled(upf::kPermissionSetParseMessage, error.message());
}

UseCaseResult<ReferenceKnowledge> gather_reference_knowledge(const QuillaryApplicationService& service,
                                                             const ComparisonSession& session,
                                                             const std::string& target_org,
                                                             ReferencesPerRow& references,
                                                             const domain::CancellationToken& token) {
    (void)session;
    ReferenceKnowledge knowledge;
    std::set<std::string> objects;
    for (const auto& [key, row_references] : references) objects.merge(schema_objects_of_document(row_references));
    if (!objects.empty()) {
        auto listing = service.schema().object_field_listing(target_org, objects, token);
        if (listing) {
            knowledge.schema = std::move(*listing);
        } else {
            if (listing.error().kind == FailureKind::Cancelled) return std::unexpected(std::move(listing.error()));
            const std::string message =
                filled(kObjectFieldsUnlisted, service.sanitize_diagnostic(listing.error().first_message()));
            for (auto it = references.begin(); it != references.end();) {
                if (schema_objects_of_document(it->second).empty()) {
                    ++it;
                    continue;
                }
                knowledge.failures.emplace(it->first, message);
                it = references.erase(it);
            }
        }
    }
    for (const ReferenceKind kind : listed_reference_kinds(references)) {
        if (auto cancelled = throw_if_cancelled(token); !cancelled) return std::unexpected(cancelled.error());
        bool needed = false;
        for (const auto& [key, row_references] : references) needed = needed || holds_names(row_references, kind);
        if (!needed) continue;
        const std::string type_name(prf::metadata_type_name(kind));
        auto listing = service.core().metadata_listing(type_name, target_org, token);
        if (listing) {
            auto& names = knowledge.listed[kind];
            for (const auto& component : *listing) names.insert(component.api_name);
            continue;
        }
        if (listing.error().kind == FailureKind::Cancelled) return std::unexpected(std::move(listing.error()));
        const std::string message = fmt::format(fmt::runtime(kComponentsUnlisted), type_name,
                                                service.sanitize_diagnostic(listing.error().first_message()));
        for (auto it = references.begin(); it != references.end();) {
            if (!holds_names(it->second, kind)) {
                ++it;
                continue;
            }
            knowledge.failures.emplace(it->first, message);
            it = references.erase(it);
        }
    }
    return knowledge;
}

UseCaseResult<ProfileFiltering> filter_permission_sets(const QuillaryApplicationService& service,
                                                       const ComparisonSession& session,
                                                       std::vector<domain::ComponentDifference>& rows,
                                                       UserPermissionCatalogs& catalogs,
                                                       const domain::CancellationToken& token) {
    return filter_documents(kPermissionSets, service, session, rows, catalogs, token);
}

UseCaseResult<ProfileFiltering> filter_profiles(const QuillaryApplicationService& service,
                                                const ComparisonSession& session,
                                                std::vector<domain::ComponentDifference>& rows,
                                                UserPermissionCatalogs& catalogs, const domain::CancellationToken& token) {
    return filter_documents(kProfiles, service, session, rows, catalogs, token);
}

}  // namespace ambrel::app
