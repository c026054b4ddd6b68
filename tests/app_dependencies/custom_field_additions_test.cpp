// Global value set, lookup, roll-up and custom metadata record additions.

#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "additions_under_test.hpp"
#include "app/dependency_additions/custom_field_additions.hpp"

namespace ambrel::app::testing {
namespace {

using dependency::WarningList;

std::string field_document(std::string_view body) { return document("CustomField", body); }

MetadataComponent field(std::string name, std::string_view body) {
    return component(MetadataType::CustomField, std::move(name), field_document(body));
}

std::string reference_to(std::string_view object) { return fmt::format("<referenceTo>{}</referenceTo>", object); }

std::string lookup_filter(std::string_view path) {
    return fmt::format("<lookupFilter><active>true</active><filterItems><field>{}</field><operation>equals</operation>"
                       "</filterItems></lookupFilter>",
                       path);
}

std::string value_set(std::string_view name) {
    return fmt::format("<valueSet><valueSetName>{}</valueSetName></valueSet>", name);
}

ComponentKey field_key(std::string_view object) { return key(MetadataType::CustomField, std::string(object)); }

struct Case {
    std::string_view name;
    std::vector<MetadataComponent> documents;
    CompareSelection selection;
    Keys expected;
    WarningList warnings;
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

Keys global_value_sets(std::span<const MetadataComponent> documents, const CompareSelection& selection,
                       WarningList& warnings) {
    return global_value_set_additions(documents, selection, warnings);
}

TEST(GlobalValueSetAdditions, FollowTheValueSetOfEachField) {
    const MetadataType value_set_type = type_of("GlobalValueSet");
    run_cases(global_value_sets, {
        {"a value set", {field("Account.Color__c", value_set("Colors"))}, {}, {key(value_set_type, "Colors")}, {}},
        {"already selected", {field("Account.Color__c", value_set("Colors"))},
         selection_of({key(value_set_type, "Colors")}), {}, {}},
        {"selected in another letter case", {field("Account.Color__c", value_set("Colors"))},
         selection_of({key(value_set_type, "colors")}), {key(value_set_type, "Colors")}, {}},
        {"packaged: silent", {field("Account.Color__c", value_set("ns__Colors"))}, {}, {}, {}},
        {"not a member name", {field("Account.Color__c", value_set("Colors-2"))}, {}, {},
         {"Global value set name 'Colors-2' referenced by 'Account.Color__c' is not a valid member name; it was not "
          "followed."}},
        {"no value set", {field("Account.Color__c", "<type>Picklist</type>")}, {}, {}, {}},
        {"two fields, one set, key order",
         {field("B.Second__c", value_set("Sizes")), field("A.First__c", value_set("Colors")),
          field("C.Third__c", value_set("Colors"))},
         {}, {key(value_set_type, "Colors"), key(value_set_type, "Sizes")}, {}},
        {"unreadable document", {field("Account.Color__c", "<valueSet>"), field("Account.Size__c", value_set("Sizes"))},
         {}, {key(value_set_type, "Sizes")},
         {"Could not parse custom field 'Account.Color__c'; its dependencies were not followed."}},
    });
}

inline constexpr std::string_view kGlobalValueSet = "GlobalValueSet";

TEST(GlobalValueSetAdditions, AnUnknownValueSetTypeReadsNothing) {
    const std::vector<MetadataComponent> documents{field("Account.Color__c", "<not xml"),
                                                   field("Account.Size__c", value_set("Sizes"))};
    WarningList warnings;
    EXPECT_TRUE(global_value_set_additions(documents, {}, warnings, lookup_without<kGlobalValueSet>).empty());
    EXPECT_TRUE(warnings.empty());
}

TEST(LookupFieldAdditions, FollowReferencedCustomObjectsAndFilterObjects) {
    run_cases(lookup_field_additions, {
        {"standard object through referenceTo and filter",
         {field("Contact.Account_Link__c", reference_to("Account") + lookup_filter("Account.Region__c"))}, {},
         {field_key("Account")}, {}},
        {"custom object", {field("Account.Invoice__c", reference_to("Invoice__c"))}, {},
         {field_key("Invoice__c"), key(MetadataType::CustomObject, "Invoice__c")}, {}},
        {"packaged custom object", {field("Account.Invoice__c", reference_to("ns__Invoice__c"))}, {}, {}, {}},
        {"custom metadata type and platform event",
         {field("Account.Rate__c", reference_to("Rate__mdt") + reference_to("Alert__e"))}, {},
         {field_key("Alert__e"), field_key("Rate__mdt"), key(MetadataType::CustomMetadataType, "Rate__mdt"),
          key(MetadataType::PlatformEvent, "Alert__e")},
         {}},
        {"suffix in another letter case is standard", {field("Account.Invoice__c", reference_to("Invoice__C"))}, {}, {},
         {}},
        {"filter object gets no definition", {field("Contact.Invoice__c", lookup_filter("Invoice__c.Status__c"))}, {},
         {field_key("Invoice__c")}, {}},
        {"packaged filter object still followed",
         {field("Contact.Order__c", lookup_filter("ns__Order__c.Status__c"))}, {}, {field_key("ns__Order__c")}, {}},
        {"referenced and filtered: definition from referenceTo",
         {field("Contact.Invoice__c", reference_to("Invoice__c") + lookup_filter("Invoice__c.Status__c"))}, {},
         {field_key("Invoice__c"), key(MetadataType::CustomObject, "Invoice__c")}, {}},
        {"definition selected already",
         {field("Account.Invoice__c", reference_to("Invoice__c"))},
         selection_of({key(MetadataType::CustomObject, "Invoice__c")}), {field_key("Invoice__c")}, {}},
        {"a key differing only in letter case is added", {field("Account.Invoice__c", reference_to("Invoice__c"))},
         selection_of({field_key("invoice__c"), key(MetadataType::CustomObject, "Invoice__c")}),
         {field_key("Invoice__c")},
         {}},
        {"invalid names warn in ascending order",
         {field("Contact.Bad__c", reference_to("Zed Obj__c") + lookup_filter("Bad-Obj__c.Status__c"))}, {}, {},
         {"Object name 'Bad-Obj__c' referenced by custom field 'Contact.Bad__c' is not a valid member name; it was "
          "not followed.",
          "Object name 'Zed Obj__c' referenced by custom field 'Contact.Bad__c' is not a valid member name; it was "
          "not followed."}},
        {"unreadable document, next one followed",
         {field("Contact.Broken__c", "<referenceTo>Invoice__c</referenceTo"),
          field("Contact.Invoice__c", reference_to("Invoice__c"))},
         {}, {field_key("Invoice__c"), key(MetadataType::CustomObject, "Invoice__c")},
         {"Could not parse custom field 'Contact.Broken__c'; its dependencies were not followed."}},
        {"not a lookup", {field("Account.Total__c", "<type>Number</type>")}, {}, {}, {}},
    });
}

std::string rollup(std::string_view foreign_key, std::string_view summarized, std::string_view filter_field = {}) {
    std::string body = "<type>Summary</type>";
    if (!foreign_key.empty()) body += fmt::format("<summaryForeignKey>{}</summaryForeignKey>", foreign_key);
    if (!summarized.empty()) body += fmt::format("<summarizedField>{}</summarizedField>", summarized);
    if (!filter_field.empty()) {
        body += fmt::format("<summaryFilterItems><field>{}</field><operation>equals</operation></summaryFilterItems>",
                            filter_field);
    }
    return body;
}

TEST(RollupFieldAdditions, FollowTheSummarisedObjects) {
    run_cases(rollup_field_additions, {
        {"custom child once",
         {field("Account.Invoice_Total__c", rollup("Invoice__c.Account__c", "Invoice__c.Amount__c"))}, {},
         {field_key("Invoice__c"), key(MetadataType::CustomObject, "Invoice__c")}, {}},
        {"standard object: field key only", {field("Account.Total__c", rollup("", "Opportunity.Total__c"))}, {},
         {field_key("Opportunity")}, {}},
        {"packaged object: field key only", {field("Account.Total__c", rollup("", "ns__Child__c.Amount__c"))}, {},
         {field_key("ns__Child__c")}, {}},
        {"filter field object", {field("Account.Total__c", rollup("", "", "Line__e.Kind__c"))}, {},
         {field_key("Line__e"), key(MetadataType::PlatformEvent, "Line__e")}, {}},
        {"everything selected", {field("Account.Total__c", rollup("Invoice__c.Account__c", "Invoice__c.Amount__c"))},
         selection_of({field_key("Invoice__c"), key(MetadataType::CustomObject, "Invoice__c")}), {}, {}},
        {"invalid object name", {field("Account.Total__c", rollup("", "Bad-Obj__c.Amount__c"))}, {}, {},
         {"Object name 'Bad-Obj__c' referenced by custom field 'Account.Total__c' is not a valid member name; it was "
          "not followed."}},
        {"unreadable document", {field("Account.Total__c", "<summarizedField>&bogus;</summarizedField>")}, {}, {},
         {"Could not parse custom field 'Account.Total__c'; its dependencies were not followed."}},
    });
}

std::string record_document(std::string_view body = "<label>North</label>") { return document("CustomMetadata", body); }

MetadataComponent record(std::string name, std::string text = record_document()) {
    return component("CustomMetadata", std::move(name), std::move(text));
}

TEST(CustomMetadataRecordAdditions, FollowTheRecordType) {
    run_cases(custom_metadata_record_additions, {
        {"type with its definition", {record("Region.North")}, {},
         {field_key("Region__mdt"), key(MetadataType::CustomMetadataType, "Region__mdt")}, {}},
        {"field key selected", {record("Region.North")}, selection_of({field_key("Region__mdt")}),
         {key(MetadataType::CustomMetadataType, "Region__mdt")}, {}},
        {"two records of one type", {record("Region.North"), record("Region.South")}, {},
         {field_key("Region__mdt"), key(MetadataType::CustomMetadataType, "Region__mdt")}, {}},
        {"packaged type: no definition", {record("ns__Region.North")}, {}, {field_key("ns__Region__mdt")}, {}},
        {"name without a dot", {record("Region")}, {}, {},
         {"Custom Metadata record name 'Region' is not of the form Type.Record; its dependencies were not "
          "followed."}},
        {"empty record part", {record("Region.")}, {}, {},
         {"Custom Metadata record name 'Region.' is not of the form Type.Record; its dependencies were not "
          "followed."}},
        {"unreadable document", {record("Region.North", "<CustomMetadata")}, {}, {},
         {"Could not parse Custom Metadata record 'Region.North'; its dependencies were not followed."}},
        {"type that cannot be a member", {record("Bad-Type.North")}, {}, {},
         {"Object name 'Bad-Type__mdt' referenced by Custom Metadata record 'Bad-Type.North' is not a valid member "
          "name; it was not followed."}},
        {"fields of the values are not followed",
         {record("Region.North", record_document("<values><field>Owner__c</field><value>x</value></values>"))}, {},
         {field_key("Region__mdt"), key(MetadataType::CustomMetadataType, "Region__mdt")}, {}},
    });
}

TEST(CustomFieldAdditions, OneUnreadableFieldWarnsOnceAcrossTheThreeAdditions) {
    const std::vector<MetadataComponent> documents{field("Account.Broken__c", "<type>")};
    WarningList warnings;
    EXPECT_TRUE(global_value_set_additions(documents, {}, warnings).empty());
    EXPECT_TRUE(lookup_field_additions(documents, {}, warnings).empty());
    EXPECT_TRUE(rollup_field_additions(documents, {}, warnings).empty());
    // A later iteration reads the same document again.
    EXPECT_TRUE(lookup_field_additions(documents, {}, warnings).empty());
    EXPECT_EQ(warnings,
              WarningList{"Could not parse custom field 'Account.Broken__c'; its dependencies were not followed."});
}

}  // namespace
}  // namespace ambrel::app::testing
