// Two org roads end to end against the fake `sf`, ambrel-server driven over stdio by the pinned
// JSON-RPC client:
// - an org-to-org deploy of custom fields that carries their field-level security: the container
//   screen offers what both orgs list, and after the fields are deployed only the chosen permission
//   set goes back to the target, holding the target's document with the selected fields' grants
//   merged in and nothing else changed;
// - org preparation: the inspection of both orgs for keyed record transfer, then its application,
//   which deploys the missing external-ID field (with the signed-in user's profile permission on it)
//   and fills the keys of both orgs through bulk upserts.
// Every answer of the fake is a capture of the real CLI with ids and names adapted
// (tests/fixtures/e2e/e4/README.md); a call without a rule fails loudly.

#include <gtest/gtest.h>

#include <signal.h>

#include <cerrno>
#include <filesystem>
#include <algorithm>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "e2e/harness.hpp"
#include "json/json.hpp"
#include "support/test_paths.hpp"

namespace ambrel::testing::e2e {
namespace {

namespace fake = ambrel::testing::fake_sf;
namespace fs = std::filesystem;
using Words = std::vector<std::string>;

constexpr std::string_view kSourceUser = "dana.admin@dreamhouse.standin";
constexpr std::string_view kTargetUser = "dana.admin@dreamhouse.standin.uat";

constexpr std::string_view kEntityIdQuery =
    "SELECT DurableId, QualifiedApiName FROM EntityDefinition WHERE QualifiedApiName IN ('Property__c')";
constexpr std::string_view kFieldIdQuery =
    "SELECT Id, DeveloperName, TableEnumOrId, NamespacePrefix FROM CustomField WHERE TableEnumOrId IN "
    "('01I000EvsmfMgDi')";
constexpr std::string_view kDependencyQuery =
    "SELECT MetadataComponentId, MetadataComponentType, MetadataComponentName, RefMetadataComponentId, "
    "RefMetadataComponentType, RefMetadataComponentName, RefMetadataComponentNamespace FROM "
    "MetadataComponentDependency WHERE MetadataComponentId IN ('00N000iF3ThmSrP', '00N000ZlCuiw3Cs', "
    "'00N000nq4p5FhUl', '01I000EvsmfMgDi')";
constexpr std::string_view kContainerQuery =
    "SELECT Id, Name, NamespacePrefix, IsOwnedByProfile, ProfileId, Label, Profile.Name, TYPEOF License WHEN "
    "PermissionSetLicense THEN DeveloperName WHEN UserLicense THEN Name END FROM PermissionSet WHERE Type != 'Group'";
constexpr std::string_view kProfileIdQuery =
    "SELECT ProfileId FROM User WHERE Username = 'dana.admin@dreamhouse.standin' LIMIT 1";
constexpr std::string_view kUnkeyedIdQuery = "SELECT Id FROM Pricebook2 WHERE QuillaryExternalId__c = null ORDER BY Id";

fs::path fixtures() { return tests_dir() / "fixtures" / "e2e" / "e4"; }
fs::path source_org() { return fixtures() / "orgs" / std::string(kSourceUser); }
fs::path target_org() { return fixtures() / "orgs" / std::string(kTargetUser); }

// The answer kept in this road's fixtures as NAME.out, NAME.err and NAME.rc.
fake::Answer fixture(std::string_view name) {
    fake::Answer answer;
    answer.out_file(fixtures() / (std::string(name) + ".out"));
    answer.err_file(fixtures() / (std::string(name) + ".err"));
    std::ifstream rc(fixtures() / (std::string(name) + ".rc"));
    std::int64_t code = 0;
    rc >> code;
    answer.exit_code(code);
    return answer;
}

Words query(std::string_view soql, std::string_view org, bool tooling = false) {
    Words words{"data", "query", "--query", std::string(soql)};
    if (tooling) words.emplace_back("--use-tooling-api");
    words.insert(words.end(), {"--target-org", std::string(org), "--json"});
    return words;
}

// The answers of the selection screen: the CLI check, the two orgs, their objects and their record
// schema; every call without a rule fails.
fake::Scenario selection_scenario() {
    fake::Scenario scenario;
    scenario.orgs({"dh", "uat", std::string(kSourceUser), std::string(kTargetUser)})
        .on_exact({"version", "--json"}, fake::Answer::capture("version"))
        .on_exact({"org", "list", "--skip-connection-status", "--json"}, fixture("orglist"));
    // The org listing asks by alias on the selection screen and by username inside a compare.
    for (const std::string& org : Words{"dh", "uat", std::string(kSourceUser), std::string(kTargetUser)}) {
        scenario.on_exact(query(kObjectListingQuery, org), fixture("q_entitydef"))
            .on_exact(query(kRevenueCloudFieldQuery, org), fixture("q_empty"));
    }
    scenario.otherwise(unanswered_call());
    return scenario;
}

boost::json::object script(std::string_view steps) {
    auto parsed = json::parse(steps);
    EXPECT_TRUE(parsed.has_value()) << steps;
    return {{"steps", parsed ? parsed->as_array() : boost::json::array{}}};
}

// The selection of the two orgs, the steps every road here begins with.
constexpr std::string_view kSelectOrgs = R"(
  {"request": "workflow/loadOrgs", "until": ["selecting"]},
  {"request": "workflow/selectSource", "params": {"endpoint": {"kind": "org", "alias": "dh"}}, "until": ["selecting"]},
  {"request": "workflow/selectTarget", "params": {"endpoint": {"kind": "org", "alias": "uat"}}, "until": ["selecting"]})";

std::string text(const boost::json::value& value) { return boost::json::serialize(value); }

// The end of what a session printed, enough to see where it stopped.
std::string tail(const SessionOutput& session) {
    constexpr std::size_t kTail = 1500;
    return session.out.size() <= kTail ? session.out : session.out.substr(session.out.size() - kTail);
}

const boost::json::object* row_named(const boost::json::array& rows, std::string_view key, std::string_view name) {
    for (const auto& row : rows) {
        if (row.as_object().at(key).as_string() == name) return &row.as_object();
    }
    return nullptr;
}

// The calls whose arguments begin with `prefix`, in order.
std::vector<fake::RecordedCall> calls_starting(const std::vector<fake::RecordedCall>& calls, const Words& prefix) {
    std::vector<fake::RecordedCall> found;
    for (const auto& call : calls) {
        if (call.args.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), call.args.begin())) {
            found.push_back(call);
        }
    }
    return found;
}

