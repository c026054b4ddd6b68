#include "app/application_service.hpp"

#include <gtest/gtest.h>

#include "app_test_rows.hpp"
#include "support/doubles.hpp"
#include "support/programming_error.hpp"
#include "support/fake_ports.hpp"
#include "support/fake_use_cases.hpp"

namespace ambrel::app_tests {
namespace {

using app::FailureKind;
using app::QuillaryApplicationService;
using testing::RecordingPorts;

QuillaryApplicationService base_service(const RecordingPorts& ports) {
    return QuillaryApplicationService::with_git_and_layouts(ports.core, ports.git, ports.target_layout_reading,
                                                            ports.permission_set_name_listing, ports.schema,
                                                            ports.bundle);
}

TEST(ApplicationService, OptionalGroupsStartAtTheirFixedFailures) {
    RecordingPorts ports;
    const QuillaryApplicationService service = base_service(ports);
    domain::NeverCancelled token;
    const endpoint::DeployEndpoint target = org_endpoint("t");

    auto tracking = service.tracking().target_field_reading(target, {}, "65.0", token);
    ASSERT_FALSE(tracking);
    EXPECT_EQ(tracking.error(), app::WorkflowFailure::single(FailureKind::Validation,
                                                             "Field history tracking is not available in this configuration."));
    auto quick = service.quick_deploy_dependencies().quick_deployment("0Af", "t", token);
    ASSERT_FALSE(quick);
    EXPECT_EQ(quick.error(),
              app::WorkflowFailure::single(FailureKind::Validation, "Quick Deploy is not available in this configuration."));
    auto login = service.login().alias_login("a", "https://login.salesforce.com", {}, token);
    ASSERT_FALSE(login);
    EXPECT_EQ(login.error(), app::WorkflowFailure::single(FailureKind::Validation,
                                                          "Creating an org alias is not available in this configuration."));
    auto listing = service.procedure_versions().expression_set_version_listing("o", "d", token);
    ASSERT_FALSE(listing);
    EXPECT_EQ(listing.error(), app::WorkflowFailure::operation("Revenue Cloud records are not available in this configuration."));
    auto activation = service.procedure_versions().expression_set_version_activation("o", "65.0", "id", true, token);
    ASSERT_FALSE(activation);
    EXPECT_EQ(activation.error(), listing.error());

    // The preparation use cases answer with the default after their cancellation check.
    for (bool apply : {false, true}) {
        SCOPED_TRACE(apply);
        auto report = apply ? service.apply_org_preparation("s", "t", token) : service.inspect_org_preparation("s", "t", token);
        ASSERT_FALSE(report);
        EXPECT_EQ(report.error(), app::WorkflowFailure::single(FailureKind::Validation,
                                                               "Preparing the orgs is not available in this configuration."));
    }
}

TEST(ApplicationService, DefaultsIgnoreTheirToken) {
    RecordingPorts ports;
    const QuillaryApplicationService service = base_service(ports);
    testing::TestToken token;
    token.cancel();
    auto quick = service.quick_deploy_dependencies().quick_deployment("0Af", "t", token);
    ASSERT_FALSE(quick);
    EXPECT_EQ(quick.error().kind, FailureKind::Validation);
    EXPECT_EQ(token.polls(), 0);
}

TEST(ApplicationService, BuildersReplaceOneGroupAndReleaseTheOldOne) {
    RecordingPorts ports;
    auto first = std::make_shared<testing::RecordingQuickDeployDependencies>();
    auto second = std::make_shared<testing::RecordingQuickDeployDependencies>();
    std::weak_ptr<testing::RecordingQuickDeployDependencies> first_watch = first;
    QuillaryApplicationService service = QuillaryApplicationService::with_quick_deploy(base_service(ports), first);
    first.reset();
    service = QuillaryApplicationService::with_quick_deploy(std::move(service), second);
    EXPECT_TRUE(first_watch.expired());
    EXPECT_EQ(&service.quick_deploy_dependencies(), second.get());
    EXPECT_EQ(&service.core(), ports.core.get());

    service = QuillaryApplicationService::with_preparation(std::move(service), ports.preparation);
    ports.preparation->script.preparation_inspection.answer(data::preparation::OrgPreparationReport{});
    domain::NeverCancelled token;
    EXPECT_TRUE(service.inspect_org_preparation("src", "tgt", token));
    const auto calls = ports.preparation->script.preparation_inspection.calls();
    ASSERT_EQ(calls.size(), 1U);
    EXPECT_EQ(std::get<0>(calls[0]), "src");
    EXPECT_EQ(std::get<1>(calls[0]), "tgt");
}

TEST(ApplicationService, ACancelledTokenStopsUseCasesBeforeAnyPort) {
    RecordingPorts ports;
    QuillaryApplicationService service = QuillaryApplicationService::with_preparation(base_service(ports), ports.preparation);
    testing::TestToken token;
    token.cancel();
    EXPECT_EQ(service.inspect_org_preparation("s", "t", token).error(), app::WorkflowFailure::cancelled());
    EXPECT_EQ(service.apply_org_preparation("s", "t", token).error(), app::WorkflowFailure::cancelled());
    // The request checks come first; a valid request then stops at the token.
    const app::CompareSelection selection{{metadata_types::MetadataType::ApexClass, {"A"}}};
    EXPECT_EQ(service.compare_endpoints(org_endpoint("s"), org_endpoint("t"), selection,
                                        metadata_types::LayoutComparisonMode::Whole, token)
                  .error(),
              app::WorkflowFailure::cancelled());
    EXPECT_EQ(ports.core->script.org_alias_listing.count(), 0U);
    EXPECT_EQ(ports.preparation->script.preparation_inspection.count(), 0U);
}

TEST(ApplicationService, GitOperationsPassThroughWithoutAToken) {
    RecordingPorts ports;
    const QuillaryApplicationService service = base_service(ports);
    EXPECT_TRUE(service.validate_git_target(org_endpoint("o"))->is_valid());
    EXPECT_EQ(ports.git->script.git_target_validation.count(), 0U);

    ports.git->script.git_target_validation.answer(app::ports::GitTargetCheck::refused("Branch main is checked out."));
    auto refused = service.validate_git_target(git_endpoint("/r", "main"));
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->refusal, "Branch main is checked out.");

