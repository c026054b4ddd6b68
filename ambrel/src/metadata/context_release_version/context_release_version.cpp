#include "metadata/context_release_version/context_release_version.hpp"

#include <charconv>

#include "metadata/document_edits/document_edits.hpp"
#include "metadata/metadata_namespace.hpp"
#include "metadata/readers/reference_parser_frame.hpp"
#include "text/text.hpp"
#include "xml/xml.hpp"

namespace ambrel::metadata::context_release_version {
namespace {

constexpr std::string_view kReleaseVersionElement = "releaseVersion";

}  // namespace

std::expected<std::optional<ReleaseVersionTag>, ContextReleaseVersionError> release_version(std::string_view document) {
    const std::size_t base = xml::leading_bom_length(document);
    const std::string_view body = document.substr(base);
    xml::Reader reader(body);
    std::size_t depth = 0;
    bool root_closed = false;
    bool capturing = false;
    std::size_t content_start = 0;
    std::string captured;
    std::optional<ReleaseVersionTag> found;
    // Text and references directly inside the element, decoded together as one run.
    reference_parser_frame::TextRun run;
    for (;;) {
        auto event = reader.next();
        if (!event) return std::unexpected(ContextReleaseVersionError(event.error().message()));
        if (capturing && depth == 2 && xml::is_text_piece(event->kind)) {
            run.extend(*event);
            continue;
        }
        if (run.pending()) captured += text::trim(run.take(body));
        switch (event->kind) {
            case xml::EventKind::Start:
                if (depth == 1 && !found && !capturing && xml::after_last_colon(event->name) == kReleaseVersionElement &&
                    in_metadata_namespace(reader.resolve_element(*event))) {
                    capturing = true;
                    content_start = event->end;
                    captured.clear();
                }
                ++depth;
                break;
            case xml::EventKind::End:
                if (depth > 0) --depth;
                if (capturing && depth == 1) {
                    found = ReleaseVersionTag{std::string(text::trim(captured)), base + content_start, base + event->begin};
                    capturing = false;
                }
                if (depth == 0) root_closed = true;
                break;
            case xml::EventKind::Eof:
                if (!root_closed) return std::unexpected(ContextReleaseVersionError(std::string(kNoClosingRoot)));
                return found;
            default:
                break;
        }
    }
}

std::optional<std::vector<std::uint64_t>> parse_release_version(std::string_view text) {
    const std::string_view trimmed = text::trim(text);
    if (trimmed.empty()) return std::nullopt;
    std::vector<std::uint64_t> parts;
    std::size_t from = 0;
    for (;;) {
        const std::size_t dot = trimmed.find('.', from);
        const std::string_view part = trimmed.substr(from, dot == std::string_view::npos ? std::string_view::npos : dot - from);
        if (part.empty() || part.find_first_not_of("0123456789") != std::string_view::npos) return std::nullopt;
        std::uint64_t value = 0;
        const auto [end, error] = std::from_chars(part.data(), part.data() + part.size(), value);
        if (error != std::errc{} || end != part.data() + part.size()) return std::nullopt;
        parts.push_back(value);
        if (dot == std::string_view::npos) return parts;
        from = dot + 1;
    }
}

std::expected<std::optional<ReleaseVersionRewrite>, ContextReleaseVersionError> rewrite_release_version(
    std::string_view document, std::string_view target_value) {
    auto tag = release_version(document);
    if (!tag) return std::unexpected(std::move(tag.error()));
    if (!*tag) return std::nullopt;
    const auto current = parse_release_version((*tag)->value);
    const auto target = parse_release_version(target_value);
    if (!current || !target) return std::nullopt;
    const std::size_t parts = std::max(current->size(), target->size());
    bool higher = false;
    for (std::size_t i = 0; i < parts; ++i) {
        const std::uint64_t a = i < current->size() ? (*current)[i] : 0;
        const std::uint64_t b = i < target->size() ? (*target)[i] : 0;
        if (a != b) {
            higher = a > b;
            break;
        }
    }
    if (!higher) return std::nullopt;
    const std::string value(text::trim(target_value));
    std::vector<document_edits::Edit> edit{{(*tag)->start, (*tag)->end, value}};
    return ReleaseVersionRewrite{document_edits::apply_edits(document, std::move(edit)), (*tag)->value, value};
}

}  // namespace ambrel::metadata::context_release_version