// The argument after `flag`, or "".
std::string argument_after(const fake::RecordedCall& call, std::string_view flag) {
    for (std::size_t i = 0; i + 1 < call.args.size(); ++i) {
        if (call.args[i] == flag) return call.args[i + 1];
    }
    return {};
}

// What a run leaves behind: every entry below {workspace}/quillary other than the logs folder, and
// every `sf` process still alive.
void expect_nothing_left(const fs::path& root, const std::vector<fake::RecordedCall>& calls) {
    const fs::path quillary = root / "workspace" / "quillary";
    std::vector<std::string> left;
    for (const auto& entry : fs::directory_iterator(quillary)) {
        if (entry.path().filename() != "logs") left.push_back(entry.path().filename().string());
    }
    EXPECT_TRUE(left.empty()) << left.front();
    for (const auto& call : calls) {
        errno = 0;
        const bool alive = ::kill(static_cast<pid_t>(call.pid), 0) == 0 || errno == EPERM;
        EXPECT_FALSE(alive) << "sf " << call.args.front() << " (pid " << call.pid << ") is still running";
    }
}

// Replaces the one occurrence of `from` in `text` by `to`; fails the test when it is not there once.
std::string replaced(std::string text, std::string_view from, std::string_view to) {
    const std::size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    if (at == std::string::npos) return text;
    EXPECT_EQ(text.find(from, at + 1), std::string::npos) << from;
    return text.replace(at, from.size(), to);
}

std::string field_permission(std::string_view field, bool editable, bool readable) {
    return "    <fieldPermissions>\n        <editable>" + std::string(editable ? "true" : "false") +
           "</editable>\n        <field>" + std::string(field) + "</field>\n        <readable>" +
           std::string(readable ? "true" : "false") + "</readable>\n    </fieldPermissions>\n";
}

// The answers of a deploy of Property__c's fields with their field-level security, the orgs' documents
// retrieved from `orgs`: the compare, both orgs' containers, the package of fields (best effort),
// then the permission set.
fake::Scenario fields_deploy_scenario(const fs::path& orgs) {
    fake::Scenario scenario = selection_scenario();
    const std::string source(kSourceUser);
    const std::string target(kTargetUser);
    // The compare: both retrieves, then the dependency lookup of the source's fields.
    scenario.on_prefix({"project", "retrieve", "start"}, fake::Answer().retrieve_from(orgs))
        .on_exact(query(kEntityIdQuery, source, true), fixture("qt_entity_ids"))
        .on_exact(query(kFieldIdQuery, source, true), fixture("qt_customfield"))
        .on_exact(query(kDependencyQuery, source, true), fixture("q_empty"));
    // The containers of both orgs.
    for (const std::string& org : {source, target}) {
        scenario.on_exact(query(kContainerQuery, org), fixture("q_containers"))
            .on_exact({"org", "list", "metadata", "--metadata-type", "PermissionSet", "--target-org", org, "--json"},
                      fake::Answer::capture("standin/listmeta_permset"))
            .on_exact({"org", "list", "metadata", "--metadata-type", "Profile", "--target-org", org, "--json"},
                      fake::Answer::capture("standin/listmeta_profile"));
    }
    // The package of fields (best effort), then the permission set.
    scenario.on_contains({"project", "deploy", "start", "--ignore-errors"}, fixture("deploy_fields"))
        .on_prefix({"project", "deploy", "start"}, fixture("deploy_permset"));
    return scenario;
}

