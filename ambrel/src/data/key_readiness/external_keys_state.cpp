#include "data/key_readiness/external_keys_state.hpp"

#include "data/preparation/key_state.hpp"
#include "data/registry.hpp"

namespace ambrel::data::key_readiness {

ExternalKeysState external_keys_state(const cli::ExternalKeyListing& source, const cli::ExternalKeyListing& target) {
    for (const std::string& object : registry::external_id_objects()) {
        if (!source.knows_object(object) || !target.knows_object(object)) continue;
        const bool source_own = source.has_external_id(object, preparation::kOwnField);
        const bool target_own = target.has_external_id(object, preparation::kOwnField);
        if (source_own && target_own) continue;
        if (source_own != target_own) return ExternalKeysState::Missing;
        bool shared = false;
        const std::set<std::string>& source_keys = source.external_ids_of(object);
        for (const std::string& field : target.external_ids_of(object)) {
            if (source_keys.contains(field)) {
                shared = true;
                break;
            }
        }
        if (!shared) return ExternalKeysState::Missing;
    }
    return ExternalKeysState::Present;
}

}  // namespace ambrel::data::key_readiness
