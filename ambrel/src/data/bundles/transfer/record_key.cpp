#include "data/bundles/transfer/record_key.hpp"

#include <fmt/format.h>

namespace ambrel::data::bundles::transfer {
namespace {

template <typename... F>
struct Overloaded : F... {
    using F::operator()...;
};

}  // namespace

const std::string& RecordKey::identity() const noexcept {
    return std::visit(Overloaded{
                          [](const ProductClassification& k) -> const std::string& { return k.code; },
                          [](const Product2& k) -> const std::string& { return k.name; },
                          [](const ProductComponentGroup& k) -> const std::string& { return k.product; },
                          [](const ProductRelatedComponent& k) -> const std::string& { return k.parent; },
                          [](const ProductSellingModelOption& k) -> const std::string& { return k.product; },
                          [](const PricebookEntry& k) -> const std::string& { return k.product; },
                      },
                      value_);
}

std::string RecordKey::label() const {
    return std::visit(
        Overloaded{
            [](const ProductClassification& k) { return fmt::format("ProductClassification {}", k.code); },
            [](const Product2& k) { return fmt::format("Product2 {}", k.name); },
            [](const ProductComponentGroup& k) {
                return fmt::format("ProductComponentGroup {} of {}", k.name, k.product);
            },
            [](const ProductRelatedComponent& k) {
                if (k.group) {
                    return fmt::format("ProductRelatedComponent {} in group {} of {}", k.child, *k.group, k.parent);
                }
                return fmt::format("ProductRelatedComponent {} of {}", k.child, k.parent);
            },
            [](const ProductSellingModelOption& k) {
                return fmt::format("ProductSellingModelOption {} / {}", k.product, k.selling_model);
            },
            [](const PricebookEntry& k) { return fmt::format("PricebookEntry {} in {}", k.product, k.price_book); },
        },
        value_);
}

std::string CatalogRef::label() const {
    return std::visit(Overloaded{
                          [](const RelationshipType& r) { return fmt::format("product relationship type {}", r.name); },
                          [](const SellingModel& r) { return fmt::format("product selling model {}", r.name); },
                          [](const PriceBook& r) {
                              return r.standard ? std::string("standard price book")
                                                : fmt::format("price book {}", r.name);
                          },
                      },
                      value_);
}

std::string CatalogRef::missing_reason() const {
    return std::visit(
        Overloaded{
            [](const RelationshipType& r) {
                return fmt::format("no product relationship type named {} in the target", r.name);
            },
            [](const SellingModel& r) { return fmt::format("no product selling model named {} in the target", r.name); },
            [](const PriceBook& r) {
                return r.standard ? std::string("the target has no standard price book")
                                  : fmt::format("no price book named {} in the target", r.name);
            },
        },
        value_);
}

}  // namespace ambrel::data::bundles::transfer
