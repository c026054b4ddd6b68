#include "comparison/layout.hpp"

#include <algorithm>
#include <unordered_map>

#include <fmt/format.h>

#include "metadata_types/metadata_type.hpp"

namespace ambrel::comparison::layout {
namespace {

using domain::AttributeDifference;
using domain::ChangeKind;
using domain::ComponentDifference;
using domain::MetadataComponent;
using metadata::LayoutItem;
using metadata::LayoutModel;
using metadata::RelatedListItem;
using metadata_types::LayoutElementKind;

constexpr std::string_view kElementSeparator = "::";

std::optional<std::string> joined(const std::vector<std::string>& texts) {
    if (texts.empty()) return std::nullopt;
    return fmt::format("{}", fmt::join(texts, ", "));
}

// What one element contributes before the rows are made: rows are sorted by name first, so that
// each copies the source layout only once it is known to be kept.
struct PendingRow {
    std::string name;
    ChangeKind change;
    std::vector<AttributeDifference> differences;
};

// The first placement of each field name, walking sections, columns and items in order.
std::unordered_map<std::string_view, const LayoutItem::Field*> first_field_placements(const LayoutModel& model) {
    std::unordered_map<std::string_view, const LayoutItem::Field*> placements;
    for (const auto& section : model.sections) {
        for (const auto& column : section.columns) {
            for (const LayoutItem& item : column) {
                if (const auto* field = std::get_if<LayoutItem::Field>(&item.value)) {
                    placements.try_emplace(field->field, field);
                }
            }
        }
    }
    return placements;
}

void compare_fields(std::string_view layout_name, const LayoutModel& source, const LayoutModel& target,
                    std::vector<PendingRow>& pending) {
    const auto placements = first_field_placements(target);
    for (const auto& section : source.sections) {
        for (const auto& column : section.columns) {
            for (const LayoutItem& item : column) {
                const auto* field = std::get_if<LayoutItem::Field>(&item.value);
                if (field == nullptr || field->field.empty()) continue;
                const std::string name = element_row_name(layout_name, LayoutElementKind::Field, field->field);
                const auto found = placements.find(field->field);
                if (found == placements.end()) {
                    pending.push_back({name, ChangeKind::Add, {}});
                } else if (found->second->behavior != field->behavior) {
                    pending.push_back(
                        {name, ChangeKind::Update, {{"Behavior", found->second->behavior, field->behavior}}});
                }
            }
        }
    }
}

void compare_related_lists(std::string_view layout_name, const LayoutModel& source, const LayoutModel& target,
                           std::vector<PendingRow>& pending) {
    std::unordered_map<std::string_view, const RelatedListItem*> first_lists;
    for (const RelatedListItem& list : target.related_lists) first_lists.try_emplace(list.related_list, &list);

    for (const RelatedListItem& list : source.related_lists) {
        const std::string name = element_row_name(layout_name, LayoutElementKind::RelatedList, list.related_list);
        const auto found = first_lists.find(list.related_list);
        if (found == first_lists.end()) {
            pending.push_back({name, ChangeKind::Add, {}});
            continue;
        }
        const RelatedListItem& other = *found->second;
        std::vector<AttributeDifference> differences;
        const auto keep = [&differences](std::string_view label, std::optional<std::string> target_value,
                                         std::optional<std::string> source_value) {
            if (target_value != source_value) {
                differences.push_back({std::string(label), std::move(target_value), std::move(source_value)});
            }
        };
        keep("Columns", joined(other.fields), joined(list.fields));
        keep("Sort field", other.sort_field, list.sort_field);
        keep("Sort order", other.sort_order, list.sort_order);
        keep("Buttons", buttons(other), buttons(list));
        if (!differences.empty()) pending.push_back({name, ChangeKind::Update, std::move(differences)});
    }
}

ComponentDifference whole_layout_row(const MetadataComponent& source_layout) {
    ComponentDifference result;
    result.source = source_layout;
    result.change = ChangeKind::Add;
    result.deployable = true;
    result.deploy_scope = domain::MetadataDeployScope::Full;
    return result;
}

ComponentDifference element_row(const MetadataComponent& source_layout, std::string name, ChangeKind change,
                                std::vector<AttributeDifference> differences) {
    ComponentDifference result;
    result.source.key = {metadata_types::MetadataType::Layout, std::move(name)};
    result.source.attributes = source_layout.attributes;
    result.source.source_path = source_layout.source_path;
    result.source.document = source_layout.document;
    result.source.body = source_layout.body;
    result.source.bundle_files = source_layout.bundle_files;
    result.source.required = source_layout.required;
    result.change = change;
    result.attribute_differences = std::move(differences);
    result.deployable = true;
    result.deploy_scope = domain::MetadataDeployScope::Full;
    return result;
}

}  // namespace

std::string element_row_name(std::string_view layout_name, LayoutElementKind kind, std::string_view element_name) {
    const std::string_view prefix = kind == LayoutElementKind::Field ? "field:" : "relatedList:";
    std::string name;
    name.reserve(layout_name.size() + kElementSeparator.size() + prefix.size() + element_name.size());
    name.append(layout_name).append(kElementSeparator).append(prefix).append(element_name);
    return name;
}

std::expected<LayoutModel, std::string> parse(const MetadataComponent& layout) {
    auto model = metadata::layout_reader::parse_layout_model(layout.key.name, layout.document, layout.source_path);
    if (!model) {
        return std::unexpected(fmt::format(
            "Layout '{}' was excluded from the comparison: its metadata could not be parsed.", layout.key.name));
    }
    return std::move(*model);
}

ComponentDifference row(const MetadataComponent& source_layout, LayoutElementKind kind, std::string_view element_name,
                        ChangeKind change, std::vector<AttributeDifference> differences) {
    return element_row(source_layout, element_row_name(source_layout.key.name, kind, element_name), change,
                       std::move(differences));
}

std::optional<std::string> buttons(const RelatedListItem& related_list) {
    std::vector<std::string> parts;
    if (auto custom = joined(related_list.custom_buttons)) parts.push_back("custom: " + *custom);
    if (auto excluded = joined(related_list.exclude_buttons)) parts.push_back("excluded: " + *excluded);
    if (parts.empty()) return std::nullopt;
    return fmt::format("{}", fmt::join(parts, "; "));
}

LayoutComparison compare_layouts(std::span<const MetadataComponent> source, std::span<const MetadataComponent> target) {
    std::unordered_map<std::string_view, const MetadataComponent*> targets;
    targets.reserve(target.size());
    for (const MetadataComponent& layout : target) targets.insert_or_assign(layout.key.name, &layout);

    std::vector<const MetadataComponent*> ordered;
    ordered.reserve(source.size());
    for (const MetadataComponent& layout : source) ordered.push_back(&layout);
    std::stable_sort(ordered.begin(), ordered.end(),
                     [](const MetadataComponent* a, const MetadataComponent* b) { return a->key.name < b->key.name; });

    LayoutComparison result;
    std::vector<PendingRow> pending;
    for (const MetadataComponent* layout : ordered) {
        const std::string& name = layout->key.name;
        if (name.find(kElementSeparator) != std::string::npos) {
            result.warnings.push_back(fmt::format(
                "Layout '{}' was excluded from the comparison: its name contains '::', which the plugin uses to "
                "address layout elements.",
                name));
            continue;
        }
        const auto found = targets.find(name);
        if (found == targets.end()) {
            result.rows.push_back(whole_layout_row(*layout));
            continue;
        }
        auto source_model = parse(*layout);
        if (!source_model) {
            result.warnings.push_back(std::move(source_model.error()));
            continue;
        }
        auto target_model = parse(*found->second);
        if (!target_model) {
            result.warnings.push_back(std::move(target_model.error()));
            continue;
        }
        pending.clear();
        compare_fields(name, *source_model, *target_model, pending);
        compare_related_lists(name, *source_model, *target_model, pending);
        std::stable_sort(pending.begin(), pending.end(),
                         [](const PendingRow& a, const PendingRow& b) { return a.name < b.name; });
        for (PendingRow& element : pending) {
            result.rows.push_back(
                element_row(*layout, std::move(element.name), element.change, std::move(element.differences)));
        }
    }
    return result;
}

}  // namespace ambrel::comparison::layout
