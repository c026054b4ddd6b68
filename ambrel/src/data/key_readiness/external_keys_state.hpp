#pragma once

// Whether the record-data objects of two orgs carry usable external keys. Plain value, in this
// order.

#include <cstdint>

namespace ambrel::data::key_readiness {

enum class ExternalKeysState : std::uint8_t {
    Checking,     // "checking"
    Present,      // "present"
    Missing,      // "missing"
    Unavailable,  // "unavailable"
};

}  // namespace ambrel::data::key_readiness
