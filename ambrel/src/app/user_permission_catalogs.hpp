#pragma once

// UserPermissionCatalogs: the user permission catalogues of the orgs of one deploy, by org text, so
// that the pre-deploy adaptation of profiles and permission sets and their retries ask each org at
// most once per deploy. A failed request is not kept: the next request asks the org again.
//
// Belongs to one deploy call on one thread; not safe to share between threads.

#include <map>
#include <string>

#include "app/ports/schema.hpp"
#include "domain/cancellation.hpp"
#include "metadata/user_permission_filter/user_permission_catalog.hpp"

namespace ambrel::app {

struct UserPermissionCatalogs {
    std::map<std::string, metadata::user_permission_filter::UserPermissionCatalog> by_org;

    // The org's catalogue from the cache, else from the port (kept on success); the port's failure
    // unchanged.
    ports::PortResult<metadata::user_permission_filter::UserPermissionCatalog> catalog(
        const ports::SchemaDependencies& listing, const std::string& org, const domain::CancellationToken& token);

    bool operator==(const UserPermissionCatalogs&) const = default;
};

}  // namespace ambrel::app
