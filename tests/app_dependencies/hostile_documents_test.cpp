// Documents and names from an org or a repository that try to break the additions: damaged or huge
// documents, DTDs, deep nesting, byte-order marks, and referenced names that must never become
// members.

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "additions_under_test.hpp"
#include "app/dependency_additions/context_additions.hpp"
#include "app/dependency_additions/custom_field_additions.hpp"
#include "app/dependency_additions/layout_additions.hpp"
#include "app/dependency_additions/pricing_additions.hpp"
#include "xml/xml.hpp"

namespace ambrel::app::testing {
namespace {

using dependency::WarningList;

constexpr std::string_view kBom = "\xEF\xBB\xBF";

struct Family {
    std::string_view name;
    std::string_view wire_id;
    std::string_view root;
    std::string_view full_name;
    // A body that makes the addition add at least one key.
    std::string body;
    // The family's parse warning; empty for the layout addition, which records none.
    std::string parse_warning;
    std::function<Keys(std::span<const MetadataComponent>, WarningList&)> run;
};

std::vector<Family> families() {
    return {
        {"layout", "Layout", "Layout", "Invoice__c-Invoice Layout",
         "<layoutSections><layoutColumns><layoutItems><field>Amount__c</field></layoutItems></layoutColumns>"
         "</layoutSections>",
         "", [](auto documents, WarningList&) { return layout_field_additions(documents, {}); }},
        {"permission set group", "PermissionSetGroup", "PermissionSetGroup", "Sales",
         "<permissionSets>Sales_Base</permissionSets>",
         "Could not parse Permission Set Group 'Sales'; its dependencies were not followed.",
         [](auto documents, WarningList& warnings) { return permission_set_group_additions(documents, {}, warnings); }},
        {"global value set", "CustomField", "CustomField", "Account.Color__c",
         "<valueSet><valueSetName>Colors</valueSetName></valueSet>",
         "Could not parse custom field 'Account.Color__c'; its dependencies were not followed.",
         [](auto documents, WarningList& warnings) { return global_value_set_additions(documents, {}, warnings); }},
        {"lookup", "CustomField", "CustomField", "Account.Invoice__c", "<referenceTo>Invoice__c</referenceTo>",
         "Could not parse custom field 'Account.Invoice__c'; its dependencies were not followed.",
         [](auto documents, WarningList& warnings) { return lookup_field_additions(documents, {}, warnings); }},
        {"roll-up", "CustomField", "CustomField", "Account.Total__c",
         "<summarizedField>Invoice__c.Amount__c</summarizedField>",
         "Could not parse custom field 'Account.Total__c'; its dependencies were not followed.",
         [](auto documents, WarningList& warnings) { return rollup_field_additions(documents, {}, warnings); }},
        {"custom metadata record", "CustomMetadata", "CustomMetadata", "Region.North", "<label>North</label>",
         "Could not parse Custom Metadata record 'Region.North'; its dependencies were not followed.",
         [](auto documents, WarningList& warnings) {
             return custom_metadata_record_additions(documents, {}, warnings);
         }},
        {"context definition", "ContextDefinition", "ContextDefinition", "Sales_Context",
         "<contextNodeMappings><object>Invoice__c</object></contextNodeMappings>",
         "Could not parse Context Definition 'Sales_Context'; its dependencies were not followed.",
         [](auto documents, WarningList& warnings) { return context_definition_additions(documents, {}, warnings); }},
        {"decision table", "DecisionTable", "DecisionTable", "Rates", "<sourceObject>Invoice__c</sourceObject>",
         "Could not parse Decision Table 'Rates'; its dependencies were not followed.",
         [](auto documents, WarningList& warnings) { return decision_table_additions(documents, {}, warnings); }},
        {"dataset link", "DecisionTableDatasetLink", "DecisionTableDatasetLink", "Link",
         "<decisionTableName>Rates</decisionTableName>",
         "Could not parse Decision Table Dataset Link 'Link'; its dependencies were not followed.",
         [](auto documents, WarningList& warnings) { return dataset_link_additions(documents, {}, warnings); }},
        {"expression set version", "ExpressionSetDefinitionVersion", "ExpressionSetDefinitionVersion", "V1",
         "<expressionSetDefinition>Pricing_Main</expressionSetDefinition>",
         "Could not parse Expression Set 'V1'; its dependencies were not followed.",
         [](auto documents, WarningList& warnings) { return expression_set_additions(documents, {}, warnings); }},
        {"pricing recipe", "PricingRecipe", "PricingRecipe", "Recipe",
         "<defaultPricingProcedureDeveloperName>Proc</defaultPricingProcedureDeveloperName>",
         "Could not parse Pricing Recipe 'Recipe'; its dependencies were not followed.",
         [](auto documents, WarningList& warnings) { return pricing_recipe_additions(documents, {}, warnings); }},
    };
}

std::string nested(std::size_t depth) {
    std::string text;
    text.reserve(depth * 7);
    for (std::size_t i = 0; i < depth; ++i) text += "<a>";
    for (std::size_t i = 0; i < depth; ++i) text += "</a>";
    return text;
}

TEST(HostileDocuments, EachFamilyReadsItsValidDocument) {
    for (const Family& family : families()) {
        SCOPED_TRACE(family.name);
        const std::vector<MetadataComponent> documents{
            component(family.wire_id, std::string(family.full_name), document(family.root, family.body))};
        WarningList warnings;
        EXPECT_FALSE(family.run(documents, warnings).empty());
        EXPECT_TRUE(warnings.empty());
    }
}

TEST(HostileDocuments, DamagedDocumentsGiveAtMostTheFamilysParseWarning) {
    for (const Family& family : families()) {
        const std::string valid = document(family.root, family.body);
        const std::string damages[] = {
            valid.substr(0, valid.size() / 2),
            "",
            "not xml at all",
            "<!DOCTYPE " + std::string(family.root) + " [<!ENTITY e \"Injected\">]>" +
                document(family.root, family.body + "<label>&e;</label>"),
            "<!DOCTYPE x SYSTEM \"file:///etc/passwd\">" + valid,
            document(family.root, family.body + "<label>&unknown;</label>"),
            document(family.root, family.body + nested(100000)),
            document(family.root, "<!--" + std::string(10 * 1024 * 1024, 'x') + "-->" + family.body),
            document(family.root, family.body + "</extra>"),
            std::string(kBom) + std::string(kBom) + valid,
            document(family.root, family.body) + "<second/>",
            valid + std::string(1, '\0'),
            fmt::format("<{0} xmlns=\"urn:other\">{1}</{0}>", family.root, family.body),
        };
        for (std::size_t i = 0; i < std::size(damages); ++i) {
            SCOPED_TRACE(::testing::Message() << family.name << " / damage " << i);
            const std::vector<MetadataComponent> documents{
                component(family.wire_id, std::string(family.full_name), damages[i])};
            WarningList warnings;
            EXPECT_NO_THROW(family.run(documents, warnings));
            ASSERT_LE(warnings.size(), 1u);
            if (!warnings.empty()) {
                EXPECT_EQ(warnings.front(), family.parse_warning);
            }
        }
    }
}

// Names that fail the member-name test, each quoted unchanged in its warning.
std::vector<std::string> hostile_names() {
    return {"Col'ors",         "Col ors",  "Col/ors", "..",     "Col..ors", "Col\tors", "Col\x7Fors",
            "Col\xC3\xB6rs",   "\xC3\x89t\xC3\xA9", "1Colors", "_Colors", "Colors-2", std::string(99999, 'C') + "-"};
}

TEST(HostileNames, RefusedNamesAreQuotedUnchangedInTheirWarning) {
    for (const std::string& name : hostile_names()) {
        SCOPED_TRACE(name.size() > 40 ? name.substr(0, 40) + "..." : name);
        struct Check {
            std::string_view addition;
            std::function<Keys(WarningList&)> run;
            std::optional<std::string> warning;
        };
        const std::string escaped = xml::escape_text(name);
        const Check checks[] = {
            {"global value set",
             [&](WarningList& warnings) {
                 const std::vector<MetadataComponent> documents{component(
                     MetadataType::CustomField, "Account.Color__c",
                     document("CustomField", "<valueSet><valueSetName>" + escaped + "</valueSetName></valueSet>"))};
                 return global_value_set_additions(documents, {}, warnings);
             },
             fmt::format("Global value set name '{}' referenced by 'Account.Color__c' is not a valid member name; it "
                         "was not followed.",
                         name)},
            {"dataset link",
             [&](WarningList& warnings) {
                 const std::vector<MetadataComponent> documents{
                     component("DecisionTableDatasetLink", "Link",
                               document("DecisionTableDatasetLink",
                                        "<decisionTableName>" + escaped + "</decisionTableName>"))};
                 return dataset_link_additions(documents, {}, warnings);
             },
             fmt::format("Decision table name '{}' referenced by 'Link' is not a valid member name; it was not "
                         "followed.",
                         name)},
            {"pricing recipe",
             [&](WarningList& warnings) {
                 const std::vector<MetadataComponent> documents{component(
                     "PricingRecipe", "Recipe",
                     document("PricingRecipe", "<defaultPricingProcedureDeveloperName>" + escaped +
                                                   "</defaultPricingProcedureDeveloperName>"))};
                 return pricing_recipe_additions(documents, {}, warnings);
             },
             fmt::format("Procedure name '{}' referenced by Pricing Recipe 'Recipe' is not a valid member name; it "
                         "was not followed.",
                         name)},
            {"roll-up object",
             [&](WarningList& warnings) {
                 const std::vector<MetadataComponent> documents{
                     component(MetadataType::CustomField, "Account.Total__c",
                               document("CustomField",
                                        "<summarizedField>" + escaped + ".Amount__c</summarizedField>"))};
                 return rollup_field_additions(documents, {}, warnings);
             },
             // A dot in the object makes the path one the roll-up reader never keeps.
             name.find('.') != std::string::npos
                 ? std::nullopt
                 : std::optional(fmt::format("Object name '{}' referenced by custom field 'Account.Total__c' is not a "
                                             "valid member name; it was not followed.",
                                             name))},
        };
        for (const Check& check : checks) {
            SCOPED_TRACE(check.addition);
            WarningList warnings;
            const Keys keys = check.run(warnings);
            EXPECT_TRUE(keys.empty());
            EXPECT_EQ(warnings, check.warning ? WarningList{*check.warning} : WarningList{});
        }
    }
}

TEST(HostileNames, TheWarningListCapsItselfAtFiftyEntries) {
    std::vector<MetadataComponent> documents;
    for (int i = 0; i < 60; ++i) {
        documents.push_back(component(MetadataType::CustomField, fmt::format("Account.F{:02}__c", i),
                                      document("CustomField", fmt::format("<valueSet><valueSetName>Bad-{}"
                                                                          "</valueSetName></valueSet>",
                                                                          i))));
    }
    WarningList warnings;
    EXPECT_TRUE(global_value_set_additions(documents, {}, warnings).empty());
    ASSERT_EQ(warnings.size(), dependency::kMaxWarnings);
    EXPECT_EQ(warnings.front(),
              "Global value set name 'Bad-0' referenced by 'Account.F00__c' is not a valid member name; it was not "
              "followed.");
    EXPECT_EQ(warnings.back(), "11 more dependency warnings were not shown.");
}

}  // namespace
}  // namespace ambrel::app::testing
