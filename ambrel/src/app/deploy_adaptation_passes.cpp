// The adaptation passes a deploy runs before its package: permission set groups, context definition
// release versions and fields, permission sets and profiles. Each pass rewrites the documents of the
// rows it may adapt, fails the rows it cannot fit (they leave the selection) and records its notes.

#include <fmt/format.h>

#include <cerrno>
#include <system_error>
#include <utility>

#include "app/application_service.hpp"
#include "app/compare_steps.hpp"
#include "app/deploy_details.hpp"
#include "metadata_types/name_rules.hpp"
#include "metadata_types/type_descriptor.hpp"
#include "platform_fs/files.hpp"
#include "text/text.hpp"

namespace ambrel::app {

namespace {

using domain::ComponentDifference;

constexpr std::string_view kPermissionSetGroupWireId = "PermissionSetGroup";
constexpr std::string_view kContextDefinitionWireId = "ContextDefinition";
constexpr std::string_view kPermissionSetWireId = "PermissionSet";
constexpr std::string_view kProfileWireId = "Profile";
// Where the retrieved target documents lie below the target project.
constexpr std::string_view kRetrievedMetadataFolder = "force-app/main/default";
// A target document larger than this is not read for its release version.
constexpr std::size_t kTargetDocumentByteLimit = 16'777'216;

constexpr std::string_view kPermissionSetsNotListed = "The target's Permission Sets could not be listed: {}";
constexpr std::string_view kGroupUnparsable = "Could not parse the permission set group document: {}";
constexpr std::string_view kContextUnparsable = "Could not parse the context definition document: {}";
constexpr std::string_view kReleaseRewritten = "Release version {} rewritten to the target's {}.";
constexpr std::string_view kObjectFieldsNotListed = "The org's object fields could not be listed: {}";
constexpr std::string_view kPermissionSetUnparsable = "Could not parse the permission set document: {}";
constexpr std::string_view kProfileUnparsable = "Could not parse the profile document: {}";
constexpr std::string_view kUserPermissionsNotListed = "The org's user permissions could not be listed: {}";
constexpr std::string_view kEmptyCatalog =
    "The org's user permissions could not be listed: the PermissionSet describe reported no user permission fields.";

template <class... Args>
std::string format(std::string_view pattern, Args&&... args) {
    return fmt::format(fmt::runtime(pattern), std::forward<Args>(args)...);
}

bool is_adaptable(const ComponentDifference& row, metadata_types::MetadataType type) {
    const bool metadata_scope = row.deploy_scope == domain::MetadataDeployScope::Full ||
                                row.deploy_scope == domain::MetadataDeployScope::TrackingOnly;
    const bool changed = row.change == domain::ChangeKind::Add || row.change == domain::ChangeKind::Update;
    return row.key().metadata_type == type && metadata_scope && row.deployable && changed && !row.edited;
}

bool any_adaptable(const ports::Rows& rows, metadata_types::MetadataType type) {
    for (const auto& row : rows)
        if (is_adaptable(row, type)) return true;
    return false;
}

// Fails rows and removes them from the selection once the pass has looked at all of them.
class RowFailures {
public:
    explicit RowFailures(FailedResults& failed) : failed_(failed) {}
    void fail(const ComponentDifference& row, std::string message) {
        failed_.push_back(domain::ComponentDeploymentResult{row.key(), std::move(message), row.change,
                                                            domain::ComponentDeploymentStatus::Failed});
        keys_.insert(row.key());
    }
    bool failed(const domain::ComponentKey& key) const { return keys_.contains(key); }
    void remove_from(ports::Rows& rows) {
        if (keys_.empty()) return;
        std::erase_if(rows, [&](const ComponentDifference& row) { return keys_.contains(row.key()); });
        keys_.clear();
    }

private:
    FailedResults& failed_;
    std::set<domain::ComponentKey> keys_;
};

// The release version of a target document, read from the compare's retrieved target project.
// No entry when the file does not exist; an entry without a version for any other problem.
std::optional<std::optional<std::string>> target_release_version(const ports::DeployAdaptation& adaptation,
                                                                  const std::filesystem::path& project,
                                                                  const std::string& relative) {
    auto text = platform_fs::files::read_regular_file(project / kRetrievedMetadataFolder / relative, kTargetDocumentByteLimit);
    if (!text) {
        if (text.error() == std::errc::no_such_file_or_directory) return std::nullopt;
        return std::optional<std::string>();
    }
    auto version = adaptation.release_version(*text);
    if (!version || !version->has_value() || !adaptation.parse_release_version(**version)) {
        return std::optional<std::string>();
    }
    return std::optional<std::string>(std::move(**version));
}

}  // namespace

UseCaseResult<void> QuillaryApplicationService::filter_permission_set_groups(const ComparisonSession& session,
                                                                              ports::Rows& rows,
                                                                              PermissionSetGroupFiltering& record,
                                                                              const domain::CancellationToken& token) const {
    const auto type = metadata_types::metadata_type_by_wire_id(kPermissionSetGroupWireId);
    if (!type || !any_adaptable(rows, *type)) return {};
    if (auto live = throw_if_cancelled(token); !live) return live;
    std::set<std::string> package_names;
    if (const auto set_type = metadata_types::metadata_type_by_wire_id(kPermissionSetWireId)) {
        for (const auto& row : rows) {
            const bool metadata_scope = row.deploy_scope == domain::MetadataDeployScope::Full ||
                                        row.deploy_scope == domain::MetadataDeployScope::TrackingOnly;
            if (row.key().metadata_type == *set_type && metadata_scope && row.deployable)
                package_names.insert(row.key().name);
        }
    }
    const bool org_target = session.target().is_org();
    ports::PortResult<std::set<std::string>> target_names;
    if (org_target) {
        target_names = permission_set_name_listing().permission_set_name_listing(session.target_username(), token);
    } else {
        auto files = git().git_container_listing(session.target(), token);
        if (files) {
            target_names.emplace();
            for (const auto& file : *files)
                if (file.kind == domain::FlsContainerKind::PermissionSet) target_names->insert(file.name);
        } else {
            target_names = std::unexpected(std::move(files.error()));
        }
    }
    RowFailures failures(record.failed);
    if (!target_names) {
        if (target_names.error().kind == FailureKind::Cancelled) return std::unexpected(std::move(target_names.error()));
        const std::string detail = sanitize_diagnostic(target_names.error().first_message());
        for (const auto& row : rows)
            if (is_adaptable(row, *type)) failures.fail(row, format(kPermissionSetsNotListed, detail));
        failures.remove_from(rows);
        return {};
    }
    record.target_names = *target_names;
    record.allowed_names = std::move(*target_names);
    record.allowed_names.insert(package_names.begin(), package_names.end());
    const auto& adaptation = deploy_adaptation();
    for (auto& row : rows) {
        if (!is_adaptable(row, *type)) continue;
        auto filtered =
            adaptation.filter_permission_set_group(row.source.document, record.allowed_names, org_target, org_target);
        if (!filtered) {
            failures.fail(row, sanitize_diagnostic(format(kGroupUnparsable, filtered.error())));
            continue;
        }
        row.source.document = std::move(filtered->document);
        if (filtered->message) record.notes.insert_or_assign(row.key(), std::move(*filtered->message));
    }
    failures.remove_from(rows);
    return {};
}

UseCaseResult<void> QuillaryApplicationService::filter_context_release_versions(
    const ComparisonSession& session, ports::Rows& rows, ContextReleaseVersionFiltering& record,
    const domain::CancellationToken& token) const {
    const auto type = metadata_types::metadata_type_by_wire_id(kContextDefinitionWireId);
    if (!type || !session.target().is_org() || !any_adaptable(rows, *type)) return {};
    if (auto live = throw_if_cancelled(token); !live) return live;
    const auto& adaptation = deploy_adaptation();

    std::map<std::string, std::optional<std::string>> versions;
    if (session.workspace() != nullptr) {
        const auto& project = session.workspace()->target_project();
        const auto& format_of = type->descriptor().content_format;
        for (const auto& row : session.rows()) {
            if (row.key().metadata_type != *type) continue;
            auto relative = format_of.edited_document_path(row.key().name);
            if (!relative || !metadata_types::is_safe_relative_path_for(*relative, false)) continue;
            if (auto entry = target_release_version(adaptation, project, *relative))
                versions.insert_or_assign(row.key().name, std::move(*entry));
        }
    }
    std::optional<std::pair<ports::ReleaseVersion, std::string>> highest;
    for (const auto& [name, version] : versions) {
        if (!version) continue;
        auto parsed = adaptation.parse_release_version(*version);
        if (!parsed) continue;
        if (!highest || *parsed >= highest->first) highest.emplace(std::move(*parsed), *version);
    }

    RowFailures failures(record.failed);
    for (auto& row : rows) {
        if (!is_adaptable(row, *type)) continue;
        std::optional<std::string> chosen;
        if (auto entry = versions.find(row.key().name); entry != versions.end()) {
            chosen = entry->second;
        } else if (highest) {
            chosen = highest->second;
        }
        if (!chosen) continue;
        auto rewritten = adaptation.rewrite_release_version(row.source.document, *chosen);
        if (!rewritten) {
            failures.fail(row, sanitize_diagnostic(format(kContextUnparsable, rewritten.error())));
            continue;
        }
        if (!rewritten->has_value()) continue;
        row.source.document = std::move((*rewritten)->document);
        record.notes.insert_or_assign(row.key(), format(kReleaseRewritten, (*rewritten)->former_version, *chosen));
    }
    failures.remove_from(rows);
    return {};
}

UseCaseResult<void> QuillaryApplicationService::filter_context_definitions(const ComparisonSession& session,
                                                                            ports::Rows& rows,
                                                                            ContextDefinitionFiltering& record,
                                                                            const domain::CancellationToken& token) const {
    const auto type = metadata_types::metadata_type_by_wire_id(kContextDefinitionWireId);
    if (!type || !session.source().is_org() || !session.target().is_org() || !any_adaptable(rows, *type)) return {};
    const auto& adaptation = deploy_adaptation();
    RowFailures failures(record.failed);
    std::set<std::string> objects;
    for (const auto& row : rows) {
        if (!is_adaptable(row, *type)) continue;
        auto names = adaptation.referenced_object_names(row.source.document);
        if (!names) {
            failures.fail(row, sanitize_diagnostic(format(kContextUnparsable, names.error())));
            continue;
        }
        objects.insert(names->begin(), names->end());
    }
    failures.remove_from(rows);
    if (!any_adaptable(rows, *type)) return {};
    if (auto live = throw_if_cancelled(token); !live) return live;

    auto source_listing = schema().object_field_listing(session.source_username(), objects, token);
    ports::PortResult<cli::SchemaListing> target_listing = std::unexpected(WorkflowFailure{});
    if (source_listing) target_listing = schema().object_field_listing(session.target_username(), objects, token);
    const WorkflowFailure* failure = !source_listing   ? &source_listing.error()
                                     : !target_listing ? &target_listing.error()
                                                       : nullptr;
    if (failure != nullptr) {
        if (failure->kind == FailureKind::Cancelled) return std::unexpected(*failure);
        const std::string detail = sanitize_diagnostic(failure->first_message());
        for (const auto& row : rows)
            if (is_adaptable(row, *type)) failures.fail(row, format(kObjectFieldsNotListed, detail));
        failures.remove_from(rows);
        return {};
    }
    const ports::PackageSchema known = adaptation.schema_known_to_package(rows);
    target_listing->objects.insert(known.objects.begin(), known.objects.end());
    target_listing->fields.insert(known.fields.begin(), known.fields.end());
    const ports::Sanitizer sanitizer = [this](const std::string& text) { return sanitize_diagnostic(text); };
    auto filtered = adaptation.filter_context_definition_rows(rows, *type, *source_listing, *target_listing, {}, sanitizer);
    record.failed.insert(record.failed.end(), filtered.failed.begin(), filtered.failed.end());
    record.notes = std::move(filtered.notes);
    record.documents_before_filter = std::move(filtered.documents_before_filter);
    record.source_listing = std::move(*source_listing);
    record.target_listing = std::move(*target_listing);
    return {};
}

namespace {

struct ContainerPass {
    std::string_view wire_id;
    std::string_view unparsable;
};

constexpr ContainerPass kPermissionSetPass{kPermissionSetWireId, kPermissionSetUnparsable};
constexpr ContainerPass kProfilePass{kProfileWireId, kProfileUnparsable};

}  // namespace

// The permission set and the profile pass differ only in their type and sentences.
static UseCaseResult<void> filter_containers(const QuillaryApplicationService& service, const ContainerPass& pass,
                                            const ComparisonSession& session, ports::Rows& rows,
                                            domain::DeployMode mode, ProfileFiltering& record,
                                            UserPermissionCatalogs& catalogs, const domain::CancellationToken& token) {
    const auto type = metadata_types::metadata_type_by_wire_id(pass.wire_id);
    if (mode != domain::DeployMode::BestEffort || !session.source().is_org() || !session.target().is_org() || !type)
        return {};
    const auto& adaptation = service.deploy_adaptation();
    auto clean = [&](std::string text) { return service.sanitize_diagnostic(text); };
    RowFailures failures(record.failed);

    std::map<domain::ComponentKey, std::set<std::string>> permissions;
    std::map<domain::ComponentKey, ports::ProfileReferences> references;
    for (const auto& row : rows) {
        if (!is_adaptable(row, *type)) continue;
        auto names = adaptation.user_permission_names(row.source.document);
        if (!names) {
            failures.fail(row, clean(format(pass.unparsable, names.error())));
            continue;
        }
        auto referenced = adaptation.profile_references(row.source.document);
        if (!referenced) {
            failures.fail(row, clean(format(pass.unparsable, referenced.error())));
            continue;
        }
        if (!names->empty()) permissions.emplace(row.key(), std::move(*names));
        if (!referenced->is_empty()) references.emplace(row.key(), std::move(*referenced));
    }
    failures.remove_from(rows);
    if (permissions.empty() && references.empty()) return {};
    if (auto live = throw_if_cancelled(token); !live) return live;

    const metadata::user_permission_filter::UserPermissionCatalog* source_catalog = nullptr;
    const metadata::user_permission_filter::UserPermissionCatalog* target_catalog = nullptr;
    if (!permissions.empty()) {
        auto catalog_of = [&](const std::string& org)
            -> ports::PortResult<const metadata::user_permission_filter::UserPermissionCatalog*> {
            if (auto cached = catalogs.by_org.find(org); cached != catalogs.by_org.end()) return &cached->second;
            auto listed = service.schema().user_permission_listing(org, token);
            if (!listed) return std::unexpected(std::move(listed.error()));
            return &catalogs.by_org.insert_or_assign(org, std::move(*listed)).first->second;
        };
        std::optional<std::string> problem;
        auto source = catalog_of(session.source_username());
        ports::PortResult<const metadata::user_permission_filter::UserPermissionCatalog*> target = nullptr;
        if (source) target = catalog_of(session.target_username());
        const WorkflowFailure* failure = !source ? &source.error() : !target ? &target.error() : nullptr;
        if (failure != nullptr) {
            if (failure->kind == FailureKind::Cancelled) return std::unexpected(*failure);
            problem = format(kUserPermissionsNotListed, clean(failure->first_message()));
        } else if ((*source)->names.empty() || (*target)->names.empty()) {
            problem = std::string(kEmptyCatalog);
        } else {
            source_catalog = *source;
            target_catalog = *target;
        }
        if (problem) {
            for (const auto& row : rows)
                if (permissions.contains(row.key())) failures.fail(row, *problem);
            for (const auto& [key, names] : permissions) references.erase(key);
            permissions.clear();
            failures.remove_from(rows);
        }
    }

    ports::ReferenceKnowledge knowledge;
    if (!references.empty()) {
        auto gathered = adaptation.gather_reference_knowledge(service, session, session.target_label(), references, token);
        if (!gathered) return std::unexpected(std::move(gathered.error()));
        knowledge = std::move(*gathered);
        for (const auto& row : rows) {
            auto unchecked = knowledge.unchecked.find(row.key());
            if (unchecked == knowledge.unchecked.end()) continue;
            failures.fail(row, unchecked->second);
            permissions.erase(row.key());
        }
        failures.remove_from(rows);
    }
    const ports::ReferencesByKind known = adaptation.references_known_to_package(rows);

    for (auto& row : rows) {
        std::string note;
        if (auto granted = permissions.find(row.key());
            granted != permissions.end() && source_catalog != nullptr && target_catalog != nullptr) {
            std::set<std::string> removable;
            for (const auto& name : granted->second)
                if (source_catalog->knows(name) && !target_catalog->knows(name)) removable.insert(name);
            if (!removable.empty()) {
                auto filtered = adaptation.filter_user_permissions(row.source.document, removable);
                if (!filtered) {
                    failures.fail(row, clean(filtered.error()));
                    continue;
                }
                row.source.document = std::move(filtered->document);
                note = filtered->note.value_or(std::string());
            }
        }
        if (auto referenced = references.find(row.key()); referenced != references.end()) {
            const ports::ReferencesByKind unknown = adaptation.unknown_references(referenced->second, knowledge, known);
            if (!ports::ProfileReferences{unknown}.is_empty()) {
                auto filtered = adaptation.filter_profile_references(row.source.document, unknown);
                if (!filtered) {
                    failures.fail(row, clean(format(pass.unparsable, filtered.error())));
                    continue;
                }
                row.source.document = std::move(filtered->document);
                if (filtered->note) append_row_note(note, *filtered->note);
            }
        }
        if (!note.empty()) record.notes.insert_or_assign(row.key(), std::move(note));
    }
    failures.remove_from(rows);
    return {};
}

UseCaseResult<void> QuillaryApplicationService::filter_permission_sets(const ComparisonSession& session,
                                                                        ports::Rows& rows, domain::DeployMode mode,
                                                                        ProfileFiltering& record,
                                                                        UserPermissionCatalogs& catalogs,
                                                                        const domain::CancellationToken& token) const {
    return filter_containers(*this, kPermissionSetPass, session, rows, mode, record, catalogs, token);
}

UseCaseResult<void> QuillaryApplicationService::filter_profiles(const ComparisonSession& session, ports::Rows& rows,
                                                                 domain::DeployMode mode, ProfileFiltering& record,
                                                                 UserPermissionCatalogs& catalogs,
                                                                 const domain::CancellationToken& token) const {
    return filter_containers(*this, kProfilePass, session, rows, mode, record, catalogs, token);
}

}  // namespace ambrel::app
