#include "metadata/expression_set_version_status.hpp"

#include <fmt/format.h>

#include "metadata/document_edits/document_edits.hpp"
#include "metadata/metadata_namespace.hpp"
#include "xml/xml.hpp"

namespace ambrel::metadata::expression_set_version_status {

namespace {

constexpr std::string_view kOutsideMetadataNamespace = "outside the metadata namespace";
constexpr std::string_view kNoClosingRoot = "the document has no closing root element";
constexpr std::string_view kStatusElement = "status";

bool is_ascii_letter(char c) noexcept { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

bool is_ascii_digit(char c) noexcept { return c >= '0' && c <= '9'; }

}  // namespace

std::expected<std::optional<RootChild>, ExpressionSetVersionError> root_child(std::string_view document,
                                                                              std::string_view name) {
    const std::size_t base = xml::leading_bom_length(document);
    const std::string_view input = document.substr(base);
    xml::Reader reader(input);

    std::size_t depth = 0;
    bool root_seen = false;
    bool root_closed = false;
    bool capturing = false;
    std::size_t content_begin = 0;
    std::string text;
    // A run of text and references directly inside the captured child, decoded as one piece so
    // that a reference it cannot decode empties the whole run rather than leaving a fragment.
    bool in_run = false;
    std::size_t run_begin = 0;
    std::size_t run_end = 0;
    std::optional<RootChild> found;

    while (true) {
        auto event = reader.next();
        if (!event) return std::unexpected(ExpressionSetVersionError(event.error().message()));
        const xml::Event& ev = *event;

        if (capturing && depth == 2 && xml::is_text_piece(ev.kind)) {
            if (!in_run) run_begin = ev.begin;
            in_run = true;
            run_end = ev.end;
            continue;
        }
        if (in_run) {
            if (auto decoded = xml::unescape(input.substr(run_begin, run_end - run_begin))) text += *decoded;
            in_run = false;
        }

        switch (ev.kind) {
        case xml::EventKind::Start:
        case xml::EventKind::Empty: {
            const bool is_start = ev.kind == xml::EventKind::Start;
            if (!root_seen) {
                root_seen = true;
                const std::string_view local = xml::after_last_colon(ev.name);
                if (!in_metadata_namespace(reader.resolve_element(ev))) {
                    return std::unexpected(ExpressionSetVersionError(fmt::format(
                        "the root element is `{}`, not `{}`", kOutsideMetadataNamespace, kVersionRootElement)));
                }
                if (local != kVersionRootElement) {
                    return std::unexpected(ExpressionSetVersionError(
                        fmt::format("the root element is `{}`, not `{}`", local, kVersionRootElement)));
                }
                if (is_start) {
                    depth = 1;
                } else {
                    root_closed = true;
                }
                break;
            }
            if (!is_start) break;
            if (!capturing && !found && !root_closed && depth == 1 &&
                xml::after_last_colon(ev.name) == name &&
                in_metadata_namespace(reader.resolve_element(ev))) {
                capturing = true;
                content_begin = ev.end;
                text.clear();
            }
            ++depth;
            break;
        }
        case xml::EventKind::End:
            if (depth > 0) --depth;
            if (capturing && depth == 1) {
                found = RootChild{std::move(text), base + content_begin, base + ev.begin};
                capturing = false;
            }
            if (root_seen && !root_closed && depth == 0) root_closed = true;
            break;
        case xml::EventKind::CData:
            if (capturing && depth == 2) text += ev.content;
            break;
        case xml::EventKind::Eof:
            if (!root_closed) return std::unexpected(ExpressionSetVersionError(std::string(kNoClosingRoot)));
            return found;
        default:
            break;
        }
    }
}

std::expected<std::optional<std::string>, ExpressionSetVersionError> definition_name(std::string_view document) {
    auto child = root_child(document, kDefinitionElement);
    if (!child) return std::unexpected(std::move(child.error()));
    if (!*child) return std::nullopt;
    return std::move((*child)->text);
}

std::expected<std::optional<StatusRewrite>, ExpressionSetVersionError> rewrite_status_inactive(
    std::string_view document) {
    auto child = root_child(document, kStatusElement);
    if (!child) return std::unexpected(std::move(child.error()));
    if (!*child || (*child)->text != kActiveStatus) return std::nullopt;
    std::vector<document_edits::Edit> edit{{(*child)->content_begin, (*child)->content_end, std::string(kInactiveStatus)}};
    return StatusRewrite{document_edits::apply_edits(document, std::move(edit)), std::move((*child)->text)};
}

bool is_valid_definition_name(std::string_view name) noexcept {
    if (name.empty() || !is_ascii_letter(name.front())) return false;
    for (const char c : name.substr(1)) {
        if (!is_ascii_letter(c) && !is_ascii_digit(c) && c != '_') return false;
    }
    return true;
}

}  // namespace ambrel::metadata::expression_set_version_status
