#include <chrono>
#include <cstdint>
#include <limits>
#include <memory>
#include <mutex>
#include <vector>

#include <gtest/gtest.h>

#include "cli/gateway.hpp"
#include "dependency/dependency_catalog.hpp"
#include "dependency/dependency_graph.hpp"
#include "progress/progress.hpp"
#include "support/doubles.hpp"

namespace ambrel::dependency {
namespace {

using namespace std::chrono_literals;

constexpr std::uint32_t kMax = std::numeric_limits<std::uint32_t>::max();

cli::SfCliGateway make_gateway() {
    return cli::SfCliGateway("sf", std::make_unique<testing::ScriptedRunner>(
                                       std::make_shared<testing::ScriptedRunner::State>()));
}

class RecordingReporter final : public progress::ProgressReporter {
public:
    void report(progress::ProgressEvent event) override {
        const std::lock_guard lock(mutex_);
        events_.push_back(std::move(event));
    }
    std::vector<progress::ProgressEvent> events() const {
        const std::lock_guard lock(mutex_);
        return events_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<progress::ProgressEvent> events_;
};

TEST(DependencyGraph, TheDefaultGraphIsEmpty) {
    const DependencyGraph graph;
    EXPECT_TRUE(graph.warnings.empty());
    EXPECT_TRUE(graph.edges.empty());
    EXPECT_TRUE(graph.unresolved.empty());
}

TEST(DependencyCatalog, StartsWithZeroChunksAndNoSink) {
    const cli::SfCliGateway gateway = make_gateway();
    const DependencyCatalog catalogue(gateway, 120s);
    EXPECT_EQ(catalogue.id_chunks(), IdChunkCount{});
    EXPECT_FALSE(catalogue.progress().has_value());
    EXPECT_EQ(&catalogue.gateway(), &gateway);
    EXPECT_EQ(catalogue.timeout(), 120s);
}

TEST(DependencyCatalog, WithProgressReportsThroughTheGivenSinkAndReleasesTheOldOne) {
    const cli::SfCliGateway gateway = make_gateway();
    auto first_reporter = std::make_shared<RecordingReporter>();
    auto first = progress::ProgressSink::create(first_reporter);
    auto second_reporter = std::make_shared<RecordingReporter>();
    auto second = progress::ProgressSink::create(second_reporter);
    second->set_operation_id(7);
    const std::weak_ptr<progress::ProgressSink> first_alive = first;

    DependencyCatalog catalogue = DependencyCatalog(gateway, 120s).with_progress(std::move(first));
    DependencyCatalog replaced = std::move(catalogue).with_progress(second);
    EXPECT_TRUE(first_alive.expired());
    ASSERT_TRUE(replaced.progress().has_value());
    EXPECT_EQ(replaced.progress()->get(), second.get());
    EXPECT_EQ(replaced.timeout(), 120s);
    EXPECT_EQ(&replaced.gateway(), &gateway);

    (*replaced.progress())->report(progress::ProgressStage::ResolvingDependencyIds, 1, 2);
    ASSERT_EQ(second_reporter->events().size(), 1u);
    EXPECT_EQ(second_reporter->events()[0].stage, progress::ProgressStage::ResolvingDependencyIds);
    EXPECT_TRUE(first_reporter->events().empty());
}

TEST(IdChunkCount, CountsSaturateAndExpectedNeverTrailsCompleted) {
    IdChunkCount count;
    count.expect(3);
    count.advance();
    EXPECT_EQ(count, (IdChunkCount{1, 3}));

    IdChunkCount ahead;
    ahead.advance();
    ahead.advance();
    EXPECT_EQ(ahead, (IdChunkCount{2, 2}));

    IdChunkCount full{kMax - 1, kMax - 1};
    full.expect(5);
    EXPECT_EQ(full.expected, kMax);
    full.advance();
    full.advance();
    EXPECT_EQ(full, (IdChunkCount{kMax, kMax}));

    IdChunkCount huge;
    huge.expect(std::uint64_t{1} << 40);
    EXPECT_EQ(huge.expected, kMax);
    huge.expect(0);
    EXPECT_EQ(huge.expected, kMax);
}

}  // namespace
}  // namespace ambrel::dependency
