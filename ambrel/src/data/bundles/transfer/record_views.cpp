#include "data/bundles/transfer/record_views.hpp"

#include <set>

#include "data/key_fill.hpp"

namespace ambrel::data::bundles::transfer {

std::uint64_t chain_depth(std::string_view name, const std::map<std::string, std::string, std::less<>>& parents) {
    if (parents.empty()) {
        return 0;
    }
    std::string current(name);
    std::uint64_t depth = 0;
    std::set<std::string, std::less<>> visited;
    while (true) {
        const auto found = parents.find(current);
        if (found == parents.end()) {
            return depth;
        }
        if (!visited.insert(current).second) {
            return depth;
        }
        current = found->second;
        ++depth;
    }
}

std::vector<std::string> layer_fields(std::span<const PlannedRecord> records, Layer layer) {
    std::set<std::string> names;
    for (const auto& record : records) {
        if (record.layer() == layer) {
            for (const auto& [field, value] : record.fields) {
                names.insert(field);
            }
        }
    }
    return {names.begin(), names.end()};
}

std::vector<std::string> layer_link_fields(std::span<const PlannedRecord> records, Layer layer) {
    std::set<std::string> names;
    for (const auto& record : records) {
        if (record.layer() == layer) {
            for (const auto& link : record.links) {
                names.insert(link.first);
            }
            for (const auto& link : record.catalog_links) {
                names.insert(link.first);
            }
        }
    }
    return {names.begin(), names.end()};
}

std::vector<std::pair<Layer, std::vector<std::string>>> layer_identities(std::span<const PlannedRecord> records) {
    std::map<Layer, std::set<std::string>> by_layer;
    for (const auto& record : records) {
        by_layer[record.layer()].insert(record.key.identity());
    }
    std::vector<std::pair<Layer, std::vector<std::string>>> result;
    for (auto& [layer, texts] : by_layer) {
        result.emplace_back(layer, std::vector<std::string>(texts.begin(), texts.end()));
    }
    return result;
}

std::optional<std::string> read_field(const json::Object& record, std::string_view field) {
    const auto* value = record.if_contains(field);
    if (value == nullptr) {
        return std::nullopt;
    }
    if (value->is_string()) {
        return std::string(value->get_string());
    }
    if (value->is_bool()) {
        return std::string(value->get_bool() ? "true" : "false");
    }
    return json::number_text(*value);
}

std::string quoted_list(std::span<const std::string> values) {
    std::string list;
    for (const auto& value : values) {
        if (!list.empty()) {
            list += ", ";
        }
        list += '\'';
        list += key_fill::escape_soql_literal(value);
        list += '\'';
    }
    return list;
}

}  // namespace ambrel::data::bundles::transfer
