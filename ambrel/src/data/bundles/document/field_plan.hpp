#pragma once

// Which fields of one record object a product bundle document carries: those comparable in both
// orgs, and apart from them those comparable in only one. A field of one org is comparable when that
// org's describe marks it createable, not calculated, not auto-number, not external-id, and its type
// is not exactly "reference" (related rows are named through their relationships instead). Names
// compare exactly and are listed in byte order.
//
// Thread-safety: pure; any thread.

#include <string>
#include <string_view>
#include <vector>

#include "data/schema.hpp"

namespace ambrel::data::bundles::document {

// The describe type of lookup and master-detail fields.
inline constexpr std::string_view kReferenceType = "reference";

struct ObjectFieldPlan {
    // The object's API name as given.
    std::string object;
    // Comparable in both orgs, ascending.
    std::vector<std::string> compared;
    // Comparable only in the source org, ascending.
    std::vector<std::string> source_only;
    // Comparable only in the target org, ascending.
    std::vector<std::string> target_only;

    // The plan of one object from the describes of the two orgs. Never fails.
    static ObjectFieldPlan intersect(std::string_view object, const schema::ObjectSchema& source,
                                     const schema::ObjectSchema& target);

    friend bool operator==(const ObjectFieldPlan&, const ObjectFieldPlan&) = default;
};

// Whether one org's describe of a field makes it comparable.
bool is_comparable(const schema::FieldSchema& field) noexcept;

}  // namespace ambrel::data::bundles::document
