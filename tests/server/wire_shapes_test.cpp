// Golden files of every state shape and result shape the server writes: each shape is built from a
// fixed state, written two-space pretty with a final line feed, and compared byte for byte with
// tests/fixtures/server/<shape>.json. Run with AMBREL_UPDATE_GOLDEN=1 to rewrite the files after a
// deliberate change, then review the difference.

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "data/registry.hpp"
#include "dispatch/methods.hpp"
#include "protocol/records.hpp"
#include "protocol/state.hpp"
#include "support/test_paths.hpp"

namespace ambrel::protocol {
namespace {

using namespace workflow;
using domain::ComponentKey;
using metadata_types::MetadataType;
namespace prep = data::preparation;
namespace transfer = data::bundles::transfer;

std::filesystem::path golden_dir() { return ambrel::testing::tests_dir() / "fixtures" / "server"; }

// Session ids come from a process-wide counter; the files hold 0 in their place.
void zero_session_ids(json::Value& value) {
    if (auto* object = value.if_object()) {
        for (auto& member : *object) {
            if (member.key() == "sessionId" && member.value().is_number()) {
                member.value() = 0;
            } else {
                zero_session_ids(member.value());
            }
        }
    } else if (auto* array = value.if_array()) {
        for (auto& element : *array) zero_session_ids(element);
    }
}

void expect_golden(const std::string& shape, json::Value value) {
    zero_session_ids(value);
    const std::string text = json::write_pretty(value) + "\n";
    const auto path = golden_dir() / (shape + ".json");
    if (std::getenv("AMBREL_UPDATE_GOLDEN") != nullptr) {
        std::filesystem::create_directories(golden_dir());
        std::ofstream(path, std::ios::binary) << text;
    }
    std::ifstream file(path, std::ios::binary);
    ASSERT_TRUE(file) << "missing golden file " << path;
    std::stringstream expected;
    expected << file.rdbuf();
    EXPECT_EQ(text, expected.str()) << "shape " << shape;
}

endpoint::OrgAlias org_alias(std::string alias, std::optional<std::string> url = std::nullopt) {
    endpoint::OrgAlias org;
    org.alias = alias;
    org.username = alias + "@example.com";
    org.org_id = "00D" + alias;
    org.instance_url = std::move(url);
    return org;
}

endpoint::DeployEndpoint org_endpoint(std::string alias, std::optional<std::string> url = std::nullopt) {
    return endpoint::DeployEndpoint{endpoint::DeployEndpoint::Org{org_alias(std::move(alias), std::move(url))}};
}

endpoint::DeployEndpoint git_endpoint() {
    endpoint::GitBranchRef branch;
    branch.name = "release";
    branch.remote = "origin";
    branch.is_current = true;
    return endpoint::DeployEndpoint{endpoint::DeployEndpoint::Git{"/work/repos/sales\xff", branch}};
}

domain::ComponentDifference row(MetadataType type, std::string name, domain::ChangeKind change,
                                domain::MetadataDeployScope scope = domain::MetadataDeployScope::Full) {
    domain::ComponentDifference difference;
    difference.source.key = ComponentKey{type, std::move(name)};
    difference.change = change;
    difference.deployable = true;
    difference.deploy_scope = scope;
    return difference;
}

std::vector<domain::ComponentDifference> review_rows() {
    auto field = row(MetadataType::CustomField, "Account.Tier__c", domain::ChangeKind::Update);
    field.attribute_differences = {{"Length", "80", "255"}, {"Help text", std::nullopt, "Tier"}};
    field.body_changed = true;
    auto apex = row(MetadataType::ApexClass, "Billing", domain::ChangeKind::NoChange);
    auto blocked = row(MetadataType::Flow, "Renewal", domain::ChangeKind::Add);
    blocked.deployable = false;
    blocked.block_reason = "Target object is missing";
    auto bundle = row(MetadataType::ProductBundle, "Starter", domain::ChangeKind::Add, domain::MetadataDeployScope::Records);
    return {field, apex, blocked, bundle};
}

SessionRef make_session(endpoint::DeployEndpoint target, app::TargetOrgClass target_class = app::TargetOrgClass::Unconfirmed,
                        bool allow_best_effort_on_production = false) {
    app::ComparisonSession::Parts parts;
    parts.source = org_endpoint("dev");
    parts.target = std::move(target);
    parts.rows = review_rows();
    parts.graph.edges[{MetadataType::CustomField, "Account.Tier__c"}] = {{MetadataType::ApexClass, "Billing"},
                                                                         {MetadataType::CustomField, "Account.Zone__c"}};
    parts.graph.unresolved[{MetadataType::Flow, "Renewal"}] = {
        {"ApexClass RenewalHelper", "ApexClass RenewalHelper: could not be matched automatically"}};
    parts.graph.warnings.push_back("Dependency lookup was partial.");
    parts.closer = [] { return std::expected<void, app::WorkflowFailure>{}; };
    parts.target_org_class = target_class;
    parts.allow_best_effort_on_production = allow_best_effort_on_production;
    return app::ComparisonSession::from_parts(std::move(parts));
}

SelectingState selecting_state() {
    SelectingState state;
    state.orgs = {org_alias("dev"), org_alias("uat")};
    state.source = org_endpoint("dev");
    state.target = git_endpoint();
    state.current_type = MetadataType::Flow;
    state.components = {{"Renewal", "Renewal Flow", domain::ListingOrigin::Unpackaged}};
    state.manifest[MetadataType::Flow] = {"b", "a"};
    state.manifest[MetadataType::CustomField] = {"Account.Tier__c"};
    state.error_message = "Listing was incomplete.";
    state.import_summary = ImportSummary{{"Unknown type Foo was skipped."}, 3};
    state.external_keys = ExternalKeyStatus::Missing;

    auto report = std::make_shared<prep::OrgPreparationReport>();
    report->plan.source_alias = "dev";
    report->plan.target_alias = "uat";
    static constexpr std::string_view kComposite[] = {"Product2Id", "ProductSellingModelId"};
    prep::ObjectPreparation own{prep::KeyState{prep::KeyState::OwnFieldPresent{}}, 4,
                                prep::KeyState{prep::KeyState::FieldMissing{}}, std::nullopt, "Product2", "Products", 1};
    prep::ObjectPreparation foreign{prep::KeyState{prep::KeyState::ForeignFieldAccepted{"Code__c"}}, 0,
                                    prep::KeyState{prep::KeyState::ForeignFieldAccepted{"Code__c"}}, 0,
                                    "AttributeCategory", "Attribute Categories", 2};
    prep::ObjectPreparation composite{prep::KeyState{prep::KeyState::NotCustomizable{kComposite}}, std::nullopt,
                                      prep::KeyState{prep::KeyState::ObjectAbsent{}}, std::nullopt,
                                      "ProductSellingModelOption", "Product Selling Model Options", 3};
    report->plan.objects = {own, foreign, composite};
    report->applied = true;
    report->outcomes[{"Product2", prep::PreparationSide::Source}] = {prep::PreparationStatus::Succeeded, 4, std::nullopt};
    report->outcomes[{"Product2", prep::PreparationSide::Target}] = {prep::PreparationStatus::Failed, 0,
                                                                      "Field creation was refused."};
    state.org_preparation = report;
    return state;
}

TEST(WireShapes, SelectionScreens) {
    expect_golden("state_loading_orgs", state_to_value(LoadingOrgsState{}, ActiveOperation{"loadOrgs", 1}));
    expect_golden("state_selecting", state_to_value(selecting_state(), std::nullopt));
    SelectingState bare;
    bare.current_type = MetadataType::CustomField;
    expect_golden("state_selecting_empty", state_to_value(bare, std::nullopt));

    const auto full = selecting_state();
    ReturningToSelectionState returning{full.orgs, full.source, std::nullopt, full.current_type, full.components,
                                        full.manifest};
    expect_golden("state_returning_to_selection", state_to_value(returning, ActiveOperation{"back", 9}));
    expect_golden("state_loading_components",
                  state_to_value(LoadingComponentsState{full.orgs, org_endpoint("dev"), std::nullopt},
                                 ActiveOperation{"loadComponents", 2}));
    expect_golden("state_comparing", state_to_value(ComparingState{org_endpoint("dev"), git_endpoint(), full.manifest},
                                                    ActiveOperation{"compare", 3}));
}

TEST(WireShapes, ReviewAndDeployScreens) {
    const auto session = make_session(org_endpoint("uat", "https://uat.my.salesforce.com//"),
                                      app::TargetOrgClass::Production, false);
    ReviewingState reviewing{session, session->rows(), std::nullopt, std::nullopt};
    expect_golden("state_reviewing", state_to_value(reviewing, std::nullopt));
    reviewing.error_message = "Select at least one row.";
    reviewing.scenario = ReviewingScenario{{"ApexClass Gone is not in this comparison."},
                                           {{MetadataType::ApexClass, "Billing"}},
                                           std::nullopt,
                                           domain::DeployMode::ValidateOnly};
    expect_golden("state_reviewing_scenario", state_to_value(reviewing, std::nullopt));

    const app::SelectedKeys selection{{MetadataType::CustomField, "Account.Tier__c"},
                                      {MetadataType::ProductBundle, "Starter"}};
    SelectingTestsState tests;
    tests.session = session;
    tests.rows = session->rows();
    tests.candidates = {{"BillingTest", domain::TestCandidateOrigin::Session, true},
                        {"LegacyTest", domain::TestCandidateOrigin::Target, false}};
    tests.selection = selection;
    tests.fls_mode = domain::FlsMode::Additive;
    tests.scenario_deploy_mode = domain::DeployMode::AllOrNothing;
    expect_golden("state_selecting_tests", state_to_value(tests, std::nullopt));

    SelectingFlsContainersState containers;
    containers.session = make_session(git_endpoint());
    containers.selection = selection;
    containers.fls_mode = domain::FlsMode::All;
    domain::FlsContainerChoice admin{domain::FlsContainerKind::Profile, "Admin", "System Administrator",
                                     domain::FlsContainerPresence::Existing, true, std::nullopt, false};
    domain::FlsContainerChoice sales{domain::FlsContainerKind::PermissionSet, "Sales", "Sales",
                                     domain::FlsContainerPresence::New, true, std::nullopt, false};
    domain::FlsContainerChoice locked{domain::FlsContainerKind::PermissionSet, "Locked", "Locked",
                                      domain::FlsContainerPresence::Existing, false, "Managed package", false};
    containers.choices = {admin, sales, locked};
    containers.scenario_containers = ContainerSet{{domain::FlsContainerKind::Profile, "Admin"},
                                                  {domain::FlsContainerKind::Profile, "Sales"},
                                                  {domain::FlsContainerKind::PermissionSet, "Locked"}};
    containers.scenario_unmatched_containers = {"Profile Gone is not in the target."};
    expect_golden("state_selecting_fls_containers", state_to_value(containers, std::nullopt));

    TargetHealthState health;
    health.session = session;
    health.selection = selection;
    health.fls_mode = domain::FlsMode::None;
    health.deploy_mode = domain::DeployMode::BestEffort;
    transfer::Finding stale;
    stale.kind = transfer::FindingKind::Unfixable;
    stale.object = "PricebookEntry";
    stale.label = "Starter / USD";
    stale.bundles = {"Starter"};
    stale.problem = "The target copy cannot be updated.";
    stale.fix = "Delete it in the target.";
    stale.fixable = true;
    stale.record_ids = {"01uAAAAAAAAAAAA", "01uAAAAAAAAAAAAAAA", "01uAAAAAAAAAAAAA", "01u-AAAAAAAAAAA"};
    stale.delete_id = "01uAAAAAAAAAAAA";
    transfer::Finding missing;
    missing.kind = transfer::FindingKind::MissingCatalog;
    missing.object = "Pricebook2";
    missing.label = "Partner";
    missing.problem = "Missing price book";
    missing.fix = "Create it by hand.";
    health.report.findings = {stale, missing};
    health.report.dependents = 2;
    health.fix_refusals = {"Finding 1 cannot be fixed."};
    expect_golden("state_target_health", state_to_value(health, ActiveOperation{"checkTargetHealth", 12}));

    DeployingState deploying;
    deploying.session = session;
    deploying.selection = selection;
    deploying.fls_mode = domain::FlsMode::Additive;
    deploying.deploy_mode = domain::DeployMode::ValidateOnly;
    expect_golden("state_deploying", state_to_value(deploying, ActiveOperation{"deploy", 13}));
    expect_golden("state_quick_deploying",
                  state_to_value(QuickDeployingState{"uat"}, ActiveOperation{"quickDeploy", 14}));
    expect_golden("state_error", state_to_value(ErrorState{"Salesforce operation failed.", std::nullopt}, std::nullopt));
    expect_golden("state_error_details",
                  state_to_value(ErrorState{"Salesforce operation failed.", "sf exited with 1"}, std::nullopt));
}

TEST(WireShapes, ResultsScreens) {
    deployment::DeploymentSummary summary;
    summary.component_results = {
        {{MetadataType::CustomField, "Account.Tier__c"}, "", domain::ChangeKind::Update,
         domain::ComponentDeploymentStatus::Succeeded},
        {{MetadataType::Flow, "Renewal"}, "Field missing", domain::ChangeKind::Add, domain::ComponentDeploymentStatus::Failed}};
    domain::FlsResult fls{"Admin",
                          "System Administrator",
                          domain::PermissionSubject{domain::PermissionSubject::Field{"Account", "Tier__c"}},
                          "",
                          domain::FlsContainerKind::Profile,
                          domain::FlsResultStatus::Updated,
                          domain::PermissionGrant{domain::PermissionGrant::FieldAccess{true, false}}};
    summary.fls_results = {fls};
    summary.details = "1 component failed.";
    summary.deploy_mode = domain::DeployMode::ValidateOnly;
    summary.tests = std::pair<std::uint32_t, std::uint32_t>{12, 1};
    summary.quick_deploy = domain::QuickDeployTicket{"0Af000", "uat", 2};
    expect_golden("state_results_validation", state_to_value(ResultsState{summary}, std::nullopt));

    deployment::DeploymentSummary quick;
    quick.deploy_mode = domain::DeployMode::AllOrNothing;
    quick.quick_deploy_performed = true;
    expect_golden("state_results_quick_deploy", state_to_value(ResultsState{quick}, std::nullopt));
}

TEST(WireShapes, MethodResultsAndNotifications) {
    expect_golden("result_operation_started", dispatch::operation_result(7));
    expect_golden("result_operation_refused", dispatch::operation_result(std::nullopt));
    progress::ProgressEvent bare{5, progress::ProgressStage::ListingOrgs, std::nullopt, std::nullopt, std::nullopt,
                                 "Listing orgs…"};
    expect_golden("notification_progress_bare", notification(kProgressMethod, progress_to_value(bare)));
    progress::ProgressEvent counted{6, progress::ProgressStage::RetrievingMetadata, 0, 3, "source", "Retrieving…"};
    expect_golden("notification_progress_counted", notification(kProgressMethod, progress_to_value(counted)));
    component_source::ComponentSource texts{"dev", "uat", "<Flow/>", std::nullopt, std::nullopt, "<meta/>"};
    expect_golden("result_component_source", component_source_to_value(texts));
    expect_golden("response_error", error_response("abc", kMethodNotFound, "Unknown method: workflow/getstate"));
    expect_golden("response_success", success_response(7, json::Object{}));
}

TEST(WireShapes, CatalogueListsTheSelectableTypes) {
    const json::Value types_value = metadata_types_to_value();
    const json::Array& types = types_value.as_array();
    EXPECT_EQ(types.size(), 12u + 150u + data::registry::kDataObjectCount);
    EXPECT_EQ(json::write_compact(types.front()), R"({"id":"CustomField","label":"Objects & Custom Fields","category":"Core"})");
    for (const auto& entry : types) {
        EXPECT_NE(entry.at("id").as_string(), "CustomObject");
        EXPECT_NE(entry.at("id").as_string(), "ExpressionSetDefinition");
    }
    EXPECT_EQ(types[10].at("id").as_string(), "ProductBundle");
    EXPECT_EQ(types[10].at("category").as_string(), "RevenueCloud");
    const json::Value categories_value = metadata_categories_to_value();
    const json::Array& categories = categories_value.as_array();
    ASSERT_EQ(categories.size(), 16u);
    EXPECT_EQ(json::write_compact(categories.front()), R"({"id":"Core","label":"Core","records":false})");
    EXPECT_EQ(json::write_compact(categories.back()), R"({"id":"RevenueCloud","label":"Revenue Cloud","records":true})");
    for (std::size_t index = 0; index + 1 < categories.size(); ++index) {
        EXPECT_FALSE(categories[index].at("records").as_bool());
    }
}

TEST(WireShapes, RowFlagsFollowChangeScopeAndTarget) {
    const KeyMap none;
    const UnresolvedMap no_unresolved;
    struct Case {
        std::string name;
        domain::ComponentDifference row;
        bool target_is_org;
        bool can_deploy_metadata;
        bool can_deploy;
        bool opens_test_screen;
    };
    auto unchanged = row(MetadataType::ApexClass, "A", domain::ChangeKind::NoChange);
    const std::vector<Case> cases = {
        {"unchanged apex against an org", unchanged, true, false, false, true},
        {"unchanged apex against git", unchanged, false, false, false, false},
        {"records scope", row(MetadataType::ProductBundle, "B", domain::ChangeKind::Add, domain::MetadataDeployScope::Records),
         true, false, true, false},
        {"permissions only", row(MetadataType::CustomField, "A.b", domain::ChangeKind::Add,
                                 domain::MetadataDeployScope::PermissionsOnly),
         true, false, false, false},
        {"tracking only", row(MetadataType::CustomField, "A.b", domain::ChangeKind::Update,
                              domain::MetadataDeployScope::TrackingOnly),
         true, true, true, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto value = component_difference_to_value(c.row, none, no_unresolved, none, c.target_is_org);
        EXPECT_EQ(value.at("canDeployMetadata").as_bool(), c.can_deploy_metadata);
        EXPECT_EQ(value.at("canDeploy").as_bool(), c.can_deploy);
        EXPECT_EQ(value.at("opensTestScreen").as_bool(), c.opens_test_screen);
        EXPECT_EQ(value.as_object().size(), 18u);
    }
}

TEST(WireShapes, BestEffortFollowsTheTargetKind) {
    const auto allowed = [](const SessionRef& session) {
        ReviewingState state{session, {}, std::nullopt, std::nullopt};
        return state_body_to_value(state).at("targetAllowsBestEffort").as_bool();
    };
    EXPECT_FALSE(allowed(make_session(git_endpoint())));
    EXPECT_FALSE(allowed(make_session(org_endpoint("prod"), app::TargetOrgClass::Production, false)));
    EXPECT_TRUE(allowed(make_session(org_endpoint("prod"), app::TargetOrgClass::Production, true)));
    EXPECT_TRUE(allowed(make_session(org_endpoint("sbx"), app::TargetOrgClass::NonProduction, false)));
}

TEST(WireShapes, TargetBaseUrlIsAValidatedUrlWithoutTrailingSlashes) {
    const auto base_url = [](std::optional<std::string> url) {
        TargetHealthState state;
        state.session = make_session(org_endpoint("uat", std::move(url)));
        return json::write_compact(state_body_to_value(state).at("targetBaseUrl"));
    };
    EXPECT_EQ(base_url("https://uat.my.salesforce.com///"), R"("https://uat.my.salesforce.com")");
    EXPECT_EQ(base_url(std::nullopt), "null");
    EXPECT_EQ(base_url("https://user@uat.my.salesforce.com"), "null");
    TargetHealthState git_state;
    git_state.session = make_session(git_endpoint());
    EXPECT_EQ(json::write_compact(state_body_to_value(git_state).at("targetBaseUrl")), "null");
}

}  // namespace
}  // namespace ambrel::protocol
