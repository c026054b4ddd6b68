// The metadata retrieve service over the real gateway, runner and workspace, with the fake `sf`.

#include "metadata/retrieve/retrieve_service.hpp"

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "fakes/fake_sf.hpp"
#include "metadata/manifest/package_manifest_writer.hpp"
#include "metadata/retrieve/retrieve_pair.hpp"
#include "support/doubles.hpp"
#include "support/test_paths.hpp"

namespace ambrel::metadata::retrieve {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using ambrel::testing::TempDir;
using ambrel::testing::fake_sf::Answer;
using ambrel::testing::fake_sf::FakeSf;
using ambrel::testing::fake_sf::RecordedCall;
using ambrel::testing::fake_sf::Scenario;
using ambrel::testing::fake_sf::ScopedFakeSf;
using metadata_types::MetadataType;

fs::path fixture_orgs() { return ambrel::testing::tests_dir() / "fixtures" / "retrieve" / "orgs"; }
MetadataType generic(std::string_view api_name) { return *MetadataType::from_api_name(api_name); }

std::string invalid_input_message(const Selection& selection, const ObjectNames& present = {},
                                  std::string_view source = "src", std::string_view target = "tgt") {
    const auto valid = validate_inputs(source, target, selection, present);
    return valid ? std::string("(valid)") : valid.error().message();
}

TEST(RetrieveSelection, StripTable) {
    const Selection selection{{MetadataType::ApexClass, {"standard-Account", "Util"}},
                              {generic("CustomTab"), {"standard-Account", "standard-1x", "Tab__c"}},
                              {MetadataType::ProductBundle, {"Bundle"}},
                              {MetadataType::ConstraintModel, {"Model"}},
                              {MetadataType::Flow, {"standard-Only"}},
                              {MetadataType::Layout, {}}};
    EXPECT_EQ(strip_documentless_members(selection),
              (Selection{{MetadataType::ApexClass, {"Util"}}, {generic("CustomTab"), {"Tab__c", "standard-1x"}}}));
}

TEST(RetrieveSelection, ValidationTable) {
    struct Case {
        MetadataType type;
        std::string name;
        bool valid;
    };
    const std::vector<Case> cases{
        {MetadataType::ApexClass, "Util", true},
        {MetadataType::ApexClass, "Util.cls", false},
        {MetadataType::ApexClass, "1Util", false},
        {MetadataType::CustomField, "Account", true},
        {MetadataType::CustomField, "Account.Name", false},
        {MetadataType::Flow, "My-Flow", false},
        {MetadataType::Layout, "Account-Account Layout", true},
        {MetadataType::Layout, "AccountLayout", false},
        {MetadataType::Layout, "Account-Layout ", false},
        {MetadataType::Layout, "a/b-c", false},
        {generic("Profile"), "Custom: Marketing Profile", true},
        {generic("Profile"), "a/b", false},
        {generic("Profile"), "..", false},
        {generic("CustomLabel"), "Greeting_Text", true},
        {generic("CustomLabel"), "Greeting.Text", false},
        {generic("AssignmentRule"), "Lead.Standard Rule", true},
        {generic("AssignmentRule"), "Lead", false},
        {generic("AssignmentRule"), "Lead.a/b", false},
        {generic("RecordType"), "Account.Partner", true},
        {generic("RecordType"), ".Account", false},
        {generic("RecordType"), "Account.", false},
        {generic("RecordType"), "Account..Partner", true},
        {generic("RecordType"), "Account.a/b", false},
        {generic("RecordType"), "Acc-ount.Partner", false},
        {generic("CustomTab"), "standard-1x", true},
        // Real member names of generic types: hyphens, spaces, apostrophes and points pass; only what
        // could make a path or break a manifest line is refused.
        {generic("Audience"), "Default_E-Bikes", true},
        {generic("Audience"), "Partner's Audience", true},
        {generic("Audience"), "Sales Q1.Final", true},
        {generic("Audience"), ".hidden", true},
        {generic("Audience"), "", false},
        {generic("Audience"), ".", false},
        {generic("Audience"), "..", false},
        {generic("Audience"), "a/b", false},
        {generic("Audience"), "a\\b", false},
        {generic("Audience"), "Line\nBreak", false},
        {generic("Audience"), "Carriage\rReturn", false},
        {generic("Audience"), std::string("Nul\0Char", 8), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.type.wire_id()) + " " + c.name);
        EXPECT_EQ(invalid_input_message({{c.type, {c.name}}}),
                  c.valid ? "(valid)" : "Invalid Salesforce object API name: " + c.name);
    }
    EXPECT_EQ(invalid_input_message({}, {"Account", "Bad Name"}), "Invalid Salesforce object API name: Bad Name");
    EXPECT_EQ(invalid_input_message({}, {}, " \t", "tgt"), "Source alias must not be blank");
    EXPECT_EQ(invalid_input_message({}, {}, "src", "\xC2\xA0"), "Target alias must not be blank");
}

