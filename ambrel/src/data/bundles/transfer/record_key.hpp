#pragma once

// The natural key of a bundle record (`RecordKey`: one variant per layer, built from names and codes,
// never from record ids) and the reference to a catalogue record of the target that the transfer
// never creates (`CatalogRef`), with their total orders and display texts.
//
// Orders: by variant in layer order, then member by member in declaration order; texts compare byte
// by byte (case-sensitive, a prefix first); an absent optional member orders before a present one.
// Plain owned values; pure functions; never fail; any thread.

#include <compare>
#include <optional>
#include <string>
#include <variant>

#include "data/bundles/transfer/layer.hpp"

namespace ambrel::data::bundles::transfer {

class RecordKey {
public:
    struct ProductClassification {
        std::string code;
        friend auto operator<=>(const ProductClassification&, const ProductClassification&) = default;
    };
    struct Product2 {
        std::string name;
        friend auto operator<=>(const Product2&, const Product2&) = default;
    };
    struct ProductComponentGroup {
        std::string product;
        std::string name;
        friend auto operator<=>(const ProductComponentGroup&, const ProductComponentGroup&) = default;
    };
    struct ProductRelatedComponent {
        std::string parent;
        // The child product's name or the child classification's code: the key does not tell which.
        std::string child;
        std::optional<std::string> group;
        friend auto operator<=>(const ProductRelatedComponent&, const ProductRelatedComponent&) = default;
    };
    struct ProductSellingModelOption {
        std::string product;
        std::string selling_model;
        friend auto operator<=>(const ProductSellingModelOption&, const ProductSellingModelOption&) = default;
    };
    struct PricebookEntry {
        std::string product;
        std::string price_book;
        std::optional<std::string> selling_model;
        std::optional<std::string> currency;
        friend auto operator<=>(const PricebookEntry&, const PricebookEntry&) = default;
    };
    using Variant = std::variant<ProductClassification, Product2, ProductComponentGroup, ProductRelatedComponent,
                                 ProductSellingModelOption, PricebookEntry>;

    RecordKey(ProductClassification key) : value_(std::move(key)) {}
    RecordKey(Product2 key) : value_(std::move(key)) {}
    RecordKey(ProductComponentGroup key) : value_(std::move(key)) {}
    RecordKey(ProductRelatedComponent key) : value_(std::move(key)) {}
    RecordKey(ProductSellingModelOption key) : value_(std::move(key)) {}
    RecordKey(PricebookEntry key) : value_(std::move(key)) {}

    const Variant& value() const noexcept { return value_; }
    // The layer that the variant names.
    Layer layer() const noexcept { return static_cast<Layer>(value_.index()); }
    // The first member: the code, the product name, the owning or parent product.
    const std::string& identity() const noexcept;

    // "ProductClassification {code}", "Product2 {name}", "ProductComponentGroup {name} of {product}",
    // "ProductRelatedComponent {child} in group {group} of {parent}" (or without "in group {group}"),
    // "ProductSellingModelOption {product} / {selling model}", "PricebookEntry {product} in {price book}".
    std::string label() const;
    std::strong_ordering cmp(const RecordKey& other) const { return value_ <=> other.value_; }
    RecordKey clone() const { return *this; }

    friend std::strong_ordering operator<=>(const RecordKey& a, const RecordKey& b) { return a.cmp(b); }
    friend bool operator==(const RecordKey&, const RecordKey&) = default;

private:
    Variant value_;
};

class CatalogRef {
public:
    struct RelationshipType {
        std::string name;
        friend auto operator<=>(const RelationshipType&, const RelationshipType&) = default;
    };
    struct SellingModel {
        std::string name;
        friend auto operator<=>(const SellingModel&, const SellingModel&) = default;
    };
    // A standard price book keeps the source's name but is resolved and reported by the flag alone.
    struct PriceBook {
        std::string name;
        bool standard = false;
        friend auto operator<=>(const PriceBook&, const PriceBook&) = default;
    };
    using Variant = std::variant<RelationshipType, SellingModel, PriceBook>;

    CatalogRef(RelationshipType ref) : value_(std::move(ref)) {}
    CatalogRef(SellingModel ref) : value_(std::move(ref)) {}
    CatalogRef(PriceBook ref) : value_(std::move(ref)) {}

    const Variant& value() const noexcept { return value_; }
    // "product relationship type {}", "product selling model {}", "price book {}", "standard price book".
    std::string label() const;
    // "no product relationship type named {} in the target", "no product selling model named {} in the
    // target", "no price book named {} in the target", "the target has no standard price book".
    std::string missing_reason() const;

    friend std::strong_ordering operator<=>(const CatalogRef&, const CatalogRef&) = default;
    friend bool operator==(const CatalogRef&, const CatalogRef&) = default;

private:
    Variant value_;
};

}  // namespace ambrel::data::bundles::transfer
