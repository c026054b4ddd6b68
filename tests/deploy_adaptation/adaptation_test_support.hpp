#pragma once

// Builders shared by the deploy adaptation tests: rows, sessions over org or git endpoints, a
// service over recording fakes whose sanitizer returns its input, and document wrappers.

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "app/application_service.hpp"
#include "app/comparison_session.hpp"
#include "app/deploy_passes.hpp"
#include "domain/difference.hpp"
#include "endpoint/deploy_endpoint.hpp"
#include "metadata_types/metadata_type.hpp"
#include "support/fake_ports.hpp"

namespace ambrel::adaptation_tests {

using domain::ChangeKind;
using domain::ComponentDeploymentResult;
using domain::ComponentDeploymentStatus;
using domain::ComponentDifference;
using domain::ComponentKey;
using metadata_types::MetadataType;

inline constexpr std::string_view kNs = "http://soap.sforce.com/2006/04/metadata";

inline MetadataType type_of(std::string_view wire_id) { return *metadata_types::metadata_type_by_wire_id(wire_id); }

inline ComponentKey key(std::string_view wire_id, std::string name) { return ComponentKey{type_of(wire_id), std::move(name)}; }

inline ComponentDifference row(std::string_view wire_id, std::string name, std::string document,
                               ChangeKind change = ChangeKind::Update) {
    ComponentDifference difference;
    difference.source.key = key(wire_id, std::move(name));
    difference.source.document = std::move(document);
    difference.change = change;
    difference.deployable = true;
    difference.deploy_scope = domain::MetadataDeployScope::Full;
    return difference;
}

// "<{root} xmlns=...>{body}</{root}>" with the declaration line.
inline std::string document(std::string_view root, std::string_view body) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<" + std::string(root) + " xmlns=\"" + std::string(kNs) + "\">\n" +
           std::string(body) + "</" + std::string(root) + ">\n";
}

inline endpoint::DeployEndpoint org(std::string alias) {
    endpoint::OrgAlias org;
    org.alias = alias;
    org.username = alias + "@example.com";
    return endpoint::DeployEndpoint{endpoint::DeployEndpoint::Org{std::move(org)}};
}

inline endpoint::DeployEndpoint git(std::string repository) {
    endpoint::GitBranchRef ref;
    ref.name = "main";
    return endpoint::DeployEndpoint{endpoint::DeployEndpoint::Git{std::move(repository), std::move(ref)}};
}

struct SessionOptions {
    endpoint::DeployEndpoint source = org("src");
    endpoint::DeployEndpoint target = org("tgt");
    std::vector<ComponentDifference> rows;
    std::shared_ptr<metadata::workspace::MetadataWorkspace> workspace;
    app::TargetOrgClass target_class = app::TargetOrgClass::NonProduction;
    bool allow_production = false;
    bool retry_alone = false;
    std::string api_version = "66.0";
};

inline std::shared_ptr<app::ComparisonSession> session(SessionOptions options = {}) {
    app::ComparisonSession::Parts parts;
    if (const auto* o = options.source.org()) parts.source_username = o->org.username;
    if (const auto* o = options.target.org()) parts.target_username = o->org.username;
    parts.source = std::move(options.source);
    parts.target = std::move(options.target);
    parts.rows = std::move(options.rows);
    parts.workspace = std::move(options.workspace);
    parts.closer = []() -> std::expected<void, app::WorkflowFailure> { return {}; };
    parts.target_org_class = options.target_class;
    parts.allow_best_effort_on_production = options.allow_production;
    parts.retry_unexpected_errors_alone = options.retry_alone;
    parts.api_version = std::move(options.api_version);
    return app::ComparisonSession::from_parts(std::move(parts));
}

// Recording fakes of every port and a service over them; the sanitizer returns its input.
struct Harness {
    testing::RecordingPorts ports;
    app::QuillaryApplicationService service = make();
    // What the retries record for the unexpected-error retries.
    app::RetriedRows retried;

    app::QuillaryApplicationService make() {
        ports.core->script.diagnostic_sanitizer.answer_with([](const std::string& text) { return text; });
        auto built = app::QuillaryApplicationService::with_git_and_layouts(
            ports.core, ports.git, ports.target_layout_reading, ports.permission_set_name_listing, ports.schema,
            ports.bundle);
        return app::QuillaryApplicationService::with_procedure_versions(std::move(built), ports.procedure_versions);
    }
};

inline ComponentDeploymentResult result(ComponentKey k, ComponentDeploymentStatus status, std::string message,
                                        ChangeKind operation = ChangeKind::Update) {
    return ComponentDeploymentResult{std::move(k), std::move(message), operation, status};
}

inline deployment::single_package::SinglePackageSummary package(std::vector<ComponentDeploymentResult> results,
                                                                bool completed = true) {
    deployment::single_package::SinglePackageSummary summary;
    summary.component_results = std::move(results);
    summary.package_completed = completed;
    return summary;
}

}  // namespace ambrel::adaptation_tests
