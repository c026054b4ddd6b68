// Object-child and graph additions, and the selected objects a target lacks.

#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "additions_under_test.hpp"
#include "app/dependency_additions/object_additions.hpp"

namespace ambrel::app::testing {
namespace {

using Names = std::set<std::string>;

ComponentKey field_key(std::string_view object) { return key(MetadataType::CustomField, std::string(object)); }
ComponentKey object_key(std::string_view object) { return key(MetadataType::CustomObject, std::string(object)); }

struct ChildCase {
    std::string_view name;
    CompareSelection requested;
    CompareSelection selection;
    std::optional<Names> target_objects;
    Keys expected;
};

TEST(ObjectChildAdditions, SelectTheCustomObjectsOfSelectedChildren) {
    const ChildCase cases[] = {
        {"record type, target lists nothing", selection_of({key("RecordType", "Invoice__c.Standard")}), {}, Names{},
         {field_key("Invoice__c"), object_key("Invoice__c")}},
        {"record type, target lists the object", selection_of({key("RecordType", "Invoice__c.Standard")}), {},
         Names{"Invoice__c"}, {object_key("Invoice__c")}},
        {"git endpoint: no listing", selection_of({key("RecordType", "Invoice__c.Standard")}),
         selection_of({object_key("Invoice__c")}), std::nullopt, {field_key("Invoice__c")}},
        {"standard parent", selection_of({key("ListView", "Account.All_Accounts")}), {}, std::nullopt, {}},
        {"packaged parent", selection_of({key("ValidationRule", "ns__Order__c.Check")}), {}, std::nullopt, {}},
        {"definition selected already", selection_of({key("WebLink", "Invoice__c.Print")}),
         selection_of({object_key("Invoice__c")}), Names{"Account"}, {field_key("Invoice__c")}},
        {"custom metadata type and platform event parents",
         selection_of({key("ListView", "Rate__mdt.All"), key("ListView", "Alert__e.All")}), {}, std::nullopt,
         {field_key("Alert__e"), field_key("Rate__mdt"), key(MetadataType::CustomMetadataType, "Rate__mdt"),
          key(MetadataType::PlatformEvent, "Alert__e")}},
        {"member without a dot", selection_of({key("RecordType", "Invoice__c")}), {}, std::nullopt, {}},
        {"other types are not object children",
         selection_of({key(MetadataType::CustomField, "Invoice__c"), key("ApexClass", "Invoice__c.Helper"),
                       key(MetadataType::Layout, "Invoice__c-Layout")}),
         {}, std::nullopt, {}},
        {"children added by the expansion are not looked at", {},
         selection_of({key("RecordType", "Invoice__c.Standard")}), std::nullopt, {}},
    };
    for (const ChildCase& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(object_child_additions(c.requested, c.selection, c.target_objects), c.expected);
    }
}

dependency::DependencyGraph graph_of(std::initializer_list<std::pair<ComponentKey, std::set<ComponentKey>>> edges) {
    dependency::DependencyGraph graph;
    for (const auto& [from, to] : edges) graph.edges[from] = to;
    return graph;
}

struct GraphCase {
    std::string_view name;
    dependency::DependencyGraph graph;
    CompareSelection selection;
    Keys expected;
};

TEST(DependencyAdditions, SelectWhatTheCatalogueFoundRequired) {
    const ComponentKey apex = key("ApexClass", "InvoiceService");
    const ComponentKey flow = key(MetadataType::Flow, "Invoice_Flow");
    const GraphCase cases[] = {
        {"a field and a class",
         graph_of({{apex, {key(MetadataType::CustomField, "Invoice__c.Total__c"), key("ApexClass", "Utils")}}}), {},
         {field_key("Invoice__c"), object_key("Invoice__c"), key("ApexClass", "Utils")}},
        {"one field required twice",
         graph_of({{apex, {key(MetadataType::CustomField, "Invoice__c.Total__c")}},
                   {flow, {key(MetadataType::CustomField, "Invoice__c.Total__c")}}}),
         {}, {field_key("Invoice__c"), object_key("Invoice__c")}},
        {"field without a dot", graph_of({{apex, {key(MetadataType::CustomField, "Total__c")}}}), {}, {}},
        {"field without an object", graph_of({{apex, {key(MetadataType::CustomField, ".Total__c")}}}), {}, {}},
        {"platform event field",
         graph_of({{apex, {key(MetadataType::CustomField, "Manufacturing_Event__e.Order_Id__c")}}}), {},
         {field_key("Manufacturing_Event__e"), key(MetadataType::PlatformEvent, "Manufacturing_Event__e")}},
        {"standard object field", graph_of({{apex, {key(MetadataType::CustomField, "Account.Region__c")}}}), {},
         {field_key("Account")}},
        {"other keys unchanged, packaged or not",
         graph_of({{apex, {key("ApexClass", "ns__Helper"), key(MetadataType::Layout, "Odd name")}}}), {},
         {key("ApexClass", "ns__Helper"), key(MetadataType::Layout, "Odd name")}},
        {"known keys dropped",
         graph_of({{apex, {key(MetadataType::CustomField, "Invoice__c.Total__c"), key("ApexClass", "Utils")}}}),
         selection_of({field_key("Invoice__c"), key("ApexClass", "Utils")}), {object_key("Invoice__c")}},
        {"edge owners are not added", graph_of({{apex, {}}}), {}, {}},
        {"empty graph", {}, {}, {}},
    };
    for (const GraphCase& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(dependency_additions(c.graph, c.selection), c.expected);
    }
}

TEST(MissingObjectMembers, NameTheSelectedObjectsTheTargetLacks) {
    const CompareSelection selection =
        selection_of({field_key("Account"), field_key("Invoice__c"), object_key("Invoice__c"),
                      key(MetadataType::PlatformEvent, "Alert__e"), key("RecordType", "Order__c.Standard"),
                      key("ApexClass", "Missing")});
    EXPECT_EQ(missing_object_members(selection, Names{"Account"}), (Names{"Alert__e", "Invoice__c"}));
    EXPECT_EQ(missing_object_members(selection, Names{}), (Names{"Account", "Alert__e", "Invoice__c"}));
    EXPECT_EQ(missing_object_members(selection, Names{"Account", "Alert__e", "Invoice__c"}), Names{});
    EXPECT_EQ(missing_object_members(selection_of({field_key("Account")}), Names{"account"}), Names{"Account"});
}

}  // namespace
}  // namespace ambrel::app::testing
