#pragma once

// The optional ports that list and activate expression set versions after a deploy. The default
// (`unsupported`) ignores its arguments and fails both at once with kind Operation and "Revenue Cloud
// records are not available in this configuration.". Callable from several threads at once.

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "app/ports/port_result.hpp"
#include "domain/cancellation.hpp"

namespace ambrel::app::ports {

inline constexpr std::string_view kProcedureVersionsUnsupported =
    "Revenue Cloud records are not available in this configuration.";

// One ExpressionSetVersion record of an org.
struct ExpressionSetVersionRecord {
    std::string id;
    std::string api_name;
    bool active = false;
    bool operator==(const ExpressionSetVersionRecord&) const = default;
};

class ProcedureVersionDependencies {
public:
    virtual ~ProcedureVersionDependencies() = default;

    virtual PortResult<std::vector<ExpressionSetVersionRecord>> expression_set_version_listing(
        const std::string& org, const std::string& definition_name, const domain::CancellationToken& token) const = 0;
    virtual PortResult<void> expression_set_version_activation(const std::string& org, const std::string& api_version,
                                                               const std::string& version_id, bool active,
                                                               const domain::CancellationToken& token) const = 0;

    static std::shared_ptr<const ProcedureVersionDependencies> unsupported();
};

}  // namespace ambrel::app::ports
