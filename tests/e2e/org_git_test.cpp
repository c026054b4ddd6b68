// The roads between an org and a git branch end to end, and a compare cancelled while the CLI is still
// retrieving: ambrel-server driven over stdio by the pinned JSON-RPC client, the org behind the fake
// `sf` (answers from captures of the real CLI, retrieves served from fixture orgs), the branch in a
// real temporary repository checked with real git.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "e2e/harness.hpp"
#include "support/credentials.hpp"
#include "support/git_repo.hpp"
#include "support/test_paths.hpp"

namespace ambrel::testing::e2e {
namespace {

namespace fake = ambrel::testing::fake_sf;
namespace fs = std::filesystem;

constexpr std::string_view kOrgAlias = "dh";
// The org's username, which the server passes to the retrieve and the deploy.
constexpr std::string_view kOrgUsername = "dana.admin@dreamhouse.standin";
constexpr std::string_view kTargetBranchName = "main";
constexpr std::string_view kCheckedOutBranch = "work";
constexpr std::string_view kRepoName = "dreamhouse";
constexpr std::string_view kApexClass = "ApexClass";
constexpr std::string_view kChangedClass = "PropertyController";
constexpr std::string_view kNewClass = "GeocodingService";
constexpr std::string_view kClassesFolder = "force-app/main/default/classes/";

const std::string kProjectFile = R"({
  "packageDirectories": [{ "path": "force-app", "default": true }],
  "name": "dreamhouse",
  "namespace": "",
  "sfdcLoginUrl": "https://login.salesforce.com",
  "sourceApiVersion": "65.0"
}
)";
const std::string kBranchClass = "public with sharing class PropertyController {\n"
                                 "    public static Integer pageSize() {\n"
                                 "        return 12;\n"
                                 "    }\n"
                                 "}\n";
const std::string kClassMeta = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                               "<ApexClass xmlns=\"http://soap.sforce.com/2006/04/metadata\">\n"
                               "    <apiVersion>65.0</apiVersion>\n"
                               "    <status>Active</status>\n"
                               "</ApexClass>\n";
// The branch's PropertyController is still on an older API version.
const std::string kOlderClassMeta = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                                    "<ApexClass xmlns=\"http://soap.sforce.com/2006/04/metadata\">\n"
                                    "    <apiVersion>64.0</apiVersion>\n"
                                    "    <status>Active</status>\n"
                                    "</ApexClass>\n";
// A class the branch has and no step touches.
const std::string kUntouchedClass = "public class SampleDataController {}\n";

fs::path fixture_orgs() { return tests_dir() / "fixtures" / "e2e" / "e2" / "orgs"; }

// An answer of the real CLI kept in this road's fixtures (NAME.out, NAME.err; exit code 0).
fake::Answer fixture_answer(std::string_view name) {
    const auto folder = tests_dir() / "fixtures" / "e2e" / "e2" / "sf";
    return fake::Answer().out_file(folder / (std::string(name) + ".out")).err_file(folder / (std::string(name) + ".err"));
}

std::size_t worktree_count(const GitRepo& repo) {
    std::size_t count = 0;
    for (const auto& line : lines(repo.git({"worktree", "list", "--porcelain"}))) {
        if (line.starts_with("worktree ")) ++count;
    }
    return count;
}

// The org's retrieved document of a class file, as the fixture org holds it.
std::string org_document(std::string_view class_name, std::string_view file) {
    return read_file(fixture_orgs() / kOrgUsername / kApexClass / class_name / "classes" / file);
}

// A repository whose "main" holds an SFDX project with a different PropertyController and no
// GeocodingService; another branch is checked out, so a deploy to "main" goes through a worktree.
GitRepo make_repository(const fs::path& parent) {
    GitRepo repo(parent, kRepoName);
    repo.write("sfdx-project.json", kProjectFile);
    repo.write(std::string(kClassesFolder) + "PropertyController.cls", kBranchClass);
    repo.write(std::string(kClassesFolder) + "PropertyController.cls-meta.xml", kOlderClassMeta);
    repo.write(std::string(kClassesFolder) + "SampleDataController.cls", kUntouchedClass);
    repo.write(std::string(kClassesFolder) + "SampleDataController.cls-meta.xml", kClassMeta);
    repo.commit_all("Sample project");
    repo.git({"branch", "-M", std::string(kTargetBranchName)});
    repo.git({"checkout", "-q", "-b", std::string(kCheckedOutBranch)});
    return repo;
}

boost::json::object git_endpoint(const fs::path& repo, std::string_view branch, bool current) {
    return {{"kind", "git"},
            {"path", repo.string()},
            {"branch", {{"name", branch}, {"kind", "local"}, {"isCurrent", current}, {"create", false}}}};
}

boost::json::object org_endpoint() { return {{"kind", "org"}, {"alias", kOrgAlias}}; }

boost::json::object step(std::string_view method, boost::json::object params, std::vector<std::string_view> until) {
    boost::json::object result{{"request", method}, {"params", std::move(params)}};
    if (!until.empty()) {
        boost::json::array kinds;
        for (const auto kind : until) kinds.emplace_back(kind);
        result["until"] = std::move(kinds);
    }
    return result;
}

boost::json::array class_selection() { return {kChangedClass, kNewClass}; }

// The steps up to the review screen: orgs listed, both sides chosen, the two classes compared.
boost::json::array steps_to_review(const boost::json::object& source, const boost::json::object& target) {
    return {step("workflow/loadOrgs", {}, {"selecting"}),
            step("workflow/selectSource", {{"endpoint", source}}, {"selecting"}),
            step("workflow/selectTarget", {{"endpoint", target}}, {"selecting"}),
            step("workflow/selectMetadataType", {{"metadataType", kApexClass}, {"currentSelection", boost::json::array{}}},
                 {"selecting"}),
            step("workflow/compare", {{"currentSelection", class_selection()}}, {"reviewing"})};
}

