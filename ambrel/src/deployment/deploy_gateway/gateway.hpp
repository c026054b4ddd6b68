#pragma once

// The one place where the system deploys metadata to an org. `SfCliMetadataDeployGateway` runs the
// Salesforce CLI's "project deploy start" for a folder of SFDX source, follows a job that is still
// running with exactly one "project deploy report", and reduces the JSON answer to one
// `MetadataDeployResult`; it also quick-deploys a validated job. It never retries, never loops over
// reports and never throws for anything an answer holds: every outcome is a value.
//
// Failures (texts of `MetadataDeployResult::Error`): "Target Salesforce alias is blank.", "No
// Salesforce metadata components were requested for deployment.", "Salesforce deployment job did not
// reach a terminal state. Job {} may still complete in the target.", "Salesforce metadata deployment
// was cancelled." (before anything was sent), "Cancelled while the org was deploying; the org may
// still apply this deployment{ (job {})}. Check the deployment status in the org before deploying
// again." (once the start command was launched), "Could not run Salesforce CLI. {}" (the cleaned detail or "unknown error"),
// "Salesforce CLI timed out with no recoverable job." and "Salesforce CLI returned malformed or
// missing JSON." (each followed by " {}" with the cleaned standard error or output when there is
// one), "Salesforce deployment command timed out without a recoverable job ID.", "Salesforce
// deployment response has no terminal result or recoverable job ID.", or the answer's own error.
// Quick deploy adds "The validated deployment job ID is blank." and "The target refused the quick
// deployment.".
//
// Thread-safety: each recorded value has its own mutex, held only while it is read or replaced and
// never while a process runs. Callers run one deploy at a time on an object; two at once would mix
// their recorded values.

#include <chrono>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "app/ports/quick_deploy.hpp"
#include "cli/cli_result.hpp"
#include "domain/cancellation.hpp"
#include "deployment/deploy_gateway/component_key.hpp"
#include "deployment/deploy_gateway/deploy_result.hpp"
#include "json/json.hpp"

namespace ambrel::cli {
class SfCliGateway;
}

namespace ambrel::deployment::deploy_gateway {

inline constexpr std::string_view kBlankAlias = "Target Salesforce alias is blank.";
inline constexpr std::string_view kNothingRequested = "No Salesforce metadata components were requested for deployment.";
inline constexpr std::string_view kNotTerminal =
    "Salesforce deployment job did not reach a terminal state. Job {} may still complete in the target.";
inline constexpr std::string_view kCancelled = "Salesforce metadata deployment was cancelled.";
// A cancel after "project deploy start" was launched: the job may go on in the org. The placeholder is
// empty or " (job {id})" when the CLI printed the job's id.
inline constexpr std::string_view kCancelledWhileDeploying =
    "Cancelled while the org was deploying; the org may still apply this deployment{}. Check the deployment "
    "status in the org before deploying again.";
inline constexpr std::string_view kCancelledJob = " (job {})";
inline constexpr std::string_view kCouldNotRun = "Could not run Salesforce CLI.";
inline constexpr std::string_view kUnknownError = "unknown error";
inline constexpr std::string_view kCliTemplate = "Salesforce CLI {}.";
inline constexpr std::string_view kTimedOutNoJob = "timed out with no recoverable job";
inline constexpr std::string_view kMalformedJson = "returned malformed or missing JSON";
inline constexpr std::string_view kCommandTimedOut =
    "Salesforce deployment command timed out without a recoverable job ID.";
inline constexpr std::string_view kNoTerminalResult =
    "Salesforce deployment response has no terminal result or recoverable job ID.";
inline constexpr std::string_view kMalformedDetails = "Salesforce returned malformed component failure details.";
inline constexpr std::string_view kMalformedFailure = "Salesforce returned an empty or malformed component failure.";
inline constexpr std::string_view kRejectedComponents = "Salesforce rejected one or more metadata components.";
inline constexpr std::string_view kRejectedComponent = "Salesforce rejected this metadata component.";
inline constexpr std::string_view kRejectedByTarget = "Deployment rejected by the target.";
inline constexpr std::string_view kBlankJobId = "The validated deployment job ID is blank.";
inline constexpr std::string_view kQuickRefused = "The target refused the quick deployment.";
inline constexpr std::string_view kQuickSucceeded = "Component deployed successfully.";
inline constexpr std::string_view kUnspecifiedType = "(unspecified component type)";
inline constexpr std::string_view kUnspecifiedComponent = "(unspecified component)";
// The pseudo row the CLI reports for the package manifest itself.
inline constexpr std::string_view kPackageManifestRow = "package.xml";

// The CLI's own wait, in minutes, and the time-out the wiring gives every process.
inline constexpr std::string_view kWaitMinutes = "30";
inline constexpr std::chrono::seconds kDefaultTimeout{1860};
// Cleaned texts keep at most this many characters.
inline constexpr std::size_t kMaxTextChars = 2000;
// A job id reaches argv only with this shape, and answers that expired the wait carry it under
// "data" → "id" with this prefix.
inline constexpr std::string_view kDeployJobPrefix = "0Af";

using Arguments = std::vector<std::string>;

class MetadataDeployGateway {
public:
    virtual ~MetadataDeployGateway() = default;

