// The permission metadata retrieve: its input checks, the file proofs on real temporary projects and
// the two-sided service over the real gateway with the fake `sf`.

#include "metadata/permission_retrieve/permission_retrieve_service.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "fakes/fake_sf.hpp"
#include "metadata/manifest/permission_manifest_writer.hpp"
#include "support/doubles.hpp"
#include "support/test_paths.hpp"

namespace ambrel::metadata::permission_retrieve {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using ambrel::testing::TempDir;
using ambrel::testing::fake_sf::Answer;
using ambrel::testing::fake_sf::FakeSf;
using ambrel::testing::fake_sf::Scenario;
using ambrel::testing::fake_sf::ScopedFakeSf;
using domain::FlsContainerKind;
using domain::PermissionSubject;
using ::testing::HasSubstr;

fs::path fixture_orgs() { return ambrel::testing::tests_dir() / "fixtures" / "retrieve" / "orgs"; }

PermissionComponentKey profile(std::string name) {
    return PermissionComponentKey::create(FlsContainerKind::Profile, std::move(name));
}
PermissionComponentKey permission_set(std::string name) {
    return PermissionComponentKey::create(FlsContainerKind::PermissionSet, std::move(name));
}

void touch(const fs::path& path) {
    fs::create_directories(path.parent_path());
    std::ofstream(path) << "<x/>";
}

// A lister that records the folders it was asked for and answers through the default one, or fails.
struct RecordingLister {
    std::shared_ptr<const DirectoryLister> lister(bool fail = false, std::vector<fs::path> order = {}) {
        return std::make_shared<const DirectoryLister>([this, fail, order](const fs::path& folder) -> DirectoryListing {
            {
                std::lock_guard lock(mutex);
                asked.push_back(folder);
            }
            if (fail) return std::unexpected(std::make_error_code(std::errc::io_error));
            if (!order.empty()) return order;
            return (*default_directory_lister())(folder);
        });
    }
    std::vector<fs::path> folders() {
        std::lock_guard lock(mutex);
        return asked;
    }
    std::mutex mutex;
    std::vector<fs::path> asked;
};

// A project folder in a temporary directory with its metadata folders.
struct Project {
    Project() { fs::create_directories(root / "force-app/main/default/profiles"); }
    fs::path profiles() const { return root / "force-app/main/default/profiles"; }
    fs::path permission_sets() const { return root / "force-app/main/default/permissionsets"; }
    std::string validate(const PermissionKeys& keys, const DirectoryLister& lister = *default_directory_lister()) {
        const auto identity = ProjectRootIdentity::capture("dh", root, keys);
        if (!identity) return identity.error().message();
        const auto files = validate_retrieved_files("dh", root, keys, *identity, lister);
        if (!files) return files.error().message();
        result = *files;
        return "(valid)";
    }
    TempDir dir;
    fs::path root = fs::canonical(dir.path()) / "proj";
    PermissionFiles result;
};

std::string invalid(std::string_view kind, std::string_view name, std::string_view reason) {
    return fmt::format("Invalid Salesforce permission metadata for alias 'dh', component {} '{}': {}", kind, name, reason);
}

TEST(ValidateRetrievedFiles, ProvesEachRequestedFileAndIgnoresExtras) {
    Project p;
    touch(p.profiles() / "Admin.profile-meta.xml");
    touch(p.profiles() / "Other.profile-meta.xml");
    touch(p.profiles() / "Admin.txt");
    touch(p.permission_sets() / "Sales Ops: East.permissionset-meta.xml");
    ASSERT_EQ(p.validate({profile("Admin"), permission_set("Sales Ops: East")}), "(valid)");
    EXPECT_EQ(p.result, (PermissionFiles{{permission_set("Sales Ops: East"),
                                          p.permission_sets() / "Sales Ops: East.permissionset-meta.xml"},
                                         {profile("Admin"), p.profiles() / "Admin.profile-meta.xml"}}));
}

TEST(ValidateRetrievedFiles, FailureTable) {
    struct Case {
        const char* what;
        std::function<void(Project&)> arrange;
        PermissionKeys keys;
        std::string message;
    };
    const std::vector<Case> cases{
        {"file missing", [](Project&) {}, {profile("Admin")}, invalid("Profile", "Admin", "expected metadata file is missing")},
        {"wrong letter case",
         [](Project& p) { touch(p.profiles() / "admin.profile-meta.xml"); },
         {profile("Admin")},
         invalid("Profile", "Admin", "retrieved metadata filename does not use the exact requested case")},
        {"two files after case folding, one exact",
         [](Project& p) {
             touch(p.profiles() / "Admin.profile-meta.xml");
             touch(p.profiles() / "ADMIN.profile-meta.xml");
         },
         {profile("Admin")},
         invalid("Profile", "Admin", "duplicate case-folded metadata file identities were retrieved")},
        {"file is a symbolic link",
         [](Project& p) {
             touch(p.dir.path() / "elsewhere.xml");
             fs::create_symlink(p.dir.path() / "elsewhere.xml", p.profiles() / "Admin.profile-meta.xml");
         },
         {profile("Admin")},
         invalid("Profile", "Admin", "expected metadata file is a symbolic link")},
        {"file is a folder",
         [](Project& p) { fs::create_directories(p.profiles() / "Admin.profile-meta.xml"); },
         {profile("Admin")},
         invalid("Profile", "Admin", "expected metadata path is not a regular file")},
        {"file is a FIFO",
         [](Project& p) { ASSERT_EQ(::mkfifo((p.profiles() / "Admin.profile-meta.xml").c_str(), 0600), 0); },
         {profile("Admin")},
         invalid("Profile", "Admin", "expected metadata path is not a regular file")},
        {"force-app is a symbolic link to a folder, first key of the kind named",
         [](Project& p) {
             fs::rename(p.root / "force-app", p.dir.path() / "real-force-app");
             touch(p.dir.path() / "real-force-app/main/default/profiles/Admin.profile-meta.xml");
             fs::create_directory_symlink(p.dir.path() / "real-force-app", p.root / "force-app");
         },
         {profile("Zed"), profile("Admin")},
         invalid("Profile", "Admin", "expected metadata directory is not a regular directory")},
        {"force-app is a file",
         [](Project& p) {
             fs::remove_all(p.root / "force-app");
             touch(p.root / "force-app");
         },
         {profile("Admin")},
         invalid("Profile", "Admin", "expected metadata directory is not a regular directory")},
        {"the kind's folder is missing",
         [](Project&) {},
         {permission_set("Ops")},
         invalid("PermissionSet", "Ops", "expected metadata directory is missing")},
        {"the permission sets fail before the profiles are looked at",
         [](Project& p) { touch(p.profiles() / "admin.profile-meta.xml"); },
         {permission_set("Ops"), profile("Admin")},
         invalid("PermissionSet", "Ops", "expected metadata directory is missing")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Project p;
        c.arrange(p);
        EXPECT_EQ(p.validate(c.keys), c.message);
    }
}

TEST(ValidateRetrievedFiles, TheInjectedListerDecidesOrderAndFailure) {
    {
        SCOPED_TRACE("only profiles: the permission set folder is never looked at");
        Project p;
        touch(p.profiles() / "Admin.profile-meta.xml");
        RecordingLister recording;
        EXPECT_EQ(p.validate({profile("Admin")}, *recording.lister()), "(valid)");
        EXPECT_EQ(recording.folders(), (std::vector<fs::path>{p.profiles()}));
    }
    {
        SCOPED_TRACE("a failing listing names the first key of the kind, without the system's text");
        Project p;
        RecordingLister recording;
        EXPECT_EQ(p.validate({profile("Zed"), profile("Admin")}, *recording.lister(true)),
                  invalid("Profile", "Admin", "could not enumerate the expected metadata directory"));
    }
    {
        SCOPED_TRACE("listed duplicates after Unicode case folding, in any order");
        Project p;
        touch(p.profiles() / "\xC3\x89quipe.profile-meta.xml");
        RecordingLister recording;
        const auto lister = recording.lister(false, {p.profiles() / "\xC3\xA9QUIPE.profile-meta.xml",
                                                     p.profiles() / "\xC3\x89quipe.profile-meta.xml"});
        EXPECT_EQ(p.validate({profile("\xC3\x89quipe")}, *lister),
                  invalid("Profile", "\xC3\x89quipe", "duplicate case-folded metadata file identities were retrieved"));
    }
    {
        SCOPED_TRACE("a listed file in another folder, or gone after the listing");
        Project p;
        touch(p.dir.path() / "Admin.profile-meta.xml");
        RecordingLister recording;
        EXPECT_EQ(p.validate({profile("Admin")}, *recording.lister(false, {p.dir.path() / "Admin.profile-meta.xml"})),
                  invalid("Profile", "Admin", "retrieved metadata filename does not use the exact requested case"));
        EXPECT_EQ(p.validate({profile("Admin")}, *recording.lister(false, {p.profiles() / "Admin.profile-meta.xml"})),
                  invalid("Profile", "Admin", "enumerated metadata file disappeared before validation"));
    }
}

TEST(ProjectRootIdentity, CaptureAndVerify) {
    Project p;
    const PermissionKeys keys{profile("Admin")};
    {
        TempDir other;
        EXPECT_EQ(ProjectRootIdentity::capture("dh", other.path() / "none", keys).error().message(),
                  invalid("Profile", "Admin", "project root is missing"));
        touch(other.path() / "file");
        EXPECT_EQ(ProjectRootIdentity::capture("dh", other.path() / "file", keys).error().message(),
                  invalid("Profile", "Admin", "project root is not a regular directory"));
    }
    const auto identity = ProjectRootIdentity::capture("dh", p.root, keys);
    ASSERT_TRUE(identity);
    EXPECT_TRUE(identity->verify("dh", profile("Admin")));

    // Renamed away first, so that the new folder cannot reuse the inode.
    fs::rename(p.root, p.dir.path() / "moved");
    EXPECT_EQ(identity->verify("dh", profile("Admin")).error().message(),
              invalid("Profile", "Admin", "project root disappeared"));
    fs::create_directories(p.root);
    EXPECT_EQ(identity->verify("dh", profile("Admin")).error().message(),
              invalid("Profile", "Admin", "project root identity changed"));
    fs::remove(p.root);
    fs::create_directory_symlink(p.dir.path() / "moved", p.root);
    EXPECT_EQ(identity->verify("dh", profile("Admin")).error().message(),
              invalid("Profile", "Admin", "project root was replaced by a non-directory or symbolic link"));
}

TEST(ValidateRetrievedFiles, AnUnreadableFolderIsCouldNotRun) {
    if (::geteuid() == 0) GTEST_SKIP() << "root reads every folder";
    Project p;
    touch(p.profiles() / "Admin.profile-meta.xml");
    const auto identity = ProjectRootIdentity::capture("dh", p.root, {profile("Admin")});
    ASSERT_TRUE(identity);
    fs::permissions(p.root / "force-app/main/default", fs::perms::none);
    const auto files = validate_retrieved_files("dh", p.root, {profile("Admin")}, *identity, *default_directory_lister());
    fs::permissions(p.root / "force-app/main/default", fs::perms::owner_all);
    ASSERT_FALSE(files);
    EXPECT_EQ(files.error().message(), "Could not run Salesforce metadata retrieve for alias 'dh'");
}

// The service with a workspace root, the fake `sf` and the real gateway.
struct Harness {
    explicit Harness(Scenario scenario = Scenario().orgs({"src", "tgt"}).on_prefix(
                         {"project", "retrieve", "start"}, Answer().retrieve_from(fixture_orgs()))) {
        fake.write(scenario);
        installed.emplace(fake);
    }
    PermissionMetadataRetrieveService service(std::string version = "65.0") const {
        auto location = *workspace::WorkspaceTrustAnchor::at(anchor.path()).workspace_at(anchor.path() / "quillary");
        return PermissionMetadataRetrieveService::with_settings(gateway, location, 60s, std::move(version))
            .with_lister(recording.lister());
    }
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
    mutable RecordingLister recording;
    ambrel::testing::TestToken token;
};

TEST(PermissionMetadataRetrieveService, InputChecks) {
    Harness h;
    struct Case {
        const char* what;
        std::string source_alias;
        std::string target_alias;
        PermissionKeys source;
        PermissionKeys target;
        std::string message;
    };
    const std::vector<Case> cases{
        {"blank source alias", " \xE2\x80\x83", "tgt", {profile("Admin")}, {}, "Source alias must not be blank"},
        {"blank target alias", "src", "", {profile("Admin")}, {}, "Target alias must not be blank"},
        {"no keys", "src", "tgt", {}, {}, "At least one source or target permission component must be selected"},
        {"a point", "src", "tgt", {profile(".")}, {}, "Invalid permission metadata full name"},
        {"two points", "src", "tgt", {}, {profile("..")}, "Invalid permission metadata full name"},
        {"a slash", "src", "tgt", {profile("a/b")}, {}, "Invalid permission metadata full name"},
        {"a parent path", "src", "tgt", {}, {permission_set("../x")}, "Invalid permission metadata full name"},
        {"a backslash", "src", "tgt", {profile("a\\b")}, {}, "Invalid permission metadata full name"},
        {"a NUL", "src", "tgt", {profile(std::string("a\0b", 3))}, {}, "Invalid permission metadata full name"},
        {"source duplicates by case", "src", "tgt", {profile("Admin"), profile("admin")}, {},
         "Duplicate source permission metadata component identity"},
        {"target duplicates by case", "src", "tgt", {}, {permission_set("\xC3\x89quipe"), permission_set("\xC3\xA9QUIPE")},
         "Duplicate target permission metadata component identity"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const auto result = h.service().retrieve(c.source_alias, c.target_alias, c.source, c.target, {}, h.token);
        ASSERT_FALSE(result);
        EXPECT_EQ(result.error().message(), c.message);
        EXPECT_TRUE(result.error().cleanup_errors.empty());
    }
    EXPECT_FALSE(fs::exists(h.anchor.path() / "quillary"));
    EXPECT_TRUE(h.fake.calls().empty());
    // Accepted: one name as a Profile and a PermissionSet; spaces and a colon.
    const auto accepted = h.service().retrieve("src", "tgt", {profile("Admin"), permission_set("admin")}, {}, {}, h.token);
    ASSERT_FALSE(accepted);
    EXPECT_THAT(accepted.error().message(), HasSubstr("component PermissionSet 'admin'"));
}

TEST(PermissionMetadataRetrieveService, BothSidesRunOnceEachAndTheirFilesAreProven) {
    Harness h;
    const std::set<PermissionSubject> subjects{PermissionSubject{PermissionSubject::Field{"Account", "Rating__c"}}};
    auto result = h.service().retrieve("src", "tgt", {profile("Admin"), permission_set("Sales_Ops")}, {profile("Admin")},
                                       subjects, h.token);
    ASSERT_TRUE(result) << result.error().message();
    const auto& workspace = *result->workspace;
    const fs::path src = workspace.source_project() / "force-app/main/default";
    const fs::path tgt = workspace.target_project() / "force-app/main/default";
    EXPECT_EQ(result->source_files,
              (PermissionFiles{{permission_set("Sales_Ops"), src / "permissionsets/Sales_Ops.permissionset-meta.xml"},
                               {profile("Admin"), src / "profiles/Admin.profile-meta.xml"}}));
    EXPECT_EQ(result->target_files, (PermissionFiles{{profile("Admin"), tgt / "profiles/Admin.profile-meta.xml"}}));
    const auto calls = h.fake.calls();
    ASSERT_EQ(calls.size(), 2u);
    std::set<std::string> aliases{calls[0].args.at(6), calls[1].args.at(6)};
    EXPECT_EQ(aliases, (std::set<std::string>{"src", "tgt"}));
    const auto writer = manifest::PermissionManifestWriter::create("65.0");
    const std::vector<PermissionComponentKey> target_list{profile("Admin")};
    EXPECT_EQ(ambrel::testing::read_file(workspace.target_project() / "manifest" / "package.xml"),
              writer->render_with_subjects(target_list, subjects));
}

TEST(PermissionMetadataRetrieveService, OnlyTargetKeysRunOnlyTheTarget) {
    Harness h;
    auto result = h.service().retrieve("src", "tgt", {}, {profile("Admin")}, {}, h.token);
    ASSERT_TRUE(result) << result.error().message();
    EXPECT_TRUE(result->source_files.empty());
    EXPECT_EQ(result->target_files.size(), 1u);
    ASSERT_EQ(h.fake.calls().size(), 1u);
    EXPECT_EQ(h.fake.calls()[0].args.at(6), "tgt");
    EXPECT_TRUE(fs::is_regular_file(result->workspace->source_project() / "manifest" / "package.xml"));
    EXPECT_EQ(h.recording.folders(),
              (std::vector<fs::path>{result->workspace->target_project() / "force-app/main/default/profiles"}));
}

TEST(PermissionMetadataRetrieveService, EveryFailureRemovesTheWorkspace) {
    {
        SCOPED_TRACE("a file in the wrong letter case");
        Harness h;
        const auto result = h.service().retrieve("src", "tgt", {}, {profile("Support")}, {}, h.token);
        ASSERT_FALSE(result);
        EXPECT_EQ(result.error().message(),
                  "Invalid Salesforce permission metadata for alias 'tgt', component Profile 'Support': retrieved "
                  "metadata filename does not use the exact requested case");
        EXPECT_EQ(h.roots(), 0u);
    }
    {
        SCOPED_TRACE("the source fails while the target still runs: the target is stopped");
        Harness h(Scenario()
                      .on_contains({"--target-org", "tgt"}, Answer().sleep_ms(30000))
                      .on_contains({"--target-org", "src"}, Answer()
                                                                 .out(R"({"status": 0, "result": {"status": "Failed", "success": false, "errorMessage": "Boom"}})")
                                                                 .sleep_ms(500)));
        const auto result = h.service().retrieve("src", "tgt", {profile("Admin")}, {profile("Admin")}, {}, h.token);
        ASSERT_FALSE(result);
        EXPECT_EQ(result.error().message(),
                  "Salesforce metadata retrieve failed for alias 'src' (exit code 0, CLI status Some(0), timed out: "
                  "false): Boom");
        EXPECT_GE(h.fake.calls().size(), 1u);
        EXPECT_EQ(h.roots(), 0u);
    }
    {
        SCOPED_TRACE("the project folder replaced while the command runs");
        Harness h(Scenario().on_prefix({"project", "retrieve", "start"},
                                       Answer().retrieve_from(fixture_orgs()).sleep_ms(1500)));
        // The gateway polls the token while the child runs: the first poll after the child has
        // started renames the project away and makes a new one under the same name.
        std::atomic<bool> replaced{false};
        ambrel::testing::TestToken token([&] {
            const fs::path parent = h.anchor.path() / "quillary";
            if (replaced.load() || !fs::exists(parent)) return false;
            for (const auto& root : fs::directory_iterator(parent)) {
                const fs::path project = root.path() / "target-project";
                if (!fs::exists(project / "force-app/main/default/profiles")) continue;
                if (replaced.exchange(true)) return false;
                fs::rename(project, root.path() / "moved-away");
                fs::create_directories(project);
            }
            return false;
        });
        const auto result = h.service().retrieve("src", "tgt", {}, {profile("Admin")}, {}, token);
        ASSERT_TRUE(replaced.load());
        ASSERT_FALSE(result);
        EXPECT_EQ(result.error().message(),
                  "Invalid Salesforce permission metadata for alias 'tgt', component Profile 'Admin': project root "
                  "identity changed");
        EXPECT_EQ(h.roots(), 0u);
    }
    {
        SCOPED_TRACE("a version that is not numeric");
        Harness h;
        const auto result = h.service("65.x").retrieve("src", "tgt", {profile("Admin")}, {}, {}, h.token);
        ASSERT_FALSE(result);
        EXPECT_EQ(result.error().message(), "Could not prepare the temporary Salesforce metadata workspace");
        EXPECT_EQ(result.error().error.get_if<MetadataRetrieveError::Workspace>()->error.message(),
                  "API version must be numeric");
    }
    {
        SCOPED_TRACE("cancelled while the commands run");
        Harness h(Scenario().on_prefix({"project", "retrieve", "start"}, Answer().sleep_ms(30000)));
        std::atomic<int> polls{0};
        ambrel::testing::TestToken token([&] { return ++polls > 3; });
        const auto result = h.service().retrieve("src", "tgt", {profile("Admin")}, {profile("Admin")}, {}, token);
        ASSERT_FALSE(result);
        EXPECT_EQ(result.error().message(), "Salesforce metadata retrieve was cancelled");
        EXPECT_EQ(h.roots(), 0u);
    }
    {
        SCOPED_TRACE("an exception escaping a worker");
        Harness h;
        const auto throwing = std::make_shared<const DirectoryLister>([](const fs::path&) -> DirectoryListing {
            throw std::runtime_error("lister broke");
        });
        const auto result = h.service().with_lister(throwing).retrieve("src", "tgt", {profile("Admin")}, {}, {}, h.token);
        ASSERT_FALSE(result);
        EXPECT_EQ(result.error().message(), "Could not run Salesforce metadata retrieve for alias 'src'");
        EXPECT_EQ(result.error().error.get_if<MetadataRetrieveError::CouldNotRun>()->detail,
                  "permission metadata retrieve worker panicked");
        EXPECT_EQ(h.roots(), 0u);
    }
    {
        SCOPED_TRACE("a worker that cannot start");
        Harness h;
        int started = 0;
        auto service = h.service().with_worker_starter(
            [&](std::function<void()> body) -> std::expected<std::thread, std::string> {
                if (++started == 2) return std::unexpected(std::string("no threads"));
                return std::thread(std::move(body));
            });
        const auto result = service.retrieve("src", "tgt", {profile("Admin")}, {profile("Admin")}, {}, h.token);
        ASSERT_FALSE(result);
        EXPECT_EQ(result.error().message(), "Could not run Salesforce metadata retrieve for alias 'tgt'");
        EXPECT_EQ(result.error().error.get_if<MetadataRetrieveError::CouldNotRun>()->detail,
                  "permission metadata retrieve worker panicked");
        EXPECT_EQ(h.roots(), 0u);
    }
}

}  // namespace
}  // namespace ambrel::metadata::permission_retrieve
