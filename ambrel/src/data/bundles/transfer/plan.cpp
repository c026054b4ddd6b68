#include "data/bundles/transfer/plan.hpp"

namespace ambrel::data::bundles::transfer {

std::vector<Sublayer> TransferPlan::sublayers() const {
    std::map<std::pair<Layer, std::uint64_t>, std::vector<std::reference_wrapper<const PlannedRecord>>> groups;
    for (const auto& record : records) {
        groups[{record.layer(), record.depth}].push_back(std::cref(record));
    }
    std::vector<Sublayer> batches;
    batches.reserve(groups.size());
    for (auto& [position, members] : groups) {
        batches.emplace_back(position, std::move(members));
    }
    return batches;
}

}  // namespace ambrel::data::bundles::transfer
