#pragma once

// What an inspection of two orgs found: one row per record-data object, in load order, with the key
// state and the records awaiting a key on each side. Plain data.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "data/preparation/key_state.hpp"
#include "data/preparation/preparation_side.hpp"

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

    // The rows, in plan order, keyable on both sides whose state on `side` is FieldMissing.
    std::vector<std::string_view> fields_to_deploy(PreparationSide side) const;
    // The rows, in plan order, whose count on `side` was taken and is above zero.
    std::vector<std::string_view> objects_to_fill(PreparationSide side) const;
    // Some field to create or some record to key on either side.
    bool has_work() const;
    // One sentence: "{} external ID field(s) to create, {} record(s) to key." (or "… created, … keyed."
    // when applied), "Revenue Cloud objects were not found in these orgs. There is nothing to
    // prepare." or "Both orgs are already prepared. Nothing to change.".
    std::string summary(bool applied) const;

    bool operator==(const OrgPreparationPlan&) const = default;
};

}  // namespace ambrel::data::preparation
