#include "data/bundles/synthesis/tagging_models.hpp"

#include <utility>
#include <vector>

#include "data/bundles/identity/identity.hpp"
#include "data/bundles/synthesis/chunked_query.hpp"
#include "data/bundles/synthesis/synthesize.hpp"
#include "metadata_types/name_rules.hpp"

namespace ambrel::data::bundles::synthesis {

namespace {

using identity::normalized_member;
using identity::record_id;
using Rows = std::vector<json::Object>;
// Record id (product, group, related component or child product) → the bundle names it belongs to.
using Addressees = std::map<std::string, std::set<std::string>>;

constexpr std::string_view kExpressionSet = "ExpressionSet";
constexpr std::string_view kBundleProductsBefore = "SELECT Id, Name FROM Product2 WHERE Type = 'Bundle' AND Name IN (";
constexpr std::string_view kBundleProductsAfter = ") ORDER BY Id";
constexpr std::string_view kGroupsBefore =
    "SELECT Id, ParentProductId FROM ProductComponentGroup WHERE ParentProductId IN (";
constexpr std::string_view kComponentsBefore =
    "SELECT Id, ParentProductId, ChildProductId FROM ProductRelatedComponent WHERE ParentProductId IN (";
constexpr std::string_view kTagsBefore =
    "SELECT ExpressionSetId, ReferenceObjectId FROM ExpressionSetConstraintObj WHERE ReferenceObjectId IN (";
constexpr std::string_view kCloseList = ")";

std::vector<std::string> keys_of(const Addressees& addressees) {
    std::vector<std::string> keys;
    keys.reserve(addressees.size());
    for (const auto& [id, names] : addressees) keys.push_back(id);
    return keys;
}

// The names the parent holds now (none without an entry), for a row that has both ids.
std::optional<std::pair<std::string, std::set<std::string>>> parent_names(const Addressees& addressees,
                                                                          const json::Object& row) {
    auto id = record_id(row);
    const auto parent = normalized_member(row, "ParentProductId");
    if (!id || !parent) return std::nullopt;
    const auto found = addressees.find(*parent);
    return std::pair{std::move(*id), found == addressees.end() ? std::set<std::string>{} : found->second};
}

}  // namespace

ChannelResult<TaggingModels> tagging_models_for_bundles(RecordChannels& channels, std::string_view org,
                                                        const std::set<std::string>& bundle_names,
                                                        const domain::CancellationToken& token) {
    if (bundle_names.empty()) return TaggingModels{};

    auto schema = channels.describe(org, kExpressionSet, token);
    if (!schema) return std::unexpected(std::move(schema.error()));
    if (!*schema) return TaggingModels{};

    auto model_rows = channels.query(org, kExpressionSetQuery, token);
    if (!model_rows) return std::unexpected(std::move(model_rows.error()));
    // ExpressionSet id → model API name.
    std::map<std::string, std::string> models;
    for (const json::Object& row : *model_rows) {
        auto id = record_id(row);
        auto name = normalized_member(row, "ApiName");
        if (!id || !name) continue;
        if (identity::lookup(row, "ExpressionSetDefinition", "NamespacePrefix")) continue;
        if (!metadata_types::is_valid_record_row_name(*name)) continue;
        models.insert_or_assign(std::move(*id), std::move(*name));
    }
    if (models.empty()) return TaggingModels{};

    std::vector<std::string> names;
    for (const std::string& name : bundle_names) {
        if (metadata_types::is_valid_record_row_name(name)) names.push_back(name);
    }
    if (names.empty()) return TaggingModels{};

    Addressees addressees;
    auto read = query_in_chunks(channels, org, kBundleProductsBefore, names, kBundleProductsAfter, token, [&](Rows& rows) {
        // Rows come in ascending id order, so the first row of a name is its lowest id.
        std::map<std::string, std::string> first_of_name;
        for (const json::Object& row : rows) {
            auto id = record_id(row);
            auto name = normalized_member(row, "Name");
            if (id && name) first_of_name.try_emplace(std::move(*name), std::move(*id));
        }
        for (auto& [name, id] : first_of_name) addressees[id].insert(name);
    });
    if (!read) return std::unexpected(std::move(read.error()));

    const std::vector<std::string> product_ids = keys_of(addressees);
    const ChunkQuery parent_queries[] = {
        {std::string(kGroupsBefore), std::string(kCloseList),
         [&](Rows& rows) {
             for (const json::Object& row : rows) {
                 if (auto found = parent_names(addressees, row)) {
                     addressees[found->first].insert(found->second.begin(), found->second.end());
                 }
             }
         }},
        {std::string(kComponentsBefore), std::string(kCloseList),
         [&](Rows& rows) {
             for (const json::Object& row : rows) {
                 auto found = parent_names(addressees, row);
                 if (!found) continue;
                 if (const auto child = normalized_member(row, "ChildProductId")) {
                     addressees[*child].insert(found->second.begin(), found->second.end());
                 }
                 addressees[found->first].insert(found->second.begin(), found->second.end());
             }
         }},
    };
    read = query_in_chunks(channels, org, product_ids, parent_queries, token);
    if (!read) return std::unexpected(std::move(read.error()));

    TaggingModels result;
    read = query_in_chunks(channels, org, kTagsBefore, keys_of(addressees), kCloseList, token, [&](Rows& rows) {
        for (const json::Object& row : rows) {
            const auto model_id = normalized_member(row, "ExpressionSetId");
            const auto reference = normalized_member(row, "ReferenceObjectId");
            if (!model_id || !reference) continue;
            const auto model = models.find(*model_id);
            if (model == models.end()) continue;
            const auto tagged = addressees.find(*reference);
            if (tagged == addressees.end() || tagged->second.empty()) continue;
            result[model->second].insert(tagged->second.begin(), tagged->second.end());
        }
    });
    if (!read) return std::unexpected(std::move(read.error()));
    return result;
}

}  // namespace ambrel::data::bundles::synthesis
