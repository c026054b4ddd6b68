#include "app/object_scope.hpp"

#include <utility>
#include <variant>

#include "metadata_types/metadata_type.hpp"
#include "metadata_types/type_descriptor.hpp"

namespace ambrel::app {

namespace {

bool is_object_scoped(metadata_types::MetadataType type) {
    if (type.is_data_record()) return false;
    return std::holds_alternative<metadata_types::ListingStrategy::Objects>(type.descriptor().listing_strategy.value);
}

}  // namespace

std::set<std::string> object_scoped_members(const CompareSelection& selection) {
    std::set<std::string> names;
    for (const auto& [type, members] : selection) {
        if (is_object_scoped(type)) names.insert(members.begin(), members.end());
    }
    return names;
}

std::expected<std::set<std::string>, WorkflowFailure> existing_target_objects(const ports::CorePorts& core,
                                                                              const std::string& org,
                                                                              const std::string& label,
                                                                              const CompareSelection& selection,
                                                                              const domain::CancellationToken& token) {
    const std::set<std::string> wanted = object_scoped_members(selection);
    if (wanted.empty()) return std::set<std::string>();
    auto listed = core.object_listing(org, label, token);
    if (!listed) return std::unexpected(std::move(listed.error()));
    std::set<std::string> existing;
    for (const cli::catalogs::SalesforceObject& object : *listed) {
        if (wanted.contains(object.api_name)) existing.insert(object.api_name);
    }
    return existing;
}

}  // namespace ambrel::app
