#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <sys/stat.h>

#include <gtest/gtest.h>

#include "metadata/manifest/package_manifest_writer.hpp"
#include "selection_support.hpp"
#include "support/test_paths.hpp"

namespace ambrel::workflow {
namespace {

namespace fs = std::filesystem;
using metadata_types::MetadataType;
using testing::Harness;
using testing::as_selecting;
using testing::members;
using testing::org;
using testing::show_selecting;
using testing::strategy_of;
using testing::with_state;

using Names = std::vector<std::string>;
using NameSet = std::set<std::string>;

const MetadataType kRecordType = MetadataType::DataRecord(1);

std::string package(const std::vector<std::pair<std::string, Names>>& sections) {
    std::string text = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Package xmlns=\"http://soap.sforce.com/2006/04/metadata\">\n";
    for (const auto& [name, names] : sections) {
        text += "<types>";
        for (const auto& member : names) text += "<members>" + member + "</members>";
        text += "<name>" + name + "</name></types>\n";
    }
    return text + "<version>65.0</version>\n</Package>\n";
}

fs::path write_file(const fs::path& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
    return path;
}

void show_source(Harness& h, const std::function<void(State&)>& more = {}) {
    show_selecting(h, [&](State& state) {
        state.orgs = testing::listed_orgs({"dev"});
        state.source = org("dev");
        state.current_type = MetadataType::Layout;
        state.manifest[MetadataType::Layout] = {"Previous"};
        if (more) more(state);
    });
}

// ---- Import ----

TEST(ManifestImport, WildcardsAndMissingMembersAgainstTheSourceListing) {
    ambrel::testing::TempDir temp;
    const auto file = write_file(temp.path() / "package.xml",
                                 package({{"Flow", {"Onboard"}}, {"ApexClass", {"*", "Ghost", "Alpha"}}}));
    Harness h;
    show_source(h);
    h.use_cases->script.list_source_objects.answer(members({"Alpha", "Beta"}));
    h.use_cases->script.list_source_objects.answer(members({"Onboard"}));
    const auto id = h.controller->import_manifest(file);
    ASSERT_TRUE(id);
    EXPECT_EQ(h.kind(), "loadingComponents");
    EXPECT_EQ(h.controller->state_snapshot().active_operation, "importManifest");
    h.settle();
    const auto& screen = as_selecting(*h.state());
    const ManifestSelection expected = {{MetadataType::ApexClass, {"Alpha", "Beta"}}, {MetadataType::Flow, {"Onboard"}}};
    EXPECT_EQ(screen.manifest, expected);
    EXPECT_EQ(screen.current_type, MetadataType::ApexClass);
    ASSERT_TRUE(screen.import_summary);
    EXPECT_EQ(screen.import_summary->imported, 3U);
    EXPECT_EQ(screen.import_summary->warnings,
              (Names{"Member 'Ghost' of type Apex Classes was not found in the source org and was skipped."}));
    EXPECT_EQ(testing::names_of(screen.components), (Names{"Alpha", "Beta"}));
    const auto listed = h.use_cases->script.list_source_objects.calls();
    ASSERT_EQ(listed.size(), 2U);
    EXPECT_EQ(std::get<1>(listed[0]), MetadataType::ApexClass);
    EXPECT_EQ(std::get<1>(listed[1]), MetadataType::Flow);
    EXPECT_EQ(h.log_events(), (Names{"operationStarted", "operationFinished"}));
    EXPECT_FALSE(with_state(h, [](State& s) { return s.listing_incomplete; }));
}

TEST(ManifestImport, EachListingStrategyIsListedAtMostOnce) {
    struct Case {
        std::string name;
        bool cached;
        std::size_t listings;
    };
    for (const auto& c : std::vector<Case>{{"not cached", false, 1}, {"cached", true, 0}}) {
        SCOPED_TRACE(c.name);
        ambrel::testing::TempDir temp;
        const auto file = write_file(temp.path() / "package.xml",
                                     package({{"CustomObject", {"Account"}}, {"CustomField", {"Account.Name__c"}}}));
        Harness h;
        show_source(h, [&](State& state) {
            if (c.cached) state.listing_cache[strategy_of(MetadataType::CustomField)] = members({"Account"});
        });
        h.use_cases->script.list_source_objects.answer(members({"Account"}));
        ASSERT_TRUE(h.controller->import_manifest(file));
        h.settle();
        EXPECT_EQ(h.use_cases->script.list_source_objects.count(), c.listings);
        EXPECT_EQ(h.kind(), "selecting");
    }
}

TEST(ManifestImport, UnsupportedTypesOnlyResolveToNothing) {
    ambrel::testing::TempDir temp;
    const auto file = write_file(temp.path() / "package.xml", package({{"NoSuchType", {"X"}}}));
    Harness h;
    show_source(h);
    ASSERT_TRUE(h.controller->import_manifest(file));
    h.settle();
    const auto& screen = as_selecting(*h.state());
    EXPECT_TRUE(screen.manifest.empty());
    EXPECT_EQ(screen.current_type, MetadataType::Layout);
    ASSERT_TRUE(screen.import_summary);
    EXPECT_EQ(screen.import_summary->imported, 0U);
    EXPECT_EQ(screen.import_summary->warnings, (Names{"Manifest type 'NoSuchType' is not supported and was skipped."}));
    EXPECT_EQ(h.use_cases->script.list_source_objects.count(), 0U);
}

TEST(ManifestImport, FailuresKeepThePreviousChoiceOnTheSelectionScreen) {
    struct Case {
        std::string name;
        std::string content;
        bool listing_fails;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"too large", std::string(5'242'881, ' '), false, "The manifest file is too large (limit 5 MB)."},
        {"not a package", "<Other/>", false, "Could not parse package.xml: root element must be Package"},
        {"listing fails", package({{"ApexClass", {"A"}}}), true, "Salesforce operation failed."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ambrel::testing::TempDir temp;
        const auto file = write_file(temp.path() / "package.xml", c.content);
        Harness h;
        show_source(h);
        if (c.listing_fails) {
            h.use_cases->script.list_source_objects.answer(std::unexpected(app::WorkflowFailure::operation("boom")));
        }
        ASSERT_TRUE(h.controller->import_manifest(file));
        h.settle();
        const auto& screen = as_selecting(*h.state());
        EXPECT_EQ(screen.error_message, c.message);
        EXPECT_EQ(screen.manifest.at(MetadataType::Layout), (NameSet{"Previous"}));
        EXPECT_TRUE(with_state(h, [](State& s) { return s.listing_incomplete; }));
        EXPECT_EQ(h.log_events(), (Names{"operationStarted", "failure", "operationFinished"}));
    }
}

TEST(ManifestImport, AFifoIsRefusedWithoutWaitingForAWriter) {
    ambrel::testing::TempDir temp;
    const auto piped = temp.path() / "package.xml";
    ASSERT_EQ(::mkfifo(piped.c_str(), 0600), 0);
    Harness h;
    show_source(h);
    ASSERT_TRUE(h.controller->import_manifest(piped));
    h.settle();
    EXPECT_EQ(as_selecting(*h.state()).error_message, "Could not read the manifest file: not a regular file");
}

TEST(ManifestImport, AFileOfExactlyTheLimitIsRead) {
    ambrel::testing::TempDir temp;
    std::string text = package({{"ApexClass", {"A"}}});
    text.append(5'242'880 - text.size(), ' ');
    const auto file = write_file(temp.path() / "package.xml", text);
    Harness h;
    show_source(h);
    h.use_cases->script.list_source_objects.answer(members({"A"}));
    ASSERT_TRUE(h.controller->import_manifest(file));
    h.settle();
    EXPECT_EQ(as_selecting(*h.state()).manifest, (ManifestSelection{{MetadataType::ApexClass, {"A"}}}));
}

TEST(ManifestImport, RefusedWithoutASourceOrOffTheSelectionScreen) {
    Harness h;
    show_selecting(h);
    EXPECT_FALSE(h.controller->import_manifest("/nowhere/package.xml"));
    EXPECT_EQ(as_selecting(*h.state()).error_message, std::string(kSelectSource));
    Harness off;
    off.inner().transition(LoadingOrgsState{});
    EXPECT_FALSE(off.controller->import_manifest("/nowhere/package.xml"));
    EXPECT_EQ(off.kind(), "loadingOrgs");
}

TEST(ManifestImport, AnImportWhoseSourceChangedEndsItsOperationWithoutApplying) {
    ambrel::testing::TempDir temp;
    const auto file = write_file(temp.path() / "package.xml", package({{"ApexClass", {"A"}}}));
    Harness h;
    show_source(h);
    h.use_cases->script.list_source_objects.answer(members({"A"}));
    ASSERT_TRUE(h.controller->import_manifest(file));
    h.background->run_all();
    h.cleanup->run_all();
    h.background->run_all();
    with_state(h, [](State& state) {
        state.source = org("other");
        return 0;
    });
    h.settle();
    const State copy = h.copy_of_state();
    EXPECT_FALSE(copy.active_operation.has_value());
    EXPECT_EQ(copy.operation_token, nullptr);
    const auto& screen = as_selecting(*h.state());
    EXPECT_EQ(screen.manifest, (ManifestSelection{{MetadataType::Layout, {"Previous"}}}));
    EXPECT_FALSE(screen.import_summary.has_value());
    EXPECT_TRUE(with_state(h, [](State& s) { return s.listing_cache.empty(); }));
    EXPECT_EQ(h.log_events(), (Names{"operationStarted", "operationFinished"}));
}

TEST(ManifestResolution, RecordDataTypesAreKeptOut) {
    Harness h;
    std::vector<std::string> notes = {"first"};
    const ManifestSelection manifest = {{kRecordType, {"row"}}, {MetadataType::ApexClass, {"A"}}};
    ListingCache cache;
    cache[strategy_of(MetadataType::ApexClass)] = members({"A"});
    domain::NeverCancelled token;
    auto resolved = h.inner().resolve_manifest_against_source(manifest, {kRecordType}, notes, cache, org("dev"), token);
    ASSERT_TRUE(resolved);
    EXPECT_EQ(resolved->manifest, (ManifestSelection{{MetadataType::ApexClass, {"A"}}}));
    EXPECT_EQ(resolved->notes, (Names{"first"}));
    EXPECT_TRUE(resolved->fetched.empty());
    EXPECT_EQ(h.use_cases->script.list_source_objects.count(), 0U);
}

TEST(ManifestResolution, TheFirstListingFailureStopsTheResolution) {
    Harness h;
    std::vector<std::string> notes;
    h.use_cases->script.list_source_objects.answer(std::unexpected(app::WorkflowFailure::cancelled()));
    domain::NeverCancelled token;
    auto resolved = h.inner().resolve_manifest_against_source(
        {{MetadataType::ApexClass, {"A"}}, {MetadataType::Flow, {"F"}}}, {}, notes, {}, org("dev"), token);
    ASSERT_FALSE(resolved);
    EXPECT_EQ(resolved.error().kind, app::FailureKind::Cancelled);
    EXPECT_EQ(h.use_cases->script.list_source_objects.count(), 1U);
}

// ---- Export and clear ----

TEST(ManifestExport, WritesTheChoiceWithTheShownNames) {
    ambrel::testing::TempDir temp;
    const auto file = temp.path() / "out.xml";
    write_file(file, "old content");
    Harness h;
    show_selecting(h, [](State& state) {
        state.current_type = MetadataType::ApexClass;
        state.manifest[MetadataType::Flow] = {"F"};
        state.manifest[MetadataType::ProductBundle] = {"Bundle"};
    });
    ASSERT_TRUE(h.controller->export_manifest(file.string(), {"B", "A"}));
    const ManifestSelection written = {{MetadataType::ApexClass, {"A", "B"}}, {MetadataType::Flow, {"F"}}};
    EXPECT_EQ(ambrel::testing::read_file(file), metadata::manifest::PackageManifestWriter("65.0").render_types(written));
    EXPECT_NE(ambrel::testing::read_file(file).find("<version>65.0</version>"), std::string::npos);
    // The shown names were stored and the screen rebuilt.
    EXPECT_EQ(as_selecting(*h.state()).manifest.at(MetadataType::ApexClass), (NameSet{"A", "B"}));
    EXPECT_EQ(as_selecting(*h.state()).manifest.count(MetadataType::ProductBundle), 1U);
    std::vector<std::string> entries;
    for (const auto& entry : fs::directory_iterator(temp.path())) entries.push_back(entry.path().filename().string());
    EXPECT_EQ(entries, (Names{"out.xml"}));
}

TEST(ManifestExport, Refusals) {
    struct Case {
        std::string name;
        bool selecting;
        ManifestSelection manifest;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"only product bundles", true, {{MetadataType::ProductBundle, {"B"}}}, std::string(kManifestExportEmpty)},
        {"nothing chosen", true, {}, std::string(kManifestExportEmpty)},
        {"record data only", true, {{kRecordType, {"r"}}}, std::string(kManifestExportEmpty)},
        {"review screen", false, {{MetadataType::Flow, {"F"}}}, std::string(kManifestExportOffScreen)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ambrel::testing::TempDir temp;
        Harness h;
        show_selecting(h, [&](State& state) {
            state.current_type = MetadataType::ApexClass;
            state.manifest = c.manifest;
        });
        if (!c.selecting) h.inner().transition(LoadingOrgsState{});
        const auto answer = h.controller->export_manifest((temp.path() / "out.xml").string(), {});
        ASSERT_FALSE(answer);
        EXPECT_EQ(answer.error(), c.message);
        EXPECT_FALSE(fs::exists(temp.path() / "out.xml"));
    }
}

TEST(ManifestExport, AFailedWriteKeepsWhatWasThere) {
    ambrel::testing::TempDir temp;
    // A folder where the file should go cannot be replaced; its content stays.
    const auto target = temp.path() / "package.xml";
    fs::create_directories(target / "inside");
    Harness h;
    show_selecting(h, [](State& state) { state.current_type = MetadataType::ApexClass; });
    const auto answer = h.controller->export_manifest(target.string(), {"A"});
    ASSERT_FALSE(answer);
    EXPECT_EQ(answer.error().rfind("Could not write the manifest file: ", 0), 0U);
    EXPECT_GT(answer.error().size(), std::string("Could not write the manifest file: ").size());
    EXPECT_TRUE(fs::is_directory(target / "inside"));
    std::size_t entries = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator(temp.path())) ++entries;
    EXPECT_EQ(entries, 1U);
    // The names were stored all the same.
    EXPECT_EQ(as_selecting(*h.state()).manifest.at(MetadataType::ApexClass), (NameSet{"A"}));
}

TEST(ManifestExport, ALinkOrAFifoAtThePathIsReplacedNotWrittenThrough) {
    ambrel::testing::TempDir temp;
    const auto elsewhere = write_file(temp.path() / "elsewhere.xml", "keep me");
    const auto linked = temp.path() / "linked.xml";
    fs::create_symlink(elsewhere, linked);
    const auto piped = temp.path() / "piped.xml";
    ASSERT_EQ(::mkfifo(piped.c_str(), 0600), 0);
    for (const auto& path : {linked, piped}) {
        SCOPED_TRACE(path.filename().string());
        Harness h;
        show_selecting(h, [](State& state) { state.current_type = MetadataType::ApexClass; });
        ASSERT_TRUE(h.controller->export_manifest(path.string(), {"A"}));
        EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(path)));
        EXPECT_NE(ambrel::testing::read_file(path).find("<members>A</members>"), std::string::npos);
    }
    EXPECT_EQ(ambrel::testing::read_file(elsewhere), "keep me");
}

TEST(ManifestClear, EmptiesTheChoiceOnlyOnTheSelectionScreen) {
    Harness h;
    show_selecting(h, [](State& state) {
        state.current_type = MetadataType::Flow;
        state.manifest[MetadataType::Flow] = {"F"};
        state.listing_cache[strategy_of(MetadataType::Flow)] = members({"F"});
    });
    ASSERT_TRUE(h.controller->clear_manifest());
    const auto& screen = as_selecting(*h.state());
    EXPECT_TRUE(screen.manifest.empty());
    EXPECT_EQ(screen.current_type, MetadataType::Flow);
    EXPECT_EQ(testing::names_of(screen.components), (Names{"F"}));

    Harness review;
    testing::ProbeSession probe;
    review.inner().transition(ReviewingState{probe.session, {}, std::nullopt, std::nullopt});
    const auto answer = review.controller->clear_manifest();
    ASSERT_FALSE(answer);
    EXPECT_EQ(answer.error(), std::string(kClearOffScreen));
    EXPECT_EQ(review.kind(), "reviewing");
}

}  // namespace
}  // namespace ambrel::workflow
