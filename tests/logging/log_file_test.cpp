#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "json/json.hpp"
#include "logging/log_writer.hpp"
#include "support/test_paths.hpp"

namespace ambrel::logging {
namespace {

using ambrel::testing::read_file;
using ambrel::testing::file_mode;

namespace fs = std::filesystem;

std::vector<std::string> read_lines(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<std::string> lines;
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
}

void touch(const fs::path& path) { std::ofstream(path) << "old\n"; }

// Sets TZ for one test and restores it afterwards.
class ZoneScope {
public:
    explicit ZoneScope(const char* zone) {
        if (const char* old = std::getenv("TZ")) saved_ = old;
        ::setenv("TZ", zone, 1);
        ::tzset();
    }
    ~ZoneScope() {
        if (saved_) {
            ::setenv("TZ", saved_->c_str(), 1);
        } else {
            ::unsetenv("TZ");
        }
        ::tzset();
    }

private:
    std::optional<std::string> saved_;
};

TEST(LogLevel, WireIdsAreExact) {
    struct Case {
        std::string_view text;
        std::optional<LogLevel> level;
    };
    const Case cases[] = {
        {"off", LogLevel::Off},     {"standard", LogLevel::Standard}, {"detailed", LogLevel::Detailed},
        {"Standard", std::nullopt}, {" standard", std::nullopt},      {"standard ", std::nullopt},
        {"", std::nullopt},         {"verbose", std::nullopt},
    };
    for (const Case& c : cases) EXPECT_EQ(log_level_from_wire_id(c.text), c.level) << c.text;
    for (LogLevel level : {LogLevel::Off, LogLevel::Standard, LogLevel::Detailed}) {
        EXPECT_EQ(log_level_from_wire_id(log_level_wire_id(level)), level);
    }
}

TEST(LocalTimestamp, FollowsTheLocalZone) {
    {
        ZoneScope zone("UTC");
        EXPECT_EQ(local_timestamp(0), "1970-01-01T00:00:00.000");
        EXPECT_EQ(local_timestamp(1741338301042), "2025-03-07T09:05:01.042");
        EXPECT_EQ(local_timestamp(951782400000 + 86399999), "2000-02-29T23:59:59.999");
    }
    {
        // POSIX zone strings count west of Greenwich as positive: UTC-2 is two hours ahead.
        ZoneScope zone("UTC-2");
        EXPECT_EQ(local_timestamp(0), "1970-01-01T02:00:00.000");
    }
    {
        ZoneScope zone("UTC+5");
        EXPECT_EQ(local_timestamp(0), "1969-12-31T19:00:00.000");
        EXPECT_EQ(local_timestamp(5), "1969-12-31T19:00:00.005");
    }
}

TEST(TruncateChars, CutsAtCharactersNeverInsideOne) {
    const std::string exact(2048, 'a');
    EXPECT_EQ(truncate_chars(exact), exact);
    EXPECT_EQ(truncate_chars(exact + "b"), exact);
    std::string accented;
    for (int i = 0; i < 2049; ++i) accented += "\xC3\xA9";
    const std::string cut = truncate_chars(accented);
    EXPECT_EQ(cut.size(), 2048u * 2);
    EXPECT_EQ(cut, accented.substr(0, 4096));
    EXPECT_EQ(truncate_chars(""), "");
}

TEST(TruncationLine, NamesTheLimit) {
    const auto parsed = json::parse(truncation_line());
    ASSERT_TRUE(parsed) << parsed.error().message();
    const json::Object& line = parsed->as_object();
    ASSERT_EQ(line.size(), 5u);
    auto it = line.begin();
    EXPECT_EQ((it++)->key(), "localTime");
    EXPECT_EQ((it++)->key(), "ts");
    EXPECT_EQ((it++)->key(), "event");
    EXPECT_EQ((it++)->key(), "op");
    EXPECT_EQ((it++)->key(), "limitBytes");
    EXPECT_EQ(*json::get_string(line, "event"), "logTruncated");
    EXPECT_EQ(*json::get_uint64(line, "op"), 0u);
    EXPECT_EQ(*json::get_uint64(line, "limitBytes"), 8388608u);
}

TEST(JsonlFileWriter, NamesTheFileAfterTimeAndProcess) {
    testing::TempDir dir;
    const auto writer = JsonlFileWriter::open(dir.path() / "logs", 1700000000123, 4242);
    EXPECT_EQ(writer->path(), dir.path() / "logs" / "session-1700000000123-4242.jsonl");
}

TEST(JsonlFileWriter, CreatesNothingBeforeTheFirstLineThenPrivateFolderAndFile) {
    testing::TempDir dir;
    const fs::path app = dir.path() / "workspace" / "quillary";
    const auto writer = JsonlFileWriter::open(app / "logs", 1, 2);
    EXPECT_FALSE(fs::exists(dir.path() / "workspace"));

    writer->write_line(R"({"a":1})");
    writer->write_line(R"({"b":2})");
    EXPECT_EQ(read_file(*writer->path()), "{\"a\":1}\n{\"b\":2}\n");
    EXPECT_EQ(file_mode(*writer->path()), 0600u);
    EXPECT_EQ(file_mode(app), 0700u);
    EXPECT_EQ(file_mode(app / "logs"), 0700u);
}

TEST(JsonlFileWriter, TightensExistingFoldersOfTheUser) {
    testing::TempDir dir;
    const fs::path app = dir.path() / "quillary";
    fs::create_directories(app / "logs");
    fs::permissions(app, fs::perms(0755));
    fs::permissions(app / "logs", fs::perms(0777));
    const auto writer = JsonlFileWriter::open(app / "logs", 1, 2);
    writer->write_line("{}");
    EXPECT_EQ(file_mode(app), 0700u);
    EXPECT_EQ(file_mode(app / "logs"), 0700u);
}

TEST(JsonlFileWriter, KeepsTheFileCloseOnExec) {
    testing::TempDir dir;
    const auto writer = JsonlFileWriter::open(dir.path(), 1, 2);
    writer->write_line("{}");
    int found = 0;
    for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
        std::error_code error;
        const fs::path target = fs::read_symlink(entry.path(), error);
        if (error || target != *writer->path()) continue;
        const int fd = std::stoi(entry.path().filename().string());
        EXPECT_NE(::fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
        ++found;
    }
    EXPECT_EQ(found, 1);
}

TEST(JsonlFileWriter, PrunesToTheFourNewestOlderLogsOnTheFirstLine) {
    testing::TempDir dir;
    const fs::path logs = dir.path() / "logs";
    fs::create_directories(logs / "session-0-dir.jsonl");  // a folder of that form is never deleted
    for (const char* name : {"session-100-1.jsonl", "session-200-1.jsonl", "session-300-1.jsonl",
                             "session-400-1.jsonl", "session-500-1.jsonl", "other.jsonl", "session-1.txt",
                             "Session-000-1.jsonl"}) {
        touch(logs / name);
    }
    // A link of the log's form is neither counted nor deleted.
    fs::create_symlink(logs / "other.jsonl", logs / "session-000-link.jsonl");

    const auto writer = JsonlFileWriter::open(logs, 600, 1);
    EXPECT_TRUE(fs::exists(logs / "session-100-1.jsonl"));  // nothing happens before the first line
    writer->write_line("{}");

    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(logs)) names.insert(entry.path().filename().string());
    const std::set<std::string> expected = {
        "session-0-dir.jsonl", "session-200-1.jsonl", "session-300-1.jsonl", "session-400-1.jsonl",
        "session-500-1.jsonl", "session-600-1.jsonl", "other.jsonl",         "session-1.txt",
        "Session-000-1.jsonl", "session-000-link.jsonl",
    };
    EXPECT_EQ(names, expected);
}

TEST(JsonlFileWriter, KeepsFourOrFewerOlderLogs) {
    testing::TempDir dir;
    for (const char* name : {"session-1-1.jsonl", "session-2-1.jsonl", "session-3-1.jsonl", "session-4-1.jsonl"}) {
        touch(dir.path() / name);
    }
    const auto writer = JsonlFileWriter::open(dir.path(), 0, 1);
    writer->write_line("{}");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator{}), 5);
}

