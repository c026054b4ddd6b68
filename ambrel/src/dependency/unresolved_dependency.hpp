#pragma once

// A reference of a row that no row of the comparison satisfies. Plain data; on the wire the keys
// "reference" and "message".

#include <string>

namespace ambrel::dependency {

struct UnresolvedDependency {
    // "{type} {name}" of the referenced component; empty for the closing overflow entry.
    std::string reference;
    // "{reference}: could not be matched automatically; make sure it exists in the target org or
    // select it manually.", or "... and {N} more" for the overflow entry.
    std::string message;

    bool operator==(const UnresolvedDependency&) const = default;
};

}  // namespace ambrel::dependency
