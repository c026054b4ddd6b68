#include "app/row_retention.hpp"

#include <gtest/gtest.h>

#include "app_test_rows.hpp"

namespace ambrel::app_tests {
namespace {

using app::CompareSelection;
using app::PullInMap;
using app::RowKeyMap;
using app::UnresolvedMap;

std::vector<std::string> names_of(const std::vector<ComponentDifference>& rows) {
    std::vector<std::string> names;
    for (const ComponentDifference& r : rows) names.push_back(r.key().name);
    return names;
}

TEST(RowRetention, AnEmptyRequestKeepsNothing) {
    std::vector<ComponentDifference> rows{row(MetadataType::ApexClass, "A"), row(MetadataType::ApexClass, "B")};
    RowKeyMap edges{{key(MetadataType::ApexClass, "A"), {key(MetadataType::ApexClass, "B")}}};
    UnresolvedMap unresolved{{key(MetadataType::ApexClass, "A"), {{"Flow X", "m"}}}};
    app::retain_requested_rows(rows, {}, edges, unresolved, {});
    EXPECT_TRUE(rows.empty());
    EXPECT_TRUE(edges.empty());
    EXPECT_TRUE(unresolved.empty());
}

TEST(RowRetention, ARequestedObjectKeepsAllItsFields) {
    std::vector<ComponentDifference> rows{row(MetadataType::CustomField, "Invoice__c.A__c"),
                                          row(MetadataType::CustomField, "Invoice__c.B__c"),
                                          row(MetadataType::CustomField, "Other__c.C__c")};
    RowKeyMap edges;
    UnresolvedMap unresolved;
    app::retain_requested_rows(rows, CompareSelection{{MetadataType::CustomField, {"Invoice__c"}}}, edges, unresolved,
                               {});
    EXPECT_EQ(names_of(rows), (std::vector<std::string>{"Invoice__c.A__c", "Invoice__c.B__c"}));
}

TEST(RowRetention, LayoutElementRowsFollowTheirLayout) {
    std::vector<ComponentDifference> rows{row(MetadataType::Layout, "Account-Main::field:Name"),
                                          row(MetadataType::Layout, "Account-Main::relatedList:Cases"),
                                          row(MetadataType::Layout, "Account-Other::field:Name")};
    RowKeyMap edges;
    UnresolvedMap unresolved;
    std::vector<ComponentDifference> by_element = rows;
    app::retain_requested_rows(rows, CompareSelection{{MetadataType::Layout, {"Account-Main"}}}, edges, unresolved, {});
    EXPECT_EQ(names_of(rows),
              (std::vector<std::string>{"Account-Main::field:Name", "Account-Main::relatedList:Cases"}));

    // An element row is never matched on its own full name.
    app::retain_requested_rows(by_element, CompareSelection{{MetadataType::Layout, {"Account-Main::field:Name"}}},
                               edges, unresolved, {});
    EXPECT_TRUE(by_element.empty());
}

TEST(RowRetention, RequirementsAreFollowedBreadthFirstWithTheFirstRequirerNamed) {
    std::vector<ComponentDifference> rows{row(MetadataType::ApexClass, "A"), row(MetadataType::ApexClass, "B"),
                                          row(MetadataType::ApexClass, "C"), row(MetadataType::ApexClass, "D"),
                                          row(MetadataType::ApexClass, "Unrelated")};
    rows[3].required_by = "earlier";
    RowKeyMap edges{{key(MetadataType::ApexClass, "A"), {key(MetadataType::ApexClass, "B"), key(MetadataType::ApexClass, "D")}},
                    {key(MetadataType::ApexClass, "B"), {key(MetadataType::ApexClass, "C"), key(MetadataType::ApexClass, "D")}},
                    {key(MetadataType::ApexClass, "Unrelated"), {key(MetadataType::ApexClass, "A")}}};
    UnresolvedMap unresolved{{key(MetadataType::ApexClass, "B"), {{"Flow F", "m"}}},
                             {key(MetadataType::ApexClass, "Unrelated"), {{"Flow G", "m"}}}};
    app::retain_requested_rows(rows, CompareSelection{{MetadataType::ApexClass, {"A"}}}, edges, unresolved, {});
    ASSERT_EQ(names_of(rows), (std::vector<std::string>{"A", "B", "C", "D"}));
    EXPECT_FALSE(rows[0].required_by.has_value());
    EXPECT_EQ(rows[1].required_by, "A");
    EXPECT_EQ(rows[2].required_by, "B");
    EXPECT_EQ(rows[3].required_by, "A");
    EXPECT_EQ(edges.size(), 2U);
    EXPECT_FALSE(edges.contains(key(MetadataType::ApexClass, "Unrelated")));
    EXPECT_EQ(unresolved.size(), 1U);
}

TEST(RowRetention, APulledInRowIsKeptButNotFollowed) {
    std::vector<ComponentDifference> rows{row(MetadataType::ApexClass, "A"), row(MetadataType::ApexClass, "Blocked"),
                                          row(MetadataType::ApexClass, "Beyond")};
    RowKeyMap edges{{key(MetadataType::ApexClass, "Blocked"), {key(MetadataType::ApexClass, "Beyond")}}};
    UnresolvedMap unresolved;
    const PullInMap pull_in{{key(MetadataType::ApexClass, "Blocked"), key(MetadataType::ApexClass, "A")}};
    app::retain_requested_rows(rows, CompareSelection{{MetadataType::ApexClass, {"A"}}}, edges, unresolved, pull_in);
    ASSERT_EQ(names_of(rows), (std::vector<std::string>{"A", "Blocked"}));
    EXPECT_EQ(rows[1].required_by, "A");
    EXPECT_TRUE(edges.empty());
}

TEST(RowRetention, AnAddedObjectOfKeptFieldsJoinsWithItsSmallestField) {
    std::vector<ComponentDifference> rows{row(MetadataType::CustomField, "Invoice__c.Zeta__c"),
                                          row(MetadataType::CustomField, "Invoice__c.Alpha__c"),
                                          row(MetadataType::CustomObject, "Invoice__c"),
                                          row(MetadataType::ApexClass, "InvoiceHelper")};
    RowKeyMap edges{{key(MetadataType::CustomObject, "Invoice__c"), {key(MetadataType::ApexClass, "InvoiceHelper")}}};
    UnresolvedMap unresolved;
    app::retain_requested_rows(rows, CompareSelection{{MetadataType::CustomField, {"Invoice__c"}}}, edges, unresolved,
                               {});
    ASSERT_EQ(names_of(rows),
              (std::vector<std::string>{"Invoice__c.Zeta__c", "Invoice__c.Alpha__c", "Invoice__c", "InvoiceHelper"}));
    EXPECT_EQ(rows[2].required_by, "Invoice__c.Alpha__c");
    EXPECT_EQ(rows[3].required_by, "Invoice__c");
    const ComponentKey object = key(MetadataType::CustomObject, "Invoice__c");
    EXPECT_EQ(edges.at(key(MetadataType::CustomField, "Invoice__c.Zeta__c")), std::set<ComponentKey>{object});
    EXPECT_EQ(edges.at(key(MetadataType::CustomField, "Invoice__c.Alpha__c")), std::set<ComponentKey>{object});
}

TEST(RowRetention, AnObjectThatExistsInTheTargetIsNotPulledInByItsFields) {
    for (ChangeKind change : {ChangeKind::Update, ChangeKind::NoChange}) {
        SCOPED_TRACE(static_cast<int>(change));
        std::vector<ComponentDifference> rows{row(MetadataType::CustomField, "Invoice__c.A__c"),
                                              row(MetadataType::CustomObject, "Invoice__c", change)};
        RowKeyMap edges;
        UnresolvedMap unresolved;
        app::retain_requested_rows(rows, CompareSelection{{MetadataType::CustomField, {"Invoice__c"}}}, edges,
                                   unresolved, {});
        EXPECT_EQ(names_of(rows), (std::vector<std::string>{"Invoice__c.A__c"}));
        EXPECT_TRUE(edges.empty());
    }
}

TEST(RowRetention, ObjectsReachedThroughAnotherObjectStartAnotherPass) {
    // Class -> field of A__c; A__c (pulled in by its field) requires a field of B__c; B__c joins next pass.
    std::vector<ComponentDifference> rows{row(MetadataType::ApexClass, "Start"),
                                          row(MetadataType::CustomField, "A__c.F__c"),
                                          row(MetadataType::CustomObject, "A__c"),
                                          row(MetadataType::CustomField, "B__c.G__c"),
                                          row(MetadataType::CustomObject, "B__c")};
    RowKeyMap edges{{key(MetadataType::ApexClass, "Start"), {key(MetadataType::CustomField, "A__c.F__c")}},
                    {key(MetadataType::CustomObject, "A__c"), {key(MetadataType::CustomField, "B__c.G__c")}}};
    UnresolvedMap unresolved;
    app::retain_requested_rows(rows, CompareSelection{{MetadataType::ApexClass, {"Start"}}}, edges, unresolved, {});
    ASSERT_EQ(rows.size(), 5U);
    EXPECT_EQ(rows[1].required_by, "Start");
    EXPECT_EQ(rows[2].required_by, "A__c.F__c");
    EXPECT_EQ(rows[3].required_by, "A__c");
    EXPECT_EQ(rows[4].required_by, "B__c.G__c");
    for (const auto& [from, to] : edges) {
        EXPECT_FALSE(to.empty());
    }
}

}  // namespace
}  // namespace ambrel::app_tests
