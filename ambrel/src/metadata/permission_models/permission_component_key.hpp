#pragma once

// The identity of one Profile or PermissionSet document: its kind and its full name (the container's
// API name in the org). Keys order by kind first (permission sets before profiles), then by full name
// byte by byte, without case folding; they are small values, copied freely, and serve as keys of
// sorted and hash maps.
//
// A key is made only by `create`; a blank name (empty or only white space) is a violated precondition
// of the caller: `create` throws support::ProgrammingError "Permission metadata full name must not be
// blank". The name is kept untrimmed. Immutable, so safe to share between threads.

#include <compare>
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

#include "domain/fls.hpp"

namespace ambrel::metadata::permission_models {

inline constexpr std::string_view kBlankFullNameMessage = "Permission metadata full name must not be blank";

class PermissionComponentKey {
public:
    static PermissionComponentKey create(domain::FlsContainerKind kind, std::string full_name);

    domain::FlsContainerKind kind() const noexcept { return kind_; }
    const std::string& full_name() const noexcept { return full_name_; }

    friend bool operator==(const PermissionComponentKey&, const PermissionComponentKey&) = default;
    friend std::strong_ordering operator<=>(const PermissionComponentKey& a, const PermissionComponentKey& b) {
        if (const auto by_kind = a.kind_ <=> b.kind_; by_kind != 0) return by_kind;
        return a.full_name_.compare(b.full_name_) <=> 0;
    }

private:
    PermissionComponentKey(domain::FlsContainerKind kind, std::string full_name)
        : kind_(kind), full_name_(std::move(full_name)) {}

    domain::FlsContainerKind kind_;
    std::string full_name_;
};

}  // namespace ambrel::metadata::permission_models

template <>
struct std::hash<ambrel::metadata::permission_models::PermissionComponentKey> {
    std::size_t operator()(const ambrel::metadata::permission_models::PermissionComponentKey& key) const noexcept {
        const std::size_t name = std::hash<std::string>{}(key.full_name());
        return name ^ (static_cast<std::size_t>(key.kind()) + 0x9e3779b97f4a7c15ULL + (name << 6) + (name >> 2));
    }
};
