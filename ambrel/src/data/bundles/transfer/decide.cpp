#include "data/bundles/transfer/decide.hpp"

#include <array>
#include <optional>
#include <string>
#include <tuple>
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
    const auto object = layer_object(record.layer());

    const auto described = schemas.target.find(object);
    for (const auto& [field, value] : record.fields) {
        if (described == schemas.target.end() || !described->second.fields.contains(field)) {
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
        // The candidates form an ordered set of at most two texts: a prepared record's key value is
        // its own reversed Id and must count once.
        std::array<std::optional<std::string>, 2> candidates;
        if (source_record.key_value && !text::is_blank(*source_record.key_value)) {
            candidates[0] = *source_record.key_value;
        }
        candidates[1] = key_fill::key_value_for_18_char_id(source_record.id);
        if (candidates[0] && candidates[1] && *candidates[1] < *candidates[0]) {
            std::swap(candidates[0], candidates[1]);
        }
        if (candidates[0] && candidates[1] && *candidates[0] == *candidates[1]) {
            candidates[1].reset();
        }
        std::array<const std::vector<ExistingRecord>*, 2> found{};
        std::size_t lists = 0;
        std::size_t count = 0;
        for (const auto& candidate : candidates) {
            if (!candidate) {
                continue;
            }
            const auto listed = key_index.find(
                std::tuple<std::string_view, std::string_view, std::string_view>(object, key->second.field, *candidate));
            if (listed != key_index.end() && !listed->second.empty()) {
                found[lists++] = &listed->second;
                count += listed->second.size();
            }
        }
        if (count == 1) {
            return update_or_unchanged(record, schemas, source_record.id, found.front()->front(), target_ids,
                                       catalogs);
        }
        if (count > 1) {
            std::vector<const ExistingRecord*> matches;
            for (std::size_t i = 0; i < lists; ++i) {
                for (const auto& match : *found[i]) {
                    matches.push_back(&match);
                }
            }
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
