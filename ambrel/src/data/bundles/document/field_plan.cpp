#include "data/bundles/document/field_plan.hpp"

#include <algorithm>
#include <iterator>
#include <set>

namespace ambrel::data::bundles::document {

namespace {

std::set<std::string> comparable_names(const schema::ObjectSchema& schema) {
    std::set<std::string> names;
    for (const auto& [name, field] : schema.fields) {
        if (is_comparable(field)) names.insert(name);
    }
    return names;
}

}  // namespace

bool is_comparable(const schema::FieldSchema& field) noexcept {
    return field.createable && !field.calculated && !field.auto_number && field.type != kReferenceType &&
           !field.external_id;
}

ObjectFieldPlan ObjectFieldPlan::intersect(std::string_view object, const schema::ObjectSchema& source,
                                           const schema::ObjectSchema& target) {
    const std::set<std::string> source_names = comparable_names(source);
    const std::set<std::string> target_names = comparable_names(target);
    ObjectFieldPlan plan;
    plan.object = std::string(object);
    std::ranges::set_intersection(source_names, target_names, std::back_inserter(plan.compared));
    std::ranges::set_difference(source_names, target_names, std::back_inserter(plan.source_only));
    std::ranges::set_difference(target_names, source_names, std::back_inserter(plan.target_only));
    return plan;
}

}  // namespace ambrel::data::bundles::document
