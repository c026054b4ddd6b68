#pragma once

// What one finished Salesforce CLI run hands back to its caller.

#include <cstdint>
#include <string>

#include "json/json.hpp"

namespace ambrel::cli {

// The parsed answer of one run with JSON output. Whether it is a success is the caller's judgement.
struct CliJsonResult {
    // The document parsed from the raw standard output: the unredacted answer, for the caller's
    // reading only (never logged or put into a message as a whole).
    json::Value json;
    // Standard output and standard error with secrets redacted.
    std::string stdout_text;
    std::string stderr_text;
    // As the runner reported it; -1 for a signal.
    std::int32_t exit_code = 0;
    bool timed_out = false;

    friend bool operator==(const CliJsonResult&, const CliJsonResult&) = default;
};

// The answer of one run in raw-output mode (a command whose output is not a JSON envelope, such as a
// REST request with its status line and headers).
struct CliRawOutput {
    // The unredacted standard output, for the caller's parsing only (never logged or shown whole).
    std::string raw_stdout;
    // Standard output and standard error with secrets redacted: what may reach messages.
    std::string stdout_text;
    std::string stderr_text;
    std::int32_t exit_code = 0;
    bool timed_out = false;

    friend bool operator==(const CliRawOutput&, const CliRawOutput&) = default;
};

}  // namespace ambrel::cli
