// The fixed-failure defaults of the optional port groups: each ignores its arguments (the token is not
// polled) and fails at once.

#include "app/ports/login.hpp"
#include "app/ports/preparation.hpp"
#include "app/ports/procedure_versions.hpp"
#include "app/ports/quick_deploy.hpp"
#include "app/ports/tracking.hpp"

namespace ambrel::app::ports {

namespace {

WorkflowFailure validation(std::string_view message) { return WorkflowFailure::single(FailureKind::Validation, message); }

class UnsupportedTracking final : public TrackingDependencies {
public:
    PortResult<std::map<std::string, std::string>> target_field_reading(const endpoint::DeployEndpoint&,
                                                                        const std::set<std::string>&,
                                                                        const std::string&,
                                                                        const domain::CancellationToken&) const override {
        return std::unexpected(validation(kTrackingUnsupported));
    }
};

class UnsupportedQuickDeploy final : public QuickDeployDependencies {
public:
    PortResult<QuickDeployAnswer> quick_deployment(const std::string&, const std::string&,
                                                   const domain::CancellationToken&) const override {
        return std::unexpected(validation(kQuickDeployUnsupported));
    }
};

class UnsupportedLogin final : public LoginDependencies {
public:
    PortResult<cli::CreatedOrgAlias> alias_login(const std::string&, const std::string&,
                                                 const std::vector<endpoint::OrgAlias>&,
                                                 const domain::CancellationToken&) const override {
        return std::unexpected(validation(kLoginUnsupported));
    }
};

class UnsupportedPreparation final : public PreparationDependencies {
public:
    PortResult<data::preparation::OrgPreparationReport> preparation_inspection(
        const std::string&, const std::string&, const domain::CancellationToken&) const override {
        return std::unexpected(validation(kPreparationUnsupported));
    }
    PortResult<data::preparation::OrgPreparationReport> preparation_application(
        const std::string&, const std::string&, const domain::CancellationToken&) const override {
        return std::unexpected(validation(kPreparationUnsupported));
    }
};

class UnsupportedProcedureVersions final : public ProcedureVersionDependencies {
public:
    PortResult<std::vector<ExpressionSetVersionRecord>> expression_set_version_listing(
        const std::string&, const std::string&, const domain::CancellationToken&) const override {
        return std::unexpected(WorkflowFailure::operation(kProcedureVersionsUnsupported));
    }
    PortResult<void> expression_set_version_activation(const std::string&, const std::string&, const std::string&,
                                                       bool, const domain::CancellationToken&) const override {
        return std::unexpected(WorkflowFailure::operation(kProcedureVersionsUnsupported));
    }
};

}  // namespace

std::shared_ptr<const TrackingDependencies> TrackingDependencies::unsupported() {
    return std::make_shared<UnsupportedTracking>();
}

std::shared_ptr<const QuickDeployDependencies> QuickDeployDependencies::unsupported() {
    return std::make_shared<UnsupportedQuickDeploy>();
}

std::shared_ptr<const LoginDependencies> LoginDependencies::unsupported() { return std::make_shared<UnsupportedLogin>(); }

std::shared_ptr<const PreparationDependencies> PreparationDependencies::unsupported() {
    return std::make_shared<UnsupportedPreparation>();
}

std::shared_ptr<const ProcedureVersionDependencies> ProcedureVersionDependencies::unsupported() {
    return std::make_shared<UnsupportedProcedureVersions>();
}

}  // namespace ambrel::app::ports
