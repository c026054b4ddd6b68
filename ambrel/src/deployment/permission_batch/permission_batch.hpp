#pragma once

// Name checks and message forms shared by every deploy of permission containers (profiles and
// permission sets): whether a full name may become the file name of a non-namespaced container, the
// "{sentence} {kind}" form of user-facing failures, and the deploy key of a container. Pure functions;
// safe from any thread.

#include <optional>
#include <string>
#include <string_view>

#include "deployment/deploy_gateway/component_key.hpp"
#include "metadata/permission_models/permission_component_key.hpp"

namespace ambrel::deployment::permission_batch {

// The short kind of a name, document or path that fails a check.
inline constexpr std::string_view kIllegalArgument = "IllegalArgumentException";
inline constexpr std::string_view kUnexpectedFailure = "Unexpected failure";
inline constexpr std::string_view kNamespacedFullNamePattern = "^[A-Za-z][A-Za-z0-9_]*__.+$";
inline constexpr std::size_t kMaxMessageChars = 2000;

// None when the name may be used; else "IllegalArgumentException".
std::optional<std::string> validate_full_name(std::string_view full_name);

// The message, one space and the kind ("Unexpected failure" for a blank kind), cut to 2,000
// characters.
std::string append_kind(std::string_view message, std::string_view kind);

// "Profile" or "PermissionSet" with the container's full name.
deploy_gateway::MetadataComponentKey to_metadata_component_key(const metadata::permission_models::PermissionComponentKey& key);

}  // namespace ambrel::deployment::permission_batch
