#pragma once

// The outcome of one metadata deploy as the deploy gateway reduces the CLI's answers to it, and the
// reading of a single answer (still running, or finished). Plain data.

#include <optional>
#include <string>
#include <utility>
#include <variant>

#include "deployment/deploy_gateway/component_key.hpp"

namespace ambrel::deployment::deploy_gateway {

struct MetadataDeployResult {
    // The job ended successfully.
    struct Succeeded {
        // Trimmed; empty when the answer carried none.
        std::string job_id;
        bool run_tests_enabled = false;
        friend bool operator==(const Succeeded&, const Succeeded&) = default;
    };
    // Component failures of which at least one was tied to exactly one requested component.
    struct ComponentFailures {
        KeyedFailures failures;
        // The overall text of all failures.
        std::string message;
        // Some failure could not be tied to one requested component.
        bool has_unmatched = false;
        // Present when the job ended Failed or Canceled: the target rejected the package as a whole, so
        // no component deployed, whatever the failures name. The text says why (the failures, the
        // answer's own message, the Apex test failures and the code coverage, as far as given).
        std::optional<std::string> rejection;
        friend bool operator==(const ComponentFailures&, const ComponentFailures&) = default;
    };
    // The job ended unsuccessfully and no component failure was tied; `failures` holds only code
    // coverage messages tied to one requested Apex class or trigger.
    struct Failed {
        std::string message;
        KeyedFailures failures;
        friend bool operator==(const Failed&, const Failed&) = default;
    };
    // Nothing usable came back; the text is a complete user-facing message.
    struct Error {
        std::string message;
        friend bool operator==(const Error&, const Error&) = default;
    };

    std::variant<Succeeded, ComponentFailures, Failed, Error> value;

    friend bool operator==(const MetadataDeployResult&, const MetadataDeployResult&) = default;
};

// One answer read: the job still runs (its id), or it finished.
struct DeployResponse {
    struct Pending {
        std::string job_id;
        friend bool operator==(const Pending&, const Pending&) = default;
    };
    std::variant<Pending, MetadataDeployResult> value;

    friend bool operator==(const DeployResponse&, const DeployResponse&) = default;
};

}  // namespace ambrel::deployment::deploy_gateway
