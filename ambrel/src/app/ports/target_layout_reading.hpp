#pragma once

// The port that reads the target's page layout documents for a deploy. Callable from several threads
// at once; failures are WorkflowFailure values.

#include <map>
#include <set>
#include <string>

#include "app/ports/port_result.hpp"
#include "domain/cancellation.hpp"
#include "endpoint/deploy_endpoint.hpp"

namespace ambrel::app::ports {

class TargetLayoutReading {
public:
    virtual ~TargetLayoutReading() = default;

    // The target's Layout documents by name.
    virtual PortResult<std::map<std::string, std::string>> target_layout_reading(
        const endpoint::DeployEndpoint& target, const std::set<std::string>& layout_names,
        const std::string& api_version, const domain::CancellationToken& token) const = 0;
};

}  // namespace ambrel::app::ports
