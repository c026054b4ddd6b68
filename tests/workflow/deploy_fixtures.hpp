#pragma once

// Sessions with rows for the deploy road and the review: rows of any type, change and scope, a git or
// org target, a target org class, and a closer that counts its calls and can fail. `DeployRoad` is a
// harness already on the review screen of such a session.

#include <expected>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "app/comparison_session.hpp"
#include "harness.hpp"

namespace ambrel::workflow::testing {

using domain::ChangeKind;
using domain::MetadataDeployScope;
using metadata_types::MetadataType;

inline domain::ComponentDifference row(MetadataType type, std::string name, ChangeKind change = ChangeKind::Update,
                                       MetadataDeployScope scope = MetadataDeployScope::Full, bool deployable = true) {
    domain::ComponentDifference difference;
    difference.source.key = domain::ComponentKey{type, std::move(name)};
    difference.change = change;
    difference.deploy_scope = scope;
    difference.deployable = deployable;
    return difference;
}

inline domain::ComponentKey key(MetadataType type, std::string name) { return domain::ComponentKey{type, std::move(name)}; }

inline endpoint::DeployEndpoint git_endpoint() {
    endpoint::DeployEndpoint::Git git;
    git.repository = "/tmp/repository";
    git.branch.name = "main";
    return endpoint::DeployEndpoint{std::move(git)};
}

struct SessionSpec {
    std::vector<domain::ComponentDifference> rows;
    bool git_target = false;
    app::TargetOrgClass target_class = app::TargetOrgClass::NonProduction;
    bool allow_best_effort_on_production = false;
    int failing_closes = 0;
};

// A session whose closer counts its calls and fails the first `failing_closes` of them.
struct RowSession {
    std::shared_ptr<int> closes = std::make_shared<int>(0);
    std::shared_ptr<int> failures_left = std::make_shared<int>(0);
    SessionRef session;

    explicit RowSession(SessionSpec spec) {
        *failures_left = spec.failing_closes;
        app::ComparisonSession::Parts parts;
        parts.source = org("src");
        parts.target = spec.git_target ? git_endpoint() : org("tgt");
        parts.rows = std::move(spec.rows);
        parts.target_org_class = spec.target_class;
        parts.allow_best_effort_on_production = spec.allow_best_effort_on_production;
        parts.closer = [closes = closes, failures_left = failures_left]() -> std::expected<void, app::WorkflowFailure> {
            ++*closes;
            if (*failures_left > 0) {
                --*failures_left;
                return std::unexpected(app::WorkflowFailure::operation("workspace busy"));
            }
            return {};
        };
        session = app::ComparisonSession::from_parts(std::move(parts));
    }
    int close_count() const { return *closes; }
};

// A harness showing the review screen of a session it holds as the current one.
struct DeployRoad {
    Harness h;
    RowSession probe;

    explicit DeployRoad(SessionSpec spec) : probe(std::move(spec)) {
        h.set_current_session(probe.session);
        h.inner().transition(ReviewingState{probe.session, probe.session->ui_differences(), std::nullopt, std::nullopt});
        h.settle();
        h.seen->clear();
    }

    const SessionRef& session() const { return probe.session; }

    std::optional<DeploySnapshot> snapshot() {
        auto guard = h.inner().lock();
        return h.inner().state(guard).deploy_snapshot;
    }
    std::optional<AccumulatedTargetFix> accumulated() {
        auto guard = h.inner().lock();
        return h.inner().state(guard).accumulated_target_fix;
    }
    std::vector<std::string> kinds_seen() const {
        std::vector<std::string> kinds;
        for (const auto& seen : *h.seen) kinds.push_back(seen.kind);
        return kinds;
    }
};

inline deployment::DeploymentSummary summary_with_details(std::string details) {
    deployment::DeploymentSummary summary;
    summary.details = std::move(details);
    return summary;
}

inline data::bundles::transfer::Finding finding(bool fixable, std::string label = "Bundle A",
                                                std::optional<std::string> delete_id = std::nullopt) {
    data::bundles::transfer::Finding found;
    found.fixable = fixable;
    found.label = std::move(label);
    found.delete_id = std::move(delete_id);
    return found;
}

}  // namespace ambrel::workflow::testing
