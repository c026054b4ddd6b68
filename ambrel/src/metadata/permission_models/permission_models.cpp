#include "metadata/permission_models/permission_models.hpp"

#include <utility>

namespace ambrel::metadata::permission_models {
namespace {

using domain::FlsContainerKind;
using domain::PermissionGrant;
using domain::PermissionSubject;
using domain::TabVisibility;

constexpr std::array<PermissionSectionSchema, 6> kSections{{
    {"fieldPermissions", "fieldPermissions", "field", kFieldSection},
    {"objectPermissions", "objectPermissions", "object", kObjectSection},
    {"classAccesses", "classAccesses", "apexClass", kClassSection},
    {"pageAccesses", "pageAccesses", "apexPage", kPageSection},
    {"tabSettings", "tabVisibilities", "tab", kTabSection},
    {"recordTypeVisibilities", "recordTypeVisibilities", "recordType", kRecordTypeSection},
}};

constexpr std::array<std::string_view, 23> kProfileOrder{
    "applicationVisibilities", "categoryGroupVisibilities", "classAccesses", "custom",
    "customMetadataTypeAccesses", "customPermissions", "customSettingAccesses", "description",
    "externalDataSourceAccesses", "fieldLevelSecurities", "fieldPermissions", "flowAccesses",
    "layoutAssignments", "loginFlows", "loginHours", "loginIpRanges", "objectPermissions", "pageAccesses",
    "profileActionOverrides", "recordTypeVisibilities", "tabVisibilities", "userLicense", "userPermissions",
};

constexpr std::array<std::string_view, 17> kPermissionSetOrder{
    "applicationVisibilities", "classAccesses", "customMetadataTypeAccesses", "customPermissions",
    "customSettingAccesses", "description", "externalDataSourceAccesses", "fieldPermissions", "flowAccesses",
    "hasActivationRequired", "label", "license", "objectPermissions", "pageAccesses", "recordTypeVisibilities",
    "tabSettings", "userPermissions",
};

constexpr std::array<std::string_view, 3> kProfileTabWords{"Hidden", "DefaultOff", "DefaultOn"};
constexpr std::array<std::string_view, 3> kPermissionSetTabWords{"None", "Available", "Visible"};

const std::array<std::string_view, 3>& tab_words(FlsContainerKind kind) noexcept {
    return kind == FlsContainerKind::Profile ? kProfileTabWords : kPermissionSetTabWords;
}

}  // namespace

std::span<const PermissionSectionSchema> permission_sections() noexcept { return kSections; }

const PermissionSectionSchema* schema_for_element(std::string_view element_name) noexcept {
    for (const auto& row : kSections) {
        if (row.permission_set_element == element_name || row.profile_element == element_name) return &row;
    }
    return nullptr;
}

const PermissionSectionSchema& schema_for_subject(const PermissionSubject& subject) noexcept {
    // The variant's order is the section order.
    return kSections[subject.value.index()];
}

std::span<const std::string_view> section_order(FlsContainerKind kind) noexcept {
    if (kind == FlsContainerKind::Profile) return kProfileOrder;
    return kPermissionSetOrder;
}

std::string_view tab_visibility_word(FlsContainerKind kind, TabVisibility level) noexcept {
    return tab_words(kind)[static_cast<std::size_t>(level)];
}

std::optional<TabVisibility> tab_visibility_from_word(FlsContainerKind kind, std::string_view word) noexcept {
    const auto& words = tab_words(kind);
    for (std::size_t level = 0; level < words.size(); ++level) {
        if (words[level] == word) return static_cast<TabVisibility>(level);
    }
    return std::nullopt;
}

PermissionGrant no_access_grant(const PermissionSubject& subject) {
    return std::visit(
        [](const auto& value) -> PermissionGrant {
            using T = std::decay_t<decltype(value)>;
            if constexpr (std::is_same_v<T, PermissionSubject::Field>) {
                return {PermissionGrant::FieldAccess{}};
            } else if constexpr (std::is_same_v<T, PermissionSubject::Object>) {
                return {PermissionGrant::ObjectAccess{}};
            } else if constexpr (std::is_same_v<T, PermissionSubject::Tab>) {
                return {PermissionGrant::TabVisibility{}};
            } else if constexpr (std::is_same_v<T, PermissionSubject::RecordType>) {
                return {PermissionGrant::Visible{}};
            } else {
                return {PermissionGrant::Enabled{}};
            }
        },
        subject.value);
}

bool grants_nothing(const PermissionGrant& grant) noexcept {
    return std::visit(
        [](const auto& value) {
            using T = std::decay_t<decltype(value)>;
            return value == T{};
        },
        grant.value);
}

}  // namespace ambrel::metadata::permission_models
