#pragma once

// What an inspection of two orgs found: one row per record-data object, in load order, with the key
// state and the records awaiting a key on each side. Plain data.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "data/preparation/key_state.hpp"

namespace ambrel::data::preparation {

// One row of the plan.
struct ObjectPreparation {
    KeyState source_state;
    std::optional<std::uint32_t> source_unkeyed;
    KeyState target_state;
    std::optional<std::uint32_t> target_unkeyed;
    std::string_view object_api_name;
    // The registry row's plural label, for example "Attribute Categories".
    std::string_view display_name;
    // 1 to 33.
    std::uint8_t load_order = 0;

    bool operator==(const ObjectPreparation&) const = default;
};

struct OrgPreparationPlan {
    std::string source_alias;
    std::string target_alias;
    // Exactly one per record-data object, in load order.
    std::vector<ObjectPreparation> objects;

    bool operator==(const OrgPreparationPlan&) const = default;
};

}  // namespace ambrel::data::preparation
