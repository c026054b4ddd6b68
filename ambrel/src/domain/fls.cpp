#include "domain/fls.hpp"

namespace ambrel::domain {

std::vector<PermissionSubject> SelectedPermissions::all_subjects() const {
    std::vector<PermissionSubject> result;
    result.reserve(fields.size() + subjects.size());
    for (const auto& [key, definition] : fields) {
        result.push_back(PermissionSubject{PermissionSubject::Field{key.object_api_name, key.field_api_name}});
    }
    result.insert(result.end(), subjects.begin(), subjects.end());
    return result;
}

std::string_view wire_id(FlsContainerKind kind) noexcept {
    return kind == FlsContainerKind::Profile ? "PROFILE" : "PERMISSION_SET";
}

std::optional<FlsContainerKind> fls_container_kind_from_wire_id(std::string_view text) noexcept {
    if (text == "PERMISSION_SET") return FlsContainerKind::PermissionSet;
    if (text == "PROFILE") return FlsContainerKind::Profile;
    return std::nullopt;
}

std::string_view name(FlsContainerKind kind) noexcept {
    return kind == FlsContainerKind::Profile ? "Profile" : "PermissionSet";
}

std::string_view wire_id(FlsContainerPresence presence) noexcept {
    return presence == FlsContainerPresence::New ? "NEW" : "EXISTING";
}

std::string_view wire_id(FlsResultStatus status) noexcept {
    switch (status) {
        case FlsResultStatus::Updated: return "UPDATED";
        case FlsResultStatus::Skipped: return "SKIPPED";
        case FlsResultStatus::Failed: return "FAILED";
        case FlsResultStatus::NotAttempted: return "NOT_ATTEMPTED";
    }
    return "NOT_ATTEMPTED";
}

}  // namespace ambrel::domain
