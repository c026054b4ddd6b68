#include "progress/progress.hpp"

#include <array>
#include <exception>

#include <fmt/format.h>

#include "support/programming_error.hpp"

namespace ambrel::progress {

namespace {

constexpr std::array<std::string_view, kProgressStageCount> kWireIds = {
    "checkingCli",
    "listingOrgs",
    "listingObjects",
    "listingMetadata",
    "listingApexTests",
    "retrievingMetadata",
    "queryingDependencies",
    "resolvingDependencyIds",
    "matchingFlsContainers",
    "deployingComponents",
    "deployingPackage",
    "synchronizingFls",
    "waitingForBrowserSignIn",
    "inspectingOrgSchema",
    "countingUnkeyedRecords",
    "creatingExternalIdField",
    "fillingExternalId",
    "deployingRecords",
    "checkingTargetHealth",
};

}  // namespace

std::string_view wire_id(ProgressStage stage) noexcept {
    return kWireIds[static_cast<std::size_t>(stage)];
}

std::string render_message(ProgressStage stage, std::optional<std::uint32_t> current,
                           std::optional<std::uint32_t> total,
                           std::optional<std::string_view> detail) {
    const bool counted = current.has_value() && total.has_value();
    const auto detail_or = [&detail](std::string_view fallback) {
        return detail.has_value() ? *detail : fallback;
    };
    switch (stage) {
        case ProgressStage::CheckingCli: return "Checking the Salesforce CLI…";
        case ProgressStage::ListingOrgs: return "Loading Salesforce orgs…";
        case ProgressStage::ListingObjects:
            return fmt::format("Loading objects from {}…", detail_or("the source"));
        case ProgressStage::ListingMetadata: return fmt::format("Loading {}…", detail_or("metadata"));
        case ProgressStage::ListingApexTests: return "Listing Apex test candidates…";
        case ProgressStage::RetrievingMetadata: return "Retrieving metadata from both sides…";
        case ProgressStage::QueryingDependencies:
            if (counted) return fmt::format("Querying dependencies (chunk {} of {})…", *current, *total);
            return "Querying dependencies…";
        case ProgressStage::ResolvingDependencyIds:
            if (counted) {
                return fmt::format("Resolving dependency identities (chunk {} of {})…", *current,
                                   *total);
            }
            return "Resolving dependency identities…";
        case ProgressStage::MatchingFlsContainers: return "Matching permission containers…";
        case ProgressStage::DeployingComponents:
            if (counted) {
                return fmt::format("Deploying {} (batch {} of {})…", detail_or("components"),
                                   *current, *total);
            }
            return fmt::format("Deploying {}…", detail_or("components"));
        case ProgressStage::DeployingPackage: return "Deploying the package…";
        case ProgressStage::SynchronizingFls: return "Synchronizing permissions…";
        case ProgressStage::WaitingForBrowserSignIn: return "Waiting for browser sign-in…";
        case ProgressStage::InspectingOrgSchema:
            if (counted) {
                return fmt::format("Reading the Revenue Cloud schema of {} ({} of {})…",
                                   detail_or("the org"), *current, *total);
            }
            return fmt::format("Reading the Revenue Cloud schema of {}…", detail_or("the org"));
        case ProgressStage::CountingUnkeyedRecords:
            if (counted) {
                return fmt::format("Counting records without an external ID ({} of {})…", *current,
                                   *total);
            }
            return "Counting records without an external ID…";
        case ProgressStage::CreatingExternalIdField:
            return fmt::format("Creating the external ID field in {}…", detail_or("the org"));
        case ProgressStage::FillingExternalId:
            if (counted) {
                return fmt::format("Filling in the external ID of {} ({} of {})…",
                                   detail_or("records"), *current, *total);
            }
            return fmt::format("Filling in the external ID of {}…", detail_or("records"));
        case ProgressStage::DeployingRecords:
            return fmt::format("Transferring {} records…", detail_or("catalog"));
        case ProgressStage::CheckingTargetHealth:
            if (!detail.has_value()) return "Checking the target…";
            if (counted) {
                return fmt::format("Checking the target: {} ({} of {})…", *detail, *current, *total);
            }
            return fmt::format("Checking the target: {}…", *detail);
    }
    support::fail_precondition("progress stage out of range");
}

std::shared_ptr<ProgressSink> ProgressSink::create(std::shared_ptr<ProgressReporter> reporter) {
    return std::make_shared<ProgressSink>(std::move(reporter));
}

std::shared_ptr<ProgressSink> ProgressSink::disabled() { return std::make_shared<ProgressSink>(nullptr); }

void ProgressSink::report(ProgressStage stage, std::optional<std::uint32_t> current,
                          std::optional<std::uint32_t> total,
                          std::optional<std::string_view> detail) const noexcept {
    if (!reporter_) return;
    const std::uint64_t id = operation_id_.load();
    if (id == 0) return;
    // Progress must never fail the operation that reports it, so a failing reporter is only noted.
    try {
        ProgressEvent event;
        event.operation_id = id;
        event.stage = stage;
        event.current = current;
        event.total = total;
        if (detail.has_value()) event.detail = std::string(*detail);
        event.message = render_message(stage, current, total, detail);
        reporter_->report(std::move(event));
    } catch (...) {
        try {
            support::report_diagnostic("progress report dropped: " +
                                       support::describe_exception(std::current_exception()));
        } catch (...) {
        }
    }
}

}  // namespace ambrel::progress
