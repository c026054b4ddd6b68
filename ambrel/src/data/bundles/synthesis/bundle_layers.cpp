#include "data/bundles/synthesis/bundle_layers.hpp"

#include <algorithm>
#include <optional>
#include <utility>

#include <fmt/format.h>

#include "data/bundles/identity/identity.hpp"
#include "data/bundles/synthesis/chunked_query.hpp"
#include "data/bundles/synthesis/query_text.hpp"

namespace ambrel::data::bundles::synthesis {

namespace {

using identity::normalized_member;
using identity::record_id;

using Rows = std::vector<json::Object>;
// Bundle name → rows of one layer attached to it, in attaching order.
using LayerRows = std::map<std::string, Rows>;
// Record id → the bundles owning the record, in the order they were added.
using OwnerIndex = std::map<std::string, std::vector<std::string>>;

constexpr std::string_view kProduct2 = "Product2";
constexpr std::string_view kProductComponentGroup = "ProductComponentGroup";
constexpr std::string_view kProductRelatedComponent = "ProductRelatedComponent";
constexpr std::string_view kProductSellingModelOption = "ProductSellingModelOption";
constexpr std::string_view kPricebookEntry = "PricebookEntry";

const std::vector<std::string> kProductExtras{"BasedOn.Code"};
const std::vector<std::string> kGroupExtras{"ParentProduct.Name", "ParentGroup.Name", "ParentProductId"};
const std::vector<std::string> kComponentExtras{
    "ParentProduct.Name",         "ParentProductId",          "ChildProductId",
    "ChildProduct.Name",          "ChildProduct.Type",        "ChildProductClassification.Code",
    "ProductComponentGroup.Name", "ProductRelationshipType.Name", "ParentSellingModel.Name",
    "ChildSellingModel.Name"};
const std::vector<std::string> kOptionExtras{"Product2.Name", "ProductSellingModel.Name", "Product2Id"};
const std::vector<std::string> kEntryExtras{"Product2.Name", "Pricebook2.Name", "Pricebook2.IsStandard",
                                            "ProductSellingModel.Name", "Product2Id"};

constexpr std::string_view kBundleProductsWhere = " FROM Product2 WHERE Type = 'Bundle' AND Name IN (";
constexpr std::string_view kBundleProductsAfter = ") ORDER BY Id";
constexpr std::string_view kByParentWhere = " WHERE ParentProductId IN (";
constexpr std::string_view kChildProductsWhere = " FROM Product2 WHERE Id IN (";
constexpr std::string_view kByProductWhere = " WHERE Product2Id IN (";
constexpr std::string_view kTagsBefore =
    "SELECT Id, ConstraintModelTag, ConstraintModelTagType, ReferenceObjectId, ExpressionSetId "
    "FROM ExpressionSetConstraintObj WHERE ReferenceObjectId IN (";
constexpr std::string_view kCloseList = ")";

std::string select_from(std::span<const document::ObjectFieldPlan> plans, std::string_view object,
                        const std::vector<std::string>& extras) {
    return fmt::format("SELECT {} FROM {}", select_list(plans, object, extras), object);
}

// Adds the names to the owners of `id` (creating the entry); a bundle owns a record once, so a
// bundle that names its own product as a child does not get that product's rows twice.
void add_owners(OwnerIndex& index, const std::string& id, std::span<const std::string> names) {
    std::vector<std::string>& owners = index[id];
    for (const std::string& name : names) {
        if (std::ranges::find(owners, name) == owners.end()) owners.push_back(name);
    }
}

// The owners of the record named by the row's `member`; none when the member is not text or the
// record is not in the index.
std::optional<std::vector<std::string>> owners_through(const OwnerIndex& index, const json::Object& row,
                                                       std::string_view member) {
    const auto id = normalized_member(row, member);
    if (!id) return std::nullopt;
    const auto found = index.find(*id);
    if (found == index.end()) return std::nullopt;
    return found->second;
}

// A copy of the row for every owner but the last, which takes the row itself.
void attach(LayerRows& layer, const std::vector<std::string>& owners, json::Object& row) {
    for (std::size_t i = 0; i < owners.size(); ++i) {
        if (i + 1 == owners.size()) {
            layer[owners[i]].push_back(std::move(row));
        } else {
            layer[owners[i]].push_back(row);
        }
    }
}

Rows take(LayerRows& layer, const std::string& name) {
    const auto found = layer.find(name);
    if (found == layer.end()) return {};
    return std::move(found->second);
}

// Groups and components: owned through their parent product; their own ids join the index so that
// tags on them find their bundles.
ChunkRows attach_by_parent(OwnerIndex& index, LayerRows& layer) {
    return [&index, &layer](Rows& rows) {
        for (json::Object& row : rows) {
            auto owners = owners_through(index, row, "ParentProductId");
            if (!owners) continue;
            if (const auto id = record_id(row)) add_owners(index, *id, *owners);
            attach(layer, *owners, row);
        }
    };
}

// Selling model options, price book entries and tags: owned through the record they name; they never
// join the index.
ChunkRows attach_through(const OwnerIndex& index, std::string_view member, LayerRows& layer) {
    return [&index, member, &layer](Rows& rows) {
        for (json::Object& row : rows) {
            if (auto owners = owners_through(index, row, member)) attach(layer, *owners, row);
        }
    };
}

}  // namespace

ChannelResult<SideBundleReads> read_bundle_layers_without_classifications(
    RecordChannels& channels, std::string_view org, std::string_view label, const std::set<std::string>& bundle_names,
    std::span<const document::ObjectFieldPlan> plans, const std::map<std::string, std::string>& model_names,
    const domain::CancellationToken& token) {
    if (bundle_names.empty()) return SideBundleReads{};

    // Bundle products, grouped by the name the org returned.
    const std::vector<std::string> names(bundle_names.begin(), bundle_names.end());
    std::map<std::string, Rows> rows_by_name;
    std::set<std::string> ids_of_earlier_chunks;
    const std::string products_before = fmt::format("SELECT {}{}", select_list(plans, kProduct2, kProductExtras),
                                                    kBundleProductsWhere);
    auto read = query_in_chunks(channels, org, products_before, names, kBundleProductsAfter, token, [&](Rows& rows) {
        std::vector<std::string> ids_of_chunk;
        for (json::Object& row : rows) {
            auto id = record_id(row);
            if (id && ids_of_earlier_chunks.contains(*id)) continue;
            auto name = normalized_member(row, "Name");
            if (!name) continue;
            if (id) ids_of_chunk.push_back(std::move(*id));
            rows_by_name[std::move(*name)].push_back(std::move(row));
        }
        ids_of_earlier_chunks.insert(ids_of_chunk.begin(), ids_of_chunk.end());
    });
    if (!read) return std::unexpected(std::move(read.error()));

    SideBundleReads result;
    OwnerIndex owners;
    std::map<std::string, json::Object> bundle_products;
    std::set<std::string> bundle_product_ids;
    for (auto& [name, rows] : rows_by_name) {
        if (rows.size() > 1) {
            result.ambiguity_messages.emplace(name, fmt::format(kAmbiguousBundleNameFormat, name, rows.size(), label));
        }
        if (auto id = record_id(rows.front())) {
            add_owners(owners, *id, std::span<const std::string>(&name, 1));
            bundle_product_ids.insert(std::move(*id));
        }
        bundle_products.emplace(name, std::move(rows.front()));
    }
    rows_by_name.clear();

    // Groups and components of the bundle products themselves.
    const std::vector<std::string> parent_ids(bundle_product_ids.begin(), bundle_product_ids.end());
    LayerRows groups;
    LayerRows components;
    read = query_in_chunks(channels, org, select_from(plans, kProductComponentGroup, kGroupExtras) + std::string(kByParentWhere),
                           parent_ids, kCloseList, token, attach_by_parent(owners, groups));
    if (!read) return std::unexpected(std::move(read.error()));
    read = query_in_chunks(channels, org,
                           select_from(plans, kProductRelatedComponent, kComponentExtras) + std::string(kByParentWhere),
                           parent_ids, kCloseList, token, attach_by_parent(owners, components));
    if (!read) return std::unexpected(std::move(read.error()));

    // Child products: each bundle's list in the order first met, all of them read once.
    std::map<std::string, std::vector<std::string>> child_ids_by_bundle;
    std::set<std::string> all_child_ids;
    for (const auto& [name, rows] : components) {
        std::vector<std::string>& list = child_ids_by_bundle[name];
        for (const json::Object& row : rows) {
            auto child = normalized_member(row, "ChildProductId");
            if (!child || std::ranges::find(list, *child) != list.end()) continue;
            all_child_ids.insert(*child);
            list.push_back(std::move(*child));
        }
    }
    const std::vector<std::string> child_ids(all_child_ids.begin(), all_child_ids.end());
    std::map<std::string, json::Object> child_products;
    read = query_in_chunks(channels, org, fmt::format("SELECT {}{}", select_list(plans, kProduct2, kProductExtras),
                                                      kChildProductsWhere),
                           child_ids, kCloseList, token, [&](Rows& rows) {
                               for (json::Object& row : rows) {
                                   if (auto id = record_id(row)) child_products.insert_or_assign(std::move(*id), std::move(row));
                               }
                           });
    if (!read) return std::unexpected(std::move(read.error()));
    for (const auto& [name, ids] : child_ids_by_bundle) {
        for (const std::string& id : ids) add_owners(owners, id, std::span<const std::string>(&name, 1));
    }

    // Pricing of the bundle products and their child products, two queries per chunk.
    std::set<std::string> pricing(bundle_product_ids);
    pricing.insert(all_child_ids.begin(), all_child_ids.end());
    const std::vector<std::string> pricing_ids(pricing.begin(), pricing.end());
    LayerRows options;
    LayerRows entries;
    const ChunkQuery pricing_queries[] = {
        {select_from(plans, kProductSellingModelOption, kOptionExtras) + std::string(kByProductWhere),
         std::string(kCloseList), attach_through(owners, "Product2Id", options)},
        {select_from(plans, kPricebookEntry, kEntryExtras) + std::string(kByProductWhere), std::string(kCloseList),
         attach_through(owners, "Product2Id", entries)},
    };
    read = query_in_chunks(channels, org, pricing_ids, pricing_queries, token);
    if (!read) return std::unexpected(std::move(read.error()));

    // Tags of every record owned so far, only when there are constraint models to name them by.
    LayerRows tags;
    if (!model_names.empty()) {
        std::vector<std::string> owned_ids;
        owned_ids.reserve(owners.size());
        for (const auto& [id, names_of_id] : owners) owned_ids.push_back(id);
        read = query_in_chunks(channels, org, kTagsBefore, owned_ids, kCloseList, token,
                               attach_through(owners, "ReferenceObjectId", tags));
        if (!read) return std::unexpected(std::move(read.error()));
    }

    for (auto& [name, product] : bundle_products) {
        document::BundleLayers layers;
        layers.bundle = std::move(product);
        layers.groups = take(groups, name);
        layers.components = take(components, name);
        if (const auto ids = child_ids_by_bundle.find(name); ids != child_ids_by_bundle.end()) {
            for (const std::string& id : ids->second) {
                if (const auto found = child_products.find(id); found != child_products.end()) {
                    layers.child_products.push_back(found->second);
                }
            }
        }
        layers.selling_model_options = take(options, name);
        layers.price_book_entries = take(entries, name);
        layers.constraint_objects = take(tags, name);
        layers.expression_set_names = model_names;
        result.layers.emplace(name, std::move(layers));
    }
    return result;
}

ChannelResult<SideBundleReads> read_bundle_layers_for_side(
    RecordChannels& channels, std::string_view org, std::string_view label, const std::set<std::string>& bundle_names,
    std::span<const document::ObjectFieldPlan> plans, const std::vector<json::Object>& classifications,
    const std::map<std::string, std::string>& model_names, const domain::CancellationToken& token) {
    auto reads = read_bundle_layers_without_classifications(channels, org, label, bundle_names, plans, model_names, token);
    if (!reads) return reads;
    for (auto& [name, layers] : reads->layers) layers.classifications = classifications;
    return reads;
}

}  // namespace ambrel::data::bundles::synthesis
