#pragma once

// The wire form of a component key: {"metadataType": the type's wire id, "name": the name}.

#include <optional>

#include <boost/json/value.hpp>

#include "domain/component_key.hpp"

namespace ambrel::domain {

// {"metadataType": wire id, "name": name}, members in this order.
boost::json::value to_json(const ComponentKey& key);

// The key of an object whose "metadataType" is a known wire id and whose "name" is a string; other
// members are ignored. None for anything else.
std::optional<ComponentKey> component_key_from_json(const boost::json::value& value);

}  // namespace ambrel::domain
