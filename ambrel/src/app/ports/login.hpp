#pragma once

// The optional port that signs in through the browser and creates an org alias. The default
// (`unsupported`) ignores its arguments and fails at once with kind Validation and "Creating an org
// alias is not available in this configuration.". Callable from several threads at once.

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "app/ports/port_result.hpp"
#include "cli/login.hpp"
#include "domain/cancellation.hpp"
#include "endpoint/org_alias.hpp"

namespace ambrel::app::ports {

inline constexpr std::string_view kLoginUnsupported = "Creating an org alias is not available in this configuration.";

class LoginDependencies {
public:
    virtual ~LoginDependencies() = default;

    virtual PortResult<cli::CreatedOrgAlias> alias_login(const std::string& alias, const std::string& instance_url,
                                                         const std::vector<endpoint::OrgAlias>& known_aliases,
                                                         const domain::CancellationToken& token) const = 0;

    static std::shared_ptr<const LoginDependencies> unsupported();
};

}  // namespace ambrel::app::ports
