#pragma once

// The texts of a deploy's details that belong to no single row. Plain data.

#include <string>
#include <vector>

namespace ambrel::deployment {

struct DetailNotes {
    // Put ahead of the row lines.
    std::vector<std::string> leading_notes;
    // Put after the row lines.
    std::vector<std::string> trailing_notes;

    bool operator==(const DetailNotes&) const = default;
};

}  // namespace ambrel::deployment
