#pragma once

// The port that lists an org's permission set names. Callable from several threads at once; failures
// are WorkflowFailure values.

#include <set>
#include <string>

#include "app/ports/port_result.hpp"
#include "domain/cancellation.hpp"

namespace ambrel::app::ports {

class PermissionSetNameListing {
public:
    virtual ~PermissionSetNameListing() = default;

    virtual PortResult<std::set<std::string>> permission_set_name_listing(
        const std::string& org, const domain::CancellationToken& token) const = 0;
};

}  // namespace ambrel::app::ports
