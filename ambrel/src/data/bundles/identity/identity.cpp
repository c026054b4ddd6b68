#include "data/bundles/identity/identity.hpp"

#include <algorithm>
#include <map>
#include <set>

#include <fmt/format.h>

#include "text/text.hpp"

namespace ambrel::data::bundles::identity {

namespace {

std::optional<std::string> normalized(const json::Value* value) {
    if (value == nullptr) return std::nullopt;
    const auto string = json::as_string(*value);
    if (!string) return std::nullopt;
    const std::string_view trimmed = text::trim(*string);
    if (trimmed.empty()) return std::nullopt;
    return std::string(trimmed);
}

}  // namespace

std::optional<std::string> lookup(const json::Object& record, std::string_view relationship, std::string_view field) {
    const json::Object* parent = json::get_object(record, relationship);
    if (parent == nullptr) return std::nullopt;
    return normalized(json::find(*parent, field));
}

std::optional<std::string> normalized_member(const json::Object& record, std::string_view member) {
    return normalized(json::find(record, member));
}

std::optional<std::string> record_id(const json::Object& record) { return normalized_member(record, "Id"); }

std::optional<ComponentIdentity> ComponentIdentity::of(const json::Object& record) {
    ComponentIdentity identity;
    if (auto product = lookup(record, "ChildProduct", "Name")) {
        identity.kind = ComponentChildKind::Product;
        identity.child = std::move(*product);
    } else if (auto classification = lookup(record, "ChildProductClassification", "Code")) {
        identity.kind = ComponentChildKind::Classification;
        identity.child = std::move(*classification);
    } else {
        return std::nullopt;
    }
    identity.group = lookup(record, "ProductComponentGroup", "Name");
    return identity;
}

std::string ComponentIdentity::label() const {
    std::string label =
        fmt::format("{} {}", kind == ComponentChildKind::Product ? "product" : "classification", child);
    if (group) label = fmt::format("{} in group {}", label, *group);
    return label;
}

std::optional<SellingModelOptionIdentity> SellingModelOptionIdentity::of(const json::Object& record) {
    auto product = lookup(record, "Product2", "Name");
    auto selling_model = lookup(record, "ProductSellingModel", "Name");
    if (!product || !selling_model) return std::nullopt;
    return SellingModelOptionIdentity{std::move(*product), std::move(*selling_model)};
}

std::optional<PriceBookEntryIdentity> PriceBookEntryIdentity::of(const json::Object& record) {
    auto product = lookup(record, "Product2", "Name");
    if (!product) return std::nullopt;
    auto price_book = lookup(record, "Pricebook2", "Name");
    if (!price_book) return std::nullopt;
    return PriceBookEntryIdentity{std::move(*product), std::move(*price_book),
                                  lookup(record, "ProductSellingModel", "Name"),
                                  normalized_member(record, "CurrencyIsoCode")};
}

std::vector<std::string> duplicate_identities(std::span<const std::string> texts) {
    std::map<std::string_view, std::size_t> counts;
    for (const std::string& text : texts) ++counts[text];
    std::vector<std::string> duplicates;
    for (const auto& [text, count] : counts) {
        if (count > 1) duplicates.emplace_back(text);
    }
    return duplicates;
}

std::vector<std::string> case_insensitive_collisions(std::span<const std::string> names) {
    std::map<std::string, std::set<std::string_view>> by_lower;
    for (const std::string& name : names) by_lower[text::to_lower(name)].insert(name);
    std::set<std::string_view> colliding;
    for (const auto& [lower, forms] : by_lower) {
        if (forms.size() > 1) colliding.insert(forms.begin(), forms.end());
    }
    return {colliding.begin(), colliding.end()};
}

std::string ambiguous_reason(std::string_view kind, std::span<const std::string> identities) {
    const std::size_t shown = std::min(identities.size(), kMaxShownIdentities);
    std::string joined;
    for (std::size_t index = 0; index < shown; ++index) {
        if (index > 0) joined.append(", ");
        joined.append(identities[index]);
    }
    std::string suffix;
    if (identities.size() > kMaxShownIdentities) suffix = fmt::format(" (and {} more)", identities.size() - shown);
    return fmt::format("Ambiguous {}: {}{}", kind, joined, suffix);
}

}  // namespace ambrel::data::bundles::identity
