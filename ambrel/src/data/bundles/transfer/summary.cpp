#include "data/bundles/transfer/summary.hpp"

#include <set>

#include <fmt/format.h>

#include "data/bundles/document/bundle_document.hpp"
#include "data/bundles/transfer/planning.hpp"
#include "data/registry.hpp"

namespace ambrel::data::bundles::transfer {
namespace {

// Longer lists in a report show this many entries and the count of the rest.
constexpr std::size_t kMaxListed = 10;
constexpr std::string_view kOwnKeyField = "QuillaryExternalId__c";
constexpr std::string_view kMoreFormat = " (and {} more)";

std::string joined(std::span<const std::string> items, std::string_view separator) {
    std::string text;
    for (const auto& item : items) {
        if (!text.empty()) {
            text += separator;
        }
        text += item;
    }
    return text;
}

// The first ten items joined by ", ", then " (and {} more)" for the rest.
std::string cut_list(const std::vector<std::string>& items) {
    const auto shown = std::min(items.size(), kMaxListed);
    auto text = joined(std::span<const std::string>(items.data(), shown), ", ");
    if (items.size() > kMaxListed) {
        text += fmt::format(fmt::runtime(kMoreFormat), items.size() - kMaxListed);
    }
    return text;
}

bool has_composite_key(std::string_view object) {
    const auto index = registry::data_object_index(object);
    return index && registry::DATA_OBJECTS[*index].key.is_composite();
}

// The key parts that every row repeats.
std::vector<std::string> key_notes(const TransferSchemas& schemas) {
    std::vector<std::string> unstamped;
    std::map<std::string, std::vector<std::string>> matched_by;
    for (const auto layer : kLayers) {
        const std::string object(layer_object(layer));
        if (has_composite_key(object)) {
            continue;
        }
        const auto key = schemas.keys.find(object);
        const bool described = key != schemas.keys.end() && schemas.target_field(object, key->second.field) != nullptr;
        if (described && key->second.stamp) {
            continue;
        }
        if (described) {
            matched_by[key->second.field].push_back(object);
        } else {
            unstamped.push_back(object);
        }
    }
    std::vector<std::string> parts;
    if (!unstamped.empty()) {
        parts.push_back(fmt::format("keys not stamped: {} is absent on {}", kOwnKeyField, joined(unstamped, ", ")));
    }
    for (const auto& [field, objects] : matched_by) {
        parts.push_back(fmt::format("matched by {} on {}", field, joined(objects, ", ")));
    }
    return parts;
}

// A planned record with its outcome, looked up once however many rows share the record.
struct Entry {
    const PlannedRecord* record;
    const RecordOutcome* outcome;  // null when never attempted
};

struct Counts {
    std::uint64_t created = 0;
    std::uint64_t updated = 0;
    std::uint64_t unchanged = 0;
};

// The parts a row's own document contributes; none when it does not parse.
std::vector<std::string> document_parts(const std::string& text) {
    std::vector<std::string> parts;
    const auto parsed = document::parse_bundle_document(text);
    if (!parsed) {
        return parts;
    }
    std::vector<std::string> omitted;
    for (const auto& plan : parsed->objects) {
        for (const auto& field : plan.source_only) {
            omitted.push_back(fmt::format("{}.{}", plan.object, field));
        }
        for (const auto& field : plan.target_only) {
            omitted.push_back(fmt::format("{}.{}", plan.object, field));
        }
    }
    if (!omitted.empty()) {
        parts.push_back("fields left out: " + cut_list(omitted));
    }
    const auto bundles = child_bundle_names(*parsed);
    if (!bundles.empty()) {
        parts.push_back("child bundles transferred as plain products: " + joined(bundles, ", "));
    }
    return parts;
}

RowOutcome summarize_row(const std::string& name, const std::string& text,
                         const std::vector<Entry>& records, const RecordNotes& notes, std::uint64_t rest_calls,
                         const std::vector<std::string>& transfer_notes) {
    std::map<Layer, Counts> counts;
    std::vector<std::string> failures;
    std::set<std::string> not_updateable;
    std::map<std::string, std::uint64_t> repointed;
    std::set<std::string> unresolved;

    for (const auto& [record, outcome] : records) {
        const auto object = layer_object(record->layer());
        auto& count = counts[record->layer()];
        if (outcome == nullptr) {
            failures.push_back(fmt::format("{} (not attempted)", record->key.label()));
        } else if (std::holds_alternative<RecordOutcome::Created>(outcome->value)) {
            ++count.created;
        } else if (std::holds_alternative<RecordOutcome::Updated>(outcome->value)) {
            ++count.updated;
        } else if (std::holds_alternative<RecordOutcome::Unchanged>(outcome->value)) {
            ++count.unchanged;
        } else {
            failures.push_back(
                fmt::format("{} ({})", record->key.label(), std::get<RecordOutcome::Failed>(outcome->value).message));
        }
        if (const auto left_out = notes.fields_left_out.find(record->key); left_out != notes.fields_left_out.end()) {
            for (const auto& field : left_out->second) {
                not_updateable.insert(fmt::format("{}.{}", object, field));
            }
        }
        if (const auto links = notes.links.find(record->key); links != notes.links.end()) {
            const bool updated =
                outcome != nullptr && std::holds_alternative<RecordOutcome::Updated>(outcome->value);
            if (updated) {
                for (const auto& field : links->second.repointed) {
                    ++repointed[fmt::format("{}.{}", object, field)];
                }
            }
            for (const auto& field : links->second.left_out) {
                unresolved.insert(fmt::format("{}.{}", object, field));
            }
        }
    }

    std::vector<std::string> parts;
    for (const auto& [layer, count] : counts) {
        std::vector<std::string> texts;
        if (count.created > 0) {
            texts.push_back(fmt::format("{} created", count.created));
        }
        if (count.updated > 0) {
            texts.push_back(fmt::format("{} updated", count.updated));
        }
        if (count.unchanged > 0) {
            texts.push_back(fmt::format("{} unchanged", count.unchanged));
        }
        if (!texts.empty()) {
            parts.push_back(fmt::format("{}: {}", layer_object(layer), joined(texts, ", ")));
        }
    }
    if (!failures.empty()) {
        parts.push_back(fmt::format("failed {}: {}", failures.size(), cut_list(failures)));
    }
    parts.push_back(fmt::format("REST calls in this transfer: {}", rest_calls));
    parts.insert(parts.end(), transfer_notes.begin(), transfer_notes.end());
    if (!not_updateable.empty()) {
        parts.push_back("fields left out (not updateable): " +
                        joined(std::vector<std::string>(not_updateable.begin(), not_updateable.end()), ", "));
    }
    if (!repointed.empty()) {
        parts.push_back("links repointed: " + joined(count_phrases(repointed), ", "));
    }
    if (!unresolved.empty()) {
        parts.push_back("links left out (unresolved): " +
                        joined(std::vector<std::string>(unresolved.begin(), unresolved.end()), ", "));
    }
    for (auto& part : document_parts(text)) {
        parts.push_back(std::move(part));
    }
    return RowOutcome{name, joined(parts, kReportSeparator), failures.empty()};
}

}  // namespace

void summarize(const std::map<std::string, std::string>& documents, std::span<const PlannedRecord> records,
               const TransferSchemas& schemas, const RecordOutcomes& outcomes, const RecordNotes& notes,
               std::uint64_t rest_calls, RowOutcomes& rows) {
    const auto transfer_notes = key_notes(schemas);
    // Each record once, under every row it belongs to, in plan order.
    std::map<std::string_view, std::vector<Entry>> by_row;
    for (const auto& record : records) {
        const auto found = outcomes.find(record.key);
        const Entry entry{&record, found == outcomes.end() ? nullptr : &found->second};
        for (const auto& row : record.bundles) {
            by_row[row].push_back(entry);
        }
    }
    static const std::vector<Entry> kNone;
    for (const auto& [name, text] : documents) {
        if (rows.contains(name)) {
            continue;
        }
        const auto found = by_row.find(name);
        rows.emplace(name, summarize_row(name, text, found == by_row.end() ? kNone : found->second, notes,
                                         rest_calls, transfer_notes));
    }
}

}  // namespace ambrel::data::bundles::transfer
