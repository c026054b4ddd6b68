#include "metadata/layout_document.hpp"

#include <limits>

#include "metadata/metadata_namespace.hpp"
#include "support/programming_error.hpp"
#include "text/text.hpp"

namespace ambrel::metadata {

namespace {

constexpr std::size_t kNoEnd = std::numeric_limits<std::size_t>::max();

bool is_opening(const xml::Event& event) {
    return event.kind == xml::EventKind::Start || event.kind == xml::EventKind::Empty;
}


}  // namespace

std::string layout_reader::local_name(const xml::Event& event) {
    if (!is_opening(event)) return {};
    return text::decode_lossy(event.local_name());
}

std::expected<LayoutDocument, FieldReadError> LayoutDocument::parse(std::string_view text,
                                                                   const std::filesystem::path& path) {
    LayoutDocument document;
    document.text_ = xml::strip_leading_boms(text);
    const auto fail = [&](std::string reason) {
        return std::unexpected(
            FieldReadError::invalid(path, std::move(reason)).of_kind(document_kind(metadata_types::MetadataType::Layout)));
    };

    xml::Reader reader(document.text_);
    while (true) {
        auto event = reader.next();
        if (!event) return fail(event.error().message());
        if (event->kind == xml::EventKind::Eof) break;
        if (event->kind == xml::EventKind::DocType) return fail("doctype is not allowed");
        const bool in_namespace =
            event->is_element() && metadata::in_metadata_namespace(reader.resolve_element(*event));
        document.events_.push_back(*event);
        document.in_metadata_namespace_.push_back(in_namespace);
        document.spans_.push_back({event->begin, event->end});
    }

    // Pair the tags; the root is the last element that begins while nothing is open.
    document.end_of_.assign(document.events_.size(), kNoEnd);
    std::vector<std::size_t> open;
    bool seen = false;
    bool closed = false;
    for (std::size_t i = 0; i < document.events_.size(); ++i) {
        switch (document.events_[i].kind) {
            case xml::EventKind::Start:
                if (open.empty()) {
                    seen = true;
                    document.root_ = i;
                }
                open.push_back(i);
                break;
            case xml::EventKind::End:
                if (open.empty()) break;
                document.end_of_[open.back()] = i;
                open.pop_back();
                if (open.empty()) closed = true;
                break;
            case xml::EventKind::Empty:
                document.end_of_[i] = i;
                if (open.empty()) {
                    seen = true;
                    closed = true;
                    document.root_ = i;
                }
                break;
            default: break;
        }
    }
    if (!seen) return fail("layout has no root element");
    if (!closed) return fail("layout root is not closed");
    if (!document.in_metadata_namespace_[document.root_] ||
        document.events_[document.root_].local_name() != "Layout") {
        return fail("root element must be Layout");
    }
    return document;
}

std::optional<std::size_t> LayoutDocument::end_of(std::size_t index) const noexcept {
    if (index >= end_of_.size() || end_of_[index] == kNoEnd) return std::nullopt;
    return end_of_[index];
}

std::vector<LayoutChild> LayoutDocument::children(std::size_t index) const {
    std::vector<LayoutChild> out;
    const std::optional<std::size_t> parent_end = end_of(index);
    if (!parent_end) return out;
    for (std::size_t i = index + 1; i < *parent_end; ++i) {
        if (!is_opening(events_[i])) continue;
        const std::size_t child_end = end_of_[i] == kNoEnd ? i : end_of_[i];
        if (in_metadata_namespace_[i]) out.push_back({i, child_end, layout_reader::local_name(events_[i])});
        i = child_end;  // skip the child's own subtree
    }
    return out;
}

std::optional<std::string> LayoutDocument::child_text(std::size_t index, std::string_view local_name) const {
    for (const LayoutChild& child : children(index)) {
        if (child.local_name == local_name) return text_of(child.start, child.end);
    }
    return std::nullopt;
}

std::vector<std::string> LayoutDocument::child_texts(std::size_t index, std::string_view local_name) const {
    std::vector<std::string> out;
    for (const LayoutChild& child : children(index)) {
        if (child.local_name == local_name) out.push_back(text_of(child.start, child.end));
    }
    return out;
}

std::string LayoutDocument::text_of(std::size_t first, std::size_t last) const {
    if (last < first) return {};
    support::require(last < events_.size(), "LayoutDocument::text_of: event index out of range");
    std::string out;
    for (std::size_t i = first; i <= last; ++i) {
        const xml::Event& event = events_[i];
        switch (event.kind) {
            case xml::EventKind::Text:
                if (text::is_valid_utf8(event.raw)) {
                    if (auto unescaped = xml::unescape(event.raw)) out += *unescaped;
                }
                break;
            case xml::EventKind::CData:
                if (text::is_valid_utf8(event.content)) out += event.content;
                break;
            case xml::EventKind::GeneralRef:
            case xml::EventKind::CharRef:
                // An invalid character reference or an undeclared entity adds nothing.
                (void)xml::append_reference(out, event);
                break;
            default: break;
        }
    }
    return std::string(text::trim(out));
}

std::string LayoutDocument::raw(std::size_t first, std::size_t last) const {
    support::require(first < spans_.size() && last < spans_.size(),
                     "LayoutDocument::raw: event index out of range");
    const std::size_t start = spans_[first].start;
    const std::size_t end = spans_[last].end;
    support::require(start <= end, "LayoutDocument::raw: the range runs backwards");
    support::require(text::is_char_boundary(text_, start) && text::is_char_boundary(text_, end),
                     "LayoutDocument::raw: the range does not fall on character boundaries");
    return std::string(text_.substr(start, end - start));
}

}  // namespace ambrel::metadata
