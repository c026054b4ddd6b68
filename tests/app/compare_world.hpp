#pragma once

// A compare world over the recording fakes: two listed orgs ("src" and "tgt"), a target object
// listing, a real private workspace that the first retrieve hands out, in-memory source and target
// components served by `component_reading`, a plain comparison (added when the target lacks the
// name, updated when the documents differ, unchanged otherwise) and a log of every port call in
// order. Tests change the scripts and the component maps before they compare.

#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/application_service.hpp"
#include "app/dependency_additions/object_additions.hpp"
#include "app_test_rows.hpp"
#include "support/doubles.hpp"
#include "support/fake_ports.hpp"

namespace ambrel::app_tests {

inline constexpr const char* kSourceUser = "src@example.com";
inline constexpr const char* kTargetUser = "tgt@example.com";

inline endpoint::OrgAlias listed_org(std::string alias, std::string username, std::string org_id,
                                     endpoint::OrgKind kind = endpoint::OrgKind::Sandbox) {
    endpoint::OrgAlias org;
    org.alias = std::move(alias);
    org.username = std::move(username);
    org.org_id = std::move(org_id);
    org.kind = kind;
    return org;
}

inline domain::MetadataComponent component(MetadataType type, std::string name, std::string document = "<doc/>") {
    domain::MetadataComponent result;
    result.key = ComponentKey{type, std::move(name)};
    result.document = std::move(document);
    return result;
}

class CompareWorld {
public:
    using Components = std::map<MetadataType, std::vector<domain::MetadataComponent>>;

    testing::RecordingPorts ports;
    WorkspaceFixture fixture;
    std::vector<endpoint::OrgAlias> orgs{listed_org("src", kSourceUser, "00DSRC"),
                                         listed_org("tgt", kTargetUser, "00DTGT")};
    std::vector<std::string> target_objects{"Account", "Widget__c"};
    Components source;
    Components target;

    CompareWorld() {
        auto& core = ports.core->script;
        core.org_alias_listing.answer_with([this](const domain::CancellationToken&) {
            log("org_alias_listing");
            return app::ports::PortResult<std::vector<endpoint::OrgAlias>>(orgs);
        });
        core.object_listing.answer_with([this](const std::string&, const std::string&, const domain::CancellationToken&) {
            log("object_listing");
            std::vector<cli::catalogs::SalesforceObject> listed;
            for (const std::string& name : target_objects) listed.push_back({name, name, {}});
            return app::ports::PortResult<std::vector<cli::catalogs::SalesforceObject>>(listed);
        });
        core.metadata_retrieval.answer_with(
            [this](const std::string&, const std::string&, const app::CompareSelection& selection,
                   const std::set<std::string>& objects, const app::RetrieveContinuation*,
                   metadata::retrieve::RetrieveScope scope, const std::string&, const domain::CancellationToken&) {
                log(scope == metadata::retrieve::RetrieveScope::Source ? "retrieve source" : "retrieve target");
                app::RetrievedWorkspace retrieved{fixture.workspace(), {}};
                if (scope == metadata::retrieve::RetrieveScope::Target) {
                    retrieved.missing_objects = app::missing_object_members(selection, objects);
                }
                return app::ports::PortResult<app::RetrievedWorkspace>(retrieved);
            });
        core.component_reading.answer_with([this](MetadataType type, const std::filesystem::path& folder) {
            const bool from_source = folder == source_folder();
            log(std::string("read ") + (from_source ? "source " : "target ") + std::string(type.wire_id()));
            const Components& side = from_source ? source : target;
            const auto found = side.find(type);
            return app::ports::PortResult<std::vector<domain::MetadataComponent>>(
                found == side.end() ? std::vector<domain::MetadataComponent>{} : found->second);
        });
        core.component_comparison.answer_with(
            [this](const metadata_types::TypeDescriptor&, const std::vector<domain::MetadataComponent>& from,
                   const std::vector<domain::MetadataComponent>& to, const std::set<std::string>&) {
                log("compare");
                std::vector<ComponentDifference> rows;
                for (const domain::MetadataComponent& item : from) {
                    ComponentDifference difference;
                    difference.source = item;
                    difference.deployable = true;
                    difference.change = ChangeKind::Add;
                    for (const domain::MetadataComponent& other : to) {
                        if (other.key != item.key) continue;
                        difference.change = other.document == item.document ? ChangeKind::NoChange : ChangeKind::Update;
                    }
                    rows.push_back(std::move(difference));
                }
                return rows;
            });
        core.dependency_discovery.answer_with(
            [this](const std::string&, const std::vector<ComponentKey>&, const domain::CancellationToken&) {
                log("discovery");
                return app::ports::PortResult<app::ports::DependencyDiscovery>(dependency::DependencyGraph{});
            });
        ports.git->script.git_materialization.answer_with(
            [this](const endpoint::DeployEndpoint&, const app::CompareSelection&, const std::filesystem::path&, bool side,
                   const domain::CancellationToken&) {
                log(side ? "materialize target" : "materialize source");
                return app::ports::PortResult<app::ports::GitMaterialization>();
            });
        ports.git->script.workspace_creation.answer_with([this] {
            log("workspace_creation");
            return app::ports::PortResult<std::shared_ptr<metadata::workspace::MetadataWorkspace>>(fixture.workspace());
        });
    }

    app::QuillaryApplicationService service() const {
        return app::QuillaryApplicationService::with_git_and_layouts(ports.core, ports.git, ports.target_layout_reading,
                                                                     ports.permission_set_name_listing, ports.schema,
                                                                     ports.bundle);
    }

    std::filesystem::path source_folder() const {
        return fixture.workspace()->source_project() / app::kProjectMetadataFolder;
    }
    std::filesystem::path target_folder() const {
        return fixture.workspace()->target_project() / app::kProjectMetadataFolder;
    }
    bool workspace_removed() const { return fixture.workspace()->is_closed(); }

    void log(std::string entry) {
        std::lock_guard lock(mutex_);
        calls_.push_back(std::move(entry));
    }
    std::vector<std::string> calls() const {
        std::lock_guard lock(mutex_);
        return calls_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> calls_;
};

inline app::SessionResult compare_orgs(const app::QuillaryApplicationService& service,
                                       const app::CompareSelection& selection, const domain::CancellationToken& token,
                                       metadata_types::LayoutComparisonMode mode = metadata_types::LayoutComparisonMode::Whole) {
    return service.compare_endpoints(org_endpoint("src"), org_endpoint("tgt"), selection, mode, token);
}

}  // namespace ambrel::app_tests
