#include "domain/component_key_json.hpp"

#include <string>

#include <boost/json/object.hpp>

namespace ambrel::domain {

boost::json::value to_json(const ComponentKey& key) {
    boost::json::object object;
    object.emplace("metadataType", key.metadata_type.wire_id());
    object.emplace("name", key.name);
    return object;
}

std::optional<ComponentKey> component_key_from_json(const boost::json::value& value) {
    const boost::json::object* object = value.if_object();
    if (!object) return std::nullopt;
    const boost::json::value* type_id = object->if_contains("metadataType");
    const boost::json::value* name = object->if_contains("name");
    if (!type_id || !type_id->is_string() || !name || !name->is_string()) return std::nullopt;
    const auto type = metadata_types::MetadataType::from_wire_id(type_id->get_string());
    if (!type) return std::nullopt;
    return ComponentKey{*type, std::string(name->get_string())};
}

}  // namespace ambrel::domain
