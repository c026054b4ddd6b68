#include "metadata/release_gated_tags/release_gated_tags.hpp"

#include <array>
#include <vector>

#include <fmt/format.h>

#include "metadata/document_edits/document_edits.hpp"
#include "metadata/metadata_namespace.hpp"
#include "metadata/readers/reference_parser_frame.hpp"
#include "text/text.hpp"
#include "xml/xml.hpp"

namespace ambrel::metadata::release_gated_tags {
namespace {

constexpr std::array<ReleaseGatedTag, 2> kTable = {{
    {"ExpressionSetDefinition", "usageSubtype", "RevenueCloud"},
    {"PricingRecipe", "pricingUsageSubType", "RevenueCloud"},
}};
constexpr std::string_view kWrongRoot = "root element must be {}";
constexpr std::string_view kNoClosingRoot = "the document has no closing root element";

struct RootElement {
    std::string text;
    std::size_t start = 0;
    std::size_t end = 0;
};

}  // namespace

std::optional<ReleaseGatedTag> gated_tag_for(std::string_view root) {
    for (const ReleaseGatedTag& row : kTable) {
        if (row.root == root) return row;
    }
    return std::nullopt;
}

std::expected<std::optional<StrippedTag>, std::string> strip_release_gated_tag(std::string_view document,
                                                                               std::string_view root) {
    const auto row = gated_tag_for(root);
    if (!row) return std::nullopt;
    const auto wrong_root = [&] { return std::unexpected(fmt::format(fmt::runtime(kWrongRoot), root)); };
    const std::size_t base = xml::leading_bom_length(document);
    const std::string_view body = document.substr(base);
    xml::Reader reader(body);
    std::vector<RootElement> elements;
    std::optional<RootElement> open;
    reference_parser_frame::TextRun run;
    std::size_t depth = 0;
    bool root_seen = false;
    bool root_closed = false;
    for (bool reading = true; reading;) {
        auto event = reader.next();
        if (!event) return std::unexpected(event.error().message());
        if (open && depth == 2 && xml::is_text_piece(event->kind)) {
            run.extend(*event);
            continue;
        }
        if (run.pending()) open->text += run.take(body);
        const bool element_start = event->kind == xml::EventKind::Start || event->kind == xml::EventKind::Empty;
        if (element_start && !root_seen) {
            root_seen = true;
            if (!in_metadata_namespace(reader.resolve_element(*event)) || xml::after_last_colon(event->name) != root) {
                return wrong_root();
            }
            if (event->kind == xml::EventKind::Start) {
                depth = 1;
            } else {
                root_closed = true;
            }
            continue;
        }
        switch (event->kind) {
            case xml::EventKind::Start:
                if (depth == 1 && xml::after_last_colon(event->name) == row->element &&
                    in_metadata_namespace(reader.resolve_element(*event))) {
                    open = RootElement{{}, base + event->begin, 0};
                }
                ++depth;
                break;
            case xml::EventKind::End:
                if (depth > 0) --depth;
                if (depth == 1 && open) {
                    open->end = base + event->end;
                    elements.push_back(std::move(*open));
                    open.reset();
                } else if (depth == 0 && root_seen) {
                    root_closed = true;
                }
                break;
            case xml::EventKind::Eof:
                if (!root_seen) return wrong_root();
                if (!root_closed) return std::unexpected(std::string(kNoClosingRoot));
                reading = false;
                break;
            default:
                break;
        }
    }
    std::vector<document_edits::Bounds> matching;
    for (const RootElement& element : elements) {
        if (text::trim(element.text) == row->value) matching.push_back({element.start, element.end});
    }
    if (matching.empty()) return std::nullopt;
    const std::size_t removed = matching.size();
    std::vector<document_edits::Edit> cuts;
    for (const auto& bounds : document_edits::line_aware_cuts(document, matching)) cuts.push_back({bounds.start, bounds.end, {}});
    return StrippedTag{document_edits::apply_edits(document, std::move(cuts)), std::string(row->element),
                       std::string(row->value), removed};
}

}  // namespace ambrel::metadata::release_gated_tags
