#include "git/repo_path.hpp"

#include <array>
#include <cstdlib>
#include <system_error>
#include <utility>

#include "text/text.hpp"

namespace ambrel::git::repo_path {
namespace {

constexpr std::string_view kHomeVariable = "HOME";
constexpr std::string_view kUserProfileVariable = "USERPROFILE";

bool is_edge_junk(char32_t c) noexcept {
    return text::is_white_space(c) || c == U'\u200B' || c == U'\u200C' || c == U'\u200D' || c == U'\uFEFF';
}

std::optional<std::filesystem::path> variable_path(std::string_view name) {
    const char* value = std::getenv(std::string(name).c_str());
    if (value == nullptr || *value == '\0' || !text::is_valid_utf8(value)) return std::nullopt;
    return std::filesystem::path(value);
}

// The quote pairs that a pasted path may be wrapped in.
constexpr std::array<std::pair<char32_t, char32_t>, 5> kQuotePairs{{
    {U'"', U'"'},
    {U'\'', U'\''},
    {U'\u00AB', U'\u00BB'},
    {U'\u2018', U'\u2019'},
    {U'\u201C', U'\u201D'},
}};

}  // namespace

std::optional<std::filesystem::path> home_directory() {
    if (auto home = variable_path(kHomeVariable)) return home;
    return variable_path(kUserProfileVariable);
}

std::string trim_edge_junk(std::string_view input) {
    std::size_t begin = 0;
    while (begin < input.size()) {
        const auto c = text::decode_at(input, begin);
        if (!c.valid || !is_edge_junk(c.value)) break;
        begin += c.length;
    }
    std::size_t end = input.size();
    while (end > begin) {
        const auto c = text::decode_before(input, end);
        if (!c.valid || !is_edge_junk(c.value)) break;
        end -= c.length;
    }
    return std::string(input.substr(begin, end - begin));
}

std::filesystem::path resolve_repo_path_input(std::string_view typed,
                                              const std::optional<std::filesystem::path>& home) {
    std::error_code error;
    if (!typed.empty() && std::filesystem::is_directory(std::filesystem::path(typed), error)) {
        return std::filesystem::path(typed);
    }
    std::string trimmed = trim_edge_junk(typed);
    if (text::count_chars(trimmed) >= 2) {
        const auto first = text::decode_at(trimmed, 0);
        const auto last = text::decode_before(trimmed, trimmed.size());
        for (const auto& [open, close] : kQuotePairs) {
            if (first.valid && last.valid && first.value == open && last.value == close) {
                trimmed = trimmed.substr(first.length, trimmed.size() - first.length - last.length);
                break;
            }
        }
    }
    trimmed = trim_edge_junk(trimmed);
    if (!home) return std::filesystem::path(trimmed);
    if (trimmed.empty()) return {};
    if (trimmed == "~") return *home;
    if (trimmed.starts_with("~/")) return *home / std::filesystem::path(trimmed.substr(2));
    return std::filesystem::path(trimmed);
}

}  // namespace ambrel::git::repo_path
