#include "app/dependency_graph.hpp"

#include <unordered_map>

#include <fmt/format.h>

#include "app/key_address.hpp"
#include "metadata/expression_set_version_status.hpp"
#include "metadata/namespace_policy.hpp"
#include "metadata/readers/dataset_link_reader.hpp"
#include "metadata/readers/permission_set_group_reader.hpp"
#include "metadata_types/name_rules.hpp"
#include "metadata_types/type_descriptor.hpp"

namespace ambrel::app {

using domain::ChangeKind;
using domain::ComponentDifference;
using domain::ComponentKey;
using domain::MetadataDeployScope;
using metadata_types::MetadataType;

namespace {

// Longest list of missing reference texts a warning spells out.
constexpr std::size_t kMissingReferencesShown = 10;
// The field names a layout may require: custom fields, longer than the bare suffix.
constexpr std::string_view kCustomFieldSuffix = "__c";
constexpr std::size_t kMinCustomFieldNameLength = 3;

// Row key, held by address in the rows, to the first row of that key. Only looked up, never walked,
// so a hash map serves.
class RowIndex {
public:
    explicit RowIndex(std::span<const ComponentDifference> rows) {
        rows_.reserve(rows.size());
        for (const ComponentDifference& row : rows) rows_.emplace(&row.key(), &row);
    }
    const ComponentDifference* find(const ComponentKey& key) const {
        const auto found = rows_.find(&key);
        return found == rows_.end() ? nullptr : found->second;
    }
    bool contains(const ComponentKey& key) const { return rows_.contains(&key); }

private:
    std::unordered_map<const ComponentKey*, const ComponentDifference*, KeyAddressHash, KeyAddressEqual> rows_;
};

const ComponentDifference* find_row(const RowIndex& index, const ComponentKey& key) { return index.find(key); }

// A change that can deploy as metadata.
bool is_deployable_change(const ComponentDifference& row) {
    return row.deploy_scope != MetadataDeployScope::PermissionsOnly && row.deployable &&
           row.change != ChangeKind::NoChange;
}

// A change that cannot deploy as metadata.
bool is_blocked_dependency(const ComponentDifference& row) {
    return row.change != ChangeKind::NoChange &&
           (row.deploy_scope == MetadataDeployScope::PermissionsOnly || !row.deployable);
}

std::string_view object_part(const ComponentKey& key) {
    const auto split = metadata_types::split_once_dot(key.name);
    return split ? split->first : std::string_view{};
}

bool is_object_child_type(MetadataType type) {
    const auto* path_template = type.descriptor().content_format.decomposed_template();
    return path_template != nullptr &&
           std::holds_alternative<metadata_types::PathTemplate::ObjectChild>(path_template->value);
}

bool ends_with_custom_suffix(std::string_view name) {
    return name.size() >= kMinCustomFieldNameLength && name.ends_with(kCustomFieldSuffix);
}

class EdgeBuilder {
public:
    EdgeBuilder(const RowIndex& rows, RowKeyMap& edges) noexcept : rows_(rows), edges_(edges) {}

