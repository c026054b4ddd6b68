#pragma once

// The schema ports: the objects and fields an org lists, its user permission catalogue, and the
// external-key fields of a set of objects. Callable from several threads at once; failures are
// WorkflowFailure values.

#include <set>
#include <string>

#include "app/ports/port_result.hpp"
#include "cli/schema_catalog.hpp"
#include "domain/cancellation.hpp"
#include "metadata/user_permission_filter/user_permission_catalog.hpp"

namespace ambrel::app::ports {

class SchemaDependencies {
public:
    virtual ~SchemaDependencies() = default;

    virtual PortResult<cli::SchemaListing> object_field_listing(const std::string& org,
                                                                const std::set<std::string>& object_names,
                                                                const domain::CancellationToken& token) const = 0;
    virtual PortResult<metadata::user_permission_filter::UserPermissionCatalog> user_permission_listing(
        const std::string& org, const domain::CancellationToken& token) const = 0;
    virtual PortResult<cli::ExternalKeyListing> external_key_field_listing(
        const std::string& org, const std::set<std::string>& object_names,
        const domain::CancellationToken& token) const = 0;
};

}  // namespace ambrel::app::ports
