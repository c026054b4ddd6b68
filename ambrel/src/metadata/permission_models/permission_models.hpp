#pragma once

// What the readers, the merger, the synchroniser and the deployers of Profile and PermissionSet
// documents share: the six permission sections the system understands (their element names per
// document kind and the child that names a block's subject), the fixed order of the top-level
// elements of each document kind, the words of tab visibility, and the plain values that pass between
// those units (parsed permissions, a document as read, a document ready to deploy, and why a selected
// permission was left unchanged).
//
// Nothing here fails or touches files; the tables are static and read-only, so every function is
// safe from any thread.

#include <array>
#include <cstddef>
#include <filesystem>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>

#include "domain/fls.hpp"
#include "domain/permission.hpp"
#include "metadata/permission_models/permission_component_key.hpp"

namespace ambrel::metadata::permission_models {

// One permission section of a document.
struct PermissionSectionSchema {
    std::string_view permission_set_element;
    std::string_view profile_element;
    std::string_view key_child;
    std::size_t section = 0;

    // The element name of the section in a document of that kind.
    std::string_view element_for(domain::FlsContainerKind kind) const noexcept {
        return kind == domain::FlsContainerKind::Profile ? profile_element : permission_set_element;
    }
    friend bool operator==(const PermissionSectionSchema&, const PermissionSectionSchema&) = default;
};

inline constexpr std::size_t kFieldSection = 0;
inline constexpr std::size_t kObjectSection = 1;
inline constexpr std::size_t kClassSection = 2;
inline constexpr std::size_t kPageSection = 3;
inline constexpr std::size_t kTabSection = 4;
inline constexpr std::size_t kRecordTypeSection = 5;

// The six rows, in section order.
std::span<const PermissionSectionSchema> permission_sections() noexcept;

// The row whose PermissionSet or Profile element name equals the name exactly; "tabSettings" and
// "tabVisibilities" both give the tab row whatever the document's kind.
const PermissionSectionSchema* schema_for_element(std::string_view element_name) noexcept;

// The row of a subject's kind (Field 0, Object 1, ApexClass 2, ApexPage 3, Tab 4, RecordType 5).
const PermissionSectionSchema& schema_for_subject(const domain::PermissionSubject& subject) noexcept;

// The fixed order of the top-level elements of a document kind (23 for profiles, 17 for permission
// sets).
std::span<const std::string_view> section_order(domain::FlsContainerKind kind) noexcept;

// The word of a tab visibility level in a document of that kind ("Hidden"/"DefaultOff"/"DefaultOn"
// for profiles, "None"/"Available"/"Visible" for permission sets).
std::string_view tab_visibility_word(domain::FlsContainerKind kind, domain::TabVisibility level) noexcept;
// The level a word stands for in that kind's vocabulary (exact, case-sensitive), or none.
std::optional<domain::TabVisibility> tab_visibility_from_word(domain::FlsContainerKind kind,
                                                              std::string_view word) noexcept;

// The grant that gives nothing, of the kind that fits the subject.
domain::PermissionGrant no_access_grant(const domain::PermissionSubject& subject);
// True when the grant gives nothing (every flag off, tab level 0).
bool grants_nothing(const domain::PermissionGrant& grant) noexcept;

// Why a selected permission was left unchanged in a target container.
struct NotTransferred {
    // A value outside the vocabulary, carrying the text found.
    struct UnrecognizedValue {
        std::string value;
        friend bool operator==(const UnrecognizedValue&, const UnrecognizedValue&) = default;
    };
    // The record type is the (person account) default in the target container.
    struct DefaultRecordType {
        friend bool operator==(const DefaultRecordType&, const DefaultRecordType&) = default;
    };
    std::variant<UnrecognizedValue, DefaultRecordType> value;

    friend bool operator==(const NotTransferred&, const NotTransferred&) = default;
};

// What the strict reader extracts from one document; a subject is in at most one of the maps.
struct ParsedPermissions {
    std::map<domain::PermissionSubject, domain::PermissionGrant> grants;
    std::map<domain::PermissionSubject, NotTransferred> not_transferred;

    friend bool operator==(const ParsedPermissions&, const ParsedPermissions&) = default;
};

// One document as read.
struct PermissionMetadataComponent {
    PermissionComponentKey key;
    // Empty when built from text held in memory.
    std::filesystem::path path;
    std::string xml;
    ParsedPermissions permissions;

    friend bool operator==(const PermissionMetadataComponent&, const PermissionMetadataComponent&) = default;
};

// A document ready to deploy, with the grants it is meant to carry for the selected subjects.
struct PreparedPermissionComponent {
    PermissionComponentKey key;
    std::string xml;
    std::map<domain::PermissionSubject, domain::PermissionGrant> grants;

    friend bool operator==(const PreparedPermissionComponent&, const PreparedPermissionComponent&) = default;
};

}  // namespace ambrel::metadata::permission_models
