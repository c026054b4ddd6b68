#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <sys/stat.h>

#include <gtest/gtest.h>

#include "session_export/session_scenario.hpp"
#include "support/test_paths.hpp"

namespace ambrel::session_export {
namespace {

namespace fs = std::filesystem;
using metadata_types::MetadataType;

fs::path write_file(const fs::path& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
    return path;
}

SessionScenario full_scenario() {
    SessionScenario scenario;
    scenario.screen = Screen::Reviewing;
    scenario.captured_at = 1'700'000'000'123;
    scenario.source = ScenarioEndpoint{ScenarioEndpoint::Org{"dev"}};
    scenario.target = ScenarioEndpoint{ScenarioEndpoint::Git{"app", "origin/main"}};
    scenario.comparison_manifest = {{MetadataType::Flow, {}}, {MetadataType::ApexClass, {"B", "A"}}};
    scenario.deploy_selection = ScenarioSelection{{MetadataType::ApexClass, "A"}, {MetadataType::Layout, "L \"q\""}};
    scenario.permissions_mode = domain::FlsMode::Additive;
    scenario.apex_tests = std::vector<std::string>{"b", "a", "b"};
    scenario.permission_containers =
        ScenarioContainers{{domain::FlsContainerKind::Profile, "Admin"}, {domain::FlsContainerKind::PermissionSet, "Ops"}};
    scenario.deploy_mode = domain::DeployMode::ValidateOnly;
    scenario.deploy_mode_is_final = true;
    scenario.target_health = TargetHealthChoice::DeployAfterRecheck;
    return scenario;
}

constexpr std::string_view kFullText = R"({
  "version": 4,
  "screen": "REVIEWING",
  "capturedAt": 1700000000123,
  "source": {
    "kind": "org",
    "alias": "dev"
  },
  "target": {
    "kind": "git",
    "repository": "app",
    "branch": "origin/main"
  },
  "comparisonManifest": {
    "ApexClass": [
      "A",
      "B"
    ],
    "Flow": []
  },
  "deploySelection": {
    "ApexClass": [
      "A"
    ],
    "Layout": [
      "L \"q\""
    ]
  },
  "permissionsMode": "ADDITIVE",
  "apexTests": [
    "a",
    "b",
    "b"
  ],
  "permissionContainers": [
    {
      "kind": "PERMISSION_SET",
      "apiName": "Ops"
    },
    {
      "kind": "PROFILE",
      "apiName": "Admin"
    }
  ],
  "deployMode": "VALIDATE_ONLY",
  "deployModeIsFinal": true,
  "targetHealth": "deployAfterRecheck"
}
)";

TEST(SessionScenarioFile, WritesTheLayoutByteForByte) {
    const SessionScenario scenario = full_scenario();
    EXPECT_EQ(scenario.to_json(), kFullText);
    // The scenario itself keeps its test order.
    EXPECT_EQ(scenario.apex_tests, (std::vector<std::string>{"b", "a", "b"}));
}

TEST(SessionScenarioFile, AnEmptyScenarioWritesNullEndpointsAndAnEmptyManifest) {
    SessionScenario scenario;
    scenario.deploy_mode_is_final = true;
    EXPECT_EQ(scenario.to_json(),
              "{\n  \"version\": 4,\n  \"capturedAt\": 0,\n  \"source\": null,\n  \"target\": null,\n"
              "  \"comparisonManifest\": {}\n}\n");
    scenario.deploy_mode = domain::DeployMode::BestEffort;
    scenario.deploy_mode_is_final = false;
    EXPECT_NE(scenario.to_json().find("\"deployMode\": \"BEST_EFFORT\",\n  \"deployModeIsFinal\": false\n"),
              std::string::npos);
}

TEST(SessionScenarioFile, ReadsBackWhatItWrites) {
    SessionScenario scenario = full_scenario();
    auto read = SessionScenario::from_json(scenario.to_json());
    ASSERT_TRUE(read) << read.error().message();
    scenario.apex_tests = std::vector<std::string>{"a", "b", "b"};
    EXPECT_EQ(*read, scenario);
}

TEST(SessionScenarioFile, EveryVersionReadsAlike) {
    const std::string body = R"("capturedAt": 5, "comparisonManifest": {"Flow": ["Go"]}, "deployModeIsFinal": "yes"})";
    std::optional<SessionScenario> first;
    for (int version = 1; version <= 4; ++version) {
        SCOPED_TRACE(version);
        auto read = SessionScenario::from_json("{\"version\": " + std::to_string(version) + ", " + body);
        ASSERT_TRUE(read) << read.error().message();
        EXPECT_FALSE(read->deploy_mode_is_final);
        EXPECT_FALSE(read->source);
        if (first) {
            EXPECT_EQ(*read, *first);
        }
        first = *read;
    }
    EXPECT_EQ(first->comparison_manifest, (ScenarioManifest{{MetadataType::Flow, {"Go"}}}));
}

