#include "metadata/layout_merger.hpp"

#include <algorithm>
#include <array>
#include <limits>
#include <unordered_map>

#include <fmt/format.h>

#include "metadata/container_child_reader.hpp"
#include "support/programming_error.hpp"
#include "text/text.hpp"
#include "xml/xml.hpp"

namespace ambrel::metadata {

namespace {

using metadata_types::LayoutElementKind;
using metadata_types::LayoutElementRef;

// The path the merge parses its texts under; no message shows it.
constexpr std::string_view kParsePath = "layout";
constexpr std::string_view kIndentStep = "    ";

// The root children that the layout schema orders after the related lists.
constexpr std::array<std::string_view, 10> kAfterRelatedLists = {
    "relatedObjects",           "runAssignmentRulesDefault", "showEmailCheckbox",
    "showHighlightsPanel",      "showInteractionLogPanel",   "showKnowledgeComponent",
    "showRunAssignmentRulesCheckbox", "showSolutionSection", "showSubmitAndAttachButton",
    "summaryLayout",
};


std::uint64_t start_of(const LayoutDocument& document, std::size_t event) { return document.spans()[event].start; }
std::uint64_t end_of(const LayoutDocument& document, std::size_t event) { return document.spans()[event].end; }

// Where the field F first sits in the source.
struct SourceField {
    std::size_t section = 0;
    std::size_t column = 0;
    std::size_t item = 0;
    const LayoutItem::Field* field = nullptr;
};

std::optional<SourceField> find_source_field(const LayoutModel& source, std::string_view name,
                                             std::uint64_t* position = nullptr) {
    std::uint64_t count = 0;
    for (std::size_t s = 0; s < source.sections.size(); ++s) {
        const LayoutSection& section = source.sections[s];
        for (std::size_t c = 0; c < section.columns.size(); ++c) {
            for (std::size_t i = 0; i < section.columns[c].size(); ++i) {
                ++count;
                const auto* field = std::get_if<LayoutItem::Field>(&section.columns[c][i].value);
                if (field != nullptr && field->field == name) {
                    if (position != nullptr) *position = count;
                    return SourceField{s, c, i, field};
                }
            }
        }
    }
    return std::nullopt;
}

std::optional<std::size_t> find_source_related_list(const LayoutModel& source, std::string_view name) {
    for (std::size_t i = 0; i < source.related_lists.size(); ++i) {
        if (source.related_lists[i].related_list == name) return i;
    }
    return std::nullopt;
}

const TargetSection* find_target_section(const TargetLayout& target, std::string_view label, std::uint64_t occurrence) {
    for (const TargetSection& section : target.sections) {
        if (section.label == label && section.occurrence == occurrence) return &section;
    }
    return nullptr;
}

const TargetItem* find_target_item(const TargetLayout& target, std::string_view name) {
    for (const TargetItem& item : target.items) {
        if (item.name == name) return &item;
    }
    return nullptr;
}

const TargetElement* find_target_related_list(const TargetLayout& target, std::string_view name) {
    for (const TargetElement& element : target.related_lists) {
        if (element.name == name) return &element;
    }
    return nullptr;
}

std::size_t column_count(const LayoutSection& section) {
    if (section.style) {
        if (*section.style == "OneColumn" || *section.style == "CustomLinks") return 1;
        if (*section.style == "TwoColumnsTopToBottom" || *section.style == "TwoColumnsLeftToRight") return 2;
    }
    return std::max<std::size_t>(section.columns.size(), 1);
}

std::string new_section_text(const LayoutSection& section, std::string_view indent, std::string_view raw) {
    const std::string inner = fmt::format("{}{}", indent, kIndentStep);
    std::string out = fmt::format("\n{}<layoutSections>", indent);
    const std::array<std::pair<std::string_view, const std::optional<std::string>*>, 3> headings = {{
        {"customLabel", &section.custom_label},
        {"detailHeading", &section.detail_heading},
        {"editHeading", &section.edit_heading},
    }};
    for (const auto& [element, value] : headings) {
        if (*value) out += fmt::format("\n{}<{}>{}</{}>", inner, element, layout_merger::escape_xml(**value), element);
    }
    out += fmt::format("\n{}<label>{}</label>", inner, layout_merger::escape_xml(section.label));
    out += fmt::format("\n{0}<layoutColumns>\n{0}    {1}\n{0}</layoutColumns>", inner, raw);
    for (std::size_t i = 1; i < column_count(section); ++i) out += fmt::format("\n{}<layoutColumns/>", inner);
    if (section.style) out += fmt::format("\n{}<style>{}</style>", inner, layout_merger::escape_xml(*section.style));
    out += fmt::format("\n{}</layoutSections>", indent);
    return out;
}

// One splice that places the field into the current text.
std::string apply_field_rule(std::string_view text, const TargetLayout& target, const LayoutModel& source,
                             const SourceField& located) {
    using layout_merger::indent_at;
    using layout_merger::splice;
    const std::string& name = located.field->field;
    const std::string& raw = located.field->raw;

    // 1. The target has the field: it is replaced as a whole.
    for (const TargetItem& item : target.items) {
        if (!item.is_component && item.name == name) return splice(text, item.start, item.end, raw);
    }

    // 2. After the nearest earlier item of the source section that the target holds.
    const LayoutSection& section = source.sections[located.section];
    std::vector<std::string_view> before;
    for (std::size_t c = 0; c <= located.column; ++c) {
        const std::size_t limit = c == located.column ? located.item : section.columns[c].size();
        for (std::size_t i = 0; i < limit; ++i) {
            const LayoutItem& item = section.columns[c][i];
            if (const auto* field = std::get_if<LayoutItem::Field>(&item.value)) {
                before.push_back(field->field);
            } else if (const auto* component = std::get_if<LayoutItem::Component>(&item.value)) {
                before.push_back(component->name);
            }
        }
    }
    for (auto it = before.rbegin(); it != before.rend(); ++it) {
        if (const TargetItem* item = find_target_item(target, *it)) {
            return splice(text, item->end, item->end, fmt::format("\n{}{}", indent_at(text, item->start), raw));
        }
    }

    // 3. Into the same section.
    if (const TargetSection* same = find_target_section(target, section.label, section.occurrence)) {
        if (same->self_closing) {
            // An empty-element section has no inside: it is written out whole around the new column,
            // or the column would land in front of it as a child of the root.
            const std::string indent = indent_at(text, same->start);
            return splice(text, same->start, same->end,
                          fmt::format("<layoutSections>\n{0}    <layoutColumns>\n{0}        {1}\n{0}    "
                                      "</layoutColumns>\n{0}</layoutSections>",
                                      indent, raw));
        }
        if (!same->columns.empty()) {
            const TargetColumn& column = same->columns.front();
            if (column.self_closing) {
                return splice(text, column.start, column.end,
                              fmt::format("<layoutColumns>\n{0}    {1}\n{0}</layoutColumns>",
                                          indent_at(text, column.start), raw));
            }
            const std::string inner =
                column.item_indent ? *column.item_indent : indent_at(text, column.start) + std::string(kIndentStep);
            return splice(text, column.content_start, column.content_start, fmt::format("\n{}{}", inner, raw));
        }
        const std::uint64_t at = same->column_insert_at;
        return splice(text, at, at,
                      fmt::format("<layoutColumns>\n{0}    {1}\n{0}</layoutColumns>\n{0}", indent_at(text, at), raw));
    }

    // 4. As a new section after the nearest earlier source section the target has.
    if (target.sections.empty()) {
        const std::uint64_t at = target.root_content_start;
        return splice(text, at, at, new_section_text(section, kIndentStep, raw));
    }
    const TargetSection* anchor = nullptr;
    for (std::size_t s = located.section; s-- > 0 && anchor == nullptr;) {
        anchor = find_target_section(target, source.sections[s].label, source.sections[s].occurrence);
    }
    if (anchor == nullptr) anchor = &target.sections.back();
    return splice(text, anchor->end, anchor->end, new_section_text(section, indent_at(text, anchor->start), raw));
}

std::string apply_related_list_rule(std::string_view text, const TargetLayout& target, const LayoutModel& source,
                                    std::size_t index) {
    using layout_merger::indent_at;
    using layout_merger::splice;
    const RelatedListItem& related = source.related_lists[index];
    const std::string& raw = related.raw;

    if (const TargetElement* same = find_target_related_list(target, related.related_list)) {
        return splice(text, same->start, same->end, raw);
    }
    if (!target.related_lists.empty()) {
        const TargetElement* anchor = nullptr;
        for (std::size_t i = index; i-- > 0 && anchor == nullptr;) {
            anchor = find_target_related_list(target, source.related_lists[i].related_list);
        }
        if (anchor == nullptr) anchor = &target.related_lists.back();
        return splice(text, anchor->end, anchor->end, fmt::format("\n{}{}", indent_at(text, anchor->start), raw));
    }
    for (const TargetElement& element : target.elements) {
        if (std::find(kAfterRelatedLists.begin(), kAfterRelatedLists.end(), element.name) != kAfterRelatedLists.end()) {
            return splice(text, element.start, element.start,
                          fmt::format("{}\n{}", raw, indent_at(text, element.start)));
        }
    }
    if (!target.elements.empty()) {
        const TargetElement& last = target.elements.back();
        return splice(text, last.end, last.end, fmt::format("\n{}{}", indent_at(text, last.start), raw));
    }
    const std::uint64_t at = target.root_content_start;
    return splice(text, at, at, fmt::format("\n{}{}", kIndentStep, raw));
}

std::expected<LayoutDocument, LayoutMergeError> parse_target(std::string_view text) {
    auto document = LayoutDocument::parse(text, std::filesystem::path(kParsePath));
    if (!document) {
        const FieldReadError::Invalid* invalid = document.error().invalid_form();
        return std::unexpected(LayoutMergeError::TargetUnparsable{invalid ? invalid->reason : document.error().message()});
    }
    return std::move(*document);
}

}  // namespace

std::string LayoutMergeError::message() const {
    if (const auto* unparsable = std::get_if<TargetUnparsable>(&value_)) {
        return fmt::format("Could not parse the target layout document: {}", unparsable->reason);
    }
    return fmt::format("The selected layout element is missing from the source layout: {}",
                       std::get<MissingSourceElement>(value_).name);
}

TargetLayout TargetLayout::of(const LayoutDocument& document) {
    TargetLayout target;
    const std::string_view text = document.text();
    target.root_content_start = end_of(document, document.root());
    std::unordered_map<std::string, std::uint64_t> label_counts;
    for (const LayoutChild& child : document.children(document.root())) {
        const std::uint64_t start = start_of(document, child.start);
        const std::uint64_t end = end_of(document, child.end);
        target.elements.push_back({child.local_name, start, end});
        if (child.local_name == "relatedLists") {
            if (auto name = document.child_text(child.start, "relatedList")) {
                target.related_lists.push_back({std::move(*name), start, end});
            }
        } else if (child.local_name == "layoutSections") {
            TargetSection section;
            section.label = document.child_text(child.start, "label").value_or(std::string());
            section.occurrence = label_counts[section.label]++;
            section.start = start;
            section.end = end;
            section.self_closing = child.start == child.end;
            section.column_insert_at = start_of(document, child.end);
            bool style_seen = false;
            for (const LayoutChild& part : document.children(child.start)) {
                if (part.local_name == "style" && !style_seen) {
                    style_seen = true;
                    section.column_insert_at = start_of(document, part.start);
                } else if (part.local_name == "layoutColumns") {
                    TargetColumn column;
                    column.start = start_of(document, part.start);
                    column.end = end_of(document, part.end);
                    column.content_start = end_of(document, part.start);
                    column.self_closing = part.start == part.end;
                    bool first_item = true;
                    for (const LayoutChild& item : document.children(part.start)) {
                        if (item.local_name != "layoutItems") continue;
                        const std::uint64_t item_start = start_of(document, item.start);
                        if (first_item) {
                            column.item_indent = layout_merger::indent_at(text, item_start);
                            first_item = false;
                        }
                        const LayoutItem parsed = layout_reader::parse_item(document, item.start, item.end);
                        const std::uint64_t item_end = end_of(document, item.end);
                        if (const auto* field = std::get_if<LayoutItem::Field>(&parsed.value)) {
                            target.items.push_back({field->field, item_start, item_end, false});
                        } else if (const auto* component = std::get_if<LayoutItem::Component>(&parsed.value)) {
                            target.items.push_back({component->name, item_start, item_end, true});
                        }
                    }
                    section.columns.push_back(std::move(column));
                }
            }
            target.sections.push_back(std::move(section));
        }
    }
    return target;
}

namespace layout_merger {

std::expected<std::vector<LayoutElementRef>, LayoutMergeError> ordered_selection(
    const LayoutModel& source, std::span<const LayoutElementRef> selection) {
    std::vector<std::pair<std::uint64_t, LayoutElementRef>> positioned;
    positioned.reserve(selection.size());
    for (const LayoutElementRef& element : selection) {
        std::uint64_t position = 0;
        if (element.kind == LayoutElementKind::Field) {
            if (!find_source_field(source, element.element_name, &position)) {
                return std::unexpected(LayoutMergeError::MissingSourceElement{element.element_name});
            }
        } else {
            const std::optional<std::size_t> index = find_source_related_list(source, element.element_name);
            if (!index) return std::unexpected(LayoutMergeError::MissingSourceElement{element.element_name});
            position = kRelatedListBase + *index;
        }
        positioned.emplace_back(position, element);
    }
    std::stable_sort(positioned.begin(), positioned.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<LayoutElementRef> ordered;
    ordered.reserve(positioned.size());
    for (auto& [position, element] : positioned) ordered.push_back(std::move(element));
    return ordered;
}

std::expected<std::string, LayoutMergeError> merge_layout(std::string_view target_text, const LayoutModel& source,
                                                          std::span<const LayoutElementRef> selection) {
    auto ordered = ordered_selection(source, selection);
    if (!ordered) return std::unexpected(std::move(ordered.error()));
    const std::size_t boms = xml::leading_bom_length(target_text);
    std::string current(target_text.substr(boms));
    for (const LayoutElementRef& element : *ordered) {
        // Offsets are never carried from one edit to the next: each splice uses a fresh parse.
        auto document = parse_target(current);
        if (!document) return std::unexpected(std::move(document.error()));
        const TargetLayout target = TargetLayout::of(*document);
        if (element.kind == LayoutElementKind::Field) {
            const std::optional<SourceField> located = find_source_field(source, element.element_name);
            current = apply_field_rule(current, target, source, *located);
        } else {
            current = apply_related_list_rule(current, target, source,
                                              *find_source_related_list(source, element.element_name));
        }
    }
    if (auto document = parse_target(current); !document) return std::unexpected(std::move(document.error()));
    return std::string(target_text.substr(0, boms)) + current;
}

std::string splice(std::string_view text, std::uint64_t start, std::uint64_t end, std::string_view replacement) {
    support::require(start <= text.size() && end <= text.size(), "splice: an offset lies beyond the end of the text");
    return container_child_reader::splice(text, static_cast<std::size_t>(start), static_cast<std::size_t>(end),
                                          replacement);
}

std::string indent_at(std::string_view text, std::uint64_t offset) {
    support::require(offset <= text.size(), "indent_at: the offset lies beyond the end of the text");
    support::require(text::is_char_boundary(text, offset), "indent_at: the offset is not on a character boundary");
    const std::size_t at = static_cast<std::size_t>(offset);
    const std::size_t newline = text.rfind('\n', at == 0 ? 0 : at - 1);
    std::size_t line_start = newline == std::string_view::npos ? 0 : newline + 1;
    if (at == 0) line_start = 0;
    std::size_t stop = line_start;
    while (stop < at && (text[stop] == ' ' || text[stop] == '\t')) ++stop;
    return std::string(text.substr(line_start, stop - line_start));
}

std::string escape_xml(std::string_view text) { return xml::escape_five_entities(text); }

}  // namespace layout_merger

}  // namespace ambrel::metadata
