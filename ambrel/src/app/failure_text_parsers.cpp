#include "app/failure_text_parsers.hpp"

#include <algorithm>
#include <cstddef>
#include <optional>
#include <vector>

#include "text/text.hpp"

namespace ambrel::app {
namespace {

// Every start offset of a marker in the text, overlapping occurrences included, ascending.
class Occurrences {
public:
    Occurrences(std::string_view text, std::string_view marker) {
        for (std::size_t at = text.find(marker); at != std::string_view::npos; at = text.find(marker, at + 1)) {
            starts_.push_back(at);
        }
    }
    const std::vector<std::size_t>& starts() const noexcept { return starts_; }
    // The first occurrence that starts at or after `from`.
    std::optional<std::size_t> next(std::size_t from) const {
        const auto it = std::lower_bound(starts_.begin(), starts_.end(), from);
        if (it == starts_.end()) return std::nullopt;
        return *it;
    }

private:
    std::vector<std::size_t> starts_;
};

bool is_name_byte(char c) noexcept {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
}

std::set<std::string> between(std::string_view text, std::string_view opening, std::string_view closing) {
    std::set<std::string> found;
    const Occurrences openings(text, opening);
    const Occurrences closings(text, closing);
    for (const std::size_t open : openings.starts()) {
        const std::size_t after = open + opening.size();
        const auto close = closings.next(after);
        if (!close) break;  // later openings have no closing either
        const std::string_view value = text::trim(text.substr(after, *close - after));
        if (!value.empty()) found.emplace(value);
    }
    return found;
}

}  // namespace

std::set<std::string> unknown_user_permissions_in(std::string_view text) {
    std::set<std::string> names;
    const Occurrences markers(text, kUnknownUserPermissionMarker);
    for (const std::size_t at : markers.starts()) {
        const std::size_t begin = at + kUnknownUserPermissionMarker.size();
        std::size_t end = begin;
        while (end < text.size() && is_name_byte(text[end])) ++end;
        if (end > begin) names.emplace(text.substr(begin, end - begin));
    }
    return names;
}

std::set<std::string> dependent_permissions_in(std::string_view text) {
    return between(text, kPermissionMarker, kDependsMarker);
}

std::set<std::string> standard_profile_labels_in(std::string_view text) {
    return between(text, kStandardProfileMarker, kStandardProfileClosing);
}

std::map<metadata::profile_reference_filter::ReferenceKind, std::set<std::string>> named_missing_references_in(
    std::string_view text) {
    std::map<metadata::profile_reference_filter::ReferenceKind, std::set<std::string>> found;
    const Occurrences openings(text, kInFieldMarker);
    const Occurrences nos(text, kNoMarker);
    const Occurrences nameds(text, kNamedMarker);
    const Occurrences founds(text, kFoundMarker);
    for (const std::size_t open : openings.starts()) {
        const std::size_t tag_begin = open + kInFieldMarker.size();
        const auto no = nos.next(tag_begin);
        if (!no) break;
        const auto named = nameds.next(*no + kNoMarker.size());
        if (!named) break;
        const std::size_t name_begin = *named + kNamedMarker.size();
        const auto found_at = founds.next(name_begin);
        if (!found_at) break;
        const std::string_view name = text::trim(text.substr(name_begin, *found_at - name_begin));
        if (name.empty()) continue;
        const auto kind =
            metadata::profile_reference_filter::reference_kind_for_problem_tag(text.substr(tag_begin, *no - tag_begin));
        if (kind) found[*kind].emplace(name);
    }
    return found;
}

}  // namespace ambrel::app
