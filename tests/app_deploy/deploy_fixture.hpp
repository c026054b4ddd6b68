#pragma once

// What the deploy tests share: a service over recording fakes of every port group and of the
// adaptation group, sessions built from rows, and package answers that succeed row by row.

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "app/application_service.hpp"
#include "app/comparison_session.hpp"
#include "domain/cancellation.hpp"
#include "support/doubles.hpp"
#include "support/fake_deploy_adaptation.hpp"
#include "support/fake_ports.hpp"

namespace ambrel::deploy_tests {

using app::ComparisonSession;
using app::FailureKind;
using app::QuillaryApplicationService;
using app::WorkflowFailure;
using domain::ChangeKind;
using domain::ComponentDeploymentResult;
using domain::ComponentDeploymentStatus;
using domain::ComponentDifference;
using domain::ComponentKey;
using domain::DeployMode;
using domain::FlsMode;
using domain::MetadataDeployScope;
using metadata_types::MetadataType;

inline MetadataType wire(std::string_view id) {
    auto type = metadata_types::metadata_type_by_wire_id(id);
    EXPECT_TRUE(type.has_value()) << id;
    return type.value_or(MetadataType::CustomObject);
}

inline ComponentDifference row(MetadataType type, std::string name, ChangeKind change = ChangeKind::Update,
                               MetadataDeployScope scope = MetadataDeployScope::Full, std::string document = "<doc/>") {
    ComponentDifference difference;
    difference.source.key = ComponentKey{type, std::move(name)};
    difference.source.document = std::move(document);
    difference.change = change;
    difference.deployable = true;
    difference.deploy_scope = scope;
    return difference;
}

inline endpoint::DeployEndpoint org(std::string alias, std::string username, std::string org_id) {
    endpoint::OrgAlias value;
    value.alias = std::move(alias);
    value.username = std::move(username);
    value.org_id = std::move(org_id);
    return endpoint::DeployEndpoint{endpoint::DeployEndpoint::Org{std::move(value)}};
}

inline endpoint::DeployEndpoint repository(std::string path, std::string branch) {
    endpoint::GitBranchRef ref;
    ref.name = std::move(branch);
    return endpoint::DeployEndpoint{endpoint::DeployEndpoint::Git{std::move(path), std::move(ref)}};
}

inline endpoint::OrgAlias listed(std::string alias, std::string username, std::string org_id) {
    endpoint::OrgAlias value;
    value.alias = std::move(alias);
    value.username = std::move(username);
    value.org_id = std::move(org_id);
    return value;
}

struct SessionSpec {
    std::vector<ComponentDifference> rows{};
    endpoint::DeployEndpoint source = org("src", "src@example.com", "00Dsrc");
    endpoint::DeployEndpoint target = org("tgt", "tgt@example.com", "00Dtgt");
    app::TargetOrgClass target_class = app::TargetOrgClass::NonProduction;
    bool allow_best_effort_on_production = false;
    app::SessionCloser closer{};
    std::shared_ptr<metadata::workspace::MetadataWorkspace> workspace{};
};

inline std::shared_ptr<ComparisonSession> session_of(SessionSpec spec) {
    ComparisonSession::Parts parts;
    auto identity = [](const endpoint::DeployEndpoint& side, bool username) {
        const auto* value = side.org();
        if (value == nullptr) return std::string();
        return username ? value->org.username : value->org.org_id;
    };
    parts.source_username = identity(spec.source, true);
    parts.source_org_id = identity(spec.source, false);
    parts.target_username = identity(spec.target, true);
    parts.target_org_id = identity(spec.target, false);
    parts.source = std::move(spec.source);
    parts.target = std::move(spec.target);
    parts.rows = std::move(spec.rows);
    parts.closer = std::move(spec.closer);
    parts.workspace = std::move(spec.workspace);
    parts.target_org_class = spec.target_class;
    parts.allow_best_effort_on_production = spec.allow_best_effort_on_production;
    parts.api_version = "65.0";
    return ComparisonSession::from_parts(std::move(parts));
}

inline deployment::single_package::SinglePackageSummary succeeded_package(const std::vector<ComponentDifference>& rows) {
    deployment::single_package::SinglePackageSummary summary;
    for (const auto& row : rows)
        summary.component_results.push_back(
            ComponentDeploymentResult{row.key(), "deployed", row.change, ComponentDeploymentStatus::Succeeded});
    summary.package_completed = true;
    summary.deployed_count = rows.size();
    return summary;
}

class DeployFixture {
public:
    DeployFixture() : service_(build(ports, adaptation)) {
        ports.core->script.diagnostic_sanitizer.answer_with([](const std::string& text) { return text; });
        ports.core->script.org_alias_listing.answer_with([](const domain::CancellationToken&) {
            return app::ports::PortResult<std::vector<endpoint::OrgAlias>>(
                std::vector<endpoint::OrgAlias>{listed("src", "src@example.com", "00Dsrc"),
                                                listed("tgt", "tgt@example.com", "00Dtgt")});
        });
        ports.core->script.single_package_deployment.answer_with(
            [](const std::vector<ComponentDifference>& rows, const domain::SelectedPermissions&, FlsMode,
               const app::ports::ContainerSelection&, DeployMode, const std::optional<domain::ApexTestConfig>&,
               const endpoint::DeployEndpoint&, const std::string&, const std::string&, const domain::CancellationToken&) {
                return app::ports::PortResult<deployment::single_package::SinglePackageSummary>(succeeded_package(rows));
            });
    }

    const QuillaryApplicationService& service() const { return service_; }

    testing::RecordingPorts ports;
    std::shared_ptr<testing::RecordingDeployAdaptation> adaptation = std::make_shared<testing::RecordingDeployAdaptation>();
    domain::NeverCancelled never;

private:
    static QuillaryApplicationService build(const testing::RecordingPorts& ports,
                                            const std::shared_ptr<testing::RecordingDeployAdaptation>& adaptation) {
        auto service = QuillaryApplicationService::with_git_and_layouts(ports.core, ports.git, ports.target_layout_reading,
                                                                        ports.permission_set_name_listing, ports.schema,
                                                                        ports.bundle);
        service = QuillaryApplicationService::with_tracking(std::move(service), ports.tracking);
        service = QuillaryApplicationService::with_procedure_versions(std::move(service), ports.procedure_versions);
        return QuillaryApplicationService::with_deploy_adaptation(std::move(service), adaptation);
    }

    QuillaryApplicationService service_;
};

}  // namespace ambrel::deploy_tests
