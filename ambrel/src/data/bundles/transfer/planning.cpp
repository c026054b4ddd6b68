#include "data/bundles/transfer/planning.hpp"

#include <algorithm>

#include "data/bundles/transfer/decide.hpp"
#include "data/bundles/transfer/record_views.hpp"

namespace ambrel::data::bundles::transfer {
namespace {

using K = RecordKey;
using C = CatalogRef;
using ParentMap = std::map<std::string, std::string, std::less<>>;

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
            auto record = make(name, K::ProductClassification{row.code}, row.fields);
            record.depth = chain_depth(row.code, classification_parents);
            if (row.parent) {
                record.links.emplace_back("ParentProductClassificationId", K::ProductClassification{*row.parent});
            }
            merge(std::move(record), false);
        }
        {
            auto root = make(name, K::Product2{name}, doc.product);
            if (doc.based_on) {
                root.links.emplace_back("BasedOnId", K::ProductClassification{*doc.based_on});
            }
            merge(std::move(root), true);
        }
        for (const auto& row : doc.child_products) {
            auto record = make(name, K::Product2{row.name}, row.fields);
            if (row.based_on) {
                record.links.emplace_back("BasedOnId", K::ProductClassification{*row.based_on});
            }
            merge(std::move(record), false);
        }
        for (const auto& row : doc.groups) {
            auto record = make(name, K::ProductComponentGroup{name, row.name}, row.fields);
            record.depth = chain_depth(row.name, group_parents);
            record.links.emplace_back("ParentProductId", K::Product2{name});
            if (row.parent) {
                record.links.emplace_back("ParentGroupId", K::ProductComponentGroup{name, *row.parent});
            }
            merge(std::move(record), false);
        }
        for (const auto& row : doc.components) {
            const auto& identity = row.identity;
            auto record = make(name, K::ProductRelatedComponent{name, identity.child, identity.group}, row.fields);
            record.links.emplace_back("ParentProductId", K::Product2{name});
            if (identity.kind == identity::ComponentChildKind::Product) {
                record.links.emplace_back("ChildProductId", K::Product2{identity.child});
            } else {
                record.links.emplace_back("ChildProductClassificationId", K::ProductClassification{identity.child});
            }
            if (identity.group) {
                record.links.emplace_back("ProductComponentGroupId", K::ProductComponentGroup{name, *identity.group});
            }
            if (row.relationship_type) {
                record.catalog_links.emplace_back("ProductRelationshipTypeId", C::RelationshipType{*row.relationship_type});
            }
            if (row.parent_selling_model) {
                record.catalog_links.emplace_back("ParentSellingModelId", C::SellingModel{*row.parent_selling_model});
            }
            if (row.child_selling_model) {
                record.catalog_links.emplace_back("ChildSellingModelId", C::SellingModel{*row.child_selling_model});
            }
            merge(std::move(record), false);
        }
        for (const auto& row : doc.selling_model_options) {
            const auto& identity = row.identity;
            auto record = make(name, K::ProductSellingModelOption{identity.product, identity.selling_model}, row.fields);
            record.links.emplace_back("Product2Id", K::Product2{identity.product});
            record.catalog_links.emplace_back("ProductSellingModelId", C::SellingModel{identity.selling_model});
            merge(std::move(record), false);
        }
        for (const auto& row : doc.price_book_entries) {
            const auto& identity = row.identity;
            auto record = make(name,
                               K::PricebookEntry{identity.product, identity.price_book, identity.selling_model,
                                                 identity.currency},
                               row.fields);
            record.links.emplace_back("Product2Id", K::Product2{identity.product});
            record.catalog_links.emplace_back("Pricebook2Id", C::PriceBook{identity.price_book, row.standard});
            if (identity.selling_model) {
                record.catalog_links.emplace_back("ProductSellingModelId", C::SellingModel{*identity.selling_model});
            }
            merge(std::move(record), false);
        }
    }

    std::vector<PlannedRecord> take_sorted() {
        std::vector<PlannedRecord> records;
        records.reserve(by_key_.size());
        for (auto& [key, record] : by_key_) {
            records.push_back(std::move(record));
        }
        std::stable_sort(records.begin(), records.end(), plan_order_before);
        return records;
    }

private:
    static PlannedRecord make(const std::string& document, RecordKey key, const document::FieldSet& fields) {
        PlannedRecord record{{}, {}, std::move(key), 0, fields, {document}};
        return record;
    }

    void merge(PlannedRecord record, bool root_product) {
        auto found = by_key_.find(record.key);
        if (found == by_key_.end()) {
            auto key = record.key.clone();
            by_key_.emplace(std::move(key), std::move(record));
            return;
        }
        auto& existing = found->second;
        if (root_product) {
            record.bundles.insert(existing.bundles.begin(), existing.bundles.end());
            existing = std::move(record);
        } else {
            existing.bundles.insert(record.bundles.begin(), record.bundles.end());
        }
    }

    std::map<RecordKey, PlannedRecord> by_key_;
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
