#include "platform_fs/files.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "support/test_paths.hpp"

namespace ambrel::platform_fs::files {
namespace {

namespace fs = std::filesystem;
using ambrel::testing::file_mode;
using ambrel::testing::read_file;
using ambrel::testing::TempDir;

void write(const fs::path& path, const std::string& bytes) { std::ofstream(path, std::ios::binary) << bytes; }

TEST(ReadRegularFile, ReadsRegularFilesAndRefusesEverythingElseAtOnce) {
    TempDir dir;
    write(dir.path() / "doc.xml", "<a/>\n");
    fs::create_symlink(dir.path() / "doc.xml", dir.path() / "link.xml");
    ASSERT_EQ(::mkfifo((dir.path() / "fifo.xml").c_str(), 0600), 0);
    fs::create_directory(dir.path() / "folder");

    ASSERT_EQ(read_regular_file(dir.path() / "doc.xml"), "<a/>\n");
    EXPECT_EQ(read_regular_file(dir.path() / "link.xml"), std::unexpected(std::error_code(ELOOP, std::generic_category())));
    EXPECT_EQ(read_regular_file(dir.path() / "link.xml", std::nullopt, LinkPolicy::Followed), "<a/>\n");
    // A FIFO without a writer would block a plain open; here it is refused without waiting.
    EXPECT_EQ(read_regular_file(dir.path() / "fifo.xml"), std::unexpected(std::make_error_code(std::errc::invalid_argument)));
    EXPECT_EQ(read_regular_file("/dev/zero", 16), std::unexpected(std::make_error_code(std::errc::invalid_argument)));
    EXPECT_FALSE(read_regular_file(dir.path() / "folder"));
    EXPECT_EQ(read_regular_file(dir.path() / "missing"), std::unexpected(std::make_error_code(std::errc::no_such_file_or_directory)));
}

TEST(ReadRegularFile, TheLimitAdmitsExactlyItsSize) {
    TempDir dir;
    write(dir.path() / "five", "12345");
    EXPECT_EQ(read_regular_file(dir.path() / "five", 5), "12345");
    EXPECT_EQ(read_regular_file(dir.path() / "five", 4), std::unexpected(std::make_error_code(std::errc::file_too_large)));
    write(dir.path() / "empty", "");
    EXPECT_EQ(read_regular_file(dir.path() / "empty", 0), "");
    const std::string big(200000, 'x');
    write(dir.path() / "big", big);
    EXPECT_EQ(read_regular_file(dir.path() / "big", big.size()), big);
    EXPECT_FALSE(read_regular_file(dir.path() / "big", big.size() - 1));
}

TEST(WriteNewPrivateFile, CreatesOnlyNewPrivateFilesAndNeverFollowsALink) {
    TempDir dir;
    const fs::path file = dir.path() / "body.json";
    ASSERT_FALSE(write_new_private_file(file, "{}"));
    EXPECT_EQ(read_file(file), "{}");
    EXPECT_EQ(file_mode(file) & 0777, 0600u);
    EXPECT_EQ(write_new_private_file(file, "other"), std::errc::file_exists);
    EXPECT_EQ(read_file(file), "{}");

    write(dir.path() / "target", "kept");
    fs::create_symlink(dir.path() / "target", dir.path() / "link");
    EXPECT_TRUE(write_new_private_file(dir.path() / "link", "changed"));
    EXPECT_EQ(read_file(dir.path() / "target"), "kept");
}

TEST(ReplaceDurably, ReplacesWholeAndLeavesNoTemporaryFile) {
    TempDir dir;
    const fs::path target = dir.path() / "last-endpoints.json";
    ASSERT_FALSE(replace_durably(target, "first", 0600));
    ASSERT_FALSE(replace_durably(target, "second"));
    EXPECT_EQ(read_file(target), "second");
    std::size_t entries = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator(dir.path())) ++entries;
    EXPECT_EQ(entries, 1u);

    // A link at the target is replaced as an entry; the file it pointed to is left alone.
    write(dir.path() / "elsewhere", "untouched");
    fs::create_symlink(dir.path() / "elsewhere", dir.path() / "linked");
    ASSERT_FALSE(replace_durably(dir.path() / "linked", "new"));
    EXPECT_EQ(read_file(dir.path() / "elsewhere"), "untouched");
    EXPECT_FALSE(fs::is_symlink(dir.path() / "linked"));

    EXPECT_TRUE(replace_durably(dir.path() / "missing-folder" / "file", "x"));
}

TEST(PrivateTempDir, IsPrivateAndRemovesItselfWithoutFollowingLinks) {
    TempDir outside;
    write(outside.path() / "precious", "keep");
    fs::path made;
    {
        auto dir = PrivateTempDir::create("ambrel-test-", outside.path());
        ASSERT_TRUE(dir);
        made = dir->path();
        EXPECT_EQ(made.parent_path(), outside.path());
        EXPECT_EQ(made.filename().string().rfind("ambrel-test-", 0), 0u);
        EXPECT_EQ(made.filename().string().size(), std::string("ambrel-test-").size() + 6);
        EXPECT_EQ(file_mode(made) & 0777, 0700u);
        fs::create_directories(made / "a" / "b");
        write(made / "a" / "b" / "file", "x");
        fs::create_directory_symlink(outside.path(), made / "a" / "out");
    }
    EXPECT_FALSE(fs::exists(made));
    EXPECT_EQ(read_file(outside.path() / "precious"), "keep");
}

TEST(PrivateTempDir, RemoveReportsAndDetachKeeps) {
    auto dir = PrivateTempDir::create("ambrel-test-");
    ASSERT_TRUE(dir);
    const fs::path made = dir->path();
    EXPECT_FALSE(dir->remove());
    EXPECT_TRUE(dir->path().empty());
    EXPECT_FALSE(fs::exists(made));
    EXPECT_FALSE(dir->remove());

    auto kept = PrivateTempDir::create("ambrel-test-");
    ASSERT_TRUE(kept);
    const fs::path detached = kept->detach();
    kept = PrivateTempDir::create("ambrel-test-").value();
    EXPECT_TRUE(fs::is_directory(detached));
    fs::remove_all(detached);

    EXPECT_FALSE(PrivateTempDir::create("x-", fs::path("/nonexistent/ambrel")));
}

TEST(CreateDirectoriesBelow, CreatesOnlyBelowAnExistingBaseAndNeverThroughALink) {
    TempDir temp;
    const fs::path base = temp.path() / "edits";
    EXPECT_EQ(create_directories_below(base, "a/b"), std::make_error_code(std::errc::no_such_file_or_directory));
    EXPECT_FALSE(fs::exists(base));

    fs::create_directory(base);
    EXPECT_FALSE(create_directories_below(base, "a/b/c"));
    EXPECT_TRUE(fs::is_directory(base / "a/b/c"));
    EXPECT_FALSE(create_directories_below(base, "a/b"));
    EXPECT_FALSE(create_directories_below(base, ""));

    TempDir outside;
    fs::create_directory_symlink(outside.path(), base / "link");
    EXPECT_TRUE(create_directories_below(base, "link/x"));
    EXPECT_TRUE(fs::is_empty(outside.path()));

    for (const char* bad : {"../x", "n/./b", "n/../../x", "/abs", "n/"}) {
        SCOPED_TRACE(bad);
        EXPECT_EQ(create_directories_below(base, bad), std::make_error_code(std::errc::invalid_argument));
    }
    EXPECT_FALSE(fs::exists(temp.path() / "x"));
    EXPECT_FALSE(fs::exists(base / "n"));
}

}  // namespace
}  // namespace ambrel::platform_fs::files
