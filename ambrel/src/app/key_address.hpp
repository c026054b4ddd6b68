#pragma once

// Hashing and equality of row keys held by address, for lookup tables that live while the rows (or
// edges) owning the keys stay in place: a lookup by a temporary key then needs no copy of it. Never
// owns or copies a key.
//
// Thread-safety: stateless.

#include <cstddef>
#include <functional>

#include "domain/component_key.hpp"

namespace ambrel::app {

struct KeyAddressHash {
    std::size_t operator()(const domain::ComponentKey* key) const noexcept {
        return std::hash<domain::ComponentKey>{}(*key);
    }
};

struct KeyAddressEqual {
    bool operator()(const domain::ComponentKey* a, const domain::ComponentKey* b) const noexcept { return *a == *b; }
};

}  // namespace ambrel::app
