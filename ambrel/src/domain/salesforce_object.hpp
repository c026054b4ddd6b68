#pragma once

// The row of every listing of components by name: objects, metadata components, standard tabs,
// product bundles, constraint models and components found in a git branch.

#include <cstdint>
#include <string>

namespace ambrel::domain {

// Where a listed component comes from.
enum class ListingOrigin : std::uint8_t {
    Unpackaged = 0,   // the org's own components and standard ones
    Packaged = 1,     // recognised as coming from an installed package
    StandardTab = 2,  // a standard tab added to a "CustomTab" listing
};

struct SalesforceObject {
    // An object's API name or a component's full name (for a field "Object.Field").
    std::string api_name;
    // Never absent: a listing without a label repeats the API name here.
    std::string label;
    ListingOrigin origin = ListingOrigin::Unpackaged;

    friend bool operator==(const SalesforceObject&, const SalesforceObject&) = default;
};

}  // namespace ambrel::domain
