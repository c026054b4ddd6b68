#include "data/key_fill.hpp"

#include <vector>

#include "text/text.hpp"

namespace ambrel::data::key_fill {
namespace {

constexpr std::size_t kSalesforceIdLength = 18;

// The text with its characters in reverse order; an ill-formed byte sequence moves as one character.
std::string reversed_chars(std::string_view text) {
    std::vector<std::string_view> chars;
    for (std::size_t offset = 0; offset < text.size();) {
        const std::size_t length = text::decode_at(text, offset).length;
        chars.push_back(text.substr(offset, length));
        offset += length;
    }
    std::string reversed;
    reversed.reserve(text.size());
    for (auto it = chars.rbegin(); it != chars.rend(); ++it) reversed.append(*it);
    return reversed;
}

}  // namespace

std::optional<std::string> key_value_for_18_char_id(std::string_view id) {
    if (text::count_chars(id) != kSalesforceIdLength) return std::nullopt;
    return reversed_chars(id);
}

std::optional<std::string> key_fill_csv(std::string_view field_name, std::span<const std::string> ids) {
    if (ids.empty()) return std::nullopt;
    std::string csv = "Id,";
    csv += escape_csv(field_name);
    csv += '\n';
    for (const std::string& id : ids) {
        csv += escape_csv(id);
        csv += ',';
        csv += escape_csv(reversed_chars(id));
        csv += '\n';
    }
    return csv;
}

std::string escape_csv(std::string_view text) {
    if (text.find_first_of("\n\r\",") == std::string_view::npos) return std::string(text);
    std::string quoted = "\"";
    for (const char c : text) {
        if (c == '"') quoted += '"';
        quoted += c;
    }
    quoted += '"';
    return quoted;
}

std::string escape_soql_literal(std::string_view text) {
    std::string escaped;
    escaped.reserve(text.size());
    for (const char c : text) {
        if (c == '\'' || c == '\\') escaped += '\\';
        escaped += c;
    }
    return escaped;
}

}  // namespace ambrel::data::key_fill
