#include "domain/component_key.hpp"

#include <string_view>

#include "metadata_types/name_rules.hpp"

namespace ambrel::domain {

namespace {

std::size_t mix(std::size_t seed, std::size_t value) noexcept {
    return seed ^ (value + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2));
}

}  // namespace

FieldKey ComponentKey::to_field_key() const {
    const auto parts = metadata_types::split_once_dot(name);
    if (!parts) return FieldKey{};
    return FieldKey{std::string(parts->first), std::string(parts->second)};
}

}  // namespace ambrel::domain

std::size_t std::hash<ambrel::domain::ComponentKey>::operator()(
    const ambrel::domain::ComponentKey& key) const noexcept {
    return ambrel::domain::mix(std::hash<ambrel::metadata_types::MetadataType>{}(key.metadata_type),
                               std::hash<std::string_view>{}(key.name));
}

std::size_t std::hash<ambrel::domain::FieldKey>::operator()(
    const ambrel::domain::FieldKey& key) const noexcept {
    return ambrel::domain::mix(std::hash<std::string_view>{}(key.object_api_name),
                               std::hash<std::string_view>{}(key.field_api_name));
}
