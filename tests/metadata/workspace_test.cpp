#include "metadata/workspace/workspace.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/test_paths.hpp"

namespace ambrel::metadata::workspace {
namespace {

namespace fs = std::filesystem;
using ambrel::testing::file_mode;
using ambrel::testing::read_file;
using ambrel::testing::TempDir;

constexpr const char* kProjectFile65 =
    "{\n"
    "  \"packageDirectories\": [{\"path\": \"force-app\", \"default\": true}],\n"
    "  \"name\": \"quillary-temp\",\n"
    "  \"namespace\": \"\",\n"
    "  \"sourceApiVersion\": \"65.0\"\n"
    "}\n";

WorkspaceLocation location_in(const fs::path& root) {
    return WorkspaceTrustAnchor::at(root).workspace_at(root / "quillary").value();
}

std::shared_ptr<MetadataWorkspace> make(const fs::path& root) {
    auto workspace = MetadataWorkspace::create(location_in(root), "65.0");
    EXPECT_TRUE(workspace) << (workspace ? "" : workspace.error().message());
    return workspace ? *workspace : nullptr;
}

TEST(MetadataWorkspace, CreatesTheExactLayout) {
    TempDir anchor;
    const auto first = make(anchor.path());
    const auto second = make(anchor.path());
    ASSERT_TRUE(first && second);
    EXPECT_NE(first->root(), second->root());
    for (const auto& workspace : {first, second}) {
        const fs::path root = workspace->root();
        EXPECT_EQ(root.parent_path(), fs::canonical(anchor.path()) / "quillary");
        const std::string name = root.filename().string();
        ASSERT_EQ(name.size(), 15u);
        EXPECT_EQ(name.substr(0, 9), "quillary-");
        for (char c : name.substr(9)) EXPECT_TRUE(std::isalnum(static_cast<unsigned char>(c))) << name;
        EXPECT_EQ(workspace->source_project(), root / "source-project");
        EXPECT_EQ(workspace->target_project(), root / "target-project");
        EXPECT_EQ(workspace->edits(), root / "edits");
        for (const fs::path& project : {workspace->source_project(), workspace->target_project()}) {
            EXPECT_EQ(read_file(project / "sfdx-project.json"), kProjectFile65);
            EXPECT_TRUE(fs::is_directory(project / "force-app/main/default"));
        }
        EXPECT_TRUE(fs::is_empty(workspace->edits()));
    }
    EXPECT_EQ(file_mode(anchor.path() / "quillary") & 0777, 0700u);
}

TEST(MetadataWorkspace, TheApiVersionIsCheckedBeforeAnythingIsCreated) {
    TempDir anchor;
    for (const char* bad : {"v65.0", "65.0.1", " 65.0", "65.0 ", "65.", ""}) {
        SCOPED_TRACE(bad);
        auto workspace = MetadataWorkspace::create(location_in(anchor.path()), bad);
        ASSERT_FALSE(workspace);
        EXPECT_EQ(workspace.error().message(), "API version must be numeric");
        EXPECT_FALSE(fs::exists(anchor.path() / "quillary"));
    }
    auto plain = MetadataWorkspace::create(location_in(anchor.path()), "65");
    ASSERT_TRUE(plain);
    EXPECT_NE(read_file((*plain)->source_project() / "sfdx-project.json").find("\"sourceApiVersion\": \"65\"\n"),
              std::string::npos);
    EXPECT_EQ(project_manifest_text("65.0"), kProjectFile65);
}

TEST(MetadataWorkspace, LocationsMustBeDirectChildrenOfTheAnchor) {
    const auto anchor = WorkspaceTrustAnchor::at("/work/root/./x/..");
    EXPECT_EQ(anchor.path(), fs::path("/work/root"));
    EXPECT_TRUE(anchor.workspace_at("/work/root/quillary"));
    EXPECT_TRUE(anchor.workspace_at("/work/root/a/../quillary"));
    for (const char* bad : {"/work/root/a/quillary", "/work/root", "/work", "/"}) {
        SCOPED_TRACE(bad);
        auto location = anchor.workspace_at(bad);
        ASSERT_FALSE(location);
        EXPECT_NE(location.error().get_if<WorkspaceError::NotDirectChild>(), nullptr);
    }
    EXPECT_EQ(anchor.workspace_at("/work/root/a/quillary").error().message(),
              "Plugin temp parent \"/work/root/a/quillary\" must be a direct child of trust anchor \"/work/root\"");
}

TEST(MetadataWorkspace, AMissingAnchorOrAnUnsafeParentIsRefused) {
    TempDir dir;
    auto missing = MetadataWorkspace::create(location_in(dir.path() / "absent"), "65.0");
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().message(), "Could not resolve workspace trust anchor");

    TempDir elsewhere;
    fs::create_symlink(elsewhere.path(), dir.path() / "quillary");
    auto linked = MetadataWorkspace::create(location_in(dir.path()), "65.0");
    ASSERT_FALSE(linked);
    EXPECT_EQ(linked.error().message(), "Plugin temp parent " + quoted_path(fs::canonical(dir.path()) / "quillary") +
                                            " is insecure: plugin temp parent is not a regular directory");
    EXPECT_TRUE(fs::is_empty(elsewhere.path()));
}

TEST(MetadataWorkspace, AnOpenParentOfTheUserIsTightened) {
    TempDir anchor;
    fs::create_directory(anchor.path() / "quillary");
    ASSERT_EQ(::chmod((anchor.path() / "quillary").c_str(), 0775), 0);
    EXPECT_TRUE(make(anchor.path()));
    EXPECT_EQ(file_mode(anchor.path() / "quillary") & 0777, 0700u);
}

TEST(MetadataWorkspace, AParentOfAnotherUserIsRefused) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to give a folder to another user";
    TempDir anchor;
    const fs::path parent = anchor.path() / "quillary";
    fs::create_directory(parent);
    ASSERT_EQ(::chmod(parent.c_str(), 0700), 0);
    ASSERT_EQ(::chown(parent.c_str(), 65534, 65534), 0);
    auto workspace = MetadataWorkspace::create(location_in(anchor.path()), "65.0");
    ASSERT_FALSE(workspace);
    EXPECT_NE(workspace.error().message().find("plugin temp parent is not owned by the current user"), std::string::npos);
}

