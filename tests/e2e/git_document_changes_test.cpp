// Changes that only a field's document shows, in a project whose Apex sidecars carry the tooling
// namespace, compared and deployed branch to branch through ambrel-server and the pinned JSON-RPC
// client, as the demo driver does. The field's description and picklist values changed and nothing
// of its listed attributes; one class changed its body; another class only changed its sidecar's
// formatting. Checked with real git: the changed rows are UPDATE, the reformatted one NO_CHANGE, the
// deploy carries the two changed components as one commit, and the target branch then holds the
// source branch's bytes for their files and its own for everything else.

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <boost/json.hpp>

#include "e2e/harness.hpp"
#include "support/git_repo.hpp"
#include "support/test_paths.hpp"

namespace ambrel::testing::e2e {
namespace {

constexpr std::string_view kProjectFile =
    "{\n  \"packageDirectories\": [{ \"path\": \"force-app\", \"default\": true }],\n"
    "  \"sourceApiVersion\": \"64.0\"\n}\n";
constexpr std::string_view kClasses = "force-app/main/default/classes/";
const std::string kField = "force-app/main/default/objects/Case/fields/Status_Detail__c.field-meta.xml";

std::string tooling_sidecar(std::string_view name, std::string_view indent) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\" ?>\n<ApexClass xmlns=\"urn:metadata.tooling.soap.sforce.com\" fqn=\"" +
           std::string(name) + "\">\n" + std::string(indent) + "<apiVersion>64.0</apiVersion>\n" + std::string(indent) +
           "<status>Active</status>\n</ApexClass>\n";
}

std::string field_document(std::string_view description, const std::vector<std::string_view>& values) {
    std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                      "<CustomField xmlns=\"http://soap.sforce.com/2006/04/metadata\">\n"
                      "    <fullName>Status_Detail__c</fullName>\n"
                      "    <description>" + std::string(description) + "</description>\n"
                      "    <externalId>false</externalId>\n"
                      "    <label>Status Detail</label>\n"
                      "    <required>false</required>\n"
                      "    <trackFeedHistory>false</trackFeedHistory>\n"
                      "    <trackHistory>false</trackHistory>\n"
                      "    <type>Picklist</type>\n"
                      "    <valueSet>\n"
                      "        <restricted>true</restricted>\n"
                      "        <valueSetDefinition>\n"
                      "            <sorted>false</sorted>\n";
    for (const std::string_view value : values) {
        out += "            <value>\n                <fullName>" + std::string(value) +
               "</fullName>\n                <default>false</default>\n                <label>" + std::string(value) +
               "</label>\n            </value>\n";
    }
    return out + "        </valueSetDefinition>\n    </valueSet>\n</CustomField>\n";
}

std::string read_file(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string trimmed(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    return text;
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> result;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) {
        if (!line.empty()) result.push_back(line);
    }
    return result;
}

std::string text_of(const boost::json::object& object, std::string_view key) {
    const auto* value = object.if_contains(key);
    return value != nullptr && value->is_string() ? std::string(value->as_string()) : std::string();
}

TEST(GitDocumentChanges, DefinitionChangesAreComparedAndDeployedAndFormattingIsNot) {
    if (!isolate_git_environment() || !client_installed()) {
        AMBREL_SKIP_UNLESS_CI("git, node or the pinned vscode-jsonrpc client is missing (run scripts/install-jsonrpc-client)");
    }
    TempDir root;
    const GitRepo repo(root.path(), "dreamhouse");
    const std::string classes(kClasses);
    repo.write("sfdx-project.json", kProjectFile);
    repo.write(classes + "PagedResult.cls", "public with sharing class PagedResult {\n    public Integer pageSize;\n}\n");
    repo.write(classes + "PagedResult.cls-meta.xml", tooling_sidecar("PagedResult", "    "));
    repo.write(classes + "SampleDataController.cls", "public with sharing class SampleDataController {}\n");
    repo.write(classes + "SampleDataController.cls-meta.xml", tooling_sidecar("SampleDataController", "    "));
    repo.write(kField, field_document("Why a case waits.", {"Waiting", "Working"}));
    repo.commit_all("Sample project");
    repo.git({"branch", "-M", std::string(kTargetBranch)});
    repo.git({"checkout", "-q", "-b", std::string(kSourceBranch)});
    repo.write(classes + "PagedResult.cls",
               "public with sharing class PagedResult {\n    public Integer pageSize;\n    public Integer pageNumber;\n}\n");
    repo.write(classes + "SampleDataController.cls-meta.xml", tooling_sidecar("SampleDataController", "\t"));
    repo.write(kField, field_document("Why a case waits, and for whom.", {"Waiting", "Working", "Escalated"}));
    repo.commit_all("Page number, escalation status, sidecar indented with tabs");
    const std::string before = trimmed(repo.git({"rev-parse", std::string(kTargetBranch)}));
    const std::string source_rev = trimmed(repo.git({"rev-parse", std::string(kSourceBranch)}));

    const auto report_file = root.path() / "report.json";
    const auto demo = run_demo(root.path(), repo.path(),
                               {"--select", "CustomField=Case", "--select", "ApexClass=PagedResult,SampleDataController",
                                "--report", report_file.string()});
    ASSERT_EQ(demo.exit_code, 0) << demo.out;
    const boost::json::object report = boost::json::parse(read_file(report_file)).as_object();

    std::map<std::string, std::string> changes;
    for (const auto& row : report.at("rows").as_array()) {
        changes[text_of(row.as_object(), "metadataType") + ":" + text_of(row.as_object(), "name")] =
            text_of(row.as_object(), "change");
    }
    EXPECT_EQ(changes, (std::map<std::string, std::string>{{"ApexClass:PagedResult", "UPDATE"},
                                                           {"ApexClass:SampleDataController", "NO_CHANGE"},
                                                           {"CustomField:Case.Status_Detail__c", "UPDATE"}}))
        << demo.out;

    std::map<std::string, std::string> statuses;
    for (const auto& row : report.at("results").as_array()) {
        statuses[text_of(row.as_object(), "metadataType") + ":" + text_of(row.as_object(), "name") + " " +
                 text_of(row.as_object(), "operation")] = text_of(row.as_object(), "status");
    }
    EXPECT_EQ(statuses, (std::map<std::string, std::string>{{"ApexClass:PagedResult UPDATE", "SUCCEEDED"},
                                                            {"CustomField:Case.Status_Detail__c UPDATE", "SUCCEEDED"}}))
        << demo.out;

    // One commit; exactly the changed components' files moved, each to the source branch's bytes.
    const std::string after = trimmed(repo.git({"rev-parse", std::string(kTargetBranch)}));
    EXPECT_EQ(lines(repo.git({"rev-list", before + ".." + after})).size(), 1u);
    const std::set<std::string> deployed = {classes + "PagedResult.cls", kField};
    const auto changed = lines(repo.git({"diff", "--name-only", before, after}));
    EXPECT_EQ(std::set<std::string>(changed.begin(), changed.end()), deployed);
    for (const std::string& file : deployed) {
        SCOPED_TRACE(file);
        EXPECT_EQ(repo.git({"show", after + ":" + file}), repo.git({"show", source_rev + ":" + file}));
    }
    // The tooling-namespace sidecars stay exactly as the target wrote them.
    for (const std::string& file : {classes + "PagedResult.cls-meta.xml", classes + "SampleDataController.cls-meta.xml"}) {
        SCOPED_TRACE(file);
        EXPECT_EQ(repo.git({"show", after + ":" + file}), repo.git({"show", before + ":" + file}));
    }
}

}  // namespace
}  // namespace ambrel::testing::e2e
