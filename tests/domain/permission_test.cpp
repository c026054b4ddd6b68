#include <gtest/gtest.h>

#include <set>
#include <unordered_set>

#include "domain/fls.hpp"
#include "domain/permission.hpp"
#include "support/programming_error.hpp"

namespace ambrel::domain {
namespace {

using Grant = PermissionGrant;
using Subject = PermissionSubject;

Grant field(bool readable, bool editable) { return {Grant::FieldAccess{readable, editable}}; }
Grant tab(TabVisibility level) { return {Grant::TabVisibility{level}}; }

TEST(PermissionSubject, OrdersByVariantThenTextsFieldByField) {
    const std::vector<Subject> expected = {
        {Subject::Field{"A", "z"}},     {Subject::Field{"B", "a"}},
        {Subject::Object{"Account"}},   {Subject::ApexClass{"Z"}},
        {Subject::ApexPage{"A"}},       {Subject::Tab{"T"}},
        {Subject::RecordType{"A", "b"}}, {Subject::RecordType{"Aa", "a"}},
    };
    std::set<Subject> shuffled(expected.rbegin(), expected.rend());
    EXPECT_EQ(std::vector<Subject>(shuffled.begin(), shuffled.end()), expected);
    // Byte order: upper-case letters before lower-case ones, bytes above 0x7F last.
    EXPECT_LT((Subject{Subject::Tab{"Z"}}), (Subject{Subject::Tab{"a"}}));
    EXPECT_LT((Subject{Subject::Tab{"z"}}), (Subject{Subject::Tab{"\xC3\xA9"}}));
}

TEST(PermissionSubject, EqualityAndHashCoverVariantAndEveryText) {
    const Subject object{Subject::Object{"Account"}};
    const Subject tab_named_alike{Subject::Tab{"Account"}};
    EXPECT_NE(object, tab_named_alike);
    EXPECT_EQ(object, (Subject{Subject::Object{"Account"}}));
    std::unordered_set<Subject> set{object, tab_named_alike, Subject{Subject::Field{"A", "b"}}};
    EXPECT_EQ(set.size(), 3u);
    EXPECT_TRUE(set.contains(Subject{Subject::Field{"A", "b"}}));
    EXPECT_FALSE(set.contains(Subject{Subject::Field{"A", "c"}}));
}

TEST(PermissionSubject, ApiNameAndWireKind) {
    struct Case {
        Subject subject;
        std::string api_name;
        std::string_view wire_kind;
    };
    const std::vector<Case> cases = {
        {{Subject::Field{"Account", "Tier__c"}}, "Account.Tier__c", "FIELD"},
        {{Subject::Object{"Invoice__c"}}, "Invoice__c", "OBJECT"},
        {{Subject::ApexClass{"Util"}}, "Util", "APEX_CLASS"},
        {{Subject::ApexPage{"Home"}}, "Home", "APEX_PAGE"},
        {{Subject::Tab{"standard-Account"}}, "standard-Account", "TAB"},
        {{Subject::RecordType{"Account", "Retail"}}, "Account.Retail", "RECORD_TYPE"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.subject.api_name(), c.api_name);
        EXPECT_EQ(c.subject.wire_kind(), c.wire_kind);
    }
}

TEST(PermissionGrant, Describe) {
    Grant::ObjectAccess read_edit;
    read_edit.read = true;
    read_edit.edit = true;
    Grant::ObjectAccess everything{true, true, true, true, true, true, true};
    const std::vector<std::pair<Grant, std::string>> cases = {
        {{read_edit}, "Read/Edit"},
        {{Grant::ObjectAccess{}}, "None"},
        {{everything}, "Create/Read/Edit/Delete/View All/View All Fields/Modify All"},
        {field(true, false), "Read"},
        {field(true, true), "Read/Edit"},
        {field(false, false), "None"},
        {{Grant::Enabled{true}}, "Enabled"},
        {{Grant::Enabled{false}}, "Disabled"},
        {tab(TabVisibility::NotAvailable), "Not available"},
        {tab(TabVisibility::Available), "Available"},
        {tab(TabVisibility::Visible), "Visible"},
        {{Grant::Visible{true}}, "Visible"},
        {{Grant::Visible{false}}, "Hidden"},
    };
    for (const auto& [grant, text] : cases) EXPECT_EQ(grant.describe(), text);
}

TEST(PermissionGrant, UnionOrsFlagsAndTakesTheHigherTabLevel) {
    EXPECT_EQ(Grant::union_of(tab(TabVisibility::Available), tab(TabVisibility::Visible)),
              tab(TabVisibility::Visible));
    EXPECT_EQ(Grant::union_of(tab(TabVisibility::NotAvailable), tab(TabVisibility::Available)),
              tab(TabVisibility::Available));
    EXPECT_EQ(Grant::union_of(field(true, false), field(true, true)), field(true, true));
    EXPECT_EQ(Grant::union_of({Grant::Visible{false}}, {Grant::Visible{true}}), (Grant{Grant::Visible{true}}));
    EXPECT_EQ(Grant::union_of({Grant::Enabled{false}}, {Grant::Enabled{false}}), (Grant{Grant::Enabled{false}}));

    Grant::ObjectAccess create_only;
    create_only.create = true;
    Grant::ObjectAccess modify_all_only;
    modify_all_only.modify_all = true;
    Grant::ObjectAccess both;
    both.create = true;
    both.modify_all = true;
    EXPECT_EQ(Grant::union_of({create_only}, {modify_all_only}), (Grant{both}));
}

TEST(PermissionGrant, UnionOfDifferentKindsIsAProgrammingError) {
    try {
        (void)Grant::union_of(field(true, false), {Grant::ObjectAccess{}});
        FAIL() << "expected a programming error";
    } catch (const support::ProgrammingError& error) {
        EXPECT_STREQ(error.what(), "Permission grants of one subject must share their kind");
    }
}

TEST(PermissionGrant, UnionThatIsEditableButNotReadableIsAProgrammingError) {
    try {
        (void)Grant::union_of(field(false, true), field(false, false));
        FAIL() << "expected a programming error";
    } catch (const support::ProgrammingError& error) {
        EXPECT_STREQ(error.what(), "Editable field access must also be readable");
    }
}

TEST(PermissionGrant, Desired) {
    const Grant source = field(true, false);
    const Grant target = field(true, true);
    EXPECT_EQ(Grant::desired(FlsMode::All, source, target), source);
    EXPECT_EQ(Grant::desired(FlsMode::Additive, source, target), target);
    try {
        (void)Grant::desired(FlsMode::None, source, target);
        FAIL() << "expected a programming error";
    } catch (const support::ProgrammingError& error) {
        EXPECT_STREQ(error.what(),
                     "internal error: entered unreachable code: FLS mode None was rejected before merge");
    }
}

TEST(SelectedPermissions, FieldSubjectsInKeyOrderThenOtherSubjects) {
    SelectedPermissions selection;
    selection.fields[FieldKey{"B", "f"}] = CustomFieldDefinition{};
    selection.fields[FieldKey{"A", "g"}] = CustomFieldDefinition{};
    selection.subjects.insert(Subject{Subject::Tab{"T"}});
    const std::vector<Subject> expected = {
        {Subject::Field{"A", "g"}}, {Subject::Field{"B", "f"}}, {Subject::Tab{"T"}}};
    EXPECT_EQ(selection.all_subjects(), expected);
    EXPECT_FALSE(selection.empty());
    EXPECT_TRUE(SelectedPermissions{}.empty());
}

TEST(PermissionWireIds, RoundTrip) {
    for (FlsMode mode : {FlsMode::None, FlsMode::Additive, FlsMode::All}) {
        EXPECT_EQ(fls_mode_from_wire_id(wire_id(mode)), mode);
    }
    EXPECT_EQ(wire_id(FlsMode::Additive), "ADDITIVE");
    EXPECT_EQ(fls_mode_from_wire_id("additive"), std::nullopt);
    EXPECT_EQ(wire_id(FlsContainerKind::PermissionSet), "PERMISSION_SET");
    EXPECT_EQ(fls_container_kind_from_wire_id("PROFILE"), FlsContainerKind::Profile);
    EXPECT_EQ(fls_container_kind_from_wire_id("Profile"), std::nullopt);
    EXPECT_EQ(name(FlsContainerKind::PermissionSet), "PermissionSet");
    EXPECT_LT(FlsContainerKind::PermissionSet, FlsContainerKind::Profile);
    EXPECT_EQ(wire_id(FlsResultStatus::NotAttempted), "NOT_ATTEMPTED");
    EXPECT_EQ(wire_id(FlsContainerPresence::New), "NEW");
}

}  // namespace
}  // namespace ambrel::domain
