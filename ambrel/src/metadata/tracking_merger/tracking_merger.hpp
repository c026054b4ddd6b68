#pragma once

// Writes a field's two history tracking switches ("trackHistory" and "trackFeedHistory") into the
// target's own CustomField document as text edits: an existing top-level element is replaced, a
// missing one is inserted before the first element that follows it in a field document's element
// order (with that element's indentation and the document's line ending), after the last top-level
// element, or before the root's end tag. Everything else of the target's document stays as it was.
// The inserted element carries the prefix of the root's qualified name, so that a document binding
// the Metadata API namespace only through a prefix keeps the switch inside that namespace.
//
// Failures are texts: the pull reader's own text for malformed XML, or "the field document has no
// closing root element". A DOCTYPE is never expanded. Pure functions; safe from any thread.

#include <cstddef>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "xml/xml.hpp"

namespace ambrel::metadata::tracking_merger {

inline constexpr std::string_view kNoClosingRoot = "the field document has no closing root element";

struct TopLevelElement {
    std::string name;
    // From where its start tag begins to just after its end tag (or the empty-element tag).
    std::size_t start = 0;
    std::size_t end = 0;

    bool operator==(const TopLevelElement&) const = default;
};

struct FieldIndex {
    std::vector<TopLevelElement> elements;
    // Where the root's end tag begins.
    std::size_t root_end = 0;
    // The prefix of the root's qualified name ("" without one).
    std::string root_prefix;
};

// The element's local name when it is in the Metadata API namespace and valid UTF-8.
std::optional<std::string> metadata_local_name(const xml::Reader& reader, const xml::Event& event);

// Indexes a text without byte-order marks.
std::expected<FieldIndex, std::string> index(std::string_view text);

std::expected<std::string, std::string> splice_tracking(std::string_view document, bool track_history,
                                                        bool track_feed_history);

}  // namespace ambrel::metadata::tracking_merger
