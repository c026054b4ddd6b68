#pragma once

// The class of a session's target org, decided when the session is assembled and read by the
// deploy-mode decisions. In this order.

#include <cstdint>

namespace ambrel::app {

enum class TargetOrgClass : std::uint8_t {
    NonProduction,  // a sandbox, a scratch org or a Developer Edition org
    Production,
    Unconfirmed,    // no org target, or the org description failed
};

}  // namespace ambrel::app
