#pragma once

// What applying the preparation did for one object on one side. Plain data.

#include <cstdint>
#include <optional>
#include <string>

namespace ambrel::data::preparation {

enum class PreparationStatus : std::uint8_t {
    Succeeded,  // "succeeded"
    Skipped,    // "skipped"
    Failed,     // "failed"
};

struct PreparationOutcome {
    PreparationStatus status = PreparationStatus::Skipped;
    std::uint32_t records_keyed = 0;
    std::optional<std::string> message;

    bool operator==(const PreparationOutcome&) const = default;
};

}  // namespace ambrel::data::preparation
