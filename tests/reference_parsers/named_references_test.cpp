// Custom metadata records, pricing recipes and permission set groups.

#include <set>
#include <string>
#include <string_view>

#include <gtest/gtest.h>

#include "metadata/readers/custom_metadata_reader.hpp"
#include "metadata/readers/permission_set_group_reader.hpp"
#include "metadata/readers/pricing_recipe_reader.hpp"
#include "parsers_under_test.hpp"

namespace ambrel::metadata::testing {
namespace {

using Set = std::set<std::string>;

std::string record(std::string_view values) { return document("CustomMetadata", values); }

std::string value(std::string_view field_name, std::string_view text = "x") {
    return "<values><field>" + std::string(field_name) + "</field><value>" + std::string(text) + "</value></values>";
}

struct RecordCase {
    std::string_view name;
    std::string_view full_name;
    std::string body;
    std::string type_object_name;
    Set fields;
};

TEST(CustomMetadataReferences, NameTheTypeAndItsUnpackagedCustomFields) {
    const RecordCase cases[] = {
        {"three fields in order", "Region.West", value("Owner__c") + value("Notes__c") + value("Active__c"),
         "Region__mdt", Set{"Region__mdt.Active__c", "Region__mdt.Notes__c", "Region__mdt.Owner__c"}},
        {"no values", "Region.West", "<label>West</label>", "Region__mdt", {}},
        {"record part with dots", "Region.West.Extra", value("Owner__c"), "Region__mdt", Set{"Region__mdt.Owner__c"}},
        {"standard field dropped", "Region.West", value("DeveloperName"), "Region__mdt", {}},
        {"packaged field dropped", "Region.West", value("pkg__Owner__c"), "Region__mdt", {}},
        {"trimmed", "Region.West", value("\n  Owner__c  "), "Region__mdt", Set{"Region__mdt.Owner__c"}},
        {"field directly under the root", "Region.West", "<field>Owner__c</field>", "Region__mdt", {}},
        {"value text never recorded", "Region.West", value("Label", "Owner__c"), "Region__mdt", {}},
        {"the same field twice", "Region.West", value("Owner__c") + value("Owner__c"), "Region__mdt",
         Set{"Region__mdt.Owner__c"}},
        {"suffix appended as is", "pkg__Region.West", value("Owner__c"), "pkg__Region__mdt",
         Set{"pkg__Region__mdt.Owner__c"}},
        {"CDATA with an ampersand", "Region.West", value("<![CDATA[R&D__c]]>"), "Region__mdt", Set{"Region__mdt.R&D__c"}},
    };
    for (const RecordCase& c : cases) {
        SCOPED_TRACE(c.name);
        const auto result = custom_metadata_reader::parse_custom_metadata_references(c.full_name, record(c.body));
        ASSERT_TRUE(result) << result.error().message();
        EXPECT_EQ(result->type_object_name, c.type_object_name);
        EXPECT_EQ(result->fields, c.fields);
    }
}

TEST(CustomMetadataReferences, AMalformedRecordNameFailsWhateverTheDocumentHolds) {
    const std::string_view names[] = {"Region", ".West", "Region.", ".", ""};
    const std::string documents[] = {record(value("Owner__c")), "<not xml", "<!DOCTYPE x><x/>", ""};
    for (std::string_view name : names) {
        for (const std::string& text : documents) {
            SCOPED_TRACE(std::string(name) + " / " + text);
            const auto result = custom_metadata_reader::parse_custom_metadata_references(name, text);
            ASSERT_FALSE(result);
            const FieldReadError::Invalid* invalid = result.error().invalid_form();
            ASSERT_NE(invalid, nullptr);
            EXPECT_EQ(invalid->reason, "a custom metadata record name must be Type.Record");
            EXPECT_EQ(invalid->path.native(), name);
            EXPECT_NE(result.error().message().find("must be Type.Record"), std::string::npos);
        }
    }
}

TEST(CustomMetadataReferences, ParseErrorIsThePathFormWithTheFullName) {
    const FieldReadError error = custom_metadata_reader::parse_error("Region.West", "some reason");
    EXPECT_EQ(error.message(), "Invalid metadata in Region.West: some reason");
}

struct RecipeCase {
    std::string_view name;
    std::string body;
    Set procedures;
    Set lookup_tables;
};

TEST(PricingRecipeReferences, CollectProceduresAndLookupTablesAsWritten) {
    const RecipeCase cases[] = {
        {"procedure and two tables",
         "<defaultPricingProcedureDeveloperName>Standard_Procedure</defaultPricingProcedureDeveloperName>"
         "<pricingRecipeTableMapping><lookupTableDeveloperName>Volume_Discounts</lookupTableDeveloperName>"
         "</pricingRecipeTableMapping>"
         "<pricingRecipeTableMapping><lookupTableDeveloperName>Tier_Prices</lookupTableDeveloperName>"
         "</pricingRecipeTableMapping>",
         Set{"Standard_Procedure"}, Set{"Tier_Prices", "Volume_Discounts"}},
        {"lookup table directly under the root", "<lookupTableDeveloperName>T</lookupTableDeveloperName>", {}, {}},
        {"procedure inside a table mapping",
         "<pricingRecipeTableMapping><defaultPricingProcedureDeveloperName>P</defaultPricingProcedureDeveloperName>"
         "</pricingRecipeTableMapping>",
         {}, {}},
        {"names are not judged",
         "<defaultPricingProcedureDeveloperName>abc__Proc</defaultPricingProcedureDeveloperName>", Set{"abc__Proc"}, {}},
        {"nothing", "<isActive>true</isActive>", {}, {}},
    };
    for (const RecipeCase& c : cases) {
        SCOPED_TRACE(c.name);
        const auto result =
            pricing_recipe_reader::parse_pricing_recipe_references("Recipe", document("PricingRecipe", c.body));
        ASSERT_TRUE(result) << result.error().message();
        EXPECT_EQ(result->pricing_procedures, c.procedures);
        EXPECT_EQ(result->lookup_tables, c.lookup_tables);
    }
}

struct GroupCase {
    std::string_view name;
    std::string text;
    Set expected;
};

TEST(PermissionSetGroupReferences, CollectThePermissionSetsOfBothElements) {
    const std::string ns(kMetadataNs);
    const GroupCase cases[] = {
        {"both elements in one set",
         document("PermissionSetGroup",
                  "<permissionSets>Sales_Base</permissionSets><permissionSets>Sales_Extra</permissionSets>"
                  "<mutingPermissionSets>Sales_Extra</mutingPermissionSets>"),
         Set{"Sales_Base", "Sales_Extra"}},
        {"nested deeper", document("PermissionSetGroup", "<x><permissionSets>Deep</permissionSets></x>"), {}},
        {"outside the namespace",
         document("PermissionSetGroup", "<o:permissionSets xmlns:o=\"urn:o\">Other</o:permissionSets>"), {}},
        {"empty and white space", document("PermissionSetGroup", "<permissionSets/><permissionSets> </permissionSets>"),
         {}},
        {"packaged names kept", document("PermissionSetGroup", "<permissionSets>abc__Set</permissionSets>"),
         Set{"abc__Set"}},
        {"reference resolved into the name",
         document("PermissionSetGroup", "<permissionSets>R&amp;D&#95;Set</permissionSets>"), Set{"R&D_Set"}},
        {"CDATA with an ampersand", document("PermissionSetGroup", "<permissionSets><![CDATA[R&D]]></permissionSets>"),
         Set{"R&D"}},
        {"prefixed", "<p:PermissionSetGroup xmlns:p=\"" + ns + "\"><p:permissionSets>P</p:permissionSets></p:PermissionSetGroup>",
         Set{"P"}},
    };
    for (const GroupCase& c : cases) {
        SCOPED_TRACE(c.name);
        const auto result = permission_set_group_reader::parse_permission_set_group_references("Group", c.text);
        ASSERT_TRUE(result) << result.error().message();
        EXPECT_EQ(*result, c.expected);
    }
}

TEST(PermissionSetGroupReferences, AnUnknownEntityInANameFailsRatherThanLosingPartOfIt) {
    const auto result = permission_set_group_reader::parse_permission_set_group_references(
        "Group", document("PermissionSetGroup", "<permissionSets>A&nbsp;B</permissionSets>"));
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().message(), "Invalid metadata in Group: unknown entity: nbsp");
}

}  // namespace
}  // namespace ambrel::metadata::testing
