#include "metadata/tracking_merger/tracking_merger.hpp"

#include <algorithm>
#include <array>
#include <span>

#include <fmt/format.h>

#include "metadata/document_edits/document_edits.hpp"
#include "metadata/layout_merger.hpp"
#include "metadata/metadata_namespace.hpp"
#include "text/text.hpp"

namespace ambrel::metadata::tracking_merger {
namespace {

constexpr std::string_view kTrackHistory = "trackHistory";
constexpr std::string_view kTrackFeedHistory = "trackFeedHistory";
constexpr std::array<std::string_view, 8> kFeedAnchors = {"trackHistory", "trackTrending", "translateData",
                                                          "type",         "unique",        "valueSet",
                                                          "visibleLines", "writeRequiresMasterRead"};
constexpr std::span<const std::string_view> kHistoryAnchors{kFeedAnchors.data() + 1, kFeedAnchors.size() - 1};
constexpr std::string_view kEmptyRootIndent = "    ";

std::expected<std::string, std::string> write_switch(std::string_view text, std::string_view name, bool on,
                                                     std::span<const std::string_view> anchors) {
    auto indexed = index(text);
    if (!indexed) return std::unexpected(std::move(indexed.error()));
    const std::string qualified =
        indexed->root_prefix.empty() ? std::string(name) : fmt::format("{}:{}", indexed->root_prefix, name);
    const std::string element = fmt::format("<{0}>{1}</{0}>", qualified, on ? "true" : "false");
    const auto& elements = indexed->elements;
    for (const TopLevelElement& existing : elements) {
        if (existing.name == name) {
            return layout_merger::splice(text, existing.start, existing.end, element);
        }
    }
    const std::string_view eol = text.find("\r\n") != std::string_view::npos ? "\r\n" : "\n";
    for (const TopLevelElement& candidate : elements) {
        if (std::find(anchors.begin(), anchors.end(), candidate.name) == anchors.end()) continue;
        const std::string insertion = element + std::string(eol) + layout_merger::indent_at(text, candidate.start);
        return layout_merger::splice(text, candidate.start, candidate.start, insertion);
    }
    if (!elements.empty()) {
        const TopLevelElement& last = elements.back();
        const std::string insertion = std::string(eol) + layout_merger::indent_at(text, last.start) + element;
        return layout_merger::splice(text, last.end, last.end, insertion);
    }
    const std::string insertion = std::string(eol) + std::string(kEmptyRootIndent) + element + std::string(eol);
    return layout_merger::splice(text, indexed->root_end, indexed->root_end, insertion);
}

}  // namespace

std::optional<std::string> metadata_local_name(const xml::Reader& reader, const xml::Event& event) {
    if (!in_metadata_namespace(reader.resolve_element(event))) return std::nullopt;
    const std::string_view name = event.name;
    const auto colon = name.rfind(':');
    const std::string_view local = colon == std::string_view::npos ? name : name.substr(colon + 1);
    if (!text::is_valid_utf8(local)) return std::nullopt;
    return std::string(local);
}

std::expected<FieldIndex, std::string> index(std::string_view text) {
    xml::Reader reader(text);
    FieldIndex result;
    std::optional<std::pair<std::optional<std::string>, std::size_t>> pending;
    std::size_t depth = 0;
    bool root_seen = false;
    bool root_closed = false;
    for (;;) {
        auto event = reader.next();
        if (!event) return std::unexpected(event.error().message());
        switch (event->kind) {
            case xml::EventKind::Start:
                if (!root_seen) {
                    root_seen = true;
                    result.root_prefix = std::string(event->prefix());
                } else if (depth == 1) {
                    pending.emplace(metadata_local_name(reader, *event), event->begin);
                }
                ++depth;
                break;
            case xml::EventKind::Empty:
                if (depth == 1) {
                    if (auto name = metadata_local_name(reader, *event)) {
                        result.elements.push_back({std::move(*name), event->begin, event->end});
                    }
                }
                break;
            case xml::EventKind::End:
                if (depth > 0) --depth;
                if (depth == 1 && pending) {
                    if (pending->first) result.elements.push_back({std::move(*pending->first), pending->second, event->end});
                    pending.reset();
                } else if (depth == 0 && root_seen && !root_closed) {
                    root_closed = true;
                    result.root_end = event->begin;
                }
                break;
            case xml::EventKind::Eof:
                if (!root_closed) return std::unexpected(std::string(kNoClosingRoot));
                return result;
            default:
                break;
        }
    }
}

std::expected<std::string, std::string> splice_tracking(std::string_view document, bool track_history,
                                                        bool track_feed_history) {
    const std::size_t prefix = xml::leading_bom_length(document);
    auto feed = write_switch(document.substr(prefix), kTrackFeedHistory, track_feed_history, kFeedAnchors);
    if (!feed) return std::unexpected(std::move(feed.error()));
    auto history = write_switch(*feed, kTrackHistory, track_history, kHistoryAnchors);
    if (!history) return std::unexpected(std::move(history.error()));
    if (auto check = index(*history); !check) return std::unexpected(std::move(check.error()));
    return std::string(document.substr(0, prefix)) + *history;
}

}  // namespace ambrel::metadata::tracking_merger
