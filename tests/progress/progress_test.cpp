#include <gtest/gtest.h>

#include <mutex>
#include <stdexcept>
#include <vector>

#include "progress/progress.hpp"

namespace ambrel::progress {
namespace {

using S = ProgressStage;

struct RecordingReporter final : ProgressReporter {
    void report(ProgressEvent event) override {
        std::lock_guard lock(mutex);
        events.push_back(std::move(event));
    }
    std::mutex mutex;
    std::vector<ProgressEvent> events;
};

struct ThrowingReporter final : ProgressReporter {
    void report(ProgressEvent) override { throw std::runtime_error("reporter is gone"); }
};

struct MessageCase {
    S stage;
    std::optional<std::uint32_t> current;
    std::optional<std::uint32_t> total;
    std::optional<std::string_view> detail;
    std::string_view message;
};

TEST(ProgressMessages, EveryStageWithAndWithoutCountsAndDetail) {
    constexpr std::nullopt_t none = std::nullopt;
    const std::vector<MessageCase> cases = {
        {S::CheckingCli, 1, 2, "x", "Checking the Salesforce CLI…"},
        {S::ListingOrgs, none, none, none, "Loading Salesforce orgs…"},
        {S::ListingObjects, none, none, none, "Loading objects from the source…"},
        {S::ListingObjects, 1, 2, "prod", "Loading objects from prod…"},
        {S::ListingMetadata, none, none, none, "Loading metadata…"},
        {S::ListingMetadata, 3, 9, "Flows", "Loading Flows…"},
        {S::ListingApexTests, none, none, "x", "Listing Apex test candidates…"},
        {S::RetrievingMetadata, 1, 2, none, "Retrieving metadata from both sides…"},
        {S::QueryingDependencies, 2, none, none, "Querying dependencies…"},
        {S::QueryingDependencies, none, 5, none, "Querying dependencies…"},
        {S::QueryingDependencies, 2, 5, none, "Querying dependencies (chunk 2 of 5)…"},
        {S::ResolvingDependencyIds, none, none, none, "Resolving dependency identities…"},
        {S::ResolvingDependencyIds, 4, 4, "x", "Resolving dependency identities (chunk 4 of 4)…"},
        {S::MatchingFlsContainers, 1, 2, none, "Matching permission containers…"},
        {S::DeployingComponents, none, none, none, "Deploying components…"},
        {S::DeployingComponents, none, none, "ApexClass", "Deploying ApexClass…"},
        {S::DeployingComponents, 1, 3, "ApexClass", "Deploying ApexClass (batch 1 of 3)…"},
        {S::DeployingComponents, 1, 3, none, "Deploying components (batch 1 of 3)…"},
        {S::DeployingPackage, 1, 3, none, "Deploying the package…"},
        {S::SynchronizingFls, none, none, none, "Synchronizing permissions…"},
        {S::WaitingForBrowserSignIn, none, none, none, "Waiting for browser sign-in…"},
        {S::InspectingOrgSchema, none, none, none, "Reading the Revenue Cloud schema of the org…"},
        {S::InspectingOrgSchema, 2, 7, "dev", "Reading the Revenue Cloud schema of dev (2 of 7)…"},
        {S::CountingUnkeyedRecords, none, none, "x", "Counting records without an external ID…"},
        {S::CountingUnkeyedRecords, 0, 33, none, "Counting records without an external ID (0 of 33)…"},
        {S::CreatingExternalIdField, 1, 2, none, "Creating the external ID field in the org…"},
        {S::CreatingExternalIdField, none, none, "uat", "Creating the external ID field in uat…"},
        {S::FillingExternalId, none, none, none, "Filling in the external ID of records…"},
        {S::FillingExternalId, 5, 6, "Product2", "Filling in the external ID of Product2 (5 of 6)…"},
        {S::DeployingRecords, 1, 2, none, "Transferring catalog records…"},
        {S::DeployingRecords, none, none, "bundle", "Transferring bundle records…"},
        {S::CheckingTargetHealth, 1, 2, none, "Checking the target…"},
        {S::CheckingTargetHealth, none, none, "duplicates", "Checking the target: duplicates…"},
        {S::CheckingTargetHealth, 1, 2, "duplicates", "Checking the target: duplicates (1 of 2)…"},
        // A detail that is given but empty is still the caller's detail.
        {S::ListingMetadata, none, none, "", "Loading …"},
    };
    for (const MessageCase& c : cases) {
        EXPECT_EQ(render_message(c.stage, c.current, c.total, c.detail), c.message)
            << wire_id(c.stage);
    }
}

TEST(ProgressMessages, WireIdsInStageOrder) {
    const std::vector<std::string_view> expected = {
        "checkingCli",          "listingOrgs",           "listingObjects",
        "listingMetadata",      "listingApexTests",      "retrievingMetadata",
        "queryingDependencies", "resolvingDependencyIds", "matchingFlsContainers",
        "deployingComponents",  "deployingPackage",      "synchronizingFls",
        "waitingForBrowserSignIn", "inspectingOrgSchema", "countingUnkeyedRecords",
        "creatingExternalIdField", "fillingExternalId",  "deployingRecords",
        "checkingTargetHealth",
    };
    ASSERT_EQ(expected.size(), kProgressStageCount);
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(wire_id(static_cast<ProgressStage>(i)), expected[i]);
    }
}

TEST(ProgressSink, StampsEventsWithTheCurrentOperation) {
    auto reporter = std::make_shared<RecordingReporter>();
    auto sink = ProgressSink::create(reporter);
    sink->report(S::ListingOrgs);
    EXPECT_TRUE(reporter->events.empty()) << "no event outside an operation";

    sink->set_operation_id(7);
    std::string detail = "ApexClass";
    sink->report(S::DeployingComponents, 1, 3, detail);
    detail = "changed afterwards";
    sink->set_operation_id(0);
    sink->report(S::ListingOrgs);

    ASSERT_EQ(reporter->events.size(), 1u);
    const ProgressEvent& event = reporter->events.front();
    EXPECT_EQ(event.operation_id, 7u);
    EXPECT_EQ(event.stage, S::DeployingComponents);
    EXPECT_EQ(event.current, 1u);
    EXPECT_EQ(event.total, 3u);
    EXPECT_EQ(event.detail, "ApexClass");
    EXPECT_EQ(event.message, "Deploying ApexClass (batch 1 of 3)…");
}

TEST(ProgressSink, DisabledSinkReportsNothing) {
    auto sink = ProgressSink::disabled();
    sink->set_operation_id(3);
    EXPECT_NO_THROW(sink->report(S::DeployingPackage));
    EXPECT_EQ(sink->operation_id(), 3u);
}

TEST(ProgressSink, AFailingReporterNeverFailsTheOperation) {
    auto sink = ProgressSink::create(std::make_shared<ThrowingReporter>());
    sink->set_operation_id(1);
    EXPECT_NO_THROW(sink->report(S::DeployingPackage));
}

}  // namespace
}  // namespace ambrel::progress
