#pragma once

// The error of every metadata retrieve (`MetadataRetrieveError`) and the failure value that a
// retrieve service returns (`RetrieveFailure`: the error and what went wrong while the workspace was
// closed after it). Display texts:
//   Cancelled:     "Salesforce metadata retrieve was cancelled"
//   Failed:        "Salesforce metadata retrieve failed for alias '{}' (exit code {}, CLI status {},
//                  timed out: {})", followed by ": {detail}" when the run left a detail (the CLI's
//                  "{name}: {message}", the retrieve's own error message, or "malformed or missing
//                  JSON"); the status reads Some(n) or None
//   InvalidResponse: "Invalid Salesforce retrieve response for alias '{}': {}"
//   NoOutput:      "Salesforce metadata retrieve for alias '{}' produced no metadata output{}" with the
//                  problems suffix "; Salesforce reported: {}" (unique problems, at most ten, then
//                  " (and {} more)")
//   Workspace:     "Could not prepare the temporary Salesforce metadata workspace"
//   CouldNotRun:   "Could not run Salesforce metadata retrieve for alias '{}'"
//   InvalidPermissionMetadata: "Invalid Salesforce permission metadata for alias '{}', component {} '{}': {}"
//   InvalidInput:  the message alone
// The standard output and error texts, the CouldNotRun detail, the output path and the workspace
// error are kept for diagnostics and never shown. Plain values.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "domain/fls.hpp"
#include "metadata/workspace/workspace.hpp"

namespace ambrel::metadata::retrieve {

inline constexpr std::size_t kMaxShownProblems = 10;

class MetadataRetrieveError {
public:
    struct Cancelled {
        friend bool operator==(const Cancelled&, const Cancelled&) = default;
    };
    struct Failed {
        std::optional<std::int64_t> status;
        std::string alias;
        std::string stdout_text;
        std::string stderr_text;
        std::optional<std::string> detail;
        std::int32_t exit_code = 0;
        bool timed_out = false;
        friend bool operator==(const Failed&, const Failed&) = default;
    };
    struct InvalidResponse {
        std::string alias;
        std::string detail;
        friend bool operator==(const InvalidResponse&, const InvalidResponse&) = default;
    };
    struct NoOutput {
        std::string alias;
        std::filesystem::path output_path;
        std::vector<std::string> problems;
        friend bool operator==(const NoOutput&, const NoOutput&) = default;
    };
    struct Workspace {
        workspace::WorkspaceError error;
        friend bool operator==(const Workspace&, const Workspace&) = default;
    };
    struct CouldNotRun {
        std::string alias;
        std::string detail;
        friend bool operator==(const CouldNotRun&, const CouldNotRun&) = default;
    };
    struct InvalidPermissionMetadata {
        std::string alias;
        std::string full_name;
        std::string reason;
        domain::FlsContainerKind kind = domain::FlsContainerKind::PermissionSet;
        friend bool operator==(const InvalidPermissionMetadata&, const InvalidPermissionMetadata&) = default;
    };
    struct InvalidInput {
        std::string message;
        friend bool operator==(const InvalidInput&, const InvalidInput&) = default;
    };
    using Variant = std::variant<Cancelled, Failed, InvalidResponse, NoOutput, Workspace, CouldNotRun,
                                 InvalidPermissionMetadata, InvalidInput>;

    template <class T>
        requires std::is_constructible_v<Variant, T&&>
    MetadataRetrieveError(T&& value) : variant_(std::forward<T>(value)) {}

    static MetadataRetrieveError invalid_input(std::string_view message) {
        return InvalidInput{std::string(message)};
    }

    const Variant& variant() const noexcept { return variant_; }
    template <class T>
    const T* get_if() const noexcept {
        return std::get_if<T>(&variant_);
    }
    bool is_cancelled() const noexcept { return std::holds_alternative<Cancelled>(variant_); }

    std::string message() const;

    friend bool operator==(const MetadataRetrieveError&, const MetadataRetrieveError&) = default;

private:
    Variant variant_;
};

// "" without problems; otherwise "; Salesforce reported: {}" with the unique problems in the order of
// their first occurrence, the first ten joined by "; ", and " (and {} more)" for the rest.
std::string problems_suffix(const std::vector<std::string>& problems);

struct RetrieveFailure {
    MetadataRetrieveError error;
    std::vector<workspace::WorkspaceError> cleanup_errors;

    // The error's display text; the cleanup errors never change it.
    std::string message() const { return error.message(); }

    friend bool operator==(const RetrieveFailure&, const RetrieveFailure&) = default;
};

}  // namespace ambrel::metadata::retrieve