TEST(RetrieveSelection, SideSelectionsAndTheEmptyDeltaTest) {
    const Selection selection{{MetadataType::CustomField, {"Account", "Contact"}},
                              {MetadataType::Layout, {"Account-Account Layout"}}};
    EXPECT_EQ(target_scoped(selection, {"Contact"}),
              (Selection{{MetadataType::CustomField, {"Contact"}}, {MetadataType::Layout, {"Account-Account Layout"}}}));
    EXPECT_EQ(target_scoped({{MetadataType::CustomObject, {"Account"}}}, {}), Selection{});
    EXPECT_EQ(manifest_delta(selection, {{MetadataType::CustomField, {"Account"}}}),
              (Selection{{MetadataType::CustomField, {"Contact"}}, {MetadataType::Layout, {"Account-Account Layout"}}}));
    EXPECT_TRUE(retrieve_delta_is_empty(selection, selection, {}, RetrieveScope::Source));
    EXPECT_FALSE(retrieve_delta_is_empty(selection, selection, {}, RetrieveScope::Target));
    EXPECT_TRUE(retrieve_delta_is_empty({}, {{MetadataType::CustomField, {"Account"}}}, {}, RetrieveScope::Target));
}

// A workspace root, the fake `sf` answering from the fixture orgs, and the service.
struct Harness {
    explicit Harness(Scenario scenario = Scenario().on_prefix({"project", "retrieve", "start"},
                                                              Answer().retrieve_from(fixture_orgs()))) {
        fake.write(scenario);
        installed.emplace(fake);
    }
    workspace::WorkspaceLocation location() const {
        return *workspace::WorkspaceTrustAnchor::at(anchor.path()).workspace_at(anchor.path() / "quillary");
    }
    MetadataRetrieveService service() const { return MetadataRetrieveService{location(), "65.0", 60s, gateway}; }
    // The workspace roots left in the plugin temp parent.
    std::size_t roots() const {
        const fs::path parent = anchor.path() / "quillary";
        if (!fs::exists(parent)) return 0;
        return static_cast<std::size_t>(std::distance(fs::directory_iterator(parent), fs::directory_iterator()));
    }

    FakeSf fake;
    std::optional<ScopedFakeSf> installed;
    TempDir anchor;
    cli::SfCliGateway gateway{ambrel::testing::fake_sf::executable().string(),
                              std::make_unique<process::DefaultProcessRunner>()};
    ambrel::testing::TestToken token;
};

TEST(MetadataRetrieveService, AFirstSourceRetrieveRunsOnceForManyTypesAndMembers) {
    Harness h;
    const Selection selection{{MetadataType::ApexClass, {"Util", "Missing"}},
                              {MetadataType::CustomObject, {"Account"}},
                              {MetadataType::CustomField, {"Account", "Contact"}},
                              {MetadataType::Layout, {"Account-Account Layout"}}};
    auto retrieved = h.service().retrieve("src", "tgt", selection, {"Account"}, RetrieveScope::Source, h.token);
    ASSERT_TRUE(retrieved) << retrieved.error().message();
    EXPECT_EQ(retrieved->missing_objects, (ObjectNames{"Contact"}));
    const auto& workspace = *retrieved->workspace;
    EXPECT_EQ(ambrel::testing::read_file(workspace.source_project() / "manifest" / "package.xml"),
              manifest::PackageManifestWriter("65.0").render_types(selection));
    const fs::path out = workspace.source_project() / "force-app/main/default";
    EXPECT_TRUE(fs::is_regular_file(out / "classes/Util.cls"));
    EXPECT_TRUE(fs::is_regular_file(out / "objects/Account/fields/Rating__c.field-meta.xml"));
    EXPECT_TRUE(fs::is_regular_file(out / "layouts/Account-Account Layout.layout-meta.xml"));
    const auto calls = h.fake.calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].args.at(6), "src");
    EXPECT_EQ(fs::path(calls[0].cwd), workspace.source_project());
    EXPECT_EQ(calls[0].args.at(4), (workspace.source_project() / "manifest" / "package.xml").string());
}

