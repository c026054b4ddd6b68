#pragma once

// The failure of one Salesforce CLI run, made by the process runner and the CLI gateway and wrapped
// by every catalogue. None of its texts ends with a period.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <system_error>
#include <variant>

#include "process/process_runner.hpp"

namespace ambrel::cli {

// The fixed sentences of the cancelled and process variants.
inline constexpr std::string_view kCommandCancelledBeforeStart =
    "Salesforce CLI command was cancelled before start";
inline constexpr std::string_view kCommandCancelled = "Salesforce CLI command was cancelled";
inline constexpr std::string_view kProcessCancelledBeforeStart =
    "Salesforce CLI process was cancelled before start";
inline constexpr std::string_view kProcessCancelled = "Salesforce CLI process was cancelled";
inline constexpr std::string_view kCouldNotReadProcessOutput =
    "Could not read Salesforce CLI process output";

class CliError {
public:
    // The run was stopped by cancellation (before the start or while it ran).
    struct Cancelled {
        std::string message;
        friend bool operator==(const Cancelled&, const Cancelled&) = default;
    };
    // The child could not be started, or its state or output could not be read.
    struct Process {
        std::string message;
        std::error_code error;
        friend bool operator==(const Process&, const Process&) = default;
    };
    // Standard output was blank. The texts are sanitized.
    struct NoJson {
        std::string stdout_text;
        std::string stderr_text;
        std::int32_t exit_code = 0;
        bool timed_out = false;
        friend bool operator==(const NoJson&, const NoJson&) = default;
    };
    // Standard output was not one JSON document; line and column are where reading stopped (1-based).
    struct MalformedJson {
        std::size_t line = 1;
        std::size_t column = 1;
        std::string stdout_text;
        std::string stderr_text;
        std::int32_t exit_code = 0;
        bool timed_out = false;
        friend bool operator==(const MalformedJson&, const MalformedJson&) = default;
    };
    using Variant = std::variant<Cancelled, Process, NoJson, MalformedJson>;

    CliError(Cancelled value) : variant_(std::move(value)) {}
    CliError(Process value) : variant_(std::move(value)) {}
    CliError(NoJson value) : variant_(std::move(value)) {}
    CliError(MalformedJson value) : variant_(std::move(value)) {}

    static CliError cancelled(std::string_view message) { return Cancelled{std::string(message)}; }
    static CliError process(std::string_view message, std::error_code error) {
        return Process{std::string(message), error};
    }
    // "Could not start Salesforce CLI process: {}" with the operating system's text of the error.
    static CliError could_not_start(std::error_code error);
    // The runner's failure in the CLI's own sentences: "Salesforce CLI process was cancelled before
    // start", "Salesforce CLI process was cancelled", "Could not start Salesforce CLI process: {}" or
    // "Could not read Salesforce CLI process output".
    static CliError from_process(const process::ProcessError& error);

    bool is_cancelled() const noexcept { return std::holds_alternative<Cancelled>(variant_); }
    const Variant& variant() const noexcept { return variant_; }
    template <class T>
    const T* get_if() const noexcept {
        return std::get_if<T>(&variant_);
    }

    // The display text.
    std::string message() const;

    friend bool operator==(const CliError&, const CliError&) = default;

private:
    Variant variant_;
};

}  // namespace ambrel::cli
