#include "data/bundles/transfer/decide.hpp"

#include <string>
#include <vector>

#include <fmt/format.h>

#include "data/key_fill.hpp"
#include "text/text.hpp"

namespace ambrel::data::bundles::transfer {
namespace {

constexpr std::string_view kFieldMissing = "the target no longer has the field {}.{}";
constexpr std::string_view kNotInSource = "it no longer exists in the source";
constexpr std::string_view kSourceSide = "source";
constexpr std::string_view kTargetSide = "target";

Decision ambiguous_in_target(const RecordKey& key, const std::vector<const ExistingRecord*>& matches) {
    Decision::Skip skip{ambiguous_match_reason(key, kTargetSide, matches.size()), {}, SkipKind::Ambiguous};
    for (const auto* match : matches) {
        skip.ids.push_back(match->id);
    }
    return Decision{std::move(skip)};
}

}  // namespace

bool plan_order_before(const PlannedRecord& a, const PlannedRecord& b) noexcept {
    if (a.layer() != b.layer()) {
        return a.layer() < b.layer();
    }
    if (a.depth != b.depth) {
        return a.depth < b.depth;
    }
    return a.key < b.key;
}

std::set<Layer> plan_layers(std::span<const PlannedRecord> records) {
    std::set<Layer> layers;
    for (const auto& record : records) {
        layers.insert(record.layer());
    }
    return layers;
}

Decision decide(const PlannedRecord& record, const TransferSchemas& schemas, const SideRecords& source_records,
                const SideRecords& target_records, const KeyIndex& key_index, const TargetIds& target_ids,
                const TargetCatalogs& catalogs) {
    const std::string object(layer_object(record.layer()));

    for (const auto& [field, value] : record.fields) {
        if (schemas.target_field(object, field) == nullptr) {
            return Decision{Decision::Skip{fmt::format(fmt::runtime(kFieldMissing), object, field), {},
                                           SkipKind::FieldMissing}};
        }
    }

    const auto source = source_records.find(record.key);
    if (source == source_records.end() || source->second.empty()) {
        return Decision{Decision::Skip{std::string(kNotInSource), {}, SkipKind::Unavailable}};
    }
    if (source->second.size() > 1) {
        return Decision{Decision::Skip{ambiguous_match_reason(record.key, kSourceSide, source->second.size()), {},
                                       SkipKind::Ambiguous}};
    }
    const auto& source_record = source->second.front();

    if (const auto key = schemas.keys.find(object); key != schemas.keys.end()) {
        // An ordered set: a prepared record's key value is its own reversed Id and must count once.
        std::set<std::string> candidates;
        if (source_record.key_value && !text::is_blank(*source_record.key_value)) {
            candidates.insert(*source_record.key_value);
        }
        if (auto reversed = key_fill::key_value_for_18_char_id(source_record.id)) {
            candidates.insert(std::move(*reversed));
        }
        std::vector<const ExistingRecord*> matches;
        for (const auto& candidate : candidates) {
            const auto found = key_index.find({object, key->second.field, candidate});
            if (found == key_index.end()) {
                continue;
            }
            for (const auto& match : found->second) {
                matches.push_back(&match);
            }
        }
        if (matches.size() == 1) {
            return update_or_unchanged(record, schemas, source_record.id, *matches.front(), target_ids, catalogs);
        }
        if (matches.size() > 1) {
            return ambiguous_in_target(record.key, matches);
        }
    }

    const auto target = target_records.find(record.key);
    if (target == target_records.end() || target->second.empty()) {
        return Decision{Decision::Create{}};
    }
    if (target->second.size() == 1) {
        return update_or_unchanged(record, schemas, source_record.id, target->second.front(), target_ids, catalogs);
    }
    std::vector<const ExistingRecord*> matches;
    for (const auto& match : target->second) {
        matches.push_back(&match);
    }
    return ambiguous_in_target(record.key, matches);
}

}  // namespace ambrel::data::bundles::transfer
