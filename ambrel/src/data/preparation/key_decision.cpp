#include "data/preparation/key_decision.hpp"

#include <algorithm>

namespace ambrel::data::preparation {

namespace {

bool has_own_field(const schema::ObjectSchema& schema) { return schema.fields.contains(kOwnField); }

KeyState own_or_missing(const schema::ObjectSchema& schema) {
    if (has_own_field(schema)) return KeyState{KeyState::OwnFieldPresent{}};
    return KeyState{KeyState::FieldMissing{}};
}

// The first candidate of the source that the target also offers.
std::optional<std::string> common_candidate(const schema::ObjectSchema& source, const schema::ObjectSchema& target) {
    const std::vector<std::string> target_candidates = foreign_external_id_candidates(target);
    for (std::string& candidate : foreign_external_id_candidates(source)) {
        if (std::ranges::find(target_candidates, candidate) != target_candidates.end()) return std::move(candidate);
    }
    return std::nullopt;
}

bool is_composite_object(std::string_view name) {
    const auto index = registry::data_object_index(name);
    return index && registry::DATA_OBJECTS[*index].key.is_composite();
}

}  // namespace

std::vector<std::string> foreign_external_id_candidates(const schema::ObjectSchema& schema) {
    std::vector<std::string> names;
    for (const schema::FieldSchema* field : schema.external_id_fields()) {
        if (field->custom && field->name != kOwnField) names.push_back(field->name);
    }
    return names;
}

ObjectKeyDecision decide_one(const registry::DataObjectDescriptor& row, const schema::ObjectSchema* source,
                             const schema::ObjectSchema* target) {
    ObjectKeyDecision decision{row.api_name, KeyState{KeyState::ObjectAbsent{}}, KeyState{KeyState::ObjectAbsent{}}};
    if (row.key.is_composite()) {
        const KeyState composite{KeyState::NotCustomizable{row.key.composite_fields()}};
        if (source != nullptr) decision.source = composite;
        if (target != nullptr) decision.target = composite;
        return decision;
    }
    if (source == nullptr || target == nullptr) {
        if (source != nullptr) decision.source = own_or_missing(*source);
        if (target != nullptr) decision.target = own_or_missing(*target);
        return decision;
    }
    if (has_own_field(*source) || has_own_field(*target)) {
        decision.source = own_or_missing(*source);
        decision.target = own_or_missing(*target);
        return decision;
    }
    if (auto candidate = common_candidate(*source, *target)) {
        decision.source = KeyState{KeyState::ForeignFieldAccepted{*candidate}};
        decision.target = KeyState{KeyState::ForeignFieldAccepted{std::move(*candidate)}};
    } else {
        decision.source = KeyState{KeyState::FieldMissing{}};
        decision.target = KeyState{KeyState::FieldMissing{}};
    }
    return decision;
}

std::vector<ObjectKeyDecision> decide_key_states(std::span<const registry::DataObjectDescriptor* const> rows,
                                                 const SchemaMap& source, const SchemaMap& target) {
    std::vector<ObjectKeyDecision> decisions;
    decisions.reserve(rows.size());
    for (const registry::DataObjectDescriptor* row : rows) {
        const auto in_source = source.find(row->api_name);
        const auto in_target = target.find(row->api_name);
        decisions.push_back(decide_one(*row, in_source == source.end() ? nullptr : &in_source->second,
                                       in_target == target.end() ? nullptr : &in_target->second));
    }
    return decisions;
}

std::vector<RecordCountQuery> record_count_queries(std::span<const ObjectKeyDecision> decisions) {
    std::vector<RecordCountQuery> queries;
    for (const ObjectKeyDecision& decision : decisions) {
        if (!is_keyable(decision.source) || !is_keyable(decision.target)) continue;
        for (const PreparationSide side : {PreparationSide::Source, PreparationSide::Target}) {
            const KeyState& state = decision.state(side);
            std::optional<std::string> key_field;
            // A field still to be created holds no key yet, so every record counts.
            if (!std::holds_alternative<KeyState::FieldMissing>(state.value)) {
                if (auto field = key_field_of(state)) key_field = std::string(*field);
            }
            queries.push_back(RecordCountQuery{std::move(key_field), decision.object, side});
        }
    }
    return queries;
}

std::optional<TransferKeyField> key_field_for_transfer(const schema::ObjectSchema& source,
                                                       const schema::ObjectSchema& target) {
    if (is_composite_object(source.name) || is_composite_object(target.name)) return std::nullopt;
    if (has_own_field(source) || has_own_field(target)) return TransferKeyField{std::string(kOwnField), true};
    if (auto candidate = common_candidate(source, target)) return TransferKeyField{std::move(*candidate), false};
    return std::nullopt;
}

}  // namespace ambrel::data::preparation
