#pragma once

// Whether the record-data objects of two orgs carry usable external keys: the state value (in this
// order) and the decision over the two orgs' external-key listings. The decision only reads; it
// never talks to an org, never fails and may run on any thread.

#include <cstdint>

#include "cli/schema_catalog.hpp"

namespace ambrel::data::key_readiness {

enum class ExternalKeysState : std::uint8_t {
    Checking,     // "checking"
    Present,      // "present"
    Missing,      // "missing"
    Unavailable,  // "unavailable"
};

// Present when every external-id-capable registry object that both orgs have carries keys on both
// sides: QuillaryExternalId__c on both, or an external-id field name the two share exactly. The first
// object that lacks them (the own field on one side only, or no shared name) gives Missing; objects
// that one org lacks are ignored.
ExternalKeysState external_keys_state(const cli::ExternalKeyListing& source, const cli::ExternalKeyListing& target);

}  // namespace ambrel::data::key_readiness
