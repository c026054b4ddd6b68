#include "metadata/expression_set_definition_versions/expression_set_definition_versions.hpp"

#include <fmt/format.h>

#include "metadata/document_edits/document_edits.hpp"
#include "metadata/metadata_namespace.hpp"
#include "metadata/readers/reference_parser_frame.hpp"
#include "xml/xml.hpp"

namespace ambrel::metadata::expression_set_definition_versions {
namespace {

constexpr std::string_view kVersionsElement = "versions";
constexpr std::string_view kFullNameElement = "fullName";
constexpr std::string_view kStatusElement = "status";
constexpr std::string_view kInactive = "Inactive";
constexpr std::string_view kOutsideNamespace = "outside the metadata namespace";
constexpr std::string_view kWrongRoot = "the root element is `{}`, not `{}`";
constexpr std::string_view kNoClosingRoot = "the document has no closing root element";

}  // namespace

std::expected<std::vector<VersionBlock>, std::string> version_blocks(std::string_view document) {
    const std::size_t base = xml::leading_bom_length(document);
    const std::string_view body = document.substr(base);
    xml::Reader reader(body);
    std::vector<VersionBlock> blocks;
    std::optional<VersionBlock> open;
    // The child whose text is being captured, if any.
    enum class Capture { None, FullName, Status };
    Capture capture = Capture::None;
    std::size_t capture_start = 0;
    std::string captured;
    reference_parser_frame::TextRun run;
    std::size_t depth = 0;
    bool root_seen = false;
    bool root_closed = false;
    for (;;) {
        auto event = reader.next();
        if (!event) return std::unexpected(event.error().message());
        if (capture != Capture::None && depth == 3 && xml::is_text_piece(event->kind)) {
            run.extend(*event);
            continue;
        }
        if (run.pending()) captured += run.take(body);
        const bool element_start = event->kind == xml::EventKind::Start || event->kind == xml::EventKind::Empty;
        if (element_start && !root_seen) {
            root_seen = true;
            if (!in_metadata_namespace(reader.resolve_element(*event))) {
                return std::unexpected(fmt::format(fmt::runtime(kWrongRoot), kOutsideNamespace, kDefinitionRoot));
            }
            if (xml::after_last_colon(event->name) != kDefinitionRoot) {
                return std::unexpected(
                    fmt::format(fmt::runtime(kWrongRoot), xml::after_last_colon(event->name), kDefinitionRoot));
            }
            if (event->kind == xml::EventKind::Start) {
                depth = 1;
            } else {
                root_closed = true;
            }
            continue;
        }
        switch (event->kind) {
            case xml::EventKind::Start: {
                const bool in_namespace = in_metadata_namespace(reader.resolve_element(*event));
                const std::string_view local = xml::after_last_colon(event->name);
                if (depth == 1 && !open && in_namespace && local == kVersionsElement) {
                    open = VersionBlock{};
                    open->start = base + event->begin;
                } else if (depth == 2 && open && capture == Capture::None && in_namespace &&
                           (local == kFullNameElement || local == kStatusElement)) {
                    capture = local == kStatusElement ? Capture::Status : Capture::FullName;
                    capture_start = event->end;
                    captured.clear();
                }
                ++depth;
                break;
            }
            case xml::EventKind::End:
                if (depth > 0) --depth;
                if (depth == 2 && capture != Capture::None && open) {
                    if (capture == Capture::Status) {
                        if (!open->status) {
                            open->status = captured;
                            open->status_start = base + capture_start;
                            open->status_end = base + event->begin;
                        }
                    } else if (!open->name) {
                        open->name = captured;
                    }
                    capture = Capture::None;
                } else if (depth == 1 && open) {
                    open->end = base + event->end;
                    blocks.push_back(std::move(*open));
                    open.reset();
                } else if (depth == 0 && root_seen) {
                    root_closed = true;
                }
                break;
            case xml::EventKind::Eof:
                if (!root_closed) return std::unexpected(std::string(kNoClosingRoot));
                return blocks;
            default:
                break;
        }
    }
}

std::expected<StrippedVersions, std::string> strip_versions(std::string_view document) {
    auto blocks = version_blocks(document);
    if (!blocks) return std::unexpected(std::move(blocks.error()));
    StrippedVersions stripped;
    std::vector<document_edits::Bounds> removed;
    for (const VersionBlock& block : *blocks) {
        removed.push_back({block.start, block.end});
        if (block.name) {
            stripped.names.push_back(*block.name);
        } else {
            ++stripped.unnamed;
        }
    }
    std::vector<document_edits::Edit> edits;
    for (const auto& bounds : document_edits::line_aware_cuts(document, removed)) edits.push_back({bounds.start, bounds.end, {}});
    stripped.document = document_edits::apply_edits(document, std::move(edits));
    return stripped;
}

std::expected<PlannedVersions, std::string> plan_package_versions(std::string_view document,
                                                                  const std::set<std::string>& active) {
    auto blocks = version_blocks(document);
    if (!blocks) return std::unexpected(std::move(blocks.error()));
    PlannedVersions planned;
    std::vector<document_edits::Edit> edits;
    std::vector<document_edits::Bounds> removed;
    for (const VersionBlock& block : *blocks) {
        if (block.name && active.contains(*block.name)) {
            removed.push_back({block.start, block.end});
            planned.left_out.push_back(*block.name);
            continue;
        }
        if (block.name) {
            planned.kept.push_back(*block.name);
        } else {
            ++planned.unnamed;
        }
        if (block.status && *block.status != kInactive) {
            edits.push_back({block.status_start, block.status_end, std::string(kInactive)});
        }
    }
    for (const auto& bounds : document_edits::line_aware_cuts(document, removed)) edits.push_back({bounds.start, bounds.end, {}});
    planned.document = document_edits::apply_edits(document, std::move(edits));
    return planned;
}

}  // namespace ambrel::metadata::expression_set_definition_versions
