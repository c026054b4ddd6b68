#pragma once

// The natural identities of product bundle rows across orgs: a product related component by its child
// (product name or classification code) and group, a selling model option by its product and selling
// model, a price book entry by product, price book, selling model and currency. Identities are read
// from queried records (JSON objects whose parent relationships are nested objects) as normalised
// text: a string trimmed of Unicode white space; anything else, or a blank string, is absent. Letter
// case is never folded. Identities order member by member, texts byte by byte, absent before present.
//
// Also the reports of rows that cannot be told apart: exact duplicates, names that differ only in
// letter case (full Unicode lower-casing), and the "Ambiguous {}: {}{}" reason.
//
// Thread-safety: pure functions; any thread.

#include <compare>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "json/json.hpp"

namespace ambrel::data::bundles::identity {

// At most this many identities are named in an ambiguity reason.
inline constexpr std::size_t kMaxShownIdentities = 10;

// The normalised text of `field` inside the record's `relationship` object; none when the
// relationship is missing, null or not an object, or the field is not a non-blank string.
std::optional<std::string> lookup(const json::Object& record, std::string_view relationship, std::string_view field);

// The normalised text of a plain member of the record.
std::optional<std::string> normalized_member(const json::Object& record, std::string_view member);

// The normalised text of the record's "Id".
std::optional<std::string> record_id(const json::Object& record);

enum class ComponentChildKind : std::uint8_t { Product, Classification };

// A ProductRelatedComponent row.
struct ComponentIdentity {
    ComponentChildKind kind = ComponentChildKind::Product;
    // The child product's name, or the child classification's code.
    std::string child;
    std::optional<std::string> group;

    // ChildProduct → Name first (a classification beside it is ignored), else
    // ChildProductClassification → Code; group from ProductComponentGroup → Name.
    static std::optional<ComponentIdentity> of(const json::Object& record);
    // "product {}" or "classification {}", then " in group {}" when there is a group.
    std::string label() const;

    friend bool operator==(const ComponentIdentity&, const ComponentIdentity&) = default;
    friend std::strong_ordering operator<=>(const ComponentIdentity&, const ComponentIdentity&) = default;
};

// A ProductSellingModelOption row.
struct SellingModelOptionIdentity {
    std::string product;
    std::string selling_model;

    // Product2 → Name and ProductSellingModel → Name, both required.
    static std::optional<SellingModelOptionIdentity> of(const json::Object& record);

    friend bool operator==(const SellingModelOptionIdentity&, const SellingModelOptionIdentity&) = default;
    friend std::strong_ordering operator<=>(const SellingModelOptionIdentity&,
                                            const SellingModelOptionIdentity&) = default;
};

// A PricebookEntry row.
struct PriceBookEntryIdentity {
    std::string product;
    std::string price_book;
    std::optional<std::string> selling_model;
    std::optional<std::string> currency;

    // Product2 → Name and Pricebook2 → Name required; ProductSellingModel → Name and the record's own
    // CurrencyIsoCode optional.
    static std::optional<PriceBookEntryIdentity> of(const json::Object& record);

    friend bool operator==(const PriceBookEntryIdentity&, const PriceBookEntryIdentity&) = default;
    friend std::strong_ordering operator<=>(const PriceBookEntryIdentity&, const PriceBookEntryIdentity&) = default;
};

// The texts that occur more than once (exact comparison), ascending, each once.
std::vector<std::string> duplicate_identities(std::span<const std::string> texts);

// The names whose full Unicode lower-case form is shared with another distinct name, ascending, each
// once, all colliding forms in one list.
std::vector<std::string> case_insensitive_collisions(std::span<const std::string> names);

// "Ambiguous {kind}: {the first 10 joined by ", "}" followed by " (and {n} more)" when there are more.
std::string ambiguous_reason(std::string_view kind, std::span<const std::string> identities);

}  // namespace ambrel::data::bundles::identity