// The answers every road needs: the version check, the org listing and the class listing.
fake::Scenario org_scenario() {
    return fake::Scenario()
        .orgs({std::string(kOrgAlias), std::string(kOrgUsername)})
        .on_exact({"version", "--json"}, fake::Answer::capture("version"))
        .on_prefix({"org", "list", "metadata"}, fake::Answer::capture("standin/listmeta_apexclass"))
        .on_prefix({"org", "list"}, fake::Answer::capture("standin/orglist"))
        .on_prefix({"data", "query", "--query", std::string(kObjectListingQuery)}, fixture_answer("q_entitydef"))
        .on_prefix({"data", "query", "--query", "SELECT OrganizationType, IsSandbox FROM Organization LIMIT 1"},
                   fake::Answer::capture("standin/q_org"))
        // The classes reference nothing the dependency catalogue would add.
        .on_contains({"data", "query", "--use-tooling-api"}, fixture_answer("qt_mcd_none"));
}

std::string describe_calls(const fake::FakeSf& sf) {
    std::string text;
    for (const auto& call : sf.calls()) {
        text += "sf";
        for (const auto& arg : call.args) text += " " + arg;
        text += "\n";
    }
    return text;
}

// What is left in the server's own folder besides the session logs.
std::vector<std::string> leftovers(const fs::path& root) {
    std::vector<std::string> found;
    const auto folder = root / "workspace" / "quillary";
    if (!fs::exists(folder)) return found;
    for (const auto& entry : fs::directory_iterator(folder)) {
        if (entry.path().filename() != "logs") found.push_back(entry.path().filename().string());
    }
    return found;
}

std::vector<boost::json::object> rows_of(const boost::json::object& state, std::string_view member) {
    std::vector<boost::json::object> rows;
    for (const auto& row : state.at(member).as_array()) rows.push_back(row.as_object());
    return rows;
}

// Org to git: the review shows the changed and the new class; the deploy writes them to the branch as
// one commit holding exactly the org's documents.
TEST(OrgGitRoads, OrgToBranchDeploysOneCommitWithTheOrgsDocuments) {
    if (!isolate_git_environment() || !client_installed()) {
        AMBREL_SKIP_UNLESS_CI("git, node or the pinned vscode-jsonrpc client is missing (run scripts/install-jsonrpc-client)");
    }
    TempDir root;
    const GitRepo repo = make_repository(root.path());
    const std::string before = trimmed(repo.git({"rev-parse", std::string(kTargetBranchName)}));
    const std::string head_before = repo.head();
    fake::FakeSf sf;
    sf.write(org_scenario()
                 .on_prefix({"project", "retrieve", "start"}, fake::Answer().retrieve_from(fixture_orgs()))
                 .otherwise(unanswered_call()));

    auto steps = steps_to_review(org_endpoint(), git_endpoint(repo.path(), kTargetBranchName, false));
    steps.push_back(step("workflow/deploy", {{"selected", "$deployable"}, {"flsMode", "NONE"}, {"deployMode", "ALL_OR_NOTHING"}},
                         {"results"}));
    const auto session = run_session(root.path(), {{"steps", std::move(steps)}}, fake_sf_environment(sf));
    ASSERT_EQ(session.exit_code, 0) << session.out << "\n" << describe_calls(sf);

    const auto reviewing = session.last_state("reviewing");
    ASSERT_TRUE(reviewing.has_value()) << session.out;
    std::map<std::string, std::string> changes;
    for (const auto& row : rows_of(*reviewing, "differences")) {
        changes[text_of(row, "metadataType") + ":" + text_of(row, "name")] = text_of(row, "change");
    }
    EXPECT_EQ(changes, (std::map<std::string, std::string>{{"ApexClass:GeocodingService", "ADD"},
                                                           {"ApexClass:PropertyController", "UPDATE"}}))
        << boost::json::serialize(*reviewing);
    EXPECT_EQ(reviewing->at("dependencyWarnings").as_array().size(), 0u) << boost::json::serialize(*reviewing);

    const auto results = session.last_state("results");
    ASSERT_TRUE(results.has_value()) << session.out;
    std::map<std::string, std::string> statuses;
    for (const auto& row : rows_of(results->at("summary").as_object(), "fieldResults")) {
        statuses[text_of(row, "name") + " " + text_of(row, "operation")] = text_of(row, "status");
    }
    EXPECT_EQ(statuses, (std::map<std::string, std::string>{{"GeocodingService ADD", "SUCCEEDED"},
                                                            {"PropertyController UPDATE", "SUCCEEDED"}}))
        << boost::json::serialize(*results);

    // One new commit on the branch, its parent the old tip, named after the org.
    const std::string after = trimmed(repo.git({"rev-parse", std::string(kTargetBranchName)}));
    EXPECT_EQ(lines(repo.git({"rev-list", before + ".." + after})).size(), 1u);
    EXPECT_EQ(trimmed(repo.git({"rev-parse", after + "^"})), before);
    EXPECT_EQ(trimmed(repo.git({"log", "-1", "--format=%s", after})),
              "Quillary: 2 component(s) from " + std::string(kOrgAlias));
    // A commit to a repository is reported as a Best Effort run whatever mode was asked for.
    EXPECT_EQ(text_of(results->at("summary").as_object(), "deployMode"), "BEST_EFFORT");
    EXPECT_NE(text_of(results->at("summary").as_object(), "sanitizedDetails").find("as " + after), std::string::npos)
        << boost::json::serialize(*results);

    // Exactly the deployed files changed, each byte-equal to the org's retrieved document.
    const std::map<std::string, std::pair<std::string_view, std::string>> deployed = {
        {std::string(kClassesFolder) + "GeocodingService.cls", {kNewClass, "GeocodingService.cls"}},
        {std::string(kClassesFolder) + "GeocodingService.cls-meta.xml", {kNewClass, "GeocodingService.cls-meta.xml"}},
        {std::string(kClassesFolder) + "PropertyController.cls", {kChangedClass, "PropertyController.cls"}},
        {std::string(kClassesFolder) + "PropertyController.cls-meta.xml",
         {kChangedClass, "PropertyController.cls-meta.xml"}},
    };
    std::set<std::string> expected_changes;
    for (const auto& [file, origin] : deployed) expected_changes.insert(file);
    const auto changed = lines(repo.git({"diff", "--name-only", before, after}));
    EXPECT_EQ(std::set<std::string>(changed.begin(), changed.end()), expected_changes);
    for (const auto& [file, origin] : deployed) {
        SCOPED_TRACE(file);
        EXPECT_EQ(repo.git({"show", after + ":" + file}), org_document(origin.first, origin.second));
    }

    // No worktree left, the checked-out branch and its files untouched, nothing left but the logs.
    EXPECT_EQ(worktree_count(repo), 1u);
    EXPECT_EQ(repo.branch(), kCheckedOutBranch);
    EXPECT_EQ(repo.head(), head_before);
    EXPECT_EQ(repo.git({"status", "--porcelain", "--untracked-files=all"}), "");
    EXPECT_EQ(leftovers(root.path()), std::vector<std::string>{});

    // The org was only read: retrieved by its username, never deployed to.
    const auto calls = sf.calls();
    std::size_t retrieves = 0;
    for (const auto& call : calls) {
        SCOPED_TRACE(describe_calls(sf));
        EXPECT_FALSE(call.args.size() >= 2 && call.args[0] == "project" && call.args[1] == "deploy");
        if (call.args.size() >= 3 && call.args[0] == "project" && call.args[1] == "retrieve") {
            ++retrieves;
            // Retrieved by manifest into the source side of the compare's workspace.
            const fs::path project = call.cwd;
            EXPECT_EQ(project.filename(), "source-project") << call.cwd;
            EXPECT_EQ(project.parent_path().parent_path(), root.path() / "workspace" / "quillary") << call.cwd;
            EXPECT_EQ(call.args, (std::vector<std::string>{"project", "retrieve", "start", "--manifest",
                                                           (project / "manifest" / "package.xml").string(),
                                                           "--target-org", std::string(kOrgUsername), "--json"}));
        }
    }
    EXPECT_EQ(retrieves, 1u) << describe_calls(sf);
}

