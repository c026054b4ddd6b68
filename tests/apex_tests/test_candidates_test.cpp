#include "apex_tests/test_candidates.hpp"

#include <gtest/gtest.h>
#include <re2/re2.h>

#include "metadata_types/metadata_type.hpp"

namespace ambrel::apex_tests {
namespace {

using domain::ApexTestCandidate;
using domain::ChangeKind;
using domain::ComponentDifference;
using domain::ComponentKey;
using domain::TestCandidateOrigin;
using metadata_types::MetadataType;

ComponentDifference apex_class(std::string name, std::optional<std::string> body) {
    ComponentDifference row;
    row.source.key = ComponentKey{MetadataType::ApexClass, std::move(name)};
    if (body) row.source.body = domain::ComponentBody{"classes/X.cls", std::move(*body)};
    row.deployable = true;
    row.change = ChangeKind::Update;
    return row;
}

TEST(IsTestAnnotation, MatchesAnyCaseAndSpacingAnywhere) {
    struct Case {
        const char* body;
        bool matches;
    };
    const std::vector<Case> cases{{"@IsTest class A {}", true},       {"@isTest(SeeAllData=true)", true},
                                  {"// @ IsTest in a comment", true}, {"@\n\tISTEST", true},
                                  {"class IsTest {}", false},          {"@Is Test", false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.body);
        EXPECT_EQ(re2::RE2::PartialMatch(c.body, IS_TEST_ANNOTATION()), c.matches);
    }
}

TEST(SessionTestNames, KeepsSelectedDeployableUnpackagedAnnotatedClassesInRowOrder) {
    ComponentDifference unchanged = apex_class("UnchangedTest", "@IsTest");
    unchanged.change = ChangeKind::NoChange;
    ComponentDifference blocked = apex_class("BlockedTest", "@IsTest");
    blocked.deployable = false;
    ComponentDifference permissions_only = apex_class("PermTest", "@IsTest");
    permissions_only.deploy_scope = domain::MetadataDeployScope::PermissionsOnly;
    ComponentDifference trigger = apex_class("TriggerTest", "@IsTest");
    trigger.source.key.metadata_type = MetadataType::ApexTrigger;
    const std::vector<ComponentDifference> rows{apex_class("ZTest", "@isTest"),     apex_class("ATest", "@IsTest"),
                                                apex_class("ns__NsTest", "@IsTest"), apex_class("NoBody", std::nullopt),
                                                apex_class("Plain", "class P {}"),   unchanged,
                                                blocked,                            permissions_only,
                                                trigger,                            apex_class("Unselected", "@IsTest")};
    std::set<ComponentKey> selected;
    for (const ComponentDifference& row : rows) {
        if (row.key().name != "Unselected") selected.insert(row.key());
    }
    EXPECT_EQ(session_test_names(rows, selected), (std::vector<std::string>{"ZTest", "ATest"}));
    EXPECT_TRUE(session_test_names(rows, {}).empty());
}

TEST(CollectTestCandidates, FiltersMergesAndSortsByLowerCaseName) {
    const std::vector<ApexTestCandidate> candidates = collect_test_candidates(
        {"ZetaTest", "Helper", "AlphaTEST"}, {"alphatest", "BetaTest", "Util", "TEST"});
    const std::vector<ApexTestCandidate> expected{
        {"AlphaTEST", TestCandidateOrigin::Session, true},
        {"BetaTest", TestCandidateOrigin::Target, false},
        {"TEST", TestCandidateOrigin::Target, false},
        {"ZetaTest", TestCandidateOrigin::Session, true},
    };
    EXPECT_EQ(candidates, expected);
    EXPECT_TRUE(collect_test_candidates({}, {}).empty());
}

TEST(CollectTestCandidates, SortsShorterNamesFirstOnACommonPrefix) {
    const auto candidates = collect_test_candidates({}, {"TestsB", "Test", "Tests"});
    ASSERT_EQ(candidates.size(), 3U);
    EXPECT_EQ(candidates[0].name, "Test");
    EXPECT_EQ(candidates[1].name, "Tests");
    EXPECT_EQ(candidates[2].name, "TestsB");
}

}  // namespace
}  // namespace ambrel::apex_tests
