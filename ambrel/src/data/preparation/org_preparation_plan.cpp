#include "data/preparation/org_preparation_plan.hpp"

#include <fmt/format.h>

#include "data/registry.hpp"

namespace ambrel::data::preparation {
namespace {

const KeyState& state_on(const ObjectPreparation& row, PreparationSide side) {
    return side == PreparationSide::Source ? row.source_state : row.target_state;
}

const std::optional<std::uint32_t>& count_on(const ObjectPreparation& row, PreparationSide side) {
    return side == PreparationSide::Source ? row.source_unkeyed : row.target_unkeyed;
}

}  // namespace

std::vector<std::string_view> OrgPreparationPlan::fields_to_deploy(PreparationSide side) const {
    std::vector<std::string_view> names;
    for (const auto& row : objects) {
        if (row.source_state.is_keyable() && row.target_state.is_keyable() &&
            std::holds_alternative<KeyState::FieldMissing>(state_on(row, side).value)) {
            names.push_back(row.object_api_name);
        }
    }
    return names;
}

std::vector<std::string_view> OrgPreparationPlan::objects_to_fill(PreparationSide side) const {
    std::vector<std::string_view> names;
    for (const auto& row : objects) {
        const auto& count = count_on(row, side);
        if (count && *count > 0) names.push_back(row.object_api_name);
    }
    return names;
}

bool OrgPreparationPlan::has_work() const {
    return !fields_to_deploy(PreparationSide::Source).empty() || !objects_to_fill(PreparationSide::Source).empty() ||
           !fields_to_deploy(PreparationSide::Target).empty() || !objects_to_fill(PreparationSide::Target).empty();
}

std::string OrgPreparationPlan::summary(bool applied) const {
    if (has_work()) {
        const std::size_t fields =
            fields_to_deploy(PreparationSide::Source).size() + fields_to_deploy(PreparationSide::Target).size();
        // A 32-bit sum, as the counts are.
        std::uint32_t records = 0;
        for (const auto& row : objects) {
            records += row.source_unkeyed.value_or(0);
            records += row.target_unkeyed.value_or(0);
        }
        return applied ? fmt::format("{} external ID field(s) created, {} record(s) keyed.", fields, records)
                       : fmt::format("{} external ID field(s) to create, {} record(s) to key.", fields, records);
    }
    std::size_t absent = 0;
    for (const auto& row : objects) {
        if (std::holds_alternative<KeyState::ObjectAbsent>(row.source_state.value) ||
            std::holds_alternative<KeyState::ObjectAbsent>(row.target_state.value)) {
            ++absent;
        }
    }
    if (absent == registry::kDataObjectCount) {
        return "Revenue Cloud objects were not found in these orgs. There is nothing to prepare.";
    }
    return "Both orgs are already prepared. Nothing to change.";
}

}  // namespace ambrel::data::preparation
