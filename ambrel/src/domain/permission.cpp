#include "domain/permission.hpp"

#include <algorithm>
#include <array>
#include <utility>

#include "support/programming_error.hpp"

namespace ambrel::domain {

namespace {

template <class... Ts>
struct Overloaded : Ts... {
    using Ts::operator()...;
};

// Joins the names whose flag is set with "/", or gives "None" when no flag is set.
template <std::size_t N>
std::string join_set_flags(const std::array<std::pair<bool, std::string_view>, N>& flags) {
    std::string text;
    for (const auto& [set, name] : flags) {
        if (!set) continue;
        if (!text.empty()) text += '/';
        text += name;
    }
    return text.empty() ? std::string("None") : text;
}

}  // namespace

std::string_view wire_id(FlsMode mode) noexcept {
    switch (mode) {
        case FlsMode::None: return "NONE";
        case FlsMode::Additive: return "ADDITIVE";
        case FlsMode::All: return "ALL";
    }
    return "NONE";
}

std::optional<FlsMode> fls_mode_from_wire_id(std::string_view text) noexcept {
    for (FlsMode mode : {FlsMode::None, FlsMode::Additive, FlsMode::All}) {
        if (wire_id(mode) == text) return mode;
    }
    return std::nullopt;
}

std::string PermissionSubject::api_name() const {
    return std::visit(Overloaded{
                          [](const Field& s) { return s.object + "." + s.field; },
                          [](const RecordType& s) { return s.object + "." + s.name; },
                          [](const auto& s) { return s.name; },
                      },
                      value);
}

std::string_view PermissionSubject::wire_kind() const noexcept {
    static constexpr std::array<std::string_view, 6> kKinds = {
        "FIELD", "OBJECT", "APEX_CLASS", "APEX_PAGE", "TAB", "RECORD_TYPE"};
    return kKinds[value.index()];
}

std::string_view label(TabVisibility level) noexcept {
    switch (level) {
        case TabVisibility::NotAvailable: return "Not available";
        case TabVisibility::Available: return "Available";
        case TabVisibility::Visible: return "Visible";
    }
    return "Not available";
}

PermissionGrant PermissionGrant::union_of(const PermissionGrant& a, const PermissionGrant& b) {
    support::require(a.value.index() == b.value.index(),
                     "Permission grants of one subject must share their kind");
    return std::visit(
        [&b](const auto& left) -> PermissionGrant {
            using T = std::decay_t<decltype(left)>;
            const T& right = std::get<T>(b.value);
            if constexpr (std::is_same_v<T, FieldAccess>) {
                FieldAccess merged{left.readable || right.readable, left.editable || right.editable};
                support::require(!merged.editable || merged.readable,
                                 "Editable field access must also be readable");
                return {merged};
            } else if constexpr (std::is_same_v<T, ObjectAccess>) {
                return {ObjectAccess{
                    left.create || right.create,
                    left.read || right.read,
                    left.edit || right.edit,
                    left.remove || right.remove,
                    left.view_all || right.view_all,
                    left.view_all_fields || right.view_all_fields,
                    left.modify_all || right.modify_all,
                }};
            } else if constexpr (std::is_same_v<T, Enabled>) {
                return {Enabled{left.enabled || right.enabled}};
            } else if constexpr (std::is_same_v<T, TabVisibility>) {
                return {TabVisibility{std::max(left.level, right.level)}};
            } else {
                return {Visible{left.visible || right.visible}};
            }
        },
        a.value);
}

PermissionGrant PermissionGrant::desired(FlsMode mode, const PermissionGrant& source,
                                         const PermissionGrant& target) {
    switch (mode) {
        case FlsMode::Additive: return union_of(source, target);
        case FlsMode::All: return source;
        case FlsMode::None: break;
    }
    support::fail_precondition(
        "internal error: entered unreachable code: FLS mode None was rejected before merge");
}

std::string PermissionGrant::describe() const {
    return std::visit(
        Overloaded{
            [](const FieldAccess& g) {
                return join_set_flags<2>({{{g.readable, "Read"}, {g.editable, "Edit"}}});
            },
            [](const ObjectAccess& g) {
                return join_set_flags<7>({{{g.create, "Create"},
                                           {g.read, "Read"},
                                           {g.edit, "Edit"},
                                           {g.remove, "Delete"},
                                           {g.view_all, "View All"},
                                           {g.view_all_fields, "View All Fields"},
                                           {g.modify_all, "Modify All"}}});
            },
            [](const Enabled& g) { return std::string(g.enabled ? "Enabled" : "Disabled"); },
            [](const TabVisibility& g) { return std::string(label(g.level)); },
            [](const Visible& g) { return std::string(g.visible ? "Visible" : "Hidden"); },
        },
        value);
}

}  // namespace ambrel::domain

std::size_t std::hash<ambrel::domain::PermissionSubject>::operator()(
    const ambrel::domain::PermissionSubject& subject) const noexcept {
    using ambrel::domain::PermissionSubject;
    std::size_t seed = subject.value.index();
    const auto mix = [&seed](std::string_view text) {
        seed ^= std::hash<std::string_view>{}(text) + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2);
    };
    std::visit(
        [&mix](const auto& s) {
            using T = std::decay_t<decltype(s)>;
            if constexpr (std::is_same_v<T, PermissionSubject::Field>) {
                mix(s.object);
                mix(s.field);
            } else if constexpr (std::is_same_v<T, PermissionSubject::RecordType>) {
                mix(s.object);
                mix(s.name);
            } else {
                mix(s.name);
            }
        },
        subject.value);
    return seed;
}