// A target named in revision syntax ("main~0") would have git check out the commit detached and the
// deploy commit on no branch: the selection refuses it, so no deploy can start; nothing is written.
TEST(OrgGitRoads, ATargetInRevisionSyntaxIsRefusedWithNothingWrittenAndNoCommit) {
    if (!isolate_git_environment() || !client_installed()) {
        AMBREL_SKIP_UNLESS_CI("git, node or the pinned vscode-jsonrpc client is missing (run scripts/install-jsonrpc-client)");
    }
    TempDir root;
    const GitRepo repo = make_repository(root.path());
    const std::string before = trimmed(repo.git({"rev-parse", std::string(kTargetBranchName)}));
    const std::string refs_before = repo.git({"for-each-ref"});
    fake::FakeSf sf;
    sf.write(org_scenario()
                 .on_prefix({"project", "retrieve", "start"}, fake::Answer().retrieve_from(fixture_orgs()))
                 .otherwise(unanswered_call()));
    const std::string revision = std::string(kTargetBranchName) + "~0";
    boost::json::array steps{
        step("workflow/loadOrgs", {}, {"selecting"}),
        step("workflow/selectSource", {{"endpoint", org_endpoint()}}, {"selecting"}),
        step("workflow/selectTarget", {{"endpoint", git_endpoint(repo.path(), revision, false)}}, {"selecting"}),
        step("workflow/selectMetadataType", {{"metadataType", kApexClass}, {"currentSelection", boost::json::array{}}},
             {"selecting"}),
    };
    const auto session = run_session(root.path(), {{"steps", std::move(steps)}}, fake_sf_environment(sf));
    ASSERT_EQ(session.exit_code, 0) << session.out << "\n" << describe_calls(sf);

    bool refused = false;
    for (const auto& state : session.states()) {
        if (text_of(state, "kind") == "selecting" &&
            text_of(state, "errorMessage") == "The branch name is not a valid git branch name.") {
            refused = true;
        }
        EXPECT_NE(text_of(state, "kind"), "results") << boost::json::serialize(state);
    }
    EXPECT_TRUE(refused) << session.out;
    EXPECT_EQ(trimmed(repo.git({"rev-parse", std::string(kTargetBranchName)})), before);
    EXPECT_EQ(repo.git({"for-each-ref"}), refs_before);
    EXPECT_EQ(repo.git({"status", "--porcelain", "--untracked-files=all", "--ignored"}), "");
    EXPECT_EQ(worktree_count(repo), 1u);
    EXPECT_EQ(leftovers(root.path()), std::vector<std::string>{});
}