TEST(SessionScenarioFile, DamagedTextsGiveTheirMessage) {
    struct Case {
        std::string name;
        std::string text;
        std::string message;
    };
    const std::string ok = R"("version": 4, "capturedAt": 1)";
    std::string deep = "{\"version\": 4, \"capturedAt\": 1, \"extra\": ";
    deep += std::string(600, '[') + std::string(600, ']') + "}";
    const std::vector<Case> cases = {
        {"truncated", "{\"version\": 4, \"captured", "Could not parse the session scenario file: unexpected end of input at line 1 column 25"},
        {"empty", "", "Could not parse the session scenario file: empty input at line 1 column 1"},
        {"deep nesting", deep, "Could not parse the session scenario file: nesting too deep at line 1 column 553"},
        {"root array", "[]", "The session scenario file root must be a JSON object."},
        {"no version", "{}", "Unsupported session scenario format version missing (supported versions: 1, 2, 3 and 4)."},
        {"version string", R"({"version": "4", "capturedAt": 1})",
         "Unsupported session scenario format version \"4\" (supported versions: 1, 2, 3 and 4)."},
        {"version 4.0", R"({"version": 4.0, "capturedAt": 1})",
         "Unsupported session scenario format version 4.0 (supported versions: 1, 2, 3 and 4)."},
        {"version 5", R"({"version": 5})", "Unsupported session scenario format version 5 (supported versions: 1, 2, 3 and 4)."},
        {"version 0", R"({"version": 0})", "Unsupported session scenario format version 0 (supported versions: 1, 2, 3 and 4)."},
        {"duplicate version, last wins", R"({"version": 4, "version": 9, "capturedAt": 1})",
         "Unsupported session scenario format version 9 (supported versions: 1, 2, 3 and 4)."},
        {"no capturedAt before later faults", R"({"version": 4, "source": 3, "screen": 1})",
         "The session scenario file has an invalid \"capturedAt\" field."},
        {"negative capturedAt", R"({"version": 4, "capturedAt": -1})",
         "The session scenario file has an invalid \"capturedAt\" field."},
        {"duplicate capturedAt, last is text", R"({"version": 4, "capturedAt": 1, "capturedAt": "1"})",
         "The session scenario file has an invalid \"capturedAt\" field."},
        {"source string", "{" + ok + R"(, "source": "dev"})", "The session scenario file has an invalid \"source\" field."},
        {"source kind in capitals", "{" + ok + R"(, "source": {"kind": "ORG", "alias": "dev"}})",
         "Unknown endpoint kind \"ORG\" in the session scenario file."},
        {"target git without branch", "{" + ok + R"(, "target": {"kind": "git", "repository": "app"}})",
         "The session scenario file has an invalid \"target\" field."},
        {"org without alias", "{" + ok + R"(, "target": {"kind": "org"}})",
         "The session scenario file has an invalid \"target\" field."},
        {"manifest array", "{" + ok + R"(, "comparisonManifest": []})",
         "The session scenario file has an invalid \"comparisonManifest\" field."},
        {"manifest member string", "{" + ok + R"(, "comparisonManifest": {"Flow": "Go"}})",
         "The session scenario file has an invalid \"comparisonManifest\" field."},
        {"manifest name number", "{" + ok + R"(, "comparisonManifest": {"Flow": [1]}})",
         "The session scenario file has an invalid \"comparisonManifest\" field."},
        {"unknown type id", "{" + ok + R"(, "comparisonManifest": {"Widget": []}})",
         "Unknown metadata type \"Widget\" in the session scenario file."},
        {"type id in other case", "{" + ok + R"(, "deploySelection": {"apexclass": ["A"]}})",
         "Unknown metadata type \"apexclass\" in the session scenario file."},
        {"record-data type", "{" + ok + "," + R"( "deploySelection": {")" +
                                 std::string(MetadataType::DataRecord(0).wire_id()) + R"(": ["X"]}})",
         "Unknown metadata type \"" + std::string(MetadataType::DataRecord(0).wire_id()) +
             "\" in the session scenario file."},
        {"permissions mode number", "{" + ok + R"(, "permissionsMode": 1})",
         "The session scenario file has an invalid \"permissionsMode\" field."},
        {"permissions mode unknown", "{" + ok + R"(, "permissionsMode": "none"})",
         "Unknown permissions mode \"none\" in the session scenario file."},
        {"tests not an array", "{" + ok + R"(, "apexTests": "T"})",
         "The session scenario file has an invalid \"apexTests\" field."},
        {"test not a string", "{" + ok + R"(, "apexTests": ["T", null]})",
         "The session scenario file has an invalid \"apexTests\" field."},
        {"container not an object", "{" + ok + R"(, "permissionContainers": ["Admin"]})",
         "The session scenario file has an invalid \"permissionContainers\" field."},
        {"container kind unknown", "{" + ok + R"(, "permissionContainers": [{"kind": "GROUP", "apiName": "A"}]})",
         "Unknown permission container kind \"GROUP\" in the session scenario file."},
        {"container without name", "{" + ok + R"(, "permissionContainers": [{"kind": "PROFILE"}]})",
         "The session scenario file has an invalid \"permissionContainers\" field."},
        {"deploy mode unknown", "{" + ok + R"(, "deployMode": "FAST"})",
         "Unknown deploy mode \"FAST\" in the session scenario file."},
        {"screen unknown", "{" + ok + R"(, "screen": "selecting"})", "Unknown screen \"selecting\" in the session scenario file."},
        {"screen number", "{" + ok + R"(, "screen": 2})", "The session scenario file has an invalid \"screen\" field."},
        {"target health unknown", "{" + ok + R"(, "targetHealth": "fix"})",
         "Unknown targetHealth \"fix\" in the session scenario file."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto read = SessionScenario::from_json(c.text);
        ASSERT_FALSE(read);
        EXPECT_EQ(read.error().message(), c.message);
    }
}

