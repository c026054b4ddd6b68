// Org-to-org deploy roads end to end: ambrel-server driven over stdio by the pinned JSON-RPC client
// compares two orgs and deploys to the target, every `sf` call answered by the fake CLI from captures
// of the real one (tests/fixtures/e2e/e1 holds the fixture orgs and the captures adapted to them).
// Checked: the screens reached and their rows, the exact deploy command lines, the files each deploy
// sent, that nothing but the logs is left in the workspace's quillary folder and that no CLI process
// outlives the session.

#include <gtest/gtest.h>

#include <fmt/format.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "e2e/harness.hpp"
#include "support/test_paths.hpp"

namespace ambrel::testing::e2e {
namespace {

namespace fake = ambrel::testing::fake_sf;
using boost::json::array;
using boost::json::object;

constexpr std::string_view kSourceAlias = "dhdev";
constexpr std::string_view kTargetAlias = "dhuat";
constexpr std::string_view kSourceUser = "dana.admin@dreamhouse-dev.standin";
constexpr std::string_view kTargetUser = "dana.admin@dreamhouse-uat.standin";

std::filesystem::path fixture_dir() { return tests_dir() / "fixtures" / "e2e" / "e1"; }

// The files a member of the source fixture org brings, below force-app/main/default.
std::filesystem::path source_org_dir() { return fixture_dir() / "orgs" / std::string(kSourceUser); }

// An answer from a capture adapted to the fixture orgs: NAME.out, NAME.err and NAME.rc beside them.
fake::Answer adapted(std::string_view name) {
    const auto base = fixture_dir() / std::string(name);
    std::ifstream rc(base.string() + ".rc");
    std::int64_t code = 0;
    if (!(rc >> code)) throw std::runtime_error("no exit code in adapted capture " + std::string(name));
    fake::Answer answer;
    answer.out_file(base.string() + ".out").err_file(base.string() + ".err").exit_code(code);
    return answer;
}

// Every call the compare makes, then `deploy_rules` for the deploy road; anything else fails loudly.
// With `labels`, the CustomLabel listing answers too and every Tooling API query finds nothing (the
// labels and the class reference nothing).
fake::Scenario org_scenario(const std::vector<std::pair<std::vector<std::string>, fake::Answer>>& deploy_rules,
                            bool labels = false) {
    fake::Scenario scenario;
    scenario.orgs({std::string(kSourceAlias), std::string(kTargetAlias), std::string(kSourceUser),
                   std::string(kTargetUser)});
    for (const auto& [prefix, answer] : deploy_rules) scenario.on_prefix(prefix, answer);
    if (labels) {
        scenario.on_prefix({"org", "list", "metadata", "--metadata-type", "CustomLabel"},
                           adapted("listmeta_customlabel_dhdev"))
            .on_contains({"--use-tooling-api"}, adapted("qt_mcd_none"));
    }
    const std::string source_user(kSourceUser);
    const std::string target_user(kTargetUser);
    scenario.on_exact({"version", "--json"}, fake::Answer::capture("version"))
        .on_prefix({"org", "list", "--skip-connection-status"}, adapted("orglist"))
        // Objects of the org, for the object listing and the target's object set.
        .on_contains({"SELECT QualifiedApiName, Label, NamespacePrefix, IsCustomizable FROM EntityDefinition WHERE "
                      "IsCustomizable = true ORDER BY QualifiedApiName"},
                     fake::Answer::capture("standin/qt_entitydef"))
        // The Revenue Cloud field probe: neither org has those objects.
        .on_prefix({"data", "query", "--query", std::string(kRevenueCloudFieldQuery)},
                   fake::Answer::capture("standin/qt_fielddef"))
        .on_exact({"org", "list", "metadata", "--metadata-type", "ApexClass", "--target-org", std::string(kSourceAlias),
                   "--json"},
                  adapted("listmeta_apexclass_dhdev"))
        .on_exact({"org", "list", "metadata", "--metadata-type", "ApexClass", "--target-org", source_user, "--json"},
                  adapted("listmeta_apexclass_dhdev"))
        .on_exact({"org", "list", "metadata", "--metadata-type", "ApexClass", "--target-org", target_user, "--json"},
                  fake::Answer::capture("standin/listmeta_apexclass"))
        .on_exact({"org", "list", "metadata", "--metadata-type", "Layout", "--target-org", std::string(kSourceAlias),
                   "--json"},
                  adapted("listmeta_layout"))
        .on_exact({"org", "list", "metadata", "--metadata-type", "Layout", "--target-org", source_user, "--json"},
                  adapted("listmeta_layout"))
        .on_prefix({"project", "retrieve", "start"}, fake::Answer().retrieve_from(fixture_dir() / "orgs"))
        // Dependency discovery on the source: ids of the object and its fields, then the dependencies.
        .on_exact({"data", "query", "--query",
                   "SELECT DurableId, QualifiedApiName FROM EntityDefinition WHERE QualifiedApiName IN ('Property__c')",
                   "--use-tooling-api", "--target-org", source_user, "--json"},
                  adapted("qt_entity_ids_property"))
        .on_exact({"data", "query", "--query",
                   "SELECT Id, DeveloperName, TableEnumOrId, NamespacePrefix FROM CustomField WHERE TableEnumOrId IN "
                   "('01I000EvsmfMgDi')",
                   "--use-tooling-api", "--target-org", source_user, "--json"},
                  adapted("qt_customfield_property"))
        .on_exact({"data", "query", "--query",
                   "SELECT MetadataComponentId, MetadataComponentType, MetadataComponentName, RefMetadataComponentId, "
                   "RefMetadataComponentType, RefMetadataComponentName, RefMetadataComponentNamespace FROM "
                   "MetadataComponentDependency WHERE MetadataComponentId IN ('00N000sH2XQbLKr', '00N000fjkpqtFI8', "
                   "'01I000EvsmfMgDi', '01p000FJoRC6D7n', '01p000J6jcOiY4k', '01p000wi50iT322', '00h000fEih3uisx')",
                   "--use-tooling-api", "--target-org", source_user, "--json"},
                  adapted("qt_mcd_none"))
        .otherwise(unanswered_call());
    return scenario;
}

object step(std::string_view method, object params, std::vector<std::string_view> until) {
    object json{{"request", method}, {"params", std::move(params)}};
    array kinds;
    for (auto kind : until) kinds.emplace_back(kind);
    if (!kinds.empty()) json["until"] = std::move(kinds);
    return json;
}

array texts(std::vector<std::string_view> words) {
    array json;
    for (auto word : words) json.emplace_back(word);
    return json;
}

// The steps up to the review: both orgs chosen, three classes, the layout and the object's fields.
array compare_steps() {
    return array{
        step("workflow/loadOrgs", {}, {"selecting"}),
        step("workflow/selectSource", {{"endpoint", object{{"kind", "org"}, {"alias", kSourceAlias}}}}, {"selecting"}),
        step("workflow/selectTarget", {{"endpoint", object{{"kind", "org"}, {"alias", kTargetAlias}}}}, {"selecting"}),
        step("workflow/selectMetadataType", {{"metadataType", "ApexClass"}, {"currentSelection", array{}}},
             {"selecting"}),
        step("workflow/selectMetadataType",
             {{"metadataType", "Layout"},
              {"currentSelection", texts({"PropertyController", "BrokenOnPurpose", "TestPropertyController"})}},
             {"selecting"}),
        step("workflow/selectMetadataType",
             {{"metadataType", "CustomField"}, {"currentSelection", texts({"Property__c-Property Layout"})}},
             {"selecting"}),
        step("workflow/compare", {{"currentSelection", texts({"Property__c"})}}, {"reviewing"}),
    };
}

array keys(std::vector<std::pair<std::string_view, std::string_view>> entries) {
    array json;
    for (const auto& [type, name] : entries) json.emplace_back(object{{"metadataType", type}, {"name", name}});
    return json;
}

// Rows of a state by "{type} {name}", keeping the fields that matter to the reader of the screen.
std::map<std::string, object> rows_by_key(const object& state, std::string_view list,
                                          std::vector<std::string_view> fields) {
    std::map<std::string, object> rows;
    for (const auto& row : state.at(list).as_array()) {
        const auto& entry = row.as_object();
        object kept;
        for (auto field : fields) {
            if (const auto* value = entry.if_contains(field)) kept[field] = *value;
        }
        rows.emplace(text_of(entry, "metadataType") + " " + text_of(entry, "name"), std::move(kept));
    }
    return rows;
}

std::vector<fake::RecordedCall> calls_starting(const fake::FakeSf& sf, std::vector<std::string> prefix) {
    std::vector<fake::RecordedCall> found;
    for (auto& call : sf.calls()) {
        if (call.args.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), call.args.begin())) {
            found.push_back(std::move(call));
        }
    }
    return found;
}

