#pragma once

// A read-only event view over the text of a page layout: every event in document order with its
// exact byte range, whether its element lies in the Metadata API namespace, and the pairing of
// start and end tags. Nothing is re-serialised; edits splice the text by these ranges.

#include <cstddef>
#include <expected>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "metadata/field_read_error.hpp"
#include "xml/xml.hpp"

namespace ambrel::metadata {

// One direct child element found by LayoutDocument::children.
struct LayoutChild {
    std::size_t start = 0;  // index of its start or empty-element event
    std::size_t end = 0;    // index of its end event (== start for an empty-element tag)
    std::string local_name;
    bool operator==(const LayoutChild&) const = default;
};

struct LayoutSpan {
    std::size_t start = 0;
    std::size_t end = 0;
    bool operator==(const LayoutSpan&) const = default;
};

// Borrows the text it was parsed from and must not outlive it. Offsets count from the first byte
// after the text's leading U+FEFF characters.
class LayoutDocument {
public:
    // Parses a layout. Fails (path form, with `path`) with "doctype is not allowed", the XML
    // reader's description of a syntax error, "layout has no root element", "layout root is not
    // closed" or "root element must be Layout" (the root must be Layout in the Metadata API
    // namespace).
    static std::expected<LayoutDocument, FieldReadError> parse(std::string_view text,
                                                                const std::filesystem::path& path);

    // Every event but the end of input, in document order; views into text().
    const std::vector<xml::Event>& events() const noexcept { return events_; }
    // Per event: a tag whose element resolves to the Metadata API namespace.
    const std::vector<bool>& in_metadata_namespace() const noexcept { return in_metadata_namespace_; }
    // Per event: its byte range; contiguous from 0.
    const std::vector<LayoutSpan>& spans() const noexcept { return spans_; }
    // The document text after its leading U+FEFF characters.
    std::string_view text() const noexcept { return text_; }
    // Index of the root element's start or empty-element event.
    std::size_t root() const noexcept { return root_; }
    // The end index of an element (its own index for an empty-element tag); none for a start tag
    // that was never closed or an index that is not an element.
    std::optional<std::size_t> end_of(std::size_t index) const noexcept;

    // The direct child elements in the Metadata API namespace of the element starting at `index`,
    // in document order; elements in other namespaces are skipped with everything inside them.
    std::vector<LayoutChild> children(std::size_t index) const;
    // text_of the first child with that local name; none when there is none.
    std::optional<std::string> child_text(std::size_t index, std::string_view local_name) const;
    // text_of every child with that local name, in document order.
    std::vector<std::string> child_texts(std::size_t index, std::string_view local_name) const;
    // The character data of the events first..last (both included, nested elements of any
    // namespace included), references resolved, trimmed of Unicode white space. Pieces that are not
    // UTF-8 or do not decode contribute nothing. Empty when last < first.
    std::string text_of(std::size_t first, std::size_t last) const;
    // A copy of the text from the start of event `first` to the end of event `last`.
    std::string raw(std::size_t first, std::size_t last) const;

private:
    LayoutDocument() = default;

    std::vector<xml::Event> events_;
    std::vector<bool> in_metadata_namespace_;
    std::vector<LayoutSpan> spans_;
    std::string_view text_;
    std::vector<std::size_t> end_of_;  // kNoEnd where an event has no end
    std::size_t root_ = 0;
};

namespace layout_reader {

// The local name of a start or empty-element event (after the first ":"), invalid UTF-8 replaced;
// the empty text for every other event.
std::string local_name(const xml::Event& event);

}  // namespace layout_reader

}  // namespace ambrel::metadata
