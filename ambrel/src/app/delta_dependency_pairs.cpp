#include "app/delta_dependency_pairs.hpp"

#include <fmt/format.h>
#include <re2/re2.h>

#include "data/bundles/document/bundle_document.hpp"
#include "metadata/namespace_policy.hpp"
#include "metadata/readers/context_reader.hpp"
#include "metadata/readers/dataset_link_reader.hpp"
#include "metadata/readers/decision_table_reader.hpp"
#include "metadata/readers/expression_set_reader.hpp"
#include "metadata/readers/pricing_recipe_reader.hpp"
#include "metadata/readers/value_set_reader.hpp"
#include "metadata/retrieve/selection.hpp"

namespace ambrel::app {

using domain::ComponentDifference;
using domain::ComponentKey;
using metadata_types::MetadataType;

namespace {

// The reader's failure text that means a record name without a type part.
constexpr std::string_view kRecordNameRefusal = "must be Type.Record";

struct PairSink {
    std::vector<DependencyPair>& pairs;
    const ComponentKey& requiring;

    void add(MetadataType type, std::string name) const {
        pairs.emplace_back(requiring, ComponentKey{type, std::move(name)});
    }
    // An object name typed by its custom suffix; packaged and standard objects give nothing.
    void add_object(const std::string& object) const {
        if (const auto type = dependency::object_definition_type(object)) add(*type, object);
    }
};

// A named component may be followed: not packaged, and a valid member name.
bool passes_name_test(std::string_view name) {
    return !metadata::NamespacePolicy::is_packaged_generic_component(name) && is_member_name(name);
}

std::string unparsed_warning(std::string_view pattern_head, std::string_view name) {
    return fmt::format("Could not parse {} '{}'; its dependencies were not followed.", pattern_head, name);
}

// Collects a warning as given; whoever replays the list dedupes and caps it.
void warn(std::vector<std::string>& warnings, std::string_view pattern_head, std::string_view name) {
    warnings.push_back(unparsed_warning(pattern_head, name));
}

bool is_type(const ComponentDifference& row, const std::optional<MetadataType>& type) {
    return type && row.key().metadata_type == *type;
}

}  // namespace

const std::expected<metadata::lookup_reader::LookupReferences, metadata::FieldReadError>& RowDocumentCache::lookup(
    const ComponentDifference& row) {
    auto found = lookups_.find(&row.key());
    if (found == lookups_.end()) {
        found = lookups_
                    .emplace(&row.key(), metadata::lookup_reader::parse_lookup_references(row.key().name,
                                                                                         row.source.document))
                    .first;
    }
    return found->second;
}

const std::expected<metadata::rollup_reader::RollupReferences, metadata::FieldReadError>& RowDocumentCache::rollup(
    const ComponentDifference& row) {
    auto found = rollups_.find(&row.key());
    if (found == rollups_.end()) {
        found = rollups_
                    .emplace(&row.key(), metadata::rollup_reader::parse_rollup_references(row.key().name,
                                                                                         row.source.document))
                    .first;
    }
    return found->second;
}

std::string unparsed_custom_field_warning(std::string_view full_name) {
    return fmt::format("Could not parse custom field '{}'; its dependencies were not followed.", full_name);
}

std::expected<metadata::custom_metadata_reader::CustomMetadataReferences, metadata::FieldReadError>
parse_custom_metadata_references_reporting(std::string_view record_name, std::string_view document,
                                           dependency::WarningList& warnings) {
    auto references = metadata::custom_metadata_reader::parse_custom_metadata_references(record_name, document);
    if (!references) {
        if (references.error().message().find(kRecordNameRefusal) != std::string::npos) {
            dependency::push_warning(warnings, fmt::format("Custom Metadata record name '{}' is not of the form "
                                                           "Type.Record; its dependencies were not followed.",
                                                           record_name));
        } else {
            dependency::push_warning(warnings, unparsed_warning("Custom Metadata record", record_name));
        }
    }
    return references;
}

std::optional<std::vector<ChildProduct>> read_child_bundles(std::string_view document) {
    auto parsed = data::bundles::document::parse_bundle_document(document);
    if (!parsed) return std::nullopt;
    std::vector<ChildProduct> products;
    products.reserve(parsed->child_products.size());
    for (data::bundles::document::ChildProductNode& node : parsed->child_products) {
        products.push_back(ChildProduct{std::move(node.name), node.bundle});
    }
    return products;
}

std::set<std::string> child_bundle_keys(std::span<const ComponentDifference> rows) {
    std::set<std::string> names;
    for (const ComponentDifference& row : rows) {
        if (row.key().metadata_type == MetadataType::ProductBundle) names.insert(row.key().name);
    }
    return names;
}

std::vector<std::string> expression_set_reference_keys(const std::set<std::string>& context_definitions) {
    std::vector<std::string> names;
    for (const std::string& name : context_definitions) {
        if (RE2::FullMatch(name, metadata::retrieve::OBJECT_API_NAME())) names.push_back(name);
    }
    return names;
}

std::vector<DependencyPair> delta_dependency_pairs(std::span<const ComponentDifference> rows,
                                                   dependency::WarningList& warnings,
                                                   const ChildBundleReader& child_bundles, TypeLookup lookup) {
    RowDocumentCache cache;
    return delta_dependency_pairs(rows, warnings, cache, child_bundles, lookup);
}

std::vector<DependencyPair> delta_dependency_pairs(std::span<const ComponentDifference> rows,
                                                   dependency::WarningList& warnings, RowDocumentCache& cache,
                                                   const ChildBundleReader& child_bundles, TypeLookup lookup) {
    DeltaDependencies delta = collect_delta_dependencies(rows, cache, child_bundles, lookup);
    replay_delta_warnings(delta, warnings);
    return std::move(delta.pairs);
}

void replay_delta_warnings(const DeltaDependencies& delta, dependency::WarningList& warnings) {
    for (const std::string& warning : delta.warnings) dependency::push_warning(warnings, warning);
}

DeltaDependencies collect_delta_dependencies(std::span<const ComponentDifference> rows, RowDocumentCache& cache,
                                             const ChildBundleReader& child_bundles, TypeLookup lookup) {
    DeltaDependencies delta;
    std::vector<DependencyPair>& pairs = delta.pairs;
    std::vector<std::string>& warnings = delta.warnings;
    const auto context_definition = lookup("ContextDefinition");
    const auto global_value_set = lookup("GlobalValueSet");
    const auto decision_table = lookup("DecisionTable");
    const auto custom_metadata = lookup("CustomMetadata");
    const auto expression_set_definition = lookup("ExpressionSetDefinition");
    const auto expression_set_version = lookup("ExpressionSetDefinitionVersion");
    const auto pricing_recipe = lookup("PricingRecipe");
    const auto dataset_link = lookup("DecisionTableDatasetLink");

    // 1. Context definitions: their fields, objects and the context definitions they extend.
    if (context_definition) {
        for (const ComponentDifference& row : rows) {
            if (!is_type(row, context_definition)) continue;
            const auto refs = metadata::context_reader::parse_context_references(row.key().name, row.source.document);
            if (!refs) {
                warn(warnings, "Context Definition", row.key().name);
                continue;
            }
            const PairSink sink{pairs, row.key()};
            for (const std::string& field : refs->fields) sink.add(MetadataType::CustomField, field);
            for (const std::string& object : refs->objects) sink.add_object(object);
            for (const std::string& name : refs->context_definitions) sink.add(*context_definition, name);
        }
    }
    // 2. The global value set of a custom field.
    if (global_value_set) {
        for (const ComponentDifference& row : rows) {
            if (row.key().metadata_type != MetadataType::CustomField) continue;
            const auto value_set =
                metadata::value_set_reader::parse_global_value_set_reference(row.key().name, row.source.document);
            if (!value_set) {
                warnings.push_back(unparsed_custom_field_warning(row.key().name));
                continue;
            }
            if (*value_set && passes_name_test(**value_set)) {
                PairSink{pairs, row.key()}.add(*global_value_set, **value_set);
            }
        }
    }
    // 3. Decision tables: their fields and objects.
    if (decision_table) {
        for (const ComponentDifference& row : rows) {
            if (!is_type(row, decision_table)) continue;
            const auto refs =
                metadata::decision_table_reader::parse_decision_table_references(row.key().name, row.source.document);
            if (!refs) {
                warn(warnings, "Decision Table", row.key().name);
                continue;
            }
            const PairSink sink{pairs, row.key()};
            for (const std::string& field : refs->fields) sink.add(MetadataType::CustomField, field);
            for (const std::string& object : refs->objects) sink.add_object(object);
        }
    }
    // 4. Lookup filter fields.
    for (const ComponentDifference& row : rows) {
        if (row.key().metadata_type != MetadataType::CustomField) continue;
        const auto& refs = cache.lookup(row);
        if (!refs) {
            warnings.push_back(unparsed_custom_field_warning(row.key().name));
            continue;
        }
        for (const std::string& field : refs->filter_fields) PairSink{pairs, row.key()}.add(MetadataType::CustomField, field);
    }
    // 5. Roll-up summaries: the summarised field, then the filter fields.
    for (const ComponentDifference& row : rows) {
        if (row.key().metadata_type != MetadataType::CustomField) continue;
        const auto& refs = cache.rollup(row);
        if (!refs) {
            warnings.push_back(unparsed_custom_field_warning(row.key().name));
            continue;
        }
        const PairSink sink{pairs, row.key()};
        if (refs->summarized_field) sink.add(MetadataType::CustomField, *refs->summarized_field);
        for (const std::string& field : refs->filter_fields) sink.add(MetadataType::CustomField, field);
    }
    // 6. The fields a custom metadata record gives values to.
    if (custom_metadata) {
        for (const ComponentDifference& row : rows) {
            if (!is_type(row, custom_metadata)) continue;
            dependency::WarningList refusal;
            const auto refs = parse_custom_metadata_references_reporting(row.key().name, row.source.document, refusal);
            if (!refs) {
                warnings.insert(warnings.end(), std::make_move_iterator(refusal.begin()),
                                std::make_move_iterator(refusal.end()));
                continue;
            }
            for (const std::string& field : refs->fields) PairSink{pairs, row.key()}.add(MetadataType::CustomField, field);
        }
    }
    // 7. Expression sets and their versions: decision tables, then context definitions.
    if (decision_table && context_definition && (expression_set_definition || expression_set_version)) {
        for (const ComponentDifference& row : rows) {
            if (!is_type(row, expression_set_definition) && !is_type(row, expression_set_version)) continue;
            const auto refs =
                metadata::expression_set_reader::parse_expression_set_references(row.key().name, row.source.document);
            if (!refs) {
                warn(warnings, "Expression Set", row.key().name);
                continue;
            }
            const PairSink sink{pairs, row.key()};
            for (const std::string& table : refs->decision_tables) {
                if (passes_name_test(table)) sink.add(*decision_table, table);
            }
            for (std::string& name : expression_set_reference_keys(refs->context_definitions)) {
                sink.add(*context_definition, std::move(name));
            }
        }
    }
    // 8. Pricing recipes: pricing procedures, then lookup tables.
    if (pricing_recipe && expression_set_definition && decision_table) {
        for (const ComponentDifference& row : rows) {
            if (!is_type(row, pricing_recipe)) continue;
            const auto refs =
                metadata::pricing_recipe_reader::parse_pricing_recipe_references(row.key().name, row.source.document);
            if (!refs) {
                warn(warnings, "Pricing Recipe", row.key().name);
                continue;
            }
            const PairSink sink{pairs, row.key()};
            for (const std::string& name : refs->pricing_procedures) {
                if (passes_name_test(name)) sink.add(*expression_set_definition, name);
            }
            for (const std::string& name : refs->lookup_tables) {
                if (passes_name_test(name)) sink.add(*decision_table, name);
            }
        }
    }
    // 9. Decision table dataset links: the decision table.
    if (dataset_link && decision_table) {
        for (const ComponentDifference& row : rows) {
            if (!is_type(row, dataset_link)) continue;
            const auto refs =
                metadata::dataset_link_reader::parse_dataset_link_references(row.key().name, row.source.document);
            if (!refs) {
                warn(warnings, "Decision Table Dataset Link", row.key().name);
                continue;
            }
            if (refs->decision_table && passes_name_test(*refs->decision_table)) {
                PairSink{pairs, row.key()}.add(*decision_table, *refs->decision_table);
            }
        }
    }
    // 10. Product bundles: the child bundles they contain.
    if (child_bundles) {
        const std::set<std::string> bundles = child_bundle_keys(rows);
        for (const ComponentDifference& row : rows) {
            if (row.key().metadata_type != MetadataType::ProductBundle) continue;
            const auto products = child_bundles(row.source.document);
            if (!products) {
                warn(warnings, "Product Bundle", row.key().name);
                continue;
            }
            for (const ChildProduct& product : *products) {
                if (!product.bundle || product.name == row.key().name) continue;
                if (bundles.contains(product.name)) {
                    PairSink{pairs, row.key()}.add(MetadataType::ProductBundle, product.name);
                } else {
                    warnings.push_back(fmt::format("Product bundle {} contains bundle {}, which is not in this "
                                                   "comparison.",
                                                   row.key().name, product.name));
                }
            }
        }
    }
    return delta;
}

}  // namespace ambrel::app
