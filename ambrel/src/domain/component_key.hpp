#pragma once

// The identity of a component (its metadata type and full name) and the identity of a custom
// field. Every ordered collection of keys in the system follows the order defined here.

#include <compare>
#include <cstddef>
#include <functional>
#include <string>

#include "metadata_types/metadata_type.hpp"

namespace ambrel::domain {

// A custom field's object and field API names; ordered by object, then field, byte-wise.
struct FieldKey {
    std::string object_api_name;
    std::string field_api_name;

    auto operator<=>(const FieldKey&) const = default;
};

// The identity of a component. Name forms: the plain full name; "{object}.{child}" for custom
// fields and object children; "{container}.{child}" for rows inside a container document;
// "{layout}::field:{name}" or "{layout}::relatedList:{name}" for page-layout element rows.
struct ComponentKey {
    metadata_types::MetadataType metadata_type = metadata_types::MetadataType::CustomField;
    std::string name;

    // The name split at its first "." into object and field; two empty texts without a ".".
    FieldKey to_field_key() const;

    // Equal when type (and index) and name bytes are equal. Ordered by type (kind order, then
    // index), then by name byte-wise, a prefix before the longer name.
    auto operator<=>(const ComponentKey&) const = default;
};

}  // namespace ambrel::domain

template <>
struct std::hash<ambrel::domain::ComponentKey> {
    std::size_t operator()(const ambrel::domain::ComponentKey& key) const noexcept;
};

template <>
struct std::hash<ambrel::domain::FieldKey> {
    std::size_t operator()(const ambrel::domain::FieldKey& key) const noexcept;
};