// The arguments of a deploy start, its --source-dir value replaced by "{dir}".
std::vector<std::string> with_source_dir_placeholder(std::vector<std::string> args) {
    for (std::size_t i = 0; i + 1 < args.size(); ++i) {
        if (args[i] == "--source-dir") args[i + 1] = "{dir}";
    }
    return args;
}

// The review every road reaches: the changed rows can be deployed, the unchanged ones cannot, and the
// dependency discovery ran without a warning.
void expect_review(const SessionOutput& session) {
    const auto reviewing = session.last_state("reviewing");
    ASSERT_TRUE(reviewing.has_value()) << session.out;
    EXPECT_EQ(reviewing->at("sourceAlias").as_string(), kSourceAlias);
    EXPECT_EQ(reviewing->at("targetAlias").as_string(), kTargetAlias);
    EXPECT_TRUE(reviewing->at("dependencyWarnings").as_array().empty()) << boost::json::serialize(*reviewing);
    const auto rows = rows_by_key(*reviewing, "differences", {"change", "canDeploy", "opensTestScreen"});
    const std::map<std::string, object> expected = {
        {"ApexClass BrokenOnPurpose", {{"change", "ADD"}, {"canDeploy", true}, {"opensTestScreen", true}}},
        {"ApexClass PropertyController", {{"change", "UPDATE"}, {"canDeploy", true}, {"opensTestScreen", true}}},
        {"ApexClass TestPropertyController", {{"change", "UPDATE"}, {"canDeploy", true}, {"opensTestScreen", true}}},
        {"CustomField Property__c.Beds__c", {{"change", "NO_CHANGE"}, {"canDeploy", false}, {"opensTestScreen", false}}},
        {"CustomField Property__c.Price__c", {{"change", "UPDATE"}, {"canDeploy", true}, {"opensTestScreen", false}}},
        {"CustomObject Property__c", {{"change", "NO_CHANGE"}, {"canDeploy", false}, {"opensTestScreen", false}}},
        {"Layout Property__c-Property Layout",
         {{"change", "NO_CHANGE"}, {"canDeploy", false}, {"opensTestScreen", false}}},
    };
    EXPECT_EQ(rows, expected) << boost::json::serialize(*reviewing);
    for (const auto& row : reviewing->at("differences").as_array()) {
        if (text_of(row.as_object(), "name") == "Property__c.Price__c") {
            EXPECT_EQ(text_of(row.as_object(), "summary"), "Label: List Price -> Asking Price; Definition changed");
        }
    }
}

