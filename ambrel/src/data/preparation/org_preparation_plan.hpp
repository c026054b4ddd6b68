#pragma once

// What an inspection of two orgs found: one row per record-data object, in load order, with the key
// state and the records awaiting a key on each side; and what follows from it: the objects whose own
// field is to be created or whose records are to be keyed, whether there is any work, and the one-line
// summary ("{} external ID field(s) to create, {} record(s) to key.", "{} external ID field(s)
// created, {} record(s) keyed.", "Revenue Cloud objects were not found in these orgs. There is nothing
// to prepare." or "Both orgs are already prepared. Nothing to change."). Plain data; any thread.

#include <cstdint>
#include <map>
#include <span>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "data/preparation/key_decision.hpp"
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

// Records awaiting a key, by (object API name, side); exists only during an inspection.
using CountsMap = std::map<std::pair<std::string, PreparationSide>, std::uint32_t>;

struct OrgPreparationPlan {
    std::string source_alias;
    std::string target_alias;
    // Exactly one per record-data object, in load order.
    std::vector<ObjectPreparation> objects;

    // One row per decision, in order, with the registry row's labels; counts only for rows keyable on
    // both sides. A decision naming no registry object is a programming error.
    static OrgPreparationPlan assemble(std::string source_alias, std::string target_alias,
                                       std::span<const ObjectKeyDecision> decisions, const CountsMap& counts);

    // Rows keyable on both sides whose state on `side` is FieldMissing, in plan order.
    std::vector<std::string> fields_to_deploy(PreparationSide side) const;
    // Rows whose count on `side` is present and above zero, in plan order.
    std::vector<std::string> objects_to_fill(PreparationSide side) const;
    bool has_work() const;
    // The summary line; the past-tense form when `applied`.
    std::string summary(bool applied) const;

    bool operator==(const OrgPreparationPlan&) const = default;
};

}  // namespace ambrel::data::preparation
