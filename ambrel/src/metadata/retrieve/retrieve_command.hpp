#pragma once

// One run of the CLI's project retrieve command for one side, and the judgement of its answer that
// the metadata and the permission retrieves share.
//
// The command is exactly "project retrieve start --manifest {project}/manifest/package.xml
// --target-org {alias} --json" (the manifest path absolute and normalised, the alias one argument as
// given), run in the project folder with the side's time-out and token. Of the CLI's answer only the
// top-level "status", the error envelope's "name" and "message", and "result.status",
// "result.success", "result.errorMessage" and "result.messages[].problem" are read. Every text taken
// from the answer is sanitized (secrets redacted), its control characters become spaces and it is cut
// to 2,048 characters before it reaches an error.
//
// The run keeps no state and shares only the gateway, which is safe for concurrent use; the token may
// be set from another thread at any time. Failures are `MetadataRetrieveError` values
// (retrieve_error.hpp).

#include <chrono>
#include <expected>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "cli/cli_error.hpp"
#include "cli/cli_result.hpp"
#include "cli/gateway.hpp"
#include "domain/cancellation.hpp"
#include "json/json.hpp"
#include "metadata/retrieve/retrieve_error.hpp"

namespace ambrel::metadata::retrieve {

inline constexpr std::string_view kMalformedOrMissingJson = "malformed or missing JSON";
inline constexpr std::string_view kStatusMissing = "top-level integer status is missing";
inline constexpr std::string_view kRetrieveDidNotSucceed = "the retrieve did not succeed";
// The longest text taken from the CLI into an error (the gateway's detail limit).
inline constexpr std::size_t kMaxCliTextChars = 2048;
// The retrieve states ("result.status") that mean the org's retrieve did not finish successfully.
inline constexpr std::string_view kUnsuccessfulRetrieveStates[] = {"Failed", "Canceled", "Pending", "InProgress"};

// "{project}/manifest/package.xml", absolute and normalised.
std::filesystem::path manifest_path_of(const std::filesystem::path& project);

// The eight arguments of the command (the gateway puts the executable in front).
std::vector<std::string> retrieve_arguments(const std::filesystem::path& manifest_path, std::string_view alias);

// A text from the CLI made fit for an error: secrets redacted, control characters as spaces, cut to
// 2,048 characters.
std::string clean_cli_text(std::string_view text);

// Steps shared by both retrieves: cancellation, a process that did not run, output without JSON, the
// top-level status, the exit code and the time-out, then the org's own verdict ("result.success"
// false, or "result.status" "Failed", "Canceled", "Pending" or "InProgress", which the CLI reports
// with status 0). Success means the run may be judged by its output.
std::expected<void, MetadataRetrieveError> judge_retrieve_run(std::string_view alias,
                                                              const std::expected<cli::CliJsonResult, cli::CliError>& outcome);

// The problem texts under "/result/messages" (one object or an array), cleaned, in the CLI's order,
// duplicates kept; elements without a non-empty text "problem" are skipped.
std::vector<std::string> retrieve_problems(const json::Value& answer);

// Runs the command for one side. Its manifest must exist already. When `output_required`, a successful
// run must also have left at least one entry in the real directory "force-app/main/default" of the
// project (a link does not count), else `NoOutput` with the retrieve's problems.
std::expected<void, MetadataRetrieveError> retrieve_one(const cli::SfCliGateway& gateway, std::string_view alias,
                                                        const std::filesystem::path& project,
                                                        std::chrono::milliseconds timeout,
                                                        const domain::CancellationToken& token, bool output_required);

// Runs the command (no judgement): the gateway's outcome.
std::expected<cli::CliJsonResult, cli::CliError> run_retrieve_command(const cli::SfCliGateway& gateway,
                                                                      std::string_view alias,
                                                                      const std::filesystem::path& project,
                                                                      std::chrono::milliseconds timeout,
                                                                      const domain::CancellationToken& token);

}  // namespace ambrel::metadata::retrieve
