#pragma once

// What the product bundle record transfer reports for one record row. Plain data.

#include <string>

namespace ambrel::deployment {

struct RecordRowOutcome {
    // The record row's name.
    std::string name;
    std::string message;
    bool success = false;

    bool operator==(const RecordRowOutcome&) const = default;
};

}  // namespace ambrel::deployment
