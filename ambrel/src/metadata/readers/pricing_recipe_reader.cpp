#include "metadata/readers/pricing_recipe_reader.hpp"

#include <array>

#include "metadata/readers/reference_parser_frame.hpp"

namespace ambrel::metadata::pricing_recipe_reader {

namespace {

using reference_parser_frame::CaptureKind;
using reference_parser_frame::OpenElement;
using reference_parser_frame::OpenElements;

constexpr std::string_view kRoot = "PricingRecipe";
constexpr std::array<std::string_view, 1> kRoots = {kRoot};
constexpr std::array<std::string_view, 2> kProcedurePath = {kRoot, "defaultPricingProcedureDeveloperName"};
constexpr std::array<std::string_view, 3> kLookupTablePath = {kRoot, "pricingRecipeTableMapping",
                                                              "lookupTableDeveloperName"};

enum Capture : CaptureKind { kNone, kProcedure, kLookupTable };

class Rules final : public reference_parser_frame::Rules {
public:
    CaptureKind on_start(OpenElements open, const OpenElement& element) override {
        using reference_parser_frame::counts_at;
        if (counts_at(open, element, kProcedurePath)) return kProcedure;
        if (counts_at(open, element, kLookupTablePath)) return kLookupTable;
        return kNone;
    }

    void on_value(CaptureKind kind, std::string_view value) override {
        if (kind == kProcedure) result.pricing_procedures.emplace(value);
        if (kind == kLookupTable) result.lookup_tables.emplace(value);
    }

    PricingRecipeReferences result;
};

}  // namespace

std::expected<PricingRecipeReferences, FieldReadError> parse_pricing_recipe_references(
    std::string_view full_name, std::string_view text) {
    return reference_parser_frame::parse_into(full_name, text, reference_parser_frame::Settings{kRoots}, Rules{});
}

}  // namespace ambrel::metadata::pricing_recipe_reader