TEST(MetadataRetrieveService, TargetScopeRunsOnlyWhatTheTargetCanHave) {
    {
        SCOPED_TRACE("object-listed members and no present object: nothing runs");
        Harness h;
        auto retrieved = h.service().retrieve("src", "tgt", {{MetadataType::CustomField, {"Account"}}}, {},
                                              RetrieveScope::Target, h.token);
        ASSERT_TRUE(retrieved) << retrieved.error().message();
        EXPECT_EQ(retrieved->missing_objects, (ObjectNames{"Account"}));
        EXPECT_TRUE(h.fake.calls().empty());
        EXPECT_FALSE(fs::exists(retrieved->workspace->target_project() / "manifest"));
        EXPECT_TRUE(fs::is_empty(retrieved->workspace->target_project() / "force-app/main/default"));
    }
    {
        SCOPED_TRACE("a Layout member still runs");
        Harness h;
        auto retrieved = h.service().retrieve("src", "tgt",
                                              {{MetadataType::CustomField, {"Account"}},
                                               {MetadataType::Layout, {"Account-Account Layout"}}},
                                              {}, RetrieveScope::Target, h.token);
        ASSERT_TRUE(retrieved) << retrieved.error().message();
        const auto calls = h.fake.calls();
        ASSERT_EQ(calls.size(), 1u);
        EXPECT_EQ(calls[0].args.at(6), "tgt");
        EXPECT_EQ(fs::path(calls[0].cwd), retrieved->workspace->target_project());
        EXPECT_TRUE(fs::is_regular_file(retrieved->workspace->target_project() /
                                        "force-app/main/default/layouts/Account-Account Layout.layout-meta.xml"));
    }
}

TEST(MetadataRetrieveService, OnlyDocumentlessMembersMakeAnEmptySourceWorkspace) {
    Harness h;
    auto retrieved = h.service().retrieve("src", "tgt", {{MetadataType::ProductBundle, {"Bundle"}}}, {},
                                          RetrieveScope::Source, h.token);
    ASSERT_TRUE(retrieved) << retrieved.error().message();
    EXPECT_TRUE(h.fake.calls().empty());
    EXPECT_EQ(ambrel::testing::read_file(retrieved->workspace->source_project() / "manifest" / "package.xml"),
              manifest::PackageManifestWriter("65.0").render_types({}));
}