    // Deploys the contents of `source_dir` from the project `working_dir`. `requested` only serves
    // to tie failures to components; it never reaches the CLI.
    virtual MetadataDeployResult deploy(const std::filesystem::path& source_dir,
                                        const std::filesystem::path& working_dir, const std::string& target_org,
                                        const RequestedComponents& requested,
                                        const domain::CancellationToken& token) = 0;
    // (tests run, test errors) summed over the answers read so far.
    virtual std::optional<std::pair<std::uint32_t, std::uint32_t>> recorded_tests() const = 0;
    virtual std::optional<std::string> recorded_test_failures() const = 0;
    virtual std::optional<std::uint64_t> recorded_deployed_count() const = 0;
};

// How one gateway object deploys.
struct DeployOptions {
    // Apex test classes to run; absent means no test arguments at all.
    std::optional<std::vector<std::string>> tests;
    std::chrono::milliseconds timeout = kDefaultTimeout;
    // "--dry-run": validation only.
    bool check_only = false;
    // "--ignore-errors": deploy what succeeds.
    bool ignore_errors = false;
};

// Borrows nothing: shares the CLI gateway.
class SfCliMetadataDeployGateway final : public MetadataDeployGateway {
public:
    SfCliMetadataDeployGateway(DeployOptions options, std::shared_ptr<const cli::SfCliGateway> gateway);

    MetadataDeployResult deploy(const std::filesystem::path& source_dir, const std::filesystem::path& working_dir,
                                const std::string& target_org, const RequestedComponents& requested,
                                const domain::CancellationToken& token) override;
    std::optional<std::pair<std::uint32_t, std::uint32_t>> recorded_tests() const override;
    std::optional<std::string> recorded_test_failures() const override;
    std::optional<std::uint64_t> recorded_deployed_count() const override;

    // Rows of the quick deploy of a validated job; records nothing.
    std::expected<app::ports::QuickDeployAnswer, std::string> quick_deploy(const std::filesystem::path& working_dir,
                                                                           const std::string& target_org,
                                                                           const std::string& job_id,
                                                                           const domain::CancellationToken& token);

    // Runs `sf` with the arguments in the folder; a parsed answer is returned whatever it says.
    std::expected<cli::CliJsonResult, std::string> execute(const Arguments& arguments,
                                                           const std::filesystem::path& working_dir,
                                                           const domain::CancellationToken& token) const;
    // Reads one answer of a start or report; records the values of every answer not pending.
    DeployResponse classify(const cli::CliJsonResult& answer, const RequestedComponents& requested);

    // Secrets redacted, each run of CR/LF/TAB one space, trimmed, the first 2,000 characters.
    static std::string safe_text(std::string_view text);
    // The first non-blank of "problem", "error", "message", cleaned; else the fixed sentence.
    static std::string component_message(const json::Value& failure);
    // The first non-blank of the envelope's "message", "result" → "errorMessage", "result" → "message".
    static std::optional<std::string> response_message(const json::Value& envelope);
    // "Apex test failures: {}" of the test failure lines of a "result", cleaned.
    static std::optional<std::string> test_failure_detail(const json::Value& result);
    // "{name}: {message}", or the message alone.
    static std::string coverage_detail(std::string_view name, std::string_view message);

    const DeployOptions& options() const noexcept { return options_; }

private:
    void record(const json::Value& result);

    DeployOptions options_;
    std::shared_ptr<const cli::SfCliGateway> gateway_;
    mutable std::mutex tests_mutex_;  // guards recorded_test_totals_
    std::optional<std::pair<std::uint32_t, std::uint32_t>> recorded_test_totals_;
    mutable std::mutex failure_mutex_;  // guards recorded_failure_text_
    std::optional<std::string> recorded_failure_text_;
    mutable std::mutex count_mutex_;  // guards recorded_component_count_
    std::optional<std::uint64_t> recorded_component_count_;
};

// A JSON string gives its text, a boolean "true"/"false", a number its exact decimal text; null,
// arrays and objects give empty text.
std::string as_text(const json::Value& value);
// The present parts trimmed, blanks dropped, joined by one space; the fallback when none is left.
std::string join_details(std::string_view fallback, const std::vector<std::optional<std::string>>& parts);
// 15 or 18 ASCII letters and digits: the only job ids that reach a command line.
bool is_job_id(std::string_view text) noexcept;

Arguments start_args(const std::string& source_dir, const std::string& target_org, const DeployOptions& options);
Arguments report_args(const std::string& job_id, const std::string& target_org);
Arguments quick_args(const std::string& job_id, const std::string& target_org);
// The full name a quick deploy row's file name stands for, when exactly one candidate fits.
std::optional<std::string> full_name_from_file_name(std::string_view type_name, std::string_view file_name);

}  // namespace ambrel::deployment::deploy_gateway
