#include "metadata/readers/reference_parser_frame.hpp"

#include <filesystem>
#include <optional>
#include <vector>

#include <fmt/format.h>

#include "metadata/custom_field_reader.hpp"
#include "metadata/metadata_namespace.hpp"
#include "text/text.hpp"

namespace ambrel::metadata::reference_parser_frame {

namespace {

constexpr std::string_view kDoctypeNotAllowed = "doctype is not allowed";
constexpr std::string_view kNoRootElement = "document has no root element";
constexpr std::string_view kNotProperlyClosed = "document is not properly closed";
// Open elements kept without growing the stack for ordinary documents.
constexpr std::size_t kUsualDepth = 32;

std::string root_message(std::span<const std::string_view> roots) {
    if (roots.size() == 2) return fmt::format("root element must be {} or {}", roots[0], roots[1]);
    return fmt::format("root element must be {}", roots.empty() ? std::string_view() : roots[0]);
}

bool is_root(const OpenElement& element, std::span<const std::string_view> roots) noexcept {
    if (!element.in_metadata_namespace) return false;
    for (std::string_view root : roots) {
        if (element.local_name == root) return true;
    }
    return false;
}

// CDATA content is already text: it is taken as written, only when it is UTF-8, as a text piece.
bool append_cdata(std::string& out, std::string_view content) {
    if (!text::is_valid_utf8(content)) return false;
    out.append(content);
    return true;
}

// The run of text and reference events that JudgePieces mode joins into one piece.
struct PieceRun {
    std::size_t begin = 0;
    std::size_t end = 0;
    bool active = false;
    bool has_reference = false;
};

}  // namespace

bool append_decoded_text(std::string& out, std::string_view raw) {
    if (!text::is_valid_utf8(raw)) return false;
    if (raw.find('&') == std::string_view::npos) {
        out.append(raw);
        return true;
    }
    auto decoded = xml::unescape(raw);
    if (!decoded) return false;
    out.append(*decoded);
    return true;
}

std::string decode_text(std::string_view raw) {
    std::string out;
    if (!append_decoded_text(out, raw)) return {};
    return out;
}

std::string local_name_of(const xml::Event& tag) { return text::decode_lossy(xml::local_part(tag.name)); }

FieldReadError parse_failure(std::string_view full_name, std::string reason) {
    return FieldReadError::invalid(std::filesystem::path(full_name), std::move(reason));
}

bool counts_at(OpenElements open, const OpenElement& element, std::span<const std::string_view> path) noexcept {
    if (path.empty() || open.size() + 1 != path.size()) return false;
    if (!element.in_metadata_namespace || element.local_name != path.back()) return false;
    for (std::size_t i = 0; i < open.size(); ++i) {
        if (!open[i].in_metadata_namespace || open[i].local_name != path[i]) return false;
    }
    return true;
}

std::expected<void, FieldReadError> parse(std::string_view full_name, std::string_view text,
                                          const Settings& settings, Rules& rules) {
    const std::string_view document = xml::strip_leading_boms(text);
    const bool judge_pieces = settings.text_mode == TextMode::JudgePieces;
    xml::Reader reader(document);
    std::vector<OpenElement> open;
    open.reserve(kUsualDepth);
    CaptureKind capture = kNoCapture;
    std::string buffer;
    bool root_seen = false;
    PieceRun run;
    std::string piece;
    // Built on the first reference inside a counted element: only push_reference needs a path.
    std::optional<std::filesystem::path> error_path;

    const auto fail = [&](std::string reason) {
        return std::unexpected(parse_failure(full_name, std::move(reason)));
    };
    const auto judge_piece = [&](std::string_view decoded) {
        const std::string_view trimmed = text::trim(decoded);
        if (!trimmed.empty() && open.size() >= 2) rules.on_piece(open, trimmed);
    };
    const auto flush_run = [&] {
        if (!run.active) return;
        run.active = false;
        const std::string_view raw = document.substr(run.begin, run.end - run.begin);
        if (!run.has_reference) {
            if (text::is_valid_utf8(raw)) judge_piece(raw);
            return;
        }
        piece.clear();
        if (append_decoded_text(piece, raw)) judge_piece(piece);
    };

    while (true) {
        auto event = reader.next();
        if (!event) return fail(event.error().message());
        const xml::EventKind kind = event->kind;
        if (judge_pieces && kind != xml::EventKind::Text && kind != xml::EventKind::GeneralRef &&
            kind != xml::EventKind::CharRef) {
            flush_run();
        }
        switch (kind) {
            case xml::EventKind::Start: {
                const OpenElement element{event->local_name(),
                                          in_metadata_namespace(reader.resolve_element(*event))};
                if (open.empty()) {
                    if (!is_root(element, settings.root_names)) return fail(root_message(settings.root_names));
                    root_seen = true;
                    capture = kNoCapture;
                } else {
                    capture = rules.on_start(open, element);
                }
                buffer.clear();
                open.push_back(element);
                break;
            }
            case xml::EventKind::Empty: {
                if (open.empty()) {
                    const OpenElement element{event->local_name(),
                                              in_metadata_namespace(reader.resolve_element(*event))};
                    if (!is_root(element, settings.root_names)) return fail(root_message(settings.root_names));
                    root_seen = true;
                }
                // An empty element inside a counted one cancels that element's value.
                capture = kNoCapture;
                break;
            }
            case xml::EventKind::End: {
                if (open.empty()) break;  // the reader refuses an end tag without an open element
                const OpenElement element = open.back();
                open.pop_back();
                if (capture != kNoCapture) {
                    const std::string_view value = text::trim(buffer);
                    if (!value.empty() || settings.keeps_empty_values) rules.on_value(capture, value);
                    capture = kNoCapture;
                }
                buffer.clear();
                rules.on_end(open, element);
                break;
            }
            case xml::EventKind::Text:
                if (judge_pieces) {
                    if (!run.active) run = PieceRun{event->begin, event->end, true, false};
                    run.end = event->end;
                } else if (capture != kNoCapture) {
                    append_decoded_text(buffer, event->raw);
                }
                break;
            case xml::EventKind::CData:
                if (judge_pieces) {
                    piece.clear();
                    if (append_cdata(piece, event->content)) judge_piece(piece);
                } else if (capture != kNoCapture) {
                    append_cdata(buffer, event->content);
                }
                break;
            case xml::EventKind::GeneralRef:
            case xml::EventKind::CharRef:
                if (judge_pieces) {
                    if (!run.active) run = PieceRun{event->begin, event->end, true, true};
                    run.end = event->end;
                    run.has_reference = true;
                } else if (capture != kNoCapture) {
                    if (!error_path) error_path.emplace(full_name);
                    if (auto pushed = field_reader::push_reference(buffer, *event, *error_path); !pushed) {
                        return std::unexpected(std::move(pushed.error()));
                    }
                }
                break;
            case xml::EventKind::DocType:
                return fail(std::string(kDoctypeNotAllowed));
            case xml::EventKind::Eof:
                if (!root_seen) return fail(std::string(kNoRootElement));
                if (!open.empty()) return fail(std::string(kNotProperlyClosed));
                return {};
            case xml::EventKind::Comment:
            case xml::EventKind::Decl:
            case xml::EventKind::PI:
                break;
        }
    }
}

}  // namespace ambrel::metadata::reference_parser_frame
