// Publishing workflow states to listeners while a large comparison is on screen. The current state is
// a review screen over 20,000 rows of about 1 KB each; each iteration publishes it 1,000 times (as
// every progress of the active operation does) to four listeners that read its rows, on a UI executor
// that delivers at once. The reference publishes a small error screen the same number of times to the
// same listeners. Target: publishing with the large review screen held costs no more than 2x the
// reference (a publication shares the state, it never copies the rows).

#include <benchmark/benchmark.h>

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "workflow/controller.hpp"

namespace {

using namespace ambrel;
using workflow::Inner;
using workflow::Task;
using workflow::WorkflowState;

constexpr std::size_t kRows = 20'000;
constexpr std::size_t kPublications = 1'000;
constexpr int kListeners = 4;

// Runs every task on the calling thread at once, as a UI executor that is never busy would.
class InlineExecutor final : public workflow::TaskExecutor {
public:
    std::optional<Task> execute(Task task) override {
        task();
        return std::nullopt;
    }
};

// Never called: publishing reaches no use case.
class NoUseCases final : public app::QuillaryUseCases {
    template <class T>
    static app::UseCaseResult<T> none() {
        return std::unexpected(app::WorkflowFailure::operation("unused"));
    }

public:
    app::UseCaseResult<std::vector<endpoint::OrgAlias>> list_orgs(const domain::CancellationToken&) const override {
        return none<std::vector<endpoint::OrgAlias>>();
    }
    app::UseCaseResult<std::vector<cli::catalogs::SalesforceObject>> list_source_objects(
        const endpoint::DeployEndpoint&, metadata_types::MetadataType, const domain::CancellationToken&) const override {
        return none<std::vector<cli::catalogs::SalesforceObject>>();
    }
    app::SessionResult compare_endpoints(const endpoint::DeployEndpoint&, const endpoint::DeployEndpoint&,
                                         const app::CompareSelection&, metadata_types::LayoutComparisonMode,
                                         const domain::CancellationToken&) const override {
        return none<std::shared_ptr<app::ComparisonSession>>();
    }
    app::SessionResult compare_endpoints_allowing_production(const endpoint::DeployEndpoint&,
                                                             const endpoint::DeployEndpoint&,
                                                             const app::CompareSelection&,
                                                             metadata_types::LayoutComparisonMode, bool,
                                                             const domain::CancellationToken&) const override {
        return none<std::shared_ptr<app::ComparisonSession>>();
    }
    app::SessionResult compare_endpoints_with_settings(const endpoint::DeployEndpoint&, const endpoint::DeployEndpoint&,
                                                       const app::CompareSelection&,
                                                       metadata_types::LayoutComparisonMode, bool, bool,
                                                       const domain::CancellationToken&) const override {
        return none<std::shared_ptr<app::ComparisonSession>>();
    }
    app::UseCaseResult<deployment::DeploymentSummary> deploy(const app::ComparisonSession&, const app::SelectedKeys&,
                                                             domain::FlsMode, const app::ports::ContainerSelection&,
                                                             domain::DeployMode,
                                                             const std::optional<domain::ApexTestConfig>&,
                                                             const domain::CancellationToken&) const override {
        return none<deployment::DeploymentSummary>();
    }
    app::UseCaseResult<deployment::DeploymentSummary> quick_deploy(const domain::QuickDeployTicket&,
                                                                   const domain::CancellationToken&) const override {
        return none<deployment::DeploymentSummary>();
    }
    app::UseCaseResult<data::preparation::OrgPreparationReport> inspect_org_preparation(
        const std::string&, const std::string&, const domain::CancellationToken&) const override {
        return none<data::preparation::OrgPreparationReport>();
    }
    app::UseCaseResult<data::preparation::OrgPreparationReport> apply_org_preparation(
        const std::string&, const std::string&, const domain::CancellationToken&) const override {
        return none<data::preparation::OrgPreparationReport>();
    }
    app::UseCaseResult<data::key_readiness::ExternalKeysState> check_external_keys(
        const std::string&, const std::string&, const domain::CancellationToken&) const override {
        return none<data::key_readiness::ExternalKeysState>();
    }
    app::UseCaseResult<cli::CreatedOrgAlias> create_org_alias(const std::string&, const std::string&,
                                                              const std::vector<endpoint::OrgAlias>&,
                                                              const domain::CancellationToken&) const override {
        return none<cli::CreatedOrgAlias>();
    }
    app::UseCaseResult<std::vector<domain::FlsContainerChoice>> match_fls_containers(
        const app::ComparisonSession&, const app::SelectedKeys&, const domain::CancellationToken&) const override {
        return none<std::vector<domain::FlsContainerChoice>>();
    }
    app::UseCaseResult<std::vector<domain::ApexTestCandidate>> list_apex_tests(
        const app::ComparisonSession&, const app::SelectedKeys&, const domain::CancellationToken&) const override {
        return none<std::vector<domain::ApexTestCandidate>>();
    }
    app::UseCaseResult<data::bundles::transfer::HealthReport> check_target_health(
        const app::ComparisonSession&, const app::SelectedKeys&, const domain::CancellationToken&) const override {
        return none<data::bundles::transfer::HealthReport>();
    }
    app::UseCaseResult<data::bundles::transfer::FixOutcome> fix_target_health(
        const app::ComparisonSession&, const data::bundles::transfer::HealthReport&, const std::set<std::size_t>&,
        const domain::CancellationToken&) const override {
        return none<data::bundles::transfer::FixOutcome>();
    }
    app::UseCaseResult<app::ports::GitTargetCheck> validate_git_target(const endpoint::DeployEndpoint&) const override {
        return none<app::ports::GitTargetCheck>();
    }
    app::UseCaseResult<git::GitRepoInspection> inspect_git_repo(const std::filesystem::path&) const override {
        return none<git::GitRepoInspection>();
    }
    bool can_initialize_git_repo(const std::filesystem::path&) const override { return false; }
    app::UseCaseResult<git::GitRepoInspection> init_git_repo(const std::filesystem::path&) const override {
        return none<git::GitRepoInspection>();
    }
    std::string sanitize_diagnostic(const std::string& text) const override { return text; }
};

WorkflowState large_review() {
    workflow::ReviewingState review;
    review.rows.reserve(kRows);
    for (std::size_t i = 0; i < kRows; ++i) {
        domain::ComponentDifference row;
        row.source.key = domain::ComponentKey{metadata_types::MetadataType::ApexClass, "Class" + std::to_string(i)};
        row.source.document = std::string(1'000, 'x');
        review.rows.push_back(std::move(row));
    }
    return review;
}

void publish_many(benchmark::State& bench, WorkflowState shown) {
    auto controller = workflow::WorkflowControllerBuilder(std::make_shared<NoUseCases>(),
                                                          std::make_shared<InlineExecutor>(),
                                                          std::make_shared<InlineExecutor>())
                          .build();
    std::size_t seen_rows = 0;
    for (int i = 0; i < kListeners; ++i) {
        (void)controller.add_state_listener([&seen_rows](const workflow::StateSnapshot& snapshot) {
            if (const auto* review = std::get_if<workflow::ReviewingState>(&snapshot.state)) {
                seen_rows += review->rows.size();
            }
        });
    }
    Inner& inner = *controller.inner();
    inner.transition(std::move(shown));
    for (auto _ : bench) {
        for (std::size_t i = 0; i < kPublications; ++i) {
            std::optional<workflow::Publication> publication;
            {
                auto guard = inner.lock();
                publication = workflow::republish_current_locked(inner.state(guard));
            }
            inner.publish(std::move(*publication));
        }
        benchmark::DoNotOptimize(seen_rows);
    }
    bench.SetItemsProcessed(static_cast<std::int64_t>(bench.iterations() * kPublications));
    controller.close();
}

void BM_PublishWithLargeReviewHeld(benchmark::State& bench) { publish_many(bench, large_review()); }
void BM_PublishSmallStateReference(benchmark::State& bench) { publish_many(bench, workflow::error_state("Stopped.")); }

BENCHMARK(BM_PublishSmallStateReference)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PublishWithLargeReviewHeld)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