    // An edge only ever points at a row that is missing in the target.
    void add(const ComponentKey& requiring, const ComponentKey& required) {
        if (requiring == required || !rows_.contains(requiring)) return;
        const ComponentDifference* target = find_row(rows_, required);
        if (target == nullptr || target->change != ChangeKind::Add) return;
        edges_[requiring].insert(required);
    }

private:
    const RowIndex& rows_;
    RowKeyMap& edges_;
};

bool is_packaged_reference(const ComponentKey& key) {
    if (key.metadata_type == MetadataType::CustomField) {
        const auto split = metadata_types::split_once_dot(key.name);
        return metadata::NamespacePolicy::is_packaged_generic_component(split ? split->second
                                                                              : std::string_view{key.name});
    }
    return metadata::NamespacePolicy::is_packaged_generic_component(key.name);
}

void push_missing_reference_warnings(const RowIndex& rows, std::span<const DependencyPair> references,
                                     std::span<const DependencyPair> delta_pairs, dependency::WarningList& warnings) {
    std::map<ComponentKey, std::set<std::string>> missing;
    for (const auto* list : {&references, &delta_pairs}) {
        for (const auto& [requiring, required] : *list) {
            const ComponentDifference* row = find_row(rows, requiring);
            if (row != nullptr && row->change == ChangeKind::NoChange) continue;
            if (rows.contains(required) || is_packaged_reference(required)) continue;
            missing[requiring].insert(fmt::format("{} {}", required.metadata_type.wire_id(), required.name));
        }
    }
    for (const auto& [requiring, texts] : missing) {
        std::string listed;
        std::size_t shown = 0;
        for (const std::string& text : texts) {
            if (shown == kMissingReferencesShown) break;
            if (shown++ > 0) listed += ", ";
            listed += text;
        }
        const std::string more =
            texts.size() > kMissingReferencesShown
                ? fmt::format(" (and {} more)", texts.size() - kMissingReferencesShown)
                : std::string{};
        dependency::push_warning(
            warnings, fmt::format("{} '{}' references components that have no row in this comparison and were not "
                                  "followed: {}{}.",
                                  requiring.metadata_type.descriptor().singular_label, requiring.name, listed, more));
    }
}

void append_unique(std::vector<LayoutDependencyCandidate>& candidates, LayoutDependencyCandidate candidate) {
    for (const LayoutDependencyCandidate& existing : candidates) {
        if (existing == candidate) return;
    }
    candidates.push_back(std::move(candidate));
}

}  // namespace

std::vector<LayoutDependencyCandidate> related_list_dependencies(const metadata::RelatedListItem& related_list) {
    std::vector<LayoutDependencyCandidate> candidates;
    const auto split = metadata_types::split_once_dot(related_list.related_list);
    if (!split) return candidates;  // a standard related list
    const std::string object{split->first};
    const auto consider = [&](std::string_view name) {
        if (name.find('.') != std::string_view::npos || !ends_with_custom_suffix(name)) return;
        append_unique(candidates, {object, std::string{name}});
    };
    consider(split->second);
    for (const std::string& field : related_list.fields) consider(field);
    if (related_list.sort_field) consider(*related_list.sort_field);
    return candidates;
}

std::vector<LayoutDependencyCandidate> layout_element_dependencies(const ComponentDifference& row,
                                                                   LayoutModelCache& cache) {
    std::vector<LayoutDependencyCandidate> candidates;
    const auto element = metadata_types::parse_layout_element_name(row.key().name);
    const std::string_view layout_name = element ? std::string_view{element->layout_name} : row.key().name;
    const auto dash = layout_name.find('-');
    if (dash == std::string_view::npos) return candidates;
    const std::string object{layout_name.substr(0, dash)};
    if (element && element->element.kind == metadata_types::LayoutElementKind::Field) {
        candidates.push_back({object, element->element.element_name});
        return candidates;
    }
    auto cached = cache.find(layout_name);
    if (cached == cache.end()) {
        auto model = metadata::layout_reader::parse_layout_model(layout_name, row.source.document,
                                                                 row.source.source_path);
        cached = cache
                     .emplace(std::string{layout_name},
                              model ? std::optional<metadata::LayoutModel>{std::move(*model)} : std::nullopt)
                     .first;
    }
    if (!cached->second) return candidates;
    const metadata::LayoutModel& model = *cached->second;
    if (element) {
        for (const metadata::RelatedListItem& related_list : model.related_lists) {
            if (related_list.related_list != element->element.element_name) continue;
            for (auto& candidate : related_list_dependencies(related_list)) append_unique(candidates, std::move(candidate));
            break;
        }
        return candidates;
    }
    for (const metadata::LayoutSection& section : model.sections) {
        for (const auto& column : section.columns) {
            for (const metadata::LayoutItem& item : column) {
                if (const auto* field = std::get_if<metadata::LayoutItem::Field>(&item.value)) {
                    append_unique(candidates, {object, field->field});
                }
            }
        }
    }
    for (const metadata::RelatedListItem& related_list : model.related_lists) {
        for (auto& candidate : related_list_dependencies(related_list)) append_unique(candidates, std::move(candidate));
    }
    return candidates;
}

namespace {

// The graph over rows already indexed, with the delta pairs already read through `documents`; the
// delta's warnings are pushed where the reading would have pushed them.
ComparisonDependencyGraph build_indexed_graph(std::span<const ComponentDifference> rows, const RowIndex& index,
                                              const std::optional<dependency::DependencyGraph>& analysis,
                                              const std::set<std::string>& retrieved_object_names,
                                              dependency::WarningList& warnings, RowDocumentCache& documents,
                                              const DeltaDependencies& delta_dependencies, TypeLookup lookup) {
    ComparisonDependencyGraph graph;
    EdgeBuilder edges{index, graph.edges};

    // 2. Catalogue edges.
    if (analysis) {
        for (const auto& [key, required] : analysis->edges) {
            for (const ComponentKey& target : required) edges.add(key, target);
        }
    }
    // 3. and 4. New fields to their new object; new fields by object.
    std::map<std::string, std::vector<ComponentKey>, std::less<>> new_fields;
    for (const ComponentDifference& row : rows) {
        if (row.key().metadata_type != MetadataType::CustomField || row.change != ChangeKind::Add) continue;
        const std::string object = row.key().to_field_key().object_api_name;
        if (retrieved_object_names.contains(object)) {
            if (const auto type = dependency::object_definition_type(object)) edges.add(row.key(), {*type, object});
        }
    }
    for (const ComponentDifference& row : rows) {
        if (row.key().metadata_type != MetadataType::CustomField || row.change != ChangeKind::Add) continue;
        new_fields[row.key().to_field_key().object_api_name].push_back(row.key());
    }
    const auto new_fields_of = [&](std::string_view object) -> std::span<const ComponentKey> {
        const auto found = new_fields.find(object);
        return found == new_fields.end() ? std::span<const ComponentKey>{} : std::span{found->second};
    };
    // 5. Object children require their new object and its new fields.
    for (const ComponentDifference& row : rows) {
        if (!is_object_child_type(row.key().metadata_type)) continue;
        const auto split = metadata_types::split_once_dot(row.key().name);
        if (!split) continue;
        const auto type = dependency::object_definition_type(split->first);
        if (!type) continue;
        const ComponentKey object{*type, std::string{split->first}};
        const ComponentDifference* object_row = find_row(index, object);
        if (object_row != nullptr && object_row->change == ChangeKind::Add) {
            for (const ComponentKey& field : new_fields_of(split->first)) edges.add(row.key(), field);
        }
        edges.add(row.key(), object);
    }
    // 6. Unresolved references of the catalogue.
    if (analysis) graph.unresolved = analysis->unresolved;
    // 7a. Layouts require the custom fields they place.
    LayoutModelCache layouts;
    for (const ComponentDifference& row : rows) {
        if (row.key().metadata_type != MetadataType::Layout) continue;
        for (const LayoutDependencyCandidate& candidate : layout_element_dependencies(row, layouts)) {
            if (metadata::PACKAGED_FIELD_PATTERN.matches(candidate.field_name) ||
                !ends_with_custom_suffix(candidate.field_name)) {
                continue;
            }
            edges.add(row.key(), {MetadataType::CustomField,
                                  fmt::format("{}.{}", candidate.object_name, candidate.field_name)});
        }
    }
    // 7b. Permission set groups require their permission sets.
    const auto permission_set_group = lookup("PermissionSetGroup");
    const auto permission_set = lookup("PermissionSet");
    if (permission_set_group && permission_set) {
        std::vector<DependencyPair> group_pairs;
        for (const ComponentDifference& row : rows) {
            if (row.key().metadata_type != *permission_set_group) continue;
            const auto names = metadata::permission_set_group_reader::parse_permission_set_group_references(
                row.key().name, row.source.document);
            if (!names) {
                dependency::push_warning(warnings, fmt::format("Could not parse Permission Set Group '{}'; its "
                                                               "dependencies were not followed.",
                                                               row.key().name));
                continue;
            }
            for (const std::string& name : *names) group_pairs.emplace_back(row.key(), ComponentKey{*permission_set, name});
        }
        for (const auto& [requiring, required] : group_pairs) edges.add(requiring, required);
    }
    // 8. The reference list.
    std::vector<DependencyPair> references;
    std::vector<DependencyPair> object_references;  // those of 8d and 8e, for step 9
    if (const auto custom_metadata = lookup("CustomMetadata")) {
        for (const ComponentDifference& row : rows) {
            if (row.key().metadata_type != *custom_metadata) continue;
            const auto refs = parse_custom_metadata_references_reporting(row.key().name, row.source.document, warnings);
            if (!refs) continue;
            if (const auto type = dependency::object_definition_type(refs->type_object_name)) {
                references.emplace_back(row.key(), ComponentKey{*type, refs->type_object_name});
            }
        }
    }
    for (const ComponentDifference& row : rows) {
        if (row.key().metadata_type != MetadataType::CustomField) continue;
        const auto& refs = documents.rollup(row);
        if (!refs) {
            dependency::push_warning(warnings, unparsed_custom_field_warning(row.key().name));
            continue;
        }
        if (refs->summary_foreign_key) {
            references.emplace_back(row.key(), ComponentKey{MetadataType::CustomField, *refs->summary_foreign_key});
        }
    }
    const auto version_type = lookup("ExpressionSetDefinitionVersion");
    const auto definition_type = lookup("ExpressionSetDefinition");
    if (version_type && definition_type) {
        namespace status = metadata::expression_set_version_status;
        std::set<std::string, std::less<>> blocked_definitions;
        for (const ComponentDifference& row : rows) {
            if (row.key().metadata_type == *definition_type && !row.deployable) blocked_definitions.insert(row.key().name);
        }
        for (const ComponentDifference& row : rows) {
            if (row.key().metadata_type != *version_type) continue;
            const auto child = status::root_child(row.source.document, status::kDefinitionElement);
            if (!child) {
                dependency::push_warning(warnings, fmt::format("Could not parse Expression Set '{}'; its dependencies "
                                                               "were not followed.",
                                                               row.key().name));
                continue;
            }
            if (!*child) continue;
            const std::string& name = (*child)->text;
            if (metadata::NamespacePolicy::is_packaged_generic_component(name)) continue;
            if (!status::is_valid_definition_name(name)) {
                dependency::push_warning(warnings, fmt::format("Expression Set Definition name '{}' referenced by '{}' "
                                                               "{}",
                                                               name, row.key().name, kNotFollowedEnding));
                continue;
            }
            if (blocked_definitions.contains(name)) continue;
            references.emplace_back(row.key(), ComponentKey{*definition_type, name});
        }
    }
    for (const ComponentDifference& row : rows) {
        if (row.key().metadata_type != MetadataType::CustomField) continue;
        const auto& refs = documents.lookup(row);
        if (!refs) {
            dependency::push_warning(warnings, unparsed_custom_field_warning(row.key().name));
            continue;
        }
        for (const std::string& object : refs->referenced_objects) {
            if (const auto type = dependency::object_definition_type(object)) {
                references.emplace_back(row.key(), ComponentKey{*type, object});
                object_references.push_back(references.back());
            }
        }
    }
    if (const auto dataset_link = lookup("DecisionTableDatasetLink")) {
        for (const ComponentDifference& row : rows) {
            if (row.key().metadata_type != *dataset_link) continue;
            const auto refs =
                metadata::dataset_link_reader::parse_dataset_link_references(row.key().name, row.source.document);
            if (!refs) {
                dependency::push_warning(warnings, fmt::format("Could not parse Decision Table Dataset Link '{}'; its "
                                                               "dependencies were not followed.",
                                                               row.key().name));
                continue;
            }
            if (!refs->source_object) continue;
            if (const auto type = dependency::object_definition_type(*refs->source_object)) {
                references.emplace_back(row.key(), ComponentKey{*type, *refs->source_object});
                object_references.push_back(references.back());
            }
        }
    }
    // 9. The reference list's edges; a reference to a new object also requires its new fields.
    for (const auto& [requiring, required] : references) edges.add(requiring, required);
    for (const auto& [requiring, required] : object_references) {
        const ComponentDifference* target = find_row(index, required);
        if (target == nullptr || target->change != ChangeKind::Add) continue;
        if (requiring.metadata_type == MetadataType::CustomField && object_part(requiring) == required.name) continue;
        for (const ComponentKey& field : new_fields_of(required.name)) edges.add(requiring, field);
    }
    // 10. Delta pairs admit any deployable change, updates included.
    replay_delta_warnings(delta_dependencies, warnings);
    const std::vector<DependencyPair>& delta = delta_dependencies.pairs;
    for (const auto& [requiring, required] : delta) {
        if (requiring == required || !index.contains(requiring)) continue;
        const ComponentDifference* target = find_row(index, required);
        if (target != nullptr && is_deployable_change(*target)) graph.edges[requiring].insert(required);
    }
    // 11. References without a row become warnings.
    push_missing_reference_warnings(index, references, delta, warnings);
    return graph;
}

PullInMap blocked_rows_of(const RowIndex& index, const std::vector<DependencyPair>& delta) {
    PullInMap blocked;
    for (const auto& [requiring, required] : delta) {
        // A row that names itself is not blocked by itself.
        if (requiring == required) continue;
        const ComponentDifference* target = find_row(index, required);
        if (target != nullptr && is_blocked_dependency(*target)) blocked.try_emplace(required, requiring);
    }
    return blocked;
}

}  // namespace

ComparisonDependencyGraph build_dependency_graph(std::span<const ComponentDifference> rows,
                                                 const std::optional<dependency::DependencyGraph>& analysis,
                                                 const std::set<std::string>& retrieved_object_names,
                                                 dependency::WarningList& warnings,
                                                 const ChildBundleReader& child_bundles, TypeLookup lookup) {
    const RowIndex index(rows);
    RowDocumentCache documents;
    const DeltaDependencies delta = collect_delta_dependencies(rows, documents, child_bundles, lookup);
    return build_indexed_graph(rows, index, analysis, retrieved_object_names, warnings, documents, delta, lookup);
}

PullInMap blocked_dependency_rows(std::span<const ComponentDifference> rows, dependency::WarningList& warnings,
                                  const ChildBundleReader& child_bundles, TypeLookup lookup) {
    RowDocumentCache documents;
    const DeltaDependencies delta = collect_delta_dependencies(rows, documents, child_bundles, lookup);
    replay_delta_warnings(delta, warnings);
    return blocked_rows_of(RowIndex(rows), delta.pairs);
}

DependencyAnalysis analyse_dependencies(std::span<const ComponentDifference> rows,
                                        const std::optional<dependency::DependencyGraph>& analysis,
                                        const std::set<std::string>& retrieved_object_names,
                                        dependency::WarningList& warnings, const ChildBundleReader& child_bundles,
                                        TypeLookup lookup) {
    const RowIndex index(rows);
    RowDocumentCache documents;
    const DeltaDependencies delta = collect_delta_dependencies(rows, documents, child_bundles, lookup);
    DependencyAnalysis result;
    result.graph =
        build_indexed_graph(rows, index, analysis, retrieved_object_names, warnings, documents, delta, lookup);
    // The blocked rows read the same documents again in the two-call form, so their warnings come again.
    replay_delta_warnings(delta, warnings);
    result.blocked = blocked_rows_of(index, delta.pairs);
    return result;
}

}  // namespace ambrel::app
