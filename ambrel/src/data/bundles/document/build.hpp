#pragma once

// Turns the records read from one org for one product bundle into its `BundleDocument`: which records
// become rows (those with an identity; groups and child products need a name), how every list is
// ordered (by the rows' keys, stable), which classifications the document carries (those the bundle,
// its child products and its components name, closed over their parents), which constraint models tag
// the bundle, and how many rows per object had to be left out. Building never fails: a missing bundle
// record or one without a non-blank name gives no document, every other gap is absorbed.
//
// Thread-safety: pure functions over borrowed records; any thread.

#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "data/bundles/document/bundle_document.hpp"
#include "data/bundles/document/field_plan.hpp"
#include "json/json.hpp"

namespace ambrel::data::bundles::document {

// The records of one bundle in one org, as queried (parent relationships are nested objects).
struct BundleLayers {
    // The org's ProductClassification records.
    std::vector<json::Object> classifications;
    std::vector<json::Object> groups;
    std::vector<json::Object> components;
    // The Product2 records of the components' child products.
    std::vector<json::Object> child_products;
    std::vector<json::Object> selling_model_options;
    std::vector<json::Object> price_book_entries;
    // ExpressionSetConstraintObj records that tag the bundle's rows.
    std::vector<json::Object> constraint_objects;
    // The bundle's own Product2 record.
    std::optional<json::Object> bundle;
    // Expression set id → the constraint model name the documents use.
    std::map<std::string, std::string> expression_set_names;
};

std::optional<BundleDocument> build_bundle_document(const BundleLayers& layers, std::span<const ObjectFieldPlan> plans);

// The classification records the bundle needs, ascending by code (copies).
std::vector<json::Object> needed_classifications(const BundleLayers& layers);

}  // namespace ambrel::data::bundles::document
