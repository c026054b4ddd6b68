#include <gtest/gtest.h>

#include <string>

#include "deploy_fixture.hpp"
#include "support/programming_error.hpp"
#include "support/test_paths.hpp"

namespace ambrel::deploy_tests {
namespace {

using Documents = std::map<std::string, std::string>;

const std::filesystem::path kDreamhouse = "dreamhouse-lwc/force-app/main/default";
const std::filesystem::path kEbikes = "ebikes-lwc/force-app/main/default";
constexpr std::string_view kProperty = "Property__c-Property Layout";
constexpr std::string_view kOrder = "Order__c-Order Layout";

std::filesystem::path corpus(const std::filesystem::path& project, const std::string& relative) {
    return testing::corpus_dir() / project / relative;
}

// A layout element row carrying its layout's source document, as the compare reads it.
ComponentDifference element(const std::filesystem::path& project, std::string_view layout, std::string element_name,
                            ChangeKind change = ChangeKind::Update) {
    const auto path = corpus(project, "layouts/" + std::string(layout) + ".layout-meta.xml");
    auto difference = row(MetadataType::Layout, std::string(layout) + "::" + element_name, change,
                          MetadataDeployScope::Full, testing::read_file(path));
    difference.source.source_path = path;
    return difference;
}

std::string layout_text(const std::filesystem::path& project, std::string_view layout) {
    return testing::read_file(corpus(project, "layouts/" + std::string(layout) + ".layout-meta.xml"));
}

TEST(CollapseLayouts, ElementRowsBecomeOneRowWhereTheFirstStood) {
    DeployFixture fixture;
    auto price = element(kDreamhouse, kProperty, "field:Price__c");
    auto history = element(kDreamhouse, kProperty, "relatedList:RelatedHistoryList", ChangeKind::Add);
    auto status = element(kEbikes, kOrder, "field:Status__c");
    auto flow = row(MetadataType::Flow, "Route");
    auto plain = row(MetadataType::Layout, "Account-Account Layout");
    auto no_element = row(MetadataType::Layout, "Account-Account Layout::field:");
    fixture.ports.target_layout_reading->script.target_layout_reading.answer(
        Documents{{std::string(kProperty), layout_text(kDreamhouse, kProperty)}, {std::string(kOrder), layout_text(kEbikes, kOrder)}});
    auto session = session_of({.rows = {}});
    testing::TestToken token;
    auto collapse = fixture.service().collapse_layouts(*session, {flow, price, plain, status, history, no_element}, token);
    ASSERT_TRUE(collapse) << collapse.error().detail_text();
    EXPECT_EQ(token.polls(), 2);  // once before the port call, once by the recording fake
    ASSERT_EQ(collapse->rows.size(), 5u);
    EXPECT_EQ(collapse->rows[0].key(), flow.key());
    EXPECT_EQ(collapse->rows[1].key(), (ComponentKey{MetadataType::Layout, std::string(kProperty)}));
    EXPECT_EQ(collapse->rows[2].key(), plain.key());
    EXPECT_EQ(collapse->rows[3].key(), (ComponentKey{MetadataType::Layout, std::string(kOrder)}));
    EXPECT_EQ(collapse->rows[4].key(), no_element.key());
    EXPECT_EQ(collapse->rows[1].change, ChangeKind::Update);
    EXPECT_EQ(collapse->rows[1].source.source_path, price.source.source_path);
    EXPECT_NE(collapse->rows[1].source.document.find("<relatedList>RelatedHistoryList</relatedList>"), std::string::npos);
    EXPECT_TRUE(collapse->failures.empty());
    const auto calls = fixture.ports.target_layout_reading->script.target_layout_reading.calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(std::get<1>(calls[0]), (std::set<std::string>{std::string(kOrder), std::string(kProperty)}));

    auto spread = app::spread_collapsed_results(
        {{{MetadataType::Layout, std::string(kProperty)}, "ok", ChangeKind::Update, ComponentDeploymentStatus::Succeeded},
         {flow.key(), "f", ChangeKind::Update, ComponentDeploymentStatus::Succeeded}},
        collapse->expansions);
    ASSERT_EQ(spread.size(), 3u);
    EXPECT_EQ(spread[0], (ComponentDeploymentResult{price.key(), "ok", ChangeKind::Update, ComponentDeploymentStatus::Succeeded}));
    EXPECT_EQ(spread[1], (ComponentDeploymentResult{history.key(), "ok", ChangeKind::Add, ComponentDeploymentStatus::Succeeded}));
    EXPECT_EQ(spread[2].key, flow.key());
}

TEST(CollapseLayouts, RowsWithoutElementsCallNoPort) {
    DeployFixture fixture;
    auto session = session_of({.rows = {}});
    testing::TestToken token;
    auto collapse = fixture.service().collapse_layouts(*session, {row(MetadataType::Layout, "::field:Name")}, token);
    ASSERT_TRUE(collapse);
    EXPECT_EQ(collapse->rows.size(), 1u);
    EXPECT_EQ(token.polls(), 0);
    EXPECT_EQ(fixture.ports.target_layout_reading->script.target_layout_reading.count(), 0u);
}

TEST(CollapseLayouts, ProblemsFailTheElementRows) {
    auto price = element(kDreamhouse, kProperty, "field:Price__c");
    auto missing_field = element(kDreamhouse, kProperty, "field:Nope__c");
    auto broken = row(MetadataType::Layout, "Broken-Layout::field:Name", ChangeKind::Update, MetadataDeployScope::Full,
                      "<Layout><unclosed>");
    struct Case {
        std::string name;
        app::ports::PortResult<Documents> answer;
        std::vector<ComponentDifference> rows;
        std::vector<std::string> messages;
    };
    const std::vector<Case> cases{
        {"missing in target", Documents{}, {price},
         {"Layout 'Property__c-Property Layout' is no longer present in the target and could not be updated."}},
        {"port failure", std::unexpected(WorkflowFailure::operation("retrieve broke")), {price, broken},
         {"Layout 'Property__c-Property Layout' could not be read from the target: retrieve broke",
          "Layout 'Broken-Layout' could not be read from the target: retrieve broke"}},
        {"source element missing", Documents{{std::string(kProperty), layout_text(kDreamhouse, kProperty)}},
         {missing_field},
         {"Layout 'Property__c-Property Layout' could not be updated: The selected layout element is missing from the "
          "source layout: Nope__c"}},
        {"target unparsable", Documents{{std::string(kProperty), "not xml"}}, {price}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        DeployFixture fixture;
        fixture.ports.target_layout_reading->script.target_layout_reading.answer(c.answer);
        auto session = session_of({.rows = {}});
        auto collapse = fixture.service().collapse_layouts(*session, c.rows, fixture.never);
        ASSERT_TRUE(collapse);
        EXPECT_TRUE(collapse->rows.empty());
        ASSERT_EQ(collapse->failures.size(), c.rows.size());
        for (std::size_t i = 0; i < c.messages.size(); ++i) EXPECT_EQ(collapse->failures[i].message, c.messages[i]);
        if (c.messages.empty()) {
            EXPECT_TRUE(collapse->failures[0].message.starts_with(
                "Layout 'Property__c-Property Layout' could not be updated: Could not parse the target layout document"))
                << collapse->failures[0].message;
        }
    }

    DeployFixture cancelled;
    cancelled.ports.target_layout_reading->script.target_layout_reading.answer(
        std::unexpected(WorkflowFailure::single(FailureKind::Cancelled, "retrieve cancelled")));
    auto session = session_of({.rows = {}});
    auto collapse = cancelled.service().collapse_layouts(*session, {price}, cancelled.never);
    ASSERT_FALSE(collapse);
    EXPECT_EQ(collapse.error().first_message(), "retrieve cancelled");
}

ComponentDifference tracking_field() {
    const auto path = corpus(kDreamhouse, "objects/Property__c/fields/Price__c.field-meta.xml");
    auto field = row(MetadataType::CustomField, "Property__c.Price__c", ChangeKind::Update,
                     MetadataDeployScope::TrackingOnly, testing::read_file(path));
    field.source.source_path = path;
    return field;
}

TEST(SpliceTrackingToggles, SourceTogglesGoIntoTheTargetDocument) {
    DeployFixture fixture;
    std::vector<std::tuple<std::string, bool, bool>> spliced;
    fixture.adaptation->on_splice_tracking = [&](std::string_view document, bool history, bool feed) {
        spliced.emplace_back(std::string(document), history, feed);
        return std::expected<std::string, std::string>("<spliced/>");
    };
    fixture.ports.tracking->script.target_field_reading.answer(Documents{{"Property__c.Price__c", "<target/>"}});
    auto missing = row(MetadataType::CustomField, "Property__c.Gone__c", ChangeKind::Update, MetadataDeployScope::TrackingOnly);
    auto flow = row(MetadataType::Flow, "Route");
    auto session = session_of({.rows = {}});
    auto result = fixture.service().splice_tracking_toggles(*session, {tracking_field(), flow, missing}, fixture.never);
    ASSERT_TRUE(result);
    ASSERT_EQ(result->rows.size(), 2u);
    EXPECT_EQ(result->rows[0].source.document, "<spliced/>");
    EXPECT_EQ(result->rows[0].deploy_scope, MetadataDeployScope::TrackingOnly);
    EXPECT_EQ(result->rows[1].key(), flow.key());
    ASSERT_EQ(spliced.size(), 1u);
    EXPECT_EQ(spliced[0], (std::tuple<std::string, bool, bool>{"<target/>", true, true}));
    ASSERT_EQ(result->failures.size(), 1u);
    EXPECT_EQ(result->failures[0].message,
              "Field 'Property__c.Gone__c' is no longer present in the target; its tracking toggles were not deployed.");

    DeployFixture unparsable;
    unparsable.adaptation->on_splice_tracking = [](std::string_view, bool, bool) {
        return std::expected<std::string, std::string>(std::unexpected(std::string("bad target")));
    };
    unparsable.ports.tracking->script.target_field_reading.answer(Documents{{"Property__c.Price__c", "<x"}});
    auto failed = unparsable.service().splice_tracking_toggles(*session, {tracking_field()}, unparsable.never);
    ASSERT_TRUE(failed);
    ASSERT_EQ(failed->failures.size(), 1u);
    EXPECT_EQ(failed->failures[0].message, "Could not parse the target field document: bad target");
}

TEST(RunDeploy, GatesStopModesThatCannotLeaveRowsBehind) {
    auto price = element(kDreamhouse, kProperty, "field:Price__c");
    auto flow = row(MetadataType::Flow, "Route");
    for (DeployMode mode : {DeployMode::AllOrNothing, DeployMode::BestEffort}) {
        SCOPED_TRACE(static_cast<int>(mode));
        DeployFixture fixture;
        fixture.ports.target_layout_reading->script.target_layout_reading.answer(Documents{});
        fixture.ports.tracking->script.target_field_reading.answer(Documents{});
        auto session = session_of({.rows = {}});
        auto field = tracking_field();
        auto result = fixture.service().run_deploy(*session, {flow, price, field}, {flow, price, field}, {}, FlsMode::None,
                                                   std::nullopt, mode, std::nullopt, fixture.never);
        const std::string layout_message =
            "Layout 'Property__c-Property Layout' is no longer present in the target and could not be updated.";
        if (mode == DeployMode::AllOrNothing) {
            ASSERT_FALSE(result);
            EXPECT_EQ(result.error(), WorkflowFailure::operation("The package was not deployed: " + layout_message));
            EXPECT_EQ(fixture.ports.core->script.single_package_deployment.count(), 0u);
            continue;
        }
        ASSERT_TRUE(result) << result.error().detail_text();
        ASSERT_EQ(result->component_results.size(), 3u);
        EXPECT_EQ(result->component_results[0].key, flow.key());
        EXPECT_EQ(result->component_results[1],
                  (ComponentDeploymentResult{price.key(), layout_message, ChangeKind::Update, ComponentDeploymentStatus::Failed}));
        EXPECT_EQ(result->component_results[2].key, field.key());
        EXPECT_EQ(result->deploy_mode, DeployMode::BestEffort);
    }
}

TEST(RunDeploy, GitTargetCommitsAndNotesTheCommit) {
    DeployFixture fixture;
    auto price = element(kDreamhouse, kProperty, "field:Price__c");
    auto field = row(MetadataType::CustomField, "Account.Rating__c");
    fixture.ports.target_layout_reading->script.target_layout_reading.answer(Documents{});
    fixture.ports.git->script.git_commit.answer_with(
        [](const endpoint::DeployEndpoint&, const std::vector<ComponentDifference>& rows,
           const app::ports::ContainerDocuments&, const std::string&, const domain::CancellationToken&) {
            deployment::git_deploy::GitDeploySummary summary{"abc123", {}};
            for (const auto& r : rows) summary.results.push_back({r.key(), "written", r.change, ComponentDeploymentStatus::Succeeded});
            return app::ports::PortResult<deployment::git_deploy::GitDeploySummary>(summary);
        });
    auto session = session_of({.rows = {}, .target = repository("/repos/app", "main")});
    auto result = fixture.service().run_deploy(*session, {field, price}, {field, price}, {}, FlsMode::Additive, std::nullopt,
                                               DeployMode::ValidateOnly, std::nullopt, fixture.never);
    ASSERT_TRUE(result) << result.error().detail_text();
    EXPECT_EQ(result->detail_notes.leading_notes, (std::vector<std::string>{"Committed to app@main as abc123."}));
    EXPECT_TRUE(result->fls_results.empty());
    EXPECT_TRUE(result->package_completed);
    EXPECT_EQ(result->deploy_mode, DeployMode::BestEffort);
    ASSERT_EQ(result->component_results.size(), 2u);
    EXPECT_EQ(result->component_results[1].status, ComponentDeploymentStatus::Failed);
    const auto commits = fixture.ports.git->script.git_commit.calls();
    ASSERT_EQ(commits.size(), 1u);
    EXPECT_TRUE(std::get<2>(commits[0]).empty());
    EXPECT_EQ(std::get<3>(commits[0]), "src");
    EXPECT_EQ(fixture.ports.git->script.container_document_reading.count(), 0u);
    EXPECT_EQ(fixture.ports.core->script.org_alias_listing.count(), 1u);
}

TEST(RunDeploy, GitTargetWithContainersMergesTheirDocuments) {
    DeployFixture fixture;
    auto field = row(MetadataType::CustomField, "Account.Rating__c");
    const app::ports::ContainerDocuments source{{{domain::FlsContainerKind::Profile, "Admin"}, "<source/>"}};
    fixture.ports.git->script.container_document_reading.answer(source);
    fixture.ports.git->script.git_container_reading.answer(app::ports::ContainerDocuments{});
    const app::ports::ContainerDocuments merged{{{domain::FlsContainerKind::Profile, "Admin"}, "<merged/>"}};
    fixture.ports.git->script.container_document_merge.answer(merged);
    fixture.ports.git->script.git_commit.answer(deployment::git_deploy::GitDeploySummary{"c0ffee", {}});
    auto session = session_of({.rows = {}, .target = repository("/repos/app", "main")});
    testing::TestToken token;
    const app::ports::ContainerSelection chosen =
        std::set<app::ports::ContainerKey>{{domain::FlsContainerKind::Profile, "Admin"}};
    auto result = fixture.service().run_deploy(*session, {field}, {field}, {}, FlsMode::Additive, chosen,
                                               DeployMode::BestEffort, std::nullopt, token);
    ASSERT_TRUE(result) << result.error().detail_text();
    const auto reads = fixture.ports.git->script.container_document_reading.calls();
    ASSERT_EQ(reads.size(), 1u);
    ASSERT_EQ(std::get<1>(reads[0]).size(), 1u);
    EXPECT_EQ(std::get<1>(reads[0])[0].id, "selected:Profile:Admin");
    EXPECT_EQ(std::get<2>(fixture.ports.git->script.git_commit.calls()[0]), merged);
}

domain::FlsResult fls(std::string container, domain::FlsContainerKind kind, std::string message) {
    return domain::FlsResult{container, container, domain::PermissionSubject{domain::PermissionSubject::Tab{"T"}},
                             std::move(message), kind, domain::FlsResultStatus::Updated,
                             domain::PermissionGrant{domain::PermissionGrant::TabVisibility{}}};
}

TEST(RunDeploy, SinglePackageKeepsItsPermissionResultsSortedAndItsTestNote) {
    DeployFixture fixture;
    auto field = row(MetadataType::CustomField, "Account.Rating__c");
    deployment::single_package::SinglePackageSummary package = succeeded_package({field});
    package.fls_results = {fls("Admin", domain::FlsContainerKind::Profile, "p"),
                           fls("Sales", domain::FlsContainerKind::PermissionSet, std::string(70'000, 'm'))};
    package.test_failures = "Tests failed.";
    package.quick_deploy = domain::QuickDeployTicket{"0Af", "tgt", 1};
    fixture.ports.core->script.single_package_deployment.answer(package);
    auto session = session_of({.rows = {}});
    auto result = fixture.service().run_deploy(*session, {field}, {field}, {}, FlsMode::All, std::nullopt,
                                               DeployMode::ValidateOnly, std::nullopt, fixture.never);
    ASSERT_TRUE(result);
    ASSERT_EQ(result->fls_results.size(), 2u);
    EXPECT_EQ(result->fls_results[0].container, "Sales");
    EXPECT_EQ(result->fls_results[0].message.size(), 65'536u);
    // The tests' failures say why a validation was refused: they reach the details as on the Best Effort road.
    EXPECT_EQ(result->detail_notes.leading_notes, std::vector<std::string>{"Tests failed."});
    EXPECT_EQ(result->quick_deploy, package.quick_deploy);
    EXPECT_EQ(result->deploy_mode, DeployMode::ValidateOnly);
    const auto calls = fixture.ports.core->script.single_package_deployment.calls();
    EXPECT_EQ(std::get<1>(calls[0]).fields.size(), 1u);
}

TEST(BestEffortPackage, TransfersTheSubjectsWhoseRowsDeployed) {
    DeployFixture fixture;
    auto rating = row(MetadataType::CustomField, "Account.Rating__c");
    auto size = row(MetadataType::CustomField, "Account.Size__c");
    auto broken = row(MetadataType::CustomField, "Account.Broken__c");
    auto unchanged = row(MetadataType::CustomObject, "Order__c", ChangeKind::NoChange);
    auto package = succeeded_package({rating, size, broken});
    package.component_results[2].status = ComponentDeploymentStatus::Failed;
    package.test_failures = "Tests failed.";
    fixture.ports.core->script.single_package_deployment.answer(package);
    WorkflowFailure transfer_failure = WorkflowFailure::operation("inventory broke");
    transfer_failure.add_suppressed("second reason");
    fixture.ports.core->script.fls_synchronization.answer(std::unexpected(transfer_failure));
    auto session = session_of({.rows = {}});
    const std::vector<domain::PermissionSubject> subjects{
        domain::PermissionSubject{domain::PermissionSubject::Object{"Order__c"}}};
    const app::ports::ContainerSelection chosen = std::set<app::ports::ContainerKey>{
        {domain::FlsContainerKind::PermissionSet, "Sales"}, {domain::FlsContainerKind::Profile, "Admin"}};
    auto result = fixture.service().run_deploy(*session, {rating, size, broken, unchanged}, {rating, size, broken}, subjects,
                                               FlsMode::Additive, chosen, DeployMode::BestEffort, std::nullopt,
                                               fixture.never);
    ASSERT_TRUE(result) << result.error().detail_text();
    const auto transfer = fixture.ports.core->script.fls_synchronization.calls();
    ASSERT_EQ(transfer.size(), 1u);
    const auto& selection = std::get<2>(transfer[0]);
    EXPECT_EQ(selection.fields.size(), 2u);
    EXPECT_FALSE(selection.fields.contains(domain::FieldKey{"Account", "Broken__c"}));
    EXPECT_EQ(selection.subjects.size(), 1u);
    const auto package_calls = fixture.ports.core->script.single_package_deployment.calls();
    EXPECT_EQ(std::get<2>(package_calls[0]), FlsMode::None);
    EXPECT_FALSE(std::get<3>(package_calls[0]).has_value());

    ASSERT_EQ(result->fls_results.size(), 6u);
    EXPECT_EQ(result->fls_results[0].container_kind, domain::FlsContainerKind::PermissionSet);
    EXPECT_EQ(result->fls_results[0].status, domain::FlsResultStatus::NotAttempted);
    EXPECT_EQ(result->fls_results[0].message,
              "Permission transfer was not attempted because the container inventory failed.");
    EXPECT_EQ(result->fls_results[5].container, "Admin");
    EXPECT_EQ(result->detail_notes.leading_notes,
              (std::vector<std::string>{"Tests failed.", "Permission transfer failed: inventory broke\nsecond reason"}));
    EXPECT_TRUE(result->package_completed);

}

// A cancel during the permission transfer keeps what the package did to the org: its rows, the test
// note, the transfer's rows marked cancelled and a note that says so.
TEST(BestEffortPackage, ACancelledTransferKeepsTheDeployedPackage) {
    auto rating = row(MetadataType::CustomField, "Account.Rating__c");
    auto broken = row(MetadataType::CustomField, "Account.Broken__c");
    auto package = succeeded_package({rating, broken});
    package.component_results[1].status = ComponentDeploymentStatus::Failed;
    package.component_results[1].message = "bad field";
    package.test_failures = "Apex test failures: T.m: boom";
    auto session = session_of({.rows = {}});
    const app::ports::ContainerSelection chosen =
        std::set<app::ports::ContainerKey>{{domain::FlsContainerKind::PermissionSet, "Sales"}};
    const std::string kNote = "Cancelled during the field-level security transfer; the package itself was deployed.";

    for (const bool during : {true, false}) {
        SCOPED_TRACE(during ? "cancelled during the transfer" : "cancelled before the transfer began");
        DeployFixture fixture;
        ambrel::testing::TestToken token;
        // Cancelled while the package ran, or during the transfer.
        fixture.ports.core->script.single_package_deployment.answer_with([&](auto&&...) {
            if (!during) token.cancel();
            return app::ports::PortResult<deployment::single_package::SinglePackageSummary>(package);
        });
        fixture.ports.core->script.fls_synchronization.answer(std::unexpected(WorkflowFailure::cancelled()));
        auto result = fixture.service().run_deploy(*session, {rating, broken}, {rating, broken}, {}, FlsMode::Additive,
                                                   chosen, DeployMode::BestEffort, std::nullopt, token);
        ASSERT_TRUE(result) << result.error().detail_text();
        EXPECT_EQ(fixture.ports.core->script.fls_synchronization.count(), during ? 1u : 0u);
        ASSERT_EQ(result->component_results.size(), 2u);
        EXPECT_EQ(result->component_results[0].status, ComponentDeploymentStatus::Succeeded);
        EXPECT_EQ(result->component_results[1].message, "bad field");
        ASSERT_EQ(result->fls_results.size(), 1u);
        EXPECT_EQ(result->fls_results[0].container, "Sales");
        EXPECT_EQ(result->fls_results[0].status, domain::FlsResultStatus::NotAttempted);
        EXPECT_EQ(result->fls_results[0].message,
                  "Permission transfer was cancelled before this permission was confirmed.");
        EXPECT_EQ(result->detail_notes.leading_notes,
                  (std::vector<std::string>{"Apex test failures: T.m: boom", kNote}));
    }

    // A package that ended without a verdict of the target was not deployed: no such note.
    DeployFixture rejected;
    auto refused = package;
    refused.package_completed = false;
    rejected.ports.core->script.single_package_deployment.answer(refused);
    rejected.ports.core->script.fls_synchronization.answer(std::unexpected(WorkflowFailure::cancelled()));
    auto result = rejected.service().run_deploy(*session, {rating, broken}, {rating, broken}, {}, FlsMode::Additive,
                                                chosen, DeployMode::BestEffort, std::nullopt, rejected.never);
    ASSERT_TRUE(result);
    EXPECT_EQ(result->detail_notes.leading_notes, std::vector<std::string>{"Apex test failures: T.m: boom"});
}

TEST(BestEffortPackage, SharedSubjectsAndFieldsWithoutARowAreProgrammingErrors) {
    auto rating = row(MetadataType::CustomField, "Account.Rating__c");
    auto order = row(MetadataType::CustomObject, "Order__c");
    const domain::PermissionSubject lone_field{domain::PermissionSubject::Field{"Account", "Lone__c"}};
    struct Case {
        std::string name;
        std::vector<ComponentDifference> rows;
        std::vector<domain::PermissionSubject> subjects;
        FlsMode mode;
        std::optional<std::string> refusal;
    };
    const std::vector<Case> cases{
        {"shared field", {rating, rating}, {}, FlsMode::Additive, "Duplicate selected field key: Account.Rating__c"},
        {"shared object", {order, rating, order}, {}, FlsMode::Additive, "Duplicate selected permission subject: Order__c"},
        {"field without a row", {rating}, {lone_field}, FlsMode::Additive,
         "selected field subject must have a source definition"},
        // Nothing travels without permissions, so nothing is refused.
        {"no permissions", {rating, rating}, {}, FlsMode::None, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        DeployFixture fixture;
        fixture.ports.core->script.fls_synchronization.answer(std::vector<domain::FlsResult>{});
        auto session = session_of({.rows = {}});
        try {
            auto result = fixture.service().run_best_effort_package(*session, c.rows, c.rows, c.subjects, c.mode,
                                                                    std::nullopt, std::nullopt, fixture.never);
            EXPECT_FALSE(c.refusal.has_value());
            EXPECT_TRUE(result.has_value());
        } catch (const support::ProgrammingError& error) {
            ASSERT_TRUE(c.refusal.has_value()) << error.what();
            EXPECT_EQ(std::string(error.what()), *c.refusal);
        }
    }
}

TEST(BestEffortPackage, NoTransferWithoutPermissionsOrSubjects) {
    DeployFixture fixture;
    auto rating = row(MetadataType::CustomField, "Account.Rating__c");
    auto session = session_of({.rows = {}});
    auto result = fixture.service().run_deploy(*session, {rating}, {rating}, {}, FlsMode::None, std::nullopt,
                                               DeployMode::BestEffort, std::nullopt, fixture.never);
    ASSERT_TRUE(result);
    EXPECT_EQ(fixture.ports.core->script.fls_synchronization.count(), 0u);
    EXPECT_TRUE(result->fls_results.empty());
    EXPECT_TRUE(result->detail_notes.leading_notes.empty());
}

}  // namespace
}  // namespace ambrel::deploy_tests
