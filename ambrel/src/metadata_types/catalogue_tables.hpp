#pragma once

// The catalogue's two tables, shared by the catalogue's own sources only.

#include <span>

#include "metadata_types/type_descriptor.hpp"

namespace ambrel::metadata_types::detail {

// One row per fixed kind, in kind order (13 rows).
std::span<const TypeDescriptor> fixed_descriptors() noexcept;
// The generic table, sorted by API name in byte order (151 rows).
std::span<const TypeDescriptor> generic_descriptors() noexcept;

}  // namespace ambrel::metadata_types::detail