// A destination that exists as a file git ignores (a local build output) is never overwritten: the deploy
// to the checked-out branch is refused naming it, the file and the index stay as they were, no commit.
TEST(OrgGitRoads, ADeployOverAnIgnoredFileIsRefusedWithTheFileAndTheIndexUntouched) {
    if (!isolate_git_environment() || !client_installed()) {
        AMBREL_SKIP_UNLESS_CI("git, node or the pinned vscode-jsonrpc client is missing (run scripts/install-jsonrpc-client)");
    }
    TempDir root;
    const GitRepo repo = make_repository(root.path());
    repo.git({"checkout", "-q", std::string(kTargetBranchName)});
    const std::string ignored = std::string(kClassesFolder) + "GeocodingService.cls";
    repo.write(".git/info/exclude", ignored + "\n");
    repo.write(ignored, "local build output");
    const std::string before = repo.head();
    // Neither the compare of the working tree nor the deploy's checks run the repository's fsmonitor.
    const fs::path marker = root.path() / "fsmonitor-ran";
    const fs::path monitor = root.path() / "monitor.sh";
    std::ofstream(monitor) << "#!/bin/sh\ntouch '" << marker.string() << "'\n";
    fs::permissions(monitor, fs::perms::owner_all);
    repo.git({"config", "core.fsmonitor", monitor.string()});
    fake::FakeSf sf;
    sf.write(org_scenario()
                 .on_prefix({"project", "retrieve", "start"}, fake::Answer().retrieve_from(fixture_orgs()))
                 .otherwise(unanswered_call()));

    auto steps = steps_to_review(org_endpoint(), git_endpoint(repo.path(), kTargetBranchName, true));
    steps.push_back(step("workflow/deploy", {{"selected", "$deployable"}, {"flsMode", "NONE"}, {"deployMode", "ALL_OR_NOTHING"}},
                         {"error", "results"}));
    const auto session = run_session(root.path(), {{"steps", std::move(steps)}}, fake_sf_environment(sf));
    ASSERT_EQ(session.exit_code, 0) << session.out << "\n" << describe_calls(sf);

    EXPECT_NE(session.out.find(ignored + " is ignored by git in " + std::string(kRepoName) +
                               "; this deploy would overwrite it."),
              std::string::npos)
        << session.out;
    EXPECT_FALSE(session.last_state("results").has_value()) << session.out;
    EXPECT_FALSE(fs::exists(marker));
    EXPECT_EQ(read_file(repo.path() / ignored), "local build output");
    EXPECT_EQ(read_file(repo.path() / kClassesFolder / "PropertyController.cls"), kBranchClass);
    EXPECT_EQ(repo.git({"diff", "--cached", "--name-only"}), "");
    EXPECT_EQ(repo.git({"status", "--porcelain", "--untracked-files=all"}), "");
    EXPECT_EQ(repo.head(), before);
    EXPECT_EQ(worktree_count(repo), 1u);
}

constexpr std::string_view kSourceBranchName = "feature/brokers";
constexpr std::string_view kBrokerClass = "BrokerService";
constexpr std::string_view kTestClass = "TestPropertyController";
const std::string kBrokerSource = "public with sharing class BrokerService {\n"
                                  "    public static List<Broker__c> all() {\n"
                                  "        return [SELECT Id, Name FROM Broker__c ORDER BY Name];\n"
                                  "    }\n"
                                  "}\n";

// A repository whose "main" holds the sample project and whose source branch changes PropertyController
// and adds BrokerService; "main" stays checked out.
GitRepo make_source_repository(const fs::path& parent) {
    GitRepo repo(parent, kRepoName);
    repo.write("sfdx-project.json", kProjectFile);
    repo.write(std::string(kClassesFolder) + "SampleDataController.cls", kUntouchedClass);
    repo.write(std::string(kClassesFolder) + "SampleDataController.cls-meta.xml", kClassMeta);
    repo.commit_all("Sample project");
    repo.git({"branch", "-M", std::string(kTargetBranchName)});
    repo.git({"checkout", "-q", "-b", std::string(kSourceBranchName)});
    repo.write(std::string(kClassesFolder) + "PropertyController.cls", kBranchClass);
    repo.write(std::string(kClassesFolder) + "PropertyController.cls-meta.xml", kClassMeta);
    repo.write(std::string(kClassesFolder) + "BrokerService.cls", kBrokerSource);
    repo.write(std::string(kClassesFolder) + "BrokerService.cls-meta.xml", kClassMeta);
    repo.commit_all("Brokers");
    repo.git({"checkout", "-q", std::string(kTargetBranchName)});
    return repo;
}

// The branch chosen is the branch read: chosen while it was checked out, then the user switched to
// "main" in a terminal; the compare reads the chosen branch's commit, not the working tree of "main",
// and runs no command the repository's configuration names.
TEST(OrgGitRoads, ACompareAfterABranchSwitchReadsTheChosenBranch) {
    if (!isolate_git_environment() || !client_installed()) {
        AMBREL_SKIP_UNLESS_CI("git, node or the pinned vscode-jsonrpc client is missing (run scripts/install-jsonrpc-client)");
    }
    TempDir root;
    const GitRepo repo = make_source_repository(root.path());
    ASSERT_EQ(repo.branch(), kTargetBranchName);
    // A repository received from someone else names a command as its fsmonitor: comparing never runs it.
    const fs::path marker = root.path() / "fsmonitor-ran";
    const fs::path monitor = root.path() / "monitor.sh";
    std::ofstream(monitor) << "#!/bin/sh\ntouch '" << marker.string() << "'\n";
    fs::permissions(monitor, fs::perms::owner_all);
    repo.git({"config", "core.fsmonitor", monitor.string()});
    fake::FakeSf sf;
    sf.write(org_scenario()
                 .on_prefix({"project", "retrieve", "start"}, fake::Answer().retrieve_from(fixture_orgs()))
                 .otherwise(unanswered_call()));
    boost::json::array steps{
        step("workflow/loadOrgs", {}, {"selecting"}),
        step("workflow/selectSource", {{"endpoint", git_endpoint(repo.path(), kSourceBranchName, true)}}, {"selecting"}),
        step("workflow/selectTarget", {{"endpoint", org_endpoint()}}, {"selecting"}),
        step("workflow/selectMetadataType", {{"metadataType", kApexClass}, {"currentSelection", boost::json::array{}}},
             {"selecting"}),
        step("workflow/compare", {{"currentSelection", boost::json::array{kChangedClass, kBrokerClass}}}, {"reviewing"}),
    };
    const auto session = run_session(root.path(), {{"steps", std::move(steps)}}, fake_sf_environment(sf));
    ASSERT_EQ(session.exit_code, 0) << session.out << "\n" << describe_calls(sf);
    const auto reviewing = session.last_state("reviewing");
    ASSERT_TRUE(reviewing.has_value()) << session.out;
    std::map<std::string, std::string> changes;
    for (const auto& row : rows_of(*reviewing, "differences")) {
        changes[text_of(row, "metadataType") + ":" + text_of(row, "name")] = text_of(row, "change");
    }
    EXPECT_EQ(changes, (std::map<std::string, std::string>{{"ApexClass:BrokerService", "ADD"},
                                                           {"ApexClass:PropertyController", "UPDATE"}}))
        << boost::json::serialize(*reviewing);
    EXPECT_FALSE(fs::exists(marker));
}