// The steps that deploy Property__c's two changed fields with `fls_mode`, the permission set
// "dreamhouse" chosen on the container screen.
std::string fields_deploy_steps(std::string_view fls_mode) {
    return std::string("[") + std::string(kSelectOrgs) + R"(,
      {"request": "workflow/selectMetadataType", "params": {"metadataType": "CustomField", "currentSelection": []},
       "until": ["selecting"]},
      {"request": "workflow/compare", "params": {"currentSelection": ["Property__c"]}, "until": ["reviewing"]},
      {"request": "workflow/deploy", "params": {"selected": [
         {"metadataType": "CustomField", "name": "Property__c.Date_Agreement__c"},
         {"metadataType": "CustomField", "name": "Property__c.Tags__c"}], "flsMode": ")" +
           std::string(fls_mode) + R"("},
       "until": ["selectingFlsContainers"]},
      {"request": "workflow/confirmFlsContainers",
       "params": {"containers": [{"kind": "PERMISSION_SET", "apiName": "dreamhouse"}]}, "until": ["results"]}])";
}

// Custom fields of Property__c deployed from dh to uat in BEST_EFFORT with ADDITIVE field-level
// security, the permission set "dreamhouse" chosen and the profile "Admin" left out.
TEST(FlsPreparationRoads, DeployingFieldsCarriesTheirSecurityIntoTheChosenPermissionSetOnly) {
    if (!client_installed()) {
        AMBREL_SKIP_UNLESS_CI("node or the pinned vscode-jsonrpc client is missing (run scripts/install-jsonrpc-client)");
    }
    TempDir root;
    fake::FakeSf sf;
    const std::string source(kSourceUser);
    const std::string target(kTargetUser);
    sf.write(fields_deploy_scenario(fixtures() / "orgs"));

    const auto session = run_session(root.path(), script(fields_deploy_steps("ADDITIVE")), fake_sf_environment(sf));
    ASSERT_EQ(session.exit_code, 0) << tail(session);
    const auto calls = sf.calls();

    // The review: one changed and one new field, nothing blocked, no dependency warning.
    const auto reviewing = session.last_state("reviewing");
    ASSERT_TRUE(reviewing.has_value()) << tail(session);
    EXPECT_TRUE(reviewing->at("dependencyWarnings").as_array().empty()) << text(*reviewing);
    const auto& rows = reviewing->at("differences").as_array();
    struct RowCase {
        std::string_view name;
        std::string_view change;
        bool can_deploy;
    };
    for (const RowCase& expected : {RowCase{"Property__c.Date_Agreement__c", "UPDATE", true},
                                    RowCase{"Property__c.Tags__c", "ADD", true},
                                    RowCase{"Property__c.Description__c", "NO_CHANGE", false}}) {
        SCOPED_TRACE(expected.name);
        const auto* row = row_named(rows, "name", expected.name);
        ASSERT_NE(row, nullptr) << text(*reviewing);
        EXPECT_EQ(row->at("change").as_string(), expected.change);
        EXPECT_EQ(row->at("canDeploy").as_bool(), expected.can_deploy);
        EXPECT_TRUE(row->at("canSyncPermissions").as_bool());
        EXPECT_TRUE(row->at("blockReason").is_null());
    }
    // The label is the one difference, so the whole document differs only through it.
    EXPECT_EQ(row_named(rows, "name", "Property__c.Date_Agreement__c")->at("summary").as_string(),
              "Label: Date Agreement -> Agreement Date; Definition changed");

    // The container screen: the profile and the permission set both orgs list, both offered.
    const auto choosing = session.last_state("selectingFlsContainers");
    ASSERT_TRUE(choosing.has_value()) << tail(session);
    EXPECT_EQ(choosing->at("flsMode").as_string(), "ADDITIVE");
    EXPECT_EQ(text(choosing->at("selected")),
              R"([{"metadataType":"CustomField","name":"Property__c.Date_Agreement__c"},)"
              R"({"metadataType":"CustomField","name":"Property__c.Tags__c"}])");
    EXPECT_EQ(text(choosing->at("containers")),
              R"([{"kind":"PROFILE","apiName":"Admin","label":"System Administrator","presence":"EXISTING",)"
              R"("selectable":true,"blockReason":null,"preselected":true},)"
              R"({"kind":"PERMISSION_SET","apiName":"dreamhouse","label":"dreamhouse","presence":"EXISTING",)"
              R"("selectable":true,"blockReason":null,"preselected":true}])");
    EXPECT_TRUE(choosing->at("scenarioUnmatchedContainers").as_array().empty());

    // Two deploys: the fields in best effort, then the permission set alone, both to the target.
    const auto deploys_run = calls_starting(calls, {"project", "deploy", "start"});
    ASSERT_EQ(deploys_run.size(), 2u) << tail(session);
    const auto& fields = deploys_run[0];
    EXPECT_EQ(fields.args, (Words{"project", "deploy", "start", "--source-dir", argument_after(fields, "--source-dir"),
                                  "--target-org", target, "--wait", "30", "--json", "--ignore-conflicts",
                                  "--ignore-errors"}));
    EXPECT_EQ(fs::path(argument_after(fields, "--source-dir")), fs::path(fields.cwd) / "force-app");
    const fs::path source_fields = source_org() / "CustomObject" / "Property__c" / "objects" / "Property__c" / "fields";
    EXPECT_EQ(fields.source_dir_files,
              (std::map<std::string, std::string>{
                  {"main/default/objects/Property__c/fields/Date_Agreement__c.field-meta.xml",
                   read_file(source_fields / "Date_Agreement__c.field-meta.xml")},
                  {"main/default/objects/Property__c/fields/Tags__c.field-meta.xml",
                   read_file(source_fields / "Tags__c.field-meta.xml")}}));

    const auto& permissions = deploys_run[1];
    EXPECT_EQ(permissions.args,
              (Words{"project", "deploy", "start", "--source-dir", argument_after(permissions, "--source-dir"),
                     "--target-org", target, "--wait", "30", "--json", "--ignore-conflicts"}));
    ASSERT_EQ(permissions.source_dir_files.size(), 1u) << tail(session);
    const auto& [sent_path, sent] = *permissions.source_dir_files.begin();
    EXPECT_EQ(sent_path, "main/default/permissionsets/dreamhouse.permissionset-meta.xml");
    // The target's document with the two selected fields' grants merged in (the union of both orgs'
    // grants) and every other permission, Description__c's read-only grant included, as it was.
    const std::string before = read_file(target_org() / "PermissionSet" / "dreamhouse" / "permissionsets" /
                                         "dreamhouse.permissionset-meta.xml");
    EXPECT_NE(sent.find(field_permission("Property__c.Date_Agreement__c", true, true)), std::string::npos) << sent;
    EXPECT_NE(sent.find(field_permission("Property__c.Tags__c", true, true)), std::string::npos) << sent;
    std::string rest = replaced(sent, field_permission("Property__c.Tags__c", true, true), "");
    rest = replaced(rest, field_permission("Property__c.Date_Agreement__c", true, true), "");
    EXPECT_EQ(rest, replaced(before, field_permission("Property__c.Date_Agreement__c", false, true), ""));

    // The permission documents came from one retrieve of each org (the two sides run at once), after
    // the fields were deployed and before the permission set was.
    std::multiset<std::string> compared_from;
    std::multiset<std::string> permissions_from;
    bool fields_deployed = false;
    for (const auto& call : calls) {
        if (call.pid == fields.pid) fields_deployed = true;
        if (call.pid == permissions.pid) break;
        if (call.args.size() > 2 && call.args[0] == "project" && call.args[1] == "retrieve") {
            (fields_deployed ? permissions_from : compared_from).insert(argument_after(call, "--target-org"));
        }
    }
    EXPECT_EQ(compared_from, (std::multiset<std::string>{source, target}));
    EXPECT_EQ(permissions_from, (std::multiset<std::string>{source, target}));

    // The results: both fields deployed, the permission set's two grants updated, the profile skipped.
    const auto results = session.last_state("results");
    ASSERT_TRUE(results.has_value()) << tail(session);
    const auto& summary = results->at("summary").as_object();
    EXPECT_EQ(text(summary.at("fieldResults")),
              R"([{"metadataType":"CustomField","name":"Property__c.Date_Agreement__c","operation":"UPDATE",)"
              R"("status":"SUCCEEDED","message":"Component deployed successfully."},)"
              R"({"metadataType":"CustomField","name":"Property__c.Tags__c","operation":"ADD",)"
              R"("status":"SUCCEEDED","message":"Component deployed successfully."}])");
    EXPECT_EQ(text(summary.at("flsResults")),
              R"([{"kind":"PERMISSION_SET","container":"dreamhouse","containerLabel":"dreamhouse","permission":"FIELD",)"
              R"("name":"Property__c.Date_Agreement__c","grant":"Read/Edit","status":"UPDATED",)"
              R"("message":"Permission metadata deployed successfully."},)"
              R"({"kind":"PERMISSION_SET","container":"dreamhouse","containerLabel":"dreamhouse","permission":"FIELD",)"
              R"("name":"Property__c.Tags__c","grant":"Read/Edit","status":"UPDATED",)"
              R"("message":"Permission metadata deployed successfully."},)"
              R"({"kind":"PROFILE","container":"Admin","containerLabel":"System Administrator","permission":"FIELD",)"
              R"("name":"Property__c.Date_Agreement__c","grant":"None","status":"SKIPPED",)"
              R"("message":"Not selected for permission transfer."},)"
              R"({"kind":"PROFILE","container":"Admin","containerLabel":"System Administrator","permission":"FIELD",)"
              R"("name":"Property__c.Tags__c","grant":"None","status":"SKIPPED",)"
              R"("message":"Not selected for permission transfer."}])");
    EXPECT_EQ(summary.at("deployMode").as_string(), "BEST_EFFORT");
    EXPECT_FALSE(summary.at("quickDeployAvailable").as_bool());

    const auto stages = [&] {
        std::set<std::string> seen;
        for (const auto& event : session.events) {
            if (event.at("event").as_string() == "progress") {
                seen.insert(std::string(event.at("params").as_object().at("stage").as_string()));
            }
        }
        return seen;
    }();
    EXPECT_TRUE(stages.contains("matchingFlsContainers"));
    EXPECT_TRUE(stages.contains("synchronizingFls"));
    expect_nothing_left(root.path(), calls);
}

