#pragma once

// What every dependency expansion addition shares: the type lookup that tests may replace, the
// collector that adds a key unless the working selection already holds it, the member-name test,
// and adding an object together with its definition. Never reads files or runs commands.
//
// Thread-safety: a KeyCollector belongs to one call; the free functions are pure.

#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "app/compare_selection.hpp"
#include "domain/component_key.hpp"
#include "metadata_types/metadata_type.hpp"

namespace ambrel::app {

// Finds a metadata type by its wire id. The additions take one so that tests can make a type
// unknown; every caller outside tests passes metadata_types::metadata_type_by_wire_id.
using TypeLookup = std::optional<metadata_types::MetadataType> (*)(std::string_view wire_id);

// The ending of every warning about a referenced name that cannot become a selection member.
inline constexpr std::string_view kNotFollowedEnding = "is not a valid member name; it was not followed.";

// The name may become a selection member (metadata::retrieve::OBJECT_API_NAME matches it whole).
bool is_member_name(std::string_view name);

// Collects the keys of one addition in key order, dropping keys the working selection holds: the
// same type (generic index included) and the same name, byte for byte.
// Borrows the selection, which must outlive the collector.
class KeyCollector {
public:
    explicit KeyCollector(const CompareSelection& selection) noexcept : selection_(selection) {}
    // A temporary selection would be gone before the first lookup.
    explicit KeyCollector(CompareSelection&&) = delete;

    // Inserts (type, name) unless it is known; a repeat changes nothing.
    void add(metadata_types::MetadataType type, std::string_view name);
    // (CustomField, object), and (T, object) when dependency::object_definition_type gives T.
    void add_object_with_definition(std::string_view object);
    // The collected keys in ComponentKey order.
    std::vector<domain::ComponentKey> take() &&;

private:
    bool is_known(const domain::ComponentKey& key) const;

    const CompareSelection& selection_;
    std::set<domain::ComponentKey> keys_;
};

}  // namespace ambrel::app