// The session log's deployOutcome lines, in order, keeping the counts a reader checks.
std::vector<object> deploy_outcomes(const std::filesystem::path& root) {
    std::vector<object> outcomes;
    for (const auto& entry : std::filesystem::directory_iterator(root / "workspace" / "quillary" / "logs")) {
        std::ifstream in(entry.path());
        for (std::string line; std::getline(in, line);) {
            const auto event = boost::json::parse(line).as_object();
            if (text_of(event, "event") != "deployOutcome") continue;
            object kept;
            for (std::string_view key : {"total", "succeeded", "failed", "notAttempted", "quickDeployPerformed"}) {
                if (const auto* value = event.if_contains(key)) kept[key] = *value;
            }
            outcomes.push_back(std::move(kept));
        }
    }
    return outcomes;
}

// Every CLI call the session log lists got a rule's answer (the unanswered ones end with the
// fake's own exit code).
void expect_every_call_answered(const std::filesystem::path& root) {
    std::size_t calls = 0;
    for (const auto& entry : std::filesystem::directory_iterator(root / "workspace" / "quillary" / "logs")) {
        std::ifstream in(entry.path());
        for (std::string line; std::getline(in, line);) {
            const auto event = boost::json::parse(line).as_object();
            if (text_of(event, "event") != "cli") continue;
            ++calls;
            EXPECT_NE(event.at("exitCode").to_number<int>(), kUnansweredExitCode) << line;
        }
    }
    EXPECT_GT(calls, 0u);
}

// Nothing of the session is left in the workspace's quillary folder but its logs, and every CLI
// process the server started has ended.
void expect_clean(const std::filesystem::path& root, const fake::FakeSf& sf) {
    std::vector<std::string> left;
    for (const auto& entry : std::filesystem::directory_iterator(root / "workspace" / "quillary")) {
        left.push_back(entry.path().filename().string());
    }
    EXPECT_EQ(left, std::vector<std::string>{"logs"});
    for (const auto& call : sf.calls()) {
        EXPECT_NE(::kill(static_cast<pid_t>(call.pid), 0), 0) << "still running: sf " << call.args.front();
    }
}

bool skip_without_client() { return !client_installed(); }