    git::GitRepoInspection inspection;
    inspection.current_branch = "main";
    ports.git->script.repo_inspection.answer(inspection);
    EXPECT_EQ(service.inspect_git_repo("/r").value(), inspection);
    ports.git->script.repo_init_check.answer(true);
    EXPECT_TRUE(service.can_initialize_git_repo("/r"));
    ports.git->script.repo_initialization.answer(std::unexpected(app::WorkflowFailure::operation("no")));
    EXPECT_EQ(service.init_git_repo("/r").error().detail_text(), "no");
}

TEST(ApplicationService, DiagnosticsAreCutToTheirCharacterLimit) {
    RecordingPorts ports;
    const QuillaryApplicationService service = base_service(ports);
    ports.core->script.diagnostic_sanitizer.answer(std::string(70'000, 'a'));
    EXPECT_EQ(service.sanitize_diagnostic("raw").size(), 65'536U);
    std::string accented;
    for (int i = 0; i < 70'000; ++i) accented += "\xC3\xA9";
    ports.core->script.diagnostic_sanitizer.answer(accented);
    EXPECT_EQ(service.sanitize_diagnostic("raw").size(), 2U * 65'536U);
    EXPECT_EQ(std::get<0>(ports.core->script.diagnostic_sanitizer.calls()[0]), "raw");
}

TEST(ApplicationService, AMissingGroupIsAProgrammingError) {
    RecordingPorts ports;
    EXPECT_THROW(QuillaryApplicationService::with_git_and_layouts(nullptr, ports.git, ports.target_layout_reading,
                                                                  ports.permission_set_name_listing, ports.schema,
                                                                  ports.bundle),
                 ::ambrel::support::ProgrammingError);
    EXPECT_THROW(QuillaryApplicationService::with_login(base_service(ports), nullptr), ::ambrel::support::ProgrammingError);
}

TEST(UseCases, CompareByAliasesBuildsAliasOnlyEndpoints) {
    testing::RecordingUseCases use_cases;
    domain::NeverCancelled token;
    const app::CompareSelection selection{{MetadataType::ApexClass, {"A"}}};
    (void)use_cases.compare("dev", "uat", selection, token);
    const auto calls = use_cases.script.compare_endpoints.calls();
    ASSERT_EQ(calls.size(), 1U);
    const auto& [source, target, recorded_selection, mode, cancelled] = calls[0];
    ASSERT_TRUE(source.is_org());
    EXPECT_EQ(source.org()->org.alias, "dev");
    EXPECT_EQ(source.org()->org.username, "");
    EXPECT_EQ(source.org()->org.org_id, "");
    EXPECT_EQ(source.org()->org.kind, endpoint::OrgKind::Other);
    EXPECT_FALSE(source.org()->org.instance_url.has_value());
    EXPECT_EQ(target.org()->org.alias, "uat");
    EXPECT_EQ(recorded_selection, selection);
    EXPECT_EQ(mode, metadata_types::LayoutComparisonMode::Whole);
    EXPECT_FALSE(cancelled);
    EXPECT_TRUE(use_cases.supports_external_keys());
}

TEST(UseCases, ThinCompareVariantsPassTheirFlagsOn) {
    RecordingPorts ports;
    const QuillaryApplicationService service = base_service(ports);
    EXPECT_TRUE(service.supports_external_keys());

    testing::RecordingUseCases fake;
    fake.script.compare_endpoints.answer(std::unexpected(app::WorkflowFailure::operation("scripted")));
    domain::NeverCancelled token;
    EXPECT_EQ(fake.compare("a", "b", {}, token).error().detail_text(), "scripted");
    EXPECT_EQ(fake.compare("a", "b", {}, token).error().detail_text(), "unscripted call to compare_endpoints");
}

TEST(RecordingPorts, RecordArgumentsAndAnswerFromTheScript) {
    RecordingPorts ports;
    testing::TestToken token;
    const app::CompareSelection selection{{MetadataType::ApexClass, {"A"}}};
    app::RetrieveContinuation continuation{nullptr, selection};
    ports.core->script.metadata_retrieval.answer(app::RetrievedWorkspace{nullptr, {"Missing__c"}});

    auto first = ports.core->metadata_retrieval("src@x", "tgt@x", selection, {"Account"}, nullptr,
                                                metadata::retrieve::RetrieveScope::Source, "65.0", token);
    token.cancel();
    auto second = ports.core->metadata_retrieval("src@x", "tgt@x", selection, {}, &continuation,
                                                 metadata::retrieve::RetrieveScope::Target, "65.0", token);
    ASSERT_TRUE(first.has_value());
    EXPECT_EQ(first->missing_objects, std::set<std::string>{"Missing__c"});
    ASSERT_FALSE(second.has_value());
    EXPECT_EQ(second.error().detail_text(), "unscripted call to metadata_retrieval");

    const auto calls = ports.core->script.metadata_retrieval.calls();
    ASSERT_EQ(calls.size(), 2U);
    EXPECT_FALSE(std::get<4>(calls[0]).has_value());
    EXPECT_FALSE(std::get<7>(calls[0]));
    ASSERT_TRUE(std::get<4>(calls[1]).has_value());
    EXPECT_EQ(std::get<4>(calls[1])->retrieved, selection);
    EXPECT_EQ(std::get<5>(calls[1]), metadata::retrieve::RetrieveScope::Target);
    EXPECT_TRUE(std::get<7>(calls[1]));
}

}  // namespace
}  // namespace ambrel::app_tests
