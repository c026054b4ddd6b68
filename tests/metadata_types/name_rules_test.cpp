// The path and name rules that keep file names from orgs and repositories inside their folder.

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>

#include "metadata_types/metadata_type.hpp"
#include "metadata_types/name_rules.hpp"
#include "metadata_types/type_descriptor.hpp"

namespace ambrel::metadata_types {
namespace {

using namespace std::string_literals;

TEST(SafeRelativePath, RefusesEveryWayOutOfTheFolder) {
    const std::string_view refused[] = {
        "",
        "/",
        "/etc/passwd",
        "/classes/A.cls",
        "C:",
        "C:/Windows",
        "c:relative",
        "z:",
        "classes//A.cls",
        "classes/",
        "classes/A.cls/",
        "//server/share",
        ".",
        "..",
        "./classes",
        "classes/.",
        "classes/./A.cls",
        "../classes",
        "classes/../../etc",
        "classes/..",
        "classes\\A.cls",
        "\\\\server\\share",
        "..\\..\\etc",
        "C:\\Windows",
        "classes/A\tB.cls",
        "classes/A\nB.cls",
        "classes/A\rB.cls",
        "classes/A\x01.cls",
        "classes/A\x1f.cls",
        "classes/A\x7f.cls",
        "classes/A\xc2\x85.cls",  // U+0085 NEXT LINE
        "classes/A\xc2\x9f.cls",  // U+009F
    };
    for (const auto path : refused) {
        EXPECT_FALSE(is_safe_relative_path(path)) << path;
        EXPECT_FALSE(is_safe_relative_path_for(path, false)) << path;
    }
    EXPECT_FALSE(is_safe_relative_path("classes/A\0B.cls"s));
}

TEST(SafeRelativePath, AcceptsOrdinaryRelativePaths) {
    const std::string_view accepted[] = {
        "a",
        "classes/A.cls",
        "objects/Account/fields/Rating__c.field-meta.xml",
        "..a",
        "classes/..hidden",
        "a../b",
        "...",
        ".gitignore",
        "layouts/Account-Account Layout.layout-meta.xml",
        "1:2",                       // a digit before ":" is no drive letter
        "a/C:/b",                    // only the start of the path names a drive
        "labels/\xc3\xa9t\xc3\xa9",  // non-ASCII letters
        "classes/A\xc2\xa0" "B.cls", // U+00A0 is white space, not a control character
    };
    for (const auto path : accepted) {
        EXPECT_TRUE(is_safe_relative_path(path)) << path;
        EXPECT_TRUE(is_safe_relative_path_for(path, false)) << path;
    }
}

TEST(DiskPrefix, LetterThenColon) {
    EXPECT_TRUE(starts_with_disk_prefix("C:"));
    EXPECT_TRUE(starts_with_disk_prefix("z:/x"));
    EXPECT_FALSE(starts_with_disk_prefix("C"));
    EXPECT_FALSE(starts_with_disk_prefix(""));
    EXPECT_FALSE(starts_with_disk_prefix("1:"));
    EXPECT_FALSE(starts_with_disk_prefix(":C"));
    EXPECT_FALSE(starts_with_disk_prefix("CC:"));
}

TEST(SplitOnceDot, SplitsAtTheFirstDot) {
    using Parts = std::optional<std::pair<std::string_view, std::string_view>>;
    EXPECT_EQ(split_once_dot("Account.Rating__c"), Parts({"Account", "Rating__c"}));
    EXPECT_EQ(split_once_dot("a.b.c"), Parts({"a", "b.c"}));
    EXPECT_EQ(split_once_dot(".b"), Parts({"", "b"}));
    EXPECT_EQ(split_once_dot("a."), Parts({"a", ""}));
    EXPECT_EQ(split_once_dot("."), Parts({"", ""}));
    EXPECT_EQ(split_once_dot("Account"), std::nullopt);
    EXPECT_EQ(split_once_dot(""), std::nullopt);
}

struct NameCase {
    std::string_view name;
    bool flow;
    bool layout;
    bool profile;
    bool record_row;
    bool container_child;
};

TEST(NameRules, TableOfNames) {
    const NameCase cases[] = {
        // name                      flow   layout profile record child
        {"My_Flow1", true, false, true, true, true},
        {"A", true, false, true, true, true},
        {"_Flow", false, false, true, true, true},
        {"1Flow", false, false, true, true, true},
        {"My-Flow", false, true, true, true, true},
        {"Account-Account Layout", false, true, true, true, true},
        {"Account-Layout ", false, false, false, false, true},
        {" Account-Layout", false, false, false, false, true},
        {"Account-Layout\xe3\x80\x80", false, false, false, false, true},  // U+3000 at the end
        {"Account-Lay\tout", false, false, false, false, false},
        {"Account-Lay/out", false, false, false, false, false},
        {"Account-Lay\\out", false, false, false, false, false},
        {"Account-Lay\xc2\x85out", false, false, false, false, false},
        {"", false, false, false, false, false},
        {".", false, false, false, true, true},
        {"..", false, false, false, false, true},
        {"a..b", false, false, true, false, true},
        {"Admin", true, false, true, true, true},
        {"Custom: Sales Profile", false, false, true, true, true},
        {"Acc.Rule", false, false, true, true, true},
        {"-", false, true, true, true, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(is_valid_flow_full_name(c.name), c.flow);
        EXPECT_EQ(is_valid_layout_full_name(c.name), c.layout);
        EXPECT_EQ(is_valid_profile_full_name(c.name), c.profile);
        EXPECT_EQ(is_valid_record_row_name(c.name), c.record_row);
        EXPECT_EQ(is_valid_container_child_name(c.name), c.container_child);
    }
}

TEST(NameRules, ContainerChildFullNames) {
    struct Case {
        std::string_view name;
        bool fixed;
        bool valid;
    };
    const Case cases[] = {
        {"Greeting", true, true},
        {"Greeting_2", true, true},
        {"2Greeting", true, false},
        {"Greeting.Text", true, false},
        {"", true, false},
        {"Account.Assign to Sales", false, true},
        {"Account.Rule.With.Dots", false, true},
        {"Account", false, false},
        {"Account.", false, false},
        {".Rule", false, false},
        {"Acc ount.Rule", false, false},
        {"Account.Ru/le", false, false},
        {"Account.Ru\\le", false, false},
        {"Account.Ru\nle", false, false},
        {"ns__Account__c.Rule", false, true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(is_valid_container_child_full_name(c.name, c.fixed), c.valid) << c.name << " fixed=" << c.fixed;
    }
}

TEST(LayoutElementNames, ParsesFieldAndRelatedListRows) {
    EXPECT_EQ(parse_layout_element_name("Account-Account Layout::field:Rating__c"),
              (LayoutElementName{"Account-Account Layout", {LayoutElementKind::Field, "Rating__c"}}));
    EXPECT_EQ(parse_layout_element_name("Account-Layout::relatedList:RelatedContactList"),
              (LayoutElementName{"Account-Layout", {LayoutElementKind::RelatedList, "RelatedContactList"}}));
    // Only the first "::" splits; the element name keeps any later one.
    EXPECT_EQ(parse_layout_element_name("L::field:a::b"),
              (LayoutElementName{"L", {LayoutElementKind::Field, "a::b"}}));
    for (const std::string_view refused : {"", "Layout", "::field:Name", "L::field:", "L::relatedList:",
                                           "L::Field:Name", "L::button:Name", "L::field", "L:field:Name",
                                           "L::x::field:Name"}) {
        EXPECT_EQ(parse_layout_element_name(refused), std::nullopt) << refused;
    }
    EXPECT_LT((LayoutElementRef{LayoutElementKind::Field, "z"}), (LayoutElementRef{LayoutElementKind::RelatedList, "a"}));
}

TEST(DerivedMembers, CustomFieldEntryDerivesTheCustomObjectEntry) {
    std::map<MetadataType, std::set<std::string>> selection{
        {MetadataType::CustomField, {"Invoice__c", "Setting__mdt", "Alert__e", "Account"}},
        {MetadataType::ApexClass, {"Helper"}},
    };
    apply_derived_members(selection, MetadataType::CustomField);
    EXPECT_EQ(selection[MetadataType::CustomObject], (std::set<std::string>{"Account", "Invoice__c"}));
    EXPECT_EQ(selection[MetadataType::ApexClass], (std::set<std::string>{"Helper"}));

    selection[MetadataType::CustomField] = {"Setting__mdt"};
    apply_derived_members(selection, MetadataType::CustomField);
    EXPECT_FALSE(selection.contains(MetadataType::CustomObject));

    selection[MetadataType::CustomObject] = {"Stale__c"};
    selection.erase(MetadataType::CustomField);
    apply_derived_members(selection, MetadataType::CustomField);
    EXPECT_FALSE(selection.contains(MetadataType::CustomObject));
}

TEST(DerivedMembers, OtherTypesLeaveTheSelectionAlone) {
    std::map<MetadataType, std::set<std::string>> selection{
        {MetadataType::CustomObject, {"Kept__c"}},
        {MetadataType::CustomField, {"Other__c"}},
    };
    const auto before = selection;
    apply_derived_members(selection, MetadataType::CustomObject);
    apply_derived_members(selection, MetadataType::ApexClass);
    apply_derived_members(selection, MetadataType::DataRecord(0));
    EXPECT_EQ(selection, before);
}

PathTemplate directory_suffix(std::string_view dir, std::string_view suffix) {
    return PathTemplate{PathTemplate::DirectorySuffix{dir, suffix}};
}

TEST(PathTemplates, RenderOrRefuse) {
    using P = std::optional<std::string>;
    const PathTemplate custom_field{PathTemplate::CustomField{}};
    EXPECT_EQ(custom_field.render("Account.Rating__c"), P("objects/Account/fields/Rating__c.field-meta.xml"));
    EXPECT_EQ(custom_field.render("Account"), std::nullopt);
    EXPECT_EQ(custom_field.render(".Rating__c"), std::nullopt);
    EXPECT_EQ(custom_field.render("Account."), std::nullopt);

    const PathTemplate object{PathTemplate::ObjectDefinition{}};
    EXPECT_EQ(object.render("Invoice__c"), P("objects/Invoice__c/Invoice__c.object-meta.xml"));
    EXPECT_EQ(object.render(""), std::nullopt);

    const PathTemplate layout{PathTemplate::Layout{}};
    EXPECT_EQ(layout.render("Account-Account Layout"), P("layouts/Account-Account Layout.layout-meta.xml"));
    EXPECT_EQ(layout.render("AccountLayout"), std::nullopt);
    EXPECT_EQ(layout.render("Account-../x"), std::nullopt);

    const PathTemplate flow{PathTemplate::Flow{}};
    EXPECT_EQ(flow.render("Order_Flow"), P("flows/Order_Flow.flow-meta.xml"));
    EXPECT_EQ(flow.render("1Flow"), std::nullopt);

    const auto tab = directory_suffix("tabs", "tab");
    EXPECT_EQ(tab.render("Invoice__c"), P("tabs/Invoice__c.tab-meta.xml"));
    EXPECT_EQ(tab.render("standard-Account"), P("tabs/standard-Account.tab-meta.xml"));
    for (const std::string_view refused : {"", "a/b", "..", ".", "a\\b", "a\tb", "C:x"}) {
        EXPECT_EQ(tab.render(refused), std::nullopt) << refused;
    }

    const PathTemplate child{PathTemplate::ObjectChild{"recordTypes", "recordType"}};
    EXPECT_EQ(child.render("Account.Business"), P("objects/Account/recordTypes/Business.recordType-meta.xml"));
    for (const std::string_view refused : {"Account", ".Business", "Account.", "Account.A.B", "Account.A/B",
                                           "Acc/ount.B", "...", "...x", "Account.A\\B", "Account.A\nB"}) {
        EXPECT_EQ(child.render(refused), std::nullopt) << refused;
    }
}

TEST(PathTemplates, ContainerChildren) {
    using P = std::optional<std::string>;
    const PathTemplate labels{PathTemplate::ContainerChild{"CustomLabels", "labels", "labels"}};
    EXPECT_EQ(labels.render("Greeting"), P("labels/CustomLabels.labels-meta.xml"));
    EXPECT_EQ(labels.render("Any Name At All"), P("labels/CustomLabels.labels-meta.xml"));
    for (const std::string_view refused : {"", "Greeting.Text", "a/b", "..", "a\\b", "a\tb"}) {
        EXPECT_EQ(labels.render(refused), std::nullopt) << refused;
    }

    const PathTemplate rules{PathTemplate::ContainerChild{std::nullopt, "assignmentRules", "assignmentRules"}};
    EXPECT_EQ(rules.render("Case.Standard Assignment"), P("assignmentRules/Case.assignmentRules-meta.xml"));
    EXPECT_EQ(rules.render("Case.Rule.With.Dots"), P("assignmentRules/Case.assignmentRules-meta.xml"));
    for (const std::string_view refused : {"Case", ".Rule", "Case.", "Ca/se.Rule", "..Rule", "Case.Ru/le",
                                           "Case.Ru\\le", "Case.Ru\x01le", "C:.Rule"}) {
        EXPECT_EQ(rules.render(refused), std::nullopt) << refused;
    }
}

TEST(ContentFormats, PathsPerFormat) {
    using P = std::optional<std::string>;
    using Document = std::expected<P, BundleUnsupported>;
    const auto& apex = MetadataType::ApexClass.descriptor().content_format;
    EXPECT_EQ(apex.decomposed_path("Helper"), Document(P("classes/Helper.cls-meta.xml")));
    EXPECT_EQ(apex.edited_document_path("Helper"), P("classes/Helper.cls"));
    EXPECT_EQ(apex.body_path("Helper"), P("classes/Helper.cls"));
    EXPECT_EQ(apex.bundle_file_path("Helper", "x"), std::nullopt);
    EXPECT_EQ(apex.edited_document_path(""), std::nullopt);
    EXPECT_EQ(apex.body_path(""), std::nullopt);
    EXPECT_EQ(apex.decomposed_path(""), Document(P()));

    const auto& flow = MetadataType::Flow.descriptor().content_format;
    EXPECT_EQ(flow.edited_document_path("Order_Flow"), P("flows/Order_Flow.flow-meta.xml"));
    EXPECT_EQ(flow.body_path("Order_Flow"), std::nullopt);
    EXPECT_EQ(flow.bundle_file_path("Order_Flow", "x"), std::nullopt);

    const auto& rules = generic_type_by_api_name("AssignmentRule")->descriptor().content_format;
    EXPECT_EQ(rules.decomposed_path("Case.Standard"),
              Document(P("assignmentRules/Case.assignmentRules-meta.xml")));
    EXPECT_EQ(rules.edited_document_path("Case.Standard"), std::nullopt);
    EXPECT_EQ(rules.body_path("Case.Standard"), std::nullopt);

    const auto& lwc = MetadataType::LightningComponentBundle.descriptor().content_format;
    EXPECT_EQ(lwc.decomposed_path("card"), Document(std::unexpected(BundleUnsupported{})));
    EXPECT_EQ(BundleUnsupported{}.message(), "BundleUnsupported");
    EXPECT_EQ(lwc.edited_document_path("card"), std::nullopt);
    EXPECT_EQ(lwc.body_path("card"), std::nullopt);
    EXPECT_EQ(lwc.bundle_file_path("card", "card.html"), P("lwc/card/card.html"));
    EXPECT_EQ(lwc.bundle_file_path("card", "__tests__/card.test.js"), P("lwc/card/__tests__/card.test.js"));
    EXPECT_EQ(lwc.bundle_file_path("", "card.html"), std::nullopt);
    EXPECT_EQ(lwc.bundle_file_path("card", ""), std::nullopt);
}

}  // namespace
}  // namespace ambrel::metadata_types
