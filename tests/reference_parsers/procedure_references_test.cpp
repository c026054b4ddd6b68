// Expression sets, context definitions, decision tables and dataset links.

#include <set>
#include <string>
#include <string_view>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "metadata/readers/context_reader.hpp"
#include "metadata/readers/dataset_link_reader.hpp"
#include "metadata/readers/decision_table_reader.hpp"
#include "metadata/readers/expression_set_reader.hpp"
#include "parsers_under_test.hpp"

namespace ambrel::metadata::testing {
namespace {

using Set = std::set<std::string>;

// ---------------------------------------------------------------------------------------------
// Expression sets
// ---------------------------------------------------------------------------------------------

std::string parameter(std::string_view name, std::string_view type, std::string_view value) {
    return fmt::format("<parameters><name>{}</name><type>{}</type><value>{}</value></parameters>", name, type, value);
}

std::string steps(std::string_view inner) {
    return fmt::format("<versions><steps><actionParameters>{}</actionParameters></steps></versions>", inner);
}

struct ExpressionCase {
    std::string_view name;
    std::string body;
    Set tables;
    Set contexts;
};

TEST(ExpressionSetReferences, JudgeEachParametersElementOnItsDirectChildren) {
    const ExpressionCase cases[] = {
        {"context definitions", "<contextDefinitions>Order_Context__stdctx</contextDefinitions>"
                                "<contextDefinitions>ns1__Billing_Context</contextDefinitions>"
                                "<contextDefinitions> Billing_Context </contextDefinitions>",
         {}, Set{"Billing_Context"}},
        {"one underscore is not the standard suffix", "<contextDefinitions>Order_stdctx</contextDefinitions>", {},
         Set{"Order_stdctx"}},
        {"context definitions deeper", "<x><contextDefinitions>Billing_Context</contextDefinitions></x>", {}, {}},
        {"DTName several levels down", steps(parameter("DTName", "Literal", "Discount_Table")), Set{"Discount_Table"},
         {}},
        {"LookUpApiName", steps(parameter("LookUpApiName", "Literal", "Region_Rates")), Set{"Region_Rates"}, {}},
        {"both", steps(parameter("DTName", "Literal", "Discount_Table") +
                       parameter("LookUpApiName", "Literal", "Region_Rates")),
         Set{"Discount_Table", "Region_Rates"}, {}},
        {"type literal in lower case", steps(parameter("DTName", "literal", "T")), {}, {}},
        {"type Variable", steps(parameter("DTName", "Variable", "T")), {}, {}},
        {"name DtName", steps(parameter("DtName", "Literal", "T")), {}, {}},
        {"no type", steps("<parameters><name>DTName</name><value>T</value></parameters>"), {}, {}},
        {"value first", steps("<parameters><value>T</value><type>Literal</type><name>DTName</name></parameters>"),
         Set{"T"}, {}},
        {"white space value", steps(parameter("DTName", "Literal", "  ")), {}, {}},
        {"no value", steps("<parameters><name>DTName</name><type>Literal</type></parameters>"), {}, {}},
        {"value holding a child element", steps(parameter("DTName", "Literal", "T<b>x</b>")), {}, {}},
        {"a later empty name replaces the first",
         steps("<parameters><name>DTName</name><name> </name><type>Literal</type><value>T</value></parameters>"), {},
         {}},
        {"a later value replaces the first",
         steps("<parameters><name>DTName</name><type>Literal</type><value>A</value><value>B</value></parameters>"),
         Set{"B"}, {}},
        {"empty-element name", steps("<parameters><name/><type>Literal</type><value>T</value></parameters>"), {}, {}},
        {"children one level deeper",
         steps("<parameters><x><name>DTName</name><type>Literal</type><value>T</value></x></parameters>"), {}, {}},
        {"parameters outside the namespace",
         steps("<o:parameters xmlns:o=\"urn:o\"><name>DTName</name><type>Literal</type><value>T</value></o:parameters>"),
         {}, {}},
        {"other children ignored",
         steps("<parameters><name>DTName</name><sequence>1</sequence><type>Literal</type><value>T</value></parameters>"),
         Set{"T"}, {}},
        {"inner and outer parameters judged apart",
         steps("<parameters><name>DTName</name><type>Literal</type>"
               "<parameters><name>LookUpApiName</name><type>Literal</type><value>Inner</value></parameters>"
               "<value>Outer</value></parameters>"),
         Set{"Inner", "Outer"}, {}},
        {"inner children never reach the outer record",
         steps("<parameters><name>DTName</name><type>Literal</type>"
               "<parameters><value>Inner</value></parameters></parameters>"),
         {}, {}},
        {"parameters directly under the root", parameter("DTName", "Literal", "Top"), Set{"Top"}, {}},
        {"CDATA with an ampersand", steps(parameter("DTName", "Literal", "<![CDATA[R&D]]>")), Set{"R&D"}, {}},
    };
    for (std::string_view root : {"ExpressionSetDefinition", "ExpressionSetDefinitionVersion"}) {
        for (const ExpressionCase& c : cases) {
            SCOPED_TRACE(fmt::format("{} / {}", root, c.name));
            const auto result =
                expression_set_reader::parse_expression_set_references("Pricing", document(root, c.body));
            ASSERT_TRUE(result) << result.error().message();
            EXPECT_EQ(result->decision_tables, c.tables);
            EXPECT_EQ(result->context_definitions, c.contexts);
        }
    }
}

TEST(ExpressionSetReferences, AnEmptyRootYieldsTwoEmptySets) {
    const auto result = expression_set_reader::parse_expression_set_references(
        "Pricing", fmt::format("<ExpressionSetDefinition xmlns=\"{}\"/>", kMetadataNs));
    ASSERT_TRUE(result) << result.error().message();
    EXPECT_EQ(*result, expression_set_reader::ExpressionSetReferences{});
}

// ---------------------------------------------------------------------------------------------
// Context definitions
// ---------------------------------------------------------------------------------------------

struct ContextCase {
    std::string_view name;
    std::string body;
    Set fields;
    Set objects;
    Set contexts;
};

std::string node_mapping(std::string_view inner) { return fmt::format("<contextNodeMappings>{}</contextNodeMappings>", inner); }
std::string hydration(std::string_view inner) {
    return fmt::format("<contextAttrHydrationDetails>{}</contextAttrHydrationDetails>", inner);
}
std::string in_nodes(std::string_view inner) {
    return fmt::format("<contextDefinitionVersions><contextNodes><contextAttributes>{}</contextAttributes>"
                       "</contextNodes></contextDefinitionVersions>",
                       inner);
}

TEST(ContextReferences, JudgeEachPieceByItsElementAndParent) {
    const ContextCase cases[] = {
        {"custom object", node_mapping("<object>Invoice__c</object>"), {}, Set{"Invoice__c"}, {}},
        {"objects that do not transfer",
         node_mapping("<object>Account</object>") + node_mapping("<object>Rate__mdt</object>") +
             node_mapping("<object>Alert__e</object>") + node_mapping("<object>abc__Invoice__c</object>"),
         {}, {}, {}},
        {"mapped and referenced definitions",
         node_mapping("<mappedContextDefinition>Billing_Context</mappedContextDefinition>") +
             "<contextDefinitionReferences><referenceContextDefinition>Tax_Context</referenceContextDefinition>"
             "</contextDefinitionReferences>",
         {}, {}, Set{"Billing_Context", "Tax_Context"}},
        {"standard, packaged and own names dropped",
         node_mapping("<mappedContextDefinition>Pricing__stdctx</mappedContextDefinition>") +
             node_mapping("<mappedContextDefinition>abc__Shared_Context</mappedContextDefinition>") +
             node_mapping("<mappedContextDefinition>Sales_Context</mappedContextDefinition>"),
         {}, {}, {}},
        {"object directly under the root", "<object>Invoice__c</object>", {}, {}, {}},
        {"object under another parent", "<contextNodes><object>Invoice__c</object></contextNodes>", {}, {}, {}},
        {"mapped definition under references",
         "<contextDefinitionReferences><mappedContextDefinition>X_Context</mappedContextDefinition>"
         "</contextDefinitionReferences>",
         {}, {}, {}},
        {"depth does not matter", in_nodes(node_mapping("<object>Invoice__c</object>")), {}, Set{"Invoice__c"}, {}},
        {"hydration pair", hydration("<objectName>Invoice__c</objectName><queryAttribute>Amount__c</queryAttribute>"),
         Set{"Invoice__c.Amount__c"}, {}, {}},
        {"object of a pair not tested",
         hydration("<queryAttribute>Region__c</queryAttribute><objectName>Account</objectName>"),
         Set{"Account.Region__c"}, {}, {}},
        {"query attributes that are not unpackaged custom fields",
         hydration("<objectName>A</objectName><queryAttribute>Name</queryAttribute>") +
             hydration("<objectName>A</objectName><queryAttribute>Rate__mdt</queryAttribute>") +
             hydration("<objectName>A</objectName><queryAttribute>abc__Amount__c</queryAttribute>"),
         {}, {}, {}},
        {"only one half", hydration("<objectName>Invoice__c</objectName>") + hydration("<queryAttribute>A__c</queryAttribute>"),
         {}, {}, {}},
        {"two details never combine",
         hydration("<objectName>A__c</objectName><queryAttribute>X__c</queryAttribute>") +
             hydration("<objectName>B__c</objectName><queryAttribute>Y__c</queryAttribute>"),
         Set{"A__c.X__c", "B__c.Y__c"}, {}, {}},
        {"a later piece replaces the pending one",
         hydration("<objectName>A__c</objectName><objectName>B__c</objectName><queryAttribute>X__c</queryAttribute>"),
         Set{"B__c.X__c"}, {}, {}},
        {"trimmed, white space ignored",
         node_mapping("<object>\n  Invoice__c  </object>") + node_mapping("<mappedContextDefinition> </mappedContextDefinition>"),
         {}, Set{"Invoice__c"}, {}},
        {"comment splits a value into two candidates",
         node_mapping("<mappedContextDefinition>Billing<!-- c -->_Context</mappedContextDefinition>"), {}, {},
         Set{"Billing", "_Context"}},
        {"a reference joins a value", node_mapping("<mappedContextDefinition>Billing&#95;Context</mappedContextDefinition>"),
         {}, {}, Set{"Billing_Context"}},
        {"an undecodable run is ignored",
         node_mapping("<mappedContextDefinition>Billing&nbsp;Context</mappedContextDefinition>") +
             node_mapping("<mappedContextDefinition>Tax&#0;</mappedContextDefinition>"),
         {}, {}, {}},
        {"CDATA piece with an ampersand", node_mapping("<object><![CDATA[R&D__c]]></object>"), {}, Set{"R&D__c"}, {}},
        {"CDATA delimits pieces", node_mapping("<object>Inv<![CDATA[oice__c]]></object>"), {}, Set{"oice__c"}, {}},
        {"empty-element tags have no effect",
         hydration("<objectName>A__c</objectName><queryAttribute/><queryAttribute>X__c</queryAttribute>"),
         Set{"A__c.X__c"}, {}, {}},
        {"holder outside the namespace",
         node_mapping("<o:object xmlns:o=\"urn:o\">Invoice__c</o:object>"), {}, {}, {}},
        {"nothing", "<developerName>Sales_Context</developerName>", {}, {}, {}},
    };
    for (const ContextCase& c : cases) {
        SCOPED_TRACE(c.name);
        const auto result = context_reader::parse_context_references("Sales_Context", document("ContextDefinition", c.body));
        ASSERT_TRUE(result) << result.error().message();
        EXPECT_EQ(result->fields, c.fields);
        EXPECT_EQ(result->objects, c.objects);
        EXPECT_EQ(result->context_definitions, c.contexts);
    }
}

TEST(ContextReferences, TransferableObjectsAreUnpackagedCustomObjects) {
    EXPECT_TRUE(context_reader::is_transferable_object("Invoice__c"));
    EXPECT_TRUE(context_reader::is_transferable_object("__c"));
    EXPECT_FALSE(context_reader::is_transferable_object("_c"));
    EXPECT_FALSE(context_reader::is_transferable_object("Account"));
    EXPECT_FALSE(context_reader::is_transferable_object("Rate__mdt"));
    EXPECT_FALSE(context_reader::is_transferable_object("Alert__e"));
    EXPECT_FALSE(context_reader::is_transferable_object("abc__Invoice__c"));
    EXPECT_FALSE(context_reader::is_transferable_object("Invoice__C"));
}

// ---------------------------------------------------------------------------------------------
// Decision tables and dataset links
// ---------------------------------------------------------------------------------------------

std::string table_parameter(std::string_view inner) {
    return fmt::format("<decisionTableParameters>{}<usage>INPUT</usage></decisionTableParameters>", inner);
}
std::string criteria(std::string_view field_name) {
    return fmt::format("<decisionTableSourceCriterias><sourceFieldName>{}</sourceFieldName></decisionTableSourceCriterias>",
                       field_name);
}

struct TableCase {
    std::string_view name;
    std::string body;
    Set fields;
    Set objects;
};

TEST(DecisionTableReferences, GroupParametersAndJudgeThemAtTheEnd) {
    const TableCase cases[] = {
        {"source object, parameter with and without a domain object",
         "<sourceObject>Invoice__c</sourceObject>" + table_parameter("<fieldName>Amount__c</fieldName>") +
             table_parameter("<domainObject>Account</domainObject><fieldName>Region__c</fieldName>"),
         Set{"Account.Region__c", "Invoice__c.Amount__c"}, Set{"Invoice__c"}},
        {"source object after the parameters",
         table_parameter("<fieldName>Amount__c</fieldName>") + "<sourceObject>Invoice__c</sourceObject>",
         Set{"Invoice__c.Amount__c"}, Set{"Invoice__c"}},
        {"custom domain object",
         table_parameter("<domainObject>Rate_Card__c</domainObject><fieldName>Tier__c</fieldName>"),
         Set{"Rate_Card__c.Tier__c"}, Set{"Rate_Card__c"}},
        {"source criteria", "<sourceObject>Invoice__c</sourceObject>" + criteria("Status__c") + criteria("Name"),
         Set{"Invoice__c.Status__c"}, Set{"Invoice__c"}},
        {"no source object", table_parameter("<fieldName>Amount__c</fieldName>") + criteria("Status__c"), {}, {}},
        {"field names that do not count",
         "<sourceObject>Invoice__c</sourceObject>" + table_parameter("<fieldName>Account.Region__c</fieldName>") +
             table_parameter("<fieldName>Id</fieldName>") + table_parameter("<fieldName>abc__Amount__c</fieldName>"),
         {}, Set{"Invoice__c"}},
        {"source objects that are not custom still form fields",
         "<sourceObject>Account</sourceObject>" + criteria("Status__c"), Set{"Account.Status__c"}, {}},
        {"packaged and mdt source objects", "<sourceObject>abc__Invoice__c</sourceObject>", {}, {}},
        {"mdt source object", "<sourceObject>Rate__mdt</sourceObject>", {}, {}},
        {"fieldName directly under the root", "<sourceObject>Invoice__c</sourceObject><fieldName>Amount__c</fieldName>",
         {}, Set{"Invoice__c"}},
        {"domainObject under source criteria",
         "<decisionTableSourceCriterias><domainObject>Rate_Card__c</domainObject></decisionTableSourceCriterias>", {}, {}},
        {"parameters deeper than the root's children",
         "<sourceObject>Invoice__c</sourceObject><x>" +
             table_parameter("<domainObject>Rate_Card__c</domainObject><fieldName>Tier__c</fieldName>") + "</x>",
         {}, Set{"Invoice__c"}},
        {"second source object wins",
         "<sourceObject>First__c</sourceObject><sourceObject>Second__c</sourceObject>" + criteria("S__c"),
         Set{"Second__c.S__c"}, Set{"Second__c"}},
        {"white space source object leaves the first",
         "<sourceObject>First__c</sourceObject><sourceObject> </sourceObject>" + criteria("S__c"), Set{"First__c.S__c"},
         Set{"First__c"}},
        {"domain object without a field name", table_parameter("<domainObject>Rate_Card__c</domainObject>"), {},
         Set{"Rate_Card__c"}},
        {"each parameter starts afresh",
         "<sourceObject>Invoice__c</sourceObject>" +
             table_parameter("<domainObject>Rate_Card__c</domainObject><fieldName>Tier__c</fieldName>") +
             table_parameter("<fieldName>Amount__c</fieldName>"),
         Set{"Invoice__c.Amount__c", "Rate_Card__c.Tier__c"}, Set{"Invoice__c", "Rate_Card__c"}},
        {"CDATA with an ampersand", "<sourceObject><![CDATA[R&D__c]]></sourceObject>", {}, Set{"R&D__c"}},
    };
    for (const TableCase& c : cases) {
        SCOPED_TRACE(c.name);
        const auto result =
            decision_table_reader::parse_decision_table_references("Discounts", document("DecisionTable", c.body));
        ASSERT_TRUE(result) << result.error().message();
        EXPECT_EQ(result->fields, c.fields);
        EXPECT_EQ(result->objects, c.objects);
    }
}

TEST(DecisionTableReferences, InsertFieldTestsOnlyTheFieldName) {
    Set fields;
    decision_table_reader::insert_field(fields, "Account", "Region__c");
    decision_table_reader::insert_field(fields, "", "Empty__c");
    decision_table_reader::insert_field(fields, "A", "B.C__c");
    decision_table_reader::insert_field(fields, "A", "_c");
    decision_table_reader::insert_field(fields, "A", "pkg__X__c");
    decision_table_reader::insert_field(fields, "A", "Name");
    EXPECT_EQ(fields, (Set{".Empty__c", "Account.Region__c"}));
}

struct LinkCase {
    std::string_view name;
    std::string body;
    dataset_link_reader::DatasetLinkReferences expected;
};

TEST(DatasetLinkReferences, ReturnBothValuesAsWritten) {
    const LinkCase cases[] = {
        {"both", "<decisionTableName>Discount_Table</decisionTableName><sourceObject>Invoice__c</sourceObject>",
         {"Discount_Table", "Invoice__c"}},
        {"unjudged", "<decisionTableName>abc__Discount_Table</decisionTableName><sourceObject>Account</sourceObject>",
         {"abc__Discount_Table", "Account"}},
        {"neither", "<label>Link</label>", {}},
        {"deeper", "<x><decisionTableName>T</decisionTableName></x>", {}},
        {"last non-empty value",
         "<sourceObject>A</sourceObject><sourceObject>B</sourceObject><sourceObject> </sourceObject>",
         {std::nullopt, "B"}},
        {"CDATA with an ampersand", "<decisionTableName><![CDATA[R&D]]></decisionTableName>", {"R&D", std::nullopt}},
    };
    for (const LinkCase& c : cases) {
        SCOPED_TRACE(c.name);
        const auto result = dataset_link_reader::parse_dataset_link_references(
            "Link", document("DecisionTableDatasetLink", c.body));
        ASSERT_TRUE(result) << result.error().message();
        EXPECT_EQ(*result, c.expected);
    }
}

}  // namespace
}  // namespace ambrel::metadata::testing
