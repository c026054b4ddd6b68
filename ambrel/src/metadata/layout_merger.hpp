#pragma once

// Merging chosen fields and related lists of a source page layout into the text of a target layout,
// and the two editing primitives that the document rewrites share (`splice`, `indent_at`).
//
// A merge never re-serialises the target: each chosen element costs one splice of one byte range,
// found by a fresh parse of the current text, so every other byte (other sections and items,
// comments, indentation, attribute order) stays as it was. Inserted line breaks are single line
// feeds; new content is indented from the line at the insertion point, one level being four spaces;
// raw source elements are inserted exactly as written. Leading U+FEFF characters of the target are
// kept in front of the result.
//
// Failures: "Could not parse the target layout document: {reason}" when the target (or an edited
// text) is not a layout document; "The selected layout element is missing from the source layout:
// {name}" when a chosen element is not in the source model, before any edit. An offset given to
// `splice` or `indent_at` that is beyond the text or off a character boundary, or a splice start
// after its end, is a programming error.
//
// Nothing here keeps state; every function may be called from any thread.

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "metadata/layout_document.hpp"
#include "metadata/layout_model.hpp"
#include "metadata_types/name_rules.hpp"

namespace ambrel::metadata {

class LayoutMergeError {
public:
    // The target text, or a text an edit produced, is not a layout document; `reason` is the parse
    // reason without its path.
    struct TargetUnparsable {
        std::string reason;
        bool operator==(const TargetUnparsable&) const = default;
    };
    // A chosen element is not in the source model; `name` is the field or related list name alone.
    struct MissingSourceElement {
        std::string name;
        bool operator==(const MissingSourceElement&) const = default;
    };

    LayoutMergeError(TargetUnparsable value) : value_(std::move(value)) {}
    LayoutMergeError(MissingSourceElement value) : value_(std::move(value)) {}

    const std::variant<TargetUnparsable, MissingSourceElement>& value() const noexcept { return value_; }
    // "Could not parse the target layout document: {}" or "The selected layout element is missing
    // from the source layout: {}".
    std::string message() const;

    bool operator==(const LayoutMergeError&) const = default;

private:
    std::variant<TargetUnparsable, MissingSourceElement> value_;
};

// Offsets below count in the target text after its leading U+FEFF characters; ranges run from an
// element's "<" to the ">" that ends it.
struct TargetColumn {
    std::optional<std::string> item_indent;  // indentation of the first layoutItems, if any
    std::uint64_t start = 0;
    std::uint64_t end = 0;
    std::uint64_t content_start = 0;  // just after the start tag
    bool self_closing = false;
    bool operator==(const TargetColumn&) const = default;
};

struct TargetSection {
    std::string label;  // empty without a label
    std::vector<TargetColumn> columns;
    std::uint64_t occurrence = 0;  // earlier sections with the same label
    std::uint64_t start = 0;
    std::uint64_t end = 0;
    // The first style child's start, else the section's end tag's start (its own start when the
    // section is an empty-element tag).
    std::uint64_t column_insert_at = 0;
    bool self_closing = false;
    bool operator==(const TargetSection&) const = default;
};

struct TargetItem {
    std::string name;
    std::uint64_t start = 0;
    std::uint64_t end = 0;
    bool is_component = false;
    bool operator==(const TargetItem&) const = default;
};

struct TargetElement {
    std::string name;
    std::uint64_t start = 0;
    std::uint64_t end = 0;
    bool operator==(const TargetElement&) const = default;
};

// The outline of a target layout text, rebuilt before every edit.
struct TargetLayout {
    std::vector<TargetSection> sections;
    std::vector<TargetItem> items;  // named items of every column of every section, in document order
    std::vector<TargetElement> related_lists;  // relatedLists children with a relatedList; name = its text
    std::vector<TargetElement> elements;       // every child of the root; name = its local name
    std::uint64_t root_content_start = 0;      // just after the root's start tag

    static TargetLayout of(const LayoutDocument& document);

    bool operator==(const TargetLayout&) const = default;
};

namespace layout_merger {

// The position of every source field (1-based among all items, in section, column and item order)
// and related list (2^63 - 1 plus its index): fields before related lists.
inline constexpr std::uint64_t kRelatedListBase = 9'223'372'036'854'775'807ULL;

// The selection sorted stably by source position; MissingSourceElement for the first element (in
// selection order) that the source does not hold.
std::expected<std::vector<metadata_types::LayoutElementRef>, LayoutMergeError> ordered_selection(
    const LayoutModel& source, std::span<const metadata_types::LayoutElementRef> selection);

// The target text with the chosen source elements placed into it.
std::expected<std::string, LayoutMergeError> merge_layout(std::string_view target_text, const LayoutModel& source,
                                                          std::span<const metadata_types::LayoutElementRef> selection);

// The text before `start`, then `replacement`, then the text from `end` on.
std::string splice(std::string_view text, std::uint64_t start, std::uint64_t end, std::string_view replacement);

// The spaces and tabs that begin the line holding `offset`, up to the offset at most.
std::string indent_at(std::string_view text, std::uint64_t offset);

// "&", "<", ">", the double quote and the apostrophe as entity references.
std::string escape_xml(std::string_view text);

}  // namespace layout_merger

}  // namespace ambrel::metadata
