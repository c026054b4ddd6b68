#include "app/user_permission_catalogs.hpp"

namespace ambrel::app {

ports::PortResult<metadata::user_permission_filter::UserPermissionCatalog> UserPermissionCatalogs::catalog(
    const ports::SchemaDependencies& listing, const std::string& org, const domain::CancellationToken& token) {
    if (auto cached = by_org.find(org); cached != by_org.end()) return cached->second;
    auto fetched = listing.user_permission_listing(org, token);
    if (fetched) by_org.insert_or_assign(org, *fetched);
    return fetched;
}

}  // namespace ambrel::app
