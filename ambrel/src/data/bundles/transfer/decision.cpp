#include "data/bundles/transfer/decision.hpp"

#include <algorithm>

#include <fmt/format.h>

#include "data/key_fill.hpp"

namespace ambrel::data::bundles::transfer {
namespace {

constexpr std::string_view kWouldNotReplace =
    "the target's copy points at a record the target does not have in {}, and this update would not replace it; "
    "the target refuses every save of such a record";
constexpr std::string_view kWouldNotReplaceReason = "not sent: {} — fix or delete it in the target by hand";
constexpr std::string_view kDidNotResolve =
    "the target's copy points at a record the target does not have in {}, and the reference did not resolve in "
    "the target, so this update could not replace it; the target refuses every save of such a record";
constexpr std::string_view kDidNotResolveReason =
    "not sent: {} — fix the reference's own row in this result, or the record in the target by hand";

std::string joined(const std::vector<std::string>& items, std::string_view separator) {
    std::string text;
    for (const auto& item : items) {
        if (!text.empty()) {
            text += separator;
        }
        text += item;
    }
    return text;
}

std::optional<std::string> link_target(const RecordKey& key, const TargetIds& target_ids) {
    const auto found = target_ids.find(key);
    if (found == target_ids.end()) {
        return std::nullopt;
    }
    return found->second;
}

// The key field to stamp on the object, when the target describes the own field.
const KeyField* stamp_field(const TransferSchemas& schemas, std::string_view object) {
    const auto found = schemas.keys.find(object);
    if (found == schemas.keys.end() || !found->second.stamp) {
        return nullptr;
    }
    if (schemas.target_field(object, found->second.field) == nullptr) {
        return nullptr;
    }
    return &found->second;
}

}  // namespace

Decision update_or_unchanged(const PlannedRecord& record, const TransferSchemas& schemas, std::string_view source_id,
                             const ExistingRecord& target, const TargetIds& target_ids,
                             const TargetCatalogs& catalogs) {
    const auto object = layer_object(record.layer());
    std::vector<std::string> fields_left_out;
    LinkNotes notes;
    std::map<std::string, std::string> changes;
    const auto described_object = schemas.target.find(object);
    const auto target_field = [&](std::string_view field) -> const schema::FieldSchema* {
        if (described_object == schemas.target.end()) {
            return nullptr;
        }
        const auto found = described_object->second.fields.find(field);
        return found == described_object->second.fields.end() ? nullptr : &found->second;
    };

    for (const auto& [field, planned] : record.fields) {
        const auto* described = target_field(field);
        if (described == nullptr) {
            continue;
        }
        const auto current = target.values.find(field);
        const bool differs = current == target.values.end() || current->second != planned;
        if (!differs) {
            continue;
        }
        if (described->updateable) {
            changes[field] = planned;
        } else {
            fields_left_out.push_back(field);
        }
    }

    // Links first, then catalogue links; an absent Id is left out.
    const auto consider = [&](const std::string& field, const std::string* id) {
        const auto* described = target_field(field);
        if (described == nullptr || !described->updateable) {
            return;
        }
        if (id == nullptr) {
            notes.left_out.push_back(field);
            return;
        }
        const auto current = target.links.find(field);
        if (current != target.links.end() && current->second == *id) {
            return;
        }
        notes.repointed.push_back(field);
        changes[field] = *id;
    };
    for (const auto& [field, key] : record.links) {
        const auto found = target_ids.find(key);
        consider(field, found == target_ids.end() ? nullptr : &found->second);
    }
    for (const auto& [field, ref] : record.catalog_links) {
        const auto id = catalogs.resolve(ref);
        consider(field, id ? &*id : nullptr);
    }

    std::vector<std::string> unresolved;  // left out: the reference had no target Id
    std::vector<std::string> untouched;   // not written by this update at all
    for (const auto& field : target.dangling) {
        if (changes.contains(field)) {
            continue;
        }
        if (std::find(notes.left_out.begin(), notes.left_out.end(), field) != notes.left_out.end()) {
            unresolved.push_back(field);
        } else {
            untouched.push_back(field);
        }
    }
    if (!unresolved.empty() || !untouched.empty()) {
        std::vector<std::string> problems;
        std::vector<std::string> reasons;
        if (!untouched.empty()) {
            problems.push_back(fmt::format(fmt::runtime(kWouldNotReplace), joined(untouched, ", ")));
            reasons.push_back(fmt::format(fmt::runtime(kWouldNotReplaceReason), problems.back()));
        }
        if (!unresolved.empty()) {
            problems.push_back(fmt::format(fmt::runtime(kDidNotResolve), joined(unresolved, ", ")));
            reasons.push_back(fmt::format(fmt::runtime(kDidNotResolveReason), problems.back()));
        }
        return Decision{Decision::NotSent{target.id, joined(problems, "; "), joined(reasons, "; ")}};
    }

    if (const auto* key = stamp_field(schemas, object)) {
        const auto stamp = key_fill::key_value_for_18_char_id(source_id);
        if (stamp && target.key_value != stamp) {
            changes[key->field] = *stamp;
        }
    }

    if (!changes.empty()) {
        return Decision{Decision::Update{target.id, std::move(fields_left_out), std::move(notes), std::move(changes)}};
    }
    return Decision{Decision::Unchanged{target.id, std::move(fields_left_out), std::move(notes)}};
}

json::Object composite_body(const PlannedRecord& record, const std::map<std::string, std::string>& fields,
                            const std::optional<std::string>& id, const TargetIds& target_ids,
                            const TargetCatalogs& catalogs, const TransferSchemas& schemas,
                            const SideRecords& source_records) {
    const auto object = layer_object(record.layer());
    json::Object body;
    json::Object attributes;
    attributes["type"] = object;
    body["attributes"] = std::move(attributes);
    if (id) {
        body.insert_or_assign("id", *id);
    }
    for (const auto& [field, text] : fields) {
        body.insert_or_assign(field, text);
    }
    if (!id) {
        for (const auto& [field, key] : record.links) {
            if (const auto target = link_target(key, target_ids)) {
                body.insert_or_assign(field, *target);
            }
        }
        for (const auto& [field, ref] : record.catalog_links) {
            if (const auto target = catalogs.resolve(ref)) {
                body.insert_or_assign(field, *target);
            }
        }
    }
    if (const auto* key = stamp_field(schemas, object)) {
        const auto source = source_records.find(record.key);
        if (source != source_records.end() && !source->second.empty()) {
            const auto stamp = key_fill::key_value_for_18_char_id(source->second.front().id);
            // An update whose changes already stamp the key keeps that member where it stands.
            if (stamp && !body.contains(key->field)) {
                body.insert_or_assign(key->field, *stamp);
            }
        }
    }
    return body;
}

std::string Blocker::reason() const {
    if (const auto* key = std::get_if<RecordKey>(&value)) {
        return fmt::format("{} was not created", key->label());
    }
    return std::get<CatalogRef>(value).missing_reason();
}

std::optional<Blocker> blocked_by_predecessor(const PlannedRecord& record, const TargetIds& target_ids,
                                              const TargetCatalogs& catalogs) {
    for (const auto& [field, key] : record.links) {
        if (target_ids.empty() || !target_ids.contains(key)) {
            return Blocker{key.clone()};
        }
    }
    for (const auto& [field, ref] : record.catalog_links) {
        if (!catalogs.resolve(ref)) {
            return Blocker{ref};
        }
    }
    return std::nullopt;
}

std::string ambiguous_match_reason(const RecordKey& key, std::string_view side, std::uint64_t count) {
    return fmt::format("{} matches {} records in the {}", key.label(), count, side);
}

std::vector<std::string> count_phrases(const std::map<std::string, std::uint64_t>& counts) {
    std::vector<std::string> phrases;
    for (const auto& [name, n] : counts) {
        phrases.push_back(fmt::format("{} on {} {}", name, n, n == 1 ? "record" : "records"));
    }
    return phrases;
}

}  // namespace ambrel::data::bundles::transfer
