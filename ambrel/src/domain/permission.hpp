#pragma once

// What a profile or permission set grants: the subject of a grant, the grant itself and the modes
// that decide which grant a synchronisation writes.

#include <compare>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace ambrel::domain {

// How permissions travel with a deploy, in this order.
enum class FlsMode : std::uint8_t {
    None,      // "NONE": no permission synchronisation
    Additive,  // "ADDITIVE": the union of source and target grants
    All,       // "ALL": the source grants as they are
};

std::string_view wire_id(FlsMode mode) noexcept;
std::optional<FlsMode> fls_mode_from_wire_id(std::string_view text) noexcept;

// What a grant is about. Ordered by variant (in declaration order), then by its texts byte-wise,
// field by field.
struct PermissionSubject {
    struct Field {
        std::string object;
        std::string field;
        auto operator<=>(const Field&) const = default;
    };
    struct Object {
        std::string name;
        auto operator<=>(const Object&) const = default;
    };
    struct ApexClass {
        std::string name;
        auto operator<=>(const ApexClass&) const = default;
    };
    struct ApexPage {
        std::string name;
        auto operator<=>(const ApexPage&) const = default;
    };
    struct Tab {
        std::string name;
        auto operator<=>(const Tab&) const = default;
    };
    struct RecordType {
        std::string object;
        std::string name;
        auto operator<=>(const RecordType&) const = default;
    };
    using Variant = std::variant<Field, Object, ApexClass, ApexPage, Tab, RecordType>;

    Variant value;

    // "{object}.{field}" for Field, "{object}.{name}" for RecordType, the name otherwise.
    std::string api_name() const;
    // "FIELD", "OBJECT", "APEX_CLASS", "APEX_PAGE", "TAB" or "RECORD_TYPE".
    std::string_view wire_kind() const noexcept;

    auto operator<=>(const PermissionSubject&) const = default;
};

// Levels of tab visibility, ordered NotAvailable < Available < Visible.
enum class TabVisibility : std::uint8_t { NotAvailable, Available, Visible };

// "Not available", "Available" or "Visible".
std::string_view label(TabVisibility level) noexcept;

// The access that one container grants to one subject; the variant is the grant's kind.
struct PermissionGrant {
    // For Field subjects; editable implies readable.
    struct FieldAccess {
        bool readable = false;
        bool editable = false;
        bool operator==(const FieldAccess&) const = default;
    };
    // For Object subjects.
    struct ObjectAccess {
        bool create = false;
        bool read = false;
        bool edit = false;
        bool remove = false;  // "delete"
        bool view_all = false;
        bool view_all_fields = false;
        bool modify_all = false;
        bool operator==(const ObjectAccess&) const = default;
    };
    // For ApexClass and ApexPage subjects.
    struct Enabled {
        bool enabled = false;
        bool operator==(const Enabled&) const = default;
    };
    // For Tab subjects.
    struct TabVisibility {
        domain::TabVisibility level = domain::TabVisibility::NotAvailable;
        bool operator==(const TabVisibility&) const = default;
    };
    // For RecordType subjects.
    struct Visible {
        bool visible = false;
        bool operator==(const Visible&) const = default;
    };
    using Variant = std::variant<FieldAccess, ObjectAccess, Enabled, TabVisibility, Visible>;

    Variant value;

    // The union of two grants of one subject: flags or-ed, the higher tab visibility. Grants of
    // different kinds, or field grants whose union is editable but not readable, are programming
    // errors. (Named union_of because `union` is a reserved word.)
    static PermissionGrant union_of(const PermissionGrant& a, const PermissionGrant& b);

    // The grant to write: the union of source and target for Additive, the source grant for All.
    // Callers reject FlsMode::None before they get here; passing it is a programming error.
    static PermissionGrant desired(FlsMode mode, const PermissionGrant& source,
                                   const PermissionGrant& target);

    // The text shown for a grant, for example "Read/Edit", "None", "Enabled", "Visible".
    std::string describe() const;

    bool operator==(const PermissionGrant&) const = default;
};

}  // namespace ambrel::domain

template <>
struct std::hash<ambrel::domain::PermissionSubject> {
    std::size_t operator()(const ambrel::domain::PermissionSubject& subject) const noexcept;
};
