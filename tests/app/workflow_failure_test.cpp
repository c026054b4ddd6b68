#include "app/workflow_failure.hpp"

#include <gtest/gtest.h>

namespace ambrel::app {
namespace {

TEST(WorkflowFailure, BlankMessagesAreNeverStored) {
    const WorkflowFailure failure = WorkflowFailure::single(FailureKind::Validation, "   ");
    EXPECT_TRUE(failure.messages.empty());
    EXPECT_EQ(failure.detail_text(), "Validation");
    EXPECT_FALSE(failure.org_alias.has_value());
}

TEST(WorkflowFailure, MessagesKeepTheirSpacesAndRepeatsAreDroppedFromTheDetail) {
    WorkflowFailure failure = WorkflowFailure::operation("  A  ");
    failure.add_suppressed("B");
    failure.add_suppressed("  A  ");
    failure.add_suppressed("\t\u3000");
    failure.add_suppressed("");
    EXPECT_EQ(failure.messages, (std::vector<std::string>{"  A  ", "B", "  A  "}));
    EXPECT_EQ(failure.detail_text(), "  A  \nB");
}

TEST(WorkflowFailure, EveryKindNamesItselfWhenItHasNoMessage) {
    const std::pair<FailureKind, std::string> cases[] = {{FailureKind::Cancelled, "Cancelled"},
                                                         {FailureKind::Prerequisite, "Prerequisite"},
                                                         {FailureKind::Validation, "Validation"},
                                                         {FailureKind::Operation, "Operation"}};
    for (const auto& [kind, text] : cases) {
        SCOPED_TRACE(text);
        EXPECT_EQ(WorkflowFailure::single(kind, "").detail_text(), text);
    }
}

TEST(WorkflowFailure, CancelledHasExactlyTheCancellationMessage) {
    const WorkflowFailure failure = WorkflowFailure::cancelled();
    EXPECT_EQ(failure.kind, FailureKind::Cancelled);
    EXPECT_EQ(failure.messages, (std::vector<std::string>{"Salesforce field workflow was cancelled"}));
}

TEST(WorkflowFailure, TheLastOrgAliasWins) {
    WorkflowFailure failure = WorkflowFailure::with_org_alias(WorkflowFailure::operation("x"), "first");
    failure = WorkflowFailure::with_org_alias(std::move(failure), "second");
    EXPECT_EQ(failure.org_alias, "second");
    EXPECT_EQ(WorkflowFailure::with_org_alias(WorkflowFailure::operation("x"), "").org_alias, "");
    EXPECT_EQ(failure.messages, (std::vector<std::string>{"x"}));
}

}  // namespace
}  // namespace ambrel::app
