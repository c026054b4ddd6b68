// The dependency catalogue's road to the org and the discovery pipeline over it.

#include <algorithm>
#include <deque>
#include <limits>
#include <utility>

#include <fmt/format.h>

#include "cli/catalog_results.hpp"
#include "concurrency/bounded_runner.hpp"
#include "dependency/dependency_catalog.hpp"
#include "metadata/namespace_policy.hpp"
#include "metadata_types/name_rules.hpp"
#include "metadata_types/type_descriptor.hpp"
#include "support/programming_error.hpp"
#include "text/text.hpp"

namespace ambrel::dependency {

using domain::ComponentKey;
using metadata_types::MetadataType;

namespace {

constexpr std::size_t kChunkSize = 200;
constexpr std::size_t kMaxWorkers = 4;
constexpr std::string_view kWorkerLabel = "dependency query";
constexpr std::string_view kQueryLabel = "dependency query command";
constexpr std::string_view kListingLabel = "dependency listing command";
constexpr std::string_view kGuidance = "Verify the selected Salesforce org is authenticated and retry the comparison.";
// The API answers at most this many MetadataComponentDependency rows per query.
constexpr std::uint64_t kRowCap = 2000;
constexpr std::size_t kMaxDisabledDetailChars = 2048;
constexpr std::size_t kMaxUnresolvedPerKey = 20;
constexpr std::uint32_t kMaxCount = std::numeric_limits<std::uint32_t>::max();

constexpr std::string_view kObjectIdsByName =
    "SELECT DurableId, QualifiedApiName FROM EntityDefinition WHERE QualifiedApiName IN ";
constexpr std::string_view kFieldsOfObjects =
    "SELECT Id, DeveloperName, TableEnumOrId, NamespacePrefix FROM CustomField WHERE TableEnumOrId IN ";
constexpr std::string_view kDependencyRecords =
    "SELECT MetadataComponentId, MetadataComponentType, MetadataComponentName, RefMetadataComponentId, "
    "RefMetadataComponentType, RefMetadataComponentName, RefMetadataComponentNamespace FROM "
    "MetadataComponentDependency WHERE MetadataComponentId IN ";
constexpr std::string_view kReferencedFields =
    "SELECT Id, DeveloperName, TableEnumOrId, NamespacePrefix FROM CustomField WHERE Id IN ";
constexpr std::string_view kReferencedObjects =
    "SELECT DurableId, QualifiedApiName FROM EntityDefinition WHERE DurableId IN ";

using Chunk = std::vector<std::string>;

std::vector<Chunk> chunks_of(std::span<const std::string> values) {
    std::vector<Chunk> chunks;
    for (std::size_t start = 0; start < values.size(); start += kChunkSize) {
        const std::size_t end = std::min(values.size(), start + kChunkSize);
        chunks.emplace_back(values.begin() + static_cast<std::ptrdiff_t>(start),
                            values.begin() + static_cast<std::ptrdiff_t>(end));
    }
    return chunks;
}

std::uint64_t chunk_count(std::size_t values) { return (values + kChunkSize - 1) / kChunkSize; }

std::uint32_t saturating(std::uint64_t value) {
    return value > kMaxCount ? kMaxCount : static_cast<std::uint32_t>(value);
}

std::string soql(std::string_view text, std::span<const std::string> values) {
    return fmt::format("{}({})", text, quoted_list(values));
}

// A count the answer states itself: a JSON integer that is not negative.
std::optional<std::uint64_t> non_negative_integer(const json::Value* value) {
    if (value == nullptr) return std::nullopt;
    if (value->is_uint64()) return value->get_uint64();
    if (value->is_int64() && value->get_int64() >= 0) return static_cast<std::uint64_t>(value->get_int64());
    return std::nullopt;
}

std::string_view name_after_dot(std::string_view name) {
    const auto split = metadata_types::split_once_dot(name);
    return split ? split->second : name;
}

// An item of the first batch: a chunk of object names, or a type to list.
using EntityOrCodeItem = std::variant<Chunk, MetadataType>;

}  // namespace

void DependencyCatalog::expect_id_chunks(std::uint64_t count) const {
    const std::lock_guard lock(id_chunks_mutex_);
    id_chunks_.expect(count);
}

void DependencyCatalog::advance_id_chunk() const {
    IdChunkCount now;
    {
        const std::lock_guard lock(id_chunks_mutex_);
        id_chunks_.advance();
        now = id_chunks_;
    }
    if (progress_) (*progress_)->report(progress::ProgressStage::ResolvingDependencyIds, now.completed, now.expected);
}

std::expected<json::Value, cli::CatalogError> DependencyCatalog::run_command(const std::vector<std::string>& arguments,
                                                                           std::string_view label,
                                                                           const domain::CancellationToken& token) const {
    auto run = gateway_.execute_inner(arguments, std::nullopt, timeout_, token);
    if (!run) return std::unexpected(cli::CatalogError{std::move(run.error())});
    if (auto judged = cli::catalogs::require_successful_catalog_command(*run, label, kGuidance); !judged) {
        return std::unexpected(std::move(judged.error()));
    }
    // The document is the run's own answer: moved out, never copied.
    return std::move(run->json);
}

std::expected<QueriedRecords, cli::CatalogError> DependencyCatalog::query_records(
    std::string_view alias, std::string_view query, const domain::CancellationToken& token) const {
    const std::vector<std::string> arguments{"data", "query", "--query", std::string{query}, "--use-tooling-api",
                                             "--target-org", std::string{alias}};
    auto document = run_command(arguments, kQueryLabel, token);
    if (!document) return std::unexpected(std::move(document.error()));
    const auto* object = document->if_object();
    const auto* result = object == nullptr ? nullptr : object->if_contains("result");
    if (result == nullptr || !result->is_object()) {
        return std::unexpected(cli::catalogs::malformed_catalog_response(kQueryLabel, kGuidance,
                                                                         "result is missing or is not an object"));
    }
    const auto* records = result->get_object().if_contains("records");
    if (records == nullptr || !records->is_array()) {
        return std::unexpected(cli::catalogs::malformed_catalog_response(
            kQueryLabel, kGuidance, "result.records is missing or is not an array"));
    }
    QueriedRecords answer;
    answer.records.assign(records->get_array().begin(), records->get_array().end());
    answer.count = non_negative_integer(result->get_object().if_contains("totalSize")).value_or(answer.records.size());
    return answer;
}

std::expected<json::Array, cli::CatalogError> DependencyCatalog::list_metadata(
    std::string_view alias, MetadataType type, const domain::CancellationToken& token) const {
    const std::vector<std::string> arguments{"org",          "list",       "metadata", "--metadata-type",
                                             std::string{type.descriptor().api_name}, "--target-org",
                                             std::string{alias}};
    auto document = run_command(arguments, kListingLabel, token);
    if (!document) return std::unexpected(std::move(document.error()));
    const auto* object = document->if_object();
    const auto* result = object == nullptr ? nullptr : object->if_contains("result");
    if (result == nullptr || !result->is_array()) {
        return std::unexpected(cli::catalogs::malformed_catalog_response(
            kListingLabel, kGuidance, "result is missing or is not an array of metadata entries"));
    }
    return result->get_array();
}

std::expected<IdIndex, cli::CatalogError> DependencyCatalog::resolve_ids(std::string_view alias,
                                                                         std::span<const ComponentKey> components,
                                                                         const domain::CancellationToken& token) const {
    std::set<std::string> object_names;
    std::set<std::string> field_objects;
    std::set<MetadataType> types;
    for (const ComponentKey& key : components) {
        if (key.metadata_type.is_object_definition()) {
            object_names.insert(key.name);
        } else if (key.metadata_type == MetadataType::CustomField) {
            if (const auto split = metadata_types::split_once_dot(key.name)) {
                object_names.emplace(split->first);
                field_objects.emplace(split->first);
            }
        } else {
            (void)key.metadata_type.descriptor();  // record-data keys have none: a caller's fault
            types.insert(key.metadata_type);
        }
    }
    expect_id_chunks(chunk_count(object_names.size()));
    expect_id_chunks(chunk_count(field_objects.size()));
    expect_id_chunks(types.size());

    IdIndex index;
    const std::vector<std::string> objects(object_names.begin(), object_names.end());
    std::vector<EntityOrCodeItem> items;
    for (Chunk& chunk : chunks_of(objects)) items.emplace_back(std::move(chunk));
    const std::size_t object_chunks = items.size();
    for (const MetadataType type : types) items.emplace_back(type);
    auto first = concurrency::run_bounded(
        std::move(items), kMaxWorkers, kWorkerLabel, token,
        [&](EntityOrCodeItem&& item,
            const domain::CancellationToken& job) -> std::expected<std::vector<json::Value>, cli::CatalogError> {
            if (const auto* chunk = std::get_if<Chunk>(&item)) {
                auto answer = query_records(alias, soql(kObjectIdsByName, *chunk), job);
                if (!answer) return std::unexpected(std::move(answer.error()));
                return std::move(answer->records);
            }
            auto listing = list_metadata(alias, std::get<MetadataType>(item), job);
            if (!listing) return std::unexpected(std::move(listing.error()));
            return std::vector<json::Value>(listing->begin(), listing->end());
        });
    if (!first) return std::unexpected(std::move(first.error()));
    for (std::size_t at = 0; at < object_chunks; ++at) {
        for (const json::Value& record : (*first)[at]) {
            const auto* object = record.if_object();
            if (object == nullptr) continue;
            const auto durable_id = required_text(*object, "DurableId");
            const auto name = required_text(*object, "QualifiedApiName");
            if (durable_id && name) index.register_object(*durable_id, *name);
        }
        advance_id_chunk();
    }

    std::vector<std::string> tokens;
    for (const std::string& object : field_objects) tokens.push_back(index.table_token(object));
    auto fields = concurrency::run_bounded(
        chunks_of(tokens), kMaxWorkers, kWorkerLabel, token,
        [&](Chunk&& chunk,
            const domain::CancellationToken& job) -> std::expected<std::vector<json::Value>, cli::CatalogError> {
            auto answer = query_records(alias, soql(kFieldsOfObjects, chunk), job);
            if (!answer) return std::unexpected(std::move(answer.error()));
            return std::move(answer->records);
        });
    if (!fields) return std::unexpected(std::move(fields.error()));
    for (const std::vector<json::Value>& records : *fields) {
        register_fields(index, records);
        advance_id_chunk();
    }

    std::size_t at = object_chunks;
    for (const MetadataType type : types) {
        for (const json::Value& entry : (*first)[at]) {
            const auto* object = entry.if_object();
            if (object == nullptr) continue;
            const auto id = required_text(*object, "id");
            const auto full_name = required_text(*object, "fullName");
            if (id && full_name) index.register_key(ComponentKey{type, *full_name}, *id);
        }
        ++at;
        advance_id_chunk();
    }
    return index;
}

std::expected<std::vector<DependencyRow>, cli::CatalogError> DependencyCatalog::query_dependency_rows(
    std::string_view alias, std::span<const std::string> ids, const domain::CancellationToken& token,
    WarningList& warnings, const IdIndex& index) const {
    std::deque<Chunk> queue;
    for (Chunk& chunk : chunks_of(ids)) queue.push_back(std::move(chunk));
    std::uint32_t finished = 0;
    std::set<std::pair<std::string, std::string>> kept;
    std::vector<DependencyRow> rows;
    while (!queue.empty()) {
        const std::size_t wave_size = std::min(kMaxWorkers, queue.size());
        std::vector<Chunk> wave(std::make_move_iterator(queue.begin()),
                                std::make_move_iterator(queue.begin() + static_cast<std::ptrdiff_t>(wave_size)));
        queue.erase(queue.begin(), queue.begin() + static_cast<std::ptrdiff_t>(wave_size));
        const std::size_t left_in_queue = queue.size();
        auto answers = concurrency::run_bounded(
            wave, kMaxWorkers, kWorkerLabel, token,
            [&](Chunk&& chunk, const domain::CancellationToken& job) {
                return query_records(alias, soql(kDependencyRecords, chunk), job);
            });
        if (!answers) return std::unexpected(std::move(answers.error()));
        for (std::size_t at = 0; at < wave.size(); ++at) {
            Chunk& chunk = wave[at];
            const QueriedRecords& answer = (*answers)[at];
            finished = saturating(static_cast<std::uint64_t>(finished) + 1);
            if (progress_) {
                const std::uint64_t total = static_cast<std::uint64_t>(finished) + (wave.size() - at - 1) + left_in_queue;
                (*progress_)->report(progress::ProgressStage::QueryingDependencies, finished, saturating(total));
            }
            // An answer may state its true total while holding only the capped rows: either sign
            // means the list was cut.
            const bool capped = answer.count == kRowCap || answer.records.size() == kRowCap;
            if (capped && chunk.size() >= 2) {
                const auto middle = chunk.begin() + static_cast<std::ptrdiff_t>(chunk.size() / 2);
                queue.emplace_back(chunk.begin(), middle);
                queue.emplace_back(middle, chunk.end());
                continue;
            }
            if (capped) {
                const auto found = index.key_by_id().find(chunk.front());
                const std::string name = found == index.key_by_id().end() ? chunk.front() : found->second.name;
                push_warning(warnings, fmt::format("Dependency list for {} may be incomplete: the API returned the "
                                                   "2000-row cap.",
                                                   name));
            }
            for (const json::Value& record : answer.records) {
                const auto* object = record.if_object();
                if (object == nullptr) continue;
                const auto component = required_text(*object, "MetadataComponentId");
                const auto referenced = required_text(*object, "RefMetadataComponentId");
                const auto type = required_text(*object, "RefMetadataComponentType");
                if (!component || !referenced || !type) continue;
                DependencyRow row{short_id(*component), short_id(*referenced), *type,
                                  required_text(*object, "RefMetadataComponentName").value_or(std::string{}),
                                  required_text(*object, "RefMetadataComponentNamespace")};
                if (!kept.emplace(row.metadata_component_id, row.ref_metadata_component_id).second) continue;
                rows.push_back(std::move(row));
            }
        }
    }
    std::stable_sort(rows.begin(), rows.end());
    return rows;
}

std::expected<void, cli::CatalogError> DependencyCatalog::resolve_reference_ids(
    std::string_view alias, std::span<const DependencyRow> rows, IdIndex& index,
    const domain::CancellationToken& token) const {
    const auto unknown_of_type = [&](std::string_view type) {
        std::set<std::string> ids;
        for (const DependencyRow& row : rows) {
            if (row.ref_metadata_component_type == type && !index.key_by_id().contains(row.ref_metadata_component_id)) {
                ids.insert(row.ref_metadata_component_id);
            }
        }
        return ids;
    };
    const std::set<std::string> field_id_set = unknown_of_type("CustomField");
    const std::vector<std::string> field_ids(field_id_set.begin(), field_id_set.end());
    expect_id_chunks(chunk_count(field_ids.size()));
    const auto run_chunks = [&](std::string_view text, std::span<const std::string> values) {
        return concurrency::run_bounded(
            chunks_of(values), kMaxWorkers, kWorkerLabel, token,
            [&](Chunk&& chunk,
                const domain::CancellationToken& job) -> std::expected<std::vector<json::Value>, cli::CatalogError> {
                auto answer = query_records(alias, soql(text, chunk), job);
                if (!answer) return std::unexpected(std::move(answer.error()));
                return std::move(answer->records);
            });
    };
    auto field_answers = run_chunks(kReferencedFields, field_ids);
    if (!field_answers) return std::unexpected(std::move(field_answers.error()));
    std::vector<json::Value> field_records;
    for (std::vector<json::Value>& records : *field_answers) {
        std::move(records.begin(), records.end(), std::back_inserter(field_records));
        advance_id_chunk();
    }

    std::set<std::string> object_id_set = unknown_of_type("CustomObject");
    for (const json::Value& record : field_records) {
        const auto* object = record.if_object();
        if (object == nullptr) continue;
        const auto table = required_text(*object, "TableEnumOrId");
        if (!table || !is_custom_object_id(*table)) continue;
        std::string cut = short_id(*table);
        if (!index.object_name_by_id().contains(cut)) object_id_set.insert(std::move(cut));
    }
    const std::vector<std::string> object_ids(object_id_set.begin(), object_id_set.end());
    expect_id_chunks(chunk_count(object_ids.size()));
    auto object_answers = run_chunks(kReferencedObjects, object_ids);
    if (!object_answers) return std::unexpected(std::move(object_answers.error()));
    for (const std::vector<json::Value>& records : *object_answers) {
        for (const json::Value& record : records) {
            const auto* object = record.if_object();
            if (object == nullptr) continue;
            const auto durable_id = required_text(*object, "DurableId");
            const auto name = required_text(*object, "QualifiedApiName");
            if (durable_id && name) index.register_object(*durable_id, *name);
        }
        advance_id_chunk();
    }
    register_fields(index, field_records);
    return {};
}

std::expected<DependencyGraph, cli::CatalogError> DependencyCatalog::run_discovery(
    std::string_view alias, std::span<const ComponentKey> components, const domain::CancellationToken& token) const {
    auto index = resolve_ids(alias, components, token);
    if (!index) return std::unexpected(std::move(index.error()));
    std::vector<std::string> ids;
    std::set<std::string, std::less<>> seen;
    for (const ComponentKey& key : components) {
        const auto found = index->id_by_key().find(key);
        if (found == index->id_by_key().end()) continue;
        if (seen.insert(found->second).second) ids.push_back(found->second);
    }
    DependencyGraph graph;
    auto rows = query_dependency_rows(alias, ids, token, graph.warnings, *index);
    if (!rows) return std::unexpected(std::move(rows.error()));
    if (auto resolved = resolve_reference_ids(alias, *rows, *index, token); !resolved) {
        return std::unexpected(std::move(resolved.error()));
    }

    std::map<ComponentKey, std::set<std::string>> met;
    std::map<ComponentKey, std::size_t> overflow;
    for (const DependencyRow& row : *rows) {
        const auto source_entry = index->key_by_id().find(row.metadata_component_id);
        if (source_entry == index->key_by_id().end()) continue;
        const ComponentKey& source = source_entry->second;
        const auto referenced_entry = index->key_by_id().find(row.ref_metadata_component_id);
        const bool referenced_known = referenced_entry != index->key_by_id().end();
        const std::string& display = referenced_known ? referenced_entry->second.name : row.ref_metadata_component_name;
        const std::string reference = fmt::format("{} {}", row.ref_metadata_component_type, display);
        if (row.ref_metadata_component_namespace) continue;
        const std::string& type = row.ref_metadata_component_type;
        const std::string& name = row.ref_metadata_component_name;
        std::optional<ComponentKey> required;
        bool unresolved = false;
        if (type == "Flow") {
            if (name.find("__") != std::string::npos) continue;
            if (metadata_types::is_valid_flow_full_name(name)) {
                required = ComponentKey{MetadataType::Flow, name};
            } else {
                unresolved = true;
            }
        } else if (type == "ApexPage" || type == "ApexClass" || type == "ApexTrigger" ||
                   type == "AuraDefinitionBundle" || type == "LightningComponentBundle") {
            const auto code_type = metadata_types::metadata_type_by_wire_id(type);
            if (!code_type || name.find("__") != std::string::npos) continue;
            required = ComponentKey{*code_type, name};
        } else if (type == "CustomField" || type == "CustomObject") {
            if (!referenced_known) continue;
            const ComponentKey& key = referenced_entry->second;
            const bool fits = type == "CustomField" ? key.metadata_type == MetadataType::CustomField
                                                    : key.metadata_type.is_object_definition();
            if (!fits || metadata::NamespacePolicy::is_packaged_field(name_after_dot(key.name))) continue;
            required = key;
        } else {
            continue;
        }
        if (required) {
            if (*required != source) graph.edges[source].insert(std::move(*required));
            continue;
        }
        if (unresolved && met[source].insert(reference).second) {
            auto& list = graph.unresolved[source];
            if (list.size() >= kMaxUnresolvedPerKey) {
                ++overflow[source];
            } else {
                list.push_back({reference, fmt::format("{}: could not be matched automatically; make sure it exists "
                                                       "in the target org or select it manually.",
                                                       reference)});
            }
        }
    }
    for (const auto& [source, count] : overflow) {
        graph.unresolved[source].push_back({std::string{}, fmt::format("... and {} more", count)});
    }
    return graph;
}

std::expected<DiscoveryOutcome, cli::CatalogError> DependencyCatalog::discover(
    std::string_view alias, std::span<const ComponentKey> components, const domain::CancellationToken& token) const {
    support::require(!text::is_blank(alias), "Source alias must not be blank");
    using Answer = std::expected<DiscoveryOutcome, cli::CatalogError>;
    if (components.empty()) return Answer(std::in_place, std::in_place_type<DependencyGraph>);
    auto graph = run_discovery(alias, components, token);
    if (graph) return Answer(std::in_place, std::in_place_type<DependencyGraph>, std::move(*graph));
    if (graph.error().is_cancelled()) return std::unexpected(std::move(graph.error()));
    return DiscoveryOutcome{fmt::format("Dependency auto-selection is disabled: {}",
                                        text::first_chars(graph.error().message(), kMaxDisabledDetailChars))};
}

}  // namespace ambrel::dependency
