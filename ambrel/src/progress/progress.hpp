#pragma once

// Progress of long operations: code inside an operation reports a stage with optional counts and
// detail; the session's sink stamps the event with the current operation id, renders its sentence
// and hands it to the reporter (the server turns it into a "workflow/progress" notification).
// Progress is best effort: reporting never fails the operation that reports.

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace ambrel::progress {

// The stages of long operations, in wire order.
enum class ProgressStage : std::uint8_t {
    CheckingCli,
    ListingOrgs,
    ListingObjects,
    ListingMetadata,
    ListingApexTests,
    RetrievingMetadata,
    QueryingDependencies,
    ResolvingDependencyIds,
    MatchingFlsContainers,
    DeployingComponents,
    DeployingPackage,
    SynchronizingFls,
    WaitingForBrowserSignIn,
    InspectingOrgSchema,
    CountingUnkeyedRecords,
    CreatingExternalIdField,
    FillingExternalId,
    DeployingRecords,
    CheckingTargetHealth,
};

inline constexpr std::size_t kProgressStageCount = 19;

// The stage's wire id, for example "checkingCli", "queryingDependencies".
std::string_view wire_id(ProgressStage stage) noexcept;

// One report, as the reporter receives it.
struct ProgressEvent {
    std::uint64_t operation_id = 0;
    ProgressStage stage = ProgressStage::CheckingCli;
    std::optional<std::uint32_t> current;
    std::optional<std::uint32_t> total;
    std::optional<std::string> detail;
    std::string message;

    bool operator==(const ProgressEvent&) const = default;
};

// Receives progress events; must accept calls from any thread.
class ProgressReporter {
public:
    virtual ~ProgressReporter() = default;
    virtual void report(ProgressEvent event) = 0;
};

// The finished English sentence of a report. Counts appear only when both are given and the stage
// shows them; every message ends with "…".
std::string render_message(ProgressStage stage, std::optional<std::uint32_t> current,
                           std::optional<std::uint32_t> total,
                           std::optional<std::string_view> detail);

// The session's progress front end, shared by reference counting. It holds no lock: the current
// operation id is one atomic word, and the reporter is safe to call from several threads.
class ProgressSink {
public:
    // A sink that passes events of the current operation to the reporter; operation id 0.
    static std::shared_ptr<ProgressSink> create(std::shared_ptr<ProgressReporter> reporter);
    // A sink that reports nothing.
    static std::shared_ptr<ProgressSink> disabled();

    // Reports nothing without a reporter or while the operation id is 0 (no operation running).
    void report(ProgressStage stage, std::optional<std::uint32_t> current = std::nullopt,
                std::optional<std::uint32_t> total = std::nullopt,
                std::optional<std::string_view> detail = std::nullopt) const noexcept;

    // The workflow controller stores the id of each operation it begins here, and 0 when none runs.
    void set_operation_id(std::uint64_t id) noexcept { operation_id_.store(id); }
    std::uint64_t operation_id() const noexcept { return operation_id_.load(); }

    explicit ProgressSink(std::shared_ptr<ProgressReporter> reporter) noexcept
        : reporter_(std::move(reporter)) {}

private:
    std::shared_ptr<ProgressReporter> reporter_;
    std::atomic<std::uint64_t> operation_id_{0};
};

}  // namespace ambrel::progress
