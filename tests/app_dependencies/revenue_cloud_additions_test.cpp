// Context definition, decision table, dataset link, expression set and pricing recipe additions.

#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "additions_under_test.hpp"
#include "app/dependency_additions/context_additions.hpp"
#include "app/dependency_additions/pricing_additions.hpp"

namespace ambrel::app::testing {
namespace {

using dependency::WarningList;

ComponentKey field_key(std::string_view object) { return key(MetadataType::CustomField, std::string(object)); }
ComponentKey object_key(std::string_view object) { return key(MetadataType::CustomObject, std::string(object)); }

struct Case {
    std::string_view name;
    std::vector<MetadataComponent> documents;
    CompareSelection selection;
    Keys expected;
    WarningList warnings = {};
};

using Addition = Keys (*)(std::span<const MetadataComponent>, const CompareSelection&, WarningList&);

void run_cases(Addition addition, const std::vector<Case>& cases) {
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WarningList warnings;
        EXPECT_EQ(addition(c.documents, c.selection, warnings), c.expected);
        EXPECT_EQ(warnings, c.warnings);
    }
}

// ---------------------------------------------------------------------------------------------
// Context definitions
// ---------------------------------------------------------------------------------------------

std::string hydration(std::string_view object, std::string_view field) {
    return fmt::format("<contextAttrHydrationDetails><objectName>{}</objectName><queryAttribute>{}</queryAttribute>"
                       "</contextAttrHydrationDetails>",
                       object, field);
}
std::string mapped_object(std::string_view object) {
    return fmt::format("<contextNodeMappings><object>{}</object></contextNodeMappings>", object);
}
std::string mapped_context(std::string_view name) {
    return fmt::format("<contextNodeMappings><mappedContextDefinition>{}</mappedContextDefinition>"
                       "</contextNodeMappings>",
                       name);
}

MetadataComponent context(std::string name, std::string_view body) {
    return component("ContextDefinition", std::move(name), document("ContextDefinition", body));
}

Keys contexts(std::span<const MetadataComponent> documents, const CompareSelection& selection, WarningList& warnings) {
    return context_definition_additions(documents, selection, warnings);
}

TEST(ContextDefinitionAdditions, FollowObjectsAndContextDefinitions) {
    const MetadataType context_type = type_of("ContextDefinition");
    run_cases(contexts, {
        {"standard and custom objects of field paths",
         {context("Sales_Context", hydration("Account", "Region__c") + hydration("Pricing__c", "Tier__c"))}, {},
         {field_key("Account"), field_key("Pricing__c"), object_key("Pricing__c")}},
        {"custom object of a node mapping", {context("Sales_Context", mapped_object("Invoice__c"))},
         selection_of({field_key("Invoice__c")}), {object_key("Invoice__c")}},
        {"mapped context definitions",
         {context("Sales_Context", mapped_context("Billing_Context") + mapped_context("Tax_Context"))}, {},
         {key(context_type, "Billing_Context"), key(context_type, "Tax_Context")}},
        {"invalid names: objects first, then contexts",
         {context("Sales_Context", mapped_context("Tax-Context") + hydration("Bad-Obj", "Region__c"))}, {}, {},
         {"Object name 'Bad-Obj' referenced by Context Definition 'Sales_Context' is not a valid member name; it was "
          "not followed.",
          "Context definition name 'Tax-Context' referenced by 'Sales_Context' is not a valid member name; it was not "
          "followed."}},
        {"unreadable document, next one followed",
         {context("Broken", "<contextNodeMappings>"), context("Sales_Context", mapped_object("Invoice__c"))}, {},
         {field_key("Invoice__c"), object_key("Invoice__c")},
         {"Could not parse Context Definition 'Broken'; its dependencies were not followed."}},
    });
}

inline constexpr std::string_view kContextDefinition = "ContextDefinition";
inline constexpr std::string_view kDecisionTable = "DecisionTable";
inline constexpr std::string_view kExpressionSetDefinition = "ExpressionSetDefinition";
inline constexpr std::string_view kExpressionSetVersion = "ExpressionSetDefinitionVersion";

TEST(ContextDefinitionAdditions, AnUnknownContextDefinitionTypeAddsNotEvenObjects) {
    const std::vector<MetadataComponent> documents{context("Broken", "<x"),
                                                   context("Sales_Context", mapped_object("Invoice__c"))};
    WarningList warnings;
    EXPECT_TRUE(context_definition_additions(documents, {}, warnings, lookup_without<kContextDefinition>).empty());
    EXPECT_TRUE(warnings.empty());
}

TEST(ContextDefinitionAdditions, AnUnreadableDocumentWarnsOnceOverIterations) {
    const std::vector<MetadataComponent> documents{context("Broken", "<contextNodeMappings>")};
    WarningList warnings;
    for (int iteration = 0; iteration < 11; ++iteration) context_definition_additions(documents, {}, warnings);
    EXPECT_EQ(warnings,
              WarningList{"Could not parse Context Definition 'Broken'; its dependencies were not followed."});
}

// ---------------------------------------------------------------------------------------------
// Decision tables and dataset links
// ---------------------------------------------------------------------------------------------

MetadataComponent table(std::string name, std::string_view body) {
    return component("DecisionTable", std::move(name), document("DecisionTable", body));
}
std::string table_parameter(std::string_view inner) {
    return fmt::format("<decisionTableParameters>{}<usage>INPUT</usage></decisionTableParameters>", inner);
}

TEST(DecisionTableAdditions, FollowObjectsOnly) {
    run_cases(decision_table_additions, {
        {"source object and a parameter's domain object",
         {table("Rates", "<sourceObject>Invoice__c</sourceObject>" +
                             table_parameter("<domainObject>Account</domainObject><fieldName>Region__c</fieldName>"))},
         {}, {field_key("Account"), field_key("Invoice__c"), object_key("Invoice__c")}},
        {"a field without a dot and no object", {table("Rates", table_parameter("<fieldName>Id</fieldName>"))}, {}, {},
         {}},
        {"invalid object name",
         {table("Rates", table_parameter("<domainObject>Bad-Obj__c</domainObject><fieldName>Region__c</fieldName>"))},
         {}, {},
         {"Object name 'Bad-Obj__c' referenced by Decision Table 'Rates' is not a valid member name; it was not "
          "followed."}},
        {"a standard source object alone", {table("Rates", "<sourceObject>Account</sourceObject>")}, {}, {}, {}},
        {"unreadable document warns", {table("Rates", "<sourceObject>")}, {}, {},
         {"Could not parse Decision Table 'Rates'; its dependencies were not followed."}},
    });
}

MetadataComponent link(std::string name, std::string_view body) {
    return component("DecisionTableDatasetLink", std::move(name), document("DecisionTableDatasetLink", body));
}
std::string link_body(std::string_view table_name, std::string_view object) {
    std::string body;
    if (!table_name.empty()) body += fmt::format("<decisionTableName>{}</decisionTableName>", table_name);
    if (!object.empty()) body += fmt::format("<sourceObject>{}</sourceObject>", object);
    return body;
}

Keys links(std::span<const MetadataComponent> documents, const CompareSelection& selection, WarningList& warnings) {
    return dataset_link_additions(documents, selection, warnings);
}

TEST(DatasetLinkAdditions, FollowTheTableAndACustomSourceObject) {
    const MetadataType table_type = type_of("DecisionTable");
    run_cases(links, {
        {"table and standard object", {link("Link", link_body("Rates", "Product2"))}, {}, {key(table_type, "Rates")}},
        {"custom metadata type source", {link("Link", link_body("", "Tier__mdt"))}, {},
         {field_key("Tier__mdt"), key(MetadataType::CustomMetadataType, "Tier__mdt")}},
        {"packaged table: silent", {link("Link", link_body("ns__Rates", ""))}, {}, {}, {}},
        {"packaged source object adds nothing", {link("Link", link_body("", "ns__Tier__c"))}, {}, {}, {}},
        {"invalid names", {link("Link", link_body("Rates 2", "Tier-X__c"))}, {}, {},
         {"Decision table name 'Rates 2' referenced by 'Link' is not a valid member name; it was not followed.",
          "Object name 'Tier-X__c' referenced by Decision Table Dataset Link 'Link' is not a valid member name; it "
          "was not followed."}},
        {"unreadable document", {link("Link", "<decisionTableName>")}, {}, {},
         {"Could not parse Decision Table Dataset Link 'Link'; its dependencies were not followed."}},
        {"selected already", {link("Link", link_body("Rates", "Tier__c"))},
         selection_of({key(table_type, "Rates"), field_key("Tier__c"), object_key("Tier__c")}), {}, {}},
    });
}

TEST(DatasetLinkAdditions, AnUnknownDecisionTableTypeReadsNothing) {
    const std::vector<MetadataComponent> documents{link("Broken", "<x"), link("Link", link_body("Rates", "Tier__c"))};
    WarningList warnings;
    EXPECT_TRUE(dataset_link_additions(documents, {}, warnings, lookup_without<kDecisionTable>).empty());
    EXPECT_TRUE(warnings.empty());
}

// ---------------------------------------------------------------------------------------------
// Expression sets and pricing recipes
// ---------------------------------------------------------------------------------------------

std::string decision_table_step(std::string_view name) {
    return fmt::format("<versions><steps><actionParameters><parameters><name>DTName</name><type>Literal</type>"
                       "<value>{}</value></parameters></actionParameters></steps></versions>",
                       name);
}
std::string context_of(std::string_view name) {
    return fmt::format("<contextDefinitions>{}</contextDefinitions>", name);
}
std::string definition_of(std::string_view name) {
    return fmt::format("<expressionSetDefinition>{}</expressionSetDefinition>", name);
}

MetadataComponent version(std::string name, std::string_view body) {
    return component("ExpressionSetDefinitionVersion", std::move(name),
                     document("ExpressionSetDefinitionVersion", body));
}
MetadataComponent definition(std::string name, std::string_view body) {
    return component("ExpressionSetDefinition", std::move(name), document("ExpressionSetDefinition", body));
}

Keys expression_sets(std::span<const MetadataComponent> documents, const CompareSelection& selection,
                     WarningList& warnings) {
    return expression_set_additions(documents, selection, warnings);
}

TEST(ExpressionSetAdditions, FollowDefinitionsTablesAndContexts) {
    const MetadataType table_type = type_of("DecisionTable");
    const MetadataType context_type = type_of("ContextDefinition");
    const MetadataType definition_type = type_of("ExpressionSetDefinition");
    const ComponentKey main = key(definition_type, "Pricing_Main");
    run_cases(expression_sets, {
        {"a version with its definition, table and context",
         {version("Pricing_Main_V1", definition_of("Pricing_Main") + context_of("Billing_Context") +
                                         decision_table_step("Discount_Table"))},
         {}, {key(context_type, "Billing_Context"), key(table_type, "Discount_Table"), main}},
        {"definition selected", {version("Pricing_Main_V1", definition_of("Pricing_Main"))}, selection_of({main}), {}},
        {"a definition never gets the version step", {definition("Pricing_Main", definition_of("Other_Def"))}, {}, {}},
        {"packaged definition and table: silent",
         {version("V1", definition_of("ns__Pricing") + decision_table_step("ns__Rates"))}, {}, {}},
        {"definition name with blanks is refused",
         {version("V1", definition_of(" Pricing_Main "))}, {}, {},
         {"Expression Set Definition name ' Pricing_Main ' referenced by 'V1' is not a valid member name; it was not "
          "followed."}},
        {"invalid table and context names, step order",
         {version("V1", context_of("Bad-Context") + decision_table_step("Bad Table"))}, {}, {},
         {"Decision table name 'Bad Table' referenced by 'V1' is not a valid member name; it was not followed.",
          "Context definition name 'Bad-Context' referenced by 'V1' is not a valid member name; it was not "
          "followed."}},
        {"a version under the wrong root warns once",
         {component("ExpressionSetDefinitionVersion", "V1", document("ExpressionSetDefinition", definition_of("X")))},
         {}, {}, {"Could not parse Expression Set 'V1'; its dependencies were not followed."}},
        {"an unreadable version warns once", {version("V1", "<expressionSetDefinition>")}, {}, {},
         {"Could not parse Expression Set 'V1'; its dependencies were not followed."}},
        {"definition of a version whose references fail is still followed",
         {version("V1", definition_of("Pricing_Main") + "<contextDefinitions>A&nbsp;</contextDefinitions>")}, {},
         {main}, {"Could not parse Expression Set 'V1'; its dependencies were not followed."}},
    });
}

TEST(ExpressionSetAdditions, UnknownTypesGateTheWholeAdditionOrTheVersionStep) {
    const std::vector<MetadataComponent> documents{
        version("V1", definition_of("Pricing_Main") + decision_table_step("Discount_Table")), version("Broken", "<x")};
    const ComponentKey table_key = key("DecisionTable", "Discount_Table");
    struct LookupCase {
        std::string_view name;
        TypeLookup lookup;
        Keys expected;
        bool warns;
    };
    const LookupCase cases[] = {
        {"decision table unknown", lookup_without<kDecisionTable>, {}, false},
        {"context definition unknown", lookup_without<kContextDefinition>, {}, false},
        {"definition unknown: no version step", lookup_without<kExpressionSetDefinition>, {table_key}, true},
        {"version unknown: no version step", lookup_without<kExpressionSetVersion>, {table_key}, true},
    };
    for (const LookupCase& c : cases) {
        SCOPED_TRACE(c.name);
        WarningList warnings;
        EXPECT_EQ(expression_set_additions(documents, {}, warnings, c.lookup), c.expected);
        EXPECT_EQ(warnings.size(), c.warns ? 1u : 0u);
    }
}

MetadataComponent recipe(std::string name, std::string_view body) {
    return component("PricingRecipe", std::move(name), document("PricingRecipe", body));
}
std::string recipe_body(std::string_view procedure, std::initializer_list<std::string_view> tables) {
    std::string body = fmt::format("<defaultPricingProcedureDeveloperName>{}</defaultPricingProcedureDeveloperName>",
                                   procedure);
    for (std::string_view t : tables) {
        body += fmt::format("<pricingRecipeTableMapping><lookupTableDeveloperName>{}</lookupTableDeveloperName>"
                            "</pricingRecipeTableMapping>",
                            t);
    }
    return body;
}

Keys recipes(std::span<const MetadataComponent> documents, const CompareSelection& selection, WarningList& warnings) {
    return pricing_recipe_additions(documents, selection, warnings);
}

TEST(PricingRecipeAdditions, FollowTheProcedureAndTheLookupTables) {
    const MetadataType table_type = type_of("DecisionTable");
    const MetadataType definition_type = type_of("ExpressionSetDefinition");
    run_cases(recipes, {
        {"procedure and tables", {recipe("Recipe", recipe_body("Standard_Procedure", {"Volume", "Tier"}))}, {},
         {key(table_type, "Tier"), key(table_type, "Volume"), key(definition_type, "Standard_Procedure")}},
        {"procedure with a hyphen; tables still followed",
         {recipe("Recipe", recipe_body("Standard-Procedure", {"Volume", "Bad Table"}))}, {},
         {key(table_type, "Volume")},
         {"Procedure name 'Standard-Procedure' referenced by Pricing Recipe 'Recipe' is not a valid member name; it "
          "was not followed.",
          "Decision table name 'Bad Table' referenced by Pricing Recipe 'Recipe' is not a valid member name; it was "
          "not followed."}},
        {"packaged lookup table: silent", {recipe("Recipe", recipe_body("Proc", {"ns__Rates"}))}, {},
         {key(definition_type, "Proc")}},
        {"unreadable document", {recipe("Recipe", "<defaultPricingProcedureDeveloperName>")}, {}, {},
         {"Could not parse Pricing Recipe 'Recipe'; its dependencies were not followed."}},
    });
}

TEST(PricingRecipeAdditions, UnknownTypesReadNothing) {
    const std::vector<MetadataComponent> documents{recipe("Broken", "<x"), recipe("Recipe", recipe_body("P", {"T"}))};
    for (TypeLookup lookup : {lookup_without<kDecisionTable>, lookup_without<kExpressionSetDefinition>}) {
        WarningList warnings;
        EXPECT_TRUE(pricing_recipe_additions(documents, {}, warnings, lookup).empty());
        EXPECT_TRUE(warnings.empty());
    }
}

}  // namespace
}  // namespace ambrel::app::testing
