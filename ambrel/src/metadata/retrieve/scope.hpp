#pragma once

// Which side of a comparison one retrieve covers. Plain value; no behaviour.

#include <cstdint>

namespace ambrel::metadata::retrieve {

enum class RetrieveScope : std::uint8_t {
    // The source org into the workspace's source project; with a continuation only the members that
    // the continuation has not retrieved yet.
    Source = 0,
    // The target org into the workspace's target project; the selection narrowed to the object names
    // given.
    Target = 1,
};

}  // namespace ambrel::metadata::retrieve
