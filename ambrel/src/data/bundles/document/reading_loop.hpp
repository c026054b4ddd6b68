#pragma once

// The one strict reading pattern of the record documents, over the system's XML pull reader. A format
// supplies its root name, namespace and two namespace messages, decides on every start tag (accept,
// refuse as not expected, or fail) and acts on end tags; the loop does the rest:
// - leading byte order marks (any number) are skipped;
// - the reader's own fault ends the read with its description, except an end tag with no open
//   element, which reads "document is not properly closed";
// - the root must be the format's root element bound to its namespace, every other element must be
//   bound to it (an undeclared prefix counts as not bound);
// - "<{}> is not expected in this document" for an element no rule accepts;
// - text runs are decoded ("text: {}"), CDATA content is taken unchanged once checked as UTF-8,
//   references reported on their own are decoded (the decoder's description, unprefixed);
// - "doctype is not allowed", "document has no root element", "document is not properly closed".
// Line ends and control characters pass byte for byte. One forward pass, no recursion.
//
// Thread-safety: a read owns its state; any thread.

#include <concepts>
#include <deque>
#include <expected>
#include <string>
#include <string_view>
#include <vector>

#include <fmt/format.h>

#include "data/bundles/document/conventions.hpp"
#include "metadata/readers/expression_set_reader.hpp"
#include "text/text.hpp"
#include "xml/xml.hpp"

namespace ambrel::data::bundles::document::reading {

inline constexpr std::string_view kNotClosed = "document is not properly closed";
inline constexpr std::string_view kNoRoot = "document has no root element";
inline constexpr std::string_view kDoctype = "doctype is not allowed";

// How a format answered a start tag.
enum class StartAnswer { Accepted, NotExpected };

// The open elements, outermost first, by local name (views into the document, or into the read's own
// copies of names that had to be cleaned).
using Path = std::vector<std::string_view>;

// A format: `root_name`, `namespace_uri`, `root_message()`, `namespace_message(local)`,
// `on_start(path, local, tag)` → expected<StartAnswer, BundleDocumentError> (the path without the
// element) and `on_end(path, value)` → expected<void, BundleDocumentError> (the path with the
// closing element last).
template <class Format>
std::expected<void, BundleDocumentError> read(std::string_view text, Format& format) {
    const std::string_view body = xml::strip_leading_boms(text);
    xml::Reader reader(body);
    Path path;
    // Local names that were not valid UTF-8, cleaned; a deque keeps the views into it valid.
    std::deque<std::string> cleaned_names;
    std::string buffer;
    bool root_seen = false;
    auto fail = [](std::string message) { return std::unexpected(BundleDocumentError(std::move(message))); };

    while (true) {
        auto next = reader.next();
        if (!next) {
            if (next.error().kind == xml::ErrorKind::UnmatchedEndTag) return fail(std::string(kNotClosed));
            return fail(text::decode_lossy(next.error().message()));
        }
        const xml::Event& event = *next;
        switch (event.kind) {
            case xml::EventKind::Start:
            case xml::EventKind::Empty: {
                // Names are compared as the lossy local name; a valid name needs no copy to get there.
                std::string_view local = event.local_name();
                if (!text::is_valid_utf8(local)) {
                    local = cleaned_names.emplace_back(metadata::expression_set_reader::local_name_of(event));
                }
                const bool in_namespace = reader.resolve_element(event).is(Format::namespace_uri);
                if (path.empty()) {
                    if (!in_namespace || local != Format::root_name) return fail(std::string(format.root_message()));
                    root_seen = true;
                } else {
                    if (!in_namespace) return fail(format.namespace_message(local));
                    auto answer = format.on_start(path, local, event);
                    if (!answer) return std::unexpected(std::move(answer.error()));
                    if (*answer == StartAnswer::NotExpected) {
                        return fail(fmt::format("<{}> is not expected in this document", local));
                    }
                }
                buffer.clear();
                if (event.kind == xml::EventKind::Start) path.push_back(local);
                break;
            }
            case xml::EventKind::End: {
                if (path.empty()) return fail(std::string(kNotClosed));
                std::string value = std::move(buffer);
                buffer.clear();
                auto acted = format.on_end(path, std::move(value));
                path.pop_back();
                if (!acted) return std::unexpected(std::move(acted.error()));
                break;
            }
            case xml::EventKind::Text: {
                // The reader ends a text run at every "&" (references are events of their own), so a
                // valid run needs no decoding.
                if (text::is_valid_utf8(event.raw)) {
                    buffer.append(event.raw);
                    break;
                }
                auto decoded = decode_document_text(event.raw);
                if (!decoded) return std::unexpected(std::move(decoded.error()));
                buffer.append(*decoded);
                break;
            }
            case xml::EventKind::CData: {
                if (auto valid = text::validate_utf8(event.content); !valid) {
                    return fail(fmt::format("text: {}", valid.error().message()));
                }
                buffer.append(event.content);
                break;
            }
            case xml::EventKind::GeneralRef:
            case xml::EventKind::CharRef: {
                if (auto appended = xml::append_reference(buffer, event); !appended) {
                    return fail(text::decode_lossy(appended.error().description));
                }
                break;
            }
            case xml::EventKind::DocType:
                return fail(std::string(kDoctype));
            case xml::EventKind::Comment:
            case xml::EventKind::Decl:
            case xml::EventKind::PI:
                break;
            case xml::EventKind::Eof:
                if (!root_seen) return fail(std::string(kNoRoot));
                if (!path.empty()) return fail(std::string(kNotClosed));
                return {};
        }
    }
}

}  // namespace ambrel::data::bundles::document::reading
