// The catalogue and org ports over the fake `sf`: the command lines they run, the progress stages they
// report in order, the org alias on their failures or not, and their own sentences.

#include "wiring/catalogue_ports.hpp"

#include <atomic>
#include <chrono>
#include <filesystem>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/credentials.hpp"
#include "support/programming_error.hpp"
#include "wiring/fake_sf_context.hpp"
#include "workflow/queue_executor.hpp"

namespace ambrel::wiring_test {
namespace {

using app::FailureKind;
using app::WorkflowFailure;
using metadata_types::MetadataType;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;
using Lines = std::vector<std::vector<std::string>>;
namespace wiring = server::wiring;

constexpr std::string_view kCancelled = "Salesforce field workflow was cancelled";
constexpr std::string_view kNoCli = "Salesforce CLI could not be started or did not return a valid version response.";
constexpr std::string_view kSecret = "00D5g00000DHOUS!standin";

std::filesystem::path catalogue_fixture(std::string_view name) {
    return ambrel::testing::tests_dir() / "fixtures" / "catalogs" / std::string(name);
}

fake::Answer catalogue_capture(std::string_view name) {
    fake::Answer answer;
    answer.out_file(catalogue_fixture(std::string(name) + ".out"));
    answer.err_file(catalogue_fixture(std::string(name) + ".err"));
    int code = 0;
    std::ifstream(catalogue_fixture(std::string(name) + ".rc")) >> code;
    answer.exit_code(code);
    return answer;
}

fake::Answer records(std::string_view records_json) {
    return fake::Answer().out(R"({"status":0,"result":{"records":)" + std::string(records_json) +
                              R"(,"totalSize":1,"done":true},"warnings":[]})");
}

class CatalogueContextTest : public FakeSfContextTest {};

TEST_F(CatalogueContextTest, OrgListingChecksTheCliThenListsTheOrgs) {
    scenario(fake::Scenario()
                 .on_exact({"version", "--json"}, fake::Answer::capture("version"))
                 .on_exact({"org", "list", "--skip-connection-status", "--json"}, catalogue_capture("orglist")));
    const auto orgs = wiring::make_org_alias_listing(context_)(token_);
    ASSERT_TRUE(orgs) << orgs.error().detail_text();
    ASSERT_EQ(orgs->size(), 1u);
    EXPECT_EQ(orgs->front().username, "dana.admin@dreamhouse.standin");
    EXPECT_EQ(command_lines(), (Lines{{"version", "--json"}, {"org", "list", "--skip-connection-status", "--json"}}));
    EXPECT_THAT(stages(), ElementsAre("checkingCli", "listingOrgs"));
}

TEST_F(CatalogueContextTest, OrgListingWithoutAUsableCliIsAPrerequisiteFailureAndListsNothing) {
    struct Case {
        std::string name;
        std::string executable;
        fake::Answer version;
    };
    const std::vector<Case> cases = {
        {"no executable", (root_.path() / "no-such-sf").string(), fake::Answer()},
        {"no answer", fake::executable().string(), fake::Answer().out("")},
        {"not JSON", fake::executable().string(), fake::Answer().out("sf: command not found here\n")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto sink = progress::ProgressSink::create(reporter_);
        const auto before = stages().size();
        sink->set_operation_id(1);
        const auto context = wiring::make_wiring_context(root_.path(), sink, nullptr, cache_, c.executable);
        scenario(fake::Scenario()
                     .on_exact({"version", "--json"}, c.version)
                     .on_prefix({"org", "list"}, catalogue_capture("orglist")));
        const auto orgs = wiring::make_org_alias_listing(context)(token_);
        ASSERT_FALSE(orgs);
        EXPECT_EQ(orgs.error().kind, FailureKind::Prerequisite);
        EXPECT_EQ(orgs.error().messages, std::vector<std::string>{std::string(kNoCli)});
        EXPECT_FALSE(orgs.error().org_alias);
        const auto all = stages();
        EXPECT_EQ(std::vector<std::string>(all.begin() + static_cast<std::ptrdiff_t>(before), all.end()),
                  std::vector<std::string>{"checkingCli"});
        for (const auto& line : command_lines()) EXPECT_NE(line.at(0), "org");
    }
}

TEST_F(CatalogueContextTest, OrgListingCancelledDuringTheCheckRunsNoListing) {
    scenario(fake::Scenario()
                 .on_exact({"version", "--json"}, fake::Answer::capture("version").sleep_ms(10000))
                 .on_prefix({"org", "list"}, catalogue_capture("orglist")));
    const std::filesystem::path record = fake_.record_file();
    ambrel::testing::TestToken token([record] { return std::filesystem::exists(record); });
    const auto orgs = wiring::make_org_alias_listing(context_)(token);
    ASSERT_FALSE(orgs);
    EXPECT_EQ(orgs.error().kind, FailureKind::Cancelled);
    EXPECT_EQ(orgs.error().messages, std::vector<std::string>{std::string(kCancelled)});
    EXPECT_EQ(command_lines(), (Lines{{"version", "--json"}}));
    EXPECT_THAT(stages(), ElementsAre("checkingCli"));
}

TEST_F(CatalogueContextTest, CleanedOrgListingErrorsHideTokens) {
    scenario(fake::Scenario()
                 .on_exact({"version", "--json"}, fake::Answer::capture("version"))
                 .on_prefix({"org", "list"}, fake::Answer()
                                                 .out_file(ambrel::testing::tests_dir() / "fixtures" / "wiring" /
                                                           "orglist_failed_with_token.out")
                                                 .exit_code(1)));
    const auto orgs = wiring::make_org_alias_listing(context_)(token_);
    ASSERT_FALSE(orgs);
    EXPECT_EQ(orgs.error().kind, FailureKind::Operation);
    EXPECT_THAT(orgs.error().detail_text(), HasSubstr("[REDACTED]"));
    EXPECT_THAT(orgs.error().detail_text(), Not(HasSubstr(kSecret)));
}

TEST_F(CatalogueContextTest, ListingsReportTheirStageAndDetailAndNameTheOrgOnFailure) {
    scenario(fake::Scenario()
                 .orgs({"dh"})
                 .on_contains({"--metadata-type", "ApexClass"}, fake::Answer::capture("standin/listmeta_apexclass"))
                 .on_contains({"--metadata-type", "Profile"}, fake::Answer::capture("standin/listmeta_profile"))
                 .on_prefix({"data", "query"},
                            records(R"([{"QualifiedApiName":"Account","Label":"Account","NamespacePrefix":null,)"
                                    R"("IsCustomizable":true}])")));
    struct Case {
        std::string name;
        std::function<app::ports::PortResult<std::vector<cli::catalogs::SalesforceObject>>(const std::string&)> run;
        std::string stage;
        std::optional<std::string> detail;
        std::vector<std::string> command_start;
    };
    const std::vector<Case> cases = {
        {"objects",
         [&](const std::string& org) { return wiring::make_object_listing(context_)(org, "detail of " + org, token_); },
         "listingObjects", "detail of dh", {"data", "query", "--query"}},
        {"metadata",
         [&](const std::string& org) { return wiring::make_metadata_listing(context_)("Profile", org, token_); },
         "listingMetadata", "Profile", {"org", "list", "metadata", "--metadata-type", "Profile"}},
        {"Apex classes", [&](const std::string& org) { return wiring::make_apex_class_listing(context_)(org, token_); },
         "listingApexTests", std::nullopt, {"org", "list", "metadata", "--metadata-type", "ApexClass"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto before_calls = calls().size();
        const auto before_events = reporter_->events().size();
        const auto listed = c.run("dh");
        ASSERT_TRUE(listed) << listed.error().detail_text();
        EXPECT_FALSE(listed->empty());
        const auto all = calls();
        ASSERT_EQ(all.size(), before_calls + 1);
        const auto& args = all.back().args;
        EXPECT_TRUE(std::equal(c.command_start.begin(), c.command_start.end(), args.begin()));
        EXPECT_THAT(args, ::testing::IsSupersetOf({"--target-org", "dh", "--json"}));
        const auto events = reporter_->events();
        ASSERT_EQ(events.size(), before_events + 1);
        EXPECT_EQ(progress::wire_id(events.back().stage), c.stage);
        EXPECT_EQ(events.back().detail, c.detail);
        EXPECT_FALSE(events.back().current);
        EXPECT_FALSE(events.back().total);

        const auto failed = c.run("unknown-org");
        ASSERT_FALSE(failed);
        EXPECT_EQ(failed.error().kind, FailureKind::Operation);
        EXPECT_EQ(failed.error().org_alias, "unknown-org");
        EXPECT_THAT(failed.error().detail_text(), HasSubstr("unknown-org"));
    }
}

TEST_F(CatalogueContextTest, OrgDescriptionAnswersTheTypeAndNamesNoOrgOnFailure) {
    scenario(fake::Scenario().orgs({"dh"}).on_prefix({"data", "query"}, catalogue_capture("q_org")));
    const auto port = wiring::make_org_description(context_);
    const auto described = port("dh", token_);
    ASSERT_TRUE(described) << described.error().detail_text();
    EXPECT_EQ(described->organization_type, "Developer Edition");
    EXPECT_FALSE(described->is_sandbox);
    const auto failed = port("unknown-org", token_);
    ASSERT_FALSE(failed);
    EXPECT_EQ(failed.error().kind, FailureKind::Operation);
    EXPECT_FALSE(failed.error().org_alias);
    EXPECT_TRUE(stages().empty());
}

TEST_F(CatalogueContextTest, DependencyDiscoveryAnswersAGraphTheDisabledTextOrACancellation) {
    const std::string dependency_query =
        "SELECT MetadataComponentId, MetadataComponentType, MetadataComponentName, RefMetadataComponentId, "
        "RefMetadataComponentType, RefMetadataComponentName, RefMetadataComponentNamespace FROM "
        "MetadataComponentDependency WHERE MetadataComponentId IN ('01p000J6jcOiY4k')";
    scenario(fake::Scenario()
                 .orgs({"dana"})
                 .on_contains({"--metadata-type", "ApexClass"}, fake::Answer::capture("standin/listmeta_apexclass"))
                 .on_contains({dependency_query}, fake::Answer::capture("standin/qt_mcd"))
                 .on_prefix({"data", "query"}, fake::Answer().out(R"({"status":0,"result":{"records":[],"totalSize":0}})")));
    const auto port = wiring::make_dependency_discovery(context_);
    const std::vector keys{domain::ComponentKey{MetadataType::ApexClass, "PropertyController"}};

    const auto graph = port("dana", keys, token_);
    ASSERT_TRUE(graph) << graph.error().detail_text();
    ASSERT_TRUE(std::holds_alternative<dependency::DependencyGraph>(*graph));
    dependency::DependencyGraph expected;
    expected.edges[keys[0]] = {{MetadataType::ApexClass, "PagedResult"}};
    EXPECT_EQ(std::get<dependency::DependencyGraph>(*graph), expected);
    const auto first_stages = stages();
    ASSERT_FALSE(first_stages.empty());
    EXPECT_EQ(first_stages.front(), "resolvingDependencyIds");
    // From then on the catalogue reports its own phases through the session's sink.
    EXPECT_GT(first_stages.size(), 1u);

    const auto disabled = port("nosuch", keys, token_);
    ASSERT_TRUE(disabled) << disabled.error().detail_text();
    ASSERT_TRUE(std::holds_alternative<app::ports::DiscoveryDisabled>(*disabled));
    EXPECT_TRUE(std::get<app::ports::DiscoveryDisabled>(*disabled).reason.starts_with(
        "Dependency auto-selection is disabled: "));

    ambrel::testing::TestToken cancelled;
    cancelled.cancel();
    const auto stopped = port("dana", keys, cancelled);
    ASSERT_FALSE(stopped);
    EXPECT_EQ(stopped.error().kind, FailureKind::Cancelled);
    EXPECT_EQ(stopped.error().messages, std::vector<std::string>{std::string(kCancelled)});
    EXPECT_EQ(stopped.error().org_alias, "dana");
}

TEST_F(CatalogueContextTest, ComparisonAndSanitizerNeverRunOrReport) {
    scenario(fake::Scenario());
    const auto sanitized = wiring::make_diagnostic_sanitizer(context_)(
        std::string(R"({"accessToken":")") + std::string(kSecret) + R"("})");
    EXPECT_THAT(sanitized, HasSubstr("[REDACTED]"));
    EXPECT_THAT(sanitized, Not(HasSubstr(kSecret)));
    // Every failure the workflow shows or logs passes through this port: an auth URL and an access
    // token in it are scrubbed.
    EXPECT_EQ(wiring::make_diagnostic_sanitizer(context_)(
                  "Salesforce CLI project retrieve failed: " + std::string(ambrel::testing::kCredentialFailure)),
              "Salesforce CLI project retrieve failed: " + std::string(ambrel::testing::kScrubbedCredentialFailure));
    domain::MetadataComponent component;
    component.key = domain::ComponentKey{MetadataType::ApexClass, "A"};
    component.document = "<ApexClass/>";
    const auto rows = wiring::make_component_comparison()(MetadataType::ApexClass.descriptor(), {component}, {}, {});
    EXPECT_EQ(rows.size(), 1u);
    EXPECT_TRUE(calls().empty());
    EXPECT_TRUE(stages().empty());
}

TEST_F(CatalogueContextTest, PermissionSetNamesAndSchemaListingsNameNoOrg) {
    scenario(fake::Scenario().orgs({"dh"}));
    const auto names = wiring::make_permission_set_name_listing(context_)->permission_set_name_listing("  ", token_);
    ASSERT_FALSE(names);
    EXPECT_EQ(names.error().kind, FailureKind::Operation);
    EXPECT_EQ(names.error().messages,
              std::vector<std::string>{"The target org username is empty, so its Permission Sets cannot be listed."});
    EXPECT_FALSE(names.error().org_alias);

    const auto unknown = wiring::make_permission_set_name_listing(context_)->permission_set_name_listing("other", token_);
    ASSERT_FALSE(unknown);
    EXPECT_EQ(unknown.error().kind, FailureKind::Operation);
    EXPECT_FALSE(unknown.error().org_alias);

    const auto schema = wiring::make_schema_ports(context_);
    const auto fields = schema->object_field_listing("other", {"Account"}, token_);
    ASSERT_FALSE(fields);
    EXPECT_EQ(fields.error().kind, FailureKind::Operation);
    EXPECT_FALSE(fields.error().org_alias);
    const auto keys = schema->external_key_field_listing("other", {"Account"}, token_);
    ASSERT_FALSE(keys);
    EXPECT_EQ(keys.error().kind, FailureKind::Operation);
    EXPECT_FALSE(keys.error().org_alias);

    ambrel::testing::TestToken cancelled;
    cancelled.cancel();
    const auto stopped = schema->object_field_listing("dh", {"Account"}, cancelled);
    ASSERT_FALSE(stopped);
    EXPECT_EQ(stopped.error().kind, FailureKind::Cancelled);
    EXPECT_TRUE(stages().empty());
}

TEST_F(CatalogueContextTest, UserPermissionsComeFromThePermissionSetDescribe) {
    scenario(fake::Scenario()
                 .orgs({"dh", "bare"})
                 .on_contains({"--target-org", "bare"}, catalogue_capture("describe_notfound"))
                 .on_exact({"sobject", "describe", "--sobject", "PermissionSet", "--target-org", "dh", "--json"},
                           fake::Answer().out(
                               R"({"status":0,"result":{"name":"PermissionSet","fields":[)"
                               R"({"name":"Id","label":"Permission Set ID","type":"id"},)"
                               R"({"name":"PermissionsApiEnabled","label":"API Enabled","type":"boolean"},)"
                               R"({"name":"PermissionsViewSetup","label":"View Setup and Configuration","type":"boolean"}]},"warnings":[]})")));
    const auto schema = wiring::make_schema_ports(context_);

    const auto blank = schema->user_permission_listing(" \t ", token_);
    ASSERT_FALSE(blank);
    EXPECT_EQ(blank.error().kind, FailureKind::Operation);
    EXPECT_EQ(blank.error().messages,
              std::vector<std::string>{"The org username is empty, so its user permissions cannot be listed."});
    EXPECT_TRUE(calls().empty());

    const auto catalog = schema->user_permission_listing("dh", token_);
    ASSERT_TRUE(catalog) << catalog.error().detail_text();
    EXPECT_TRUE(catalog->knows("ApiEnabled"));
    EXPECT_TRUE(catalog->knows("ViewSetup"));
    EXPECT_FALSE(catalog->knows("Id"));

    const auto absent = schema->user_permission_listing("bare", token_);
    ASSERT_FALSE(absent);
    EXPECT_EQ(absent.error().kind, FailureKind::Operation);
    EXPECT_EQ(absent.error().messages, std::vector<std::string>{"The org does not expose the PermissionSet entity."});

    const auto unknown = schema->user_permission_listing("other", token_);
    ASSERT_FALSE(unknown);
    EXPECT_EQ(unknown.error().kind, FailureKind::Operation);
    EXPECT_FALSE(unknown.error().org_alias);
    EXPECT_TRUE(stages().empty());
}

TEST_F(CatalogueContextTest, QuickDeployRunsInTheWorkspaceRootAndNamesTheTarget) {
    scenario(fake::Scenario().orgs({"dh"}).on_prefix({"project", "deploy", "quick"}, fake::Answer::capture("deploy_quick")));
    const auto port = wiring::make_quick_deploy_port(context_);
    const auto answer = port->quick_deployment("0Af000AfXZkcRkzC0E", "dh", token_);
    ASSERT_TRUE(answer) << answer.error().detail_text();
    EXPECT_TRUE(answer->succeeded);
    ASSERT_EQ(calls().size(), 1u);
    const auto recorded = calls();
    const auto& call = recorded.front();
    EXPECT_THAT(call.args, ::testing::IsSupersetOf({"project", "deploy", "quick", "--job-id", "0Af000AfXZkcRkzC0E",
                                                    "--target-org", "dh"}));
    EXPECT_EQ(std::filesystem::canonical(call.cwd), std::filesystem::canonical(root_.path()));
    EXPECT_THAT(stages(), ElementsAre("deployingPackage"));

    const auto refused = port->quick_deployment("0Af000AfXZkcRkzC0E", "  ", token_);
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().kind, FailureKind::Operation);
    EXPECT_EQ(refused.error().org_alias, "  ");
    EXPECT_EQ(calls().size(), 1u);
}

TEST_F(CatalogueContextTest, BrowserSignInReportsItsStageAndNamesNoOrg) {
    scenario(fake::Scenario().on_prefix({"org", "login", "web"}, catalogue_capture("login_web_headless")));
    const auto port = wiring::make_login_port(context_);
    const auto created = port->alias_login("newalias", "https://login.salesforce.com", {}, token_);
    ASSERT_FALSE(created);
    EXPECT_EQ(created.error().kind, FailureKind::Operation);
    EXPECT_FALSE(created.error().org_alias);
    const auto recorded = calls();
    ASSERT_EQ(recorded.size(), 1u);
    EXPECT_THAT(recorded.front().args, ::testing::IsSupersetOf({"org", "login", "web", "--alias", "newalias"}));
    EXPECT_THAT(stages(), ElementsAre("waitingForBrowserSignIn"));

    scenario(fake::Scenario().on_prefix({"org", "login", "web"}, catalogue_capture("login")));
    const auto signed_in = port->alias_login("newalias", "https://login.salesforce.com", {}, token_);
    ASSERT_TRUE(signed_in) << signed_in.error().detail_text();
}

TEST_F(CatalogueContextTest, ABlankAliasIsAProgrammingErrorThatTheExecutorSurvives) {
    scenario(fake::Scenario());
    EXPECT_THROW((void)wiring::make_object_listing(context_)("  ", "", token_), support::ProgrammingError);
    EXPECT_THROW((void)wiring::make_metadata_listing(context_)("ApexClass", "", token_), support::ProgrammingError);
    EXPECT_THROW((void)wiring::make_dependency_discovery(context_)(
                     "", {domain::ComponentKey{MetadataType::ApexClass, "A"}}, token_),
                 support::ProgrammingError);

    const auto executor = workflow::QueueExecutor::create();
    std::promise<void> later;
    auto ran = later.get_future();
    const auto port = wiring::make_object_listing(context_);
    ASSERT_FALSE(executor->execute([port, this] { (void)port("", "", token_); }));
    ASSERT_FALSE(executor->execute([&later] { later.set_value(); }));
    EXPECT_EQ(ran.wait_for(std::chrono::seconds(30)), std::future_status::ready);
    executor->shutdown_and_join();
    EXPECT_TRUE(calls().empty());
}

}  // namespace
}  // namespace ambrel::wiring_test
