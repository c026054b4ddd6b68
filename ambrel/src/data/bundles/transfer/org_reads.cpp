#include "data/bundles/transfer/org_reads.hpp"

#include <algorithm>

#include <fmt/format.h>

#include "data/bundles/transfer/record_views.hpp"
#include "data/key_fill.hpp"
#include "text/text.hpp"

namespace ambrel::data::bundles::transfer {
namespace {

constexpr std::string_view kSchemaLabel = "the {} schema of {}";
constexpr std::string_view kMissingObject = "The object {} does not exist in {}.";
constexpr std::string_view kByKeyLabel = "{} records of {} by key";

// A member that is a JSON string not blank after trimming, trimmed.
std::optional<std::string> usable_text(const json::Object& record, std::string_view member) {
    const auto* value = record.if_contains(member);
    if (value == nullptr || !value->is_string()) {
        return std::nullopt;
    }
    const auto trimmed = text::trim(std::string_view(value->get_string()));
    if (trimmed.empty()) {
        return std::nullopt;
    }
    return std::string(trimmed);
}

ChannelResult<std::map<std::string, std::string, std::less<>>> read_names(synthesis::RecordChannels& channels,
                                                                           std::string_view alias,
                                                                           std::string_view label,
                                                                           std::string_view object,
                                                                           const Progress& progress,
                                                                           const domain::CancellationToken& token) {
    progress(fmt::format("{} records of {}", object, label));
    auto rows = channels.query(alias, fmt::format("SELECT Id, Name FROM {}", object), token);
    if (!rows) {
        return std::unexpected(rows.error());
    }
    std::map<std::string, std::string, std::less<>> names;
    for (const auto& row : *rows) {
        auto id = usable_text(row, "Id");
        auto name = usable_text(row, "Name");
        if (id && name) {
            names.insert_or_assign(std::move(*name), std::move(*id));
        }
    }
    return names;
}

bool has_text(const std::optional<std::string>& value) { return value && !text::is_blank(*value); }

}  // namespace

ChannelResult<TransferSchemas> read_schemas(synthesis::RecordChannels& channels, std::string_view source_alias,
                                            std::string_view source_label, std::string_view target_alias,
                                            std::string_view target_label, const Progress& progress,
                                            const domain::CancellationToken& token) {
    TransferSchemas schemas;
    for (const auto layer : kLayers) {
        const std::string object(layer_object(layer));
        progress(fmt::format(fmt::runtime(kSchemaLabel), object, target_label));
        auto target = channels.describe(target_alias, object, token);
        if (!target) {
            return std::unexpected(target.error());
        }
        if (!*target) {
            return std::unexpected(ChannelError::failure(fmt::format(fmt::runtime(kMissingObject), object, target_label)));
        }
        progress(fmt::format(fmt::runtime(kSchemaLabel), object, source_label));
        auto source = channels.describe(source_alias, object, token);
        if (!source) {
            return std::unexpected(source.error());
        }
        if (*source) {
            if (auto key = preparation::key_field_for_transfer(**source, **target)) {
                schemas.keys.emplace(object, std::move(*key));
            }
            schemas.source.emplace(object, std::move(**source));
        }
        schemas.target.emplace(object, std::move(**target));
    }
    return schemas;
}

ChannelResult<TargetCatalogs> read_catalogs(synthesis::RecordChannels& channels, std::string_view target_alias,
                                            std::string_view target_label, const Progress& progress,
                                            const domain::CancellationToken& token) {
    TargetCatalogs catalogs;
    auto types = read_names(channels, target_alias, target_label, "ProductRelationshipType", progress, token);
    if (!types) {
        return std::unexpected(types.error());
    }
    catalogs.relationship_types = std::move(*types);
    auto models = read_names(channels, target_alias, target_label, "ProductSellingModel", progress, token);
    if (!models) {
        return std::unexpected(models.error());
    }
    catalogs.selling_models = std::move(*models);
    progress(fmt::format("Pricebook2 records of {}", target_label));
    auto books = channels.query(target_alias, "SELECT Id, Name, IsStandard FROM Pricebook2", token);
    if (!books) {
        return std::unexpected(books.error());
    }
    for (const auto& row : *books) {
        auto id = usable_text(row, "Id");
        if (!id) {
            continue;
        }
        const auto* standard = row.if_contains("IsStandard");
        if (standard != nullptr && standard->is_bool() && standard->get_bool() && !catalogs.standard_price_book) {
            catalogs.standard_price_book = *id;
        }
        if (auto name = usable_text(row, "Name")) {
            catalogs.price_books.insert_or_assign(std::move(*name), std::move(*id));
        }
    }
    return catalogs;
}

KeyIndex index_by_key_value(const SideRecords& target_records, const TransferSchemas& schemas) {
    KeyIndex index;
    for (const auto& [key, records] : target_records) {
        const std::string object(layer_object(key.layer()));
        const auto found = schemas.keys.find(object);
        if (found == schemas.keys.end()) {
            continue;
        }
        for (const auto& record : records) {
            if (has_text(record.key_value)) {
                index[{object, found->second.field, *record.key_value}].push_back(record);
            }
        }
    }
    return index;
}

KeyCandidates key_candidates_by_layer(const std::map<std::string, KeyField, std::less<>>& keys,
                                      const SideRecords& source_records) {
    KeyCandidates candidates;
    for (const auto& [key, records] : source_records) {
        if (!keys.contains(layer_object(key.layer()))) {
            continue;
        }
        for (const auto& record : records) {
            if (has_text(record.key_value)) {
                candidates[key.layer()].insert(*record.key_value);
            }
            if (auto reversed = key_fill::key_value_for_18_char_id(record.id)) {
                candidates[key.layer()].insert(std::move(*reversed));
            }
        }
    }
    return candidates;
}

ChannelResult<KeyIndex> read_target_by_key(synthesis::RecordChannels& channels, std::string_view target_alias,
                                           std::string_view target_label, std::span<const PlannedRecord> records,
                                           const TransferSchemas& schemas, const KeyCandidates& candidates,
                                           const Progress& progress, const domain::CancellationToken& token) {
    KeyIndex index;
    for (const auto& [layer, identities] : layer_identities(records)) {
        const std::string object(layer_object(layer));
        progress(fmt::format(fmt::runtime(kByKeyLabel), object, target_label));
        const auto values = candidates.find(layer);
        const auto key = schemas.keys.find(object);
        if (values == candidates.end() || values->second.empty() || key == schemas.keys.end() ||
            schemas.target_field(object, key->second.field) == nullptr) {
            continue;
        }
        const auto& key_field = key->second.field;
        const auto fields = known_fields(layer_fields(records, layer), schemas, Side::Target, object);
        const auto link_fields = known_fields(layer_link_fields(records, layer), schemas, Side::Target, object);
        const auto paths = target_reference_paths(link_fields, schemas.target.find(object)->second);
        std::vector<std::string> columns;
        const auto add = [&](const std::string& column) {
            if (std::find(columns.begin(), columns.end(), column) == columns.end()) {
                columns.push_back(column);
            }
        };
        add("Id");
        add(key_field);
        std::for_each(fields.begin(), fields.end(), add);
        std::for_each(link_fields.begin(), link_fields.end(), add);
        push_reference_columns(columns, paths);
        std::string select;
        for (const auto& column : columns) {
            select += select.empty() ? "" : ", ";
            select += column;
        }

        const std::vector<std::string> ascending(values->second.begin(), values->second.end());
        for (std::size_t start = 0; start < ascending.size(); start += synthesis::kMaxRecordsPerRequest) {
            const auto count = std::min(synthesis::kMaxRecordsPerRequest, ascending.size() - start);
            const std::span<const std::string> chunk(ascending.data() + start, count);
            auto rows = channels.query(
                target_alias,
                fmt::format("SELECT {} FROM {} WHERE {} IN ({})", select, object, key_field, quoted_list(chunk)),
                token);
            if (!rows) {
                return std::unexpected(rows.error());
            }
            for (const auto& row : *rows) {
                auto id = usable_text(row, "Id");
                if (!id) {
                    continue;
                }
                auto key_value = read_field(row, key_field);
                if (!key_value) {
                    continue;
                }
                ExistingRecord record;
                record.id = std::move(*id);
                record.key_value = key_value;
                for (const auto& field : fields) {
                    if (auto value = read_field(row, field)) {
                        record.values.emplace(field, std::move(*value));
                    }
                }
                for (const auto& field : link_fields) {
                    if (auto value = read_field(row, field)) {
                        record.links.emplace(field, std::move(*value));
                    }
                }
                record.dangling = dangling_references(row, paths);
                index[{object, key_field, *key_value}].push_back(std::move(record));
            }
        }
    }
    return index;
}

void merge_key_index(KeyIndex& index, KeyIndex second) {
    for (auto& [key, records] : second) {
        auto& listed = index[key];
        for (auto& record : records) {
            const bool present = std::any_of(listed.begin(), listed.end(),
                                             [&](const ExistingRecord& existing) { return existing.id == record.id; });
            if (!present) {
                listed.push_back(std::move(record));
            }
        }
    }
}

}  // namespace ambrel::data::bundles::transfer
