#include "comparison/document_equality.hpp"

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>

#include "comparison/engine.hpp"
#include "xml/xml.hpp"

namespace ambrel::comparison {
namespace {

enum class Verdict : std::uint8_t { Same, Differ, Malformed };

// One event of a document as the comparison sees it: text runs joined, white-space runs and the
// declaration gone, an empty-element tag split into a start and an end.
struct Token {
    xml::EventKind kind = xml::EventKind::Eof;  // Start, End, Text, CData, Comment, PI, DocType or Eof
    std::string_view name;                      // Start, End: qualified name; PI: target
    std::string_view text;                      // Text: the run as written; CData, Comment, PI, DocType: content
    xml::Event tag;                             // Start: the tag, for its attributes
    bool needs_decoding = false;                // Text: holds a reference or a carriage return
};

bool is_xml_space(char c) noexcept { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

bool all_space(std::string_view text) noexcept {
    for (const char c : text) {
        if (!is_xml_space(c)) return false;
    }
    return true;
}

// "\r\n" and a lone "\r" as "\n", as XML reads line ends.
std::string with_xml_line_ends(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\r') {
            out.push_back(text[i]);
            continue;
        }
        out.push_back('\n');
        if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
    }
    return out;
}

bool same_lines(std::string_view a, std::string_view b) {
    if (a == b) return true;
    if (a.find('\r') == std::string_view::npos && b.find('\r') == std::string_view::npos) return false;
    return with_xml_line_ends(a) == with_xml_line_ends(b);
}

// The characters of a text run: line ends first (a "&#13;" stays a carriage return), then references.
std::optional<std::string> decoded_text(std::string_view raw) {
    auto decoded = xml::unescape(with_xml_line_ends(raw));
    if (!decoded) return std::nullopt;
    return std::move(*decoded);
}

class TokenStream {
public:
    explicit TokenStream(std::string_view text) : reader_(xml::strip_leading_boms(text)) {}

    // The next token, or none when the document turns out not to be well formed.
    std::optional<Token> next() {
        if (pending_end_) {
            pending_end_ = false;
            return Token{xml::EventKind::End, pending_end_name_, {}, {}, false};
        }
        while (true) {
            auto event = take();
            if (!event) return std::nullopt;
            switch (event->kind) {
                case xml::EventKind::Text:
                case xml::EventKind::GeneralRef:
                case xml::EventKind::CharRef: {
                    auto run = text_run(*event);
                    if (!run) return std::nullopt;
                    if (run->kind == xml::EventKind::Eof) continue;  // white space alone
                    return run;
                }
                case xml::EventKind::Start: return Token{xml::EventKind::Start, event->name, {}, *event, false};
                case xml::EventKind::Empty:
                    pending_end_ = true;
                    pending_end_name_ = event->name;
                    return Token{xml::EventKind::Start, event->name, {}, *event, false};
                case xml::EventKind::End: return Token{xml::EventKind::End, event->name, {}, {}, false};
                case xml::EventKind::CData:
                case xml::EventKind::Comment:
                case xml::EventKind::DocType:
                    return Token{event->kind, {}, event->content, {}, false};
                case xml::EventKind::PI: return Token{xml::EventKind::PI, event->name, event->content, {}, false};
                case xml::EventKind::Decl: continue;
                case xml::EventKind::Eof: return Token{};
            }
        }
    }

private:
    // The next event of the reader (the one held back first), or none for a fault.
    std::optional<xml::Event> take() {
        if (held_) {
            std::optional<xml::Event> event = std::move(held_);
            held_.reset();
            return event;
        }
        auto event = reader_.next();
        if (!event || shape_.observe(*event, reader_)) return std::nullopt;
        return std::move(*event);
    }

    // Joins the text pieces from `first` on; gives a token of kind Eof for a run of white space alone.
    std::optional<Token> text_run(const xml::Event& first) {
        const std::size_t begin = first.begin;
        std::size_t end = first.end;
        bool reference = first.kind != xml::EventKind::Text;
        while (true) {
            auto event = reader_.next();
            if (!event || shape_.observe(*event, reader_)) return std::nullopt;
            if (!xml::is_text_piece(event->kind)) {
                held_ = std::move(*event);
                break;
            }
            reference = reference || event->kind != xml::EventKind::Text;
            end = event->end;
        }
        const std::string_view raw = reader_.input().substr(begin, end - begin);
        if (!reference && all_space(raw)) return Token{};
        const bool carriage_return = std::memchr(raw.data(), '\r', raw.size()) != nullptr;
        return Token{xml::EventKind::Text, {}, raw, {}, reference || carriage_return};
    }

    xml::Reader reader_;
    xml::DocumentShape shape_;
    std::optional<xml::Event> held_;
    bool pending_end_ = false;
    std::string_view pending_end_name_;
};

Verdict same_attributes(const xml::Event& a, const xml::Event& b) {
    if (a.content == b.content) return Verdict::Same;
    xml::AttributeIterator left = a.attributes();
    xml::AttributeIterator right = b.attributes();
    while (true) {
        auto l = left.next();
        auto r = right.next();
        if (!l || !r) return Verdict::Malformed;
        if (!l->has_value() || !r->has_value()) {
            return l->has_value() == r->has_value() ? Verdict::Same : Verdict::Differ;
        }
        const xml::Attribute& x = **l;
        const xml::Attribute& y = **r;
        if (x.name != y.name) return Verdict::Differ;
        constexpr std::string_view kNormalised = "&\t\n\r";
        if (x.value == y.value && x.value.find_first_of(kNormalised) == std::string_view::npos) continue;
        auto x_value = x.normalized_value();
        auto y_value = y.normalized_value();
        if (!x_value || !y_value) return Verdict::Malformed;
        if (*x_value != *y_value) return Verdict::Differ;
    }
}

Verdict same_tokens(const Token& a, const Token& b) {
    if (a.kind != b.kind) return Verdict::Differ;
    switch (a.kind) {
        case xml::EventKind::Start:
            if (a.name != b.name) return Verdict::Differ;
            return same_attributes(a.tag, b.tag);
        case xml::EventKind::End: return a.name == b.name ? Verdict::Same : Verdict::Differ;
        case xml::EventKind::Text: {
            if (!a.needs_decoding && !b.needs_decoding) return a.text == b.text ? Verdict::Same : Verdict::Differ;
            const auto x = decoded_text(a.text);
            const auto y = decoded_text(b.text);
            if (!x || !y) return Verdict::Malformed;
            return *x == *y ? Verdict::Same : Verdict::Differ;
        }
        case xml::EventKind::PI:
            if (a.name != b.name) return Verdict::Differ;
            return same_lines(a.text, b.text) ? Verdict::Same : Verdict::Differ;
        default: return same_lines(a.text, b.text) ? Verdict::Same : Verdict::Differ;
    }
}

}  // namespace

bool documents_equal(std::string_view a, std::string_view b) {
    if (a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size()) == 0)) return true;
    // Equal but for line ends: equal in every reading, and found at the speed of a byte comparison.
    if (documents_equal_ignoring_crlf(a, b)) return true;
    TokenStream left(a);
    TokenStream right(b);
    while (true) {
        const std::optional<Token> l = left.next();
        const std::optional<Token> r = right.next();
        if (!l || !r) return false;  // not well formed: the byte rule above has answered already
        switch (same_tokens(*l, *r)) {
            case Verdict::Same:
                if (l->kind == xml::EventKind::Eof) return true;
                break;
            case Verdict::Differ:
            case Verdict::Malformed: return false;
        }
    }
}

}  // namespace ambrel::comparison
