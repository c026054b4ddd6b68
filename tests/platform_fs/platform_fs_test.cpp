#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <fmt/format.h>
#include <gtest/gtest.h>

#include "platform_fs/data_directory.hpp"
#include "platform_fs/unix.hpp"
#include "support/test_paths.hpp"

namespace ambrel::platform_fs {
namespace {

using ambrel::testing::read_file;
using ambrel::testing::file_mode;

namespace fs = std::filesystem;

std::vector<std::string> names_in(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

EnvironmentLookup lookup_of(std::map<std::string, std::string, std::less<>> variables) {
    return [variables = std::move(variables)](std::string_view name) -> std::optional<std::string> {
        const auto it = variables.find(name);
        if (it == variables.end()) return std::nullopt;
        return it->second;
    };
}

TEST(DataDirectory, FollowsEachPlatformsConvention) {
    struct Case {
        const char* what;
        PlatformRule rule;
        std::map<std::string, std::string, std::less<>> env;
        std::optional<fs::path> expected;
    };
    const std::vector<Case> cases = {
        {"xdg absolute", PlatformRule::Linux, {{"XDG_DATA_HOME", "/data"}, {"HOME", "/home/u"}}, "/data/quillary"},
        {"xdg relative", PlatformRule::Linux, {{"XDG_DATA_HOME", "data"}, {"HOME", "/home/u"}},
         "/home/u/.local/share/quillary"},
        {"xdg with leading blanks", PlatformRule::Linux, {{"XDG_DATA_HOME", "  /data"}, {"HOME", "/home/u"}},
         "/home/u/.local/share/quillary"},
        {"xdg blank", PlatformRule::Linux, {{"XDG_DATA_HOME", " \t"}, {"HOME", "/home/u"}},
         "/home/u/.local/share/quillary"},
        {"xdg untrimmed", PlatformRule::Linux, {{"XDG_DATA_HOME", "/data "}}, "/data /quillary"},
        {"linux without home", PlatformRule::Linux, {}, std::nullopt},
        {"linux blank home", PlatformRule::Linux, {{"HOME", "\xC2\xA0"}}, std::nullopt},
        {"macos home", PlatformRule::MacOs, {{"HOME", "/Users/u"}, {"XDG_DATA_HOME", "/data"}},
         "/Users/u/Library/Application Support/quillary"},
        {"macos blank home", PlatformRule::MacOs, {{"HOME", "   "}}, std::nullopt},
        {"windows appdata", PlatformRule::Windows, {{"APPDATA", "C:\\Users\\u\\AppData"}, {"HOME", "/h"}},
         fs::path("C:\\Users\\u\\AppData") / "quillary"},
        {"windows without appdata", PlatformRule::Windows, {{"HOME", "/h"}}, std::nullopt},
    };
    for (const Case& c : cases) EXPECT_EQ(data_directory_for(c.rule, lookup_of(c.env)), c.expected) << c.what;
}

TEST(DataDirectory, ProcessEnvironmentRefusesValuesThatAreNotUnicode) {
    ::setenv("AMBREL_TEST_VALUE", "ok", 1);
    EXPECT_EQ(process_environment("AMBREL_TEST_VALUE"), "ok");
    ::setenv("AMBREL_TEST_VALUE", "bad\xFF", 1);
    EXPECT_EQ(process_environment("AMBREL_TEST_VALUE"), std::nullopt);
    ::unsetenv("AMBREL_TEST_VALUE");
    EXPECT_EQ(process_environment("AMBREL_TEST_VALUE"), std::nullopt);
}

TEST(WriteDataFile, CreatesAndReplacesLeavingNoTemporaryFile) {
    testing::TempDir dir;
    ASSERT_TRUE(write_data_file(dir.path(), "last-endpoints.json", "{\"a\":1}"));
    EXPECT_EQ(read_file(dir.path() / "last-endpoints.json"), "{\"a\":1}");
    ASSERT_TRUE(write_data_file(dir.path(), "last-endpoints.json", ""));
    EXPECT_EQ(read_file(dir.path() / "last-endpoints.json"), "");
    EXPECT_EQ(names_in(dir.path()), std::vector<std::string>{"last-endpoints.json"});
}

TEST(WriteDataFile, MissingDirectoryFailsAndCreatesNothing) {
    testing::TempDir dir;
    EXPECT_FALSE(write_data_file(dir.path() / "absent", "last-endpoints.json", "x"));
    EXPECT_FALSE(fs::exists(dir.path() / "absent"));
}

TEST(WriteDataFile, RenameOntoADirectoryFailsAndCleansUp) {
    testing::TempDir dir;
    fs::create_directory(dir.path() / "taken");
    fs::create_directory(dir.path() / "taken" / "inside");
    EXPECT_FALSE(write_data_file(dir.path(), "taken", "x"));
    EXPECT_EQ(names_in(dir.path()), std::vector<std::string>{"taken"});
}

TEST(WriteDataFile, NeverWritesThroughALinkAtATemporaryName) {
    testing::TempDir dir;
    const fs::path victim = dir.path() / "victim";
    std::ofstream(victim) << "untouched";
    const fs::path folder = dir.path() / "data";
    fs::create_directory(folder);
    // Links at the first temporary names this process can pick.
    for (int n = 0; n < 64; ++n) {
        fs::create_symlink(victim, folder / fmt::format("state.json.{}.{}.tmp", ::getpid(), n));
    }
    bool written = false;
    for (int attempt = 0; attempt < 10 && !written; ++attempt) written = write_data_file(folder, "state.json", "new");
    EXPECT_TRUE(written);
    EXPECT_EQ(read_file(folder / "state.json"), "new");
    EXPECT_EQ(read_file(victim), "untouched");
    EXPECT_EQ(names_in(folder).size(), 65u);
}

TEST(WriteDataFile, ConcurrentWritersEachLeaveAWholeFile) {
    testing::TempDir dir;
    std::vector<std::thread> threads;
    std::vector<std::string> contents;
    for (int t = 0; t < 4; ++t) contents.push_back(std::string(20000, char('a' + t)));
    std::atomic<int> successes{0};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 20; ++i) {
                if (write_data_file(dir.path(), "state.json", contents[static_cast<std::size_t>(t)])) ++successes;
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(successes.load(), 80);
    const std::string final_text = read_file(dir.path() / "state.json");
    EXPECT_NE(std::find(contents.begin(), contents.end(), final_text), contents.end());
    EXPECT_EQ(names_in(dir.path()), std::vector<std::string>{"state.json"});
}

TEST(PrivateDirectory, CreatesWithMode0700) {
    testing::TempDir dir;
    const mode_t old_mask = ::umask(0);
    const auto created = unix::create_private_directory(dir.path() / "new");
    ::umask(old_mask);
    ASSERT_TRUE(created);
    EXPECT_EQ(file_mode(dir.path() / "new"), 0700u);
}

TEST(PrivateDirectory, TightensAnExistingDirectoryOfTheUser) {
    testing::TempDir dir;
    fs::create_directory(dir.path() / "open");
    fs::permissions(dir.path() / "open", fs::perms(0755));
    ASSERT_TRUE(unix::create_private_directory(dir.path() / "open"));
    EXPECT_EQ(file_mode(dir.path() / "open"), 0700u);
}

TEST(PrivateDirectory, LeavesFilesAndLinksAlone) {
    testing::TempDir dir;
    std::ofstream(dir.path() / "file") << "x";
    fs::permissions(dir.path() / "file", fs::perms(0644));
    ASSERT_TRUE(unix::create_private_directory(dir.path() / "file"));
    EXPECT_EQ(file_mode(dir.path() / "file"), 0644u);
    EXPECT_EQ(read_file(dir.path() / "file"), "x");

    fs::create_directory(dir.path() / "target");
    fs::permissions(dir.path() / "target", fs::perms(0755));
    fs::create_directory_symlink(dir.path() / "target", dir.path() / "link");
    ASSERT_TRUE(unix::create_private_directory(dir.path() / "link"));
    EXPECT_EQ(file_mode(dir.path() / "target"), 0755u);
}

TEST(PrivateDirectory, LeavesADirectoryOfAnotherUserAlone) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to give a folder to another user";
    testing::TempDir dir;
    const fs::path other = dir.path() / "other";
    fs::create_directory(other);
    fs::permissions(other, fs::perms(0755));
    ASSERT_EQ(::chown(other.c_str(), 4321, 4321), 0);
    ASSERT_TRUE(unix::create_private_directory(other));
    EXPECT_EQ(file_mode(other), 0755u);
}

TEST(PrivateDirectory, MissingParentIsAnError) {
    testing::TempDir dir;
    const auto result = unix::create_private_directory(dir.path() / "no" / "such");
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error(), std::errc::no_such_file_or_directory);
}

TEST(FileIdentity, DescribesTheEntryItself) {
    testing::TempDir dir;
    std::ofstream(dir.path() / "file") << "x";
    fs::create_symlink(dir.path() / "file", dir.path() / "link");
    const auto file = unix::identity_of(dir.path() / "file");
    const auto again = unix::identity_of(dir.path() / "file");
    const auto link = unix::identity_of(dir.path() / "link");
    ASSERT_TRUE(file && again && link);
    EXPECT_EQ(*file, *again);
    EXPECT_NE(*file, *link);
    EXPECT_NE(file->inode, link->inode);

    struct stat entry {};
    ASSERT_EQ(::lstat((dir.path() / "link").c_str(), &entry), 0);
    EXPECT_EQ(link->inode, entry.st_ino);
    EXPECT_EQ(link->device, static_cast<std::int64_t>(entry.st_dev));
}

TEST(FileIdentity, AReplacedEntryHasAnotherIdentity) {
    testing::TempDir dir;
    fs::create_directory(dir.path() / "d");
    const auto before = unix::identity_of(dir.path() / "d");
    fs::rename(dir.path() / "d", dir.path() / "moved");
    fs::create_directory(dir.path() / "d");
    const auto after = unix::identity_of(dir.path() / "d");
    ASSERT_TRUE(before && after);
    EXPECT_NE(*before, *after);
}

TEST(FileIdentity, MissingEntryIsAnError) {
    testing::TempDir dir;
    const auto result = unix::identity_of(dir.path() / "absent");
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error(), std::errc::no_such_file_or_directory);
}

}  // namespace
}  // namespace ambrel::platform_fs
