#include "git/sanitize.hpp"

#include <algorithm>
#include <vector>

#include <re2/re2.h>

#include "endpoint/deploy_endpoint.hpp"
#include "metadata_types/name_rules.hpp"
#include "support/programming_error.hpp"
#include "text/text.hpp"

namespace ambrel::git::sanitize {

namespace {

// A URL scheme, "://", and a user-information part up to its last "@" before the authority ends (at
// the first "/" or white space): a password may itself hold "@", and none of it may stay. White space
// is Unicode White_Space (RE2's \s alone is ASCII only).
const RE2& credential_url() {
    static const RE2 pattern(R"((?i)\b([a-z][a-z0-9+.\-]*)://[^\s\x{0B}\p{Z}\x{85}/]*@)");
    support::require(pattern.ok(), "credential URL pattern compiles");
    return pattern;
}

// One component of a path as the path's own text spells it: [begin, end) into that text.
struct Component {
    enum class Kind { Root, Current, Parent, Normal };
    Kind kind;
    std::size_t begin;
    std::size_t end;
};

// The components of a Unix path: a root, a leading "." of a relative path, then every piece between
// separators except empty pieces and inner ".".
std::vector<Component> components_of(std::string_view path) {
    std::vector<Component> out;
    std::size_t start = 0;
    if (path.starts_with('/')) {
        out.push_back({Component::Kind::Root, 0, 1});
        start = 1;
    } else if (path == "." || path.starts_with("./")) {
        out.push_back({Component::Kind::Current, 0, 1});
        start = 1;
    }
    while (start < path.size()) {
        std::size_t end = path.find('/', start);
        if (end == std::string_view::npos) end = path.size();
        const std::string_view piece = path.substr(start, end - start);
        if (piece == "..") {
            out.push_back({Component::Kind::Parent, start, end});
        } else if (!piece.empty() && piece != ".") {
            out.push_back({Component::Kind::Normal, start, end});
        }
        start = end + 1;
    }
    return out;
}

// The path and each of its ancestors (the parent, the parent's parent, ...) that has a last normal
// component, as text prefixes of the path.
void push_named_ancestors(std::string_view path, std::vector<std::string_view>& out) {
    std::vector<Component> components = components_of(path);
    std::string_view current = path;
    while (!components.empty()) {
        if (components.back().kind == Component::Kind::Normal) out.push_back(current);
        if (components.back().kind == Component::Kind::Root) break;
        components.pop_back();
        current = components.empty() ? std::string_view() : path.substr(0, components.back().end);
    }
}

bool is_leading_mark(char c) noexcept { return c == '"' || c == '\'' || c == '`'; }
bool is_trailing_mark(char c) noexcept {
    return c == '"' || c == '\'' || c == ',' || c == '.' || c == ':' || c == '`';
}
bool is_separator(char c) noexcept { return c == '/' || c == '\\'; }

bool is_absolute_core(std::string_view core) noexcept {
    return is_separator(core.front()) || metadata_types::starts_with_disk_prefix(core);
}

std::string scrub_token(std::string_view token) {
    std::size_t lead = 0;
    while (lead < token.size() && is_leading_mark(token[lead])) ++lead;
    std::size_t tail = token.size();
    while (tail > lead && is_trailing_mark(token[tail - 1])) --tail;
    const std::string_view core = token.substr(lead, tail - lead);
    if (core.empty() || !is_absolute_core(core)) return std::string(token);

    std::string_view last_piece;
    std::size_t end = core.size();
    while (end > 0) {
        std::size_t begin = end;
        while (begin > 0 && !is_separator(core[begin - 1])) --begin;
        if (begin < end) {
            last_piece = core.substr(begin, end - begin);
            break;
        }
        end = begin - 1;
    }
    if (last_piece.empty()) last_piece = core;

    std::string out(token.substr(0, lead));
    out += last_piece;
    out += token.substr(tail);
    return out;
}

}  // namespace

std::string scrub_credential_urls(std::string_view text) {
    if (text.find("://") == std::string_view::npos) return std::string(text);
    std::string out(text);
    RE2::GlobalReplace(&out, credential_url(), R"(\1://)");
    return out;
}

std::string scrub_repo_path(std::string_view text, const std::filesystem::path& path) {
    const std::string needle = text::decode_lossy(path.native());
    if (needle.empty() || text.find(needle) == std::string_view::npos) return std::string(text);
    const std::string name = endpoint::repo_directory_name(path);
    std::string out;
    out.reserve(text.size());
    std::size_t start = 0;
    while (true) {
        const std::size_t found = text.find(needle, start);
        if (found == std::string_view::npos) break;
        out += text.substr(start, found - start);
        out += name;
        start = found + needle.size();
    }
    out += text.substr(start);
    return out;
}

std::string scrub_repo_paths(std::string_view text, std::span<const std::filesystem::path> paths) {
    std::vector<std::string_view> ancestors;
    for (const auto& path : paths) push_named_ancestors(path.native(), ancestors);
    std::vector<std::string> candidates;
    candidates.reserve(ancestors.size());
    for (std::string_view ancestor : ancestors) candidates.push_back(text::decode_lossy(ancestor));
    std::ranges::sort(candidates);
    candidates.erase(std::unique(candidates.begin(), candidates.end()), candidates.end());
    std::ranges::sort(candidates, [](const std::string& a, const std::string& b) {
        if (a.size() != b.size()) return a.size() > b.size();
        return a < b;
    });
    std::string out(text);
    for (const auto& candidate : candidates) out = scrub_repo_path(out, std::filesystem::path(candidate));
    return out;
}

std::string scrub_residual_absolute_paths(std::string_view text) {
    if (text.find_first_of("/\\") == std::string_view::npos) return std::string(text);
    std::string out;
    out.reserve(text.size());
    std::size_t offset = 0;
    while (offset < text.size()) {
        // Copy white space as it is, then scrub the token that follows it.
        const auto first = text::decode_at(text, offset);
        if (first.valid && text::is_white_space(first.value)) {
            out += text.substr(offset, first.length);
            offset += first.length;
            continue;
        }
        std::size_t end = offset;
        while (end < text.size()) {
            const auto next = text::decode_at(text, end);
            if (next.valid && text::is_white_space(next.value)) break;
            end += next.length;
        }
        out += scrub_token(text.substr(offset, end - offset));
        offset = end;
    }
    return out;
}

std::string replace_control_characters(std::string_view text) { return text::replace_control_characters(text); }

std::string diagnostic(std::string_view stdout_text, std::string_view stderr_text,
                       std::span<const std::filesystem::path> repository_paths) {
    const std::string_view source = text::is_blank(stderr_text) ? stdout_text : stderr_text;
    std::string out = scrub_credential_urls(text::trim(source));
    out = scrub_repo_paths(out, repository_paths);
    out = scrub_residual_absolute_paths(out);
    out = replace_control_characters(out);
    return std::string(text::first_chars(out, kMaxDiagnosticChars));
}

std::string sanitize_refused_entry(std::string_view entry) {
    std::string out = scrub_credential_urls(entry);
    if (!out.empty() && is_absolute_core(out)) {
        const std::size_t last = out.find_last_of("/\\");
        if (last != std::string::npos) out.erase(0, last + 1);
    }
    out = replace_control_characters(out);
    return std::string(text::first_chars(out, kMaxRefusedEntryChars));
}

std::string refused_directory_list(std::span<const std::string> entries) {
    std::string out;
    const std::size_t shown = std::min(entries.size(), kMaxRefusedEntries);
    for (std::size_t i = 0; i < shown; ++i) {
        if (i > 0) out += ", ";
        out += sanitize_refused_entry(entries[i]);
    }
    if (entries.size() > kMaxRefusedEntries) {
        out += ", ";
        out += text::kEllipsis;
    }
    return out;
}

}  // namespace ambrel::git::sanitize
