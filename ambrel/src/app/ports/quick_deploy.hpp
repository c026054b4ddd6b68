#pragma once

// The optional port that quick-deploys a validated job. The default (`unsupported`) ignores its
// arguments and fails at once with kind Validation and "Quick Deploy is not available in this
// configuration.". Callable from several threads at once.

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "app/ports/port_result.hpp"
#include "domain/cancellation.hpp"

namespace ambrel::app::ports {

inline constexpr std::string_view kQuickDeployUnsupported = "Quick Deploy is not available in this configuration.";

// One component row of a quick deploy's answer.
struct QuickDeployComponent {
    // The Metadata API type name.
    std::string type;
    std::string full_name;
    std::string message;
    bool success = false;
    bool created = false;
    bool operator==(const QuickDeployComponent&) const = default;
};

// The components of a quick deploy and whether it succeeded as a whole.
struct QuickDeployAnswer {
    std::vector<QuickDeployComponent> components;
    bool succeeded = false;
    bool operator==(const QuickDeployAnswer&) const = default;
};

class QuickDeployDependencies {
public:
    virtual ~QuickDeployDependencies() = default;

    virtual PortResult<QuickDeployAnswer> quick_deployment(const std::string& job_id, const std::string& target_org,
                                                           const domain::CancellationToken& token) const = 0;

    static std::shared_ptr<const QuickDeployDependencies> unsupported();
};

}  // namespace ambrel::app::ports
