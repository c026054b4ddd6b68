#include "data/bundles/document/build.hpp"

#include <algorithm>
#include <set>
#include <string_view>
#include <utility>

#include "data/bundles/identity/identity.hpp"
#include "text/text.hpp"

namespace ambrel::data::bundles::document {

namespace {

using identity::lookup;
using identity::normalized_member;

constexpr std::string_view kProduct2 = "Product2";
constexpr std::string_view kProductClassification = "ProductClassification";
constexpr std::string_view kProductComponentGroup = "ProductComponentGroup";
constexpr std::string_view kProductRelatedComponent = "ProductRelatedComponent";
constexpr std::string_view kProductSellingModelOption = "ProductSellingModelOption";
constexpr std::string_view kPricebookEntry = "PricebookEntry";
constexpr std::string_view kBundleType = "Bundle";

const std::vector<std::string> kNoFields;

// The compared fields of the first plan of that object; none when no plan names it.
const std::vector<std::string>& compared_of(std::span<const ObjectFieldPlan> plans, std::string_view object) {
    for (const ObjectFieldPlan& plan : plans) {
        if (plan.object == object) return plan.compared;
    }
    return kNoFields;
}

// Records with a key, sorted stably by it; the number left out.
template <class Key, class KeyOf>
std::pair<std::vector<std::pair<Key, const json::Object*>>, std::uint64_t> keyed_sorted(
    const std::vector<json::Object>& records, KeyOf&& key_of) {
    std::vector<std::pair<Key, const json::Object*>> kept;
    std::uint64_t left_out = 0;
    for (const json::Object& record : records) {
        if (auto key = key_of(record)) {
            kept.emplace_back(std::move(*key), &record);
        } else {
            ++left_out;
        }
    }
    std::ranges::stable_sort(kept, [](const auto& a, const auto& b) { return a.first < b.first; });
    return {std::move(kept), left_out};
}

}  // namespace

std::vector<json::Object> needed_classifications(const BundleLayers& layers) {
    std::map<std::string, const json::Object*> index;
    for (const json::Object& record : layers.classifications) {
        if (auto code = normalized_member(record, "Code")) index.insert_or_assign(std::move(*code), &record);
    }
    std::set<std::string> needed;
    auto add = [&](std::optional<std::string> code) {
        if (code) needed.insert(std::move(*code));
    };
    if (layers.bundle) add(lookup(*layers.bundle, "BasedOn", "Code"));
    for (const json::Object& record : layers.child_products) add(lookup(record, "BasedOn", "Code"));
    for (const json::Object& record : layers.components) add(lookup(record, "ChildProductClassification", "Code"));

    // Each code is expanded once, so a loop in the parent chain ends.
    std::vector<std::string> work(needed.begin(), needed.end());
    while (!work.empty()) {
        const std::string code = std::move(work.back());
        work.pop_back();
        const auto found = index.find(code);
        if (found == index.end()) continue;
        if (auto parent = lookup(*found->second, "ParentProductClassification", "Code")) {
            if (needed.insert(*parent).second) work.push_back(std::move(*parent));
        }
    }

    std::vector<json::Object> records;
    for (const std::string& code : needed) {
        if (const auto found = index.find(code); found != index.end()) records.push_back(*found->second);
    }
    return records;
}

std::optional<BundleDocument> build_bundle_document(const BundleLayers& layers, std::span<const ObjectFieldPlan> plans) {
    if (!layers.bundle || !normalized_member(*layers.bundle, "Name")) return std::nullopt;
    const json::Object& bundle = *layers.bundle;

    auto [groups, groups_left] = keyed_sorted<std::string>(
        layers.groups, [](const json::Object& record) { return normalized_member(record, "Name"); });
    auto [components, components_left] =
        keyed_sorted<identity::ComponentIdentity>(layers.components, identity::ComponentIdentity::of);
    auto [children, children_left] = keyed_sorted<std::string>(
        layers.child_products, [](const json::Object& record) { return normalized_member(record, "Name"); });
    auto [options, options_left] =
        keyed_sorted<identity::SellingModelOptionIdentity>(layers.selling_model_options,
                                                           identity::SellingModelOptionIdentity::of);
    auto [entries, entries_left] =
        keyed_sorted<identity::PriceBookEntryIdentity>(layers.price_book_entries, identity::PriceBookEntryIdentity::of);

    BundleDocument document;
    const std::pair<std::string_view, std::uint64_t> left_out[] = {
        {kProductComponentGroup, groups_left}, {kProductRelatedComponent, components_left},
        {kProduct2, children_left},           {kProductSellingModelOption, options_left},
        {kPricebookEntry, entries_left}};
    for (const auto& [object, count] : left_out) {
        if (count > 0) document.unresolved.emplace_back(std::string(object), count);
    }

    std::set<std::string> tagging;
    for (const json::Object& record : layers.constraint_objects) {
        const auto id = normalized_member(record, "ExpressionSetId");
        if (!id) continue;
        if (const auto found = layers.expression_set_names.find(*id); found != layers.expression_set_names.end()) {
            tagging.insert(found->second);
        }
    }
    document.tagged_by.assign(tagging.begin(), tagging.end());

    document.objects.assign(plans.begin(), plans.end());
    const std::vector<std::string>& product_fields = compared_of(plans, kProduct2);
    document.product = field_set(bundle, product_fields);
    document.based_on = lookup(bundle, "BasedOn", "Code");

    const std::vector<std::string>& classification_fields = compared_of(plans, kProductClassification);
    for (const json::Object& record : needed_classifications(layers)) {
        document.classifications.push_back(ClassificationNode{normalized_member(record, "Code").value_or(std::string()),
                                                              lookup(record, "ParentProductClassification", "Code"),
                                                              field_set(record, classification_fields)});
    }

    const std::vector<std::string>& group_fields = compared_of(plans, kProductComponentGroup);
    for (auto& [name, record] : groups) {
        document.groups.push_back(
            GroupNode{std::move(name), lookup(*record, "ParentGroup", "Name"), field_set(*record, group_fields)});
    }

    const std::vector<std::string>& component_fields = compared_of(plans, kProductRelatedComponent);
    for (auto& [key, record] : components) {
        document.components.push_back(ComponentNode{std::move(key), lookup(*record, "ProductRelationshipType", "Name"),
                                                    lookup(*record, "ParentSellingModel", "Name"),
                                                    lookup(*record, "ChildSellingModel", "Name"),
                                                    field_set(*record, component_fields)});
    }

    for (auto& [name, record] : children) {
        const json::Value* type = json::find(*record, "Type");
        const auto type_text = type != nullptr ? json::as_string(*type) : std::nullopt;
        document.child_products.push_back(ChildProductNode{std::move(name), lookup(*record, "BasedOn", "Code"),
                                                           field_set(*record, product_fields),
                                                           type_text && text::trim(*type_text) == kBundleType});
    }

    const std::vector<std::string>& option_fields = compared_of(plans, kProductSellingModelOption);
    for (auto& [key, record] : options) {
        document.selling_model_options.push_back(SellingModelOptionNode{std::move(key), field_set(*record, option_fields)});
    }

    const std::vector<std::string>& entry_fields = compared_of(plans, kPricebookEntry);
    for (auto& [key, record] : entries) {
        const json::Object* price_book = json::get_object(*record, "Pricebook2");
        const bool standard = price_book != nullptr && json::get_bool(*price_book, "IsStandard") == true;
        document.price_book_entries.push_back(
            PriceBookEntryNode{std::move(key), field_set(*record, entry_fields), standard});
    }
    return document;
}

}  // namespace ambrel::data::bundles::document
