#include "platform_fs/below.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>

#include "support/test_paths.hpp"

namespace ambrel::platform_fs::below {
namespace {

using testing::TempDir;

class BelowTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::filesystem::create_directories(root() / "a/b");
        std::ofstream(root() / "a/b/file.txt") << "content";
        std::ofstream(outside_.path() / "secret.txt") << "secret";
        std::filesystem::create_directory_symlink(outside_.path(), root() / "a/linked");
        std::filesystem::create_symlink(outside_.path() / "secret.txt", root() / "a/link.txt");
    }
    std::filesystem::path root() const { return dir_.path(); }

    TempDir dir_;
    TempDir outside_;
};

TEST_F(BelowTest, KindsWithoutFollowingLinks) {
    struct Case {
        std::string relative;
        std::optional<EntryKind> kind;
        std::errc error = {};
    };
    const Case cases[] = {
        {"a/b/file.txt", EntryKind::Regular},
        {"a/b", EntryKind::Directory},
        {"a/link.txt", EntryKind::Link},
        {"a/linked", EntryKind::Link},
        {"a/missing/x", EntryKind::Missing},
        {"a/linked/secret.txt", std::nullopt, std::errc::not_a_directory},
        {"a/b/file.txt/x", std::nullopt, std::errc::not_a_directory},
        {"a/../a/b", std::nullopt, std::errc::invalid_argument},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.relative);
        auto kind = entry_kind(root(), c.relative);
        if (c.kind) {
            ASSERT_TRUE(kind) << kind.error().message();
            EXPECT_EQ(*kind, *c.kind);
        } else {
            ASSERT_FALSE(kind);
            EXPECT_EQ(kind.error(), c.error);
        }
    }
}

TEST_F(BelowTest, ReadsOnlyRegularFilesReachedWithoutLinks) {
    EXPECT_EQ(read_file(root(), "a/b/file.txt"), "content");
    EXPECT_EQ(read_file(root(), "a/link.txt").error(), std::errc::too_many_symbolic_link_levels);
    EXPECT_EQ(read_file(root(), "a/linked/secret.txt").error(), std::errc::not_a_directory);
    EXPECT_EQ(read_file(root(), "a/b").error(), std::errc::invalid_argument);
    EXPECT_EQ(read_file(root(), "a/b/file.txt", 3).error(), std::errc::file_too_large);
    ASSERT_EQ(::mkfifo((root() / "a/fifo").c_str(), 0600), 0);
    EXPECT_EQ(read_file(root(), "a/fifo").error(), std::errc::invalid_argument);
}

TEST_F(BelowTest, WritesCreateFoldersAndNeverLeaveTheRoot) {
    EXPECT_FALSE(write_file(root(), "new/deep/x.txt", "x", WriteMode::Exclusive));
    EXPECT_EQ(testing::read_file(root() / "new/deep/x.txt"), "x");
    EXPECT_EQ(write_file(root(), "new/deep/x.txt", "y", WriteMode::Exclusive), std::errc::file_exists);
    EXPECT_FALSE(write_file(root(), "new/deep/x.txt", "y", WriteMode::Replace));
    EXPECT_EQ(testing::read_file(root() / "new/deep/x.txt"), "y");
    EXPECT_EQ(write_file(root(), "a/linked/secret.txt", "owned", WriteMode::Replace), std::errc::not_a_directory);
    EXPECT_EQ(write_file(root(), "a/linked/new.txt", "owned", WriteMode::Replace), std::errc::not_a_directory);
    EXPECT_TRUE(write_file(root(), "a/link.txt", "owned", WriteMode::Replace));
    EXPECT_EQ(testing::read_file(outside_.path() / "secret.txt"), "secret");
    EXPECT_FALSE(std::filesystem::exists(outside_.path() / "new.txt"));
}

TEST_F(BelowTest, RemovesFilesAndLinksButNothingBehindThem) {
    EXPECT_FALSE(remove_file(root(), "a/link.txt"));
    EXPECT_TRUE(std::filesystem::exists(outside_.path() / "secret.txt"));
    EXPECT_EQ(remove_file(root(), "a/linked/secret.txt"), std::errc::not_a_directory);
    EXPECT_TRUE(std::filesystem::exists(outside_.path() / "secret.txt"));
    EXPECT_FALSE(remove_file(root(), "a/b/file.txt"));
    EXPECT_FALSE(std::filesystem::exists(root() / "a/b/file.txt"));
}

// One cursor over many paths, in an order that moves between folders, answers what the one-shot
// functions answer for each.
TEST_F(BelowTest, ACursorAnswersAsTheOneShotFunctions) {
    ASSERT_EQ(::mkfifo((root() / "a/fifo").c_str(), 0600), 0);
    std::ofstream(root() / "a/top.txt") << "top";
    std::ofstream(root() / "root.txt") << "root";
    const std::string paths[] = {"a/b/file.txt", "a/b",        "a/b/missing",  "a/top.txt",    "a/link.txt",
                                 "a/linked",     "a/fifo",     "a/b/file.txt", "root.txt",     "a/missing/x",
                                 "a/linked/secret.txt",        "a/b/file.txt/x", "a/../a/b",   "a/b/file.txt",
                                 "a/top.txt",    "",           "a/b/"};
    FolderCursor cursor(root());
    for (const std::string& path : paths) {
        SCOPED_TRACE(path);
        EXPECT_EQ(cursor.entry_kind(path), entry_kind(root(), path));
        EXPECT_EQ(cursor.read_file(path), read_file(root(), path));
        EXPECT_EQ(cursor.read_file(path, 3), read_file(root(), path, 3));
    }
}

// The cursor keeps the folder it walked: a link put in its place later never leads a read outside.
TEST_F(BelowTest, ACursorNeverFollowsALinkPutInPlaceOfItsFolder) {
    FolderCursor cursor(root());
    ASSERT_EQ(cursor.read_file("a/b/file.txt"), "content");
    std::filesystem::rename(root() / "a/b", root() / "a/moved");
    std::filesystem::create_directory_symlink(outside_.path(), root() / "a/b");
    auto read = cursor.read_file("a/b/secret.txt");
    EXPECT_FALSE(read);
    EXPECT_EQ(read_file(root(), "a/b/secret.txt").error(), std::errc::not_a_directory);
    // A folder not walked yet is walked afresh and refused.
    EXPECT_EQ(cursor.read_file("a/linked/secret.txt").error(), std::errc::not_a_directory);
}

TEST_F(BelowTest, ACursorCreatesMissingFoldersOnlyWhenAsked) {
    FolderCursor cursor(root());
    EXPECT_EQ(cursor.folder("new/deep", false).error(), std::errc::no_such_file_or_directory);
    auto created = cursor.folder("new/deep", true);
    ASSERT_TRUE(created) << created.error().message();
    EXPECT_FALSE(write_file_at(*created, "x.txt", "x", WriteMode::Exclusive));
    EXPECT_EQ(read_file(root(), "new/deep/x.txt"), "x");
    EXPECT_EQ(cursor.folder("a/linked", true).error(), std::errc::not_a_directory);
    EXPECT_FALSE(std::filesystem::exists(outside_.path() / "deep"));
}

}  // namespace
}  // namespace ambrel::platform_fs::below