// Best effort with a partial success: the CLI deploys three of four components (exit 68) and the
// results screen shows which one failed and why.
TEST(OrgDeployRoads, BestEffortDeployShowsThePartialSuccessRowByRow) {
    if (skip_without_client()) {
        AMBREL_SKIP_UNLESS_CI("node or the pinned vscode-jsonrpc client is missing (run scripts/install-jsonrpc-client)");
    }
    TempDir root;
    fake::FakeSf sf;
    sf.write(org_scenario({{{"project", "deploy", "start"}, adapted("deploy_start_ignore_errors")}}));
    array steps = compare_steps();
    steps.emplace_back(step("workflow/deploy",
                            {{"selected", "$deployable"}, {"flsMode", "NONE"}, {"deployMode", "BEST_EFFORT"}},
                            {"selectingTests"}));
    steps.emplace_back(step("workflow/confirmTests", {{"sessionId", "$sessionId"}, {"tests", array{}}}, {"results"}));
    const auto session = run_session(root.path(), {{"steps", std::move(steps)}}, fake_sf_environment(sf));
    ASSERT_EQ(session.exit_code, 0) << session.out;
    expect_review(session);

    // The test screen offers the changed test class first-hand and the target's other test classes.
    const auto tests = session.last_state("selectingTests");
    ASSERT_TRUE(tests.has_value()) << session.out;
    EXPECT_EQ(boost::json::serialize(tests->at("candidates")),
              boost::json::serialize(boost::json::parse(
                  R"([{"name":"FileUtilitiesTest","origin":"TARGET","preselected":false},)"
                  R"({"name":"GeocodingServiceTest","origin":"TARGET","preselected":false},)"
                  R"({"name":"TestPropertyController","origin":"SESSION","preselected":true},)"
                  R"({"name":"TestSampleDataController","origin":"TARGET","preselected":false}])")));

    const auto results = session.last_state("results");
    ASSERT_TRUE(results.has_value()) << session.out;
    const auto& summary = results->at("summary").as_object();
    EXPECT_EQ(summary.at("deployMode").as_string(), "BEST_EFFORT");
    EXPECT_FALSE(summary.at("quickDeployAvailable").as_bool());
    const auto rows = rows_by_key(summary, "fieldResults", {"operation", "status", "message"});
    const std::map<std::string, object> expected = {
        {"ApexClass BrokenOnPurpose",
         {{"operation", "ADD"}, {"status", "FAILED"}, {"message", "Variable does not exist: undefinedThing"}}},
        {"ApexClass PropertyController",
         {{"operation", "UPDATE"}, {"status", "SUCCEEDED"}, {"message", "Component deployed successfully."}}},
        {"ApexClass TestPropertyController",
         {{"operation", "UPDATE"}, {"status", "SUCCEEDED"}, {"message", "Component deployed successfully."}}},
        {"CustomField Property__c.Price__c",
         {{"operation", "UPDATE"}, {"status", "SUCCEEDED"}, {"message", "Component deployed successfully."}}},
    };
    EXPECT_EQ(rows, expected) << boost::json::serialize(summary);

    // One deploy, to the target org by its username, errors ignored, no tests chosen so no test level.
    const auto deploys = calls_starting(sf, {"project", "deploy"});
    ASSERT_EQ(deploys.size(), 1u) << session.out;
    EXPECT_EQ(with_source_dir_placeholder(deploys[0].args),
              (std::vector<std::string>{"project", "deploy", "start", "--source-dir", "{dir}", "--target-org",
                                        std::string(kTargetUser), "--wait", "30", "--json", "--ignore-conflicts",
                                        "--ignore-errors"}));
    // The package holds exactly the source org's documents of the four rows.
    const auto source = source_org_dir();
    const std::map<std::string, std::string> sent_expected = {
        {"main/default/classes/BrokenOnPurpose.cls",
         read_file(source / "ApexClass/BrokenOnPurpose/classes/BrokenOnPurpose.cls")},
        {"main/default/classes/BrokenOnPurpose.cls-meta.xml",
         read_file(source / "ApexClass/BrokenOnPurpose/classes/BrokenOnPurpose.cls-meta.xml")},
        {"main/default/classes/PropertyController.cls",
         read_file(source / "ApexClass/PropertyController/classes/PropertyController.cls")},
        {"main/default/classes/PropertyController.cls-meta.xml",
         read_file(source / "ApexClass/PropertyController/classes/PropertyController.cls-meta.xml")},
        {"main/default/classes/TestPropertyController.cls",
         read_file(source / "ApexClass/TestPropertyController/classes/TestPropertyController.cls")},
        {"main/default/classes/TestPropertyController.cls-meta.xml",
         read_file(source / "ApexClass/TestPropertyController/classes/TestPropertyController.cls-meta.xml")},
        {"main/default/objects/Property__c/fields/Price__c.field-meta.xml",
         read_file(source / "CustomObject/Property__c/objects/Property__c/fields/Price__c.field-meta.xml")},
    };
    EXPECT_EQ(deploys[0].source_dir_files, sent_expected);
    const auto outcomes = deploy_outcomes(root.path());
    ASSERT_EQ(outcomes.size(), 1u);
    EXPECT_EQ(outcomes[0], (object{{"total", 4}, {"succeeded", 3}, {"failed", 1}, {"notAttempted", 0}}));
    expect_every_call_answered(root.path());
    expect_clean(root.path(), sf);
}

std::vector<object> states_of(const SessionOutput& session, std::string_view kind) {
    std::vector<object> found;
    for (auto& state : session.states()) {
        if (state.at("kind").as_string() == kind && !state.contains("activeOperation")) found.push_back(state);
    }
    return found;
}

