// The two compare roads of the application service: between two orgs, and with a git branch on a
// side. See application_service.hpp for their failures and expansion_loop.hpp for the widening.

#include <set>
#include <string>
#include <utility>

#include <fmt/format.h>

#include "app/application_service.hpp"
#include "app/compare_steps.hpp"
#include "app/dependency_additions/object_additions.hpp"
#include "app/expansion_loop.hpp"
#include "app/model_shells.hpp"
#include "app/object_scope.hpp"
#include "metadata/manifest/api_versions.hpp"
#include "support/programming_error.hpp"
#include "text/text.hpp"

namespace ambrel::app {

namespace {

using endpoint::DeployEndpoint;
using endpoint::OrgAlias;
using metadata_types::MetadataType;

WorkflowFailure validation(std::string_view message) { return WorkflowFailure::single(FailureKind::Validation, message); }

WorkflowFailure alias_unavailable(std::string_view side) {
    return validation(fmt::format(fmt::runtime(kAliasUnavailableFormat), side));
}

bool holds_any_member(const CompareSelection& selection) {
    for (const auto& entry : selection) {
        if (!entry.second.empty()) return true;
    }
    return false;
}

// Every member name of the selection, whatever its type.
std::set<std::string> all_member_names(const CompareSelection& selection) {
    std::set<std::string> names;
    for (const auto& entry : selection) names.insert(entry.second.begin(), entry.second.end());
    return names;
}

// The target's object names that the selection names (under any type).
std::set<std::string> selected_target_objects(const std::set<std::string>& target_objects,
                                              const CompareSelection& selection) {
    const std::set<std::string> names = all_member_names(selection);
    std::set<std::string> selected;
    for (const std::string& object : target_objects) {
        if (names.contains(object)) selected.insert(object);
    }
    return selected;
}

// The one listed org of that alias (byte for byte), or the side's no-longer-available failure.
UseCaseResult<OrgAlias> match_listed(const std::vector<OrgAlias>& orgs, const std::string& alias,
                                     std::string_view side) {
    const OrgAlias* match = nullptr;
    for (const OrgAlias& org : orgs) {
        if (org.alias != alias) continue;
        if (match != nullptr) return std::unexpected(alias_unavailable(side));
        match = &org;
    }
    if (match == nullptr) return std::unexpected(alias_unavailable(side));
    return *match;
}

bool has_identity(const OrgAlias& org) { return !text::trim(org.org_id).empty() && !text::trim(org.username).empty(); }

std::filesystem::path metadata_folder(const std::filesystem::path& project) { return project / kProjectMetadataFolder; }

}  // namespace

SessionResult QuillaryApplicationService::compare_endpoints_with_settings(
    const DeployEndpoint& source, const DeployEndpoint& target, const CompareSelection& selection,
    metadata_types::LayoutComparisonMode layout_mode, bool allow_best_effort_on_production,
    bool retry_unexpected_errors_alone, const domain::CancellationToken& token) const {
    if (source.is_git() || target.is_git()) {
        return compare_with_git(source, target, selection, layout_mode, allow_best_effort_on_production,
                                retry_unexpected_errors_alone, token);
    }
    const std::string& source_alias = source.org()->org.alias;
    const std::string& target_alias = target.org()->org.alias;
    if (text::trim(source_alias).empty()) return std::unexpected(validation(kSelectSourceMessage));
    if (text::trim(target_alias).empty()) return std::unexpected(validation(kSelectTargetMessage));
    if (!holds_any_member(selection)) return std::unexpected(validation(kSelectComponentMessage));
    if (auto refused = refuse_record_data_types(selection); !refused) return std::unexpected(refused.error());
    if (auto valid = validate_manifest_members(selection); !valid) return std::unexpected(valid.error());
    if (auto live = throw_if_cancelled(token); !live) return std::unexpected(live.error());

    auto orgs = core_->org_alias_listing(token);
    if (!orgs) return std::unexpected(std::move(orgs.error()));
    auto source_org = match_listed(*orgs, source_alias, kSourceSide);
    if (!source_org) return std::unexpected(std::move(source_org.error()));
    auto target_org = match_listed(*orgs, target_alias, kTargetSide);
    if (!target_org) return std::unexpected(std::move(target_org.error()));
    if (!has_identity(*source_org) || !has_identity(*target_org)) {
        return std::unexpected(validation(kUnresolvedIdentitiesMessage));
    }
    if (text::equals_ascii_case_insensitive(text::trim(source_org->org_id), text::trim(target_org->org_id))) {
        return std::unexpected(validation(kSameOrgMessage));
    }
    const std::string api_version = metadata::manifest::api_version_for_orgs(
        std::optional<OrgAlias>(*source_org), std::optional<OrgAlias>(*target_org));

    auto objects = core_->object_listing(target_org->username, target_org->alias, token);
    if (!objects) return std::unexpected(std::move(objects.error()));
    std::set<std::string> target_objects;
    for (const cli::catalogs::SalesforceObject& object : *objects) target_objects.insert(object.api_name);

    CompareSelection working = selection;
    dependency::WarningList warnings;
    if (auto widened = widen_with_tagging_models(*bundle_, working, source_org->username, source_org->alias,
                                                 api_version, warnings, token);
        !widened) {
        return std::unexpected(std::move(widened.error()));
    }

    const ExpansionSettings settings{
        .source_org = source_org->username,
        .target_org = target_org->username,
        .manifest_of = retrieve_manifest_with_model_shells,
        .object_names_of = [&target_objects](const CompareSelection& current) {
            return selected_target_objects(target_objects, current);
        },
        .api_version = api_version,
        .discovery_org = source_org->username,
        .target_object_names = target_objects,
    };
    std::optional<dependency::DependencyGraph> graph;
    auto expanded = run_dependency_expansion(*core_, settings, selection, working, warnings, graph, token);
    if (!expanded) return std::unexpected(std::move(expanded.error()));
    const std::shared_ptr<metadata::workspace::MetadataWorkspace> workspace = expanded->retrieved.workspace;
    const auto fail = [&workspace](WorkflowFailure failure) {
        return std::unexpected(close_preserving_workspace(workspace, std::move(failure)));
    };
    if (token.is_cancelled()) return fail(WorkflowFailure::cancelled());

    // The target side once, for the final selection narrowed to the objects the target has.
    const CompareSelection manifest = retrieve_manifest_with_model_shells(working);
    const RetrieveContinuation continuation{workspace, manifest};
    auto final_retrieve =
        core_->metadata_retrieval(source_org->username, target_org->username, manifest,
                                  selected_target_objects(target_objects, working), &continuation,
                                  metadata::retrieve::RetrieveScope::Target, api_version, token);
    if (!final_retrieve) return fail(std::move(final_retrieve.error()));

    auto synthesis = synthesize_record_documents(*bundle_, working, *source_org, *target_org,
                                                 final_retrieve->workspace, api_version, token);
    if (!synthesis) return fail(std::move(synthesis.error()));
    for (const std::string& warning : synthesis->warnings) dependency::push_warning(warnings, warning);

    auto session = build_session(source_alias, target_alias, *source_org, *target_org, working, selection,
                                 *final_retrieve, std::move(graph), std::move(warnings), layout_mode, api_version,
                                 *synthesis, allow_best_effort_on_production, retry_unexpected_errors_alone, token);
    if (!session) return fail(std::move(session.error()));
    return session;
}

UseCaseResult<OrgAlias> QuillaryApplicationService::resolve_single_org(const ports::CorePorts& core,
                                                                       const std::string& alias, std::string_view side,
                                                                       const domain::CancellationToken& token) {
    auto orgs = core.org_alias_listing(token);
    if (!orgs) return std::unexpected(std::move(orgs.error()));
    auto match = match_listed(*orgs, alias, side);
    if (!match) return match;
    if (!has_identity(*match)) return std::unexpected(validation(kUnresolvedIdentitiesMessage));
    return match;
}

SessionResult QuillaryApplicationService::compare_with_git(const DeployEndpoint& source, const DeployEndpoint& target,
                                                           const CompareSelection& selection,
                                                           metadata_types::LayoutComparisonMode layout_mode,
                                                           bool allow_best_effort_on_production,
                                                           bool retry_unexpected_errors_alone,
                                                           const domain::CancellationToken& token) const {
    if (!holds_any_member(selection)) return std::unexpected(validation(kSelectComponentToCompareMessage));
    if (auto refused = refuse_record_data_types(selection); !refused) return std::unexpected(refused.error());
    if (selection.contains(MetadataType::ProductBundle) || selection.contains(MetadataType::ConstraintModel)) {
        return std::unexpected(WorkflowFailure::operation(kRecordsBetweenOrgsOnlyMessage));
    }
    if (auto valid = validate_manifest_members(selection); !valid) return std::unexpected(valid.error());
    if (auto live = throw_if_cancelled(token); !live) return std::unexpected(live.error());

    std::optional<OrgAlias> source_org;
    std::optional<OrgAlias> target_org;
    if (const DeployEndpoint::Org* org = source.org()) {
        auto resolved = resolve_single_org(*core_, org->org.alias, kSourceSide, token);
        if (!resolved) return std::unexpected(std::move(resolved.error()));
        source_org = std::move(*resolved);
    }
    if (const DeployEndpoint::Org* org = target.org()) {
        auto resolved = resolve_single_org(*core_, org->org.alias, kTargetSide, token);
        if (!resolved) return std::unexpected(std::move(resolved.error()));
        target_org = std::move(*resolved);
    }
    const std::string api_version = metadata::manifest::api_version_for_orgs(source_org, target_org);

    CompareSelection working = selection;
    dependency::WarningList warnings;
    std::optional<dependency::DependencyGraph> graph;
    RetrievedWorkspace retrieved;
    if (source_org) {
        const ExpansionSettings settings{
            .source_org = source_org->username,
            .target_org = source_org->username,
            .manifest_of = [](const CompareSelection& current) { return current; },
            .object_names_of = [](const CompareSelection&) { return std::set<std::string>(); },
            .api_version = api_version,
            .discovery_org = source_org->username,
            .target_object_names = {},
        };
        auto expanded = run_dependency_expansion(*core_, settings, selection, working, warnings, graph, token);
        if (!expanded) return std::unexpected(std::move(expanded.error()));
        retrieved = std::move(expanded->retrieved);
        retrieved.missing_objects.clear();
    } else if (target_org) {
        auto existing = existing_target_objects(*core_, target_org->username, target_org->alias, selection, token);
        if (!existing) return std::unexpected(std::move(existing.error()));
        auto target_retrieve = core_->metadata_retrieval(target_org->username, target_org->username, selection,
                                                         *existing, nullptr, metadata::retrieve::RetrieveScope::Target,
                                                         api_version, token);
        if (!target_retrieve) return std::unexpected(std::move(target_retrieve.error()));
        retrieved.workspace = std::move(target_retrieve->workspace);
        retrieved.missing_objects = missing_object_members(selection, *existing);
    } else {
        auto created = git_->workspace_creation();
        if (!created) return std::unexpected(std::move(created.error()));
        retrieved.workspace = std::move(*created);
    }
    const std::shared_ptr<metadata::workspace::MetadataWorkspace> workspace = retrieved.workspace;
    const auto fail = [&workspace](WorkflowFailure failure) {
        return std::unexpected(close_preserving_workspace(workspace, std::move(failure)));
    };
    support::require(workspace != nullptr, "a git compare has its workspace once both sides are set up");

    if (source.is_git()) dependency::push_warning(warnings, std::string(kGitSourceDiscoveryWarning));

    // A component that a branch cannot give whole is left out of both sides (never shown as equal,
    // added or changed): its warning says why.
    std::size_t names_not_utf8 = 0;
    const auto materialize = [&](const DeployEndpoint& side, const std::filesystem::path& project,
                                 bool target_side) -> std::expected<void, WorkflowFailure> {
        if (token.is_cancelled()) return std::unexpected(WorkflowFailure::cancelled());
        auto written = git_->git_materialization(side, working, metadata_folder(project), target_side, token);
        if (!written) return std::unexpected(std::move(written.error()));
        for (std::string& warning : written->warnings) dependency::push_warning(warnings, std::move(warning));
        for (const auto& [type, names] : written->skipped) {
            const auto entry = working.find(type);
            if (entry == working.end()) continue;
            for (const std::string& name : names) entry->second.erase(name);
            if (entry->second.empty()) working.erase(entry);
        }
        names_not_utf8 += written->names_not_utf8;
        return {};
    };
    if (source.is_git()) {
        if (auto written = materialize(source, workspace->source_project(), false); !written) {
            return fail(std::move(written.error()));
        }
    }
    if (target.is_git()) {
        if (auto written = materialize(target, workspace->target_project(), true); !written) {
            return fail(std::move(written.error()));
        }
    }

    if (names_not_utf8 > 0) {
        dependency::push_warning(warnings, fmt::format(fmt::runtime(kNamesNotUtf8Warning), names_not_utf8));
    }

    const DeployEndpoint session_source =
        source_org ? DeployEndpoint{DeployEndpoint::Org{*source_org}} : source;
    const DeployEndpoint session_target =
        target_org ? DeployEndpoint{DeployEndpoint::Org{*target_org}} : target;
    auto session = build_session_from_endpoints(session_source, session_target, working, selection, retrieved,
                                                std::move(graph), std::move(warnings), layout_mode, api_version,
                                                allow_best_effort_on_production, retry_unexpected_errors_alone, token);
    if (!session) return fail(std::move(session.error()));
    return session;
}

}  // namespace ambrel::app
