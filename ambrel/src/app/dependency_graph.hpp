#pragma once

// The dependency graph of a comparison: which rows require which other rows (an edge only ever
// points at a row missing in the target, or at a deployable change that a row's document names),
// the unresolved references the catalogue reported, the blocked rows (a change that cannot deploy
// as metadata but that another row needs), and the custom fields a page layout row may require.
// Never reads files, runs commands or fails. Warnings go through dependency::push_warning:
// - "Could not parse Permission Set Group '{}'; its dependencies were not followed."
// - "Could not parse custom field '{}'; its dependencies were not followed."
// - "Could not parse Expression Set '{}'; its dependencies were not followed."
// - "Expression Set Definition name '{}' referenced by '{}' is not a valid member name; it was not
//   followed."
// - "Could not parse Decision Table Dataset Link '{}'; its dependencies were not followed."
// - "{label} '{}' references components that have no row in this comparison and were not
//   followed: {first ten}{ (and N more)}."
// and those of delta_dependency_pairs. A layout document that cannot be parsed is silent.
//
// Thread-safety: pure functions over borrowed data; a LayoutModelCache belongs to one call.

#include <map>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "app/delta_dependency_pairs.hpp"
#include "app/row_retention.hpp"
#include "dependency/dependency_graph.hpp"
#include "metadata/layout_model.hpp"

namespace ambrel::app {

// A custom field a layout row may require: (object name, field name).
struct LayoutDependencyCandidate {
    std::string object_name;
    std::string field_name;

    bool operator==(const LayoutDependencyCandidate&) const = default;
};

// Layout name to its parsed model; an absent model stands for a document that failed to parse, so
// that it is not parsed again.
using LayoutModelCache = std::map<std::string, std::optional<metadata::LayoutModel>, std::less<>>;

// The (object, field) candidates of one Layout row, without repeats, in document order.
std::vector<LayoutDependencyCandidate> layout_element_dependencies(const domain::ComponentDifference& row,
                                                                   LayoutModelCache& cache);

// The custom fields one related list shows or sorts by, with the related list's object.
std::vector<LayoutDependencyCandidate> related_list_dependencies(const metadata::RelatedListItem& related_list);

struct ComparisonDependencyGraph {
    RowKeyMap edges;
    UnresolvedMap unresolved;

    bool operator==(const ComparisonDependencyGraph&) const = default;
};

// The edges between the rows and a copy of the catalogue's unresolved references.
ComparisonDependencyGraph build_dependency_graph(std::span<const domain::ComponentDifference> rows,
                                                 const std::optional<dependency::DependencyGraph>& analysis,
                                                 const std::set<std::string>& retrieved_object_names,
                                                 dependency::WarningList& warnings,
                                                 const ChildBundleReader& child_bundles = read_child_bundles,
                                                 TypeLookup lookup = metadata_types::metadata_type_by_wire_id);

// Blocked dependency -> the first row (in pair order) that needs it.
PullInMap blocked_dependency_rows(std::span<const domain::ComponentDifference> rows,
                                  dependency::WarningList& warnings, const ChildBundleReader& child_bundles = read_child_bundles,
                                  TypeLookup lookup = metadata_types::metadata_type_by_wire_id);

struct DependencyAnalysis {
    ComparisonDependencyGraph graph;
    PullInMap blocked;
};

// build_dependency_graph then blocked_dependency_rows over the same rows, with the same warnings
// in the same order, indexing the rows and reading their documents once.
DependencyAnalysis analyse_dependencies(std::span<const domain::ComponentDifference> rows,
                                        const std::optional<dependency::DependencyGraph>& analysis,
                                        const std::set<std::string>& retrieved_object_names,
                                        dependency::WarningList& warnings,
                                        const ChildBundleReader& child_bundles = read_child_bundles,
                                        TypeLookup lookup = metadata_types::metadata_type_by_wire_id);

}  // namespace ambrel::app