TEST(MetadataWorkspace, AnAnchorGivenThroughALinkIsResolved) {
    TempDir dir;
    fs::create_directory(dir.path() / "real");
    fs::create_directory_symlink(dir.path() / "real", dir.path() / "link");
    const auto workspace = make(dir.path() / "link");
    ASSERT_TRUE(workspace);
    EXPECT_EQ(workspace->root().parent_path(), fs::canonical(dir.path()) / "real" / "quillary");
}

TEST(MetadataWorkspace, CloseRemovesTheTreeOnceAndNeverFollowsLinks) {
    TempDir anchor;
    TempDir outside;
    std::ofstream(outside.path() / "precious") << "keep";
    const auto workspace = make(anchor.path());
    ASSERT_TRUE(workspace);
    fs::create_directory_symlink(outside.path(), workspace->edits() / "escape");
    std::ofstream(workspace->source_project() / "force-app/main/default/x.txt") << "x";

    ASSERT_TRUE(workspace->close());
    EXPECT_TRUE(workspace->is_closed());
    EXPECT_FALSE(fs::exists(workspace->root()));
    EXPECT_EQ(read_file(outside.path() / "precious"), "keep");
    EXPECT_TRUE(fs::is_directory(anchor.path() / "quillary"));
    EXPECT_TRUE(workspace->close());
}

TEST(MetadataWorkspace, CloseAfterTheRootWentOrTurnedIntoALink) {
    TempDir anchor;
    TempDir outside;
    std::ofstream(outside.path() / "precious") << "keep";

    const auto deleted = make(anchor.path());
    ASSERT_TRUE(deleted);
    fs::remove_all(deleted->root());
    EXPECT_TRUE(deleted->close());

    const auto linked = make(anchor.path());
    ASSERT_TRUE(linked);
    fs::remove_all(linked->root());
    fs::create_directory_symlink(outside.path(), linked->root());
    EXPECT_TRUE(linked->close());
    EXPECT_FALSE(fs::exists(fs::symlink_status(linked->root())));
    EXPECT_EQ(read_file(outside.path() / "precious"), "keep");
}

TEST(MetadataWorkspace, AReplacedRootOrAnchorIsLeftAloneAndCloseTriesAgain) {
    TempDir anchor;
    const auto workspace = make(anchor.path());
    ASSERT_TRUE(workspace);
    fs::remove_all(workspace->root());
    fs::create_directory(workspace->root());
    std::ofstream(workspace->root() / "someone-elses") << "x";
    for (int attempt = 0; attempt < 2; ++attempt) {
        auto closed = workspace->close();
        ASSERT_FALSE(closed);
        EXPECT_EQ(closed.error().message(), "Refusing to use replaced workspace path " + quoted_path(workspace->root()) +
                                                ": workspace root identity changed");
        EXPECT_FALSE(workspace->is_closed());
    }
    EXPECT_TRUE(fs::exists(workspace->root() / "someone-elses"));
    fs::remove_all(workspace->root());

    TempDir base;
    const fs::path root = base.path() / "root";
    fs::create_directory(root);
    const auto moved = make(root);
    ASSERT_TRUE(moved);
    fs::rename(root, base.path() / "moved-away");
    fs::create_directory(root);
    auto closed = moved->close();
    ASSERT_FALSE(closed);
    EXPECT_NE(closed.error().message().find(": trust anchor identity changed"), std::string::npos);
    EXPECT_TRUE(fs::exists(base.path() / "moved-away" / "quillary" / moved->root().filename()));
}

TEST(MetadataWorkspace, TheLastReleaseClosesAndConcurrentClosesAgree) {
    TempDir anchor;
    fs::path root;
    {
        const auto workspace = make(anchor.path());
        ASSERT_TRUE(workspace);
        root = workspace->root();
        std::vector<std::thread> threads;
        for (int i = 0; i < 4; ++i) threads.emplace_back([&] { EXPECT_TRUE(workspace->close()); });
        for (auto& thread : threads) thread.join();
        EXPECT_FALSE(fs::exists(root));
    }
    {
        const auto workspace = make(anchor.path());
        ASSERT_TRUE(workspace);
        root = workspace->root();
    }
    EXPECT_FALSE(fs::exists(root));
}

TEST(MetadataWorkspace, ProjectFilesReplaceAnExistingOne) {
    TempDir dir;
    ASSERT_TRUE(write_project_manifest(dir.path() / "p" / "q", "65.0"));
    ASSERT_TRUE(write_project_manifest(dir.path() / "p" / "q", "64.0"));
    EXPECT_NE(read_file(dir.path() / "p/q/sfdx-project.json").find("\"64.0\""), std::string::npos);
    std::ofstream(dir.path() / "file") << "x";
    auto blocked = create_project_root(dir.path() / "file", "65.0");
    ASSERT_FALSE(blocked);
    EXPECT_EQ(blocked.error().message(), "Could not create project metadata root");
    EXPECT_EQ(quoted_path("/a\"b\\c\nd\x01"), "\"/a\\\"b\\\\c\\nd\\u{1}\"");
}

}  // namespace
}  // namespace ambrel::metadata::workspace
