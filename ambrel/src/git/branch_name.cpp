#include "git/branch_name.hpp"

namespace ambrel::git::branch_name {
namespace {

constexpr std::string_view kForbidden = " ~^:?*[\\";
constexpr std::string_view kLockSuffix = ".lock";

bool is_valid_component(std::string_view component) noexcept {
    if (component.empty() || component.front() == '.') return false;
    return !component.ends_with(kLockSuffix);
}

}  // namespace

bool is_branch_name(std::string_view name) noexcept {
    if (name.empty() || name.front() == '-' || name == "HEAD" || name == "@") return false;
    if (name.back() == '.' || name.find("..") != std::string_view::npos || name.find("@{") != std::string_view::npos) {
        return false;
    }
    for (const char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F || kForbidden.find(c) != std::string_view::npos) return false;
    }
    std::string_view rest = name;
    for (;;) {
        const std::size_t slash = rest.find('/');
        if (!is_valid_component(rest.substr(0, slash))) return false;
        if (slash == std::string_view::npos) return true;
        rest.remove_prefix(slash + 1);
    }
}

}  // namespace ambrel::git::branch_name
