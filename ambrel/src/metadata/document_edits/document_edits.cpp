#include "metadata/document_edits/document_edits.hpp"

#include <algorithm>

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

Bounds line_aware_bounds(std::string_view text, std::size_t start, std::size_t end) noexcept {
    const std::size_t newline = start == 0 ? std::string_view::npos : text.rfind('\n', start - 1);
    const std::size_t line_start = newline == std::string_view::npos ? 0 : newline + 1;
    const std::string_view before = text.substr(line_start, start - line_start);
    if (before.find_first_not_of(" \t") != std::string_view::npos) return {start, end};
    std::size_t cut_end = end;
    if (text.substr(end, 2) == "\r\n") {
        cut_end += 2;
    } else if (text.substr(end, 1) == "\n") {
        cut_end += 1;
    }
    return {line_start, cut_end};
}

std::optional<std::string_view> metadata_local_tag(const xml::Reader& reader, const xml::Event& event) {
    if (!reader.resolve_element(event).is(kMetadataNamespaceUri)) return std::nullopt;
    return event.local_name();
}

}  // namespace ambrel::metadata::document_edits
