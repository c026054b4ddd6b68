#include <fmt/format.h>

#include "support/programming_error.hpp"
#include "text/text.hpp"
#include "xml/lexer.hpp"
#include "xml/xml.hpp"

namespace ambrel::xml {

namespace {

constexpr std::string_view kBom = "\xEF\xBB\xBF";

bool is_xml_char(char32_t c) noexcept {
    return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) ||
           (c >= 0xE000 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0x10FFFF);
}

Error decode_error(ErrorKind kind, std::size_t offset, std::string_view subject, std::string description) {
    Error error;
    error.kind = kind;
    error.offset = offset;
    error.subject = std::string(subject);
    error.description = std::move(description);
    return error;
}

Error unknown_entity(std::string_view name, std::size_t offset) {
    return decode_error(ErrorKind::UnknownEntity, offset, name, fmt::format("unknown entity: {}", name));
}

// Resolves the reference at `amp` of `raw` into `out`; returns the offset after it.
std::expected<std::size_t, Error> resolve_at(std::string& out, std::string_view raw, std::size_t amp) {
    const detail::LexedReference lexed = detail::lex_reference(raw, amp);
    switch (lexed.kind) {
        case detail::ReferenceLex::Truncated:
        case detail::ReferenceLex::Malformed:
            return std::unexpected(decode_error(ErrorKind::MalformedReference, amp, {},
                                                "\"&\" does not start an entity or character reference"));
        case detail::ReferenceLex::General: {
            const std::optional<char> c = predefined_entity(lexed.name);
            if (!c) return std::unexpected(unknown_entity(lexed.name, amp));
            out.push_back(*c);
            return lexed.end;
        }
        case detail::ReferenceLex::Char: {
            auto c = decode_char_ref(lexed.name);
            if (!c) {
                Error error = std::move(c.error());
                error.offset = amp;
                return std::unexpected(std::move(error));
            }
            text::append_utf8(out, *c);
            return lexed.end;
        }
    }
    return std::unexpected(decode_error(ErrorKind::MalformedReference, amp, {}, "malformed reference"));
}

template <bool kNormalizeSpaces>
std::expected<std::string, Error> decode_raw(std::string_view raw) {
    std::string out;
    out.reserve(raw.size());
    std::size_t i = 0;
    while (i < raw.size()) {
        const char c = raw[i];
        if (c == '&') {
            auto after = resolve_at(out, raw, i);
            if (!after) return std::unexpected(std::move(after.error()));
            i = *after;
            continue;
        }
        if constexpr (kNormalizeSpaces) {
            if (c == '\r' || c == '\n' || c == '\t') {
                out.push_back(' ');
                i += (c == '\r' && i + 1 < raw.size() && raw[i + 1] == '\n') ? 2 : 1;
                continue;
            }
        }
        out.push_back(c);
        ++i;
    }
    return out;
}

}  // namespace

std::size_t leading_bom_length(std::string_view text) noexcept {
    std::size_t length = 0;
    while (text.substr(length).starts_with(kBom)) length += kBom.size();
    return length;
}

std::string_view strip_leading_boms(std::string_view text) noexcept {
    return text.substr(leading_bom_length(text));
}

std::optional<char> predefined_entity(std::string_view name) noexcept {
    if (name == "lt") return '<';
    if (name == "gt") return '>';
    if (name == "amp") return '&';
    if (name == "apos") return '\'';
    if (name == "quot") return '"';
    return std::nullopt;
}

std::expected<char32_t, Error> decode_char_ref(std::string_view body) {
    const auto invalid = [&] {
        return std::unexpected(decode_error(ErrorKind::InvalidCharRef, 0, body,
                                            fmt::format("invalid character reference &#{};", body)));
    };
    const bool hex = body.starts_with('x');
    const std::string_view digits = hex ? body.substr(1) : body;
    if (digits.empty()) return invalid();
    char32_t value = 0;
    for (const char c : digits) {
        unsigned digit = 0;
        if (c >= '0' && c <= '9') {
            digit = static_cast<unsigned>(c - '0');
        } else if (hex && c >= 'a' && c <= 'f') {
            digit = static_cast<unsigned>(c - 'a' + 10);
        } else if (hex && c >= 'A' && c <= 'F') {
            digit = static_cast<unsigned>(c - 'A' + 10);
        } else {
            return invalid();
        }
        value = value * (hex ? 16 : 10) + digit;
        // Stop before the value can overflow; anything this large is no character anyway.
        if (value > 0x10FFFF) return invalid();
    }
    if (!is_xml_char(value)) return invalid();
    return value;
}

std::expected<void, Error> append_reference(std::string& out, const Event& reference) {
    if (reference.kind == EventKind::GeneralRef) {
        const std::optional<char> c = predefined_entity(reference.name);
        if (!c) return std::unexpected(unknown_entity(reference.name, reference.begin));
        out.push_back(*c);
        return {};
    }
    support::require(reference.kind == EventKind::CharRef,
                     "xml::append_reference needs a GeneralRef or CharRef event");
    auto c = decode_char_ref(reference.name);
    if (!c) {
        Error error = std::move(c.error());
        error.offset = reference.begin;
        return std::unexpected(std::move(error));
    }
    text::append_utf8(out, *c);
    return {};
}

std::expected<std::string, Error> unescape(std::string_view raw) {
    if (raw.find('&') == std::string_view::npos) return std::string(raw);
    return decode_raw<false>(raw);
}

std::expected<std::string, Error> normalize_attribute_value(std::string_view raw) {
    return decode_raw<true>(raw);
}

}  // namespace ambrel::xml
