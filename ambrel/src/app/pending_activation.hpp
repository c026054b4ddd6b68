#pragma once

// PendingActivation: an ExpressionSetDefinitionVersion row whose status the version-status filter
// rewrote from Active to Inactive before the package, because the target ran another version of the
// same definition as active. The activation step after the deploy completes it. Plain data.

#include <string>

#include "domain/component_key.hpp"

namespace ambrel::app {

struct PendingActivation {
    // The key of the ExpressionSetDefinitionVersion row.
    domain::ComponentKey key;
    // The version's expression set definition, as its document names it.
    std::string definition;
    // The deployed version (the row's name).
    std::string version;
    // The record Id and ApiName of the version the target ran as active when the filter ran.
    std::string active_id;
    std::string active_name;

    bool operator==(const PendingActivation&) const = default;
};

}  // namespace ambrel::app
