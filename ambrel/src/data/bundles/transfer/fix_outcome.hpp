#pragma once

// What the automatic fix of the target health check deleted and what the target refused. Plain data.

#include <cstdint>
#include <map>
#include <string>

namespace ambrel::data::bundles::transfer {

struct FixOutcome {
    // Object name to the records the target reported as deleted.
    std::map<std::string, std::uint64_t> deleted;
    // Record id to the reason; a later reason for the same id replaces an earlier one.
    std::map<std::string, std::string> refused;

    bool operator==(const FixOutcome&) const = default;
};

}  // namespace ambrel::data::bundles::transfer
