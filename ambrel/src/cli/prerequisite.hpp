#pragma once

// The probe that runs before the org list is loaded: the CLI must start and answer its version
// command with a dotted version number, so that a missing or broken CLI is reported as a prerequisite
// problem with a clear sentence rather than as a failed org query.

#include <chrono>
#include <expected>
#include <string_view>

#include "cli/catalog_error.hpp"
#include "domain/cancellation.hpp"

namespace ambrel::cli {

class SfCliGateway;

namespace prerequisite {

// True when the text holds a version number: at least two dot-separated runs of digits.
bool contains_version_number(std::string_view text);

}  // namespace prerequisite

class SfCliPrerequisiteChecker {
public:
    // Borrows the gateway, which must outlive the checker.
    SfCliPrerequisiteChecker(const SfCliGateway& gateway, std::chrono::milliseconds timeout)
        : gateway_(&gateway), timeout_(timeout) {}

    // Runs "sf version". A cancelled run stays the cancelled CliError (wrapped); every other failure
    // is a CatalogError::Prerequisite with one of the sentences "Salesforce CLI could not be started
    // or did not return a valid version response." (with the CLI failure as cause), "Salesforce CLI
    // version check failed (exit code {}, status {}, timed out: {})." and "Salesforce CLI returned an
    // incompatible version response without cliVersion or version.".
    std::expected<void, CatalogError> check(const domain::CancellationToken& token) const;

    const SfCliGateway& gateway() const noexcept { return *gateway_; }
    std::chrono::milliseconds timeout() const noexcept { return timeout_; }

private:
    const SfCliGateway* gateway_;
    std::chrono::milliseconds timeout_;
};

}  // namespace ambrel::cli
