#include "metadata/custom_field_reader.hpp"

#include <algorithm>

#include "metadata/metadata_namespace.hpp"
#include "text/text.hpp"

namespace ambrel::metadata::field_reader {

namespace {

// "\r\n" and every remaining "\r" become "\n"; then Unicode white space is trimmed from both ends.
std::string normalize_capture(std::string_view captured) {
    std::string out;
    out.reserve(captured.size());
    for (std::size_t i = 0; i < captured.size(); ++i) {
        if (captured[i] == '\r') {
            out.push_back('\n');
            if (i + 1 < captured.size() && captured[i + 1] == '\n') ++i;
        } else {
            out.push_back(captured[i]);
        }
    }
    return std::string(text::trim(out));
}

}  // namespace

std::expected<void, FieldReadError> push_reference(std::string& buffer, const xml::Event& reference,
                                                   const std::filesystem::path& path) {
    auto appended = xml::append_reference(buffer, reference);
    if (!appended) return std::unexpected(FieldReadError::invalid(path, appended.error().description));
    return {};
}

std::expected<void, FieldReadError> validate_root(const xml::Namespace& ns, std::string_view local_name,
                                                  const std::filesystem::path& path) {
    if (ns.is(kMetadataNamespaceUri) && local_name == "CustomField") return {};
    return std::unexpected(FieldReadError::invalid(path, "root element must be CustomField"));
}

std::optional<std::string> wanted_local_name(const xml::Namespace& ns, std::string_view local_name,
                                             std::span<const std::string_view> wanted) {
    if (!ns.is(kMetadataNamespaceUri)) return std::nullopt;
    if (std::find(wanted.begin(), wanted.end(), local_name) == wanted.end()) return std::nullopt;
    return std::string(local_name);
}

std::expected<ChildTexts, FieldReadError> parse_child_texts(std::string_view text,
                                                            const std::filesystem::path& path,
                                                            std::span<const std::string_view> wanted) {
    ChildTexts texts;
    xml::Reader reader(text);
    std::size_t depth = 0;
    std::optional<std::string> capture_name;
    std::string buffer;
    while (true) {
        auto event = reader.next();
        if (!event) return std::unexpected(FieldReadError::invalid(path, event.error().message()));
        switch (event->kind) {
            case xml::EventKind::Start: {
                const xml::Namespace ns = reader.resolve_element(*event);
                if (depth == 0) {
                    if (auto valid = validate_root(ns, event->local_name(), path); !valid) {
                        return std::unexpected(std::move(valid.error()));
                    }
                } else if (depth == 1 && !capture_name) {
                    auto name = wanted_local_name(ns, event->local_name(), wanted);
                    if (name && !texts.contains(*name)) {
                        capture_name = std::move(name);
                        buffer.clear();
                    }
                }
                ++depth;
                break;
            }
            case xml::EventKind::End:
                if (depth > 0) --depth;
                if (depth == 1 && capture_name) {
                    texts.emplace(std::move(*capture_name), normalize_capture(buffer));
                    capture_name.reset();
                }
                break;
            case xml::EventKind::Empty: {
                const xml::Namespace ns = reader.resolve_element(*event);
                if (depth == 0) {
                    if (auto valid = validate_root(ns, event->local_name(), path); !valid) {
                        return std::unexpected(std::move(valid.error()));
                    }
                } else if (depth == 1) {
                    auto name = wanted_local_name(ns, event->local_name(), wanted);
                    if (name && !texts.contains(*name)) texts.emplace(std::move(*name), std::string());
                }
                break;
            }
            case xml::EventKind::Text:
                if (capture_name) buffer.append(event->raw);
                break;
            case xml::EventKind::CData:
                if (capture_name) buffer.append(event->content);
                break;
            case xml::EventKind::GeneralRef:
            case xml::EventKind::CharRef:
                if (capture_name) {
                    if (auto pushed = push_reference(buffer, *event, path); !pushed) {
                        return std::unexpected(std::move(pushed.error()));
                    }
                }
                break;
            case xml::EventKind::DocType:
                return std::unexpected(FieldReadError::invalid(path, "doctype is not allowed"));
            case xml::EventKind::Eof:
                return texts;
            case xml::EventKind::Comment:
            case xml::EventKind::Decl:
            case xml::EventKind::PI:
                break;
        }
    }
}

TrackingToggles read_tracking_toggles(std::string_view text, const std::filesystem::path& path) {
    const auto texts = parse_child_texts(text, path, kTrackingElements);
    if (!texts) return {};
    const auto is_true = [&](std::string_view name) {
        const auto it = texts->find(std::string(name));
        return it != texts->end() && it->second == "true";
    };
    return {is_true("trackHistory"), is_true("trackFeedHistory")};
}

}  // namespace ambrel::metadata::field_reader