// Git to org: the org is retrieved for the compare; the deploy sends exactly the branch's files of the
// selected classes to the org in one deploy command, and the results screen shows each class.
TEST(OrgGitRoads, BranchToOrgDeploysTheBranchsFiles) {
    if (!isolate_git_environment() || !client_installed()) {
        AMBREL_SKIP_UNLESS_CI("git, node or the pinned vscode-jsonrpc client is missing (run scripts/install-jsonrpc-client)");
    }
    TempDir root;
    const GitRepo repo = make_source_repository(root.path());
    fake::FakeSf sf;
    sf.write(org_scenario()
                 .on_prefix({"project", "retrieve", "start"}, fake::Answer().retrieve_from(fixture_orgs()))
                 .on_prefix({"project", "deploy", "start"}, fixture_answer("deploy_start_tests_two_classes"))
                 .otherwise(unanswered_call()));

    boost::json::array steps{
        step("workflow/loadOrgs", {}, {"selecting"}),
        step("workflow/selectSource", {{"endpoint", git_endpoint(repo.path(), kSourceBranchName, false)}}, {"selecting"}),
        step("workflow/selectTarget", {{"endpoint", org_endpoint()}}, {"selecting"}),
        step("workflow/selectMetadataType", {{"metadataType", kApexClass}, {"currentSelection", boost::json::array{}}},
             {"selecting"}),
        step("workflow/compare", {{"currentSelection", boost::json::array{kChangedClass, kBrokerClass}}}, {"reviewing"}),
        step("workflow/deploy", {{"selected", "$deployable"}, {"flsMode", "NONE"}, {"deployMode", "ALL_OR_NOTHING"}},
             {"selectingTests"}),
        step("workflow/confirmTests",
             {{"sessionId", "$sessionId"}, {"tests", boost::json::array{kTestClass}}, {"deployMode", "ALL_OR_NOTHING"}},
             {"results"}),
    };
    const auto session = run_session(root.path(), {{"steps", std::move(steps)}}, fake_sf_environment(sf));
    ASSERT_EQ(session.exit_code, 0) << session.out << "\n" << describe_calls(sf);

    // The org is the target: its classes are retrieved for the compare, nothing of the org is a source.
    const auto reviewing = session.last_state("reviewing");
    ASSERT_TRUE(reviewing.has_value()) << session.out;
    std::map<std::string, std::string> changes;
    for (const auto& row : rows_of(*reviewing, "differences")) {
        changes[text_of(row, "metadataType") + ":" + text_of(row, "name")] = text_of(row, "change");
        EXPECT_TRUE(row.at("opensTestScreen").as_bool()) << boost::json::serialize(row);
    }
    EXPECT_EQ(changes, (std::map<std::string, std::string>{{"ApexClass:BrokerService", "ADD"},
                                                           {"ApexClass:PropertyController", "UPDATE"}}))
        << boost::json::serialize(*reviewing);
    const auto tests = session.last_state("selectingTests");
    ASSERT_TRUE(tests.has_value()) << session.out;
    std::set<std::string> candidates;
    for (const auto& candidate : rows_of(*tests, "candidates")) candidates.insert(text_of(candidate, "name"));
    EXPECT_TRUE(candidates.contains(std::string(kTestClass))) << boost::json::serialize(*tests);

    // One deploy: the package folder below the workspace, the org by its username, all or nothing (no
    // "--ignore-errors", no "--dry-run") with the chosen test, and exactly the branch's files of the two classes.
    std::vector<fake::RecordedCall> deploys;
    for (const auto& call : sf.calls()) {
        if (call.args.size() >= 2 && call.args[0] == "project" && call.args[1] == "deploy") deploys.push_back(call);
    }
    ASSERT_EQ(deploys.size(), 1u) << describe_calls(sf);
    const auto& deploy = deploys.front();
    const fs::path project = deploy.cwd;
    EXPECT_EQ(project.parent_path(), root.path() / "workspace" / "quillary") << deploy.cwd;
    EXPECT_TRUE(project.filename().string().starts_with("single-package-")) << deploy.cwd;
    EXPECT_EQ(deploy.args, (std::vector<std::string>{"project", "deploy", "start", "--source-dir",
                                                     (project / "force-app").string(), "--target-org",
                                                     std::string(kOrgUsername), "--wait", "30", "--json",
                                                     "--ignore-conflicts", "--test-level", "RunSpecifiedTests", "--tests",
                                                     std::string(kTestClass)}))
        << describe_calls(sf);
    std::map<std::string, std::string> sent;
    for (const auto& [file, content] : deploy.source_dir_files) {
        if (file.starts_with("main/default/")) sent.emplace(file, content);
    }
    const std::string source_rev = std::string(kSourceBranchName);
    std::map<std::string, std::string> expected_sent;
    for (const std::string_view name : {"BrokerService.cls", "BrokerService.cls-meta.xml", "PropertyController.cls",
                                        "PropertyController.cls-meta.xml"}) {
        expected_sent.emplace("main/default/classes/" + std::string(name),
                              repo.git({"show", source_rev + ":" + std::string(kClassesFolder) + std::string(name)}));
    }
    EXPECT_EQ(sent, expected_sent);
    for (const auto& [file, content] : deploy.source_dir_files) {
        EXPECT_TRUE(file.starts_with("main/default/classes/")) << file;
    }

    // The results screen: each class deployed as the org reported it, with the tests the org ran.
    const auto results = session.last_state("results");
    ASSERT_TRUE(results.has_value()) << session.out;
    const auto& summary = results->at("summary").as_object();
    std::map<std::string, std::string> statuses;
    for (const auto& row : rows_of(summary, "fieldResults")) {
        statuses[text_of(row, "metadataType") + ":" + text_of(row, "name") + " " + text_of(row, "operation")] =
            text_of(row, "status");
    }
    EXPECT_EQ(statuses, (std::map<std::string, std::string>{{"ApexClass:BrokerService ADD", "SUCCEEDED"},
                                                            {"ApexClass:PropertyController UPDATE", "SUCCEEDED"}}))
        << boost::json::serialize(*results);
    EXPECT_EQ(text_of(summary, "deployMode"), "ALL_OR_NOTHING") << boost::json::serialize(*results);
    EXPECT_FALSE(summary.at("quickDeployAvailable").as_bool());
    ASSERT_TRUE(summary.at("testsSummary").is_object()) << boost::json::serialize(*results);
    EXPECT_EQ(summary.at("testsSummary").as_object().at("run").to_number<int>(), 2);
    EXPECT_EQ(summary.at("testsSummary").as_object().at("failed").to_number<int>(), 0);

    // The branch is untouched and nothing is left but the logs.
    EXPECT_EQ(repo.branch(), kTargetBranchName);
    EXPECT_EQ(repo.git({"status", "--porcelain", "--untracked-files=all"}), "");
    EXPECT_EQ(leftovers(root.path()), std::vector<std::string>{});

    // The deploy (everything after the test classes were listed) asks the CLI's version and the org list
    // once each, though two of its steps need them.
    const auto calls = sf.calls();
    std::size_t deploy_starts = 0;
    for (std::size_t i = 0; i < calls.size(); ++i) {
        if (calls[i].args.size() >= 3 && calls[i].args[0] == "org" && calls[i].args[1] == "list" &&
            calls[i].args[2] == "metadata") {
            deploy_starts = i + 1;
        }
    }
    std::size_t versions = 0;
    std::size_t org_lists = 0;
    for (std::size_t i = deploy_starts; i < calls.size(); ++i) {
        const auto& args = calls[i].args;
        if (args == std::vector<std::string>{"version", "--json"}) ++versions;
        if (args == std::vector<std::string>{"org", "list", "--skip-connection-status", "--json"}) ++org_lists;
    }
    EXPECT_EQ(versions, 1u) << describe_calls(sf);
    EXPECT_EQ(org_lists, 1u) << describe_calls(sf);
}

