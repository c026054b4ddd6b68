#pragma once

// The six kinds of bundle records, in send order; each names its sObject. A one-byte value ordered by
// its position.

#include <array>
#include <cstdint>
#include <string_view>

namespace ambrel::data::bundles::transfer {

enum class Layer : std::uint8_t {
    ProductClassification,      // "ProductClassification"
    Product2,                   // "Product2"
    ProductComponentGroup,      // "ProductComponentGroup"
    ProductRelatedComponent,    // "ProductRelatedComponent"
    ProductSellingModelOption,  // "ProductSellingModelOption"
    PricebookEntry,             // "PricebookEntry"
};

inline constexpr std::array<Layer, 6> kLayers = {
    Layer::ProductClassification,   Layer::Product2,
    Layer::ProductComponentGroup,   Layer::ProductRelatedComponent,
    Layer::ProductSellingModelOption, Layer::PricebookEntry,
};

// The API name of the sObject whose records form the layer.
constexpr std::string_view layer_object(Layer layer) noexcept {
    switch (layer) {
    case Layer::ProductClassification: return "ProductClassification";
    case Layer::Product2: return "Product2";
    case Layer::ProductComponentGroup: return "ProductComponentGroup";
    case Layer::ProductRelatedComponent: return "ProductRelatedComponent";
    case Layer::ProductSellingModelOption: return "ProductSellingModelOption";
    case Layer::PricebookEntry: return "PricebookEntry";
    }
    return "";
}

}  // namespace ambrel::data::bundles::transfer
