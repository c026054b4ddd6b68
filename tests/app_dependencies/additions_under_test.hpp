#pragma once

// Helpers shared by the tests of the dependency expansion additions: documents in the Metadata API
// namespace, components, selections, keys by wire id, and type lookups that forget one type.

#include <initializer_list>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "app/compare_selection.hpp"
#include "domain/component.hpp"
#include "domain/component_key.hpp"
#include "metadata_types/metadata_type.hpp"

namespace ambrel::domain {

// Readable keys in assertion messages.
inline void PrintTo(const ComponentKey& key, std::ostream* out) {
    *out << "(" << key.metadata_type.wire_id() << ", " << key.name << ")";
}

}  // namespace ambrel::domain

namespace ambrel::app::testing {

using domain::ComponentKey;
using domain::MetadataComponent;
using metadata_types::MetadataType;
using Keys = std::vector<ComponentKey>;

inline constexpr std::string_view kMetadataNs = "http://soap.sforce.com/2006/04/metadata";

// The XML declaration and `root` in the Metadata API namespace around `body`.
inline std::string document(std::string_view root, std::string_view body) {
    return fmt::format("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<{0} xmlns=\"{1}\">{2}</{0}>\n", root, kMetadataNs,
                       body);
}

// A type the catalogue must know; a missing one fails the test that asked.
inline MetadataType type_of(std::string_view wire_id) {
    const auto type = metadata_types::metadata_type_by_wire_id(wire_id);
    EXPECT_TRUE(type.has_value()) << wire_id;
    return type.value_or(MetadataType::CustomField);
}

inline ComponentKey key(MetadataType type, std::string name) { return ComponentKey{type, std::move(name)}; }
inline ComponentKey key(std::string_view wire_id, std::string name) {
    return ComponentKey{type_of(wire_id), std::move(name)};
}

inline MetadataComponent component(MetadataType type, std::string name, std::string text) {
    MetadataComponent result;
    result.key = ComponentKey{type, std::move(name)};
    result.document = std::move(text);
    return result;
}

inline MetadataComponent component(std::string_view wire_id, std::string name, std::string text) {
    return component(type_of(wire_id), std::move(name), std::move(text));
}

// A selection holding exactly these keys.
inline CompareSelection selection_of(std::initializer_list<ComponentKey> keys) {
    CompareSelection selection;
    for (const ComponentKey& k : keys) selection[k.metadata_type].insert(k.name);
    return selection;
}

// The catalogue's lookup with one wire id made unknown; `Forgotten` names that wire id.
template <const std::string_view& Forgotten>
std::optional<MetadataType> lookup_without(std::string_view wire_id) {
    if (wire_id == Forgotten) return std::nullopt;
    return metadata_types::metadata_type_by_wire_id(wire_id);
}

}  // namespace ambrel::app::testing
