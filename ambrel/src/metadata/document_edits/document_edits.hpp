#pragma once

// The text edits that the deploy adaptation makes on metadata documents: a set of byte ranges, each
// replaced (or removed), applied in one pass that copies the kept bytes once, or removed where the
// text stands. Everything outside the edited ranges stays byte for byte. Also the line-aware
// widening of a removed element's range (in the text as given, or as it stands after earlier
// removals), the merging of two sets of removals, and the test of whether an element is in the
// Metadata API namespace.
//
// Edits are given in any order; they must not overlap and must lie on character boundaries inside
// the text: an edit that breaks this is a programming error (support::ProgrammingError), never a
// half-edited document. Pure functions; safe from any thread.

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "xml/xml.hpp"

namespace ambrel::metadata::document_edits {

// One range [start, end) replaced by `replacement` (empty: removed).
struct Edit {
    std::size_t start = 0;
    std::size_t end = 0;
    std::string replacement;

    bool operator==(const Edit&) const = default;
};

// `prefix`, then the text with every edit applied. Offsets count in `text` as given: the edits never
// shift one another, so applying them together equals applying them from the last to the first.
std::string apply_edits(std::string_view text, std::vector<Edit> edits, std::string_view prefix = {});

// Removes the ranges of `removals` (empty replacements only, offsets counted after the first
// `prefix` bytes) from `text` where it stands: each kept run moves left once, so no second buffer
// is allocated. The same bytes as prefix + apply_edits(rest, removals); the same programming errors.
void remove_in_place(std::string& text, std::size_t prefix, std::vector<Edit> removals);

// The range to remove for an element at [start, end): from the start of its line (just after the
// last "\n" before `start`, or 0) when only spaces and tabs stand between that line start and
// `start`, through one following "\r\n" or "\n"; otherwise exactly [start, end).
struct Bounds {
    std::size_t start = 0;
    std::size_t end = 0;

    bool operator==(const Bounds&) const = default;
};
Bounds line_aware_bounds(std::string_view text, std::size_t start, std::size_t end);

// The same range for the element as it stands once the `removed` ranges are cut out of `text`,
// given back in the offsets of `text` itself: what it spans of the text that stays, together with
// any removed range that lies between those bytes. `removed` must be sorted and disjoint, none of
// them overlapping [start, end). Cutting the removed ranges and this one together gives the same
// bytes as cutting the removed ones first and then the line-aware range of the element.
Bounds line_aware_bounds_after(std::string_view text, std::span<const Bounds> removed, std::size_t start,
                               std::size_t end);

// The ranges to remove for several elements at once, `elements` sorted and disjoint (none of them
// overlapping a range of `removed`, which must be sorted and disjoint too): each element widened as
// line_aware_bounds_after widens it in the text that `removed` and the cuts of the elements after
// it leave, which is what cutting them one by one from the last to the first gives. Two elements
// that stand alone on one line thus take the whole line, as a single removal of both would. The
// result is sorted and disjoint (a cut that spans later cuts replaces them) and may enclose ranges
// of `removed`, ready for merged_removals.
std::vector<Bounds> line_aware_cuts(std::string_view text, std::span<const Bounds> elements,
                                    std::span<const Bounds> removed = {});

// The edits of two sets of removals, where a range of `outer` may enclose ranges of `inner` whole
// (and otherwise none overlap): one removal per enclosing range, ready for apply_edits.
std::vector<Edit> merged_removals(std::span<const Bounds> inner, std::span<const Bounds> outer);

// The element's local name (after the first ":") when the element resolves to the Metadata API
// namespace; none for any other element. The bytes are those of the document: callers compare them
// with ASCII element names, which a name with invalid UTF-8 can never equal, so no decoding is
// needed. `event` must be the reader's last event.
std::optional<std::string_view> metadata_local_tag(const xml::Reader& reader, const xml::Event& event);

}  // namespace ambrel::metadata::document_edits
