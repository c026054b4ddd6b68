#pragma once

// The six kinds of bundle records, in send order; each names its sObject. A one-byte value ordered by
// its position.

#include <cstdint>

namespace ambrel::data::bundles::transfer {

enum class Layer : std::uint8_t {
    ProductClassification,      // "ProductClassification"
    Product2,                   // "Product2"
    ProductComponentGroup,      // "ProductComponentGroup"
    ProductRelatedComponent,    // "ProductRelatedComponent"
    ProductSellingModelOption,  // "ProductSellingModelOption"
    PricebookEntry,             // "PricebookEntry"
};

}  // namespace ambrel::data::bundles::transfer
