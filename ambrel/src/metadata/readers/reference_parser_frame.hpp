#pragma once

// The frame that every reference parser of metadata documents shares: one forward pass of the XML
// pull reader over a document held in memory, the root and namespace checks, the stack of open
// elements, the collection and trimming of the text of a counted element, and the checks at the
// end of input. Each parser module supplies its root name(s) and its element and value rules
// through `Rules`; the frame never opens a file, builds no tree and never expands an entity (a
// DOCTYPE is refused, nothing is fetched).
//
// Text of a counted element: text pieces go through `decode_text`; CDATA content is appended as
// written (it is already text, so "&" in it stays "&"); entity and character references are
// resolved with `field_reader::push_reference`. The collected text is trimmed of Unicode white
// space at the element's end tag. Elements count only when bound to the Metadata API namespace.
//
// Failures, each a `FieldReadError` in its path form whose path is the component's full name as
// passed, with one of these reasons:
//   "root element must be {}" (or "root element must be {} or {}" for a parser with two roots),
//   "doctype is not allowed", "document has no root element", "document is not properly closed",
//   the message of `push_reference` (such as "unknown entity: {}") for a reference inside a counted
//   element, or the XML reader's own description of a syntax fault.
// The first failure ends the pass; no partial result is handed out.
//
// Thread-safety: pure functions over their arguments; any number may run at once on any threads.

#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>

#include "metadata/field_read_error.hpp"
#include "xml/xml.hpp"

namespace ambrel::metadata::reference_parser_frame {

// The raw bytes of a text or CDATA piece, decoded: they must be valid UTF-8, and the references to
// the five predefined entities and the character references in them are replaced by their
// characters. Bytes that are not UTF-8, a reference to any other entity, an "&" that ends no
// reference or a character reference that names no valid character give the empty text. Never
// fails.
std::string decode_text(std::string_view raw);

// Appends decode_text(raw) to `out` without a temporary; returns false (and appends nothing) when
// decode_text would give the empty text because the piece cannot be decoded.
bool append_decoded_text(std::string& out, std::string_view raw);

// A run of adjacent text pieces and references directly inside one element, decoded as one text
// when the run ends, so that a reference is decoded with the text around it.
class TextRun {
public:
    // Adds a text piece (or reference) of the document to the run.
    void extend(const xml::Event& piece) noexcept {
        if (begin_ == kNone) begin_ = piece.begin;
        end_ = piece.end;
    }
    bool pending() const noexcept { return begin_ != kNone; }
    // The run's bytes of `body` decoded with `decode_text` (the empty text for no run); starts a new run.
    std::string take(std::string_view body) {
        if (begin_ == kNone) return {};
        std::string text = decode_text(body.substr(begin_, end_ - begin_));
        begin_ = kNone;
        return text;
    }

private:
    static constexpr std::size_t kNone = std::string_view::npos;
    std::size_t begin_ = kNone;
    std::size_t end_ = 0;
};

// The local name of a start or empty-element tag: its qualified name after the first ":" (the
// whole name without one), invalid UTF-8 replaced by U+FFFD. Never fails.
std::string local_name_of(const xml::Event& tag);

// One element open at the current point of the document. The name is a view into the document,
// which outlives the pass, so that opening an element allocates nothing.
struct OpenElement {
    std::string_view local_name;
    bool in_metadata_namespace = false;
};

// The open elements, the root first.
using OpenElements = std::span<const OpenElement>;

// The kind of value being collected, chosen by each parser; kNoCapture when nothing is collected.
using CaptureKind = std::uint8_t;
inline constexpr CaptureKind kNoCapture = 0;

// How a parser takes the text of the document.
enum class TextMode : std::uint8_t {
    // The text of a counted element is collected until its end tag (the usual frame).
    CaptureElements,
    // Every piece of text is judged on its own where it stands; there is no capture. A run of text
    // and references with nothing else between them is one piece, its references resolved (a run
    // that cannot be decoded is dropped); a CDATA section is a piece of its own.
    JudgePieces,
};

struct Settings {
    // One or two root names; a top-level element must be one of them, in the namespace.
    std::span<const std::string_view> root_names;
    TextMode text_mode = TextMode::CaptureElements;
    // Hand trimmed values to Rules::on_value even when they are empty.
    bool keeps_empty_values = false;
};

// The rules of one parser. The hooks are called in document order; the frame has already done the
// root check before any of them sees an element.
class Rules {
public:
    virtual ~Rules() = default;
    // A start tag below a top-level element; `open` does not hold `element` yet. Returns what the
    // element's text is collected as, or kNoCapture.
    virtual CaptureKind on_start(OpenElements open, const OpenElement& element) = 0;
    // The trimmed text of a counted element, at its end tag (non-empty unless the settings keep
    // empty values).
    virtual void on_value(CaptureKind /*kind*/, std::string_view /*value*/) {}
    // An end tag, after its element has left `open` (and after on_value for that element).
    virtual void on_end(OpenElements /*open*/, const OpenElement& /*element*/) {}
    // TextMode::JudgePieces: a decoded, trimmed, non-empty piece while at least two elements are
    // open; `open` ends with the element that holds the piece.
    virtual void on_piece(OpenElements /*open*/, std::string_view /*piece*/) {}
};

// Runs the frame over a document. `full_name` labels the errors only.
std::expected<void, FieldReadError> parse(std::string_view full_name, std::string_view text,
                                          const Settings& settings, Rules& rules);

// Runs the frame with a parser's rules and hands out what they collected (`rules.result`).
template <class ParserRules>
auto parse_into(std::string_view full_name, std::string_view text, const Settings& settings, ParserRules rules)
    -> std::expected<decltype(rules.result), FieldReadError> {
    if (auto parsed = parse(full_name, text, settings, rules); !parsed) return std::unexpected(std::move(parsed.error()));
    return std::move(rules.result);
}

// True when `element`, opened with `open` above it, stands at `path` (local names from the root,
// compared byte for byte): the open elements are exactly the path without its last name, the
// element's name is the last one, and it and every open element are in the Metadata API namespace.
bool counts_at(OpenElements open, const OpenElement& element, std::span<const std::string_view> path) noexcept;

// The path form of the frame's failures: the full name as the path.
FieldReadError parse_failure(std::string_view full_name, std::string reason);

}  // namespace ambrel::metadata::reference_parser_frame
