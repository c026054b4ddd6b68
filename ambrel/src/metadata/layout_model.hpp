#pragma once

// The model of a page layout (sections with their columns of items, and related lists), the test
// for packaged layouts, and the component reader of the Layout type.

#include <cstdint>
#include <expected>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "domain/component.hpp"
#include "metadata/field_read_error.hpp"
#include "metadata/layout_document.hpp"

namespace re2 {
class RE2;
}

namespace ambrel::metadata {

// The component kinds an item may place, with the element that selects each.
enum class LayoutComponentKind : std::uint8_t {
    CustomLink = 0,               // customLink
    Page = 1,                     // page
    Report = 2,                   // report
    Canvas = 3,                   // canvas
    AnalyticsCloudComponent = 4,  // analyticsCloudComponent
};

// One `layoutItems` element. raw is the whole element as written, from "<" to the ">" of its end tag.
struct LayoutItem {
    struct Field {
        std::string field;  // never empty
        std::string raw;
        std::optional<std::string> behavior;
        bool operator==(const Field&) const = default;
    };
    struct Component {
        std::string name;  // never empty
        std::string raw;
        LayoutComponentKind kind = LayoutComponentKind::CustomLink;
        bool operator==(const Component&) const = default;
    };
    // Anything else (an empty space, for example); it still takes its place in the column.
    struct Other {
        bool operator==(const Other&) const = default;
    };

    std::variant<Field, Component, Other> value;

    bool operator==(const LayoutItem&) const = default;
};

struct LayoutSection {
    std::string label;  // empty when the section has none
    std::vector<std::vector<LayoutItem>> columns;
    std::optional<std::string> style;
    std::optional<std::string> custom_label;
    std::optional<std::string> detail_heading;
    std::optional<std::string> edit_heading;
    // How many earlier sections of the document carry the same label; with the label it identifies
    // the section.
    std::uint64_t occurrence = 0;

    bool operator==(const LayoutSection&) const = default;
};

struct RelatedListItem {
    std::string related_list;
    std::string raw;  // the whole `relatedLists` element as written
    std::vector<std::string> fields;
    std::vector<std::string> custom_buttons;
    std::vector<std::string> exclude_buttons;
    std::optional<std::string> sort_field;
    std::optional<std::string> sort_order;

    bool operator==(const RelatedListItem&) const = default;
};

// Owns all its texts; nothing refers back to the document.
struct LayoutModel {
    std::string name;  // the full name the caller gave
    std::vector<LayoutSection> sections;
    std::vector<RelatedListItem> related_lists;

    bool operator==(const LayoutModel&) const = default;
};

namespace layout_reader {

// "^[A-Za-z][A-Za-z0-9_]{0,14}__": a namespace prefix of 1 to 15 characters and "__" at the start
// of a text. Compiled once, on first use, and shared by all threads.
class PackagedLabelPrefix {
public:
    static constexpr std::string_view kText = "^[A-Za-z][A-Za-z0-9_]{0,14}__";

    const re2::RE2& regex() const;
    // The text begins with a namespace prefix.
    bool matches(std::string_view text) const;
};

inline constexpr PackagedLabelPrefix PACKAGED_LABEL_PREFIX{};

// The model of one layout document; fails with the LayoutDocument::parse error unchanged.
// `path` serves only the errors.
std::expected<LayoutModel, FieldReadError> parse_layout_model(std::string_view full_name, std::string_view text,
                                                              const std::filesystem::path& path);

// The model of a parsed document (the body of parse_layout_model).
LayoutModel build_model(const LayoutDocument& document, std::string_view full_name);

// One column: an item per `layoutItems` child of the `layoutColumns` element at `column`.
std::vector<LayoutItem> parse_column(const LayoutDocument& document, std::size_t column);

// One `layoutItems` element, given by its start and end event indices.
LayoutItem parse_item(const LayoutDocument& document, std::size_t start, std::size_t end);

// True when the layout belongs to an installed package: with a "-" in the name, when the part after
// the first "-" begins with a namespace prefix (PACKAGED_LABEL_PREFIX); without one, when the whole
// name matches PACKAGED_FIELD_PATTERN.
bool is_packaged_layout(std::string_view full_name);

}  // namespace layout_reader

// The component reader of the Layout type.
class LayoutMetadataReader {
public:
    // The Layout components of the "layouts" folder below `source_root`, sorted by full name;
    // packaged layouts, subfolders, links and files without the exact ".layout-meta.xml" suffix are
    // skipped. Every document must be a readable layout; the first failure ends the read.
    static std::expected<std::vector<domain::MetadataComponent>, FieldReadError> read(
        const std::filesystem::path& source_root);
};

}  // namespace ambrel::metadata