// A retrieve that fails with an auth URL and an access token in the CLI's answer: the error screen
// shows the CLI's reason with both scrubbed, and neither reaches the client or the session log.
TEST(OrgGitRoads, CredentialsInAFailingRetrieveNeverReachTheScreenOrTheLog) {
    if (!isolate_git_environment() || !client_installed()) {
        AMBREL_SKIP_UNLESS_CI("git, node or the pinned vscode-jsonrpc client is missing (run scripts/install-jsonrpc-client)");
    }
    using ambrel::testing::kAccessTokenBody;
    using ambrel::testing::kAuthUrlSecret;
    TempDir root;
    const GitRepo repo = make_repository(root.path());
    fake::FakeSf sf;
    const std::string failure(ambrel::testing::kCredentialFailure);
    sf.write(org_scenario()
                 .on_prefix({"project", "retrieve", "start"},
                            fake::Answer()
                                .out(R"({"status":1,"name":"RefreshTokenAuthError","message":")" + failure +
                                     R"(","exitCode":1})")
                                .err("Error (RefreshTokenAuthError): " + failure + "\n")
                                .exit_code(1))
                 .otherwise(unanswered_call()));

    auto steps = steps_to_review(org_endpoint(), git_endpoint(repo.path(), kTargetBranchName, false));
    steps.back().as_object()["until"] = boost::json::array{"error"};
    const auto session = run_session(root.path(), {{"steps", std::move(steps)}}, fake_sf_environment(sf));
    ASSERT_EQ(session.exit_code, 0) << session.out << "\n" << describe_calls(sf);

    const auto error = session.last_state("error");
    ASSERT_TRUE(error.has_value()) << session.out;
    std::string shown = text_of(*error, "message");
    if (error->contains("details") && error->at("details").is_string()) shown += "\n" + text_of(*error, "details");
    EXPECT_THAT(shown, ::testing::HasSubstr("RefreshTokenAuthError: " +
                                            std::string(ambrel::testing::kScrubbedCredentialFailure)))
        << boost::json::serialize(*error);

    std::string logged;
    for (const auto& entry : fs::directory_iterator(root.path() / "workspace" / "quillary" / "logs")) {
        logged += read_file(entry.path());
    }
    EXPECT_THAT(logged, ::testing::HasSubstr(std::string(ambrel::testing::kScrubbedCredentialFailure)));
    for (const std::string_view secret : {kAuthUrlSecret, kAccessTokenBody}) {
        SCOPED_TRACE(secret);
        EXPECT_THAT(session.out, ::testing::Not(::testing::HasSubstr(std::string(secret))));
        EXPECT_THAT(logged, ::testing::Not(::testing::HasSubstr(std::string(secret))));
    }
}

constexpr std::int64_t kSlowRetrieveMs = 120'000;
constexpr std::string_view kRetrievingProgress = "Retrieving metadata";
constexpr std::string_view kCancelledScreen = "Operation cancelled.";

// True while the process runs (a zombie counts as ended).
bool process_alive(std::int64_t pid) {
    if (pid <= 0 || ::kill(static_cast<pid_t>(pid), 0) != 0) return false;
    const std::string stat = read_file(fs::path("/proc") / std::to_string(pid) / "stat");
    const auto close = stat.rfind(')');
    return close == std::string::npos || close + 2 >= stat.size() || stat[close + 2] != 'Z';
}