// In ALL mode a field the source's permission set no longer grants loses its access in the target:
// the document sent keeps the target's block with both flags off, since a deploy leaves access that
// a document does not mention in place.
TEST(FlsPreparationRoads, AllModeRevokesAccessByWritingTheFlagsOff) {
    if (!client_installed()) {
        AMBREL_SKIP_UNLESS_CI("node or the pinned vscode-jsonrpc client is missing (run scripts/install-jsonrpc-client)");
    }
    TempDir root;
    // The source's documents with dreamhouse granting nothing on Date_Agreement__c.
    const fs::path orgs = root.path() / "orgs";
    fs::copy(fixtures() / "orgs", orgs, fs::copy_options::recursive);
    const fs::path source_set = orgs / std::string(kSourceUser) / "PermissionSet" / "dreamhouse" / "permissionsets" /
                                "dreamhouse.permissionset-meta.xml";
    const std::string granted = read_file(source_set);
    std::ofstream(source_set, std::ios::trunc) << replaced(granted, field_permission("Property__c.Date_Agreement__c", true, true), "");
    fake::FakeSf sf;
    sf.write(fields_deploy_scenario(orgs));

    const auto session = run_session(root.path(), script(fields_deploy_steps("ALL")), fake_sf_environment(sf));
    ASSERT_EQ(session.exit_code, 0) << tail(session);
    const auto calls = sf.calls();
    const auto deploys_run = calls_starting(calls, {"project", "deploy", "start"});
    ASSERT_EQ(deploys_run.size(), 2u) << tail(session);
    ASSERT_EQ(deploys_run[1].source_dir_files.size(), 1u) << tail(session);
    const std::string& sent = deploys_run[1].source_dir_files.begin()->second;
    const std::string before = read_file(target_org() / "PermissionSet" / "dreamhouse" / "permissionsets" /
                                         "dreamhouse.permissionset-meta.xml");
    // The target's read access to Date_Agreement__c is written off in its own block, in its place.
    const std::string revoked = field_permission("Property__c.Date_Agreement__c", false, false);
    EXPECT_EQ(replaced(sent, field_permission("Property__c.Tags__c", true, true), ""),
              replaced(before, field_permission("Property__c.Date_Agreement__c", false, true), revoked))
        << sent;

    const auto results = session.last_state("results");
    ASSERT_TRUE(results.has_value()) << tail(session);
    const auto& fls = results->at("summary").as_object().at("flsResults").as_array();
    ASSERT_FALSE(fls.empty());
    EXPECT_EQ(text(fls[0]),
              R"({"kind":"PERMISSION_SET","container":"dreamhouse","containerLabel":"dreamhouse","permission":"FIELD",)"
              R"("name":"Property__c.Date_Agreement__c","grant":"None","status":"UPDATED",)"
              R"("message":"Permission metadata deployed successfully."})");
    expect_nothing_left(root.path(), calls);
}

