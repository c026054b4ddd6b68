#pragma once

// The answer of an inspection or an application of the org preparation: the plan and, once
// applied, the outcome per object and side. Plain data.

#include <map>
#include <string>
#include <string_view>
#include <utility>

#include "data/preparation/org_preparation_plan.hpp"
#include "data/preparation/preparation_outcome.hpp"
#include "data/preparation/preparation_side.hpp"

namespace ambrel::data::preparation {

struct OrgPreparationReport {
    OrgPreparationPlan plan;
    // Ordered by object name, then side; empty after an inspection.
    std::map<std::pair<std::string, PreparationSide>, PreparationOutcome> outcomes;
    bool applied = false;

    // The outcome of that object on that side, or none (always none after an inspection).
    const PreparationOutcome* outcome(std::string_view object_api_name, PreparationSide side) const;

    bool operator==(const OrgPreparationReport&) const = default;
};

}  // namespace ambrel::data::preparation