fake::Answer slow_retrieve(const fs::path& grandchild_pid_file, bool ignore_sigterm) {
    fake::Answer answer;
    answer.retrieve_from(fixture_orgs()).grandchild(kSlowRetrieveMs, grandchild_pid_file, ignore_sigterm).sleep_ms(kSlowRetrieveMs);
    if (ignore_sigterm) answer.ignore_sigterm();
    return answer;
}

// Scripts the fake with a slow retrieve and returns the steps that bring a compare to the moment the
// retrieve and the process it started are both running.
boost::json::array steps_into_slow_retrieve(fake::FakeSf& sf, const GitRepo& repo, const fs::path& grandchild_pid_file,
                                            bool ignore_sigterm) {
    sf.write(org_scenario()
                 .on_prefix({"project", "retrieve", "start"}, slow_retrieve(grandchild_pid_file, ignore_sigterm))
                 .otherwise(unanswered_call()));
    auto steps = steps_to_review(org_endpoint(), git_endpoint(repo.path(), kTargetBranchName, false));
    steps.back().as_object().erase("until");
    steps.push_back(boost::json::object{{"waitProgress", kRetrievingProgress}});
    steps.push_back(boost::json::object{{"waitFile", grandchild_pid_file.string()}});
    return steps;
}

// The one retrieve and the process it started are gone, the compare's workspace (where the retrieve
// ran) is removed, only the logs remain and the branch is untouched.
void expect_retrieve_stopped_and_workspace_removed(const fake::FakeSf& sf, const fs::path& root, const GitRepo& repo,
                                                   const fs::path& grandchild_pid_file) {
    std::vector<fake::RecordedCall> retrieves;
    for (const auto& call : sf.calls()) {
        if (call.args.size() >= 2 && call.args[0] == "project" && call.args[1] == "retrieve") retrieves.push_back(call);
    }
    ASSERT_EQ(retrieves.size(), 1u) << describe_calls(sf);
    EXPECT_FALSE(process_alive(retrieves.front().pid)) << retrieves.front().pid;
    const std::string grandchild = trimmed(read_file(grandchild_pid_file));
    ASSERT_FALSE(grandchild.empty());
    EXPECT_FALSE(process_alive(std::stoll(grandchild))) << grandchild;

    const fs::path workspace = fs::path(retrieves.front().cwd).parent_path();
    EXPECT_EQ(workspace.parent_path(), root / "workspace" / "quillary") << workspace;
    EXPECT_FALSE(fs::exists(workspace)) << workspace;
    EXPECT_EQ(leftovers(root), std::vector<std::string>{});
    EXPECT_EQ(worktree_count(repo), 1u);
    EXPECT_EQ(repo.git({"status", "--porcelain", "--untracked-files=all"}), "");
}

struct CancelCase {
    std::string_view name;
    // The CLI and the process it started ignore the polite stop.
    bool ignore_sigterm = false;
};

class CancelledRetrieve : public ::testing::TestWithParam<CancelCase> {};

// Cancel during a slow retrieve: the CLI (and a process it started that holds its output open) would
// run for two minutes; the cancel ends the compare at once on the cancelled screen, stops both
// processes and removes the compare's workspace.
TEST_P(CancelledRetrieve, StopsTheCliAndRemovesTheWorkspace) {
    if (!isolate_git_environment() || !client_installed()) {
        AMBREL_SKIP_UNLESS_CI("git, node or the pinned vscode-jsonrpc client is missing (run scripts/install-jsonrpc-client)");
    }
    TempDir root;
    const GitRepo repo = make_repository(root.path());
    const auto grandchild_pid_file = root.path() / "grandchild.pid";
    fake::FakeSf sf;
    auto steps = steps_into_slow_retrieve(sf, repo, grandchild_pid_file, GetParam().ignore_sigterm);
    steps.push_back(step("workflow/cancel", {}, {"error"}));
    const auto started = std::chrono::steady_clock::now();
    const auto session = run_session(root.path(), {{"steps", std::move(steps)}}, fake_sf_environment(sf));
    const auto took = std::chrono::steady_clock::now() - started;
    ASSERT_EQ(session.exit_code, 0) << session.out << "\n" << describe_calls(sf);

    // The cancel was answered and the compare ended on the cancelled screen, never on the review.
    const auto cancel_answer = session.answer(7);
    ASSERT_TRUE(cancel_answer.has_value()) << session.out;
    EXPECT_EQ(boost::json::serialize(*cancel_answer), R"({"cancelled":true})");
    const auto states = session.states();
    ASSERT_FALSE(states.empty());
    const auto& last = states.back();
    EXPECT_EQ(text_of(last, "kind"), "error") << boost::json::serialize(last);
    EXPECT_EQ(text_of(last, "message"), kCancelledScreen) << boost::json::serialize(last);
    EXPECT_TRUE(last.contains("details") && last.at("details").is_null()) << boost::json::serialize(last);
    EXPECT_FALSE(session.last_state("reviewing").has_value()) << session.out;

    // The session ended long before the retrieve would have: nothing waited for the CLI.
    EXPECT_LT(took, std::chrono::milliseconds(kSlowRetrieveMs / 2));

    // The CLI run and the process it started are gone, and so is the workspace.
    expect_retrieve_stopped_and_workspace_removed(sf, root.path(), repo, grandchild_pid_file);
}

INSTANTIATE_TEST_SUITE_P(OrgGitRoads, CancelledRetrieve,
                         ::testing::Values(CancelCase{"StoppingPolitely", false}, CancelCase{"IgnoringSigterm", true}),
                         [](const auto& info) { return std::string(info.param.name); });

struct SignalCase {
    std::string_view name;
    std::string_view signal;
    // The CLI and the process it started ignore the polite stop.
    bool ignore_sigterm = false;
};

class SignalledRetrieve : public ::testing::TestWithParam<SignalCase> {};

