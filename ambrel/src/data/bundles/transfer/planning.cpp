#include "data/bundles/transfer/planning.hpp"

#include <algorithm>
#include <cstddef>
#include <functional>
#include <optional>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <variant>

#include "data/bundles/transfer/decide.hpp"
#include "data/bundles/transfer/record_views.hpp"

namespace ambrel::data::bundles::transfer {
namespace {

using K = RecordKey;
using C = CatalogRef;
using ParentMap = std::map<std::string, std::string, std::less<>>;

// A hash of a record key for the planner's lookups; the plan's order comes from sorting, never from it.
struct KeyHash {
    static void mix(std::size_t& seed, std::string_view text) noexcept {
        seed ^= std::hash<std::string_view>{}(text) + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2);
    }
    static void mix(std::size_t& seed, const std::string& text) noexcept { mix(seed, std::string_view(text)); }
    static void mix(std::size_t& seed, const std::optional<std::string>& text) noexcept {
        seed ^= (text ? std::hash<std::string_view>{}(*text) : 0x51ed27ULL) + 0x9e3779b97f4a7c15ULL + (seed << 6) +
                (seed >> 2);
    }
    std::size_t operator()(const RecordKey& key) const noexcept {
        std::size_t seed = key.value().index();
        std::visit(
            [&](const auto& k) {
                using Key = std::decay_t<decltype(k)>;
                if constexpr (std::is_same_v<Key, K::ProductClassification>) {
                    mix(seed, k.code);
                } else if constexpr (std::is_same_v<Key, K::Product2>) {
                    mix(seed, k.name);
                } else if constexpr (std::is_same_v<Key, K::ProductComponentGroup>) {
                    mix(seed, k.product);
                    mix(seed, k.name);
                } else if constexpr (std::is_same_v<Key, K::ProductRelatedComponent>) {
                    mix(seed, k.parent);
                    mix(seed, k.child);
                    mix(seed, k.group);
                } else if constexpr (std::is_same_v<Key, K::ProductSellingModelOption>) {
                    mix(seed, k.product);
                    mix(seed, k.selling_model);
                } else {
                    mix(seed, k.product);
                    mix(seed, k.price_book);
                    mix(seed, k.selling_model);
                    mix(seed, k.currency);
                }
            },
            key.value());
        return seed;
    }
};

class Planner {
public:
    void add_document(const std::string& name, const document::BundleDocument& doc) {
        ParentMap classification_parents;
        for (const auto& row : doc.classifications) {
            if (row.parent) {
                classification_parents[row.code] = *row.parent;
            }
        }
        ParentMap group_parents;
        for (const auto& row : doc.groups) {
            if (row.parent) {
                group_parents[row.name] = *row.parent;
            }
        }
        for (const auto& row : doc.classifications) {
            if (auto* record = fresh(name, K::ProductClassification{row.code}, row.fields)) {
                record->depth = chain_depth(row.code, classification_parents);
                if (row.parent) {
                    record->links.emplace_back("ParentProductClassificationId", K::ProductClassification{*row.parent});
                }
            }
        }
        {
            PlannedRecord root{{}, {}, K::Product2{name}, 0, doc.product, {name}};
            if (doc.based_on) {
                root.links.emplace_back("BasedOnId", K::ProductClassification{*doc.based_on});
            }
            replace(std::move(root));
        }
        for (const auto& row : doc.child_products) {
            if (auto* record = fresh(name, K::Product2{row.name}, row.fields)) {
                if (row.based_on) {
                    record->links.emplace_back("BasedOnId", K::ProductClassification{*row.based_on});
                }
            }
        }
        for (const auto& row : doc.groups) {
            if (auto* record = fresh(name, K::ProductComponentGroup{name, row.name}, row.fields)) {
                record->depth = chain_depth(row.name, group_parents);
                record->links.reserve(2);
                record->links.emplace_back("ParentProductId", K::Product2{name});
                if (row.parent) {
                    record->links.emplace_back("ParentGroupId", K::ProductComponentGroup{name, *row.parent});
                }
            }
        }
        for (const auto& row : doc.components) {
            const auto& identity = row.identity;
            auto* record = fresh(name, K::ProductRelatedComponent{name, identity.child, identity.group}, row.fields);
            if (record == nullptr) {
                continue;
            }
            record->links.reserve(3);
            record->links.emplace_back("ParentProductId", K::Product2{name});
            if (identity.kind == identity::ComponentChildKind::Product) {
                record->links.emplace_back("ChildProductId", K::Product2{identity.child});
            } else {
                record->links.emplace_back("ChildProductClassificationId", K::ProductClassification{identity.child});
            }
            if (identity.group) {
                record->links.emplace_back("ProductComponentGroupId", K::ProductComponentGroup{name, *identity.group});
            }
            if (row.relationship_type || row.parent_selling_model || row.child_selling_model) {
                record->catalog_links.reserve(3);
            }
            if (row.relationship_type) {
                record->catalog_links.emplace_back("ProductRelationshipTypeId",
                                                   C::RelationshipType{*row.relationship_type});
            }
            if (row.parent_selling_model) {
                record->catalog_links.emplace_back("ParentSellingModelId", C::SellingModel{*row.parent_selling_model});
            }
            if (row.child_selling_model) {
                record->catalog_links.emplace_back("ChildSellingModelId", C::SellingModel{*row.child_selling_model});
            }
        }
        for (const auto& row : doc.selling_model_options) {
            const auto& identity = row.identity;
            if (auto* record = fresh(name, K::ProductSellingModelOption{identity.product, identity.selling_model},
                                     row.fields)) {
                record->links.emplace_back("Product2Id", K::Product2{identity.product});
                record->catalog_links.emplace_back("ProductSellingModelId", C::SellingModel{identity.selling_model});
            }
        }
        for (const auto& row : doc.price_book_entries) {
            const auto& identity = row.identity;
            auto* record = fresh(
                name, K::PricebookEntry{identity.product, identity.price_book, identity.selling_model, identity.currency},
                row.fields);
            if (record == nullptr) {
                continue;
            }
            record->links.emplace_back("Product2Id", K::Product2{identity.product});
            record->catalog_links.reserve(identity.selling_model ? 2 : 1);
            record->catalog_links.emplace_back("Pricebook2Id", C::PriceBook{identity.price_book, row.standard});
            if (identity.selling_model) {
                record->catalog_links.emplace_back("ProductSellingModelId", C::SellingModel{*identity.selling_model});
            }
        }
    }