TEST(JsonlFileWriter, StopsAfterTheLineThatReachesTheCap) {
    testing::TempDir dir;
    const auto writer = JsonlFileWriter::open(dir.path(), 0, 1);
    const std::uint64_t mib = 1024 * 1024;
    const std::string chunk(mib - 1, 'x');  // one MiB with its line feed
    for (int i = 0; i < 7; ++i) writer->write_line(chunk);
    EXPECT_FALSE(writer->is_disabled());
    const std::string crossing(mib + 99, 'y');  // from 7 MiB to 8 MiB + 100 bytes
    writer->write_line(crossing);
    EXPECT_TRUE(writer->is_disabled());
    writer->write_line("never written");

    const std::vector<std::string> lines = read_lines(*writer->path());
    ASSERT_EQ(lines.size(), 9u);
    EXPECT_EQ(lines[7], crossing);
    const auto last = json::parse(lines[8]);
    ASSERT_TRUE(last);
    EXPECT_EQ(*json::get_string(last->as_object(), "event"), "logTruncated");
    EXPECT_EQ(fs::file_size(*writer->path()), 8 * mib + 100 + lines[8].size() + 1);
}

TEST(JsonlFileWriter, ALineEndingExactlyAtTheCapEndsTheLog) {
    testing::TempDir dir;
    const auto writer = JsonlFileWriter::open(dir.path(), 0, 1);
    const std::string first(kLogSizeLimitBytes - 11, 'a');
    writer->write_line(first);
    EXPECT_FALSE(writer->is_disabled());
    writer->write_line("123456789");  // 10 bytes with its line feed: exactly the cap
    EXPECT_TRUE(writer->is_disabled());
    const std::vector<std::string> lines = read_lines(*writer->path());
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_NE(lines[2].find("\"logTruncated\""), std::string::npos);
}

