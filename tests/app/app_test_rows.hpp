#pragma once

// Row and workspace builders shared by the tests of the application frame.

#include <memory>
#include <optional>
#include <string>
#include <utility>

#include <gtest/gtest.h>

#include "domain/difference.hpp"
#include "endpoint/deploy_endpoint.hpp"
#include "metadata/workspace/workspace.hpp"
#include "metadata_types/metadata_type.hpp"
#include "support/test_paths.hpp"

namespace ambrel::app_tests {

using domain::ChangeKind;
using domain::ComponentDifference;
using domain::ComponentKey;
using domain::MetadataDeployScope;
using metadata_types::MetadataType;

inline ComponentDifference row(MetadataType type, std::string name, ChangeKind change = ChangeKind::Add,
                               bool deployable = true, std::string document = "<doc/>") {
    ComponentDifference difference;
    difference.source.key = ComponentKey{type, std::move(name)};
    difference.source.document = std::move(document);
    difference.change = change;
    difference.deployable = deployable;
    difference.deploy_scope = MetadataDeployScope::Full;
    return difference;
}

inline ComponentKey key(MetadataType type, std::string name) { return ComponentKey{type, std::move(name)}; }

inline endpoint::DeployEndpoint org_endpoint(std::string alias, std::string username = "", std::string org_id = "") {
    endpoint::OrgAlias org;
    org.alias = std::move(alias);
    org.username = std::move(username);
    org.org_id = std::move(org_id);
    return endpoint::DeployEndpoint{endpoint::DeployEndpoint::Org{std::move(org)}};
}

inline endpoint::DeployEndpoint git_endpoint(std::string repository, std::string branch) {
    endpoint::GitBranchRef ref;
    ref.name = std::move(branch);
    return endpoint::DeployEndpoint{endpoint::DeployEndpoint::Git{std::move(repository), std::move(ref)}};
}

// A real workspace below a private temporary anchor, in its "quillary" parent.
class WorkspaceFixture {
public:
    WorkspaceFixture() {
        auto location = metadata::workspace::WorkspaceTrustAnchor::at(anchor_.path()).workspace_at(anchor_.path() / "quillary");
        EXPECT_TRUE(location.has_value());
        auto created = metadata::workspace::MetadataWorkspace::create(*location, "65.0");
        EXPECT_TRUE(created.has_value()) << (created ? "" : created.error().message());
        if (created) workspace_ = std::move(*created);
    }
    const std::shared_ptr<metadata::workspace::MetadataWorkspace>& workspace() const { return workspace_; }
    const std::filesystem::path& anchor() const { return anchor_.path(); }

private:
    testing::TempDir anchor_;
    std::shared_ptr<metadata::workspace::MetadataWorkspace> workspace_;
};

}  // namespace ambrel::app_tests