// The answers of org preparation: Pricebook2 is the one record object both orgs have; the source
// lacks the external-ID field (3 records), the target has it (2 records without a key).
fake::Scenario preparation_scenario(std::string_view field_deploy = "deploy_keyfield") {
    fake::Scenario scenario = selection_scenario();
    scenario
        .on_exact({"sobject", "describe", "--sobject", "Pricebook2", "--target-org", "dh", "--json"},
                  fixture("describe_pricebook2_source"))
        .on_exact({"sobject", "describe", "--sobject", "Pricebook2", "--target-org", "uat", "--json"},
                  fixture("describe_pricebook2_target"))
        .on_prefix({"sobject", "describe", "--sobject"}, fixture("describe_notfound"))
        .on_exact(query("SELECT COUNT() FROM Pricebook2", "dh"), fixture("q_count"))
        .on_exact(query("SELECT COUNT() FROM Pricebook2 WHERE QuillaryExternalId__c = null", "uat"), fixture("q_count_two"))
        .on_exact(query(kProfileIdQuery, "dh"), fake::Answer::capture("standin/q_profileid"))
        .on_exact({"org", "list", "metadata", "--metadata-type", "Profile", "--target-org", "dh", "--json"},
                  fake::Answer::capture("standin/listmeta_profile"))
        .on_contains({"project", "deploy", "start", "dh"}, fixture(field_deploy))
        .on_exact(query(kUnkeyedIdQuery, "dh"), fixture("q_ids_source"))
        .on_exact(query(kUnkeyedIdQuery, "uat"), fixture("q_ids_target"))
        .on_contains({"data", "upsert", "bulk", "dh"}, fixture("bulk_upsert_source"))
        .on_contains({"data", "upsert", "bulk", "uat"}, fixture("bulk_upsert_target"));
    return scenario;
}

