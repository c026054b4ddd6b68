#pragma once

// The record-data object registry: the Revenue Cloud objects whose records the system compares and
// transfers. Each row is also a metadata type of its own (MetadataType::DataRecord by row index).

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace ambrel::data::registry {

// How the records of an object are identified.
struct KeyStrategy {
    // An optional natural key field name ("Code" where there is one).
    struct Natural {
        std::optional<std::string_view> key_field;
    };
    // Field names whose values together identify a record (never empty). Such objects cannot carry
    // the external-ID field.
    struct Composite {
        std::span<const std::string_view> fields;
    };

    std::variant<Natural, Composite> value;

    bool is_composite() const noexcept { return std::holds_alternative<Composite>(value); }
    // The composite fields in key order; empty for a natural key.
    std::span<const std::string_view> composite_fields() const noexcept;
    // The composite fields joined by " + ", as shown to the user; empty for a natural key.
    std::string composite_label() const;
};

struct DataObjectDescriptor {
    KeyStrategy key;
    std::string_view api_name;
    std::string_view plural_label;
    std::string_view singular_label;
    std::span<const std::string_view> deferred_reference_fields;
    std::span<const std::string_view> excluded_fields;
    // Set on exactly the rows with a natural key.
    bool customizable;
    // 0 catalogue and attributes, 1 pricing, cost books and adjustments, 2 rate cards, 3 legal
    // entities and tax, 4 usage resources.
    std::uint8_t family;
    // Position 1 to 33 in the order in which objects are inspected and prepared.
    std::uint8_t load_order;
};

inline constexpr std::size_t kDataObjectCount = 33;

// The rows, sorted by API name in byte order; a record-data type's index is a row's position.
extern const std::array<DataObjectDescriptor, kDataObjectCount> DATA_OBJECTS;

// The row whose API name equals the text byte for byte; none otherwise.
std::optional<std::size_t> data_object_index(std::string_view api_name) noexcept;

// All rows, sorted by load order (never null).
std::vector<const DataObjectDescriptor*> data_objects_in_load_order();

// API names of the rows with a natural key: the objects that can carry the external-ID field.
std::set<std::string> external_id_objects();

}  // namespace ambrel::data::registry