TEST(SessionScenarioFile, ManifestMembersCollapseAndTheLaterTypeWins) {
    auto read = SessionScenario::from_json(
        R"({"version": 2, "capturedAt": 1, "comparisonManifest": {"Flow": ["b", "a", "b"], "Flow": ["c"], "Layout": []},
            "permissionContainers": [{"kind": "PROFILE", "apiName": "A"}, {"kind": "PROFILE", "apiName": "A"}],
            "unknownMember": [[1]]})");
    ASSERT_TRUE(read) << read.error().message();
    EXPECT_EQ(read->comparison_manifest, (ScenarioManifest{{MetadataType::Flow, {"c"}}, {MetadataType::Layout, {}}}));
    EXPECT_EQ(read->permission_containers->size(), 1U);
}

TEST(SessionScenarioFile, ReadingAFileChecksSizeKindAndEncoding) {
    ambrel::testing::TempDir temp;
    const std::string base = "{\"version\": 4, \"capturedAt\": 1}";
    const auto exact = write_file(temp.path() / "exact.json", base + std::string(kMaxScenarioFileBytes - base.size(), ' '));
    const auto over = write_file(temp.path() / "over.json", base + std::string(kMaxScenarioFileBytes + 1 - base.size(), ' '));
    std::string huge = "{\"version\": 4, \"capturedAt\": 1, \"comparisonManifest\": {\"Flow\": [";
    while (huge.size() < kMaxScenarioFileBytes) huge += "\"FlowNameNumber\",";
    huge += "\"Last\"]}}";
    const auto huge_list = write_file(temp.path() / "huge.json", huge);
    const auto bad_utf8 = write_file(temp.path() / "bad.json", "{\"version\": 4, \"capturedAt\": 1, \"x\": \"\xC3\x28\"}");
    const auto fifo = temp.path() / "fifo.json";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    fs::create_symlink(exact, temp.path() / "link.json");

    auto read_exact = read_session_scenario_file(exact);
    ASSERT_TRUE(read_exact) << read_exact.error().message();
    EXPECT_TRUE(read_session_scenario_file(temp.path() / "link.json"));

    struct Case {
        std::string name;
        fs::path path;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"one byte over", over, "The session scenario file is too large (limit 5 MB)."},
        {"huge member list", huge_list, "The session scenario file is too large (limit 5 MB)."},
        {"invalid UTF-8", bad_utf8,
         "Could not read the session scenario file: invalid UTF-8 sequence of 1 byte at byte offset 38"},
        {"missing", temp.path() / "missing.json", "Could not read the session scenario file: No such file or directory"},
        {"a FIFO", fifo, "Could not read the session scenario file: not a regular file"},
        {"a directory", temp.path(), "Could not read the session scenario file: not a regular file"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto read = read_session_scenario_file(c.path);
        ASSERT_FALSE(read);
        EXPECT_EQ(read.error().message(), c.message);
    }
}

TEST(SessionScenarioFile, LabelsMatchWholeTextWithCase) {
    EXPECT_EQ(screen_from_label("SELECTING_FLS_CONTAINERS"), Screen::SelectingFlsContainers);
    EXPECT_FALSE(screen_from_label("Selecting"));
    EXPECT_EQ(permissions_mode_from_label("ALL"), domain::FlsMode::All);
    EXPECT_FALSE(permissions_mode_from_label("ALL "));
    EXPECT_EQ(deploy_mode_from_label("ALL_OR_NOTHING"), domain::DeployMode::AllOrNothing);
    EXPECT_EQ(target_health_from_label("fixAndDeploy"), TargetHealthChoice::FixAndDeploy);
    EXPECT_FALSE(target_health_from_label("FixAndDeploy"));
}

}  // namespace
}  // namespace ambrel::session_export