// The first published state that carries an org preparation report with this applied flag.
std::optional<boost::json::object> preparation_report(const SessionOutput& session, bool applied) {
    for (const auto& state : session.states()) {
        const auto* report = state.if_contains("orgPreparation");
        if (report == nullptr || !report->is_object()) continue;
        if (report->as_object().at("applied").as_bool() == applied) return report->as_object();
    }
    return std::nullopt;
}

std::string side_text(std::string_view key_state, std::string_view label, std::string_view key_field,
                      std::string_view awaiting, std::string_view outcome, std::string_view keyed) {
    return R"({"keyState":")" + std::string(key_state) + R"(","keyStateLabel":")" + std::string(label) +
           R"(","keyField":)" + std::string(key_field) + R"(,"recordsAwaitingKey":)" + std::string(awaiting) +
           R"(,"outcome":)" + std::string(outcome) + R"(,"recordsKeyed":)" + std::string(keyed) + R"(,"message":null})";
}

// The selection of the two orgs and then one preparation request, answered by the preparation
// scenario; the session waits for the report it publishes.
SessionOutput run_preparation(const fs::path& root, const fake::FakeSf& sf, std::string_view method,
                              std::string_view until_key, std::string_view field_deploy = "deploy_keyfield") {
    sf.write(preparation_scenario(field_deploy));
    return run_session(root, script(std::string("[") + std::string(kSelectOrgs) + R"(,
      {"request": ")" + std::string(method) + R"(", "until": ["selecting"], "untilKey": ")" + std::string(until_key) +
                                       R"("}])"),
                       fake_sf_environment(sf));
}

// Checks the report of `applied` kind: the summary, Pricebook2's row (as the wire writes it) and
// every other record object absent from both orgs.
void expect_report(const SessionOutput& session, bool applied, std::string_view summary, const std::string& pricebook) {
    const auto report = preparation_report(session, applied);
    ASSERT_TRUE(report.has_value()) << tail(session);
    EXPECT_EQ(report->at("sourceAlias").as_string(), "dh");
    EXPECT_EQ(report->at("targetAlias").as_string(), "uat");
    EXPECT_TRUE(report->at("hasWork").as_bool());
    EXPECT_EQ(report->at("summary").as_string(), summary);
    const std::string absent_side = side_text("objectAbsent", "Not present in this org", "null", "null", "null", "null");
    const auto& objects = report->at("objects").as_array();
    ASSERT_EQ(objects.size(), 33u);
    for (const auto& object : objects) {
        const auto& row = object.as_object();
        if (row.at("apiName").as_string() == "Pricebook2") {
            EXPECT_EQ(text(row), pricebook);
        } else {
            EXPECT_EQ(text(row.at("source")), absent_side) << row.at("apiName").as_string();
            EXPECT_EQ(text(row.at("target")), absent_side) << row.at("apiName").as_string();
        }
    }
    const auto selecting = session.last_state("selecting");
    ASSERT_TRUE(selecting.has_value());
    EXPECT_TRUE(selecting->at("errorMessage").is_null()) << text(selecting->at("errorMessage"));
}

