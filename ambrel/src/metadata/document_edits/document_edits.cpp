#include "metadata/document_edits/document_edits.hpp"

#include <algorithm>
#include <cstring>

#include "metadata/metadata_namespace.hpp"
#include "support/programming_error.hpp"
#include "text/text.hpp"

namespace ambrel::metadata::document_edits {

std::string apply_edits(std::string_view text, std::vector<Edit> edits, std::string_view prefix) {
    std::sort(edits.begin(), edits.end(), [](const Edit& a, const Edit& b) {
        return a.start != b.start ? a.start < b.start : a.end < b.end;
    });
    std::size_t kept_from = 0;
    std::size_t size = text.size();
    for (const Edit& edit : edits) {
        if (edit.start < kept_from || edit.end < edit.start || edit.end > text.size() ||
            !text::is_char_boundary(text, edit.start) || !text::is_char_boundary(text, edit.end)) {
            throw support::ProgrammingError("document edits must be ordered ranges on character boundaries");
        }
        size = size - (edit.end - edit.start) + edit.replacement.size();
        kept_from = edit.end;
    }
    std::string out;
    out.reserve(prefix.size() + size);
    out.append(prefix);
    kept_from = 0;
    for (const Edit& edit : edits) {
        out.append(text.substr(kept_from, edit.start - kept_from));
        out.append(edit.replacement);
        kept_from = edit.end;
    }
    out.append(text.substr(kept_from));
    return out;
}

void remove_in_place(std::string& text, std::size_t prefix, std::vector<Edit> removals) {
    support::require(prefix <= text.size(), "the kept prefix must lie inside the text");
    std::sort(removals.begin(), removals.end(), [](const Edit& a, const Edit& b) {
        return a.start != b.start ? a.start < b.start : a.end < b.end;
    });
    const std::string_view body = std::string_view(text).substr(prefix);
    std::size_t kept_from = 0;
    for (const Edit& edit : removals) {
        if (!edit.replacement.empty() || edit.start < kept_from || edit.end < edit.start || edit.end > body.size() ||
            !text::is_char_boundary(body, edit.start) || !text::is_char_boundary(body, edit.end)) {
            throw support::ProgrammingError("removals in place must be ordered ranges on character boundaries");
        }
        kept_from = edit.end;
    }
    char* data = text.data() + prefix;
    std::size_t write = 0;
    kept_from = 0;
    for (const Edit& edit : removals) {
        const std::size_t run = edit.start - kept_from;
        if (write != kept_from && run > 0) std::memmove(data + write, data + kept_from, run);
        write += run;
        kept_from = edit.end;
    }
    const std::size_t tail = body.size() - kept_from;
    if (write != kept_from && tail > 0) std::memmove(data + write, data + kept_from, tail);
    text.resize(prefix + write + tail);
}

namespace {

bool is_blank(char c) noexcept { return c == ' ' || c == '\t'; }

}  // namespace

Bounds line_aware_bounds(std::string_view text, std::size_t start, std::size_t end) {
    return line_aware_bounds_after(text, {}, start, end);
}

Bounds line_aware_bounds_after(std::string_view text, std::span<const Bounds> removed, std::size_t start,
                               std::size_t end) {
    const Bounds element{start, end};
    return line_aware_cuts(text, std::span(&element, 1), removed).front();
}

// Scans back over blanks only, so that a long line holding many elements is not searched again for
// each of them. The cuts are made from the last element to the first, so each one sees the text as
// the later cuts left it: two elements alone on one line take the whole line with them.
std::vector<Bounds> line_aware_cuts(std::string_view text, std::span<const Bounds> elements,
                                    std::span<const Bounds> removed) {
    // The cuts made so far, the nearest (the one with the lowest offsets) last.
    std::vector<Bounds> later;
    later.reserve(elements.size());
    for (auto element = elements.rbegin(); element != elements.rend(); ++element) {
        const std::size_t start = element->start;
        const std::size_t end = element->end;
        // The removed ranges before the element, walked from the nearest one back; every later cut
        // lies after it.
        auto before = std::lower_bound(removed.begin(), removed.end(), start,
                                       [](const Bounds& range, std::size_t offset) { return range.end <= offset; });
        std::size_t line_start = start;
        bool own_line = true;
        for (;;) {
            if (before != removed.begin() && std::prev(before)->end == line_start) {
                --before;
                line_start = before->start;
                continue;
            }
            if (line_start == 0) break;
            const char c = text[line_start - 1];
            if (c == '\n') break;
            if (!is_blank(c)) {
                own_line = false;
                break;
            }
            --line_start;
        }
        if (!own_line) {
            later.push_back({start, end});
            continue;
        }
        // The next byte that stays at or after an offset: removed ranges and later cuts are skipped.
        auto after = std::lower_bound(removed.begin(), removed.end(), end,
                                      [](const Bounds& range, std::size_t offset) { return range.start < offset; });
        std::size_t next_later = later.size();
        const auto staying = [&](std::size_t offset) {
            for (;;) {
                if (after != removed.end() && after->start == offset) {
                    offset = after->end;
                    ++after;
                } else if (next_later > 0 && later[next_later - 1].start == offset) {
                    offset = later[next_later - 1].end;
                    --next_later;
                } else {
                    return offset;
                }
            }
        };
        std::size_t cut_end = end;
        const std::size_t first = staying(end);
        if (first < text.size() && text[first] == '\n') {
            cut_end = first + 1;
        } else if (first < text.size() && text[first] == '\r') {
            const std::size_t second = staying(first + 1);
            if (second < text.size() && text[second] == '\n') cut_end = second + 1;
        }
        // Later cuts that this one now spans are part of it.
        while (!later.empty() && later.back().start < cut_end) later.pop_back();
        later.push_back({line_start, cut_end});
    }
    std::reverse(later.begin(), later.end());
    return later;
}

std::vector<Edit> merged_removals(std::span<const Bounds> inner, std::span<const Bounds> outer) {
    std::vector<Bounds> all;
    all.reserve(inner.size() + outer.size());
    all.insert(all.end(), inner.begin(), inner.end());
    all.insert(all.end(), outer.begin(), outer.end());
    // Enclosing ranges sort before what they enclose.
    std::sort(all.begin(), all.end(), [](const Bounds& a, const Bounds& b) {
        return a.start != b.start ? a.start < b.start : a.end > b.end;
    });
    std::vector<Edit> edits;
    edits.reserve(all.size());
    for (const Bounds& range : all) {
        if (!edits.empty() && range.start < edits.back().end) {
            support::require(range.end <= edits.back().end, "removed ranges must nest or stay apart");
            continue;
        }
        edits.push_back({range.start, range.end, {}});
    }
    return edits;
}

std::optional<std::string_view> metadata_local_tag(const xml::Reader& reader, const xml::Event& event) {
    if (!in_metadata_namespace(reader.resolve_element(event))) return std::nullopt;
    return event.local_name();
}

}  // namespace ambrel::metadata::document_edits