// Validate with a chosen test, then deploy the validated job without running it again.
TEST(OrgDeployRoads, ValidationWithATestThenQuickDeployOfTheValidatedJob) {
    if (skip_without_client()) {
        AMBREL_SKIP_UNLESS_CI("node or the pinned vscode-jsonrpc client is missing (run scripts/install-jsonrpc-client)");
    }
    TempDir root;
    fake::FakeSf sf;
    sf.write(org_scenario({{{"project", "deploy", "start"}, fake::Answer::capture("deploy_dryrun_tests")},
                           {{"project", "deploy", "quick"}, fake::Answer::capture("deploy_quick")}}));
    array steps = compare_steps();
    steps.emplace_back(step("workflow/deploy",
                            {{"selected", keys({{"ApexClass", "PropertyController"}})},
                             {"flsMode", "NONE"},
                             {"deployMode", "VALIDATE_ONLY"}},
                            {"selectingTests"}));
    steps.emplace_back(step("workflow/confirmTests",
                            {{"sessionId", "$sessionId"}, {"tests", texts({"TestPropertyController"})}}, {"results"}));
    steps.emplace_back(step("workflow/quickDeploy", {}, {"results"}));
    const auto session = run_session(root.path(), {{"steps", std::move(steps)}}, fake_sf_environment(sf));
    ASSERT_EQ(session.exit_code, 0) << session.out;
    expect_review(session);

    // The test class is not selected, so the target's listing offers it, not preselected.
    const auto tests = session.last_state("selectingTests");
    ASSERT_TRUE(tests.has_value()) << session.out;
    EXPECT_EQ(boost::json::serialize(tests->at("candidates")),
              boost::json::serialize(boost::json::parse(
                  R"([{"name":"FileUtilitiesTest","origin":"TARGET","preselected":false},)"
                  R"({"name":"GeocodingServiceTest","origin":"TARGET","preselected":false},)"
                  R"({"name":"TestPropertyController","origin":"TARGET","preselected":false},)"
                  R"({"name":"TestSampleDataController","origin":"TARGET","preselected":false}])")));

    const auto results = states_of(session, "results");
    ASSERT_EQ(results.size(), 2u) << session.out;
    // The validation: the row passed, the chosen tests ran, and the quick deploy is offered.
    const auto& validation = results[0].at("summary").as_object();
    EXPECT_EQ(validation.at("deployMode").as_string(), "VALIDATE_ONLY");
    EXPECT_TRUE(validation.at("quickDeployAvailable").as_bool());
    EXPECT_FALSE(validation.at("quickDeploy").as_bool());
    EXPECT_EQ(boost::json::serialize(validation.at("testsSummary")), R"({"run":2,"failed":0})");
    const std::map<std::string, object> validated = {
        {"ApexClass PropertyController", {{"operation", "UPDATE"}, {"status", "SUCCEEDED"}}}};
    EXPECT_EQ(rows_by_key(validation, "fieldResults", {"operation", "status"}), validated)
        << boost::json::serialize(validation);

    // While it runs, the screen names the org the validation went to: the ticket keeps the username
    // the deploy was given.
    std::vector<std::string> quick_targets;
    for (const auto& state : session.states()) {
        if (state.at("kind").as_string() == "quickDeploying") quick_targets.push_back(text_of(state, "targetAlias"));
    }
    ASSERT_FALSE(quick_targets.empty()) << session.out;
    for (const auto& target : quick_targets) EXPECT_EQ(target, kTargetUser);

    // The quick deploy: the validated job's summary, nothing run again.
    const auto& quick = results[1].at("summary").as_object();
    EXPECT_TRUE(quick.at("quickDeploy").as_bool());
    EXPECT_FALSE(quick.at("quickDeployAvailable").as_bool());
    EXPECT_EQ(quick.at("deployMode").as_string(), "ALL_OR_NOTHING");
    EXPECT_TRUE(quick.at("testsSummary").is_null());

    // A dry run with the chosen test, then the quick deploy of the validation's job id, both to the
    // target org's username.
    const auto deploys = calls_starting(sf, {"project", "deploy"});
    ASSERT_EQ(deploys.size(), 2u) << session.out;
    EXPECT_EQ(with_source_dir_placeholder(deploys[0].args),
              (std::vector<std::string>{"project", "deploy", "start", "--source-dir", "{dir}", "--target-org",
                                        std::string(kTargetUser), "--wait", "30", "--json", "--ignore-conflicts",
                                        "--dry-run", "--test-level", "RunSpecifiedTests", "--tests",
                                        "TestPropertyController"}));
    const auto source = source_org_dir();
    const std::map<std::string, std::string> sent_expected = {
        {"main/default/classes/PropertyController.cls",
         read_file(source / "ApexClass/PropertyController/classes/PropertyController.cls")},
        {"main/default/classes/PropertyController.cls-meta.xml",
         read_file(source / "ApexClass/PropertyController/classes/PropertyController.cls-meta.xml")},
    };
    EXPECT_EQ(deploys[0].source_dir_files, sent_expected);
    EXPECT_EQ(deploys[1].args,
              (std::vector<std::string>{"project", "deploy", "quick", "--job-id", "0Af000PspBlSzT5CSK", "--target-org",
                                        std::string(kTargetUser), "--wait", "30", "--json"}));
    const auto outcomes = deploy_outcomes(root.path());
    ASSERT_EQ(outcomes.size(), 2u);
    EXPECT_EQ(outcomes[0], (object{{"total", 1}, {"succeeded", 1}, {"failed", 0}, {"notAttempted", 0}}));
    EXPECT_EQ(outcomes[1], (object{{"total", 1},
                                   {"succeeded", 1},
                                   {"failed", 0},
                                   {"notAttempted", 0},
                                   {"quickDeployPerformed", true}}));
    expect_every_call_answered(root.path());
    expect_clean(root.path(), sf);
}

