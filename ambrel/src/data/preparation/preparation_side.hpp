#pragma once

// One of the two orgs that preparation works on; Source orders before Target.

#include <cstdint>

namespace ambrel::data::preparation {

enum class PreparationSide : std::uint8_t {
    Source,
    Target,
};

}  // namespace ambrel::data::preparation
