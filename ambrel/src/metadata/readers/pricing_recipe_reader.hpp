#pragma once

// The names that a pricing recipe's PricingRecipe document gives: its default pricing procedure
// (defaultPricingProcedureDeveloperName) and the lookup tables of its table mappings
// (pricingRecipeTableMapping/lookupTableDeveloperName), each as written (trimmed), unjudged.
// Reads nothing but its arguments.
//
// Failures: those of the reference parser frame (reference_parser_frame.hpp), with
// "root element must be PricingRecipe" for a wrong top-level element.
//
// Thread-safety: pure functions; safe from any number of threads at once.

#include <expected>
#include <set>
#include <string>
#include <string_view>

#include "metadata/field_read_error.hpp"

namespace ambrel::metadata::pricing_recipe_reader {

struct PricingRecipeReferences {
    std::set<std::string> pricing_procedures;
    std::set<std::string> lookup_tables;

    bool operator==(const PricingRecipeReferences&) const = default;
};

// (component full name, PricingRecipe document text).
std::expected<PricingRecipeReferences, FieldReadError> parse_pricing_recipe_references(
    std::string_view full_name, std::string_view text);

}  // namespace ambrel::metadata::pricing_recipe_reader
