#include "metadata/permission_models/permission_component_key.hpp"

#include "support/programming_error.hpp"
#include "text/text.hpp"

namespace ambrel::metadata::permission_models {

PermissionComponentKey PermissionComponentKey::create(domain::FlsContainerKind kind, std::string full_name) {
    support::require(!text::is_blank(full_name), kBlankFullNameMessage);
    return PermissionComponentKey(kind, std::move(full_name));
}

}  // namespace ambrel::metadata::permission_models
