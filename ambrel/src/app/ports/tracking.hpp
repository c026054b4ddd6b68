#pragma once

// The optional port that reads the target's custom field documents for history tracking. The default
// (`unsupported`) ignores its arguments and fails at once with kind Validation and "Field history
// tracking is not available in this configuration.". Callable from several threads at once.

#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>

#include "app/ports/port_result.hpp"
#include "domain/cancellation.hpp"
#include "endpoint/deploy_endpoint.hpp"

namespace ambrel::app::ports {

inline constexpr std::string_view kTrackingUnsupported = "Field history tracking is not available in this configuration.";

class TrackingDependencies {
public:
    virtual ~TrackingDependencies() = default;

    // The target's CustomField documents by name.
    virtual PortResult<std::map<std::string, std::string>> target_field_reading(
        const endpoint::DeployEndpoint& target, const std::set<std::string>& field_names,
        const std::string& api_version, const domain::CancellationToken& token) const = 0;

    static std::shared_ptr<const TrackingDependencies> unsupported();
};

}  // namespace ambrel::app::ports
