#include "app/compare_steps.hpp"

#include <gtest/gtest.h>

#include "app_test_rows.hpp"
#include "support/doubles.hpp"

namespace ambrel::app_tests {
namespace {

using app::CompareSelection;
using app::FailureKind;

TEST(CompareSteps, BlankMemberNamesAreRefusedWhateverTheType) {
    for (MetadataType type : {MetadataType::CustomField, MetadataType::ApexClass, MetadataType::Generic(3)}) {
        SCOPED_TRACE(std::string(type.wire_id()));
        auto refused = app::validate_manifest_members(CompareSelection{{type, {"Good", "   "}}});
        ASSERT_FALSE(refused.has_value());
        EXPECT_EQ(refused.error().kind, FailureKind::Validation);
        EXPECT_EQ(refused.error().detail_text(), "Selected source object API names must not be blank.");
    }
    EXPECT_TRUE(app::validate_manifest_members(CompareSelection{{MetadataType::ApexClass, {}}}));
    EXPECT_TRUE(app::validate_manifest_members({}));
}

TEST(CompareSteps, RecordDataTypesAreRefusedBeforeAnyDescriptorIsNeeded) {
    auto refused = app::refuse_record_data_types(
        CompareSelection{{MetadataType::ApexClass, {"A"}}, {MetadataType::DataRecord(0), {"Row"}}});
    ASSERT_FALSE(refused.has_value());
    EXPECT_EQ(refused.error().kind, FailureKind::Operation);
    EXPECT_EQ(refused.error().detail_text(), "Revenue Cloud records are not retrieved as metadata.");
    EXPECT_TRUE(app::refuse_record_data_types(CompareSelection{{MetadataType::ProductBundle, {"B"}}}));
}

TEST(CompareSteps, CancellationIsPolledOnce) {
    testing::TestToken token;
    EXPECT_TRUE(app::throw_if_cancelled(token));
    token.cancel();
    auto cancelled = app::throw_if_cancelled(token);
    ASSERT_FALSE(cancelled.has_value());
    EXPECT_EQ(cancelled.error(), app::WorkflowFailure::cancelled());
    EXPECT_EQ(token.polls(), 2);
}

TEST(CompareSteps, ClosingOnTheWayOutKeepsTheGivenFailure) {
    WorkspaceFixture fixture;
    const std::filesystem::path root = fixture.workspace()->root();
    app::WorkflowFailure failure = app::WorkflowFailure::with_org_alias(app::WorkflowFailure::operation("boom"), "dev");
    const app::WorkflowFailure returned = app::close_preserving_workspace(fixture.workspace(), failure);
    EXPECT_EQ(returned, failure);
    EXPECT_FALSE(std::filesystem::exists(root));

    EXPECT_EQ(app::close_continuation(std::nullopt, failure), failure);
    app::RetrieveContinuation continuation{fixture.workspace(), {}};
    EXPECT_EQ(app::close_continuation(continuation, failure), failure);
}

TEST(CompareSteps, AFailedRemovalIsAppendedToTheFailure) {
    WorkspaceFixture fixture;
    // A root replaced by another folder is refused by the identity check.
    const std::filesystem::path root = fixture.workspace()->root();
    std::filesystem::rename(root, root.string() + "-moved");
    std::filesystem::create_directory(root);
    const app::WorkflowFailure returned =
        app::close_preserving_workspace(fixture.workspace(), app::WorkflowFailure::single(FailureKind::Validation, "main"));
    EXPECT_EQ(returned.kind, FailureKind::Validation);
    ASSERT_EQ(returned.messages.size(), 2U);
    EXPECT_EQ(returned.messages[0], "main");
    EXPECT_TRUE(returned.messages[1].starts_with("Refusing to use replaced workspace path")) << returned.messages[1];
}

TEST(CompareSteps, ReadSelectedKeepsFieldsOfSelectedObjects) {
    auto component = [](MetadataType type, std::string name) {
        domain::MetadataComponent c;
        c.key = ComponentKey{type, std::move(name)};
        return c;
    };
    std::vector<domain::MetadataComponent> fields{component(MetadataType::CustomField, "Invoice__c.A__c"),
                                                  component(MetadataType::CustomField, "Other__c.B__c"),
                                                  component(MetadataType::CustomField, "Invoice__c.C__c")};
    auto kept = app::read_selected(fields, MetadataType::CustomField.descriptor(), {"Invoice__c"});
    ASSERT_EQ(kept.size(), 2U);
    EXPECT_EQ(kept[0].key.name, "Invoice__c.A__c");
    EXPECT_EQ(kept[1].key.name, "Invoice__c.C__c");

    std::vector<domain::MetadataComponent> classes{component(MetadataType::ApexClass, "A.B"),
                                                   component(MetadataType::ApexClass, "A")};
    auto whole = app::read_selected(classes, MetadataType::ApexClass.descriptor(), {"A"});
    ASSERT_EQ(whole.size(), 1U);
    EXPECT_EQ(whole[0].key.name, "A");
}

}  // namespace
}  // namespace ambrel::app_tests