// Best effort with two custom labels, which travel in one shared labels file, and a class: the target
// refuses one label by the shared file's name; that label alone fails with its reason, the other
// label and the class deployed.
TEST(OrgDeployRoads, ARefusedLabelOnTheSharedLabelsFileFailsAloneWithItsReason) {
    if (skip_without_client()) {
        AMBREL_SKIP_UNLESS_CI("node or the pinned vscode-jsonrpc client is missing (run scripts/install-jsonrpc-client)");
    }
    TempDir root;
    fake::FakeSf sf;
    sf.write(org_scenario({{{"project", "deploy", "start"}, adapted("deploy_start_label_failure")}}, true));
    array steps{
        step("workflow/loadOrgs", {}, {"selecting"}),
        step("workflow/selectSource", {{"endpoint", object{{"kind", "org"}, {"alias", kSourceAlias}}}}, {"selecting"}),
        step("workflow/selectTarget", {{"endpoint", object{{"kind", "org"}, {"alias", kTargetAlias}}}}, {"selecting"}),
        step("workflow/selectMetadataType", {{"metadataType", "ApexClass"}, {"currentSelection", array{}}},
             {"selecting"}),
        step("workflow/selectMetadataType",
             {{"metadataType", "CustomLabel"}, {"currentSelection", texts({"PropertyController"})}}, {"selecting"}),
        step("workflow/compare", {{"currentSelection", texts({"Farewell", "Greeting"})}}, {"reviewing"}),
        step("workflow/deploy",
             {{"selected", keys({{"ApexClass", "PropertyController"},
                                 {"CustomLabel", "Farewell"},
                                 {"CustomLabel", "Greeting"}})},
              {"flsMode", "NONE"},
              {"deployMode", "BEST_EFFORT"}},
             {"selectingTests"}),
        step("workflow/confirmTests", {{"sessionId", "$sessionId"}, {"tests", array{}}}, {"results"}),
    };
    const auto session = run_session(root.path(), {{"steps", std::move(steps)}}, fake_sf_environment(sf));
    ASSERT_EQ(session.exit_code, 0) << session.out;

    const auto results = session.last_state("results");
    ASSERT_TRUE(results.has_value()) << session.out;
    const auto& summary = results->at("summary").as_object();
    const std::map<std::string, object> expected = {
        {"ApexClass PropertyController", {{"status", "SUCCEEDED"}, {"message", "Component deployed successfully."}}},
        {"CustomLabel Farewell",
         {{"status", "FAILED"}, {"message", "Value too long for field: Value maximum size is 1000 characters."}}},
        {"CustomLabel Greeting", {{"status", "SUCCEEDED"}, {"message", "Component deployed successfully."}}},
    };
    EXPECT_EQ(rows_by_key(summary, "fieldResults", {"status", "message"}), expected) << boost::json::serialize(summary);
    // Both labels travelled in the one labels file.
    const auto deploys = calls_starting(sf, {"project", "deploy", "start"});
    ASSERT_EQ(deploys.size(), 1u);
    const auto& sent = deploys[0].source_dir_files;
    const auto labels = sent.find("main/default/labels/CustomLabels.labels-meta.xml");
    ASSERT_NE(labels, sent.end()) << session.out;
    EXPECT_NE(labels->second.find("<fullName>Farewell</fullName>"), std::string::npos);
    EXPECT_NE(labels->second.find("<fullName>Greeting</fullName>"), std::string::npos);
    expect_every_call_answered(root.path());
    expect_clean(root.path(), sf);
}

