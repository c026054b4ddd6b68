#pragma once

// The optional ports that inspect and apply the preparation of two orgs for keyed record transfer.
// The default (`unsupported`) ignores its arguments and fails both at once with kind Validation and
// "Preparing the orgs is not available in this configuration.". Callable from several threads at once.

#include <memory>
#include <string>
#include <string_view>

#include "app/ports/port_result.hpp"
#include "data/preparation/org_preparation_report.hpp"
#include "domain/cancellation.hpp"

namespace ambrel::app::ports {

inline constexpr std::string_view kPreparationUnsupported = "Preparing the orgs is not available in this configuration.";

class PreparationDependencies {
public:
    virtual ~PreparationDependencies() = default;

    virtual PortResult<data::preparation::OrgPreparationReport> preparation_inspection(
        const std::string& source_org, const std::string& target_org, const domain::CancellationToken& token) const = 0;
    virtual PortResult<data::preparation::OrgPreparationReport> preparation_application(
        const std::string& source_org, const std::string& target_org, const domain::CancellationToken& token) const = 0;

    static std::shared_ptr<const PreparationDependencies> unsupported();
};

}  // namespace ambrel::app::ports
