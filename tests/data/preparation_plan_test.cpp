#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "data/bundles/transfer/health_report.hpp"
#include "data/preparation/org_preparation_report.hpp"
#include "data/registry.hpp"

namespace ambrel::data::preparation {
namespace {

KeyState own() { return KeyState{KeyState::OwnFieldPresent{}}; }
KeyState missing() { return KeyState{KeyState::FieldMissing{}}; }
KeyState absent() { return KeyState{KeyState::ObjectAbsent{}}; }
KeyState foreign(std::string field) { return KeyState{KeyState::ForeignFieldAccepted{std::move(field)}}; }

ObjectPreparation object(std::string_view name, KeyState source, std::optional<std::uint32_t> source_count,
                         KeyState target, std::optional<std::uint32_t> target_count) {
    return ObjectPreparation{std::move(source), source_count, std::move(target), target_count, name, name, 1};
}

// A plan of all 33 registry rows, every one absent on the target.
OrgPreparationPlan all_absent() {
    OrgPreparationPlan plan{"dev", "uat", {}};
    for (const auto& row : registry::DATA_OBJECTS) plan.objects.push_back(object(row.api_name, own(), {}, absent(), {}));
    return plan;
}

TEST(OrgPreparationPlan, ListsFieldsToCreateAndObjectsToFill) {
    OrgPreparationPlan plan{"dev", "uat",
                            {object("A", missing(), 3, own(), 0), object("B", own(), 0, missing(), 2),
                             object("C", missing(), {}, absent(), {}), object("D", foreign("Code__c"), 5, own(), {})}};
    EXPECT_EQ(plan.fields_to_deploy(PreparationSide::Source), (std::vector<std::string>{"A"}));
    EXPECT_EQ(plan.fields_to_deploy(PreparationSide::Target), (std::vector<std::string>{"B"}));
    EXPECT_EQ(plan.objects_to_fill(PreparationSide::Source), (std::vector<std::string>{"A", "D"}));
    EXPECT_EQ(plan.objects_to_fill(PreparationSide::Target), (std::vector<std::string>{"B"}));
    EXPECT_TRUE(plan.has_work());
    EXPECT_EQ(plan.summary(false), "2 external ID field(s) to create, 10 record(s) to key.");
    EXPECT_EQ(plan.summary(true), "2 external ID field(s) created, 10 record(s) keyed.");
}

TEST(OrgPreparationPlan, SummarySaysWhyThereIsNothingToDo) {
    OrgPreparationPlan prepared{"dev", "uat", {object("A", own(), 0, own(), 0), object("B", absent(), {}, own(), {})}};
    EXPECT_FALSE(prepared.has_work());
    EXPECT_EQ(prepared.summary(false), "Both orgs are already prepared. Nothing to change.");
    const auto nowhere = all_absent();
    EXPECT_FALSE(nowhere.has_work());
    EXPECT_EQ(nowhere.summary(true), "Revenue Cloud objects were not found in these orgs. There is nothing to prepare.");
}

TEST(KeyStateLabel, NamesEveryState) {
    static constexpr std::string_view kFields[] = {"Product2Id", "ProductSellingModelId"};
    EXPECT_EQ(key_state_label(absent()), "Not present in this org");
    EXPECT_EQ(key_state_label(KeyState{KeyState::NotCustomizable{kFields}}),
              "Not customizable \u2014 matched by Product2Id + ProductSellingModelId");
    EXPECT_EQ(key_state_label(own()), "Quillary external ID is already in place");
    EXPECT_EQ(key_state_label(foreign("Code__c")), "Existing external ID Code__c will be used");
    EXPECT_EQ(key_state_label(missing()), "Quillary external ID will be created");
}

// An application reports what happened: the planned numbers while nothing failed, and the failed
// objects with the records actually keyed as soon as one object failed on either org, so that a
// failed field deploy is never shown as created.
TEST(OrgPreparationReport, SummaryOfAnApplicationCountsFailuresInsteadOfThePlan) {
    const OrgPreparationPlan plan{"dev", "uat", {object("A", missing(), 3, own(), 2), object("B", own(), 4, own(), 1)}};
    using Outcomes = std::map<std::pair<std::string, PreparationSide>, PreparationOutcome>;
    const PreparationOutcome failed{PreparationStatus::Failed, 0, "Deploy failed."};
    struct Case {
        std::string_view name;
        bool applied;
        Outcomes outcomes;
        std::string_view summary;
    };
    const std::vector<Case> cases{
        {"inspected", false, {}, "1 external ID field(s) to create, 10 record(s) to key."},
        {"all succeeded",
         true,
         {{{"A", PreparationSide::Source}, {PreparationStatus::Succeeded, 3, {}}},
          {{"A", PreparationSide::Target}, {PreparationStatus::Succeeded, 2, {}}},
          {{"B", PreparationSide::Source}, {PreparationStatus::Succeeded, 4, {}}},
          {{"B", PreparationSide::Target}, {PreparationStatus::Skipped, 0, "Every record already carries the external ID."}}},
         "1 external ID field(s) created, 10 record(s) keyed."},
        {"field deploy failed",
         true,
         {{{"A", PreparationSide::Source}, failed},
          {{"A", PreparationSide::Target}, {PreparationStatus::Succeeded, 2, {}}},
          {{"B", PreparationSide::Source}, {PreparationStatus::Succeeded, 4, {}}},
          {{"B", PreparationSide::Target}, {PreparationStatus::Succeeded, 1, {}}}},
         "Preparation failed for 1 object(s); 7 record(s) keyed. See each object's message."},
        {"everything failed",
         true,
         {{{"A", PreparationSide::Source}, failed},
          {{"A", PreparationSide::Target}, failed},
          {{"B", PreparationSide::Source}, failed},
          {{"B", PreparationSide::Target}, failed}},
         "Preparation failed for 2 object(s); 0 record(s) keyed. See each object's message."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const OrgPreparationReport report{plan, c.outcomes, c.applied};
        EXPECT_EQ(report.summary(), c.summary);
    }
}

TEST(OrgPreparationReport, FindsTheOutcomeOfAnObjectOnASide) {
    OrgPreparationReport report;
    report.outcomes[{"Product2", PreparationSide::Target}] = {PreparationStatus::Failed, 0, "refused"};
    ASSERT_NE(report.outcome("Product2", PreparationSide::Target), nullptr);
    EXPECT_EQ(report.outcome("Product2", PreparationSide::Target)->message, std::optional<std::string>("refused"));
    EXPECT_EQ(report.outcome("Product2", PreparationSide::Source), nullptr);
    EXPECT_EQ(report.outcome("Pricebook2", PreparationSide::Target), nullptr);
}

TEST(HealthReport, IsFixableWhenAnyFindingIs) {
    bundles::transfer::HealthReport report;
    EXPECT_FALSE(report.fixable());
    report.findings.resize(2);
    EXPECT_FALSE(report.fixable());
    report.findings[1].fixable = true;
    EXPECT_TRUE(report.fixable());
}

}  // namespace
}  // namespace ambrel::data::preparation
