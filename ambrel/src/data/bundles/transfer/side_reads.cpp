#include "data/bundles/transfer/side_reads.hpp"

#include <algorithm>
#include <array>
#include <iterator>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "data/bundles/identity/identity.hpp"
#include "data/bundles/transfer/record_views.hpp"

namespace ambrel::data::bundles::transfer {
namespace {

constexpr std::string_view kNoteFormat = "{} records of {}";
constexpr std::string_view kQueryFormat = "SELECT {} FROM {} WHERE {} IN ({})";

// The natural-key columns of a layer, in key order, and the column its query filters on.
struct LayerColumns {
    std::span<const std::string_view> identity;
    std::string_view filter;
};

constexpr std::array<std::string_view, 1> kCodeColumns = {"Code"};
constexpr std::array<std::string_view, 1> kNameColumns = {"Name"};
constexpr std::array<std::string_view, 2> kGroupColumns = {"ParentProduct.Name", "Name"};
constexpr std::array<std::string_view, 4> kComponentColumns = {"ParentProduct.Name", "ChildProduct.Name",
                                                               "ChildProductClassification.Code",
                                                               "ProductComponentGroup.Name"};
constexpr std::array<std::string_view, 2> kOptionColumns = {"Product2.Name", "ProductSellingModel.Name"};
constexpr std::array<std::string_view, 4> kEntryColumns = {"Product2.Name", "Pricebook2.Name",
                                                           "ProductSellingModel.Name", "CurrencyIsoCode"};

LayerColumns columns_of(Layer layer) {
    switch (layer) {
    case Layer::ProductClassification: return {kCodeColumns, "Code"};
    case Layer::Product2: return {kNameColumns, "Name"};
    case Layer::ProductComponentGroup: return {kGroupColumns, "ParentProduct.Name"};
    case Layer::ProductRelatedComponent: return {kComponentColumns, "ParentProduct.Name"};
    case Layer::ProductSellingModelOption: return {kOptionColumns, "Product2.Name"};
    case Layer::PricebookEntry: return {kEntryColumns, "Product2.Name"};
    }
    return {kNameColumns, "Name"};
}

// The natural key of a queried record of the layer; none when a required part is missing.
std::optional<RecordKey> natural_key(Layer layer, const json::Object& row) {
    using identity::lookup;
    using identity::normalized_member;
    switch (layer) {
    case Layer::ProductClassification:
        if (auto code = normalized_member(row, "Code")) {
            return RecordKey(RecordKey::ProductClassification{std::move(*code)});
        }
        return std::nullopt;
    case Layer::Product2:
        if (auto name = normalized_member(row, "Name")) {
            return RecordKey(RecordKey::Product2{std::move(*name)});
        }
        return std::nullopt;
    case Layer::ProductComponentGroup: {
        auto parent = lookup(row, "ParentProduct", "Name");
        auto name = normalized_member(row, "Name");
        if (!parent || !name) {
            return std::nullopt;
        }
        return RecordKey(RecordKey::ProductComponentGroup{std::move(*parent), std::move(*name)});
    }
    case Layer::ProductRelatedComponent: {
        auto parent = lookup(row, "ParentProduct", "Name");
        auto child = lookup(row, "ChildProduct", "Name");
        if (!child) {
            child = lookup(row, "ChildProductClassification", "Code");
        }
        if (!parent || !child) {
            return std::nullopt;
        }
        return RecordKey(RecordKey::ProductRelatedComponent{std::move(*parent), std::move(*child),
                                                            lookup(row, "ProductComponentGroup", "Name")});
    }
    case Layer::ProductSellingModelOption: {
        auto product = lookup(row, "Product2", "Name");
        auto model = lookup(row, "ProductSellingModel", "Name");
        if (!product || !model) {
            return std::nullopt;
        }
        return RecordKey(RecordKey::ProductSellingModelOption{std::move(*product), std::move(*model)});
    }
    case Layer::PricebookEntry: {
        auto product = lookup(row, "Product2", "Name");
        auto book = lookup(row, "Pricebook2", "Name");
        if (!product || !book) {
            return std::nullopt;
        }
        return RecordKey(RecordKey::PricebookEntry{std::move(*product), std::move(*book),
                                                   lookup(row, "ProductSellingModel", "Name"),
                                                   normalized_member(row, "CurrencyIsoCode")});
    }
    }
    return std::nullopt;
}

// What one layer's queries select and how their rows are read.
struct LayerRead {
    std::vector<std::string> columns;
    // Every field of the layer's planned records, selected or not.
    std::vector<std::string> fields;
    std::vector<std::string> link_fields;
    std::vector<std::pair<std::string, std::string>> paths;
    std::optional<std::string> key_field;
};

LayerRead plan_layer_read(Layer layer, Side side, const TransferPlan& plan, const TransferSchemas& schemas) {
    const std::string object(layer_object(layer));
    const auto& describes = side == Side::Target ? schemas.target : schemas.source;
    const auto described = describes.find(object);
    const auto holds = [&](std::string_view field) {
        return described != describes.end() && described->second.fields.contains(field);
    };

    LayerRead read;
    const auto add = [&](std::string column) {
        if (std::find(read.columns.begin(), read.columns.end(), column) == read.columns.end()) {
            read.columns.push_back(std::move(column));
        }
    };
    add("Id");
    if (const auto key = schemas.keys.find(object); key != schemas.keys.end()) {
        read.key_field = key->second.field;
        if (holds(key->second.field)) {
            add(key->second.field);
        }
    }
    read.fields = layer_fields(plan.records, layer);
    for (auto& field : known_fields(read.fields, schemas, side, object)) {
        add(std::move(field));
    }
    for (const auto column : columns_of(layer).identity) {
        if (column.find('.') != std::string_view::npos || holds(column)) {
            add(std::string(column));
        }
    }
    if (side == Side::Target) {
        read.link_fields = known_fields(layer_link_fields(plan.records, layer), schemas, side, object);
        for (const auto& field : read.link_fields) {
            add(field);
        }
        if (described != describes.end()) {
            read.paths = target_reference_paths(read.link_fields, described->second);
            push_reference_columns(read.columns, read.paths);
        }
    }
    return read;
}

ExistingRecord existing_record(std::string id, const json::Object& row, const LayerRead& read, SideDetail detail) {
    ExistingRecord record;
    record.id = std::move(id);
    if (detail == SideDetail::IdentityOnly) {
        if (read.key_field) {
            record.key_value = read_field(row, *read.key_field);
        }
        return record;
    }
    // Both field lists are ascending and distinct, so every entry goes at the end.
    for (const auto& field : read.fields) {
        if (auto value = read_field(row, field)) {
            record.values.emplace_hint(record.values.end(), field, std::move(*value));
        }
    }
    for (const auto& field : read.link_fields) {
        if (auto value = read_field(row, field)) {
            record.links.emplace_hint(record.links.end(), field, std::move(*value));
        }
    }
    record.dangling = dangling_references(row, read.paths);
    if (read.key_field) {
        record.key_value = read_field(row, *read.key_field);
    }
    return record;
}

// The records under `key`, created when new. Rows mostly come in key order, so the entry after the
// last one placed is tried first; `last` then names the key's entry.
std::vector<ExistingRecord>& place(SideRecords& records, SideRecords::iterator& last, RecordKey key) {
    if (last != records.end()) {
        if (last->first == key) {
            return last->second;
        }
        const auto next = std::next(last);
        if (last->first < key && (next == records.end() || key < next->first)) {
            last = records.emplace_hint(next, std::move(key), std::vector<ExistingRecord>{});
            return last->second;
        }
    }
    last = records.try_emplace(std::move(key)).first;
    return last->second;
}

}  // namespace

ChannelResult<SideRecords> read_side(synthesis::RecordChannels& channels, std::string_view org,
                                     std::string_view endpoint_label, Side side, const TransferPlan& plan,
                                     const TransferSchemas& schemas, const Progress& note,
                                     const domain::CancellationToken& token) {
    return read_side(channels, org, endpoint_label, side, plan, schemas, note, token, SideDetail::Full);
}

ChannelResult<SideRecords> read_side(synthesis::RecordChannels& channels, std::string_view org,
                                     std::string_view endpoint_label, Side side, const TransferPlan& plan,
                                     const TransferSchemas& schemas, const Progress& note,
                                     const domain::CancellationToken& token, SideDetail detail) {
    SideRecords records;
    auto last = records.end();
    for (const auto& [layer, identities] : layer_identities(plan.records)) {
        const auto object = layer_object(layer);
        note(fmt::format(fmt::runtime(kNoteFormat), object, endpoint_label));
        const auto read = plan_layer_read(layer, side, plan, schemas);
        std::string select;
        for (const auto& column : read.columns) {
            select += select.empty() ? "" : ", ";
            select += column;
        }
        const auto filter = columns_of(layer).filter;
        for (std::size_t start = 0; start < identities.size(); start += synthesis::kMaxRecordsPerRequest) {
            const auto count = std::min(synthesis::kMaxRecordsPerRequest, identities.size() - start);
            const std::span<const std::string> chunk(identities.data() + start, count);
            auto rows = channels.query(
                org, fmt::format(fmt::runtime(kQueryFormat), select, object, filter, quoted_list(chunk)), token);
            if (!rows) {
                return std::unexpected(rows.error());
            }
            for (const auto& done : *rows) {
                auto key = natural_key(layer, done);
                auto id = identity::record_id(done);
                if (!key || !id) {
                    continue;
                }
                place(records, last, std::move(*key)).push_back(existing_record(std::move(*id), done, read, detail));
            }
        }
    }
    return records;
}

}  // namespace ambrel::data::bundles::transfer
