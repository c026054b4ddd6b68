#include "metadata/manifest/api_versions.hpp"

#include <unistd.h>

#include <charconv>
#include <limits>
#include <vector>

#include <fmt/format.h>
#include <re2/re2.h>

namespace ambrel::metadata::manifest {
namespace {

// An unsigned 32-bit decimal number with at most one leading "+".
std::optional<std::uint32_t> parse_part(std::string_view text) {
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    if (text.empty()) return std::nullopt;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
    }
    std::uint32_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

std::optional<std::string> instance_version(const std::optional<endpoint::OrgAlias>& org) {
    if (!org) return std::nullopt;
    return org->instance_api_version;
}

}  // namespace

const re2::RE2& API_VERSION() {
    static const re2::RE2 pattern(R"(^[0-9]+(?:\.[0-9]+)?$)");
    return pattern;
}

bool is_api_version(std::string_view text) { return re2::RE2::FullMatch(text, API_VERSION()); }

std::optional<std::pair<std::uint32_t, std::uint32_t>> parse_api_version(std::string_view text) {
    const std::size_t point = text.find('.');
    const auto major = parse_part(text.substr(0, point));
    if (!major) return std::nullopt;
    if (point == std::string_view::npos) return std::pair{*major, 0u};
    const auto minor = parse_part(text.substr(point + 1));
    if (!minor) return std::nullopt;
    return std::pair{*major, *minor};
}

std::string api_version_for_orgs(const std::optional<std::string>& source, const std::optional<std::string>& target) {
    std::optional<std::pair<std::uint32_t, std::uint32_t>> lowest;
    for (const std::optional<std::string>* candidate : {&source, &target}) {
        if (!*candidate || !is_api_version(**candidate)) continue;
        const auto parsed = parse_api_version(**candidate);
        if (!parsed) continue;
        if (!lowest || *parsed < *lowest) lowest = parsed;
    }
    if (!lowest) return std::string(kDefaultApiVersion);
    return fmt::format("{}.{}", lowest->first, lowest->second);
}

std::string api_version_for_orgs(const std::optional<endpoint::OrgAlias>& source,
                                 const std::optional<endpoint::OrgAlias>& target) {
    return api_version_for_orgs(instance_version(source), instance_version(target));
}

std::filesystem::path absolute_normalized(const std::filesystem::path& path) {
    std::filesystem::path full = path;
    if (!path.is_absolute()) {
        std::error_code error;
        const std::filesystem::path current = std::filesystem::current_path(error);
        if (!error) full = current / path;
    }
    std::vector<std::filesystem::path> parts;
    bool rooted = false;
    for (const std::filesystem::path& component : full) {
        if (component == "/") {
            rooted = true;
        } else if (component.empty() || component == ".") {
            // Repeated and trailing separators show up as empty components.
        } else if (component == "..") {
            if (!parts.empty()) parts.pop_back();
        } else {
            parts.push_back(component);
        }
    }
    std::filesystem::path result = rooted ? std::filesystem::path("/") : std::filesystem::path();
    for (const std::filesystem::path& part : parts) result /= part;
    return result;
}

}  // namespace ambrel::metadata::manifest
