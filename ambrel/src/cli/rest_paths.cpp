#include "cli/rest_paths.hpp"

#include <algorithm>
#include <cstddef>

#include <fmt/format.h>

namespace ambrel::cli::rest {

namespace {

bool is_ascii_digit(char c) noexcept { return c >= '0' && c <= '9'; }
bool is_ascii_alnum(char c) noexcept {
    return is_ascii_digit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// Calls `piece` for every part of `text` between separators, empty parts included.
template <class F>
void for_each_piece(std::string_view text, char separator, F&& piece) {
    std::size_t start = 0;
    while (true) {
        const std::size_t end = text.find(separator, start);
        if (end == std::string_view::npos) {
            piece(text.substr(start));
            return;
        }
        piece(text.substr(start, end - start));
        start = end + 1;
    }
}

}  // namespace

bool is_valid_record_id(std::string_view text) noexcept {
    return (text.size() == 15 || text.size() == 18) && std::ranges::all_of(text, is_ascii_alnum);
}

bool is_salesforce_id(std::string_view text) noexcept {
    return is_valid_record_id(text) && std::ranges::any_of(text, is_ascii_digit);
}

std::string redacted_query(std::string_view query) {
    std::string out;
    bool first = true;
    for_each_piece(query, '&', [&](std::string_view parameter) {
        if (!first) out += '&';
        first = false;
        const std::size_t equals = parameter.find('=');
        if (equals != std::string_view::npos && parameter.substr(0, equals) == "ids") {
            std::size_t count = 0;
            for_each_piece(parameter.substr(equals + 1), ',', [&](std::string_view entry) {
                if (!entry.empty()) ++count;
            });
            out += fmt::format("ids=<{} ids>", count);
        } else {
            out += parameter;
        }
    });
    return out;
}

std::string redacted_path(std::string_view path) {
    const std::size_t question = path.find('?');
    const std::string_view head = path.substr(0, question);
    std::string out;
    bool first = true;
    for_each_piece(head, '/', [&](std::string_view segment) {
        if (!first) out += '/';
        first = false;
        out += is_salesforce_id(segment) ? std::string_view("<id>") : segment;
    });
    if (question == std::string_view::npos) return out;
    return fmt::format("{}?{}", out, redacted_query(path.substr(question + 1)));
}

}  // namespace ambrel::cli::rest
