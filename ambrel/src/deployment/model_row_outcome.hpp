#pragma once

// What the constraint model transfer reports for one model. Plain data.

#include <string>

namespace ambrel::deployment {

struct ModelRowOutcome {
    // The model name.
    std::string name;
    std::string message;
    bool success = false;

    bool operator==(const ModelRowOutcome&) const = default;
};

}  // namespace ambrel::deployment