TEST(JsonlFileWriter, ConcurrentLinesNeverInterleave) {
    testing::TempDir dir;
    const auto writer = JsonlFileWriter::open(dir.path(), 0, 1);
    constexpr int kThreads = 6;
    constexpr int kLinesPerThread = 300;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&writer, t] {
            for (int i = 0; i < kLinesPerThread; ++i) {
                const std::string line = std::to_string(t) + ":" + std::to_string(i) + ":" +
                                         std::string(static_cast<std::size_t>(1000 + 37 * i % 3000), char('a' + t));
                writer->write_line(line);
            }
        });
    }
    for (auto& thread : threads) thread.join();

    const std::vector<std::string> lines = read_lines(*writer->path());
    ASSERT_EQ(lines.size(), static_cast<std::size_t>(kThreads * kLinesPerThread));
    std::set<std::string> seen;
    for (const std::string& line : lines) {
        const auto first = line.find(':');
        const auto second = line.find(':', first + 1);
        ASSERT_NE(second, std::string::npos);
        const int t = std::stoi(line.substr(0, first));
        const int i = std::stoi(line.substr(first + 1, second - first - 1));
        EXPECT_EQ(line.substr(second + 1), std::string(static_cast<std::size_t>(1000 + 37 * i % 3000), char('a' + t)));
        seen.insert(line.substr(0, second));
    }
    EXPECT_EQ(seen.size(), lines.size());
}

TEST(JsonlFileWriter, AFolderThatCannotBeCreatedEndsLoggingQuietly) {
    testing::TempDir dir;
    touch(dir.path() / "blocked");
    const auto writer = JsonlFileWriter::open(dir.path() / "blocked" / "logs", 0, 1);
    writer->write_line("{}");
    EXPECT_TRUE(writer->is_disabled());
    writer->write_line("{}");
    EXPECT_FALSE(fs::exists(*writer->path()));
}

TEST(JsonlFileWriter, AnExistingLinkAtTheLogPathIsNotFollowed) {
    testing::TempDir dir;
    touch(dir.path() / "elsewhere");
    const auto writer = JsonlFileWriter::open(dir.path(), 5, 5);
    fs::create_symlink(dir.path() / "elsewhere", *writer->path());
    writer->write_line("{}");
    EXPECT_TRUE(writer->is_disabled());
    EXPECT_EQ(read_file(dir.path() / "elsewhere"), "old\n");
}

TEST(JsonlFileWriter, AFifoAtTheLogPathEndsLoggingWithoutWaitingForAReader) {
    testing::TempDir dir;
    const auto writer = JsonlFileWriter::open(dir.path(), 6, 6);
    ASSERT_EQ(::mkfifo(writer->path()->c_str(), 0600), 0);
    writer->write_line("{}");
    EXPECT_TRUE(writer->is_disabled());
}

}  // namespace
}  // namespace ambrel::logging