    std::vector<PlannedRecord> take_sorted() {
        // Sorting positions rather than records moves each record once; keys are distinct, so the
        // order is total and the same as a stable sort's.
        std::vector<PlannedRecord*> order;
        order.reserve(records_.size());
        for (auto& record : records_) {
            order.push_back(&record);
        }
        std::sort(order.begin(), order.end(),
                  [](const PlannedRecord* a, const PlannedRecord* b) { return plan_order_before(*a, *b); });
        std::vector<PlannedRecord> records;
        records.reserve(records_.size());
        for (auto* record : order) {
            records.push_back(std::move(*record));
        }
        return records;
    }

private:
    // The new record of the key, for the caller to complete, or null when an earlier document already
    // planned it (its definition stays; the document joins its bundles).
    PlannedRecord* fresh(const std::string& document, RecordKey key, const document::FieldSet& fields) {
        const auto [found, inserted] = index_.try_emplace(std::move(key), records_.size());
        if (!inserted) {
            records_[found->second].bundles.insert(document);
            return nullptr;
        }
        records_.push_back(PlannedRecord{{}, {}, found->first.clone(), 0, fields, {document}});
        return &records_.back();
    }

    // A root product's own definition wins over any earlier one; the bundles add up.
    void replace(PlannedRecord record) {
        const auto [found, inserted] = index_.try_emplace(record.key.clone(), records_.size());
        if (inserted) {
            records_.push_back(std::move(record));
            return;
        }
        auto& existing = records_[found->second];
        record.bundles.insert(existing.bundles.begin(), existing.bundles.end());
        existing = std::move(record);
    }

    // Records in first-seen order; `index_` gives a key's position.
    std::vector<PlannedRecord> records_;
    std::unordered_map<RecordKey, std::size_t, KeyHash> index_;
};

}  // namespace

TransferPlan plan_transfer(const std::map<std::string, std::string>& documents) {
    Planner planner;
    TransferPlan plan;
    for (const auto& [name, text] : documents) {
        auto parsed = document::parse_bundle_document(text);
        if (!parsed) {
            plan.errors.push_back(PlanError{name, parsed.error().message()});
            continue;
        }
        planner.add_document(name, *parsed);
    }
    plan.records = planner.take_sorted();
    return plan;
}

std::vector<std::string> child_bundle_names(const document::BundleDocument& document) {
    std::vector<std::string> names;
    for (const auto& row : document.child_products) {
        if (row.bundle) {
            names.push_back(row.name);
        }
    }
    return names;
}

}  // namespace ambrel::data::bundles::transfer
