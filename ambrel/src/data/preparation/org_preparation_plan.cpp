#include "data/preparation/org_preparation_plan.hpp"

#include <algorithm>
#include <set>

#include <fmt/format.h>

#include "data/preparation/org_preparation_report.hpp"
#include "data/registry.hpp"
#include "support/programming_error.hpp"

namespace ambrel::data::preparation {

namespace {

constexpr std::string_view kPlanned = "{} external ID field(s) to create, {} record(s) to key.";
constexpr std::string_view kApplied = "{} external ID field(s) created, {} record(s) keyed.";
constexpr std::string_view kNothingFound =
    "Revenue Cloud objects were not found in these orgs. There is nothing to prepare.";
constexpr std::string_view kAlreadyPrepared = "Both orgs are already prepared. Nothing to change.";
constexpr std::string_view kAppliedWithFailures =
    "Preparation failed for {} object(s); {} record(s) keyed. See each object's message.";

bool both_keyable(const ObjectPreparation& row) { return is_keyable(row.source_state) && is_keyable(row.target_state); }

}  // namespace

OrgPreparationPlan OrgPreparationPlan::assemble(std::string source_alias, std::string target_alias,
                                                std::span<const ObjectKeyDecision> decisions, const CountsMap& counts) {
    OrgPreparationPlan plan{std::move(source_alias), std::move(target_alias), {}};
    plan.objects.reserve(decisions.size());
    auto count_of = [&](std::string_view object, PreparationSide side) -> std::optional<std::uint32_t> {
        const auto found = counts.find({std::string(object), side});
        if (found == counts.end()) return std::nullopt;
        return found->second;
    };
    for (const ObjectKeyDecision& decision : decisions) {
        const auto index = registry::data_object_index(decision.object);
        if (!index) throw support::ProgrammingError("a key decision names an object outside the registry");
        const registry::DataObjectDescriptor& row = registry::DATA_OBJECTS[*index];
        ObjectPreparation preparation{decision.source, std::nullopt,      decision.target, std::nullopt,
                                      row.api_name,    row.plural_label, row.load_order};
        if (both_keyable(preparation)) {
            preparation.source_unkeyed = count_of(row.api_name, PreparationSide::Source);
            preparation.target_unkeyed = count_of(row.api_name, PreparationSide::Target);
        }
        plan.objects.push_back(std::move(preparation));
    }
    return plan;
}

std::vector<std::string> OrgPreparationPlan::fields_to_deploy(PreparationSide side) const {
    std::vector<std::string> names;
    for (const ObjectPreparation& row : objects) {
        const KeyState& state = side == PreparationSide::Source ? row.source_state : row.target_state;
        if (both_keyable(row) && std::holds_alternative<KeyState::FieldMissing>(state.value)) {
            names.emplace_back(row.object_api_name);
        }
    }
    return names;
}

std::vector<std::string> OrgPreparationPlan::objects_to_fill(PreparationSide side) const {
    std::vector<std::string> names;
    for (const ObjectPreparation& row : objects) {
        const auto& count = side == PreparationSide::Source ? row.source_unkeyed : row.target_unkeyed;
        if (count && *count > 0) names.emplace_back(row.object_api_name);
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
        // Up to 60 counts of up to 2^32 - 1 each: a 32-bit sum would wrap and print a wrong number.
        std::uint64_t records = 0;
        for (const ObjectPreparation& row : objects) {
            records += row.source_unkeyed.value_or(0);
            records += row.target_unkeyed.value_or(0);
        }
        return fmt::format(fmt::runtime(applied ? kApplied : kPlanned), fields, records);
    }
    const auto absent = std::ranges::count_if(objects, [](const ObjectPreparation& row) {
        return std::holds_alternative<KeyState::ObjectAbsent>(row.source_state.value) ||
               std::holds_alternative<KeyState::ObjectAbsent>(row.target_state.value);
    });
    if (static_cast<std::size_t>(absent) == registry::kDataObjectCount) return std::string(kNothingFound);
    return std::string(kAlreadyPrepared);
}

std::string OrgPreparationReport::summary() const {
    if (!applied) return plan.summary(false);
    std::set<std::string_view> failed;
    // Up to 66 outcomes of up to 2^32 - 1 records each: a 32-bit sum could wrap.
    std::uint64_t keyed = 0;
    for (const auto& [key, outcome] : outcomes) {
        if (outcome.status == PreparationStatus::Failed) failed.insert(key.first);
        keyed += outcome.records_keyed;
    }
    if (failed.empty()) return plan.summary(true);
    return fmt::format(fmt::runtime(kAppliedWithFailures), failed.size(), keyed);
}

}  // namespace ambrel::data::preparation
