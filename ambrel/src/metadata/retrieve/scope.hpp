#pragma once

// Which side of a comparison one retrieve call fetches: the source org into the workspace's source
// project, or the target org into its target project. A plain value.

#include <cstdint>

namespace ambrel::metadata::retrieve {

enum class RetrieveScope : std::uint8_t {
    Source = 0,
    Target = 1,
};

}  // namespace ambrel::metadata::retrieve