// The inspection reads both orgs (a describe of every record object, a count where both can carry a
// key) and reports what the application would do, writing nothing.
TEST(FlsPreparationRoads, InspectingThePreparationReportsTheWorkAndWritesNothing) {
    if (!client_installed()) {
        AMBREL_SKIP_UNLESS_CI("node or the pinned vscode-jsonrpc client is missing (run scripts/install-jsonrpc-client)");
    }
    TempDir root;
    fake::FakeSf sf;
    const auto session = run_preparation(root.path(), sf, "workflow/inspectOrgPreparation", "orgPreparation");
    ASSERT_EQ(session.exit_code, 0) << tail(session);
    expect_report(session, false, "1 external ID field(s) to create, 5 record(s) to key.",
                  R"({"apiName":"Pricebook2","displayName":"Price Books","loadOrder":9,"source":)" +
                      side_text("fieldMissing", "Quillary external ID will be created", "null", "3", "null", "null") +
                      R"(,"target":)" +
                      side_text("ownFieldPresent", "Quillary external ID is already in place",
                                R"("QuillaryExternalId__c")", "2", "null", "null") +
                      "}");
    const auto calls = sf.calls();
    std::size_t describes = 0;
    for (const auto& call : calls) {
        EXPECT_NE(call.args.at(0), "project") << text(boost::json::value_from(call.args));
        EXPECT_NE(call.args.at(1), "upsert") << text(boost::json::value_from(call.args));
        if (call.args.at(0) == "sobject") ++describes;
    }
    EXPECT_EQ(describes, 2u * 33u);
    for (const Words& count : {query("SELECT COUNT() FROM Pricebook2", "dh"),
                               query("SELECT COUNT() FROM Pricebook2 WHERE QuillaryExternalId__c = null", "uat")}) {
        EXPECT_EQ(std::count_if(calls.begin(), calls.end(), [&](const auto& call) { return call.args == count; }), 1)
            << count.at(3);
    }
    expect_nothing_left(root.path(), calls);
}

