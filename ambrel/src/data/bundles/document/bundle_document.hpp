#pragma once

// The product bundle document: one bundle of one org as XML, with its root product, classifications,
// groups, components, child products, selling model options and price book entries (rows named by
// natural keys, never by record ids), the constraint models that tag it, and the schema of compared
// and one-sided fields. `write_bundle_document` renders it with a fixed element order and four blanks
// per level; `parse_bundle_document` reads a text back strictly (reading_loop.hpp) and fails with the
// shared messages of conventions.hpp and reading_loop.hpp or with:
// - "root element must be ProductBundle in the product bundle namespace"
// - "<{}> is outside the product bundle namespace"
// - "<unresolved> has a 'count' that is not a number"
// - "<component> must carry exactly one of 'childProduct', 'childClassification'"
// - "<omitted> has an unknown side '{}'"
// A failed read returns no partial document.
//
// Thread-safety: plain values and pure functions; any thread.

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "data/bundles/document/conventions.hpp"
#include "data/bundles/document/field_plan.hpp"
#include "data/bundles/identity/identity.hpp"

namespace ambrel::data::bundles::document {

inline constexpr std::string_view kBundleNamespace = "urn:quillary:revenue-cloud:product-bundle";
inline constexpr std::string_view kBundleRoot = "ProductBundle";

struct ClassificationNode {
    std::string code;
    // The parent classification's code.
    std::optional<std::string> parent;
    FieldSet fields;

    friend bool operator==(const ClassificationNode&, const ClassificationNode&) = default;
};

struct GroupNode {
    std::string name;
    // The parent group's name.
    std::optional<std::string> parent;
    FieldSet fields;

    friend bool operator==(const GroupNode&, const GroupNode&) = default;
};

struct ComponentNode {
    identity::ComponentIdentity identity;
    std::optional<std::string> relationship_type;
    std::optional<std::string> parent_selling_model;
    std::optional<std::string> child_selling_model;
    FieldSet fields;

    friend bool operator==(const ComponentNode&, const ComponentNode&) = default;
};

struct ChildProductNode {
    std::string name;
    // A classification code.
    std::optional<std::string> based_on;
    FieldSet fields;
    // The child product is itself a bundle.
    bool bundle = false;

    friend bool operator==(const ChildProductNode&, const ChildProductNode&) = default;
};

struct SellingModelOptionNode {
    identity::SellingModelOptionIdentity identity;
    FieldSet fields;

    friend bool operator==(const SellingModelOptionNode&, const SellingModelOptionNode&) = default;
};

struct PriceBookEntryNode {
    identity::PriceBookEntryIdentity identity;
    FieldSet fields;
    // The entry belongs to the standard price book.
    bool standard = false;

    friend bool operator==(const PriceBookEntryNode&, const PriceBookEntryNode&) = default;
};

struct BundleDocument {
    std::vector<ObjectFieldPlan> objects;
    // (object API name, number of rows left out for want of an identity).
    std::vector<std::pair<std::string, std::uint64_t>> unresolved;
    FieldSet product;
    // The code of the classification the root product is based on.
    std::optional<std::string> based_on;
    std::vector<ClassificationNode> classifications;
    std::vector<GroupNode> groups;
    std::vector<ComponentNode> components;
    std::vector<ChildProductNode> child_products;
    std::vector<SellingModelOptionNode> selling_model_options;
    std::vector<PriceBookEntryNode> price_book_entries;
    // Names of the constraint models that tag the bundle.
    std::vector<std::string> tagged_by;

    friend bool operator==(const BundleDocument&, const BundleDocument&) = default;
};

std::string write_bundle_document(const BundleDocument& document);

std::expected<BundleDocument, BundleDocumentError> parse_bundle_document(std::string_view text);

}  // namespace ambrel::data::bundles::document
