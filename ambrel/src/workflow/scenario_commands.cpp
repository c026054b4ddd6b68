// Session scenario files on the controller: export of the current session and import with the
// operation that applies the file's member selection and keeps the rest for replay.

#include <chrono>
#include <limits>
#include <utility>

#include <fmt/format.h>

#include "endpoint/deploy_endpoint.hpp"
#include "platform_fs/files.hpp"
#include "workflow/controller.hpp"

namespace ambrel::workflow {

namespace {

using metadata_types::MetadataType;
namespace scenario_file = session_export;

std::uint64_t member_count(const ManifestSelection& manifest) {
    std::uint64_t count = 0;
    for (const auto& [type, names] : manifest) count += names.size();
    return count;
}

// Milliseconds since the Unix epoch; 0 before the epoch or past 64 bits.
std::uint64_t captured_at_now() {
    const auto since = std::chrono::system_clock::now().time_since_epoch();
    if (since.count() < 0) return 0;
    const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(since).count();
    return millis < 0 ? 0 : static_cast<std::uint64_t>(millis);
}

std::optional<scenario_file::ScenarioEndpoint> scenario_endpoint(const std::optional<endpoint::DeployEndpoint>& endpoint) {
    if (!endpoint) return std::nullopt;
    if (const auto* org = endpoint->org()) {
        return scenario_file::ScenarioEndpoint{scenario_file::ScenarioEndpoint::Org{org->org.alias}};
    }
    const auto* git = endpoint->git();
    return scenario_file::ScenarioEndpoint{
        scenario_file::ScenarioEndpoint::Git{endpoint::repo_directory_name(git->repository), git->branch.name}};
}

// The refusal of the screen, or nothing when the session can be captured from it.
std::optional<std::string_view> export_refusal(StateKind kind) {
    switch (kind) {
        case StateKind::LoadingOrgs:
        case StateKind::ReturningToSelection:
        case StateKind::LoadingComponents:
            return kSessionExportLoading;
        case StateKind::Comparing:
            return kSessionExportComparing;
        case StateKind::TargetHealth:
            return kSessionExportTargetHealth;
        case StateKind::Deploying:
        case StateKind::QuickDeploying:
            return kSessionExportDeploying;
        case StateKind::Error:
            return kSessionExportError;
        default:
            return std::nullopt;
    }
}

// Record-data entries can never be read back from a file, so they are not written into one.
void drop_record_data(scenario_file::SessionScenario& scenario) {
    std::erase_if(scenario.comparison_manifest, [](const auto& entry) { return entry.first.is_data_record(); });
    if (scenario.deploy_selection) {
        std::erase_if(*scenario.deploy_selection, [](const auto& key) { return key.metadata_type.is_data_record(); });
    }
}

}  // namespace

std::expected<void, std::string> WorkflowController::export_session(const std::filesystem::path& path,
                                                                    LiveScreenSelection live) const {
    Inner& inner = *inner_;
    scenario_file::SessionScenario scenario;
    std::optional<Publication> publication;
    {
        auto guard = inner.lock();
        State& state = inner.state(guard);
        if (state.closed) return std::unexpected(std::string(kSessionExportClosed));
        const WorkflowState& current = *state.current;
        if (auto refusal = export_refusal(kind_of(current))) return std::unexpected(std::string(*refusal));
        if (std::holds_alternative<SelectingState>(current) && live.current_selection) {
            commit_selection(state.manifest, state.current_type, std::move(*live.current_selection));
            publication = state_publication_locked(state, selecting_state(state, std::nullopt, std::nullopt, nullptr));
        }
        scenario.captured_at = captured_at_now();
        scenario.source = scenario_endpoint(state.source);
        scenario.target = scenario_endpoint(state.target);
        scenario.comparison_manifest = state.manifest;
        // `current` may have been replaced above; read the screen from the state again.
        const WorkflowState& screen = *state.current;
        if (std::holds_alternative<SelectingState>(screen)) {
            scenario.screen = scenario_file::Screen::Selecting;
        } else if (std::holds_alternative<ReviewingState>(screen)) {
            scenario.deploy_selection = live.selected_keys.value_or(app::SelectedKeys{});
            scenario.permissions_mode = live.fls_mode.value_or(domain::FlsMode::None);
            scenario.screen = scenario_file::Screen::Reviewing;
        } else if (std::holds_alternative<SelectingTestsState>(screen)) {
            apply_deploy_snapshot(scenario, state.deploy_snapshot);
            scenario.apex_tests = live.tests.value_or(std::vector<std::string>{});
            scenario.screen = scenario_file::Screen::SelectingTests;
        } else if (std::holds_alternative<SelectingFlsContainersState>(screen)) {
            apply_deploy_snapshot(scenario, state.deploy_snapshot);
            scenario.permission_containers = live.containers.value_or(ContainerChoice{});
            scenario.screen = scenario_file::Screen::SelectingFlsContainers;
        } else if (const auto* results = std::get_if<ResultsState>(&screen)) {
            apply_deploy_snapshot(scenario, state.deploy_snapshot);
            scenario.deploy_mode = results->summary.deploy_mode;
            scenario.deploy_mode_is_final = true;
            scenario.screen = scenario_file::Screen::Results;
        }
    }
    if (publication) inner.publish(std::move(*publication));
    drop_record_data(scenario);
    if (scenario.comparison_manifest.empty()) return std::unexpected(std::string(kSessionExportEmpty));
    // The text goes to a file beside the chosen one and is renamed over it, so a failed write never
    // leaves a half-written scenario behind.
    if (const std::error_code error = platform_fs::files::replace_durably(path, scenario.to_json())) {
        const std::string detail = inner.parts().use_cases->sanitize_diagnostic(error.message());
        return std::unexpected(fmt::format(fmt::runtime(kSessionWriteFailed), detail));
    }
    return {};
}

std::optional<std::uint64_t> WorkflowController::import_session(const std::filesystem::path& path) const {
    {
        auto guard = inner_->lock();
        const State& state = inner_->state(guard);
        if (state.closed || !std::holds_alternative<SelectingState>(*state.current)) return std::nullopt;
    }
    auto scenario = scenario_file::read_session_scenario_file(path);
    if (!scenario) {
        inner_->selection_error(inner_->parts().use_cases->sanitize_diagnostic(scenario.error().message()));
        return std::nullopt;
    }
    std::vector<endpoint::OrgAlias> orgs;
    {
        auto guard = inner_->lock();
        orgs = inner_->state(guard).orgs;
    }
    std::vector<std::string> warnings;
    const auto restore = [&](const std::optional<scenario_file::ScenarioEndpoint>& endpoint, std::string_view side,
                             auto&& choose) {
        if (!endpoint) return;
        auto resolved = resolve_scenario_endpoint(orgs, side, *endpoint);
        if (auto* org = std::get_if<endpoint::OrgAlias>(&resolved)) {
            choose(endpoint::DeployEndpoint{endpoint::DeployEndpoint::Org{std::move(*org)}});
        } else {
            warnings.push_back(std::move(std::get<std::string>(resolved)));
        }
    };
    restore(scenario->source, kSourceSide,
            [&](endpoint::DeployEndpoint chosen) { inner_->select_source_endpoint_with(std::move(chosen), false, 0); });
    restore(scenario->target, kTargetSide,
            [&](endpoint::DeployEndpoint chosen) { inner_->select_target_endpoint_with(std::move(chosen), false, 0); });

    auto started = inner_->begin_operation_if(OperationKind::ImportSession, true, false, std::nullopt);
    if (!started) return std::nullopt;
    const std::uint64_t id = started->id;
    std::shared_ptr<Inner> self = inner_;
    self->schedule_after_cleanup(
        std::move(*started), [self, id, manifest = std::move(scenario->comparison_manifest),
                              pending = pending_scenario_of(*scenario), warnings = std::move(warnings)]() mutable {
            self->execute_background(id, [self, id, manifest = std::move(manifest), pending = std::move(pending),
                                          warnings = std::move(warnings)]() mutable {
                auto token = self->require_token(id);
                std::optional<endpoint::DeployEndpoint> source;
                ListingCache cache;
                {
                    auto guard = self->lock();
                    const State& state = self->state(guard);
                    source = state.source;
                    cache = state.listing_cache;
                }
                std::optional<ManifestResolution> applied;
                if (!source) {
                    if (!manifest.empty()) warnings.emplace_back(kScenarioManifestWithoutSource);
                } else if (manifest.empty()) {
                    applied.emplace();
                } else {
                    auto resolved =
                        self->resolve_manifest_against_source(std::move(manifest), {}, warnings, cache, *source, *token);
                    if (!resolved) {
                        // The same failure completion as a manifest import: the pending scenario, the
                        // member selection and the listed type stay as they were.
                        self->fail_manifest_import(id, self->failure_message(resolved.error()));
                        return;
                    }
                    applied = std::move(*resolved);
                }
                const std::uint64_t imported = applied ? member_count(applied->manifest) : 0;
                self->dispatch_completion(id, [applied = std::move(applied), pending = std::move(pending),
                                               warnings = std::move(warnings), imported](State& state) mutable {
                    if (applied) {
                        const bool fetched_any = !applied->fetched.empty();
                        for (auto& [strategy, objects] : applied->fetched) {
                            state.listing_cache[strategy] = std::move(objects);
                        }
                        if (fetched_any) state.listing_incomplete = false;
                        for (const auto& entry : applied->manifest) {
                            if (entry.first.is_data_record() || entry.first.is_selectable()) {
                                state.current_type = entry.first;
                                break;
                            }
                        }
                        state.manifest = std::move(applied->manifest);
                    }
                    state.pending_scenario = std::move(pending);
                    return selecting_state(state, std::nullopt, ImportSummary{std::move(warnings), imported}, nullptr);
                });
            });
        });
    return id;
}

}  // namespace ambrel::workflow
