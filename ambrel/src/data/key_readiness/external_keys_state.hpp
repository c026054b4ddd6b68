#pragma once

// Whether the record-data objects of two orgs carry usable external keys: the state value (in this
// order) and the readiness decision over the external-id field listings of both orgs. Pure; any
// thread.

#include <cstdint>

#include "cli/schema_catalog.hpp"

namespace ambrel::data::key_readiness {

enum class ExternalKeysState : std::uint8_t {
    Checking,     // "checking"
    Present,      // "present"
    Missing,      // "missing"
    Unavailable,  // "unavailable"
};

// Present when every registry object that can carry the external-id field and that both orgs have
// carries usable keys on both sides: the own field in both, or an external-id field name (any, compared
// exactly) that both share while neither has the own field. The first object that lacks keys gives
// Missing; objects of the composite-key registry rows and objects one org lacks are ignored.
ExternalKeysState external_keys_state(const cli::ExternalKeyListing& source, const cli::ExternalKeyListing& target);

}  // namespace ambrel::data::key_readiness
