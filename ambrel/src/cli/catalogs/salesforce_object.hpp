#pragma once

// The listing row, defined with the core model so that the git listing can share it.

#include "domain/salesforce_object.hpp"

namespace ambrel::cli::catalogs {

using domain::ListingOrigin;
using domain::SalesforceObject;

}  // namespace ambrel::cli::catalogs
