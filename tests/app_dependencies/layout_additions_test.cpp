// Layout field and permission set group additions.

#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "additions_under_test.hpp"
#include "app/dependency_additions/layout_additions.hpp"

namespace ambrel::app::testing {
namespace {

using dependency::WarningList;

std::string placed(std::initializer_list<std::string_view> fields) {
    std::string items;
    for (std::string_view f : fields) {
        items += fmt::format("<layoutItems><behavior>Edit</behavior><field>{}</field></layoutItems>", f);
    }
    return fmt::format("<layoutSections><label>Info</label><layoutColumns>{}</layoutColumns></layoutSections>", items);
}

std::string related(std::string_view name, std::initializer_list<std::string_view> columns = {},
                    std::string_view sort_field = {}) {
    std::string body;
    for (std::string_view c : columns) body += fmt::format("<fields>{}</fields>", c);
    body += fmt::format("<relatedList>{}</relatedList>", name);
    if (!sort_field.empty()) body += fmt::format("<sortField>{}</sortField>", sort_field);
    return fmt::format("<relatedLists>{}</relatedLists>", body);
}

MetadataComponent layout(std::string name, std::string_view body) {
    return component(MetadataType::Layout, std::move(name), document("Layout", body));
}

ComponentKey field_key(std::string_view object) { return key(MetadataType::CustomField, std::string(object)); }
ComponentKey object_key(std::string_view object) { return key(MetadataType::CustomObject, std::string(object)); }

struct LayoutCase {
    std::string_view name;
    std::vector<MetadataComponent> layouts;
    CompareSelection selection;
    Keys expected;
};

TEST(LayoutFieldAdditions, SelectTheObjectsWhoseCustomFieldsALayoutShows) {
    const LayoutCase cases[] = {
        {"own custom field", {layout("Invoice__c-Invoice Layout", placed({"Name", "Amount__c"}))}, {},
         {field_key("Invoice__c"), object_key("Invoice__c")}},
        {"standard and packaged fields only", {layout("Account-Account Layout", placed({"Name", "ns__Score__c"}))}, {},
         {}},
        {"standard object: no definition", {layout("Account-Account Layout", placed({"Region__c"}))}, {},
         {field_key("Account")}},
        {"custom metadata type and platform event",
         {layout("Rate__mdt-Rate Layout", placed({"Tier__c"})), layout("Alert__e-Alert Layout", placed({"Kind__c"}))},
         {}, {field_key("Alert__e"), field_key("Rate__mdt"), key(MetadataType::CustomMetadataType, "Rate__mdt"),
              key(MetadataType::PlatformEvent, "Alert__e")}},
        {"related list of a custom child on a standard layout",
         {layout("Account-Account Layout", placed({"Name"}) + related("Invoice_Line__c.Invoice__c"))}, {},
         {field_key("Invoice_Line__c"), object_key("Invoice_Line__c")}},
        {"related list without a dot", {layout("Account-Account Layout", related("RelatedContactList", {"Note__c"}))},
         {}, {}},
        {"packaged child with packaged and standard columns",
         {layout("Account-Account Layout", related("ns__Line__c.ns__Invoice__c", {"ns__Amount__c", "NAME"}))}, {}, {}},
        {"packaged child with one own column",
         {layout("Account-Account Layout", related("ns__Line__c.ns__Invoice__c", {"ns__Amount__c", "Note__c"}))}, {},
         {field_key("ns__Line__c")}},
        {"own sort field counts",
         {layout("Account-Account Layout", related("ns__Line__c.ns__Invoice__c", {}, "Rank__c"))}, {},
         {field_key("ns__Line__c")}},
        {"column with a dot does not count",
         {layout("Account-Account Layout", related("ns__Line__c.ns__Invoice__c", {"Line.Note__c"}))}, {}, {}},
        {"standard relationship of a standard child", {layout("Account-Account Layout", related("Contact.AccountId"))},
         {}, {}},
        {"no hyphen: nothing even with qualifying related lists",
         {layout("Invoice__c", placed({"Amount__c"}) + related("Invoice_Line__c.Invoice__c"))}, {}, {}},
        {"unreadable layout", {layout("Invoice__c-Invoice Layout", "<layoutSections>")}, {}, {}},
        {"already selected", {layout("Invoice__c-Invoice Layout", placed({"Amount__c"}))},
         selection_of({field_key("Invoice__c"), object_key("Invoice__c")}), {}},
        {"object before the first hyphen", {layout("Invoice__c-Invoice-Layout", placed({"Amount__c"}))}, {},
         {field_key("Invoice__c"), object_key("Invoice__c")}},
        {"a layout name starting with a hyphen names no object",
         {layout("-Layout", placed({"Amount__c"}) + related("Line__c.Invoice__c"))}, {},
         {field_key("Line__c"), object_key("Line__c")}},
    };
    for (const LayoutCase& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(layout_field_additions(c.layouts, c.selection), c.expected);
    }
}

MetadataComponent group(std::string name, std::string_view body) {
    return component("PermissionSetGroup", std::move(name), document("PermissionSetGroup", body));
}

struct GroupCase {
    std::string_view name;
    std::vector<MetadataComponent> groups;
    CompareSelection selection;
    Keys expected;
    WarningList warnings;
};

TEST(PermissionSetGroupAdditions, SelectTheUnpackagedPermissionSetsOfEachGroup) {
    const MetadataType permission_set = type_of("PermissionSet");
    const GroupCase cases[] = {
        {"packaged set skipped",
         {group("Sales",
                "<permissionSets>Sales_Base</permissionSets><permissionSets>ns__Managed_Set</permissionSets>")},
         {}, {key(permission_set, "Sales_Base")}, {}},
        {"muting and granting the same set",
         {group("Sales", "<permissionSets>Sales_Base</permissionSets>"
                         "<mutingPermissionSets>Sales_Base</mutingPermissionSets>")},
         {}, {key(permission_set, "Sales_Base")}, {}},
        {"names are not judged as members",
         {group("Sales", "<permissionSets>Odd Name-1</permissionSets>")}, {}, {key(permission_set, "Odd Name-1")}, {}},
        {"selected already", {group("Sales", "<permissionSets>Sales_Base</permissionSets>")},
         selection_of({key(permission_set, "Sales_Base")}), {}, {}},
        {"unreadable group, next one followed",
         {group("Broken", "<permissionSets>A&nbsp;B</permissionSets>"),
          group("Sales", "<permissionSets>Sales_Base</permissionSets>")},
         {}, {key(permission_set, "Sales_Base")},
         {"Could not parse Permission Set Group 'Broken'; its dependencies were not followed."}},
    };
    for (const GroupCase& c : cases) {
        SCOPED_TRACE(c.name);
        WarningList warnings;
        EXPECT_EQ(permission_set_group_additions(c.groups, c.selection, warnings), c.expected);
        EXPECT_EQ(warnings, c.warnings);
    }
}

inline constexpr std::string_view kPermissionSet = "PermissionSet";

TEST(PermissionSetGroupAdditions, AnUnknownPermissionSetTypeReadsNothing) {
    const std::vector<MetadataComponent> groups{group("Broken", "<permissionSets>"),
                                                group("Sales", "<permissionSets>Sales_Base</permissionSets>")};
    WarningList warnings;
    EXPECT_TRUE(permission_set_group_additions(groups, {}, warnings, lookup_without<kPermissionSet>).empty());
    EXPECT_TRUE(warnings.empty());
}

}  // namespace
}  // namespace ambrel::app::testing
