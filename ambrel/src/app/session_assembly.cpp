#include "app/session_assembly.hpp"

#include <algorithm>
#include <map>
#include <optional>
#include <set>
#include <unordered_set>
#include <utility>

#include <fmt/format.h>

#include "app/application_service.hpp"
#include "app/compare_steps.hpp"
#include "app/comparison_session.hpp"
#include "app/dependency_graph.hpp"
#include "app/row_policies.hpp"
#include "app/row_retention.hpp"
#include "comparison/layout.hpp"
#include "data/bundles/synthesis/tagging_model_names.hpp"
#include "data/bundles/synthesis/versions.hpp"
#include "text/text.hpp"

namespace ambrel::app {

namespace {

using domain::ChangeKind;
using domain::ComponentDifference;
using domain::ComponentKey;
using domain::MetadataDeployScope;
using metadata_types::MetadataType;

constexpr std::string_view kCustomTab = "CustomTab";
constexpr std::string_view kRecordType = "RecordType";
constexpr std::string_view kExpressionSetDefinition = "ExpressionSetDefinition";
constexpr std::string_view kExpressionSetDefinitionVersion = "ExpressionSetDefinitionVersion";

using Rows = std::vector<ComponentDifference>;

bool is_record_type(MetadataType type) {
    return type == MetadataType::ProductBundle || type == MetadataType::ConstraintModel;
}

// The shared steps: read, filter and compare each selected type, then the row policies.
std::expected<Rows, WorkflowFailure> compare_selected_types(const ports::CorePorts& core,
                                                            const CompareSelection& working,
                                                            const RetrievedWorkspace& retrieved,
                                                            metadata_types::LayoutComparisonMode layout_mode,
                                                            dependency::WarningList& warnings,
                                                            const domain::CancellationToken& token) {
    if (auto live = throw_if_cancelled(token); !live) return std::unexpected(live.error());
    const std::filesystem::path source_folder = retrieved.workspace->source_project() / kProjectMetadataFolder;
    const std::filesystem::path target_folder = retrieved.workspace->target_project() / kProjectMetadataFolder;
    static const std::set<std::string> kNoMissingObjects;
    // Each type's rows are kept apart and joined once at the end, so that no row moves twice.
    std::vector<Rows> rows_by_type;
    rows_by_type.reserve(working.size());
    for (const auto& [type, names] : working) {
        const metadata_types::TypeDescriptor& descriptor = type.descriptor();
        if (auto live = throw_if_cancelled(token); !live) return std::unexpected(live.error());
        auto source = core.component_reading(type, source_folder);
        if (!source) return std::unexpected(std::move(source.error()));
        std::vector<domain::MetadataComponent> source_components = read_selected(std::move(*source), descriptor, names);
        if (auto live = throw_if_cancelled(token); !live) return std::unexpected(live.error());
        auto target = core.component_reading(type, target_folder);
        if (!target) return std::unexpected(std::move(target.error()));
        std::vector<domain::MetadataComponent> target_components = read_selected(std::move(*target), descriptor, names);
        if (auto live = throw_if_cancelled(token); !live) return std::unexpected(live.error());

        Rows type_rows;
        if (layout_mode == metadata_types::LayoutComparisonMode::Elements && type == MetadataType::Layout) {
            comparison::layout::LayoutComparison compared =
                comparison::layout::compare_layouts(source_components, target_components);
            for (std::string& warning : compared.warnings) warnings.push_back(std::move(warning));
            type_rows = std::move(compared.rows);
        } else {
            type_rows = core.component_comparison(descriptor, source_components, target_components,
                                                  descriptor.parent_type ? retrieved.missing_objects : kNoMissingObjects);
        }
        if (!descriptor.deploys_through_metadata_api) {
            const std::string reason = fmt::format(fmt::runtime(kNotSupportedYetFormat), descriptor.api_name);
            for (ComponentDifference& row : type_rows) {
                row.deployable = false;
                row.block_reason = reason;
            }
        }
        rows_by_type.push_back(std::move(type_rows));
    }
    Rows rows;
    std::size_t total = 0;
    for (const Rows& type_rows : rows_by_type) total += type_rows.size();
    rows.reserve(total);
    for (Rows& type_rows : rows_by_type) {
        rows.insert(rows.end(), std::make_move_iterator(type_rows.begin()), std::make_move_iterator(type_rows.end()));
    }
    apply_object_definition_policy(rows);
    apply_standard_profile_policy(rows);
    apply_field_unblock_policy(rows);
    apply_path_safety_policy(rows, layout_mode);
    return rows;
}

void decide_record_rows(Rows& rows, const RecordSynthesis& synthesis, TargetOrgClass target_class,
                        bool allow_best_effort_on_production) {
    for (ComponentDifference& row : rows) {
        if (!is_record_type(row.key().metadata_type)) continue;
        std::optional<std::string> reason;
        if (const auto found = synthesis.row_reasons.find(row.key()); found != synthesis.row_reasons.end()) {
            reason = found->second;
        } else if (const auto type_found = synthesis.type_reasons.find(row.key().metadata_type);
                   type_found != synthesis.type_reasons.end()) {
            reason = type_found->second;
        } else if (target_class == TargetOrgClass::Production) {
            if (!allow_best_effort_on_production) reason = std::string(kProductionRecordsReason);
        } else if (target_class == TargetOrgClass::Unconfirmed) {
            reason = std::string(kUnconfirmedRecordsReason);
        }
        if (reason) {
            row.deployable = false;
            row.block_reason = std::move(reason);
        } else {
            row.deployable = true;
            row.block_reason.reset();
            row.deploy_scope = MetadataDeployScope::Records;
        }
    }
}

void block_expression_sets_of_models(Rows& rows) {
    std::set<std::string> model_names;
    std::set<std::string> version_names;
    for (const ComponentDifference& row : rows) {
        if (row.key().metadata_type != MetadataType::ConstraintModel || !row.deployable) continue;
        model_names.insert(row.key().name);
        version_names.merge(data::bundles::synthesis::version_names_in(row.source.document));
    }
    if (model_names.empty()) return;
    const auto definition = metadata_types::metadata_type_by_wire_id(kExpressionSetDefinition);
    const auto version = metadata_types::metadata_type_by_wire_id(kExpressionSetDefinitionVersion);
    for (ComponentDifference& row : rows) {
        const MetadataType type = row.key().metadata_type;
        const bool deployed_by_model = (definition && type == *definition && model_names.contains(row.key().name)) ||
                                       (version && type == *version && version_names.contains(row.key().name));
        if (!deployed_by_model) continue;
        row.deployable = false;
        row.block_reason = std::string(kDeployedByModelReason);
    }
}

// A component a side could not give follows the rows of its type (at the end when its type has none),
// in key order: it compares as nothing else, and nothing of it can be deployed.
void append_not_comparable_rows(Rows& rows, const std::map<ComponentKey, std::string>& not_comparable) {
    for (const auto& [key, reason] : not_comparable) {
        ComponentDifference row;
        row.source.key = key;
        row.change = ChangeKind::NotComparable;
        row.deployable = false;
        row.block_reason = reason;
        const auto last = std::find_if(rows.rbegin(), rows.rend(), [&key](const ComponentDifference& each) {
            return each.key().metadata_type == key.metadata_type;
        });
        rows.insert(last == rows.rend() ? rows.end() : last.base(), std::move(row));
    }
}

// Each tagged model joins the pull-in map behind the first bundle (in key order) that it tags.
void add_tagged_models(const Rows& rows, PullInMap& pull_in) {
    std::map<ComponentKey, ComponentKey> first_bundle;
    for (const auto& [bundle, models] : tagged_model_pairs(rows)) {
        for (const ComponentKey& model : models) first_bundle.emplace(model, bundle);
    }
    for (auto& [model, bundle] : first_bundle) pull_in.emplace(model, bundle);
}

std::shared_ptr<ComparisonSession> make_session(endpoint::DeployEndpoint source, endpoint::DeployEndpoint target,
                                                Rows rows, const RetrievedWorkspace& retrieved,
                                                dependency::WarningList warnings, ComparisonDependencyGraph graph,
                                                TargetOrgClass target_class, const std::string& api_version,
                                                bool allow_best_effort_on_production,
                                                bool retry_unexpected_errors_alone) {
    dependency::DependencyGraph session_graph{
        .warnings = std::move(warnings),
        .edges = std::move(graph.edges),
        .unresolved = std::move(graph.unresolved),
    };
    return ComparisonSession::with_retry_unexpected_errors_alone(
        std::move(source), std::move(target), std::move(rows), retrieved.workspace, std::move(session_graph),
        target_class, api_version, allow_best_effort_on_production, retry_unexpected_errors_alone);
}

}  // namespace

endpoint::DeployEndpoint org_endpoint(const std::string& alias, const std::string& username,
                                      const std::string& org_id) {
    endpoint::OrgAlias org;
    org.alias = alias;
    org.username = username;
    org.org_id = org_id;
    org.kind = endpoint::OrgKind::Other;
    return endpoint::DeployEndpoint{endpoint::DeployEndpoint::Org{std::move(org)}};
}

void synthesize_permission_only_rows(Rows& rows, const CompareSelection& working) {
    std::set<MetadataType> carrying{MetadataType::CustomObject, MetadataType::PlatformEvent, MetadataType::ApexClass,
                                    MetadataType::ApexPage};
    for (const std::string_view wire_id : {kCustomTab, kRecordType}) {
        if (const auto type = metadata_types::metadata_type_by_wire_id(wire_id)) carrying.insert(*type);
    }
    // Only looked up, never walked, so hash sets serve.
    std::map<MetadataType, std::unordered_set<std::string_view>> present;
    for (const ComponentDifference& row : rows) {
        if (carrying.contains(row.key().metadata_type)) present[row.key().metadata_type].insert(row.key().name);
    }
    Rows added;
    for (const auto& [type, names] : working) {
        if (!carrying.contains(type)) continue;
        const auto found = present.find(type);
        for (const std::string& name : names) {
            if (found != present.end() && found->second.contains(name)) continue;
            ComponentDifference row;
            row.source.key = ComponentKey{type, name};
            row.change = ChangeKind::NoChange;
            row.deploy_scope = MetadataDeployScope::PermissionsOnly;
            row.deployable = true;
            added.push_back(std::move(row));
        }
    }
    if (added.empty()) return;
    rows.insert(rows.end(), std::make_move_iterator(added.begin()), std::make_move_iterator(added.end()));
    std::stable_sort(rows.begin(), rows.end(),
                     [](const ComponentDifference& a, const ComponentDifference& b) { return a.key() < b.key(); });
}

void tagged_by_warnings(const Rows& rows, dependency::WarningList& warnings) {
    std::set<std::string_view> models;
    for (const ComponentDifference& row : rows) {
        if (row.key().metadata_type == MetadataType::ConstraintModel) models.insert(row.key().name);
    }
    for (const ComponentDifference& row : rows) {
        if (row.key().metadata_type != MetadataType::ProductBundle) continue;
        for (const std::string& model : data::bundles::synthesis::tagging_model_names(row.source.document)) {
            if (models.contains(model)) continue;
            dependency::push_warning(warnings,
                                     fmt::format(fmt::runtime(kTaggedByMissingModelFormat), row.key().name, model));
        }
    }
}

TargetOrgClass QuillaryApplicationService::target_org_class(const std::optional<endpoint::OrgAlias>& target,
                                                            const domain::CancellationToken& token) const {
    if (!target) return TargetOrgClass::Unconfirmed;
    if (target->kind == endpoint::OrgKind::Scratch || target->kind == endpoint::OrgKind::Sandbox) {
        return TargetOrgClass::NonProduction;
    }
    auto description = core_->org_description(target->username, token);
    if (!description) return TargetOrgClass::Unconfirmed;
    if (description->is_sandbox) return TargetOrgClass::NonProduction;
    if (text::equals_ascii_case_insensitive(text::trim(description->organization_type), kDeveloperEditionType)) {
        return TargetOrgClass::NonProduction;
    }
    return TargetOrgClass::Production;
}

SessionResult QuillaryApplicationService::build_session(
    const std::string& source_alias, const std::string& target_alias, const endpoint::OrgAlias& source,
    const endpoint::OrgAlias& target, const CompareSelection& working, const CompareSelection& requested,
    const RetrievedWorkspace& retrieved, std::optional<dependency::DependencyGraph> discovered,
    dependency::WarningList warnings, metadata_types::LayoutComparisonMode layout_mode, const std::string& api_version,
    const RecordSynthesis& synthesis, bool allow_best_effort_on_production, bool retry_unexpected_errors_alone,
    const domain::CancellationToken& token) const {
    auto compared = compare_selected_types(*core_, working, retrieved, layout_mode, warnings, token);
    if (!compared) return std::unexpected(std::move(compared.error()));
    Rows rows = std::move(*compared);
    synthesize_permission_only_rows(rows, working);
    const TargetOrgClass target_class = target_org_class(target, token);
    decide_record_rows(rows, synthesis, target_class, allow_best_effort_on_production);
    block_expression_sets_of_models(rows);
    tagged_by_warnings(rows, warnings);
    if (auto live = throw_if_cancelled(token); !live) return std::unexpected(live.error());

    DependencyAnalysis dependencies = analyse_dependencies(rows, discovered, retrieved.missing_objects, warnings);
    ComparisonDependencyGraph& graph = dependencies.graph;
    PullInMap& pull_in = dependencies.blocked;
    add_tagged_models(rows, pull_in);
    retain_requested_rows(rows, requested, graph.edges, graph.unresolved, pull_in);
    return make_session(org_endpoint(source_alias, source.username, source.org_id),
                        org_endpoint(target_alias, target.username, target.org_id), std::move(rows), retrieved,
                        std::move(warnings), std::move(graph), target_class, api_version,
                        allow_best_effort_on_production, retry_unexpected_errors_alone);
}

SessionResult QuillaryApplicationService::build_session_from_endpoints(
    const endpoint::DeployEndpoint& source, const endpoint::DeployEndpoint& target, const CompareSelection& working,
    const CompareSelection& requested, const RetrievedWorkspace& retrieved,
    std::optional<dependency::DependencyGraph> discovered, dependency::WarningList warnings,
    metadata_types::LayoutComparisonMode layout_mode, const std::string& api_version,
    bool allow_best_effort_on_production, bool retry_unexpected_errors_alone, const domain::CancellationToken& token,
    const std::map<ComponentKey, std::string>& not_comparable) const {
    auto compared = compare_selected_types(*core_, working, retrieved, layout_mode, warnings, token);
    if (!compared) return std::unexpected(std::move(compared.error()));
    Rows rows = std::move(*compared);
    append_not_comparable_rows(rows, not_comparable);
    if (auto live = throw_if_cancelled(token); !live) return std::unexpected(live.error());

    DependencyAnalysis dependencies = analyse_dependencies(rows, discovered, retrieved.missing_objects, warnings);
    ComparisonDependencyGraph& graph = dependencies.graph;
    const PullInMap& pull_in = dependencies.blocked;
    retain_requested_rows(rows, requested, graph.edges, graph.unresolved, pull_in);
    std::optional<endpoint::OrgAlias> target_org;
    if (const endpoint::DeployEndpoint::Org* org = target.org()) target_org = org->org;
    const TargetOrgClass target_class = target_org_class(target_org, token);
    return make_session(source, target, std::move(rows), retrieved, std::move(warnings), std::move(graph),
                        target_class, api_version, allow_best_effort_on_production, retry_unexpected_errors_alone);
}

}  // namespace ambrel::app
