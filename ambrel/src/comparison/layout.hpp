#pragma once

// Page layouts compared element by element: one row per field placement and per related list that
// is new or different in the source, addressed by an element row name
// ("{layout}::field:{name}", "{layout}::relatedList:{name}"), and one row per layout the target
// lacks entirely. Like the engine, one-sided: what only the target has gives no row.

#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "domain/component.hpp"
#include "domain/difference.hpp"
#include "metadata/layout_model.hpp"
#include "metadata_types/name_rules.hpp"

namespace ambrel::comparison::layout {

struct LayoutComparison {
    std::vector<domain::ComponentDifference> rows;
    // For the user: layouts that could not be compared.
    std::vector<std::string> warnings;
};

// Never fails: a layout that cannot be compared yields a warning and no rows, and the others are
// compared. Source layouts are taken in byte-wise name order; the rows of one layout come sorted
// by name (field rows before related-list rows).
LayoutComparison compare_layouts(std::span<const domain::MetadataComponent> source,
                                 std::span<const domain::MetadataComponent> target);

// The layout model of a Layout component, or the warning "Layout '{}' was excluded from the
// comparison: its metadata could not be parsed.".
std::expected<metadata::LayoutModel, std::string> parse(const domain::MetadataComponent& layout);

// An element row: a copy of the source layout component keyed (Layout, element row name), with the
// change and differences given; deployable, scope Full, nothing else set.
domain::ComponentDifference row(const domain::MetadataComponent& source_layout, metadata_types::LayoutElementKind kind,
                                std::string_view element_name, domain::ChangeKind change,
                                std::vector<domain::AttributeDifference> differences);

// "custom: {}" and "excluded: {}" (each list joined with ", ", only when not empty) joined with
// "; "; none when both lists are empty.
std::optional<std::string> buttons(const metadata::RelatedListItem& related_list);

// "{layout}::field:{name}" or "{layout}::relatedList:{name}".
std::string element_row_name(std::string_view layout_name, metadata_types::LayoutElementKind kind,
                             std::string_view element_name);

}  // namespace ambrel::comparison::layout
