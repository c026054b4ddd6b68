#include "app/dependency_additions/pricing_additions.hpp"

#include <set>
#include <string>
#include <string_view>

#include <fmt/format.h>

#include "metadata/expression_set_version_status.hpp"
#include "metadata/namespace_policy.hpp"
#include "metadata/readers/expression_set_reader.hpp"
#include "metadata/readers/pricing_recipe_reader.hpp"

namespace ambrel::app {

namespace {

using domain::ComponentKey;
using domain::MetadataComponent;
using metadata_types::MetadataType;

constexpr std::string_view kDecisionTableWireId = "DecisionTable";
constexpr std::string_view kContextDefinitionWireId = "ContextDefinition";
constexpr std::string_view kExpressionSetDefinitionWireId = "ExpressionSetDefinition";
constexpr std::string_view kExpressionSetVersionWireId = "ExpressionSetDefinitionVersion";

constexpr std::string_view kProcedureLabel = "Procedure";
constexpr std::string_view kDecisionTableLabel = "Decision table";

void warn_unparsed_expression_set(dependency::WarningList& warnings, const MetadataComponent& document) {
    dependency::push_warning(warnings, fmt::format("Could not parse Expression Set '{}'; its dependencies were not "
                                                   "followed.",
                                                   document.key.name));
}

// The definition a version belongs to, from its root child "expressionSetDefinition".
void add_version_definition(KeyCollector& keys, dependency::WarningList& warnings, MetadataType definition_type,
                            const MetadataComponent& version) {
    namespace status = metadata::expression_set_version_status;
    const auto child = status::root_child(version.document, status::kDefinitionElement);
    if (!child) {
        warn_unparsed_expression_set(warnings, version);
        return;
    }
    if (!*child) return;
    const std::string& name = (*child)->text;
    if (metadata::NamespacePolicy::is_packaged_generic_component(name)) return;
    if (!status::is_valid_definition_name(name)) {
        dependency::push_warning(warnings, fmt::format("Expression Set Definition name '{}' referenced by '{}' {}",
                                                       name, version.key.name, kNotFollowedEnding));
        return;
    }
    keys.add(definition_type, name);
}

}  // namespace

std::vector<ComponentKey> expression_set_additions(std::span<const MetadataComponent> expression_sets,
                                                   const CompareSelection& selection,
                                                   dependency::WarningList& warnings, TypeLookup lookup) {
    const auto decision_table_type = lookup(kDecisionTableWireId);
    const auto context_type = lookup(kContextDefinitionWireId);
    if (!decision_table_type || !context_type) return {};
    const auto definition_type = lookup(kExpressionSetDefinitionWireId);
    const auto version_type = lookup(kExpressionSetVersionWireId);

    KeyCollector keys(selection);
    for (const MetadataComponent& document : expression_sets) {
        if (definition_type && version_type && document.key.metadata_type == *version_type) {
            add_version_definition(keys, warnings, *definition_type, document);
        }
        const auto references =
            metadata::expression_set_reader::parse_expression_set_references(document.key.name, document.document);
        if (!references) {
            warn_unparsed_expression_set(warnings, document);
            continue;
        }
        for (const std::string& name : references->decision_tables) {
            if (metadata::NamespacePolicy::is_packaged_generic_component(name)) continue;
            if (!is_member_name(name)) {
                dependency::push_warning(warnings, fmt::format("Decision table name '{}' referenced by '{}' {}", name,
                                                               document.key.name, kNotFollowedEnding));
                continue;
            }
            keys.add(*decision_table_type, name);
        }
        // The reader already leaves standard contexts out; no packaged test applies here.
        for (const std::string& name : references->context_definitions) {
            if (!is_member_name(name)) {
                dependency::push_warning(warnings, fmt::format("Context definition name '{}' referenced by '{}' {}",
                                                               name, document.key.name, kNotFollowedEnding));
                continue;
            }
            keys.add(*context_type, name);
        }
    }
    return std::move(keys).take();
}

std::vector<ComponentKey> pricing_recipe_additions(std::span<const MetadataComponent> recipes,
                                                   const CompareSelection& selection,
                                                   dependency::WarningList& warnings, TypeLookup lookup) {
    const auto definition_type = lookup(kExpressionSetDefinitionWireId);
    const auto decision_table_type = lookup(kDecisionTableWireId);
    if (!definition_type || !decision_table_type) return {};

    KeyCollector keys(selection);
    for (const MetadataComponent& recipe : recipes) {
        const auto references =
            metadata::pricing_recipe_reader::parse_pricing_recipe_references(recipe.key.name, recipe.document);
        if (!references) {
            dependency::push_warning(warnings, fmt::format("Could not parse Pricing Recipe '{}'; its dependencies "
                                                           "were not followed.",
                                                           recipe.key.name));
            continue;
        }
        const auto follow = [&](const std::set<std::string>& names, std::string_view label, MetadataType type) {
            for (const std::string& name : names) {
                if (metadata::NamespacePolicy::is_packaged_generic_component(name)) continue;
                if (!is_member_name(name)) {
                    dependency::push_warning(warnings,
                                             fmt::format("{} name '{}' referenced by Pricing Recipe '{}' {}", label,
                                                         name, recipe.key.name, kNotFollowedEnding));
                    continue;
                }
                keys.add(type, name);
            }
        };
        follow(references->pricing_procedures, kProcedureLabel, *definition_type);
        follow(references->lookup_tables, kDecisionTableLabel, *decision_table_type);
    }
    return std::move(keys).take();
}

}  // namespace ambrel::app
