#include <cstring>

#include "xml/xml.hpp"

namespace ambrel::xml {

namespace {

// Appends the text with the bytes of `special` replaced by their entity references; runs without
// special bytes are copied in one piece.
void append_replacing(std::string& out, std::string_view text, const char* special) {
    std::size_t from = 0;
    while (from < text.size()) {
        const std::size_t hit = text.find_first_of(special, from);
        if (hit == std::string_view::npos) {
            out.append(text.substr(from));
            return;
        }
        out.append(text.substr(from, hit - from));
        switch (text[hit]) {
            case '&': out.append("&amp;"); break;
            case '<': out.append("&lt;"); break;
            case '>': out.append("&gt;"); break;
            case '"': out.append("&quot;"); break;
            case '\'': out.append("&apos;"); break;
            default: out.push_back(text[hit]); break;
        }
        from = hit + 1;
    }
}

std::string replacing(std::string_view text, const char* special) {
    std::string out;
    out.reserve(text.size());
    append_replacing(out, text, special);
    return out;
}

constexpr const char* kFive = "&<>\"'";
constexpr const char* kText = "&<>";
constexpr const char* kAttribute = "&<>\"";

}  // namespace

std::string escape_five_entities(std::string_view text) { return replacing(text, kFive); }
void append_five_entities(std::string& out, std::string_view text) { append_replacing(out, text, kFive); }

std::string escape_text(std::string_view text) { return replacing(text, kText); }
void append_escaped_text(std::string& out, std::string_view text) { append_replacing(out, text, kText); }

std::string escape_attribute(std::string_view text) { return replacing(text, kAttribute); }
void append_escaped_attribute(std::string& out, std::string_view text) {
    append_replacing(out, text, kAttribute);
}

std::string cdata_section(std::string_view text) {
    std::string out = "<![CDATA[";
    std::size_t from = 0;
    while (true) {
        const std::size_t hit = text.find("]]>", from);
        if (hit == std::string_view::npos) break;
        // "]]" closes this section, ">" opens the next one.
        out.append(text.substr(from, hit + 2 - from));
        out.append("]]><![CDATA[");
        from = hit + 2;
    }
    out.append(text.substr(from));
    out.append("]]>");
    return out;
}

void write_event(std::string& out, const Event& event) {
    if (event.kind == EventKind::End) {
        out.append("</");
        out.append(event.name);
        out.push_back('>');
        return;
    }
    out.append(event.raw);
}

}  // namespace ambrel::xml
