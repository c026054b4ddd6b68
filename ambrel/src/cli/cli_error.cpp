#include "cli/cli_error.hpp"

#include <fmt/format.h>

namespace ambrel::cli {

CliError CliError::could_not_start(std::error_code error) {
    return Process{fmt::format("Could not start Salesforce CLI process: {}", error.message()), error};
}

CliError CliError::from_process(const process::ProcessError& error) {
    using Kind = process::ProcessError::Kind;
    switch (error.kind) {
        case Kind::CancelledBeforeStart:
            return cancelled(kProcessCancelledBeforeStart);
        case Kind::Cancelled:
            return cancelled(kProcessCancelled);
        case Kind::StartFailed:
            return could_not_start(error.error);
        case Kind::ReadFailed:
            return process(kCouldNotReadProcessOutput, error.error);
    }
    return could_not_start(error.error);
}

std::string CliError::message() const {
    struct Visitor {
        std::string operator()(const Cancelled& value) const { return value.message; }
        std::string operator()(const Process& value) const { return value.message; }
        std::string operator()(const NoJson& value) const {
            return fmt::format("Salesforce CLI returned no JSON (exit code {}, timed out: {})",
                               value.exit_code, value.timed_out);
        }
        std::string operator()(const MalformedJson& value) const {
            return fmt::format("Salesforce CLI returned malformed JSON (exit code {}, timed out: {})",
                               value.exit_code, value.timed_out);
        }
    };
    return std::visit(Visitor{}, variant_);
}

}  // namespace ambrel::cli
