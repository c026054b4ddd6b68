#include "cli/resolver.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include <gtest/gtest.h>

#include "support/test_paths.hpp"

namespace ambrel::cli {
namespace {

namespace fs = std::filesystem;

void make_file(const fs::path& path, fs::perms permissions) {
    fs::create_directories(path.parent_path());
    std::ofstream(path) << "#!/bin/sh\n";
    fs::permissions(path, permissions);
}

constexpr auto kExecutable = fs::perms::owner_all | fs::perms::group_read;

struct Tree {
    ambrel::testing::TempDir temp;
    fs::path dir(std::string_view name) const {
        fs::create_directories(temp.path() / name);
        return temp.path() / name;
    }
    SfCliExecutableResolver resolver(std::optional<std::string> path, std::optional<std::string> home = {},
                                     std::vector<fs::path> system = {}) const {
        return SfCliExecutableResolver{std::move(system), std::move(path), std::move(home), true};
    }
};

TEST(SfCliExecutableResolver, SplitsPathAndSkipsBlankPieces) {
    Tree tree;
    const auto resolver = tree.resolver(std::string(":/a:: \t :/b:"));
    EXPECT_EQ(resolver.path_directories(), (std::vector<std::string>{"/a", "/b"}));
    auto windows = resolver;
    windows.is_unix = false;
    windows.path = "C:\\a;;C:\\b";
    EXPECT_EQ(windows.path_directories(), (std::vector<std::string>{"C:\\a", "C:\\b"}));
    EXPECT_TRUE(tree.resolver(std::nullopt).path_directories().empty());
}

TEST(SfCliExecutableResolver, TakesTheFirstExecutableRegularFileInOrder) {
    Tree tree;
    const fs::path no_exec = tree.dir("noexec");
    const fs::path is_dir = tree.dir("isdir");
    const fs::path good = tree.dir("good");
    const fs::path later = tree.dir("later");
    make_file(no_exec / "sf", fs::perms::owner_read | fs::perms::owner_write);
    fs::create_directory(is_dir / "sf");
    make_file(good / "sf", fs::perms::owner_read | fs::perms::others_exec);
    make_file(later / "sf", kExecutable);

    const auto resolver = tree.resolver(no_exec.string() + ":" + is_dir.string() + ":" + good.string() + ":" +
                                        later.string());
    EXPECT_EQ(resolver.resolve(), (good / "sf").string());
}

TEST(SfCliExecutableResolver, ASymbolicLinkQualifiesAsItselfAndADirectoryListedTwiceIsSeenOnce) {
    Tree tree;
    const fs::path target = tree.dir("real") / "sf-binary";
    make_file(target, kExecutable);
    const fs::path links = tree.dir("links");
    fs::create_symlink(target, links / "sf");
    const auto resolver = tree.resolver(links.string() + "/./:" + links.string() + "//");
    EXPECT_EQ(resolver.resolve(), (links / "sf").string());

    fs::remove(target);  // a dangling link does not qualify
    EXPECT_EQ(resolver.resolve(), "sf");
}

TEST(SfCliExecutableResolver, TriesTheUserInstallAfterPathAndBeforeTheFixedLocations) {
    Tree tree;
    const fs::path home = tree.dir("home");
    const fs::path user_sf = home / ".local" / "share" / "sf" / "client" / "bin" / "sf";
    const fs::path system_sf = tree.dir("opt") / "sf";
    make_file(system_sf, kExecutable);
    const fs::path empty = tree.dir("empty");

    auto resolver = tree.resolver(empty.string(), home.string(), {system_sf});
    EXPECT_EQ(resolver.resolve(), system_sf.string());
    make_file(user_sf, kExecutable);
    EXPECT_EQ(resolver.resolve(), user_sf.string());
    EXPECT_EQ(resolver.user_install_candidates(), (std::vector<fs::path>{user_sf}));

    make_file(empty / "sf", kExecutable);
    EXPECT_EQ(resolver.resolve(), (empty / "sf").string());
}

TEST(SfCliExecutableResolver, WithoutAnyCandidateTheBareNameIsReturned) {
    Tree tree;
    EXPECT_EQ(tree.resolver(std::nullopt).resolve(), "sf");
    EXPECT_EQ(tree.resolver(std::string(""), std::nullopt, {"", tree.temp.path() / "missing"}).resolve(), "sf");
}

TEST(SfCliExecutableResolver, MakesRelativeCandidatesAbsolute) {
    Tree tree;
    make_file(tree.dir("rel") / "sf", kExecutable);
    const fs::path previous = fs::current_path();
    fs::current_path(tree.temp.path());
    const std::string resolved = tree.resolver(std::string("./rel")).resolve();
    fs::current_path(previous);
    EXPECT_EQ(resolved, (tree.temp.path() / "rel" / "sf").string());
}

TEST(SfCliExecutableResolver, WindowsNamingTriesEachNameInOrder) {
    Tree tree;
    const fs::path dir = tree.dir("win");
    make_file(dir / "sf.cmd", kExecutable);
    make_file(dir / "sf", kExecutable);
    SfCliExecutableResolver resolver{{}, dir.string(), tree.temp.path().string(), false};
    EXPECT_EQ(resolver.resolve(), (dir / "sf.cmd").string());
    EXPECT_EQ(resolver.user_install_candidates().front(),
              tree.temp.path() / "AppData" / "Local" / "sf" / "client" / "bin" / "sf.exe");
}

TEST(SfCliExecutableResolver, FixedLocationsPerPlatform) {
    EXPECT_EQ(SfCliExecutableResolver::default_system_candidates(Platform::MacOs),
              (std::vector<fs::path>{"/opt/homebrew/bin/sf", "/usr/local/bin/sf"}));
    EXPECT_EQ(SfCliExecutableResolver::default_system_candidates(Platform::Linux),
              (std::vector<fs::path>{"/usr/local/bin/sf", "/snap/bin/sf"}));
    EXPECT_TRUE(SfCliExecutableResolver::default_system_candidates(Platform::Windows).empty());
}

}  // namespace
}  // namespace ambrel::cli
