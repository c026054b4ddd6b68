#include "data/preparation/org_preparation_report.hpp"

namespace ambrel::data::preparation {

const PreparationOutcome* OrgPreparationReport::outcome(std::string_view object_api_name,
                                                        PreparationSide side) const {
    const auto found = outcomes.find(std::pair{std::string(object_api_name), side});
    return found == outcomes.end() ? nullptr : &found->second;
}

}  // namespace ambrel::data::preparation