// The front end kills the server during a slow retrieve (the default signal of a closing front end,
// a closed terminal, an interrupt): the server stops as at the end of its input, so the CLI and the
// process it started are stopped and the compare's workspace, with the org's metadata, is removed
// before it exits, long before the retrieve would have ended.
TEST_P(SignalledRetrieve, StopsTheCliAndRemovesTheWorkspaceBeforeExiting) {
    if (!isolate_git_environment() || !client_installed()) {
        AMBREL_SKIP_UNLESS_CI("git, node or the pinned vscode-jsonrpc client is missing (run scripts/install-jsonrpc-client)");
    }
    TempDir root;
    const GitRepo repo = make_repository(root.path());
    const auto grandchild_pid_file = root.path() / "grandchild.pid";
    fake::FakeSf sf;
    auto steps = steps_into_slow_retrieve(sf, repo, grandchild_pid_file, GetParam().ignore_sigterm);
    steps.push_back(boost::json::object{{"signal", GetParam().signal}});
    const auto started = std::chrono::steady_clock::now();
    const auto session = run_session(root.path(), {{"steps", std::move(steps)}}, fake_sf_environment(sf));
    const auto took = std::chrono::steady_clock::now() - started;

    // The server ended by itself, as at the end of its input, and never showed the review.
    ASSERT_EQ(session.exit_code, 0) << session.out << "\n" << describe_calls(sf);
    EXPECT_FALSE(session.last_state("reviewing").has_value()) << session.out;
    EXPECT_LT(took, std::chrono::milliseconds(kSlowRetrieveMs / 2));

    // The CLI run and the process it started are gone, and so is the workspace.
    expect_retrieve_stopped_and_workspace_removed(sf, root.path(), repo, grandchild_pid_file);
}

INSTANTIATE_TEST_SUITE_P(OrgGitRoads, SignalledRetrieve,
                         ::testing::Values(SignalCase{"Terminated", "SIGTERM", false},
                                           SignalCase{"TerminatedWhileTheCliIgnoresIt", "SIGTERM", true},
                                           SignalCase{"HungUp", "SIGHUP", false},
                                           SignalCase{"Interrupted", "SIGINT", true}),
                         [](const auto& info) { return std::string(info.param.name); });

// A cancel while the deploy writes its commit: the commit cannot stop half-way, so the cancel is
// refused, a new comparison is refused as every command is while the deploy runs, and the deploy
// ends on its results, which name the commit now on the branch.
TEST(OrgGitRoads, ACancelWhileTheCommitIsWrittenIsRefusedAndTheResultsNameTheCommit) {
    if (!isolate_git_environment() || !client_installed()) {
        AMBREL_SKIP_UNLESS_CI("git, node or the pinned vscode-jsonrpc client is missing (run scripts/install-jsonrpc-client)");
    }
    TempDir root;
    const GitRepo repo = make_repository(root.path());
    const std::string before = trimmed(repo.git({"rev-parse", std::string(kTargetBranchName)}));
    // The commit waits in its hook long enough for the cancel to arrive while it is being written.
    const auto committing = root.path() / "committing";
    const auto hook = repo.path() / ".git" / "hooks" / "pre-commit";
    fs::create_directories(hook.parent_path());
    {
        std::ofstream out(hook);
        out << "#!/bin/sh\n: > '" << committing.string() << "'\nsleep 3\n";
    }
    fs::permissions(hook, fs::perms::owner_all);
    fake::FakeSf sf;
    sf.write(org_scenario()
                 .on_prefix({"project", "retrieve", "start"}, fake::Answer().retrieve_from(fixture_orgs()))
                 .otherwise(unanswered_call()));

    auto steps = steps_to_review(org_endpoint(), git_endpoint(repo.path(), kTargetBranchName, false));
    steps.push_back(step("workflow/deploy", {{"selected", "$deployable"}, {"flsMode", "NONE"}, {"deployMode", "ALL_OR_NOTHING"}},
                         {}));
    steps.push_back(boost::json::object{{"waitFile", committing.string()}});
    steps.push_back(step("workflow/cancel", {}, {}));
    steps.push_back(step("workflow/newComparison", {}, {"results"}));
    const auto session = run_session(root.path(), {{"steps", std::move(steps)}}, fake_sf_environment(sf));
    ASSERT_EQ(session.exit_code, 0) << session.out << "\n" << describe_calls(sf);

    const auto cancel_answer = session.answer(7);
    ASSERT_TRUE(cancel_answer.has_value()) << session.out;
    EXPECT_EQ(boost::json::serialize(*cancel_answer), R"({"cancelled":false})");
    const auto restart_answer = session.answer(8);
    ASSERT_TRUE(restart_answer.has_value()) << session.out;
    EXPECT_EQ(boost::json::serialize(*restart_answer), R"({"operationId":null})");
    for (const auto& state : session.states()) EXPECT_NE(text_of(state, "kind"), "error") << boost::json::serialize(state);

    // The commit is on the branch and the results screen names it.
    const std::string after = trimmed(repo.git({"rev-parse", std::string(kTargetBranchName)}));
    ASSERT_NE(after, before);
    EXPECT_EQ(trimmed(repo.git({"rev-parse", after + "^"})), before);
    const auto results = session.last_state("results");
    ASSERT_TRUE(results.has_value()) << session.out;
    EXPECT_NE(text_of(results->at("summary").as_object(), "sanitizedDetails").find("as " + after), std::string::npos)
        << boost::json::serialize(*results);
    for (const auto& row : rows_of(results->at("summary").as_object(), "fieldResults")) {
        EXPECT_EQ(text_of(row, "status"), "SUCCEEDED") << boost::json::serialize(row);
    }
    EXPECT_EQ(worktree_count(repo), 1u);
    EXPECT_EQ(leftovers(root.path()), std::vector<std::string>{});
}

}  // namespace
}  // namespace ambrel::testing::e2e
