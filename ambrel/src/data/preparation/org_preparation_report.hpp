#pragma once

// The answer of an inspection or an application of the org preparation: the plan and, once
// applied, the outcome per object and side, and the one-line summary shown above them. Plain data.

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

    // The outcome of that object on that side; null when it has none.
    const PreparationOutcome* outcome(std::string_view object, PreparationSide side) const;

    // The plan's summary (`OrgPreparationPlan::summary`), except after an application in which some
    // object failed: the planned numbers would then claim work that was not done, so the text is
    // "Preparation failed for {} object(s); {} record(s) keyed. See each object's message." with the
    // number of objects that failed on either org and the records actually keyed.
    std::string summary() const;

    bool operator==(const OrgPreparationReport&) const = default;
};

}  // namespace ambrel::data::preparation