// The application: the field deploy to the org that lacks the field (with the signed-in user's
// profile permission on it), then the keys of both orgs written through bulk upserts.
TEST(FlsPreparationRoads, ApplyingThePreparationCreatesTheMissingFieldAndFillsTheKeysOfBoth) {
    if (!client_installed()) {
        AMBREL_SKIP_UNLESS_CI("node or the pinned vscode-jsonrpc client is missing (run scripts/install-jsonrpc-client)");
    }
    TempDir root;
    fake::FakeSf sf;
    const auto session = run_preparation(root.path(), sf, "workflow/applyOrgPreparation", "orgPreparation.applied");
    ASSERT_EQ(session.exit_code, 0) << tail(session);
    expect_report(session, true, "1 external ID field(s) created, 5 record(s) keyed.",
                  R"({"apiName":"Pricebook2","displayName":"Price Books","loadOrder":9,"source":)" +
                      side_text("fieldMissing", "Quillary external ID will be created", "null", "3", R"("succeeded")",
                                "3") +
                      R"(,"target":)" +
                      side_text("ownFieldPresent", "Quillary external ID is already in place",
                                R"("QuillaryExternalId__c")", "2", R"("succeeded")", "2") +
                      "}");
    const auto calls = sf.calls();
    // One field deploy, to the source only: the field and the profile's permission on it.
    const auto deploys = calls_starting(calls, {"project", "deploy", "start"});
    ASSERT_EQ(deploys.size(), 1u) << tail(session);
    const auto& deploy = deploys.front();
    EXPECT_EQ(deploy.args, (Words{"project", "deploy", "start", "--source-dir", argument_after(deploy, "--source-dir"),
                                  "--target-org", "dh", "--wait", "30", "--json", "--ignore-conflicts"}));
    EXPECT_EQ(fs::path(argument_after(deploy, "--source-dir")), fs::path(deploy.cwd) / "force-app");
    EXPECT_EQ(deploy.source_dir_files,
              (std::map<std::string, std::string>{
                  {"objects/Pricebook2/fields/QuillaryExternalId__c.field-meta.xml",
                   "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                   "<CustomField xmlns=\"http://soap.sforce.com/2006/04/metadata\">\n"
                   "    <fullName>QuillaryExternalId__c</fullName>\n"
                   "    <caseSensitive>false</caseSensitive>\n"
                   "    <externalId>true</externalId>\n"
                   "    <label>Quillary External ID</label>\n"
                   "    <length>18</length>\n"
                   "    <required>false</required>\n"
                   "    <trackTrending>false</trackTrending>\n"
                   "    <type>Text</type>\n"
                   "    <unique>true</unique>\n"
                   "</CustomField>\n"},
                  {"profiles/Admin.profile-meta.xml",
                   "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                   "<Profile xmlns=\"http://soap.sforce.com/2006/04/metadata\">\n"
                   "    <fieldPermissions>\n"
                   "        <editable>true</editable>\n"
                   "        <field>Pricebook2.QuillaryExternalId__c</field>\n"
                   "        <readable>true</readable>\n"
                   "    </fieldPermissions>\n"
                   "</Profile>\n"}}));

    // The keys: the source's records, then the target's, each the reversed record Id, one bulk upsert
    // per org from a CSV in a private folder of its own.
    const auto upserts = calls_starting(calls, {"data", "upsert", "bulk"});
    ASSERT_EQ(upserts.size(), 2u) << tail(session);
    struct UpsertCase {
        std::string org;
        std::string csv;
    };
    const std::vector<UpsertCase> expected_upserts{
        {"dh",
         "Id,QuillaryExternalId__c\n01s000000000001AAA,AAA100000000000s10\n01s000000000002AAA,AAA200000000000s10\n"
         "01s000000000003AAA,AAA300000000000s10\n"},
        {"uat", "Id,QuillaryExternalId__c\n01s000000000101AAA,AAA101000000000s10\n01s000000000102AAA,AAA201000000000s10\n"},
    };
    for (std::size_t i = 0; i < expected_upserts.size(); ++i) {
        SCOPED_TRACE(expected_upserts[i].org);
        const auto& upsert = upserts[i];
        const std::string file = argument_after(upsert, "--file");
        EXPECT_EQ(upsert.args, (Words{"data", "upsert", "bulk", "--sobject", "Pricebook2", "--external-id", "Id",
                                      "--file", file, "--line-ending", "LF", "--column-delimiter", "COMMA", "--wait",
                                      "10", "--target-org", expected_upserts[i].org, "--json"}));
        EXPECT_EQ(fs::path(file), fs::path(upsert.cwd) / "Pricebook2-keys.csv");
        ASSERT_TRUE(upsert.data_file_content.has_value());
        EXPECT_EQ(upsert.data_file_content->value_or("(unreadable)"), expected_upserts[i].csv);
    }
    expect_nothing_left(root.path(), calls);
}

// A field deploy that the org refuses: that object fails on the source and is not keyed there, the
// target's keys are still written, and the summary says that the preparation failed rather than
// repeating the planned work as done.
TEST(FlsPreparationRoads, ApplyingWithARefusedFieldDeployReportsTheFailure) {
    if (!client_installed()) {
        AMBREL_SKIP_UNLESS_CI("node or the pinned vscode-jsonrpc client is missing (run scripts/install-jsonrpc-client)");
    }
    TempDir root;
    fake::FakeSf sf;
    const auto session = run_preparation(root.path(), sf, "workflow/applyOrgPreparation", "orgPreparation.applied",
                                         "deploy_keyfield_failed");
    ASSERT_EQ(session.exit_code, 0) << tail(session);
    const auto report = preparation_report(session, true);
    ASSERT_TRUE(report.has_value()) << tail(session);
    EXPECT_EQ(report->at("summary").as_string(),
              "Preparation failed for 1 object(s); 2 record(s) keyed. See each object's message.");
    const auto* pricebook = row_named(report->at("objects").as_array(), "apiName", "Pricebook2");
    ASSERT_NE(pricebook, nullptr);
    const auto& source = pricebook->at("source").as_object();
    EXPECT_EQ(source.at("outcome").as_string(), "failed");
    EXPECT_EQ(source.at("recordsKeyed").as_int64(), 0);
    EXPECT_EQ(std::string(source.at("message").as_string()),
              "The external ID field could not be created in this org. You have reached the maximum number of custom "
              "fields on Pricebook2.");
    EXPECT_EQ(pricebook->at("target").as_object().at("outcome").as_string(), "succeeded");
    EXPECT_EQ(pricebook->at("target").as_object().at("recordsKeyed").as_int64(), 2);
    const auto calls = sf.calls();
    const auto upserts = calls_starting(calls, {"data", "upsert", "bulk"});
    ASSERT_EQ(upserts.size(), 1u) << tail(session);
    EXPECT_EQ(argument_after(upserts.front(), "--target-org"), "uat");
    expect_nothing_left(root.path(), calls);
}

}  // namespace
}  // namespace ambrel::testing::e2e
