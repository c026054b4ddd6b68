// The three parsers of CustomField documents: roll-up summary fields, lookups and global value sets.

#include <optional>
#include <set>
#include <string>
#include <string_view>

#include <gtest/gtest.h>

#include "metadata/readers/lookup_reader.hpp"
#include "metadata/readers/rollup_reader.hpp"
#include "metadata/readers/value_set_reader.hpp"
#include "parsers_under_test.hpp"

namespace ambrel::metadata::testing {
namespace {

using Set = std::set<std::string>;
using rollup_reader::RollupReferences;
using lookup_reader::LookupReferences;

std::string field(std::string_view body) { return document("CustomField", body); }

struct RollupCase {
    std::string_view name;
    std::string body;
    RollupReferences expected;
};

TEST(RollupReferences, KeepOnlyUnpackagedCustomFieldReferences) {
    const RollupCase cases[] = {
        {"standard summarised field", "<summarizedField>Opportunity.Amount</summarizedField>", {}},
        {"custom summarised field", "<summarizedField>Opportunity.Margin__c</summarizedField>",
         {std::nullopt, "Opportunity.Margin__c", {}}},
        {"packaged field part", "<summarizedField>Opportunity.abc__Margin__c</summarizedField>", {}},
        {"no dot", "<summarizedField>Margin__c</summarizedField>", {}},
        {"empty object part", "<summarizedField>.Margin__c</summarizedField>", {}},
        {"empty field part", "<summarizedField>Opportunity.</summarizedField>", {}},
        {"second dot", "<summarizedField>A.B.Margin__c</summarizedField>", {}},
        {"mdt suffix", "<summarizedField>A.Margin__mdt</summarizedField>", {}},
        {"shortest custom field", "<summarizedField>A.__c</summarizedField>", {std::nullopt, "A.__c", {}}},
        {"two valid values: the second wins",
         "<summarizedField>Opportunity.First__c</summarizedField><summarizedField>Opportunity.Second__c</summarizedField>",
         {std::nullopt, "Opportunity.Second__c", {}}},
        {"an invalid later value leaves the earlier one",
         "<summarizedField>Opportunity.First__c</summarizedField><summarizedField>Opportunity.Name</summarizedField>",
         {std::nullopt, "Opportunity.First__c", {}}},
        {"summary foreign key", "<summaryForeignKey>Line__c.Order__c</summaryForeignKey>",
         {"Line__c.Order__c", std::nullopt, {}}},
        {"filter items at depth 1",
         "<summaryFilterItems><field>Line__c.Status__c</field><operation>equals</operation></summaryFilterItems>"
         "<summaryFilterItems><field>Line__c.Kind__c</field></summaryFilterItems>"
         "<summaryFilterItems><field>Line__c.Name</field></summaryFilterItems>",
         {std::nullopt, std::nullopt, Set{"Line__c.Kind__c", "Line__c.Status__c"}}},
        {"field directly under the root", "<field>Line__c.Status__c</field>", {}},
        {"summarised field nested deeper", "<x><summarizedField>Opportunity.Margin__c</summarizedField></x>", {}},
        {"trimmed", "<summarizedField>\n  Opportunity.Margin__c\n</summarizedField>",
         {std::nullopt, "Opportunity.Margin__c", {}}},
        {"CDATA with an ampersand", "<summarizedField><![CDATA[R&D__c.Margin__c]]></summarizedField>",
         {std::nullopt, "R&D__c.Margin__c", {}}},
        {"nothing", "<label>Total</label>", {}},
    };
    for (const RollupCase& c : cases) {
        SCOPED_TRACE(c.name);
        const auto result = rollup_reader::parse_rollup_references("Order__c.Total__c", field(c.body));
        ASSERT_TRUE(result) << result.error().message();
        EXPECT_EQ(result->summary_foreign_key, c.expected.summary_foreign_key);
        EXPECT_EQ(result->summarized_field, c.expected.summarized_field);
        EXPECT_EQ(result->filter_fields, c.expected.filter_fields);
    }
}

struct LookupCase {
    std::string_view name;
    std::string body;
    LookupReferences expected;
};

std::string filter_item(std::string_view field_name) {
    return "<lookupFilter><active>true</active><filterItems><field>" + std::string(field_name) +
           "</field><operation>equals</operation></filterItems></lookupFilter>";
}

TEST(LookupReferences, KeepObjectsAsWrittenAndFilterFieldsByTheRule) {
    const LookupCase cases[] = {
        {"two objects in order", "<referenceTo>Contact</referenceTo><referenceTo>Account</referenceTo>",
         {Set{"Account", "Contact"}, {}}},
        {"the same object twice", "<referenceTo>Account</referenceTo><referenceTo> Account </referenceTo>",
         {Set{"Account"}, {}}},
        {"standard, packaged and invalid names kept",
         "<referenceTo>abc__Thing__c</referenceTo><referenceTo>not a name!</referenceTo>",
         {Set{"abc__Thing__c", "not a name!"}, {}}},
        {"white space only object", "<referenceTo>  </referenceTo>", {}},
        {"$Source field dropped", filter_item("$Source.Region__c"), {}},
        {"$SOURCE field dropped", filter_item("$SOURCE.Region__c"), {}},
        {"$sOuRcE field dropped", filter_item("$sOuRcE.Region__c"), {}},
        {"custom field recorded", filter_item("Account.Region__c"), {{}, Set{"Account.Region__c"}}},
        {"$User field recorded as written", filter_item("$User.Region__c"), {{}, Set{"$User.Region__c"}}},
        {"$Sourcey is not the source", filter_item("$Sourcey.Region__c"), {{}, Set{"$Sourcey.Region__c"}}},
        {"standard field dropped", filter_item("Account.Name"), {}},
        {"packaged field dropped", filter_item("Account.abc__Region__c"), {}},
        {"empty object part dropped", filter_item(".Region__c"), {}},
        {"second dot dropped", filter_item("Account.Owner.Region__c"), {}},
        {"filter items outside lookupFilter",
         "<filterItems><field>Account.Region__c</field></filterItems>", {}},
        {"field of a filter item nested deeper",
         "<lookupFilter><filterItems><x><field>Account.Region__c</field></x></filterItems></lookupFilter>", {}},
        {"CDATA with an ampersand", "<referenceTo><![CDATA[R&D__c]]></referenceTo>", {Set{"R&D__c"}, {}}},
        {"nothing", "<type>Lookup</type>", {}},
    };
    for (const LookupCase& c : cases) {
        SCOPED_TRACE(c.name);
        const auto result = lookup_reader::parse_lookup_references("Order__c.Account__c", field(c.body));
        ASSERT_TRUE(result) << result.error().message();
        EXPECT_EQ(*result, c.expected);
    }
}

struct ValueSetCase {
    std::string_view name;
    std::string body;
    std::optional<std::string> expected;
};

TEST(GlobalValueSetReference, IsTheFirstNonEmptyValueSetName) {
    const ValueSetCase cases[] = {
        {"one value set", "<valueSet><valueSetName>Regions</valueSetName></valueSet>", "Regions"},
        {"two value sets: the first stays",
         "<valueSet><valueSetName>First</valueSetName></valueSet><valueSet><valueSetName>Second</valueSetName></valueSet>",
         "First"},
        {"an empty first one does not count",
         "<valueSet><valueSetName> </valueSetName></valueSet><valueSet><valueSetName>Second</valueSetName></valueSet>",
         "Second"},
        {"directly under the root", "<valueSetName>Regions</valueSetName>", std::nullopt},
        {"local value set",
         "<valueSet><valueSetDefinition><value><fullName>A</fullName></value></valueSetDefinition></valueSet>",
         std::nullopt},
        {"CDATA with an ampersand", "<valueSet><valueSetName><![CDATA[R&D]]></valueSetName></valueSet>", "R&D"},
        {"reference", "<valueSet><valueSetName>R&amp;D</valueSetName></valueSet>", "R&D"},
        {"nothing", "<label>Region</label>", std::nullopt},
    };
    for (const ValueSetCase& c : cases) {
        SCOPED_TRACE(c.name);
        const auto result = value_set_reader::parse_global_value_set_reference("Order__c.Region__c", field(c.body));
        ASSERT_TRUE(result) << result.error().message();
        EXPECT_EQ(*result, c.expected);
    }
}

TEST(CustomFieldReferences, AnUnknownEntityFailsOnlyInsideACountedElement) {
    const std::string inside = field("<referenceTo>Acc&nbsp;</referenceTo>");
    const auto lookup = lookup_reader::parse_lookup_references("A.B__c", inside);
    ASSERT_FALSE(lookup);
    EXPECT_EQ(lookup.error().message(), "Invalid metadata in A.B__c: unknown entity: nbsp");
    // The same document has no element the roll-up parser counts.
    EXPECT_TRUE(rollup_reader::parse_rollup_references("A.B__c", inside));
    EXPECT_TRUE(value_set_reader::parse_global_value_set_reference("A.B__c", inside));
}

}  // namespace
}  // namespace ambrel::metadata::testing
