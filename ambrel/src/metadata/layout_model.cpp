#include "metadata/layout_model.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <unordered_map>
#include <utility>

#include <re2/re2.h>

#include "metadata/namespace_policy.hpp"
#include "metadata/source_folder.hpp"
#include "text/text.hpp"

namespace ambrel::metadata {

namespace {

constexpr std::string_view kLayoutSuffix = ".layout-meta.xml";

constexpr std::array<std::pair<std::string_view, LayoutComponentKind>, 5> kComponentElements{{
    {"customLink", LayoutComponentKind::CustomLink},
    {"page", LayoutComponentKind::Page},
    {"report", LayoutComponentKind::Report},
    {"canvas", LayoutComponentKind::Canvas},
    {"analyticsCloudComponent", LayoutComponentKind::AnalyticsCloudComponent},
}};

std::optional<LayoutComponentKind> component_kind(std::string_view element) {
    for (const auto& [name, kind] : kComponentElements) {
        if (name == element) return kind;
    }
    return std::nullopt;
}

RelatedListItem parse_related_list(const LayoutDocument& document, const LayoutChild& element,
                                   std::string related_list) {
    RelatedListItem item;
    item.related_list = std::move(related_list);
    item.raw = document.raw(element.start, element.end);
    item.fields = document.child_texts(element.start, "fields");
    item.sort_field = document.child_text(element.start, "sortField");
    item.sort_order = document.child_text(element.start, "sortOrder");
    item.custom_buttons = document.child_texts(element.start, "customButtons");
    item.exclude_buttons = document.child_texts(element.start, "excludeButtons");
    return item;
}

}  // namespace

namespace layout_reader {

const re2::RE2& PackagedLabelPrefix::regex() const {
    static const re2::RE2 compiled{re2::StringPiece(kText.data(), kText.size())};
    return compiled;
}

bool PackagedLabelPrefix::matches(std::string_view text) const {
    return re2::RE2::PartialMatch(re2::StringPiece(text.data(), text.size()), regex());
}

bool is_packaged_layout(std::string_view full_name) {
    const std::size_t hyphen = full_name.find('-');
    if (hyphen != std::string_view::npos) return PACKAGED_LABEL_PREFIX.matches(full_name.substr(hyphen + 1));
    return PACKAGED_FIELD_PATTERN.matches(full_name);
}

LayoutItem parse_item(const LayoutDocument& document, std::size_t start, std::size_t end) {
    if (auto field = document.child_text(start, "field"); field && !field->empty()) {
        return {LayoutItem::Field{std::move(*field), document.raw(start, end), document.child_text(start, "behavior")}};
    }
    // The first child of a kind's name decides for that kind, so each kind is looked at once: an
    // item repeating an empty component element many times stays linear to read.
    std::array<bool, kComponentElements.size()> tried{};
    for (const LayoutChild& child : document.children(start)) {
        const std::optional<LayoutComponentKind> kind = component_kind(child.local_name);
        if (!kind) continue;
        bool& kind_tried = tried[static_cast<std::size_t>(*kind)];
        if (kind_tried) continue;
        kind_tried = true;
        if (auto name = document.child_text(start, child.local_name); name && !name->empty()) {
            return {LayoutItem::Component{std::move(*name), document.raw(start, end), *kind}};
        }
    }
    return {LayoutItem::Other{}};
}

std::vector<LayoutItem> parse_column(const LayoutDocument& document, std::size_t column) {
    std::vector<LayoutItem> items;
    for (const LayoutChild& child : document.children(column)) {
        if (child.local_name == "layoutItems") items.push_back(parse_item(document, child.start, child.end));
    }
    return items;
}

LayoutModel build_model(const LayoutDocument& document, std::string_view full_name) {
    LayoutModel model;
    model.name = std::string(full_name);
    std::unordered_map<std::string, std::uint64_t> label_counts;
    for (const LayoutChild& child : document.children(document.root())) {
        if (child.local_name == "relatedLists") {
            std::optional<std::string> related_list = document.child_text(child.start, "relatedList");
            if (!related_list) continue;
            model.related_lists.push_back(parse_related_list(document, child, std::move(*related_list)));
        } else if (child.local_name == "layoutSections") {
            LayoutSection section;
            section.label = document.child_text(child.start, "label").value_or(std::string());
            section.occurrence = label_counts[section.label]++;
            section.style = document.child_text(child.start, "style");
            section.custom_label = document.child_text(child.start, "customLabel");
            section.detail_heading = document.child_text(child.start, "detailHeading");
            section.edit_heading = document.child_text(child.start, "editHeading");
            for (const LayoutChild& column : document.children(child.start)) {
                if (column.local_name == "layoutColumns") section.columns.push_back(parse_column(document, column.start));
            }
            model.sections.push_back(std::move(section));
        }
    }
    return model;
}

std::expected<LayoutModel, FieldReadError> parse_layout_model(std::string_view full_name, std::string_view text,
                                                              const std::filesystem::path& path) {
    auto document = LayoutDocument::parse(text, path);
    if (!document) return std::unexpected(std::move(document.error()));
    return build_model(*document, full_name);
}

}  // namespace layout_reader

std::expected<std::vector<domain::MetadataComponent>, FieldReadError> LayoutMetadataReader::read(
    const std::filesystem::path& source_root) {
    static const source_folder::ListingMessages kMessages{"Could not list layout directory",
                                                          "Could not read layout directory entry"};
    auto found = source_folder::collect(source_root / "layouts", kMessages, source_folder::EntryKind::RegularFile,
                                        [](std::string_view name) -> std::optional<std::string> {
                                            auto stem = source_folder::stem_before(name, kLayoutSuffix);
                                            if (!stem || layout_reader::is_packaged_layout(*stem)) return std::nullopt;
                                            return stem;
                                        });
    if (!found) return std::unexpected(std::move(found.error()));

    std::vector<domain::MetadataComponent> components;
    components.reserve(found->size());
    for (source_folder::Candidate& candidate : *found) {
        auto text = source_folder::read_text(candidate.path, "Could not read layout metadata");
        if (!text) return std::unexpected(std::move(text.error()));
        // Only proves that the document is a readable layout; building the model cannot fail, so
        // the parse alone decides.
        if (auto document = LayoutDocument::parse(*text, candidate.path); !document) {
            return std::unexpected(std::move(document.error()));
        }
        domain::MetadataComponent component;
        component.key = {metadata_types::MetadataType::Layout, std::move(candidate.name)};
        component.source_path = candidate.path;
        component.document = std::move(*text);
        components.push_back(std::move(component));
    }
    return components;
}

}  // namespace ambrel::metadata
