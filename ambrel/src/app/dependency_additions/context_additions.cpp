#include "app/dependency_additions/context_additions.hpp"

#include <set>
#include <string>
#include <string_view>

#include <fmt/format.h>

#include "metadata/namespace_policy.hpp"
#include "metadata/readers/context_reader.hpp"
#include "metadata/readers/dataset_link_reader.hpp"
#include "metadata/readers/decision_table_reader.hpp"
#include "metadata_types/name_rules.hpp"

namespace ambrel::app {

namespace {

using domain::ComponentKey;
using domain::MetadataComponent;
using metadata_types::MetadataType;

constexpr std::string_view kContextDefinitionWireId = "ContextDefinition";
constexpr std::string_view kDecisionTableWireId = "DecisionTable";

// How the object warning names the kind of document.
constexpr std::string_view kContextDefinitionLabel = "Context Definition";
constexpr std::string_view kDecisionTableLabel = "Decision Table";
constexpr std::string_view kDatasetLinkLabel = "Decision Table Dataset Link";

void warn_unparsed(dependency::WarningList& warnings, std::string_view label, const MetadataComponent& document) {
    dependency::push_warning(warnings, fmt::format("Could not parse {} '{}'; its dependencies were not followed.",
                                                   label, document.key.name));
}

void warn_object(dependency::WarningList& warnings, std::string_view object, std::string_view label,
                 const MetadataComponent& document) {
    dependency::push_warning(warnings, fmt::format("Object name '{}' referenced by {} '{}' {}", object, label,
                                                   document.key.name, kNotFollowedEnding));
}

// The objects of one document: the part before the first "." of each field path, and each object
// name as it stands; each added with its definition, or refused with the document's warning.
void add_document_objects(KeyCollector& keys, dependency::WarningList& warnings, const std::set<std::string>& fields,
                          const std::set<std::string>& object_names, std::string_view label,
                          const MetadataComponent& document) {
    std::set<std::string_view> objects(object_names.begin(), object_names.end());
    for (const std::string& path : fields) {
        if (const auto parts = metadata_types::split_once_dot(path)) objects.insert(parts->first);
    }
    for (const std::string_view object : objects) {
        if (!is_member_name(object)) {
            warn_object(warnings, object, label, document);
            continue;
        }
        keys.add_object_with_definition(object);
    }
}

}  // namespace

std::vector<ComponentKey> context_definition_additions(std::span<const MetadataComponent> contexts,
                                                       const CompareSelection& selection,
                                                       dependency::WarningList& warnings, TypeLookup lookup) {
    const auto context_type = lookup(kContextDefinitionWireId);
    if (!context_type) return {};
    KeyCollector keys(selection);
    for (const MetadataComponent& context : contexts) {
        const auto references = metadata::context_reader::parse_context_references(context.key.name, context.document);
        if (!references) {
            warn_unparsed(warnings, kContextDefinitionLabel, context);
            continue;
        }
        add_document_objects(keys, warnings, references->fields, references->objects, kContextDefinitionLabel, context);
        for (const std::string& name : references->context_definitions) {
            if (!is_member_name(name)) {
                dependency::push_warning(warnings, fmt::format("Context definition name '{}' referenced by '{}' {}",
                                                               name, context.key.name, kNotFollowedEnding));
                continue;
            }
            keys.add(*context_type, name);
        }
    }
    return std::move(keys).take();
}

std::vector<ComponentKey> decision_table_additions(std::span<const MetadataComponent> tables,
                                                   const CompareSelection& selection,
                                                   dependency::WarningList& warnings) {
    KeyCollector keys(selection);
    for (const MetadataComponent& table : tables) {
        const auto references =
            metadata::decision_table_reader::parse_decision_table_references(table.key.name, table.document);
        if (!references) {
            warn_unparsed(warnings, kDecisionTableLabel, table);
            continue;
        }
        add_document_objects(keys, warnings, references->fields, references->objects, kDecisionTableLabel, table);
    }
    return std::move(keys).take();
}

std::vector<ComponentKey> dataset_link_additions(std::span<const MetadataComponent> links,
                                                 const CompareSelection& selection,
                                                 dependency::WarningList& warnings, TypeLookup lookup) {
    const auto decision_table_type = lookup(kDecisionTableWireId);
    if (!decision_table_type) return {};
    KeyCollector keys(selection);
    for (const MetadataComponent& link : links) {
        const auto references =
            metadata::dataset_link_reader::parse_dataset_link_references(link.key.name, link.document);
        if (!references) {
            warn_unparsed(warnings, kDatasetLinkLabel, link);
            continue;
        }
        if (const auto& table = references->decision_table;
            table && !metadata::NamespacePolicy::is_packaged_generic_component(*table)) {
            if (is_member_name(*table)) {
                keys.add(*decision_table_type, *table);
            } else {
                dependency::push_warning(warnings, fmt::format("Decision table name '{}' referenced by '{}' {}", *table,
                                                               link.key.name, kNotFollowedEnding));
            }
        }
        if (const auto& object = references->source_object) {
            if (!is_member_name(*object)) {
                warn_object(warnings, *object, kDatasetLinkLabel, link);
            } else if (const auto definition = dependency::object_definition_type(*object)) {
                keys.add(MetadataType::CustomField, *object);
                keys.add(*definition, *object);
            }
        }
    }
    return std::move(keys).take();
}

}  // namespace ambrel::app