// A validation whose chosen test fails beside one refused class: the job failed as a whole, so no row
// reads as one that would deploy, the other class says why, and the test's failure is in the details.
TEST(OrgDeployRoads, AFailedValidationShowsNoRowThatWouldDeployAndNamesTheFailingTest) {
    if (skip_without_client()) {
        AMBREL_SKIP_UNLESS_CI("node or the pinned vscode-jsonrpc client is missing (run scripts/install-jsonrpc-client)");
    }
    TempDir root;
    fake::FakeSf sf;
    sf.write(org_scenario({{{"project", "deploy", "start"}, adapted("deploy_dryrun_compfail_testfail")}}));
    array steps = compare_steps();
    steps.emplace_back(step("workflow/deploy",
                            {{"selected", keys({{"ApexClass", "BrokenOnPurpose"}, {"ApexClass", "PropertyController"}})},
                             {"flsMode", "NONE"},
                             {"deployMode", "VALIDATE_ONLY"}},
                            {"selectingTests"}));
    steps.emplace_back(step("workflow/confirmTests",
                            {{"sessionId", "$sessionId"}, {"tests", texts({"TestPropertyController"})}}, {"results"}));
    const auto session = run_session(root.path(), {{"steps", std::move(steps)}}, fake_sf_environment(sf));
    ASSERT_EQ(session.exit_code, 0) << session.out;

    const auto results = session.last_state("results");
    ASSERT_TRUE(results.has_value()) << session.out;
    const auto& summary = results->at("summary").as_object();
    EXPECT_EQ(summary.at("deployMode").as_string(), "VALIDATE_ONLY");
    EXPECT_FALSE(summary.at("quickDeployAvailable").as_bool());
    const std::string test_failure =
        "Apex test failures: TestPropertyController.getPagedPropertyList: System.AssertException: Assertion Failed";
    const std::map<std::string, object> expected = {
        {"ApexClass BrokenOnPurpose", {{"status", "FAILED"}, {"message", "Variable does not exist: undefinedThing"}}},
        {"ApexClass PropertyController",
         {{"status", "FAILED"},
          {"message", "Not deployed: the deployment failed. Variable does not exist: undefinedThing; " + test_failure}}},
    };
    EXPECT_EQ(rows_by_key(summary, "fieldResults", {"status", "message"}), expected) << boost::json::serialize(summary);
    EXPECT_NE(text_of(summary, "sanitizedDetails").find(test_failure), std::string::npos)
        << boost::json::serialize(summary);
    EXPECT_EQ(calls_starting(sf, {"project", "deploy"}).size(), 1u);
    expect_every_call_answered(root.path());
    expect_clean(root.path(), sf);
}

// A cancel once the deploy job runs in the org: the command stops, the deploy ends on its results
// screen (not the cancelled screen), every row says the org may still apply the job it names, and
// nothing is sent again.
TEST(OrgDeployRoads, ACancelWhileTheOrgDeploysEndsOnTheResultsWithTheJob) {
    if (skip_without_client()) {
        AMBREL_SKIP_UNLESS_CI("node or the pinned vscode-jsonrpc client is missing (run scripts/install-jsonrpc-client)");
    }
    TempDir root;
    const auto reporting = root.path() / "reporting";
    fake::Answer slow_report;
    slow_report.file(reporting.string(), "").sleep_ms(120'000);
    fake::FakeSf sf;
    sf.write(org_scenario({{{"project", "deploy", "start"}, fake::Answer::capture("deploy_start_async")},
                           {{"project", "deploy", "report"}, slow_report}}));
    array steps = compare_steps();
    steps.emplace_back(step("workflow/deploy",
                            {{"selected", keys({{"CustomField", "Property__c.Price__c"}})},
                             {"flsMode", "NONE"},
                             {"deployMode", "BEST_EFFORT"}},
                            {}));
    steps.emplace_back(object{{"waitFile", reporting.string()}});
    steps.emplace_back(step("workflow/cancel", {}, {"results"}));
    const auto started = std::chrono::steady_clock::now();
    const auto session = run_session(root.path(), {{"steps", std::move(steps)}}, fake_sf_environment(sf));
    ASSERT_EQ(session.exit_code, 0) << session.out;
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(60));

    const auto cancel_answer = session.answer(9);
    ASSERT_TRUE(cancel_answer.has_value()) << session.out;
    EXPECT_EQ(boost::json::serialize(*cancel_answer), R"({"cancelled":true})");
    for (const auto& state : session.states()) EXPECT_NE(text_of(state, "kind"), "error") << boost::json::serialize(state);
    const auto results = session.last_state("results");
    ASSERT_TRUE(results.has_value()) << session.out;
    const auto& summary = results->at("summary").as_object();
    const std::map<std::string, object> expected = {
        {"CustomField Property__c.Price__c",
         {{"status", "FAILED"},
          {"message",
           "Cancelled while the org was deploying; the org may still apply this deployment (job 0Af000Ylw3hUchVCCS). "
           "Check the deployment status in the org before deploying again."}}},
    };
    EXPECT_EQ(rows_by_key(summary, "fieldResults", {"status", "message"}), expected) << boost::json::serialize(summary);
    // One start and its one report: no retry sent anything after the cancel.
    const auto deploys = calls_starting(sf, {"project", "deploy"});
    ASSERT_EQ(deploys.size(), 2u);
    EXPECT_EQ(deploys[1].args[2], "report");
    // The stopped report has no exit code in the session log; every call still met its rule.
    expect_clean(root.path(), sf);
}

