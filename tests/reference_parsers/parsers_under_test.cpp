#include "parsers_under_test.hpp"

#include <algorithm>

#include <fmt/format.h>

#include "metadata/readers/context_reader.hpp"
#include "metadata/readers/custom_metadata_reader.hpp"
#include "metadata/readers/dataset_link_reader.hpp"
#include "metadata/readers/decision_table_reader.hpp"
#include "metadata/readers/expression_set_reader.hpp"
#include "metadata/readers/lookup_reader.hpp"
#include "metadata/readers/permission_set_group_reader.hpp"
#include "metadata/readers/pricing_recipe_reader.hpp"
#include "metadata/readers/rollup_reader.hpp"
#include "metadata/readers/value_set_reader.hpp"

namespace ambrel::metadata::testing {

namespace {

void add(std::vector<std::string>& out, std::string_view part, const std::set<std::string>& values) {
    for (const std::string& value : values) out.push_back(fmt::format("{}:{}", part, value));
}

void add(std::vector<std::string>& out, std::string_view part, const std::optional<std::string>& value) {
    if (value) out.push_back(fmt::format("{}:{}", part, *value));
}

template <typename Result, typename Flatten>
Flattened flatten(const std::expected<Result, FieldReadError>& result, Flatten flatten_result) {
    if (!result) return std::unexpected(result.error().message());
    std::vector<std::string> out;
    flatten_result(out, *result);
    std::sort(out.begin(), out.end());
    return out;
}

std::string single_root(std::string_view root) { return fmt::format("root element must be {}", root); }

}  // namespace

std::string document(std::string_view root, std::string_view body) {
    return fmt::format("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<{} xmlns=\"{}\">\n{}\n</{}>\n", root, kMetadataNs,
                       body, root);
}

std::string failure(std::string_view full_name, std::string_view reason) {
    return fmt::format("Invalid metadata in {}: {}", full_name, reason);
}

const std::vector<ParserUnderTest>& all_parsers() {
    static const std::vector<ParserUnderTest> parsers = {
        {"rollup", "CustomField", single_root("CustomField"), "<summarizedField>", "</summarizedField>",
         [](std::string_view n, std::string_view t) {
             return flatten(rollup_reader::parse_rollup_references(n, t), [](auto& out, const auto& r) {
                 add(out, "key", r.summary_foreign_key);
                 add(out, "summarized", r.summarized_field);
                 add(out, "filter", r.filter_fields);
             });
         }},
        {"lookup", "CustomField", single_root("CustomField"), "<referenceTo>", "</referenceTo>",
         [](std::string_view n, std::string_view t) {
             return flatten(lookup_reader::parse_lookup_references(n, t), [](auto& out, const auto& r) {
                 add(out, "object", r.referenced_objects);
                 add(out, "filter", r.filter_fields);
             });
         }},
        {"value set", "CustomField", single_root("CustomField"), "<valueSet><valueSetName>",
         "</valueSetName></valueSet>",
         [](std::string_view n, std::string_view t) {
             return flatten(value_set_reader::parse_global_value_set_reference(n, t),
                            [](auto& out, const auto& r) { add(out, "value set", r); });
         }},
        {"custom metadata", "CustomMetadata", single_root("CustomMetadata"), "<values><field>", "</field></values>",
         [](std::string_view n, std::string_view t) {
             return flatten(custom_metadata_reader::parse_custom_metadata_references(n, t),
                            [](auto& out, const auto& r) { add(out, "field", r.fields); });
         }},
        {"pricing recipe", "PricingRecipe", single_root("PricingRecipe"), "<defaultPricingProcedureDeveloperName>",
         "</defaultPricingProcedureDeveloperName>",
         [](std::string_view n, std::string_view t) {
             return flatten(pricing_recipe_reader::parse_pricing_recipe_references(n, t), [](auto& out, const auto& r) {
                 add(out, "procedure", r.pricing_procedures);
                 add(out, "lookup table", r.lookup_tables);
             });
         }},
        {"permission set group", "PermissionSetGroup", single_root("PermissionSetGroup"), "<permissionSets>",
         "</permissionSets>",
         [](std::string_view n, std::string_view t) {
             return flatten(permission_set_group_reader::parse_permission_set_group_references(n, t),
                            [](auto& out, const auto& r) { add(out, "permission set", r); });
         }},
        {"expression set", "ExpressionSetDefinitionVersion",
         "root element must be ExpressionSetDefinition or ExpressionSetDefinitionVersion", "<contextDefinitions>",
         "</contextDefinitions>",
         [](std::string_view n, std::string_view t) {
             return flatten(expression_set_reader::parse_expression_set_references(n, t), [](auto& out, const auto& r) {
                 add(out, "table", r.decision_tables);
                 add(out, "context", r.context_definitions);
             });
         }},
        {"context", "ContextDefinition", single_root("ContextDefinition"), "<contextNodeMappings><object>",
         "</object></contextNodeMappings>",
         [](std::string_view n, std::string_view t) {
             return flatten(context_reader::parse_context_references(n, t), [](auto& out, const auto& r) {
                 add(out, "field", r.fields);
                 add(out, "object", r.objects);
                 add(out, "context", r.context_definitions);
             });
         }},
        {"decision table", "DecisionTable", single_root("DecisionTable"), "<sourceObject>", "</sourceObject>",
         [](std::string_view n, std::string_view t) {
             return flatten(decision_table_reader::parse_decision_table_references(n, t), [](auto& out, const auto& r) {
                 add(out, "field", r.fields);
                 add(out, "object", r.objects);
             });
         }},
        {"dataset link", "DecisionTableDatasetLink", single_root("DecisionTableDatasetLink"), "<decisionTableName>",
         "</decisionTableName>",
         [](std::string_view n, std::string_view t) {
             return flatten(dataset_link_reader::parse_dataset_link_references(n, t), [](auto& out, const auto& r) {
                 add(out, "decision table", r.decision_table);
                 add(out, "source object", r.source_object);
             });
         }},
    };
    return parsers;
}

}  // namespace ambrel::metadata::testing
