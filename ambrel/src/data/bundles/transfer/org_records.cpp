#include "data/bundles/transfer/org_records.hpp"

#include <algorithm>

#include "data/bundles/transfer/record_views.hpp"
#include "text/text.hpp"

namespace ambrel::data::bundles::transfer {
namespace {

template <typename... F>
struct Overloaded : F... {
    using F::operator()...;
};

std::optional<std::string> lookup(const std::map<std::string, std::string, std::less<>>& map, std::string_view name) {
    const auto found = map.find(name);
    if (found == map.end()) {
        return std::nullopt;
    }
    return found->second;
}

}  // namespace

const schema::FieldSchema* TransferSchemas::target_field(std::string_view object, std::string_view field) const {
    const auto described = target.find(object);
    if (described == target.end()) {
        return nullptr;
    }
    const auto found = described->second.fields.find(field);
    return found == described->second.fields.end() ? nullptr : &found->second;
}

std::optional<std::string> TargetCatalogs::resolve(const CatalogRef& ref) const {
    return std::visit(Overloaded{
                          [&](const CatalogRef::RelationshipType& r) { return lookup(relationship_types, r.name); },
                          [&](const CatalogRef::SellingModel& r) { return lookup(selling_models, r.name); },
                          [&](const CatalogRef::PriceBook& r) {
                              return r.standard ? standard_price_book : lookup(price_books, r.name);
                          },
                      },
                      ref.value());
}

std::vector<std::string> known_fields(const std::vector<std::string>& names, const TransferSchemas& schemas, Side side,
                                      std::string_view object) {
    const auto& describes = side == Side::Target ? schemas.target : schemas.source;
    const auto described = describes.find(object);
    std::vector<std::string> known;
    if (described == describes.end()) {
        return known;
    }
    for (const auto& name : names) {
        if (described->second.fields.contains(name)) {
            known.push_back(name);
        }
    }
    return known;
}

std::vector<std::pair<std::string, std::string>> target_reference_paths(const std::vector<std::string>& names,
                                                                        const schema::ObjectSchema& target) {
    std::vector<std::pair<std::string, std::string>> paths;
    for (const auto& name : names) {
        const auto found = target.fields.find(name);
        if (found == target.fields.end() || found->second.type != "reference") {
            continue;
        }
        const auto& relationship = found->second.relationship_name;
        if (relationship && !text::is_blank(*relationship)) {
            paths.emplace_back(name, *relationship);
        }
    }
    return paths;
}

std::vector<std::string> dangling_references(const json::Object& record,
                                             const std::vector<std::pair<std::string, std::string>>& pairs) {
    std::vector<std::string> dangling;
    for (const auto& [field, relationship] : pairs) {
        const auto value = read_field(record, field);
        if (!value || text::is_blank(*value)) {
            continue;
        }
        const auto* related = record.if_contains(relationship);
        if (related != nullptr && related->is_null()) {
            dangling.push_back(field);
        }
    }
    return dangling;
}

void push_reference_columns(std::vector<std::string>& columns,
                            const std::vector<std::pair<std::string, std::string>>& pairs) {
    const auto push = [&](std::string text) {
        if (std::find(columns.begin(), columns.end(), text) == columns.end()) {
            columns.push_back(std::move(text));
        }
    };
    for (const auto& [field, relationship] : pairs) {
        push(field);
        push(relationship + ".Id");
    }
}

}  // namespace ambrel::data::bundles::transfer