// What the front end may send as the work finishes changes nothing: a second confirmation while the
// validation runs is refused, and a cancel on the results screen keeps the validation and its ticket.
// A damaged remembered-endpoints file is kept beside the one the endpoint choice writes.
TEST(OrgDeployRoads, ARepeatedConfirmOrALateCancelKeepsTheValidationAndItsTicket) {
    if (skip_without_client()) {
        AMBREL_SKIP_UNLESS_CI("node or the pinned vscode-jsonrpc client is missing (run scripts/install-jsonrpc-client)");
    }
    TempDir root;
    const std::filesystem::path data = root.path() / "data" / "quillary";
    std::filesystem::create_directories(data);
    const std::string damaged = "{\"v\":1,\"source\":{\"kind\":\"org\",";
    std::ofstream(data / "last-endpoints.json", std::ios::binary) << damaged;
    fake::FakeSf sf;
    // The validation takes long enough for the second confirmation to arrive while it runs.
    sf.write(org_scenario({{{"project", "deploy", "start"}, fake::Answer::capture("deploy_dryrun_tests").sleep_ms(2000)},
                           {{"project", "deploy", "quick"}, fake::Answer::capture("deploy_quick")}}));
    array steps = compare_steps();
    steps.emplace_back(step("workflow/deploy",
                            {{"selected", keys({{"ApexClass", "PropertyController"}})},
                             {"flsMode", "NONE"},
                             {"deployMode", "VALIDATE_ONLY"}},
                            {"selectingTests"}));
    const object confirm{{"sessionId", "$sessionId"}, {"tests", texts({"TestPropertyController"})}};
    steps.emplace_back(object{{"request", "workflow/confirmTests"}, {"params", confirm}});
    steps.emplace_back(step("workflow/confirmTests", confirm, {"results"}));
    steps.emplace_back(object{{"request", "workflow/cancel"}, {"params", object{}}});
    steps.emplace_back(step("workflow/quickDeploy", {}, {"results"}));
    const auto session = run_session(root.path(), {{"steps", std::move(steps)}}, fake_sf_environment(sf));
    ASSERT_EQ(session.exit_code, 0) << session.out;

    ASSERT_TRUE(session.answer(8).has_value()) << session.out;
    EXPECT_NE(boost::json::serialize(*session.answer(8)), R"({"operationId":null})");
    EXPECT_EQ(session.answer(9), boost::json::value(boost::json::parse(R"({"operationId":null})"))) << session.out;
    EXPECT_EQ(session.answer(10), boost::json::value(boost::json::parse(R"({"cancelled":false})"))) << session.out;
    // One validation ran, its results came, and the quick deploy still found its ticket.
    const auto results = states_of(session, "results");
    ASSERT_EQ(results.size(), 2u) << session.out;
    EXPECT_TRUE(results[0].at("summary").as_object().at("quickDeployAvailable").as_bool());
    EXPECT_TRUE(results[1].at("summary").as_object().at("quickDeploy").as_bool());
    for (const auto& state : session.states()) EXPECT_NE(text_of(state, "kind"), "error") << boost::json::serialize(state);
    EXPECT_EQ(calls_starting(sf, {"project", "deploy", "start"}).size(), 1u);
    EXPECT_EQ(calls_starting(sf, {"project", "deploy", "quick"}).size(), 1u);

    // The damaged memory is kept beside, the new one is written, and the log says so once.
    EXPECT_EQ(read_file(data / "last-endpoints.json.unreadable"), damaged);
    EXPECT_EQ(read_file(data / "last-endpoints.json"),
              fmt::format(R"({{"v":1,"source":{{"kind":"org","alias":"{}"}},"target":{{"kind":"org","alias":"{}"}}}})"
                          "\n",
                          kSourceAlias, kTargetAlias));
    std::size_t kept_lines = 0;
    for (const auto& entry : std::filesystem::directory_iterator(root.path() / "workspace" / "quillary" / "logs")) {
        std::ifstream in(entry.path());
        for (std::string line; std::getline(in, line);) {
            const auto event = boost::json::parse(line).as_object();
            if (text_of(event, "event") != "endpointMemoryKeptAside") continue;
            ++kept_lines;
            EXPECT_EQ(text_of(event, "path"), (data / "last-endpoints.json.unreadable").string());
        }
    }
    EXPECT_EQ(kept_lines, 1u);
    expect_clean(root.path(), sf);
}

}  // namespace
}  // namespace ambrel::testing::e2e