TEST(MetadataRetrieveService, InputErrorsAndCancellationComeBeforeAnyWorkspace) {
    Harness h;
    struct Case {
        const char* what;
        Selection selection;
        std::string message;
    };
    const std::vector<Case> cases{
        {"no members", {{MetadataType::ApexClass, {}}}, "At least one source object must be selected"},
        {"a refused name", {{MetadataType::ApexClass, {"Bad.Name"}}}, "Invalid Salesforce object API name: Bad.Name"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const auto failed = h.service().retrieve("src", "tgt", c.selection, {}, RetrieveScope::Source, h.token);
        ASSERT_FALSE(failed);
        EXPECT_EQ(failed.error().message(), c.message);
        EXPECT_TRUE(failed.error().cleanup_errors.empty());
    }
    h.token.cancel();
    const auto cancelled =
        h.service().retrieve("src", "tgt", {{MetadataType::ApexClass, {"Util"}}}, {}, RetrieveScope::Source, h.token);
    ASSERT_FALSE(cancelled);
    EXPECT_EQ(cancelled.error().message(), "Salesforce metadata retrieve was cancelled");
    EXPECT_FALSE(fs::exists(h.anchor.path() / "quillary"));
    EXPECT_TRUE(h.fake.calls().empty());
}

TEST(MetadataRetrieveService, AFailedFirstRetrieveLeavesNoRoot) {
    Harness h(Scenario().orgs({"src"}).on_prefix({"project", "retrieve", "start"}, Answer().retrieve_from(fixture_orgs())));
    const auto failed =
        h.service().retrieve("nosuch", "tgt", {{MetadataType::ApexClass, {"Util"}}}, {}, RetrieveScope::Source, h.token);
    ASSERT_FALSE(failed);
    EXPECT_THAT(failed.error().message(), ::testing::HasSubstr("NamedOrgNotFoundError"));
    EXPECT_TRUE(failed.error().cleanup_errors.empty());
    EXPECT_EQ(h.roots(), 0u);

    Harness empty;
    const auto nothing = empty.service().retrieve("src", "tgt", {{MetadataType::ApexClass, {"Missing"}}}, {},
                                                  RetrieveScope::Source, empty.token);
    ASSERT_FALSE(nothing);
    EXPECT_EQ(nothing.error().message(),
              "Salesforce metadata retrieve for alias 'src' produced no metadata output; Salesforce reported: Entity of "
              "type 'ApexClass' named 'Missing' cannot be found");
    EXPECT_EQ(empty.roots(), 0u);
}

TEST(MetadataRetrieveService, DeltaRetrievesAddToTheWorkspaceAndSkipWhatIsDone) {
    Harness h(Scenario().orgs({"src", "tgt"}).on_prefix({"project", "retrieve", "start"},
                                                        Answer().retrieve_from(fixture_orgs())));
    const Selection first{{MetadataType::ApexClass, {"Util"}}};
    auto retrieved = h.service().retrieve("src", "tgt", first, {}, RetrieveScope::Source, h.token);
    ASSERT_TRUE(retrieved) << retrieved.error().message();
    const auto& workspace = *retrieved->workspace;

    EXPECT_TRUE(retrieve_delta_is_empty(first, first, {}, RetrieveScope::Source));
    const auto same = h.service().retrieve_delta("src", "tgt", workspace, first, first, {}, RetrieveScope::Source, h.token);
    ASSERT_TRUE(same) << same.error().message();
    EXPECT_EQ(h.fake.calls().size(), 1u);

    const Selection wider{{MetadataType::ApexClass, {"Util"}}, {MetadataType::CustomObject, {"Account"}}};
    const auto delta = h.service().retrieve_delta("src", "tgt", workspace, first, wider, {}, RetrieveScope::Source, h.token);
    ASSERT_TRUE(delta) << delta.error().message();
    EXPECT_EQ(*delta, (ObjectNames{"Account"}));
    ASSERT_EQ(h.fake.calls().size(), 2u);
    EXPECT_EQ(ambrel::testing::read_file(workspace.source_project() / "manifest" / "package.xml"),
              manifest::PackageManifestWriter("65.0").render_types({{MetadataType::CustomObject, {"Account"}}}));
    const fs::path out = workspace.source_project() / "force-app/main/default";
    EXPECT_TRUE(fs::is_regular_file(out / "classes/Util.cls"));
    EXPECT_TRUE(fs::is_regular_file(out / "objects/Account/Account.object-meta.xml"));

    // The target delta ignores the already-retrieved map.
    const auto target = h.service().retrieve_delta("src", "tgt", workspace, wider,
                                                   {{MetadataType::Layout, {"Account-Account Layout"}}}, {},
                                                   RetrieveScope::Target, h.token);
    ASSERT_TRUE(target) << target.error().message();
    ASSERT_EQ(h.fake.calls().size(), 3u);
    EXPECT_EQ(h.fake.calls()[2].args.at(6), "tgt");

    // A failing delta keeps the caller's workspace.
    const auto failed = h.service().retrieve_delta("nosuch", "tgt", workspace, wider,
                                                   {{MetadataType::ApexClass, {"Missing"}}}, {},
                                                   RetrieveScope::Source, h.token);
    ASSERT_FALSE(failed);
    EXPECT_TRUE(failed.error().cleanup_errors.empty());
    EXPECT_TRUE(fs::exists(workspace.root()));
}

TEST(RunRetrievePair, TheFirstFailureStopsTheOtherSide) {
    Harness h(Scenario()
                  .on_contains({"--target-org", "src"}, Answer().sleep_ms(30000))
                  .on_contains({"--target-org", "tgt"}, Answer().out(R"({"status": 1})").sleep_ms(500).exit_code(1)));
    TempDir projects;
    for (const char* side : {"s", "t"}) fs::create_directories(projects.path() / side / "manifest");
    const auto result = run_retrieve_pair(h.gateway, 60s, SideRequest{"src", projects.path() / "s"},
                                          SideRequest{"tgt", projects.path() / "t"}, h.token);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().message(),
              "Salesforce metadata retrieve failed for alias 'tgt' (exit code 1, CLI status Some(1), timed out: false)");
    // The source run (30 s) was stopped, or never started when the target failed first.
    EXPECT_GE(h.fake.calls().size(), 1u);
}

TEST(RunRetrievePair, AWorkerThatCannotStartIsCouldNotRun) {
    Harness h(Scenario().on_prefix({"project", "retrieve", "start"}, Answer().sleep_ms(30000)));
    TempDir projects;
    int started = 0;
    const WorkerStarter refuse_second = [&](std::function<void()> body) -> std::expected<std::thread, std::string> {
        if (++started == 2) return std::unexpected(std::string("Resource temporarily unavailable"));
        return std::thread(std::move(body));
    };
    const auto result = run_retrieve_pair(h.gateway, 60s, SideRequest{"src", projects.path() / "s"},
                                          SideRequest{"tgt", projects.path() / "t"}, h.token, refuse_second);
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().message(), "Could not run Salesforce metadata retrieve for alias 'tgt'");
    EXPECT_EQ(result.error().get_if<MetadataRetrieveError::CouldNotRun>()->detail, "metadata retrieve worker panicked");
}

}  // namespace
}  // namespace ambrel::metadata::retrieve
